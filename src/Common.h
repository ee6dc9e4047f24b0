// Common: the records and process-wide globals shared by every unit, and the small helpers
// they all need (file size, path building, opening input files safely, publishing reports).
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------------------------
// Sizes fixed by the formats and by the fixed buffers of the converter.

enum {
    PERIODS_PER_DAY = 4320,  // 20-second periods in a day, the most a data file holds
    PATH_SIZE = 260,         // every input, output and log path: 259 characters and the zero
    FOLDER_SIZE = 4096,      // the three folders, including the appended '/' and the zero
    HEADER_TEXT_SIZE = 32,   // the four text values of a data file's header
};

extern const char* const szVersion;  // "2.02"

// Device type codes of the name table.
enum {
    DEVICE_LOOP = 80,
    DEVICE_STATION = 84,
    DEVICE_SPEED_TRAP = 88,
    DEVICE_METERED_LANE = 261,
};

// ---------------------------------------------------------------------------------------------
// Process-wide state. Everything belongs to the run (options, folders, stamp) or to the one
// file in hand (header values, list date).

extern char szTime[9];  // HH:MM:SS of the last refresh, shown in every stamped message

// Options (set to 1 only, never cleared).
extern int bWRITEELEMENTS, bWRITELANES, bWRITETRAPS, bLISTALLELEMENTS, bCONVERTMETA;
extern int bINCLUDESPEEDLANES, bINCLUDEMETERS, bWRITEROWSFIRST, bPERIOD, bDEVICE;
extern char szPeriod[16];
extern char szDevice[32];
extern char szSourceFolder[FOLDER_SIZE];
extern char szTargetFolder[FOLDER_SIZE];
extern char szLogFolder[FOLDER_SIZE];
extern char szCmdLine[32];
// --compress=gzip[:LEVEL] or --compress=zstd[:LEVEL]: every report written compressed and named
// with ".gz" or ".zst" after its usual name. COMPRESS_NONE by default.
enum { COMPRESS_NONE, COMPRESS_GZIP, COMPRESS_ZSTD };
extern int iCompression, iCompressionLevel;
// --clean: every report in standard CSV (one header of lower-case names, ISO 8601 times, no
// trailing blanks, fields with a comma, quote or line break quoted).
extern int bClean;
// --aggregate=MINUTES[,MINUTES...]: the summary reports asked for, each a divisor of 1440.
enum { MAX_AGGREGATES = 36 };  // 1440 has 36 divisors
extern int iAggregateMinutes[MAX_AGGREGATES], iAggregates;
// Copies text into out (room for 2 * strlen + 3 bytes) as one CSV field: quoted, its quotes
// doubled, when it holds a comma, a quote or a line break. Returns the end of what was written.
char* PutCsvField(char* out, const char* text);
// The ending every report name takes: "", ".gz" or ".zst".
const char* ReportSuffix();

// Header of the data file in hand.
extern int bTwentySecData, bFormatNG2, bDBModeFixed, bEndofHeader;
extern char szDBCreationTime[HEADER_TEXT_SIZE];
extern char szFileWriteTime[HEADER_TEXT_SIZE];
extern char szDataStartTime[HEADER_TEXT_SIZE];
extern char szDataEndTime[HEADER_TEXT_SIZE];
extern int iVersion, iNumberofNames, iNumberofColumns, iHeaderSize, iNameListSize, iDataSize,
    iFileSize;

// Cabinet list in hand.
extern char szMetadataDate[11];
extern int iCabinetMetaData;

// ---------------------------------------------------------------------------------------------
// Helpers.

// Refreshes szTime from the local clock.
void RefreshTime();

// Processor time of the whole process so far, in seconds.
double ProcessSeconds();

// Size in bytes of an open file; the position is kept. Returns -1 when the size cannot be
// determined or does not fit an int (files of 2 GiB or more lie outside the data format).
int fsize(FILE* file);

// Formats into a PATH_SIZE buffer. Returns 1, or 0 when the text would need more than 259
// characters (the buffer then holds an empty text: nothing is ever cut short).
int BuildPath(char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Opens an input file for binary reading without ever blocking: a FIFO, a folder or a device
// named like a data file is refused. Returns the stream, or null with *notRegular set to 1 for
// an entry that is not a regular file (0 for an ordinary open failure, errno set).
FILE* OpenInputFile(const char* path, int* notRegular);

// Makes the run log reach its file a whole line at a time, so that runs appending to the same
// log never interleave inside a line.
void SetLineBuffered(FILE* log);

// Opens the run log at path for appending, without following a link and without blocking: a
// link, a FIFO, a folder or any other entry that is not a regular file is refused (null, errno
// set). Every E line written to the stream is also written to standard error behind
// "korva2csv: ". A write that fails does not stop the run: LogWriteError tells it at the end.
FILE* OpenLogStream(const char* path);
// The first error (an errno) that a write to the log met, 0 while every line reached the file.
int LogWriteError();
// How many E lines the log has been given so far.
long LogErrorLines();

// The signal (SIGTERM, SIGINT or SIGHUP) that asked the run to stop, 0 while none did. The
// writers look at it between blocks of rows; the handler does nothing else.
extern volatile sig_atomic_t iInterrupt;
void CatchInterrupts();
// Ends an interrupted run: logs "[%s] E Interrupted by signal [%d]; [report] not written!" (or
// without a report when none was being written), closes the log and exits with 128 + signal.
[[noreturn]] void EndInterrupted(FILE* log, const char* report);

// A file name as messages show it: every control character (below 0x20, and 0x7F) as '?', so
// that a name can never start a line of its own. Writes into shown (size bytes), returns it.
const char* ShownName(const char* name, char* shown, size_t size);

// A report being written: a temporary file beside its final name, fed through page-aligned
// buffers and renamed over the final name only when completely written and closed. A run that
// fails or is killed never leaves a partial file under the report's name. Once a report has
// filled its first buffer, a writer thread writes each full buffer while the next one is
// filled, so formatting never waits for the disk.
struct tagREPORTFILE {
    int iFd;
    int iError;              // first errno of a failed write, 0 while all is well
    char szPath[PATH_SIZE];  // final name
    char szTempPath[FOLDER_SIZE + 64];
    char* lpBuffer;  // REPORT_BUFFER_SIZE bytes, page aligned, being filled
    size_t uiUsed;
    char* lpSpare;     // the other buffer: being written by the writer thread, or idle
    size_t uiPending;  // bytes of lpSpare still to be written (0: the writer is idle)
    int bWriter;       // the writer thread runs
    int bClosing;
    pthread_t writer;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    struct tagPACKER* lpPacker;  // the compressor, with --compress (used by the writer thread)
};
enum { REPORT_BUFFER_SIZE = 1 << 20, REPORT_ROW_RESERVE = 1024 };

// Reads the process's umask, which gives every report the permissions any new file would get
// (mkstemp alone makes them private). A umask is read only by setting it, and a file another
// thread created in between would escape the mask, so it is read once before any thread starts:
// first thing in the run, and in the setup of other programs that write reports. Until then
// reports stay private.
void ReadUmask();
// Creates the temporary file for the report named path (compressed as --compress says). Returns
// 1, or 0 with errno set.
int OpenReportFile(tagREPORTFILE* report, const char* path);
// Appends bytes / formatted text to the report.
void ReportWrite(tagREPORTFILE* report, const char* text, size_t length);
void ReportPrintf(tagREPORTFILE* report, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Writes a report's header line: the legacy one, or with --clean the standard-CSV one.
void ReportHeader(tagREPORTFILE* report, const char* legacy, const char* clean);
// Room for at least REPORT_ROW_RESERVE more bytes: returns where to write; tell the report how
// far was written with ReportCommit.
char* ReportCursor(tagREPORTFILE* report);
void ReportCommit(tagREPORTFILE* report, const char* end);
// Writes out what is buffered, closes and renames over the final name. On any write, flush or
// close error logs "[%s] E Could not write CSV file [%s]! - <reason>." to log, removes the
// temporary file, leaves an earlier file of that name intact, and returns 0. When the run was
// interrupted, removes the temporary file and ends the run (EndInterrupted).
int PublishReportFile(tagREPORTFILE* report, FILE* log);

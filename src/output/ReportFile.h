// A report being written: a temporary file beside its final name, fed through page-aligned
// buffers and renamed over the final name only when completely written and closed. A run that
// fails or is stopped never leaves a partial file under the report's name. Once a report has
// filled its first buffer, a writer thread writes (and compresses) each full buffer while the
// next one is filled, so formatting never waits for the disk.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "base/Limits.h"
#include "base/RunLog.h"

struct tagPACKER;
struct tagPARQUETWRITER;
struct tagPARQUETCOLUMN;

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
    tagPACKER* lpPacker;          // the compressor, with --compress (used by the writer thread)
    tagPARQUETWRITER* lpParquet;  // with --parquet: the file's writer; the text is its rows
};
enum { REPORT_BUFFER_SIZE = 1 << 20, REPORT_ROW_RESERVE = 1024 };

// Reads the process's umask, which gives every report the permissions any new file would get
// (mkstemp alone makes them private). A umask is read only by setting it, and a file another
// thread created in between would escape the mask, so it is read once before any thread starts:
// first thing in the run, and in the setup of other programs that write reports. Until then
// reports stay private.
void ReadUmask();

// Creates the temporary file for the report named path, compressed as compression and level
// say (COMPRESS_NONE: plain). Returns 1, or 0 with errno set.
int OpenReportFile(tagREPORTFILE* report, const char* path, int compression, int level);

// Makes the report a Parquet file of the columns (see ParquetFile.h), before anything is written
// to it: the standard CSV text written to the report becomes its rows (the header must name the
// columns), and a kind with typed rows fills the writer's rows itself. Returns 1, or 0 with
// errno ENOMEM after removing the temporary file.
int ReportAsParquet(tagREPORTFILE* report, const tagPARQUETCOLUMN* columns, int count, int codec,
                    int level, int64_t periodBase);

// Appends bytes / formatted text to the report.
void ReportWrite(tagREPORTFILE* report, const char* text, size_t length);
void ReportPrintf(tagREPORTFILE* report, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Room for at least REPORT_ROW_RESERVE more bytes: returns where to write; tell the report how
// far was written with ReportCommit.
char* ReportCursor(tagREPORTFILE* report);
inline void ReportCommit(tagREPORTFILE* report, const char* end) {
    report->uiUsed = (size_t)(end - report->lpBuffer);
}

// Writes out what is buffered, closes and renames over the final name. Returns 1 when the
// report is published. On any write, flush or close error logs "Could not write CSV file",
// removes the temporary file, leaves an earlier file of that name intact, and returns 0. When
// the run was interrupted, removes the temporary file, logs that the report was not written
// and returns 0.
int PublishReportFile(tagREPORTFILE* report, tagLOG* log);

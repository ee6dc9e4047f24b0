// Common: process-wide state and the helpers shared by the units.
#include "Common.h"

#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

const char* const szVersion = "2.02";

char szTime[9];

int bWRITEELEMENTS, bWRITELANES, bWRITETRAPS, bLISTALLELEMENTS, bCONVERTMETA;
int bINCLUDESPEEDLANES, bINCLUDEMETERS, bWRITEROWSFIRST, bPERIOD, bDEVICE;
char szPeriod[16];
char szDevice[32];
char szSourceFolder[FOLDER_SIZE];
char szTargetFolder[FOLDER_SIZE];
char szLogFolder[FOLDER_SIZE];
char szCmdLine[32];
int iCompression, iCompressionLevel;
int bClean;
int iAggregateMinutes[MAX_AGGREGATES], iAggregates;

char* PutCsvField(char* out, const char* text) {
    if (!text[strcspn(text, ",\"\r\n")]) {
        size_t length = strlen(text);
        memcpy(out, text, length);
        return out + length;
    }
    *out++ = '"';
    for (; *text; text++) {
        if (*text == '"') *out++ = '"';
        *out++ = *text;
    }
    *out++ = '"';
    return out;
}

int bTwentySecData, bFormatNG2, bDBModeFixed, bEndofHeader;
char szDBCreationTime[HEADER_TEXT_SIZE];
char szFileWriteTime[HEADER_TEXT_SIZE];
char szDataStartTime[HEADER_TEXT_SIZE];
char szDataEndTime[HEADER_TEXT_SIZE];
int iVersion, iNumberofNames, iNumberofColumns, iHeaderSize, iNameListSize, iDataSize, iFileSize;

char szMetadataDate[11];
int iCabinetMetaData;

void RefreshTime() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(szTime, sizeof szTime, "%H:%M:%S", &local);
}

double ProcessSeconds() {
    return (double)clock() / 1000000.0;
}

int fsize(FILE* file) {
    off_t position = ftello(file);
    if (position < 0 || fseeko(file, 0, SEEK_END) != 0) return -1;
    off_t size = ftello(file);
    fseeko(file, position, SEEK_SET);
    if (size < 0 || size > 0x7fffffff) return -1;
    return (int)size;
}

int BuildPath(char* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = vsnprintf(path, PATH_SIZE, format, args);
    va_end(args);
    if (length < 0 || length >= PATH_SIZE) {
        path[0] = '\0';
        return 0;
    }
    return 1;
}

FILE* OpenInputFile(const char* path, int* notRegular) {
    *notRegular = 0;
    // O_NONBLOCK keeps a FIFO from stalling the run in open(); it is cleared again for reading.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        int saved = errno;
        close(fd);
        *notRegular = 1;
        errno = saved;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* file = fdopen(fd, "rb");
    if (!file) close(fd);
    return file;
}

// ---- The run log ----------------------------------------------------------------------------

struct tagLOGSINK {
    int iFd;
    int iError;       // first errno of a failed write
    long lErrors;     // E lines seen
    bool bLineStart;  // the next byte starts a line
};
static tagLOGSINK logSink;

// A log line "[HH:MM:SS] E ..." of length bytes.
static bool IsErrorLine(const char* line, size_t length) {
    return length >= 13 && line[0] == '[' && line[9] == ']' && memcmp(line + 10, " E ", 3) == 0;
}

static ssize_t WriteLog(void* cookie, const char* data, size_t size) {
    tagLOGSINK* sink = (tagLOGSINK*)cookie;
    for (size_t at = 0; at < size;) {
        const char* end = (const char*)memchr(data + at, '\n', size - at);
        size_t length = end ? (size_t)(end - (data + at)) + 1 : size - at;
        if (sink->bLineStart && IsErrorLine(data + at, length)) {
            sink->lErrors++;
            fprintf(stderr, "korva2csv: %.*s%s", (int)length, data + at, end ? "" : "\n");
        }
        sink->bLineStart = end != nullptr;
        at += length;
    }
    // A line that cannot be written is noted and dropped: the run goes on converting.
    for (size_t done = 0; done < size;) {
        ssize_t n = write(sink->iFd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (sink->iError == 0) sink->iError = n < 0 ? errno : EIO;
            break;
        }
        done += (size_t)n;
    }
    return (ssize_t)size;
}

static int CloseLog(void* cookie) {
    tagLOGSINK* sink = (tagLOGSINK*)cookie;
    if (close(sink->iFd) != 0 && sink->iError == 0) sink->iError = errno;
    return 0;
}

FILE* OpenLogStream(const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    fcntl(fd, F_SETFL, O_APPEND);  // O_NONBLOCK only kept the open from waiting on a FIFO
    logSink = {fd, 0, 0, true};
    FILE* log = fopencookie(&logSink, "a", {nullptr, WriteLog, nullptr, CloseLog});
    if (!log) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return log;
}

int LogWriteError() {
    return logSink.iError;
}

long LogErrorLines() {
    return logSink.lErrors;
}

// ---- Interruption ---------------------------------------------------------------------------

volatile sig_atomic_t iInterrupt;

static void NoteInterrupt(int signal) {
    if (!iInterrupt) iInterrupt = signal;
}

void CatchInterrupts() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal the run was started with ignored stays ignored: nohup's hangup, a background
    // job's interrupt. The run was asked not to stop for it.
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction inherited;
        if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

void EndInterrupted(FILE* log, const char* report) {
    if (report)
        fprintf(log, "[%s] E Interrupted by signal [%d]; [%s] not written!\n", szTime,
                (int)iInterrupt, report);
    else
        fprintf(log, "[%s] E Interrupted by signal [%d]!\n", szTime, (int)iInterrupt);
    fclose(log);
    exit(128 + iInterrupt);
}

const char* ShownName(const char* name, char* shown, size_t size) {
    size_t i = 0;
    for (; name[i] && i + 1 < size; i++)
        shown[i] = (unsigned char)name[i] < 0x20 || name[i] == 0x7f ? '?' : name[i];
    shown[i] = '\0';
    return shown;
}

void SetLineBuffered(FILE* log) {
    // Large enough for the longest line the converter writes (a 4094-character folder).
    static char buffer[16384];
    setvbuf(log, buffer, _IOLBF, sizeof buffer);
}

// ---------------------------------------------------------------------------------------------
// Report publication.

static int StartPacker(tagREPORTFILE* report);

static mode_t uiUmask = 0177;  // what keeps a report private until ReadUmask has run

void ReadUmask() {
    uiUmask = umask(0);
    umask(uiUmask);
}

int OpenReportFile(tagREPORTFILE* report, const char* path) {
    memset(report, 0, sizeof *report);
    report->iFd = -1;
    snprintf(report->szPath, sizeof report->szPath, "%s", path);
    // The temporary file lives in the report's own folder, so the final rename never crosses
    // file systems; the leading dot keeps it out of the way of "*.csv" globs.
    const char* slash = strrchr(path, '/');
    int folderLength = slash ? (int)(slash - path + 1) : 0;
    snprintf(report->szTempPath, sizeof report->szTempPath, "%.*s.%s.XXXXXX", folderLength, path,
             path + folderLength);
    report->lpBuffer = (char*)aligned_alloc(4096, REPORT_BUFFER_SIZE);
    if (!report->lpBuffer) {
        errno = ENOMEM;
        return 0;
    }
    report->iFd = mkostemp(report->szTempPath, O_CLOEXEC);
    if (report->iFd < 0) {
        int saved = errno;
        free(report->lpBuffer);
        report->lpBuffer = nullptr;
        errno = saved;
        return 0;
    }
    if (!StartPacker(report)) {
        int saved = errno;
        close(report->iFd);
        unlink(report->szTempPath);
        free(report->lpBuffer);
        report->lpBuffer = nullptr;
        errno = saved;
        return 0;
    }
    // mkstemp creates private files; a report gets the permissions any new file would get.
    fchmod(report->iFd, 0666 & ~uiUmask);
    return 1;
}

// Writes length bytes of the buffer; keeps the first error and drops everything after it.
static void WriteOut(tagREPORTFILE* report, const char* data, size_t length) {
    while (length > 0 && report->iError == 0) {
        ssize_t written = write(report->iFd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            report->iError = errno;
        } else if (written == 0) {
            report->iError = EIO;
        } else {
            data += written;
            length -= (size_t)written;
        }
    }
}

// ---- Compression ----------------------------------------------------------------------------

const char* ReportSuffix() {
    return iCompression == COMPRESS_GZIP ? ".gz" : iCompression == COMPRESS_ZSTD ? ".zst" : "";
}

// A report's compressor: a gzip member by ISA-L's igzip, or a zstd frame, made a buffer at a
// time by the writer thread while the next buffer is formatted.
struct tagPACKER {
    isal_zstream gzip;
    uint8_t* lpLevelBuffer;  // igzip's work space for levels 1 to 3
    ZSTD_CCtx* lpZstd;
    char* lpOut;  // compressed bytes on their way to the file
};
enum { PACKED_SIZE = 1 << 20 };

static void FreePacker(tagREPORTFILE* report) {
    tagPACKER* packer = report->lpPacker;
    if (!packer) return;
    free(packer->lpLevelBuffer);
    ZSTD_freeCCtx(packer->lpZstd);
    free(packer->lpOut);
    free(packer);
    report->lpPacker = nullptr;
}

// Sets up the compressor --compress asks for. Returns 0 (errno ENOMEM) when it cannot be had.
static int StartPacker(tagREPORTFILE* report) {
    if (iCompression == COMPRESS_NONE) return 1;
    tagPACKER* packer = (tagPACKER*)calloc(1, sizeof(tagPACKER));
    report->lpPacker = packer;
    if (!packer || !(packer->lpOut = (char*)malloc(PACKED_SIZE))) {
        FreePacker(report);
        errno = ENOMEM;
        return 0;
    }
    if (iCompression == COMPRESS_GZIP) {
        static const uint32_t levelBuffer[] = {0, ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT,
                                               ISAL_DEF_LVL3_DEFAULT};
        isal_deflate_init(&packer->gzip);
        packer->gzip.gzip_flag = IGZIP_GZIP;
        packer->gzip.level = (uint32_t)iCompressionLevel;
        packer->gzip.flush = NO_FLUSH;
        if (iCompressionLevel > 0) {
            packer->lpLevelBuffer = (uint8_t*)malloc(levelBuffer[iCompressionLevel]);
            packer->gzip.level_buf = packer->lpLevelBuffer;
            packer->gzip.level_buf_size = levelBuffer[iCompressionLevel];
            if (!packer->lpLevelBuffer) {
                FreePacker(report);
                errno = ENOMEM;
                return 0;
            }
        }
    } else {
        packer->lpZstd = ZSTD_createCCtx();
        if (!packer->lpZstd || ZSTD_isError(ZSTD_CCtx_setParameter(
                                   packer->lpZstd, ZSTD_c_compressionLevel, iCompressionLevel))) {
            FreePacker(report);
            errno = ENOMEM;
            return 0;
        }
    }
    return 1;
}

// Writes the next bytes of the report, compressed when --compress asks; `last` ends the stream.
// A compressor error is a write error (EIO).
static void PackOut(tagREPORTFILE* report, const char* data, size_t length, bool last) {
    tagPACKER* packer = report->lpPacker;
    if (!packer) {
        WriteOut(report, data, length);
        return;
    }
    if (report->iError) return;
    if (packer->lpZstd) {
        ZSTD_inBuffer in = {data, length, 0};
        for (;;) {
            ZSTD_outBuffer out = {packer->lpOut, PACKED_SIZE, 0};
            size_t left = ZSTD_compressStream2(packer->lpZstd, &out, &in,
                                               last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left)) {
                report->iError = EIO;
                return;
            }
            WriteOut(report, packer->lpOut, out.pos);
            if (report->iError || (last ? left == 0 : in.pos == in.size)) return;
        }
    }
    isal_zstream& gzip = packer->gzip;
    gzip.next_in = (uint8_t*)data;
    gzip.avail_in = (uint32_t)length;
    gzip.end_of_stream = last;
    for (;;) {
        gzip.next_out = (uint8_t*)packer->lpOut;
        gzip.avail_out = PACKED_SIZE;
        if (isal_deflate(&gzip) != COMP_OK) {
            report->iError = EIO;
            return;
        }
        WriteOut(report, packer->lpOut, PACKED_SIZE - gzip.avail_out);
        if (report->iError) return;
        if (last ? gzip.internal_state.state == ZSTATE_END : gzip.avail_in == 0) return;
    }
}

// The writer thread: writes each buffer handed to it, until the report closes.
static void* WriteBuffers(void* argument) {
    tagREPORTFILE* report = (tagREPORTFILE*)argument;
    pthread_mutex_lock(&report->lock);
    for (;;) {
        while (report->uiPending == 0 && !report->bClosing)
            pthread_cond_wait(&report->changed, &report->lock);
        if (report->uiPending == 0) break;
        pthread_mutex_unlock(&report->lock);
        PackOut(report, report->lpSpare, report->uiPending, false);
        pthread_mutex_lock(&report->lock);
        report->uiPending = 0;
        pthread_cond_signal(&report->changed);
    }
    pthread_mutex_unlock(&report->lock);
    return nullptr;
}

// Starts the writer thread with a second buffer. Returns 0 when either cannot be had: the
// report is then written from this thread, which is only slower.
static int StartWriter(tagREPORTFILE* report) {
    report->lpSpare = (char*)aligned_alloc(4096, REPORT_BUFFER_SIZE);
    if (!report->lpSpare) return 0;
    pthread_mutex_init(&report->lock, nullptr);
    pthread_cond_init(&report->changed, nullptr);
    if (pthread_create(&report->writer, nullptr, WriteBuffers, report) != 0) {
        pthread_mutex_destroy(&report->lock);
        pthread_cond_destroy(&report->changed);
        free(report->lpSpare);
        report->lpSpare = nullptr;
        return 0;
    }
    report->bWriter = 1;
    return 1;
}

// Waits until the writer has written what it was given; with closing, also ends it.
static void WaitForWriter(tagREPORTFILE* report, bool closing) {
    pthread_mutex_lock(&report->lock);
    while (report->uiPending != 0) pthread_cond_wait(&report->changed, &report->lock);
    if (closing) {
        report->bClosing = 1;
        pthread_cond_signal(&report->changed);
    }
    pthread_mutex_unlock(&report->lock);
    if (closing) {
        pthread_join(report->writer, nullptr);
        pthread_mutex_destroy(&report->lock);
        pthread_cond_destroy(&report->changed);
        report->bWriter = 0;
    }
}

// Writes out the whole pages of the buffer and keeps the tail: writes from a page-aligned
// buffer in whole pages are several times faster than misaligned ones on this kind of machine.
static void FlushPages(tagREPORTFILE* report) {
    size_t whole = report->uiUsed & ~(size_t)4095;
    size_t tail = report->uiUsed - whole;
    if (report->bWriter || (!report->lpSpare && StartWriter(report))) {
        WaitForWriter(report, false);
        char* full = report->lpBuffer;
        report->lpBuffer = report->lpSpare;
        report->lpSpare = full;
        memcpy(report->lpBuffer, full + whole, tail);  // the writer reads only [0, whole)
        pthread_mutex_lock(&report->lock);
        report->uiPending = whole;
        pthread_cond_signal(&report->changed);
        pthread_mutex_unlock(&report->lock);
    } else {
        PackOut(report, report->lpBuffer, whole, false);
        memmove(report->lpBuffer, report->lpBuffer + whole, tail);
    }
    report->uiUsed = tail;
}

char* ReportCursor(tagREPORTFILE* report) {
    if (report->uiUsed > REPORT_BUFFER_SIZE - REPORT_ROW_RESERVE) FlushPages(report);
    return report->lpBuffer + report->uiUsed;
}

void ReportCommit(tagREPORTFILE* report, const char* end) {
    report->uiUsed = (size_t)(end - report->lpBuffer);
}

void ReportWrite(tagREPORTFILE* report, const char* text, size_t length) {
    while (length > 0) {
        char* cursor = ReportCursor(report);
        size_t room = REPORT_BUFFER_SIZE - report->uiUsed;
        size_t part = length < room ? length : room;
        memcpy(cursor, text, part);
        report->uiUsed += part;
        text += part;
        length -= part;
    }
}

void ReportPrintf(tagREPORTFILE* report, const char* format, ...) {
    char text[REPORT_ROW_RESERVE];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length > 0)
        ReportWrite(report, text, (size_t)length < sizeof text ? length : sizeof text - 1);
}

void ReportHeader(tagREPORTFILE* report, const char* legacy, const char* clean) {
    const char* header = bClean ? clean : legacy;
    ReportWrite(report, header, strlen(header));
}

int PublishReportFile(tagREPORTFILE* report, FILE* log) {
    if (report->bWriter) WaitForWriter(report, true);
    if (iInterrupt) {
        free(report->lpBuffer);
        free(report->lpSpare);
        report->lpBuffer = report->lpSpare = nullptr;
        FreePacker(report);
        close(report->iFd);
        unlink(report->szTempPath);
        EndInterrupted(log, report->szPath);
    }
    PackOut(report, report->lpBuffer, report->uiUsed, true);
    report->uiUsed = 0;
    free(report->lpBuffer);
    free(report->lpSpare);
    report->lpBuffer = report->lpSpare = nullptr;
    FreePacker(report);
    if (close(report->iFd) != 0 && report->iError == 0) report->iError = errno;
    report->iFd = -1;
    if (report->iError == 0 && rename(report->szTempPath, report->szPath) != 0)
        report->iError = errno;
    if (report->iError != 0) {
        unlink(report->szTempPath);
        fprintf(log, "[%s] E Could not write CSV file [%s]! - %s.\n", szTime, report->szPath,
                strerror(report->iError));
        return 0;
    }
    return 1;
}

#include "output/ReportFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Signals.h"
#include "output/Compressors.h"
#include "output/ParquetFile.h"

static mode_t uiUmask = 0177;  // what keeps a report private until ReadUmask has run

void ReadUmask() {
    uiUmask = umask(0);
    umask(uiUmask);
}

// Frees what the report holds in memory: its buffers and its compressor.
static void FreeBuffers(tagREPORTFILE* report) {
    free(report->lpBuffer);
    free(report->lpSpare);
    report->lpBuffer = report->lpSpare = nullptr;
    FreePacker(report->lpPacker);
    report->lpPacker = nullptr;
    FreeParquet(report->lpParquet);
    report->lpParquet = nullptr;
}

int OpenReportFile(tagREPORTFILE* report, const char* path, int compression, int level) {
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
    bool failed = report->iFd < 0;
    if (!failed) report->lpPacker = StartPacker(compression, level, &failed);
    if (failed) {
        int saved = errno;
        if (report->iFd >= 0) {
            close(report->iFd);
            unlink(report->szTempPath);
        }
        FreeBuffers(report);
        errno = saved;
        return 0;
    }
    // mkstemp creates private files; a report gets the permissions any new file would get.
    fchmod(report->iFd, 0666 & ~uiUmask);
    return 1;
}

// Writes length bytes; keeps the first error and drops everything after it.
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

static bool WritePacked(void* context, const char* data, size_t length) {
    tagREPORTFILE* report = (tagREPORTFILE*)context;
    WriteOut(report, data, length);
    return report->iError == 0;
}

int ReportAsParquet(tagREPORTFILE* report, const tagPARQUETCOLUMN* columns, int count, int codec,
                    int level, int64_t periodBase) {
    report->lpParquet = StartParquet(columns, count, codec, level, periodBase, WritePacked, report);
    if (report->lpParquet) return 1;
    close(report->iFd);
    unlink(report->szTempPath);
    FreeBuffers(report);
    errno = ENOMEM;
    return 0;
}

// Hands the buffered text, whole records, to the Parquet writer as rows.
static void TakeParquetText(tagREPORTFILE* report) {
    if (!ParquetCsv(report->lpParquet, report->lpBuffer, report->uiUsed) && !report->iError)
        report->iError = EINVAL;
    report->uiUsed = 0;
}

// Writes the next bytes of the report, compressed when --compress asks; `last` ends the stream.
// A compressor error is a write error (EIO).
static void WriteStream(tagREPORTFILE* report, const char* data, size_t length, bool last) {
    if (!report->lpPacker) {
        WriteOut(report, data, length);
        return;
    }
    if (report->iError) return;
    if (!PackOut(report->lpPacker, data, length, last, WritePacked, report) && !report->iError)
        report->iError = EIO;
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
        WriteStream(report, report->lpSpare, report->uiPending, false);
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
    if (report->lpParquet) return TakeParquetText(report);
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
        WriteStream(report, report->lpBuffer, whole, false);
        memmove(report->lpBuffer, report->lpBuffer + whole, tail);
    }
    report->uiUsed = tail;
}

char* ReportCursor(tagREPORTFILE* report) {
    if (report->uiUsed > REPORT_BUFFER_SIZE - REPORT_ROW_RESERVE) FlushPages(report);
    return report->lpBuffer + report->uiUsed;
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

int PublishReportFile(tagREPORTFILE* report, tagLOG* log) {
    if (report->bWriter) WaitForWriter(report, true);
    if (iInterrupt) {
        FreeBuffers(report);
        close(report->iFd);
        unlink(report->szTempPath);
        LogError(log, "Interrupted by signal [%d]; [%s] not written!\n", (int)iInterrupt,
                 report->szPath);
        log->bInterruptTold = true;
        return 0;
    }
    if (report->lpParquet) {
        TakeParquetText(report);
        if (!FinishParquet(report->lpParquet) && !report->iError) report->iError = EINVAL;
    } else {
        WriteStream(report, report->lpBuffer, report->uiUsed, true);
    }
    report->uiUsed = 0;
    FreeBuffers(report);
    if (close(report->iFd) != 0 && report->iError == 0) report->iError = errno;
    report->iFd = -1;
    if (report->iError == 0 && rename(report->szTempPath, report->szPath) != 0)
        report->iError = errno;
    if (report->iError != 0) {
        unlink(report->szTempPath);
        LogError(log, "Could not write CSV file [%s]! - %s.\n", report->szPath,
                 strerror(report->iError));
        return 0;
    }
    return 1;
}

#include "base/RunLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "base/Clock.h"

struct tagLOGSINK {
    int iFd;
    int iError;          // first errno of a failed write
    char buffer[16384];  // line buffer: the longest line holds a 4094-character folder
};

static void WriteLine(tagLOG* log, char severity, const char* format, va_list args) {
    char* text = nullptr;
    if (vasprintf(&text, format, args) < 0) return;
    fprintf(log->lpFile, "[%s] %c %s", szTime, severity, text);
    if (severity == 'E') {
        log->lErrors++;
        if (log->bEchoErrors) fprintf(stderr, "korva2csv: [%s] E %s", szTime, text);
    }
    free(text);
}

void LogProgress(tagLOG* log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine(log, '-', format, args);
    va_end(args);
}

void LogWarning(tagLOG* log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine(log, 'W', format, args);
    va_end(args);
}

void LogError(tagLOG* log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine(log, 'E', format, args);
    va_end(args);
}

static ssize_t WriteToSink(void* cookie, const char* data, size_t size) {
    tagLOGSINK* sink = (tagLOGSINK*)cookie;
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

static int CloseSink(void* cookie) {
    tagLOGSINK* sink = (tagLOGSINK*)cookie;
    if (close(sink->iFd) != 0 && sink->iError == 0) sink->iError = errno;
    return 0;
}

int OpenRunLog(tagLOG* log, const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return 0;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return 0;
    }
    fcntl(fd, F_SETFL, O_APPEND);  // O_NONBLOCK only kept the open from waiting on a FIFO
    tagLOGSINK* sink = (tagLOGSINK*)calloc(1, sizeof(tagLOGSINK));
    FILE* file =
        sink ? fopencookie(sink, "a", {nullptr, WriteToSink, nullptr, CloseSink}) : nullptr;
    if (!file) {
        int saved = sink ? errno : ENOMEM;
        free(sink);
        close(fd);
        errno = saved;
        return 0;
    }
    sink->iFd = fd;
    setvbuf(file, sink->buffer, _IOLBF, sizeof sink->buffer);
    *log = tagLOG{};
    log->lpFile = file;
    log->lpSink = sink;
    log->bEchoErrors = true;
    return 1;
}

int CloseRunLog(tagLOG* log) {
    fclose(log->lpFile);
    int error = log->lpSink->iError;
    free(log->lpSink);
    *log = tagLOG{};
    return error;
}

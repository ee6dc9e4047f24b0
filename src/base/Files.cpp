#include "base/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "base/Limits.h"

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

const char* ShownName(const char* name, char* shown, size_t size) {
    size_t i = 0;
    for (; name[i] && i + 1 < size; i++)
        shown[i] = (unsigned char)name[i] < 0x20 || name[i] == 0x7f ? '?' : name[i];
    shown[i] = '\0';
    return shown;
}

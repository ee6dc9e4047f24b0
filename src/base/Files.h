// Paths and input files: building paths within their fixed buffers, opening inputs without
// ever blocking, and file names as messages show them.
#pragma once

#include <cstddef>
#include <cstdio>

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

// A file name as messages show it: every control character (below 0x20, and 0x7F) as '?', so
// that a name can never start a line of its own. Writes into shown (size bytes), returns it.
const char* ShownName(const char* name, char* shown, size_t size);

// The run log: a day's file that every run appends to, a whole line at a time, and the three
// kinds of line it takes ("[HH:MM:SS] - " progress, " W " warnings, " E " errors).
#pragma once

#include <cstdio>

struct tagLOGSINK;

// A log being written: the stream, and what the run keeps of it.
struct tagLOG {
    FILE* lpFile = nullptr;
    long lErrors = 0;              // E lines written so far
    bool bEchoErrors = false;      // E lines also go to standard error behind "korva2csv: "
    bool bInterruptTold = false;   // an E line has told that the run was interrupted
    tagLOGSINK* lpSink = nullptr;  // the file behind the run log's stream
};

// A progress, warning or error line: the stamp, the severity and the formatted text (which ends
// in its own line feed). An error line is counted, and echoed when the log says so.
void LogProgress(tagLOG* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogWarning(tagLOG* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogError(tagLOG* log, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Opens the run log at path for appending, without following a link and without blocking: a
// link, a FIFO, a folder or any other entry that is not a regular file is refused (0, errno
// set). Lines reach the file whole, so runs appending to one log never interleave inside a
// line; a write that fails does not stop the run (CloseRunLog tells it). Its E lines are echoed.
int OpenRunLog(tagLOG* log, const char* path);

// Closes the run log. Returns the first error (an errno) that a write to it met, 0 when every
// line reached the file.
int CloseRunLog(tagLOG* log);

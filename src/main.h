// main: the run driver, the command-line options and the run log.
#pragma once

#include <cstdio>

// Reads the options into the option globals and the three folders (each then ending in '/').
// Returns 0 after a syntax error, 1 after printing the help table, 2 when the run goes on.
int ProcessCommandLine(int argc, char* argv[]);

// Opens the day's run log "<folder>CSVLog<yy-mm-dd>" for appending. Returns the stream, or null
// after reporting the failure on the console.
FILE* OpenLogfile(const char* folder);

// The whole run: options, log, folder scan, totals. Returns the process exit status (0 run
// completed, 1 command-line error, 2 help, 3 log not opened, 4 input folder not opened).
int RunConverter(int argc, char* argv[]);

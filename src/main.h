// main: the run driver, the command-line options and the run log.
#pragma once

// What ProcessCommandLine found.
enum { OPTIONS_REFUSED = 0, OPTIONS_HELP = 1, OPTIONS_GO_ON = 2 };

// Reads the options into the option globals and the three folders (each then ending in '/').
// Returns OPTIONS_REFUSED after a syntax error (said on the console), OPTIONS_HELP after
// printing the help table, OPTIONS_GO_ON when the run goes on.
int ProcessCommandLine(int argc, char* argv[]);

// The whole run: options, log, folder scan, totals. Returns the process exit status (0 run
// completed, 1 command-line error, 2 help, 3 log not opened, 4 input folder not opened, 5 an
// E line with --strict).
int RunConverter(int argc, char* argv[]);

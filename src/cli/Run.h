// The run: options, log, folder scan, totals and exit status.
#pragma once

// The whole run. Returns the process exit status: 0 run completed (also when nothing matched or
// single files failed), 1 command-line error, 2 help, 3 log not opened or not written, 4 input
// folder not opened, 5 an E line with --strict, 128 + the signal that interrupted it.
int RunConverter(int argc, char* argv[]);

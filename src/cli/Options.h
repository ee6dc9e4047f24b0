// The command line: single letters after '-' or '/' (case-insensitive, values glued to the
// letter) and long options of our own, read once into the settings of the run.
#pragma once

#include "cli/Settings.h"

// What ProcessCommandLine found.
enum { OPTIONS_REFUSED = 0, OPTIONS_HELP = 1, OPTIONS_GO_ON = 2 };

// Reads the options into settings and completes the three folders (each then ending in '/').
// Returns OPTIONS_REFUSED after a syntax error (said on the console), OPTIONS_HELP after
// printing the help table, OPTIONS_GO_ON when the run goes on.
int ProcessCommandLine(int argc, char* argv[], tagSETTINGS* settings);

// --help and --version, wherever they stand, answer alone on standard output: returns 1 when
// one did.
int AnswerLongQuestion(int argc, char* argv[]);

// The long option of the health report and its thresholds.
#pragma once

#include "cli/Settings.h"

// The help line of --health.
extern const char kHealthHelp[];

// --health=KEY=VALUE[,KEY=VALUE...]: the health report, with the thresholds named (the others
// keep their defaults; a key named twice takes its last value). Returns 1 when accepted, else
// says why on the console and returns 0, the settings untouched.
int AcceptHealth(const char* value, tagSETTINGS* s);

// The reports of a data file.
#pragma once

#include "base/RunLog.h"
#include "cli/Settings.h"
#include "datafile/DeviceTable.h"

// Writes the reports the settings ask for into the target folder, in the order element, lane,
// trap, contents, summaries, corridors, health; none when the start date cannot name them
// (logged). `name` is the file's name as messages show it. Stops after a report that an
// interruption dropped. Returns how many reports were published.
int WriteReports(const tagDATAFILE& file, const tagSETTINGS& settings, const char* name,
                 tagLOG* log);

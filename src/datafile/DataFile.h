// One twenty-second data file from its bytes to its reports: the one place where a data file's
// steps are called in order.
#pragma once

#include "base/RunLog.h"
#include "cli/Settings.h"
#include "datafile/DeviceTable.h"

// Converts the data file `entry` of the source folder into the reports the settings ask for.
// Returns 1 when the file went through the pipeline, 0 when it could not be opened, sized,
// allocated or read (logged). An interrupted report ends the file without its closing lines.
int ProcessDataFile(const tagSETTINGS& settings, const char* entry, tagLOG* log);

// The steps of a data file in memory, for the converter, the tests, the benchmarks and the fuzz
// targets alike: the header, the device table of the file in buffer (size bytes, kept by the
// caller while *file is used), the data blocks, the trap and station links and the scan-count
// warnings. `name` is the file's name as messages show it. Returns 1, or 0 when there is no
// device table (logged).
int LoadDataFile(const char* buffer, int size, const char* name, tagDATAFILE* file, tagLOG* log);

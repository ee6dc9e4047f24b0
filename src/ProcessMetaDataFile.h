// ProcessMetaDataFile: converts a fixed-column cabinet list into the cabinet CSV.
#pragma once

#include <cstdio>

// Reads the list `entry` of sourceFolder (count, date and fill passes) and writes its cabinet
// CSV "RMDC_<date>.CSV" into targetFolder. Returns 1 when the list was read through and handed
// to the CSV writer, 0 when it was refused (not opened, not allocated, no usable date).
int ProcessMetadataFile(const char* sourceFolder, const char* targetFolder, const char* entry,
                        FILE* log);

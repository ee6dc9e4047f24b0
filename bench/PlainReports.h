// PlainReports: the element, lane and trap reports written the plain way, one fprintf per row
// from a whole day of values made beforehand: the yardstick reports_bench holds the converter's
// writers against. Default options only (no -S, -R, -P or -D), as the benchmarks run them.
#pragma once

#include <cstdio>

#include "datafile/Blocks.h"

// A whole day of the values of every device of a loaded file, made by the converter's own steps
// in one block: the writers below then only format.
struct tagPLAINDAY {
    const tagDATAFILE* lpFile;
    tagBLOCK block;
};
tagPLAINDAY MakePlainDay(const tagDATAFILE& file);

// Each writes the report's header and every row, period by period, device by device.
void PlainElementReport(const tagPLAINDAY& day, FILE* out);
void PlainLaneReport(const tagPLAINDAY& day, FILE* out);
void PlainTrapReport(const tagPLAINDAY& day, FILE* out);

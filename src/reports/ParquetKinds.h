// The Parquet form of each report: its columns, those of its --clean header in their order,
// typed. A kind with typed rows (element, lane, trap) lists its columns beside its row writer;
// the others are read from their standard CSV text, their columns listed in ParquetKinds.cpp.
#pragma once

#include <cstddef>

#include "cli/Settings.h"
#include "datafile/DeviceTable.h"
#include "output/ParquetPages.h"
#include "output/ReportFile.h"

struct tagREPORTKIND;

struct tagPARQUETSCHEMA {
    const tagPARQUETCOLUMN* columns;
    int count;
};
template <size_t N>
constexpr tagPARQUETSCHEMA Schema(const tagPARQUETCOLUMN (&columns)[N]) {
    return {columns, (int)N};
}

extern const tagPARQUETSCHEMA kElementParquet, kLaneParquet, kTrapParquet, kCabinetParquet;

// The columns of a report kind; none (count 0) for a kind without a Parquet form.
tagPARQUETSCHEMA ParquetSchemaOf(const tagREPORTKIND& kind);

// Makes the opened report a Parquet file of the schema, the file's day (MM/DD/YYYY...) giving
// its periods' times, compressed as the settings say. Returns 1, or 0 with errno set and the
// report's temporary file removed.
int StartParquetReport(tagREPORTFILE* report, const tagPARQUETSCHEMA& schema, const char* day,
                       const tagSETTINGS& settings);

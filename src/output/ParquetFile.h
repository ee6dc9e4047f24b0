// A report written as a Parquet file: the rows of a row group held column by column in
// buffers of bounded size, each full row group written out as its column chunks, then the
// footer. Rows come typed, straight from the blocks of period values, or as the whole records
// of the report's standard CSV text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output/ParquetPages.h"

enum { PARQUET_MAX_COLUMNS = 64 };

// The row group being filled: one buffer per column (StoreWidth bytes a row), and for an
// optional column one defined flag a row. Rows [0, used) are filled; there is room for `room`.
struct tagPARQUETROWS {
    uint8_t* column[PARQUET_MAX_COLUMNS];
    uint8_t* defined[PARQUET_MAX_COLUMNS];
    size_t used, room;
    template <typename T>
    T* Of(int k) const {
        return (T*)(void*)column[k];
    }
};

struct tagPARQUETWRITER;

// Starts a file of the columns (count at most PARQUET_MAX_COLUMNS) written through sink, its
// pages compressed by codec (0 none, 6 zstd) at level; periodBase is the microseconds of the
// first period of the day (CODE_PERIOD columns). Null when memory cannot be had.
tagPARQUETWRITER* StartParquet(const tagPARQUETCOLUMN* columns, int count, int codec, int level,
                               int64_t periodBase, ParquetSink sink, void* context);

// The rows to fill; after filling row `used`, call ParquetRowDone.
tagPARQUETROWS* ParquetRows(tagPARQUETWRITER* w);
void ParquetMakeRoom(tagPARQUETWRITER* w);  // a bigger buffer, or the row group written out
inline void ParquetRowDone(tagPARQUETWRITER* w, tagPARQUETROWS* rows) {
    if (++rows->used == rows->room) ParquetMakeRoom(w);
}

// The number of a text (a name), the same for the same text all through its row group.
uint32_t ParquetText(tagPARQUETWRITER* w, const char* text, size_t length);
// Between rows: ends the row group when it has numbered 16,384 texts, so that a table of
// millions of names keeps small dictionaries (a day's names repeat every period and fit many
// times over). The numbers given so far then name nothing: take new ones.
void ParquetEndGroupWhenTextsFull(tagPARQUETWRITER* w);

// Takes whole records of the report's standard CSV: the first record of the file is its header,
// which must name the columns; each other record is a row, an empty field a null. Returns 0
// (errno EINVAL) when a record does not fit the columns.
int ParquetCsv(tagPARQUETWRITER* w, const char* text, size_t length);

// Writes the last row group and the footer. Returns 1, or 0 when a write failed or a record was
// refused.
int FinishParquet(tagPARQUETWRITER* w);
void FreeParquet(tagPARQUETWRITER* w);

// Microseconds from 1970-01-01 00:00:00 to the day's start; the date as in a data file's header,
// MM/DD/YYYY.
int64_t DayMicros(const char* date);

// The name and version the footer records as its writer.
inline constexpr char kParquetCreatedBy[] = "korva2csv version 2.02";

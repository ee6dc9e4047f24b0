// The columns of a Parquet report and their encoding into column chunks: the column
// descriptions the report kinds give, the values of a row group as the writer buffers them,
// and the pages (dictionary, data) that become one chunk of the file.
#pragma once

#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The types a column shows its readers.
enum ParquetType : uint8_t {
    PARQUET_INT8,       // INT32 holding -128 to 127
    PARQUET_INT16,      // INT32 holding -32768 to 32767
    PARQUET_INT32,      //
    PARQUET_DOUBLE,     //
    PARQUET_TIMESTAMP,  // INT64 microseconds of a local time (the archive's times have no zone)
    PARQUET_STRING,     // UTF-8 BYTE_ARRAY
};
// How a row group holds a column's values until it is written: 8 or 16-bit codes (counts, the
// 16-bit inputs of the scaled texts, periods of the day), 32 or 64-bit integers, doubles, or the
// writer's number of a text.
enum ParquetStore : uint8_t { STORE_U8, STORE_U16, STORE_I32, STORE_I64, STORE_F64, STORE_TEXT };
// What a code stands for: itself, the value of the exact CSV text of the scaled field (see
// NumberTextKind, in its order), or the start of a period of the day.
enum ParquetCode : uint8_t {
    CODE_SELF,
    CODE_TWELFTHS_1,
    CODE_TWELFTHS_2,
    CODE_TENTHS_1,
    CODE_WHOLE_1,
    CODE_PERIOD
};

struct tagPARQUETCOLUMN {
    const char* szName;  // as in the --clean header
    ParquetType type;
    ParquetStore store;
    ParquetCode code;
    bool bOptional;  // an empty CSV field is a null
};

// A column of a report whose rows are read from its CSV text: held as its type's own values,
// and null where the text is empty.
constexpr tagPARQUETCOLUMN TextColumn(const char* name, ParquetType type) {
    ParquetStore store = type == PARQUET_DOUBLE      ? STORE_F64
                         : type == PARQUET_TIMESTAMP ? STORE_I64
                         : type == PARQUET_STRING    ? STORE_TEXT
                                                     : STORE_I32;
    return {name, type, store, CODE_SELF, true};
}

// A column of typed rows: never null.
constexpr tagPARQUETCOLUMN TypedColumn(const char* name, ParquetType type, ParquetStore store,
                                       ParquetCode code = CODE_SELF) {
    return {name, type, store, code, false};
}

// Bytes a value of the store takes in a row group.
size_t StoreWidth(ParquetStore store);

// The double whose shortest round trip is the CSV text of a code of a scaled column.
double CodeValue(ParquetCode code, unsigned x);

// The footer's record of one column chunk.
struct tagCHUNKMETA {
    int64_t dictionaryOffset = -1, dataOffset = 0;
    int64_t uncompressed = 0, compressed = 0;  // page headers included
    int64_t values = 0, nulls = 0;
    bool dictionary = false, minMax = false;
    std::string min, max;  // PLAIN bytes of the least and greatest value
};

// Where the file's bytes go; false when they could not be written.
typedef bool (*ParquetSink)(void* context, const char* data, size_t length);

// What the chunks of a file share: the compressor, the sink, the file's offset, scratch.
struct tagPAGEWRITER {
    int codec = 0;  // 0 uncompressed, 6 zstd
    int level = 1;
    ZSTD_CCtx* zstd = nullptr;
    ParquetSink sink = nullptr;
    void* context = nullptr;
    int64_t offset = 0;      // bytes written so far
    bool failed = false;     // the sink or the compressor failed
    int64_t periodBase = 0;  // microseconds of the day's first period
    const std::vector<const std::string*>* texts = nullptr;  // the writer's texts by number
    std::vector<int32_t> slot;         // a chunk's dictionary slots (see WriteChunk)
    std::vector<uint32_t> entries;     // the dictionary's codes or texts, in index order
    std::vector<uint32_t> indexes;     // a page's dictionary indexes
    std::string page, packed, header;  // a page's body, compressed, and header
};

// Writes bytes through the sink, counting them.
void PutBytes(tagPAGEWRITER* w, const char* data, size_t length);

// Encodes `rows` values (and, for an optional column, their defined flags) of column as one
// chunk of pages, writes it and describes it in meta.
void WriteChunk(tagPAGEWRITER* w, const tagPARQUETCOLUMN& column, const uint8_t* values,
                const uint8_t* defined, size_t rows, tagCHUNKMETA* meta);

// Appends values (each below 2^bitWidth) in the RLE/bit-packed hybrid encoding.
void PutHybrid(std::string* out, const uint32_t* values, size_t count, int bitWidth);

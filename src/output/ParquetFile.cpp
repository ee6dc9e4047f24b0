#include "output/ParquetFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/Limits.h"
#include "output/ParquetThrift.h"

static_assert(std::string_view(kParquetCreatedBy).ends_with(szVersion));

// A row group of about a million rows, fewer when its buffers would pass 12 MiB (an element row
// takes 45 bytes: 279,620 rows): memory stays bounded whatever the day's size.
enum { GROUP_ROWS = 1 << 20, GROUP_BYTES = 12 << 20, FIRST_ROOM = 1 << 14 };
// The texts of a row group: a day's names repeat every period and fit many times over; a table of
// millions of names ends its row groups at this many (between chunks of its devices, or rows of
// a report read from its text), so that their dictionaries stay small.
enum { GROUP_TEXTS = 1 << 14 };

struct tagGROUPMETA {
    int64_t rows, offset;
    std::vector<tagCHUNKMETA> chunks;
};

struct tagPARQUETWRITER {
    std::vector<tagPARQUETCOLUMN> columns;
    tagPARQUETROWS rows = {};
    std::vector<std::vector<uint8_t>> values, defined;
    size_t most = 0;  // rows of a full row group
    // The texts: numbered in order of appearance; the keys of the map stay where they are.
    std::unordered_map<std::string, uint32_t> numbers;
    std::vector<const std::string*> texts;
    tagPAGEWRITER pages;
    std::vector<tagGROUPMETA> groups;
    bool headerSeen = false, refused = false;
    std::string field;  // a CSV field being read
};

int64_t DayMicros(const char* date) {
    auto number = [](const char* p, int digits) {
        int n = 0;
        for (int i = 0; i < digits; i++) n = n * 10 + (p[i] - '0');
        return n;
    };
    int month = number(date, 2), day = number(date + 3, 2), year = number(date + 6, 4);
    // Days from 1970-01-01 to the date of the proleptic Gregorian calendar.
    year -= month <= 2;
    int era = (year >= 0 ? year : year - 399) / 400;
    int yoe = year - era * 400;
    int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = (int64_t)era * 146097 + doe - 719468;
    return days * 86400 * 1000000;
}

// Points the rows at the buffers, with room for `room` rows.
static void Resize(tagPARQUETWRITER* w, size_t room) {
    for (size_t k = 0; k < w->columns.size(); k++) {
        w->values[k].resize(room * StoreWidth(w->columns[k].store));
        w->rows.column[k] = w->values[k].data();
        if (w->columns[k].bOptional) {
            w->defined[k].resize(room);
            w->rows.defined[k] = w->defined[k].data();
        }
    }
    w->rows.room = room;
}

tagPARQUETWRITER* StartParquet(const tagPARQUETCOLUMN* columns, int count, int codec, int level,
                               int64_t periodBase, ParquetSink sink, void* context) {
    if (count > PARQUET_MAX_COLUMNS) return nullptr;
    tagPARQUETWRITER* w = new tagPARQUETWRITER;
    w->columns.assign(columns, columns + count);
    w->values.resize((size_t)count);
    w->defined.resize((size_t)count);
    size_t rowBytes = 0;
    for (const tagPARQUETCOLUMN& c : w->columns) rowBytes += StoreWidth(c.store) + c.bOptional;
    w->most = std::clamp<size_t>(GROUP_BYTES / std::max<size_t>(rowBytes, 1), 1, GROUP_ROWS);
    Resize(w, std::min<size_t>(FIRST_ROOM, w->most));
    tagPAGEWRITER& p = w->pages;
    p.codec = codec;
    p.level = level;
    p.sink = sink;
    p.context = context;
    p.periodBase = periodBase;
    p.texts = &w->texts;
    if (codec == 6 && !(p.zstd = ZSTD_createCCtx())) {
        delete w;
        return nullptr;
    }
    PutBytes(&p, "PAR1", 4);
    return w;
}

tagPARQUETROWS* ParquetRows(tagPARQUETWRITER* w) {
    return &w->rows;
}

// Writes the rows held as a row group and empties the buffers.
static void WriteGroup(tagPARQUETWRITER* w) {
    size_t rows = w->rows.used;
    if (rows == 0) return;
    tagGROUPMETA group = {(int64_t)rows, w->pages.offset, {}};
    group.chunks.resize(w->columns.size());
    for (size_t k = 0; k < w->columns.size(); k++)
        WriteChunk(&w->pages, w->columns[k], w->rows.column[k],
                   w->columns[k].bOptional ? w->rows.defined[k] : nullptr, rows, &group.chunks[k]);
    w->groups.push_back(std::move(group));
    w->rows.used = 0;
}

void ParquetMakeRoom(tagPARQUETWRITER* w) {
    if (w->rows.room < w->most)
        Resize(w, std::min(w->most, 2 * w->rows.room));
    else
        WriteGroup(w);
}

uint32_t ParquetText(tagPARQUETWRITER* w, const char* text, size_t length) {
    auto [at, added] = w->numbers.try_emplace(std::string(text, length), (uint32_t)w->texts.size());
    if (added) w->texts.push_back(&at->first);
    return at->second;
}

// Reads one CSV field of [*p, end) into w->field, quoted or not, and moves *p past it and its
// separator. Returns the separator: ',', '\n', or 0 at the end of the text. *quoted tells a
// quoted field (never a null).
static char ReadField(tagPARQUETWRITER* w, const char** p, const char* end, bool* quoted) {
    std::string& f = w->field;
    f.clear();
    const char* s = *p;
    *quoted = s < end && *s == '"';
    if (*quoted) {
        for (s++; s < end; s++) {
            if (*s == '"') {
                if (s + 1 < end && s[1] == '"') {
                    f += '"', s++;
                    continue;
                }
                s++;
                break;
            }
            f += *s;
        }
    } else {
        const char* stop = s;
        while (stop < end && *stop != ',' && *stop != '\n') stop++;
        f.assign(s, stop);
        s = stop;
    }
    char separator = s < end ? *s : '\0';
    *p = s < end ? s + 1 : s;
    return separator;
}

// Puts a field's text as row `r` of column k; false when it is not of the column's type.
static bool PutField(tagPARQUETWRITER* w, size_t k, size_t r, bool quoted) {
    const tagPARQUETCOLUMN& c = w->columns[k];
    const std::string& f = w->field;
    bool null = f.empty() && !(quoted && c.type == PARQUET_STRING);
    if (c.bOptional) w->rows.defined[k][r] = !null;
    if (null) return c.bOptional;
    uint8_t* at = w->rows.column[k] + r * StoreWidth(c.store);
    const char *first = f.data(), *last = f.data() + f.size();
    switch (c.store) {
        case STORE_TEXT: {
            uint32_t number = ParquetText(w, f.data(), f.size());
            memcpy(at, &number, 4);
            return true;
        }
        case STORE_F64: {
            double value = 0;
            auto [end, error] = std::from_chars(first, last, value);
            memcpy(at, &value, 8);
            return error == std::errc() && end == last;
        }
        case STORE_I64: {  // a time, YYYY-MM-DD HH:MM:SS
            if (f.size() != 19) return false;
            char date[11] = {f[5], f[6], '/', f[8], f[9], '/', f[0], f[1], f[2], f[3], 0};
            int64_t micros =
                DayMicros(date) +
                (int64_t)(atoi(&f[11]) * 3600 + atoi(&f[14]) * 60 + atoi(&f[17])) * 1000000;
            memcpy(at, &micros, 8);
            return true;
        }
        default: {
            int32_t value = 0;
            auto [end, error] = std::from_chars(first, last, value);
            memcpy(at, &value, 4);
            return error == std::errc() && end == last;
        }
    }
}

void ParquetEndGroupWhenTextsFull(tagPARQUETWRITER* w) {
    if (w->texts.size() < GROUP_TEXTS) return;
    WriteGroup(w);  // its texts are written with it; the next group numbers its own
    w->numbers.clear();
    w->texts.clear();
}

int ParquetCsv(tagPARQUETWRITER* w, const char* text, size_t length) {
    const char *p = text, *end = text + length;
    size_t count = w->columns.size();
    while (p < end && !w->refused) {
        bool quoted;
        size_t r = w->rows.used, k = 0;
        for (char separator = ','; separator == ',' && !w->refused; k++) {
            separator = ReadField(w, &p, end, &quoted);
            if (k >= count)
                w->refused = true;
            else if (!w->headerSeen)
                w->refused = w->field != w->columns[k].szName;
            else
                w->refused = !PutField(w, k, r, quoted);
        }
        w->refused = w->refused || k != count;
        if (!w->headerSeen)
            w->headerSeen = true;
        else if (!w->refused) {
            ParquetRowDone(w, &w->rows);
            ParquetEndGroupWhenTextsFull(w);
        }
    }
    if (w->refused) errno = EINVAL;
    return !w->refused;
}

// The schema's leaf for a column: physical type, repetition, name, converted and logical type.
static void PutSchemaLeaf(tagTHRIFT* t, const tagPARQUETCOLUMN& c) {
    static const int physical[] = {1, 1, 1, 5, 2, 6};
    t->Begin();
    t->I32(1, physical[c.type]);
    t->I32(3, c.bOptional ? 1 : 0);
    t->Binary(4, c.szName, strlen(c.szName));
    if (c.type == PARQUET_INT8 || c.type == PARQUET_INT16) {
        t->I32(6, c.type == PARQUET_INT8 ? 15 : 16);  // INT_8, INT_16
        t->Begin(10);
        t->Begin(10);  // INTEGER
        t->I8(1, c.type == PARQUET_INT8 ? 8 : 16);
        t->Bool(2, true);
        t->End();
        t->End();
    } else if (c.type == PARQUET_STRING) {
        t->I32(6, 0);  // UTF8
        t->Begin(10);
        t->Empty(1);  // STRING
        t->End();
    } else if (c.type == PARQUET_TIMESTAMP) {
        // No converted type: TIMESTAMP_MICROS would claim a time in UTC.
        t->Begin(10);
        t->Begin(8);  // TIMESTAMP
        t->Bool(1, false);
        t->Begin(2);
        t->Empty(2);  // MICROS
        t->End();
        t->End();
        t->End();
    }
    t->End();
}

// A column chunk's record in the footer.
static void PutChunk(tagTHRIFT* t, const tagPARQUETCOLUMN& c, const tagCHUNKMETA& m, int codec) {
    static const int physical[] = {1, 1, 1, 5, 2, 6};
    t->Begin();
    t->I64(2, m.dictionaryOffset >= 0 ? m.dictionaryOffset : m.dataOffset);
    t->Begin(3);
    t->I32(1, physical[c.type]);
    t->List(2, THRIFT_I32, m.dictionary ? 3 : 2);
    t->ZigZag(0);                    // PLAIN
    t->ZigZag(3);                    // RLE
    if (m.dictionary) t->ZigZag(8);  // RLE_DICTIONARY
    t->List(3, THRIFT_BINARY, 1);
    t->ListBinary(c.szName);
    t->I32(4, codec);
    t->I64(5, m.values);
    t->I64(6, m.uncompressed);
    t->I64(7, m.compressed);
    t->I64(9, m.dataOffset);
    if (m.dictionaryOffset >= 0) t->I64(11, m.dictionaryOffset);
    t->Begin(12);
    t->I64(3, m.nulls);
    if (m.minMax) t->Binary(5, m.max), t->Binary(6, m.min);
    t->End();
    t->End();
    t->End();
}

int FinishParquet(tagPARQUETWRITER* w) {
    if (!w->refused) WriteGroup(w);
    tagTHRIFT t;
    t.I32(1, 1);
    t.List(2, THRIFT_STRUCT, w->columns.size() + 1);
    t.Begin();
    t.Binary(4, "schema", 6);
    t.I32(5, (int32_t)w->columns.size());
    t.End();
    for (const tagPARQUETCOLUMN& c : w->columns) PutSchemaLeaf(&t, c);
    int64_t rows = 0;
    for (const tagGROUPMETA& g : w->groups) rows += g.rows;
    t.I64(3, rows);
    t.List(4, THRIFT_STRUCT, w->groups.size());
    for (size_t g = 0; g < w->groups.size(); g++) {
        const tagGROUPMETA& group = w->groups[g];
        t.Begin();
        t.List(1, THRIFT_STRUCT, group.chunks.size());
        int64_t uncompressed = 0, compressed = 0;
        for (size_t k = 0; k < group.chunks.size(); k++) {
            PutChunk(&t, w->columns[k], group.chunks[k], w->pages.codec);
            uncompressed += group.chunks[k].uncompressed;
            compressed += group.chunks[k].compressed;
        }
        t.I64(2, uncompressed);
        t.I64(3, group.rows);
        t.I64(5, group.offset);
        t.I64(6, compressed);
        t.I16(7, (int16_t)g);
        t.End();
    }
    t.Binary(6, kParquetCreatedBy, strlen(kParquetCreatedBy));
    t.List(7, THRIFT_STRUCT, w->columns.size());
    for (size_t k = 0; k < w->columns.size(); k++) {
        t.Begin();
        t.Empty(1);  // TYPE_ORDER
        t.End();
    }
    t.out += '\0';
    uint32_t length = (uint32_t)t.out.size();
    for (int b = 0; b < 4; b++) t.out += (char)(length >> (8 * b));
    t.out += "PAR1";
    PutBytes(&w->pages, t.out.data(), t.out.size());
    return !w->refused && !w->pages.failed;
}

void FreeParquet(tagPARQUETWRITER* w) {
    if (!w) return;
    ZSTD_freeCCtx(w->pages.zstd);
    delete w;
}

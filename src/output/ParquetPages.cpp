#include "output/ParquetPages.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "output/CsvText.h"
#include "output/ParquetThrift.h"

enum { PAGE_ROWS = 1 << 17 };  // rows of a data page: about a megabyte of doubles at most

size_t StoreWidth(ParquetStore store) {
    static const size_t widths[] = {1, 2, 4, 8, 8, 4};
    return widths[store];
}

double CodeValue(ParquetCode code, unsigned x) {
    if (code == CODE_SELF || code == CODE_PERIOD) return x;
    // The text the CSV shows, read back once per code: its double prints as that text.
    static std::vector<double> made[4];
    std::vector<double>& values = made[code - CODE_TWELFTHS_1];
    if (values.empty()) values.assign(65536, -1.0);
    if (values[x] < 0) {
        tagNUMBERTABLE* table = NumberTable((NumberTextKind)(code - CODE_TWELFTHS_1));
        if (table->text[x].length == 0) MakeNumberText(table, x);
        const char* text = table->text[x].text;
        std::from_chars(text, text + table->text[x].length, values[x]);
    }
    return values[x];
}

void PutBytes(tagPAGEWRITER* w, const char* data, size_t length) {
    if (!w->failed && length > 0 && !w->sink(w->context, data, length)) w->failed = true;
    w->offset += (int64_t)length;
}

void PutHybrid(std::string* out, const uint32_t* values, size_t count, int bitWidth) {
    auto varint = [out](uint64_t v) {
        for (; v >= 0x80; v >>= 7) *out += (char)((v & 0x7f) | 0x80);
        *out += (char)v;
    };
    // The length of the run of equal values at i, counted up to `most`.
    auto runAt = [&](size_t i, size_t most) {
        size_t n = 1;
        while (i + n < count && n < most && values[i + n] == values[i]) n++;
        return n;
    };
    size_t valueBytes = (size_t)(bitWidth + 7) / 8;
    size_t i = 0;
    while (i < count) {
        size_t run = runAt(i, count);
        if (run >= 8) {  // a repeated value: its count and the value in whole bytes
            varint(run << 1);
            for (size_t b = 0; b < valueBytes; b++) *out += (char)(values[i] >> (8 * b));
            i += run;
            continue;
        }
        // Groups of 8 bit-packed values until a run of 8 starts a group; only the last group
        // of the data may be padded.
        size_t end = i;
        do end += 8;
        while (end < count && runAt(end, 8) < 8 && end - i < 8 * 63);
        size_t groups = (std::min(end, count) - i + 7) / 8;
        varint(groups << 1 | 1);
        size_t at = out->size();
        out->resize(at + groups * (size_t)bitWidth);  // 8 values of bitWidth bits: bitWidth bytes
        char* put = out->data() + at;
        uint64_t bits = 0;
        int held = 0;
        for (size_t k = 0; k < groups * 8; k++) {
            uint64_t v = i + k < count ? values[i + k] : 0;
            bits |= v << held;
            held += bitWidth;
            for (; held >= 8; held -= 8, bits >>= 8) *put++ = (char)bits;
        }
        i = std::min(end, count);
    }
}

namespace {

void PutLE(std::string* out, uint64_t value, int bytes) {
    for (int b = 0; b < bytes; b++) *out += (char)(value >> (8 * b));
}

// The PLAIN bytes of the value of the code or text `key` of column.
void PutPlain(tagPAGEWRITER* w, const tagPARQUETCOLUMN& column, uint64_t key, std::string* out) {
    if (column.store == STORE_TEXT) {
        const std::string& text = *(*w->texts)[key];
        PutLE(out, text.size(), 4);
        *out += text;
    } else if (column.type == PARQUET_DOUBLE) {
        double value = column.code == CODE_SELF && column.store == STORE_F64
                           ? std::bit_cast<double>(key)
                           : CodeValue(column.code, (unsigned)key);
        PutLE(out, std::bit_cast<uint64_t>(value), 8);
    } else if (column.type == PARQUET_TIMESTAMP) {
        int64_t value =
            column.code == CODE_PERIOD ? w->periodBase + (int64_t)key * 20000000 : (int64_t)key;
        PutLE(out, (uint64_t)value, 8);
    } else {
        PutLE(out, key, 4);
    }
}

// The key of value r of a row group's column: a code, a text's number, or the value's bits.
uint64_t KeyAt(ParquetStore store, const uint8_t* values, size_t r) {
    switch (store) {
        case STORE_U8:
            return values[r];
        case STORE_U16: {
            uint16_t v;
            memcpy(&v, values + 2 * r, 2);
            return v;
        }
        case STORE_I32:
        case STORE_TEXT: {
            uint32_t v;
            memcpy(&v, values + 4 * r, 4);
            return v;
        }
        default: {
            uint64_t v;
            memcpy(&v, values + 8 * r, 8);
            return v;
        }
    }
}

// Orders two keys of column by the values they stand for.
bool Less(tagPAGEWRITER* w, const tagPARQUETCOLUMN& c, uint64_t a, uint64_t b) {
    if (c.store == STORE_TEXT) return *(*w->texts)[a] < *(*w->texts)[b];
    if (c.type == PARQUET_DOUBLE) {
        if (c.store == STORE_F64) return std::bit_cast<double>(a) < std::bit_cast<double>(b);
        return CodeValue(c.code, (unsigned)a) < CodeValue(c.code, (unsigned)b);
    }
    if (c.store == STORE_I32) return (int32_t)(uint32_t)a < (int32_t)(uint32_t)b;
    return (int64_t)a < (int64_t)b;  // codes, and 64-bit integers
}

// Writes one page: its body compressed as the file asks, behind its header.
void PutPage(tagPAGEWRITER* w, bool dictionary, size_t values, int encoding, tagCHUNKMETA* meta) {
    const std::string* body = &w->page;
    if (w->codec == 6) {
        w->packed.resize(ZSTD_compressBound(w->page.size()));
        size_t n = ZSTD_compressCCtx(w->zstd, w->packed.data(), w->packed.size(), w->page.data(),
                                     w->page.size(), w->level);
        if (ZSTD_isError(n)) w->failed = true, n = 0;
        w->packed.resize(n);
        body = &w->packed;
    }
    tagTHRIFT t;
    t.I32(1, dictionary ? 2 : 0);
    t.I32(2, (int32_t)w->page.size());
    t.I32(3, (int32_t)body->size());
    t.Begin(dictionary ? 7 : 5);
    t.I32(1, (int32_t)values);
    t.I32(2, encoding);
    if (!dictionary) t.I32(3, 3), t.I32(4, 3);  // levels, when any, are RLE
    t.End();
    t.out += '\0';
    if (dictionary)
        meta->dictionaryOffset = w->offset;
    else if (meta->dataOffset < 0)
        meta->dataOffset = w->offset;
    meta->uncompressed += (int64_t)(t.out.size() + w->page.size());
    meta->compressed += (int64_t)(t.out.size() + body->size());
    PutBytes(w, t.out.data(), t.out.size());
    PutBytes(w, body->data(), body->size());
}

}  // namespace

// Calls f(r, key) for the defined values r of [first, end) of a row group's column; the store
// a template argument, so that each loop reads its own width.
template <ParquetStore store, typename F>
static void ForEachKey(const uint8_t* values, const uint8_t* defined, size_t first, size_t end,
                       F f) {
    for (size_t r = first; r < end; r++)
        if (!defined || defined[r]) f(KeyAt(store, values, r));
}
template <typename F>
static void ForEachKey(ParquetStore store, const uint8_t* values, const uint8_t* defined,
                       size_t first, size_t end, F f) {
    switch (store) {
        case STORE_U8:
            return ForEachKey<STORE_U8>(values, defined, first, end, f);
        case STORE_U16:
            return ForEachKey<STORE_U16>(values, defined, first, end, f);
        case STORE_I32:
            return ForEachKey<STORE_I32>(values, defined, first, end, f);
        case STORE_TEXT:
            return ForEachKey<STORE_TEXT>(values, defined, first, end, f);
        default:
            return ForEachKey<STORE_I64>(values, defined, first, end, f);
    }
}

// The dictionary slot of a key, which holds its entry's index + 1 (0: not in the dictionary):
// codes and texts index the slot table directly; 32-bit integers are hashed into it (open
// addressing).
static inline __attribute__((always_inline)) int32_t* SlotOf(tagPAGEWRITER* w, ParquetStore store,
                                                             uint64_t key) {
    if (store != STORE_I32) return &w->slot[key];
    size_t mask = w->slot.size() - 1;
    for (size_t at = (size_t)((key * 0x9E3779B97F4A7C15u) >> 40) & mask;; at = (at + 1) & mask) {
        int32_t& s = w->slot[at];
        if (s == 0 || w->entries[(size_t)s - 1] == (uint32_t)key) return &s;
    }
}

void WriteChunk(tagPAGEWRITER* w, const tagPARQUETCOLUMN& column, const uint8_t* values,
                const uint8_t* defined, size_t rows, tagCHUNKMETA* meta) {
    *meta = tagCHUNKMETA{};
    meta->dataOffset = -1;
    meta->values = (int64_t)rows;
    ParquetStore store = column.store;
    // Codes and texts are always dictionary-encoded, 32-bit integers while they have at most
    // 2^16 values (a dictionary page of 256 KiB), 64-bit integers and doubles never.
    bool dictionary = store != STORE_I64 && store != STORE_F64;
    bool hashed = store == STORE_I32;
    std::vector<int32_t>& slot = w->slot;
    size_t keys = store == STORE_TEXT ? std::max<size_t>(w->texts->size(), 65536) : 65536;
    if (hashed) keys = 1 << 18;
    if (dictionary) slot.assign(keys, 0);
    w->entries.clear();
    if (defined) meta->nulls = (int64_t)std::count(defined, defined + rows, 0);
    bool any = false;
    uint64_t least = 0, most = 0;
    auto take = [&](uint64_t key) {
        if (!any || Less(w, column, key, least)) least = key;
        if (!any || Less(w, column, most, key)) most = key;
        any = true;
    };
    if (dictionary) {
        ForEachKey(store, values, defined, 0, rows, [&](uint64_t key) HOT_LAMBDA {
            if (hashed && w->entries.size() > 65536) return;
            int32_t* s = SlotOf(w, store, key);
            if (*s != 0) return;
            w->entries.push_back((uint32_t)key);
            *s = (int32_t)w->entries.size();
        });
        // A chunk of nulls only has no dictionary: its pages are PLAIN (of no values).
        if (w->entries.size() > 65536 || w->entries.empty()) dictionary = false;
    }
    meta->dictionary = dictionary;
    int bitWidth = 1;
    if (dictionary) {
        w->page.clear();
        for (uint32_t key : w->entries) take(key), PutPlain(w, column, key, &w->page);
        while (bitWidth < 32 && (size_t{1} << bitWidth) < w->entries.size()) bitWidth++;
        PutPage(w, true, w->entries.size(), 0, meta);
    } else {
        ForEachKey(store, values, defined, 0, rows, take);
    }
    if (any) {
        meta->minMax = true;
        PutPlain(w, column, least, &meta->min);
        PutPlain(w, column, most, &meta->max);
        if (store == STORE_TEXT) meta->min.erase(0, 4), meta->max.erase(0, 4);  // no length
    }
    // The data pages: definition levels of an optional column, then the values.
    std::vector<uint32_t> levels;
    for (size_t first = 0; first < rows; first += PAGE_ROWS) {
        size_t n = std::min<size_t>(PAGE_ROWS, rows - first), end = first + n;
        w->page.clear();
        if (defined) {
            levels.assign(defined + first, defined + end);
            std::string hybrid;
            PutHybrid(&hybrid, levels.data(), n, 1);
            PutLE(&w->page, hybrid.size(), 4);
            w->page += hybrid;
        }
        if (dictionary) {
            w->indexes.clear();
            w->indexes.resize(n);
            uint32_t* index = w->indexes.data();
            ForEachKey(store, values, defined, first, end, [&](uint64_t key) HOT_LAMBDA {
                *index++ = (uint32_t)(*SlotOf(w, store, key) - 1);
            });
            w->indexes.resize((size_t)(index - w->indexes.data()));
            w->page += (char)bitWidth;
            PutHybrid(&w->page, w->indexes.data(), w->indexes.size(), bitWidth);
        } else {
            ForEachKey(store, values, defined, first, end,
                       [&](uint64_t key) { PutPlain(w, column, key, &w->page); });
        }
        PutPage(w, false, n, dictionary ? 8 : 0, meta);
    }
}

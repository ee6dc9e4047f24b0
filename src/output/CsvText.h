// The texts of report fields: CSV quoting, decimal counts, the exact printf texts of the scaled
// fields, and the collection times. The field writers sit in the innermost loop of every report,
// so they are inline; each has REPORT_ROW_RESERVE bytes of room for a row, far more than the
// longest row (about 200 bytes), so texts are copied in fixed-size pieces.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>

#include "base/Limits.h"

#define HOT inline __attribute__((always_inline))
#define HOT_LAMBDA __attribute__((always_inline))

// Copies text into out (room for 2 * strlen + 3 bytes) as one CSV field: quoted, its quotes
// doubled, when it holds a comma, a quote or a line break. Returns the end of what was written.
char* PutCsvField(char* out, const char* text);

static HOT char* Comma(char* p) {
    *p = ',';
    return p + 1;
}

// Decimal digits of a count; most counts in a report are below 100.
static HOT char* PutUnsigned(char* p, unsigned value) {
    static const char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    if (value < 10) {
        *p = (char)('0' + value);
        return p + 1;
    }
    if (value < 100) {
        memcpy(p, pairs + 2 * value, 2);
        return p + 2;
    }
    if (value < 1000) {
        *p = (char)('0' + value / 100);
        memcpy(p + 1, pairs + 2 * (value % 100), 2);
        return p + 3;
    }
    return std::to_chars(p, p + 12, value).ptr;
}

// Exact printf texts of one scaled field for every 16-bit input. Each entry is made with
// snprintf the first time a report needs it, so the reports are identical to the printf formats
// by construction (round-half-to-even ties included) and no run pays for values it never shows.
enum NumberTextKind {
    TEXT_TWELFTHS_1,  // "%2.1f" of x / 12.0f: occupancy in the element report
    TEXT_TWELFTHS_2,  // "%2.2f" of x / 12.0f: occupancy in the lane report
    TEXT_TENTHS_1,    // "%2.1f" of x / 10.0f: speed and length
    TEXT_WHOLE_1,     // "%2.1f" of (double)x: the calculated speed
};
struct tagNUMBERTEXT {
    char text[7];    // at most "65535.0"
    uint8_t length;  // 0: not made yet
};
struct tagNUMBERTABLE {
    NumberTextKind kind;
    tagNUMBERTEXT text[65536];
};

// The table of a kind, made empty on first use and kept for the run.
tagNUMBERTABLE* NumberTable(NumberTextKind kind);
void MakeNumberText(tagNUMBERTABLE* table, unsigned x);

static HOT char* PutScaled(char* p, tagNUMBERTABLE* table, unsigned x) {
    if (table->text[x].length == 0) MakeNumberText(table, x);
    memcpy(p, table->text[x].text, sizeof table->text[x].text);
    return p + table->text[x].length;
}

// The collection-time texts of one report, one per column of its period range.
struct tagTIMETEXTS {
    char text[PERIODS_PER_DAY][32];
    uint8_t length[PERIODS_PER_DAY];
};

// Fills the collection-time texts of columns [first, end) from the data's start date
// (MM/DD/YYYY...): "date HH:MM:SS" as the date stands, with a trailing blank for the element
// report, or with clean the ISO 8601 "YYYY-MM-DD HH:MM:SS".
void MakeTimeTexts(tagTIMETEXTS* times, const char* startDate, int first, int end,
                   bool trailingBlank, bool clean);

static HOT char* PutTime(char* p, const tagTIMETEXTS& times, int c) {
    memcpy(p, times.text[c], sizeof times.text[c]);
    return p + times.length[c];
}

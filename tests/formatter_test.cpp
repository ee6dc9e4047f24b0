// The number texts behind the fast report writers: every 16-bit input of every table must read
// exactly as printf writes the row format's field. This is the proof that the table-driven
// writers are exact (round-half-to-even ties included), not merely close.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Process20SecondDataFile.h"

TEST(NumberTexts, EveryInputReadsAsPrintfWritesIt) {
    const tagNUMBERTEXT* tables[4] = {NumberTexts(TEXT_TWELFTHS_1), NumberTexts(TEXT_TWELFTHS_2),
                                      NumberTexts(TEXT_TENTHS_1), NumberTexts(TEXT_WHOLE_1)};
    int mismatches = 0;
    for (unsigned x = 0; x < 65536; x++) {
        char expected[4][32];
        snprintf(expected[0], sizeof expected[0], "%2.1f", (uint16_t)x / 12.0f);
        snprintf(expected[1], sizeof expected[1], "%2.2f", (uint16_t)x / 12.0f);
        snprintf(expected[2], sizeof expected[2], "%2.1f", (uint16_t)x / 10.0f);
        snprintf(expected[3], sizeof expected[3], "%2.1f", (double)(uint16_t)x);
        for (int kind = 0; kind < 4; kind++) {
            const tagNUMBERTEXT& number = tables[kind][x];
            std::string got = number.length <= sizeof number.text
                                  ? std::string(number.text, number.length)
                                  : "<length overflows>";
            if (got != expected[kind] && ++mismatches <= 10)
                ADD_FAILURE() << "table " << kind << " input " << x << ": \"" << got
                              << "\" instead of \"" << expected[kind] << "\"";
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// The number texts behind the fast report writers: every 16-bit input of every table must read
// exactly as printf writes the row format's field. This is the proof that the table-driven
// writers are exact (round-half-to-even ties included), not merely close.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Process20SecondDataFile.h"

TEST(NumberTexts, EveryInputReadsAsPrintfWritesIt) {
    const tagNUMBERTEXT* twelfths1 = NumberTexts(TEXT_TWELFTHS_1);
    const tagNUMBERTEXT* twelfths2 = NumberTexts(TEXT_TWELFTHS_2);
    const tagNUMBERTEXT* tenths1 = NumberTexts(TEXT_TENTHS_1);
    const tagNUMBERTEXT* whole1 = NumberTexts(TEXT_WHOLE_1);
    auto text = [](const tagNUMBERTEXT& number) {
        return number.length <= sizeof number.text ? std::string(number.text, number.length)
                                                   : std::string("<length overflows>");
    };
    int mismatches = 0;
    for (unsigned x = 0; x < 65536; x++) {
        char expected[4][32];
        snprintf(expected[0], sizeof expected[0], "%2.1f", (uint16_t)x / 12.0f);
        snprintf(expected[1], sizeof expected[1], "%2.2f", (uint16_t)x / 12.0f);
        snprintf(expected[2], sizeof expected[2], "%2.1f", (uint16_t)x / 10.0f);
        snprintf(expected[3], sizeof expected[3], "%2.1f", (double)(uint16_t)x);
        const tagNUMBERTEXT* got[4] = {&twelfths1[x], &twelfths2[x], &tenths1[x], &whole1[x]};
        for (int kind = 0; kind < 4; kind++) {
            if (text(*got[kind]) == expected[kind]) continue;
            if (++mismatches <= 10)
                ADD_FAILURE() << "table " << kind << " input " << x << ": \"" << text(*got[kind])
                              << "\" instead of \"" << expected[kind] << "\"";
        }
    }
    EXPECT_EQ(mismatches, 0);
    // The ties and widths that a hand-written formatter most easily gets wrong.
    EXPECT_EQ(text(twelfths1[3]), "0.2");          // 0.25 rounds to even
    EXPECT_EQ(text(twelfths2[65535]), "5461.25");  // the widest text fills all seven bytes
    EXPECT_EQ(text(whole1[65]), "65.0");
}

#include "output/CsvText.h"

#include <cstdio>

char* PutCsvField(char* out, const char* text) {
    if (!text[strcspn(text, ",\"\r\n")]) {
        size_t length = strlen(text);
        memcpy(out, text, length);
        return out + length;
    }
    *out++ = '"';
    for (; *text; text++) {
        if (*text == '"') *out++ = '"';
        *out++ = *text;
    }
    *out++ = '"';
    return out;
}

tagNUMBERTABLE* NumberTable(NumberTextKind kind) {
    static tagNUMBERTABLE* tables[4];
    if (!tables[kind]) {
        tables[kind] = new tagNUMBERTABLE{};
        tables[kind]->kind = kind;
    }
    return tables[kind];
}

void MakeNumberText(tagNUMBERTABLE* table, unsigned x) {
    float value = (float)x;  // exact: a float holds every 16-bit value
    char text[32];
    int length = 0;
    switch (table->kind) {
        case TEXT_TWELFTHS_1:
            length = snprintf(text, sizeof text, "%2.1f", value / 12.0f);
            break;
        case TEXT_TWELFTHS_2:
            length = snprintf(text, sizeof text, "%2.2f", value / 12.0f);
            break;
        case TEXT_TENTHS_1:
            length = snprintf(text, sizeof text, "%2.1f", value / 10.0f);
            break;
        case TEXT_WHOLE_1:
            length = snprintf(text, sizeof text, "%2.1f", (double)x);
            break;
    }
    memcpy(table->text[x].text, text, sizeof table->text[x].text);
    table->text[x].length = (uint8_t)length;
}

void MakeTimeTexts(tagTIMETEXTS* times, const char* startDate, int first, int end,
                   bool trailingBlank, bool clean) {
    for (int c = first; c < end; c++) {
        unsigned hours = (unsigned)(c / 180), minutes = (unsigned)(c % 180 / 3),
                 seconds = (unsigned)(c % 3 * 20);
        int length;
        if (clean)  // ISO 8601 from the month-first date
            length =
                snprintf(times->text[c], sizeof times->text[c], "%.4s-%.2s-%.2s %2.2u:%2.2u:%2.2u",
                         startDate + 6, startDate, startDate + 3, hours, minutes, seconds);
        else
            length =
                snprintf(times->text[c], sizeof times->text[c],
                         trailingBlank ? "%10.10s %2.2u:%2.2u:%2.2u " : "%10.10s %2.2u:%2.2u:%2.2u",
                         startDate, hours, minutes, seconds);
        times->length[c] = (uint8_t)length;
    }
}

#include "datafile/Header.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

// The value part of a header line: after its first '=' (equal signs opening the line do not
// count), up to a carriage return. Null when the line has none.
static const char* ValuePart(const char* line, size_t* length) {
    while (*line == '=') line++;
    const char* equal = strchr(line, '=');
    if (!equal) return nullptr;
    const char* value = equal + 1;
    *length = strcspn(value, "\r\n");
    return *length > 0 ? value : nullptr;
}

int ReturnIntegerAfterEqual(const char* line, int* value) {
    size_t length = 0;
    const char* text = ValuePart(line, &length);
    if (!text) return 0;
    std::string digits(text, length);
    long number = strtol(digits.c_str(), nullptr, 10);
    // Values beyond an int are as meaningless as negative ones: the field keeps its 0.
    if (number <= 0 || number > INT_MAX) return 0;
    *value = (int)number;
    return 1;
}

int ReturnStringAfterEqual(const char* line, char* text, int size) {
    size_t length = 0;
    const char* value = ValuePart(line, &length);
    if (!value || size <= 0) return 0;
    size_t kept = std::min(length - 1, (size_t)size - 1);
    memset(text, 0, (size_t)size);
    memcpy(text, value + 1, kept);
    return 1;
}

bool StartDateIsCalendarDay(const tagHEADER& header) {
    const char* date = header.szDataStartTime;
    for (int i = 0; i < 10; i++)
        if (i == 2 || i == 5 ? date[i] != '/' : !isdigit((unsigned char)date[i])) return false;
    if (date[10] != '\0' && date[10] != ' ') return false;
    auto number = [date](int at, int digits) {
        int n = 0;
        for (int i = at; i < at + digits; i++) n = n * 10 + (date[i] - '0');
        return n;
    };
    int month = number(0, 2), day = number(3, 2), year = number(6, 4);
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1 || month < 1 || month > 12 || day < 1) return false;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

tagHEADER ReadDataHeader(const char* buffer, int size) {
    tagHEADER h;
    const char* end = buffer + (size > 0 ? size : 0);
    const char* next = buffer;
    // A line is known by the first of these words it holds, in this order.
    for (int lines = 0; lines < 15;) {
        while (next < end && *next == '\n') next++;  // empty lines do not count
        if (next >= end) break;
        const char* stop = (const char*)memchr(next, '\n', (size_t)(end - next));
        if (!stop) stop = end;
        std::string line(next, stop);  // a copy: the buffer itself is never changed
        next = stop;
        lines++;
        const char* text = line.c_str();
        if (strstr(text, "KORVA TMS Twenty Second"))
            h.bTwentySecData = 1;
        else if (strstr(text, "NG.2 Format"))
            h.bFormatNG2 = 1;
        else if (strstr(text, "DB Mode = FIXED"))
            h.bDBModeFixed = 1;
        else if (strstr(text, "The remainder")) {
            h.bEndofHeader = 1;
            break;
        } else if (strstr(text, "DB Creation"))
            ReturnStringAfterEqual(text, h.szDBCreationTime, HEADER_TEXT_SIZE);
        else if (strstr(text, "File Write"))
            ReturnStringAfterEqual(text, h.szFileWriteTime, HEADER_TEXT_SIZE);
        else if (strstr(text, "Data Start"))
            ReturnStringAfterEqual(text, h.szDataStartTime, HEADER_TEXT_SIZE);
        else if (strstr(text, "Data End"))
            ReturnStringAfterEqual(text, h.szDataEndTime, HEADER_TEXT_SIZE);
        else if (strstr(text, "Version"))
            ReturnIntegerAfterEqual(text, &h.iVersion);
        else if (strstr(text, "Number of Names"))
            ReturnIntegerAfterEqual(text, &h.iNumberofNames);
        else if (strstr(text, "Number of Columns"))
            ReturnIntegerAfterEqual(text, &h.iNumberofColumns);
        else if (strstr(text, "Header Size"))
            ReturnIntegerAfterEqual(text, &h.iHeaderSize);
        else if (strstr(text, "Name List Size"))
            ReturnIntegerAfterEqual(text, &h.iNameListSize);
        else if (strstr(text, "Data Size"))
            ReturnIntegerAfterEqual(text, &h.iDataSize);
        else if (strstr(text, "File Size"))
            ReturnIntegerAfterEqual(text, &h.iFileSize);
    }
    return h;
}

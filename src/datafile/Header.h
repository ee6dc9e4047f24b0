// The ASCII header at the start of a data file: its counts, sizes and start date.
#pragma once

#include "base/Limits.h"

// What the header says. A value it lacks (or gives as no number above 0) stays 0 or empty.
// The steps read the counts, the sizes and the start date; the rest is kept as read.
struct tagHEADER {
    int bTwentySecData = 0, bFormatNG2 = 0, bDBModeFixed = 0, bEndofHeader = 0;
    char szDBCreationTime[HEADER_TEXT_SIZE] = {};
    char szFileWriteTime[HEADER_TEXT_SIZE] = {};
    char szDataStartTime[HEADER_TEXT_SIZE] = {};  // "MM/DD/YYYY HH:MM:SS": names the reports
    char szDataEndTime[HEADER_TEXT_SIZE] = {};
    int iVersion = 0, iNumberofNames = 0, iNumberofColumns = 0, iHeaderSize = 0;
    int iNameListSize = 0, iDataSize = 0, iFileSize = 0;
};

// Parses the ASCII header at the start of buffer (size bytes) into a fresh record. Reads at
// most 15 non-empty lines, never past size, never changes the buffer.
tagHEADER ReadDataHeader(const char* buffer, int size);

// Whether the start date is a real calendar day written MM/DD/YYYY in digits (month 1 to 12, a
// day of that month, a year of four digits from 0001), followed by nothing or a blank. Only such
// a date names reports and dates their rows.
bool StartDateIsCalendarDay(const tagHEADER& header);

// The value after a header line's first '=' as a number: stored and 1 when above 0, else 0.
int ReturnIntegerAfterEqual(const char* line, int* value);

// The value after a header line's first '=' less its first character (the blank), cut to
// size - 1 characters: stored and 1, or 0 when the line has no value.
int ReturnStringAfterEqual(const char* line, char* text, int size);

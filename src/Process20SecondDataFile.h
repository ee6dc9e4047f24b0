// Process20SecondDataFile: one twenty-second data file from its bytes to its reports: header,
// device table, unpacking, the derived traffic measures and the four CSV writers.
#pragma once

#include <cstdint>
#include <cstdio>

// Converts one data file of sourceFolder into the reports the options ask for. Returns 1 when
// the file went through the pipeline, 0 when it could not be opened, sized, allocated or read.
int ProcessDataFile(const char* sourceFolder, const char* targetFolder, const char* name,
                    FILE* log);

// ---- Header ---------------------------------------------------------------------------------

// Parses the ASCII header at the start of buffer (size bytes) into the header globals, after
// resetting them. Reads at most 15 non-empty lines, never past size, never changes the buffer.
int ReadDataHeader(const char* buffer, int size, FILE* log);

// The value after a header line's first '=' as a number: stored and 1 when above 0, else 0.
int ReturnIntegerAfterEqual(const char* line, int* value);

// The value after a header line's first '=' less its first character (the blank), cut to
// size - 1 characters: stored and 1, or 0 when the line has no value.
int ReturnStringAfterEqual(const char* line, char* text, int size);

// ---- Device table and unpacking -------------------------------------------------------------

// Allocates the zero-filled device table (lpDeviceData20Sec) and copies name, type, second word
// and data offset of each 27-byte little-endian entry. size is the whole file's size. Returns 1,
// or 0 when the table cannot be allocated (no table) or the name data runs out (table kept).
int ReadNameTable(const char* nameTable, int size, FILE* log);

// Decodes every period of every device of known type from the file buffer. Entries that lie
// beyond the end of the file are not read; one warning per device cut short.
void UnpackNamedDevice(const char* buffer, int size, FILE* log);

// ---- Derived measures -----------------------------------------------------------------------

// Copies every speed trap's measurements into its lane, lane variant and speed lane. Returns 0
// when there is no table, else logs its counts and returns 1.
int IntegrateTrapData(const char* name, FILE* log);

// Copies the trap arrays of one record over another's, for the whole day.
void CopyDevice(int source, int destination);

// Sums each station's lanes' trap data into the station: bins, vehicle-weighted speed and
// length, and the flag telling whether enough lanes delivered data.
void AggregateStationTrapData(const char* name, FILE* log);

// Caps scan counts at 1200 (with a console warning) and estimates vehicle length and the speed
// that length gives back, for every record and period.
void CalculateSpeedLength(const char* name, FILE* log);

// ---- Reports --------------------------------------------------------------------------------

// Each writes one report into folder (ending in '/'), named from the data's start date.
// Result 1 when the report was written, 0 when it could not be created or written.
int WriteDataAsCSVElementData(FILE* log, const char* folder);  // element report (-E)
int WriteDataAsCSVLaneData(FILE* log, const char* folder);     // lane report (-L)
int WriteDataAsCSVTrapData(FILE* log, const char* folder);     // trap report (-T)
int WriteDataAsCSVElement(FILE* log, const char* folder);      // contents report (-A)

// The column of a "-P" text HH:MM:SS: hours * 180 + minutes * 3 + (20 -> 1, 40 -> 2, other
// seconds as their number). Not range-checked.
int PeriodColumn(const char* period);

// Colour classes (3, 2, 1, 100 from light to heavy traffic; 4 no data) of one period.
void ClassifyColours(uint16_t lanes, uint16_t scan, uint16_t speed, uint16_t volume,
                     uint8_t* color0, uint8_t* color1, uint8_t* color2);

// Exact printf texts of the scaled fields, one for each 16-bit input. The writers make each entry
// the first time they show it; NumberTexts returns a kind's table with every entry made.
struct tagNUMBERTEXT {
    char text[7];
    uint8_t length;
};
enum NumberTextKind {
    TEXT_TWELFTHS_1,  // "%2.1f" of x / 12.0f: occupancy in the element report
    TEXT_TWELFTHS_2,  // "%2.2f" of x / 12.0f: occupancy in the lane report
    TEXT_TENTHS_1,    // "%2.1f" of x / 10.0f: speed and length
    TEXT_WHOLE_1,     // "%2.1f" of (double)x: the calculated speed
};
const tagNUMBERTEXT* NumberTexts(NumberTextKind kind);

// Process20SecondDataFile: one twenty-second data file from its bytes to its reports: header,
// device table, the links between traps, lanes and stations, the derived traffic measures made
// block by block of periods, and the four CSV writers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// Converts the data file `entry` of sourceFolder into the reports the options ask for. Returns 1
// when the file went through the pipeline, 0 when it could not be opened, sized, allocated or
// read.
int ProcessDataFile(const char* sourceFolder, const char* targetFolder, const char* entry,
                    FILE* log);

// ---- Header ---------------------------------------------------------------------------------

// Parses the ASCII header at the start of buffer (size bytes) into the header globals, after
// resetting them. Reads at most 15 non-empty lines, never past size, never changes the buffer.
int ReadDataHeader(const char* buffer, int size);

// The value after a header line's first '=' as a number: stored and 1 when above 0, else 0.
int ReturnIntegerAfterEqual(const char* line, int* value);

// The value after a header line's first '=' less its first character (the blank), cut to
// size - 1 characters: stored and 1, or 0 when the line has no value.
int ReturnStringAfterEqual(const char* line, char* text, int size);

// ---- Device table ---------------------------------------------------------------------------

// One named device of the file: its name-table entry, and what the linking steps found for it.
// A day of its values is never held: blocks of periods are made from the file's packed entries.
struct tagDEVICE {
    char szName[20];        // 19 bytes of the name table, the 20th always zero
    uint16_t usType;        // DEVICE_LOOP, DEVICE_STATION, ...
    uint16_t usAux;         // second word of the name-table entry, carried only
    uint32_t uiDataOffset;  // packed data block, from byte 0 of the file
    int iPeriods;           // whole packed entries its block has inside the file (<= columns)
    int iTrapSource;        // the device whose trap measurements it carries (itself when none)
    int iFirstLane;         // station: its lanes in tagDATAFILE::lanes, -1 when not summed
    uint8_t ucLanes;        // station: how many lanes it sums (0 to 8)
    uint8_t bFinalised;     // station: it found all its lanes, so its sums became averages
};

// The data file in hand: its bytes and its device table. Names the table lacks (the header
// claims more than the name table holds) are all-zero devices: they take no room here, and
// every step treats them as such.
struct tagDATAFILE {
    const unsigned char* lpBytes = nullptr;  // the whole file
    int iSize = 0;
    int iColumns = 0;                // periods every step runs over: the header's, within a day
    std::vector<tagDEVICE> devices;  // what the name table holds, in its order
    std::vector<int> byName;         // device positions sorted by name, then by position
    std::vector<int> lanes;          // the stations' lanes, positions in table order
    bool bTable = false;             // the device table could be allocated
};

// Allocates the device table of iNumberofNames names (only the entries the name table holds)
// and copies name, type, second word and data offset of each 27-byte little-endian entry, and
// indexes the names. Returns 1, or 0 when the table cannot be allocated (logged; no table) or
// the name data runs out (logged; the devices read so far are kept).
int ReadNameTable(tagDATAFILE* file, FILE* log);

// Links every speed trap to its lane, lane variant and speed lane, through the name index: the
// partners carry the trap's measurements for the whole day (a later trap wins). Returns 0 when
// there is no table, else logs its counts and returns 1.
int IntegrateTrapData(tagDATAFILE* file, const char* name, FILE* log);

// Warns on the console of every scan count above 1200 (a fully occupied period), device by
// device and period by period; the cap and the estimates are made with each block.
void CalculateSpeedLength(const tagDATAFILE& file);

// ---- Blocks of periods ----------------------------------------------------------------------

// One device in one period, as the reports show it: unpacked, with its trap's measurements,
// station sums and averages, the capped scan count and the estimates.
struct tagPERIODVALUES {
    uint16_t usIncident, usNumLanes, usVolume, usScanCnt, usFlag;
    uint16_t usEstLength, usCalcSpdTenths;
    uint16_t usSpdFlag, usSpdFlag2, usSpdTenths, usLenTenths;  // tenths of mph / of a foot
    uint16_t usBin1, usBin2, usBin3, usBin4;  // vehicles 0-20, 20.1-42, 42.1-72, 72.1-115 ft
    uint8_t ucNPds, ucSpdNPds;
};

// The values of some devices over a run of periods. The members are the devices a report shows
// and every device their values are made from (a station's lanes), in table order.
struct tagBLOCK {
    std::vector<int> members;        // device positions, ascending
    std::vector<int> stations;       // members summed as stations (local indexes, ascending)
    std::vector<uint8_t> finalised;  // for each of them: it found all its lanes
    std::vector<int> stationLanes;   // their lanes (local indexes), laneAt[s] to laneAt[s + 1]
    std::vector<int> laneAt;
    int iFirst = 0, iCount = 0;           // periods [iFirst, iFirst + iCount)
    std::vector<tagPERIODVALUES> values;  // iCount rows of members.size() values
    const tagPERIODVALUES& At(int column, int local) const {
        return values[(size_t)(column - iFirst) * members.size() + (size_t)local];
    }
};

// Makes block->members the devices (positions, ascending) and what their values need.
// position->local index of the members is left in local (sized to the table, -1 elsewhere).
void PlanBlock(const tagDATAFILE& file, const std::vector<int>& devices, tagBLOCK* block,
               std::vector<int>* local);

// How many periods of the block's members fit the working-set budget (1 to a day).
int BlockPeriods(const tagBLOCK& block);

// Fills the values of periods [first, first + count) of the block's members: unpacked from the
// file, trap measurements from each device's trap, station sums and averages, capped scan counts
// and the estimates. Periods past the file's columns hold zeros.
void FillBlock(const tagDATAFILE& file, tagBLOCK* block, int first, int count);

// ---- The steps of a data file in memory ------------------------------------------------------

// The one place where a data file's steps are called in order, for the converter, the tests, the
// benchmarks and the fuzz targets alike: the header, the device table of the file in buffer
// (size bytes, kept by the caller while *file is used), the data blocks, the trap and station
// links and the scan-count warnings. Returns 1, or 0 when there is no device table (logged).
int LoadDataFile(const char* buffer, int size, const char* name, tagDATAFILE* file, FILE* log);

// ---- Reports --------------------------------------------------------------------------------

// Each writes one report into folder (ending in '/'), named from the data's start date.
// Result 1 when the report was written, 0 when it could not be created or written.
int WriteDataAsCSVElementData(const tagDATAFILE& file, FILE* log, const char* folder);  // -E
int WriteDataAsCSVLaneData(const tagDATAFILE& file, FILE* log, const char* folder);     // -L
int WriteDataAsCSVTrapData(const tagDATAFILE& file, FILE* log, const char* folder);     // -T
int WriteDataAsCSVElement(const tagDATAFILE& file, FILE* log, const char* folder);      // -A

// Exact printf texts of the scaled fields, one for each 16-bit input. The writers make each entry
// the first time they show it.
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

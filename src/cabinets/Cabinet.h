// The cabinets of a fixed-column list: the record of one cabinet line, the list's conversion
// into the cabinet CSV, and the list a run joins its devices to (--cabinets).
#pragma once

#include <cstdint>
#include <vector>

#include "base/RunLog.h"
#include "cli/Settings.h"

// One cabinet of a list: text fields as sliced from their columns (some cleaned), and the
// five counts converted from their texts.
struct tagCABINETMETADATA {
    char szDeviceName[11];     // columns 0-9, unchanged
    char szAlias[8];           // 11-17, cleaned
    char szAddress[5];         // 27-30, cleaned
    char szRoadway[12];        // 32-42, cleaned
    char szSide[2];            // 44, unchanged
    char szMilepost[7];        // 46-51, cleaned
    char szLocation[17];       // 54-69, cleaned
    char szCabinetVersion[4];  // 71-73
    int32_t iCabinetVersion;
    char szLoops[4];  // 75-77
    int32_t iLoops;
    char szStations[3];  // 79-80
    int32_t iStations;
    char szSpeedtraps[3];  // 82-83
    int32_t iSpeedtraps;
    char szMeteredlanes[3];  // 85-86
    int32_t iMeteredlanes;
    char szStatus[10];  // 88-96, cleaned
};

// The cabinet list the devices of a run are joined to: its records in list order, and their
// positions sorted by the trimmed cabinet name (the first line of a name listed twice first).
struct tagCABINETS {
    std::vector<tagCABINETMETADATA> records;
    std::vector<int> byName;
};

// Reads the cabinet list at path (as given, not in the source folder) for the joins, through the
// same reader as -M. Returns 1, or 0 when it cannot be opened or read, or holds no usable date:
// an E line, and *cabinets stays empty.
int LoadCabinets(const char* path, tagCABINETS* cabinets, tagLOG* log);

// The cabinet of a device: the record whose name, blanks around it removed, is the first ten
// characters of the device name likewise trimmed (a nine-character cabinet's devices carry a
// blank there); null when the list has none.
const tagCABINETMETADATA* FindCabinet(const tagCABINETS& cabinets, const char* deviceName);

// Reads the list `entry` of the source folder (count, date and fill passes) and writes its
// cabinet CSV "RMDC_<date>.CSV" into the target folder. Returns 1 when the list was read through
// and handed to the CSV writer, 0 when it was refused (not opened, not allocated, no usable
// date).
int ProcessMetadataFile(const tagSETTINGS& settings, const char* entry, tagLOG* log);

// Writes count records as the cabinet CSV at path, in the dialect the settings ask for. Returns
// 1 when written, else 0 (logged).
int WriteMetaDataCSV(int count, const tagCABINETMETADATA* records, const char* path,
                     const tagSETTINGS& settings, tagLOG* log);

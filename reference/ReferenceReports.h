// ReferenceReports: the element, lane and trap reports written the plain way, from a whole-day
// table made the plain way. They share nothing with the converter's device table, blocks or
// writers (their own name table, trap, station and estimate steps, their own period, device,
// listing and colour logic), so the tests can hold the converter's values and bytes against
// them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "Common.h"

// One named device with a whole day of the values the reports show.
struct tagREFERENCEDEVICE {
    char szName[20];
    uint16_t usType;
    uint32_t uiDataOffset;
    uint16_t usIncident[PERIODS_PER_DAY], usNumLanes[PERIODS_PER_DAY], usVolume[PERIODS_PER_DAY],
        usScanCnt[PERIODS_PER_DAY], usFlag[PERIODS_PER_DAY], usEstLength[PERIODS_PER_DAY],
        usCalcSpdTenths[PERIODS_PER_DAY];
    uint8_t ucNPds[PERIODS_PER_DAY], ucSpdNPds[PERIODS_PER_DAY];
    // Trap measurements: tenths of mph and of a foot, the four length bins, the two flags.
    uint16_t usSpdTenths[PERIODS_PER_DAY], usLenTenths[PERIODS_PER_DAY], usBin1[PERIODS_PER_DAY],
        usBin2[PERIODS_PER_DAY], usBin3[PERIODS_PER_DAY], usBin4[PERIODS_PER_DAY],
        usSpdFlag[PERIODS_PER_DAY], usSpdFlag2[PERIODS_PER_DAY];
};
typedef std::vector<tagREFERENCEDEVICE> ReferenceTable;

// Parses the header of the file in bytes (size of them) into the header globals and makes the
// table of the names its name table holds: every period unpacked, each trap's measurements
// copied into its partners, each station's lanes summed, scan counts capped and the length and
// speed estimated. Silent.
ReferenceTable MakeReferenceTable(const char* bytes, int size);

// Each writes the header and every row of the table under the current options (bPERIOD with
// szPeriod, bDEVICE with szDevice, bINCLUDESPEEDLANES, bWRITEROWSFIRST) and iNumberofColumns and
// szDataStartTime, silently. A -P column outside the day, or a -D name not in the table, gives
// the header only.
void ReferenceElementReport(const ReferenceTable& table, FILE* out);
void ReferenceLaneReport(const ReferenceTable& table, FILE* out);
void ReferenceTrapReport(const ReferenceTable& table, FILE* out);

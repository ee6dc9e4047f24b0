// ReferenceReports: the plain, obviously correct reading of the element, lane and trap reports.
// Speed is of no concern here; every step is written as the report's description reads.
#include "ReferenceReports.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Common.h"

namespace {

// The two characters at `at` of the -P text read as a base-10 number; no digits count as 0.
// Nothing past the end of the text is read.
int PeriodField(const char* text, int at) {
    int length = (int)strlen(text);
    char pair[3] = {0, 0, 0};
    if (at < length) pair[0] = text[at];
    if (at + 1 < length) pair[1] = text[at + 1];
    return (int)strtol(pair, nullptr, 10);
}

// The report's periods: [0, columns of the file) clamped to one day, or the one -P column.
// Returns 0 when -P names a column outside the day.
int PeriodRange(int* first, int* end) {
    int columns = iNumberofColumns;
    if (columns < 0) columns = 0;
    if (columns > PERIODS_PER_DAY) columns = PERIODS_PER_DAY;
    *first = 0;
    *end = columns;
    if (!bPERIOD || szPeriod[0] == '\0') return 1;
    int hours = PeriodField(szPeriod, 0);
    int minutes = PeriodField(szPeriod, 3);
    int seconds = PeriodField(szPeriod, 6);
    int step = seconds;
    if (seconds == 20) step = 1;
    if (seconds == 40) step = 2;
    int column = hours * 180 + minutes * 3 + step;
    if (column < 0 || column > PERIODS_PER_DAY - 1) return 0;
    *first = column;
    *end = column + 1;
    return 1;
}

// The -D device: its index, -1 when the name is not in the table, -2 when none is chosen.
int ChosenDevice() {
    if (!bDEVICE || szDevice[0] == '\0') return -2;
    if (lpDeviceData20Sec == nullptr) return -1;
    for (int i = 0; i < iNumberofNames; i++)
        if (strcmp(lpDeviceData20Sec[i].szName, szDevice) == 0) return i;
    return -1;
}

// "date HH:MM:SS" of column c, with the element report's trailing blank when asked.
void CollectionTime(char* text, size_t size, int c, bool blank) {
    unsigned hours = (unsigned)(c / 180);
    unsigned minutes = (unsigned)((c % 180) / 3);
    unsigned seconds = (unsigned)((c % 3) * 20);
    if (blank)
        snprintf(text, size, "%10.10s %2.2u:%2.2u:%2.2u ", szDataStartTime, hours, minutes,
                 seconds);
    else
        snprintf(text, size, "%10.10s %2.2u:%2.2u:%2.2u", szDataStartTime, hours, minutes, seconds);
}

// The three colour classes of record d at column c, stored in the record.
void StoreColours(tagDEVICEDATA20SEC* d, int c) {
    unsigned lanes = d->usNumLanes[c];
    unsigned scan = d->usScanCnt[c];
    unsigned speed = d->usSpdTenths[c];
    unsigned volume = d->usVolume[c];
    uint8_t color0, color1, color2;
    bool noData = false;
    if (lanes == 0) {
        if (scan == 0) noData = true;
        color0 = 3;
    } else {
        float perLane = (float)volume * 180.0f;
        perLane = perLane / (float)lanes;
        unsigned long rounded = (unsigned long)((double)perLane + 0.5);
        unsigned flow = (unsigned)(rounded % 65536);
        if (scan == 0 && flow == 0) noData = true;
        if (flow < 1000)
            color0 = 3;
        else if (flow < 1500)
            color0 = 2;
        else if (flow < 2000)
            color0 = 1;
        else
            color0 = 100;
    }
    if (scan < 181)
        color1 = 3;
    else if (scan < 265)
        color1 = 2;
    else if (scan < 421)
        color1 = 1;
    else
        color1 = 100;
    if (speed > 500)
        color2 = 3;
    else if (speed > 400)
        color2 = 2;
    else if (speed > 300)
        color2 = 1;
    else
        color2 = 100;
    if (noData) color0 = color1 = color2 = 4;
    d->ucColor0[c] = color0;
    d->ucColor1[c] = color1;
    d->ucColor2[c] = color2;
}

bool IsSpeedLane(const tagDEVICEDATA20SEC& d) {
    return d.szName[16] == 'S';
}

void ElementRow(FILE* out, const tagDEVICEDATA20SEC& d, int c, const char* time) {
    int32_t scanSum = (int32_t)((uint32_t)d.usNumLanes[c] * (uint32_t)d.usScanCnt[c]);
    fprintf(out,
            "%s,%u,%u,%2.1f,%u,%u,%u,%u,%u,%u,%2.1f,%2.1f,%u,%u,%u,%u,%u,%u,%u,%u,%2.1f,%d,%s\n",
            d.szName, (unsigned)d.usNumLanes[c], (unsigned)d.usVolume[c], d.usScanCnt[c] / 12.0f,
            (unsigned)d.usScanCnt[c], (unsigned)d.usFlag[c], (unsigned)d.ucNPds[c],
            (unsigned)d.ucColor0[c], (unsigned)d.ucColor1[c], (unsigned)d.ucColor2[c],
            d.usSpdTenths[c] / 10.0f, d.usLenTenths[c] / 10.0f, (unsigned)d.usBin1[c],
            (unsigned)d.usBin2[c], (unsigned)d.usBin3[c], (unsigned)d.usBin4[c],
            (unsigned)d.usSpdFlag[c], (unsigned)d.usSpdFlag2[c], (unsigned)d.ucSpdNPds[c],
            (unsigned)d.usEstLength[c], (double)d.usCalcSpdTenths[c], scanSum, time);
}

void LaneRow(FILE* out, const tagDEVICEDATA20SEC& d, int c) {
    char time[32];
    CollectionTime(time, sizeof time, c, false);
    fprintf(out, "%s,%s,%u,%u,%2.2f,%u,%u,%2.1f,%2.1f\n", d.szName, time, (unsigned)d.usNumLanes[c],
            (unsigned)d.usVolume[c], d.usScanCnt[c] / 12.0f, (unsigned)d.usFlag[c],
            (unsigned)d.usIncident[c], d.usSpdTenths[c] / 10.0f, d.usLenTenths[c] / 10.0f);
}

void TrapRow(FILE* out, const tagDEVICEDATA20SEC& d, int c) {
    char time[32];
    CollectionTime(time, sizeof time, c, false);
    fprintf(out, "%s,%s,%2.1f,%2.1f,%u,%u,%u,%u,%u,%u\n", d.szName, time, d.usSpdTenths[c] / 10.0f,
            d.usLenTenths[c] / 10.0f, (unsigned)d.usBin1[c], (unsigned)d.usBin2[c],
            (unsigned)d.usBin3[c], (unsigned)d.usBin4[c], (unsigned)d.usSpdFlag[c],
            (unsigned)d.usSpdFlag2[c]);
}

// The rows of the lane and trap reports: over the devices [from, to) that listed() accepts and
// the columns [first, end), in the order -R selects.
template <typename Listed, typename Row>
void RowsInOrder(FILE* out, int from, int to, int first, int end, Listed listed, Row row) {
    if (bWRITEROWSFIRST) {
        for (int i = from; i < to; i++) {
            if (!listed(lpDeviceData20Sec[i])) continue;
            for (int c = first; c < end; c++) row(out, lpDeviceData20Sec[i], c);
        }
    } else {
        for (int c = first; c < end; c++) {
            for (int i = from; i < to; i++)
                if (listed(lpDeviceData20Sec[i])) row(out, lpDeviceData20Sec[i], c);
        }
    }
}

// The devices a report runs over: the chosen one, or the whole table. Returns 0 when the report
// holds no rows at all (a -P column outside the day, a -D name not found, no table).
int Scope(int* from, int* to, int* first, int* end, int* chosen) {
    if (!PeriodRange(first, end)) return 0;
    *chosen = ChosenDevice();
    if (*chosen == -1 || lpDeviceData20Sec == nullptr) return 0;
    *from = *chosen >= 0 ? *chosen : 0;
    *to = *chosen >= 0 ? *chosen + 1 : iNumberofNames;
    return 1;
}

}  // namespace

int ReferenceElementReport(FILE* out) {
    fputs(
        "Name,NumLanes,Volume,OccTenths,ScanCnt,Flag,NPds,Color0,Color1,Color2,SpdTenths,"
        "LenTenths,Bin1,Bin2,Bin3,Bin4,SpdFlag,SpdFlag2,SpdNPds,EstLength,CalcSpdTenths,"
        "ScanCntSum,CollectionTime\n",
        out);
    int from, to, first, end, chosen;
    if (!Scope(&from, &to, &first, &end, &chosen)) return 1;
    for (int c = first; c < end; c++) {
        char time[32];
        CollectionTime(time, sizeof time, c, true);
        for (int i = from; i < to; i++) {
            tagDEVICEDATA20SEC* d = &lpDeviceData20Sec[i];
            StoreColours(d, c);
            bool listed = false;
            if (d->usType == DEVICE_STATION) listed = true;
            if (d->usType == DEVICE_LOOP)
                listed = chosen >= 0 || !IsSpeedLane(*d) || bINCLUDESPEEDLANES;
            if (listed) ElementRow(out, *d, c, time);
        }
    }
    return 1;
}

int ReferenceLaneReport(FILE* out) {
    fprintf(out, "name,collectiontime,lanes,volume,occupancy (%%),status,incident,speed,length\n");
    int from, to, first, end, chosen;
    if (!Scope(&from, &to, &first, &end, &chosen)) return 1;
    auto listed = [](const tagDEVICEDATA20SEC& d) {
        if (d.usType == DEVICE_STATION) return true;
        if (d.usType == DEVICE_LOOP) return !IsSpeedLane(d) || bINCLUDESPEEDLANES != 0;
        return false;
    };
    RowsInOrder(out, from, to, first, end, listed, LaneRow);
    return 1;
}

int ReferenceTrapReport(FILE* out) {
    fputs(
        "name,collectiontime,speed(ave mph),length (ave ft),bin1 (0.0-20.0),bin2 (20.1-42.0),"
        "bin3 (42.1-72.0),bin4 (72.1-115.0 ),flag1,flag2\n",
        out);
    int from, to, first, end, chosen;
    if (!Scope(&from, &to, &first, &end, &chosen)) return 1;
    auto listed = [](const tagDEVICEDATA20SEC& d) { return d.usType == DEVICE_SPEED_TRAP; };
    RowsInOrder(out, from, to, first, end, listed, TrapRow);
    return 1;
}

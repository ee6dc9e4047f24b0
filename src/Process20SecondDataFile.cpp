// Process20SecondDataFile: one twenty-second data file from its bytes to its reports.
#include "Process20SecondDataFile.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Common.h"
#include "Unpack20SecNG.h"

static bool ReportDateIsSafe();

// Number of periods every step runs over: the header's column count, never past one day.
static int DayColumns() {
    return std::clamp(iNumberofColumns, 0, (int)PERIODS_PER_DAY);
}

int ProcessDataFile(const char* sourceFolder, const char* targetFolder, const char* name,
                    FILE* log) {
    RefreshTime();
    fprintf(log, "[%s] - Processing data file [%s], starting at [%s]\n", szTime, name, szTime);
    printf("Processing data file [%s], starting at [%s]\n", name, szTime);

    char path[PATH_SIZE];
    if (!BuildPath(path, "%s%s", sourceFolder, name)) {
        fprintf(log, "[%s] E Path of data file [%s] would be longer than %d characters!\n", szTime,
                name, PATH_SIZE - 1);
        return 0;
    }
    int notRegular = 0;
    FILE* file = OpenInputFile(path, &notRegular);
    if (!file) {
        if (notRegular)
            fprintf(log, "[%s] E Data file [%s] is not a regular file; passed over!\n", szTime,
                    name);
        else
            fprintf(log, "[%s] E Could not open data file [%s]! - Error = [%p].\n", szTime, name,
                    (void*)file);
        return 0;
    }
    int size = fsize(file);
    if (size < 0) {
        fprintf(log, "[%s] E Size of data file [%s] cannot be determined or is 2 GiB or more!\n",
                szTime, name);
        fclose(file);
        return 0;
    }
    fprintf(log, "[%s] - Filesize is [%zd]\n", szTime, (ssize_t)size);

    rewind(file);
    char* buffer = (char*)malloc(size > 0 ? (size_t)size : 1);
    if (!buffer) {
        fprintf(log,
                "[%s] E Could not allocate buffer to hold the data block from data file [%s]!\n",
                szTime, name);
        fclose(file);
        return 0;
    }
    size_t got = fread(buffer, 1, (size_t)size, file);
    fclose(file);
    if (got < (size_t)size) {
        fprintf(log, "[%s] E Could not read the data block [%zd bytes] from data file [%s]!\n",
                szTime, (ssize_t)size, name);
        free(buffer);
        return 0;
    }

    ReadDataHeader(buffer, size, log);
    if (iNumberofColumns > PERIODS_PER_DAY) {
        fprintf(log,
                "[%s] W Data file [%s] claims [%d] columns; only the [%d] periods of one "
                "day are processed.\n",
                szTime, name, iNumberofColumns, (int)PERIODS_PER_DAY);
        iNumberofColumns = PERIODS_PER_DAY;
    }
    // The name table may claim to start past the end; ReadNameTable then reads no entry.
    ReadNameTable(buffer + std::min(iHeaderSize, size), size, log);

    if (lpDeviceData20Sec) {
        UnpackNamedDevice(buffer, size, log);
        IntegrateTrapData(name, log);
        AggregateStationTrapData(name, log);
        CalculateSpeedLength(name, log);
        if (!ReportDateIsSafe() &&
            (bWRITEELEMENTS || bWRITELANES || bWRITETRAPS || bLISTALLELEMENTS)) {
            fprintf(log,
                    "[%s] E Start date [%s] of data file [%s] holds a '/' where the report "
                    "names take their date; no report written!\n",
                    szTime, szDataStartTime, name);
        } else {
            if (bWRITEELEMENTS) WriteDataAsCSVElementData(log, targetFolder);
            if (bWRITELANES) WriteDataAsCSVLaneData(log, targetFolder);
            if (bWRITETRAPS) WriteDataAsCSVTrapData(log, targetFolder);
            if (bLISTALLELEMENTS) WriteDataAsCSVElement(log, targetFolder);
        }
    }

    ReleaseDeviceTable();
    free(buffer);

    double seconds = ProcessSeconds();
    RefreshTime();
    printf("Completed processing of data file [%s] in [%.1f] seconds.\n", name, seconds);
    fprintf(log, "[%s] - Completed processing of data file [%s] in [%.1f] seconds.\n", szTime, name,
            seconds);
    return 1;
}

// ---- Header ---------------------------------------------------------------------------------

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
    // Values beyond an int are as meaningless as negative ones: the global keeps its 0.
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

int ReadDataHeader(const char* buffer, int size, FILE* log) {
    (void)log;
    bTwentySecData = bFormatNG2 = bDBModeFixed = bEndofHeader = 0;
    iVersion = iNumberofNames = iNumberofColumns = iHeaderSize = iNameListSize = iDataSize =
        iFileSize = 0;
    memset(szDBCreationTime, 0, sizeof szDBCreationTime);
    memset(szFileWriteTime, 0, sizeof szFileWriteTime);
    memset(szDataStartTime, 0, sizeof szDataStartTime);
    memset(szDataEndTime, 0, sizeof szDataEndTime);

    const char* end = buffer + (size > 0 ? size : 0);
    const char* next = buffer;
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
            bTwentySecData = 1;
        else if (strstr(text, "NG.2 Format"))
            bFormatNG2 = 1;
        else if (strstr(text, "DB Mode = FIXED"))
            bDBModeFixed = 1;
        else if (strstr(text, "The remainder")) {
            bEndofHeader = 1;
            break;
        } else if (strstr(text, "DB Creation"))
            ReturnStringAfterEqual(text, szDBCreationTime, 32);
        else if (strstr(text, "File Write"))
            ReturnStringAfterEqual(text, szFileWriteTime, 32);
        else if (strstr(text, "Data Start"))
            ReturnStringAfterEqual(text, szDataStartTime, 32);
        else if (strstr(text, "Data End"))
            ReturnStringAfterEqual(text, szDataEndTime, 32);
        else if (strstr(text, "Version"))
            ReturnIntegerAfterEqual(text, &iVersion);
        else if (strstr(text, "Number of Names"))
            ReturnIntegerAfterEqual(text, &iNumberofNames);
        else if (strstr(text, "Number of Columns"))
            ReturnIntegerAfterEqual(text, &iNumberofColumns);
        else if (strstr(text, "Header Size"))
            ReturnIntegerAfterEqual(text, &iHeaderSize);
        else if (strstr(text, "Name List Size"))
            ReturnIntegerAfterEqual(text, &iNameListSize);
        else if (strstr(text, "Data Size"))
            ReturnIntegerAfterEqual(text, &iDataSize);
        else if (strstr(text, "File Size"))
            ReturnIntegerAfterEqual(text, &iFileSize);
    }
    return 1;
}

// ---- Device table and unpacking -------------------------------------------------------------

enum { NAME_ENTRY_SIZE = 27 };

static uint16_t Little16(const unsigned char* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}
static uint32_t Little32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int ReadNameTable(const char* nameTable, int size, FILE* log) {
    // A record the name table has no entry for would be all zeros, yet a day of it costs as much
    // memory as a real device: a header claiming millions of names in a small file must not
    // make the converter take gigabytes. The table keeps the entries the file holds.
    int64_t room = std::min<int64_t>(iNameListSize, (int64_t)size - iHeaderSize);
    int64_t holdable = std::max<int64_t>(room, 0) / NAME_ENTRY_SIZE;
    int complete = 1;
    if (iNumberofNames > holdable) {
        fprintf(log,
                "[%s] W While parsing the name table, we ran out of name data before we "
                "finished the list!\n",
                szTime);
        fprintf(log,
                "[%s] E Header claims [%d] names, but the name table holds only [%d]; the "
                "device table keeps [%d] records!\n",
                szTime, iNumberofNames, (int)holdable, (int)holdable);
        iNumberofNames = (int)holdable;
        complete = 0;
    }
    size_t count = iNumberofNames > 0 ? (size_t)iNumberofNames : 0;
    if (!AllocateDeviceTable(count)) {
        fprintf(log,
                "[%s] E Allocation [%zd] bytes of space for [%d] data names structure "
                "FAILED!!!\n",
                szTime, (ssize_t)(count * sizeof(tagDEVICEDATA20SEC)), iNumberofNames);
        return 0;
    }
    const unsigned char* table = (const unsigned char*)nameTable;
    for (size_t j = 0; j < count; j++) {
        const unsigned char* entry = table + NAME_ENTRY_SIZE * j;
        tagDEVICEDATA20SEC* device = &lpDeviceData20Sec[j];
        memcpy(device->szName, entry, 19);
        device->usType = Little16(entry + 19);
        device->usAux = Little16(entry + 21);
        device->uiDataOffset = Little32(entry + 23);
    }
    return complete;
}

void UnpackNamedDevice(const char* buffer, int size, FILE* log) {
    if (!lpDeviceData20Sec) return;
    const unsigned char* file = (const unsigned char*)buffer;
    int columns = DayColumns();
    for (int i = 0; i < iNumberofNames; i++) {
        tagDEVICEDATA20SEC* d = &lpDeviceData20Sec[i];
        int64_t entrySize;
        switch (d->usType) {
            case DEVICE_LOOP:
            case DEVICE_STATION:
                entrySize = 3;
                break;
            case DEVICE_SPEED_TRAP:
                entrySize = 6;
                break;
            case DEVICE_METERED_LANE:
                entrySize = 2;
                break;
            default:
                continue;
        }
        // Only whole entries inside the file are read; later periods keep their zeros.
        int64_t room = (int64_t)size - (int64_t)d->uiDataOffset;
        int whole = room > 0 ? (int)std::min<int64_t>(room / entrySize, columns) : 0;
        if (whole < columns)
            fprintf(log,
                    "[%s] W Data block of device [%s] ends past the end of the file; only "
                    "[%d] of [%d] periods unpacked!\n",
                    szTime, d->szName, whole, columns);
        const unsigned char* entry = file + (whole > 0 ? d->uiDataOffset : 0);
        for (int c = 0; c < whole; c++, entry += entrySize) {
            switch (d->usType) {
                case DEVICE_LOOP:
                    unpack_rtdb_loop(entry, &d->usVolume[c], &d->usScanCnt[c], &d->usFlag[c],
                                     &d->usIncident[c], &d->usNumLanes[c]);
                    d->ucNPds[c] = (uint8_t)d->usNumLanes[c];
                    break;
                case DEVICE_STATION:
                    unpack_rtdb_station(entry, &d->usVolume[c], &d->usScanCnt[c], &d->usFlag[c],
                                        &d->usIncident[c], &d->usNumLanes[c]);
                    if (d->usNumLanes[c] != 0) d->ucNPds[c] = 1;
                    break;
                case DEVICE_SPEED_TRAP:
                    unpack_rtdb_spd_trap(entry, &d->usSpdTenths[c], &d->usLenTenths[c],
                                         &d->usBin1[c], &d->usBin2[c], &d->usBin3[c], &d->usBin4[c],
                                         &d->usSpdFlag[c], &d->usSpdFlag2[c]);
                    d->ucSpdNPds[c] = (uint8_t)(entry[1] >> 7);
                    break;
                case DEVICE_METERED_LANE:
                    unpack_rtdb_mtrd_ln(entry, &d->ucMeter0[c], &d->ucMeter1[c], &d->ucMeter2[c]);
                    break;
            }
        }
    }
}

// ---- Derived measures -----------------------------------------------------------------------

void CopyDevice(int source, int destination) {
    const tagDEVICEDATA20SEC* from = &lpDeviceData20Sec[source];
    tagDEVICEDATA20SEC* to = &lpDeviceData20Sec[destination];
    memcpy(to->usSpdTenths, from->usSpdTenths, sizeof to->usSpdTenths);
    memcpy(to->usLenTenths, from->usLenTenths, sizeof to->usLenTenths);
    memcpy(to->usBin1, from->usBin1, sizeof to->usBin1);
    memcpy(to->usBin2, from->usBin2, sizeof to->usBin2);
    memcpy(to->usBin3, from->usBin3, sizeof to->usBin3);
    memcpy(to->usBin4, from->usBin4, sizeof to->usBin4);
    memcpy(to->usSpdFlag, from->usSpdFlag, sizeof to->usSpdFlag);
    memcpy(to->usSpdFlag2, from->usSpdFlag2, sizeof to->usSpdFlag2);
    memcpy(to->ucSpdNPds, from->ucSpdNPds, sizeof to->ucSpdNPds);
}

int IntegrateTrapData(const char* name, FILE* log) {
    if (!lpDeviceData20Sec) return 0;
    int traps = 0, lanes = 0, speedLanes = 0;
    for (int i = 0; i < iNumberofNames; i++) {
        const char* trap = lpDeviceData20Sec[i].szName;
        if (trap[16] != 'T') continue;
        traps++;
        // The trap's lane, the lane's 'M' variant and the speed lane differ from the trap's
        // name in single letters only.
        char lane[20], variant[20], speed[20];
        memcpy(lane, trap, 20);
        lane[16] = '_';
        memcpy(variant, lane, 20);
        variant[11] = 'M';
        memcpy(speed, trap, 20);
        speed[16] = 'S';
        bool laneFilled = false, speedFilled = false;
        for (int j = 0; j < iNumberofNames; j++) {
            const char* candidate = lpDeviceData20Sec[j].szName;
            if (strcmp(candidate, lane) == 0 || strcmp(candidate, variant) == 0) {
                CopyDevice(i, j);
                lanes++;
                laneFilled = true;
            } else if (strcmp(candidate, speed) == 0) {
                CopyDevice(i, j);
                speedLanes++;
                speedFilled = true;
            }
            if (laneFilled && speedFilled) break;
        }
    }
    fprintf(log,
            "[%s] - Processed [%d] Traps into [%d] _x Lanes and Sx Lanes [%d] in file "
            "[%s]...\n",
            szTime, traps, lanes, speedLanes, name);
    return 1;
}

// Adds lane R's trap data of the first `columns` periods into station S. Valid periods add
// their bins and vehicle-weighted speed and length (kept wide in speedSum / lengthSum, and
// modulo 65536 in the station itself) and count as a valid lane; "valid and empty" periods
// (trap working, no vehicles) only count.
static void AddLaneIntoStation(const tagDEVICEDATA20SEC* R, tagDEVICEDATA20SEC* S, int columns,
                               uint32_t* speedSum, uint32_t* lengthSum) {
    for (int c = 0; c < columns; c++) {
        uint32_t vehicles = (uint32_t)R->usBin1[c] + R->usBin2[c] + R->usBin3[c] + R->usBin4[c];
        uint16_t speed = R->usSpdTenths[c];
        if ((R->usSpdFlag2[c] & 128) && speed >= 100 && speed <= 1109) {
            uint32_t length = R->usLenTenths[c];
            S->usBin1[c] = (uint16_t)(S->usBin1[c] + R->usBin1[c]);
            S->usBin2[c] = (uint16_t)(S->usBin2[c] + R->usBin2[c]);
            S->usBin3[c] = (uint16_t)(S->usBin3[c] + R->usBin3[c]);
            S->usBin4[c] = (uint16_t)(S->usBin4[c] + R->usBin4[c]);
            speedSum[c] += speed * vehicles;
            lengthSum[c] += length * vehicles;
            S->usSpdTenths[c] = (uint16_t)speedSum[c];
            S->usLenTenths[c] = (uint16_t)lengthSum[c];
            S->usSpdFlag[c]++;
        } else if ((R->usSpdFlag[c] & 128) && speed == 0 && vehicles == 0) {
            S->usSpdFlag[c]++;
        }
    }
}

// Turns station S's sums into vehicle-weighted averages, and its valid-lane count into the
// flag 128 when at least 65 % of its lanes delivered data (0 for a period without lanes).
static void FinaliseStation(tagDEVICEDATA20SEC* S, int columns, const uint32_t* speedSum,
                            const uint32_t* lengthSum) {
    for (int c = 0; c < columns; c++) {
        uint32_t total = (uint32_t)S->usBin1[c] + S->usBin2[c] + S->usBin3[c] + S->usBin4[c];
        S->usSpdTenths[c] = total ? (uint16_t)(speedSum[c] / total) : 0;
        S->usLenTenths[c] = total ? (uint16_t)(lengthSum[c] / total) : 0;
        uint16_t lanes = S->usNumLanes[c];
        S->usSpdFlag[c] = (lanes != 0 && (double)S->usSpdFlag[c] / lanes >= 0.65) ? 128 : 0;
    }
}

void AggregateStationTrapData(const char* name, FILE* log) {
    (void)name;
    (void)log;
    if (!lpDeviceData20Sec || iNumberofNames <= 0) return;
    int columns = DayColumns();
    static uint32_t speedSum[PERIODS_PER_DAY], lengthSum[PERIODS_PER_DAY];
    for (int s = 0; s < iNumberofNames; s++) {
        tagDEVICEDATA20SEC* S = &lpDeviceData20Sec[s];
        if (S->usType != DEVICE_STATION || strlen(S->szName) < 18) continue;
        char lane[20];
        memcpy(lane, S->szName, 20);
        lane[15] = '_';
        lane[16] = '_';
        int expected = S->usNumLanes[0];
        for (int c = 0; c < columns; c++) {
            speedSum[c] = S->usSpdTenths[c];
            lengthSum[c] = S->usLenTenths[c];
        }
        // Lane k is found only after lane k - 1: one pass through the table, one digit at a time.
        int found = 0;
        for (int r = 0; r < iNumberofNames; r++) {
            lane[17] = "12345678"[found];
            if (strcmp(lpDeviceData20Sec[r].szName, lane) != 0) continue;
            found++;
            AddLaneIntoStation(&lpDeviceData20Sec[r], S, columns, speedSum, lengthSum);
            if (found == expected) {
                FinaliseStation(S, columns, speedSum, lengthSum);
                break;
            }
            if (found == 8) break;
        }
    }
}

void CalculateSpeedLength(const char* name, FILE* log) {
    (void)name;
    (void)log;
    if (!lpDeviceData20Sec || iNumberofNames <= 0) return;
    int columns = DayColumns();
    for (int i = 0; i < iNumberofNames; i++) {
        tagDEVICEDATA20SEC* d = &lpDeviceData20Sec[i];
        for (int c = 0; c < columns; c++) {
            int64_t scan = d->usScanCnt[c];
            if (scan > 1200) {
                printf("       W  ScanCount exceeded 1200 >>>   %x\t%s\t%d.\n", (unsigned)scan,
                       d->szName, c);
                d->usScanCnt[c] = 1200;
                scan = 1200;
            }
            int64_t volume = d->usVolume[c];
            int64_t lanes = d->usNumLanes[c];
            // Products are whole numbers, the quotient is taken in double and truncated after
            // adding 0.5: the estimate a 65 mph vehicle of that length would give.
            if (volume != 0)
                d->usEstLength[c] =
                    (uint16_t)(int64_t)((double)(lanes * 715 * scan) / (double)(volume * 450) +
                                        0.5);
            if (lanes * scan != 0)
                d->usCalcSpdTenths[c] =
                    (uint16_t)(int64_t)((double)(d->usEstLength[c] * volume * 450) /
                                            (double)(11 * scan * lanes) +
                                        0.5);
        }
    }
}

// ---- Reports: shared mechanics --------------------------------------------------------------

// Exact printf texts of one scaled field for every 16-bit input. Each entry is made with
// snprintf the first time a report needs it, so the reports are identical to the printf formats
// by construction (round-half-to-even ties included) and no run pays for values it never shows.
struct tagNUMBERTABLE {
    NumberTextKind kind;
    tagNUMBERTEXT text[65536];  // length 0: not made yet
};

static tagNUMBERTABLE* NumberTable(NumberTextKind kind) {
    static tagNUMBERTABLE* tables[4];
    if (!tables[kind]) {
        tables[kind] = new tagNUMBERTABLE{};
        tables[kind]->kind = kind;
    }
    return tables[kind];
}

static void MakeNumberText(tagNUMBERTABLE* table, unsigned x) {
    char text[32];
    int length = 0;
    switch (table->kind) {
        case TEXT_TWELFTHS_1:
            length = snprintf(text, sizeof text, "%2.1f", x / 12.0f);
            break;
        case TEXT_TWELFTHS_2:
            length = snprintf(text, sizeof text, "%2.2f", x / 12.0f);
            break;
        case TEXT_TENTHS_1:
            length = snprintf(text, sizeof text, "%2.1f", x / 10.0f);
            break;
        case TEXT_WHOLE_1:
            length = snprintf(text, sizeof text, "%2.1f", (double)x);
            break;
    }
    memcpy(table->text[x].text, text, sizeof table->text[x].text);  // at most "65535.0"
    table->text[x].length = (uint8_t)length;
}

const tagNUMBERTEXT* NumberTexts(NumberTextKind kind) {
    tagNUMBERTABLE* table = NumberTable(kind);
    for (unsigned x = 0; x < 65536; x++)
        if (table->text[x].length == 0) MakeNumberText(table, x);
    return table->text;
}

int PeriodColumn(const char* period) {
    size_t length = strnlen(period, 8);
    auto pair = [period, length](size_t at) {
        char text[3] = {at < length ? period[at] : '\0', at + 1 < length ? period[at + 1] : '\0',
                        '\0'};
        return (int)strtol(text, nullptr, 10);
    };
    int seconds = pair(6);
    int step = seconds == 20 ? 1 : seconds == 40 ? 2 : seconds;
    return pair(0) * 180 + pair(3) * 3 + step;
}

// Flow rate in vehicles per hour per lane (180 periods of 20 seconds make an hour), computed
// in single precision as the report has always done, and its class.
static inline uint8_t FlowClass(uint16_t lanes, uint16_t volume) {
    float perLane = (float)volume * 180.0f / (float)lanes;
    uint16_t flow = (uint16_t)(int64_t)((double)perLane + 0.5);
    if (flow == 0) return 0;  // no flow: with no scan count either, there is no data
    return flow <= 999 ? 3 : flow <= 1499 ? 2 : flow <= 1999 ? 1 : 100;
}

// The element writer classifies every visited period of every record: kept inline there.
static inline void Colours(uint16_t lanes, uint16_t scan, uint16_t speed, uint16_t volume,
                           uint8_t* color0, uint8_t* color1, uint8_t* color2) {
    if (lanes == 0) {
        if (scan == 0) {
            *color0 = *color1 = *color2 = 4;
            return;
        }
        *color0 = 3;
    } else {
        uint8_t flowClass = FlowClass(lanes, volume);
        if (scan == 0 && flowClass == 0) {
            *color0 = *color1 = *color2 = 4;
            return;
        }
        *color0 = flowClass == 0 ? 3 : flowClass;
    }
    // Scan counts of 180, 264 and 420 are 15, 22 and 35 percent occupancy.
    *color1 = scan <= 180 ? 3 : scan <= 264 ? 2 : scan <= 420 ? 1 : 100;
    // Speeds of 300, 400 and 500 tenths are 30, 40 and 50 mph.
    *color2 = speed >= 501 ? 3 : speed >= 401 ? 2 : speed >= 301 ? 1 : 100;
}

void ClassifyColours(uint16_t lanes, uint16_t scan, uint16_t speed, uint16_t volume,
                     uint8_t* color0, uint8_t* color1, uint8_t* color2) {
    Colours(lanes, scan, speed, volume, color0, color1, color2);
}

// Row fields. Every writer has REPORT_ROW_RESERVE bytes of room for a row, far more than the
// longest row (about 200 bytes), so texts are copied in fixed-size pieces.
// The field writers sit in the innermost loop of every report: always inlined.
#define HOT inline __attribute__((always_inline))

static HOT char* Comma(char* p) {
    *p = ',';
    return p + 1;
}

static HOT char* PutScaled(char* p, tagNUMBERTABLE* table, unsigned x) {
    if (table->text[x].length == 0) MakeNumberText(table, x);
    memcpy(p, table->text[x].text, sizeof table->text[x].text);
    return p + table->text[x].length;
}

// Decimal digits of a count; most counts in a report are below 100.
static HOT char* PutUnsigned(char* p, unsigned value) {
    static const char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    if (value < 10) {
        *p = (char)('0' + value);
        return p + 1;
    }
    if (value < 100) {
        memcpy(p, pairs + 2 * value, 2);
        return p + 2;
    }
    if (value < 1000) {
        *p = (char)('0' + value / 100);
        memcpy(p + 1, pairs + 2 * (value % 100), 2);
        return p + 3;
    }
    return std::to_chars(p, p + 12, value).ptr;
}

// The collection-time texts of one report, one per column of its period range.
struct tagTIMETEXTS {
    char text[PERIODS_PER_DAY][32];
    uint8_t length[PERIODS_PER_DAY];
};

// Fills the collection-time texts "date HH:MM:SS" of columns [first, end), with a trailing
// blank for the element report.
static void MakeTimeTexts(tagTIMETEXTS* times, int first, int end, bool trailingBlank) {
    for (int c = first; c < end; c++) {
        int length = snprintf(
            times->text[c], sizeof times->text[c],
            trailingBlank ? "%10.10s %2.2u:%2.2u:%2.2u " : "%10.10s %2.2u:%2.2u:%2.2u",
            szDataStartTime, (unsigned)(c / 180), (unsigned)(c % 180 / 3), (unsigned)(c % 3 * 20));
        times->length[c] = (uint8_t)length;
    }
}

static HOT char* PutTime(char* p, const tagTIMETEXTS& times, int c) {
    memcpy(p, times.text[c], sizeof times.text[c]);
    return p + times.length[c];
}

// Report names take characters 0-1, 3-4 and 6-9 of the start date; a '/' among them would put
// the report into another folder.
static bool ReportDateIsSafe() {
    for (int i : {0, 1, 3, 4, 6, 7, 8, 9})
        if (szDataStartTime[i] == '/') return false;
    return true;
}

// Builds the report path from a name format and the start date. Returns 1, or 0 after
// logging why no report can be named.
static int BuildReportPath(char* path, const char* format, const char* folder, FILE* log) {
    if (!ReportDateIsSafe()) {
        fprintf(log,
                "[%s] E Start date [%s] holds a '/' where the report name takes its date; "
                "no report written!\n",
                szTime, szDataStartTime);
        return 0;
    }
    if (!BuildPath(path, format, folder, szDataStartTime, szDataStartTime + 3,
                   szDataStartTime + 6)) {
        fprintf(log, "[%s] E Report path in folder [%s] would be longer than %d characters!\n",
                szTime, folder, PATH_SIZE - 1);
        return 0;
    }
    return 1;
}

// Names, announces and creates a report. Returns 1 with the report open, or 0 after logging.
static int StartReport(tagREPORTFILE* report, const char* format, const char* folder,
                       const char* announce, FILE* log) {
    char path[PATH_SIZE];
    if (!BuildReportPath(path, format, folder, log)) return 0;
    fprintf(log, announce, szTime, path);
    if (!OpenReportFile(report, path)) {
        fprintf(log, "[%s] E Could not open data file [%s]! - Error = [%p].\n", szTime, path,
                (void*)nullptr);
        return 0;
    }
    return 1;
}

static const char* const kWriting = "[%s] - Writing 20 second data to CSV file [%s]...\n";

// Applies -P: the range becomes the one chosen column (logged, and printed when console is
// set), or stays [0, columns of the day). A column outside the day leaves the range empty.
static void ChoosePeriods(FILE* log, const char* path, bool console, int* first, int* end) {
    *first = 0;
    *end = DayColumns();
    if (!bPERIOD || szPeriod[0] == '\0') return;
    int column = PeriodColumn(szPeriod);
    fprintf(log, "[%s] - Printing period [%s] column [%d] for [%s]\n", szTime, szPeriod, column,
            path);
    if (console) printf("Printing period [%s] column [%d] for [%s]\n", szPeriod, column, path);
    if (column < 0 || column >= PERIODS_PER_DAY) {
        fprintf(log,
                "[%s] E Period [%s] column [%d] lies outside the day; the report holds "
                "its header only!\n",
                szTime, szPeriod, column);
        if (console)
            printf("     E Period [%s] column [%d] lies outside the day!\n", szPeriod, column);
        *first = *end = 0;
        return;
    }
    *first = column;
    *end = column + 1;
}

// Applies -D: the index of the chosen device, -1 when it is not in the table (warned), or -2
// when no device is chosen.
static int ChooseDevice(FILE* log) {
    if (!bDEVICE || szDevice[0] == '\0') return -2;
    for (int i = 0; lpDeviceData20Sec && i < iNumberofNames; i++) {
        if (strcmp(lpDeviceData20Sec[i].szName, szDevice) == 0) {
            fprintf(log, "[%s] - Processing device [%s]\n", szTime, szDevice);
            printf("Processing device [%s]\n", szDevice);
            return i;
        }
    }
    fprintf(log, "[%s] W Device [%s] NOT found!\n", szTime, szDevice);
    printf("          W Device [%s] NOT found!\n", szDevice);
    return -1;
}

// The records a report visits: the chosen one or all, those for which keep(record, chosen)
// holds.
template <typename Keep>
static std::vector<int> SelectDevices(int chosen, Keep keep) {
    std::vector<int> devices;
    for (int i = chosen >= 0 ? chosen : 0; i < (chosen >= 0 ? chosen + 1 : iNumberofNames); i++)
        if (keep(lpDeviceData20Sec[i], chosen >= 0)) devices.push_back(i);
    return devices;
}

// Writes the rows of `devices` over columns [first, end). Each record's values are first
// gathered into small cells, BLOCK periods at a time, so that its arrays are read in whole
// cache lines; the rows are then formatted from the cells in the order the report asks for.
// prepare(first, end) runs before the cells of columns [first, end) are gathered.
enum { BLOCK = 32 };
template <typename Cell, typename Prepare, typename Gather, typename Emit>
static void WriteRows(tagREPORTFILE* report, const std::vector<int>& devices, int first, int end,
                      bool rowsFirst, Prepare prepare, Gather gather, Emit emit) {
    size_t count = devices.size();
    if (first >= end) return;
    // The names, side by side: a row's name is then never a cache miss in a far record.
    struct Name {
        char text[sizeof(tagDEVICEDATA20SEC::szName)];
        size_t length;
    };
    std::vector<Name> names(count);
    for (size_t i = 0; i < count; i++) {
        memcpy(names[i].text, lpDeviceData20Sec[devices[i]].szName, sizeof names[i].text);
        names[i].length = strlen(names[i].text);
    }
    auto writeRow = [&](size_t i, const Cell& cell, int c) {
        char* p = ReportCursor(report);
        memcpy(p, names[i].text, sizeof names[i].text);
        ReportCommit(report, emit(p + names[i].length, cell, c));
    };
    if (rowsFirst) {
        prepare(first, end);
        Cell cells[BLOCK];
        for (size_t i = 0; i < count; i++) {
            for (int block = first; block < end; block += BLOCK) {
                int n = std::min((int)BLOCK, end - block);
                gather(lpDeviceData20Sec[devices[i]], block, n, cells, 1);
                for (int k = 0; k < n; k++) writeRow(i, cells[k], block + k);
            }
        }
        return;
    }
    std::vector<Cell> cells(count * BLOCK);
    for (int block = first; block < end; block += BLOCK) {
        int n = std::min((int)BLOCK, end - block);
        prepare(block, block + n);
        for (size_t i = 0; i < count; i++)
            gather(lpDeviceData20Sec[devices[i]], block, n, &cells[i], count);
        for (int k = 0; k < n; k++)
            for (size_t i = 0; i < count; i++) writeRow(i, cells[k * count + i], block + k);
    }
}

// ---- Element report -------------------------------------------------------------------------

struct tagELEMENTCELL {
    uint16_t lanes, volume, scan, flag, speed, length, bin1, bin2, bin3, bin4, spdFlag, spdFlag2,
        estLength, calcSpeed;
    uint8_t nPds, spdNPds, color0, color1, color2;
};

static void Classify(tagDEVICEDATA20SEC& d, int c) {
    Colours(d.usNumLanes[c], d.usScanCnt[c], d.usSpdTenths[c], d.usVolume[c], &d.ucColor0[c],
            &d.ucColor1[c], &d.ucColor2[c]);
}

int WriteDataAsCSVElementData(FILE* log, const char* folder) {
    const char* format = bDEVICE              ? "%sKORVA20Sec_Element_D_%.2s%.2s%.4s.csv"
                         : bPERIOD            ? "%sKORVA20Sec_Element_P_%.2s%.2s%.4s.csv"
                         : bINCLUDESPEEDLANES ? "%sKORVA20Sec_Element_S_%.2s%.2s%.4s.csv"
                                              : "%sKORVA20Sec_Element_%.2s%.2s%.4s.csv";
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder, kWriting, log)) return 0;
    int first, end;
    ChoosePeriods(log, report.szPath, true, &first, &end);
    int chosen = ChooseDevice(log);
    static const char header[] =
        "Name,NumLanes,Volume,OccTenths,ScanCnt,Flag,NPds,Color0,Color1,Color2,SpdTenths,"
        "LenTenths,Bin1,Bin2,Bin3,Bin4,SpdFlag,SpdFlag2,SpdNPds,EstLength,CalcSpdTenths,"
        "ScanCntSum,CollectionTime\n";
    ReportWrite(&report, header, sizeof header - 1);
    if (chosen == -1) return PublishReportFile(&report, log);

    // Loops and stations get rows (speed lanes only with -S, unless chosen); every visited
    // record is classified, whatever its type: listed ones while their cells are gathered, the
    // others before.
    auto listed = [](const tagDEVICEDATA20SEC& d, bool chosen) {
        if (d.usType == DEVICE_STATION) return true;
        return d.usType == DEVICE_LOOP && (chosen || d.szName[16] != 'S' || bINCLUDESPEEDLANES);
    };
    std::vector<int> devices = SelectDevices(chosen, listed);
    std::vector<int> others = SelectDevices(
        chosen, [&](const tagDEVICEDATA20SEC& d, bool chosen) { return !listed(d, chosen); });
    static tagTIMETEXTS times;
    MakeTimeTexts(&times, first, end, true);
    tagNUMBERTABLE* twelfths = NumberTable(TEXT_TWELFTHS_1);
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    tagNUMBERTABLE* whole = NumberTable(TEXT_WHOLE_1);
    auto classifyOthers = [&others](int from, int to) {
        for (int i : others)
            for (int c = from; c < to; c++) Classify(lpDeviceData20Sec[i], c);
    };
    auto gather = [](tagDEVICEDATA20SEC& d, int from, int n, tagELEMENTCELL* cell, size_t stride) {
        for (int c = from; c < from + n; c++, cell += stride) {
            Classify(d, c);
            *cell = {d.usNumLanes[c],  d.usVolume[c],        d.usScanCnt[c], d.usFlag[c],
                     d.usSpdTenths[c], d.usLenTenths[c],     d.usBin1[c],    d.usBin2[c],
                     d.usBin3[c],      d.usBin4[c],          d.usSpdFlag[c], d.usSpdFlag2[c],
                     d.usEstLength[c], d.usCalcSpdTenths[c], d.ucNPds[c],    d.ucSpdNPds[c],
                     d.ucColor0[c],    d.ucColor1[c],        d.ucColor2[c]};
        }
    };
    auto emit = [&](char* p, const tagELEMENTCELL& e, int c) {
        p = PutUnsigned(Comma(p), e.lanes);
        p = PutUnsigned(Comma(p), e.volume);
        p = PutScaled(Comma(p), twelfths, e.scan);
        p = PutUnsigned(Comma(p), e.scan);
        p = PutUnsigned(Comma(p), e.flag);
        p = PutUnsigned(Comma(p), e.nPds);
        p = PutUnsigned(Comma(p), e.color0);
        p = PutUnsigned(Comma(p), e.color1);
        p = PutUnsigned(Comma(p), e.color2);
        p = PutScaled(Comma(p), tenths, e.speed);
        p = PutScaled(Comma(p), tenths, e.length);
        p = PutUnsigned(Comma(p), e.bin1);
        p = PutUnsigned(Comma(p), e.bin2);
        p = PutUnsigned(Comma(p), e.bin3);
        p = PutUnsigned(Comma(p), e.bin4);
        p = PutUnsigned(Comma(p), e.spdFlag);
        p = PutUnsigned(Comma(p), e.spdFlag2);
        p = PutUnsigned(Comma(p), e.spdNPds);
        p = PutUnsigned(Comma(p), e.estLength);
        p = PutScaled(Comma(p), whole, e.calcSpeed);
        // The scan-count sum is the signed 32-bit product the report has always carried.
        p = std::to_chars(Comma(p), p + 13, (int32_t)((uint32_t)e.lanes * e.scan)).ptr;
        p = PutTime(Comma(p), times, c);
        *p = '\n';
        return p + 1;
    };
    WriteRows<tagELEMENTCELL>(&report, devices, first, end, false, classifyOthers, gather, emit);
    return PublishReportFile(&report, log);
}

// ---- Lane report ----------------------------------------------------------------------------

struct tagLANECELL {
    uint16_t lanes, volume, scan, flag, incident, speed, length;
};

int WriteDataAsCSVLaneData(FILE* log, const char* folder) {
    const char* format = bPERIOD              ? "%sKORVA20Sec_Lane_P_%.2s%.2s%.4s.csv"
                         : bDEVICE            ? "%sKORVA20Sec_Lane_D_%.2s%.2s%.4s.csv"
                         : bINCLUDESPEEDLANES ? "%sKORVA20Sec_Lane_S_%.2s%.2s%.4s.csv"
                         : bWRITEROWSFIRST    ? "%sKORVA20Sec_Lane_R_%.2s%.2s%.4s.csv"
                                              : "%sKORVA20Sec_Lane_%.2s%.2s%.4s.csv";
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder, kWriting, log)) return 0;
    int first, end;
    ChoosePeriods(log, report.szPath, true, &first, &end);
    int chosen = ChooseDevice(log);
    ReportPrintf(&report,
                 "name,collectiontime,lanes,volume,occupancy (%%),status,incident,speed,length\n");
    if (chosen == -1) return PublishReportFile(&report, log);

    // Loops and stations, speed lanes only with -S; the same rule for a chosen device.
    std::vector<int> devices = SelectDevices(chosen, [](const tagDEVICEDATA20SEC& d, bool) {
        if (d.usType == DEVICE_STATION) return true;
        return d.usType == DEVICE_LOOP && (d.szName[16] != 'S' || bINCLUDESPEEDLANES);
    });
    static tagTIMETEXTS times;
    MakeTimeTexts(&times, first, end, false);
    tagNUMBERTABLE* twelfths = NumberTable(TEXT_TWELFTHS_2);
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    auto gather = [](const tagDEVICEDATA20SEC& d, int from, int n, tagLANECELL* cell,
                     size_t stride) {
        for (int c = from; c < from + n; c++, cell += stride)
            *cell = {d.usNumLanes[c], d.usVolume[c],    d.usScanCnt[c],  d.usFlag[c],
                     d.usIncident[c], d.usSpdTenths[c], d.usLenTenths[c]};
    };
    auto emit = [&](char* p, const tagLANECELL& e, int c) {
        p = PutTime(Comma(p), times, c);
        p = PutUnsigned(Comma(p), e.lanes);
        p = PutUnsigned(Comma(p), e.volume);
        p = PutScaled(Comma(p), twelfths, e.scan);
        p = PutUnsigned(Comma(p), e.flag);
        p = PutUnsigned(Comma(p), e.incident);
        p = PutScaled(Comma(p), tenths, e.speed);
        p = PutScaled(Comma(p), tenths, e.length);
        *p = '\n';
        return p + 1;
    };
    WriteRows<tagLANECELL>(
        &report, devices, first, end, bWRITEROWSFIRST, [](int, int) {}, gather, emit);
    return PublishReportFile(&report, log);
}

// ---- Trap report ----------------------------------------------------------------------------

struct tagTRAPCELL {
    uint16_t speed, length, bin1, bin2, bin3, bin4, flag, flag2;
};

int WriteDataAsCSVTrapData(FILE* log, const char* folder) {
    const char* format = bDEVICE           ? "%sKORVA20Sec_Trap_D_%.2s%.2s%.4s.csv"
                         : bPERIOD         ? "%sKORVA20Sec_Trap_P_%.2s%.2s%.4s.csv"
                         : bWRITEROWSFIRST ? "%sKORVA20Sec_Trap_R_%.2s%.2s%.4s.csv"
                                           : "%sKORVA20Sec_Trap_%.2s%.2s%.4s.csv";
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder, kWriting, log)) return 0;
    static const char header[] =
        "name,collectiontime,speed(ave mph),length (ave ft),bin1 (0.0-20.0),bin2 (20.1-42.0),"
        "bin3 (42.1-72.0),bin4 (72.1-115.0 ),flag1,flag2\n";
    ReportWrite(&report, header, sizeof header - 1);
    int first, end;
    ChoosePeriods(log, report.szPath, false, &first, &end);
    int chosen = ChooseDevice(log);
    if (chosen == -1) return PublishReportFile(&report, log);

    std::vector<int> devices = SelectDevices(
        chosen, [](const tagDEVICEDATA20SEC& d, bool) { return d.usType == DEVICE_SPEED_TRAP; });
    static tagTIMETEXTS times;
    MakeTimeTexts(&times, first, end, false);
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    auto gather = [](const tagDEVICEDATA20SEC& d, int from, int n, tagTRAPCELL* cell,
                     size_t stride) {
        for (int c = from; c < from + n; c++, cell += stride)
            *cell = {d.usSpdTenths[c], d.usLenTenths[c], d.usBin1[c],    d.usBin2[c],
                     d.usBin3[c],      d.usBin4[c],      d.usSpdFlag[c], d.usSpdFlag2[c]};
    };
    auto emit = [&](char* p, const tagTRAPCELL& e, int c) {
        p = PutTime(Comma(p), times, c);
        p = PutScaled(Comma(p), tenths, e.speed);
        p = PutScaled(Comma(p), tenths, e.length);
        p = PutUnsigned(Comma(p), e.bin1);
        p = PutUnsigned(Comma(p), e.bin2);
        p = PutUnsigned(Comma(p), e.bin3);
        p = PutUnsigned(Comma(p), e.bin4);
        p = PutUnsigned(Comma(p), e.flag);
        p = PutUnsigned(Comma(p), e.flag2);
        *p = '\n';
        return p + 1;
    };
    WriteRows<tagTRAPCELL>(
        &report, devices, first, end, bWRITEROWSFIRST, [](int, int) {}, gather, emit);
    return PublishReportFile(&report, log);
}

// ---- Contents report ------------------------------------------------------------------------

int WriteDataAsCSVElement(FILE* log, const char* folder) {
    const char* format = bINCLUDEMETERS       ? "%sKORVA20Sec_Content_C_%.2s%.2s%.4s.csv"
                         : bINCLUDESPEEDLANES ? "%sKORVA20Sec_Content_S_%.2s%.2s%.4s.csv"
                                              : "%sKORVA20Sec_Content_%.2s%.2s%.4s.csv";
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder,
                     "[%s] - Writing 20 second data elements to CSV file [%s]...\n", log))
        return 0;

    // -D narrows the list to the first device of that name, silently; the first count line
    // then shows the end of that one-record range.
    int begin = 0, stop = iNumberofNames > 0 ? iNumberofNames : 0, rangeEnd = stop;
    if (bDEVICE && szDevice[0] != '\0' && lpDeviceData20Sec && iNumberofNames > 0) {
        begin = stop;
        for (int i = 0; i < iNumberofNames; i++) {
            if (strcmp(lpDeviceData20Sec[i].szName, szDevice) == 0) {
                begin = i;
                stop = rangeEnd = i + 1;
                break;
            }
        }
    }
    ReportPrintf(&report, "Input element count = %u\n", (unsigned)rangeEnd);
    ReportWrite(&report, "Name,NumLanes\n", 14);
    unsigned listed = 0;
    for (int i = begin; iNumberofColumns > 0 && lpDeviceData20Sec && i < stop; i++) {
        const tagDEVICEDATA20SEC& d = lpDeviceData20Sec[i];
        char letter = d.szName[16];
        bool show = false;
        switch (d.usType) {
            case DEVICE_LOOP:
                show = letter == 'S' ? bINCLUDESPEEDLANES : letter == 'R' ? bINCLUDEMETERS : true;
                break;
            case DEVICE_STATION:
            case DEVICE_SPEED_TRAP:
                show = true;
                break;
            case DEVICE_METERED_LANE:
                show = letter == 'R' ? bINCLUDEMETERS : true;
                break;
        }
        if (!show) continue;
        ReportPrintf(&report, "%s,%u\n", d.szName, (unsigned)d.usNumLanes[0]);
        listed++;
    }
    ReportPrintf(&report, "Contents listed = %u\n", listed);
    return PublishReportFile(&report, log);
}

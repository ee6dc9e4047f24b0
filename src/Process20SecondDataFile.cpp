// Process20SecondDataFile: one twenty-second data file from its bytes to its reports.
//
// A day of 2,000 devices holds 8.6 million device-periods; the converter never holds them all.
// The file is read whole, its name table becomes a device table of names and links (which lanes
// carry which trap, which lanes sum into which station), and every report is then made a block of
// periods at a time: unpacked straight from the packed entries, linked, summed, estimated and
// formatted, with the block sized so that its values fit a fixed working set.
#include "Process20SecondDataFile.h"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "Common.h"
#include "Unpack20SecNG.h"

// The steps no other unit calls, defined where the data reaches them.
static void UnpackNamedDevice(tagDATAFILE* file, FILE* log);
static void AggregateStationTrapData(tagDATAFILE* file);
static void WriteReports(const tagDATAFILE& file, const char* name, const char* targetFolder,
                         FILE* log);
static bool ReportDateIsSafe();
static int WriteDataAsCSVSummary(const tagDATAFILE& file, int minutes, FILE* log,
                                 const char* folder);

// Number of periods every step runs over: the header's column count, never past one day.
static int DayColumns() {
    return std::clamp(iNumberofColumns, 0, (int)PERIODS_PER_DAY);
}

int ProcessDataFile(const char* sourceFolder, const char* targetFolder, const char* entry,
                    FILE* log) {
    // Messages show the name with its control characters as '?': a name cannot forge a line.
    char shown[FOLDER_SIZE];
    const char* name = ShownName(entry, shown, sizeof shown);
    RefreshTime();
    fprintf(log, "[%s] - Processing data file [%s], starting at [%s]\n", szTime, name, szTime);
    printf("Processing data file [%s], starting at [%s]\n", name, szTime);

    char path[PATH_SIZE];
    if (!BuildPath(path, "%s%s", sourceFolder, entry)) {
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

    tagDATAFILE data;
    if (LoadDataFile(buffer, size, name, &data, log)) WriteReports(data, name, targetFolder, log);
    data = tagDATAFILE{};  // the device table goes before the buffer it was read from
    free(buffer);

    double seconds = ProcessSeconds();
    RefreshTime();
    printf("Completed processing of data file [%s] in [%.1f] seconds.\n", name, seconds);
    fprintf(log, "[%s] - Completed processing of data file [%s] in [%.1f] seconds.\n", szTime, name,
            seconds);
    return 1;
}

int LoadDataFile(const char* buffer, int size, const char* name, tagDATAFILE* file, FILE* log) {
    ReadDataHeader(buffer, size);
    if (iNumberofColumns > PERIODS_PER_DAY) {
        fprintf(log,
                "[%s] W Data file [%s] claims [%d] columns; only the [%d] periods of one "
                "day are processed.\n",
                szTime, name, iNumberofColumns, (int)PERIODS_PER_DAY);
        iNumberofColumns = PERIODS_PER_DAY;
    }
    *file = tagDATAFILE{};
    file->lpBytes = (const unsigned char*)buffer;
    file->iSize = size;
    file->iColumns = DayColumns();
    ReadNameTable(file, log);
    if (!file->bTable) return 0;
    UnpackNamedDevice(file, log);
    IntegrateTrapData(file, name, log);
    AggregateStationTrapData(file);
    CalculateSpeedLength(*file);
    return 1;
}

// Writes the reports the options ask for into targetFolder, in the order element, lane, trap,
// contents, summaries; none when the start date cannot name them (logged).
static void WriteReports(const tagDATAFILE& file, const char* name, const char* targetFolder,
                         FILE* log) {
    if (!(bWRITEELEMENTS || bWRITELANES || bWRITETRAPS || bLISTALLELEMENTS || iAggregates)) return;
    // A file without a start date is no data file of ours (a text, random bytes, an empty
    // file): its reports would be named by nothing and overwrite each other.
    if (szDataStartTime[0] == '\0') {
        fprintf(log, "[%s] E No start date in data file [%s]; no reports written!\n", szTime, name);
        return;
    }
    if (!ReportDateIsSafe()) {
        fprintf(log,
                "[%s] E Start date [%s] of data file [%s] holds a '/' where the report "
                "names take their date; no report written!\n",
                szTime, szDataStartTime, name);
        return;
    }
    if (bWRITEELEMENTS) WriteDataAsCSVElementData(file, log, targetFolder);
    if (bWRITELANES) WriteDataAsCSVLaneData(file, log, targetFolder);
    if (bWRITETRAPS) WriteDataAsCSVTrapData(file, log, targetFolder);
    if (bLISTALLELEMENTS) WriteDataAsCSVElement(file, log, targetFolder);
    for (int a = 0; a < iAggregates; a++)
        WriteDataAsCSVSummary(file, iAggregateMinutes[a], log, targetFolder);
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

int ReadDataHeader(const char* buffer, int size) {
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

// ---- Device table ---------------------------------------------------------------------------

enum { NAME_ENTRY_SIZE = 27 };

static uint16_t Little16(const unsigned char* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}
static uint32_t Little32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Sizes a vector sized by the file's own claims; false when the memory cannot be had.
template <typename T>
static bool TryResize(std::vector<T>* v, size_t count) {
    try {
        v->resize(count);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int ReadNameTable(tagDATAFILE* file, FILE* log) {
    // Entries the name table holds: within its claimed size and within the file. The names the
    // header claims beyond them are all-zero devices, which no step ever lists or links.
    int64_t room = std::min<int64_t>(iNameListSize, (int64_t)file->iSize - iHeaderSize);
    int64_t holdable = std::max<int64_t>(room, 0) / NAME_ENTRY_SIZE;
    int complete = 1;
    if (iNumberofNames > holdable) {
        fprintf(log,
                "[%s] W While parsing the name table, we ran out of name data before we "
                "finished the list!\n",
                szTime);
        complete = 0;
    }
    size_t count = (size_t)std::clamp<int64_t>(iNumberofNames, 0, holdable);
    if (!TryResize(&file->devices, count) || !TryResize(&file->byName, count)) {
        file->devices = {};
        file->byName = {};
        fprintf(log,
                "[%s] E Allocation [%zd] bytes of space for [%d] data names structure "
                "FAILED!!!\n",
                szTime, (ssize_t)(count * (sizeof(tagDEVICE) + sizeof(int))), iNumberofNames);
        return 0;
    }
    file->bTable = true;
    const unsigned char* table = file->lpBytes + iHeaderSize;  // count > 0: inside the file
    for (size_t j = 0; j < count; j++) {
        const unsigned char* entry = table + NAME_ENTRY_SIZE * j;
        tagDEVICE& device = file->devices[j];
        memcpy(device.szName, entry, 19);
        device.szName[19] = '\0';
        device.usType = Little16(entry + 19);
        device.usAux = Little16(entry + 21);
        device.uiDataOffset = Little32(entry + 23);
        device.iPeriods = 0;
        device.iTrapSource = (int)j;
        device.iFirstLane = -1;
        device.ucLanes = device.bFinalised = 0;
        file->byName[j] = (int)j;
    }
    // Devices are found by their whole name, exactly; duplicates stay in table order.
    std::sort(file->byName.begin(), file->byName.end(), [file](int a, int b) {
        int order = strcmp(file->devices[a].szName, file->devices[b].szName);
        return order != 0 ? order < 0 : a < b;
    });
    return complete;
}

// The devices named `name`, as a range of the name index (positions in table order).
struct tagNAMED {
    const int *begin, *end;
    bool empty() const { return begin == end; }
};
static tagNAMED Named(const tagDATAFILE& file, const char* name) {
    const int* first = file.byName.data();
    const int* last = first + file.byName.size();
    const int* lo = std::lower_bound(first, last, name, [&file](int a, const char* b) {
        return strcmp(file.devices[a].szName, b) < 0;
    });
    const int* hi = std::upper_bound(lo, last, name, [&file](const char* b, int a) {
        return strcmp(b, file.devices[a].szName) < 0;
    });
    return {lo, hi};
}
// How many of the named devices stand at positions up to `limit`.
static int64_t NamedUpTo(tagNAMED named, int limit) {
    return std::upper_bound(named.begin, named.end, limit) - named.begin;
}

// Packed entry size of a device type, 0 for a type without data.
static int EntrySize(uint16_t type) {
    switch (type) {
        case DEVICE_LOOP:
        case DEVICE_STATION:
            return 3;
        case DEVICE_SPEED_TRAP:
            return 6;
        case DEVICE_METERED_LANE:
            return 2;
    }
    return 0;
}

// Finds how many whole packed entries each device's block has inside the file; entries past
// its end are never read (those periods stay zero), with one warning per device cut short.
static void UnpackNamedDevice(tagDATAFILE* file, FILE* log) {
    int columns = file->iColumns;
    for (tagDEVICE& d : file->devices) {
        int entrySize = EntrySize(d.usType);
        if (entrySize == 0) continue;
        // Only whole entries inside the file are read; later periods stay zero.
        int64_t room = (int64_t)file->iSize - (int64_t)d.uiDataOffset;
        d.iPeriods = room > 0 ? (int)std::min<int64_t>(room / entrySize, columns) : 0;
        if (d.iPeriods < columns)
            fprintf(log,
                    "[%s] W Data block of device [%s] ends past the end of the file; only "
                    "[%d] of [%d] periods unpacked!\n",
                    szTime, d.szName, d.iPeriods, columns);
    }
}

// ---- Links ----------------------------------------------------------------------------------

int IntegrateTrapData(tagDATAFILE* file, const char* name, FILE* log) {
    if (!file->bTable) return 0;
    std::vector<tagDEVICE>& devices = file->devices;
    int64_t traps = 0, lanes = 0, speedLanes = 0;
    // Trap by trap in table order, each partner takes the trap's measurements for the whole day,
    // so a later trap overwrites an earlier one. Rather than copying, each partner notes where
    // its measurements come from: per group of equal names (its first place in the index), the
    // traps that wrote into it, in table order, each up to the position where its scan ended.
    struct tagWRITE {
        int limit, source;
    };
    std::unordered_map<int, std::vector<tagWRITE>> writes;
    auto groupOf = [file](tagNAMED named) { return (int)(named.begin - file->byName.data()); };
    // The device whose measurements device i carries now (before the traps still to come).
    auto sourceNow = [&](int i) {
        auto found = writes.find(groupOf(Named(*file, devices[i].szName)));
        if (found != writes.end())
            for (auto w = found->second.rbegin(); w != found->second.rend(); ++w)
                if (w->limit >= i) return w->source;
        return i;
    };
    for (int i = 0; i < (int)devices.size(); i++) {
        const char* trap = devices[i].szName;
        if (trap[16] != 'T') continue;
        traps++;
        // The trap's lane, the lane's 'M' variant and the speed lane differ from the trap's
        // name in single letters only (a name cut short by a zero byte before them stays as
        // it is, and then names its own partners).
        char lane[20], variant[20], speed[20];
        memcpy(lane, trap, 20);
        lane[16] = '_';
        memcpy(variant, lane, 20);
        variant[11] = 'M';
        memcpy(speed, trap, 20);
        speed[16] = 'S';
        tagNAMED asLane = Named(*file, lane);
        tagNAMED asVariant = strcmp(variant, lane) ? Named(*file, variant) : tagNAMED{};
        tagNAMED asSpeed =
            strcmp(speed, lane) && strcmp(speed, variant) ? Named(*file, speed) : tagNAMED{};
        // The scan through the table ends once a lane and a speed lane are both filled.
        int limit = INT_MAX;
        if ((!asLane.empty() || !asVariant.empty()) && !asSpeed.empty()) {
            int firstLane = std::min(asLane.empty() ? INT_MAX : *asLane.begin,
                                     asVariant.empty() ? INT_MAX : *asVariant.begin);
            limit = std::max(firstLane, *asSpeed.begin);
        }
        lanes += NamedUpTo(asLane, limit) + NamedUpTo(asVariant, limit);
        speedLanes += NamedUpTo(asSpeed, limit);
        if (lane[0] == '\0')  // the names the table lacks are empty too
            lanes += std::max<int64_t>(iNumberofNames - (int64_t)devices.size(), 0);
        int source = sourceNow(i);
        for (tagNAMED partners : {asLane, asVariant, asSpeed})
            if (!partners.empty()) writes[groupOf(partners)].push_back({limit, source});
    }
    // Each partner carries the last trap, in table order, whose scan reached it: members from
    // the last position down, taking in the writes whose scans reached that far.
    const int* index = file->byName.data();
    const int* indexEnd = index + file->byName.size();
    for (auto& written : writes) {
        const std::vector<tagWRITE>& list = written.second;
        const int* begin = index + written.first;
        const int* end = begin;
        while (end < indexEnd && strcmp(devices[*end].szName, devices[*begin].szName) == 0) end++;
        std::vector<int> reach(list.size());
        for (size_t w = 0; w < list.size(); w++) reach[w] = (int)w;
        std::sort(reach.begin(), reach.end(),
                  [&list](int a, int b) { return list[a].limit > list[b].limit; });
        int latest = -1;
        size_t taken = 0;
        for (const int* member = end; member-- > begin;) {
            for (; taken < reach.size() && list[reach[taken]].limit >= *member; taken++)
                latest = std::max(latest, reach[taken]);
            if (latest >= 0) devices[*member].iTrapSource = list[latest].source;
        }
    }
    fprintf(log,
            "[%s] - Processed [%d] Traps into [%d] _x Lanes and Sx Lanes [%d] in file "
            "[%s]...\n",
            szTime, (int)traps, (int)lanes, (int)speedLanes, name);
    return 1;
}

// Lane count of a loop or station in the first period of the day (0 for other devices).
static int LanesAtFirstPeriod(const tagDATAFILE& file, const tagDEVICE& d) {
    if ((d.usType != DEVICE_LOOP && d.usType != DEVICE_STATION) || d.iPeriods == 0) return 0;
    return (file.lpBytes[d.uiDataOffset] >> 3) & 0x07;
}

// Links each station to its lanes 1 to 8, each found after the one before it in the table.
static void AggregateStationTrapData(tagDATAFILE* file) {
    for (tagDEVICE& S : file->devices) {
        if (S.usType != DEVICE_STATION || strlen(S.szName) < 18) continue;
        // Lane k is the station's name with "__k" at 15 to 17, found only after lane k - 1. The
        // station expects as many lanes as it reports in the first period; with none expected
        // it sums all eight it finds and never averages.
        char lane[20];
        memcpy(lane, S.szName, 20);
        lane[15] = '_';
        lane[16] = '_';
        int expected = LanesAtFirstPeriod(*file, S);
        int found = 0, after = -1, first = (int)file->lanes.size();
        while (found < 8) {
            lane[17] = "12345678"[found];
            tagNAMED named = Named(*file, lane);
            const int* next = std::upper_bound(named.begin, named.end, after);
            if (next == named.end) break;
            after = *next;
            file->lanes.push_back(after);
            if (++found == expected) {
                S.bFinalised = 1;
                break;
            }
        }
        if (found > 0) {
            S.iFirstLane = first;
            S.ucLanes = (uint8_t)found;
        }
    }
}

static int ScanCountAt(const tagDATAFILE& file, const tagDEVICE& d, int c) {
    const unsigned char* entry = file.lpBytes + d.uiDataOffset + 3 * (size_t)c;
    return (entry[0] & 0x07) << 8 | entry[1];
}

void CalculateSpeedLength(const tagDATAFILE& file) {
    for (const tagDEVICE& d : file.devices) {
        if (d.usType != DEVICE_LOOP && d.usType != DEVICE_STATION) continue;
        for (int c = 0; c < d.iPeriods; c++) {
            int scan = ScanCountAt(file, d, c);
            if (scan > 1200)
                printf("       W  ScanCount exceeded 1200 >>>   %x\t%s\t%d.\n", (unsigned)scan,
                       d.szName, c);
        }
    }
}

// ---- Blocks of periods ----------------------------------------------------------------------

// The values of one block should stay within a few megabytes, whatever the number of devices:
// a day of them is never needed at once.
enum { BLOCK_BUDGET = 8 << 20 };

void PlanBlock(const tagDATAFILE& file, const std::vector<int>& devices, tagBLOCK* block,
               std::vector<int>* local) {
    std::vector<int>& at = *local;
    for (int p : block->members) at[p] = -1;
    // The devices, then the lanes of every station among them, and theirs in turn.
    std::vector<int>& members = block->members;
    members.assign(devices.begin(), devices.end());
    for (int p : members) at[p] = 0;
    for (size_t i = 0; i < members.size(); i++) {
        const tagDEVICE& d = file.devices[members[i]];
        if (d.iFirstLane < 0) continue;
        for (int k = 0; k < d.ucLanes; k++) {
            int lane = file.lanes[d.iFirstLane + k];
            if (at[lane] < 0) {
                at[lane] = 0;
                members.push_back(lane);
            }
        }
    }
    std::sort(members.begin(), members.end());
    block->stations.clear();
    block->finalised.clear();
    block->stationLanes.clear();
    block->laneAt.assign(1, 0);
    for (size_t i = 0; i < members.size(); i++) at[members[i]] = (int)i;
    for (size_t i = 0; i < members.size(); i++) {
        const tagDEVICE& d = file.devices[members[i]];
        if (d.iFirstLane < 0) continue;
        block->stations.push_back((int)i);
        block->finalised.push_back(d.bFinalised);
        for (int k = 0; k < d.ucLanes; k++)
            block->stationLanes.push_back(at[file.lanes[d.iFirstLane + k]]);
        block->laneAt.push_back((int)block->stationLanes.size());
    }
}

int BlockPeriods(const tagBLOCK& block) {
    size_t row = std::max<size_t>(block.members.size(), 1) * sizeof(tagPERIODVALUES);
    return (int)std::clamp<size_t>(BLOCK_BUDGET / row, 1, PERIODS_PER_DAY);
}

// Caps the scan count at 1200 and estimates the vehicle length a 65 mph vehicle would give, and
// the speed that rounded length gives back. Both round halves up: a / b + 0.5 cut to a whole
// number is (2a + b) / 2b, exactly what the quotient in double precision gives over every
// lane count (0 to 7), scan count (to 1200) and volume (to 127) a packed entry can hold, and
// every numerator stays below 2^31.
static void EstimateSpeedLength(tagPERIODVALUES* v) {
    uint32_t scan = std::min<uint32_t>(v->usScanCnt, 1200);
    uint32_t volume = v->usVolume, lanes = v->usNumLanes;
    v->usScanCnt = (uint16_t)scan;
    if (volume != 0) {
        uint32_t a = lanes * 715 * scan, b = volume * 450;
        v->usEstLength = (uint16_t)((2 * a + b) / (2 * b));
    }
    if (lanes * scan != 0) {
        uint32_t a = v->usEstLength * volume * 450, b = 11 * scan * lanes;
        v->usCalcSpdTenths = (uint16_t)((2 * a + b) / (2 * b));
    }
}

// Unpacks the member's own measures, capped and estimated, and its trap's measurements for
// `count` periods from `first`, into every `stride`-th value. Entries past the device's block
// give zeros.
static void UnpackMember(const tagDATAFILE& file, const tagDEVICE& d, int first, int count,
                         tagPERIODVALUES* v, size_t stride) {
    const tagDEVICE& trap = file.devices[d.iTrapSource];
    bool loop = d.usType == DEVICE_LOOP, station = d.usType == DEVICE_STATION;
    int own = loop || station ? std::clamp(d.iPeriods - first, 0, count) : 0;
    int measured =
        trap.usType == DEVICE_SPEED_TRAP ? std::clamp(trap.iPeriods - first, 0, count) : 0;
    for (int k = 0; k < count; k++, v += stride) {
        *v = {};
        if (k < own) {
            const unsigned char* entry = file.lpBytes + d.uiDataOffset + 3 * (size_t)(first + k);
            if (loop) {
                unpack_rtdb_loop(entry, &v->usVolume, &v->usScanCnt, &v->usFlag, &v->usIncident,
                                 &v->usNumLanes);
                v->ucNPds = (uint8_t)v->usNumLanes;
            } else {
                unpack_rtdb_station(entry, &v->usVolume, &v->usScanCnt, &v->usFlag, &v->usIncident,
                                    &v->usNumLanes);
                v->ucNPds = v->usNumLanes != 0;
            }
            EstimateSpeedLength(v);
        }
        if (k < measured) {
            const unsigned char* entry = file.lpBytes + trap.uiDataOffset + 6 * (size_t)(first + k);
            unpack_rtdb_spd_trap(entry, &v->usSpdTenths, &v->usLenTenths, &v->usBin1, &v->usBin2,
                                 &v->usBin3, &v->usBin4, &v->usSpdFlag, &v->usSpdFlag2);
            v->ucSpdNPds = (uint8_t)(entry[1] >> 7);
        }
    }
}

// Adds lane R's trap data into station S for one period. A valid period adds its bins and its
// vehicle-weighted speed and length (kept wide in the sums, and modulo 65536 in the station
// itself) and counts as a valid lane; "valid and empty" (trap working, no vehicles) only counts.
// R may be S itself: every field is read before it is written, as a day-long sum would.
static void AddLaneIntoStation(const tagPERIODVALUES* R, tagPERIODVALUES* S, uint32_t* speedSum,
                               uint32_t* lengthSum) {
    uint32_t vehicles = (uint32_t)R->usBin1 + R->usBin2 + R->usBin3 + R->usBin4;
    uint16_t speed = R->usSpdTenths;
    if ((R->usSpdFlag2 & 128) && speed >= 100 && speed <= 1109) {
        uint32_t length = R->usLenTenths;
        S->usBin1 = (uint16_t)(S->usBin1 + R->usBin1);
        S->usBin2 = (uint16_t)(S->usBin2 + R->usBin2);
        S->usBin3 = (uint16_t)(S->usBin3 + R->usBin3);
        S->usBin4 = (uint16_t)(S->usBin4 + R->usBin4);
        *speedSum += speed * vehicles;
        *lengthSum += length * vehicles;
        S->usSpdTenths = (uint16_t)*speedSum;
        S->usLenTenths = (uint16_t)*lengthSum;
        S->usSpdFlag++;
    } else if ((R->usSpdFlag & 128) && speed == 0 && vehicles == 0) {
        S->usSpdFlag++;
    }
}

// Turns station S's sums into vehicle-weighted averages, and its valid-lane count into the
// flag 128 when at least 65 % of its lanes delivered data (0 for a period without lanes).
static void FinaliseStation(tagPERIODVALUES* S, uint32_t speedSum, uint32_t lengthSum) {
    uint32_t total = (uint32_t)S->usBin1 + S->usBin2 + S->usBin3 + S->usBin4;
    S->usSpdTenths = (uint16_t)(total ? speedSum / total : 0);
    S->usLenTenths = (uint16_t)(total ? lengthSum / total : 0);
    uint16_t lanes = S->usNumLanes;
    S->usSpdFlag = (lanes != 0 && (double)S->usSpdFlag / lanes >= 0.65) ? 128 : 0;
}

void FillBlock(const tagDATAFILE& file, tagBLOCK* block, int first, int count) {
    size_t width = block->members.size();
    block->iFirst = first;
    block->iCount = count;
    if (count <= 0 || width == 0) return;  // no periods, or no devices
    block->values.resize(width * (size_t)count);
    for (size_t i = 0; i < width; i++)
        UnpackMember(file, file.devices[block->members[i]], first, count, &block->values[i], width);
    // Period by period (a period's values lie side by side), stations in table order: a station
    // that is another's lane is summed before it is read when it comes first. Periods past the
    // file's columns keep their zeros.
    int derived = std::clamp(file.iColumns - first, 0, count);
    for (int k = 0; k < derived; k++) {
        tagPERIODVALUES* row = &block->values[k * width];
        for (size_t s = 0; s < block->stations.size(); s++) {
            tagPERIODVALUES* S = &row[block->stations[s]];
            uint32_t speedSum = S->usSpdTenths, lengthSum = S->usLenTenths;
            for (int l = block->laneAt[s]; l < block->laneAt[s + 1]; l++)
                AddLaneIntoStation(&row[block->stationLanes[l]], S, &speedSum, &lengthSum);
            if (block->finalised[s]) FinaliseStation(S, speedSum, lengthSum);
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
    memcpy(table->text[x].text, text, sizeof table->text[x].text);  // at most "65535.0"
    table->text[x].length = (uint8_t)length;
}

// The column of a "-P" text HH:MM:SS: hours * 180 + minutes * 3 + (20 -> 1, 40 -> 2, other
// seconds as their number). Not range-checked.
static int PeriodColumn(const char* period) {
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
// in single precision, and its class.
static uint8_t ComputeFlowClass(uint16_t lanes, uint16_t volume) {
    float perLane = (float)volume * 180.0f / (float)lanes;
    uint16_t flow = (uint16_t)(int64_t)((double)perLane + 0.5);
    if (flow == 0) return 0;  // no flow: with no scan count either, there is no data
    return flow <= 999 ? 3 : flow <= 1499 ? 2 : flow <= 1999 ? 1 : 100;
}
// Every row needs the class, and a packed entry holds at most 7 lanes and a volume of 127: the
// classes of those are made once.
static inline uint8_t FlowClass(uint16_t lanes, uint16_t volume) {
    static const auto classes = [] {
        std::vector<uint8_t> table(8 * 128);
        for (uint16_t l = 1; l < 8; l++)
            for (uint16_t v = 0; v < 128; v++) table[l * 128 + v] = ComputeFlowClass(l, v);
        return table;
    }();
    return lanes < 8 && volume < 128 ? classes[lanes * 128 + volume]
                                     : ComputeFlowClass(lanes, volume);
}
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

// Row fields. Every writer has REPORT_ROW_RESERVE bytes of room for a row, far more than the
// longest row (about 200 bytes), so texts are copied in fixed-size pieces.
// The field writers sit in the innermost loop of every report: always inlined.
#define HOT inline __attribute__((always_inline))
#define HOT_LAMBDA __attribute__((always_inline))

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
        unsigned hours = (unsigned)(c / 180), minutes = (unsigned)(c % 180 / 3),
                 seconds = (unsigned)(c % 3 * 20);
        int length;
        if (bClean)  // ISO 8601 from the month-first date: YYYY-MM-DD HH:MM:SS
            length = snprintf(times->text[c], sizeof times->text[c],
                              "%.4s-%.2s-%.2s %2.2u:%2.2u:%2.2u", szDataStartTime + 6,
                              szDataStartTime, szDataStartTime + 3, hours, minutes, seconds);
        else
            length =
                snprintf(times->text[c], sizeof times->text[c],
                         trailingBlank ? "%10.10s %2.2u:%2.2u:%2.2u " : "%10.10s %2.2u:%2.2u:%2.2u",
                         szDataStartTime, hours, minutes, seconds);
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
    // A compressed report takes ".gz" or ".zst" after its usual name.
    char name[PATH_SIZE];
    if (!BuildPath(name, format, folder, szDataStartTime, szDataStartTime + 3,
                   szDataStartTime + 6) ||
        !BuildPath(path, "%s%s", name, ReportSuffix())) {
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
        fprintf(log, "[%s] E Could not create CSV file [%s]! - %s.\n", szTime, path,
                strerror(errno));
        return 0;
    }
    return 1;
}

static const char* const kWriting = "[%s] - Writing 20 second data to CSV file [%s]...\n";

// Applies -P: the range becomes the one chosen column (logged, and printed when console is
// set), or stays [0, columns of the day). A column outside the day, or a text whose six digit
// places are not all digits (07:3O:20), leaves the range empty.
static void ChoosePeriods(FILE* log, const char* path, bool console, int* first, int* end) {
    *first = 0;
    *end = DayColumns();
    if (!bPERIOD || szPeriod[0] == '\0') return;
    int column = PeriodColumn(szPeriod);
    fprintf(log, "[%s] - Printing period [%s] column [%d] for [%s]\n", szTime, szPeriod, column,
            path);
    if (console) printf("Printing period [%s] column [%d] for [%s]\n", szPeriod, column, path);
    bool digits = true;
    for (int at : {0, 1, 3, 4, 6, 7}) digits = digits && isdigit((unsigned char)szPeriod[at]);
    if (!digits || column < 0 || column >= PERIODS_PER_DAY) {
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

// Applies -D: the position of the chosen device, -1 when it is not in the table (warned), or -2
// when no device is chosen.
static int ChooseDevice(const tagDATAFILE& file, FILE* log) {
    if (!bDEVICE || szDevice[0] == '\0') return -2;
    for (size_t i = 0; i < file.devices.size(); i++) {
        if (strcmp(file.devices[i].szName, szDevice) == 0) {
            fprintf(log, "[%s] - Processing device [%s]\n", szTime, szDevice);
            printf("Processing device [%s]\n", szDevice);
            return (int)i;
        }
    }
    fprintf(log, "[%s] W Device [%s] NOT found!\n", szTime, szDevice);
    printf("          W Device [%s] NOT found!\n", szDevice);
    return -1;
}

// The devices a report lists: the chosen one or all, those for which listed(device, chosen)
// holds.
template <typename Listed>
static std::vector<int> SelectDevices(const tagDATAFILE& file, int chosen, Listed listed) {
    std::vector<int> devices;
    int end = chosen >= 0 ? chosen + 1 : (int)file.devices.size();
    for (int i = chosen >= 0 ? chosen : 0; i < end; i++)
        if (listed(file.devices[i], chosen >= 0)) devices.push_back(i);
    return devices;
}

// A block to be filled on another thread.
struct tagFILLJOB {
    const tagDATAFILE* lpFile;
    tagBLOCK* lpBlock;
    int iFirst, iCount;
};
static void* FillAhead(void* job) {
    tagFILLJOB* j = (tagFILLJOB*)job;
    FillBlock(*j->lpFile, j->lpBlock, j->iFirst, j->iCount);
    return nullptr;
}

// Writes the rows of `devices` over columns [first, end), emit(p, values, c) formatting one.
// Period first, the values of all the devices are made a block of periods at a time; device
// first (-R), each device's own, with the lanes a station needs, over the whole range.
template <typename Emit>
static void WriteRows(tagREPORTFILE* report, const tagDATAFILE& file,
                      const std::vector<int>& devices, int first, int end, bool rowsFirst,
                      Emit emit) {
    size_t count = devices.size();
    if (first >= end || count == 0) return;
    // The names, side by side: a row's name is then never a cache miss. In standard CSV a
    // name with a comma, a quote or a line break is quoted.
    struct Name {
        char text[2 * sizeof(tagDEVICE::szName) + 8];
        size_t length;
    };
    std::vector<Name> names(count);
    for (size_t i = 0; i < count; i++) {
        const char* name = file.devices[devices[i]].szName;
        names[i].length =
            (size_t)((bClean ? PutCsvField(names[i].text, name) : stpcpy(names[i].text, name)) -
                     names[i].text);
    }
    auto writeRow = [&](size_t i, const tagPERIODVALUES& values, int c) HOT_LAMBDA {
        char* p = ReportCursor(report);
        memcpy(p, names[i].text, sizeof names[i].text);
        ReportCommit(report, emit(p + names[i].length, values, c));
    };
    tagBLOCK block;
    std::vector<int> local(file.devices.size(), -1);
    if (rowsFirst) {
        for (size_t i = 0; i < count; i++) {
            PlanBlock(file, {devices[i]}, &block, &local);
            int at = local[devices[i]], periods = BlockPeriods(block);
            for (int from = first; from < end && !iInterrupt; from += periods) {
                int n = std::min(periods, end - from);
                FillBlock(file, &block, from, n);
                for (int c = from; c < from + n; c++) writeRow(i, block.At(c, at), c);
            }
        }
        return;
    }
    // Period first, the next block is filled on a second thread while this one's rows are
    // formatted (inline when no thread can be had).
    tagBLOCK next;
    PlanBlock(file, devices, &block, &local);
    next = block;
    std::vector<int> at(count);
    for (size_t i = 0; i < count; i++) at[i] = local[devices[i]];
    int periods = BlockPeriods(block);
    FillBlock(file, &block, first, std::min(periods, end - first));
    for (int from = first; from < end && !iInterrupt; from += periods) {
        int n = std::min(periods, end - from);
        tagFILLJOB job = {&file, &next, from + n, std::min(periods, end - from - n)};
        pthread_t filler;
        bool ahead = job.iCount > 0 && pthread_create(&filler, nullptr, FillAhead, &job) == 0;
        for (int c = from; c < from + n; c++)
            for (size_t i = 0; i < count; i++) writeRow(i, block.At(c, at[i]), c);
        if (ahead)
            pthread_join(filler, nullptr);
        else if (job.iCount > 0)
            FillAhead(&job);
        std::swap(block, next);
    }
}

// ---- Element report -------------------------------------------------------------------------

// Loops and stations get rows (speed lanes only with -S, unless chosen).
static bool ElementListed(const tagDEVICE& d, bool chosen) {
    if (d.usType == DEVICE_STATION) return true;
    return d.usType == DEVICE_LOOP && (chosen || d.szName[16] != 'S' || bINCLUDESPEEDLANES);
}

int WriteDataAsCSVElementData(const tagDATAFILE& file, FILE* log, const char* folder) {
    const char* format = bDEVICE              ? "%sKORVA20Sec_Element_D_%.2s%.2s%.4s.csv"
                         : bPERIOD            ? "%sKORVA20Sec_Element_P_%.2s%.2s%.4s.csv"
                         : bINCLUDESPEEDLANES ? "%sKORVA20Sec_Element_S_%.2s%.2s%.4s.csv"
                                              : "%sKORVA20Sec_Element_%.2s%.2s%.4s.csv";
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder, kWriting, log)) return 0;
    int first, end;
    ChoosePeriods(log, report.szPath, true, &first, &end);
    int chosen = ChooseDevice(file, log);
    ReportHeader(
        &report,
        "Name,NumLanes,Volume,OccTenths,ScanCnt,Flag,NPds,Color0,Color1,Color2,SpdTenths,"
        "LenTenths,Bin1,Bin2,Bin3,Bin4,SpdFlag,SpdFlag2,SpdNPds,EstLength,CalcSpdTenths,"
        "ScanCntSum,CollectionTime\n",
        "name,num_lanes,volume,occupancy_pct,scan_cnt,flag,npds,color0,color1,color2,speed_mph,"
        "length_ft,bin1,bin2,bin3,bin4,spd_flag,spd_flag2,spd_npds,est_length_ft,"
        "calc_speed_mph,scan_cnt_sum,collection_time\n");
    if (chosen == -1) return PublishReportFile(&report, log);

    std::vector<int> devices = SelectDevices(file, chosen, ElementListed);
    static tagTIMETEXTS times;
    MakeTimeTexts(&times, first, end, true);
    tagNUMBERTABLE* twelfths = NumberTable(TEXT_TWELFTHS_1);
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    tagNUMBERTABLE* whole = NumberTable(TEXT_WHOLE_1);
    auto emit = [&](char* p, const tagPERIODVALUES& e, int c) HOT_LAMBDA {
        uint8_t color0, color1, color2;
        Colours(e.usNumLanes, e.usScanCnt, e.usSpdTenths, e.usVolume, &color0, &color1, &color2);
        p = PutUnsigned(Comma(p), e.usNumLanes);
        p = PutUnsigned(Comma(p), e.usVolume);
        p = PutScaled(Comma(p), twelfths, e.usScanCnt);
        p = PutUnsigned(Comma(p), e.usScanCnt);
        p = PutUnsigned(Comma(p), e.usFlag);
        p = PutUnsigned(Comma(p), e.ucNPds);
        p = PutUnsigned(Comma(p), color0);
        p = PutUnsigned(Comma(p), color1);
        p = PutUnsigned(Comma(p), color2);
        p = PutScaled(Comma(p), tenths, e.usSpdTenths);
        p = PutScaled(Comma(p), tenths, e.usLenTenths);
        p = PutUnsigned(Comma(p), e.usBin1);
        p = PutUnsigned(Comma(p), e.usBin2);
        p = PutUnsigned(Comma(p), e.usBin3);
        p = PutUnsigned(Comma(p), e.usBin4);
        p = PutUnsigned(Comma(p), e.usSpdFlag);
        p = PutUnsigned(Comma(p), e.usSpdFlag2);
        p = PutUnsigned(Comma(p), e.ucSpdNPds);
        p = PutUnsigned(Comma(p), e.usEstLength);
        p = PutScaled(Comma(p), whole, e.usCalcSpdTenths);
        // The scan-count sum is a signed 32-bit product.
        int32_t scanSum = (int32_t)((uint32_t)e.usNumLanes * e.usScanCnt);
        p = scanSum >= 0 ? PutUnsigned(Comma(p), (unsigned)scanSum)
                         : std::to_chars(Comma(p), p + 13, scanSum).ptr;
        p = PutTime(Comma(p), times, c);
        *p = '\n';
        return p + 1;
    };
    WriteRows(&report, file, devices, first, end, false, emit);
    return PublishReportFile(&report, log);
}

// ---- Lane report ----------------------------------------------------------------------------

int WriteDataAsCSVLaneData(const tagDATAFILE& file, FILE* log, const char* folder) {
    const char* format = bPERIOD              ? "%sKORVA20Sec_Lane_P_%.2s%.2s%.4s.csv"
                         : bDEVICE            ? "%sKORVA20Sec_Lane_D_%.2s%.2s%.4s.csv"
                         : bINCLUDESPEEDLANES ? "%sKORVA20Sec_Lane_S_%.2s%.2s%.4s.csv"
                         : bWRITEROWSFIRST    ? "%sKORVA20Sec_Lane_R_%.2s%.2s%.4s.csv"
                                              : "%sKORVA20Sec_Lane_%.2s%.2s%.4s.csv";
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder, kWriting, log)) return 0;
    int first, end;
    ChoosePeriods(log, report.szPath, true, &first, &end);
    int chosen = ChooseDevice(file, log);
    ReportHeader(&report,
                 "name,collectiontime,lanes,volume,occupancy (%),status,incident,speed,length\n",
                 "name,collection_time,lanes,volume,occupancy_pct,status,incident,speed_mph,"
                 "length_ft\n");
    if (chosen == -1) return PublishReportFile(&report, log);

    // Loops and stations, speed lanes only with -S; the same rule for a chosen device.
    std::vector<int> devices = SelectDevices(file, chosen, [](const tagDEVICE& d, bool) {
        if (d.usType == DEVICE_STATION) return true;
        return d.usType == DEVICE_LOOP && (d.szName[16] != 'S' || bINCLUDESPEEDLANES);
    });
    static tagTIMETEXTS times;
    MakeTimeTexts(&times, first, end, false);
    tagNUMBERTABLE* twelfths = NumberTable(TEXT_TWELFTHS_2);
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    auto emit = [&](char* p, const tagPERIODVALUES& e, int c) HOT_LAMBDA {
        p = PutTime(Comma(p), times, c);
        p = PutUnsigned(Comma(p), e.usNumLanes);
        p = PutUnsigned(Comma(p), e.usVolume);
        p = PutScaled(Comma(p), twelfths, e.usScanCnt);
        p = PutUnsigned(Comma(p), e.usFlag);
        p = PutUnsigned(Comma(p), e.usIncident);
        p = PutScaled(Comma(p), tenths, e.usSpdTenths);
        p = PutScaled(Comma(p), tenths, e.usLenTenths);
        *p = '\n';
        return p + 1;
    };
    WriteRows(&report, file, devices, first, end, bWRITEROWSFIRST, emit);
    return PublishReportFile(&report, log);
}

// ---- Trap report ----------------------------------------------------------------------------

int WriteDataAsCSVTrapData(const tagDATAFILE& file, FILE* log, const char* folder) {
    const char* format = bDEVICE           ? "%sKORVA20Sec_Trap_D_%.2s%.2s%.4s.csv"
                         : bPERIOD         ? "%sKORVA20Sec_Trap_P_%.2s%.2s%.4s.csv"
                         : bWRITEROWSFIRST ? "%sKORVA20Sec_Trap_R_%.2s%.2s%.4s.csv"
                                           : "%sKORVA20Sec_Trap_%.2s%.2s%.4s.csv";
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder, kWriting, log)) return 0;
    ReportHeader(
        &report,
        "name,collectiontime,speed(ave mph),length (ave ft),bin1 (0.0-20.0),bin2 (20.1-42.0),"
        "bin3 (42.1-72.0),bin4 (72.1-115.0 ),flag1,flag2\n",
        "name,collection_time,speed_mph,length_ft,bin1,bin2,bin3,bin4,flag1,flag2\n");
    int first, end;
    ChoosePeriods(log, report.szPath, false, &first, &end);
    int chosen = ChooseDevice(file, log);
    if (chosen == -1) return PublishReportFile(&report, log);

    std::vector<int> devices = SelectDevices(
        file, chosen, [](const tagDEVICE& d, bool) { return d.usType == DEVICE_SPEED_TRAP; });
    static tagTIMETEXTS times;
    MakeTimeTexts(&times, first, end, false);
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    auto emit = [&](char* p, const tagPERIODVALUES& e, int c) HOT_LAMBDA {
        p = PutTime(Comma(p), times, c);
        p = PutScaled(Comma(p), tenths, e.usSpdTenths);
        p = PutScaled(Comma(p), tenths, e.usLenTenths);
        p = PutUnsigned(Comma(p), e.usBin1);
        p = PutUnsigned(Comma(p), e.usBin2);
        p = PutUnsigned(Comma(p), e.usBin3);
        p = PutUnsigned(Comma(p), e.usBin4);
        p = PutUnsigned(Comma(p), e.usSpdFlag);
        p = PutUnsigned(Comma(p), e.usSpdFlag2);
        *p = '\n';
        return p + 1;
    };
    WriteRows(&report, file, devices, first, end, bWRITEROWSFIRST, emit);
    return PublishReportFile(&report, log);
}

// ---- Contents report ------------------------------------------------------------------------

int WriteDataAsCSVElement(const tagDATAFILE& file, FILE* log, const char* folder) {
    const char* format = bINCLUDEMETERS       ? "%sKORVA20Sec_Content_C_%.2s%.2s%.4s.csv"
                         : bINCLUDESPEEDLANES ? "%sKORVA20Sec_Content_S_%.2s%.2s%.4s.csv"
                                              : "%sKORVA20Sec_Content_%.2s%.2s%.4s.csv";
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder,
                     "[%s] - Writing 20 second data elements to CSV file [%s]...\n", log))
        return 0;

    // The count line shows the names the header claims. -D narrows the list to the first
    // device of that name, silently; the count line then shows the end of that one-place range.
    int held = (int)file.devices.size();
    int begin = 0, stop = held, rangeEnd = std::max(iNumberofNames, 0);
    if (bDEVICE && szDevice[0] != '\0' && iNumberofNames > 0) {
        begin = stop;
        for (int i = 0; i < held; i++) {
            if (strcmp(file.devices[i].szName, szDevice) == 0) {
                begin = i;
                stop = rangeEnd = i + 1;
                break;
            }
        }
    }
    // Standard CSV has no count lines: the log keeps the figures.
    if (bClean)
        ReportWrite(&report, "name,num_lanes\n", 15);
    else
        ReportPrintf(&report, "Input element count = %u\nName,NumLanes\n", (unsigned)rangeEnd);
    unsigned listed = 0;
    for (int i = begin; file.iColumns > 0 && i < stop; i++) {
        const tagDEVICE& d = file.devices[i];
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
        if (bClean) {
            char name[2 * sizeof d.szName + 8];
            *PutCsvField(name, d.szName) = '\0';
            ReportPrintf(&report, "%s,%u\n", name, (unsigned)LanesAtFirstPeriod(file, d));
        } else {
            ReportPrintf(&report, "%s,%u\n", d.szName, (unsigned)LanesAtFirstPeriod(file, d));
        }
        listed++;
    }
    if (!bClean) ReportPrintf(&report, "Contents listed = %u\n", listed);
    return PublishReportFile(&report, log);
}

// ---- Summary reports ------------------------------------------------------------------------

// One device's sums over the periods of one bin.
struct tagBINSUMS {
    uint32_t periods, observed, volume, scan, speedVolume, speedVolumeWeighted;
};

static char* PutSummaryRow(char* p, const char* name, size_t nameLength, const char* binStart,
                           const tagBINSUMS& b) {
    memcpy(p, name, nameLength);
    p += nameLength;
    p += sprintf(p, ",%s,%u,%u,%u,", binStart, b.periods, b.observed, b.volume);
    if (b.observed) p += sprintf(p, "%.1f", (double)b.scan / (12.0 * b.observed));
    *p++ = ',';
    if (b.speedVolume)
        p += sprintf(p, "%.1f", (double)b.speedVolumeWeighted / (10.0 * b.speedVolume));
    *p++ = '\n';
    return p;
}

static void AddToBin(tagBINSUMS* b, const tagPERIODVALUES& v) {
    b->periods++;
    b->volume += v.usVolume;
    if (v.ucNPds > 0) {
        b->observed++;
        b->scan += v.usScanCnt;
    }
    if (v.usSpdTenths > 0 && v.usVolume > 0) {
        b->speedVolume += v.usVolume;
        b->speedVolumeWeighted += (uint32_t)v.usSpdTenths * v.usVolume;
    }
}

// The summary of the element report's devices in bins of `minutes` (--aggregate), always in
// standard CSV: name,bin_start,periods,observed,volume,occupancy_pct,speed_mph.
static int WriteDataAsCSVSummary(const tagDATAFILE& file, int minutes, FILE* log,
                                 const char* folder) {
    char format[80];
    snprintf(format, sizeof format, "%%sKORVA%dMin_Element_%s%%.2s%%.2s%%.4s.csv", minutes,
             bDEVICE              ? "D_"
             : bPERIOD            ? "P_"
             : bINCLUDESPEEDLANES ? "S_"
                                  : "");
    char announce[80];
    snprintf(announce, sizeof announce, "[%%s] - Writing %d minute summary to CSV file [%%s]...\n",
             minutes);
    tagREPORTFILE report;
    if (!StartReport(&report, format, folder, announce, log)) return 0;
    int chosen = ChooseDevice(file, log);
    ReportWrite(&report, "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph\n", 63);
    if (chosen == -1) return PublishReportFile(&report, log);

    // The element report's devices and values; -P does not narrow a summary. Bins cover the
    // periods the file holds, a bin of `minutes` being 3 periods a minute.
    std::vector<int> devices = SelectDevices(file, chosen, ElementListed);
    size_t count = devices.size();
    int columns = file.iColumns, width = minutes * 3;
    if (count == 0) return PublishReportFile(&report, log);
    std::vector<std::string> names(count);
    for (size_t i = 0; i < count; i++) {
        char quoted[2 * sizeof(tagDEVICE::szName) + 8];
        names[i].assign(quoted, PutCsvField(quoted, file.devices[devices[i]].szName));
    }
    char binStart[32];
    auto startOf = [&](int c) {
        snprintf(binStart, sizeof binStart, "%.4s-%.2s-%.2s %2.2u:%2.2u:%2.2u", szDataStartTime + 6,
                 szDataStartTime, szDataStartTime + 3, (unsigned)(c / 180), (unsigned)(c % 180 / 3),
                 (unsigned)(c % 3 * 20));
    };
    auto emit = [&](size_t i, const tagBINSUMS& b) {
        char* p = ReportCursor(&report);
        ReportCommit(&report, PutSummaryRow(p, names[i].data(), names[i].size(), binStart, b));
    };
    tagBLOCK block;
    std::vector<int> local(file.devices.size(), -1);
    if (bWRITEROWSFIRST) {  // device first: each device's bins in time order
        for (size_t i = 0; i < count && !iInterrupt; i++) {
            PlanBlock(file, {devices[i]}, &block, &local);
            int at = local[devices[i]];
            FillBlock(file, &block, 0, columns);
            for (int bin = 0; bin < columns; bin += width) {
                tagBINSUMS sums = {};
                for (int c = bin; c < std::min(bin + width, columns); c++)
                    AddToBin(&sums, block.At(c, at));
                startOf(bin);
                emit(i, sums);
            }
        }
        return PublishReportFile(&report, log);
    }
    PlanBlock(file, devices, &block, &local);
    std::vector<int> at(count);
    for (size_t i = 0; i < count; i++) at[i] = local[devices[i]];
    std::vector<tagBINSUMS> sums(count);
    int periods = BlockPeriods(block);
    for (int from = 0; from < columns && !iInterrupt; from += periods) {
        int n = std::min(periods, columns - from);
        FillBlock(file, &block, from, n);
        for (int c = from; c < from + n; c++) {
            for (size_t i = 0; i < count; i++) AddToBin(&sums[i], block.At(c, at[i]));
            if ((c + 1) % width != 0 && c + 1 != columns) continue;
            startOf(c / width * width);  // the bin is complete: its rows, device by device
            for (size_t i = 0; i < count; i++) emit(i, sums[i]);
            std::fill(sums.begin(), sums.end(), tagBINSUMS{});
        }
    }
    return PublishReportFile(&report, log);
}

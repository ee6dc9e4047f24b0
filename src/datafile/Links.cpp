#include "datafile/Links.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/Limits.h"

// How many of the named devices stand at positions up to `limit`.
static int64_t NamedUpTo(tagNAMED named, int limit) {
    return std::upper_bound(named.begin, named.end, limit) - named.begin;
}

void IntegrateTrapData(tagDATAFILE* file, const char* name, tagLOG* log) {
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
        auto found = writes.find(groupOf(Named(*file, DeviceName(*file, i).text)));
        if (found != writes.end())
            for (auto w = found->second.rbegin(); w != found->second.rend(); ++w)
                if (w->limit >= i) return w->source;
        return i;
    };
    for (int i = 0; i < (int)devices.size(); i++) {
        if (devices[i].cKind != 'T') continue;
        tagNAME trap = DeviceName(*file, i);
        traps++;
        // The trap's lane, the lane's 'M' variant and the speed lane differ from the trap's
        // name in single letters only (a name cut short by a zero byte before them stays as
        // it is, and then names its own partners).
        char lane[20], variant[20], speed[20];
        memcpy(lane, trap.text, 20);
        lane[16] = '_';
        memcpy(variant, lane, 20);
        variant[11] = 'M';
        memcpy(speed, trap.text, 20);
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
            lanes += std::max<int64_t>(file->header.iNumberofNames - (int64_t)devices.size(), 0);
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
        while (end < indexEnd &&
               strncmp(NameBytes(*file, *end), NameBytes(*file, *begin), NAME_SIZE) == 0)
            end++;
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
    LogProgress(log, "Processed [%d] Traps into [%d] _x Lanes and Sx Lanes [%d] in file [%s]...\n",
                (int)traps, (int)lanes, (int)speedLanes, name);
}

void AggregateStationTrapData(tagDATAFILE* file) {
    for (size_t j = 0; j < file->devices.size(); j++) {
        tagDEVICE& S = file->devices[j];
        if (S.usType != DEVICE_STATION || strnlen(NameBytes(*file, (int)j), NAME_SIZE) < 18)
            continue;
        // Lane k is the station's name with "__k" at 15 to 17, found only after lane k - 1. The
        // station expects as many lanes as it reports in the first period; with none expected
        // it sums all eight it finds and never averages.
        char lane[NAME_SIZE + 1];
        memcpy(lane, DeviceName(*file, (int)j).text, sizeof lane);
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
    // Devices that share a data block share its overflows: a block is read once for a run of
    // them (a table of millions of names on one block is read once).
    std::vector<std::pair<int, int>> over;  // (period, scan count) of the block last read
    const tagDEVICE* read = nullptr;
    for (size_t j = 0; j < file.devices.size(); j++) {
        const tagDEVICE& d = file.devices[j];
        if (d.usType != DEVICE_LOOP && d.usType != DEVICE_STATION) continue;
        if (!read || read->uiDataOffset != d.uiDataOffset || read->usPeriods != d.usPeriods) {
            over.clear();
            for (int c = 0; c < d.usPeriods; c++) {
                int scan = ScanCountAt(file, d, c);
                if (scan > 1200) over.push_back({c, scan});
            }
            read = &d;
        }
        if (over.empty()) continue;
        tagNAME name = DeviceName(file, (int)j);
        for (auto [c, scan] : over)
            printf("       W  ScanCount exceeded 1200 >>>   %x\t%s\t%d.\n", (unsigned)scan,
                   name.text, c);
    }
}

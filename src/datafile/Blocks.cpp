#include "datafile/Blocks.h"

#include <algorithm>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/Limits.h"
#include "datafile/Unpack20SecNG.h"

// The values of one block should stay within a few megabytes, whatever the number of devices:
// a day of them is never needed at once.
enum { BLOCK_BUDGET = 8 << 20 };

// What a device's values are made from when it sums no lanes: its own packed entries (a loop's
// or a station's) and its trap's. Devices of equal sources have equal values in every period: a
// block makes them once. A file of millions of names sharing one data block is then a block of
// one member, whatever its names.
static std::pair<uint64_t, uint64_t> SourceOf(const tagDATAFILE& file, const tagDEVICE& d) {
    bool own = d.usType == DEVICE_LOOP || d.usType == DEVICE_STATION;
    const tagDEVICE& trap = file.devices[d.iTrapSource];
    bool measured = trap.usType == DEVICE_SPEED_TRAP;
    return {own ? (uint64_t)d.usType << 32 | d.uiDataOffset : 0,
            measured ? 1ull << 32 | trap.uiDataOffset : 0};
}

bool SameValues(const tagDATAFILE& file, int a, int b) {
    const tagDEVICE &da = file.devices[a], &db = file.devices[b];
    return da.iFirstLane < 0 && db.iFirstLane < 0 && SourceOf(file, da) == SourceOf(file, db);
}

namespace {
struct SourceHash {
    size_t operator()(const std::pair<uint64_t, uint64_t>& k) const {
        return std::hash<uint64_t>()(k.first * 0x9e3779b97f4a7c15ull ^ k.second);
    }
};
}  // namespace

void PlanBlock(const tagDATAFILE& file, const std::vector<int>& devices, tagBLOCK* block) {
    // The devices, then the lanes of every station among them, and theirs in turn (a station
    // may be a lane of another, or of itself).
    std::vector<int> needed(devices.begin(), devices.end());
    std::sort(needed.begin(), needed.end());
    std::unordered_set<int> added;  // lanes beyond the devices: a few for each station
    for (size_t i = 0; i < needed.size(); i++) {
        const tagDEVICE& d = file.devices[needed[i]];
        if (d.iFirstLane < 0) continue;
        for (int k = 0; k < d.ucLanes; k++) {
            int lane = file.lanes[d.iFirstLane + k];
            if (!std::binary_search(needed.begin(), needed.begin() + (long)devices.size(), lane) &&
                added.insert(lane).second)
                needed.push_back(lane);
        }
    }
    std::sort(needed.begin(), needed.end());
    // The members: every station (its values are its own sums), and of the other devices the
    // first of each source; localOf[j] is the member that holds needed[j]'s values.
    std::vector<int>& members = block->members;
    members.clear();
    std::vector<int> localOf(needed.size());
    std::unordered_map<std::pair<uint64_t, uint64_t>, int, SourceHash> bySource;
    for (size_t j = 0; j < needed.size(); j++) {
        const tagDEVICE& d = file.devices[needed[j]];
        int next = (int)members.size();
        int local =
            d.iFirstLane >= 0 ? next : bySource.emplace(SourceOf(file, d), next).first->second;
        if (local == next) members.push_back(needed[j]);
        localOf[j] = local;
    }
    auto localAt = [&](int position) {
        return localOf[(size_t)(std::lower_bound(needed.begin(), needed.end(), position) -
                                needed.begin())];
    };
    block->stations.clear();
    block->finalised.clear();
    block->stationLanes.clear();
    block->laneAt.assign(1, 0);
    for (size_t i = 0; i < members.size(); i++) {
        const tagDEVICE& d = file.devices[members[i]];
        if (d.iFirstLane < 0) continue;
        block->stations.push_back((int)i);
        block->finalised.push_back(d.bFinalised);
        for (int k = 0; k < d.ucLanes; k++)
            block->stationLanes.push_back(localAt(file.lanes[d.iFirstLane + k]));
        block->laneAt.push_back((int)block->stationLanes.size());
    }
    block->slots.resize(devices.size());
    for (size_t i = 0; i < devices.size(); i++) block->slots[i] = localAt(devices[i]);
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
    int own = loop || station ? std::clamp(d.usPeriods - first, 0, count) : 0;
    int measured =
        trap.usType == DEVICE_SPEED_TRAP ? std::clamp(trap.usPeriods - first, 0, count) : 0;
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

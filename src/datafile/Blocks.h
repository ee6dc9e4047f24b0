// Blocks of periods: the values of some devices over a run of periods, made straight from the
// packed entries, with each device's trap measurements, the station sums and averages, the
// capped scan counts and the estimates. A day of 2,000 devices holds 8.6 million
// device-periods; the reports walk it a block at a time, sized to a fixed working set.
#pragma once

#include <cstdint>
#include <vector>

#include "datafile/DeviceTable.h"

// One device in one period, as the reports show it.
struct tagPERIODVALUES {
    uint16_t usIncident, usNumLanes, usVolume, usScanCnt, usFlag;
    uint16_t usEstLength, usCalcSpdTenths;
    uint16_t usSpdFlag, usSpdFlag2, usSpdTenths, usLenTenths;  // tenths of mph / of a foot
    uint16_t usBin1, usBin2, usBin3, usBin4;  // vehicles 0-20, 20.1-42, 42.1-72, 72.1-115 ft
    uint8_t ucNPds, ucSpdNPds;
};

// The values of some devices over a run of periods. The members are the devices whose values
// are made: the stations among the devices planned and their lanes, in turn, and of the other
// devices one of each source of values (devices that share their data block and their trap share
// their values); slots give the member of each device planned.
struct tagBLOCK {
    std::vector<int> members;        // device positions, ascending
    std::vector<int> slots;          // for each device planned, in that order: its member
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

// Plans the block of the devices (distinct positions, in any order): its members and their
// links. Its memory is of the size of the devices planned and their lanes, never of the table.
void PlanBlock(const tagDATAFILE& file, const std::vector<int>& devices, tagBLOCK* block);

// Whether the devices at positions a and b have the same values in every period: neither sums
// lanes, and both are made from the same packed entries and the same trap.
bool SameValues(const tagDATAFILE& file, int a, int b);

// How many periods of the block's members fit the working-set budget (1 to a day).
int BlockPeriods(const tagBLOCK& block);

// Fills the values of periods [first, first + count) of the block's members. Periods past the
// file's columns hold zeros.
void FillBlock(const tagDATAFILE& file, tagBLOCK* block, int first, int count);

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

// The members are the devices a report shows and every device their values are made from (a
// station's lanes), in table order.
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

// Fills the values of periods [first, first + count) of the block's members. Periods past the
// file's columns hold zeros.
void FillBlock(const tagDATAFILE& file, tagBLOCK* block, int first, int count);

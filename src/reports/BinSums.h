// The sums of one device over the periods of a summary's bin, which the summary rows and the
// corridor rows are both made from.
#pragma once

#include <cstdint>

#include "datafile/Blocks.h"

struct tagBINSUMS {
    uint32_t periods, observed, volume, scan, speedVolume, speedVolumeWeighted;
};

// Adds one period: every period to periods and volume, an observed one (NPds above 0) to the
// scan count, one with both a speed and vehicles to the volume-weighted speed.
inline void AddToBin(tagBINSUMS* b, const tagPERIODVALUES& v) {
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

// The bin's volume-weighted speed in mph, unrounded (the summary prints it to 0.1); valid only
// when speedVolume is above 0.
inline double BinSpeed(const tagBINSUMS& b) {
    return (double)b.speedVolumeWeighted / (10.0 * b.speedVolume);
}

// The summaries of --aggregate: the element report's devices in bins of minutes, always in
// standard CSV: name,bin_start,periods,observed,volume,occupancy_pct,speed_mph.
#include <cstdio>
#include <string>
#include <vector>

#include "reports/ReportKind.h"

// One device's sums over the periods of one bin.
struct tagBINSUMS {
    uint32_t periods, observed, volume, scan, speedVolume, speedVolumeWeighted;
};

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

// Occupancy is the mean of the observed periods' scan counts (1200 a full period); speed the
// volume-weighted mean of the periods with a speed and vehicles. Either is empty without them.
static char* PutSummaryRow(char* p, const std::string& name, const char* binStart,
                           const tagBINSUMS& b) {
    memcpy(p, name.data(), name.size());
    p += name.size();
    p += sprintf(p, ",%s,%u,%u,%u,", binStart, b.periods, b.observed, b.volume);
    if (b.observed) p += sprintf(p, "%.1f", (double)b.scan / (12.0 * b.observed));
    *p++ = ',';
    if (b.speedVolume)
        p += sprintf(p, "%.1f", (double)b.speedVolumeWeighted / (10.0 * b.speedVolume));
    *p++ = '\n';
    return p;
}

// Bins cover the periods the file holds, a bin of `minutes` being 3 periods a minute; -P does
// not narrow a summary.
static void SummaryBody(const tagREPORTJOB& job) {
    const tagDATAFILE& file = job.file;
    const std::vector<int>& devices = job.devices;
    size_t count = devices.size();
    int columns = file.iColumns, width = job.minutes * 3;
    if (count == 0) return;
    std::vector<std::string> names(count);
    for (size_t i = 0; i < count; i++) {
        char quoted[2 * sizeof(tagDEVICE::szName) + 8];
        names[i].assign(quoted, PutCsvField(quoted, file.devices[devices[i]].szName));
    }
    const tagTIMETEXTS& times = *job.times;
    auto emit = [&](size_t i, int binStart, const tagBINSUMS& b) {
        char* p = ReportCursor(job.report);
        ReportCommit(job.report, PutSummaryRow(p, names[i], times.text[binStart], b));
    };
    tagBLOCK block;
    std::vector<int> local(file.devices.size(), -1);
    if (job.settings.bWRITEROWSFIRST) {  // device first: each device's bins in time order
        for (size_t i = 0; i < count && !iInterrupt; i++) {
            PlanBlock(file, {devices[i]}, &block, &local);
            int at = local[devices[i]];
            FillBlock(file, &block, 0, columns);
            for (int bin = 0; bin < columns; bin += width) {
                tagBINSUMS sums = {};
                for (int c = bin; c < std::min(bin + width, columns); c++)
                    AddToBin(&sums, block.At(c, at));
                emit(i, bin, sums);
            }
        }
        return;
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
            // The bin is complete: its rows, device by device.
            for (size_t i = 0; i < count; i++) emit(i, c / width * width, sums[i]);
            std::fill(sums.begin(), sums.end(), tagBINSUMS{});
        }
    }
}

const tagREPORTKIND kSummaryReport = {
    "Element",
    nullptr,
    "DPS",
    nullptr,
    "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph\n",
    "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph\n",
    true,
    PERIODS_NOT_CHOSEN,
    true,
    false,
    false,
    ElementListed,
    SummaryBody,
};

// The summaries of --aggregate: the element report's devices in bins of minutes, always in
// standard CSV: name,bin_start,periods,observed,volume,occupancy_pct,speed_mph, then the kind
// and the cabinet's roadway,side,milepost,location.
#include <cstdio>
#include <vector>

#include "reports/BinSums.h"
#include "reports/ReportKind.h"

// The fields after the name up to the speed. Occupancy is the mean of the observed periods' scan
// counts (1200 a full period); speed the volume-weighted mean of the periods with a speed and
// vehicles. Either is empty without them.
static char* PutSummaryRow(char* p, const char* binStart, const tagBINSUMS& b) {
    p += sprintf(p, ",%s,%u,%u,%u,", binStart, b.periods, b.observed, b.volume);
    if (b.observed) p += sprintf(p, "%.1f", (double)b.scan / (12.0 * b.observed));
    *p++ = ',';
    if (b.speedVolume) p += sprintf(p, "%.1f", BinSpeed(b));
    return p;
}

// Bins cover the periods the file holds, a bin of `minutes` being 3 periods a minute; -P does
// not narrow a summary. Sums are made once for each member of a block: devices that share their
// values share their sums.
static void SummaryBody(const tagREPORTJOB& job) {
    const tagDATAFILE& file = job.file;
    int columns = file.iColumns, width = job.minutes * 3;
    const tagTIMETEXTS& times = *job.times;
    std::vector<int> devices;
    // A summary has a row per device and bin, a small share of a report's rows: each row quotes
    // its name afresh.
    auto emit = [&](size_t i, int binStart, const tagBINSUMS& b) {
        char* p = ReportCursor(job.report);
        tagNAME name = DeviceName(file, devices[i]);
        p = PutSummaryRow(PutCsvField(p, name.text), times.text[binStart], b);
        p += sprintf(p, ",%s", DeviceKindName(file.devices[(size_t)devices[i]]));
        p = PutCabinetFields(p, job.settings, name.text);
        *p++ = '\n';
        ReportCommit(job.report, p);
    };
    tagBLOCK block;
    int next = 0;
    if (job.settings.bWRITEROWSFIRST) {  // device first: each device's bins in time order
        std::vector<tagBINSUMS> bins;
        int last = -1;  // the device the bins are of
        for (NextDevices(job, &next, 1, &devices); !devices.empty() && !iInterrupt;
             NextDevices(job, &next, 1, &devices)) {
            if (last < 0 || !SameValues(file, last, devices[0])) {
                PlanBlock(file, devices, &block);
                FillBlock(file, &block, 0, columns);
                bins.assign((size_t)(columns + width - 1) / (size_t)width, tagBINSUMS{});
                for (int c = 0; c < columns; c++)
                    AddToBin(&bins[(size_t)(c / width)], block.At(c, block.slots[0]));
            }
            last = devices[0];
            for (size_t b = 0; b < bins.size(); b++) emit(0, (int)b * width, bins[b]);
        }
        return;
    }
    // The sums of the block's members over periods [from, to), rows at each bin's end.
    std::vector<tagBINSUMS> sums;
    auto sumPeriods = [&](int from, int to) {
        sums.assign(block.members.size(), tagBINSUMS{});
        int periods = BlockPeriods(block);
        for (int start = from; start < to && !iInterrupt; start += periods) {
            int n = std::min(periods, to - start);
            FillBlock(file, &block, start, n);
            for (int c = start; c < start + n; c++) {
                for (size_t m = 0; m < sums.size(); m++) AddToBin(&sums[m], block.At(c, (int)m));
                if ((c + 1) % width != 0 && c + 1 != columns) continue;
                // The bin is complete: its rows, device by device.
                for (size_t i = 0; i < devices.size(); i++)
                    emit(i, c / width * width, sums[(size_t)block.slots[i]]);
                std::fill(sums.begin(), sums.end(), tagBINSUMS{});
            }
        }
    };
    NextDevices(job, &next, CHUNK_DEVICES + 1, &devices);
    if (devices.size() <= CHUNK_DEVICES) {
        if (devices.empty()) return;
        PlanBlock(file, devices, &block);
        sumPeriods(0, columns);
        return;
    }
    // More devices than a chunk: bin by bin, chunk by chunk.
    for (int bin = 0; bin < columns && !iInterrupt; bin += width) {
        for (next = 0, NextDevices(job, &next, CHUNK_STEP, &devices); !devices.empty();
             NextDevices(job, &next, CHUNK_STEP, &devices)) {
            PlanBlock(file, devices, &block);
            sumPeriods(bin, std::min(bin + width, columns));
        }
    }
}

const tagREPORTKIND kSummaryReport = {
    "Element",
    nullptr,
    "DPS",
    nullptr,
    "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph,kind,roadway,side,milepost,"
    "location\n",
    "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph,kind,roadway,side,milepost,"
    "location\n",
    true,
    PERIODS_NOT_CHOSEN,
    true,
    false,
    false,
    ElementListed,
    SummaryBody,
};

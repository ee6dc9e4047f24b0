// The health report of --health: one row per loop detector, station and speed trap, what it
// reported over the diagnostic window of the day and the status that gives, always in standard
// CSV. The counts come straight from the packed entries: scan counts as the file holds them,
// before the cap the other reports apply.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "reports/ReportKind.h"

namespace {

// The statuses, in the order of the log line.
enum HealthStatus {
    STATUS_GOOD,
    STATUS_DEGRADED,
    STATUS_NO_DATA,
    STATUS_INSUFFICIENT,
    STATUS_CARD_OFF,
    STATUS_HIGH_OCCUPANCY,
    STATUS_INTERMITTENT,
    STATUS_CONSTANT,
    STATUS_IMPLAUSIBLE,
    STATUS_COUNT
};
const char* const kStatusNames[STATUS_COUNT] = {
    "good",           "degraded",     "no_data",  "insufficient_data", "card_off",
    "high_occupancy", "intermittent", "constant", "implausible_speed"};

// What one device reported: over the window, but the capped scans over the whole day. A trap
// fills observed (periods with a measurement), working, implausible and longestConstant only.
struct tagHEALTHCOUNTS {
    int observed, zeroOccupancy, occupiedNoVolume, volumeNoOccupancy, highOccupancy;
    int cappedScans, longestConstant;
    int working, implausible;
};

// A device judged by its own tests.
struct tagJUDGED {
    HealthStatus status;
    tagHEALTHCOUNTS counts;
};

// A loop's or station's counts from its packed entries, periods [first, end) of the window.
// A period is observed when it names lanes (NPds above 0); a run of equal periods is one of
// the same volume and scan count, ended by a period not observed. Periods past the device's
// entries inside the file report nothing.
tagHEALTHCOUNTS CountLoop(const tagDATAFILE& file, const tagDEVICE& d, const tagHEALTHRULES& r,
                          int first, int end) {
    tagHEALTHCOUNTS n = {};
    const unsigned char* entry = file.lpBytes + d.uiDataOffset;
    unsigned volumeMask = d.usType == DEVICE_STATION ? 0x7f : 0x1f,
             highScan = (unsigned)r.iHighScan;
    unsigned last = 0;
    int run = 0;
    for (int c = 0; c < d.usPeriods; c++, entry += 3) {
        unsigned scan = (entry[0] & 7u) << 8 | entry[1];
        n.cappedScans += scan > 1200;
        if (c < first || c >= end) continue;
        if ((entry[0] >> 3 & 7u) == 0) {
            run = 0;
            continue;
        }
        unsigned volume = entry[2] & volumeMask;
        n.observed++;
        n.zeroOccupancy += scan == 0;
        n.occupiedNoVolume += scan > 0 && volume == 0;
        n.volumeNoOccupancy += volume > 0 && scan == 0;
        n.highOccupancy += scan > highScan;
        unsigned value = scan << 8 | volume;
        run = run > 0 && value == last ? run + 1 : 1;
        last = value;
        n.longestConstant = std::max(n.longestConstant, run);
    }
    return n;
}

// A speed trap's counts from its own packed entries over periods [first, end): working when
// its flag byte or flag2 has the top bit set, observed (a measurement) when flag2 has it. A
// measurement with vehicles in its bins and a speed outside 10.0 to 110.9 mph is implausible;
// a run of equal periods is one of measurements of the same speed.
tagHEALTHCOUNTS CountTrap(const tagDATAFILE& file, const tagDEVICE& d, int first, int end) {
    tagHEALTHCOUNTS n = {};
    end = std::min(end, (int)d.usPeriods);
    unsigned last = 0;
    int run = 0;
    for (int c = first; c < end; c++) {
        const unsigned char* entry = file.lpBytes + d.uiDataOffset + 6 * (size_t)c;
        bool measured = entry[1] & 0x80;
        n.working += measured || (entry[0] & 0x80);
        if (!measured) {
            run = 0;
            continue;
        }
        n.observed++;
        unsigned speed = (entry[1] & 3u) << 8 | entry[2];
        unsigned vehicles =
            (entry[4] & 0x1fu) + (entry[4] >> 5) + (entry[5] >> 4) + (entry[5] & 15u);
        n.implausible += vehicles > 0 && (speed < 100 || speed > 1109);
        run = run > 0 && speed == last ? run + 1 : 1;
        last = speed;
        n.longestConstant = std::max(n.longestConstant, run);
    }
    return n;
}

// Whether count is above a share (tenths of a percent) of whole.
bool Above(int count, int share, int whole) {
    return (int64_t)count * 1000 > (int64_t)share * whole;
}

// The first test a loop or station fails over a window of `window` periods; good when none.
HealthStatus JudgeLoop(const tagHEALTHCOUNTS& n, int window, const tagHEALTHRULES& r) {
    if (window == 0 || n.observed == 0) return STATUS_NO_DATA;
    if ((int64_t)n.observed * 1000 < (int64_t)r.iInsufficient * window) return STATUS_INSUFFICIENT;
    if (Above(n.zeroOccupancy, r.iCardOff, window)) return STATUS_CARD_OFF;
    if (Above(n.highOccupancy, r.iHighOccupancy, window)) return STATUS_HIGH_OCCUPANCY;
    if (Above(n.occupiedNoVolume, r.iNoVolume, window) ||
        Above(n.volumeNoOccupancy, r.iNoOccupancy, window))
        return STATUS_INTERMITTENT;
    if (n.longestConstant >= r.iConstant) return STATUS_CONSTANT;
    return STATUS_GOOD;
}

// The first test a speed trap fails: no measurement, too few periods working, too many
// implausible speeds among its measurements, one speed for hours; good when none.
HealthStatus JudgeTrap(const tagHEALTHCOUNTS& n, int window, const tagHEALTHRULES& r) {
    if (window == 0 || n.observed == 0) return STATUS_NO_DATA;
    if ((int64_t)n.working * 1000 < (int64_t)r.iInsufficient * window) return STATUS_INSUFFICIENT;
    if (Above(n.implausible, r.iImplausible, n.observed)) return STATUS_IMPLAUSIBLE;
    if (n.longestConstant >= r.iConstant) return STATUS_CONSTANT;
    return STATUS_GOOD;
}

bool IsTrap(const tagDEVICE& d) {
    return d.usType == DEVICE_SPEED_TRAP;
}

// Loops (speed and ramp loops too), stations and speed traps; metered lanes have no row.
bool HealthListed(const tagDEVICE& d, bool, const tagSETTINGS&) {
    return d.usType == DEVICE_LOOP || d.usType == DEVICE_STATION || IsTrap(d);
}

// One row: the name quoted where needed, the counts that apply to its kind (the others empty),
// lanes_not_good (-1: not a station), the status, then the cabinet's columns.
char* PutHealthRow(char* p, const tagREPORTJOB& job, int position, int window,
                   const tagHEALTHCOUNTS& n, int lanesNotGood, HealthStatus status) {
    const tagDEVICE& d = job.file.devices[(size_t)position];
    tagNAME name = DeviceName(job.file, position);
    p = PutCsvField(p, name.text);
    p += sprintf(p, ",%s,%d,%d,", DeviceKindName(d), window, n.observed);
    if (IsTrap(d))
        p += sprintf(p, ",,,,,%d,,%s,%d,%d", n.longestConstant, kStatusNames[status], n.working,
                     n.implausible);
    else {
        p += sprintf(p, "%d,%d,%d,%d,%d,%d,", n.zeroOccupancy, n.occupiedNoVolume,
                     n.volumeNoOccupancy, n.highOccupancy, n.cappedScans, n.longestConstant);
        if (lanesNotGood >= 0) p += sprintf(p, "%d", lanesNotGood);
        p += sprintf(p, ",%s,,", kStatusNames[status]);
    }
    p = PutCabinetFields(p, job.settings, name.text);
    *p++ = '\n';
    return p;
}

// The rows of the job's devices in table order, each judged over the window the file holds of
// the settings' window; a station whose own tests pass is degraded when one of the lanes it is
// summed from (judged by their own tests, listed or not) is not good. Then the log line of the
// counts by status.
void HealthBody(const tagREPORTJOB& job) {
    const tagDATAFILE& file = job.file;
    const tagHEALTHRULES& rules = job.settings.health;
    int first = std::min(rules.iWindowFirst, file.iColumns);
    int end = std::min(rules.iWindowEnd, file.iColumns), window = end - first;
    // A device is judged as a row and again as the lane of a station: nothing is kept for the
    // table but the last judgement, which devices on the same data block share.
    tagJUDGED last = {};
    const tagDEVICE* lastJudged = nullptr;
    auto judge = [&](int p) -> tagJUDGED {
        const tagDEVICE& d = file.devices[(size_t)p];
        if (lastJudged && lastJudged->usType == d.usType &&
            lastJudged->uiDataOffset == d.uiDataOffset && lastJudged->usPeriods == d.usPeriods)
            return last;
        if (IsTrap(d)) {
            last.counts = CountTrap(file, d, first, end);
            last.status = JudgeTrap(last.counts, window, rules);
        } else {
            last.counts = CountLoop(file, d, rules, first, end);
            last.status = JudgeLoop(last.counts, window, rules);
        }
        lastJudged = &d;
        return last;
    };
    int byStatus[STATUS_COUNT] = {}, rows = 0;
    std::vector<int> devices;
    int next = 0;
    for (NextDevices(job, &next, CHUNK_STEP, &devices); !devices.empty();
         NextDevices(job, &next, CHUNK_STEP, &devices)) {
        for (int p : devices) {
            if (iInterrupt) return;
            const tagDEVICE& d = file.devices[(size_t)p];
            tagJUDGED j = judge(p);
            HealthStatus status = j.status;
            int lanesNotGood = -1;
            if (d.usType == DEVICE_STATION) {
                lanesNotGood = 0;
                for (int k = 0; d.iFirstLane >= 0 && k < d.ucLanes; k++) {
                    int lane = file.lanes[(size_t)(d.iFirstLane + k)];
                    if (HealthListed(file.devices[(size_t)lane], false, job.settings))
                        lanesNotGood += judge(lane).status != STATUS_GOOD;
                }
                if (status == STATUS_GOOD && lanesNotGood > 0) status = STATUS_DEGRADED;
            }
            byStatus[status]++;
            rows++;
            char* row = ReportCursor(job.report);
            ReportCommit(job.report,
                         PutHealthRow(row, job, p, window, j.counts, lanesNotGood, status));
        }
    }
    char counts[STATUS_COUNT * 32] = "", *at = counts;
    for (int s = 0; s < STATUS_COUNT; s++)
        at += sprintf(at, "%s%s %d", s ? ", " : "", kStatusNames[s], byStatus[s]);
    LogProgress(job.log, "Health of [%d] detectors in data file [%s]: %s.\n", rows, job.name,
                counts);
}

}  // namespace

const tagREPORTKIND kHealthReport = {
    "Health",
    &tagSETTINGS::bHealth,
    "DPS",
    "health report",
    "name,kind,window_periods,observed,zero_occupancy,occupied_no_volume,volume_no_occupancy,"
    "high_occupancy,capped_scans,longest_constant_periods,lanes_not_good,status,working_periods,"
    "implausible_speed,roadway,side,milepost,location\n",
    "name,kind,window_periods,observed,zero_occupancy,occupied_no_volume,volume_no_occupancy,"
    "high_occupancy,capped_scans,longest_constant_periods,lanes_not_good,status,working_periods,"
    "implausible_speed,roadway,side,milepost,location\n",
    true,
    PERIODS_NOT_CHOSEN,
    true,
    false,
    false,
    HealthListed,
    HealthBody,
};

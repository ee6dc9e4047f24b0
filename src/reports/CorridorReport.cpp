// The corridor reports of --corridors, one per --aggregate width: the stations of each roadway
// and side of the cabinet list in milepost order, and per bin what they measured together:
// vehicle miles and hours travelled, the delay below 35 and 60 mph, the space-mean speed, the
// travel time and its index. Always standard CSV:
// roadway,side,bin_start,stations,length_mi,covered_mi,vmt,vht,delay_35_vh,delay_60_vh,q_mph,
// travel_time_min,tti.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cabinets/Cabinet.h"
#include "reports/BinSums.h"
#include "reports/ReportKind.h"

namespace {

// A station of a corridor: its position in the table, its cabinet, its milepost, and the miles
// of road it stands for.
struct tagCORRIDORSTATION {
    int position;
    const tagCABINETMETADATA* cabinet;
    double milepost, length;
};

// Whether two cabinets lie on one corridor: the same roadway and side.
bool SameCorridor(const tagCABINETMETADATA& a, const tagCABINETMETADATA& b) {
    return strcmp(a.szRoadway, b.szRoadway) == 0 && a.szSide[0] == b.szSide[0];
}

// A milepost text of the list in miles; false when it is empty or no finite number.
bool ReadMilepost(const char* text, double* miles) {
    char* end = nullptr;
    *miles = strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*miles);
}

// The stations whose cabinet has a roadway and a side, by roadway, side and milepost (then
// table order), each standing for half the distance to each neighbour on its corridor. Those
// whose cabinet gives no milepost are counted in *withoutMilepost. Walks the table a chunk at a
// time: what it keeps is of the stations on corridors only.
std::vector<tagCORRIDORSTATION> CorridorStations(const tagREPORTJOB& job,
                                                 const tagCABINETS& cabinets,
                                                 int* withoutMilepost) {
    std::vector<tagCORRIDORSTATION> stations;
    std::vector<int> devices;
    int next = 0;
    for (NextDevices(job, &next, CHUNK_STEP, &devices); !devices.empty();
         NextDevices(job, &next, CHUNK_STEP, &devices)) {
        for (int p : devices) {
            const tagCABINETMETADATA* c = FindCabinet(cabinets, DeviceName(job.file, p).text);
            if (!c || !c->szRoadway[0] || !c->szSide[0] || c->szSide[0] == ' ') continue;
            double milepost;
            if (ReadMilepost(c->szMilepost, &milepost))
                stations.push_back({p, c, milepost, 0});
            else
                ++*withoutMilepost;
        }
    }
    std::sort(stations.begin(), stations.end(),
              [](const tagCORRIDORSTATION& a, const tagCORRIDORSTATION& b) {
                  int road = strcmp(a.cabinet->szRoadway, b.cabinet->szRoadway);
                  if (road != 0) return road < 0;
                  if (a.cabinet->szSide[0] != b.cabinet->szSide[0])
                      return (unsigned char)a.cabinet->szSide[0] <
                             (unsigned char)b.cabinet->szSide[0];
                  if (a.milepost != b.milepost) return a.milepost < b.milepost;
                  return a.position < b.position;
              });
    for (size_t i = 0; i < stations.size(); i++) {
        const tagCABINETMETADATA& c = *stations[i].cabinet;
        if (i > 0 && SameCorridor(c, *stations[i - 1].cabinet))
            stations[i].length += (stations[i].milepost - stations[i - 1].milepost) / 2;
        if (i + 1 < stations.size() && SameCorridor(c, *stations[i + 1].cabinet))
            stations[i].length += (stations[i + 1].milepost - stations[i].milepost) / 2;
    }
    return stations;
}

// One corridor row of the bin starting at column binStart, from each station's sums (sums[k] of
// station k). Q is a station's volume, V its unrounded summary speed, L its length: VMT sums Q x L
// over the stations observed; VHT, delay and their VMT over those with a speed; the travel time
// needs a speed at every station.
char* PutCorridorRow(char* p, const tagCORRIDORSTATION* stations, size_t count,
                     const std::vector<const tagBINSUMS*>& sums, const char* binStart) {
    double length = 0, covered = 0, vmt = 0, timedVmt = 0, vht = 0, delay35 = 0, delay60 = 0;
    double hours = 0;  // the sum of L / V
    bool everyStation = true;
    for (size_t k = 0; k < count; k++) {
        const tagBINSUMS& b = *sums[k];
        double l = stations[k].length, q = b.volume;
        length += l;
        if (b.observed) vmt += q * l;
        if (!b.speedVolume) {
            everyStation = false;
            continue;
        }
        double t = l / BinSpeed(b);
        covered += l;
        timedVmt += q * l;
        vht += q * t;
        hours += t;
        delay35 += std::max(0.0, q * (t - l / 35));
        delay60 += std::max(0.0, q * (t - l / 60));
    }
    const tagCABINETMETADATA& c = *stations[0].cabinet;
    p = PutCsvField(p, c.szRoadway);
    *p++ = ',';
    p = PutCsvField(p, c.szSide);
    p += sprintf(p, ",%s,%zu,%.3f,%.3f,%.2f,%.2f,%.2f,%.2f,", binStart, count, length, covered, vmt,
                 vht, delay35, delay60);
    if (vht > 0) p += sprintf(p, "%.1f", timedVmt / vht);
    *p++ = ',';
    if (everyStation) p += sprintf(p, "%.2f", 60 * hours);
    *p++ = ',';
    if (everyStation && length > 0) p += sprintf(p, "%.3f", 60 * hours / length);
    *p++ = '\n';
    return p;
}

// The rows of the corridor of stations[0, count): its stations' sums over each bin of the day,
// made a block of periods at a time as the summary makes them, a row at each bin's end.
void WriteCorridor(const tagREPORTJOB& job, const tagCORRIDORSTATION* stations, size_t count) {
    const tagDATAFILE& file = job.file;
    int columns = file.iColumns, width = job.minutes * 3;
    std::vector<int> devices;
    for (size_t k = 0; k < count; k++) devices.push_back(stations[k].position);
    tagBLOCK block;
    PlanBlock(file, devices, &block);
    std::vector<tagBINSUMS> sums(block.members.size());
    std::vector<const tagBINSUMS*> ofStation;
    for (size_t k = 0; k < count; k++) ofStation.push_back(&sums[(size_t)block.slots[k]]);
    int periods = BlockPeriods(block);
    for (int start = 0; start < columns && !iInterrupt; start += periods) {
        int n = std::min(periods, columns - start);
        FillBlock(file, &block, start, n);
        for (int c = start; c < start + n; c++) {
            for (size_t m = 0; m < sums.size(); m++) AddToBin(&sums[m], block.At(c, (int)m));
            if ((c + 1) % width != 0 && c + 1 != columns) continue;
            char* row = ReportCursor(job.report);
            ReportCommit(job.report, PutCorridorRow(row, stations, count, ofStation,
                                                    job.times->text[c / width * width]));
            std::fill(sums.begin(), sums.end(), tagBINSUMS{});
        }
    }
}

// Every corridor of two stations or more, by roadway then side, in time order. Without a
// cabinet list the report holds its header; that, and the stations left out for want of a
// milepost, are warned once per data file (with its first width).
void CorridorBody(const tagREPORTJOB& job) {
    const tagSETTINGS& s = job.settings;
    bool firstWidth = job.minutes == s.iAggregateMinutes[0];
    if (!s.lpCabinets) {
        if (firstWidth)
            LogWarning(job.log,
                       "No cabinet list (--cabinets) to find the corridors of data file [%s] "
                       "by; its corridor reports hold their header only!\n",
                       job.name);
        return;
    }
    int withoutMilepost = 0;
    std::vector<tagCORRIDORSTATION> stations =
        CorridorStations(job, *s.lpCabinets, &withoutMilepost);
    if (withoutMilepost > 0 && firstWidth)
        LogWarning(job.log,
                   "[%d] stations of data file [%s] have no milepost in the cabinet list; left "
                   "out of the corridors.\n",
                   withoutMilepost, job.name);
    for (size_t from = 0; from < stations.size() && !iInterrupt;) {
        size_t to = from + 1;
        while (to < stations.size() && SameCorridor(*stations[to].cabinet, *stations[from].cabinet))
            to++;
        if (to - from >= 2) WriteCorridor(job, &stations[from], to - from);
        from = to;
    }
}

// The corridors are made of stations, whatever -S and -D say.
bool CorridorListed(const tagDEVICE& d, bool, const tagSETTINGS&) {
    return d.usType == DEVICE_STATION;
}

}  // namespace

const tagREPORTKIND kCorridorReport = {
    "Corridor",
    nullptr,
    "",
    "corridor report",
    "roadway,side,bin_start,stations,length_mi,covered_mi,vmt,vht,delay_35_vh,delay_60_vh,q_mph,"
    "travel_time_min,tti\n",
    "roadway,side,bin_start,stations,length_mi,covered_mi,vmt,vht,delay_35_vh,delay_60_vh,q_mph,"
    "travel_time_min,tti\n",
    true,
    PERIODS_NOT_CHOSEN,
    false,
    false,
    false,
    CorridorListed,
    CorridorBody,
    &tagSETTINGS::bCorridors,
};

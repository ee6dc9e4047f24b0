// ReferenceReports: the plain, obviously correct reading of the steps and of the element, lane
// and trap reports. Speed is of no concern here; every step runs over the whole table and the
// whole day as the data's description reads.
#include "ReferenceReports.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Process20SecondDataFile.h"
#include "Unpack20SecNG.h"

namespace {

typedef tagREFERENCEDEVICE Device;

int Columns() {
    return std::clamp(iNumberofColumns, 0, (int)PERIODS_PER_DAY);
}

// Every whole entry of the device's block inside the file, up to the file's columns.
void Unpack(Device* d, const unsigned char* file, int size) {
    if (d->usType != DEVICE_LOOP && d->usType != DEVICE_STATION && d->usType != DEVICE_SPEED_TRAP)
        return;
    int entrySize = d->usType == DEVICE_SPEED_TRAP ? 6 : 3;
    int64_t room = (int64_t)size - (int64_t)d->uiDataOffset;
    int whole = room > 0 ? (int)std::min<int64_t>(room / entrySize, Columns()) : 0;
    for (int c = 0; c < whole; c++) {
        const unsigned char* entry = file + d->uiDataOffset + c * entrySize;
        if (d->usType == DEVICE_LOOP) {
            unpack_rtdb_loop(entry, &d->usVolume[c], &d->usScanCnt[c], &d->usFlag[c],
                             &d->usIncident[c], &d->usNumLanes[c]);
            d->ucNPds[c] = (uint8_t)d->usNumLanes[c];
        } else if (d->usType == DEVICE_STATION) {
            unpack_rtdb_station(entry, &d->usVolume[c], &d->usScanCnt[c], &d->usFlag[c],
                                &d->usIncident[c], &d->usNumLanes[c]);
            if (d->usNumLanes[c] != 0) d->ucNPds[c] = 1;
        } else {
            unpack_rtdb_spd_trap(entry, &d->usSpdTenths[c], &d->usLenTenths[c], &d->usBin1[c],
                                 &d->usBin2[c], &d->usBin3[c], &d->usBin4[c], &d->usSpdFlag[c],
                                 &d->usSpdFlag2[c]);
            d->ucSpdNPds[c] = (uint8_t)(entry[1] >> 7);
        }
    }
}

// Each trap's lane ('_' at 16), the lane's variant ('M' at 11) and speed lane ('S' at 16) take
// a copy of its measurements for the whole day; the scan through the table ends once a lane and
// a speed lane are filled.
void IntegrateTraps(ReferenceTable& table) {
    for (const Device& trap : table) {
        if (trap.szName[16] != 'T') continue;
        char lane[20], variant[20], speed[20];
        memcpy(lane, trap.szName, 20);
        lane[16] = '_';
        memcpy(variant, lane, 20);
        variant[11] = 'M';
        memcpy(speed, trap.szName, 20);
        speed[16] = 'S';
        bool laneFilled = false, speedFilled = false;
        for (size_t j = 0; j < table.size() && !(laneFilled && speedFilled); j++) {
            Device& to = table[j];
            bool isLane = !strcmp(to.szName, lane) || !strcmp(to.szName, variant);
            if (!isLane && strcmp(to.szName, speed) != 0) continue;
            (isLane ? laneFilled : speedFilled) = true;
            memcpy(to.ucSpdNPds, trap.ucSpdNPds, sizeof to.ucSpdNPds);
            for (auto array :
                 {&Device::usSpdTenths, &Device::usLenTenths, &Device::usBin1, &Device::usBin2,
                  &Device::usBin3, &Device::usBin4, &Device::usSpdFlag, &Device::usSpdFlag2})
                memcpy(to.*array, trap.*array, sizeof(to.*array));
        }
    }
}

// Station by station in table order, lanes "__1" to "__8" at 15 to 17 of its name, each found
// after the one before, add their valid periods' bins and vehicle-weighted speed and length;
// a station that finds as many lanes as it reports in its first period turns the sums into
// averages and its count of valid lanes into the 65 % flag.
void AggregateStations(ReferenceTable& table) {
    static uint32_t speedSum[PERIODS_PER_DAY], lengthSum[PERIODS_PER_DAY];
    for (Device& S : table) {
        if (S.usType != DEVICE_STATION || strlen(S.szName) < 18) continue;
        char lane[20];
        memcpy(lane, S.szName, 20);
        lane[15] = lane[16] = '_';
        for (int c = 0; c < Columns(); c++)
            speedSum[c] = S.usSpdTenths[c], lengthSum[c] = S.usLenTenths[c];
        int expected = S.usNumLanes[0], found = 0;
        for (Device& R : table) {
            lane[17] = "12345678"[found];
            if (strcmp(R.szName, lane) != 0) continue;
            found++;
            for (int c = 0; c < Columns(); c++) {
                uint32_t vehicles = R.usBin1[c] + R.usBin2[c] + R.usBin3[c] + R.usBin4[c];
                uint32_t speed = R.usSpdTenths[c];
                if ((R.usSpdFlag2[c] & 128) && speed >= 100 && speed <= 1109) {
                    S.usBin1[c] += R.usBin1[c];
                    S.usBin2[c] += R.usBin2[c];
                    S.usBin3[c] += R.usBin3[c];
                    S.usBin4[c] += R.usBin4[c];
                    speedSum[c] += speed * vehicles;
                    lengthSum[c] += R.usLenTenths[c] * vehicles;
                    S.usSpdTenths[c] = (uint16_t)speedSum[c];
                    S.usLenTenths[c] = (uint16_t)lengthSum[c];
                    S.usSpdFlag[c]++;
                } else if ((R.usSpdFlag[c] & 128) && speed == 0 && vehicles == 0) {
                    S.usSpdFlag[c]++;
                }
            }
            if (found == expected) {
                for (int c = 0; c < Columns(); c++) {
                    uint32_t total = S.usBin1[c] + S.usBin2[c] + S.usBin3[c] + S.usBin4[c];
                    S.usSpdTenths[c] = total ? (uint16_t)(speedSum[c] / total) : 0;
                    S.usLenTenths[c] = total ? (uint16_t)(lengthSum[c] / total) : 0;
                    double share = S.usNumLanes[c] ? (double)S.usSpdFlag[c] / S.usNumLanes[c] : 0;
                    S.usSpdFlag[c] = share >= 0.65 ? 128 : 0;
                }
                break;
            }
            if (found == 8) break;
        }
    }
}

// A scan count above 1200 is a full period. The estimates are the length a 65 mph vehicle would
// give and the speed that rounded length gives back, from whole-number products.
void EstimateSpeedLength(ReferenceTable& table) {
    auto rounded = [](double x) { return (uint16_t)(int64_t)(x + 0.5); };
    for (Device& d : table) {
        for (int c = 0; c < Columns(); c++) {
            if (d.usScanCnt[c] > 1200) d.usScanCnt[c] = 1200;
            int64_t scan = d.usScanCnt[c], volume = d.usVolume[c], lanes = d.usNumLanes[c];
            if (volume != 0)
                d.usEstLength[c] = rounded((double)(lanes * 715 * scan) / (double)(volume * 450));
            if (lanes * scan != 0)
                d.usCalcSpdTenths[c] = rounded((double)(d.usEstLength[c] * volume * 450) /
                                               (double)(11 * scan * lanes));
        }
    }
}

// "date HH:MM:SS" of column c, with the element report's trailing blank when asked.
std::string Time(int c, bool blank) {
    char text[32];
    snprintf(text, sizeof text, blank ? "%10.10s %2.2u:%2.2u:%2.2u " : "%10.10s %2.2u:%2.2u:%2.2u",
             szDataStartTime, (unsigned)(c / 180), (unsigned)(c % 180 / 3), (unsigned)(c % 3 * 20));
    return text;
}

// Flow rate class (vehicles per hour per lane, single precision, kept to 16 bits), scan-count
// class and speed class; all three 4 for a period without data.
void Colours(const Device& d, int c, unsigned colour[3]) {
    unsigned lanes = d.usNumLanes[c], scan = d.usScanCnt[c], speed = d.usSpdTenths[c];
    bool noData = lanes == 0 && scan == 0;
    colour[0] = 3;
    if (lanes != 0) {
        float perLane = (float)d.usVolume[c] * 180.0f / (float)lanes;
        unsigned flow = (unsigned)((unsigned long)((double)perLane + 0.5) % 65536);
        noData = scan == 0 && flow == 0;
        colour[0] = flow < 1000 ? 3 : flow < 1500 ? 2 : flow < 2000 ? 1 : 100;
    }
    colour[1] = scan < 181 ? 3 : scan < 265 ? 2 : scan < 421 ? 1 : 100;
    colour[2] = speed > 500 ? 3 : speed > 400 ? 2 : speed > 300 ? 1 : 100;
    if (noData) colour[0] = colour[1] = colour[2] = 4;
}

bool ListedAsLane(const Device& d) {
    return d.usType == DEVICE_STATION ||
           (d.usType == DEVICE_LOOP && (d.szName[16] != 'S' || bINCLUDESPEEDLANES));
}

// The rows of the devices listed() accepts: all of them, or the -D one (none when it is not in
// the table), over the file's columns, or the -P one (none outside the day), in the order -R
// selects.
template <typename Listed, typename Row>
void Rows(const ReferenceTable& table, bool rowsFirst, Listed listed, Row row) {
    int first = 0, end = Columns(), from = 0, to = (int)table.size();
    if (bPERIOD && szPeriod[0] != '\0') {
        auto field = [](int at) {  // two characters of the text as a number; none count as 0
            int length = (int)strlen(szPeriod);
            char pair[3] = {at < length ? szPeriod[at] : '\0',
                            at + 1 < length ? szPeriod[at + 1] : '\0', '\0'};
            return (int)strtol(pair, nullptr, 10);
        };
        int seconds = field(6);
        first = field(0) * 180 + field(3) * 3 + (seconds == 20 ? 1 : seconds == 40 ? 2 : seconds);
        end = first + 1;
        if (first < 0 || first >= PERIODS_PER_DAY) return;
    }
    bool chosen = bDEVICE && szDevice[0] != '\0';
    if (chosen) {
        while (from < to && strcmp(table[from].szName, szDevice) != 0) from++;
        if (from == to) return;
        to = from + 1;
    }
    if (rowsFirst) {
        for (int i = from; i < to; i++)
            for (int c = first; c < end; c++)
                if (listed(table[i], chosen)) row(table[i], c);
    } else {
        for (int c = first; c < end; c++)
            for (int i = from; i < to; i++)
                if (listed(table[i], chosen)) row(table[i], c);
    }
}

}  // namespace

ReferenceTable MakeReferenceTable(const char* bytes, int size) {
    ReadDataHeader(bytes, size);
    const unsigned char* file = (const unsigned char*)bytes;
    int64_t room = std::min<int64_t>(iNameListSize, (int64_t)size - iHeaderSize);
    ReferenceTable table(std::clamp<int64_t>(iNumberofNames, 0, std::max<int64_t>(room, 0) / 27));
    for (size_t j = 0; j < table.size(); j++) {
        const unsigned char* entry = file + iHeaderSize + 27 * j;
        memcpy(table[j].szName, entry, 19);
        table[j].usType = (uint16_t)(entry[19] | entry[20] << 8);
        table[j].uiDataOffset = (uint32_t)entry[23] | (uint32_t)entry[24] << 8 |
                                (uint32_t)entry[25] << 16 | (uint32_t)entry[26] << 24;
        Unpack(&table[j], file, size);
    }
    IntegrateTraps(table);
    AggregateStations(table);
    EstimateSpeedLength(table);
    return table;
}

void ReferenceElementReport(const ReferenceTable& table, FILE* out) {
    fputs(
        "Name,NumLanes,Volume,OccTenths,ScanCnt,Flag,NPds,Color0,Color1,Color2,SpdTenths,"
        "LenTenths,Bin1,Bin2,Bin3,Bin4,SpdFlag,SpdFlag2,SpdNPds,EstLength,CalcSpdTenths,"
        "ScanCntSum,CollectionTime\n",
        out);
    auto listed = [](const Device& d, bool chosen) {
        return d.usType == DEVICE_STATION ||
               (d.usType == DEVICE_LOOP && (chosen || ListedAsLane(d)));
    };
    Rows(table, false, listed, [out](const Device& d, int c) {
        unsigned colour[3];
        Colours(d, c, colour);
        fprintf(
            out,
            "%s,%u,%u,%2.1f,%u,%u,%u,%u,%u,%u,%2.1f,%2.1f,%u,%u,%u,%u,%u,%u,%u,%u,%2.1f,%d,%s\n",
            d.szName, d.usNumLanes[c], d.usVolume[c], d.usScanCnt[c] / 12.0f, d.usScanCnt[c],
            d.usFlag[c], d.ucNPds[c], colour[0], colour[1], colour[2], d.usSpdTenths[c] / 10.0f,
            d.usLenTenths[c] / 10.0f, d.usBin1[c], d.usBin2[c], d.usBin3[c], d.usBin4[c],
            d.usSpdFlag[c], d.usSpdFlag2[c], d.ucSpdNPds[c], d.usEstLength[c],
            (double)d.usCalcSpdTenths[c], (int32_t)((uint32_t)d.usNumLanes[c] * d.usScanCnt[c]),
            Time(c, true).c_str());
    });
}

void ReferenceLaneReport(const ReferenceTable& table, FILE* out) {
    fputs("name,collectiontime,lanes,volume,occupancy (%),status,incident,speed,length\n", out);
    auto listed = [](const Device& d, bool) { return ListedAsLane(d); };
    Rows(table, bWRITEROWSFIRST, listed, [out](const Device& d, int c) {
        fprintf(out, "%s,%s,%u,%u,%2.2f,%u,%u,%2.1f,%2.1f\n", d.szName, Time(c, false).c_str(),
                d.usNumLanes[c], d.usVolume[c], d.usScanCnt[c] / 12.0f, d.usFlag[c],
                d.usIncident[c], d.usSpdTenths[c] / 10.0f, d.usLenTenths[c] / 10.0f);
    });
}

void ReferenceTrapReport(const ReferenceTable& table, FILE* out) {
    fputs(
        "name,collectiontime,speed(ave mph),length (ave ft),bin1 (0.0-20.0),bin2 (20.1-42.0),"
        "bin3 (42.1-72.0),bin4 (72.1-115.0 ),flag1,flag2\n",
        out);
    auto listed = [](const Device& d, bool) { return d.usType == DEVICE_SPEED_TRAP; };
    Rows(table, bWRITEROWSFIRST, listed, [out](const Device& d, int c) {
        fprintf(out, "%s,%s,%2.1f,%2.1f,%u,%u,%u,%u,%u,%u\n", d.szName, Time(c, false).c_str(),
                d.usSpdTenths[c] / 10.0f, d.usLenTenths[c] / 10.0f, d.usBin1[c], d.usBin2[c],
                d.usBin3[c], d.usBin4[c], d.usSpdFlag[c], d.usSpdFlag2[c]);
    });
}

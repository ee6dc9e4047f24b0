// PlainReports: one fprintf per row, the obvious way; speed is of no concern here.
#include "PlainReports.h"

#include <string>
#include <vector>

#include "base/Limits.h"

namespace {

// "date HH:MM:SS" of period c, with the element report's trailing blank when asked.
std::string Time(const tagDATAFILE& file, int c, bool blank) {
    char text[32];
    snprintf(text, sizeof text, blank ? "%10.10s %2.2u:%2.2u:%2.2u " : "%10.10s %2.2u:%2.2u:%2.2u",
             file.header.szDataStartTime, (unsigned)(c / 180), (unsigned)(c % 180 / 3),
             (unsigned)(c % 3 * 20));
    return text;
}

// Flow rate class (vehicles per hour per lane, single precision, kept to 16 bits), scan-count
// class and speed class; all three 4 for a period without data.
void Colours(const tagPERIODVALUES& v, unsigned colour[3]) {
    unsigned lanes = v.usNumLanes, scan = v.usScanCnt, speed = v.usSpdTenths;
    bool noData = lanes == 0 && scan == 0;
    colour[0] = 3;
    if (lanes != 0) {
        float perLane = (float)v.usVolume * 180.0f / (float)lanes;
        unsigned flow = (unsigned)((unsigned long)((double)perLane + 0.5) % 65536);
        noData = scan == 0 && flow == 0;
        colour[0] = flow < 1000 ? 3 : flow < 1500 ? 2 : flow < 2000 ? 1 : 100;
    }
    colour[1] = scan < 181 ? 3 : scan < 265 ? 2 : scan < 421 ? 1 : 100;
    colour[2] = speed > 500 ? 3 : speed > 400 ? 2 : speed > 300 ? 1 : 100;
    if (noData) colour[0] = colour[1] = colour[2] = 4;
}

// Calls row(device, values, period) for the devices listed(device) holds, period by period.
template <typename Listed, typename Row>
void Rows(const tagPLAINDAY& day, Listed listed, Row row) {
    const std::vector<tagDEVICE>& devices = day.lpFile->devices;
    for (int c = 0; c < day.lpFile->iColumns; c++)
        for (size_t i = 0; i < devices.size(); i++)
            if (listed(devices[i]))
                row(DeviceName(*day.lpFile, (int)i).text, day.block.At(c, day.block.slots[i]), c);
}

bool LaneListed(const tagDEVICE& d) {
    return d.usType == DEVICE_STATION || (d.usType == DEVICE_LOOP && d.cKind != 'S');
}

}  // namespace

tagPLAINDAY MakePlainDay(const tagDATAFILE& file) {
    tagPLAINDAY day{&file, {}};
    std::vector<int> all(file.devices.size());
    for (size_t i = 0; i < all.size(); i++) all[i] = (int)i;
    PlanBlock(file, all, &day.block);
    FillBlock(file, &day.block, 0, file.iColumns);
    return day;
}

void PlainElementReport(const tagPLAINDAY& day, FILE* out) {
    fputs(
        "Name,NumLanes,Volume,OccTenths,ScanCnt,Flag,NPds,Color0,Color1,Color2,SpdTenths,"
        "LenTenths,Bin1,Bin2,Bin3,Bin4,SpdFlag,SpdFlag2,SpdNPds,EstLength,CalcSpdTenths,"
        "ScanCntSum,CollectionTime\n",
        out);
    Rows(day, LaneListed, [out, &day](const char* name, const tagPERIODVALUES& v, int c) {
        unsigned colour[3];
        Colours(v, colour);
        fprintf(
            out,
            "%s,%u,%u,%2.1f,%u,%u,%u,%u,%u,%u,%2.1f,%2.1f,%u,%u,%u,%u,%u,%u,%u,%u,%2.1f,%d,%s\n",
            name, v.usNumLanes, v.usVolume, v.usScanCnt / 12.0f, v.usScanCnt, v.usFlag, v.ucNPds,
            colour[0], colour[1], colour[2], v.usSpdTenths / 10.0f, v.usLenTenths / 10.0f, v.usBin1,
            v.usBin2, v.usBin3, v.usBin4, v.usSpdFlag, v.usSpdFlag2, v.ucSpdNPds, v.usEstLength,
            (double)v.usCalcSpdTenths, (int32_t)((uint32_t)v.usNumLanes * v.usScanCnt),
            Time(*day.lpFile, c, true).c_str());
    });
}

void PlainLaneReport(const tagPLAINDAY& day, FILE* out) {
    fputs("name,collectiontime,lanes,volume,occupancy (%),status,incident,speed,length\n", out);
    Rows(day, LaneListed, [out, &day](const char* name, const tagPERIODVALUES& v, int c) {
        fprintf(out, "%s,%s,%u,%u,%2.2f,%u,%u,%2.1f,%2.1f\n", name,
                Time(*day.lpFile, c, false).c_str(), v.usNumLanes, v.usVolume, v.usScanCnt / 12.0f,
                v.usFlag, v.usIncident, v.usSpdTenths / 10.0f, v.usLenTenths / 10.0f);
    });
}

void PlainTrapReport(const tagPLAINDAY& day, FILE* out) {
    fputs(
        "name,collectiontime,speed(ave mph),length (ave ft),bin1 (0.0-20.0),bin2 (20.1-42.0),"
        "bin3 (42.1-72.0),bin4 (72.1-115.0 ),flag1,flag2\n",
        out);
    auto listed = [](const tagDEVICE& d) { return d.usType == DEVICE_SPEED_TRAP; };
    Rows(day, listed, [out, &day](const char* name, const tagPERIODVALUES& v, int c) {
        fprintf(out, "%s,%s,%2.1f,%2.1f,%u,%u,%u,%u,%u,%u\n", name,
                Time(*day.lpFile, c, false).c_str(), v.usSpdTenths / 10.0f, v.usLenTenths / 10.0f,
                v.usBin1, v.usBin2, v.usBin3, v.usBin4, v.usSpdFlag, v.usSpdFlag2);
    });
}

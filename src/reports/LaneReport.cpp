// The lane report: a row per loop and station and period, as the field reported it.
#include "reports/ReportKind.h"

// Loops and stations, speed lanes only with -S; the same rule for a chosen device.
static bool LaneListed(const tagDEVICE& d, bool, const tagSETTINGS& settings) {
    if (d.usType == DEVICE_STATION) return true;
    return d.usType == DEVICE_LOOP && (d.cKind != 'S' || settings.bINCLUDESPEEDLANES);
}

static void LaneRows(const tagREPORTJOB& job) {
    const tagTIMETEXTS& times = *job.times;
    tagNUMBERTABLE* twelfths = NumberTable(TEXT_TWELFTHS_2);
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    WriteRows(job, [&](char* p, const tagPERIODVALUES& e, int c) HOT_LAMBDA {
        p = PutTime(Comma(p), times, c);
        p = PutUnsigned(Comma(p), e.usNumLanes);
        p = PutUnsigned(Comma(p), e.usVolume);
        p = PutScaled(Comma(p), twelfths, e.usScanCnt);
        p = PutUnsigned(Comma(p), e.usFlag);
        p = PutUnsigned(Comma(p), e.usIncident);
        p = PutScaled(Comma(p), tenths, e.usSpdTenths);
        p = PutScaled(Comma(p), tenths, e.usLenTenths);
        *p = '\n';
        return p + 1;
    });
}

const tagREPORTKIND kLaneReport = {
    "Lane",
    &tagSETTINGS::bWRITELANES,
    "PDSR",
    "20 second data",
    "name,collectiontime,lanes,volume,occupancy (%),status,incident,speed,length\n",
    "name,collection_time,lanes,volume,occupancy_pct,status,incident,speed_mph,length_ft\n",
    false,
    PERIODS_SHOWN,
    true,
    true,
    false,
    LaneListed,
    LaneRows,
};

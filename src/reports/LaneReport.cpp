// The lane report: a row per loop and station and period, as the field reported it.
#include "reports/ParquetKinds.h"
#include "reports/ReportKind.h"

// Loops and stations, speed lanes only with -S; the same rule for a chosen device.
static bool LaneListed(const tagDEVICE& d, bool, const tagSETTINGS& settings) {
    if (d.usType == DEVICE_STATION) return true;
    return d.usType == DEVICE_LOOP && (d.cKind != 'S' || settings.bINCLUDESPEEDLANES);
}

static const tagPARQUETCOLUMN kLaneColumns[] = {
    TypedColumn("name", PARQUET_STRING, STORE_TEXT),
    TypedColumn("collection_time", PARQUET_TIMESTAMP, STORE_U16, CODE_PERIOD),
    TypedColumn("lanes", PARQUET_INT32, STORE_U16),
    TypedColumn("volume", PARQUET_INT32, STORE_U16),
    TypedColumn("occupancy_pct", PARQUET_DOUBLE, STORE_U16, CODE_TWELFTHS_2),
    TypedColumn("status", PARQUET_INT32, STORE_U16),
    TypedColumn("incident", PARQUET_INT32, STORE_U16),
    TypedColumn("speed_mph", PARQUET_DOUBLE, STORE_U16, CODE_TENTHS_1),
    TypedColumn("length_ft", PARQUET_DOUBLE, STORE_U16, CODE_TENTHS_1),
};
const tagPARQUETSCHEMA kLaneParquet = Schema(kLaneColumns);

static void LaneRows(const tagREPORTJOB& job) {
    if (job.report->lpParquet)
        return WriteParquetRows(
            job, [](tagPARQUETROWS& r, size_t n, const tagPERIODVALUES& e, int c) HOT_LAMBDA {
                const uint16_t values[] = {(uint16_t)c, e.usNumLanes, e.usVolume,    e.usScanCnt,
                                           e.usFlag,    e.usIncident, e.usSpdTenths, e.usLenTenths};
                for (int k = 0; k < 8; k++) r.Of<uint16_t>(k + 1)[n] = values[k];
            });
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

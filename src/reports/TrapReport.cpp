// The trap report: a row per speed trap and period, its speed, length and length bins.
#include "reports/ParquetKinds.h"
#include "reports/ReportKind.h"

static bool TrapListed(const tagDEVICE& d, bool, const tagSETTINGS&) {
    return d.usType == DEVICE_SPEED_TRAP;
}

static const tagPARQUETCOLUMN kTrapColumns[] = {
    TypedColumn("name", PARQUET_STRING, STORE_TEXT),
    TypedColumn("collection_time", PARQUET_TIMESTAMP, STORE_U16, CODE_PERIOD),
    TypedColumn("speed_mph", PARQUET_DOUBLE, STORE_U16, CODE_TENTHS_1),
    TypedColumn("length_ft", PARQUET_DOUBLE, STORE_U16, CODE_TENTHS_1),
    TypedColumn("bin1", PARQUET_INT32, STORE_U16),
    TypedColumn("bin2", PARQUET_INT32, STORE_U16),
    TypedColumn("bin3", PARQUET_INT32, STORE_U16),
    TypedColumn("bin4", PARQUET_INT32, STORE_U16),
    TypedColumn("flag1", PARQUET_INT32, STORE_U16),
    TypedColumn("flag2", PARQUET_INT32, STORE_U16),
};
const tagPARQUETSCHEMA kTrapParquet = Schema(kTrapColumns);

static void TrapRows(const tagREPORTJOB& job) {
    if (job.report->lpParquet)
        return WriteParquetRows(
            job, [](tagPARQUETROWS& r, size_t n, const tagPERIODVALUES& e, int c) HOT_LAMBDA {
                const uint16_t values[] = {(uint16_t)c, e.usSpdTenths, e.usLenTenths,
                                           e.usBin1,    e.usBin2,      e.usBin3,
                                           e.usBin4,    e.usSpdFlag,   e.usSpdFlag2};
                for (int k = 0; k < 9; k++) r.Of<uint16_t>(k + 1)[n] = values[k];
            });
    const tagTIMETEXTS& times = *job.times;
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    WriteRows(job, [&](char* p, const tagPERIODVALUES& e, int c) HOT_LAMBDA {
        p = PutTime(Comma(p), times, c);
        p = PutScaled(Comma(p), tenths, e.usSpdTenths);
        p = PutScaled(Comma(p), tenths, e.usLenTenths);
        p = PutUnsigned(Comma(p), e.usBin1);
        p = PutUnsigned(Comma(p), e.usBin2);
        p = PutUnsigned(Comma(p), e.usBin3);
        p = PutUnsigned(Comma(p), e.usBin4);
        p = PutUnsigned(Comma(p), e.usSpdFlag);
        p = PutUnsigned(Comma(p), e.usSpdFlag2);
        *p = '\n';
        return p + 1;
    });
}

const tagREPORTKIND kTrapReport = {
    "Trap",
    &tagSETTINGS::bWRITETRAPS,
    "DPR",
    "20 second data",
    "name,collectiontime,speed(ave mph),length (ave ft),bin1 (0.0-20.0),bin2 (20.1-42.0),"
    "bin3 (42.1-72.0),bin4 (72.1-115.0 ),flag1,flag2\n",
    "name,collection_time,speed_mph,length_ft,bin1,bin2,bin3,bin4,flag1,flag2\n",
    false,
    PERIODS_LOGGED,
    true,
    true,
    false,
    TrapListed,
    TrapRows,
};

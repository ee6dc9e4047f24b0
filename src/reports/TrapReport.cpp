// The trap report: a row per speed trap and period, its speed, length and length bins.
#include "reports/ReportKind.h"

static bool TrapListed(const tagDEVICE& d, bool, const tagSETTINGS&) {
    return d.usType == DEVICE_SPEED_TRAP;
}

static void TrapRows(const tagREPORTJOB& job) {
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

// The element report: a row per loop and station and period, the lane data merged with the
// trap measurements it carries, the three traffic colour classes and the estimates.
#include <cstdint>
#include <vector>

#include "reports/ParquetKinds.h"
#include "reports/ReportKind.h"

bool ElementListed(const tagDEVICE& d, bool chosen, const tagSETTINGS& settings) {
    if (d.usType == DEVICE_STATION) return true;
    return d.usType == DEVICE_LOOP && (chosen || d.cKind != 'S' || settings.bINCLUDESPEEDLANES);
}

// Flow rate in vehicles per hour per lane (180 periods of 20 seconds make an hour), computed
// in single precision, and its class.
static uint8_t ComputeFlowClass(uint16_t lanes, uint16_t volume) {
    float perLane = (float)volume * 180.0f / (float)lanes;
    uint16_t flow = (uint16_t)(int64_t)((double)perLane + 0.5);
    if (flow == 0) return 0;  // no flow: with no scan count either, there is no data
    return flow <= 999 ? 3 : flow <= 1499 ? 2 : flow <= 1999 ? 1 : 100;
}
// Every row needs the class, and a packed entry holds at most 7 lanes and a volume of 127: the
// classes of those are made once.
static inline uint8_t FlowClass(uint16_t lanes, uint16_t volume) {
    static const auto classes = [] {
        std::vector<uint8_t> table(8 * 128);
        for (uint16_t l = 1; l < 8; l++)
            for (uint16_t v = 0; v < 128; v++) table[l * 128 + v] = ComputeFlowClass(l, v);
        return table;
    }();
    return lanes < 8 && volume < 128 ? classes[lanes * 128 + volume]
                                     : ComputeFlowClass(lanes, volume);
}
// The flow, occupancy and speed classes: 3 light to 1 heavy and 100 beyond, 4 for no data.
static inline void Colours(uint16_t lanes, uint16_t scan, uint16_t speed, uint16_t volume,
                           uint8_t* color0, uint8_t* color1, uint8_t* color2) {
    if (lanes == 0) {
        if (scan == 0) {
            *color0 = *color1 = *color2 = 4;
            return;
        }
        *color0 = 3;
    } else {
        uint8_t flowClass = FlowClass(lanes, volume);
        if (scan == 0 && flowClass == 0) {
            *color0 = *color1 = *color2 = 4;
            return;
        }
        *color0 = flowClass == 0 ? 3 : flowClass;
    }
    // Scan counts of 180, 264 and 420 are 15, 22 and 35 percent occupancy.
    *color1 = scan <= 180 ? 3 : scan <= 264 ? 2 : scan <= 420 ? 1 : 100;
    // Speeds of 300, 400 and 500 tenths are 30, 40 and 50 mph.
    *color2 = speed >= 501 ? 3 : speed >= 401 ? 2 : speed >= 301 ? 1 : 100;
}

static const tagPARQUETCOLUMN kElementColumns[] = {
    TypedColumn("name", PARQUET_STRING, STORE_TEXT),
    TypedColumn("num_lanes", PARQUET_INT32, STORE_U16),
    TypedColumn("volume", PARQUET_INT32, STORE_U16),
    TypedColumn("occupancy_pct", PARQUET_DOUBLE, STORE_U16, CODE_TWELFTHS_1),
    TypedColumn("scan_cnt", PARQUET_INT32, STORE_U16),
    TypedColumn("flag", PARQUET_INT32, STORE_U16),
    TypedColumn("npds", PARQUET_INT16, STORE_U8),
    TypedColumn("color0", PARQUET_INT8, STORE_U8),
    TypedColumn("color1", PARQUET_INT8, STORE_U8),
    TypedColumn("color2", PARQUET_INT8, STORE_U8),
    TypedColumn("speed_mph", PARQUET_DOUBLE, STORE_U16, CODE_TENTHS_1),
    TypedColumn("length_ft", PARQUET_DOUBLE, STORE_U16, CODE_TENTHS_1),
    TypedColumn("bin1", PARQUET_INT32, STORE_U16),
    TypedColumn("bin2", PARQUET_INT32, STORE_U16),
    TypedColumn("bin3", PARQUET_INT32, STORE_U16),
    TypedColumn("bin4", PARQUET_INT32, STORE_U16),
    TypedColumn("spd_flag", PARQUET_INT32, STORE_U16),
    TypedColumn("spd_flag2", PARQUET_INT32, STORE_U16),
    TypedColumn("spd_npds", PARQUET_INT16, STORE_U8),
    TypedColumn("est_length_ft", PARQUET_INT32, STORE_U16),
    TypedColumn("calc_speed_mph", PARQUET_DOUBLE, STORE_U16, CODE_WHOLE_1),
    TypedColumn("scan_cnt_sum", PARQUET_INT32, STORE_I32),
    TypedColumn("collection_time", PARQUET_TIMESTAMP, STORE_U16, CODE_PERIOD),
};
const tagPARQUETSCHEMA kElementParquet = Schema(kElementColumns);

// The typed element rows: the values the text shows, each in its column (see kElementColumns).
static void ElementParquetRows(const tagREPORTJOB& job) {
    WriteParquetRows(job, [](tagPARQUETROWS& r, size_t n, const tagPERIODVALUES& e,
                             int c) HOT_LAMBDA {
        uint8_t color0, color1, color2;
        Colours(e.usNumLanes, e.usScanCnt, e.usSpdTenths, e.usVolume, &color0, &color1, &color2);
        uint16_t* const u16[] = {
            r.Of<uint16_t>(1),  r.Of<uint16_t>(2),  r.Of<uint16_t>(3),  r.Of<uint16_t>(4),
            r.Of<uint16_t>(5),  r.Of<uint16_t>(10), r.Of<uint16_t>(11), r.Of<uint16_t>(12),
            r.Of<uint16_t>(13), r.Of<uint16_t>(14), r.Of<uint16_t>(15), r.Of<uint16_t>(16),
            r.Of<uint16_t>(17), r.Of<uint16_t>(19), r.Of<uint16_t>(20), r.Of<uint16_t>(22)};
        const uint16_t values[] = {e.usNumLanes, e.usVolume,    e.usScanCnt,       e.usScanCnt,
                                   e.usFlag,     e.usSpdTenths, e.usLenTenths,     e.usBin1,
                                   e.usBin2,     e.usBin3,      e.usBin4,          e.usSpdFlag,
                                   e.usSpdFlag2, e.usEstLength, e.usCalcSpdTenths, (uint16_t)c};
        for (size_t k = 0; k < std::size(values); k++) u16[k][n] = values[k];
        r.Of<uint8_t>(6)[n] = e.ucNPds;
        r.Of<uint8_t>(7)[n] = color0;
        r.Of<uint8_t>(8)[n] = color1;
        r.Of<uint8_t>(9)[n] = color2;
        r.Of<uint8_t>(18)[n] = e.ucSpdNPds;
        r.Of<int32_t>(21)[n] = (int32_t)((uint32_t)e.usNumLanes * e.usScanCnt);
    });
}

static void ElementRows(const tagREPORTJOB& job) {
    if (job.report->lpParquet) return ElementParquetRows(job);
    const tagTIMETEXTS& times = *job.times;
    tagNUMBERTABLE* twelfths = NumberTable(TEXT_TWELFTHS_1);
    tagNUMBERTABLE* tenths = NumberTable(TEXT_TENTHS_1);
    tagNUMBERTABLE* whole = NumberTable(TEXT_WHOLE_1);
    WriteRows(job, [&](char* p, const tagPERIODVALUES& e, int c) HOT_LAMBDA {
        uint8_t color0, color1, color2;
        Colours(e.usNumLanes, e.usScanCnt, e.usSpdTenths, e.usVolume, &color0, &color1, &color2);
        p = PutUnsigned(Comma(p), e.usNumLanes);
        p = PutUnsigned(Comma(p), e.usVolume);
        p = PutScaled(Comma(p), twelfths, e.usScanCnt);
        p = PutUnsigned(Comma(p), e.usScanCnt);
        p = PutUnsigned(Comma(p), e.usFlag);
        p = PutUnsigned(Comma(p), e.ucNPds);
        p = PutUnsigned(Comma(p), color0);
        p = PutUnsigned(Comma(p), color1);
        p = PutUnsigned(Comma(p), color2);
        p = PutScaled(Comma(p), tenths, e.usSpdTenths);
        p = PutScaled(Comma(p), tenths, e.usLenTenths);
        p = PutUnsigned(Comma(p), e.usBin1);
        p = PutUnsigned(Comma(p), e.usBin2);
        p = PutUnsigned(Comma(p), e.usBin3);
        p = PutUnsigned(Comma(p), e.usBin4);
        p = PutUnsigned(Comma(p), e.usSpdFlag);
        p = PutUnsigned(Comma(p), e.usSpdFlag2);
        p = PutUnsigned(Comma(p), e.ucSpdNPds);
        p = PutUnsigned(Comma(p), e.usEstLength);
        p = PutScaled(Comma(p), whole, e.usCalcSpdTenths);
        // The scan-count sum is a signed 32-bit product.
        int32_t scanSum = (int32_t)((uint32_t)e.usNumLanes * e.usScanCnt);
        p = scanSum >= 0 ? PutUnsigned(Comma(p), (unsigned)scanSum)
                         : std::to_chars(Comma(p), p + 13, scanSum).ptr;
        p = PutTime(Comma(p), times, c);
        *p = '\n';
        return p + 1;
    });
}

const tagREPORTKIND kElementReport = {
    "Element",
    &tagSETTINGS::bWRITEELEMENTS,
    "DPS",
    "20 second data",
    "Name,NumLanes,Volume,OccTenths,ScanCnt,Flag,NPds,Color0,Color1,Color2,SpdTenths,LenTenths,"
    "Bin1,Bin2,Bin3,Bin4,SpdFlag,SpdFlag2,SpdNPds,EstLength,CalcSpdTenths,ScanCntSum,"
    "CollectionTime\n",
    "name,num_lanes,volume,occupancy_pct,scan_cnt,flag,npds,color0,color1,color2,speed_mph,"
    "length_ft,bin1,bin2,bin3,bin4,spd_flag,spd_flag2,spd_npds,est_length_ft,calc_speed_mph,"
    "scan_cnt_sum,collection_time\n",
    false,
    PERIODS_SHOWN,
    true,
    false,
    true,
    ElementListed,
    ElementRows,
};

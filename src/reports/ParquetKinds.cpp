// The columns of the reports read from their CSV text, and which kind has which columns. A new
// report kind adds its columns here.
#include "reports/ParquetKinds.h"

#include <cerrno>
#include <iterator>

#include "output/ParquetFile.h"
#include "reports/ReportKind.h"

namespace {

const tagPARQUETCOLUMN kContentsColumns[] = {
    TextColumn("name", PARQUET_STRING),
    TextColumn("num_lanes", PARQUET_INT32),
};

const tagPARQUETCOLUMN kSummaryColumns[] = {
    TextColumn("name", PARQUET_STRING),      TextColumn("bin_start", PARQUET_TIMESTAMP),
    TextColumn("periods", PARQUET_INT32),    TextColumn("observed", PARQUET_INT32),
    TextColumn("volume", PARQUET_INT32),     TextColumn("occupancy_pct", PARQUET_DOUBLE),
    TextColumn("speed_mph", PARQUET_DOUBLE), TextColumn("kind", PARQUET_STRING),
    TextColumn("roadway", PARQUET_STRING),   TextColumn("side", PARQUET_STRING),
    TextColumn("milepost", PARQUET_STRING),  TextColumn("location", PARQUET_STRING),
};

const tagPARQUETCOLUMN kHealthColumns[] = {
    TextColumn("name", PARQUET_STRING),
    TextColumn("kind", PARQUET_STRING),
    TextColumn("window_periods", PARQUET_INT32),
    TextColumn("observed", PARQUET_INT32),
    TextColumn("zero_occupancy", PARQUET_INT32),
    TextColumn("occupied_no_volume", PARQUET_INT32),
    TextColumn("volume_no_occupancy", PARQUET_INT32),
    TextColumn("high_occupancy", PARQUET_INT32),
    TextColumn("capped_scans", PARQUET_INT32),
    TextColumn("longest_constant_periods", PARQUET_INT32),
    TextColumn("lanes_not_good", PARQUET_INT32),
    TextColumn("status", PARQUET_STRING),
    TextColumn("working_periods", PARQUET_INT32),
    TextColumn("implausible_speed", PARQUET_INT32),
    TextColumn("roadway", PARQUET_STRING),
    TextColumn("side", PARQUET_STRING),
    TextColumn("milepost", PARQUET_STRING),
    TextColumn("location", PARQUET_STRING),
};

const tagPARQUETCOLUMN kCorridorColumns[] = {
    TextColumn("roadway", PARQUET_STRING),      TextColumn("side", PARQUET_STRING),
    TextColumn("bin_start", PARQUET_TIMESTAMP), TextColumn("stations", PARQUET_INT32),
    TextColumn("length_mi", PARQUET_DOUBLE),    TextColumn("covered_mi", PARQUET_DOUBLE),
    TextColumn("vmt", PARQUET_DOUBLE),          TextColumn("vht", PARQUET_DOUBLE),
    TextColumn("delay_35_vh", PARQUET_DOUBLE),  TextColumn("delay_60_vh", PARQUET_DOUBLE),
    TextColumn("q_mph", PARQUET_DOUBLE),        TextColumn("travel_time_min", PARQUET_DOUBLE),
    TextColumn("tti", PARQUET_DOUBLE),
};

const tagPARQUETCOLUMN kCabinetColumns[] = {
    TextColumn("device", PARQUET_STRING),    TextColumn("alias", PARQUET_STRING),
    TextColumn("address", PARQUET_STRING),   TextColumn("roadway", PARQUET_STRING),
    TextColumn("side", PARQUET_STRING),      TextColumn("milepost", PARQUET_STRING),
    TextColumn("location", PARQUET_STRING),  TextColumn("version", PARQUET_INT32),
    TextColumn("loops", PARQUET_INT32),      TextColumn("stations", PARQUET_INT32),
    TextColumn("speedtraps", PARQUET_INT32), TextColumn("meteredlanes", PARQUET_INT32),
    TextColumn("status", PARQUET_STRING),
};

}  // namespace

const tagPARQUETSCHEMA kCabinetParquet = Schema(kCabinetColumns);

tagPARQUETSCHEMA ParquetSchemaOf(const tagREPORTKIND& kind) {
    static const struct {
        const tagREPORTKIND* kind;
        tagPARQUETSCHEMA schema;
    } kinds[] = {
        {&kElementReport, kElementParquet},
        {&kLaneReport, kLaneParquet},
        {&kTrapReport, kTrapParquet},
        {&kContentsReport, Schema(kContentsColumns)},
        {&kSummaryReport, Schema(kSummaryColumns)},
        {&kHealthReport, Schema(kHealthColumns)},
        {&kCorridorReport, Schema(kCorridorColumns)},
    };
    for (const auto& k : kinds)
        if (k.kind == &kind) return k.schema;
    return {nullptr, 0};
}

int StartParquetReport(tagREPORTFILE* report, const tagPARQUETSCHEMA& schema, const char* day,
                       const tagSETTINGS& settings) {
    // A kind without columns of its own would be refused by its header at the end.
    return ReportAsParquet(report, schema.columns, schema.count, settings.iParquetCodec,
                           settings.iParquetLevel, day ? DayMicros(day) : 0);
}

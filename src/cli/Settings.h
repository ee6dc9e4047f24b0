// The settings of a run: what the command line asked for, parsed once and handed to every step
// that reads it. The option fields keep the names the options have always been known by.
#pragma once

#include "base/Limits.h"
#include "output/Compressors.h"

struct tagCABINETS;

enum { MAX_AGGREGATES = 36 };  // 1440 has 36 divisors

// The thresholds of the health report (--health=KEY=VALUE,...). Shares are in tenths of a
// percent (per mille) of the diagnostic window's periods, or of a trap's measured periods.
struct tagHEALTHRULES {
    int iWindowFirst = 900, iWindowEnd = 3960;  // periods [first, end): 05:00:00 to 22:00:00
    int iInsufficient = 600;                    // reporting below it: insufficient_data
    int iCardOff = 590;                         // scan count 0 above it: card_off
    int iHighOccupancy = 200;  // scan count above iHighScan above it: high_occupancy
    int iHighScan = 840;       // 70 % of the 1200 scans of a period
    int iNoVolume = 20;        // occupied without volume above it: intermittent
    int iNoOccupancy = 500;    // volume without occupancy above it: intermittent
    int iConstant = 720;       // a run of this many equal periods (four hours): constant
    int iImplausible = 200;    // trap: speeds out of range above it (of its measured periods)
};

struct tagSETTINGS {
    // Reports (-E, -L, -T, -A, -M) and options (-S, -C, -R, -P, -D): set to 1 only.
    int bWRITEELEMENTS = 0, bWRITELANES = 0, bWRITETRAPS = 0, bLISTALLELEMENTS = 0;
    int bCONVERTMETA = 0, bINCLUDESPEEDLANES = 0, bINCLUDEMETERS = 0, bWRITEROWSFIRST = 0;
    int bPERIOD = 0, bDEVICE = 0;
    char szPeriod[16] = {};  // -P as given (set even when refused for its shape)
    char szDevice[32] = {};  // -D as given, likewise
    // -P as its column: hours * 180 + minutes * 3 + (20 -> 1, 40 -> 2, other seconds as their
    // number), and whether that names a period of the day with digits in all six places.
    int iPeriodColumn = 0;
    bool bPeriodInDay = false;
    char szSourceFolder[FOLDER_SIZE] = {};  // each ends in '/' once the command line is read
    char szTargetFolder[FOLDER_SIZE] = {};
    char szLogFolder[FOLDER_SIZE] = {};
    char szCmdLine[32] = {};  // the letters of the flags given, for the log (fifteen at most)
    // --compress=gzip[:LEVEL] or zstd[:LEVEL]: every report compressed and named with ".gz" or
    // ".zst" after its usual name.
    int iCompression = COMPRESS_NONE, iCompressionLevel = 0;
    // --clean: every report in standard CSV (one header of lower-case names, ISO 8601 times, no
    // trailing blanks, fields with a comma, quote or line break quoted).
    int bClean = 0;
    // --aggregate=MINUTES[,MINUTES...]: the summaries asked for, each a divisor of 1440.
    int iAggregateMinutes[MAX_AGGREGATES] = {}, iAggregates = 0;
    // --strict: exit status 5 when any file got an E line.
    int bStrict = 0;
    // --health[=KEY=VALUE,...]: the health report of every data file, judged by these rules.
    int bHealth = 0;
    tagHEALTHRULES health;
    // --cabinets=<list file>: the cabinet list the devices are joined to, read once per run
    // (lpCabinets: null when none was asked for or it could not be read).
    char szCabinets[PATH_SIZE] = {};
    const tagCABINETS* lpCabinets = nullptr;
    // --corridors: the corridor report of every --aggregate width.
    int bCorridors = 0;
    // --parquet[=zstd[:LEVEL]|none]: every report a Parquet file (".parquet" in place of ".csv"),
    // of the --clean columns typed, its pages compressed by zstd (codec 6) or not (0).
    int bParquet = 0, iParquetCodec = 6, iParquetLevel = 1;
};

// The settings of a run: what the command line asked for, parsed once and handed to every step
// that reads it. The option fields keep the names the options have always been known by.
#pragma once

#include "base/Limits.h"
#include "output/Compressors.h"

enum { MAX_AGGREGATES = 36 };  // 1440 has 36 divisors

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
};

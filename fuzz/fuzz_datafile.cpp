// A whole data file through the whole pipeline. The first byte picks the options (reports,
// -S, -C, -R, -P, -D); the rest is the file. Its length picks the dialect, the compression or
// Parquet, a 15-minute summary, the health and corridor reports and the cabinet join, so that
// every writer meets every file.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "cabinets/Cabinet.h"
#include "datafile/DataFile.h"

// The cabinet list of the large seed's network, with the cabinets the small seeds' names begin
// with on one roadway and side, for the joins and the corridors.
static const tagCABINETS& SeedCabinets(fuzzsupport::Scratch& scratch) {
    static tagCABINETS cabinets = [&scratch] {
        tagCABINETS read;
        if (!LoadCabinets(KORVA_FUZZ_CABINETS, &read, &scratch.log)) abort();
        return read;
    }();
    return cabinets;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Scratch& scratch = fuzzsupport::Folders();
    if (size == 0) return 0;
    uint8_t options = data[0];
    tagSETTINGS& s = fuzzsupport::Settings();
    s.bWRITEELEMENTS = options & 1;
    s.bWRITELANES = options >> 1 & 1;
    s.bWRITETRAPS = options >> 2 & 1;
    s.bLISTALLELEMENTS = 1;
    s.bINCLUDESPEEDLANES = options >> 3 & 1;
    s.bINCLUDEMETERS = s.bWRITEROWSFIRST = options >> 4 & 1;
    // Periods in the day, at its edges and outside it; a whole day of rows is slow to write, so
    // most inputs ask for one period.
    static const char* const periods[] = {"07:30:20", "00:00:00", "23:59:40",
                                          "24:00:00", "00:-1:00", "00:00:10"};
    if (options >> 5 & 1 || size > 2048) {
        s.bPERIOD = 1;
        strcpy(s.szPeriod, periods[(options >> 6) % 6]);
    }
    if (options >> 7 & 1) {
        s.bDEVICE = 1;
        strcpy(s.szDevice, "005es17329:_MN___1");
    }
    s.bClean = size & 1;
    int output = (int)(size / 2 % 4);  // none, gzip, zstd, Parquet (of the standard columns)
    s.iCompression = output < 3 ? output : COMPRESS_NONE;
    s.iCompressionLevel = 1;
    s.bParquet = output == 3;
    s.bClean = s.bClean || s.bParquet;
    s.iAggregates = size / 6 % 2;
    s.iAggregateMinutes[0] = 15;
    s.bHealth = size / 12 % 2;
    s.bCorridors = s.iAggregates && size / 24 % 2;
    s.lpCabinets = size / 48 % 2 ? &SeedCabinets(scratch) : nullptr;
    fuzzsupport::WriteInput(scratch.in + "F.DAT", data + 1, size - 1);
    ProcessDataFile(s, "F.DAT", &scratch.log);
    fuzzsupport::Empty(scratch.out);
    return 0;
}

// A whole data file through the whole pipeline. The first byte picks the options (reports,
// -S, -C, -R, -P, -D); the rest is the file. Its length picks the dialect, the compression and
// a 15-minute summary, so that every writer meets every file.
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "Process20SecondDataFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Scratch& scratch = fuzzsupport::Folders();
    if (size == 0) return 0;
    uint8_t options = data[0];
    fuzzsupport::ResetOptions();
    bWRITEELEMENTS = options & 1;
    bWRITELANES = options >> 1 & 1;
    bWRITETRAPS = options >> 2 & 1;
    bLISTALLELEMENTS = 1;
    bINCLUDESPEEDLANES = options >> 3 & 1;
    bINCLUDEMETERS = bWRITEROWSFIRST = options >> 4 & 1;
    // Periods in the day, at its edges and outside it; a whole day of rows is slow to write, so
    // most inputs ask for one period.
    static const char* const periods[] = {"07:30:20", "00:00:00", "23:59:40",
                                          "24:00:00", "00:-1:00", "00:00:10"};
    if (options >> 5 & 1 || size > 2048) {
        bPERIOD = 1;
        strcpy(szPeriod, periods[(options >> 6) % 6]);
    }
    if (options >> 7 & 1) {
        bDEVICE = 1;
        strcpy(szDevice, "005es17329:_MN___1");
    }
    bClean = size & 1;
    iCompression = (int)(size / 2 % 3);  // none, gzip, zstd
    iCompressionLevel = 1;
    iAggregates = size / 6 % 2;
    iAggregateMinutes[0] = 15;
    fuzzsupport::WriteInput(scratch.in + "F.DAT", data + 1, size - 1);
    ProcessDataFile(scratch.in.c_str(), scratch.out.c_str(), "F.DAT", scratch.log);
    fuzzsupport::Empty(scratch.out);
    return 0;
}

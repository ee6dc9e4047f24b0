// The contents report: the devices of the name table with their lane count in the first period.
#include <algorithm>
#include <cstring>

#include "reports/ReportKind.h"

// Which devices it lists: loops (speed lanes with -S, ramp-meter lanes with -C), stations,
// traps, and metered lanes (ramp-meter ones with -C).
static bool ContentsListed(const tagDEVICE& d, const tagSETTINGS& s) {
    char letter = d.cKind;
    switch (d.usType) {
        case DEVICE_LOOP:
            return letter == 'S' ? s.bINCLUDESPEEDLANES : letter == 'R' ? s.bINCLUDEMETERS : true;
        case DEVICE_STATION:
        case DEVICE_SPEED_TRAP:
            return true;
        case DEVICE_METERED_LANE:
            return letter == 'R' ? s.bINCLUDEMETERS : true;
    }
    return false;
}

static void ContentsBody(const tagREPORTJOB& job) {
    const tagDATAFILE& file = job.file;
    const tagSETTINGS& s = job.settings;
    tagREPORTFILE* report = job.report;
    // The count line shows the names the header claims. -D narrows the list to the first
    // device of that name, silently; the count line then shows the end of that one-place range.
    int claimed = file.header.iNumberofNames;
    int held = (int)file.devices.size();
    int begin = 0, stop = held, rangeEnd = std::max(claimed, 0);
    if (s.bDEVICE && s.szDevice[0] != '\0' && claimed > 0) {
        int chosen = FirstNamed(file, s.szDevice);
        begin = stop;
        if (chosen >= 0) begin = chosen, stop = rangeEnd = chosen + 1;
    }
    // Standard CSV has no count lines: the log keeps the figures.
    if (s.bClean)
        ReportWrite(report, "name,num_lanes\n", 15);
    else
        ReportPrintf(report, "Input element count = %u\nName,NumLanes\n", (unsigned)rangeEnd);
    unsigned listed = 0;
    for (int i = begin; file.iColumns > 0 && i < stop; i++) {
        const tagDEVICE& d = file.devices[i];
        if (!ContentsListed(d, s)) continue;
        tagNAME shown = DeviceName(file, i);
        char name[2 * sizeof shown.text + 8];
        *(s.bClean ? PutCsvField(name, shown.text) : stpcpy(name, shown.text)) = '\0';
        ReportPrintf(report, "%s,%u\n", name, (unsigned)LanesAtFirstPeriod(file, d));
        listed++;
    }
    if (!s.bClean) ReportPrintf(report, "Contents listed = %u\n", listed);
}

const tagREPORTKIND kContentsReport = {
    "Content",    &tagSETTINGS::bLISTALLELEMENTS,
    "CS",         "20 second data elements",
    nullptr,      nullptr,
    false,        PERIODS_NOT_CHOSEN,
    false,        false,
    false,        nullptr,
    ContentsBody,
};

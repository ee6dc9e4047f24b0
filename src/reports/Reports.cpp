// The scaffold every report shares: name it, announce and create it, choose its periods and
// devices, head it, hand it to its kind's body, publish it.
#include "reports/Reports.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/Files.h"
#include "cabinets/Cabinet.h"
#include "reports/ParquetKinds.h"
#include "reports/ReportKind.h"

void* FillAhead(void* job) {
    tagFILLJOB* j = (tagFILLJOB*)job;
    FillBlock(*j->lpFile, j->lpBlock, j->iFirst, j->iCount);
    return nullptr;
}

void NextDevices(const tagREPORTJOB& job, int* next, size_t most, std::vector<int>* devices) {
    devices->clear();
    bool chosen = job.chosen >= 0;
    int end = chosen ? job.chosen + 1 : (int)job.file.devices.size();
    int& i = *next;
    if (chosen) i = std::max(i, job.chosen);
    for (; i < end && devices->size() < most; i++)
        if (job.kind.Listed(job.file.devices[i], chosen, job.settings)) devices->push_back(i);
}

const char* DeviceKindName(const tagDEVICE& d) {
    if (d.usType == DEVICE_STATION) return "station";
    if (d.usType == DEVICE_SPEED_TRAP) return "trap";
    return d.cKind == 'S' ? "speed_loop" : d.cKind == 'R' ? "ramp_loop" : "loop";
}

char* PutCabinetFields(char* p, const tagSETTINGS& settings, const char* name) {
    const tagCABINETMETADATA* c =
        settings.lpCabinets ? FindCabinet(*settings.lpCabinets, name) : nullptr;
    if (!c) return (char*)memcpy(p, ",,,,", 4) + 4;
    const char side[2] = {c->szSide[0] == ' ' ? '\0' : c->szSide[0], '\0'};
    for (const char* field : {c->szRoadway, side, c->szMilepost, c->szLocation}) {
        *p++ = ',';
        p = PutCsvField(p, field);
    }
    return p;
}

// The option a variant letter of a report name stands for.
static bool VariantSet(char letter, const tagSETTINGS& s) {
    switch (letter) {
        case 'D':
            return s.bDEVICE;
        case 'P':
            return s.bPERIOD;
        case 'S':
            return s.bINCLUDESPEEDLANES;
        case 'R':
            return s.bWRITEROWSFIRST;
        case 'C':
            return s.bINCLUDEMETERS;
    }
    return false;
}

// The report's path: the target folder, "KORVA20Sec_" (or "KORVA<minutes>Min_"), the kind, the
// variant letter of the first of its options that is set, the start date as MMDDYYYY, ".csv"
// and the compression's ending (with --parquet: ".parquet"). Returns 1, or 0 after logging that it
// would be too long.
static int BuildReportPath(char* path, const tagREPORTKIND& kind, int minutes,
                           const tagDATAFILE& file, const tagSETTINGS& s, tagLOG* log) {
    char prefix[16];
    if (minutes)
        snprintf(prefix, sizeof prefix, "KORVA%dMin", minutes);
    else
        snprintf(prefix, sizeof prefix, "KORVA20Sec");
    char variant[3] = "";
    for (const char* v = kind.szVariants; *v && !variant[0]; v++)
        if (VariantSet(*v, s)) variant[0] = *v, variant[1] = '_';
    const char* date = file.header.szDataStartTime;
    if (!BuildPath(path, "%s%s_%s_%s%.2s%.2s%.4s%s%s", s.szTargetFolder, prefix, kind.szKind,
                   variant, date, date + 3, date + 6, s.bParquet ? ".parquet" : ".csv",
                   ReportSuffix(s.iCompression))) {
        LogError(log, "Report path in folder [%s] would be longer than %d characters!\n",
                 s.szTargetFolder, PATH_SIZE - 1);
        return 0;
    }
    return 1;
}

// Applies -P to [*first, *end), the day's columns: the range becomes the chosen column (logged,
// and printed when console is set). A column outside the day, or a text whose six digit places
// are not all digits (07:3O:20), leaves the range empty.
static void ChoosePeriods(const tagSETTINGS& s, tagLOG* log, const char* path, bool console,
                          int* first, int* end) {
    if (!s.bPERIOD || s.szPeriod[0] == '\0') return;
    int column = s.iPeriodColumn;
    LogProgress(log, "Printing period [%s] column [%d] for [%s]\n", s.szPeriod, column, path);
    if (console) printf("Printing period [%s] column [%d] for [%s]\n", s.szPeriod, column, path);
    if (!s.bPeriodInDay) {
        LogError(log,
                 "Period [%s] column [%d] lies outside the day; the report holds its header "
                 "only!\n",
                 s.szPeriod, column);
        if (console)
            printf("     E Period [%s] column [%d] lies outside the day!\n", s.szPeriod, column);
        *first = *end = 0;
        return;
    }
    *first = column;
    *end = column + 1;
}

// Applies -D: the position of the chosen device, -1 when it is not in the table (warned), or -2
// when no device is chosen.
static int ChooseDevice(const tagDATAFILE& file, const tagSETTINGS& s, tagLOG* log) {
    if (!s.bDEVICE || s.szDevice[0] == '\0') return -2;
    int chosen = FirstNamed(file, s.szDevice);
    if (chosen >= 0) {
        LogProgress(log, "Processing device [%s]\n", s.szDevice);
        printf("Processing device [%s]\n", s.szDevice);
        return chosen;
    }
    LogWarning(log, "Device [%s] NOT found!\n", s.szDevice);
    printf("          W Device [%s] NOT found!\n", s.szDevice);
    return -1;
}

// Writes one report of the kind (of `minutes` bins for a summary) of the data file `name`.
// Returns 1 when published.
static int WriteReport(const tagREPORTKIND& kind, int minutes, const tagDATAFILE& file,
                       const char* name, const tagSETTINGS& s, tagLOG* log) {
    char path[PATH_SIZE];
    if (!BuildReportPath(path, kind, minutes, file, s, log)) return 0;
    char what[64];
    if (minutes && kind.szWhat)
        snprintf(what, sizeof what, "%d minute %s", minutes, kind.szWhat);
    else if (minutes)
        snprintf(what, sizeof what, "%d minute summary", minutes);
    else
        snprintf(what, sizeof what, "%s", kind.szWhat);
    LogProgress(log, "Writing %s to CSV file [%s]...\n", what, path);
    tagREPORTFILE report;
    if (!OpenReportFile(&report, path, s.iCompression, s.iCompressionLevel) ||
        (s.bParquet &&
         !StartParquetReport(&report, ParquetSchemaOf(kind), file.header.szDataStartTime, s))) {
        LogError(log, "Could not create CSV file [%s]! - %s.\n", path, strerror(errno));
        return 0;
    }
    tagREPORTJOB job = {file,
                        s,
                        kind,
                        &report,
                        log,
                        minutes,
                        0,
                        file.iColumns,
                        kind.bRowsFirst && s.bWRITEROWSFIRST,
                        -2,
                        nullptr,
                        name};
    if (kind.periods != PERIODS_NOT_CHOSEN)
        ChoosePeriods(s, log, path, kind.periods == PERIODS_SHOWN, &job.first, &job.end);
    job.chosen = kind.bDevice ? ChooseDevice(file, s, log) : -2;
    bool clean = kind.bStandardOnly || s.bClean;
    if (kind.szLegacyHeader) {
        const char* header = clean ? kind.szCleanHeader : kind.szLegacyHeader;
        ReportWrite(&report, header, strlen(header));
    }
    if (job.chosen == -1) return PublishReportFile(&report, log);
    static tagTIMETEXTS times;
    if (kind.Listed) {
        MakeTimeTexts(&times, file.header.szDataStartTime, job.first, job.end, kind.bTrailingBlank,
                      clean);
        job.times = &times;
    }
    kind.Body(job);
    return PublishReportFile(&report, log);
}

int WriteReports(const tagDATAFILE& file, const tagSETTINGS& s, const char* name, tagLOG* log) {
    static const tagREPORTKIND* const kinds[] = {
        &kElementReport, &kLaneReport,     &kTrapReport,  &kContentsReport,
        &kSummaryReport, &kCorridorReport, &kHealthReport};
    bool asked = s.iAggregates > 0;
    for (const tagREPORTKIND* kind : kinds) asked = asked || (kind->lpAsked && s.*kind->lpAsked);
    if (!asked) return 0;
    // A file without a real start date is no data file of ours (a text, random bytes, an empty
    // file, a damaged header): its reports would be named and dated by nothing, or by a date
    // that is none, and a '/' or a blank in it would put them into another folder.
    if (!StartDateIsCalendarDay(file.header)) {
        LogError(log, "No start date in data file [%s]; no reports written!\n", name);
        return 0;
    }
    int published = 0;
    for (const tagREPORTKIND* kind : kinds) {
        if (kind->lpAsked) {
            if (!(s.*kind->lpAsked)) continue;
            published += WriteReport(*kind, 0, file, name, s, log);
            if (log->bInterruptTold) return published;
        } else {
            if (kind->lpAggregateAsked && !(s.*kind->lpAggregateAsked)) continue;
            for (int a = 0; a < s.iAggregates; a++) {
                published += WriteReport(*kind, s.iAggregateMinutes[a], file, name, s, log);
                if (log->bInterruptTold) return published;
            }
        }
    }
    return published;
}

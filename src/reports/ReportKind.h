// What every report kind shares: its description (name, headers, listing rule, body), the job
// one report of a data file is, and the row loop of the reports of one row per device and period.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/RunLog.h"
#include "base/Signals.h"
#include "cli/Settings.h"
#include "datafile/Blocks.h"
#include "datafile/DeviceTable.h"
#include "output/CsvText.h"
#include "output/ParquetFile.h"
#include "output/ReportFile.h"

struct tagREPORTKIND;

// One report being written: the data, the settings, the open report and what the scaffold
// chose for it.
struct tagREPORTJOB {
    const tagDATAFILE& file;
    const tagSETTINGS& settings;
    const tagREPORTKIND& kind;
    tagREPORTFILE* report;
    tagLOG* log;
    int minutes;                // the summary's bin in minutes; 0 for the 20-second reports
    int first, end;             // the columns it shows, [first, end): the day's, or -P's one
    bool rowsFirst;             // device by device (-R, where the kind takes it)
    int chosen;                 // -D: the chosen device's position; -2 when none is chosen
    const tagTIMETEXTS* times;  // the collection times of the day's columns
    const char* name;           // the data file's name as messages show it
};

// The devices a report lists, a chunk at a time so that no report holds a list of a table of
// millions: the next ones in table order from *next on, at most `most`; *next moves past them.
void NextDevices(const tagREPORTJOB& job, int* next, size_t most, std::vector<int>* devices);

// A chunk of devices whose names and one period of values take a few megabytes. A network has
// far fewer devices: its reports are one chunk.
// A table of more is walked in chunks of CHUNK_STEP.
enum { CHUNK_DEVICES = 65536, CHUNK_STEP = 16384 };

// How -P applies to a kind: not at all, or narrowing its rows to one column, logged, and also
// said on the console.
enum PeriodChoice { PERIODS_NOT_CHOSEN, PERIODS_LOGGED, PERIODS_SHOWN };

struct tagREPORTKIND {
    const char* szKind;          // the name's word: KORVA20Sec_<kind>_<variant>_MMDDYYYY.csv
    int tagSETTINGS::*lpAsked;   // the report option that asks for it; null: one per --aggregate
    const char* szVariants;      // option letters naming a variant ("D_"), the first one set wins
    const char* szWhat;          // the log's "Writing <what> to CSV file [...]..."
    const char* szLegacyHeader;  // null: the body writes its own header
    const char* szCleanHeader;
    bool bStandardOnly;  // always standard CSV, whatever --clean says
    PeriodChoice periods;
    bool bDevice;         // -D chooses the device it lists
    bool bRowsFirst;      // -R writes it device by device
    bool bTrailingBlank;  // its legacy collection times end in a blank
    // The devices it lists (chosen: -D named this one); null when the body lists its own.
    bool (*Listed)(const tagDEVICE& device, bool chosen, const tagSETTINGS& settings);
    void (*Body)(const tagREPORTJOB& job);
    // A kind of one report per --aggregate width (lpAsked null) that this option asks for too;
    // null: the widths alone ask for it.
    int tagSETTINGS::*lpAggregateAsked = nullptr;
};

extern const tagREPORTKIND kElementReport, kLaneReport, kTrapReport, kContentsReport,
    kSummaryReport, kCorridorReport, kHealthReport;

// The kind of device a summary or health row names: "loop", "speed_loop" and "ramp_loop" (a loop
// by the 17th character of its name), "station" or "trap".
const char* DeviceKindName(const tagDEVICE& d);

// Writes ",roadway,side,milepost,location" of the cabinet of the device named `name` in the
// run's cabinet list (each a CSV field: the list's cleaned texts, the side trimmed); four empty
// fields without a list or for a device whose cabinet the list lacks. Returns the end.
char* PutCabinetFields(char* p, const tagSETTINGS& settings, const char* name);

// Loops and stations get element rows (speed lanes only with -S, unless chosen); the summaries
// list the same devices.
bool ElementListed(const tagDEVICE& d, bool chosen, const tagSETTINGS& settings);

// A block to be filled on another thread.
struct tagFILLJOB {
    const tagDATAFILE* lpFile;
    tagBLOCK* lpBlock;
    int iFirst, iCount;
};
void* FillAhead(void* job);

// Visits the rows of the job's devices over its columns: chunk(devices) when a chunk of devices
// begins, row(i, values, c) for the row of its device i in column c. Period first, the values of
// all the devices are made a block of periods at a time, the next block filled on a second
// thread while this one's rows are written (a table of more than a chunk of devices: chunk by
// chunk, a period at a time); device first (-R), each device's own, with the lanes a station
// needs, over the whole range. Stops at an interruption.
template <typename Chunk, typename Row>
void VisitRows(const tagREPORTJOB& job, Chunk chunk, Row row) {
    const tagDATAFILE& file = job.file;
    int first = job.first, end = job.end;
    if (first >= end) return;
    tagBLOCK block;
    std::vector<int> devices;
    int next = 0;
    if (job.rowsFirst) {
        for (NextDevices(job, &next, 1, &devices); !devices.empty() && !iInterrupt;
             NextDevices(job, &next, 1, &devices)) {
            chunk(devices);
            PlanBlock(file, devices, &block);
            int at = block.slots[0], periods = BlockPeriods(block);
            for (int from = first; from < end && !iInterrupt; from += periods) {
                int n = std::min(periods, end - from);
                FillBlock(file, &block, from, n);
                for (int c = from; c < from + n; c++) row(0, block.At(c, at), c);
            }
        }
        return;
    }
    NextDevices(job, &next, CHUNK_DEVICES + 1, &devices);
    if (devices.size() > CHUNK_DEVICES) {
        for (int c = first; c < end && !iInterrupt; c++) {
            for (next = 0, NextDevices(job, &next, CHUNK_STEP, &devices); !devices.empty();
                 NextDevices(job, &next, CHUNK_STEP, &devices)) {
                chunk(devices);
                PlanBlock(file, devices, &block);
                FillBlock(file, &block, c, 1);
                for (size_t i = 0; i < devices.size(); i++) row(i, block.At(c, block.slots[i]), c);
            }
        }
        return;
    }
    size_t count = devices.size();
    if (count == 0) return;
    chunk(devices);
    PlanBlock(file, devices, &block);
    tagBLOCK ahead = block;
    std::vector<int> at = block.slots;
    int periods = BlockPeriods(block);
    FillBlock(file, &block, first, std::min(periods, end - first));
    for (int from = first; from < end && !iInterrupt; from += periods) {
        int n = std::min(periods, end - from);
        tagFILLJOB fill = {&file, &ahead, from + n, std::min(periods, end - from - n)};
        pthread_t filler;  // inline when no thread can be had
        bool started = fill.iCount > 0 && pthread_create(&filler, nullptr, FillAhead, &fill) == 0;
        for (int c = from; c < from + n; c++)
            for (size_t i = 0; i < count; i++) row(i, block.At(c, at[i]), c);
        if (started)
            pthread_join(filler, nullptr);
        else if (fill.iCount > 0)
            FillAhead(&fill);
        std::swap(block, ahead);
    }
}

// Writes the rows of the job's devices over its columns as text (see VisitRows), emit(p, values,
// c) formatting one after the name.
template <typename Emit>
void WriteRows(const tagREPORTJOB& job, Emit emit) {
    const tagDATAFILE& file = job.file;
    // The names of a chunk, side by side: a row's name is then never a cache miss. In standard
    // CSV a name with a comma, a quote or a line break is quoted.
    struct Name {
        char text[2 * (NAME_SIZE + 1) + 8];
        size_t length;
    };
    std::vector<Name> names;
    bool clean = job.settings.bClean;
    auto nameChunk = [&](const std::vector<int>& devices) {
        names.resize(devices.size());
        for (size_t i = 0; i < devices.size(); i++) {
            tagNAME name = DeviceName(file, devices[i]);
            char* text = names[i].text;
            names[i].length =
                (size_t)((clean ? PutCsvField(text, name.text) : stpcpy(text, name.text)) - text);
        }
    };
    tagREPORTFILE* report = job.report;
    auto writeRow = [&](size_t i, const tagPERIODVALUES& values, int c) HOT_LAMBDA {
        char* p = ReportCursor(report);
        memcpy(p, names[i].text, sizeof names[i].text);
        ReportCommit(report, emit(p + names[i].length, values, c));
    };
    VisitRows(job, nameChunk, writeRow);
}

// Writes the rows of the job's devices (see VisitRows) into the report's Parquet writer, whose
// column 0 is the name: emit(rows, r, values, c) puts row r's other columns.
template <typename Emit>
void WriteParquetRows(const tagREPORTJOB& job, Emit emit) {
    tagPARQUETWRITER* writer = job.report->lpParquet;
    tagPARQUETROWS* rows = ParquetRows(writer);
    std::vector<uint32_t> names;
    auto nameChunk = [&](const std::vector<int>& devices) {
        ParquetEndGroupWhenTextsFull(writer);
        names.resize(devices.size());
        for (size_t i = 0; i < devices.size(); i++) {
            tagNAME name = DeviceName(job.file, devices[i]);
            names[i] = ParquetText(writer, name.text, strlen(name.text));
        }
    };
    auto putRow = [&](size_t i, const tagPERIODVALUES& values, int c) HOT_LAMBDA {
        size_t r = rows->used;
        rows->Of<uint32_t>(0)[r] = names[i];
        emit(*rows, r, values, c);
        ParquetRowDone(writer, rows);
    };
    VisitRows(job, nameChunk, putRow);
}

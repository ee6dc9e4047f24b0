// Shared builders for the tests: data files and list files from a few lines of description,
// temporary folders, the converter as a real subprocess, and a clean slate of globals.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Limits.h"
#include "base/RunLog.h"
#include "cli/Options.h"
#include "cli/Settings.h"
#include "datafile/Blocks.h"
#include "datafile/DataFile.h"

namespace korvatest {

// A fresh folder under /tmp, removed with everything in it at the end of the test.
struct TempDir {
    std::string path;  // ends in '/'
    TempDir();
    ~TempDir();
    std::string operator/(const std::string& name) const { return path + name; }
};

// A log in memory (a temporary file) and what was written to it so far.
struct MemoryLog : tagLOG {
    MemoryLog() { lpFile = tmpfile(); }
    ~MemoryLog() { fclose(lpFile); }
    std::string Text();
};

// The common fixture: a fixed time stamp, settings of no option, a log in memory, a scratch
// folder, and a data file loaded as the converter loads it.
class KorvaTest : public ::testing::Test {
protected:
    void SetUp() override { strcpy(szTime, "12:34:56"); }
    // Runs LoadDataFile over an exactly sized copy of bytes (so that the sanitizer catches any
    // read past the end), kept for as long as file is used; returns its result.
    int Load(const std::string& bytes, const char* name = "F.DAT") {
        buffer.assign(bytes.begin(), bytes.end());
        return LoadDataFile(buffer.data(), (int)buffer.size(), name, &file, &log);
    }
    tagSETTINGS settings;
    // The settings with these source and target folders (each ending in '/').
    tagSETTINGS& In(const std::string& source, const std::string& target) {
        snprintf(settings.szSourceFolder, sizeof settings.szSourceFolder, "%s", source.c_str());
        snprintf(settings.szTargetFolder, sizeof settings.szTargetFolder, "%s", target.c_str());
        return settings;
    }
    MemoryLog log;
    TempDir dir;
    std::vector<char> buffer;
    tagDATAFILE file;
};

// Parses the command line "korva2csv <args>" into fresh settings, its console lines captured;
// returns what ProcessCommandLine returns.
int ParseCommandLine(std::vector<std::string> args, tagSETTINGS* settings);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::vector<std::string> ListDir(const std::string& folder);  // sorted, without . and ..
int Count(const std::string& text, const std::string& piece);
inline bool Has(const std::string& text, const std::string& piece) {
    return Count(text, piece);
}
std::vector<std::string> Lines(const std::string& text);  // without their line feeds
// The rows of a CSV text after its header, each split at its commas.
std::vector<std::vector<std::string>> Rows(const std::string& text);
// 64-bit FNV-1a taken a little-endian word at a time: short, and fast over 60 MB of reports. The
// digests pin reports byte for byte; a failing check prints the new one (<< std::hex).
uint64_t Digest(const std::string& bytes, uint64_t h = 0xcbf29ce484222325);

// Packed entries, as the field systems write them.
std::string LoopEntry(int incident, int lanes, int scan, int flag, int volume);
std::string StationEntry(int incident, int lanes, int scan, int flag, int volume);
// Speed and length in tenths (10 bits each), the four bins, the flag byte and flag2's high
// nibble (its top bit also tells that the trap delivered).
std::string TrapEntry(int speed, int length, int bin1, int bin2, int bin3, int bin4, int flag,
                      int flag2);
// Repeats entry(c) for c in [0, columns), or one entry.
std::string Block(int columns, const std::function<std::string(int)>& entry);
std::string Block(int columns, const std::string& entry);

// One device of a built data file: its packed entries back to back, placed after the name
// table unless an offset is given (then the block is not written).
struct DeviceLayout {
    std::string name;
    uint16_t type = DEVICE_LOOP;
    std::string block;
    int64_t offset = -1;
};
struct DataFileLayout {
    int columns = 3;
    std::vector<DeviceLayout> devices;
    std::string start = "05/01/2021 00:00:00";  // the "Data Start" value
    int names = -1;  // the "Number of Names" the header claims, when not the devices'
};
// The whole file: a 1024-byte header, the name table, the blocks.
std::string BuildDataFile(const DataFileLayout& layout);

// The values of every device of a loaded file over its columns, made as the reports make them:
// one block of all the devices; At takes a device's position.
struct tagDAYVALUES {
    tagBLOCK block;
    const tagPERIODVALUES& At(int column, int position) const {
        return block.At(column, block.slots[(size_t)position]);
    }
};
tagDAYVALUES Values(const tagDATAFILE& file);

// Runs body in a child process; returns its exit status, or 128 + the signal that ended it, and
// its peak resident memory in KiB in *peak (which counts what the child shared of this process).
int InChild(const std::function<int()>& body, long* peak = nullptr);

// Runs the converter executable in folder cwd with args; collects status, stdout, stderr and its
// peak resident memory. With
// a memoryLimit, allocations past it fail: by the address space, or the sanitizer's own limit.
struct RunResult {
    int status;
    std::string out, err;
    long peakKiB;  // peak resident memory
};
RunResult RunKorva(const std::vector<std::string>& args, const std::string& cwd,
                   long memoryLimit = 0);

// Runs body in a child process whose files cannot grow past limit bytes, with SIGXFSZ at its
// default (which kills a process writing past it unless it has set the signal aside); returns
// body's result.
int WithFileSizeLimit(long limit, const std::function<int()>& body);

// A fixed-column cabinet line from its 13 fields, name to status (each padded or cut to its
// column's width; fields left out stay blank), the columns between them filled with '9'.
std::string CabinetLine(const std::vector<std::string>& fields);

}  // namespace korvatest

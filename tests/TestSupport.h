// Shared builders for the tests: data files and list files from a few lines of description,
// temporary folders, the converter as a real subprocess, and a clean slate of globals.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Common.h"

namespace korvatest {

// Clears every option, folder, header value, the device table and the list state.
void ResetGlobals();

// A fresh folder under /tmp, removed with everything in it at the end of the test.
struct TempDir {
    std::string path;  // ends in '/'
    TempDir();
    ~TempDir();
    std::string operator/(const std::string& name) const { return path + name; }
};

// A log stream in memory (a temporary file) and what was written to it so far.
struct MemoryLog {
    FILE* file = tmpfile();
    ~MemoryLog() { fclose(file); }
    std::string Text();
};

// The common fixture: globals cleared before and after, a log in memory, a scratch folder.
class KorvaTest : public ::testing::Test {
protected:
    void SetUp() override { ResetGlobals(); }
    void TearDown() override { ResetGlobals(); }
    MemoryLog log;
    TempDir dir;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::vector<std::string> ListDir(const std::string& folder);  // sorted, without . and ..
// Time stamps, dates and processor seconds replaced by fixed marks ([T], 20YY.MM.DD.,
// CSVLogYY-MM-DD, [+ S], in [S] seconds), so that logs and consoles compare byte for byte.
std::string Masked(std::string text);
int Count(const std::string& text, const std::string& piece);
inline bool Has(const std::string& text, const std::string& piece) {
    return Count(text, piece);
}
std::vector<std::string> Lines(const std::string& text);  // without their line feeds

// A packed loop entry, as the field systems write it.
std::string LoopEntry(int incident, int lanes, int scan, int flag, int volume);
// Repeats entry(c) for c in [0, columns).
std::string Block(int columns, const std::function<std::string(int)>& entry);

// One device of a built data file: its packed entries back to back, placed after the name
// table unless an offset is given.
struct DeviceSpec {
    std::string name;
    uint16_t type = DEVICE_LOOP;
    std::string block;
    int64_t offset = -1;
};
struct DataFileSpec {
    std::string start = "05/01/2021 00:00:00";  // the "Data Start" value
    int columns = 3;
    std::vector<DeviceSpec> devices;
};
// The whole file: a 1024-byte header, the name table, the blocks.
std::string BuildDataFile(const DataFileSpec& layout);

// A device table of the named devices, in this order, installed as lpDeviceData20Sec for a
// file of `columns` periods that starts at 05/01/2021 00:00:00.
tagDEVICEDATA20SEC* MakeTable(int columns,
                              const std::vector<std::pair<std::string, uint16_t>>& devices);

// Runs the converter executable in folder cwd with args; collects status, stdout, stderr. With
// a memoryLimit, allocations past it fail: by the address space, or the sanitizer's own limit.
struct RunResult {
    int status;
    std::string out, err;
};
RunResult RunKorva(const std::vector<std::string>& args, const std::string& cwd,
                   long memoryLimit = 0);

// Runs body in a child process whose files cannot grow past limit bytes (a write past it fails
// with EFBIG); returns body's result.
int WithFileSizeLimit(long limit, const std::function<int()>& body);

// A fixed-column cabinet line from its 13 fields, name to status (each padded or cut to its
// column's width; fields left out stay blank).
std::string CabinetLine(const std::vector<std::string>& fields);

}  // namespace korvatest

// Shared builders for the tests: data files and list files from a few lines of description,
// temporary folders, the converter as a real subprocess, and a clean slate of globals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
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

std::string ReadFile(const std::string& path);
// Time stamps, dates and processor seconds replaced by fixed marks ([T], 20YY.MM.DD.,
// CSVLogYY-MM-DD, [+ S], in [S] seconds), so that logs and consoles compare byte for byte.
std::string Masked(std::string text);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// Names in a folder, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& folder);

// Packed entries, as the field systems write them.
std::string LoopEntry(int incident, int lanes, int scan, int flag, int volume);
std::string StationEntry(int incident, int lanes, int scan, int flag, int volume);
std::string TrapEntry(int spdFlag, int flag2, int speed, int length, int bin1, int bin2, int bin3,
                      int bin4);  // flag2: the byte's high nibble as a value 0, 16, ... 240

// One device of a built data file. The block is the device's packed entries back to back;
// when offset is negative the builder places it after the name table.
struct DeviceSpec {
    std::string name;
    uint16_t type = DEVICE_LOOP;
    std::string block;
    int64_t offset = -1;
    uint16_t aux = 0;
};
// Repeats entry(c) for c in [0, columns).
std::string Block(int columns, const std::function<std::string(int)>& entry);

struct DataFileSpec {
    std::string start = "05/01/2021 00:00:00";  // the "Data Start" value
    int columns = 3;
    std::vector<DeviceSpec> devices;
    int names = -1;          // "Number of Names"; -1: the number of devices
    int nameListSize = -1;   // -1: 27 x devices
};
// The whole file: header, name table, blocks.
std::string BuildDataFile(const DataFileSpec& spec);

// A log stream in memory (a temporary file) and what was written to it so far.
struct MemoryLog {
    FILE* file;
    MemoryLog();
    ~MemoryLog();
    std::string Text();
};

// A device table of n zeroed records, installed as lpDeviceData20Sec.
tagDEVICEDATA20SEC* MakeTable(int n, int columns = PERIODS_PER_DAY);
void Name(tagDEVICEDATA20SEC& device, const char* name, uint16_t type);

// Runs the converter executable in folder cwd with args; collects status, stdout, stderr.
struct RunResult {
    int status;
    std::string out;
    std::string err;
};
RunResult RunKorva(const std::vector<std::string>& args, const std::string& cwd);

// A text of a fixed-column cabinet line from its fields (each padded or cut to its width).
std::string CabinetLine(const std::string& name, const std::string& alias,
                        const std::string& address, const std::string& roadway, char side,
                        const std::string& milepost, const std::string& location,
                        const std::string& version, const std::string& loops,
                        const std::string& stations, const std::string& traps,
                        const std::string& meters, const std::string& status);

}  // namespace korvatest

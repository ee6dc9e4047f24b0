#include "TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "Process20SecondDataFile.h"

namespace korvatest {

void ResetGlobals() {
    bWRITEELEMENTS = bWRITELANES = bWRITETRAPS = bLISTALLELEMENTS = bCONVERTMETA = 0;
    bINCLUDESPEEDLANES = bINCLUDEMETERS = bWRITEROWSFIRST = bPERIOD = bDEVICE = 0;
    memset(szPeriod, 0, sizeof szPeriod);
    memset(szDevice, 0, sizeof szDevice);
    memset(szSourceFolder, 0, sizeof szSourceFolder);
    memset(szTargetFolder, 0, sizeof szTargetFolder);
    memset(szLogFolder, 0, sizeof szLogFolder);
    memset(szCmdLine, 0, sizeof szCmdLine);
    ReadDataHeader("", 0, nullptr);
    ReleaseDeviceTable();
    memset(szMetadataDate, 0, sizeof szMetadataDate);
    iCabinetMetaData = 0;
    strcpy(szTime, "12:34:56");
}

TempDir::TempDir() {
    char pattern[] = "/tmp/korva-test-XXXXXX";
    path = std::string(mkdtemp(pattern)) + "/";
}
TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Masked(std::string text) {
    for (auto [pattern, mark] : {std::pair{R"(\[\d\d:\d\d:\d\d\])", "[T]"},
                                 {R"(20\d\d\.\d\d\.\d\d\.)", "20YY.MM.DD."},
                                 {R"(CSVLog\d\d-\d\d-\d\d)", "CSVLogYY-MM-DD"},
                                 {R"(\[\+ \d+\.\d\])", "[+ S]"},
                                 {R"(in \[\d+\.\d\] seconds)", "in [S] seconds"}})
        text = std::regex_replace(text, std::regex(pattern), mark);
    return text;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> ListDir(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

static std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values) bytes.push_back((char)(unsigned char)v);
    return bytes;
}

std::string LoopEntry(int incident, int lanes, int scan, int flag, int volume) {
    return Bytes({incident << 6 | lanes << 3 | (scan >> 8 & 7), scan & 0xff, flag << 5 | volume});
}

std::string StationEntry(int incident, int lanes, int scan, int flag, int volume) {
    return Bytes({incident << 6 | lanes << 3 | (scan >> 8 & 7), scan & 0xff, flag << 7 | volume});
}

std::string TrapEntry(int spdFlag, int flag2, int speed, int length, int bin1, int bin2, int bin3,
                      int bin4) {
    return Bytes({spdFlag, (flag2 & 0xf0) | (length >> 8 & 3) << 2 | (speed >> 8 & 3), speed & 0xff,
                  length & 0xff, bin4 << 5 | bin1, bin2 << 4 | bin3});
}

std::string Block(int columns, const std::function<std::string(int)>& entry) {
    std::string block;
    for (int c = 0; c < columns; c++) block += entry(c);
    return block;
}

std::string BuildDataFile(const DataFileSpec& spec) {
    int count = (int)spec.devices.size();
    int names = spec.names >= 0 ? spec.names : count;
    int listSize = spec.nameListSize >= 0 ? spec.nameListSize : 27 * count;
    const int headerSize = 1024;
    std::ostringstream header;
    header << "KORVA TMS Twenty Second Data File\n"
           << "NG.2 Format\n"
           << "DB Mode = FIXED\n"
           << "Data Start = " << spec.start << "\n"
           << "Version = 2\n"
           << "Number of Names = " << names << "\n"
           << "Number of Columns = " << spec.columns << "\n"
           << "Header Size = " << headerSize << "\n"
           << "Name List Size = " << listSize << "\n"
           << "The remainder of this file is binary data\n";
    std::string file = header.str();
    file.resize(headerSize, '\0');
    int64_t next = headerSize + 27 * (int64_t)count;
    std::string table, data;
    for (const DeviceSpec& d : spec.devices) {
        int64_t offset = d.offset >= 0 ? d.offset : next;
        if (d.offset < 0) {
            data += d.block;
            next += (int64_t)d.block.size();
        }
        std::string entry(27, '\0');
        memcpy(&entry[0], d.name.data(), std::min<size_t>(d.name.size(), 19));
        entry[19] = (char)(d.type & 0xff);
        entry[20] = (char)(d.type >> 8);
        entry[21] = (char)(d.aux & 0xff);
        entry[22] = (char)(d.aux >> 8);
        for (int i = 0; i < 4; i++) entry[23 + i] = (char)((uint64_t)offset >> (8 * i) & 0xff);
        table += entry;
    }
    return file + table + data;
}

MemoryLog::MemoryLog() : file(tmpfile()) {}
MemoryLog::~MemoryLog() { fclose(file); }
std::string MemoryLog::Text() {
    fflush(file);
    long size = ftell(file);
    std::string text((size_t)size, '\0');
    rewind(file);
    size_t got = fread(&text[0], 1, (size_t)size, file);
    text.resize(got);
    fseek(file, 0, SEEK_END);
    return text;
}

tagDEVICEDATA20SEC* MakeTable(int n, int columns) {
    AllocateDeviceTable(n > 0 ? (size_t)n : 0);
    iNumberofNames = n;
    iNumberofColumns = columns;
    return lpDeviceData20Sec;
}

void Name(tagDEVICEDATA20SEC& device, const char* name, uint16_t type) {
    memset(device.szName, 0, sizeof device.szName);
    strncpy(device.szName, name, 19);
    device.usType = type;
}

RunResult RunKorva(const std::vector<std::string>& args, const std::string& cwd) {
    TempDir capture;
    std::string out = capture / "stdout", err = capture / "stderr";
    pid_t child = fork();
    if (child == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        freopen(out.c_str(), "w", stdout);
        freopen(err.c_str(), "w", stderr);
        std::vector<char*> argv;
        argv.push_back((char*)KORVA2CSV_BIN);
        for (const std::string& a : args) argv.push_back((char*)a.c_str());
        argv.push_back(nullptr);
        execv(KORVA2CSV_BIN, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(out),
            ReadFile(err)};
}

static std::string Column(const std::string& text, size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, ' ');
    return field;
}

std::string CabinetLine(const std::string& name, const std::string& alias,
                        const std::string& address, const std::string& roadway, char side,
                        const std::string& milepost, const std::string& location,
                        const std::string& version, const std::string& loops,
                        const std::string& stations, const std::string& traps,
                        const std::string& meters, const std::string& status) {
    return Column(name, 10) + " " + Column(alias, 7) + " " + "1234567" + " " +
           Column(address, 4) + " " + Column(roadway, 11) + " " + std::string(1, side) + " " +
           Column(milepost, 6) + "  " + Column(location, 16) + " " + Column(version, 3) + " " +
           Column(loops, 3) + " " + Column(stations, 2) + " " + Column(traps, 2) + " " +
           Column(meters, 2) + " " + Column(status, 9);
}

}  // namespace korvatest

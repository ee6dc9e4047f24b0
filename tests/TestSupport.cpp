#include "TestSupport.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "output/ReportFile.h"

namespace korvatest {

// The reports the tests write get the permissions the umask gives, as the converter's do: the
// mask is read once, before any test runs (and so before any thread).
struct UmaskReader : ::testing::Environment {
    void SetUp() override { ReadUmask(); }
};
static ::testing::Environment* const umaskReader =
    ::testing::AddGlobalTestEnvironment(new UmaskReader);

TempDir::TempDir() {
    char pattern[] = "/tmp/korva-test-XXXXXX";
    path = std::string(mkdtemp(pattern)) + "/";
}
TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string MemoryLog::Text() {
    fflush(lpFile);
    std::string text((size_t)ftell(lpFile), '\0');
    rewind(lpFile);
    text.resize(fread(&text[0], 1, text.size(), lpFile));
    fseek(lpFile, 0, SEEK_END);
    return text;
}

int ParseCommandLine(std::vector<std::string> args, tagSETTINGS* settings) {
    std::vector<char*> argv{(char*)"korva2csv"};
    for (std::string& arg : args) argv.push_back(arg.data());
    *settings = tagSETTINGS{};
    testing::internal::CaptureStdout();
    int result = ProcessCommandLine((int)argv.size(), argv.data(), settings);
    testing::internal::GetCapturedStdout();
    return result;
}

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> ListDir(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

int Count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) n++;
    return n;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t from = 0, to; (to = text.find('\n', from)) != std::string::npos; from = to + 1)
        lines.push_back(text.substr(from, to - from));
    return lines;
}

std::vector<std::vector<std::string>> Rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : Lines(text)) {
        rows.emplace_back(1);
        for (char ch : line) ch == ',' ? rows.back().emplace_back() : rows.back().back() += ch;
    }
    if (!rows.empty()) rows.erase(rows.begin());
    return rows;
}

uint64_t Digest(const std::string& bytes, uint64_t h) {
    size_t i = 0;
    for (uint64_t word; i + 8 <= bytes.size(); i += 8)
        memcpy(&word, &bytes[i], 8), h = (h ^ word) * 0x100000001b3;
    for (; i < bytes.size(); i++) h = (h ^ (unsigned char)bytes[i]) * 0x100000001b3;
    return h;
}

std::string LoopEntry(int incident, int lanes, int scan, int flag, int volume) {
    return {(char)(incident << 6 | lanes << 3 | (scan >> 8 & 7)), (char)(scan & 0xff),
            (char)(flag << 5 | volume)};
}

std::string StationEntry(int incident, int lanes, int scan, int flag, int volume) {
    return LoopEntry(incident, lanes, scan, 0, flag << 7 | volume);  // the flag in the top bit
}

std::string TrapEntry(int speed, int length, int bin1, int bin2, int bin3, int bin4, int flag,
                      int flag2) {
    int bytes[] = {flag,
                   flag2 | (length >> 8 & 3) << 2 | (speed >> 8 & 3),
                   speed,
                   length,
                   bin4 << 5 | bin1,
                   bin2 << 4 | bin3};
    return std::string(std::begin(bytes), std::end(bytes));  // each cut to its low byte
}

std::string Block(int columns, const std::function<std::string(int)>& entry) {
    std::string block;
    for (int c = 0; c < columns; c++) block += entry(c);
    return block;
}

std::string Block(int columns, const std::string& entry) {
    return Block(columns, [&entry](int) { return entry; });
}

std::string BuildDataFile(const DataFileLayout& layout) {
    int count = (int)layout.devices.size();
    std::ostringstream header;
    header << "KORVA TMS Twenty Second Data File\nNG.2 Format\nDB Mode = FIXED\n"
           << "Data Start = " << layout.start << "\nVersion = 2\n"
           << "Number of Names = " << (layout.names >= 0 ? layout.names : count) << "\n"
           << "Number of Columns = " << layout.columns << "\nHeader Size = 1024\n"
           << "Name List Size = " << 27 * count << "\n"
           << "The remainder of this file is binary data\n";
    std::string file = header.str(), data;
    file.resize(1024, '\0');
    int64_t next = 1024 + 27 * (int64_t)count;
    for (const DeviceLayout& d : layout.devices) {
        uint64_t offset = d.offset >= 0 ? d.offset : next;
        if (d.offset < 0) data += d.block, next += (int64_t)d.block.size();
        std::string entry(27, '\0');
        memcpy(&entry[0], d.name.data(), std::min<size_t>(d.name.size(), 19));
        entry[19] = (char)(d.type & 0xff);
        entry[20] = (char)(d.type >> 8);
        for (int i = 0; i < 4; i++) entry[23 + i] = (char)(offset >> (8 * i) & 0xff);
        file += entry;
    }
    return file + data;
}

tagDAYVALUES Values(const tagDATAFILE& file) {
    std::vector<int> all(file.devices.size());
    for (size_t i = 0; i < all.size(); i++) all[i] = (int)i;
    tagDAYVALUES values;
    PlanBlock(file, all, &values.block);
    FillBlock(file, &values.block, 0, file.iColumns);
    return values;
}

int InChild(const std::function<int()>& body, long* peak) {
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    struct rusage usage = {};
    wait4(child, &status, 0, &usage);
    if (peak) *peak = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult RunKorva(const std::vector<std::string>& args, const std::string& cwd, long memoryLimit) {
    TempDir capture;
    std::string out = capture / "stdout", err = capture / "stderr";
    long peak = 0;
    int status = InChild(
        [&] {
#if defined(__SANITIZE_ADDRESS__)
            std::string options = "allocator_may_return_null=1:max_allocation_size_mb=" +
                                  std::to_string(memoryLimit >> 20);
            if (memoryLimit) setenv("ASAN_OPTIONS", options.c_str(), 1);
#else
            struct rlimit limit = {(rlim_t)memoryLimit, (rlim_t)memoryLimit};
            if (memoryLimit) setrlimit(RLIMIT_AS, &limit);
#endif
            if (chdir(cwd.c_str()) != 0 || !freopen(out.c_str(), "w", stdout) ||
                !freopen(err.c_str(), "w", stderr))
                return 127;
            std::vector<char*> argv{(char*)KORVA2CSV_BIN};
            for (const std::string& a : args) argv.push_back((char*)a.c_str());
            argv.push_back(nullptr);
            execv(KORVA2CSV_BIN, argv.data());
            return 127;
        },
        &peak);
    return {status, ReadFile(out), ReadFile(err), peak};
}

int WithFileSizeLimit(long limit, const std::function<int()>& body) {
    return InChild([&] {
        // At its default the signal kills a writer past the limit: a converter run must set it
        // aside itself, so that the write fails instead.
        signal(SIGXFSZ, SIG_DFL);
        struct rlimit size = {(rlim_t)limit, (rlim_t)limit};
        setrlimit(RLIMIT_FSIZE, &size);
        int result = body();
        fflush(nullptr);  // the logs the body wrote, MemoryLogs included
        return result;
    });
}

std::string CabinetLine(const std::vector<std::string>& fields) {
    static const int column[13] = {0, 11, 27, 32, 44, 46, 54, 71, 75, 79, 82, 85, 88};
    static const int width[13] = {10, 7, 4, 11, 1, 6, 16, 3, 3, 2, 2, 2, 9};
    std::string line(97, '9');  // the columns between the fields are never read
    for (size_t i = 0; i < 13; i++) {
        line.replace(column[i], width[i], width[i], ' ');
        if (i < fields.size()) fields[i].copy(&line[column[i]], width[i]);
    }
    return line;
}

}  // namespace korvatest

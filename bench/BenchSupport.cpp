// BenchSupport: cached days, temporary folders, measured child processes, summary.
#include "BenchSupport.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace korvabench {

namespace fs = std::filesystem;

[[noreturn]] static void Fail(const std::string& what) {
    fprintf(stderr, "bench: %s\n", what.c_str());
    exit(1);
}

// ---- Days -----------------------------------------------------------------------------------

// Size and modification time of a day's generator: a cached day made by another build or
// version of it is made again.
static std::string GeneratorStamp(const char* generator) {
    struct stat info;
    if (stat(generator, &info) != 0) Fail(std::string("no generator at ") + generator);
    return std::to_string((long long)info.st_size) + " " +
           std::to_string((long long)info.st_mtim.tv_sec) + "." +
           std::to_string((long long)info.st_mtim.tv_nsec) + "\n";
}

static std::string ReadText(const std::string& path) {
    std::vector<char> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return "";
    char chunk[256];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    fclose(file);
    return std::string(bytes.begin(), bytes.end());
}

static std::string FindDataFile(const std::string& folder) {
    std::vector<std::string> days = FilesEndingIn(folder, ".DAT");
    return days.size() == 1 ? days[0] : "";
}

std::string tagDAY::Name() const {
    return (bRealistic ? "real" : "") + std::to_string(iDevices);
}

std::string tagDAY::Path() const {
    const char* generator = KORVA_SAMPLE_BIN;
    const std::string folder = std::string(KORVA_BENCH_CACHE) + "/day-" + Name() + "/";
    const std::string stamp = GeneratorStamp(generator);
    std::string day = FindDataFile(folder);
    if (!day.empty() && ReadText(folder + "STAMP") == stamp) return day;

    // Generated beside the cache entry and renamed into place whole, so that an interrupted
    // run never leaves a partial day behind.
    std::error_code ignored;
    const std::string building = folder.substr(0, folder.size() - 1) + ".building/";
    fs::remove_all(building, ignored);
    fs::create_directories(building, ignored);
    fprintf(stderr, "bench: generating the day %s into %s\n", Name().c_str(), folder.c_str());
    const std::string devices = std::to_string(iDevices);
    std::vector<std::string> args{generator, "-n", devices, "-p", "4320", "-d", "1", "-s", "1"};
    if (bRealistic) args.push_back("--realistic");
    args.push_back(building);
    tagCHILDRUN run = RunChild(args);
    if (run.iStatus != 0) Fail(std::string(generator) + " failed for the day " + Name());
    FILE* file = fopen((building + "STAMP").c_str(), "wb");
    if (!file || fputs(stamp.c_str(), file) < 0 || fclose(file) != 0)
        Fail("cannot stamp " + building);
    fs::remove_all(folder, ignored);
    fs::rename(building.substr(0, building.size() - 1), folder.substr(0, folder.size() - 1));
    day = FindDataFile(folder);
    if (day.empty()) Fail("no data file in " + folder);
    return day;
}

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/') + 1);
}

// ---- Files and folders ----------------------------------------------------------------------

std::vector<char> LoadFile(const std::string& path) {
    long long size = FileBytes(path);
    FILE* file = fopen(path.c_str(), "rb");
    if (!file || size < 0) Fail("cannot open " + path);
    std::vector<char> bytes((size_t)size);
    size_t got = fread(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    if (got != bytes.size()) Fail("cannot read " + path);
    return bytes;
}

long long FileBytes(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (long long)info.st_size : -1;
}

long long CountLines(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::vector<char> chunk(1 << 20);
    long long lines = 0;
    ssize_t got;
    while ((got = read(fd, chunk.data(), chunk.size())) > 0)
        lines += std::count(chunk.data(), chunk.data() + got, '\n');
    close(fd);
    return lines;
}

std::vector<std::string> FilesEndingIn(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> paths;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string MakeTempDir() {
    char pattern[] = "/tmp/korva-bench-XXXXXX";
    if (!mkdtemp(pattern)) Fail("cannot create a folder under /tmp");
    return std::string(pattern) + "/";
}

void RemoveTree(const std::string& folder) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// ---- Child processes ------------------------------------------------------------------------

static tagCHILDRUN RunChildHere(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) Fail("fork failed");
    if (pid == 0) {
        // A forked child starts with this process's peak memory as its own, and exec keeps it
        // in the child's record: reset the mark to what is resident now (this process is kept
        // small while such runs are measured).
        int marks = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
        if (marks >= 0) {
            ssize_t ignored = write(marks, "5", 1);
            (void)ignored;
            close(marks);
        }
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) Fail("wait4 failed");
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto cpu = [](const timeval& t) { return (double)t.tv_sec + (double)t.tv_usec * 1e-6; };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds,
            cpu(usage.ru_utime) + cpu(usage.ru_stime), (long long)usage.ru_maxrss * 1024};
}

// The launcher's pipes: requests go out on launcherRequest, results come back on launcherReply.
static int launcherRequest = -1, launcherReply = -1;

static bool ReadAll(int fd, void* data, size_t length) {
    for (size_t done = 0; done < length;) {
        ssize_t got = read(fd, (char*)data + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += (size_t)got;
    }
    return true;
}

static bool WriteAll(int fd, const void* data, size_t length) {
    for (size_t done = 0; done < length;) {
        ssize_t put = write(fd, (const char*)data + done, length - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += (size_t)put;
    }
    return true;
}

// A request is the number of arguments, then each argument's length and bytes.
static bool ReadRequest(int fd, std::vector<std::string>* args) {
    uint32_t count = 0;
    if (!ReadAll(fd, &count, sizeof count)) return false;
    args->assign(count, std::string());
    for (std::string& arg : *args) {
        uint32_t length = 0;
        if (!ReadAll(fd, &length, sizeof length)) return false;
        arg.resize(length);
        if (length > 0 && !ReadAll(fd, arg.data(), length)) return false;
    }
    return true;
}

void StartLauncher() {
    if (launcherRequest >= 0) return;
    int requests[2], replies[2];
    if (pipe2(requests, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0)
        Fail("cannot make the launcher's pipes");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) Fail("fork failed");
    if (pid == 0) {
        close(requests[1]);
        close(replies[0]);
        std::vector<std::string> args;
        while (ReadRequest(requests[0], &args)) {
            tagCHILDRUN run = RunChildHere(args);
            if (!WriteAll(replies[1], &run, sizeof run)) break;
        }
        _exit(0);  // the benchmark process closed its end, or went away
    }
    close(requests[0]);
    close(replies[1]);
    launcherRequest = requests[1];
    launcherReply = replies[0];
}

tagCHILDRUN RunChild(const std::vector<std::string>& args) {
    if (launcherRequest < 0) return RunChildHere(args);
    std::string request;
    auto put = [&request](uint32_t value) { request.append((const char*)&value, sizeof value); };
    put((uint32_t)args.size());
    for (const std::string& arg : args) {
        put((uint32_t)arg.size());
        request += arg;
    }
    tagCHILDRUN run;
    if (!WriteAll(launcherRequest, request.data(), request.size()) ||
        !ReadAll(launcherReply, &run, sizeof run))
        Fail("the launcher of child processes went away");
    return run;
}

long long ResidentBytes() {
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(statm);
    }
    return (long long)resident * sysconf(_SC_PAGESIZE);
}

std::vector<std::string> ConverterArgs(const std::vector<std::string>& options,
                                       const std::string& input, const std::string& output) {
    std::vector<std::string> args{KORVA2CSV_BIN};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-I" + input, "-O" + output, "-F" + output});
    return args;
}

// ---- Results --------------------------------------------------------------------------------

static std::string NameOf(const benchmark::BenchmarkReporter::Run& run) {
    return run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
}

void Results::ReportRuns(const std::vector<Run>& runs) {
    std::vector<Run> shown;
    for (const Run& run : runs) {
        if (run.error_occurred)
            errors_[NameOf(run)] = run.error_message;
        else if (run.run_type == Run::RT_Iteration)
            runs_[NameOf(run)].push_back(run);
        if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1 || run.error_occurred)
            shown.push_back(run);
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
}

std::vector<double> Results::Seconds(const std::string& name) const {
    std::vector<double> seconds;
    auto found = runs_.find(name);
    if (found == runs_.end()) return seconds;
    for (const Run& run : found->second)
        seconds.push_back(run.GetAdjustedRealTime() /
                          benchmark::GetTimeUnitMultiplier(run.time_unit));
    return seconds;
}

std::vector<double> Results::Counter(const std::string& name, const std::string& counter) const {
    std::vector<double> values;
    auto found = runs_.find(name);
    if (found == runs_.end()) return values;
    for (const Run& run : found->second) {
        auto value = run.counters.find(counter);
        if (value != run.counters.end()) values.push_back(value->second.value);
    }
    return values;
}

std::string Results::Error(const std::string& name) const {
    auto found = errors_.find(name);
    return found == errors_.end() ? "not run" : found->second;
}

double Median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string Describe(const std::vector<double>& seconds) {
    if (seconds.empty()) return "-";
    char text[96];
    auto [low, high] = std::minmax_element(seconds.begin(), seconds.end());
    snprintf(text, sizeof text, "%.3f s [%.3f-%.3f]", Median(seconds), *low, *high);
    return text;
}

int RunBenchmarkMain(int argc, char** argv, bool interleave, void (*summary)(const Results&)) {
    // Every large block is mapped afresh and returned on release, as in a converter process
    // that takes its first file: otherwise the allocator keeps a freed file buffer resident
    // and the next "read" finds its pages already there.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // The flag goes first, so that one given on the command line overrides it.
    static char interleaving[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> args(argv, argv + argc);
    if (interleave) args.insert(args.begin() + 1, interleaving);
    int count = (int)args.size();
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    Results results(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                          : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&results);
    summary(results);
    benchmark::Shutdown();
    return 0;
}

}  // namespace korvabench

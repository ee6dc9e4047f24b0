// pipeline_bench: a data file's steps before its reports (LoadDataFile) over sample days of
// 2,000, 8,000 and 20,000 devices and a realistic day, and whole converter runs as child
// processes: their wall time, their peak resident memory and how their time grows with the
// number of devices.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "datafile/Blocks.h"
#include "datafile/DataFile.h"
#include "datafile/Links.h"

using namespace korvabench;

namespace {

const tagDAY kDays[] = {SampleDay(2000), SampleDay(8000), SampleDay(20000), RealisticDay(2000)};
const tagDAY kSmall = SampleDay(2000), kLarge = SampleDay(20000);
const double kMiB = 1024.0 * 1024.0;

// Everything the runs write lands here; removed at the end.
std::string outputRoot;

// The steps log into a temporary file that nobody reads.
tagLOG* Log() {
    static tagLOG log{tmpfile()};
    return &log;
}

// The days in memory, each read once.
std::map<std::string, std::vector<char>> loadedDays;
const std::vector<char>& Bytes(const tagDAY& day) {
    std::vector<char>& bytes = loadedDays[day.Name()];
    if (bytes.empty()) bytes = LoadFile(day.Path());
    return bytes;
}

// A data file of 60,000 speed traps with distinct 18-character names ('T' at 16), all pointing
// at one data block of a day of six-byte entries, alone in a folder. Made once.
const std::string& TrapNamesDay() {
    static std::string path;
    if (!path.empty()) return path;
    const int count = 60000;
    char header[1024] = {};
    snprintf(header, sizeof header,
             "KORVA TMS Twenty Second Data File\nNG.2 Format\n"
             "Data Start = 05/01/2021 00:00:00\nNumber of Names = %d\n"
             "Number of Columns = 4320\nHeader Size = 1024\nName List Size = %d\n"
             "The remainder of this file is binary data\n",
             count, 27 * count);
    std::string bytes(header, sizeof header);
    const uint32_t block = 1024 + 27 * count;
    for (int i = 0; i < count; i++) {
        char entry[27] = {};
        snprintf(entry, 20, "405es%05d:_MN__T1", i);
        entry[19] = (char)DEVICE_SPEED_TRAP;
        for (int b = 0; b < 4; b++) entry[23 + b] = (char)(block >> 8 * b);
        bytes.append(entry, sizeof entry);
    }
    bytes.append(6 * PERIODS_PER_DAY, '\0');
    std::string folder = outputRoot + "traps/";
    mkdir(folder.c_str(), 0755);
    path = folder + "KORVA20S_20210501.DAT";
    FILE* file = fopen(path.c_str(), "wb");
    if (!file || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0)
        path.clear();
    return path;
}

// ---- Before the reports ---------------------------------------------------------------------

// Reading a data file as a run does: one buffer of its size (fresh pages), one read (from the
// page cache: the first read brings it there).
void ReadFile(benchmark::State& state, tagDAY day) {
    std::string path = day.Path();
    long long size = FileBytes(path);
    for (auto _ : state) {
        FILE* file = fopen(path.c_str(), "rb");
        char* buffer = (char*)malloc((size_t)size);
        bool good = file && buffer && fread(buffer, 1, (size_t)size, file) == (size_t)size;
        if (file) fclose(file);
        free(buffer);
        if (!good) {
            state.SkipWithError("cannot read the day");
            break;
        }
    }
    state.counters["MB/s"] =
        benchmark::Counter((double)size * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

// Runs the steps before the reports over the day in memory into *file. False, with the
// benchmark skipped, when the day gives no device table.
bool LoadDay(benchmark::State& state, const tagDAY& day, tagDATAFILE* file) {
    const std::vector<char>& bytes = Bytes(day);
    if (LoadDataFile(bytes.data(), (int)bytes.size(), "bench", file, Log())) return true;
    state.SkipWithError("the day gives no device table");
    return false;
}

// Every step of the file in memory before its reports: header, device table, links and the
// scan-count warnings.
void Load(benchmark::State& state, tagDAY day) {
    for (auto _ : state) {
        tagDATAFILE file;
        if (!LoadDay(state, day, &file)) break;
        benchmark::DoNotOptimize(file.devices.data());
    }
}

// The scan-count warnings alone over a loaded file: the step reads the scan count of every period
// of every loop and station, and takes most of LoadDataFile's time.
void ScanCountWarnings(benchmark::State& state, tagDAY day) {
    tagDATAFILE file;
    if (!LoadDay(state, day, &file)) return;
    for (auto _ : state) CalculateSpeedLength(file);
}

// ---- Blocks of periods ----------------------------------------------------------------------

// The values of the trap report, without its formatting and writing: every speed trap, a block
// of periods at a time over the day, as the report makes them.
void TrapBlocks(benchmark::State& state, tagDAY day) {
    tagDATAFILE file;
    if (!LoadDay(state, day, &file)) return;
    std::vector<int> traps;
    for (int i = 0; i < (int)file.devices.size(); i++)
        if (file.devices[i].usType == DEVICE_SPEED_TRAP) traps.push_back(i);
    tagBLOCK block;
    for (auto _ : state) {
        PlanBlock(file, traps, &block);
        int periods = BlockPeriods(block);
        for (int first = 0; first < file.iColumns; first += periods)
            FillBlock(file, &block, first, std::min(periods, file.iColumns - first));
    }
    state.counters["values/s"] = benchmark::Counter(
        (double)traps.size() * file.iColumns * state.iterations(), benchmark::Counter::kIsRate);
}

// ---- Whole runs -----------------------------------------------------------------------------

// A whole converter run over the folder of one data file as a child process: its wall time, its
// processor time and its peak resident memory (wait4: ru_utime + ru_stime, ru_maxrss) beside
// the file's size and the limit, the file plus 64 MiB. Every report is deleted after its run.
void WholeRun(benchmark::State& state, const std::vector<std::string>& options,
              const std::function<std::string()>& dataFile) {
    std::string path = dataFile();
    if (path.empty()) {
        state.SkipWithError("no data file");
        return;
    }
    // A child starts out with this process's resident memory: keep it small.
    loadedDays.clear();
    double parent = (double)ResidentBytes();
    std::string output = outputRoot + "run/";
    tagCHILDRUN run{};
    for (auto _ : state) {
        mkdir(output.c_str(), 0755);
        run = RunChild(ConverterArgs(options, FolderOf(path), output));
        state.SetIterationTime(run.dSeconds);
        RemoveTree(output);
        if (run.iStatus != 0) {
            state.SkipWithError("korva2csv failed");
            break;
        }
    }
    using benchmark::Counter;
    const auto kKi = Counter::OneK::kIs1024;
    double file = (double)FileBytes(path);
    state.counters["cpu_s"] = run.dCpuSeconds;
    state.counters["peak_rss"] = Counter((double)run.llMaxRssBytes, Counter::kDefaults, kKi);
    state.counters["file"] = Counter(file, Counter::kDefaults, kKi);
    state.counters["limit"] = Counter(file + 64 * kMiB, Counter::kDefaults, kKi);
    state.counters["bench_rss"] = Counter(parent, Counter::kDefaults, kKi);
}

// Runs over the sample days, and the one over the file of speed-trap names.
struct tagRUN {
    const char* szOption;
    std::vector<int> devices;
};
const tagRUN kRuns[] = {
    {"-A", {2000, 8000, 20000}}, {"-E", {2000, 8000, 20000}}, {"-T", {2000, 20000}}};
const char* const kTrapNamesRun = "Run/-E-A/traps60000";

std::string RunName(const char* option, int devices) {
    return std::string("Run/") + option + "/" + std::to_string(devices);
}

void Register() {
    auto wholeRun = [](const std::string& name, std::vector<std::string> options,
                       std::function<std::string()> dataFile) {
        benchmark::RegisterBenchmark(
            name.c_str(), [=](benchmark::State& state) { WholeRun(state, options, dataFile); })
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(3);
    };
    auto inProcess = [](const char* what, void (*function)(benchmark::State&, tagDAY), tagDAY day) {
        benchmark::RegisterBenchmark((what + ("/" + day.Name())).c_str(), function, day)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(3);
    };
    // The runs first, while this process is still small.
    for (const tagRUN& run : kRuns)
        for (int devices : run.devices)
            wholeRun(RunName(run.szOption, devices), {run.szOption},
                     [devices] { return SampleDay(devices).Path(); });
    wholeRun(kTrapNamesRun, {"-E", "-A"}, TrapNamesDay);
    for (const tagDAY& day : {kSmall, kLarge}) inProcess("TrapBlocks", TrapBlocks, day);
    for (const tagDAY& day : kDays) {
        inProcess("ReadFile", ReadFile, day);
        inProcess("LoadDataFile", Load, day);
        inProcess("CalculateSpeedLength", ScanCountWarnings, day);
    }
}

// ---- Summary --------------------------------------------------------------------------------

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

void Summary(const Results& results) {
    printf("\nBefore the reports: median wall time [min-max] of the repetitions\n");
    printf("%-10s %-28s %-28s %-28s\n", "day", "ReadFile", "LoadDataFile",
           "of it CalculateSpeedLength");
    for (const tagDAY& day : kDays)
        printf("%-10s %-28s %-28s %-28s\n", day.Name().c_str(),
               Describe(results.Seconds("ReadFile/" + day.Name())).c_str(),
               Describe(results.Seconds("LoadDataFile/" + day.Name())).c_str(),
               Describe(results.Seconds("CalculateSpeedLength/" + day.Name())).c_str());
    double before =
        Median(results.Seconds("ReadFile/2000")) + Median(results.Seconds("LoadDataFile/2000"));
    if (std::isnan(before))
        printf("Target, read + load of 2,000 devices well under 1 s: not measured\n");
    else
        printf("Target, read + load of 2,000 devices well under 1 s: %.3f s, %s\n", before,
               before < 0.5   ? "met"
               : before < 1.0 ? "under 1 s, but not well under"
                              : "MISSED");

    printf(
        "\nWhole runs as child processes: median wall time [min-max]; peak resident memory "
        "against the target, at most the input file + 64 MiB\n");
    printf("%-22s %-28s %8s %10s %10s %10s\n", "run", "wall", "cpu", "peak RSS", "file", "limit");
    std::vector<std::string> names;
    for (const tagRUN& run : kRuns)
        for (int devices : run.devices) names.push_back(RunName(run.szOption, devices));
    names.push_back(kTrapNamesRun);
    for (const std::string& name : names) {
        double rss = Median(results.Counter(name, "peak_rss"));
        double limit = Median(results.Counter(name, "limit"));
        if (std::isnan(rss)) {
            printf("%-22s not measured (%s)\n", name.c_str(), results.Error(name).c_str());
            continue;
        }
        printf("%-22s %-28s %6.3f s %6.1f MiB %6.1f MiB %6.1f MiB  %s\n", name.c_str(),
               Describe(results.Seconds(name)).c_str(), Median(results.Counter(name, "cpu_s")),
               rss / kMiB, Median(results.Counter(name, "file")) / kMiB, limit / kMiB,
               Verdict(rss <= limit));
    }

    double seconds = Median(results.Seconds(kTrapNamesRun));
    double rss = Median(results.Counter(kTrapNamesRun, "peak_rss"));
    if (std::isnan(seconds))
        printf("\nTarget, 60,000 trap names: not measured\n");
    else
        printf(
            "\nTarget, 60,000 trap names (-E -A) well under 1 s and under 100 MB: %.3f s, %s; "
            "%.1f MB, %s\n",
            seconds, Verdict(seconds < 0.5), rss / 1e6, Verdict(rss < 100e6));

    printf(
        "\nTime per device, %d against %d devices (medians of the whole runs; their processor "
        "time beside, less sensitive to a busy machine):\n",
        kLarge.iDevices, kSmall.iDevices);
    for (const char* option : {"-A", "-T"}) {
        std::string large = RunName(option, kLarge.iDevices);
        std::string small = RunName(option, kSmall.iDevices);
        double perLarge = Median(results.Seconds(large)) / kLarge.iDevices;
        double perSmall = Median(results.Seconds(small)) / kSmall.iDevices;
        double cpu = (Median(results.Counter(large, "cpu_s")) / kLarge.iDevices) /
                     (Median(results.Counter(small, "cpu_s")) / kSmall.iDevices);
        if (std::isnan(perLarge / perSmall))
            printf("%-4s not measured\n", option);
        else
            printf(
                "%-4s %7.1f us against %7.1f us a device: %.2fx, target <= 1.5x: %s "
                "(processor time %.2fx)\n",
                option, perLarge * 1e6, perSmall * 1e6, perLarge / perSmall,
                Verdict(perLarge / perSmall <= 1.5), cpu);
    }
    double large = 1e9 / Median(results.Counter("TrapBlocks/" + kLarge.Name(), "values/s"));
    double small = 1e9 / Median(results.Counter("TrapBlocks/" + kSmall.Name(), "values/s"));
    if (!std::isnan(large / small))
        printf(
            "of -T, the blocks alone (TrapBlocks): %.1f ns against %.1f ns a trap and period: "
            "%.2fx\n",
            large, small, large / small);
}

}  // namespace

int main(int argc, char** argv) {
    outputRoot = MakeTempDir();
    Register();
    int status = RunBenchmarkMain(argc, argv, false, Summary);
    RemoveTree(outputRoot);
    return status;
}

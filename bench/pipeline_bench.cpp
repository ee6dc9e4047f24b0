// pipeline_bench: the time of each step of a data file before its reports, over full sample
// days of 2,000 and 8,000 devices, and the peak resident memory of a whole converter run.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Common.h"
#include "Process20SecondDataFile.h"

using namespace korvabench;

namespace {

const int kDeviceCounts[] = {2000, 8000};

// The steps log into a temporary file that nobody reads.
FILE* Log() {
    static FILE* log = tmpfile();
    return log;
}

// The sample day of `devices` devices in memory, read once.
std::map<int, std::vector<char>> loadedDays;
const std::vector<char>& Day(int devices) {
    std::vector<char>& bytes = loadedDays[devices];
    if (bytes.empty()) bytes = LoadFile(SampleDay(devices));
    return bytes;
}

// Reads a data file as the pipeline does: open, size, one buffer, one read, then the header.
// Returns the buffer (to be freed) and its size, or null.
char* ReadDay(const std::string& path, int* size) {
    int notRegular = 0;
    FILE* file = OpenInputFile(path.c_str(), &notRegular);
    if (!file) return nullptr;
    *size = fsize(file);
    rewind(file);
    char* buffer = *size > 0 ? (char*)malloc((size_t)*size) : nullptr;
    size_t got = buffer ? fread(buffer, 1, (size_t)*size, file) : 0;
    fclose(file);
    if (buffer && got < (size_t)*size) {
        free(buffer);
        buffer = nullptr;
    }
    if (buffer) ReadDataHeader(buffer, *size, Log());
    return buffer;
}

// The steps after the header, in pipeline order, each on what the ones before it leave.
void Names(const char* file, int size) {
    ReadNameTable(file + std::min(iHeaderSize, size), size, Log());
}
void Unpack(const char* file, int size) {
    UnpackNamedDevice(file, size, Log());
}
void Integrate() {
    IntegrateTrapData("sample", Log());
}
void Aggregate() {
    AggregateStationTrapData("sample", Log());
}
void SpeedLength() {
    CalculateSpeedLength("sample", Log());
}

// ---- Benchmarks -----------------------------------------------------------------------------

void ReadFile(benchmark::State& state, int devices) {
    std::string path = SampleDay(devices);
    int size = 0;
    char* first = ReadDay(path, &size);  // also brings the file into the page cache
    if (!first) {
        state.SkipWithError("cannot read the sample day");
        return;
    }
    free(first);
    for (auto _ : state) {
        char* buffer = ReadDay(path, &size);
        state.PauseTiming();
        free(buffer);
        state.ResumeTiming();
    }
    state.counters["MB/s"] =
        benchmark::Counter((double)size * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

// Times `step` alone; `before` re-creates, untimed, the state the step starts from.
template <typename Before, typename Step>
void Measure(benchmark::State& state, int devices, Before before, Step step) {
    const std::vector<char>& day = Day(devices);
    const char* file = day.data();
    int size = (int)day.size();
    ReadDataHeader(file, size, Log());
    for (auto _ : state) {
        state.PauseTiming();
        before(file, size);
        state.ResumeTiming();
        step(file, size);
    }
    ReleaseDeviceTable();
}

void ReadNameTableStep(benchmark::State& state, int devices) {
    Measure(
        state, devices, [](const char*, int) { ReleaseDeviceTable(); }, Names);
}

void UnpackStep(benchmark::State& state, int devices) {
    Measure(state, devices, Names, Unpack);
}

void IntegrateStep(benchmark::State& state, int devices) {
    Measure(
        state, devices,
        [](const char* file, int size) {
            Names(file, size);
            Unpack(file, size);
        },
        [](const char*, int) { Integrate(); });
}

void AggregateStep(benchmark::State& state, int devices) {
    Measure(
        state, devices,
        [](const char* file, int size) {
            Names(file, size);
            Unpack(file, size);
            Integrate();
        },
        [](const char*, int) { Aggregate(); });
}

void SpeedLengthStep(benchmark::State& state, int devices) {
    Measure(
        state, devices,
        [](const char* file, int size) {
            Names(file, size);
            Unpack(file, size);
            Integrate();
            Aggregate();
        },
        [](const char*, int) { SpeedLength(); });
}

// Speed and length again over a finished table: the step is idempotent after its first pass
// (scan counts are capped by then), so this is its arithmetic alone, without the first pass's
// faulting in of the two arrays it fills.
void SpeedLengthAgain(benchmark::State& state, int devices) {
    PrepareTable(Day(devices), Log());
    for (auto _ : state) SpeedLength();
    ReleaseDeviceTable();
}

// Everything ProcessDataFile does before its first report, from the file to the last measure.
void BeforeReports(benchmark::State& state, int devices) {
    std::string path = SampleDay(devices);
    for (auto _ : state) {
        int size = 0;
        char* file = ReadDay(path, &size);
        if (!file) {
            state.SkipWithError("cannot read the sample day");
            break;
        }
        Names(file, size);
        Unpack(file, size);
        Integrate();
        Aggregate();
        SpeedLength();
        state.PauseTiming();
        ReleaseDeviceTable();
        free(file);
        state.ResumeTiming();
    }
}

// Peak resident memory of a whole "korva2csv -A" run over the day (the contents report is
// tiny, so the peak is that of the pipeline itself), beside the table and file sizes.
void WholeRunPeakMemory(benchmark::State& state, int devices) {
    std::string day = SampleDay(devices);
    // A child starts out with this process's resident memory: keep it small.
    ReleaseDeviceTable();
    loadedDays.clear();
    char head[4096];  // the header is the file's first kilobyte
    FILE* start = fopen(day.c_str(), "rb");
    size_t got = start ? fread(head, 1, sizeof head, start) : 0;
    if (start) fclose(start);
    ReadDataHeader(head, (int)got, Log());
    double table = (double)iNumberofNames * sizeof(tagDEVICEDATA20SEC);
    double file = (double)FileBytes(day);
    double parent = (double)ResidentBytes();

    std::string output = MakeTempDir();
    tagCHILDRUN run{};
    for (auto _ : state) {
        run = RunChild(ConverterArgs("-A", FolderOf(day), output));
        if (run.iStatus != 0) {
            state.SkipWithError("korva2csv -A failed");
            break;
        }
    }
    RemoveTree(output);
    using benchmark::Counter;
    const auto kKi = Counter::OneK::kIs1024;
    state.counters["peak_rss"] = Counter((double)run.llMaxRssBytes, Counter::kDefaults, kKi);
    state.counters["table"] = Counter(table, Counter::kDefaults, kKi);
    state.counters["file"] = Counter(file, Counter::kDefaults, kKi);
    state.counters["limit"] = Counter(table + file + 64.0 * 1024 * 1024, Counter::kDefaults, kKi);
    state.counters["bench_rss"] = Counter(parent, Counter::kDefaults, kKi);
}

std::string Key(const char* step, int devices) {
    return std::string(step) + "/" + std::to_string(devices);
}

void Register() {
    for (int devices : kDeviceCounts)
        benchmark::RegisterBenchmark(Key("WholeRunPeakMemory", devices).c_str(), WholeRunPeakMemory,
                                     devices)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1)
            ->Repetitions(3);
    for (int devices : kDeviceCounts) {
        auto quick = [&](const char* name, void (*function)(benchmark::State&, int)) {
            benchmark::RegisterBenchmark(Key(name, devices).c_str(), function, devices)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Repetitions(3);
        };
        // Steps whose state is re-created for every iteration get a fixed count, so that the
        // untimed preparation does not multiply the run time.
        auto heavy = [&](const char* name, void (*function)(benchmark::State&, int)) {
            benchmark::RegisterBenchmark(Key(name, devices).c_str(), function, devices)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(devices <= 2000 ? 3 : 1)
                ->Repetitions(3);
        };
        quick("ReadFile", ReadFile);
        quick("ReadNameTable", ReadNameTableStep);
        heavy("UnpackNamedDevice", UnpackStep);
        heavy("IntegrateTrapData", IntegrateStep);
        heavy("AggregateStationTrapData", AggregateStep);
        heavy("CalculateSpeedLength", SpeedLengthStep);
        quick("CalculateSpeedLengthAgain", SpeedLengthAgain);
        heavy("BeforeReports", BeforeReports);
    }
}

const char* const kSteps[] = {"ReadFile",
                              "ReadNameTable",
                              "UnpackNamedDevice",
                              "IntegrateTrapData",
                              "AggregateStationTrapData",
                              "CalculateSpeedLength"};

void Summary(const Results& results) {
    printf("\nPipeline before the reports: median wall time [min-max] of the repetitions\n");
    printf("%-28s %-30s %-30s\n", "step", "2,000 devices", "8,000 devices");
    double sums[2] = {0, 0};
    for (const char* step : kSteps) {
        printf("%-28s", step);
        for (int i = 0; i < 2; i++) {
            std::vector<double> seconds = results.Seconds(Key(step, kDeviceCounts[i]));
            sums[i] += seconds.empty() ? NAN : Median(seconds);
            printf(" %-30s", Describe(seconds).c_str());
        }
        printf("\n");
    }
    printf("%-28s %-30.3f %-30.3f\n", "sum of the step medians", sums[0], sums[1]);
    printf("%-28s %-30s %-30s\n", "BeforeReports (one pass)",
           Describe(results.Seconds(Key("BeforeReports", 2000))).c_str(),
           Describe(results.Seconds(Key("BeforeReports", 8000))).c_str());
    printf("%-28s %-30s %-30s\n", "korva2csv -A (own process)",
           Describe(results.Seconds(Key("WholeRunPeakMemory", 2000))).c_str(),
           Describe(results.Seconds(Key("WholeRunPeakMemory", 8000))).c_str());

    double whole = Median(results.Seconds(Key("BeforeReports", 2000)));
    if (std::isnan(whole)) whole = sums[0];
    if (std::isnan(whole))
        printf("\nTarget, before the reports well under 1 s for 2,000 devices: not measured\n");
    else
        printf("\nTarget, before the reports well under 1 s for 2,000 devices: %.3f s, %s\n", whole,
               whole < 0.5   ? "met"
               : whole < 1.0 ? "under 1 s, but not well under"
                             : "MISSED");

    for (int devices : kDeviceCounts) {
        std::string name = Key("WholeRunPeakMemory", devices);
        double rss = Median(results.Counter(name, "peak_rss"));
        double limit = Median(results.Counter(name, "limit"));
        const double mi = 1024.0 * 1024.0;
        if (std::isnan(rss)) {
            printf("Target, peak RSS of korva2csv -A over %d devices: not measured (%s)\n", devices,
                   results.Error(name).c_str());
            continue;
        }
        printf(
            "Target, peak RSS of korva2csv -A over %d devices < table %.1f MiB + file %.1f MiB "
            "+ 64 MiB = %.1f MiB: %.1f MiB, %s\n",
            devices, Median(results.Counter(name, "table")) / mi,
            Median(results.Counter(name, "file")) / mi, limit / mi, rss / mi,
            rss < limit ? "met" : "MISSED");
    }
}

}  // namespace

int main(int argc, char** argv) {
    Register();
    return RunBenchmarkMain(argc, argv, false, Summary);
}

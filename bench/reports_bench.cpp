// reports_bench: the report writers side by side with their one-fprintf-per-row references over
// the full sample day of 2,000 devices, and a whole element run against copying its output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Process20SecondDataFile.h"
#include "ReferenceReports.h"

using namespace korvabench;

namespace {

const int kDevices = 2000;
const int kRepetitions = 5;  // the figures are medians of these; one iteration each

// Everything the benchmarks write lands here; removed at the end.
std::string outputRoot;

FILE* Log() {
    static FILE* log = tmpfile();
    return log;
}

// The device table of the sample day, prepared once and shared by every writer. (The element
// writer stores the colour classes into it; they come out the same every time.)
void EnsureTable() {
    static bool prepared = false;
    if (prepared) return;
    PrepareTable(LoadFile(SampleDay(kDevices)), Log());
    prepared = true;
}

std::string Folder(const std::string& name) {
    std::string folder = outputRoot + name + "/";
    mkdir(folder.c_str(), 0755);
    return folder;
}

// Rows of a finished report (its lines less the header line), counted once per name: the
// output of a writer is the same every time.
long long Rows(const std::string& name, const std::string& path) {
    static std::map<std::string, long long> counted;
    auto found = counted.find(name);
    if (found != counted.end()) return found->second;
    return counted[name] = CountLines(path) - 1;
}

void SetRates(benchmark::State& state, long long rows, long long bytes) {
    using benchmark::Counter;
    double iterations = (double)state.iterations();
    state.counters["rows/s"] = Counter((double)rows * iterations, Counter::kIsRate);
    state.counters["MB/s"] = Counter((double)bytes * iterations / 1e6, Counter::kIsRate);
    state.counters["MB"] = Counter((double)bytes / 1e6);
}

struct tagREPORTKIND {
    const char* szName;
    int (*fast)(FILE* log, const char* folder);
    int (*reference)(FILE* out);
};
const tagREPORTKIND kKinds[] = {
    {"Element", WriteDataAsCSVElementData, ReferenceElementReport},
    {"Lane", WriteDataAsCSVLaneData, ReferenceLaneReport},
    {"Trap", WriteDataAsCSVTrapData, ReferenceTrapReport},
};

// ---- Benchmarks -----------------------------------------------------------------------------

// The converter's writer, into an output folder of its own, as a run calls it.
void FastWriter(benchmark::State& state, const tagREPORTKIND* kind) {
    EnsureTable();
    std::string folder = Folder(std::string(kind->szName) + "-fast");
    long long rows = 0, bytes = 0;
    for (auto _ : state) {
        int written = kind->fast(Log(), folder.c_str());
        state.PauseTiming();
        std::vector<std::string> reports = FilesEndingIn(folder, ".csv");
        bool good = written == 1 && reports.size() == 1;
        if (good) {
            bytes = FileBytes(reports[0]);
            rows = Rows(std::string(kind->szName) + "-fast", reports[0]);
        }
        for (const std::string& report : reports) unlink(report.c_str());
        state.ResumeTiming();
        if (!good) {
            state.SkipWithError("the writer did not leave exactly one report");
            break;
        }
    }
    SetRates(state, rows, bytes);
}

// The one-fprintf-per-row reference into a plain stdio stream.
void ReferenceWriter(benchmark::State& state, const tagREPORTKIND* kind) {
    EnsureTable();
    std::string path = Folder(std::string(kind->szName) + "-reference") + "report.csv";
    long long rows = 0, bytes = 0;
    for (auto _ : state) {
        FILE* out = fopen(path.c_str(), "w");
        if (!out) {
            state.SkipWithError("cannot create the reference's output file");
            break;
        }
        kind->reference(out);
        fclose(out);
        state.PauseTiming();
        bytes = FileBytes(path);
        if (bytes > 0) rows = Rows(std::string(kind->szName) + "-reference", path);
        unlink(path.c_str());
        state.ResumeTiming();
        if (bytes <= 0) {
            state.SkipWithError("the reference wrote nothing (still the stub?)");
            break;
        }
    }
    SetRates(state, rows, bytes);
}

// A whole "korva2csv -E" run over the day: reading, the table, the derived measures and the
// element report, as a child process.
void WholeElementRun(benchmark::State& state) {
    std::string input = FolderOf(SampleDay(kDevices));
    std::string folder = Folder("run");
    long long bytes = 0;
    for (auto _ : state) {
        tagCHILDRUN run = RunChild(ConverterArgs("-E", input, folder));
        state.PauseTiming();
        std::vector<std::string> reports = FilesEndingIn(folder, ".csv");
        bool good = run.iStatus == 0 && reports.size() == 1;
        if (good) bytes = FileBytes(reports[0]);
        for (const std::string& report : reports) unlink(report.c_str());
        state.ResumeTiming();
        if (!good) {
            state.SkipWithError("korva2csv -E did not leave exactly one report");
            break;
        }
    }
    state.counters["MB/s"] =
        benchmark::Counter((double)bytes * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

// Copies source to a new file target with read(2) and write(2) through a page-aligned 1 MiB
// buffer. Returns whether every byte arrived.
bool CopyFile(const std::string& source, const std::string& target, char* buffer) {
    enum { BUFFER_SIZE = 1 << 20 };
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool good = in >= 0 && out >= 0;
    ssize_t got = 0;
    while (good && (got = read(in, buffer, BUFFER_SIZE)) > 0) {
        for (ssize_t done = 0; good && done < got;) {
            ssize_t put = write(out, buffer + done, (size_t)(got - done));
            good = put > 0;
            done += put;
        }
    }
    good = good && got == 0;
    if (in >= 0) close(in);
    if (out >= 0 && close(out) != 0) good = false;
    return good;
}

// Copying the finished element report of a whole run to a new file on the same disk: what any
// program producing that many bytes pays at least. Every copy follows its own (untimed) run
// directly, as a copy of a fresh report would. The memory the copy is given decides its time:
// pages just released by the run are reused at several GB/s, while pages this virtual machine
// must first take back from its host come at well under 1 GB/s.
void CopyElementReport(benchmark::State& state) {
    std::string input = FolderOf(SampleDay(kDevices));
    std::string folder = Folder("copy");
    std::string target = folder + "copy.tmp";
    char* buffer = (char*)aligned_alloc(4096, 1 << 20);
    long long bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        tagCHILDRUN run = RunChild(ConverterArgs("-E", input, folder));
        std::vector<std::string> reports = FilesEndingIn(folder, ".csv");
        bool good = run.iStatus == 0 && reports.size() == 1;
        state.ResumeTiming();
        if (good) good = CopyFile(reports[0], target, buffer);
        state.PauseTiming();
        if (good) bytes = FileBytes(target);
        unlink(target.c_str());
        for (const std::string& report : reports) unlink(report.c_str());
        state.ResumeTiming();
        if (!good) {
            state.SkipWithError("korva2csv -E or the copy of its report failed");
            break;
        }
    }
    free(buffer);
    state.counters["MB/s"] =
        benchmark::Counter((double)bytes * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

void Register() {
    auto once = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(kRepetitions);
    };
    for (const tagREPORTKIND& kind : kKinds) {
        once(benchmark::RegisterBenchmark((std::string(kind.szName) + "/Fast").c_str(), FastWriter,
                                          &kind));
        once(benchmark::RegisterBenchmark((std::string(kind.szName) + "/Reference").c_str(),
                                          ReferenceWriter, &kind));
    }
    once(benchmark::RegisterBenchmark("WholeRun/E", WholeElementRun));
    once(benchmark::RegisterBenchmark("Copy/ElementReport", CopyElementReport));
}

double Best(const std::vector<double>& seconds) {
    return seconds.empty() ? NAN : *std::min_element(seconds.begin(), seconds.end());
}

// The ratio slow / quick of the medians, judged against its target, and of the best times.
void Compare(const Results& results, const char* what, const std::string& slow,
             const std::string& quick, double target, bool atLeast) {
    double value = Median(results.Seconds(slow)) / Median(results.Seconds(quick));
    double best = Best(results.Seconds(slow)) / Best(results.Seconds(quick));
    if (std::isnan(value)) {
        printf("%-44s not measured\n", what);
        return;
    }
    bool met = atLeast ? value >= target : value <= target;
    printf("%-44s %6.1fx (best %4.1fx)  target %s %gx: %s\n", what, value, best,
           atLeast ? ">=" : "<=", target, met ? "met" : "MISSED");
}

void Summary(const Results& results) {
    printf("\nReports of the %d-device day: median wall time [min-max] of %d repetitions\n",
           kDevices, kRepetitions);
    printf("%-8s %-28s %-28s %9s %9s\n", "report", "fast", "reference", "fast MB", "ref MB");
    for (const tagREPORTKIND& kind : kKinds) {
        std::string fast = std::string(kind.szName) + "/Fast";
        std::string reference = std::string(kind.szName) + "/Reference";
        std::vector<double> referenceSeconds = results.Seconds(reference);
        printf("%-8s %-28s %-28s %9.1f %9.1f\n", kind.szName,
               Describe(results.Seconds(fast)).c_str(),
               referenceSeconds.empty() ? ("(" + results.Error(reference) + ")").c_str()
                                        : Describe(referenceSeconds).c_str(),
               Median(results.Counter(fast, "MB")), Median(results.Counter(reference, "MB")));
    }
    printf("%-8s %-28s\n", "-E run", Describe(results.Seconds("WholeRun/E")).c_str());
    printf("%-8s %-28s (read/write through a 1 MiB buffer, same folder)\n", "copy",
           Describe(results.Seconds("Copy/ElementReport")).c_str());
    printf("\nRatios of the medians (of the best times):\n");
    Compare(results, "Element: reference / fast", "Element/Reference", "Element/Fast", 20, true);
    Compare(results, "Lane: reference / fast", "Lane/Reference", "Lane/Fast", 10, true);
    Compare(results, "Trap: reference / fast", "Trap/Reference", "Trap/Fast", 10, true);
    Compare(results, "Whole -E run / copy of its element report", "WholeRun/E",
            "Copy/ElementReport", 3, false);
}

}  // namespace

int main(int argc, char** argv) {
    outputRoot = MakeTempDir();
    Register();
    int status = RunBenchmarkMain(argc, argv, true, Summary);
    RemoveTree(outputRoot);
    return status;
}

// reports_bench: the report writers beside their one-fprintf-per-row references over the sample
// day of 2,000 devices (the element writer also over a realistic day of as many), a whole
// element run against copying its output, and whole compressed element runs against igzip and
// zstd compressing the finished plain report, and a whole 15-minute summary run against a whole
// element run.
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
#include "PlainReports.h"
#include "datafile/DataFile.h"
#include "reports/Reports.h"

using namespace korvabench;

namespace {

const tagDAY kDays[] = {SampleDay(2000), RealisticDay(2000)};
const int kRepetitions = 5;  // the figures are medians of these; one iteration each
const double kMiB = 1024.0 * 1024.0;

// The compressed element runs (--compress=NAME, its default level 1), on the sample day only,
// each against a compressor program working on the finished plain report.
const tagDAY kCompressedDay = SampleDay(2000);
struct tagCOMPRESSION {
    const char* szName;    // --compress=NAME
    const char* szSuffix;  // the ending of the compressed element report
    const char* szTool;    // the program it is measured against, and its options up to "-o"
    std::vector<std::string> toolOptions;
    const char* szPackage;  // Debian package of the program
    const char* szBench;    // name of the program's benchmark
    const char* szLabel;    // the program and its options, in the summary
};
const tagCOMPRESSION kCompressions[] = {
    {"gzip",
     ".csv.gz",
     "/usr/bin/igzip",
     {"-1", "-q", "-f"},
     "isal",
     "Igzip-1ElementReport",
     "igzip -1"},
    {"zstd",
     ".csv.zst",
     "/usr/bin/zstd",
     {"-1", "-T1", "-q", "-f"},
     "zstd",
     "Zstd-1ElementReport",
     "zstd -1 -T1"},
};
const double kCompressedTimeTarget = 1.2;   // run / program, at most
const double kCompressedSizeTarget = 1.05;  // run's report / program's output, at most
const double kCompressedRssTarget = 32;     // MiB above the plain -E run's peak, at most

// Everything the benchmarks write lands here; removed at the end.
std::string outputRoot;

tagLOG* Log() {
    static tagLOG log{tmpfile()};
    return &log;
}

// The days in memory, each read once.
const std::vector<char>& Bytes(const tagDAY& day) {
    static std::map<std::string, std::vector<char>> days;
    std::vector<char>& bytes = days[day.Name()];
    if (bytes.empty()) bytes = LoadFile(day.Path());
    return bytes;
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

// The references run on the sample day only.
const tagDAY kReferenceDay = SampleDay(2000);
struct tagBENCHKIND {
    const char* szName;
    int tagSETTINGS::*lpAsked;  // the report option that asks for it
    void (*reference)(const tagPLAINDAY& day, FILE* out);
    double dTarget;  // reference / fast at least
    std::vector<tagDAY> days;
};
const tagBENCHKIND kKinds[] = {
    {"Element",
     &tagSETTINGS::bWRITEELEMENTS,
     PlainElementReport,
     20,
     {SampleDay(2000), RealisticDay(2000)}},
    {"Lane", &tagSETTINGS::bWRITELANES, PlainLaneReport, 10, {SampleDay(2000)}},
    {"Trap", &tagSETTINGS::bWRITETRAPS, PlainTrapReport, 10, {SampleDay(2000)}},
};

std::string Name(const char* what, const tagDAY& day) {
    return std::string(what) + "/" + day.Name();
}

// ---- Benchmarks -----------------------------------------------------------------------------

// The converter's writer, into an output folder of its own, as a run calls it, on the file
// loaded (untimed) by LoadDataFile.
void Writer(benchmark::State& state, const tagBENCHKIND* kind, tagDAY day) {
    const std::vector<char>& bytes = Bytes(day);
    tagDATAFILE file;
    if (!LoadDataFile(bytes.data(), (int)bytes.size(), "bench", &file, Log())) {
        state.SkipWithError("the day gives no device table");
        return;
    }
    std::string name = Name(kind->szName, day);
    std::string folder = Folder(kind->szName + day.Name());
    static tagSETTINGS settings;
    settings = tagSETTINGS{};
    settings.*kind->lpAsked = 1;
    snprintf(settings.szTargetFolder, sizeof settings.szTargetFolder, "%s", folder.c_str());
    long long rows = 0, reportBytes = 0;
    for (auto _ : state) {
        int written = WriteReports(file, settings, "bench", Log());
        state.PauseTiming();
        std::vector<std::string> reports = FilesEndingIn(folder, ".csv");
        bool good = written == 1 && reports.size() == 1;
        if (good) {
            reportBytes = FileBytes(reports[0]);
            rows = Rows(name, reports[0]);
        }
        for (const std::string& report : reports) unlink(report.c_str());
        state.ResumeTiming();
        if (!good) {
            state.SkipWithError("the writer did not leave exactly one report");
            break;
        }
    }
    SetRates(state, rows, reportBytes);
}

// The one-fprintf-per-row reference into a plain stdio stream, from a whole day of values made
// beforehand (untimed).
void ReferenceWriter(benchmark::State& state, const tagBENCHKIND* kind) {
    const std::vector<char>& bytes = Bytes(kReferenceDay);
    tagDATAFILE file;
    if (!LoadDataFile(bytes.data(), (int)bytes.size(), "bench", &file, Log())) {
        state.SkipWithError("the day gives no device table");
        return;
    }
    tagPLAINDAY day = MakePlainDay(file);
    std::string name = Name(kind->szName, kReferenceDay) + "/Reference";
    std::string path = Folder(std::string(kind->szName) + "Reference") + "report.csv";
    long long rows = 0, reportBytes = 0;
    for (auto _ : state) {
        FILE* out = fopen(path.c_str(), "w");
        if (!out) {
            state.SkipWithError("cannot create the reference's output file");
            break;
        }
        kind->reference(day, out);
        fclose(out);
        state.PauseTiming();
        reportBytes = FileBytes(path);
        rows = Rows(name, path);
        unlink(path.c_str());
        state.ResumeTiming();
    }
    SetRates(state, rows, reportBytes);
}

// A whole "korva2csv -E" run over the day: reading, the device table, the derived measures and
// the element report, as a child process; with compression (not null), "-E --compress=NAME".
void WholeElementRun(benchmark::State& state, tagDAY day, const tagCOMPRESSION* compression) {
    using benchmark::Counter;
    std::string input = FolderOf(day.Path());
    std::vector<std::string> options{"-E"};
    if (compression) options.push_back(std::string("--compress=") + compression->szName);
    std::string folder = Folder("run" + day.Name() + (compression ? compression->szName : ""));
    const char* suffix = compression ? compression->szSuffix : ".csv";
    long long bytes = 0, peak = 0;
    for (auto _ : state) {
        tagCHILDRUN run = RunChild(ConverterArgs(options, input, folder));
        state.PauseTiming();
        std::vector<std::string> reports = FilesEndingIn(folder, suffix);
        bool good = run.iStatus == 0 && reports.size() == 1 &&
                    (!compression || FilesEndingIn(folder, ".csv").empty());
        if (good) bytes = FileBytes(reports[0]);
        peak = run.llMaxRssBytes;
        for (const std::string& report : reports) unlink(report.c_str());
        if (compression)
            for (const std::string& report : FilesEndingIn(folder, ".csv")) unlink(report.c_str());
        state.ResumeTiming();
        if (!good) {
            state.SkipWithError("korva2csv -E did not leave exactly one report");
            break;
        }
    }
    state.counters["MB/s"] = Counter((double)bytes * state.iterations() / 1e6, Counter::kIsRate);
    state.counters["MB"] = Counter((double)bytes / 1e6);
    state.counters["peak_rss"] = Counter((double)peak, Counter::kDefaults, Counter::kIs1024);
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
void CopyElementReport(benchmark::State& state, tagDAY day) {
    std::string input = FolderOf(day.Path());
    std::string folder = Folder("copy" + day.Name());
    std::string target = folder + "copy.tmp";
    char* buffer = (char*)aligned_alloc(4096, 1 << 20);
    long long bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        tagCHILDRUN run = RunChild(ConverterArgs({"-E"}, input, folder));
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

// A compressor program (igzip -1, zstd -1 -T1) compressing the finished plain element report of
// a whole run into a new file in the same folder; paired with the compressed run as the copy is
// with the plain one: every compression follows its own (untimed) plain run directly.
void CompressElementReport(benchmark::State& state, const tagCOMPRESSION* compression) {
    using benchmark::Counter;
    if (access(compression->szTool, X_OK) != 0) {
        std::string missing = std::string(compression->szTool) + " is missing (Debian package " +
                              compression->szPackage + ")";
        state.SkipWithError(missing.c_str());
        return;
    }
    std::string input = FolderOf(kCompressedDay.Path());
    std::string folder = Folder(std::string("tool") + compression->szName);
    std::string target = folder + "report" + compression->szSuffix;
    long long bytes = 0, plain = 0, peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        tagCHILDRUN run = RunChild(ConverterArgs({"-E"}, input, folder));
        std::vector<std::string> reports = FilesEndingIn(folder, ".csv");
        bool good = run.iStatus == 0 && reports.size() == 1;
        std::vector<std::string> args{compression->szTool};
        args.insert(args.end(), compression->toolOptions.begin(), compression->toolOptions.end());
        if (good) args.insert(args.end(), {"-o", target, reports[0]});
        state.ResumeTiming();
        if (good) {
            tagCHILDRUN packed = RunChild(args);
            good = packed.iStatus == 0;
            peak = packed.llMaxRssBytes;
        }
        state.PauseTiming();
        if (good) {
            bytes = FileBytes(target);
            plain = FileBytes(reports[0]);
            good = bytes > 0;
        }
        unlink(target.c_str());
        for (const std::string& report : reports) unlink(report.c_str());
        state.ResumeTiming();
        if (!good) {
            state.SkipWithError(
                (std::string("korva2csv -E or ") + compression->szTool + " failed").c_str());
            break;
        }
    }
    state.counters["MB/s"] = Counter((double)plain * state.iterations() / 1e6, Counter::kIsRate);
    state.counters["MB"] = Counter((double)bytes / 1e6);
    state.counters["peak_rss"] = Counter((double)peak, Counter::kDefaults, Counter::kIs1024);
}

// Two whole runs over one day, measured as a pair: every repetition makes both back to back,
// their order alternating from one repetition to the next, and reports the first run's wall time
// as its own and the other's as the counter other_s (processor times: cpu_s, other_cpu_s); MB
// and other_MB the bytes of the reports each left, peak_rss and other_rss their peak resident
// memory. Judged on the ratio of the median wall times, of the report sizes where a size target
// is given, on the first run's peak memory above the other's where that target is given, and on
// the first run's peak memory against the file + 64 MiB.
struct tagSIDE {
    std::vector<std::string> options;
    const char* szEnding;  // of the reports the run writes
    size_t reports;        // how many it writes
};
struct tagPAIR {
    const char* szName;
    tagDAY day;
    tagSIDE first, other;
    double dTimeTarget;  // first run / other run, at most
    double dSizeTarget;  // first run's reports / the other's, at most; NAN: none
    double dRssTarget;   // MiB above the other run's peak, at most; NAN: none
};
const tagPAIR kPairs[] = {
    // The summary alone against the element report: no slower, the same memory.
    {"WholeRun-Aggregate15-vs-E",
     SampleDay(2000),
     {{"--aggregate=15"}, ".csv", 1},
     {{"-E"}, ".csv", 1},
     1.0,
     NAN,
     1.0},
    // Parquet against the zstd-compressed standard CSV of the same rows.
    {"WholeRun-E-parquet",
     RealisticDay(2000),
     {{"-E", "--parquet"}, ".parquet", 1},
     {{"-E", "--clean", "--compress=zstd"}, ".csv.zst", 1},
     1.0,
     0.6,
     NAN},
    // The health report alone at most half the time of the element report.
    {"WholeRun-Health-vs-E",
     RealisticDay(2000),
     {{"--health"}, ".csv", 1},
     {{"-E"}, ".csv", 1},
     0.5,
     NAN,
     NAN},
    // Every report and the health report at most 10 % slower than every report.
    {"WholeRun-Every-Health",
     RealisticDay(2000),
     {{"-E", "-L", "-T", "-A", "--aggregate=15", "--health"}, ".csv", 6},
     {{"-E", "-L", "-T", "-A", "--aggregate=15"}, ".csv", 5},
     1.1,
     NAN,
     NAN},
};

std::string PairName(const tagPAIR& pair) {
    return Name(pair.szName, pair.day);
}

void PairedRuns(benchmark::State& state, const tagPAIR* pair) {
    using benchmark::Counter;
    static int repetitions[std::size(kPairs)];  // each pair alternates its own order
    int& repetition = repetitions[pair - kPairs];
    std::string input = FolderOf(pair->day.Path());
    std::string folder = Folder(pair->szName + pair->day.Name());
    tagCHILDRUN first{}, other{};
    long long firstBytes = 0, otherBytes = 0;
    // One run and what it left: exactly its number of reports.
    auto run = [&](const tagSIDE& side, tagCHILDRUN* result, long long* bytes) {
        *result = RunChild(ConverterArgs(side.options, input, folder));
        std::vector<std::string> reports = FilesEndingIn(folder, side.szEnding);
        *bytes = 0;
        for (const std::string& report : reports)
            *bytes += FileBytes(report), unlink(report.c_str());
        return result->iStatus == 0 && reports.size() == side.reports;
    };
    auto runFirst = [&] { return run(pair->first, &first, &firstBytes); };
    auto runOther = [&] { return run(pair->other, &other, &otherBytes); };
    for (auto _ : state) {
        bool good = repetition++ % 2 == 0 ? runFirst() && runOther() : runOther() && runFirst();
        if (!good) {
            state.SkipWithError("a run did not leave exactly its reports");
            break;
        }
        state.SetIterationTime(first.dSeconds);
    }
    state.counters["other_s"] = Counter(other.dSeconds);
    state.counters["cpu_s"] = Counter(first.dCpuSeconds);
    state.counters["other_cpu_s"] = Counter(other.dCpuSeconds);
    state.counters["MB"] = Counter((double)firstBytes / 1e6);
    state.counters["other_MB"] = Counter((double)otherBytes / 1e6);
    state.counters["peak_rss"] =
        Counter((double)first.llMaxRssBytes, Counter::kDefaults, Counter::kIs1024);
    state.counters["other_rss"] =
        Counter((double)other.llMaxRssBytes, Counter::kDefaults, Counter::kIs1024);
}

std::string CompressedRunName(const tagCOMPRESSION& compression) {
    return Name((std::string("WholeRun-E-") + compression.szName).c_str(), kCompressedDay);
}

std::string CompressorName(const tagCOMPRESSION& compression) {
    return Name(compression.szBench, kCompressedDay);
}

void Register() {
    auto once = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(kRepetitions);
    };
    for (const tagBENCHKIND& kind : kKinds) {
        for (const tagDAY& day : kind.days)
            once(benchmark::RegisterBenchmark(Name(kind.szName, day).c_str(), Writer, &kind, day));
        once(benchmark::RegisterBenchmark((Name(kind.szName, kReferenceDay) + "/Reference").c_str(),
                                          ReferenceWriter, &kind));
    }
    for (const tagDAY& day : kDays) {
        once(benchmark::RegisterBenchmark(Name("WholeRun-E", day).c_str(), WholeElementRun, day,
                                          nullptr));
        once(benchmark::RegisterBenchmark(Name("CopyElementReport", day).c_str(), CopyElementReport,
                                          day));
    }
    for (const tagCOMPRESSION& compression : kCompressions) {
        once(benchmark::RegisterBenchmark(CompressedRunName(compression).c_str(), WholeElementRun,
                                          kCompressedDay, &compression));
        once(benchmark::RegisterBenchmark(CompressorName(compression).c_str(),
                                          CompressElementReport, &compression));
    }
    for (const tagPAIR& pair : kPairs)
        benchmark::RegisterBenchmark(PairName(pair).c_str(), PairedRuns, &pair)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(kRepetitions);
}

double Best(const std::vector<double>& seconds) {
    return seconds.empty() ? NAN : *std::min_element(seconds.begin(), seconds.end());
}

void Summary(const Results& results) {
    printf("\nReports: median wall time [min-max] of %d repetitions\n", kRepetitions);
    printf("%-26s %-28s %12s %9s\n", "writer/day", "wall", "rows/s", "MB");
    for (const tagBENCHKIND& kind : kKinds) {
        std::vector<std::string> names;
        for (const tagDAY& day : kind.days) names.push_back(Name(kind.szName, day));
        names.push_back(Name(kind.szName, kReferenceDay) + "/Reference");
        for (const std::string& name : names)
            printf("%-26s %-28s %12.3g %9.1f\n", name.c_str(),
                   Describe(results.Seconds(name)).c_str(), Median(results.Counter(name, "rows/s")),
                   Median(results.Counter(name, "MB")));
    }
    printf("\nReference / converter's writer, %s: ratio of the medians (of the best times)\n",
           kReferenceDay.Name().c_str());
    for (const tagBENCHKIND& kind : kKinds) {
        std::vector<double> fast = results.Seconds(Name(kind.szName, kReferenceDay));
        std::vector<double> slow = results.Seconds(Name(kind.szName, kReferenceDay) + "/Reference");
        double ratio = Median(slow) / Median(fast);
        if (std::isnan(ratio))
            printf("%-8s not measured\n", kind.szName);
        else
            printf("%-8s %6.1fx (best %4.1fx), target >= %gx: %s\n", kind.szName, ratio,
                   Best(slow) / Best(fast), kind.dTarget, ratio >= kind.dTarget ? "met" : "MISSED");
    }

    printf(
        "\nWhole -E run against copying its element report (read/write through a 1 MiB "
        "buffer, same folder): median [min-max], ratio of the medians (of the best times)\n");
    for (const tagDAY& day : kDays) {
        std::vector<double> run = results.Seconds(Name("WholeRun-E", day));
        std::vector<double> copy = results.Seconds(Name("CopyElementReport", day));
        double ratio = Median(run) / Median(copy);
        printf("%-9s run %-24s copy %-24s ", day.Name().c_str(), Describe(run).c_str(),
               Describe(copy).c_str());
        if (std::isnan(ratio))
            printf("not measured\n");
        else
            printf("%5.2fx (best %4.2fx), target <= 1.5x: %s\n", ratio, Best(run) / Best(copy),
                   ratio <= 1.5 ? "met" : "MISSED");
    }

    printf(
        "\nCompressed -E run (--compress=NAME, level 1) against the program compressing its plain "
        "element report, %s: median [min-max], ratio of the medians (of the best times), "
        "report sizes\n",
        kCompressedDay.Name().c_str());
    std::string plainRun = Name("WholeRun-E", kCompressedDay);
    double plainRss = Median(results.Counter(plainRun, "peak_rss"));
    for (const tagCOMPRESSION& compression : kCompressions) {
        std::string runName = CompressedRunName(compression);
        std::string toolName = CompressorName(compression);
        std::vector<double> run = results.Seconds(runName);
        std::vector<double> tool = results.Seconds(toolName);
        std::string tag = std::string(compression.szName) + " vs " + compression.szLabel;
        printf("%-20s run %-24s %-24s ", tag.c_str(), Describe(run).c_str(),
               Describe(tool).c_str());
        double ratio = Median(run) / Median(tool);
        if (run.empty())
            printf("run not measured (%s)\n", results.Error(runName).c_str());
        else if (tool.empty())
            printf("not measured: %s\n", results.Error(toolName).c_str());
        else
            printf("%5.2fx (best %4.2fx), target <= %gx: %s\n", ratio, Best(run) / Best(tool),
                   kCompressedTimeTarget, ratio <= kCompressedTimeTarget ? "met" : "MISSED");
        double runBytes = Median(results.Counter(runName, "MB"));
        double toolBytes = Median(results.Counter(toolName, "MB"));
        if (!run.empty() && !tool.empty()) {
            double size = runBytes / toolBytes;
            printf("%-20s size %.2f MB against %.2f MB (%+.1f%%), target <= %+.0f%%: %s\n", "",
                   runBytes, toolBytes, (size - 1) * 100, (kCompressedSizeTarget - 1) * 100,
                   size <= kCompressedSizeTarget ? "met" : "MISSED");
        }
        double rss = Median(results.Counter(runName, "peak_rss"));
        if (std::isnan(rss) || std::isnan(plainRss)) {
            printf("%-20s peak memory not measured (needs %s and %s)\n", "", runName.c_str(),
                   plainRun.c_str());
        } else {
            double above = (rss - plainRss) / kMiB;
            printf(
                "%-20s peak memory %.1f MiB against %.1f MiB of -E (%+.1f MiB), target <= "
                "+%g MiB: %s\n",
                "", rss / kMiB, plainRss / kMiB, above, kCompressedRssTarget,
                above <= kCompressedRssTarget ? "met" : "MISSED");
        }
    }

    printf(
        "\nWhole runs measured as pairs: median [min-max], ratio of the medians (of the best "
        "times)\n");
    for (const tagPAIR& pair : kPairs) {
        std::string name = PairName(pair), first, other;
        for (const std::string& option : pair.first.options) first += " " + option;
        for (const std::string& option : pair.other.options) other += " " + option;
        printf("%s:%s against%s\n", name.c_str(), first.c_str(), other.c_str());
        std::vector<double> seconds = results.Seconds(name);
        std::vector<double> others = results.Counter(name, "other_s");
        if (seconds.empty()) {
            printf("  not measured (%s)\n", results.Error(name).c_str());
            continue;
        }
        double ratio = Median(seconds) / Median(others);
        printf(
            "  %-24s against %-24s %5.2fx (best %4.2fx), target <= %gx: %s (processor "
            "time %.2fx)\n",
            Describe(seconds).c_str(), Describe(others).c_str(), ratio,
            Best(seconds) / Best(others), pair.dTimeTarget,
            ratio <= pair.dTimeTarget ? "met" : "MISSED",
            Median(results.Counter(name, "cpu_s")) / Median(results.Counter(name, "other_cpu_s")));
        double mb = Median(results.Counter(name, "MB")),
               otherMb = Median(results.Counter(name, "other_MB"));
        printf("  reports %.2f MB against %.2f MB (%.2fx)", mb, otherMb, mb / otherMb);
        if (!std::isnan(pair.dSizeTarget))
            printf(", target <= %gx: %s", pair.dSizeTarget,
                   mb / otherMb <= pair.dSizeTarget ? "met" : "MISSED");
        double rss = Median(results.Counter(name, "peak_rss"));
        double otherRss = Median(results.Counter(name, "other_rss"));
        double limit = (double)FileBytes(pair.day.Path()) + 64 * kMiB;
        printf("\n  peak memory %.1f MiB against %.1f MiB (%+.1f MiB)", rss / kMiB, otherRss / kMiB,
               (rss - otherRss) / kMiB);
        if (!std::isnan(pair.dRssTarget))
            printf(", target <= %+g MiB: %s", pair.dRssTarget,
                   (rss - otherRss) / kMiB <= pair.dRssTarget ? "met" : "MISSED");
        printf("; file + 64 MiB %.1f MiB: %s\n", limit / kMiB, rss <= limit ? "met" : "MISSED");
    }
}

}  // namespace

int main(int argc, char** argv) {
    StartLauncher();  // while this process is small: the runs' peak memory is measured
    outputRoot = MakeTempDir();
    Register();
    int status = RunBenchmarkMain(argc, argv, true, Summary);
    RemoveTree(outputRoot);
    return status;
}

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
const double kSummaryTimeTarget = 1.0;      // --aggregate=15 run / -E run, at most
const double kSummaryRssTarget = 1.0;  // MiB above the -E run's peak, at most (the same memory)

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

// A whole "korva2csv --aggregate=15" run (the summary report alone) paired with a whole
// "korva2csv -E" run over the same day: every repetition makes both runs back to back, their
// order alternating from one repetition to the next, and reports the summary run's wall time as
// its own and the element run's as the counter element_s (peak memory: peak_rss and
// element_rss).
const tagDAY kSummaryDay = SampleDay(2000);
const char kSummaryBench[] = "WholeRun-Aggregate15-vs-E";

void SummaryAgainstElement(benchmark::State& state) {
    using benchmark::Counter;
    static int repetition = 0;
    std::string input = FolderOf(kSummaryDay.Path());
    std::string folder = Folder("summary" + kSummaryDay.Name());
    tagCHILDRUN summary{}, element{};
    long long summaryBytes = 0, elementBytes = 0;
    // One run and what it left: exactly one report, whose name starts with prefix.
    auto run = [&](const char* option, const char* prefix, tagCHILDRUN* result, long long* bytes) {
        *result = RunChild(ConverterArgs({option}, input, folder));
        std::vector<std::string> reports = FilesEndingIn(folder, ".csv");
        bool good = result->iStatus == 0 && reports.size() == 1 &&
                    reports[0].find(prefix, reports[0].rfind('/')) != std::string::npos;
        if (good) *bytes = FileBytes(reports[0]);
        for (const std::string& report : reports) unlink(report.c_str());
        return good;
    };
    for (auto _ : state) {
        bool summaryFirst = repetition++ % 2 == 0, good;
        if (summaryFirst)
            good = run("--aggregate=15", "/KORVA15Min_Element_", &summary, &summaryBytes) &&
                   run("-E", "/KORVA20Sec_Element_", &element, &elementBytes);
        else
            good = run("-E", "/KORVA20Sec_Element_", &element, &elementBytes) &&
                   run("--aggregate=15", "/KORVA15Min_Element_", &summary, &summaryBytes);
        if (!good) {
            state.SkipWithError("a run did not leave exactly its one report");
            break;
        }
        state.SetIterationTime(summary.dSeconds);
    }
    state.counters["element_s"] = Counter(element.dSeconds);
    state.counters["MB"] = Counter((double)summaryBytes / 1e6);
    state.counters["element_MB"] = Counter((double)elementBytes / 1e6);
    state.counters["peak_rss"] =
        Counter((double)summary.llMaxRssBytes, Counter::kDefaults, Counter::kIs1024);
    state.counters["element_rss"] =
        Counter((double)element.llMaxRssBytes, Counter::kDefaults, Counter::kIs1024);
}

// A whole "korva2csv -E --parquet" run paired with a whole "korva2csv -E --clean
// --compress=zstd" run over the realistic day, as the summary with -E above: the Parquet run's
// wall time, the zstd run's as zstd_s, both files' sizes and peak memory.
const tagDAY kParquetDay = RealisticDay(2000);
const char kParquetBench[] = "WholeRun-E-parquet";
const double kParquetSizeTarget = 0.6;  // Parquet file / .csv.zst, at most
const double kParquetTimeTarget = 1.0;  // Parquet run / zstd run, at most

void ParquetAgainstZstd(benchmark::State& state) {
    using benchmark::Counter;
    static int repetition = 0;
    std::string input = FolderOf(kParquetDay.Path());
    std::string folder = Folder("parquet" + kParquetDay.Name());
    tagCHILDRUN parquet{}, zstd{};
    long long parquetBytes = 0, zstdBytes = 0;
    // One run and what it left: exactly one report, named with ending.
    auto run = [&](std::vector<std::string> options, const char* ending, tagCHILDRUN* result,
                   long long* bytes) {
        *result = RunChild(ConverterArgs(options, input, folder));
        std::vector<std::string> reports = FilesEndingIn(folder, ending);
        bool good = result->iStatus == 0 && reports.size() == 1;
        if (good) *bytes = FileBytes(reports[0]);
        for (const std::string& report : reports) unlink(report.c_str());
        return good;
    };
    auto runParquet = [&] { return run({"-E", "--parquet"}, ".parquet", &parquet, &parquetBytes); };
    auto runZstd = [&] {
        return run({"-E", "--clean", "--compress=zstd"}, ".csv.zst", &zstd, &zstdBytes);
    };
    for (auto _ : state) {
        bool good = repetition++ % 2 == 0 ? runParquet() && runZstd() : runZstd() && runParquet();
        if (!good) {
            state.SkipWithError("a run did not leave exactly its one report");
            break;
        }
        state.SetIterationTime(parquet.dSeconds);
    }
    state.counters["zstd_s"] = Counter(zstd.dSeconds);
    state.counters["MB"] = Counter((double)parquetBytes / 1e6);
    state.counters["zstd_MB"] = Counter((double)zstdBytes / 1e6);
    state.counters["peak_rss"] =
        Counter((double)parquet.llMaxRssBytes, Counter::kDefaults, Counter::kIs1024);
    state.counters["zstd_rss"] =
        Counter((double)zstd.llMaxRssBytes, Counter::kDefaults, Counter::kIs1024);
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
    benchmark::RegisterBenchmark(Name(kSummaryBench, kSummaryDay).c_str(), SummaryAgainstElement)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark(Name(kParquetBench, kParquetDay).c_str(), ParquetAgainstZstd)
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

    std::string summaryName = Name(kSummaryBench, kSummaryDay);
    std::vector<double> summary = results.Seconds(summaryName);
    std::vector<double> element = results.Counter(summaryName, "element_s");
    printf(
        "\nWhole --aggregate=15 run (the summary alone) against a whole -E run, %s, paired: "
        "median [min-max], ratio of the medians (of the best times)\n",
        kSummaryDay.Name().c_str());
    if (summary.empty()) {
        printf("not measured (%s)\n", results.Error(summaryName).c_str());
    } else {
        double ratio = Median(summary) / Median(element);
        printf("summary %-24s -E %-24s %5.2fx (best %4.2fx), target <= %gx: %s\n",
               Describe(summary).c_str(), Describe(element).c_str(), ratio,
               Best(summary) / Best(element), kSummaryTimeTarget,
               ratio <= kSummaryTimeTarget ? "met" : "MISSED");
        double rss = Median(results.Counter(summaryName, "peak_rss"));
        double elementRss = Median(results.Counter(summaryName, "element_rss"));
        double above = (rss - elementRss) / kMiB;
        printf("peak memory %.1f MiB against %.1f MiB of -E (%+.1f MiB), target <= +%g MiB: %s\n",
               rss / kMiB, elementRss / kMiB, above, kSummaryRssTarget,
               above <= kSummaryRssTarget ? "met" : "MISSED");
        printf("report %.2f MB against %.1f MB of -E\n", Median(results.Counter(summaryName, "MB")),
               Median(results.Counter(summaryName, "element_MB")));
    }

    std::string parquetName = Name(kParquetBench, kParquetDay);
    std::vector<double> parquet = results.Seconds(parquetName);
    std::vector<double> zstd = results.Counter(parquetName, "zstd_s");
    printf(
        "\nWhole -E --parquet run against a whole -E --clean --compress=zstd run, %s, paired: "
        "median [min-max], ratio of the medians (of the best times)\n",
        kParquetDay.Name().c_str());
    if (parquet.empty()) {
        printf("not measured (%s)\n", results.Error(parquetName).c_str());
    } else {
        double ratio = Median(parquet) / Median(zstd);
        printf("parquet %-24s zstd %-24s %5.2fx (best %4.2fx), target <= %gx: %s\n",
               Describe(parquet).c_str(), Describe(zstd).c_str(), ratio, Best(parquet) / Best(zstd),
               kParquetTimeTarget, ratio <= kParquetTimeTarget ? "met" : "MISSED");
        double mb = Median(results.Counter(parquetName, "MB"));
        double zstdMb = Median(results.Counter(parquetName, "zstd_MB"));
        printf("file %.2f MB against %.2f MB (%.2fx), target <= %gx: %s\n", mb, zstdMb, mb / zstdMb,
               kParquetSizeTarget, mb / zstdMb <= kParquetSizeTarget ? "met" : "MISSED");
        printf("peak memory %.1f MiB against %.1f MiB of the zstd run\n",
               Median(results.Counter(parquetName, "peak_rss")) / kMiB,
               Median(results.Counter(parquetName, "zstd_rss")) / kMiB);
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

// BenchSupport: what both benchmark programs share: the cached days, temporary folders, the
// converter as a measured child process, and the closing summary of medians and targets.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace korvabench {

// A full day the benchmarks run on (4320 periods, seed 1), made by korva-sample: a sample day,
// or a realistic day (--realistic: a busy network's device mix and spread of values).
struct tagDAY {
    int iDevices;
    bool bRealistic;
    // "2000" for a sample day, "real2000" for a realistic one.
    std::string Name() const;
    // Path of its data file. The day is generated once into the cache folder and reused while
    // its generator stays the same. Its folder holds that day and its cabinet list only, so it
    // serves as an input folder of the converter. Ends the program when the generator is
    // missing or fails.
    std::string Path() const;
};
inline tagDAY SampleDay(int devices) {
    return {devices, false};
}
inline tagDAY RealisticDay(int devices) {
    return {devices, true};
}

// The folder part of a path, ending in '/'.
std::string FolderOf(const std::string& path);

// Whole file into memory; ends the program when it cannot be read.
std::vector<char> LoadFile(const std::string& path);
// Size of a file in bytes, -1 when it does not exist.
long long FileBytes(const std::string& path);
// Number of line feeds in a file.
long long CountLines(const std::string& path);
// Paths of the entries of folder whose names end in suffix.
std::vector<std::string> FilesEndingIn(const std::string& folder, const std::string& suffix);

// A fresh folder /tmp/korva-bench-XXXXXX/ (ending in '/'), removed with its contents by
// RemoveTree.
std::string MakeTempDir();
void RemoveTree(const std::string& folder);

// A program run to completion as a child, its output sent to /dev/null.
struct tagCHILDRUN {
    int iStatus;              // exit status, or -1 when it did not exit normally
    double dSeconds;          // wall time from fork to reaping
    double dCpuSeconds;       // processor time of the child, user and system
    long long llMaxRssBytes;  // peak resident memory of the child alone
};
tagCHILDRUN RunChild(const std::vector<std::string>& args);
// Forks a launcher process, while this one is still small, that runs every later RunChild of
// this process: a child's peak memory starts from that of the process it is forked from, so a
// benchmark process that has grown (days and tables in memory) would otherwise hide the peak of
// a smaller child under its own. Call it first thing in main; it stops when this process exits.
void StartLauncher();
// Resident memory of this process now, in bytes.
long long ResidentBytes();

// The converter's command line for one input folder, one output folder and report options;
// the run log goes into the output folder.
std::vector<std::string> ConverterArgs(const std::vector<std::string>& options,
                                       const std::string& input, const std::string& output);

// Console output of the runs (repetitions are folded into their aggregates) that also keeps
// every repetition for the closing summary. Benchmarks are named as registered.
class Results : public benchmark::ConsoleReporter {
public:
    explicit Results(OutputOptions options) : benchmark::ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override;

    // Wall seconds per iteration of each repetition, empty when the benchmark did not run.
    std::vector<double> Seconds(const std::string& name) const;
    // Values of a counter over the repetitions.
    std::vector<double> Counter(const std::string& name, const std::string& counter) const;
    // Why the benchmark did not run ("not run" when it was filtered out).
    std::string Error(const std::string& name) const;

private:
    std::map<std::string, std::vector<Run>> runs_;
    std::map<std::string, std::string> errors_;
};

double Median(std::vector<double> values);  // NaN for none
// "1.23 s [1.20-1.31]" of a list of seconds, or "-" for none.
std::string Describe(const std::vector<double>& seconds);

// Parses the benchmark flags (random interleaving of the repetitions is on unless the command
// line says otherwise, when interleave is set), runs the benchmarks and prints the summary.
int RunBenchmarkMain(int argc, char** argv, bool interleave, void (*summary)(const Results&));

}  // namespace korvabench

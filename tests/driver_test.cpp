// The converter as a whole process: exit statuses, console, the run log and the folder scan.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "TestSupport.h"

using namespace korvatest;

namespace {

const std::string kHelp =
    "Command separators - / upper or lower case are equivalent for any valid command. "
    "(-X, /X, -x, or /x )\n"
    "\tReport -A  Output Contents - detectors, stations, speed loops, traps, metered lanes with "
    "lane count\n"
    "\tOption -C  Include Ramp Meter Lanes\n"
    "\tReport -L  Output Lane Data\n"
    "\tOption -S  Include Speed detector Data (Lanes with S in the 17th character)\n"
    "\tReport -T  Output Trap Data (virtual speed detectors made from 2 detectors in a lane)\n"
    "\tReport -E  Output Element Data (Lane data merged with virtual Trap data)\n"
    "\tOption -R  Include Lane or Trap data by row first (device) then column (time)\n"
    "\tReport -M  Output metadata files (.LST)\n"
    "\tOption -I[\"path\"] Input folder (-I\"c:\\examplefolder\"  -location of the binary data "
    "files (.DAT))\n"
    "\tOption -O[\"path\"] Output folder (-O\"c:\\examplefolder\"  -location to write reports)\n"
    "\tOption -F[\"path\"] Log file folder (-F\"c:\\examplefolder\"  -location to write log "
    "files)\n"
    "\tOption -P[\"timeperiod\"] Output a single time period (-P\"00:00:00\" (:20, :40))\n"
    "\tOption -D[\"device\"] Output a single device dataset (-D\"005es17329:_MN___1\")\n";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The run log of folder, normalized; the folder must hold nothing else.
std::string LogOf(const std::string& folder) {
    std::vector<std::string> names = ListDir(folder);
    if (names.size() != 1) return std::to_string(names.size()) + " files in the log folder";
    return Masked(ReadFile(folder + names[0]));
}

// The log lines of a run's start, up to its settings.
std::string Settings(const std::string& commands, const std::string& in, const std::string& out,
                     const std::string& log) {
    return "\n\n[T] - File Opened 20YY.MM.DD.\n\n[T] - Version = 2.02\n[T] - Commands: " +
           commands + "\n[T] - Reading folder [" + in + "]\n[T] - Writing folder [" + out +
           "]\n[T] - Logging folder [" + log + "]\n";
}

}  // namespace

TEST(Driver, HelpAndOptionErrorsEndBeforeAnyLog) {
    TempDir dir;
    RunResult r = RunKorva({"-F" + dir.path, "-?", "-x"}, dir.path);
    EXPECT_EQ(r.status, 2);
    std::string out = Masked(r.out);
    EXPECT_TRUE(std::regex_search(
        out, std::regex(R"(^\n\[T\] - .*\n {21}- .*\n\[T\] - Version = 2\.02\n)")));
    ASSERT_TRUE(Has(out, "Command separators"));
    EXPECT_EQ(out.substr(out.find("Command separators")), kHelp);
    r = RunKorva({"-F" + dir.path, "-E", "-Q"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(EndsWith(Masked(r.out), "[T] E Error on command line!\n"));
    EXPECT_TRUE(ListDir(dir.path).empty());
}

TEST(Driver, LogThatCannotBeOpenedEndsWithStatusThree) {
    TempDir dir;
    RunResult r = RunKorva({"-F" + dir / "none"}, dir.path);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Error opening file: No such file or directory\n");
    EXPECT_TRUE(EndsWith(Masked(r.out),
                         "Error code opening file: 2\n"
                         "Error opening file: No such file or directory\n"
                         "     E Could not open log file [" +
                             dir.path +
                             "none/CSVLogYY-MM-DD] - Error = [(nil)]!\n"
                             "\n[T] E Log file failed to open.  \n"));
    // "CSVLog" and the date take 14 characters: a 245-character folder fits, 246 do not, and
    // the path is refused rather than cut.
    std::string fits = dir.path + std::string(244 - dir.path.size(), 'f') + "/";
    std::string tooLong = dir.path + std::string(245 - dir.path.size(), 'l') + "/";
    ASSERT_EQ(mkdir(fits.c_str(), 0755) | mkdir(tooLong.c_str(), 0755), 0);
    r = RunKorva({"-F" + tooLong, "-I" + dir.path}, dir.path);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Error opening file: File name too long\n");
    EXPECT_TRUE(ListDir(tooLong).empty());
    EXPECT_EQ(RunKorva({"-F" + fits, "-I" + dir.path}, dir.path).status, 0);
    EXPECT_EQ(Masked(ListDir(fits).at(0)), "CSVLogYY-MM-DD");
}

TEST(Driver, MissingInputFolderLogsSettingsAndErrorOnly) {
    TempDir dir;
    std::string none = dir / "none/";
    RunResult r = RunKorva({"-I" + none, "-O" + dir.path, "-F" + dir.path, "-e", "/L"}, dir.path);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(LogOf(dir.path), Settings("E L ", none, dir.path, dir.path) +
                                   "[T] E Source Directory [" + none + "] not found!\n");
    EXPECT_TRUE(Has(Masked(r.out), "[T] - Commands: E L \n[T] - Reading folder [" + none +
                                          "]\n[T] - Writing folder [" + dir.path +
                                          "]\n[T] - Logging folder [" + dir.path + "]\n"));
}

TEST(Driver, RunsWithoutMatchingFileLogZeroTotalsAndAppendToOneLog) {
    TempDir in, out, logs;
    std::vector<std::string> args = {"-I" + in.path, "-O" + out.path, "-F" + logs.path};
    EXPECT_EQ(RunKorva(args, in.path).status, 0);
    WriteFile(in / "X.DAT", BuildDataFile({}));
    args.push_back("-M");  // a list-file run passes data files over
    RunResult r = RunKorva(args, in.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(EndsWith(Masked(r.out),
                         "Finished converting 0 .DAT Files and 0 .LST Files in [S] seconds.\n"));
    const std::string end =
        "[T] E Found no input file.\n"
        "[T] - Finished converting 0 .DAT Files and 0 .LST Files in [S] seconds.\n\n"
        "[+ S] - File Closed.\n\n";
    EXPECT_EQ(LogOf(logs.path), Settings("", in.path, out.path, logs.path) + end +
                                    Settings("M ", in.path, out.path, logs.path) + end);
    EXPECT_TRUE(ListDir(out.path).empty());
}

TEST(Driver, HandsOnEveryNameContainingDatAndPassesOverWhatIsNoFile) {
    TempDir in, out, logs;
    for (const char* name : {"DATA.txt", "OLDDAT", "x.dat"})
        WriteFile(in / name, BuildDataFile({}));
    ASSERT_EQ(symlink((in / "OLDDAT").c_str(), (in / "LINK.DAT").c_str()), 0);
    ASSERT_EQ(mkfifo((in / "X.DAT").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((in / "DATA").c_str(), 0755), 0);
    alarm(60);  // a converter stuck on the FIFO ends the test program instead of hanging it
    EXPECT_EQ(RunKorva({"-I" + in.path, "-O" + out.path, "-F" + logs.path}, in.path).status, 0);
    alarm(0);
    std::string log = LogOf(logs.path);
    for (const char* name : {"DATA.txt", "OLDDAT", "LINK.DAT"})
        EXPECT_TRUE(Has(log, std::string("[T] - Completed processing of data file [") + name));
    for (const char* name : {"X.DAT", "DATA"})
        EXPECT_TRUE(Has(log, std::string("[T] E Data file [") + name +
                                 "] is not a regular file; passed over!\n"));
    EXPECT_FALSE(Has(log, "x.dat"));
    EXPECT_TRUE(Has(log, "Finished converting 5 .DAT Files and 0 .LST Files"));
}

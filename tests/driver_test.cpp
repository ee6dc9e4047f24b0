// The converter as a whole process: exit statuses, console, the run log and the folder scan.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "TestSupport.h"

using namespace korvatest;

namespace {

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
    EXPECT_TRUE(std::regex_search(
        Masked(r.out),
        std::regex(R"(^\n\[T\] - .*\n {21}- .*\n\[T\] - Version = 2\.02\n)"
                   R"(\tOption -F, String = .*\nCommand separators [\s\S]*\n\tOption -D.*\n$)")));
    r = RunKorva({"-F" + dir.path, "-E", "-Q"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Masked(r.out).ends_with("[T] E Error on command line!\n"));
    EXPECT_TRUE(ListDir(dir.path).empty());
}

TEST(Driver, LogThatCannotBeOpenedEndsWithStatusThree) {
    TempDir dir;
    RunResult r = RunKorva({"-F" + dir / "none"}, dir.path);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Error opening file: No such file or directory\n");
    EXPECT_TRUE(
        Masked(r.out).ends_with("Error code opening file: 2\n"
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

// Three runs append to one log: a missing input folder (status 4), an empty folder, and a
// list-file run that passes a data file over.
TEST(Driver, RunsWithoutInputLogTheirSettingsAndTotalsToOneLog) {
    TempDir in, out, logs;
    std::string none = in / "none/";
    RunResult r = RunKorva({"-I" + none, "-O" + out.path, "-F" + logs.path, "-e", "/L"}, in.path);
    EXPECT_EQ(r.status, 4);
    std::string settings = Settings("E L ", none, out.path, logs.path);
    EXPECT_TRUE(Has(Masked(r.out), settings.substr(settings.find("[T] - Commands"))));
    std::vector<std::string> args = {"-I" + in.path, "-O" + out.path, "-F" + logs.path};
    EXPECT_EQ(RunKorva(args, in.path).status, 0);
    WriteFile(in / "X.DAT", BuildDataFile({}));
    args.push_back("-M");
    r = RunKorva(args, in.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Masked(r.out).ends_with(
        "Finished converting 0 .DAT Files and 0 .LST Files in [S] seconds.\n"));
    const std::string end =
        "[T] E Found no input file.\n"
        "[T] - Finished converting 0 .DAT Files and 0 .LST Files in [S] seconds.\n\n"
        "[+ S] - File Closed.\n\n";
    EXPECT_EQ(LogOf(logs.path), settings + "[T] E Source Directory [" + none + "] not found!\n" +
                                    Settings("", in.path, out.path, logs.path) + end +
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
    for (std::string name : {"DATA.txt", "OLDDAT", "LINK.DAT"})
        EXPECT_TRUE(Has(log, "[T] - Completed processing of data file [" + name)) << name;
    for (std::string name : {"X.DAT", "DATA"})
        EXPECT_TRUE(
            Has(log, "[T] E Data file [" + name + "] is not a regular file; passed over!\n"));
    EXPECT_FALSE(Has(log, "x.dat"));
    EXPECT_TRUE(Has(log, "Finished converting 5 .DAT Files and 0 .LST Files"));
}

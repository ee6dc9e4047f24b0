// The converter as a whole process: exit statuses, console, the run log and the folder scan.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <regex>
#include <thread>

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

// Today's log name, as the converter makes it.
std::string LogName() {
    char name[32];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(name, sizeof name, "CSVLog%y-%m-%d", &local);
    return name;
}

// The E lines of a log, each as standard error repeats it.
std::string Mirrored(const std::string& log) {
    std::string mirrored;
    for (const std::string& line : Lines(log))
        if (line.size() > 13 && line.compare(10, 3, " E ") == 0)
            mirrored += "korva2csv: " + line + "\n";
    return mirrored;
}

}  // namespace

// --help and --version answer alone, before the banner; any other "--" text is refused.
TEST(Driver, HelpVersionAndOptionErrorsEndBeforeAnyLog) {
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
    r = RunKorva({"-F" + dir.path, "-E", "--version", "-x"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "korva2csv 2.02\n");
    r = RunKorva({"-x", "--help"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("Usage: korva2csv")) << r.out;
    EXPECT_TRUE(Has(r.out, "\tOption -D") && Has(r.out, "--strict") && !Has(r.out, "Welcome"));
    for (std::string text : {"--", "--strictly", "--HELP"}) {
        r = RunKorva({"-F" + dir.path, text}, dir.path);
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_TRUE(Has(r.out, "     E Illegal option code = -\n")) << text;
    }
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
    // A FIFO or a link under the log's name is no log: refused without waiting for a reader,
    // and nothing is written through the link.
    TempDir fifo, link, elsewhere;
    ASSERT_EQ(mkfifo((fifo / LogName()).c_str(), 0644), 0);
    WriteFile(elsewhere / "victim", "victim\n");
    ASSERT_EQ(symlink((elsewhere / "victim").c_str(), (link / LogName()).c_str()), 0);
    int reader = -1;  // the FIFO without a reader, then with one
    for (const TempDir* logs : {&fifo, &fifo, &link}) {
        alarm(60);  // a converter stuck on the FIFO ends the test program instead of hanging it
        r = RunKorva({"-F" + logs->path, "-I" + dir.path}, dir.path);
        alarm(0);
        if (reader < 0) reader = open((fifo / LogName()).c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_EQ(r.status, 3);
        EXPECT_TRUE(r.err.starts_with("Error opening file: ")) << r.err;
        EXPECT_TRUE(Masked(r.out).ends_with("     E Could not open log file [" + logs->path +
                                            "CSVLogYY-MM-DD] - Error = [(nil)]!\n"
                                            "\n[T] E Log file failed to open.  \n"))
            << r.out;
    }
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0);  // nothing was written into the FIFO
    close(reader);
    EXPECT_EQ(ReadFile(elsewhere / "victim"), "victim\n");
}

// A log that stops taking lines does not stop the conversion; the run tells it at its end.
TEST(Driver, LogThatCannotBeWrittenIsToldAtTheEndWithStatusThree) {
    TempDir in, out, logs, capture;
    WriteFile(in / "X.DAT", BuildDataFile({}));
    const std::string log = logs / LogName();
    const std::string full(1 << 20, '.');  // the limit below: not one more byte fits
    WriteFile(log, full);
    int status = WithFileSizeLimit((long)full.size(), [&] {
        RunResult r = RunKorva({"-E", "-I" + in.path, "-O" + out.path, "-F" + logs.path}, in.path);
        WriteFile(capture / "err", r.err);
        return r.status;
    });
    EXPECT_EQ(status, 3);
    EXPECT_EQ(ReadFile(capture / "err"),
              "korva2csv: could not write the log [" + log + "]: " + strerror(EFBIG) + "\n");
    EXPECT_TRUE(ReadFile(log) == full);
    EXPECT_EQ(ListDir(out.path), std::vector<std::string>{"KORVA20Sec_Element_05012021.csv"});
}

// A current folder that cannot be named leaves the folders relative to it, never the root.
TEST(Driver, CurrentFolderThatIsGoneLeavesTheFoldersRelative) {
    TempDir dir;
    const std::string gone = dir / "gone";
    int back = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(back, 0);
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    RunResult r = RunKorva({"-E"}, ".");
    ASSERT_EQ(fchdir(back), 0);
    close(back);
    EXPECT_EQ(r.status, 3);  // nothing can be created in a removed folder
    for (std::string which : {"current", "target", "log"})
        EXPECT_TRUE(Has(r.out, "     E Failed to get " + which + " folder.\n")) << r.out;
    EXPECT_TRUE(Has(Masked(r.out), "     E Could not open log file [./CSVLogYY-MM-DD]")) << r.out;
}

// A report's temporary file is private; the published report has the permissions the umask
// gives any new file.
TEST(Driver, ReportsTakeThePermissionsOfTheUmask) {
    TempDir in, out;
    WriteFile(in / "X.DAT", BuildDataFile({}));
    mode_t before = umask(027);  // inherited by the converter
    RunResult r = RunKorva({"-E", "-I" + in.path, "-O" + out.path, "-F" + in.path}, in.path);
    umask(before);
    struct stat info;
    ASSERT_EQ(stat((out / "KORVA20Sec_Element_05012021.csv").c_str(), &info), 0) << r.out;
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// Every E line of the log is repeated on standard error (standard output keeps its lines);
// --strict turns a file with an E line into status 5.
TEST(Driver, ErrorLinesGoToStandardErrorAndStrictMakesThemStatusFive) {
    TempDir in, out, logs;
    WriteFile(in / "X.DAT", BuildDataFile({}));
    const std::string gone = out / "gone/";
    std::vector<std::string> args = {"-E", "-A", "-I" + in.path, "-O" + gone, "-F" + logs.path};
    RunResult r = RunKorva(args, in.path);
    EXPECT_EQ(r.status, 0);
    const std::string log = ReadFile(logs / LogName());
    EXPECT_EQ(Count(log, "] E Could not create CSV file [" + gone), 2);
    EXPECT_EQ(r.err, Mirrored(log));
    EXPECT_FALSE(Has(r.out, "korva2csv: ") || Has(r.out, "] E "));
    args.push_back("--strict");
    EXPECT_EQ(RunKorva(args, in.path).status, 5);
    args[3] = "-O" + out.path;
    r = RunKorva(args, in.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A stop asked for by a signal while a report is written removes the report's temporary file,
// logs the report as not written and ends with 128 + the signal.
TEST(Driver, SignalDuringAReportRemovesItAndEndsWith128PlusTheSignal) {
    TempDir in;
    const std::string sample =
        KORVA_SAMPLE_BIN + (" -n 2000 -p 4320 -d 1 " + in.path) + " >/dev/null";
    ASSERT_EQ(std::system(sample.c_str()), 0);  // a day whose element report takes 386 MB
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        TempDir out, logs;
        std::string err = logs / "stderr";
        std::vector<std::string> args = {"korva2csv", "-E", "-I" + in.path, "-O" + out.path,
                                         "-F" + logs.path};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0644);
        pid_t child;
        ASSERT_EQ(posix_spawn(&child, KORVA2CSV_BIN, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Signal once the temporary report exists (it takes seconds to fill).
        for (int i = 0; i < 6000 && ListDir(out.path).empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(child, signal);
        alarm(120);  // a converter that ignores the signal ends the test program
        int status = 0;
        waitpid(child, &status, 0);
        alarm(0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status;
        EXPECT_TRUE(ListDir(out.path).empty());
        const std::string log = ReadFile(logs / LogName());
        const std::string said = "] E Interrupted by signal [" + std::to_string(signal) + "]; [" +
                                 out.path + "KORVA20Sec_Element_05012021.csv] not written!\n";
        EXPECT_TRUE(log.ends_with(said))
            << log.substr(log.size() - std::min<size_t>(log.size(), 400));
        EXPECT_EQ(ReadFile(err), Mirrored(log));
    }
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

// The command line and the run driver: what the option parser takes and sets, and the converter
// as a whole process: exit statuses, the run log, the folder scan, interruption.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "TestSupport.h"
#include "cli/Options.h"

using namespace korvatest;

namespace {

// Parses a command line: "refused", "help", or what the run goes on with: the flags set
// (E L T A M S C R P D, c for --clean), the folders other than the current one, the -P and -D
// texts, the compression (kind:level), the summaries' minutes, the Parquet codec and level and,
// with --health, its window and thresholds.
tagSETTINGS parsed;
std::string Parse(const std::vector<std::string>& args) {
    int result = ParseCommandLine(args, &parsed);
    if (result != OPTIONS_GO_ON) return result == OPTIONS_HELP ? "help" : "refused";
    const tagSETTINGS& o = parsed;
    const int* flags[] = {&o.bWRITEELEMENTS,   &o.bWRITELANES,     &o.bWRITETRAPS,
                          &o.bLISTALLELEMENTS, &o.bCONVERTMETA,    &o.bINCLUDESPEEDLANES,
                          &o.bINCLUDEMETERS,   &o.bWRITEROWSFIRST, &o.bPERIOD,
                          &o.bDEVICE,          &o.bClean};
    const char* texts[] = {o.szSourceFolder, o.szTargetFolder, o.szLogFolder, o.szPeriod,
                           o.szDevice};
    std::string s, cwd = std::filesystem::current_path().string() + "/";
    for (int i = 0; i < 11; i++)
        if (*flags[i]) s += "ELTAMSCRPDc"[i];
    for (int i = 0; i < 5; i++)
        if (*texts[i] && texts[i] != cwd) s += std::string(" ") + "IOFPD"[i] + texts[i];
    if (o.iCompression)
        s += " z" + std::to_string(o.iCompression) + ":" + std::to_string(o.iCompressionLevel);
    for (int a = 0; a < o.iAggregates; a++) s += " a" + std::to_string(o.iAggregateMinutes[a]);
    if (o.bParquet)
        s += " q" + std::to_string(o.iParquetCodec) + ":" + std::to_string(o.iParquetLevel);
    if (o.bHealth) {
        const tagHEALTHRULES& h = o.health;
        s += " h" + std::to_string(h.iWindowFirst) + "-" + std::to_string(h.iWindowEnd);
        for (int rule : {h.iInsufficient, h.iCardOff, h.iHighOccupancy, h.iHighScan, h.iNoVolume,
                         h.iNoOccupancy, h.iConstant, h.iImplausible})
            s += "," + std::to_string(rule);
    }
    return s;
}

// Today's run log name.
std::string LogName() {
    char name[32];
    time_t now = time(nullptr);
    strftime(name, sizeof name, "CSVLog%y-%m-%d", localtime(&now));
    return name;
}

}  // namespace

TEST(Options, AcceptedAndRefusedCommandLines) {
    const std::string o4094(4094, 'o');
    const std::pair<std::vector<std::string>, std::string> accepted[] = {
        {{}, "E"},  // no argument at all: the element report of the current folder
        {{"data", "-Ifirst", "-I/in/", "-Oout", "-F./"}, " I/in/ Oout/ F./"},
        {{"-e", "/tmp", "-lxyz", "/a", "-m", "-S", "/c", "-r"}, "ELTAMSCR"},
        {{"-P07:30:20", "-d005es17329:_MN___1"}, "PD P07:30:20 D005es17329:_MN___1"},
        {{"-O" + o4094}, " O" + o4094 + "/"},
        {{"--strict", "--clean", "--compress=gzip", "--aggregate=15,60,15"}, "c z1:1 a15 a60"},
        {{"--compress=gzip:0", "--aggregate=1,1440"}, " z1:0 a1 a1440"},
        {{"--health"}, " h900-3960,600,590,200,840,20,500,720,200"},
        {{"--health=window=00:00-24:00,card_off=12.5,high_scan=0,constant=1,constant=4320"},
         " h0-4320,600,125,200,0,20,500,4320,200"},
        {{"--health=insufficient=0,no_volume=100,implausible=0.1", "--health"},
         " h900-3960,0,590,200,840,1000,500,720,1"},
        {{"--health=window=05:00:20-05:00:40,high_occupancy=7,no_occupancy=99.9"},
         " h901-902,600,590,70,840,20,999,720,200"},
        {{"--parquet"}, "c q6:1"},  // the columns of standard CSV
        {{"--parquet=zstd:19"}, "c q6:19"},
        {{"--parquet=none"}, "c q0:1"},
        // A Parquet file's pages are compressed: --compress does not apply.
        {{"--parquet", "--compress=zstd"}, "refused"},
        {{"--compress=gzip", "--parquet"}, "refused"},
        {{"-E", "-?", "-x"}, "help"}};
    for (const auto& [args, parsed] : accepted)
        EXPECT_EQ(Parse(args), parsed) << (args.empty() ? "" : args.back().substr(0, 30));
    // clang-format off
    std::vector<std::string> refused = {
        "-x", "-", "-I/", "-P7", "-P07:30", "-P07-30-20", "-P07:30:20:00", "-D005es17329:_MN___",
        "-D005es17329:_MN___1x", "-D005es17329-_MN___1", "--", "--strictly", "--HELP",
        "--clean=1", "--compress=gzip:4", "--compress=zstd:0", "--compress=zstd:20",
        "--compress=gzip:", "--compress=gzip:+1", "--compress=gzipx", "--compress=xz",
        "--aggregate=7", "--aggregate=0", "--aggregate=2880", "--aggregate=15,",
        "--aggregate=,15", "--aggregate=15;60", "-F" + o4094 + "f", "--compress=",
        "--compress=gz", "--compress=GZIP", "--compress=gzip:-1", "--compress=gzip:1x",
        "--compress=zstd:99999999999999999999", "--aggregate=", "--aggregate=15,x", "--compress=gzip:01",
        "--compress=zstd:019", "--compress=gzip:00", "--healthy",
        "--HEALTH", "--health=", "--health=card_off", "--health=card_off=",
        "--health=card_off=101", "--health=card_off=2.55", "--health=card_off=-1",
        "--health=card_off=1.", "--health=card_off=.5", "--health=Card_off=5", "--health=speed=5",
        "--health==5", "--health=high_scan=1201", "--health=constant=0", "--health=constant=4321",
        "--health=constant=99999999999", "--health=window=22:00-05:00",
        "--health=window=05:00-05:00", "--health=window=05:00-24:20",
        "--health=window=05:00:10-06:00", "--health=window=5:00-6:00",
        "--health=window=05:60-06:00", "--health=window=05:00", "--health=window=05:00-06:00-07:00",
        "--health=card_off=5,", "--health=,card_off=5", "--health=card_off=5;constant=7",
        "--health=card_off=5=6", "--parquet=zstd:0", "--parquet=gzip", "--parquet=zstd:20"};
    // clang-format on
    for (const std::string& arg : refused)
        EXPECT_EQ(Parse({"-E", arg, "-L"}), "refused") << arg.substr(0, 30);
    std::vector<std::string> sixteen(15, "-A");
    sixteen.push_back("-M");  // takes effect, but the log's command list holds fifteen letters
    EXPECT_EQ(Parse(sixteen), "AM");
    EXPECT_STREQ(parsed.szCmdLine, "A A A A A A A A A A A A A A A ");
}

// The runs share one folder (and its log) holding one data file. A FIFO (without a reader, and
// with one) or a link at the log's name is refused without waiting, and nothing is written
// through it. Every name containing "DAT" is handed on; what is no regular file is passed over
// unopened. Reports get the permissions the umask gives any new file.
TEST(Driver, ExitStatusesAndWhatEachRunSays) {
    TempDir dir;
    WriteFile(dir / "X.DAT", BuildDataFile({}));
    WriteFile(dir / "file", "victim\n");
    for (const char* folder : {"out", "names", "names/DATA", "fifo", "reader", "link"})
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0755), 0);
    for (const char* name : {"DATA.txt", "OLDDAT", "x.dat"})
        WriteFile(dir / "names/" + name, BuildDataFile({}));
    ASSERT_EQ(symlink((dir / "names/OLDDAT").c_str(), (dir / "names/LINK.DAT").c_str()) |
                  mkfifo((dir / "names/F.DAT").c_str(), 0644) |
                  mkfifo((dir / "fifo/" + LogName()).c_str(), 0644) |
                  mkfifo((dir / "reader/" + LogName()).c_str(), 0644) |
                  symlink((dir / "file").c_str(), (dir / "link/" + LogName()).c_str()),
              0);
    int reader = open((dir / "reader/" + LogName()).c_str(), O_RDONLY | O_NONBLOCK);
    const std::string noLog = "E Log file failed to open.", opening = "Error opening file: ",
                      noCsv = "] E Could not create CSV file [out/gone/KORVA20Sec_Element_";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;  // a piece of each; an empty err: nothing on standard error
    } cases[] = {
        {{"-?"}, 2, "Command separators", ""},
        {{"-E", "-Q"}, 1, "] E Error on command line!\n", ""},
        {{"-E", "--version", "-x"}, 0, "korva2csv 2.02\n", ""},
        {{"-x", "--help"}, 0, "Usage: korva2csv", ""},
        {{"-E", "-Fnone/"}, 3, noLog, opening + "No such file or directory\n"},
        {{"-E", "-Ffile/"}, 3, noLog, opening + "Not a directory\n"},
        {{"-E", "-Ffifo/"}, 3, noLog, opening},
        {{"-E", "-Freader/"}, 3, noLog, opening},
        {{"-E", "-Flink/"}, 3, noLog, opening},
        {{"-E", "-Inone/"}, 4, "Reading folder [none/]", "] E Source Directory [none/] not found!"},
        {{"-E", "-Oout/gone/"}, 0, "Finished converting 1 .DAT", noCsv},
        {{"-E", "-Oout/gone/", "--strict"}, 5, "Finished converting 1 .DAT", noCsv},
        {{"-E", "-Oout/", "--strict"}, 0, "Finished converting 1 .DAT", ""},
        {{"-M", "--strict"}, 0, "Finished converting 0 .DAT", "] E Found no input file.\n"},
        {{"-S", "-Inames/"}, 0, "Finished converting 5 .DAT", "] E Data file [F.DAT] is not a"}};
    mode_t before = umask(027);  // inherited by the converter
    alarm(120);  // a converter stuck on a FIFO ends the test program instead of hanging it
    for (const auto& c : cases) {
        RunResult r = RunKorva(c.args, dir.path);
        EXPECT_TRUE(r.status == c.status && Has(r.out, c.out) &&
                    (c.err.empty() ? r.err.empty() : Has(r.err, c.err)))
            << c.args.back() << " " << r.status << "\n"
            << r.out << r.err;
    }
    alarm(0);
    umask(before);
    struct stat info;
    ASSERT_EQ(stat((dir / "out/KORVA20Sec_Element_05012021.csv").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0);  // nothing was written into the FIFO
    close(reader);
    EXPECT_EQ(ReadFile(dir / "file"), "victim\n");
    const std::string log = ReadFile(dir / LogName());
    EXPECT_EQ(Count(log, "] - File Opened 20"), 6);
    EXPECT_EQ(Count(log, "] - File Closed.\n"), 5);
    for (std::string name : {"DATA.txt", "OLDDAT", "LINK.DAT"})
        EXPECT_TRUE(Has(log, "] - Completed processing of data file [" + name)) << name;
    EXPECT_TRUE(Has(log, "] E Data file [DATA] is not a regular file; passed over!"));
    EXPECT_FALSE(Has(log, "x.dat"));
}

// A log that stops taking lines does not stop the conversion; the run tells it at its end.
TEST(Driver, LogThatCannotBeWrittenIsToldAtTheEndWithStatusThree) {
    TempDir dir, capture;
    WriteFile(dir / "X.DAT", BuildDataFile({}));
    const std::string log = dir / LogName(), full(1 << 20, '.');
    WriteFile(log, full);  // the limit below: not one more byte fits
    int status = WithFileSizeLimit((long)full.size(), [&] {
        RunResult r = RunKorva({"-E", "-F" + dir.path}, dir.path);
        WriteFile(capture / "err", r.err);
        return r.status;
    });
    EXPECT_EQ(status, 3);
    EXPECT_EQ(ReadFile(capture / "err"),
              "korva2csv: could not write the log [" + log + "]: File too large\n");
    EXPECT_TRUE(ReadFile(log) == full);
    EXPECT_TRUE(Has(ReadFile(dir / "KORVA20Sec_Element_05012021.csv"), "Name,NumLanes,"));
}

// A current folder that cannot be named leaves the folders relative to it, never the root.
TEST(Driver, CurrentFolderThatIsGoneLeavesTheFoldersRelative) {
    TempDir dir;
    const std::string gone = dir / "gone";
    int back = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(mkdir(gone.c_str(), 0700) == 0 && chdir(gone.c_str()) == 0 &&
                rmdir(gone.c_str()) == 0);
    RunResult r = RunKorva({"-E"}, ".");
    ASSERT_EQ(fchdir(back), 0);
    close(back);
    EXPECT_EQ(r.status, 3);  // nothing can be created in a removed folder
    for (std::string which : {"current", "target", "log"})
        EXPECT_TRUE(Has(r.out, "     E Failed to get " + which + " folder.\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "     E Could not open log file [./CSVLog")) << r.out;
}

// A stop asked for by a signal while a report is written removes the report's temporary file,
// logs the report as not written and ends with 128 + the signal.
TEST(Driver, SignalDuringAReportRemovesItAndEndsWith128PlusTheSignal) {
    TempDir in;
    // 1,000 loops sharing one block of a day: an element report of 330 MB.
    std::vector<DeviceLayout> loops(1000, {"L", DEVICE_LOOP, "", 1024 + 27 * 1000});
    loops[0] = {"L", DEVICE_LOOP, Block(PERIODS_PER_DAY, LoopEntry(0, 1, 5, 0, 3))};
    WriteFile(in / "X.DAT", BuildDataFile({PERIODS_PER_DAY, loops}));
    // -SIGHUP: a hangup sent to a run started with hangups ignored (nohup), which goes on.
    for (int sent : {SIGTERM, SIGINT, SIGHUP, -SIGHUP}) {
        const int signal = std::abs(sent);
        const bool ignored = sent < 0;
        TempDir out;
        const std::string input = "-I" + in.path, output = "-O" + out.path, logs = "-F" + in.path;
        pid_t child = fork();
        if (child == 0) {
            if (ignored) std::signal(SIGHUP, SIG_IGN);
            if (freopen("/dev/null", "w", stdout) && freopen("/dev/null", "w", stderr))
                execl(KORVA2CSV_BIN, "korva2csv", "-E", input.c_str(), output.c_str(), logs.c_str(),
                      nullptr);
            _exit(127);
        }
        for (int i = 0; i < 60000 && ListDir(out.path).empty(); i++)  // the temporary report
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        kill(child, signal);
        alarm(120);  // a converter that ignores the signal ends the test program
        int status = 0;
        waitpid(child, &status, 0);
        alarm(0);
        const std::string report = "KORVA20Sec_Element_05012021.csv";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (ignored ? 0 : 128 + signal) &&
                    ListDir(out.path) == std::vector<std::string>(ignored, report))
            << sent << " " << status;
        EXPECT_EQ(Has(ReadFile(in / ListDir(in.path).at(0)),
                      "] E Interrupted by signal [" + std::to_string(signal) + "]; [" + out.path +
                          report + "] not written!\n"),
                  !ignored);
    }
}

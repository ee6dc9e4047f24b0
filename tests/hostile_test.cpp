// Files from broken field systems, partial copies and hostile hands, and the faults of the machine
// around the converter: nothing may crash, overrun a buffer (the sanitizer build watches), claim
// far more memory than the file justifies, or report a failure as success.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "TestSupport.h"
#include "output/ReportFile.h"

using namespace korvatest;

namespace {

// A small but complete day: every device type, three periods.
std::string SmallDay(const std::string& start = "05/01/2021 00:00:00") {
    auto repeat = [](const std::string& entry) { return Block(3, entry); };
    return BuildDataFile(
        {3,
         {{"005es17329:_MN___0", DEVICE_STATION, repeat(LoopEntry(0, 1, 90, 1, 4))},
          {"005es17329:_MN___1", DEVICE_LOOP, repeat(LoopEntry(0, 1, 90, 0, 4))},
          {"005es17329:_MN__T1", DEVICE_SPEED_TRAP, repeat("\x80\x82\x58\xc8\x42\x11")},
          {"005es17329:_MN__S1", DEVICE_LOOP, repeat(LoopEntry(0, 1, 80, 0, 4))},
          {"005es17329:_MN__R1", DEVICE_METERED_LANE, repeat("\x12\xab")}},
         start});
}

class Publication : public KorvaTest {};
class HostileFiles : public KorvaTest {
protected:
    // Converts the bytes as X.DAT with every report and option on; returns the log.
    std::string Convert(const std::string& bytes, size_t reports = 4) {
        settings = tagSETTINGS{};
        settings.bWRITEELEMENTS = settings.bWRITELANES = settings.bWRITETRAPS = 1;
        settings.bLISTALLELEMENTS = settings.bINCLUDESPEEDLANES = settings.bINCLUDEMETERS = 1;
        TempDir in, out;
        WriteFile(in / "X.DAT", bytes);
        MemoryLog run;
        EXPECT_EQ(ProcessDataFile(In(in.path, out.path), "X.DAT", &run), 1);
        EXPECT_EQ(ListDir(out.path).size(), reports);  // every report whole, no temporary left
        return run.Text();
    }
};

}  // namespace

// A file cut anywhere converts; one without a start date (empty, cut before the date, text,
// random bytes) or whose date is no real day writes no report.
TEST_F(HostileFiles, CutFilesConvertAndFilesWithoutARealStartDateWriteNoReport) {
    const std::string day = SmallDay();
    std::mt19937 random(7);
    std::string garbage(70000, '\0');
    for (char& c : garbage) c = (char)random();
    const std::string noDate = "] E No start date in data file [X.DAT]; no reports written!\n";
    // The name table at 1024, the blocks from 1159.
    for (size_t cut : {1023ul, 1024ul, 1037ul, 1158ul, 1163ul, day.size() - 1})
        EXPECT_TRUE(Has(Convert(day.substr(0, cut)), "Completed processing")) << cut;
    for (const std::string& bytes : {std::string(), day.substr(0, 40), std::string("Data Start"),
                                     std::string(5000, 'A'), garbage})
        EXPECT_EQ(Count(Convert(bytes, 0), noDate), 1) << bytes.size();
    // A start date is a real day in MM/DD/YYYY digits, or none: anything else would name the
    // reports by no date, put bytes of the header into their names, or split their rows.
    for (const char* start :
         {"5/01/2021 00:00:00", "05/01/2,21", "05/01/\"021", "99/99/2021", "00/00/0000",
          "02/29/2021", "04/31/2021", "13/01/2021", "05/01/0000", "05/01/20211", "05/01/2021\x01",
          "05-01-2021", "          ", "05/01/2021\t00:00:00"})
        EXPECT_EQ(Count(Convert(SmallDay(start), 0), noDate), 1) << start;
    for (const char* start : {"02/29/2024", "02/29/2000", "12/31/9999", "05/01/2021"})
        EXPECT_TRUE(Has(Convert(SmallDay(start)), "Completed processing")) << start;
}

// More names than the name table holds, a table past the end, blocks past the end of the file
// (also one whose offset wraps in 32 bits) or cut inside an entry: a warning, nothing else.
TEST_F(HostileFiles, ClaimsBeyondTheFileAreBoundedAndReported) {
    std::string names = SmallDay(), table = names;
    names.replace(names.find("Names = 5"), 9, "Names = 1000000000");
    table.replace(table.find("Size = 1024"), 11, "Size = 2147483647");
    for (const std::string& bytes : {names, table}) {
        std::string said = Convert(bytes);
        EXPECT_TRUE(Has(said, "] W While parsing the name table, we ran out of name data"));
        EXPECT_FALSE(Has(said, "] E "));
    }
    std::string said = Convert(BuildDataFile(
        {3,
         {{"LOOP", DEVICE_LOOP, Block(3, LoopEntry(2, 3, 556, 3, 5))},
          {"TRAP", DEVICE_SPEED_TRAP, std::string(18, '\xff')},
          {"SAME", DEVICE_LOOP, "", 1024 + 27 * 7},  // shares the loop's block
          {"OTHER", 99, std::string(3, '\xFF')},
          {"PAST", DEVICE_LOOP, "", 5000},
          {"WRAPS", DEVICE_STATION, "", 0xFFFFFFFFll - 2},
          {"PARTIAL", DEVICE_METERED_LANE, "\x12\xAB\x12\xAB\x12"}}}));  // 2.5 entries
    for (std::string name : {"PAST]", "WRAPS]", "PARTIAL]"})
        EXPECT_TRUE(Has(said, "] W Data block of device [" + name +
                                  " ends past the end of the file; only [" +
                                  (name[2] == 'R' ? "2" : "0") + "] of [3] periods unpacked!\n"))
            << name;
    EXPECT_EQ(Count(said, "] W "), 3);
}

// Files of 2 GiB or more (sparse here; the second, cut to an int, would look like the small
// file it begins with), and a file that delivers less than its size (a sysfs file claims 4096
// bytes and gives a few dozen) are errors, not conversions.
TEST_F(HostileFiles, HugeFilesAndShortReadsAreRefused) {
    settings.bWRITEELEMENTS = 1;
    const std::string day = SmallDay(), shrinking = "/sys/kernel/mm/transparent_hugepage/enabled";
    for (off_t size : {off_t(1) << 31, (off_t(1) << 32) + (off_t)day.size()}) {
        WriteFile(dir / "X.DAT", day);
        ASSERT_EQ(truncate((dir / "X.DAT").c_str(), size), 0);
        EXPECT_EQ(ProcessDataFile(In(dir.path, dir.path), "X.DAT", &log), 0);
    }
    EXPECT_EQ(Count(log.Text(), "E Size of data file [X.DAT] cannot be determined or is 2 GiB"), 2);
    struct stat info;
    if (stat(shrinking.c_str(), &info) != 0 || info.st_size != 4096) GTEST_SKIP() << "no sysfs";
    ASSERT_TRUE(unlink((dir / "X.DAT").c_str()) == 0 &&
                symlink(shrinking.c_str(), (dir / "X.DAT").c_str()) == 0);
    EXPECT_EQ(ProcessDataFile(In(dir.path, dir.path), "X.DAT", &log), 0);
    EXPECT_TRUE(Has(log.Text(), "E Could not read the data block [4096 bytes] from data file"));
    EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"X.DAT"});
}

// A name costs a few dozen bytes, not a day of values: 60,000 traps sharing one block over a
// day, 100,000 unnamed names, a small file claiming 50 million names, and a day's summary of
// 3,000 loops all convert within a few hundred megabytes; a column count past one day is
// clamped to it.
TEST_F(HostileFiles, HugeClaimsConvertWithinAMemoryLimit) {
    const std::string trap = TrapEntry(556, 315, 7, 9, 3, 2, 133, 160);
    DataFileLayout big{4400,
                       {{"LOOP", DEVICE_LOOP, Block(4400, LoopEntry(1, 2, 600, 1, 9))},
                        {"TRAP", DEVICE_SPEED_TRAP, Block(4400, trap)}},
                       "05/02/2021 00:00:00"};
    DataFileLayout many{PERIODS_PER_DAY, {}, "05/03/2021 00:00:00"};
    for (int i = 0; i < 60000; i++)
        many.devices.push_back({std::to_string(1000000 + i) + ":_MN_____T1", DEVICE_SPEED_TRAP,
                                i ? "" : Block(PERIODS_PER_DAY, trap),
                                i ? 1024 + 27 * 60000ll : -1});
    WriteFile(dir / "BIG.DAT", BuildDataFile(big));
    WriteFile(dir / "MANY.DAT", BuildDataFile(many));
    WriteFile(dir / "UNNAMED.DAT",
              BuildDataFile({3, std::vector<DeviceLayout>(100000, {"", 0, ""}), "05/04/2021"}));
    WriteFile(dir / "TINY.DAT",
              BuildDataFile({3, {{"LOOP", DEVICE_LOOP, Block(3, trap)}}, "05/05/2021", 50000000}));
    std::vector<DeviceLayout> loops(3000, {"L", DEVICE_LOOP, "", 1024 + 27 * 3000});
    loops[0] = {"L", DEVICE_LOOP, Block(PERIODS_PER_DAY, LoopEntry(0, 1, 5, 0, 3))};
    WriteFile(dir / "LOOPS.DAT", BuildDataFile({PERIODS_PER_DAY, loops, "05/06/2021"}));
    TempDir out;
    RunResult run = RunKorva(
        {"-E", "-A", "-T", "-P07:30:20", "--aggregate=1440", "-O" + out.path, "-F" + out.path},
        dir.path, 300l << 20);
    EXPECT_EQ(0, run.status) << run.err;
    std::string text = ReadFile(out / ListDir(out.path).at(0));  // CSVLog<yy-mm-dd>
    EXPECT_TRUE(Count(text, "] W ") == 2 &&
                Has(text, "] W While parsing the name table, we ran out") &&
                Has(text,
                    "] W Data file [BIG.DAT] claims [4400] columns; only the [4320] periods "
                    "of one day are processed.\n"))
        << text;
    EXPECT_EQ(21u, ListDir(out.path).size());  // the log and every report of the five files
    EXPECT_EQ(3001u, Lines(ReadFile(out / "KORVA1440Min_Element_P_05062021.csv")).size());
    std::string traps = ReadFile(out / "KORVA20Sec_Trap_P_05032021.csv");
    EXPECT_EQ(60001u, Lines(traps).size());
    EXPECT_TRUE(Has(traps, "1059999:_MN_____T1,05/03/2021 07:30:20,55.6,31.5,7,9,3,2,133,160\n"));
    Load(BuildDataFile(big));
    EXPECT_TRUE(file.iColumns == 4320 && file.devices[0].usPeriods == 4320);
}

// Two million loop names on one data block (a valid file of 54 MB): every report of it, CSV or
// Parquet, takes at most the file's size and 64 MiB, and a summary of it seconds, as a few dozen
// bytes a name.
TEST_F(HostileFiles, TwoMillionNamesOnOneBlockStayWithinTheFileAnd64MiB) {
    // Built in a child, so that the converter's processes, forked from this one, start small.
    const int names = 2000000;
    ASSERT_EQ(
        InChild([&] {
            DataFileLayout big{PERIODS_PER_DAY, {}};
            for (int i = 0; i < names; i++)
                big.devices.push_back({std::to_string(10000000 + i) + ":_MN___1", DEVICE_LOOP,
                                       i ? "" : Block(PERIODS_PER_DAY, LoopEntry(0, 1, 90, 0, 4)),
                                       i ? 1024 + 27ll * names : -1});
            WriteFile(dir / "BIG.DAT", BuildDataFile(big));
            return 0;
        }),
        0);
    const long limit = ((long)std::filesystem::file_size(dir / "BIG.DAT") >> 10) + (64 << 10);
    const std::vector<std::string> mixes[] = {{"-A"},
                                              {"-E", "-P12:00:00"},
                                              {"--aggregate=1440"},
                                              {"-R", "--aggregate=1440"},
                                              {"--parquet", "-E", "-P12:00:00", "--health"}};
    for (const std::vector<std::string>& mix : mixes) {
        TempDir out;
        std::vector<std::string> args = mix;
        args.insert(args.end(), {"-O" + out.path, "-F" + out.path});
        RunResult run = RunKorva(args, dir.path);
        ASSERT_EQ(run.status, 0) << mix[0];
#if defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory is resident too
        (void)limit;
#else
        EXPECT_LE(run.peakKiB, limit) << mix[0];
#endif
        for (const std::string& name : ListDir(out.path)) {
            if (!name.starts_with("KORVA") || name.ends_with(".parquet")) continue;
            std::string report = ReadFile(out / name);
            EXPECT_EQ(Count(report, "\n"), names + (mix[0] == "-A" ? 3 : 1)) << name;
            EXPECT_TRUE(Has(report, "\n10734567:_MN___1,")) << name;
        }
    }
}

// A name with control characters is read by its real name but shown with '?' for each: a line
// feed in a name cannot start a log line of its own.
TEST_F(HostileFiles, ControlCharactersOfANameAreShownAsQuestionMarks) {
    const std::string name = "A\n[00:00:00] E forged\x1b\x7f.DAT";
    WriteFile(dir / name, BuildDataFile({}));
    settings.bWRITEELEMENTS = 1;
    EXPECT_EQ(ProcessDataFile(In(dir.path, dir.path), name.c_str(), &log), 1);
    EXPECT_EQ(ListDir(dir.path).size(), 2u);  // the file and its element report
    EXPECT_EQ(Count(log.Text(), "[A?[00:00:00] E forged??.DAT]"), 3);
    for (const std::string& line : Lines(log.Text()))
        EXPECT_TRUE(line[0] == '[' && line.substr(9, 4) == "] - ") << line;
}

// An output folder removed under a report being written: the rename fails and is told.
TEST_F(Publication, AnOutputFolderThatDisappearsFailsTheRename) {
    std::string folder = dir / "out";
    tagREPORTFILE report;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(OpenReportFile(&report, (folder + "/R.csv").c_str(), COMPRESS_NONE, 0), 1);
    ReportWrite(&report, "header\n", 7);
    ASSERT_TRUE(unlink(report.szTempPath) == 0 && rmdir(folder.c_str()) == 0);
    EXPECT_EQ(PublishReportFile(&report, &log), 0);
    EXPECT_TRUE(Has(log.Text(), "E Could not write CSV file [" + folder +
                                    "/R.csv]! - No such file or directory."));
}

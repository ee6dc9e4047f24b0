// Files from broken field systems, partial copies and hostile hands, and the faults of the
// machine around the converter: nothing may crash, overrun a buffer, claim far more memory than
// the file justifies, or report a failure as success.
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "Process20SecondDataFile.h"
#include "ProcessMetaDataFile.h"
#include "TestSupport.h"

using namespace korvatest;

namespace {

// A small but complete day: every device type, three periods.
std::string SmallDay() {
    auto repeat = [](const std::string& entry) { return Block(3, entry); };
    DataFileLayout layout;
    layout.devices = {{"005es17329:_MN___0", DEVICE_STATION, repeat(LoopEntry(0, 1, 90, 1, 4))},
                      {"005es17329:_MN___1", DEVICE_LOOP, repeat(LoopEntry(0, 1, 90, 0, 4))},
                      {"005es17329:_MN__T1", DEVICE_SPEED_TRAP, repeat("\x80\x82\x58\xc8\x42\x11")},
                      {"005es17329:_MN__S1", DEVICE_LOOP, repeat(LoopEntry(0, 1, 80, 0, 4))},
                      {"005es17329:_MN__R1", DEVICE_METERED_LANE, repeat("\x12\xab")}};
    return BuildDataFile(layout);
}

std::string WithHeaderValue(std::string file, const std::string& key, const std::string& value) {
    size_t at = file.find(key + " = ");
    return file.replace(at, file.find('\n', at) - at, key + " = " + value);
}

class HostileFiles : public KorvaTest {
protected:
    // Converts the bytes as X.DAT with every report and option on; returns the log.
    std::string Convert(const std::string& bytes, size_t reports = 4) {
        ResetGlobals();
        bWRITEELEMENTS = bWRITELANES = bWRITETRAPS = bLISTALLELEMENTS = 1;
        bINCLUDESPEEDLANES = bINCLUDEMETERS = 1;
        TempDir in, out;
        WriteFile(in / "X.DAT", bytes);
        MemoryLog run;
        EXPECT_EQ(ProcessDataFile(in.path.c_str(), out.path.c_str(), "X.DAT", run.file), 1);
        EXPECT_EQ(ListDir(out.path).size(), reports);  // every report whole, no temporary left
        return run.Text();
    }
};

}  // namespace

// A file without a start date (empty, cut before the date, text, random bytes) writes no
// report: its reports would be named by nothing.
TEST_F(HostileFiles, TruncatedFilesConvertWithoutHarmAndDatelessOnesWriteNoReport) {
    std::string day = SmallDay();
    const size_t table = 1024, data = table + 5 * 27;
    for (size_t cut : {table - 1, table, table + 13, data - 1, data + 4, day.size() - 1})
        EXPECT_TRUE(Has(Convert(day.substr(0, cut)), "Completed processing")) << cut;
    std::mt19937 random(7);
    std::string garbage(70000, '\0');
    for (char& c : garbage) c = (char)random();
    for (const std::string& bytes : {std::string(), day.substr(0, 40), std::string("hello\n"),
                                     garbage, std::string(5000, 'A'), std::string("Data Start")})
        EXPECT_EQ(Count(Convert(bytes, 0),
                        "] E No start date in data file [X.DAT]; no reports written!\n"),
                  1)
            << bytes.substr(0, 40);
}

TEST_F(HostileFiles, ClaimsBeyondTheFileAreBoundedAndReported) {
    std::string day = SmallDay();
    // More names than the name table holds, or a table past the end: a warning, nothing else.
    for (auto [key, value] :
         {std::pair{"Number of Names", "1000000000"}, {"Header Size", "2147483647"}}) {
        std::string said = Convert(WithHeaderValue(day, key, value));
        EXPECT_TRUE(Has(said, "] W While parsing the name table, we ran out of name data")) << key;
        EXPECT_FALSE(Has(said, "] E ")) << key;
    }
    for (int j = 0; j < 5; j++) day.replace(1024 + 27 * j + 23, 4, "\xff\xff\xff\xff");
    EXPECT_EQ(Count(Convert(day), "ends past the end of the file; only [0] of [3] periods"), 5);
}

TEST_F(KorvaTest, AShortReadIsAnErrorNotAConversion) {
    // sysfs files claim 4096 bytes and deliver a few dozen: a file that shrinks under us.
    const char* shrinking = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat info;
    if (stat(shrinking, &info) != 0 || info.st_size != 4096) GTEST_SKIP() << "no sysfs file";
    TempDir in;
    ASSERT_EQ(symlink(shrinking, (in / "X.DAT").c_str()), 0);
    bWRITEELEMENTS = 1;
    EXPECT_EQ(ProcessDataFile(in.path.c_str(), dir.path.c_str(), "X.DAT", log.file), 0);
    EXPECT_TRUE(Has(log.Text(),
                    "E Could not read the data block [4096 bytes] from data file "
                    "[X.DAT]!"));
    EXPECT_TRUE(ListDir(dir.path).empty());
}

TEST_F(KorvaTest, AnOutputFolderThatDisappearsFailsThePublication) {
    std::string folder = dir / "out";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    tagREPORTFILE report;
    ASSERT_EQ(OpenReportFile(&report, (folder + "/R.csv").c_str()), 1);
    ReportWrite(&report, "header\n", 7);
    unlink(report.szTempPath);
    ASSERT_EQ(rmdir(folder.c_str()), 0);
    EXPECT_EQ(PublishReportFile(&report, log.file), 0);
    EXPECT_TRUE(Has(log.Text(), "E Could not write CSV file [" + folder +
                                    "/R.csv]! - No such file or directory."));
}

TEST_F(KorvaTest, ALogFolderThatIsAFileEndsTheRunWithStatus3) {
    WriteFile(dir / "file", "x");
    RunResult r = RunKorva({"-E", "-F" + dir.path + "file"}, dir.path);
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.out, "Error opening file: Not a directory"));
}

// A name with control characters is read by its real name but shown with '?' for each: a line
// feed in a name cannot start a log line of its own.
TEST_F(KorvaTest, ControlCharactersOfANameAreShownAsQuestionMarks) {
    const std::string data = "A\n[00:00:00] E forged\x7f.DAT", list = "C\x1b\tAB.LST";
    WriteFile(dir / data, BuildDataFile({}));
    WriteFile(dir / list, "List - 12/06/2026\n");
    TempDir out;
    bWRITEELEMENTS = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ProcessDataFile(dir.path.c_str(), out.path.c_str(), data.c_str(), log.file), 1);
    EXPECT_EQ(ProcessMetadataFile(dir.path.c_str(), out.path.c_str(), list.c_str(), log.file), 1);
    const std::string console = testing::internal::GetCapturedStdout(), text = log.Text();
    EXPECT_EQ(ListDir(out.path).size(), 2u);  // the element report and the cabinet CSV
    for (const std::string& said : {console, text}) {
        EXPECT_GE(Count(said, "[A?[00:00:00] E forged?.DAT]"), 2) << said;
        EXPECT_GE(Count(said, "[C??AB.LST]"), 2) << said;
        EXPECT_EQ(said.find_first_of("\x1b\t\x7f"), std::string::npos) << said;
    }
    for (const std::string& line : Lines(text))
        EXPECT_TRUE(line[0] == '[' && line.substr(9, 2) == "] ") << line;
}

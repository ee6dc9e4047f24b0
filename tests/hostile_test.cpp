// Files from broken field systems, partial copies and hostile hands, and the faults of the
// machine around the converter: nothing may crash, overrun a buffer, claim far more memory than
// the file justifies, or report a failure as success.
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "Process20SecondDataFile.h"
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
    std::string Convert(const std::string& bytes) {
        ResetGlobals();
        bWRITEELEMENTS = bWRITELANES = bWRITETRAPS = bLISTALLELEMENTS = 1;
        bINCLUDESPEEDLANES = bINCLUDEMETERS = 1;
        TempDir in, out;
        WriteFile(in / "X.DAT", bytes);
        MemoryLog run;
        EXPECT_EQ(ProcessDataFile(in.path.c_str(), out.path.c_str(), "X.DAT", run.file), 1);
        EXPECT_EQ(ListDir(out.path).size(), 4u);  // every report whole, no temporary left
        return run.Text();
    }
};

}  // namespace

TEST_F(HostileFiles, TruncatedOrStructurelessFilesConvertWithoutHarm) {
    std::string day = SmallDay();
    const size_t table = 1024, data = table + 5 * 27;
    for (size_t cut :
         {size_t(0), size_t(40), table - 1, table, table + 13, data - 1, data + 4, day.size() - 1})
        EXPECT_TRUE(Has(Convert(day.substr(0, cut)), "Completed processing")) << cut;
    std::mt19937 random(7);
    std::string garbage(70000, '\0');
    for (char& c : garbage) c = (char)random();
    for (const std::string& bytes : {garbage, std::string(5000, 'A'), std::string("Data Start")})
        Convert(bytes);
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

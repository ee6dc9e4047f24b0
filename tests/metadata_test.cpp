// Cabinet list conversion: which lines are cabinets, the list date, the fixed columns, the
// cabinet CSV and what the run log says about each list.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <sstream>

#include "ProcessMetaDataFile.h"
#include "TestSupport.h"

using namespace korvatest;

namespace {

const char kHeader[] =
    "Device,Alias,Address,Roadway,Side,Milepost,Location,Version,Loops,Stations,Speedtraps,"
    "Meteredlanes,Status\n";
const std::string kDateLine = "Cabinet list - 12/06/2026\n";
const char kCsvName[] = "RMDC_12_06_2026.CSV";

std::string Cabinet(const std::string& name) {
    return CabinetLine(name, "A1", "12", "I-5", 'N', "12.5", "Main Street", "2", "8", "4", "2", "0",
                       "ON");
}


// One list converted from an input folder into an output folder, with its log in memory.
struct Conversion {
    TempDir in, out;
    MemoryLog log;
    std::string source = in.path, target = out.path;
    Conversion() { ResetGlobals(); }
    int Convert(const std::string& name) {
        return ProcessMetadataFile(source.c_str(), target.c_str(), name.c_str(), log.file);
    }
    int Run(const std::string& list) {
        WriteFile(source + "CAB.LST", list);
        return Convert("CAB.LST");
    }
    std::string Log() { return Masked(log.Text()); }
    std::string Csv() { return ReadFile(out / kCsvName); }
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The Device column of a cabinet CSV.
std::vector<std::string> Devices(const std::string& csv) {
    std::vector<std::string> names;
    for (const std::string& row : Lines(csv)) names.push_back(row.substr(0, row.find(',')));
    names.erase(names.begin());  // the header
    return names;
}

// A new folder in parent, so long that it, a '/' and a name of tail characters make length.
std::string FolderFor(const std::string& parent, size_t length, size_t tail) {
    std::string folder = parent + std::string(length - parent.size() - 1 - tail, 'x');
    mkdir(folder.c_str(), 0700);
    return folder + "/";
}

}  // namespace

TEST(MetadataList, TakesOnlyLinesWithLowerCaseEsInColumnsThreeAndFour) {
    Conversion c;
    // The first line is a cabinet and still carries the date (in its location column).
    std::string first =
        CabinetLine("001es00001", "", "", "", 'N', "", "- 12/06/2026", "", "", "", "", "", "");
    std::string longCabinet = Cabinet("007es00007");
    longCabinet.resize(255, '.');  // read in two parts: the remainder "tail" is no cabinet
    std::string list = first + "\n" + Cabinet("002ES00002") + "\n" + Cabinet("003es00003") +
                       "\n\n" +  // a blank line right after a cabinet line
                       Cabinet("004es00004") + "\nx\n005e\n006es\n" + longCabinet + "tail\n" +
                       std::string(255, 'x') + "009es\n010es";
    EXPECT_EQ(c.Run(list), 1);
    EXPECT_EQ(Devices(c.Csv()),
              (std::vector<std::string>{"001es00001", "003es00003", "004es00004", "006es",
                                        "007es00007", "009es", "010es"}));
    EXPECT_NE(c.Log().find("Found [7] cabinets"), std::string::npos);
}

TEST(MetadataDate, NamesTheCsvAfterTheLastGoodDateOrRefusesTheList) {
    struct Case {
        std::string list;
        int result;
        std::string csv;    // written file, empty when refused
        std::string shown;  // date in the warning
    } cases[] = {
        {kDateLine, 1, kCsvName, ""},
        {"List - 12/06/2026 - Daily summary\n", 0, "", "Daily summ"},
        {"Old - 01/02/2025, new - 12/06/2026\n", 1, kCsvName, ""},
        {"Cabinet list 12/06/2026\n", 0, "", ""},
        {"", 0, "", ""},
        {"- 12/06/20/6\n", 0, "", "12/06/20/6"},  // a further '/' would leave the folder
        {"List - 12/06/202\n", 1, "RMDC_ 12_06_202.CSV", ""},  // the line feed is no date char
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.list);
        Conversion c;
        strcpy(szMetadataDate, "99_99_9999");  // left by an earlier list, never shown
        EXPECT_EQ(c.Run(t.list), t.result);
        EXPECT_EQ(ListDir(c.out.path),
                  t.csv.empty() ? std::vector<std::string>{} : std::vector<std::string>{t.csv});
        std::string warning = "[T] W No date [" + t.shown + "] in metadata file [CAB.LST]\n";
        EXPECT_EQ(c.Log().find(warning) != std::string::npos, t.result == 0);
    }
}

TEST(MetadataFields, SlicesCleansAndConvertsEachColumn) {
    Conversion c;
    std::string full = CabinetLine("005es1,32 ", "  A,B  ", "    ", " I-5", ',', " 12.5",
                                   "\tMain St\t", " 12", "4 5", "  ", "-3", "+2", " OK");
    std::string toStations = CabinetLine("006es00006", "B", "12", "SR 99", ' ', "1.0", "Elm", "1",
                                         "2", "3", "4", "5", "ON")
                                 .substr(0, 81);
    EXPECT_EQ(c.Run(kDateLine + full + "\r\n" + toStations + "\n"), 1);
    // Name and side stay as they stand, commas and blanks included.
    EXPECT_EQ(c.Csv(), std::string(kHeader) +
                           "005es1,32 ,A-B,,I-5,,,12.5,Main St,12,4,0,-3,2,OK\n"
                           "006es00006,B,12,SR 99, ,1.0,Elm,1,2,3,0,0,\n");
}

TEST(MetadataTrim, DropsWhiteSpaceAtBothEndsAndTurnsCommasIntoDashes) {
    const char* cases[][2] = {{"  A,B  ", "A-B"}, {"    ", ""}, {"\t x  y\r\n", "x  y"},
                              {"", ""},           {",", "-"},   {"\v\fz", "z"}};
    for (auto& t : cases) {
        char text[32];
        strcpy(text, t[0]);
        EXPECT_EQ(TrimWhiteSpace(text), 1);
        EXPECT_STREQ(text, t[1]) << "from [" << t[0] << "]";
    }
}

TEST(MetadataCsv, HoldsTheHeaderOnlyForAListWithoutCabinetsAndReplacesAnOldOne) {
    Conversion c;
    WriteFile(c.out / kCsvName, "old\n");
    EXPECT_EQ(c.Run(kDateLine + "no cabinets here\n"), 1);
    EXPECT_EQ(strlen(kHeader), 106u);
    EXPECT_EQ(c.Csv(), kHeader);
    EXPECT_EQ(ListDir(c.out.path), std::vector<std::string>{kCsvName});
    std::string log = c.Log();
    EXPECT_NE(log.find("Found [0] cabinets"), std::string::npos);
    EXPECT_NE(log.find("Loaded [0] cabinets"), std::string::npos);
}

TEST(MetadataCsv, KeepsTheEarlierCsvWhenWritingFails) {
    Conversion c;
    WriteFile(c.out / kCsvName, "old\n");
    std::string list = kDateLine;
    for (int i = 0; i < 400; i++) list += Cabinet("005es" + std::to_string(10000 + i)) + "\n";
    WriteFile(c.in / "CAB.LST", list);
    std::string logPath = c.in / "log";
    pid_t child = fork();
    if (child == 0) {
        // The CSV (about 20 KB) outgrows the limit; the log stays well within it.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {8192, 8192};
        setrlimit(RLIMIT_FSIZE, &limit);
        FILE* log = fopen(logPath.c_str(), "w");
        int result = ProcessMetadataFile(c.in.path.c_str(), c.out.path.c_str(), "CAB.LST", log);
        fclose(log);
        _exit(result);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);  // the list was still handed on
    EXPECT_EQ(ReadFile(c.out / kCsvName), "old\n");
    EXPECT_EQ(ListDir(c.out.path), std::vector<std::string>{kCsvName});  // no temporary file
    std::string log = Masked(ReadFile(logPath));
    std::string error = "[T] E Could not write CSV file [" + c.out / kCsvName +
                        "]! - File too large.\n[T] - Completed processing";
    EXPECT_NE(log.find(error), std::string::npos) << log;
}

TEST(MetadataLog, ReportsEachStepOfANormalRunInOrder) {
    Conversion c;
    std::string list = kDateLine + Cabinet("005es17329") + "\n";
    EXPECT_EQ(c.Run(list), 1);
    std::string size = std::to_string(list.size()), csv = c.out / kCsvName;
    EXPECT_EQ(Lines(c.Log()),
              (std::vector<std::string>{
                  "[T] - Processing metadata file [CAB.LST], starting[T]",
                  "[T] - File [CAB.LST] filesize is [" + size + "]",
                  "[T] - Found [1] cabinets in metadata file [CAB.LST]",
                  "[T] - Loaded [1] cabinets from metadata file [CAB.LST].",
                  "[T] - Writing metadata to CSV file [" + csv + "]...",
                  "[T] - Completed processing of List File [CAB.LST] in [S] seconds."}));
}

TEST(MetadataLog, ReportsAListOrACsvThatCannotBeOpened) {
    Conversion missing;
    EXPECT_EQ(missing.Convert("NONE.LST"), 0);
    EXPECT_EQ(missing.Log(),
              "[T] - Processing metadata file [NONE.LST], starting[T]\n"
              "[T] E Could not open meta data file [NONE.LST]! - Error = [(nil)].\n");

    Conversion noFolder;
    noFolder.target = noFolder.out / "gone/";
    EXPECT_EQ(noFolder.Run(kDateLine + Cabinet("005es17329") + "\n"), 1);
    std::string error = "[T] E Could not open meta data file [" + noFolder.target + kCsvName +
                        "]! - Error = [(nil)].\n[T] - Completed processing";
    EXPECT_NE(noFolder.Log().find(error), std::string::npos) << noFolder.Log();
    EXPECT_TRUE(ListDir(noFolder.out.path).empty());
}

TEST(MetadataPaths, AcceptsPathsOf259CharactersAndRefusesLongerOnes) {
    for (size_t length : {259u, 260u}) {
        SCOPED_TRACE(length);
        Conversion longInput, longOutput;
        longInput.source = FolderFor(longInput.in.path, length, strlen("CAB.LST"));
        longOutput.target = FolderFor(longOutput.out.path, length, strlen(kCsvName));
        EXPECT_EQ(longInput.Run(kDateLine), length == 259 ? 1 : 0);
        EXPECT_EQ(longOutput.Run(kDateLine), length == 259 ? 1 : 0);
        EXPECT_EQ(Exists(longInput.out / kCsvName), length == 259);
        EXPECT_EQ(Exists(longOutput.target + kCsvName), length == 259);
        for (Conversion* c : {&longInput, &longOutput})
            EXPECT_EQ(c->Log().find("] E ") != std::string::npos, length == 260);
    }
}

// Cabinet list conversion: which lines are cabinets, the list date, the fixed columns, the
// cabinet CSV and what the run log says about each list.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "ProcessMetaDataFile.h"
#include "TestSupport.h"

using namespace korvatest;

namespace {

const std::string kHeader =
    "Device,Alias,Address,Roadway,Side,Milepost,Location,Version,Loops,Stations,Speedtraps,"
    "Meteredlanes,Status\n";
const std::string kDateLine = "Cabinet list - 12/06/2026\n";
const char kCsvName[] = "RMDC_12_06_2026.CSV";

std::string Cabinet(const std::string& name) {
    return CabinetLine(
        {name, "A1", "12", "I-5", "N", "12.5", "Main Street", "2", "8", "4", "2", "0", "ON"});
}

// One list converted from an input folder into an output folder, with its log in memory.
class Metadata : public KorvaTest {
protected:
    TempDir out;
    std::string source = dir.path, target = out.path;
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

}  // namespace

TEST_F(Metadata, TakesOnlyLinesWithLowerCaseEsInColumnsThreeAndFour) {
    // The first line is a cabinet and still carries the date (in its location column).
    std::string first = CabinetLine({"001es00001", "", "", "", "N", "", "- 12/06/2026"});
    std::string longCabinet = Cabinet("007es00007");
    longCabinet.resize(255, '.');  // read in two parts: the remainder "tail" is no cabinet
    std::string list = first + "\n" + Cabinet("002ES00002") + "\n" + Cabinet("003es00003") +
                       "\n\n" +  // a blank line right after a cabinet line
                       Cabinet("004es00004") + "\nx\n005e\n006es\n" + longCabinet + "tail\n" +
                       std::string(255, 'x') + "009es\n010es";
    EXPECT_EQ(Run(list), 1);
    std::string devices;
    for (const std::string& row : Lines(Csv())) devices += row.substr(0, row.find(',')) + " ";
    EXPECT_EQ(devices, "Device 001es00001 003es00003 004es00004 006es 007es00007 009es 010es ");
    EXPECT_TRUE(Has(Log(), "Found [7] cabinets"));
}

TEST_F(Metadata, NamesTheCsvAfterTheLastGoodDateOrRefusesTheList) {
    const struct {
        std::string list, csv;  // csv: the file written, empty when the list is refused
        std::string shown;      // date in the warning
    } cases[] = {
        {kDateLine, kCsvName, ""},
        {"List - 12/06/2026 - Daily summary\n", "", "Daily summ"},
        {"Old - 01/02/2025, new - 12/06/2026\n", kCsvName, ""},
        {"Cabinet list 12/06/2026\n", "", ""},
        {"", "", ""},
        {"- 12/06/20/6\n", "", "12/06/20/6"},  // a further '/' would leave the folder
        {"LIST - 12/06/2026 - rev 3\n", "", "rev 3"},
        {"- 12/06/2 26\n", "", "12/06/2 26"},  // blanks and control characters name no file
        {"- 12/06/20\x1b"
         "6\n",
         "",
         "12/06/20\x1b"
         "6"},
        {"- 12/06/\x7f"
         "026\n",
         "",
         "12/06/\x7f"
         "026"},
        {"List - 12/06/202\n", "RMDC_ 12_06_202.CSV", ""},  // the line feed is no date char
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.list);
        TempDir caseOut;
        target = caseOut.path;
        size_t logged = log.Text().size();
        strcpy(szMetadataDate, "99_99_9999");  // left by an earlier list, never shown
        EXPECT_EQ(Run(t.list), t.csv.empty() ? 0 : 1);
        EXPECT_EQ(ListDir(target),
                  t.csv.empty() ? std::vector<std::string>{} : std::vector<std::string>{t.csv});
        EXPECT_EQ(ReadFile(target + t.csv), t.csv.empty() ? "" : kHeader);  // no cabinets
        EXPECT_EQ(Has(Masked(log.Text().substr(logged)),
                      "[T] W No date [" + t.shown + "] in metadata file [CAB.LST]\n"),
                  t.csv.empty());
    }
}

// Name and side stay as they stand, commas and blanks included; an earlier CSV is replaced.
TEST_F(Metadata, SlicesCleansAndConvertsEachColumnAndLogsEachStep) {
    WriteFile(out / kCsvName, "old\n");
    std::string full = CabinetLine({"005es1,32 ", "  A,B  ", "    ", " I-5", ",", " 12.5",
                                    "\tMain St\t", " 12", "4 5", "  ", "-3", "+2", " OK"});
    std::string toStations =
        CabinetLine({"006es00006", "B", "12", "SR 99", " ", "1.0", "Elm", "1", "2", "3"})
            .substr(0, 81);
    std::string list = kDateLine + full + "\r\n" + toStations + "\n";
    EXPECT_EQ(Run(list), 1);
    EXPECT_EQ(Csv(), kHeader +
                         "005es1,32 ,A-B,,I-5,,,12.5,Main St,12,4,0,-3,2,OK\n"
                         "006es00006,B,12,SR 99, ,1.0,Elm,1,2,3,0,0,\n");
    EXPECT_EQ(ListDir(out.path), std::vector<std::string>{kCsvName});
    EXPECT_EQ(Lines(Log()),
              (std::vector<std::string>{
                  "[T] - Processing metadata file [CAB.LST], starting[T]",
                  "[T] - File [CAB.LST] filesize is [" + std::to_string(list.size()) + "]",
                  "[T] - Found [2] cabinets in metadata file [CAB.LST]",
                  "[T] - Loaded [2] cabinets from metadata file [CAB.LST].",
                  "[T] - Writing metadata to CSV file [" + out / kCsvName + "]...",
                  "[T] - Completed processing of List File [CAB.LST] in [S] seconds."}));
}

TEST_F(Metadata, ReportsAListOrACsvThatCannotBeOpened) {
    EXPECT_EQ(Convert("NONE.LST"), 0);
    EXPECT_EQ(Log(),
              "[T] - Processing metadata file [NONE.LST], starting[T]\n"
              "[T] E Could not open meta data file [NONE.LST]! - Error = [(nil)].\n");
    target = out / "gone/";
    EXPECT_EQ(Run(kDateLine + Cabinet("005es17329") + "\n"), 1);
    EXPECT_TRUE(Has(Log(), "[T] E Could not create CSV file [" + target + kCsvName + "]! - " +
                               strerror(ENOENT) + ".\n[T] - Completed processing"));
    EXPECT_TRUE(ListDir(out.path).empty());
}

// A path of 259 characters is used, one of 260 refused, for the list and for the CSV alike.
TEST_F(Metadata, AcceptsPathsOf259CharactersAndRefusesLongerOnes) {
    auto folderFor = [](const TempDir& parent, size_t length, const std::string& name) {
        std::string folder =
            parent.path + std::string(length - parent.path.size() - 1 - name.size(), 'x');
        mkdir(folder.c_str(), 0700);
        return folder + "/";
    };
    for (size_t length : {259u, 260u}) {
        SCOPED_TRACE(length);
        bool fits = length == 259;
        source = folderFor(dir, length, "CAB.LST");
        EXPECT_EQ(Run(kDateLine), fits);
        source = dir.path;
        target = folderFor(out, length, kCsvName);
        EXPECT_EQ(Run(kDateLine), fits);
        EXPECT_EQ(ListDir(target).size(), fits ? 1u : 0u);
        EXPECT_EQ(Has(log.Text(), "] E "), !fits);
    }
}

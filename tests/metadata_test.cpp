// Cabinet list conversion: which lines are cabinets, the list date, the fixed columns and the
// cabinet CSV, and what the run log says about each list.
#include <sys/stat.h>

#include "TestSupport.h"
#include "cabinets/Cabinet.h"

using namespace korvatest;

namespace {

const std::string kHeader =
    "Device,Alias,Address,Roadway,Side,Milepost,Location,Version,Loops,Stations,Speedtraps,"
    "Meteredlanes,Status\n";
const std::string kDateLine = "Cabinet list - 12/06/2026\n";
const char kCsvName[] = "RMDC_12_06_2026.CSV";

// One list converted from an input folder into an output folder, with its log in memory.
class Metadata : public KorvaTest {
protected:
    TempDir out;
    std::string source = dir.path, target = out.path;
    // Writes the list as CAB.LST and converts the list called name.
    int Run(const std::string& list, const char* name = "CAB.LST") {
        WriteFile(source + "CAB.LST", list);
        return ProcessMetadataFile(In(source, target), name, &log);
    }
    std::string Csv() { return ReadFile(out / kCsvName); }
};

}  // namespace

// The first line is a cabinet too and still carries the date (in its location column). Lines
// are read 255 characters at a time: the rest of a longer line is a line of its own.
TEST_F(Metadata, TakesOnlyLinesWithLowerCaseEsInColumnsThreeAndFour) {
    std::string first = CabinetLine({"001es00001", "", "", "", "N", "", "- 12/06/2026"});
    std::string longCabinet = CabinetLine({"007es00007"});
    longCabinet.resize(255, '.');
    EXPECT_EQ(Run(first + "\n" + CabinetLine({"002ES00002"}) + "\n" + CabinetLine({"003es00003"}) +
                  "\n\n" + CabinetLine({"004es00004"}) + "\nx\n005e\n006es\n" + longCabinet +
                  "tail\n" + std::string(255, 'x') + "009es\n010es"),
              1);
    std::string devices;
    for (const std::string& row : Lines(Csv())) devices += row.substr(0, row.find(',')) + " ";
    EXPECT_EQ(devices, "Device 001es00001 003es00003 004es00004 006es 007es00007 009es 010es ");
    EXPECT_TRUE(Has(log.Text(), "] - Found [7] cabinets in metadata file [CAB.LST]\n"));
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
        {"- 12/06.2026\n", "", "12/06.2026"},
        {"- 12/06/20/6\n", "", "12/06/20/6"},  // a further '/' would leave the folder
        {"LIST - 12/06/2026 - rev 3\n", "", "rev 3"},
        {"- 12/06/2 26\n", "", "12/06/2 26"},        // blanks and control characters name no file
        {"- 12/06/20\0336\n", "", "12/06/20\0336"},  // \033: the escape character
        {"- 12/06/\177026\n", "", "12/06/\177026"},
        {"List - 12/06/202\n", "RMDC_ 12_06_202.CSV", ""},  // the line feed is no date char
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.list);
        TempDir caseOut;
        target = caseOut.path;
        size_t logged = log.Text().size();
        EXPECT_EQ(Run(t.list), t.csv.empty() ? 0 : 1);
        EXPECT_EQ(ListDir(target),
                  t.csv.empty() ? std::vector<std::string>{} : std::vector<std::string>{t.csv});
        EXPECT_EQ(ReadFile(target + t.csv), t.csv.empty() ? "" : kHeader);  // no cabinets
        EXPECT_EQ(Has(log.Text().substr(logged),
                      "] W No date [" + t.shown + "] in metadata file [CAB.LST]\n"),
                  t.csv.empty());
    }
}

// Each field is cut from its columns (CabinetLine fills the text between them, never read, with
// digits), cleaned (blanks trimmed, ',' made '-') but for name and side, and the counts
// converted; a line that ends early leaves the later fields empty. An earlier CSV is replaced.
TEST_F(Metadata, SlicesCleansAndConvertsEachColumn) {
    WriteFile(out / kCsvName, "old\n");
    EXPECT_EQ(Run(kDateLine +
                  CabinetLine({"005es17329", "ALIAS07", "1234", "ROADWAY 011", "N", "123.45",
                               "LOCATION SIXTEEN", "123", "456", "78", "90", "12", "STATUS 09"}) +
                  "\n" +
                  CabinetLine({"005es1,32 ", "  A,B  ", "    ", " I-5", ",", " 12.5", "\tMain St\t",
                               " 12", "4 5", "  ", "-3", "+2", " OK"}) +
                  "\n" +
                  CabinetLine({"006es00006", "B", "12", "SR 99", " ", "1.0", "Elm", "1", "2", "3"})
                      .substr(0, 80) +
                  "\n"),
              1);
    EXPECT_EQ(Csv(), kHeader +
                         "005es17329,ALIAS07,1234,ROADWAY 011,N,123.45,LOCATION SIXTEEN,123,456,"
                         "78,90,12,STATUS 09\n"
                         "005es1,32 ,A-B,,I-5,,,12.5,Main St,12,4,0,-3,2,OK\n"
                         "006es00006,B,12,SR 99, ,1.0,Elm,1,2,3,0,0,\n");
    EXPECT_EQ(ListDir(out.path), std::vector<std::string>{kCsvName});
}

// In standard CSV every text is a field of its own: one holding a comma or a quote (the name
// and the side are taken unchanged; the status is cleaned, but may hold a quote) is quoted.
TEST_F(Metadata, CleanQuotesTheTextsThatHoldACommaOrAQuote) {
    settings.bClean = 1;
    EXPECT_EQ(Run(kDateLine +
                  CabinetLine({"005es1,32 ", "A", "", "", "\"", "", "", "1", "2", "3", "4", "5",
                               "OFF \"X\""}) +
                  "\n"),
              1);
    EXPECT_EQ(Lines(Csv()).at(1), "\"005es1,32 \",A,,,\"\"\"\",,,1,2,3,4,5,\"OFF \"\"X\"\"\"");
}

// A list or a CSV that cannot be opened is told in the log; paths of 259 characters are used,
// of 260 refused, for the list and the CSV alike.
TEST_F(Metadata, RefusesWhatItCannotOpenOrNameIn259Characters) {
    EXPECT_EQ(Run("", "NONE.LST"), 0);
    EXPECT_TRUE(Has(log.Text(), "] E Could not open meta data file [NONE.LST]! - Error = [(nil)]"));
    target = out / "gone/";
    EXPECT_EQ(Run(kDateLine), 1);
    EXPECT_TRUE(Has(log.Text(), "] E Could not create CSV file [" + target + kCsvName +
                                    "]! - No such file or directory.\n"));
    target = out.path;
    auto folderFor = [](const TempDir& parent, size_t length, const std::string& name) {
        std::string folder =
            parent.path + std::string(length - parent.path.size() - 1 - name.size(), 'x');
        mkdir(folder.c_str(), 0700);
        return folder + "/";
    };
    for (size_t length : {259u, 260u}) {
        int errors = Count(log.Text(), "] E ");
        source = folderFor(dir, length, "CAB.LST");
        EXPECT_EQ(Run(kDateLine), length == 259);
        source = dir.path;
        target = folderFor(out, length, kCsvName);
        EXPECT_EQ(Run(kDateLine), length == 259);
        EXPECT_EQ(ListDir(target).size(), length == 259 ? 1u : 0u);
        EXPECT_EQ(Count(log.Text(), "] E "), errors + (length == 259 ? 0 : 2)) << length;
    }
}

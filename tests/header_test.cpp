// The ASCII header of a data file, and the files ProcessDataFile refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include "Process20SecondDataFile.h"
#include "TestSupport.h"

using namespace korvatest;

namespace {

// Parses text from a buffer of exactly its size (no terminating zero, so an over-read shows
// under ASan), checks that no byte changed, and sums up the header globals.
std::string Parse(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    ReadDataHeader(buffer.data(), (int)buffer.size());
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), text);
    char summary[256];
    snprintf(summary, sizeof summary, "%d%d%d%d [%s][%s][%s][%s] %d %d %d %d %d %d %d",
             bTwentySecData, bFormatNG2, bDBModeFixed, bEndofHeader, szDBCreationTime,
             szFileWriteTime, szDataStartTime, szDataEndTime, iVersion, iNumberofNames,
             iNumberofColumns, iHeaderSize, iNameListSize, iDataSize, iFileSize);
    return summary;
}

const std::string kFullHeader =
    "KORVA TMS Twenty Second Data File\nNG.2 Format\nDB Mode = FIXED\n"
    "DB Creation = 04/30/2021 23:00:01\nFile Write = 05/02/2021 00:10:00\n"
    "Data Start = 05/01/2021 00:00:00\nData End = 05/01/2021 23:59:40\nVersion = 2\n"
    "Number of Names = 412\nNumber of Columns = 4320\nHeader Size = 1024\n"
    "Name List Size = 11124\nData Size = 5000000\nFile Size = 5012148\n"
    "The remainder of this file is binary data\nVersion = 9\n";

}  // namespace

TEST(HeaderParser, ReadsEveryKeyUpToTheRemainderLineWithLfOrCrLf) {
    std::string crlf;
    for (char c : kFullHeader) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string& text : {kFullHeader, crlf})
        EXPECT_EQ(Parse(text),
                  "1111 [04/30/2021 23:00:01][05/02/2021 00:10:00][05/01/2021 00:00:00]"
                  "[05/01/2021 23:59:40] 2 412 4320 1024 11124 5000000 5012148");
}

TEST(HeaderParser, FirstKeyInTableOrderDecidesAndValuesFollowTheirRules) {
    const std::pair<std::string, std::string> cases[] = {
        {"NG.2 Format Version = 7\nData Size and Data Start = 05/01/2021\n",
         "0100 [][][05/01/2021][] 0 0 0 0 0 0 0"},
        // Integers: only values above zero that fit an int, read as far as they go.
        {"Number of Names = 0\nVersion = -5\nHeader Size = five\nData Size = \n", ""},
        {"Number of Names = 2147483648\nFile Size = 99999999999999999999\n", ""},
        {"Number of Names =  12abc\nHeader Size = 2147483647",
         "0000 [][][][] 0 12 0 2147483647 0 0 0"},
        // Texts drop their first character, and are cut at 31.
        {"Data Start =x\nData Start\nData Start =\r\n", ""},
        {"Data Start = a=b\n", "0000 [][][a=b][] 0 0 0 0 0 0 0"},
        {"Data Start = 05/0", "0000 [][][05/0][] 0 0 0 0 0 0 0"},  // no line feed at the end
        {"Data Start = 0123456789012345678901234567890123456789\n",
         "0000 [][][0123456789012345678901234567890][] 0 0 0 0 0 0 0"},
    };
    for (const auto& [text, summary] : cases)
        EXPECT_EQ(Parse(text), summary.empty() ? "0000 [][][][] 0 0 0 0 0 0 0" : summary) << text;
    int value = 77;
    char text[8] = "keep";
    EXPECT_EQ(ReturnIntegerAfterEqual("Version = 0", &value) +
                  ReturnStringAfterEqual("Data Start", text, sizeof text),
              0);
    EXPECT_EQ(value, 77);
    EXPECT_STREQ(text, "keep");
}

TEST(HeaderParser, StopsAfterFifteenLinesNotCountingBlankOnes) {
    std::string text = "\n\n";
    for (int i = 0; i < 13; i++) text += "comment\n\n\n";
    text += "\r\nVersion = 4\nNumber of Names = 5\nThe remainder\n";  // "\r" is line 14
    EXPECT_EQ(Parse(text), "0000 [][][][] 4 0 0 0 0 0 0");
}

// Whole fields are cleared: the reports read date characters past a short value's end.
TEST(HeaderParser, SecondParseKeepsNothingOfTheFirst) {
    Parse(kFullHeader);
    EXPECT_EQ(Parse("Data End = ab\n"), "0000 [][][][ab] 0 0 0 0 0 0 0");
    std::string fields;
    for (const char* text : {szDBCreationTime, szFileWriteTime, szDataStartTime, szDataEndTime})
        fields += std::string(text, HEADER_TEXT_SIZE);
    EXPECT_EQ(fields, std::string(3 * HEADER_TEXT_SIZE, '\0') + "ab" +
                          std::string(HEADER_TEXT_SIZE - 2, '\0'));
}

class DataFileReader : public KorvaTest {};

TEST_F(DataFileReader, RefusesWhatItCannotReadOrNameAndGoesOnPastAShortNameTable) {
    TempDir out;
    bWRITEELEMENTS = bWRITELANES = bWRITETRAPS = bLISTALLELEMENTS = 1;
    auto process = [&](const std::string& name) {
        testing::internal::CaptureStdout();
        int result = ProcessDataFile(dir.path.c_str(), out.path.c_str(), name.c_str(), log.file);
        testing::internal::GetCapturedStdout();
        return result;
    };
    DataFileLayout layout;
    layout.devices.resize(2);
    const std::string bytes = BuildDataFile(layout);
    // A path of 260 characters must not be cut to the 259 of another file's path.
    std::string longest(259 - dir.path.size() - 4, 'N');
    WriteFile(dir / (longest + ".DATX"), bytes);
    // Sparse; the second size cut to an int would look like the small file it begins with.
    for (off_t size : {off_t(1) << 31, (off_t(1) << 32) + (off_t)bytes.size()}) {
        WriteFile(dir / "HUGE.DAT", bytes);
        ASSERT_EQ(truncate((dir / "HUGE.DAT").c_str(), size), 0);
        EXPECT_EQ(process("HUGE.DAT"), 0) << size;
    }
    EXPECT_EQ(process("GONE.DAT") + process(longest + ".DATX"), 0);
    WriteFile(dir / "SHORT.DAT", bytes.substr(0, 1024 + 27 + 10));
    layout.start = "5/01/2021 00:00:00";  // the report names would put a '/' into the path
    WriteFile(dir / "SLASH.DAT", BuildDataFile(layout));
    EXPECT_EQ(process("SHORT.DAT") + process("SLASH.DAT"), 2);
    EXPECT_EQ(ListDir(out.path).size(), 4u);  // the four reports of SHORT.DAT
    std::string text = Masked(log.Text());
    for (const std::string& line :
         {std::string("[T] E Size of data file [HUGE.DAT] cannot be determined or is 2 GiB or "
                      "more!\n"),
          std::string("[T] - Processing data file [GONE.DAT], starting at [T]\n"
                      "[T] E Could not open data file [GONE.DAT]! - Error = [(nil)].\n"),
          "[T] E Path of data file [" + longest + ".DATX] would be longer than 259 characters!\n",
          std::string("W While parsing the name table, we ran out of name"),
          std::string("[T] - Completed processing of data file [SHORT.DAT]"),
          std::string("[T] E Start date [5/01/2021 00:00:00] of data file [SLASH.DAT]")})
        EXPECT_EQ(Count(text, line), line.find("HUGE") != std::string::npos ? 2 : 1) << line;
    EXPECT_FALSE(Has(text, "the report name takes its date"));  // refused before any writer
}

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
    ReadDataHeader(buffer.data(), (int)buffer.size(), nullptr);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), text);
    char summary[256];
    snprintf(summary, sizeof summary, "%d%d%d%d [%s][%s][%s][%s] %d %d %d %d %d %d %d",
             bTwentySecData, bFormatNG2, bDBModeFixed, bEndofHeader, szDBCreationTime,
             szFileWriteTime, szDataStartTime, szDataEndTime, iVersion, iNumberofNames,
             iNumberofColumns, iHeaderSize, iNameListSize, iDataSize, iFileSize);
    return summary;
}

const std::string kNothing = "0000 [][][][] 0 0 0 0 0 0 0";

std::string FullHeader(const char* eol) {
    std::string text;
    for (const char* line :
         {"KORVA TMS Twenty Second Data File", "NG.2 Format", "DB Mode = FIXED",
          "DB Creation = 04/30/2021 23:00:01", "File Write = 05/02/2021 00:10:00",
          "Data Start = 05/01/2021 00:00:00", "Data End = 05/01/2021 23:59:40", "Version = 2",
          "Number of Names = 412", "Number of Columns = 4320", "Header Size = 1024",
          "Name List Size = 11124", "Data Size = 5000000", "File Size = 5012148",
          "The remainder of this file is binary data", "Version = 9"})
        text += std::string(line) + eol;
    return text;
}

}  // namespace

TEST(HeaderParser, ReadsEveryKeyUpToTheRemainderLineWithLfOrCrLf) {
    for (const char* eol : {"\n", "\r\n"})
        EXPECT_EQ(Parse(FullHeader(eol)),
                  "1111 [04/30/2021 23:00:01][05/02/2021 00:10:00][05/01/2021 00:00:00]"
                  "[05/01/2021 23:59:40] 2 412 4320 1024 11124 5000000 5012148");
}

TEST(HeaderParser, FirstKeyInTableOrderDecides) {
    EXPECT_EQ(Parse("NG.2 Format Version = 7\nData Size and Data Start = 05/01/2021\n"),
              "0100 [][][05/01/2021][] 0 0 0 0 0 0 0");
}

TEST(HeaderParser, StopsAfterFifteenLinesNotCountingBlankOnes) {
    std::string text = "\n\n";
    for (int i = 0; i < 13; i++) text += "comment\n\n\n";
    text += "\r\nVersion = 4\nNumber of Names = 5\nThe remainder\n";  // "\r" is line 14
    EXPECT_EQ(Parse(text), "0000 [][][][] 4 0 0 0 0 0 0");
}

TEST(HeaderParser, StoresOnlyIntegersAboveZeroThatFitAnInt) {
    for (const char* value : {"0", "-5", "five", "", "2147483648", "99999999999999999999"})
        EXPECT_EQ(Parse(std::string("Number of Names = ") + value + "\n"), kNothing) << value;
    EXPECT_EQ(Parse("Number of Names =  12abc\nHeader Size = 2147483647"),
              "0000 [][][][] 0 12 0 2147483647 0 0 0");
    int value = 77;
    EXPECT_EQ(ReturnIntegerAfterEqual("Version = 0", &value), 0);
    EXPECT_EQ(value, 77);
}

TEST(HeaderParser, TextValueDropsItsFirstCharacterAndIsCutAt31) {
    const std::pair<const char*, const char*> cases[] = {
        {"Data Start =x\n", ""},
        {"Data Start\n", ""},
        {"Data Start =\r\n", ""},
        {"Data Start = a=b\n", "a=b"},
        {"Data Start = 05/0", "05/0"},  // the buffer ends without a line feed
        {"Data Start = 0123456789012345678901234567890123456789\n",
         "0123456789012345678901234567890"},
    };
    for (const auto& [line, text] : cases)
        EXPECT_EQ(Parse(line), "0000 [][][" + std::string(text) + "][] 0 0 0 0 0 0 0") << line;
    char text[8] = "keep";
    EXPECT_EQ(ReturnStringAfterEqual("Data Start", text, sizeof text), 0);
    EXPECT_STREQ(text, "keep");
}

TEST(HeaderParser, SecondParseKeepsNothingOfTheFirst) {
    Parse(FullHeader("\n"));
    EXPECT_EQ(Parse("Data End = ab\n"), "0000 [][][][ab] 0 0 0 0 0 0 0");
    // Whole fields are cleared: the reports read date characters past a short value's end.
    const std::string zeros(HEADER_TEXT_SIZE, '\0');
    EXPECT_EQ(std::string(szDataEndTime, HEADER_TEXT_SIZE), "ab" + zeros.substr(2));
    for (const char* text : {szDBCreationTime, szFileWriteTime, szDataStartTime})
        EXPECT_EQ(std::string(text, HEADER_TEXT_SIZE), zeros);
}

TEST(DataFileReader, RefusedFilesLeaveAnErrorLineAndNoReport) {
    ResetGlobals();
    bWRITEELEMENTS = 1;
    TempDir in, out;
    MemoryLog log;
    auto process = [&](const std::string& name) {
        return ProcessDataFile(in.path.c_str(), out.path.c_str(), name.c_str(), log.file);
    };
    const std::string file = BuildDataFile({});
    // A path of 260 characters must not be cut to the 259 of another file's path.
    std::string longest(259 - in.path.size() - 4, 'N');
    WriteFile(in / (longest + ".DAT"), file);
    WriteFile(in / (longest + ".DATX"), file);
    // Sparse; the second size cut to an int would look like the small file it begins with.
    for (off_t size : {off_t(1) << 31, (off_t(1) << 32) + (off_t)file.size()}) {
        WriteFile(in / "HUGE.DAT", file);
        ASSERT_EQ(truncate((in / "HUGE.DAT").c_str(), size), 0);
        EXPECT_EQ(process("HUGE.DAT"), 0) << size;
    }
    EXPECT_EQ(process("GONE.DAT") + process(longest + ".DATX"), 0);
    EXPECT_TRUE(ListDir(out.path).empty());
    std::string text = Masked(log.Text());
    for (const std::string& line :
         {std::string("[T] E Size of data file [HUGE.DAT] cannot be determined or is 2 GiB or "
                      "more!\n"),
          std::string("[T] - Processing data file [GONE.DAT], starting at [T]\n"
                      "[T] E Could not open data file [GONE.DAT]! - Error = [(nil)].\n"),
          "[T] E Path of data file [" + longest + ".DATX] would be longer than 259 characters!\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(process(longest + ".DAT"), 1);
    EXPECT_EQ(ListDir(out.path).size(), 1u);
}

TEST(DataFileReader, FileTooShortForItsNameTableGoesOn) {
    ResetGlobals();
    TempDir in;
    MemoryLog log;
    DataFileSpec spec;
    spec.devices.resize(2);
    WriteFile(in / "SHORT.DAT", BuildDataFile(spec).substr(0, 1024 + 27 + 10));
    EXPECT_EQ(ProcessDataFile(in.path.c_str(), in.path.c_str(), "SHORT.DAT", log.file), 1);
    std::string text = log.Text();
    EXPECT_TRUE(text.find("W While parsing the name table, we ran out of name") != text.npos);
    EXPECT_TRUE(text.find("] - Completed processing of data file [SHORT.DAT]") != text.npos);
}

// The head of a data file: the ASCII header, the name table read into the device table, and
// how much of each device's data block lies inside the file.
#include "TestSupport.h"
#include "datafile/Header.h"

using namespace korvatest;
using Ints = std::vector<int>;

namespace {

// Parses text from a buffer of exactly its size (an over-read shows under ASan), checks that no
// byte changed, and sums up the header record (kept in h).
tagHEADER h;
std::string Header(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    h = ReadDataHeader(buffer.data(), (int)buffer.size());
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), text);
    char summary[256];
    snprintf(summary, sizeof summary, "%d%d%d%d [%s][%s][%s][%s] %d %d %d %d %d %d %d",
             h.bTwentySecData, h.bFormatNG2, h.bDBModeFixed, h.bEndofHeader, h.szDBCreationTime,
             h.szFileWriteTime, h.szDataStartTime, h.szDataEndTime, h.iVersion, h.iNumberofNames,
             h.iNumberofColumns, h.iHeaderSize, h.iNameListSize, h.iDataSize, h.iFileSize);
    return summary;
}

class DeviceTable : public KorvaTest {};

}  // namespace

TEST(HeaderParser, KeysValuesAndTheFifteenLineLimit) {
    const std::string full =
        "KORVA TMS Twenty Second Data File\nNG.2 Format\nDB Mode = FIXED\n"
        "DB Creation = 04/30/2021 23:00:01\nFile Write = 05/02/2021 00:10:00\n"
        "Data Start = 05/01/2021 00:00:00\nData End = 05/01/2021 23:59:40\nVersion = 2\n"
        "Number of Names = 412\nNumber of Columns = 4320\nHeader Size = 1024\n"
        "Name List Size = 11124\nData Size = 5000000\nFile Size = 5012148\n"
        "The remainder of this file is binary data\nVersion = 9\n";
    const std::string none = "0000 [][][][] 0 0 0 0 0 0 0",
                      all =
                          "1111 [04/30/2021 23:00:01][05/02/2021 00:10:00][05/01/2021 00:00:00]"
                          "[05/01/2021 23:59:40] 2 412 4320 1024 11124 5000000 5012148";
    std::string crlf, fifteen = "\n\n";  // blank lines do not count; "\r" is line 14
    for (char c : full) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (int i = 0; i < 13; i++) fifteen += "comment\n\n\n";
    const std::pair<std::string, std::string> cases[] = {
        {crlf, all},
        {fifteen + "\r\nVersion = 4\nNumber of Names = 5\n", "0000 [][][][] 4 0 0 0 0 0 0"},
        // The first key of the table in the line decides.
        {"NG.2 Format Version = 7\nData Size and Data Start = 05/01/2021\n",
         "0100 [][][05/01/2021][] 0 0 0 0 0 0 0"},
        // Integers: only values above zero that fit an int, read as far as they go.
        {"Version = 3\nVersion = 0\nNumber of Names = -5\nHeader Size = five\nData Size = \n",
         "0000 [][][][] 3 0 0 0 0 0 0"},
        {"Number of Names = 2147483648\nFile Size = 99999999999999999999\n", none},
        {"Number of Names =  12abc\nHeader Size = 2147483647",
         "0000 [][][][] 0 12 0 2147483647 0 0 0"},
        // Texts drop their first character and are cut at 31.
        {"Data Start =x\nData Start\nData Start =\r\n", none},
        {"Data Start = a=b\nData End = 05/0", "0000 [][][a=b][05/0] 0 0 0 0 0 0 0"},
        {"Data Start = 0123456789012345678901234567890123456789\n",
         "0000 [][][0123456789012345678901234567890][] 0 0 0 0 0 0 0"},
        {"Data End = ab\n", "0000 [][][][ab] 0 0 0 0 0 0 0"},  // nothing of the last stays
    };
    for (const auto& [text, summary] : cases) EXPECT_EQ(Header(text), summary) << text;
    // Whole fields are cleared: the report names read date characters past a short value.
    std::string fields;
    for (const char* text :
         {h.szDBCreationTime, h.szFileWriteTime, h.szDataStartTime, h.szDataEndTime})
        fields += std::string(text, HEADER_TEXT_SIZE);
    EXPECT_EQ(fields, std::string(96, '\0') + "ab" + std::string(30, '\0'));
}

// 27-byte entries: a name of 19 bytes (no zero needed), type, a second word, data offset.
TEST_F(DeviceTable, NameTableIsReadWhileItsNameDataLasts) {
    std::string table = "STATION" + std::string(12, '\0') +
                        std::string("\x54\x00\x34\x12\xE8\x03\x00\x00", 8) + std::string(19, 'N') +
                        "\x05\x01\xFF\xFF\x78\x56\x34\xF2";
    auto read = [&](const std::string& bytes, int names, int listSize) {
        buffer.assign(bytes.begin(), bytes.end());  // exactly sized: ASan sees an over-read
        file = tagDATAFILE{};
        file.lpBytes = (const unsigned char*)buffer.data();
        file.iSize = (int)buffer.size();
        file.header.iNumberofNames = names, file.header.iNameListSize = listSize;
        int complete = ReadNameTable(&file, &log);
        std::string s = std::to_string(complete);
        for (size_t i = 0; i < file.devices.size(); i++)
            s += " " + std::string(DeviceName(file, (int)i).text) + ":" +
                 std::to_string(file.devices[i].usType) + ":" +
                 std::to_string(file.devices[i].uiDataOffset);
        return s;
    };
    EXPECT_EQ(read(table, 2, 54), "1 STATION:84:1000 NNNNNNNNNNNNNNNNNNN:261:4063516280");
    EXPECT_EQ(Ints({1, 0}), Ints(file.byName.begin(), file.byName.end()));  // 'N' before 'S'
    EXPECT_EQ(log.Text(), "");
    // One byte short in the list size, then in the file; no list size; no names at all.
    EXPECT_EQ(read(table, 2, 53), "0 STATION:84:1000");
    EXPECT_EQ(read(table.substr(0, 53), 2, 54), "0 STATION:84:1000");
    EXPECT_EQ(read(table, 2, 0), "0");
    EXPECT_EQ(read(table, 0, 54), "1");
    EXPECT_TRUE(file.bTable);
    const std::string ranOut =
        "[12:34:56] W While parsing the name table, we ran out of name "
        "data before we finished the list!\n";
    EXPECT_EQ(log.Text(), ranOut + ranOut + ranOut);
}

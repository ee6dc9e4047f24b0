// Device table and unpacking: the name table read byte by byte, the four packed-entry decoders,
// and offsets or column counts that claim more than the file or a day holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Process20SecondDataFile.h"
#include "TestSupport.h"
#include "Unpack20SecNG.h"

using namespace korvatest;
using Ints = std::vector<int>;

namespace {

const unsigned char kLoop[] = {0x9A, 0x2C, 0x65};
const unsigned char kTrap[] = {0x85, 0xA6, 0x2C, 0x3B, 0x47, 0x93};
const unsigned char kOnes[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const char kRanOut[] =
    "[12:34:56] W While parsing the name table, we ran out of name data before we finished the "
    "list!\n";

class DeviceTable : public ::testing::Test {
protected:
    void SetUp() override { ResetGlobals(); }

    // Reads a file from an exactly sized copy of its bytes, so that the sanitizer reports any
    // read past its end: the header, the name table and the unpacking, or (bare) the name table
    // alone with the given counts.
    int Load(const std::string& bytes, bool bare = false, int names = 0, int listSize = 0) {
        file.assign(bytes.begin(), bytes.end());
        int size = (int)file.size();
        if (bare) {
            iNumberofNames = names;
            iNameListSize = listSize;
            return ReadNameTable(file.data(), size, log.file);
        }
        ReadDataHeader(file.data(), size, log.file);
        ReadNameTable(file.data() + iHeaderSize, size, log.file);
        UnpackNamedDevice(file.data(), size, log.file);
        return 1;
    }
    // What ProcessDataFile logs for a built file.
    std::string Process(const DataFileSpec& layout, const char* name) {
        WriteFile(dir / name, BuildDataFile(layout));
        size_t before = log.Text().size();
        EXPECT_EQ(1, ProcessDataFile(dir.path.c_str(), dir.path.c_str(), name, log.file));
        return log.Text().substr(before);
    }

    std::vector<char> file;
    MemoryLog log;
    TempDir dir;
};

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

// A 27-byte name-table entry: the name, then the given bytes (type, second word, offset).
std::string Entry(const std::string& name, Ints tail) {
    std::string entry = name.substr(0, 19);
    entry.resize(19, '\0');
    for (int b : tail) entry.push_back((char)b);
    entry.resize(27, '\0');
    return entry;
}
// Name, type, second word and data offset of a record.
std::string Fields(const tagDEVICEDATA20SEC& d) {
    return std::string(d.szName) + " " + std::to_string(d.usType) + " " + std::to_string(d.usAux) +
           " " + std::to_string(d.uiDataOffset);
}

// The decoded fields in the order of the entry's bits.
Ints Loop(const unsigned char* entry, decltype(unpack_rtdb_loop)* decode) {
    uint16_t v, s, f, i, l;
    decode(entry, &v, &s, &f, &i, &l);
    return {i, l, s, f, v};
}
Ints Trap(const unsigned char* entry) {
    uint16_t sp, le, b1, b2, b3, b4, f1, f2;
    unpack_rtdb_spd_trap(entry, &sp, &le, &b1, &b2, &b3, &b4, &f1, &f2);
    return {f1, f2, sp, le, b1, b2, b3, b4};
}
Ints Meter(const unsigned char* entry) {
    uint8_t m0, m1, m2;
    unpack_rtdb_mtrd_ln(entry, &m0, &m1, &m2);
    return {m0, m1, m2};
}

}  // namespace

TEST(Decoders, UnpackTheWorkedEntriesAndAllOnesToTheFieldWidths) {
    EXPECT_EQ(Ints({2, 3, 556, 3, 5}), Loop(kLoop, unpack_rtdb_loop));
    EXPECT_EQ(Ints({2, 3, 556, 0, 101}), Loop(kLoop, unpack_rtdb_station));
    EXPECT_EQ(Ints({133, 160, 556, 315, 7, 9, 3, 2}), Trap(kTrap));
    EXPECT_EQ(Ints({18, 10, 11}), Meter((const unsigned char*)"\x12\xAB"));
    EXPECT_EQ(Ints({3, 7, 2047, 7, 31}), Loop(kOnes, unpack_rtdb_loop));
    EXPECT_EQ(Ints({3, 7, 2047, 1, 127}), Loop(kOnes, unpack_rtdb_station));
    EXPECT_EQ(Ints({255, 240, 1023, 1023, 31, 15, 15, 7}), Trap(kOnes));
    EXPECT_EQ(Ints({255, 15, 15}), Meter(kOnes));
}

TEST_F(DeviceTable, ReadsUnalignedEntriesUntilTheNameDataRunsOut) {
    std::string full(19, 'N');  // 19 name bytes and no zero among them
    std::string table = Entry("STATION", {0x54, 0x00, 0x34, 0x12, 0xE8, 0x03, 0x00, 0x00}) +
                        Entry(full, {0x05, 0x01, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0xF2});
    EXPECT_EQ(1, Load(table, true, 2, 54));
    EXPECT_EQ("STATION 84 4660 1000", Fields(lpDeviceData20Sec[0]));
    EXPECT_EQ(full + " 261 65535 4063516280", Fields(lpDeviceData20Sec[1]));
    EXPECT_EQ("", log.Text());
    // One byte short in the list size, then in the file; then no list size at all.
    for (auto [bytes, listSize] : {std::pair{table, 53}, {table.substr(0, 53), 54}, {table, 0}}) {
        EXPECT_EQ(0, Load(bytes, true, 2, listSize));
        EXPECT_EQ(listSize ? "STATION 84 4660 1000" : " 0 0 0", Fields(lpDeviceData20Sec[0]));
        EXPECT_EQ(" 0 0 0", Fields(lpDeviceData20Sec[1]));
    }
    EXPECT_EQ(1, Load(table, true, 0, 54));  // no names: an empty table, silently
    EXPECT_NE(nullptr, lpDeviceData20Sec);
    EXPECT_EQ(std::string(kRanOut) + kRanOut + kRanOut, log.Text());
}

TEST_F(DeviceTable, UnpacksWholeEntriesInsideTheFileOnly) {
    std::string two = LoopEntry(0, 1, 100, 0, 4) + LoopEntry(0, 1, 101, 0, 4);
    DataFileSpec layout;
    layout.devices = {
        {"LOOP", DEVICE_LOOP, Block(3, [](int c) { return LoopEntry(2, 3, 556 + c, 3, 5); })},
        {"STATION", DEVICE_STATION, Block(3, [](int c) { return StationEntry(2, c, 9, 0, 101); })},
        {"TRAP", DEVICE_SPEED_TRAP,
         std::string((const char*)kTrap, 6) + TrapEntry(5, 128, 0, 0, 0, 0, 0, 0) +
             std::string(6, '\0')},
        {"SAME", DEVICE_LOOP, "", 1024 + 27 * 8},  // shares the loop's block
        {"OTHER", 99, std::string(3, '\xFF')},
        {"PAST", DEVICE_LOOP, "", 5000},
        {"WRAPS", DEVICE_LOOP, "", 0xFFFFFFFFll - 2},  // in 32 bits it wraps to byte 0
        {"PARTIAL", DEVICE_LOOP, two + "\x09\x01"}};   // the third entry lacks a byte
    Load(BuildDataFile(layout));
    const tagDEVICEDATA20SEC* d = lpDeviceData20Sec;
    EXPECT_EQ(Ints({558, 3, 557}), Ints({d[0].usScanCnt[2], d[0].ucNPds[2], d[3].usScanCnt[1]}));
    EXPECT_EQ(Ints({0, 1, 1, 101}),
              Ints({d[1].ucNPds[0], d[1].ucNPds[1], d[1].ucNPds[2], d[1].usVolume[2]}));
    EXPECT_EQ(Ints({1, 1, 0, 556}),
              Ints({d[2].ucSpdNPds[0], d[2].ucSpdNPds[1], d[2].ucSpdNPds[2], d[2].usSpdTenths[0]}));
    EXPECT_EQ(Ints({0, 0, 0, 0, 101, 0}),
              Ints({d[4].usScanCnt[0], d[5].usNumLanes[0], d[6].usNumLanes[0], d[6].usNumLanes[2],
                    d[7].usScanCnt[1], d[7].usNumLanes[2]}));
    std::string text;
    for (auto [name, got] : {std::pair{"PAST", 0}, {"WRAPS", 0}, {"PARTIAL", 2}})
        text += "[12:34:56] W Data block of device [" + std::string(name) +
                "] ends past the end of the file; only [" + std::to_string(got) +
                "] of [3] periods unpacked!\n";
    EXPECT_EQ(text, log.Text());
}

TEST_F(DeviceTable, ColumnCountsOutsideOneDayTouchNoPeriodPastIt) {
    DataFileSpec layout;
    layout.columns = 4400;
    layout.devices = {
        {"LOOP", DEVICE_LOOP, Block(4400, [](int) { return LoopEntry(1, 2, 600, 1, 9); })},
        {"TRAP", DEVICE_SPEED_TRAP, Block(4400, [](int) { return std::string(kTrap, kTrap + 6); })},
        // The last record's last array ends the table: its period 4320 lies outside.
        {"METER", DEVICE_METERED_LANE, Block(4400, [](int) { return std::string("\x12\xAB"); })}};
    std::string text = Process(layout, "BIG.DAT");
    EXPECT_EQ(1u, Count(text, "] W "));
    EXPECT_EQ(1u, Count(text,
                        "] W Data file [BIG.DAT] claims [4400] columns; only the [4320] "
                        "periods of one day are processed.\n"));
    EXPECT_EQ(1u, Count(text, "Completed processing of data file [BIG.DAT]"));

    layout.columns = 0;
    EXPECT_EQ(0u, Count(Process(layout, "NONE.DAT"), "] W "));
    Load(BuildDataFile(layout));
    EXPECT_EQ(0, iNumberofColumns);
    EXPECT_EQ(0, lpDeviceData20Sec[0].usScanCnt[0] | lpDeviceData20Sec[2].ucMeter0[0]);
}

// Runs the real converter so that the failed allocation is a plain null, not a sanitizer stop.
TEST_F(DeviceTable, UnallocatableDeviceCountSkipsTheFile) {
    TempDir out, logs;
    DataFileSpec layout;
    layout.names = 2000000000;
    layout.devices = {{"LOOP", DEVICE_LOOP, LoopEntry(1, 2, 600, 1, 9)}};
    WriteFile(dir / "HUGE.DAT", BuildDataFile(layout));
    const char* old = getenv("ASAN_OPTIONS");
    std::string saved = old ? old : "";
    setenv("ASAN_OPTIONS", "allocator_may_return_null=1", 1);
    RunResult run = RunKorva({"-E", "-I" + dir.path, "-O" + out.path, "-F" + logs.path}, dir.path);
    old ? setenv("ASAN_OPTIONS", saved.c_str(), 1) : unsetenv("ASAN_OPTIONS");
    EXPECT_EQ(0, run.status) << run.err;
    std::vector<std::string> logFiles = ListDir(logs.path);
    ASSERT_EQ(1u, logFiles.size());
    std::string text = ReadFile(logs / logFiles[0]);
    std::string bytes = std::to_string(2000000000ll * (long long)sizeof(tagDEVICEDATA20SEC));
    EXPECT_EQ(1u, Count(text, "] E Allocation [" + bytes +
                                  "] bytes of space for [2000000000] data names structure "
                                  "FAILED!!!\n"));
    EXPECT_EQ(0u, Count(text, "Traps into"));  // nothing after the table is done
    EXPECT_EQ(1u, Count(text, "Completed processing of data file [HUGE.DAT]"));
    EXPECT_TRUE(ListDir(out.path).empty());
}

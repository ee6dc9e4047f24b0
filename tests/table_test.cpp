// Device table and unpacking: the name table read byte by byte, the four packed-entry decoders,
// and offsets, column counts or name counts that claim more than the file, a day or the memory
// holds.
#include <gtest/gtest.h>
#include <unistd.h>

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

// Name, type, second word and data offset of a record.
std::string Fields(const tagDEVICEDATA20SEC& d) {
    return std::string(d.szName) + " " + std::to_string(d.usType) + " " + std::to_string(d.usAux) +
           " " + std::to_string(d.uiDataOffset);
}

class DeviceTable : public KorvaTest {
protected:
    // Reads a file from an exactly sized copy of its bytes, so that the sanitizer reports any
    // read past its end: the header, the name table and the unpacking, or (names >= 0) the
    // name table alone with the given counts.
    int Load(const std::string& bytes, int names = -1, int listSize = 0) {
        file.assign(bytes.begin(), bytes.end());
        if (names >= 0) {
            iNumberofNames = names, iNameListSize = listSize;
            return ReadNameTable(file.data(), (int)file.size(), log.file);
        }
        ReadDataHeader(file.data(), (int)file.size(), log.file);
        ReadNameTable(file.data() + iHeaderSize, (int)file.size(), log.file);
        UnpackNamedDevice(file.data(), (int)file.size(), log.file);
        return 1;
    }
    std::vector<char> file;
};

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

TEST_F(DeviceTable, ReadsUnalignedEntriesAndKeepsOnlyThoseTheNameDataHolds) {
    std::string full(19, 'N');  // 19 name bytes and no zero among them
    std::string table = "STATION" + std::string(12, '\0') +
                        std::string("\x54\x00\x34\x12\xE8\x03\x00\x00", 8) + full +
                        "\x05\x01\xFF\xFF\x78\x56\x34\xF2";
    EXPECT_EQ(1, Load(table, 2, 54));
    EXPECT_EQ("STATION 84 4660 1000", Fields(lpDeviceData20Sec[0]));
    EXPECT_EQ(full + " 261 65535 4063516280", Fields(lpDeviceData20Sec[1]));
    EXPECT_EQ("", log.Text());
    // One byte short in the list size, then in the file; then no list size at all.
    std::string said;
    for (auto [bytes, listSize] : {std::pair{table, 53}, {table.substr(0, 53), 54}, {table, 0}}) {
        EXPECT_EQ(0, Load(bytes, 2, listSize));
        EXPECT_EQ(listSize ? 1 : 0, iNumberofNames);
        EXPECT_EQ(listSize ? "STATION 84 4660 1000" : " 0 0 0", Fields(lpDeviceData20Sec[0]));
        std::string kept = std::to_string(iNumberofNames);
        said +=
            "[12:34:56] W While parsing the name table, we ran out of name data before we "
            "finished the list!\n[12:34:56] E Header claims [2] names, but the name table "
            "holds only [" +
            kept + "]; the device table keeps [" + kept + "] records!\n";
    }
    EXPECT_EQ(1, Load(table, 0, 54));  // no names: an empty table, silently
    EXPECT_NE(nullptr, lpDeviceData20Sec);
    EXPECT_EQ(said, log.Text());
}

TEST_F(DeviceTable, UnpacksWholeEntriesInsideTheFileOnly) {
    std::string two = LoopEntry(0, 1, 100, 0, 4) + LoopEntry(0, 1, 101, 0, 4);
    DataFileSpec layout;
    layout.devices = {
        {"LOOP", DEVICE_LOOP, Block(3, [](int c) { return LoopEntry(2, 3, 556 + c, 3, 5); })},
        // Incident 2, c lanes, scan count 9, volume 101.
        {"STATION", DEVICE_STATION,
         Block(3,
               [](int c) {
                   return std::string{(char)(0x80 | c << 3), 9, 101};
               })},
        // Byte 1's high bit tells whether the trap delivered.
        {"TRAP", DEVICE_SPEED_TRAP,
         std::string((const char*)kTrap, 6) + std::string("\x05\x80\0\0\0\0\0\0\0\0\0\0", 12)},
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
    std::string said;
    for (auto [name, got] : {std::pair{"PAST", 0}, {"WRAPS", 0}, {"PARTIAL", 2}})
        said += "[12:34:56] W Data block of device [" + std::string(name) +
                "] ends past the end of the file; only [" + std::to_string(got) +
                "] of [3] periods unpacked!\n";
    EXPECT_EQ(said, log.Text());
}

// A column count past one day touches no period past it, in the real converter and in the
// steps alone (the sanitizer build guards the bounds: the last record's last array ends the
// table, and its period 4320 lies outside), and a table that cannot be had (under a 2 GiB limit)
// skips the file.
TEST_F(DeviceTable, ClaimsBeyondADayOrTheMemoryAreClampedOrSkipped) {
    TempDir out, logs;
    DataFileSpec big, huge;
    big.columns = 4400;
    big.devices = {
        {"LOOP", DEVICE_LOOP, Block(4400, [](int) { return LoopEntry(1, 2, 600, 1, 9); })},
        {"TRAP", DEVICE_SPEED_TRAP, Block(4400, [](int) { return std::string(kTrap, kTrap + 6); })},
        {"METER", DEVICE_METERED_LANE, Block(4400, [](int) { return std::string("\x12\xAB"); })}};
    WriteFile(dir / "BIG.DAT", BuildDataFile(big));
    huge.devices.resize(100000);  // unnamed, of type 0: 5.5 GB of table
    WriteFile(dir / "HUGE.DAT", BuildDataFile(huge));
    RunResult run =
        RunKorva({"-E", "-I" + dir.path, "-O" + out.path, "-F" + logs.path}, dir.path, 2l << 30);
    EXPECT_EQ(0, run.status) << run.err;
    ASSERT_EQ(1u, ListDir(logs.path).size());
    std::string text = ReadFile(logs / ListDir(logs.path)[0]);
    std::string bytes = std::to_string(100000ll * (long long)sizeof(tagDEVICEDATA20SEC));
    EXPECT_EQ(1, Count(text, "] E Allocation [" + bytes +
                                 "] bytes of space for [100000] data names structure FAILED!!!\n"));
    EXPECT_EQ(1, Count(text, "Traps into"));  // nothing after the table is done for HUGE.DAT
    EXPECT_EQ(1, Count(text, "] W "));
    EXPECT_EQ(1, Count(text,
                       "] W Data file [BIG.DAT] claims [4400] columns; only the [4320] "
                       "periods of one day are processed.\n"));
    EXPECT_EQ(2, Count(text, "] - Completed processing of data file ["));
    EXPECT_EQ(1u, ListDir(out.path).size());
    Load(BuildDataFile(big));  // the steps bound themselves too, without the converter's clamp
    AggregateStationTrapData("BIG.DAT", log.file);
    CalculateSpeedLength("BIG.DAT", log.file);
    EXPECT_EQ(Ints({9, 600}),
              Ints({lpDeviceData20Sec[0].usVolume[4319], lpDeviceData20Sec[0].usScanCnt[4319]}));
    big.columns = 0;  // none at all: nothing unpacked, silently
    Load(BuildDataFile(big));
    EXPECT_EQ(0, lpDeviceData20Sec[0].usScanCnt[0] | lpDeviceData20Sec[2].ucMeter0[0]);
    EXPECT_EQ("", log.Text());
}

// Device table: the four packed-entry decoders, the name table read byte by byte, how much of
// each data block is read, and column or name counts that claim more than a day or the memory
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

// Name, type, second word and data offset of a device.
std::string Fields(const tagDEVICE& d) {
    return std::string(d.szName) + " " + std::to_string(d.usType) + " " + std::to_string(d.usAux) +
           " " + std::to_string(d.uiDataOffset);
}

class DeviceTable : public KorvaTest {
protected:
    // Reads the name table alone from an exactly sized copy of bytes, which starts with it,
    // with the given header counts.
    int ReadNames(const std::string& bytes, int names, int listSize) {
        buffer.assign(bytes.begin(), bytes.end());
        file = tagDATAFILE{};
        file.lpBytes = (const unsigned char*)buffer.data();
        file.iSize = (int)buffer.size();
        iHeaderSize = 0, iNumberofNames = names, iNameListSize = listSize;
        return ReadNameTable(&file, log.file);
    }
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
    EXPECT_EQ(1, ReadNames(table, 2, 54));
    ASSERT_EQ(2u, file.devices.size());
    EXPECT_EQ("STATION 84 4660 1000", Fields(file.devices[0]));
    EXPECT_EQ(full + " 261 65535 4063516280", Fields(file.devices[1]));
    EXPECT_EQ(Ints({1, 0}), Ints(file.byName.begin(), file.byName.end()));  // 'N' before 'S'
    EXPECT_EQ("", log.Text());
    // One byte short in the list size, then in the file; then no list size at all.
    for (auto [bytes, listSize] : {std::pair{table, 53}, {table.substr(0, 53), 54}, {table, 0}}) {
        EXPECT_EQ(0, ReadNames(bytes, 2, listSize));
        EXPECT_TRUE(file.bTable);
        ASSERT_EQ(listSize ? 1u : 0u, file.devices.size());
        for (const tagDEVICE& d : file.devices) EXPECT_EQ("STATION 84 4660 1000", Fields(d));
    }
    EXPECT_EQ(1, ReadNames(table, 0, 54));  // no names: an empty table, silently
    EXPECT_TRUE(file.bTable && file.devices.empty());
    EXPECT_EQ(3, Count(log.Text(),
                       "[12:34:56] W While parsing the name table, we ran out of name data "
                       "before we finished the list!\n"));
    EXPECT_EQ(3, (int)Lines(log.Text()).size());
}

// Values of the blocks are held against the plain table in reports_test; here, how much of
// each block is read.
TEST_F(DeviceTable, ReadsWholeEntriesInsideTheFileOnly) {
    DataFileLayout layout;
    layout.devices = {{"LOOP", DEVICE_LOOP, Block(3, LoopEntry(2, 3, 556, 3, 5))},
                      {"TRAP", DEVICE_SPEED_TRAP, Block(3, std::string(kTrap, kTrap + 6))},
                      {"SAME", DEVICE_LOOP, "", 1024 + 27 * 7},  // shares the loop's block
                      {"OTHER", 99, std::string(3, '\xFF')},
                      {"PAST", DEVICE_LOOP, "", 5000},
                      {"WRAPS", DEVICE_LOOP, "", 0xFFFFFFFFll - 2},  // in 32 bits it wraps to 0
                      {"PARTIAL", DEVICE_METERED_LANE, "\x12\xAB\x12\xAB\x12"}};  // 2.5 entries
    Load(BuildDataFile(layout));
    Ints periods;
    for (const tagDEVICE& d : file.devices) periods.push_back(d.iPeriods);
    EXPECT_EQ(Ints({3, 3, 3, 0, 0, 0, 2}), periods);
    tagBLOCK v = Values(file);
    EXPECT_EQ(Ints({556, 556, 0, 0}), Ints({v.At(2, 0).usScanCnt, v.At(2, 2).usScanCnt,
                                            v.At(0, 4).usNumLanes, v.At(2, 5).usNumLanes}));
    std::string said;
    for (auto [name, got] : {std::pair{"PAST", 0}, {"WRAPS", 0}, {"PARTIAL", 2}})
        said += "[12:34:56] W Data block of device [" + std::string(name) +
                "] ends past the end of the file; only [" + std::to_string(got) +
                "] of [3] periods unpacked!\n";
    EXPECT_EQ(said +
                  "[12:34:56] - Processed [0] Traps into [0] _x Lanes and Sx Lanes [0] in file "
                  "[F.DAT]...\n",
              log.Text());
}

// A column count past one day is clamped to it (the sanitizer build guards the file's bytes).
// A name costs a few dozen bytes, not a day of values: 100,000 unnamed names, 60,000 traps
// sharing one block over a whole day, and a small file claiming 50 million names all convert
// within a few hundred megabytes.
TEST_F(DeviceTable, ClaimsBeyondADayAndManyNamesConvertWithinAMemoryBound) {
    const std::string trap(kTrap, kTrap + 6);
    DataFileLayout big{4400,
                       {{"LOOP", DEVICE_LOOP, Block(4400, LoopEntry(1, 2, 600, 1, 9))},
                        {"TRAP", DEVICE_SPEED_TRAP, Block(4400, trap)}},
                       "05/02/2021 00:00:00"};
    DataFileLayout many{PERIODS_PER_DAY, {}, "05/03/2021 00:00:00"};
    for (int i = 0; i < 60000; i++) {
        std::string name = std::to_string(1000000 + i) + ":_MN_____T1";  // 'T' at 16
        many.devices.push_back({name, DEVICE_SPEED_TRAP, i ? "" : Block(PERIODS_PER_DAY, trap),
                                i ? 1024 + 27 * 60000ll : -1});
    }
    WriteFile(dir / "BIG.DAT", BuildDataFile(big));
    WriteFile(dir / "MANY.DAT", BuildDataFile(many));
    WriteFile(dir / "UNNAMED.DAT",
              BuildDataFile({3, std::vector<DeviceLayout>(100000, {"", 0, ""}), "05/04/2021"}));
    WriteFile(dir / "TINY.DAT",
              BuildDataFile({3, {{"LOOP", DEVICE_LOOP, Block(3, trap)}}, "05/05/2021", 50000000}));
    TempDir out, logs;
    RunResult run = RunKorva(
        {"-E", "-A", "-T", "-P07:30:20", "-I" + dir.path, "-O" + out.path, "-F" + logs.path},
        dir.path, 300l << 20);
    EXPECT_EQ(0, run.status) << run.err;
    ASSERT_EQ(1u, ListDir(logs.path).size());
    std::string text = ReadFile(logs / ListDir(logs.path)[0]);
    EXPECT_EQ(2, Count(text, "] W "));
    EXPECT_EQ(1, Count(text,
                       "] W Data file [BIG.DAT] claims [4400] columns; only the [4320] "
                       "periods of one day are processed.\n"));
    EXPECT_EQ(1, Count(text, "] W While parsing the name table, we ran out of name data"));
    EXPECT_EQ(12u, ListDir(out.path).size());  // every report of the four files
    std::string traps = ReadFile(out / "KORVA20Sec_Trap_P_05032021.csv");
    EXPECT_EQ(60001u, Lines(traps).size());
    EXPECT_TRUE(Has(traps, "1059999:_MN_____T1,05/03/2021 07:30:20,55.6,31.5,7,9,3,2,133,160\n"));
    Load(BuildDataFile(big));
    EXPECT_EQ(Ints({4320, 4320}), Ints({file.iColumns, file.devices[0].iPeriods}));
    tagBLOCK v = Values(file);
    EXPECT_EQ(Ints({9, 600, 556}),
              Ints({v.At(4319, 0).usVolume, v.At(4319, 0).usScanCnt, v.At(4319, 1).usSpdTenths}));
}

// Derived measures as the blocks of periods make them from a data file: trap measurements
// carried by lanes, lanes summed into stations, and the length and speed estimated from the
// loop measures. (Unusual link layouts are held against the plain table in reports_test.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Process20SecondDataFile.h"
#include "TestSupport.h"

using namespace korvatest;
using Ints = std::vector<int>;

namespace {

// Names of one place: index 11 the variant letter, index 16 the lane kind ('T' a trap).
std::string Place(char variant, char kind, const char* tail = "") {
    return "0010WB0042:" + std::string(1, variant) + "0002" + kind + "1" + tail;
}
const char kStation[] = "0010WB0042:STN0000";
std::string Lane(char digit) {
    return "0010WB0042:STN0__" + std::string(1, digit);
}

// A trap entry of vehicles in bins 1 and 4 only.
std::string T(int speed, int length, int bin1, int bin4 = 0, int flag2 = 128, int flag = 0) {
    return TrapEntry(speed, length, bin1, 0, 0, bin4, flag, flag2);
}
// A station reporting lanes[c] lanes in period c; the first is the count it expects.
DeviceLayout Station(const std::string& name, const Ints& lanes) {
    return {name, DEVICE_STATION,
            Block((int)lanes.size(), [&](int c) { return StationEntry(0, lanes[c], 0, 0, 0); })};
}

// Speed, length, the bins, both flags and the delivered bit of a period's trap measurements.
Ints TrapFields(const tagPERIODVALUES& v) {
    return {v.usSpdTenths, v.usLenTenths, v.usBin1,     v.usBin2,   v.usBin3,
            v.usBin4,      v.usSpdFlag,   v.usSpdFlag2, v.ucSpdNPds};
}
// Speed, length, first flag and the bins (bin 1 + 100 x bin 4) of a station's period.
Ints Sums(const tagPERIODVALUES& v) {
    return {v.usSpdTenths, v.usLenTenths, v.usSpdFlag, v.usBin1 + 100 * v.usBin4};
}

class Measures : public KorvaTest {
protected:
    // Loads the devices over `columns` periods and makes every device's values.
    tagBLOCK Made(int columns, const std::vector<DeviceLayout>& devices, int names = -1) {
        EXPECT_EQ(1, Load(BuildDataFile({columns, devices, "05/01/2021 00:00:00", names})));
        return Values(file);
    }
};

}  // namespace

TEST_F(Measures, TrapFillsLaneVariantAndSpeedLaneOverTheWholeDay) {
    tagDATAFILE none;
    EXPECT_EQ(0, IntegrateTrapData(&none, "F.DAT", log.file));  // no table, no line
    tagBLOCK v =
        Made(PERIODS_PER_DAY,
             {{Place('L', 'T'), DEVICE_SPEED_TRAP,
               TrapEntry(655, 201, 1, 1, 1, 4, 133, 160) + std::string(6 * 4318, '\0') +
                   std::string(6, '\xff')},
              {Place('L', '_'), DEVICE_LOOP, Block(PERIODS_PER_DAY, LoopEntry(0, 1, 0, 0, 9))},
              {Place('M', '_'), DEVICE_LOOP, ""},
              {Place('L', 'S'), DEVICE_LOOP, ""}});
    EXPECT_EQ(Ints({655, 201, 1, 1, 1, 4, 133, 160, 1}), TrapFields(v.At(0, 0)));
    EXPECT_EQ(Ints({1023, 1023, 31, 15, 15, 7, 255, 240, 1}), TrapFields(v.At(4319, 0)));
    for (int c : {0, 4319})
        for (int i : {1, 2, 3}) EXPECT_EQ(TrapFields(v.At(c, 0)), TrapFields(v.At(c, i))) << i;
    EXPECT_EQ(9, v.At(4319, 1).usVolume);
    EXPECT_TRUE(Has(log.Text(),
                    "[12:34:56] - Processed [1] Traps into [2] _x Lanes and Sx Lanes [1] in file "
                    "[F.DAT]...\n"));
}

// The first trap stops at its variant and speed lane, before its own lane; the second trap's
// lane is the first one's variant; the third trap's name has 19 letters.
TEST_F(Measures, TrapStopsOnceFilledLaterTrapWinsAndLongNamesKeepTheirLength) {
    std::vector<DeviceLayout> devices;
    for (const std::string& name :
         {Place('L', 'T'), Place('M', '_'), Place('L', 'S'), Place('M', 'T'), Place('L', 'T', "X"),
          Place('L', '_'), Place('L', '_', "X")})
        devices.push_back(name[16] == 'T'
                              ? DeviceLayout{name, DEVICE_SPEED_TRAP,
                                             Block(3, T(500 + 100 * (int)devices.size(), 200, 1))}
                              : DeviceLayout{name, DEVICE_LOOP, ""});
    tagBLOCK v = Made(3, devices);
    EXPECT_EQ(Ints({800, 500, 0, 900}), Ints({v.At(2, 1).usSpdTenths, v.At(2, 2).usSpdTenths,
                                              v.At(2, 5).usSpdTenths, v.At(2, 6).usSpdTenths}));
    EXPECT_TRUE(Has(log.Text(), "[3] Traps into [3] _x Lanes and Sx Lanes [1]"));
    // A trap named by nothing but its 'T' names every device without a name: those the header
    // claims beyond its name table too.
    Made(3, {{std::string(16, '\0') + "T", DEVICE_SPEED_TRAP, ""}, {"", DEVICE_LOOP, ""}}, 5);
    EXPECT_TRUE(Has(log.Text(), "[1] Traps into [5] _x Lanes and Sx Lanes [0]"));
}

TEST_F(Measures, StationAveragesItsLanesByVehiclesOnlyWhenItFindsThemAll) {
    // Lane 1: 3 vehicles of 18 ft at 60 mph; lane 2: one of 45 ft at 50 mph; neither valid in
    // period 1.
    std::vector<DeviceLayout> devices = {
        Station(kStation, {2, 2}),
        {Lane('1'), DEVICE_SPEED_TRAP, T(600, 180, 3) + T(600, 180, 3, 0, 0)},
        {Lane('2'), DEVICE_SPEED_TRAP, T(500, 450, 0, 1) + T(500, 450, 0, 1, 0)}};
    tagBLOCK v = Made(2, devices);
    EXPECT_EQ(Ints({575, 247, 128, 103}), Sums(v.At(0, 0)));
    EXPECT_EQ(Ints({0, 0, 0, 0}), Sums(v.At(1, 0)));
    // Lane 2 before lane 1 is never found: the sums stay sums, the flag a count.
    std::swap(devices[1], devices[2]);
    EXPECT_EQ(Ints({1800, 540, 1, 3}), Sums(Made(2, devices).At(0, 0)));
    // A name of 17 characters is too short for the lane digits at 15 to 17: no lanes.
    v = Made(1,
             {Station("0010WB0042:STN000", {1}), {Lane('1'), DEVICE_SPEED_TRAP, T(600, 200, 1)}});
    EXPECT_EQ(Ints({0, 0, 0, 0}), Sums(v.At(0, 0)));
}

TEST_F(Measures, StationCountsOnlyValidOrValidAndEmptyLanes) {
    tagBLOCK v = Made(8, {Station(kStation, Ints(8, 1)),
                          {Lane('1'), DEVICE_SPEED_TRAP,
                           T(100, 200, 1) + T(1023, 200, 1) + T(99, 200, 1, 0, 128, 128) +
                               T(600, 200, 1, 0, 112, 128) +  // the trap not delivering
                               T(0, 200, 0, 0, 128, 128) +    // valid and empty
                               T(0, 200, 0, 0, 128, 0) +      // empty, not flagged as working
                               T(0, 200, 1, 0, 128, 128) +    // vehicles, no speed
                               T(600, 200, 0)}});             // a valid speed, no vehicles
    const int flags[] = {128, 128, 0, 0, 128, 0, 0, 128};
    for (int c = 0; c < 8; c++) EXPECT_EQ(flags[c], v.At(c, 0).usSpdFlag) << c;
    EXPECT_EQ(Ints({1023, 0, 0}), Ints({v.At(1, 0).usSpdTenths, v.At(2, 0).usSpdTenths,
                                        v.At(7, 0).usSpdTenths | v.At(7, 0).usLenTenths}));
}

TEST_F(Measures, StationFlagNeedsSixtyFivePercentOfItsLanes) {
    // Valid lanes of the 3, 2, 4, 4 and 0 the station reports: 2, 1, 3, 2, 1. Lane 4 lies past
    // the 3 it expects and is never searched.
    const std::string valid = T(600, 200, 1), invalid = T(600, 200, 1, 0, 0);
    tagBLOCK v =
        Made(5, {Station(kStation, {3, 2, 4, 4, 0}),
                 {Lane('1'), DEVICE_SPEED_TRAP, Block(5, valid)},
                 {Lane('2'), DEVICE_SPEED_TRAP, valid + invalid + valid + valid + invalid},
                 {Lane('3'), DEVICE_SPEED_TRAP, invalid + invalid + valid + invalid + invalid},
                 {Lane('4'), DEVICE_SPEED_TRAP, T(600, 200, 5) + Block(4, invalid)}});
    EXPECT_EQ(2, v.At(0, 0).usBin1);
    const int flags[] = {128, 0, 128, 0, 0};
    for (int c = 0; c < 5; c++) EXPECT_EQ(flags[c], v.At(c, 0).usSpdFlag) << c;
}

TEST_F(Measures, BusyStationSumsWideButKeepsUnfinalisedSumsToSixteenBits) {
    // Two stations of one name share eight lanes of 14 vehicles at 70 mph: 68,600 tenths in
    // the seven the first expects, 78,400 in all. The second expects none: its sums stay sums.
    std::vector<DeviceLayout> devices = {Station(kStation, {7}), Station(kStation, {0})};
    for (char digit : std::string("12345678"))
        devices.push_back({Lane(digit), DEVICE_SPEED_TRAP, T(700, 250, 14)});
    devices.push_back({"0010WB0042:STN0__", DEVICE_SPEED_TRAP, T(700, 250, 14)});  // no digit
    tagBLOCK v = Made(1, devices);
    EXPECT_EQ(Ints({700, 250, 128, 98}), Sums(v.At(0, 0)));
    EXPECT_EQ(Ints({78400 - 65536, 28000, 8, 112}), Sums(v.At(0, 1)));
}

// Lanes, scan count and volume of a loop and a station. A scan count above 1200 (full
// occupancy) is capped, with a warning device by device, period by period, before the
// estimate: 715 x 1200 / 450 = 1906.67, where 1201 would give 1908.2. Entries past the file's
// columns are not read.
TEST_F(Measures, EstimatesLengthAndSpeedFromCappedScansWithinTheFilesPeriods) {
    const int in[][3] = {{1, 120, 3}, {1, 12, 5},   {2, 300, 10}, {1, 100, 0},  {0, 100, 5},
                         {2, 0, 5},   {1, 1201, 1}, {1, 2047, 5}, {1, 1200, 5}, {1, 2047, 3}};
    const int length[] = {64, 4, 95, 0, 0, 0, 1907, 381, 381},
              speed[] = {65, 68, 65, 0, 0, 0, 65, 65, 65};
    testing::internal::CaptureStdout();
    tagBLOCK v = Made(
        9, {{"LOOP", DEVICE_LOOP,
             Block(10, [&in](int c) { return LoopEntry(0, in[c][0], in[c][1], 0, in[c][2]); })},
            {"STATION", DEVICE_STATION, Block(10, [&in](int c) {
                 return StationEntry(0, in[c][0], in[c][1], 0, in[c][2]);
             })}});
    EXPECT_EQ(
        "       W  ScanCount exceeded 1200 >>>   4b1\tLOOP\t6.\n"
        "       W  ScanCount exceeded 1200 >>>   7ff\tLOOP\t7.\n"
        "       W  ScanCount exceeded 1200 >>>   4b1\tSTATION\t6.\n"
        "       W  ScanCount exceeded 1200 >>>   7ff\tSTATION\t7.\n",
        testing::internal::GetCapturedStdout());
    for (int i : {0, 1}) {
        EXPECT_EQ(Ints({1200, 1200}), Ints({v.At(6, i).usScanCnt, v.At(7, i).usScanCnt}));
        for (int c = 0; c < 9; c++)
            EXPECT_EQ(Ints({length[c], speed[c]}),
                      Ints({v.At(c, i).usEstLength, v.At(c, i).usCalcSpdTenths}))
                << i << " " << c;
    }
}

// Derived measures as the blocks of periods make them from a data file: trap measurements carried
// by lanes, lanes summed into stations, and the estimates from the loop measures.
#include "TestSupport.h"

using namespace korvatest;
using Ints = std::vector<int>;

namespace {

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

// Speed, length, first flag and the bins (bin 1 + 100 x bin 4) of a period.
Ints Sums(const tagPERIODVALUES& v) {
    return {v.usSpdTenths, v.usLenTenths, v.usSpdFlag, v.usBin1 + 100 * v.usBin4};
}

class Measures : public KorvaTest {
protected:
    // Loads the devices over `columns` periods and makes every device's values.
    tagDAYVALUES Made(int columns, const std::vector<DeviceLayout>& devices, int names = -1) {
        EXPECT_EQ(1, Load(BuildDataFile({columns, devices, "05/01/2021 00:00:00", names})));
        return Values(file);
    }
};

}  // namespace

TEST_F(Measures, StationAveragesItsLanesByVehiclesOnlyWhenItFindsThemAll) {
    // Lane 1: 3 vehicles of 18 ft at 60 mph; lane 2: one of 45 ft at 50 mph; neither valid in
    // period 1.
    std::vector<DeviceLayout> devices = {
        Station(kStation, {2, 2}),
        {Lane('1'), DEVICE_SPEED_TRAP, T(600, 180, 3) + T(600, 180, 3, 0, 0)},
        {Lane('2'), DEVICE_SPEED_TRAP, T(500, 450, 0, 1) + T(500, 450, 0, 1, 0)}};
    tagDAYVALUES v = Made(2, devices);
    EXPECT_EQ(Ints({575, 247, 128, 103}), Sums(v.At(0, 0)));
    EXPECT_EQ(Ints({0, 0, 0, 0}), Sums(v.At(1, 0)));
    // A name of 17 characters is too short for the lane digits at 15 to 17: no lanes.
    v = Made(1,
             {Station("0010WB0042:STN000", {1}), {Lane('1'), DEVICE_SPEED_TRAP, T(600, 200, 1)}});
    EXPECT_EQ(Ints({0, 0, 0, 0}), Sums(v.At(0, 0)));
}

// A lane counts when its trap delivered a speed of 10 to 110.9 mph, or, flagged as working, saw
// no vehicle and no speed. The station is flagged when at least 65 % of the lanes it reports in
// the period count: 3 of 5 (60 %), 2 of 3, 1 of 2, 1 of 0 in periods 0 to 3, then 1 of 1 as
// lane 1's trap varies. Lane 6 lies past the 5 it expects and is never searched.
TEST_F(Measures, StationFlagNeedsSixtyFivePercentOfItsCountingLanes) {
    const std::string valid = T(600, 200, 1), invalid = T(600, 200, 1, 0, 0);
    auto lane = [&](char digit, const std::string& pattern, const std::string& more = "") {
        return DeviceLayout{Lane(digit), DEVICE_SPEED_TRAP,
                            Block(4, [&](int c) { return pattern[c] == 'V' ? valid : invalid; }) +
                                (more.empty() ? Block(8, invalid) : more)};
    };
    tagDAYVALUES v = Made(12, {Station(kStation, {5, 3, 2, 0, 1, 1, 1, 1, 1, 1, 1, 1}),
                               lane('1', "VVVV",
                                    T(100, 200, 1) + T(1023, 200, 1) + T(99, 200, 1, 0, 128, 128) +
                                        T(600, 200, 1, 0, 112, 128) +  // the trap not delivering
                                        T(0, 200, 0, 0, 128, 128) +    // valid and empty
                                        T(0, 200, 0, 0, 128, 0) +  // empty, not flagged as working
                                        T(0, 200, 1, 0, 128, 128) +  // vehicles, no speed
                                        T(600, 200, 0)),             // a valid speed, no vehicles
                               lane('2', "VV.."),
                               lane('3', "V..."),
                               lane('4', "...."),
                               lane('5', "...."),
                               {Lane('6'), DEVICE_SPEED_TRAP, Block(12, T(600, 200, 5))}});
    const int flags[] = {0, 128, 0, 0, 128, 128, 0, 0, 128, 0, 0, 128};
    for (int c = 0; c < 12; c++) EXPECT_EQ(flags[c], v.At(c, 0).usSpdFlag) << c;
    EXPECT_EQ(Ints({3, 1023, 0, 0}),
              Ints({v.At(0, 0).usBin1, v.At(5, 0).usSpdTenths, v.At(6, 0).usSpdTenths,
                    v.At(11, 0).usSpdTenths | v.At(11, 0).usLenTenths}));
}

// Lanes, scan count and volume of a loop and a station (its periods count 1 when it has lanes,
// a loop's count its lanes). A scan count above 1200 (full
// occupancy) is capped, with a warning device by device, period by period, before the
// estimate: 715 x 1200 / 450 = 1906.67, where 1201 would give 1908.2. Entries past the file's
// columns are not read.
TEST_F(Measures, EstimatesLengthAndSpeedFromCappedScansWithinTheFilesPeriods) {
    const int in[][3] = {{1, 120, 3}, {1, 12, 5},   {2, 300, 10}, {1, 100, 0},  {0, 100, 5},
                         {2, 0, 5},   {1, 1201, 1}, {1, 2047, 5}, {1, 1200, 5}, {1, 2047, 3}};
    const int length[] = {64, 4, 95, 0, 0, 0, 1907, 381, 381},
              speed[] = {65, 68, 65, 0, 0, 0, 65, 65, 65};
    testing::internal::CaptureStdout();
    tagDAYVALUES v = Made(
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
            EXPECT_EQ(Ints({length[c], speed[c], i ? in[c][0] != 0 : in[c][0]}),
                      Ints({v.At(c, i).usEstLength, v.At(c, i).usCalcSpdTenths, v.At(c, i).ucNPds}))
                << i << " " << c;
    }
}

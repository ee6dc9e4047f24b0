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
    tagDAYVALUES Made(int columns, const std::vector<DeviceLayout>& devices) {
        EXPECT_EQ(1, Load(BuildDataFile({columns, devices})));
        return Values(file);
    }
};

}  // namespace

// The flag of 65 % of the lanes, the valid speeds of 10 to 110.9 mph, the scan counts capped at
// 1200 and the estimates from them are pinned by the digests of Reports.EveryMixOfOptions... over
// the hand-made days; what they cannot see is here.
TEST_F(Measures, StationAveragesItsLanesByVehiclesOnlyWhenItFindsThemAll) {
    // Lane 1: 3 vehicles of 18 ft at 60 mph; lane 2: one of 45 ft at 50 mph; neither valid in
    // period 1.
    tagDAYVALUES v =
        Made(2, {Station(kStation, {2, 2}),
                 {Lane('1'), DEVICE_SPEED_TRAP, T(600, 180, 3) + T(600, 180, 3, 0, 0)},
                 {Lane('2'), DEVICE_SPEED_TRAP, T(500, 450, 0, 1) + T(500, 450, 0, 1, 0)}});
    EXPECT_EQ(Ints({575, 247, 128, 103}), Sums(v.At(0, 0)));
    EXPECT_EQ(Ints({0, 0, 0, 0}), Sums(v.At(1, 0)));
    // A name of 17 characters is too short for the lane digits at 15 to 17: no lanes.
    v = Made(1,
             {Station("0010WB0042:STN000", {1}), {Lane('1'), DEVICE_SPEED_TRAP, T(600, 200, 1)}});
    EXPECT_EQ(Ints({0, 0, 0, 0}), Sums(v.At(0, 0)));
}

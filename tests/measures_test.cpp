// Derived measures as the blocks of periods make them from a data file: trap measurements carried
// by lanes, lanes summed into stations, the estimates from the loop measures, and the flow
// classes of the element rows.
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

// Speed, length, first flag and the bins (bin 1 + 100 x bin 4) of a period.
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

// A trap's measurements are carried by its lane, the lane's 'M' variant and its speed lane, for
// every period of the trap's own block. The first trap's scan ends at its variant and speed
// lane, before its own lane; the second trap's lane is the first one's variant (the later trap
// wins); the third trap's name has 19 letters, and its lane no block of its own. A trap named by
// nothing but its 'T' names every device without a name: those the header claims beyond its
// name table too.
TEST_F(Measures, TrapsFillTheirLanesUntilFilledLaterTrapsWinNamesKeepTheirLength) {
    std::vector<DeviceLayout> devices;
    for (const std::string& name :
         {Place('L', 'T'), Place('M', '_'), Place('L', 'S'), Place('M', 'T'), Place('L', 'T', "X"),
          Place('L', '_'), Place('L', '_', "X")})
        devices.push_back(name[16] == 'T'
                              ? DeviceLayout{name, DEVICE_SPEED_TRAP,
                                             Block(3, T(500 + 100 * (int)devices.size(), 200, 1))}
                              : DeviceLayout{name, DEVICE_LOOP, ""});
    tagBLOCK v = Made(3, devices);
    EXPECT_EQ(Ints({800, 500, 0, 900, 1}),
              Ints({v.At(2, 1).usSpdTenths, v.At(2, 2).usSpdTenths, v.At(2, 5).usSpdTenths,
                    v.At(2, 6).usSpdTenths, v.At(2, 6).ucSpdNPds}));
    EXPECT_TRUE(Has(log.Text(), "[3] Traps into [3] _x Lanes and Sx Lanes [1]"));
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
    tagBLOCK v = Made(12, {Station(kStation, {5, 3, 2, 0, 1, 1, 1, 1, 1, 1, 1, 1}),
                           lane('1', "VVVV",
                                T(100, 200, 1) + T(1023, 200, 1) + T(99, 200, 1, 0, 128, 128) +
                                    T(600, 200, 1, 0, 112, 128) +  // the trap not delivering
                                    T(0, 200, 0, 0, 128, 128) +    // valid and empty
                                    T(0, 200, 0, 0, 128, 0) +      // empty, not flagged as working
                                    T(0, 200, 1, 0, 128, 128) +    // vehicles, no speed
                                    T(600, 200, 0)),               // a valid speed, no vehicles
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
            EXPECT_EQ(Ints({length[c], speed[c], i ? in[c][0] != 0 : in[c][0]}),
                      Ints({v.At(c, i).usEstLength, v.At(c, i).usCalcSpdTenths, v.At(c, i).ucNPds}))
                << i << " " << c;
    }
}

// Color0 of the element rows (a station's, for volumes past 31): the hourly flow per lane, 180 x
// volume / lanes (990, 1003, 1080, 1491, 1500, 1980, 2006, 2160 here), is class 3 up to 999, 2 to
// 1499, 1 to 1999, else 100. Without flow it is 3, or 4 (no data) when the scan count is 0 too.
TEST_F(Measures, FlowClassesOfTheElementRows) {
    const int cases[][4] = {{2, 11, 1, 3}, {7, 39, 1, 2}, {2, 12, 1, 2},   {7, 58, 1, 2},
                            {3, 25, 1, 1}, {1, 11, 1, 1}, {7, 78, 1, 100}, {1, 12, 0, 100},
                            {2, 0, 5, 3},  {2, 0, 0, 4},  {0, 5, 5, 3},    {0, 5, 0, 4}};
    const int n = sizeof cases / sizeof cases[0];
    Load(BuildDataFile({n, {{"STATION", DEVICE_STATION, Block(n, [&cases](int c) {
                                 return StationEntry(0, cases[c][0], cases[c][2], 0, cases[c][1]);
                             })}}}));
    ASSERT_EQ(WriteDataAsCSVElementData(file, log.file, dir.path.c_str()), 1);
    std::vector<std::string> rows = Lines(ReadFile(dir / "KORVA20Sec_Element_05012021.csv"));
    for (int c = 0; c < n; c++) {
        size_t at = 0;
        for (int comma = 0; comma < 7; comma++) at = rows.at(c + 1).find(',', at) + 1;
        EXPECT_EQ(std::stoi(rows[c + 1].substr(at)), cases[c][3]) << c;
    }
}

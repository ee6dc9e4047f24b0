// Derived measures: trap data copied into lanes, lanes summed into stations, and the length and
// speed estimated from the loop measures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Process20SecondDataFile.h"
#include "TestSupport.h"

using namespace korvatest;
using Ints = std::vector<int>;

namespace {

class Measures : public KorvaTest {};

// Names of one place: index 11 the variant letter, index 16 the lane kind ('T' a trap).
std::string Place(char variant, char kind, const char* tail = "") {
    return "0010WB0042:" + std::string(1, variant) + "0002" + kind + "1" + tail;
}

// A table of the named devices over `columns` periods: traps by their 'T', the rest loops.
tagDEVICEDATA20SEC* Devices(const std::vector<std::string>& names, int columns = 3) {
    std::vector<std::pair<std::string, uint16_t>> devices;
    for (const std::string& name : names)
        devices.push_back({name, name.find('T', 16) == 16 ? DEVICE_SPEED_TRAP : DEVICE_LOOP});
    return MakeTable(columns, devices);
}

// A station with N = expected and its lanes, named by digit, in the order given.
tagDEVICEDATA20SEC* Station(int expected, const std::string& digits, int columns = 9) {
    std::vector<std::string> names = {"0010WB0042:STN0000"};
    for (char digit : digits) names.push_back("0010WB0042:STN0__" + std::string(1, digit));
    tagDEVICEDATA20SEC* t = Devices(names, columns);
    t[0].usType = DEVICE_STATION;
    t[0].usNumLanes[0] = (uint16_t)expected;
    return t;
}

// One period of trap data: speed and length in tenths, bins 1 and 4, the two flags.
void SetTrap(tagDEVICEDATA20SEC& d, int c, int speed, int length, int bin1, int bin4 = 0,
             int flag2 = 128, int flag = 0) {
    d.usSpdTenths[c] = (uint16_t)speed, d.usLenTenths[c] = (uint16_t)length;
    d.usBin1[c] = (uint16_t)bin1, d.usBin4[c] = (uint16_t)bin4;
    d.usSpdFlag2[c] = (uint16_t)flag2, d.usSpdFlag[c] = (uint16_t)flag;
}

// Speed, length, first flag and the bins (bin 1 + 100 x bin 4) of period c.
Ints Sums(const tagDEVICEDATA20SEC& s, int c) {
    return {s.usSpdTenths[c], s.usLenTenths[c], s.usSpdFlag[c], s.usBin1[c] + 100 * s.usBin4[c]};
}

}  // namespace

TEST_F(Measures, TrapFillsLaneVariantAndSpeedLaneOverTheWholeDay) {
    EXPECT_EQ(0, IntegrateTrapData("F.DAT", log.file));  // no table, no line
    tagDEVICEDATA20SEC* t =
        Devices({Place('L', 'T'), Place('L', '_'), Place('M', '_'), Place('L', 'S')});
    for (int c : {0, 4319}) SetTrap(t[0], c, 655 + c, 201, 1, 4, 160, 133);
    t[0].ucSpdNPds[4319] = t[0].usBin2[4319] = t[0].usBin3[4319] = 1;
    t[1].usVolume[4319] = 9;
    EXPECT_EQ(1, IntegrateTrapData("F.DAT", log.file));
    // The nine trap arrays, ucSpdNPds to usBin4, stand back to back in the record.
    size_t size = (const char*)(t[0].usBin4 + PERIODS_PER_DAY) - (const char*)t[0].ucSpdNPds;
    for (int i : {1, 2, 3}) EXPECT_EQ(0, memcmp(t[0].ucSpdNPds, t[i].ucSpdNPds, size)) << i;
    EXPECT_EQ(9, t[1].usVolume[4319]);
    EXPECT_EQ(
        "[12:34:56] - Processed [1] Traps into [2] _x Lanes and Sx Lanes [1] in file "
        "[F.DAT]...\n",
        log.Text());
}

// The first trap stops at its variant and speed lane, before its own lane; the second trap's
// lane is the first one's variant; the third trap's name has 19 letters.
TEST_F(Measures, TrapStopsOnceFilledLaterTrapWinsAndLongNamesKeepTheirLength) {
    tagDEVICEDATA20SEC* t =
        Devices({Place('L', 'T'), Place('M', '_'), Place('L', 'S'), Place('M', 'T'),
                 Place('L', 'T', "X"), Place('L', '_'), Place('L', '_', "X")});
    for (int i : {0, 3, 4}) SetTrap(t[i], 0, 500 + 100 * i, 201, 1);
    IntegrateTrapData("F.DAT", log.file);
    EXPECT_EQ(Ints({800, 500, 0, 900}), Ints({t[1].usSpdTenths[0], t[2].usSpdTenths[0],
                                              t[5].usSpdTenths[0], t[6].usSpdTenths[0]}));
    EXPECT_TRUE(Has(log.Text(), "[3] Traps into [3] _x Lanes and Sx Lanes [1]"));
}

TEST_F(Measures, StationAveragesItsLanesByVehicles) {
    tagDEVICEDATA20SEC* t = Station(2, "12");
    t[0].usNumLanes[1] = 2;
    t[0].usSpdFlag2[0] = t[0].ucSpdNPds[0] = 7;
    SetTrap(t[1], 0, 600, 180, 3);
    SetTrap(t[2], 0, 500, 450, 0, 1);
    SetTrap(t[1], 1, 600, 180, 3, 0, 0);  // no lane valid in period 1
    AggregateStationTrapData("F.DAT", log.file);
    EXPECT_EQ(Ints({575, 247, 128, 103}), Sums(t[0], 0));
    EXPECT_EQ(Ints({0, 0, 0, 0}), Sums(t[0], 1));
    EXPECT_EQ(Ints({7, 7}), Ints({t[0].usSpdFlag2[0], t[0].ucSpdNPds[0]}));
}

TEST_F(Measures, StationCountsOnlyValidOrValidAndEmptyLanes) {
    tagDEVICEDATA20SEC* t = Station(1, "1");
    const int speeds[] = {100, 1109, 99, 1110, 600, 0, 0, 0, 600};
    for (int c = 0; c < 9; c++) {
        t[0].usNumLanes[c] = 1;
        SetTrap(t[1], c, speeds[c], 200, 1, 0, 128, 128);
    }
    t[1].usSpdFlag2[4] = 112;                // trap not delivering
    t[1].usBin1[5] = 0;                      // valid and empty
    t[1].usBin1[6] = t[1].usSpdFlag[6] = 0;  // empty, but not flagged as working
    t[1].usBin1[8] = 0;                      // valid speed, no vehicles
    AggregateStationTrapData("F.DAT", log.file);
    const int flags[] = {128, 128, 0, 0, 0, 128, 0, 0, 128};  // period 7: vehicles, no speed
    for (int c = 0; c < 9; c++) EXPECT_EQ(flags[c], t[0].usSpdFlag[c]) << c;
    EXPECT_EQ(Ints({1109, 0, 0}), Ints({t[0].usSpdTenths[1], t[0].usSpdTenths[2],
                                        t[0].usSpdTenths[8] | t[0].usLenTenths[8]}));
}

TEST_F(Measures, StationFlagNeedsSixtyFivePercentOfItsLanes) {
    tagDEVICEDATA20SEC* t = Station(3, "1234");
    const int lanes[] = {3, 2, 4, 4, 0}, valid[] = {2, 1, 3, 2, 1}, flags[] = {128, 0, 128, 0, 0};
    for (int c = 0; c < 5; c++) {
        t[0].usNumLanes[c] = (uint16_t)lanes[c];
        for (int k = 0; k < valid[c]; k++) SetTrap(t[1 + k], c, 600, 200, 1);
    }
    SetTrap(t[4], 0, 600, 200, 5);  // lane 4 lies past N = 3 and is not searched
    AggregateStationTrapData("F.DAT", log.file);
    EXPECT_EQ(2, t[0].usBin1[0]);
    for (int c = 0; c < 5; c++) EXPECT_EQ(flags[c], t[0].usSpdFlag[c]) << c;
}

TEST_F(Measures, StationMissingALaneOrWithAShortNameIsNotFinalised) {
    tagDEVICEDATA20SEC* t = Station(2, "21");  // lane 1 found, lane 2 already passed
    SetTrap(t[2], 0, 600, 180, 3);
    SetTrap(t[1], 0, 500, 450, 0, 1);
    AggregateStationTrapData("F.DAT", log.file);
    EXPECT_EQ(Ints({1800, 540, 1, 3}), Sums(t[0], 0));
    // A name too short for lane digits has no lanes, not even a record of the same name.
    t = Devices({"0010WB:S", "0010WB:S"});
    t[1].usType = DEVICE_STATION;
    t[1].usNumLanes[0] = 1;
    for (int i : {0, 1}) SetTrap(t[i], 0, 600, 200, 1);
    AggregateStationTrapData("F.DAT", log.file);
    EXPECT_EQ(Ints({600, 200, 0, 1}), Sums(t[1], 0));
}

TEST_F(Measures, BusyStationSumsWideButKeepsUnfinalisedSumsToSixteenBits) {
    // Two stations of one name share eight lanes of 14 vehicles at 65 mph: 72,800 tenths in
    // all. The second's lane count of 0 leaves its sums unfinalised.
    std::vector<std::string> names(2, "0010WB0042:STN0000");
    for (char digit : std::string("12345678"))
        names.push_back(std::string("0010WB0042:STN0__") + digit);
    names.push_back("0010WB0042:STN0__");  // no ninth lane is searched for
    tagDEVICEDATA20SEC* t = Devices(names);
    t[0].usType = t[1].usType = DEVICE_STATION;
    t[0].usNumLanes[0] = 8;
    for (int k = 2; k <= 10; k++) SetTrap(t[k], 0, 650, 250, 14);
    AggregateStationTrapData("F.DAT", log.file);
    EXPECT_EQ(Ints({650, 250, 128, 112}), Sums(t[0], 0));
    EXPECT_EQ(Ints({72800 - 65536, 28000, 8, 112}), Sums(t[1], 0));
}

// A scan count above 1200 (full occupancy) is capped, with a warning, before the estimate:
// 715 x 1200 / 450 = 1906.67, where 1201 would give 1908.2.
TEST_F(Measures, EstimatesLengthAndSpeedFromCappedScansWithinTheFilesPeriods) {
    tagDEVICEDATA20SEC* t = MakeTable(8, {{"LOOP", DEVICE_LOOP}, {"STATION", DEVICE_STATION}});
    const int in[][3] = {{1, 120, 3}, {1, 12, 5},   {2, 300, 10}, {1, 100, 0}, {0, 100, 5},
                         {2, 0, 5},   {1, 1201, 1}, {1, 1200, 5}, {1, 120, 3}};  // L, S, V
    const int length[] = {64, 4, 95, 77, 0, 0, 1907, 381, 0},
              speed[] = {65, 68, 65, 0, 99, 99, 65, 65, 0};
    for (int i : {0, 1}) {
        for (int c = 0; c < 9; c++)  // period 8 lies past the end
            t[i].usNumLanes[c] = in[c][0], t[i].usScanCnt[c] = in[c][1],
            t[i].usVolume[c] = in[c][2];
        t[i].usEstLength[3] = 77;
        t[i].usCalcSpdTenths[3] = t[i].usCalcSpdTenths[4] = t[i].usCalcSpdTenths[5] = 99;
    }
    testing::internal::CaptureStdout();
    CalculateSpeedLength("F.DAT", log.file);
    EXPECT_EQ(
        "       W  ScanCount exceeded 1200 >>>   4b1\tLOOP\t6.\n"
        "       W  ScanCount exceeded 1200 >>>   4b1\tSTATION\t6.\n",
        testing::internal::GetCapturedStdout());
    for (int i : {0, 1}) {
        EXPECT_EQ(Ints({1200, 1200}), Ints({t[i].usScanCnt[6], t[i].usScanCnt[7]}));
        for (int c = 0; c < 9; c++)
            EXPECT_EQ(Ints({length[c], speed[c]}),
                      Ints({t[i].usEstLength[c], t[i].usCalcSpdTenths[c]}))
                << i << " " << c;
    }
}

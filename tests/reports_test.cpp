// The four CSV writers: their bytes against the plain one-fprintf-per-row writers under a mix of
// options, their names, the period and device messages, the colour classes they store, the
// contents listing, and how a report reaches its final name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Process20SecondDataFile.h"
#include "ReferenceReports.h"
#include "TestSupport.h"

using namespace korvatest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

typedef int (*Writer)(FILE* log, const char* folder);
const Writer kWriters[] = {WriteDataAsCSVElementData, WriteDataAsCSVLaneData,
                           WriteDataAsCSVTrapData, WriteDataAsCSVElement};
const char kLoop[] = "118es11402:_MN___1";
const char kStation[] = "118es11402:_MN___0";
const char kSpeedLane[] = "118es11402:_MN__S1";
const char kTrap[] = "118es11402:_MN__T1";

// The report one writer leaves in a fresh output folder.
std::string Write(Writer writer, FILE* log) {
    TempDir out;
    writer(log, out.path.c_str());
    std::vector<std::string> names = ListDir(out.path);
    return names.size() == 1 ? ReadFile(out / names[0]) : "";
}

std::string Reference(int (*writer)(FILE*)) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    writer(out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
}

// Large reports compared without dumping them: the first differing line is enough.
void ExpectSameBytes(const std::string& got, const std::string& want, const std::string& label) {
    std::vector<std::string> a = Lines(got + "\n<end>"), b = Lines(want + "\n<end>");
    auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (got != want)
        ADD_FAILURE() << label << ", line " << at.first - a.begin() << "\n  fast:  " << *at.first
                      << "\n  plain: " << *at.second;
}

void SetOptions(int speedLanes, int rowsFirst, const char* period, const char* device) {
    bINCLUDESPEEDLANES = speedLanes, bWRITEROWSFIRST = rowsFirst;
    bPERIOD = period != nullptr, bDEVICE = device != nullptr;
    snprintf(szPeriod, sizeof szPeriod, "%s", period ? period : "");
    snprintf(szDevice, sizeof szDevice, "%s", device ? device : "");
}

class Reports : public KorvaTest {};

}  // namespace

TEST_F(Reports, MatchOneFprintfPerRowUnderEveryOptionMix) {
    std::string sample = KORVA_SAMPLE_BIN + (" -n 40 -p 200 -s 7 -d 1 " + dir.path) + " >/dev/null";
    ASSERT_EQ(std::system(sample.c_str()), 0);
    std::string file = ReadFile(dir / "KORVA20S_20210501.DAT");
    ReadDataHeader(file.data(), (int)file.size(), log.file);
    ReadNameTable(file.data() + iHeaderSize, (int)file.size(), log.file);
    ASSERT_TRUE(lpDeviceData20Sec != nullptr && iNumberofNames == 40 && iNumberofColumns == 200);
    UnpackNamedDevice(file.data(), (int)file.size(), log.file);
    IntegrateTrapData("F.DAT", log.file);
    AggregateStationTrapData("F.DAT", log.file);
    CalculateSpeedLength("F.DAT", log.file);

    // Extremes the sample does not reach: every field at its largest at the first and last
    // column of the file and at a column past it, a tie and a full scan, a 19-character name.
    tagDEVICEDATA20SEC* table = lpDeviceData20Sec;
    int found = 0;
    for (int i = 0; i < iNumberofNames; i++) {
        tagDEVICEDATA20SEC& d = table[i];
        for (int c : {0, 1, 199, 2161}) {
            for (uint16_t* a :
                 {d.usIncident, d.usNumLanes, d.usVolume, d.usScanCnt, d.usFlag, d.usEstLength,
                  d.usCalcSpdTenths, d.usSpdFlag, d.usSpdFlag2, d.usSpdTenths, d.usLenTenths,
                  d.usBin1, d.usBin2, d.usBin3, d.usBin4})
                a[c] = 65535;
            d.ucNPds[c] = d.ucSpdNPds[c] = 255;
        }
        d.usScanCnt[10] = i % 2 ? 3 : 1200;
        for (const char* name : {kLoop, kStation, kTrap, kSpeedLane})
            found += !strcmp(d.szName, name);
    }
    ASSERT_EQ(found, 4);
    const char longName[] = "118es11402:_MN___2X";
    memcpy(table[1].szName, longName, 19);  // the sample's second loop
    ASSERT_EQ(table[1].usType, DEVICE_LOOP);
    const std::vector<tagDEVICEDATA20SEC> snapshot(table, table + iNumberofNames);
    std::vector<tagDEVICEDATA20SEC> afterFast(iNumberofNames);
    const size_t bytes = sizeof(tagDEVICEDATA20SEC) * iNumberofNames;

    // -S, -R, -P in the file, past its columns, at an odd second, outside the day; -D of a
    // listed and an unlisted type, not found, and with -P.
    const struct {
        int speedLanes, rowsFirst;
        const char *period, *device;
    } mixes[] = {
        // clang-format off
        {0, 0, nullptr, nullptr},    {1, 1, nullptr, nullptr},    {0, 1, nullptr, nullptr},
        {0, 0, "00:30:40", nullptr}, {0, 0, "12:00:20", nullptr}, {0, 1, "00:00:10", nullptr},
        {0, 0, "24:00:00", nullptr}, {0, 1, nullptr, longName},   {0, 0, nullptr, kStation},
        {0, 0, nullptr, kSpeedLane}, {0, 1, nullptr, kTrap},      {0, 0, nullptr, "x"},
        {0, 0, "00:00:40", kLoop},
        // clang-format on
    };
    CaptureStdout();
    for (const char* date : {"05/01/2021 00:00:00", "05-01-21"}) {  // a short date pads
        strcpy(szDataStartTime, date);
        for (const auto& mix : mixes) {
            std::string label = date + (", mix " + std::to_string(&mix - mixes));
            SetOptions(mix.speedLanes, mix.rowsFirst, mix.period, mix.device);
            for (auto [fast, plain] : {std::pair{kWriters[0], &ReferenceElementReport},
                                       {kWriters[1], &ReferenceLaneReport},
                                       {kWriters[2], &ReferenceTrapReport}}) {
                memcpy(table, snapshot.data(), bytes);
                std::string got = Write(fast, log.file);
                memcpy(afterFast.data(), table, bytes);  // the colour classes it stored
                memcpy(table, snapshot.data(), bytes);
                ExpectSameBytes(got, Reference(plain), label);
                EXPECT_EQ(memcmp(afterFast.data(), table, bytes), 0) << label << ": the table";
            }
        }
    }
    GetCapturedStdout();
}

TEST_F(Reports, NamesFollowEachWritersPrecedence) {
    MakeTable(1, {{kLoop, DEVICE_LOOP}});
    const char* cases[][5] = {
        // flags, then the name variants of the contents, element, lane and trap reports
        // clang-format off
        {"",    "Content_",   "Element_",   "Lane_",   "Trap_"},
        {"S",   "Content_S_", "Element_S_", "Lane_S_", "Trap_"},
        {"R",   "Content_",   "Element_",   "Lane_R_", "Trap_R_"},
        {"P",   "Content_",   "Element_P_", "Lane_P_", "Trap_P_"},
        {"D",   "Content_",   "Element_D_", "Lane_D_", "Trap_D_"},
        {"DP",  "Content_",   "Element_D_", "Lane_P_", "Trap_D_"},
        {"PSR", "Content_S_", "Element_P_", "Lane_P_", "Trap_P_"},
        {"DSR", "Content_S_", "Element_D_", "Lane_D_", "Trap_D_"},
        {"SR",  "Content_S_", "Element_S_", "Lane_S_", "Trap_R_"},
        {"C",   "Content_C_", "Element_",   "Lane_",   "Trap_"},
        {"SC",  "Content_C_", "Element_S_", "Lane_S_", "Trap_"},
        // clang-format on
    };
    CaptureStdout();
    for (const auto& c : cases) {
        auto has = [&c](char flag) { return strchr(c[0], flag) != nullptr; };
        SetOptions(has('S'), has('R'), has('P') ? "00:00:00" : nullptr, has('D') ? kLoop : nullptr);
        bINCLUDEMETERS = has('C');
        TempDir out;
        std::vector<std::string> expected;  // in the order of the listing
        for (int w = 0; w < 4; w++) {
            kWriters[w](log.file, out.path.c_str());
            expected.push_back("KORVA20Sec_" + std::string(c[w + 1]) + "05012021.csv");
        }
        EXPECT_EQ(ListDir(out.path), expected) << "flags [" << c[0] << "]";
    }
    GetCapturedStdout();
}

// Element and lane writers show the period lines on the console too, the trap writer does not;
// an unknown device is warned about by all three.
TEST_F(Reports, PeriodAndDeviceChoicesAreLoggedAndShown) {
    MakeTable(3, {{kLoop, DEVICE_LOOP}, {kTrap, DEVICE_SPEED_TRAP}});
    for (auto [period, column] : {std::pair{"07:30:20", "1351"}, {"23:60:00", "4320"}}) {
        SetOptions(0, 0, period, nullptr);
        MemoryLog periodLog;
        std::string chosen = "[" + std::string(period) + "] column [" + column + "]", logged, shown;
        CaptureStdout();
        for (int w = 0; w < 3; w++) {
            const char* kind = w == 0 ? "Element_P_" : w == 1 ? "Lane_P_" : "Trap_P_";
            kWriters[w](periodLog.file, dir.path.c_str());
            std::string path = dir.path + "KORVA20Sec_" + kind + "05012021.csv";
            std::string said = "Printing period " + chosen + " for [" + path + "]\n";
            logged += "[12:34:56] - Writing 20 second data to CSV file [" + path +
                      "]...\n[12:34:56] - " + said;
            if (column[0] == '4') {  // outside the day
                logged += "[12:34:56] E Period " + chosen +
                          " lies outside the day; the report holds its header only!\n";
                said += "     E Period " + chosen + " lies outside the day!\n";
            }
            if (w < 2) shown += said;
        }
        EXPECT_EQ(GetCapturedStdout(), shown);
        EXPECT_EQ(periodLog.Text(), logged);
    }
    // A prefix of a name, or a name differing only in case, matches nothing.
    for (std::string name : {"118es11402:_MN___", "118ES11402:_MN___1"}) {
        SetOptions(0, 0, nullptr, name.c_str());
        MemoryLog deviceLog;
        CaptureStdout();
        for (int w = 0; w < 3; w++) EXPECT_EQ(kWriters[w](deviceLog.file, dir.path.c_str()), 1);
        std::string warning = "W Device [" + name + "] NOT found!\n";
        EXPECT_EQ(Count(GetCapturedStdout(), "          " + warning), 3);
        EXPECT_EQ(Count(deviceLog.Text(), "[12:34:56] " + warning), 3);
    }
}

TEST_F(Reports, ElementColourClassBoundaries) {
    // lanes, volume, scan, speed -> Color0, Color1, Color2. With 180 lanes the flow rate equals
    // the volume.
    const int cases[][7] = {
        // clang-format off
        {180, 999, 1, 600, 3, 3, 3},  {180, 1000, 1, 600, 2, 3, 3}, {180, 1499, 1, 600, 2, 3, 3},
        {180, 1500, 1, 600, 1, 3, 3}, {180, 1999, 1, 600, 1, 3, 3}, {180, 2000, 1, 600, 100, 3, 3},
        {360, 1999, 1, 600, 2, 3, 3},  // 999.5 rounds up to 1000
        {1, 365, 1, 600, 3, 3, 3},     // 65700 kept as a 16-bit number: 164
        {45, 16384, 0, 600, 4, 4, 4},  // 65536 wraps to 0: no data
        {1, 11, 1, 600, 1, 3, 3},  {1, 12, 1, 600, 100, 3, 3},  {2, 11, 1, 600, 3, 3, 3},
        {2, 12, 1, 600, 2, 3, 3},  {3, 25, 1, 600, 1, 3, 3},    {1, 1, 180, 600, 3, 3, 3},
        {1, 1, 181, 600, 3, 2, 3}, {1, 1, 264, 600, 3, 2, 3},   {1, 1, 265, 600, 3, 1, 3},
        {1, 1, 420, 600, 3, 1, 3}, {1, 1, 421, 600, 3, 100, 3}, {1, 1, 1, 300, 3, 3, 100},
        {1, 1, 1, 301, 3, 3, 1},   {1, 1, 1, 400, 3, 3, 1},     {1, 1, 1, 401, 3, 3, 2},
        {1, 1, 1, 500, 3, 3, 2},   {1, 1, 1, 501, 3, 3, 3},     {0, 5, 0, 600, 4, 4, 4},
        {0, 5, 30, 0, 3, 3, 100},  {2, 0, 0, 600, 4, 4, 4},     {2, 1, 0, 0, 3, 3, 100},
        // clang-format on
    };
    const int n = sizeof cases / sizeof cases[0];
    tagDEVICEDATA20SEC& d = MakeTable(n, {{kLoop, DEVICE_LOOP}})[0];
    for (int c = 0; c < n; c++)
        d.usNumLanes[c] = cases[c][0], d.usVolume[c] = cases[c][1], d.usScanCnt[c] = cases[c][2],
        d.usSpdTenths[c] = cases[c][3];
    Write(WriteDataAsCSVElementData, log.file);
    for (int c = 0; c < n; c++)
        EXPECT_EQ(std::vector<int>({d.ucColor0[c], d.ucColor1[c], d.ucColor2[c]}),
                  std::vector<int>({cases[c][4], cases[c][5], cases[c][6]}))
            << "case " << c;
}

TEST_F(Reports, ContentsListByTypeLetterAndChosenDevice) {
    const char kMeter[] = "118es11402:MMN__R1";
    tagDEVICEDATA20SEC* t = MakeTable(3, {{kLoop, DEVICE_LOOP},
                                          {kSpeedLane, DEVICE_LOOP},
                                          {kStation, DEVICE_STATION},
                                          {kTrap, DEVICE_SPEED_TRAP},
                                          {kMeter, DEVICE_METERED_LANE}});
    t[0].usNumLanes[0] = 1, t[0].usNumLanes[1] = 5, t[1].usNumLanes[0] = 2, t[2].usNumLanes[0] = 3;
    auto listing = [](int count, std::vector<std::string> rows) {
        std::string text = "Input element count = " + std::to_string(count) + "\nName,NumLanes\n";
        for (const std::string& row : rows) text += row + "\n";
        return text + "Contents listed = " + std::to_string(rows.size()) + "\n";
    };
    const std::string loop = kLoop + std::string(",1"), station = kStation + std::string(",3"),
                      trap = kTrap + std::string(",0");
    SetOptions(0, 1, "00:00:20", nullptr);  // -P and -R change neither name nor content
    EXPECT_EQ(Write(WriteDataAsCSVElement, log.file), listing(5, {loop, station, trap}));
    bINCLUDESPEEDLANES = bINCLUDEMETERS = 1;
    EXPECT_EQ(Write(WriteDataAsCSVElement, log.file),
              listing(5, {loop, kSpeedLane + std::string(",2"), station, trap,
                          kMeter + std::string(",0")}));
    for (auto [device, count, rows] : {std::tuple{kTrap, 4, std::vector{trap}},
                                       {kSpeedLane, 2, {}},
                                       {"118es11402:_MN___9", 5, {}}}) {
        SetOptions(0, 0, nullptr, device);  // -D, silently, without -S
        EXPECT_EQ(Write(WriteDataAsCSVElement, log.file), listing(count, rows)) << device;
    }
    SetOptions(0, 0, nullptr, nullptr);
    iNumberofColumns = 0;  // a file without periods lists nothing
    EXPECT_EQ(Write(WriteDataAsCSVElement, log.file), listing(5, {}));
    EXPECT_EQ(log.Text().find("NOT found"), std::string::npos);
}

TEST_F(Reports, UnopenableReportOrSlashInItsDateLogsAndWritesNothing) {
    MakeTable(3, {{kLoop, DEVICE_LOOP}});
    SetOptions(0, 0, "00:00:20", nullptr);
    std::string folder = dir / "missing/", expected;
    CaptureStdout();
    for (Writer w : kWriters) EXPECT_EQ(w(log.file, folder.c_str()), 0);
    strcpy(szDataStartTime, "5/01/2021 00:00:00");
    for (Writer w : kWriters) EXPECT_EQ(w(log.file, dir.path.c_str()), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    for (const char* kind : {"Element_P_", "Lane_P_", "Trap_P_", "Content_"})
        expected += "[12:34:56] E Could not open data file [" + folder + "KORVA20Sec_" + kind +
                    "05012021.csv]! - Error = [(nil)].\n";
    for (int w = 0; w < 4; w++)
        expected +=
            "[12:34:56] E Start date [5/01/2021 00:00:00] holds a '/' where the report "
            "name takes its date; no report written!\n";
    std::string errors;  // the log without its announcements
    for (const std::string& line : Lines(log.Text()))
        if (!Has(line, " - Writing ")) errors += line + "\n";
    EXPECT_EQ(errors, expected);
    EXPECT_TRUE(ListDir(dir.path).empty());
}

TEST_F(Reports, WriteFailureKeepsTheEarlierReport) {
    // Four loops over a whole day: about 1.5 MB of rows.
    MakeTable(PERIODS_PER_DAY,
              std::vector(4, std::pair<std::string, uint16_t>{kLoop, DEVICE_LOOP}));
    const std::string report = dir / "KORVA20Sec_Element_05012021.csv";
    WriteFile(report, "the earlier report\n");
    EXPECT_EQ(
        0, WithFileSizeLimit(256 * 1024,
                             [&] { return WriteDataAsCSVElementData(log.file, dir.path.c_str()); }))
        << "the writer must report the failure";
    EXPECT_EQ(ReadFile(report), "the earlier report\n");
    EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"KORVA20Sec_Element_05012021.csv"});
    EXPECT_TRUE(Has(log.Text(), "[12:34:56] E Could not write CSV file [" + report + "]! - " +
                                    strerror(EFBIG) + ".\n"));
}

// The four CSV writers: their bytes against the plain one-fprintf-per-row writers over a plain
// whole-day table under a mix of options, their names, the period and device messages, the
// colour classes of the element rows, the contents listing, and how a report reaches its final
// name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "Process20SecondDataFile.h"
#include "ReferenceReports.h"
#include "TestSupport.h"

using namespace korvatest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

typedef int (*Writer)(const tagDATAFILE& file, FILE* log, const char* folder);
const Writer kWriters[] = {WriteDataAsCSVElementData, WriteDataAsCSVLaneData,
                           WriteDataAsCSVTrapData, WriteDataAsCSVElement};
const char kLoop[] = "118es11402:_MN___1";
const char kStation[] = "118es11402:_MN___0";
const char kSpeedLane[] = "118es11402:_MN__S1";
const char kTrap[] = "118es11402:_MN__T1";

std::string Reference(void (*writer)(const ReferenceTable&, FILE*), const ReferenceTable& table) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    writer(table, out);
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

// A file of the named loops, each with `columns` entries of zeros.
std::string Loops(int columns, const std::vector<std::string>& names) {
    std::vector<DeviceLayout> devices;
    for (const std::string& name : names)
        devices.push_back({name, DEVICE_LOOP, Block(columns, std::string(3, '\0'))});
    return BuildDataFile({columns, devices});
}

// Four periods of what the samples never reach: all-ones entries (scan counts of 2047, the
// largest speeds, lengths and bins), two lanes of 68 vehicles at 102.3 mph summed into a
// station expecting them (sums past 16 bits, averaged) and into one of the same name expecting
// none (kept as sums), 19-character names, lanes and traps sharing one block each, and a
// block cut short by the end of the file.
std::string Extremes() {
    const std::string ones(3, '\xff'), slow = LoopEntry(1, 1, 3, 2, 1);
    const std::string station =
        StationEntry(1, 7, 1201, 1, 127) + StationEntry(0, 3, 3, 0, 5) + ones;
    const int64_t shared = 1024 + 27 * 9;  // the loop's block, then the trap's
    return BuildDataFile(
        {4,
         {{kLoop, DEVICE_LOOP,
           ones + slow + LoopEntry(3, 2, 1200, 0, 31) + LoopEntry(0, 7, 1201, 7, 0)},
          {kTrap, DEVICE_SPEED_TRAP,
           ones + ones + TrapEntry(0, 0, 0, 0, 0, 0, 128, 0) +
               TrapEntry(99, 500, 3, 0, 0, 0, 0, 128) + TrapEntry(655, 201, 1, 2, 3, 4, 133, 160)},
          {"118es11402:_MN___2", DEVICE_LOOP, "", shared},
          {"118es11402:_MN__T2", DEVICE_SPEED_TRAP, "", shared + 12},
          {kStation, DEVICE_STATION, StationEntry(3, 0, 2047, 1, 127) + station},
          {kStation, DEVICE_STATION, StationEntry(3, 2, 2047, 1, 127) + station},
          {kSpeedLane, DEVICE_LOOP, "", shared},
          {"118es11402:_MN__T9X", DEVICE_SPEED_TRAP, "", shared + 12},
          {"118es11402:_MN___9X", DEVICE_LOOP, slow + ones + "\x08\x01"}}});
}

// Links in unusual orders and shapes, with their trap counts: a trap after its lanes; lane and
// speed lane names twice, before and after the scan ends; names whose zero byte comes before
// index 16 (each such trap is its own lane, and hands on what an earlier one wrote into it); a
// station that is a lane of another, summed after it or before it (and summing itself as its
// own lane), and that carries a trap; a station lane whose sums reach 1109 tenths (the fastest
// valid) and 1110.
std::vector<std::pair<std::string, std::string>> UnusualLinks() {
    auto place = [](char kind) { return "0010WB0042:L0002" + std::string(1, kind) + "1"; };
    auto lane = [](char digit) { return "0010WB0042:STN0__" + std::string(1, digit); };
    auto trap = [](const std::string& name, int speed, int length, int vehicles) {
        return DeviceLayout{name, DEVICE_SPEED_TRAP,
                            Block(3, TrapEntry(speed, length, vehicles, 1, 2, 3, 128, 128))};
    };
    auto station = [](const std::string& name, int expected) {
        return DeviceLayout{
            name, DEVICE_STATION,
            StationEntry(0, expected, 0, 0, 0) + Block(2, StationEntry(0, 1, 0, 0, 0))};
    };
    const DeviceLayout loop = {place('_'), DEVICE_LOOP, ""}, speed = {place('S'), DEVICE_LOOP, ""},
                       byPlace = trap(place('T'), 650, 200, 1),
                       outer = station("0010WB0042:STN0000", 2), inner = station(lane('2'), 2),
                       lane1 = trap(lane('1'), 650, 300, 3),
                       innerTrap = trap("0010WB0042:STN0_T2", 400, 100, 2);
    const std::string cut = "0010WB" + std::string(10, '\0');
    const std::vector<std::pair<std::vector<DeviceLayout>, std::string>> layouts = {
        {{loop, loop, speed, byPlace}, "[1] Traps into [2] _x Lanes and Sx Lanes [1]"},
        {{byPlace, loop, speed, loop, speed}, "[1] Traps into [1] _x Lanes and Sx Lanes [1]"},
        {{trap(cut + "T", 650, 200, 1),
          {"0010WB", DEVICE_LOOP, ""},
          trap(cut + "T", 600, 100, 2),
          trap(cut + "_", 700, 100, 3)},
         "[2] Traps into [8] _x Lanes and Sx Lanes [0]"},
        {{outer, lane1, innerTrap, inner}, "[1] Traps into [1] _x Lanes and Sx Lanes [0]"},
        {{lane1, innerTrap, inner, outer}, "[1] Traps into [1] _x Lanes and Sx Lanes [0]"},
        // Lane 1 expects no lanes and sums itself and lane 2: 100 + 100 + 908 to 910 tenths.
        {{{"0010WB0042:STN0_T1", DEVICE_SPEED_TRAP,
           Block(3, TrapEntry(100, 200, 1, 0, 0, 0, 0, 128))},
          station(lane('1'), 0),
          {lane('2'), DEVICE_SPEED_TRAP,
           Block(3, [](int c) { return TrapEntry(908 + c, 100, 1, 0, 0, 0, 0, 128); })},
          station("0010WB0042:STN0000", 1)},
         "[1] Traps into [1] _x Lanes and Sx Lanes [0]"},
    };
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& [devices, counts] : layouts)
        files.push_back({BuildDataFile({3, devices}), counts});
    return files;
}

class Reports : public KorvaTest {
protected:
    // The report one writer leaves in a fresh output folder.
    std::string Write(Writer writer) {
        TempDir out;
        writer(file, log.file, out.path.c_str());
        std::vector<std::string> names = ListDir(out.path);
        return names.size() == 1 ? ReadFile(out / names[0]) : "";
    }
};

}  // namespace

// Every field at its extremes, every link layout, samples of busy days (several blocks of
// periods, scan counts above 1200), under every option mix in both row orders.
TEST_F(Reports, MatchOneFprintfPerRowOverAPlainTableUnderEveryOptionMix) {
    std::vector<std::pair<std::string, std::string>> files = UnusualLinks();
    files.push_back({Extremes(), ""});
    for (const char* sample :
         {" -n 40 -p 200 -s 7", " -n 300 -p 1000 -s 11", " -n 30 -p 90 -s 3"}) {
        std::string run =
            KORVA_SAMPLE_BIN + (sample + (" -d 1 --faults " + dir.path)) + " >/dev/null";
        ASSERT_EQ(std::system(run.c_str()), 0);
        files.push_back({ReadFile(dir / "KORVA20S_20210501.DAT"), ""});
    }
    // -S, -R, -P in the file, past its columns, at an odd second, outside the day; -D of a
    // listed and an unlisted type, of a 19-character name, not found, and with -P.
    const struct {
        int speedLanes, rowsFirst;
        const char *period, *device;
    } mixes[] = {
        // clang-format off
        {0, 0, nullptr, nullptr},    {1, 1, nullptr, nullptr},    {0, 1, nullptr, nullptr},
        {0, 0, "00:30:40", nullptr}, {0, 0, "12:00:20", nullptr}, {0, 1, "00:00:10", nullptr},
        {0, 0, "24:00:00", nullptr}, {0, 1, nullptr, "118es11402:_MN___9X"},
        {0, 0, nullptr, kStation},   {0, 0, nullptr, kSpeedLane}, {0, 1, nullptr, kTrap},
        {0, 0, nullptr, "x"},        {0, 0, "00:00:40", kLoop},   {1, 1, "00:00:20", nullptr},
        // clang-format on
    };
    CaptureStdout();  // the scan counts above 1200
    for (size_t f = 0; f < files.size(); f++) {
        const auto& [bytes, counts] = files[f];
        std::string label = std::to_string(f) + ", ";
        size_t before = log.Text().size();
        ASSERT_EQ(Load(bytes), 1);
        EXPECT_TRUE(Has(log.Text().substr(before), counts)) << label << counts;
        ReferenceTable table = MakeReferenceTable(bytes.data(), (int)bytes.size());
        for (const char* date : {"05/01/2021 00:00:00", "05-01-21"}) {  // a short date pads
            strcpy(szDataStartTime, date);
            for (const auto& mix : mixes) {
                std::string at = label + date + ", mix " + std::to_string(&mix - mixes);
                SetOptions(mix.speedLanes, mix.rowsFirst, mix.period, mix.device);
                ExpectSameBytes(Write(kWriters[0]), Reference(ReferenceElementReport, table),
                                at + ", element");
                ExpectSameBytes(Write(kWriters[1]), Reference(ReferenceLaneReport, table),
                                at + ", lane");
                ExpectSameBytes(Write(kWriters[2]), Reference(ReferenceTrapReport, table),
                                at + ", trap");
            }
        }
    }
    GetCapturedStdout();
}

TEST_F(Reports, NamesFollowEachWritersPrecedence) {
    Load(Loops(1, {kLoop}));
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
            kWriters[w](file, log.file, out.path.c_str());
            expected.push_back("KORVA20Sec_" + std::string(c[w + 1]) + "05012021.csv");
        }
        EXPECT_EQ(ListDir(out.path), expected) << "flags [" << c[0] << "]";
    }
    GetCapturedStdout();
}

// Element and lane writers show the period lines on the console too, the trap writer does not;
// an unknown device is warned about by all three.
TEST_F(Reports, PeriodAndDeviceChoicesAreLoggedAndShown) {
    Load(Loops(3, {kLoop, kTrap}));
    // A period outside the day, or whose digit places hold letters, gives header-only reports.
    const std::tuple<const char*, const char*, bool> periods[] = {{"07:30:20", "1351", false},
                                                                  {"23:60:00", "4320", true},
                                                                  {"07:3O:20", "1270", true},
                                                                  {"ab:cd:ef", "0", true}};
    for (auto [period, column, outside] : periods) {
        SetOptions(0, 0, period, nullptr);
        MemoryLog periodLog;
        std::string chosen = "[" + std::string(period) + "] column [" + column + "]", logged, shown;
        CaptureStdout();
        for (int w = 0; w < 3; w++) {
            const char* kind = w == 0 ? "Element_P_" : w == 1 ? "Lane_P_" : "Trap_P_";
            kWriters[w](file, periodLog.file, dir.path.c_str());
            std::string path = dir.path + "KORVA20Sec_" + kind + "05012021.csv";
            std::string said = "Printing period " + chosen + " for [" + path + "]\n";
            logged += "[12:34:56] - Writing 20 second data to CSV file [" + path +
                      "]...\n[12:34:56] - " + said;
            if (outside) {
                logged += "[12:34:56] E Period " + chosen +
                          " lies outside the day; the report holds its header only!\n";
                said += "     E Period " + chosen + " lies outside the day!\n";
                EXPECT_EQ(Lines(ReadFile(path)).size(), 1u) << path;
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
        for (int w = 0; w < 3; w++)
            EXPECT_EQ(kWriters[w](file, deviceLog.file, dir.path.c_str()), 1);
        std::string warning = "W Device [" + name + "] NOT found!\n";
        EXPECT_EQ(Count(GetCapturedStdout(), "          " + warning), 3);
        EXPECT_EQ(Count(deviceLog.Text(), "[12:34:56] " + warning), 3);
    }
}

TEST_F(Reports, ElementColourClassBoundaries) {
    // lanes, volume, scan, speed -> Color0, Color1, Color2. The flow rate is 180 x volume /
    // lanes vehicles an hour: 1980, 2160, 990, 1080, 1500. A scan count of 2047 counts as 1200.
    const int cases[][7] = {
        // clang-format off
        {1, 11, 1, 600, 1, 3, 3},  {1, 12, 1, 600, 100, 3, 3},  {2, 11, 1, 600, 3, 3, 3},
        {2, 12, 1, 600, 2, 3, 3},  {3, 25, 1, 600, 1, 3, 3},
        {1, 1, 180, 600, 3, 3, 3}, {1, 1, 181, 600, 3, 2, 3},   {1, 1, 264, 600, 3, 2, 3},
        {1, 1, 265, 600, 3, 1, 3}, {1, 1, 420, 600, 3, 1, 3},   {1, 1, 421, 600, 3, 100, 3},
        {1, 1, 1, 300, 3, 3, 100}, {1, 1, 1, 301, 3, 3, 1},     {1, 1, 1, 400, 3, 3, 1},
        {1, 1, 1, 401, 3, 3, 2},   {1, 1, 1, 500, 3, 3, 2},     {1, 1, 1, 501, 3, 3, 3},
        {0, 5, 0, 600, 4, 4, 4},   {0, 5, 30, 0, 3, 3, 100},    {2, 0, 0, 600, 4, 4, 4},
        {2, 1, 0, 0, 3, 3, 100},   {1, 0, 2047, 0, 3, 100, 100},
        // clang-format on
    };
    const int n = sizeof cases / sizeof cases[0];
    DataFileLayout layout{
        n,
        {{kLoop, DEVICE_LOOP,
          Block(n, [&](int k) { return LoopEntry(0, cases[k][0], cases[k][2], 0, cases[k][1]); })},
         {kTrap, DEVICE_SPEED_TRAP,
          Block(n, [&](int k) { return TrapEntry(cases[k][3], 0, 0, 0, 0, 0, 0, 0); })}}};
    CaptureStdout();
    Load(BuildDataFile(layout));
    GetCapturedStdout();
    std::vector<std::string> rows = Lines(Write(WriteDataAsCSVElementData));
    ASSERT_EQ(rows.size(), n + 1u);
    for (int k = 0; k < n; k++) {
        std::replace(rows[k + 1].begin(), rows[k + 1].end(), ',', '\n');
        std::vector<std::string> field = Lines(rows[k + 1]);
        EXPECT_EQ(std::vector<int>({stoi(field[7]), stoi(field[8]), stoi(field[9])}),
                  std::vector<int>(cases[k] + 4, cases[k] + 7))
            << "case " << k;
    }
}

TEST_F(Reports, ContentsListByTypeLetterAndChosenDevice) {
    const char kMeter[] = "118es11402:MMN__R1";
    const std::string zero(3, '\0');
    DataFileLayout layout{
        3,
        {{kLoop, DEVICE_LOOP, LoopEntry(0, 1, 0, 0, 0) + LoopEntry(0, 5, 0, 0, 0) + zero},
         {kSpeedLane, DEVICE_LOOP, LoopEntry(0, 2, 0, 0, 0) + zero + zero},
         {kStation, DEVICE_STATION, StationEntry(0, 3, 0, 0, 0) + zero + zero},
         {kTrap, DEVICE_SPEED_TRAP, Block(3, std::string(6, '\xff'))},
         {kMeter, DEVICE_METERED_LANE, Block(3, "\xff\xff")}}};
    Load(BuildDataFile(layout));
    auto listing = [](int count, std::vector<std::string> rows) {
        std::string text = "Input element count = " + std::to_string(count) + "\nName,NumLanes\n";
        for (const std::string& row : rows) text += row + "\n";
        return text + "Contents listed = " + std::to_string(rows.size()) + "\n";
    };
    const std::string loop = kLoop + std::string(",1"), station = kStation + std::string(",3"),
                      trap = kTrap + std::string(",0");
    SetOptions(0, 1, "00:00:20", nullptr);  // -P and -R change neither name nor content
    EXPECT_EQ(Write(WriteDataAsCSVElement), listing(5, {loop, station, trap}));
    bINCLUDESPEEDLANES = bINCLUDEMETERS = 1;
    EXPECT_EQ(Write(WriteDataAsCSVElement),
              listing(5, {loop, kSpeedLane + std::string(",2"), station, trap,
                          kMeter + std::string(",0")}));
    for (auto [device, count, rows] : {std::tuple{kTrap, 4, std::vector{trap}},
                                       {kSpeedLane, 2, {}},
                                       {"118es11402:_MN___9", 5, {}}}) {
        SetOptions(0, 0, nullptr, device);  // -D, silently, without -S
        EXPECT_EQ(Write(WriteDataAsCSVElement), listing(count, rows)) << device;
    }
    SetOptions(0, 0, nullptr, nullptr);
    bINCLUDEMETERS = 0;
    layout.columns = 0;  // a file without periods lists nothing
    Load(BuildDataFile(layout));
    EXPECT_EQ(Write(WriteDataAsCSVElement), listing(5, {}));
    EXPECT_FALSE(Has(log.Text(), "NOT found"));
    // The count shows the names the header claims, beyond those its name table holds; the
    // shortfall is a warning, and the only line a short name table adds to the log.
    layout.columns = 3;
    layout.names = 15;
    size_t before = log.Text().size();
    Load(BuildDataFile(layout));
    EXPECT_EQ(Write(WriteDataAsCSVElement), listing(15, {loop, station, trap}));
    std::string added;
    for (const std::string& line : Lines(log.Text().substr(before)))
        if (!Has(line, "[12:34:56] - ")) added += line + "\n";
    EXPECT_EQ(added,
              "[12:34:56] W While parsing the name table, we ran out of name data before we "
              "finished the list!\n");
}

TEST_F(Reports, UnopenableReportOrSlashInItsDateLogsAndWritesNothing) {
    Load(Loops(3, {kLoop}));
    SetOptions(0, 0, "00:00:20", nullptr);
    std::string folder = dir / "missing/", expected;
    CaptureStdout();
    for (Writer w : kWriters) EXPECT_EQ(w(file, log.file, folder.c_str()), 0);
    strcpy(szDataStartTime, "5/01/2021 00:00:00");
    for (Writer w : kWriters) EXPECT_EQ(w(file, log.file, dir.path.c_str()), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    for (const char* kind : {"Element_P_", "Lane_P_", "Trap_P_", "Content_"})
        expected += "[12:34:56] E Could not create CSV file [" + folder + "KORVA20Sec_" + kind +
                    "05012021.csv]! - " + strerror(ENOENT) + ".\n";
    for (int w = 0; w < 4; w++)
        expected +=
            "[12:34:56] E Start date [5/01/2021 00:00:00] holds a '/' where the report "
            "name takes its date; no report written!\n";
    std::string errors;  // the log without its announcements and the file's trap count
    for (const std::string& line : Lines(log.Text()))
        if (!Has(line, "] - ")) errors += line + "\n";
    EXPECT_EQ(errors, expected);
    EXPECT_TRUE(ListDir(dir.path).empty());
}

TEST_F(Reports, WriteFailureKeepsTheEarlierReport) {
    // Four loops over a whole day: about 1.5 MB of rows.
    Load(Loops(PERIODS_PER_DAY, std::vector<std::string>(4, kLoop)));
    const std::string report = dir / "KORVA20Sec_Element_05012021.csv";
    WriteFile(report, "the earlier report\n");
    EXPECT_EQ(0, WithFileSizeLimit(
                     256 * 1024,
                     [&] { return WriteDataAsCSVElementData(file, log.file, dir.path.c_str()); }))
        << "the writer must report the failure";
    EXPECT_EQ(ReadFile(report), "the earlier report\n");
    EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"KORVA20Sec_Element_05012021.csv"});
    EXPECT_TRUE(Has(log.Text(), "[12:34:56] E Could not write CSV file [" + report + "]! - " +
                                    strerror(EFBIG) + ".\n"));
}

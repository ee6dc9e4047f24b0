// The four CSV writers: their bytes against the plain one-fprintf-per-row writers, their names,
// headers, row orders, the period and device options, the colour classes they store, the
// contents listing, and how a report reaches its final name.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Process20SecondDataFile.h"
#include "ReferenceReports.h"
#include "TestSupport.h"

using namespace korvatest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

typedef int (*Writer)(FILE* log, const char* folder);

const std::string kElementHeader =
    "Name,NumLanes,Volume,OccTenths,ScanCnt,Flag,NPds,Color0,Color1,Color2,SpdTenths,LenTenths,"
    "Bin1,Bin2,Bin3,Bin4,SpdFlag,SpdFlag2,SpdNPds,EstLength,CalcSpdTenths,ScanCntSum,"
    "CollectionTime\n";
const std::string kLaneHeader =
    "name,collectiontime,lanes,volume,occupancy (%),status,incident,speed,length\n";
const std::string kTrapHeader =
    "name,collectiontime,speed(ave mph),length (ave ft),bin1 (0.0-20.0),bin2 (20.1-42.0),"
    "bin3 (42.1-72.0),bin4 (72.1-115.0 ),flag1,flag2\n";
const char kLoop[] = "118es11402:_MN___1";
const char kStation[] = "118es11402:_MN___0";
const char kSpeedLane[] = "118es11402:_MN__S1";
const char kTrap[] = "118es11402:_MN__T1";

// What one writer left in a fresh output folder: its result, every name there, the report.
struct Written {
    int result;
    std::vector<std::string> names;
    std::string path, text;
};
Written Write(Writer writer, FILE* log) {
    TempDir out;
    Written written{writer(log, out.path.c_str()), ListDir(out.path), "", ""};
    if (written.names.size() == 1) {
        written.path = out / written.names[0];
        written.text = ReadFile(written.path);
    }
    return written;
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

int Count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) n++;
    return n;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t from = 0, to; (to = text.find('\n', from)) != std::string::npos; from = to + 1)
        lines.push_back(text.substr(from, to - from));
    return lines;
}

// Large reports compared without dumping them: the first differing line is enough.
void ExpectSameBytes(const std::string& got, const std::string& want, const std::string& label) {
    if (got == want) return;
    size_t at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
    auto line = [at](const std::string& text) {
        size_t from = at > 0 ? text.rfind('\n', at - 1) : std::string::npos;
        from = from == std::string::npos ? 0 : from + 1;
        return text.substr(from, text.find('\n', at) - from);
    };
    ADD_FAILURE() << label << ": first difference at byte " << at << "\n  fast:  " << line(got)
                  << "\n  plain: " << line(want);
}

void SetPeriod(const char* text) {
    bPERIOD = text != nullptr;
    snprintf(szPeriod, sizeof szPeriod, "%s", text ? text : "");
}
void SetDevice(const char* name) {
    bDEVICE = name != nullptr;
    snprintf(szDevice, sizeof szDevice, "%s", name ? name : "");
}

// A table of the named devices, in this order, for a file of `columns` periods.
tagDEVICEDATA20SEC* Table(int columns, std::vector<std::pair<const char*, uint16_t>> devices) {
    tagDEVICEDATA20SEC* t = MakeTable((int)devices.size(), columns);
    for (size_t i = 0; i < devices.size(); i++) Name(t[i], devices[i].first, devices[i].second);
    return t;
}

int Find(const char* name) {
    for (int i = 0; i < iNumberofNames; i++)
        if (strcmp(lpDeviceData20Sec[i].szName, name) == 0) return i;
    return -1;
}

class Reports : public ::testing::Test {
protected:
    void SetUp() override {
        ResetGlobals();
        strcpy(szDataStartTime, "05/01/2021 00:00:00");
    }
    void TearDown() override { ResetGlobals(); }
    MemoryLog log;
};
class ReportBytes : public Reports {};
class ReportLayout : public Reports {};
class ReportOptions : public Reports {};
class ElementColours : public Reports {};
class ContentsReport : public Reports {};
class ReportPublication : public Reports {};

}  // namespace

TEST_F(ReportBytes, MatchOneFprintfPerRowUnderEveryOptionMix) {
    TempDir sample;
    std::string command =
        std::string(KORVA_SAMPLE_BIN) + " -n 40 -p 200 -s 7 -d 1 " + sample.path + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const char name[] = "KORVA20S_20210501.DAT";
    std::string file = ReadFile(sample / name);
    int size = (int)file.size();
    ReadDataHeader(file.data(), size, log.file);
    ReadNameTable(file.data() + iHeaderSize, size, log.file);
    ASSERT_TRUE(lpDeviceData20Sec != nullptr && iNumberofNames == 40 && iNumberofColumns == 200);
    UnpackNamedDevice(file.data(), size, log.file);
    IntegrateTrapData(name, log.file);
    AggregateStationTrapData(name, log.file);
    CalculateSpeedLength(name, log.file);

    // Extremes the sample does not reach: every field at its largest at the first and last
    // column of the file and at a column past it, a tie and a full scan, a 19-character name.
    tagDEVICEDATA20SEC* table = lpDeviceData20Sec;
    int loop = Find(kLoop), station = Find(kStation), trap = Find(kTrap);
    ASSERT_TRUE(loop >= 0 && station >= 0 && trap >= 0 && Find(kSpeedLane) >= 0);
    for (int i : {loop, station, trap}) {
        tagDEVICEDATA20SEC& d = table[i];
        for (int c : {0, 1, 199, 2161}) {
            for (uint16_t* a :
                 {d.usIncident, d.usNumLanes, d.usVolume, d.usScanCnt, d.usFlag, d.usEstLength,
                  d.usCalcSpdTenths, d.usSpdFlag, d.usSpdFlag2, d.usSpdTenths, d.usLenTenths,
                  d.usBin1, d.usBin2, d.usBin3, d.usBin4})
                a[c] = 65535;
            d.ucNPds[c] = d.ucSpdNPds[c] = 255;
        }
    }
    table[loop].usScanCnt[10] = 3;
    table[station].usScanCnt[10] = 1200;
    const char longName[] = "118es11402:_MN___2X";
    memcpy(table[Find("118es11402:_MN___2")].szName, longName, 19);
    const std::vector<tagDEVICEDATA20SEC> snapshot(table, table + iNumberofNames);
    std::vector<tagDEVICEDATA20SEC> afterFast(iNumberofNames);
    const size_t bytes = sizeof(tagDEVICEDATA20SEC) * iNumberofNames;

    const struct {
        const char* label;
        int speedLanes, rowsFirst;
        const char *period, *device;
    } mixes[] = {
        // clang-format off
        {"none", 0, 0, nullptr, nullptr},          {"-S", 1, 0, nullptr, nullptr},
        {"-R", 0, 1, nullptr, nullptr},            {"-S -R", 1, 1, nullptr, nullptr},
        {"-P in the file", 0, 0, "00:30:40", nullptr},
        {"-P past the file", 0, 0, "12:00:20", nullptr},
        {"-P 00:00:10", 0, 0, "00:00:10", nullptr},
        {"-P outside the day", 0, 0, "24:00:00", nullptr},
        {"-D loop", 0, 0, nullptr, kLoop},         {"-D long name -R", 0, 1, nullptr, longName},
        {"-D station", 0, 0, nullptr, kStation},   {"-D speed lane", 0, 0, nullptr, kSpeedLane},
        {"-D speed lane -S", 1, 0, nullptr, kSpeedLane},
        {"-D trap", 0, 0, nullptr, kTrap},         {"-D not found", 0, 0, nullptr, "x"},
        {"-D -P", 0, 0, "00:00:40", kLoop},        {"-R -P", 0, 1, "00:01:00", nullptr},
        {"-D trap -R -P", 0, 1, "01:06:20", kTrap},
        // clang-format on
    };
    CaptureStdout();
    for (const char* date : {"05/01/2021 00:00:00", "05-01-21"}) {  // a short date pads
        strcpy(szDataStartTime, date);
        for (const auto& mix : mixes) {
            std::string label = std::string(date) + ", " + mix.label;
            bINCLUDESPEEDLANES = mix.speedLanes;
            bWRITEROWSFIRST = mix.rowsFirst;
            SetPeriod(mix.period);
            SetDevice(mix.device);
            memcpy(table, snapshot.data(), bytes);
            std::string fast = Write(WriteDataAsCSVElementData, log.file).text;
            memcpy(afterFast.data(), table, bytes);
            memcpy(table, snapshot.data(), bytes);
            ExpectSameBytes(fast, Reference(ReferenceElementReport), label + ", element");
            EXPECT_EQ(memcmp(afterFast.data(), table, bytes), 0) << label << ": stored colours";
            ExpectSameBytes(Write(WriteDataAsCSVLaneData, log.file).text,
                            Reference(ReferenceLaneReport), label + ", lane");
            ExpectSameBytes(Write(WriteDataAsCSVTrapData, log.file).text,
                            Reference(ReferenceTrapReport), label + ", trap");
        }
    }
    GetCapturedStdout();
}

TEST_F(ReportLayout, HeadersStandAloneWithoutColumns) {
    EXPECT_EQ(kElementHeader.size(), 185u);
    EXPECT_EQ(kLaneHeader.size(), 76u);
    EXPECT_EQ(kTrapHeader.size(), 132u);
    Table(0, {{kLoop, DEVICE_LOOP}, {kStation, DEVICE_STATION}, {kTrap, DEVICE_SPEED_TRAP}});
    EXPECT_EQ(Write(WriteDataAsCSVElementData, log.file).text, kElementHeader);
    EXPECT_EQ(Write(WriteDataAsCSVLaneData, log.file).text, kLaneHeader);
    EXPECT_EQ(Write(WriteDataAsCSVTrapData, log.file).text, kTrapHeader);
    EXPECT_EQ(Write(WriteDataAsCSVElement, log.file).text,
              "Input element count = 3\nName,NumLanes\nContents listed = 0\n");
}

TEST_F(ReportLayout, NamesFollowEachWritersPrecedence) {
    Table(1, {{kLoop, DEVICE_LOOP}});
    const struct {
        const char *flags, *element, *lane, *trap, *contents;
    } cases[] = {
        // clang-format off
        {"",    "Element_",   "Lane_",   "Trap_",   "Content_"},
        {"S",   "Element_S_", "Lane_S_", "Trap_",   "Content_S_"},
        {"R",   "Element_",   "Lane_R_", "Trap_R_", "Content_"},
        {"P",   "Element_P_", "Lane_P_", "Trap_P_", "Content_"},
        {"D",   "Element_D_", "Lane_D_", "Trap_D_", "Content_"},
        {"DP",  "Element_D_", "Lane_P_", "Trap_D_", "Content_"},
        {"PSR", "Element_P_", "Lane_P_", "Trap_P_", "Content_S_"},
        {"DSR", "Element_D_", "Lane_D_", "Trap_D_", "Content_S_"},
        {"SR",  "Element_S_", "Lane_S_", "Trap_R_", "Content_S_"},
        {"C",   "Element_",   "Lane_",   "Trap_",   "Content_C_"},
        {"SC",  "Element_S_", "Lane_S_", "Trap_",   "Content_C_"},
        // clang-format on
    };
    const Writer writers[] = {WriteDataAsCSVElementData, WriteDataAsCSVLaneData,
                              WriteDataAsCSVTrapData, WriteDataAsCSVElement};
    CaptureStdout();
    for (const auto& c : cases) {
        auto has = [&c](char flag) { return strchr(c.flags, flag) != nullptr; };
        SetDevice(has('D') ? kLoop : nullptr);
        SetPeriod(has('P') ? "00:00:00" : nullptr);
        bINCLUDESPEEDLANES = has('S');
        bWRITEROWSFIRST = has('R');
        bINCLUDEMETERS = has('C');
        const char* expected[] = {c.element, c.lane, c.trap, c.contents};
        for (int w = 0; w < 4; w++)
            EXPECT_EQ(
                Write(writers[w], log.file).names,
                std::vector<std::string>{std::string("KORVA20Sec_") + expected[w] + "05012021.csv"})
                << "flags [" << c.flags << "], writer " << w;
    }
    GetCapturedStdout();
}

TEST_F(ReportLayout, RowsRunColumnFirstOrDeviceFirstWithR) {
    tagDEVICEDATA20SEC* t = Table(3, {{kLoop, DEVICE_LOOP},
                                      {kTrap, DEVICE_SPEED_TRAP},
                                      {kStation, DEVICE_STATION},
                                      {"118es11402:_MN__T2", DEVICE_SPEED_TRAP}});
    for (int i : {0, 1}) {
        t[i].usNumLanes[1] = 2, t[i].usVolume[1] = 7, t[i].usScanCnt[1] = 30, t[i].usFlag[1] = 1;
        t[i].usIncident[1] = 2, t[i].ucNPds[1] = 3, t[i].usSpdTenths[1] = 587;
        t[i].usLenTenths[1] = 214, t[i].usBin1[1] = 1, t[i].usBin2[1] = 2, t[i].usBin3[1] = 3;
        t[i].usBin4[1] = 4, t[i].usSpdFlag[1] = 5, t[i].usSpdFlag2[1] = 16;
        t[i].ucSpdNPds[1] = 1, t[i].usEstLength[1] = 18, t[i].usCalcSpdTenths[1] = 65;
    }
    // Rows worked out by hand: they hold the plain writers themselves to the row formats.
    std::string element = Write(WriteDataAsCSVElementData, log.file).text;
    EXPECT_EQ(Lines(element)[3], std::string(kLoop) +
                                     ",2,7,2.5,30,1,3,3,3,3,58.7,21.4,1,2,3,4,5,16,1,18,65.0,60,"
                                     "05/01/2021 00:00:20 ");
    std::string lane = Write(WriteDataAsCSVLaneData, log.file).text;
    EXPECT_EQ(Lines(lane)[3], std::string(kLoop) + ",05/01/2021 00:00:20,2,7,2.50,1,2,58.7,21.4");
    std::string trap = Write(WriteDataAsCSVTrapData, log.file).text;
    EXPECT_EQ(Lines(trap)[3], std::string(kTrap) + ",05/01/2021 00:00:20,58.7,21.4,1,2,3,4,5,16");

    // Each row as "device index:column".
    auto order = [t](const std::string& text) {
        std::string seen;
        for (const std::string& row : Lines(text))
            for (int i = 0; i < 4; i++)
                for (int c = 0; c < 3; c++)
                    if (row.rfind(std::string(t[i].szName) + ",", 0) == 0 &&
                        row.find(" 00:00:" + std::to_string(c * 2) + "0") != std::string::npos)
                        seen += std::to_string(i) + ":" + std::to_string(c) + " ";
        return seen;
    };
    EXPECT_EQ(order(element), "0:0 2:0 0:1 2:1 0:2 2:2 ");
    EXPECT_EQ(order(lane), "0:0 2:0 0:1 2:1 0:2 2:2 ");
    EXPECT_EQ(order(trap), "1:0 3:0 1:1 3:1 1:2 3:2 ");
    bWRITEROWSFIRST = 1;
    EXPECT_EQ(order(Write(WriteDataAsCSVLaneData, log.file).text), "0:0 0:1 0:2 2:0 2:1 2:2 ");
    EXPECT_EQ(order(Write(WriteDataAsCSVTrapData, log.file).text), "1:0 1:1 1:2 3:0 3:1 3:2 ");
    EXPECT_EQ(order(Write(WriteDataAsCSVElementData, log.file).text), order(element));
}

TEST_F(ReportOptions, PeriodChoosesOneColumnOrHeaderOnlyOutsideTheDay) {
    tagDEVICEDATA20SEC* t =
        Table(PERIODS_PER_DAY, {{kLoop, DEVICE_LOOP}, {kTrap, DEVICE_SPEED_TRAP}});
    for (int i : {0, 1})
        for (int c = 0; c < PERIODS_PER_DAY; c++) t[i].usScanCnt[c] = t[i].usNumLanes[c] = 1;
    const struct {
        const char* text;
        int column;
        const char* time;  // null: outside the day
    } periods[] = {{"00:00:00", 0, "00:00:00"},    {"07:30:20", 1351, "07:30:20"},
                   {"12:00:20", 2161, "12:00:20"}, {"23:59:40", 4319, "23:59:40"},
                   {"00:00:10", 10, "00:03:20"},   {"24:00:00", 4320, nullptr},
                   {"23:60:00", 4320, nullptr},    {"-1:00:00", -180, nullptr}};
    for (const auto& p : periods) {
        SetPeriod(p.text);
        const std::vector<tagDEVICEDATA20SEC> before(t, t + 2);
        MemoryLog periodLog;
        CaptureStdout();
        Written written[] = {Write(WriteDataAsCSVElementData, periodLog.file),
                             Write(WriteDataAsCSVLaneData, periodLog.file),
                             Write(WriteDataAsCSVTrapData, periodLog.file)};
        std::string console = GetCapturedStdout(), text = periodLog.Text();
        const std::string* headers[] = {&kElementHeader, &kLaneHeader, &kTrapHeader};
        std::string column = std::string("[") + p.text + "] column [" + std::to_string(p.column);
        for (int w = 0; w < 3; w++) {
            std::string said = "Printing period " + column + "] for [" + written[w].path + "]\n";
            EXPECT_EQ(Count(text, "[12:34:56] - " + said), 1) << p.text << ", writer " << w;
            EXPECT_EQ(Count(console, said), w < 2 ? 1 : 0) << p.text << ", writer " << w;
            std::vector<std::string> rows = Lines(written[w].text);
            if (p.time) {
                ASSERT_EQ(rows.size(), 2u) << p.text << ", writer " << w;
                EXPECT_NE(rows[1].find(std::string("05/01/2021 ") + p.time), std::string::npos);
            } else {
                EXPECT_EQ(written[w].text, *headers[w]) << p.text << ", writer " << w;
            }
        }
        std::string outside = "Period " + column + "] lies outside the day";
        EXPECT_EQ(Count(text, "[12:34:56] E " + outside + "; the report holds its header only!\n"),
                  p.time ? 0 : 3);
        EXPECT_EQ(Count(console, "     E " + outside + "!\n"), p.time ? 0 : 2);
        // Nothing is classified: no colour array is written outside the day either.
        EXPECT_TRUE(p.time || memcmp(before.data(), t, sizeof before[0] * 2) == 0) << p.text;
    }
}

TEST_F(ReportOptions, UnknownDeviceWarnsAndLeavesHeaderOnly) {
    Table(3, {{kLoop, DEVICE_LOOP}, {kTrap, DEVICE_SPEED_TRAP}});
    // A prefix of a name, or a name differing only in case, matches nothing.
    for (const char* name : {"118es11402:_MN___", "118ES11402:_MN___1"}) {
        SetDevice(name);
        MemoryLog deviceLog;
        CaptureStdout();
        EXPECT_EQ(Write(WriteDataAsCSVElementData, deviceLog.file).text, kElementHeader);
        EXPECT_EQ(Write(WriteDataAsCSVLaneData, deviceLog.file).text, kLaneHeader);
        Written trap = Write(WriteDataAsCSVTrapData, deviceLog.file);
        std::string console = GetCapturedStdout();
        EXPECT_EQ(trap.result, 1);
        EXPECT_EQ(trap.text, kTrapHeader);
        std::string warning = std::string("W Device [") + name + "] NOT found!\n";
        EXPECT_EQ(Count(deviceLog.Text(), "[12:34:56] " + warning), 3);
        EXPECT_EQ(Count(console, "          " + warning), 3);
    }
}

TEST_F(ElementColours, ClassBoundaries) {
    // lanes, volume, scan, speed -> Color0, Color1, Color2. With 180 lanes the flow rate equals
    // the volume.
    const int cases[][7] = {
        // clang-format off
        {180, 999, 1, 600, 3, 3, 3}, {180, 1000, 1, 600, 2, 3, 3}, {180, 1499, 1, 600, 2, 3, 3},
        {180, 1500, 1, 600, 1, 3, 3}, {180, 1999, 1, 600, 1, 3, 3}, {180, 2000, 1, 600, 100, 3, 3},
        {360, 1999, 1, 600, 2, 3, 3},    // 999.5 rounds up to 1000
        {1, 365, 1, 600, 3, 3, 3},       // 65700 kept as a 16-bit number: 164
        {45, 16384, 0, 600, 4, 4, 4},    // 65536 wraps to 0: no data
        {1, 11, 1, 600, 1, 3, 3}, {1, 12, 1, 600, 100, 3, 3}, {2, 11, 1, 600, 3, 3, 3},
        {2, 12, 1, 600, 2, 3, 3}, {3, 25, 1, 600, 1, 3, 3},
        {1, 1, 180, 600, 3, 3, 3}, {1, 1, 181, 600, 3, 2, 3}, {1, 1, 264, 600, 3, 2, 3},
        {1, 1, 265, 600, 3, 1, 3}, {1, 1, 420, 600, 3, 1, 3}, {1, 1, 421, 600, 3, 100, 3},
        {1, 1, 1, 300, 3, 3, 100}, {1, 1, 1, 301, 3, 3, 1}, {1, 1, 1, 400, 3, 3, 1},
        {1, 1, 1, 401, 3, 3, 2}, {1, 1, 1, 500, 3, 3, 2}, {1, 1, 1, 501, 3, 3, 3},
        {0, 5, 0, 600, 4, 4, 4}, {0, 5, 30, 0, 3, 3, 100}, {2, 0, 0, 600, 4, 4, 4},
        {2, 1, 0, 0, 3, 3, 100},
        // clang-format on
    };
    const int n = sizeof cases / sizeof cases[0];
    tagDEVICEDATA20SEC* t = Table(n, {{kLoop, DEVICE_LOOP}});
    for (int c = 0; c < n; c++) {
        t[0].usNumLanes[c] = cases[c][0], t[0].usVolume[c] = cases[c][1];
        t[0].usScanCnt[c] = cases[c][2], t[0].usSpdTenths[c] = cases[c][3];
    }
    // Periods without data still get their rows.
    ASSERT_EQ(Lines(Write(WriteDataAsCSVElementData, log.file).text).size(), n + 1u);
    for (int c = 0; c < n; c++)
        EXPECT_EQ(std::vector<int>({t[0].ucColor0[c], t[0].ucColor1[c], t[0].ucColor2[c]}),
                  std::vector<int>({cases[c][4], cases[c][5], cases[c][6]}))
            << "lanes " << cases[c][0] << " volume " << cases[c][1] << " scan " << cases[c][2]
            << " speed " << cases[c][3];
}

TEST_F(ElementColours, StoredOnlyForVisitedColumnsAndDevices) {
    auto build = [] {
        tagDEVICEDATA20SEC* t =
            Table(6, {{kLoop, DEVICE_LOOP}, {kSpeedLane, DEVICE_LOOP}, {kTrap, DEVICE_SPEED_TRAP}});
        for (int i = 0; i < 3; i++)
            for (int c = 0; c < PERIODS_PER_DAY; c++) t[i].usNumLanes[c] = t[i].usScanCnt[c] = 1;
        return t;
    };
    auto coloured = [](tagDEVICEDATA20SEC* t) {  // "device:column" of every stored class
        std::string seen;
        for (int i = 0; i < 3; i++)
            for (int c = 0; c < PERIODS_PER_DAY; c++)
                if (t[i].ucColor0[c] || t[i].ucColor1[c] || t[i].ucColor2[c])
                    seen += std::to_string(i) + ":" + std::to_string(c) + " ";
        return seen;
    };
    CaptureStdout();
    tagDEVICEDATA20SEC* t = build();
    EXPECT_EQ(Lines(Write(WriteDataAsCSVElementData, log.file).text).size(), 7u);  // loop only
    EXPECT_EQ(coloured(t),
              "0:0 0:1 0:2 0:3 0:4 0:5 1:0 1:1 1:2 1:3 1:4 1:5 2:0 2:1 2:2 2:3 2:4 2:5 ");
    t = build();
    SetPeriod("00:00:40");
    SetDevice(kSpeedLane);  // chosen, a speed lane gets its row without -S
    std::vector<std::string> rows = Lines(Write(WriteDataAsCSVElementData, log.file).text);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].rfind(kSpeedLane, 0), 0u);
    EXPECT_EQ(coloured(t), "1:2 ");
    t = build();
    SetPeriod(nullptr);
    SetDevice(kTrap);  // classified, but never a row, and no warning
    EXPECT_EQ(Write(WriteDataAsCSVElementData, log.file).text, kElementHeader);
    EXPECT_EQ(coloured(t), "2:0 2:1 2:2 2:3 2:4 2:5 ");
    GetCapturedStdout();
    EXPECT_EQ(Count(log.Text(), "NOT found"), 0);
}

TEST_F(ContentsReport, ListsByTypeLetterAndChosenDevice) {
    tagDEVICEDATA20SEC* t = Table(3, {{kLoop, DEVICE_LOOP},
                                      {kSpeedLane, DEVICE_LOOP},
                                      {kStation, DEVICE_STATION},
                                      {kTrap, DEVICE_SPEED_TRAP},
                                      {"118es11402:MMN__R1", DEVICE_METERED_LANE}});
    t[0].usNumLanes[0] = 1, t[0].usNumLanes[1] = 5, t[1].usNumLanes[0] = 2, t[2].usNumLanes[0] = 3;
    const std::string head = "Name,NumLanes\n", loop = std::string(kLoop) + ",1\n",
                      speed = std::string(kSpeedLane) + ",2\n",
                      station = std::string(kStation) + ",3\n", trap = std::string(kTrap) + ",0\n",
                      meter = "118es11402:MMN__R1,0\n";
    SetPeriod("00:00:20");  // -P and -R change neither name nor content
    bWRITEROWSFIRST = 1;
    Written plain = Write(WriteDataAsCSVElement, log.file);
    EXPECT_EQ(plain.names[0], "KORVA20Sec_Content_05012021.csv");
    EXPECT_EQ(plain.text,
              "Input element count = 5\n" + head + loop + station + trap + "Contents listed = 3\n");
    bINCLUDESPEEDLANES = bINCLUDEMETERS = 1;
    Written all = Write(WriteDataAsCSVElement, log.file);
    EXPECT_EQ(all.names[0], "KORVA20Sec_Content_C_05012021.csv");
    EXPECT_EQ(all.text, "Input element count = 5\n" + head + loop + speed + station + trap + meter +
                            "Contents listed = 5\n");
    bINCLUDESPEEDLANES = bINCLUDEMETERS = 0;
    SetDevice(kTrap);
    EXPECT_EQ(Write(WriteDataAsCSVElement, log.file).text,
              "Input element count = 4\n" + head + trap + "Contents listed = 1\n");
    SetDevice(kSpeedLane);
    EXPECT_EQ(Write(WriteDataAsCSVElement, log.file).text,
              "Input element count = 2\n" + head + "Contents listed = 0\n");
    SetDevice("118es11402:_MN___9");
    EXPECT_EQ(Write(WriteDataAsCSVElement, log.file).text,
              "Input element count = 5\n" + head + "Contents listed = 0\n");
    EXPECT_EQ(Count(log.Text(), "NOT found"), 0);
}

TEST_F(ReportPublication, MissingFolderLogsOpenFailureWithNilHandle) {
    Table(3, {{kLoop, DEVICE_LOOP}});
    SetPeriod("00:00:20");
    TempDir out;
    std::string folder = out / "missing/";
    CaptureStdout();
    for (Writer w : {WriteDataAsCSVElementData, WriteDataAsCSVLaneData, WriteDataAsCSVTrapData,
                     WriteDataAsCSVElement})
        EXPECT_EQ(w(log.file, folder.c_str()), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    std::string text = log.Text();
    for (const char* kind : {"Element_P_", "Lane_P_", "Trap_P_", "Content_"})
        EXPECT_EQ(Count(text, "[12:34:56] E Could not open data file [" + folder + "KORVA20Sec_" +
                                  kind + "05012021.csv]! - Error = [(nil)].\n"),
                  1);
    EXPECT_EQ(Count(text, "Printing period"), 0);
    EXPECT_TRUE(ListDir(out.path).empty());
}

TEST_F(ReportPublication, WriteFailureKeepsTheEarlierReport) {
    // Four loops over a whole day: about 1.5 MB of rows.
    Table(PERIODS_PER_DAY,
          {{kLoop, DEVICE_LOOP}, {kLoop, DEVICE_LOOP}, {kLoop, DEVICE_LOOP}, {kLoop, DEVICE_LOOP}});
    TempDir out, logs;
    const std::string report = out / "KORVA20Sec_Element_05012021.csv";
    WriteFile(report, "the earlier report\n");
    pid_t child = fork();
    if (child == 0) {
        // Past the file size limit, writes fail with EFBIG instead of raising the signal.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 256 * 1024;
        setrlimit(RLIMIT_FSIZE, &limit);
        FILE* childLog = fopen((logs / "log").c_str(), "w");
        int result = WriteDataAsCSVElementData(childLog, out.path.c_str());
        fclose(childLog);
        _exit(result == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the writer must report the failure";
    EXPECT_EQ(ReadFile(report), "the earlier report\n");
    EXPECT_EQ(ListDir(out.path), std::vector<std::string>{"KORVA20Sec_Element_05012021.csv"});
    EXPECT_EQ(Count(ReadFile(logs / "log"), "[12:34:56] E Could not write CSV file [" + report +
                                                "]! - " + strerror(EFBIG) + ".\n"),
              1);
}

TEST_F(ReportPublication, SlashInTheReportDateRefusesTheFilesReports) {
    TempDir in, out;
    DataFileSpec data;
    data.start = "5/01/2021 00:00:00";
    data.devices = {{kLoop, DEVICE_LOOP, Block(3, [](int) { return LoopEntry(0, 1, 2, 0, 3); })}};
    WriteFile(in / "KORVA20S_A.DAT", BuildDataFile(data));
    bWRITEELEMENTS = bWRITELANES = bWRITETRAPS = bLISTALLELEMENTS = 1;
    CaptureStdout();
    EXPECT_EQ(ProcessDataFile(in.path.c_str(), out.path.c_str(), "KORVA20S_A.DAT", log.file), 1);
    GetCapturedStdout();
    std::string text = log.Text();
    EXPECT_EQ(Count(text, " E "), 1) << text;
    EXPECT_EQ(Count(text, "] E Start date [5/01/2021 00:00:00] of data file [KORVA20S_A.DAT]"), 1)
        << text;
    EXPECT_TRUE(ListDir(out.path).empty());
}

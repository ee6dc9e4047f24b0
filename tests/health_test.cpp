// The health report on built days: each fault alone on its own device, healthy devices beside
// them, every count of every row held against a recount of the entries the test built, and the
// statuses the faults must give, under the default thresholds and under changed ones.
#include <map>

#include "TestSupport.h"
#include "cli/Options.h"
#include "reports/Reports.h"

using namespace korvatest;

namespace {

// What the test puts into one period of a loop or station, and of a trap.
struct Loop {
    int lanes, scan, volume;
};
struct Trap {
    bool working, measured;
    int speed, vehicles;
};

// A day of one device as the test describes it: a loop, station or metered lane's periods, or
// a trap's.
struct Device {
    std::string name;
    uint16_t type;
    std::vector<Loop> loop;
    std::vector<Trap> trap;
    std::string status;  // expected under the default thresholds
};

// Busy but sound traffic: a volume and a scan count in every period, never zero, never high,
// never equal two periods running.
std::vector<Loop> Traffic(int seed) {
    std::vector<Loop> day(PERIODS_PER_DAY);
    for (int c = 0; c < PERIODS_PER_DAY; c++)
        day[c] = {1, 100 + (c * 13 + seed * 31) % 400, 1 + (c * 7 + seed) % 5};
    return day;
}
std::vector<Trap> TrapTraffic() {
    std::vector<Trap> day(PERIODS_PER_DAY);
    for (int c = 0; c < PERIODS_PER_DAY; c++) day[c] = {true, true, 550 + c * 17 % 200, 1 + c % 4};
    return day;
}
// The same traffic summed as a station of `lanes` lanes: volumes of 16 to 80, past the five bits
// of a loop's.
std::vector<Loop> Lanes(std::vector<Loop> day, int lanes) {
    for (Loop& p : day) p.lanes = lanes, p.volume *= 16;
    return day;
}
// The same traffic with periods [from, from + count) of the window (05:00 on) changed.
template <typename Period, typename Change>
std::vector<Period> With(std::vector<Period> day, int from, int count, Change change) {
    for (int c = 900 + from; c < 900 + from + count; c++) change(day[c]);
    return day;
}
// The same traffic with `count` periods of the window changed, spread one in `step`.
template <typename Period, typename Change>
std::vector<Period> Spread(std::vector<Period> day, int count, int step, Change change) {
    for (int k = 0; k < count; k++) change(day[900 + k * step]);
    return day;
}

std::string Name(int cabinet, char kind, int lane) {
    char name[32];
    snprintf(name, sizeof name, "%03des%05d:_MN__%c%d", cabinet, cabinet, kind, lane);
    return name;
}

// The devices of the built day, in table order.
std::vector<Device> Day() {
    auto silent = [](Loop& p) { p = {0, 0, 0}; };
    auto zero = [](Loop& p) { p.scan = p.volume = 0; };
    auto occupiedEmpty = [](Loop& p) { p.volume = 0; };
    auto emptyCounted = [](Loop& p) { p.scan = 0; };
    auto high = [](Loop& p) { p.scan = 900; };
    auto stuck = [](Loop& p) { p.scan = 777, p.volume = 5; };
    auto capped = [](Loop& p) { p.scan = 1500; };
    auto slow = [](Trap& t) { t.speed = 50; };
    auto dark = [](Trap& t) { t = {}; };
    std::vector<Device> day = {
        // A sound station and its lanes, a speed loop, a trap, a ramp loop and a metered lane.
        {Name(1, '_', 0), DEVICE_STATION, Lanes(Traffic(0), 2), {}, "good"},
        {Name(1, '_', 1), DEVICE_LOOP, Traffic(1), {}, "good"},
        {Name(1, '_', 2), DEVICE_LOOP, Traffic(2), {}, "good"},
        {Name(1, 'S', 1), DEVICE_LOOP, Traffic(3), {}, "good"},
        {Name(1, 'T', 1), DEVICE_SPEED_TRAP, {}, TrapTraffic(), "good"},
        {Name(1, 'R', 1), DEVICE_LOOP, Traffic(4), {}, "good"},
        {Name(1, 'M', 1), DEVICE_METERED_LANE, std::vector<Loop>(PERIODS_PER_DAY), {}, ""},
        // A sound station with a lane stuck at zero; a silent station with a silent lane.
        {Name(2, '_', 0), DEVICE_STATION, Lanes(Traffic(5), 2), {}, "degraded"},
        {Name(2, '_', 1), DEVICE_LOOP, Traffic(6), {}, "good"},
        {Name(2, '_', 2), DEVICE_LOOP, With(Traffic(7), -900, 4320, zero), {}, "card_off"},
        {Name(3, '_', 0), DEVICE_STATION, With(Traffic(8), -900, 4320, silent), {}, "no_data"},
        {Name(3, '_', 1), DEVICE_LOOP, Traffic(9), {}, "good"},
        {Name(3, '_', 2), DEVICE_LOOP, With(Traffic(9), -900, 4320, silent), {}, "no_data"},
        // One fault a loop, the sound side of each threshold beside it.
        {Name(4, '_', 1), DEVICE_LOOP, With(Traffic(0), -900, 4320, silent), {}, "no_data"},
        {Name(4, '_', 2),
         DEVICE_LOOP,
         With(Traffic(1), 1835, 1225, silent),
         {},
         "insufficient_data"},
        {Name(4, '_', 3), DEVICE_LOOP, With(Traffic(2), 1836, 1224, silent), {}, "good"},
        {Name(4, '_', 4), DEVICE_LOOP, Spread(Traffic(3), 613, 4, high), {}, "high_occupancy"},
        {Name(4, '_', 5), DEVICE_LOOP, Spread(Traffic(4), 612, 5, high), {}, "good"},
        {Name(4, '_', 6),
         DEVICE_LOOP,
         Spread(Traffic(5), 62, 40, occupiedEmpty),
         {},
         "intermittent"},
        {Name(4, '_', 7), DEVICE_LOOP, Spread(Traffic(6), 61, 40, occupiedEmpty), {}, "good"},
        {Name(4, '_', 8), DEVICE_LOOP, With(Traffic(7), 0, 1531, emptyCounted), {}, "intermittent"},
        {Name(5, '_', 1), DEVICE_LOOP, With(Traffic(8), 0, 1530, emptyCounted), {}, "good"},
        {Name(5, '_', 2), DEVICE_LOOP, With(Traffic(9), 100, 720, stuck), {}, "constant"},
        {Name(5, '_', 3), DEVICE_LOOP, With(Traffic(0), 100, 719, stuck), {}, "good"},
        // Four hours stuck but for one silent period: two runs, neither long enough.
        {Name(5, '_', 4),
         DEVICE_LOOP,
         With(With(Traffic(1), 100, 720, stuck), 400, 1, silent),
         {},
         "good"},
        // Counts over 1200 before, in and after the window: the capped ones count all day.
        {Name(5, '_', 5),
         DEVICE_LOOP,
         With(With(Spread(Traffic(2), 5, 7, capped), -900, 3, capped), 3100, 4, capped),
         {},
         "good"},
        {Name(5, '_', 6), DEVICE_LOOP, With(Traffic(3), -900, 4320, zero), {}, "card_off"},
        // One fault a trap, and the sound side beside it.
        {Name(6, 'T', 1), DEVICE_SPEED_TRAP, {}, With(TrapTraffic(), -900, 4320, dark), "no_data"},
        {Name(6, 'T', 2),
         DEVICE_SPEED_TRAP,
         {},
         With(TrapTraffic(), -900, 4320, [](Trap& t) { t.measured = false; }),
         "no_data"},
        {Name(6, 'T', 3),
         DEVICE_SPEED_TRAP,
         {},
         With(TrapTraffic(), 1835, 1225, dark),
         "insufficient_data"},
        // Working but measuring in few periods: light traffic, not a fault.
        {Name(6, 'T', 4),
         DEVICE_SPEED_TRAP,
         {},
         Spread(TrapTraffic(), 1500, 2, [](Trap& t) { t.measured = false; }),
         "good"},
        {Name(6, 'T', 5),
         DEVICE_SPEED_TRAP,
         {},
         Spread(TrapTraffic(), 613, 4, slow),
         "implausible_speed"},
        {Name(6, 'T', 6), DEVICE_SPEED_TRAP, {}, Spread(TrapTraffic(), 612, 5, slow), "good"},
        {Name(6, 'T', 7),
         DEVICE_SPEED_TRAP,
         {},
         With(TrapTraffic(), 0, 720, [](Trap& t) { t.speed = 600; }),
         "constant"},
        // A crawl without vehicles is no measurement of anyone's speed.
        {Name(6, 'T', 8),
         DEVICE_SPEED_TRAP,
         {},
         Spread(TrapTraffic(), 1000, 3, [](Trap& t) { t.speed = 20, t.vehicles = 0; }),
         "good"},
    };
    return day;
}

// The data file of the day's first `columns` periods.
std::string DayFile(const std::vector<Device>& day, int columns) {
    DataFileLayout layout{columns, {}};
    for (const Device& d : day) {
        std::string block;
        if (d.type == DEVICE_SPEED_TRAP)
            block = Block(columns, [&](int c) {
                const Trap& t = d.trap[c];
                return TrapEntry(t.speed, 180, t.vehicles, 0, 0, 0, t.working ? 128 : 0,
                                 t.measured ? 128 : 0);
            });
        else if (d.type == DEVICE_METERED_LANE)
            block = Block(columns, std::string(2, '\0'));
        else
            block = Block(columns, [&](int c) {
                const Loop& p = d.loop[c];
                return d.type == DEVICE_STATION ? StationEntry(0, p.lanes, p.scan, 0, p.volume)
                                                : LoopEntry(0, p.lanes, p.scan, 0, p.volume);
            });
        layout.devices.push_back({d.name, d.type, block});
    }
    return BuildDataFile(layout);
}

// The fields a device's row must hold, recounted from the day the test built: the window is
// [first, end) of the file's columns, high scans are those above highScan. The lanes not good
// come from the expected statuses.
std::vector<std::string> Recount(const Device& d, const std::vector<Device>& day, int columns,
                                 int first, int end, int highScan) {
    end = std::min(end, columns);
    first = std::min(first, end);
    auto text = [](long n) { return std::to_string(n); };
    std::vector<std::string> row = {d.name, "loop", text(end - first)};
    // The longest stretch of equal reported periods, a silent one breaking it.
    auto longest = [&](auto same, auto reported) {
        long best = 0, run = 0;
        for (int c = first; c < end; c++) {
            run = !reported(c) ? 0 : c > first && reported(c - 1) && same(c - 1, c) ? run + 1 : 1;
            best = std::max(best, run);
        }
        return best;
    };
    auto window = [&](auto test) {
        long n = 0;
        for (int c = first; c < end; c++) n += test(c);
        return n;
    };
    if (d.type == DEVICE_SPEED_TRAP) {
        const std::vector<Trap>& t = d.trap;
        row[1] = "trap";
        row.push_back(text(window([&](int c) { return t[c].measured; })));
        row.insert(row.end(), 5, "");
        row.push_back(text(longest([&](int a, int b) { return t[a].speed == t[b].speed; },
                                   [&](int c) { return t[c].measured; })));
        row.push_back("");
        row.push_back(d.status);
        row.push_back(text(window([&](int c) { return t[c].working || t[c].measured; })));
        row.push_back(text(window([&](int c) {
            return t[c].measured && t[c].vehicles > 0 && (t[c].speed < 100 || t[c].speed > 1109);
        })));
        row.insert(row.end(), 4, "");  // no cabinet list: no roadway, side, milepost, location
        return row;
    }
    const std::vector<Loop>& p = d.loop;
    if (d.name[16] == 'S' || d.name[16] == 'R')
        row[1] = d.name[16] == 'S' ? "speed_loop" : "ramp_loop";
    if (d.type == DEVICE_STATION) row[1] = "station";
    auto seen = [&](int c) { return p[c].lanes > 0; };
    row.push_back(text(window(seen)));
    row.push_back(text(window([&](int c) { return seen(c) && p[c].scan == 0; })));
    row.push_back(text(window([&](int c) { return seen(c) && p[c].scan && !p[c].volume; })));
    row.push_back(text(window([&](int c) { return seen(c) && !p[c].scan && p[c].volume; })));
    row.push_back(text(window([&](int c) { return seen(c) && p[c].scan > highScan; })));
    long capped = 0;
    for (int c = 0; c < columns; c++) capped += p[c].scan > 1200;
    row.push_back(text(capped));
    row.push_back(text(longest(
        [&](int a, int b) { return p[a].scan == p[b].scan && p[a].volume == p[b].volume; }, seen)));
    std::string lanes;
    if (d.type == DEVICE_STATION) {  // its lanes: the loops of its cabinet named ___1 on
        long bad = 0;
        for (const Device& lane : day)
            bad += lane.name.compare(0, 17, d.name, 0, 17) == 0 && lane.name[17] >= '1' &&
                   lane.name[17] <= '8' && lane.status != "good";
        lanes = text(bad);
    }
    row.push_back(lanes);
    row.push_back(d.status);
    row.insert(row.end(), 2 + 4, "");  // nor a trap's counts, nor a cabinet's columns
    return row;
}

class Health : public KorvaTest {
protected:
    // Loads the file without the console lines of its scan counts over 1200.
    int Quiet(const std::string& bytes) {
        testing::internal::CaptureStdout();
        int loaded = Load(bytes);
        testing::internal::GetCapturedStdout();
        return loaded;
    }
    // The health report of the loaded file with the settings' options, row by row (each split
    // at its commas) after the header, and the report's header.
    std::vector<std::vector<std::string>> Report(const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {"korva2csv"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        settings = tagSETTINGS{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(ProcessCommandLine((int)argv.size(), argv.data(), &settings), OPTIONS_GO_ON);
        testing::internal::GetCapturedStdout();
        In(dir.path, dir.path);
        EXPECT_EQ(WriteReports(file, settings, "F.DAT", &log), 1);
        std::string name = settings.bDEVICE              ? "KORVA20Sec_Health_D_05012021.csv"
                           : settings.bPERIOD            ? "KORVA20Sec_Health_P_05012021.csv"
                           : settings.bINCLUDESPEEDLANES ? "KORVA20Sec_Health_S_05012021.csv"
                                                         : "KORVA20Sec_Health_05012021.csv";
        std::vector<std::string> lines = Lines(ReadFile(dir / name));
        EXPECT_FALSE(lines.empty());
        header = lines.empty() ? "" : lines[0];
        std::vector<std::vector<std::string>> rows;
        for (size_t i = 1; i < lines.size(); i++) {
            std::vector<std::string> fields(1);
            for (char ch : lines[i])
                if (ch == ',')
                    fields.emplace_back();
                else
                    fields.back() += ch;
            rows.push_back(fields);
        }
        return rows;
    }
    std::string header;
};

}  // namespace

// A whole day under the default thresholds: every device but the metered lane has its row in
// table order (the speed loop without -S), each count as recounted, each fault's status, the
// sound side of each threshold good, and the log's counts by status.
TEST_F(Health, EachFaultAloneGivesItsStatusAndEveryCountIsRecounted) {
    std::vector<Device> day = Day();
    ASSERT_EQ(Quiet(DayFile(day, PERIODS_PER_DAY)), 1);
    std::vector<std::vector<std::string>> rows = Report({"--health"});
    EXPECT_EQ(header,
              "name,kind,window_periods,observed,zero_occupancy,occupied_no_volume,"
              "volume_no_occupancy,high_occupancy,capped_scans,longest_constant_periods,"
              "lanes_not_good,status,working_periods,implausible_speed,roadway,side,milepost,"
              "location");
    std::map<std::string, int> byStatus;
    size_t r = 0;
    for (const Device& d : day) {
        if (d.type == DEVICE_METERED_LANE) continue;
        ASSERT_LT(r, rows.size());
        EXPECT_EQ(rows[r++], Recount(d, day, PERIODS_PER_DAY, 900, 3960, 840)) << d.name;
        byStatus[d.status]++;
    }
    EXPECT_EQ(r, rows.size());
    char line[512];
    snprintf(line, sizeof line,
             "Health of [%zu] detectors in data file [F.DAT]: good %d, degraded %d, no_data %d, "
             "insufficient_data %d, card_off %d, high_occupancy %d, intermittent %d, constant "
             "%d, implausible_speed %d.\n",
             rows.size(), byStatus["good"], byStatus["degraded"], byStatus["no_data"],
             byStatus["insufficient_data"], byStatus["card_off"], byStatus["high_occupancy"],
             byStatus["intermittent"], byStatus["constant"], byStatus["implausible_speed"]);
    EXPECT_TRUE(Has(log.Text(), line)) << log.Text();
}

// Files that end inside the window or before it: the window is what the columns hold, every
// count recounted over it; with none of it, every device has no data.
TEST_F(Health, AShortFileNarrowsTheWindow) {
    std::vector<Device> day = Day();
    for (int columns : {1500, 899}) {
        ASSERT_EQ(Quiet(DayFile(day, columns)), 1);
        std::vector<std::vector<std::string>> rows = Report({"--health"});
        size_t r = 0;
        for (const Device& d : day) {
            if (d.type == DEVICE_METERED_LANE || r >= rows.size()) continue;
            std::vector<std::string> expected = Recount(d, day, columns, 900, 3960, 840);
            EXPECT_EQ(rows[r][2], columns == 1500 ? "600" : "0");
            if (columns == 899) {
                EXPECT_EQ(rows[r][11], "no_data") << d.name;
            }
            rows[r][11] = expected[11] = "";  // the statuses of a fraction of the window
            if (d.type == DEVICE_STATION) rows[r][10] = expected[10] = "";
            EXPECT_EQ(rows[r++], expected) << columns << " " << d.name;
        }
        EXPECT_EQ(r, rows.size());
    }
}

// Changed thresholds move the devices at their edges, and a changed window or high scan count
// changes the counts as recounted; -D lists one device, a station's lanes still judged.
TEST_F(Health, ThresholdsFromTheOptionMoveTheStatuses) {
    std::vector<Device> day = Day();
    ASSERT_EQ(Quiet(DayFile(day, PERIODS_PER_DAY)), 1);
    const struct {
        std::vector<std::string> options;
        std::string device, status;
    } cases[] = {
        {{"--health=card_off=100"}, Name(5, '_', 6), "constant"},
        {{"--health=constant=721"}, Name(5, '_', 2), "good"},
        {{"--health=no_volume=2.1"}, Name(4, '_', 6), "good"},
        {{"--health=no_occupancy=50.1"}, Name(4, '_', 8), "good"},
        {{"--health=high_scan=900"}, Name(4, '_', 4), "good"},
        {{"--health=high_occupancy=19.9"}, Name(4, '_', 5), "high_occupancy"},
        {{"--health=insufficient=59.9"}, Name(4, '_', 2), "good"},
        {{"--health=implausible=20.1"}, Name(6, 'T', 5), "good"},
        {{"--health=card_off=100,constant=4320"}, Name(2, '_', 0), "good"},
        {{"--health=window=05:20-06:00:40"}, Name(4, '_', 2), "good"},
        {{"--health", "-D" + Name(2, '_', 0)}, Name(2, '_', 0), "degraded"},
        {{"--health", "-S", "-C", "-P07:00:00"}, Name(4, '_', 2), "insufficient_data"},
    };
    for (const auto& c : cases) {
        std::vector<std::vector<std::string>> rows = Report(c.options);
        const tagHEALTHRULES& rules = settings.health;
        size_t r = 0, found = 0;
        for (const Device& d : day) {
            if (d.type == DEVICE_METERED_LANE || r >= rows.size()) continue;
            if (settings.bDEVICE && d.name != c.device) continue;
            std::vector<std::string> expected = Recount(d, day, PERIODS_PER_DAY, rules.iWindowFirst,
                                                        rules.iWindowEnd, rules.iHighScan);
            if (d.name == c.device) {
                EXPECT_EQ(rows[r][11], c.status) << c.options[0];
                found++;
            }
            // The counts as recounted; the statuses, and the lanes not good they give, are those
            // of the default thresholds only.
            if (c.options[0] != "--health")
                for (size_t f : {10, 11}) rows[r][f] = expected[f] = "";
            EXPECT_EQ(rows[r++], expected) << c.options[0] << " " << d.name;
        }
        EXPECT_EQ(found, 1u);
        EXPECT_EQ(r, rows.size()) << c.options[0];
    }
}

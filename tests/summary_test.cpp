// The summary reports of --aggregate: every row recomputed from the 20-second element report of
// the same run, a built file with known sums, the -R order, the names, and the refused values.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace korvatest;

namespace {

// The per-period values of one element report row that a summary is made of.
struct tagELEMENTROW {
    std::string name;
    int period;  // of the day, from CollectionTime
    int volume, scan, npds, speedTenths;
};

// "65.4" -> 654: the element report's one-decimal texts as whole tenths.
int Tenths(const std::string& text) {
    size_t dot = text.find('.');
    EXPECT_TRUE(dot != std::string::npos && dot + 2 == text.size()) << text;
    return std::stoi(text.substr(0, dot)) * 10 + (text[dot + 1] - '0');
}

// The rows of a legacy element report; the name is what precedes the 22 other fields (legacy
// names are not quoted). date gets the "MM/DD/YYYY" of the rows.
std::vector<tagELEMENTROW> ParseElement(const std::string& text, std::string* date) {
    std::vector<std::string> lines = Lines(text);
    std::vector<tagELEMENTROW> rows;
    for (size_t i = 1; i < lines.size(); i++) {
        std::vector<std::string> f;
        size_t at = 0;
        for (size_t comma; (comma = lines[i].find(',', at)) != std::string::npos; at = comma + 1)
            f.push_back(lines[i].substr(at, comma - at));
        f.push_back(lines[i].substr(at));
        if (f.size() < 23) {
            ADD_FAILURE() << "short element row: " << lines[i];
            break;
        }
        size_t k = f.size() - 22;  // f[k] is NumLanes
        tagELEMENTROW r;
        for (size_t j = 0; j < k; j++) r.name += (j ? "," : "") + f[j];
        const std::string& time = f[k + 21];  // "MM/DD/YYYY HH:MM:SS "
        *date = time.substr(0, 10);
        r.period = std::stoi(time.substr(11, 2)) * 180 + std::stoi(time.substr(14, 2)) * 3 +
                   std::stoi(time.substr(17, 2)) / 20;
        r.volume = std::stoi(f[k + 1]);
        r.scan = std::stoi(f[k + 3]);
        r.npds = std::stoi(f[k + 5]);
        r.speedTenths = Tenths(f[k + 9]);
        rows.push_back(r);
    }
    return rows;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// The summary in bins of `minutes` as it must read, from the element report's rows (ordered
// by period, then device: the k-th row of a period is device k of the table order).
std::string Recompute(const std::vector<tagELEMENTROW>& rows, const std::string& date, int minutes,
                      bool deviceFirst) {
    std::map<int, std::vector<const tagELEMENTROW*>> byPeriod;
    for (const tagELEMENTROW& r : rows) byPeriod[r.period].push_back(&r);
    size_t devices = byPeriod.empty() ? 0 : byPeriod.begin()->second.size();
    int width = minutes * 3;
    std::map<int, std::vector<std::vector<const tagELEMENTROW*>>> bins;  // bin -> device -> rows
    for (auto& [period, group] : byPeriod) {
        EXPECT_EQ(group.size(), devices) << "period " << period;
        auto& bin = bins[period / width];
        bin.resize(devices);
        for (size_t d = 0; d < group.size() && d < devices; d++) bin[d].push_back(group[d]);
    }
    std::vector<std::vector<std::string>> lines(devices);  // each device's rows, bin by bin
    std::vector<std::string> inTimeOrder;
    for (auto& [bin, perDevice] : bins) {
        int first = bin * width;
        char start[32];
        snprintf(start, sizeof start, "%s-%.2s-%.2s %02d:%02d:%02d", date.substr(6, 4).c_str(),
                 date.c_str(), date.c_str() + 3, first / 180, first % 180 / 3, first % 3 * 20);
        for (size_t d = 0; d < devices; d++) {
            long periods = 0, observed = 0, volume = 0, scan = 0, sv = 0, v = 0;
            for (const tagELEMENTROW* r : perDevice[d]) {
                periods++;
                volume += r->volume;
                if (r->npds > 0) observed++, scan += r->scan;
                if (r->speedTenths > 0 && r->volume > 0)
                    sv += (long)r->speedTenths * r->volume, v += r->volume;
            }
            char occupancy[32] = "", speed[32] = "";
            if (observed)
                snprintf(occupancy, sizeof occupancy, "%.1f", (double)scan / (12.0 * observed));
            if (v) snprintf(speed, sizeof speed, "%.1f", (double)sv / (10.0 * v));
            std::string line = CsvField(perDevice[d].front()->name) + "," + start + "," +
                               std::to_string(periods) + "," + std::to_string(observed) + "," +
                               std::to_string(volume) + "," + occupancy + "," + speed + "\n";
            lines[d].push_back(line);
            inTimeOrder.push_back(line);
        }
    }
    std::string text = "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph\n";
    if (deviceFirst)
        for (auto& device : lines)
            for (auto& line : device) text += line;
    else
        for (auto& line : inTimeOrder) text += line;
    return text;
}

// Large reports compared without dumping them: the first differing line is enough.
void ExpectSameBytes(const std::string& got, const std::string& want, const std::string& label) {
    if (got == want) return;
    std::vector<std::string> a = Lines(got + "\n<end>"), b = Lines(want + "\n<end>");
    auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    ADD_FAILURE() << label << ", line " << at.first - a.begin() << "\n  written:    " << *at.first
                  << "\n  recomputed: " << *at.second;
}

// Runs the converter over the folder `in` with options, into out (log there too).
RunResult Convert(const TempDir& in, const TempDir& out, std::vector<std::string> options) {
    options.push_back("-I" + in.path), options.push_back("-O" + out.path);
    options.push_back("-F" + out.path);
    return RunKorva(options, out.path);
}

// Every summary of a run over the folder in (-E -S --aggregate=5,15,60, and -R when asked)
// against its recomputation from the element report of the same run. Returns the rows.
std::vector<tagELEMENTROW> CheckRun(const TempDir& in, bool deviceFirst) {
    TempDir out;
    std::vector<std::string> options = {"-E", "-S", "--aggregate=5,15,60"};
    if (deviceFirst) options.push_back("-R");
    RunResult r = Convert(in, out, options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string date;
    std::vector<tagELEMENTROW> rows =
        ParseElement(ReadFile(out / "KORVA20Sec_Element_S_05012021.csv"), &date);
    EXPECT_FALSE(rows.empty());
    for (int minutes : {5, 15, 60}) {
        std::string name = "KORVA" + std::to_string(minutes) + "Min_Element_S_05012021.csv";
        ExpectSameBytes(ReadFile(out / name), Recompute(rows, date, minutes, deviceFirst), name);
    }
    return rows;
}

bool Sample(const TempDir& in, const std::string& options) {
    std::string run = KORVA_SAMPLE_BIN + (" " + options + " -d 1 --faults " + in.path);
    return std::system((run + " >/dev/null").c_str()) == 0;
}

}  // namespace

// A whole day and a file of 1000 periods (the last bin of each width partial), every row of the
// three summaries as the element report's values give it. The sample holds what the rules are
// about: devices never observed, periods with a speed and no volume, with volume and no speed.
TEST(Summary, EveryRowRecomputedFromTheElementReport) {
    for (const char* sample : {"-n 30 -p 4320", "-n 30 -p 1000"}) {
        SCOPED_TRACE(sample);
        TempDir in;
        ASSERT_TRUE(Sample(in, sample));
        std::vector<tagELEMENTROW> rows = CheckRun(in, false);
        int unobserved = 0, speedNoVolume = 0, volumeNoSpeed = 0;
        for (const tagELEMENTROW& r : rows) {
            unobserved += r.npds == 0;
            speedNoVolume += r.speedTenths > 0 && r.volume == 0;
            volumeNoSpeed += r.speedTenths == 0 && r.volume > 0;
        }
        EXPECT_GT(unobserved, 0);
        EXPECT_GT(speedNoVolume, 0);
        EXPECT_GT(volumeNoSpeed, 0);
    }
}

// With -R each device's bins in time order, the devices in table order.
TEST(Summary, DeviceFirstWithR) {
    TempDir in;
    ASSERT_TRUE(Sample(in, "-n 12 -p 700"));
    CheckRun(in, true);
}

// Known sums over 7 periods in bins of 1 minute (3 periods; the last bin 1 period): a period
// with a speed and no volume and one with volume and no speed, a period without lanes (not
// observed, its scan count left out, its volume counted), a bin never observed.
TEST(Summary, BuiltFileGivesTheKnownSums) {
    TempDir in, out;
    const char loop[] = "118es11402:_MN___1", trap[] = "118es11402:_MN__T1";
    // LoopEntry(incident, lanes, scan, flag, volume); TrapEntry(speed tenths, ...).
    std::string lanes = LoopEntry(0, 1, 120, 0, 2) + LoopEntry(0, 1, 240, 0, 0) +
                        LoopEntry(0, 1, 0, 0, 4) + LoopEntry(0, 0, 50, 0, 3) +
                        LoopEntry(0, 1, 60, 0, 5) + LoopEntry(0, 1, 0, 0, 0) +
                        LoopEntry(0, 0, 0, 0, 0);
    std::string speeds;
    for (int speed : {600, 900, 300, 0, 0, 700, 0})
        speeds += TrapEntry(speed, 0, 0, 0, 0, 0, 0, 128);
    WriteFile(in / "KORVA20S_20210501.DAT",
              BuildDataFile({7, {{loop, DEVICE_LOOP, lanes}, {trap, DEVICE_SPEED_TRAP, speeds}}}));
    RunResult r = Convert(in, out, {"--aggregate=1,1"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ListDir(out.path).size(), 2u);  // the summary alone, and the log
    EXPECT_EQ(ReadFile(out / "KORVA1Min_Element_05012021.csv"),
              "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph\n"
              "118es11402:_MN___1,2021-05-01 00:00:00,3,3,6,10.0,40.0\n"
              "118es11402:_MN___1,2021-05-01 00:01:00,3,2,8,2.5,\n"
              "118es11402:_MN___1,2021-05-01 00:02:00,1,0,0,,\n");
    std::string log;
    for (const std::string& name : ListDir(out.path))
        if (name.rfind("CSVLog", 0) == 0) log = ReadFile(out / name);
    EXPECT_EQ(Count(log, "] - Writing 1 minute summary to CSV file [" + out.path +
                             "KORVA1Min_Element_05012021.csv]..."),
              1)
        << log;
}

// The name takes the element report's variant letter; -D lists the one device, -P does not
// narrow a summary.
TEST(Summary, VariantsAndChosenDevice) {
    TempDir in;
    ASSERT_TRUE(Sample(in, "-n 12 -p 400"));
    TempDir whole, period, device;
    ASSERT_EQ(Convert(in, whole, {"--aggregate=15"}).status, 0);
    ASSERT_EQ(Convert(in, period, {"--aggregate=15", "-P01:00:00"}).status, 0);
    std::string all = ReadFile(whole / "KORVA15Min_Element_05012021.csv");
    EXPECT_EQ(ReadFile(period / "KORVA15Min_Element_P_05012021.csv"), all);
    std::string name = Lines(all).at(1).substr(0, Lines(all)[1].find(','));
    ASSERT_EQ(Convert(in, device, {"--aggregate=15", "-D" + name}).status, 0);
    std::string chosen = ReadFile(device / "KORVA15Min_Element_D_05012021.csv");
    std::string want = "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph\n";
    for (const std::string& line : Lines(all))
        if (line.rfind(name + ",", 0) == 0) want += line + "\n";
    EXPECT_EQ(chosen, want);
    EXPECT_EQ(Count(chosen, "\n"), 1 + 9);  // 400 periods: 8 bins of 45 and one of 40
}

TEST(Summary, FileWithoutListedDevicesGivesTheHeaderOnly) {
    TempDir in, out;
    WriteFile(in / "T.DAT",
              BuildDataFile({90,
                             {{"0010WB0042:L0002T1", DEVICE_SPEED_TRAP,
                               Block(90, TrapEntry(650, 200, 1, 0, 0, 0, 0, 128))}}}));
    for (const char* order : {"-E", "-R"}) {
        ASSERT_EQ(Convert(in, out, {order, "--aggregate=15"}).status, 0);
        EXPECT_EQ(ReadFile(out / "KORVA15Min_Element_05012021.csv"),
                  "name,bin_start,periods,observed,volume,occupancy_pct,speed_mph\n");
    }
}

TEST(Summary, RefusedMinutesEndWithStatus1) {
    TempDir in;
    ASSERT_TRUE(Sample(in, "-n 2 -p 10"));
    for (const char* value : {"0", "7", "1441", "2880", "15,", ",15", "a", "15,x", ""}) {
        SCOPED_TRACE(value);
        TempDir out;
        RunResult r = Convert(in, out, {"-E", std::string("--aggregate=") + value});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.out, std::string("     E Illegal '--aggregate' value [") + value +
                                   "] -- divisors of 1440 minutes, as in 5,15,60!\n"))
            << r.out;
        EXPECT_TRUE(Has(r.out, "Option --aggregate=MINUTES[,MINUTES...]")) << r.out;
        for (const std::string& name : ListDir(out.path)) EXPECT_FALSE(Has(name, ".csv")) << name;
    }
}

// Cabinet joins and corridors on a built day: three corridors (mileposts rising and falling in
// table order, one of a single station), a station without traps, a station without a milepost,
// a nine-character cabinet and one the list lacks. Every corridor row is recomputed from the
// summary the same run wrote and from the list the test built; every join column is held
// against the list.
#include <algorithm>
#include <cmath>
#include <map>

#include "TestSupport.h"

using namespace korvatest;

namespace {

// A station of the day: its cabinet as the list gives it (listed false: not in the list), and
// the speed of its lanes' traps in tenths (0: no traps).
struct Site {
    std::string cabinet, roadway, side, milepost, location;
    int speed;
    bool listed = true;
};
const Site kSites[] = {
    {"005es00001", "I-5", "N", "1.00", "MAIN ST", 650},
    {"005es0002", "I-5", "N", "1.50", "ELM ST", 0},  // nine characters; no traps
    {"005es00003", "I-5", "N", "2.50", "RIVER RD", 280},
    {"118es00010", "US 118", "S", "10.00", "OAK AVE", 425},
    {"118es00011", "US 118", "S", "9.20", "PINE AVE", 550},  // no vehicles in bin 2
    {"118es00012", "US 118", "S", "8.00", "ASH AVE", 600},   // not reporting in bin 1
    {"118es00013", "US 118", "S", "", "NO POST", 500},
    {"099es00020", "SR 99", "E", "3.30", "ALONE", 600},
    {"777es00030", "", "", "", "", 600, false},
};
const int kColumns = 150;  // three bins of 15 minutes and a partial one

// The 18-character name of a device of site s: "<cabinet>:_MN__" and its kind and digit.
std::string Name(const Site& s, const char* end) {
    std::string cabinet = s.cabinet;
    cabinet.resize(10, ' ');
    return cabinet + ":_MN__" + end;
}

// The day: for each site a station of two lanes, each lane followed by its trap when the site
// has traps. Lanes count 1 to 13 vehicles a period, more at the later sites; site 4 counts none
// in periods 90 to 134; site 5 reports no lanes in periods 45 to 89, but vehicles all the same
// (not observed: they are no vehicle miles).
std::string Day() {
    DataFileLayout day{kColumns, {}};
    for (size_t i = 0; i < std::size(kSites); i++) {
        const Site& s = kSites[i];
        auto lanes = [i](int c) { return i == 5 && c >= 45 && c < 90 ? 0 : 1; };
        auto volume = [i](int c) {
            return i == 4 && c >= 90 && c < 135 ? 0 : 1 + (c * 7 + (int)i * 3) % (5 + (int)i);
        };
        day.devices.push_back({Name(s, "_0"), DEVICE_STATION, Block(kColumns, [&](int c) {
                                   return StationEntry(0, 2 * lanes(c), 60 * lanes(c), 0,
                                                       2 * volume(c));
                               })});
        for (const char* lane : {"1", "2"}) {
            day.devices.push_back({Name(s, std::string("_").append(lane).c_str()), DEVICE_LOOP,
                                   Block(kColumns, [&](int c) {
                                       return LoopEntry(0, lanes(c), 60 * lanes(c), 0, volume(c));
                                   })});
            if (s.speed)
                day.devices.push_back(
                    {Name(s, std::string("T").append(lane).c_str()), DEVICE_SPEED_TRAP,
                     Block(kColumns, TrapEntry(s.speed, 200, 1, 0, 0, 0, 0, 128))});
        }
    }
    return BuildDataFile(day);
}

std::string List() {
    std::string list = "Cabinet list - 05/01/2021\n";
    for (const Site& s : kSites)
        if (s.listed)
            list += CabinetLine({s.cabinet, "", "", s.roadway, s.side, s.milepost, s.location, "1",
                                 "8", "1", "2", "0", "ACTIVE"}) +
                    "\n";
    return list;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (char ch : line)
        if (ch == ',')
            fields.emplace_back();
        else
            fields.back() += ch;
    return fields;
}

// The rows of a report after its header, split at their commas.
std::vector<std::vector<std::string>> Rows(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : Lines(ReadFile(path))) rows.push_back(Fields(line));
    if (!rows.empty()) rows.erase(rows.begin());
    return rows;
}

// The site of a device: by the first ten characters of its name, blanks dropped.
const Site* SiteOf(const std::string& name) {
    std::string cabinet = name.substr(0, 10);
    cabinet.erase(cabinet.find_last_not_of(' ') + 1);
    for (const Site& s : kSites)
        if (s.cabinet == cabinet) return &s;
    return nullptr;
}

// The corridor rows recomputed from a summary's station rows and the list: a corridor is the
// listed stations of one roadway and side with a milepost, by milepost; each stands for half the
// way to each neighbour. Q volume, V speed, L length; a field left empty is "".
std::vector<std::vector<std::string>> Corridors(const std::vector<std::vector<std::string>>& sum) {
    std::map<std::pair<std::string, std::string>, std::vector<const Site*>> corridors;
    for (const Site& s : kSites)
        if (s.listed && !s.milepost.empty()) corridors[{s.roadway, s.side}].push_back(&s);
    std::vector<std::string> bins;
    for (const auto& r : sum)
        if (std::find(bins.begin(), bins.end(), r[1]) == bins.end()) bins.push_back(r[1]);
    std::vector<std::vector<std::string>> rows;
    for (auto& [key, sites] : corridors) {
        if (sites.size() < 2) continue;
        std::sort(sites.begin(), sites.end(), [](const Site* a, const Site* b) {
            return std::stod(a->milepost) < std::stod(b->milepost);
        });
        std::vector<double> length(sites.size(), 0);
        for (size_t k = 0; k + 1 < sites.size(); k++) {
            double half = (std::stod(sites[k + 1]->milepost) - std::stod(sites[k]->milepost)) / 2;
            length[k] += half, length[k + 1] += half;
        }
        for (const std::string& bin : bins) {
            double total = 0, covered = 0, vmt = 0, timed = 0, vht = 0, d35 = 0, d60 = 0, t = 0;
            bool all = true;
            for (size_t k = 0; k < sites.size(); k++) {
                const std::vector<std::string>* r = nullptr;
                for (const auto& row : sum)
                    if (row[1] == bin && row[0] == Name(*sites[k], "_0")) r = &row;
                double q = std::stod(r->at(4)), l = length[k];
                total += l;
                if (std::stoi(r->at(3)) > 0) vmt += q * l;
                if (r->at(6).empty()) {
                    all = false;
                    continue;
                }
                double hours = l / std::stod(r->at(6));
                covered += l, timed += q * l, vht += q * hours, t += hours;
                d35 += std::max(0.0, q * hours - q * l / 35);
                d60 += std::max(0.0, q * hours - q * l / 60);
            }
            auto text = [](double x) { return std::to_string(x); };
            rows.push_back({key.first, key.second, bin, std::to_string(sites.size()), text(total),
                            text(covered), text(vmt), text(vht), text(d35), text(d60),
                            vht > 0 ? text(timed / vht) : "", all ? text(60 * t) : "",
                            all ? text(60 * t / total) : ""});
        }
    }
    return rows;
}

// Whether a report's field holds the recomputed value rounded to the decimals it shows.
bool Rounded(const std::string& got, const std::string& want) {
    if (got.empty() || want.empty() || got.find('.') == std::string::npos) return got == want;
    size_t decimals = got.size() - got.find('.') - 1;
    return std::fabs(std::stod(got) - std::stod(want)) <=
           0.5 * std::pow(10.0, -(double)decimals) + 1e-9;
}

class Corridor : public KorvaTest {
protected:
    // Converts the day with the cabinet list `list` (a path) into the folder out; the status.
    int Run(const std::string& list, const TempDir& out) {
        WriteFile(dir / "D.DAT", Day());
        RunResult r =
            RunKorva({"--aggregate=15,60", "--health", "--corridors", "--strict",
                      "--cabinets=" + list, "-I" + dir.path, "-O" + out.path, "-F" + out.path},
                     dir.path);
        logged = ReadFile(out / ListDir(out.path).at(0));
        return r.status;
    }
    std::string logged;
};

}  // namespace

// Every corridor row of both widths as recomputed from the summary, in roadway, side and time
// order; a one-station corridor, a station without a milepost and one whose cabinet the list
// lacks give none; the stations without a milepost are warned once for the file.
TEST_F(Corridor, EveryRowIsTheSummaryOfItsStationsOverTheirMiles) {
    TempDir out;
    WriteFile(dir / "CAB.LST", List());
    ASSERT_EQ(Run(dir / "CAB.LST", out), 0) << logged;
    for (const char* width : {"15", "60"}) {
        std::vector<std::vector<std::string>> stations;
        for (const auto& r :
             Rows(out / ("KORVA" + std::string(width) + "Min_Element_05012021.csv")))
            if (r[7] == "station") stations.push_back(r);
        std::vector<std::vector<std::string>> got =
            Rows(out / ("KORVA" + std::string(width) + "Min_Corridor_05012021.csv"));
        std::vector<std::vector<std::string>> want = Corridors(stations);
        ASSERT_EQ(got.size(), want.size()) << width;
        EXPECT_EQ(got.size(), (width == std::string("15") ? 4u : 1u) * 2);
        for (size_t r = 0; r < got.size(); r++) {
            ASSERT_EQ(got[r].size(), 13u);
            for (size_t f = 0; f < 13; f++)
                EXPECT_TRUE(f < 4 ? got[r][f] == want[r][f] : Rounded(got[r][f], want[r][f]))
                    << width << " row " << r << " field " << f << ": " << got[r][f] << " not "
                    << want[r][f];
        }
    }
    EXPECT_EQ(Count(logged,
                    "] W [1] stations of data file [D.DAT] have no milepost in the "
                    "cabinet list; left out of the corridors.\n"),
              1)
        << logged;
}

// Every summary and health row carries its device's kind (summary) and its cabinet's roadway,
// side, milepost and location, empty for the cabinet the list lacks; a list that cannot be read
// or holds no date is an E line, and the day converts without joins and with header-only
// corridor reports.
TEST_F(Corridor, JoinsEveryRowToItsCabinetOrToNone) {
    const struct {
        std::string list;  // its bytes; none: no file
        bool read;
        std::string error;
    } cases[] = {
        {List(), true, ""},
        {"", false, "Could not open cabinet list ["},
        {"Cabinet list of May\n" + List().substr(List().find('\n') + 1), false,
         "No date [] in cabinet list ["},
    };
    for (const auto& c : cases) {
        TempDir run, out;
        if (!c.list.empty()) WriteFile(run / "CAB.LST", c.list);
        EXPECT_EQ(Run(run / "CAB.LST", out), c.read ? 0 : 5) << logged;
        if (!c.read) {
            EXPECT_TRUE(Has(logged, "] E " + c.error + run.path + "CAB.LST]")) << logged;
            EXPECT_EQ(Count(logged,
                            "] W No cabinet list (--cabinets) to find the corridors of "
                            "data file [D.DAT] by"),
                      1);
            EXPECT_EQ(Lines(ReadFile(out / "KORVA15Min_Corridor_05012021.csv")).size(), 1u);
        }
        size_t rows = 0;
        for (const char* report :
             {"KORVA15Min_Element_05012021.csv", "KORVA60Min_Element_05012021.csv",
              "KORVA20Sec_Health_05012021.csv"}) {
            bool summary = report[5] != '2';
            for (const auto& r : Rows(out / report)) {
                rows++;
                const Site* s = SiteOf(r[0]);
                ASSERT_TRUE(s) << r[0];
                bool joined = c.read && s->listed;
                std::vector<std::string> want = {joined ? s->roadway : "", joined ? s->side : "",
                                                 joined ? s->milepost : "",
                                                 joined ? s->location : ""};
                ASSERT_GE(r.size(), 4u);
                EXPECT_EQ(std::vector<std::string>(r.end() - 4, r.end()), want) << report << r[0];
                if (summary) {
                    EXPECT_EQ(r[7], r[0][17] == '0' ? "station" : "loop") << r[0];
                }
            }
        }
        EXPECT_GT(rows, 0u);
    }
}

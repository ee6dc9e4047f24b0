// Cabinet joins and corridors on a built day: three corridors (mileposts rising and falling in
// table order, one of a single station), a station without traps, a station without a milepost,
// a nine-character cabinet and one the list lacks. The digests were taken from reports whose every
// corridor row was recomputed from the summary the same run wrote and from the list the test
// built (each station half the way to each neighbour), and whose every join column was held
// against the list.
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
    {"050es00030", "", "", "", "", 600, false},  // sorts inside the list
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
    for (const Site& s : kSites) {
        if (!s.listed) continue;
        std::string line = CabinetLine({s.cabinet, "", "", s.roadway, s.side, s.milepost,
                                        s.location, "1", "8", "1", "2", "0", "ACTIVE"});
        // A list edited by hand may pad a nine-character cabinet with a TAB: it joins all the
        // same.
        if (s.cabinet.size() == 9) line[9] = '\t';
        list += line + "\n";
    }
    return list;
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

// Every summary, health and corridor row of both widths as the digest pins them (a corridor of
// three stations each way, the one-station corridor, the station without a milepost and the one
// whose cabinet the list lacks giving none); the stations without a milepost are warned once for
// the file. A list that cannot be read or holds no date is an E line, and the day converts
// without joins and with header-only corridor reports.
TEST_F(Corridor, RowsAreJoinedToTheirCabinetsAndSummedOverTheirMiles) {
    const struct {
        std::string list;  // its bytes; none: no file
        std::string error;
        uint64_t digest;
    } cases[] = {
        {List(), "", 0x1c293466d59aea68},
        {"", "Could not open cabinet list [", 0x185b5d46d7eb0bff},
        {"Cabinet list of May\n" + List().substr(List().find('\n') + 1),
         "No date [] in cabinet list [", 0x185b5d46d7eb0bff},
    };
    for (const auto& c : cases) {
        TempDir run, out;
        if (!c.list.empty()) WriteFile(run / "CAB.LST", c.list);
        EXPECT_EQ(Run(run / "CAB.LST", out), c.error.empty() ? 0 : 5) << logged;
        uint64_t digest = Digest("");
        for (const std::string& name : ListDir(out.path))
            if (name.starts_with("KORVA"))
                digest = Digest(ReadFile(out / name), Digest(name, digest));
        EXPECT_EQ(digest, c.digest) << c.error << std::hex << " " << digest;
        EXPECT_EQ(Count(logged, c.error.empty()
                                    ? "] W [1] stations of data file [D.DAT] have no milepost in "
                                      "the cabinet list; left out of the corridors.\n"
                                    : "] W No cabinet list (--cabinets) to find the corridors of "
                                      "data file [D.DAT] by"),
                  1)
            << logged;
        if (c.error.empty()) continue;
        EXPECT_TRUE(Has(logged, "] E " + c.error + run.path + "CAB.LST]")) << logged;
    }
}

// The reports as users keep and load them: every report of every mix of options pinned byte for
// byte by its digest, compressed reports that decompress to the plain ones, and failed writes.
#include "reports/Reports.h"

#include <gtest/gtest.h>
#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "TestSupport.h"

using namespace korvatest;

namespace {

const char kLoop[] = "118es11402:_MN___1", kStation[] = "118es11402:_MN___0",
           kSpeedLane[] = "118es11402:_MN__S1", kTrap[] = "118es11402:_MN__T1";

// The one gzip member (.gz) or zstd frame (.zst) a compressed report must be, decompressed; "!"
// for anything else (cut short, trailing bytes, a bad check).
std::string Decompressed(const std::string& name, const std::string& bytes) {
    std::string text;
    char chunk[1 << 16];
    if (name.ends_with(".gz")) {
        inflate_state s;
        isal_inflate_init(&s);
        s.crc_flag = ISAL_GZIP;
        s.next_in = (uint8_t*)bytes.data();
        s.avail_in = (uint32_t)bytes.size();
        while (s.block_state != ISAL_BLOCK_FINISH) {
            s.next_out = (uint8_t*)chunk, s.avail_out = sizeof chunk;
            if (isal_inflate(&s) != ISAL_DECOMP_OK) return "!";
            if (s.avail_out == sizeof chunk && s.block_state != ISAL_BLOCK_FINISH) return "!";
            text.append(chunk, sizeof chunk - s.avail_out);
        }
        return s.avail_in == 0 ? text : "!";
    }
    ZSTD_DCtx* z = ZSTD_createDCtx();
    ZSTD_inBuffer in = {bytes.data(), bytes.size(), 0};
    size_t left = 1;
    while (left != 0) {
        ZSTD_outBuffer out = {chunk, sizeof chunk, 0};
        left = ZSTD_decompressStream(z, &out, &in);
        if (ZSTD_isError(left) || (out.pos == 0 && in.pos == in.size)) break;
        text.append(chunk, out.pos);
    }
    ZSTD_freeDCtx(z);
    return left == 0 && in.pos == in.size ? text : "!";
}

// Four periods of what the samples never reach: all-ones entries (scan counts of 2047, the
// largest speeds, lengths and bins), two lanes of 68 vehicles at 102.3 mph summed into a
// station expecting them (sums past 16 bits, averaged) and into one of the same name expecting
// none (kept as sums), 19-character names, lanes and traps sharing one block each, and a
// block cut short by the end of the file.
DataFileLayout Extremes() {
    const std::string ones(3, '\xff'), slow = LoopEntry(1, 1, 3, 2, 1);
    const std::string station =
        StationEntry(1, 7, 1201, 1, 127) + StationEntry(0, 3, 3, 0, 5) + ones;
    const int64_t shared = 1024 + 27 * 9;  // the loop's block, then the trap's
    return {
        4,
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
         {"118es11402:_MN___9X", DEVICE_LOOP, slow + ones + "\x08\x01"}}};
}

// Links in unusual orders and shapes: a trap after its lanes; lane and speed lane names twice,
// before and after the scan ends; names whose zero byte comes before index 16 (each such trap is
// its own lane, and hands on what an earlier one wrote into it); a station that is a lane of
// another, summed after it or before it (and summing itself as its own lane), and that carries a
// trap; a station lane whose sums reach 1109 tenths (the fastest valid) and 1110.
std::vector<DataFileLayout> UnusualLinks() {
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
    return {
        {3, {loop, loop, speed, byPlace}},
        {3, {byPlace, loop, speed, loop, speed}},
        {3,
         {trap(cut + "T", 650, 200, 1),
          {"0010WB", DEVICE_LOOP, ""},
          trap(cut + "T", 600, 100, 2),
          trap(cut + "_", 700, 100, 3)}},
        {3, {outer, lane1, innerTrap, inner}},
        {3, {lane1, innerTrap, inner, outer}},
        // Lane 1 expects no lanes and sums itself and lane 2: 100 + 100 + 908 to 910 tenths.
        {3,
         {{"0010WB0042:STN0_T1", DEVICE_SPEED_TRAP,
           Block(3, TrapEntry(100, 200, 1, 0, 0, 0, 0, 128))},
          station(lane('1'), 0),
          {lane('2'), DEVICE_SPEED_TRAP,
           Block(3, [](int c) { return TrapEntry(908 + c, 100, 1, 0, 0, 0, 0, 128); })},
          station("0010WB0042:STN0000", 1)}},
    };
}

// The hand-made days, each of a date of its own so that their reports keep names of their own:
// the unusual links, the extremes (also under a short date, which pads), every kind of device the
// contents report weighs (a ramp-meter loop, metered lanes, a type no report knows), also with
// more names claimed than the table holds and with no periods, a name standard CSV must quote, a
// day of traps alone, a date with a '/' where report names take theirs; and the quoted list.
void WriteHandMadeDays(const std::string& in) {
    std::vector<DataFileLayout> days = UnusualLinks();
    days.push_back(Extremes());
    days.push_back(Extremes());
    days.back().start = "05-01-21";
    const std::string zero(3, '\0');
    days.push_back(
        {3,
         {{kLoop, DEVICE_LOOP, LoopEntry(0, 1, 0, 0, 0) + LoopEntry(0, 5, 0, 0, 0) + zero},
          {kSpeedLane, DEVICE_LOOP, LoopEntry(0, 2, 0, 0, 0) + zero + zero},
          {kStation, DEVICE_STATION, StationEntry(0, 3, 0, 0, 0) + zero + zero},
          {kTrap, DEVICE_SPEED_TRAP, Block(3, std::string(6, '\xff'))},
          {"118es11402:MMN__R1", DEVICE_METERED_LANE, Block(3, "\xff\xff")},
          {"118es11402:_MN__R2", DEVICE_LOOP, Block(3, LoopEntry(0, 1, 30, 0, 2))},
          {"118es11402:_MN___M", DEVICE_METERED_LANE, Block(3, "\x01\x02")},
          {"118es11402:_MN___U", 99, Block(3, zero)}}});
    days.push_back(days.back());
    days.back().names = 15;
    days.push_back(days.back());
    days.back().columns = 0;
    days.push_back({1, {{"0010W,\"042:L0002_1", DEVICE_LOOP, LoopEntry(0, 1, 12, 0, 3)}}});
    days.push_back({90,
                    {{"0010WB0042:L0002T1", DEVICE_SPEED_TRAP,
                      Block(90, TrapEntry(650, 200, 1, 0, 0, 0, 0, 128))}}});
    days.push_back({3, {{kLoop, DEVICE_LOOP, Block(3, LoopEntry(0, 1, 30, 0, 2))}}});
    days.back().start = "5/01/2021 00:00:00";
    for (size_t d = 0; d < days.size(); d++) {
        std::string start = "06/00/2021 00:00:00";  // June 1 on
        start[3] = (char)('0' + (d + 1) / 10), start[4] = (char)('0' + (d + 1) % 10);
        if (days[d].start == DataFileLayout{}.start) days[d].start = start;
        WriteFile(in + "D" + std::to_string(d) + ".DAT", BuildDataFile(days[d]));
    }
    // A cabinet list whose one cabinet has a comma in its name and a quote in its alias.
    WriteFile(in + "Q.LST", "Cabinet list - 12/06/2026\n" +
                                CabinetLine({"417es,2970", "A\"1", "12", "I-5", "N", "12.5", "Main",
                                             "2", "8", "4", "2", "0", "ON"}) +
                                "\n");
}

struct tagDIGESTS {
    uint64_t reports, messages;
    size_t packed;  // the bytes of the compressed reports
};

// The messages of a run less what changes from run to run: clock times, the date, processor
// seconds and the address of the log stream.
std::string Masked(std::string text) {
    for (const char* pattern :
         {R"(\[\d\d:\d\d:\d\d\])", R"(20\d\d\.\d\d\.\d\d\.)", R"(CSVLog\d\d-\d\d-\d\d)",
          R"(\[\+ \d+\.\d\])", R"(in \[\d+\.\d\] seconds)", "0x[0-9a-f]+"})
        text = std::regex_replace(text, std::regex(pattern), "#");
    return text;
}

// Runs the converter in root over the mix "<folder> <options>" as `-E -L -T -A -I<folder>/
// <options>`, writing and logging into the fresh folder out; digests every report by name and
// bytes (a compressed one decompressed, under its plain name), and the messages: console, errors
// and log, masked, their lines sorted (the files come in directory order).
tagDIGESTS RunMix(const std::string& root, const std::string& mix, const std::string& out) {
    std::istringstream words(mix);
    std::string folder;
    words >> folder;
    std::vector<std::string> args = {"-E",       "-L",      "-T", "-A", "-I" + folder + "/",
                                     "-O" + out, "-F" + out};
    for (std::string word; words >> word;) args.push_back(word);
    mkdir((root + out).c_str(), 0777);
    RunResult r = RunKorva(args, root);
    std::vector<std::string> lines = Lines(Masked(r.out + r.err));
    uint64_t reports = Digest(std::to_string(r.status));
    size_t packed = 0;
    for (std::string name : ListDir(root + out)) {
        std::string bytes = ReadFile(root + out + name);
        if (name.starts_with("CSVLog")) {
            for (const std::string& line : Lines(Masked(bytes))) lines.push_back(line);
            continue;
        }
        if (name.ends_with(".gz") || name.ends_with(".zst")) {
            packed += bytes.size();
            bytes = Decompressed(name, bytes);
            name.erase(name.rfind('.'));
        }
        reports = Digest(bytes, Digest(name + "\n", reports));
    }
    std::sort(lines.begin(), lines.end());
    std::string messages;
    for (const std::string& line : lines) messages += line + "\n";
    return {reports, Digest(messages), packed};
}

class Reports : public KorvaTest {};

}  // namespace

// Every report of every mix of options over the hand-made days and a sample day with its faults
// (in), and over a sample day of two blocks of periods and many report buffers (big, with -S),
// pinned by the digests of its reports and of its messages; a compressed report decompresses to
// the plain one. The digests were taken from reports held byte for byte against plain
// one-fprintf-per-row writers. After a deliberate change of the reports, the messages, the sample
// generator or the builders of TestSupport, check the new bytes (KORVA_DIGEST_DIR=<empty folder>
// keeps the inputs and each row's outputs, out<row>/, there: compare them with those of the earlier
// tree), then run this test with KORVA_UPDATE_DIGESTS=1, which prints the table anew.
TEST_F(Reports, EveryMixOfOptionsWritesThePinnedBytes) {
    const char* kept = getenv("KORVA_DIGEST_DIR");
    const std::string root = kept ? std::string(kept) + "/" : dir.path;
    const std::string sample = std::string(KORVA_SAMPLE_BIN) + " -d 1 -s 7 --faults ";
    ASSERT_EQ(system((sample + "-n 40 -p 200 " + root + "in >/dev/null").c_str()), 0);
    ASSERT_EQ(system((sample + "-n 300 -p 1500 " + root + "big >/dev/null").c_str()), 0);
    WriteHandMadeDays(root + "in/");
    const struct {
        const char* mix;
        uint64_t reports, messages;
    } mixes[] = {
        {"in --aggregate=5,60", 0x1e6e9901e9dad969, 0x11c7f7ac189c8bc5},
        {"in -S -R --aggregate=15", 0xfffd05d6f9c832a7, 0x2de4c52c7ef14bce},
        {"in -R -C", 0xc6d3ed189657c8db, 0xe24348943262bfe3},
        {"in -S -C --aggregate=1,1440,1", 0x7fc11ebd76f53c70, 0x654290982339724d},
        {"in -P00:30:40 --aggregate=15", 0x7ed4cf70bb8e3662, 0x0baa6d90b12d45c3},
        {"in -P00:00:10 -R", 0x607c4bdc8cd2fbd9, 0x5c0c2471a18eeb24},
        {"in -P23:60:00", 0x670099c536814ee5, 0xc22f859329b4668d},
        {"in -P07:3O:20", 0x670099c536814ee5, 0x99e3b9169b580452},
        {"in -D118es11402:_MN___2 -S -R --aggregate=15", 0x0a8b272f4e343108, 0x443642d10191ed98},
        {"in -D118es11402:_MN___0", 0x016ea4ad532df90c, 0x7f92d65501f38449},
        {"in -D118es11402:_MN__S1", 0xba207ce6b6f59659, 0x0757846b945c2ee8},
        {"in -D118es11402:_MN__T1 -R", 0xbf51fe537d5be7a6, 0x13088554fc99a4a4},
        {"in -D118es11402:_MN___9 -S", 0xafa34f6cae1dca71, 0x7af3bee1f27d1daa},
        {"in -D118ES11402:_MN___1", 0x368f9a25c64fc571, 0xe569ff8fc875a25d},
        {"in -P00:00:40 -D118es11402:_MN___1 --aggregate=15", 0x95f5faca74575bf8,
         0xae3c93ea0f8d2129},
        {"in -S -R -P00:00:20 --aggregate=15", 0x1c3b93fabd2be922, 0xdbdfdfa4b347d8f4},
        {"in --clean -S -C --aggregate=15", 0x6f181fd4e53509d3, 0xab6709cbde0c8515},
        {"in --clean -R", 0x99b08c232a81b5da, 0x9255e0d88ddebd8c},
        {"in -M", 0x4bf94bb5f91f2a9c, 0x85cf025f0f7cc2f5},
        {"in -M --clean", 0x062d3b7746ed787d, 0x28925082912f01f5},
        {"big -S --aggregate=15", 0x5ea7b5deca2ff6ce, 0xdae9668fb49bfdef},
        {"big -S --aggregate=15 --compress=gzip", 0x5ea7b5deca2ff6ce, 0x4788cddda8ab63e6},
        {"big -S --aggregate=15 --compress=zstd", 0x5ea7b5deca2ff6ce, 0xfbf54ec5352ad81e},
        {"in --aggregate=5,60 --compress=gzip:0", 0x1e6e9901e9dad969, 0x414665d196587c0b},
        {"in --aggregate=5,60 --compress=gzip:3", 0x1e6e9901e9dad969, 0x676361129a790f75},
        {"in -M --compress=zstd:19", 0x4bf94bb5f91f2a9c, 0x834d5e5f1a09c04a},
        {"in --aggregate=5,60 --compress=zstd:1", 0x1e6e9901e9dad969, 0x68ac0a3930fe7c40},
        {"in --aggregate=5,60 --compress=zstd:19", 0x1e6e9901e9dad969, 0x521c644a03fc5e78},
        {"in --aggregate=5,60 --compress=gzip", 0x1e6e9901e9dad969, 0x07492e310ceac7cd},
    };
    const bool update = getenv("KORVA_UPDATE_DIGESTS") != nullptr;
    std::map<std::string, uint64_t> plain, packed;  // by mix
    for (size_t m = 0; m < std::size(mixes); m++) {
        const std::string mix = mixes[m].mix;
        tagDIGESTS got = RunMix(root, mix, "out" + std::to_string(m) + "/");
        packed[mix] = got.packed;
        if (!kept) std::filesystem::remove_all(root + "out" + std::to_string(m));
        size_t option = mix.find(" --compress=");
        if (option == std::string::npos)
            plain[mix] = got.reports;
        else
            EXPECT_EQ(got.reports, plain[mix.substr(0, option)]) << mix << ": not the plain bytes";
        if (update) {
            printf("        {\"%s\", 0x%016llx, 0x%016llx},\n", mix.c_str(),
                   (unsigned long long)got.reports, (unsigned long long)got.messages);
            continue;
        }
        EXPECT_EQ(got.reports, mixes[m].reports) << mix << ": the reports changed";
        EXPECT_EQ(got.messages, mixes[m].messages) << mix << ": the messages changed";
    }
    // The level asked for is the level used: the higher level of each compressor packs the same
    // reports clearly smaller.
    EXPECT_LT(packed["in --aggregate=5,60 --compress=gzip:3"] * 10,
              packed["in --aggregate=5,60 --compress=gzip:0"] * 9);
    EXPECT_LT(packed["in --aggregate=5,60 --compress=gzip:3"],
              packed["in --aggregate=5,60 --compress=gzip"]);  // level 1
    EXPECT_LT(packed["in --aggregate=5,60 --compress=zstd:19"] * 10,
              packed["in --aggregate=5,60 --compress=zstd:1"] * 9);
}

// A report that cannot be written whole (a full disk: a file size limit) is an E line, its
// temporary file removed and an earlier report of its name intact, plain, compressed or Parquet;
// the run goes on with the next report.
TEST_F(Reports, FailedWriteKeepsTheEarlierReportAndLeavesNoTemporary) {
    TempDir in;
    std::string sample = KORVA_SAMPLE_BIN + (" -n 100 -p 720 -d 1 " + in.path) + " >/dev/null";
    ASSERT_EQ(system(sample.c_str()), 0);  // an element report of about 7 MB
    for (auto [option, ending] : {std::pair<std::string, std::string>{"", ".csv"},
                                  {"--compress=gzip", ".csv.gz"},
                                  {"--compress=zstd", ".csv.zst"},
                                  {"--parquet", ".parquet"}}) {
        TempDir out, logs;
        std::string element = "KORVA20Sec_Element_05012021" + ending;
        std::string contents = "KORVA20Sec_Content_05012021" + ending;
        WriteFile(out / element, "the earlier report\n");
        std::vector<std::string> args = {"-E", "-A", "-I" + in.path, "-O" + out.path,
                                         "-F" + logs.path};
        if (option != "") args.push_back(option);
        EXPECT_EQ(WithFileSizeLimit(64 * 1024, [&] { return RunKorva(args, in.path).status; }), 0);
        EXPECT_EQ(ReadFile(out / element), "the earlier report\n");
        EXPECT_EQ(ListDir(out.path), (std::vector<std::string>{contents, element}));
        std::string logged = ReadFile(logs / ListDir(logs.path).at(0));
        EXPECT_TRUE(Has(logged, "] E Could not write CSV file [" + out.path + element + "]! - " +
                                    strerror(EFBIG) + ".\n"))
            << logged;
    }
}

// In standard CSV a device name holding a comma, a quote, a carriage return or a line feed is one
// quoted field, its quotes doubled: a reader never splits it.
TEST_F(Reports, CleanQuotesNamesThatWouldSplitARow) {
    const std::string names[] = {"118es1140,:_MN___1", "118es1140\":_MN___1", "118es1140\r:_MN___1",
                                 "118es1140\n:_MN___1"};
    DataFileLayout day{1, {}};
    for (const std::string& name : names)
        day.devices.push_back({name, DEVICE_LOOP, LoopEntry(0, 1, 90, 0, 4)});
    ASSERT_EQ(Load(BuildDataFile(day)), 1);
    In(dir.path, dir.path).bClean = settings.bWRITEELEMENTS = 1;
    ASSERT_EQ(WriteReports(file, settings, "X.DAT", &log), 1);
    std::string report = ReadFile(dir / "KORVA20Sec_Element_05012021.csv");
    for (std::string name : names) {
        if (name.find('"') != std::string::npos) name.insert(name.find('"'), "\"");
        EXPECT_TRUE(Has(report, "\n\"" + name + "\",1,4,")) << report;
    }
}

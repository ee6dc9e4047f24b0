// korva-sample: writes a deterministic sample archive for korva2csv.
//
// The archive holds one twenty-second data file per day (ASCII header, 27-byte name table,
// bit-packed per-device blocks) and one fixed-column cabinet list. Field cabinets are laid out
// once per run; every day then gets its own traffic: a night lull, morning and evening peaks with
// bottleneck queues that spread upstream along a roadway and direction, lighter weekends, and the
// small irregularities real field data shows (idle traps, incidents, odd flags, devices of
// unknown type).

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kMaxPeriods = 4320;  // 20-second periods in a day
constexpr int kPeriodsPerHour = 180;
constexpr int kMaxLanes = 6;  // mainline lanes per cabinet (station lane digits 1..6)
constexpr int kMaxDevices = 20000;
constexpr int kMaxDays = 366;
constexpr int kNameEntrySize = 27;
constexpr int kNameFieldSize = 19;
constexpr int kHeaderBlock = 1024;
constexpr unsigned kFullScan = 1200;  // scans in a fully occupied period
constexpr size_t kIoBufferSize = size_t{1} << 22;

constexpr uint16_t kTypeLoop = 80;
constexpr uint16_t kTypeStation = 84;
constexpr uint16_t kTypeTrap = 88;
constexpr uint16_t kTypeMeter = 261;
constexpr uint16_t kUnknownTypes[] = {99, 82, 300};

const char kProgram[] = "korva-sample";

// ---------------------------------------------------------------------------------------------
// Random numbers

// splitmix64: small, fast, and fully determined by its 64-bit state.
struct Rng {
    uint64_t state;

    // Returns the next 64-bit value of the sequence.
    uint64_t next() {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Returns a uniform value in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Returns a uniform value in [lo, hi).
    double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }

    // Returns a uniform integer in [lo, hi]; requires lo <= hi.
    int range(int lo, int hi) {
        return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1));
    }

    // Returns true with probability p.
    bool chance(double p) { return uniform() < p; }

    // Returns noise with mean 0 and standard deviation about 1 (sum of three uniforms).
    double noise() { return (uniform() + uniform() + uniform() - 1.5) * 2.0; }

    // Returns a Poisson count for a small mean (below about 30), by multiplying uniforms.
    int poisson(double mean) {
        if (mean <= 0.0) return 0;
        const double limit = std::exp(-mean);
        double product = uniform();
        int count = 0;
        while (product > limit && count < 64) {
            product *= uniform();
            ++count;
        }
        return count;
    }
};

// Derives the seed of an independent stream from a base seed and a stream key.
uint64_t stream_seed(uint64_t base, uint64_t key) {
    Rng rng{base ^ (key * 0xD1B54A32D192ED03ULL)};
    rng.next();
    return rng.next();
}

// Clamps v into [lo, hi] and rounds it to the nearest whole number.
unsigned clamp_round(double v, double lo, double hi) {
    return static_cast<unsigned>(std::lround(std::clamp(v, lo, hi)));
}

// ---------------------------------------------------------------------------------------------
// Calendar

struct Date {
    int year;
    int month;
    int day;
};

// Days since 1970-01-01 of a proleptic Gregorian date.
long days_from_civil(Date d) {
    const int y = d.year - (d.month <= 2 ? 1 : 0);
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long mp = (d.month + 9) % 12;
    const long doy = (153 * mp + 2) / 5 + d.day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Date of a day count since 1970-01-01; inverse of days_from_civil.
Date civil_from_days(long z) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    return Date{year, month, day};
}

// True for Saturday and Sunday.
bool is_weekend(long days) {
    const long weekday = ((days % 7) + 7 + 4) % 7;  // 1970-01-01 was a Thursday; 0 = Sunday
    return weekday == 0 || weekday == 6;
}

// Formats a date as MM/DD/YYYY.
std::string us_date(Date d) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d.month, d.day, d.year);
    return buf;
}

// Formats a date as YYYYMMDD, for file names.
std::string compact_date(Date d) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", d.year, d.month, d.day);
    return buf;
}

// Parses MM/DD/YYYY (years 1970..9000) into *out; false if malformed or not a real date.
bool parse_date(const char* text, Date* out) {
    if (std::strlen(text) != 10 || text[2] != '/' || text[5] != '/') return false;
    for (int i : {0, 1, 3, 4, 6, 7, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    Date d{std::atoi(text + 6), std::atoi(text), std::atoi(text + 3)};
    if (d.year < 1970 || d.year > 9000 || d.month < 1 || d.month > 12 || d.day < 1) return false;
    if (civil_from_days(days_from_civil(d)).day != d.day) return false;  // e.g. 02/30
    *out = d;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Command line

struct Options {
    int devices = 120;
    int periods = kMaxPeriods;
    int days = 2;
    uint64_t seed = 1;
    Date first{2021, 5, 1};
    bool faults = false;
    std::string outdir;
};

// Prints the usage text to `to`.
void print_usage(FILE* to) {
    std::fprintf(
        to,
        "usage: %s [-n DEVICES] [-p PERIODS] [-d DAYS] [-s SEED] [-D MM/DD/YYYY] [--faults] "
        "OUTDIR\n"
        "Writes a sample archive: daily data files KORVA20S_YYYYMMDD.DAT and the cabinet\n"
        "list CABINETS_YYYYMMDD.LST of the first day.\n"
        "  -n DEVICES   devices per data file, 1..%d (default 120)\n"
        "  -p PERIODS   20-second periods per day, 0..%d (default %d)\n"
        "  -d DAYS      daily data files on consecutive dates, 0..%d (default 2)\n"
        "  -s SEED      seed of the generator, 0..2^64-1 (default 1)\n"
        "  -D DATE      first day as MM/DD/YYYY (default 05/01/2021)\n"
        "  --faults     add a few scan counts above %u, some silent devices and an outage\n"
        "  -h, --help   print this text\n"
        "OUTDIR is created if missing (one level).\n",
        kProgram, kMaxDevices, kMaxPeriods, kMaxPeriods, kMaxDays, kFullScan);
}

// Parses a whole decimal number in [lo, hi]; false on anything else.
bool parse_int(const char* text, long lo, long hi, int* out) {
    if (*text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

// Parses a whole unsigned 64-bit decimal number; false on anything else.
bool parse_seed(const char* text, uint64_t* out) {
    if (*text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

enum class ParseResult { kRun, kHelp, kError };

// Reads argv into *opt. Values may follow their option letter directly (-n20) or as the next
// argument (-n 20). Prints a message for every error.
ParseResult parse_args(int argc, char** argv, Options* opt) {
    bool have_outdir = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            return ParseResult::kHelp;
        }
        if (std::strcmp(arg, "--faults") == 0) {
            opt->faults = true;
            continue;
        }
        if (arg[0] != '-' || arg[1] == '\0') {
            if (have_outdir) {
                std::fprintf(stderr, "%s: more than one output folder given ('%s')\n", kProgram,
                             arg);
                return ParseResult::kError;
            }
            opt->outdir = arg;
            have_outdir = true;
            continue;
        }
        const char letter = arg[1];
        if (std::strchr("npdsD", letter) == nullptr) {
            std::fprintf(stderr, "%s: unknown option '%s'\n", kProgram, arg);
            return ParseResult::kError;
        }
        const char* value = arg[2] != '\0' ? arg + 2 : (i + 1 < argc ? argv[++i] : nullptr);
        if (value == nullptr) {
            std::fprintf(stderr, "%s: option -%c needs a value\n", kProgram, letter);
            return ParseResult::kError;
        }
        bool good = false;
        switch (letter) {
            case 'n':
                good = parse_int(value, 1, kMaxDevices, &opt->devices);
                break;
            case 'p':
                good = parse_int(value, 0, kMaxPeriods, &opt->periods);
                break;
            case 'd':
                good = parse_int(value, 0, kMaxDays, &opt->days);
                break;
            case 's':
                good = parse_seed(value, &opt->seed);
                break;
            default:
                good = parse_date(value, &opt->first);
                break;
        }
        if (!good) {
            std::fprintf(stderr, "%s: bad value '%s' for option -%c\n", kProgram, value, letter);
            return ParseResult::kError;
        }
    }
    if (!have_outdir) {
        std::fprintf(stderr, "%s: no output folder given\n", kProgram);
        return ParseResult::kError;
    }
    return ParseResult::kRun;
}

// ---------------------------------------------------------------------------------------------
// Cabinet and device layout

// Roadways the sample cabinets stand on: the cabinet name starts with the route number.
struct Route {
    const char* number;   // three digits
    const char* roadway;  // at most 11 characters
    bool north_south;     // travel axis
};

constexpr Route kRoutes[] = {
    {"017", "I-17", true},   {"217", "I-217", false}, {"417", "I-417", false},
    {"023", "TH 23", true},  {"048", "TH 48", false}, {"118", "US 118", true},
    {"012", "CR 12", false}, {"061", "TH 61", true},  {"305", "I-305", false},
};
constexpr int kRouteCount = static_cast<int>(sizeof kRoutes / sizeof kRoutes[0]);

const char* const kStreets[] = {"MAIN ST",  "OAK AVE",  "ELM ST",    "LAKE RD",
                                "MILL RD",  "PARK AVE", "RIVER RD",  "CEDAR LN",
                                "12TH ST",  "HILL ST",  "BIRCH AVE", "SUMMIT AVE",
                                "COUNTY 9", "FERRY ST", "QUARRY RD", "STATION AVE"};
constexpr int kStreetCount = static_cast<int>(sizeof kStreets / sizeof kStreets[0]);

// What a device stands for; decides its type, name and traffic.
enum class Kind : uint8_t {
    kStation,      // sum of the mainline lanes
    kLane,         // mainline loop, lane digit 1..6
    kSpeedLane,    // second loop of a trap lane
    kTrap,         // speed trap over a lane
    kVariant,      // extra loop of a lane, 'M' in front of the direction
    kRampLoop,     // on-ramp loop
    kMeter,        // ramp meter lane
    kBypassMeter,  // ramp meter of the bypass lane
    kUnknown,      // device of a type the archive does not describe
};

struct Device {
    char name[kNameFieldSize + 1];
    uint16_t type;
    Kind kind;
    uint8_t lane;  // lane digit for lanes, speed lanes, traps and variants; else 0
    uint32_t cabinet;
};

// Features that vary from cabinet to cabinet; some are forced onto one cabinet each so that
// even a small sample shows them.
enum Feature : uint32_t {
    kRamp = 1u << 0,
    kVariantFirst = 1u << 1,  // lane variant stands before the trap's speed lane
    kVariantLast = 1u << 2,   // lane variant stands after it
    kUnknownDevice = 1u << 3,
    kBypass = 1u << 4,
    kPlain = 1u << 5,  // loops and station only; listed as a short line
    kStationAfter = 1u << 6,
    kShortName = 1u << 7,  // nine-character cabinet name and a blank
    kCommaAlias = 1u << 8,
    kCommaLocation = 1u << 9,
    kBlankSide = 1u << 10,
    kBlankNumber = 1u << 11,
    kTrailingNote = 1u << 12,
    kBlankLineAfter = 1u << 13,
    kCommentAfter = 1u << 14,
};
constexpr uint32_t kDataFeatures = kRamp | kVariantFirst | kVariantLast | kUnknownDevice | kBypass;

struct Cabinet {
    char name[11];
    int route;
    char direction;  // N, S, E or W
    int lanes;
    uint32_t features;
    size_t first_device;
    size_t device_count;
    // Listed counts of what the data holds for this cabinet.
    int loops, stations, traps, meters;
    // Fixed traffic character of the place.
    double capacity[kMaxLanes];     // vehicles per lane and period at full demand
    double free_speed[kMaxLanes];   // tenths of a mile per hour
    double heavy_share[kMaxLanes];  // share of vehicles longer than 20 feet
    double am_weight, pm_weight, ramp_capacity;
    int meter_windows[4];  // metering periods: morning start/end, evening start/end
    // Inventory fields.
    double milepost;
    int number, address, version, street;
};

struct Layout {
    std::vector<Cabinet> cabinets;
    std::vector<Device> devices;
};

// Writes the last `width` decimal digits of value into dst, with leading zeros.
void put_digits(char* dst, int width, unsigned value) {
    for (int i = width - 1; i >= 0; --i) {
        dst[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// Appends a device named cabinet ':' mark pair[0] pair[1] '_' c15 c16 c17 (18 characters).
void add_device(Layout* layout, const Cabinet& cab, Kind kind, uint16_t type, char mark,
                const char* pair, char c15, char c16, char c17, int lane) {
    Device dev{};
    std::snprintf(dev.name, sizeof dev.name, "%.10s:%c%c%c_%c%c%c", cab.name, mark, pair[0],
                  pair[1], c15, c16, c17);
    dev.type = type;
    dev.kind = kind;
    dev.lane = static_cast<uint8_t>(lane);
    dev.cabinet = static_cast<uint32_t>(layout->cabinets.size());
    layout->devices.push_back(dev);
}

// Adds the devices of one cabinet in table order: station and mainline loops (station first or
// last, loops in rising digit order), then per trap lane its speed lane, trap and perhaps a lane
// variant, then the ramp, and perhaps a device of unknown type somewhere in between.
void add_cabinet_devices(Layout* layout, Cabinet* cab, Rng& rng) {
    const size_t start = layout->devices.size();
    const char digits[] = "0123456789";
    const char pair[3] = {'M', cab->direction, '\0'};
    const bool plain = (cab->features & kPlain) != 0;
    if ((cab->features & kStationAfter) == 0) {
        add_device(layout, *cab, Kind::kStation, kTypeStation, '_', pair, '_', '_', '0', 0);
    }
    for (int k = 1; k <= cab->lanes; ++k) {
        add_device(layout, *cab, Kind::kLane, kTypeLoop, '_', pair, '_', '_', digits[k], k);
    }
    if ((cab->features & kStationAfter) != 0) {
        add_device(layout, *cab, Kind::kStation, kTypeStation, '_', pair, '_', '_', '0', 0);
    }
    for (int k = 1; k <= cab->lanes && !plain; ++k) {
        const bool forced_first = k == 1 && (cab->features & kVariantFirst) != 0;
        const bool forced_last = k == 1 && (cab->features & kVariantLast) != 0 && !forced_first;
        const bool trap = forced_first || forced_last || rng.chance(0.8);
        const bool variant = forced_first || forced_last || rng.chance(0.05);
        const bool variant_first = forced_first || (!forced_last && rng.chance(0.5));
        if (!trap) {
            if (variant) {
                add_device(layout, *cab, Kind::kVariant, kTypeLoop, 'M', pair, '_', '_', digits[k],
                           k);
            }
            continue;
        }
        const bool trap_first = rng.chance(0.5);
        if (variant && variant_first) {
            add_device(layout, *cab, Kind::kVariant, kTypeLoop, 'M', pair, '_', '_', digits[k], k);
        }
        if (trap_first) {
            add_device(layout, *cab, Kind::kTrap, kTypeTrap, '_', pair, '_', 'T', digits[k], k);
        }
        add_device(layout, *cab, Kind::kSpeedLane, kTypeLoop, '_', pair, '_', 'S', digits[k], k);
        if (variant && !variant_first) {
            add_device(layout, *cab, Kind::kVariant, kTypeLoop, 'M', pair, '_', '_', digits[k], k);
        }
        if (!trap_first) {
            add_device(layout, *cab, Kind::kTrap, kTypeTrap, '_', pair, '_', 'T', digits[k], k);
        }
    }
    if ((cab->features & kRamp) != 0) {
        add_device(layout, *cab, Kind::kRampLoop, kTypeLoop, '_', "ON", '_', 'R', '1', 0);
        add_device(layout, *cab, Kind::kMeter, kTypeMeter, '_', pair, '_', 'R', '1', 0);
        if ((cab->features & kBypass) != 0) {
            add_device(layout, *cab, Kind::kBypassMeter, kTypeMeter, '_', pair, '_', 'H', '1', 0);
        }
    }
    if ((cab->features & kUnknownDevice) != 0) {
        const uint16_t type = kUnknownTypes[rng.range(0, 2)];
        add_device(layout, *cab, Kind::kUnknown, type, '_', pair, '_', 'X', '1', 0);
        const size_t count = layout->devices.size() - start;
        const size_t at = start + static_cast<size_t>(rng.range(0, static_cast<int>(count) - 1));
        std::rotate(layout->devices.begin() + static_cast<long>(at), layout->devices.end() - 1,
                    layout->devices.end());
    }
}

// Counts the cabinet's devices by type, as the cabinet list reports them.
void count_cabinet_devices(const Layout& layout, Cabinet* cab) {
    cab->loops = cab->stations = cab->traps = cab->meters = 0;
    for (size_t i = cab->first_device; i < cab->first_device + cab->device_count; ++i) {
        switch (layout.devices[i].type) {
            case kTypeLoop:
                ++cab->loops;
                break;
            case kTypeStation:
                ++cab->stations;
                break;
            case kTypeTrap:
                ++cab->traps;
                break;
            case kTypeMeter:
                ++cab->meters;
                break;
            default:
                break;
        }
    }
}

// Picks the features forced onto cabinets so that a sample of a few dozen cabinets shows each of
// them: each lands on one of the first `slots` cabinets, and the loop-only cabinet gets a cabinet
// of its own (it cannot carry traps or a ramp). Too few slots force nothing; the first cabinet
// never gets the short name, so the first devices keep the usual naming.
std::vector<uint32_t> forced_features(int slots, Rng& rng) {
    std::vector<uint32_t> forced(static_cast<size_t>(std::max(slots, 0)), 0);
    if (slots < 3) return forced;
    const int plain_slot = rng.range(0, slots - 1);
    forced[static_cast<size_t>(plain_slot)] |= kPlain;
    for (uint32_t bit = 1; bit <= kCommentAfter; bit <<= 1) {
        if (bit == kPlain) continue;
        int slot = rng.range(bit == kShortName ? 1 : 0, slots - 1);
        if ((bit & kDataFeatures) != 0 && slot == plain_slot) slot = (slot + 1) % slots;
        forced[static_cast<size_t>(slot)] |= bit;
    }
    return forced;
}

// Builds whole cabinets until the device count reaches opt.devices; the last cabinet is cut so
// the count is exact. Deterministic in the seed; independent of periods, days and faults.
Layout build_layout(const Options& opt) {
    Layout layout;
    Rng rng{stream_seed(opt.seed, 0x4C41594F5554ULL)};
    const int slots = opt.devices / 16;
    const std::vector<uint32_t> forced = forced_features(slots, rng);
    // Cabinet numbers rise by at most 12, and a cabinet has at least 3 devices, so 20000 devices
    // stay below 15000 + 12 * 6667 < 100000: five digits always suffice.
    int number = rng.range(10000, 14999);
    int route = rng.range(0, kRouteCount - 1);
    int left_on_route = rng.range(4, 25);
    double mileposts[kRouteCount];
    for (double& mp : mileposts) mp = rng.between(0.0, 40.0);
    const size_t target = static_cast<size_t>(opt.devices);

    while (layout.devices.size() < target) {
        Cabinet cab{};
        const size_t index = layout.cabinets.size();
        if (left_on_route-- == 0) {
            route = (route + rng.range(1, kRouteCount - 1)) % kRouteCount;
            left_on_route = rng.range(4, 25);
        }
        cab.route = route;
        const bool ns = kRoutes[route].north_south;
        cab.direction = rng.chance(0.5) ? (ns ? 'N' : 'E') : (ns ? 'S' : 'W');
        number += rng.range(1, 12);
        uint32_t features = index < forced.size() ? forced[index] : 0;
        if (rng.chance(0.04)) features |= kPlain;
        if ((features & kDataFeatures) != 0) features &= ~kPlain;
        if (rng.chance(0.3)) features |= kRamp;
        if ((features & kRamp) != 0 && rng.chance(0.15)) features |= kBypass;
        if ((features & kBypass) != 0) features |= kRamp;
        if (rng.chance(0.05)) features |= kUnknownDevice;
        if ((features & kPlain) != 0) features &= ~(kRamp | kBypass | kUnknownDevice);
        if (rng.chance(0.4)) features |= kStationAfter;
        const struct {
            uint32_t bit;
            double p;
        } listed[] = {{kCommaAlias, 0.03},  {kCommaLocation, 0.05}, {kBlankSide, 0.03},
                      {kBlankNumber, 0.05}, {kTrailingNote, 0.1},   {kBlankLineAfter, 0.02},
                      {kCommentAfter, 0.02}};
        for (const auto& l : listed) {
            if (rng.chance(l.p)) features |= l.bit;
        }
        cab.features = features;
        // Route number, "es", then five digits, or four digits and a blank for the short name.
        std::memcpy(cab.name, kRoutes[route].number, 3);
        std::memcpy(cab.name + 3, "es", 2);
        if ((features & kShortName) != 0) {
            put_digits(cab.name + 5, 4, static_cast<unsigned>(1000 + number % 9000));
            cab.name[9] = ' ';
        } else {
            put_digits(cab.name + 5, 5, static_cast<unsigned>(number));
        }
        cab.name[10] = '\0';
        cab.lanes = rng.range(2, kMaxLanes);
        cab.am_weight = rng.between(0.6, 1.2);
        cab.pm_weight = rng.between(0.6, 1.2);
        cab.ramp_capacity = rng.between(1.5, 4.5);
        for (int k = 0; k < cab.lanes; ++k) {
            const bool inner = k == 0;
            const bool outer = k == cab.lanes - 1;
            cab.capacity[k] = rng.between(8.5, 10.5) * (inner ? 1.05 : outer ? 0.85 : 1.0);
            cab.free_speed[k] = rng.between(640.0, 675.0) + (inner ? 20.0 : outer ? -20.0 : 0.0);
            cab.heavy_share[k] =
                0.04 + 0.10 * k / std::max(1, cab.lanes - 1) + rng.between(0.0, 0.04);
        }
        cab.meter_windows[0] = static_cast<int>(rng.between(6.0, 6.5) * kPeriodsPerHour);
        cab.meter_windows[1] = static_cast<int>(rng.between(8.8, 9.5) * kPeriodsPerHour);
        cab.meter_windows[2] = static_cast<int>(rng.between(15.0, 15.7) * kPeriodsPerHour);
        cab.meter_windows[3] = static_cast<int>(rng.between(18.3, 19.0) * kPeriodsPerHour);
        mileposts[route] += rng.between(0.3, 1.2);
        if (mileposts[route] > 990.0) mileposts[route] = rng.between(0.0, 10.0);
        cab.milepost = mileposts[route];
        cab.number = rng.range(1000000, 9999999);
        cab.address = rng.range(1, 9999);
        cab.version = rng.chance(0.7) ? rng.range(2, 3) : 12;
        cab.street = rng.range(0, kStreetCount - 1);

        cab.first_device = layout.devices.size();
        add_cabinet_devices(&layout, &cab, rng);
        if (layout.devices.size() > target) layout.devices.resize(target);
        cab.device_count = layout.devices.size() - cab.first_device;
        count_cabinet_devices(layout, &cab);
        layout.cabinets.push_back(cab);
    }
    return layout;
}

// ---------------------------------------------------------------------------------------------
// Output files

// Buffered output file that remembers its first failure; writes after a failure do nothing.
class Output {
public:
    // Opens `path` for binary writing with a large buffer; check ok() afterwards.
    explicit Output(std::string path) : path_(std::move(path)), buffer_(kIoBufferSize) {
        file_ = std::fopen(path_.c_str(), "wb");
        if (file_ == nullptr) {
            error_ = errno;
            return;
        }
        if (std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size()) != 0) error_ = EIO;
    }

    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Closes the file if close() was not called; the result is lost, so callers use close().
    ~Output() {
        if (file_ != nullptr) std::fclose(file_);
    }

    // True while every operation so far succeeded.
    bool ok() const { return error_ == 0; }

    // Writes n bytes, remembering the error of a short write.
    void write(const void* data, size_t n) {
        if (error_ != 0 || n == 0) return;
        errno = 0;
        if (std::fwrite(data, 1, n, file_) != n) error_ = errno != 0 ? errno : EIO;
    }

    // Flushes and closes; true if everything since the open succeeded. On failure the partly
    // written file is removed and a message naming it goes to stderr.
    bool close() {
        if (file_ != nullptr) {
            errno = 0;
            if (std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
            file_ = nullptr;
        }
        if (error_ == 0) return true;
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, path_.c_str(),
                     std::strerror(error_));
        std::remove(path_.c_str());
        return false;
    }

private:
    std::string path_;
    std::vector<char> buffer_;
    FILE* file_ = nullptr;
    int error_ = 0;
};

// Joins folder and file name with one '/'.
std::string join_path(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// Creates the output folder (one level) unless it exists as a folder; false with a message.
bool make_outdir(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    std::fprintf(stderr, "%s: cannot create folder %s: %s\n", kProgram, path.c_str(),
                 err == EEXIST ? "exists and is not a folder" : std::strerror(err));
    return false;
}

// ---------------------------------------------------------------------------------------------
// Cabinet list

// Writes text into line at column col within width characters, left or right aligned; text
// longer than the field is cut so that it never runs into the next column.
void put_field(std::string* line, size_t col, size_t width, const std::string& text,
               bool right = false) {
    const size_t n = std::min(width, text.size());
    const size_t at = right ? col + width - n : col;
    line->replace(at, n, text, 0, n);
}

// Location text of a cabinet: a cross street, with a comma for some cabinets (the converter
// turns commas of cleaned fields into '-'); at most 16 characters.
std::string location_text(const Cabinet& cab) {
    const std::string street = kStreets[cab.street];
    const char side = cab.direction == 'N' || cab.direction == 'S' ? 'E' : 'N';
    std::string text;
    if ((cab.features & kCommaLocation) != 0) {
        text = street + ", " + side;
    } else {
        switch (cab.number % 3) {
            case 0:
                text = "AT " + street;
                break;
            case 1:
                text = std::string(1, side) + " OF " + street;
                break;
            default:
                text = street;
                break;
        }
    }
    return text.size() <= 16 ? text : street;
}

// Renders one cabinet line in the list's fixed columns, without its line feed.
std::string cabinet_line(const Cabinet& cab, Rng& rng) {
    static const char* const kStatus[] = {"ACTIVE", "DEGRADED", "REPAIR", "TEMPORARY", "NEW"};
    static const char* const kNotes[] = {" # loops recut 2019", " # shares controller with ramp",
                                         " # verify milepost", " # detector 2 intermittent"};
    char buf[32];
    std::string line(97, ' ');
    put_field(&line, 0, 10, cab.name);
    if ((cab.features & kCommaAlias) != 0) {
        std::snprintf(buf, sizeof buf, "%d,%d", cab.number % 90 + 10, cab.number % 90 + 11);
        put_field(&line, 12, 6, buf);  // a blank before it: the converter trims the field
    } else {
        std::snprintf(buf, sizeof buf, "%s%d", (cab.features & kRamp) != 0 ? "RM" : "S",
                      cab.number % 9000 + 100);
        put_field(&line, 11, 7, buf);
    }
    if ((cab.features & kBlankNumber) == 0) {
        put_field(&line, 19, 7, std::to_string(cab.number), true);
    }
    if (!rng.chance(0.03)) {
        std::snprintf(buf, sizeof buf, "%04d", cab.address);
        put_field(&line, 27, 4, buf);
    }
    put_field(&line, 32, 11, kRoutes[cab.route].roadway);
    line[44] = (cab.features & kBlankSide) != 0 ? ' ' : cab.direction;
    std::snprintf(buf, sizeof buf, "%.2f", cab.milepost);
    put_field(&line, 46, 6, buf, true);
    put_field(&line, 54, 16, location_text(cab));
    put_field(&line, 71, 3, std::to_string(cab.version), true);
    put_field(&line, 75, 3, std::to_string(cab.loops), true);
    put_field(&line, 79, 2, std::to_string(cab.stations), true);
    const bool plain = (cab.features & kPlain) != 0 && cab.traps == 0 && cab.meters == 0;
    if (plain) {
        line.resize(81);  // older entries end after the station count
        return line;
    }
    put_field(&line, 82, 2, std::to_string(cab.traps), true);
    if (cab.meters != 0 || rng.chance(0.5)) {  // no meters is often left blank
        put_field(&line, 85, 2, std::to_string(cab.meters), true);
    }
    const double u = rng.uniform();
    const int status = u < 0.85 ? 0 : u < 0.91 ? 1 : u < 0.95 ? 2 : u < 0.98 ? 3 : 4;
    put_field(&line, 88, 9, kStatus[status]);
    if ((cab.features & kTrailingNote) != 0) line += kNotes[rng.range(0, 3)];
    return line;
}

// Writes the cabinet list: a title line whose only '-' leads to the list date, a column header
// and a rule, then one line per cabinet with now and then a blank line or a comment.
bool write_cabinet_list(const std::string& path, const Layout& layout, const Options& opt) {
    Rng rng{stream_seed(opt.seed, 0x4C495354ULL)};
    std::string text = "CABINET INVENTORY LIST - " + us_date(opt.first) + "\n";
    std::string head(97, ' ');
    std::string rule(97, ' ');
    const struct {
        size_t col, width;
        const char* title;
    } columns[] = {{0, 10, "CABINET"},  {11, 7, "ALIAS"}, {19, 7, "NUMBER"}, {27, 4, "ADDR"},
                   {32, 11, "ROADWAY"}, {44, 1, "D"},     {46, 6, "MILEPT"}, {54, 16, "LOCATION"},
                   {71, 3, "VER"},      {75, 3, "LPS"},   {79, 2, "ST"},     {82, 2, "TR"},
                   {85, 2, "ML"},       {88, 9, "STATUS"}};
    for (const auto& c : columns) {
        put_field(&head, c.col, c.width, c.title);
        put_field(&rule, c.col, c.width, std::string(c.width, '-'));
    }
    text += head + "\n" + rule + "\n";
    for (const Cabinet& cab : layout.cabinets) {
        text += cabinet_line(cab, rng) + "\n";
        if ((cab.features & kBlankLineAfter) != 0) text += "\n";
        if ((cab.features & kCommentAfter) != 0) {
            text += "*** " + std::string(kRoutes[cab.route].roadway) +
                    " cabinets below resurveyed " + us_date(opt.first) + "\n";
        }
    }
    Output out(path);
    out.write(text.data(), text.size());
    if (!out.close()) return false;
    std::printf("wrote %s (%zu cabinet%s, %zu bytes)\n", path.c_str(), layout.cabinets.size(),
                layout.cabinets.size() == 1 ? "" : "s", text.size());
    return true;
}

// ---------------------------------------------------------------------------------------------
// Traffic

// One mainline lane over a day: what its loops see and its trap measures, per period.
struct LaneDay {
    std::vector<uint8_t> volume, incident, flag, bin1, bin2, bin3, bin4;
    std::vector<uint16_t> scan, speed, length;
};

// One cabinet over a day.
struct CabinetDay {
    LaneDay lane[kMaxLanes];
    std::vector<uint8_t> ramp_volume, meter_rate, meter_mode, meter_queue;
    std::vector<uint16_t> ramp_scan;
};

// What all cabinets share on one day.
struct DayContext {
    Date date;
    long index;  // 0 for the first day of the run
    bool weekend;
    bool faults;
    int periods;
    uint64_t seed;
};

// A congested stretch of a day: severity ramps up and down over `ramp` periods.
struct Episode {
    int start, end, ramp;
    double severity;
    int incident_start, incident_end;
    uint8_t incident_code;
};

// Sizes every per-period series of the cabinet day to `periods` entries.
void size_cabinet_day(CabinetDay* day, int periods) {
    const size_t n = static_cast<size_t>(periods);
    for (LaneDay& l : day->lane) {
        for (auto* v : {&l.volume, &l.incident, &l.flag, &l.bin1, &l.bin2, &l.bin3, &l.bin4}) {
            v->assign(n, 0);
        }
        for (auto* v : {&l.scan, &l.speed, &l.length}) v->assign(n, 0);
    }
    for (auto* v : {&day->ramp_volume, &day->meter_rate, &day->meter_mode, &day->meter_queue}) {
        v->assign(n, 0);
    }
    day->ramp_scan.assign(n, 0);
}

// Relative demand (about 0 to 1.1) at hour h: night lull, morning peak around 07:00-09:00,
// evening peak around 16:00-18:30; weekends are flatter with a midday hump.
double demand_curve(double h, bool weekend, double am, double pm) {
    auto bump = [](double x, double mu, double sd) {
        const double z = (x - mu) / sd;
        return std::exp(-0.5 * z * z);
    };
    const double daytime = 1.0 / (1.0 + std::exp(-(h - 6.0) * 2.0)) / (1.0 + std::exp((h - 21.5)));
    if (weekend) {
        return 0.04 + 0.45 * daytime + 0.25 * bump(h, 13.5, 2.5) + 0.1 * pm * bump(h, 17.5, 1.5);
    }
    return 0.03 + 0.5 * daytime + 0.5 * am * bump(h, 8.0, 0.8) + 0.55 * pm * bump(h, 17.25, 0.9);
}

// A bottleneck of one roadway and direction on one day. Its queue grows upstream from the head
// (a cabinet's milepost) to `reach` miles by `peak`, then clears from its upstream end back to
// the head by `end`, so that the jam spreads along the corridor as in the field.
struct Bottleneck {
    int route;
    char direction;
    double head, reach, severity;
    int start, peak, end, ramp;
    uint8_t incident_code;  // a crash or stall at the head, or 0
};

// Draws up to one bottleneck per peak for every roadway and direction the cabinets stand on;
// weekends rarely congest. The head is one of the corridor's cabinets, never the one farthest
// upstream, so that the queue has a cabinet upstream to reach.
std::vector<Bottleneck> draw_bottlenecks(const Layout& layout, const DayContext& ctx) {
    Rng rng{stream_seed(ctx.seed, 0x424F54544CULL + static_cast<uint64_t>(ctx.index))};
    std::vector<Bottleneck> bottlenecks;
    std::vector<std::pair<int, char>> corridors;
    for (const Cabinet& cab : layout.cabinets) {
        const std::pair<int, char> key{cab.route, cab.direction};
        if (std::find(corridors.begin(), corridors.end(), key) == corridors.end()) {
            corridors.push_back(key);
        }
    }
    const struct {
        double first_start, last_start, p;
    } peaks[] = {{6.7, 7.6, ctx.weekend ? 0.15 : 0.75}, {15.6, 16.8, ctx.weekend ? 0.2 : 0.85}};
    for (const auto& [route, direction] : corridors) {
        // Traffic on N and E travels towards rising mileposts: its upstream lies below.
        const bool rising = direction == 'N' || direction == 'E';
        std::vector<double> heads;
        for (const Cabinet& cab : layout.cabinets) {
            if (cab.route == route && cab.direction == direction) heads.push_back(cab.milepost);
        }
        std::sort(heads.begin(), heads.end());
        if (heads.size() > 1) heads.erase(rising ? heads.begin() : heads.end() - 1);
        for (const auto& peak : peaks) {
            if (!rng.chance(peak.p)) continue;
            Bottleneck b{};
            b.route = route;
            b.direction = direction;
            b.head = heads[static_cast<size_t>(rng.range(0, static_cast<int>(heads.size()) - 1))];
            b.reach = rng.between(1.5, 5.0);
            b.severity = rng.between(0.75, 1.0);
            b.start =
                static_cast<int>(rng.between(peak.first_start, peak.last_start) * kPeriodsPerHour);
            b.peak = b.start + static_cast<int>(rng.between(0.6, 1.3) * kPeriodsPerHour);
            b.end = b.peak + static_cast<int>(rng.between(0.5, 1.2) * kPeriodsPerHour);
            b.ramp = rng.range(18, 36);
            if (rng.chance(0.3)) b.incident_code = static_cast<uint8_t>(rng.range(1, 3));
            if (b.start < ctx.periods) bottlenecks.push_back(b);
        }
    }
    return bottlenecks;
}

// The congestion episodes of one cabinet: the time its place lies inside a bottleneck's queue.
// The jam eases a little towards the queue's tail; an incident holds at the head only.
std::vector<Episode> cabinet_episodes(const Cabinet& cab, const std::vector<Bottleneck>& all) {
    std::vector<Episode> episodes;
    for (const Bottleneck& b : all) {
        if (b.route != cab.route || b.direction != cab.direction) continue;
        const bool rising = cab.direction == 'N' || cab.direction == 'E';
        const double upstream = rising ? b.head - cab.milepost : cab.milepost - b.head;
        if (upstream < 0.0 || upstream >= b.reach) continue;
        const double share = upstream / b.reach;
        Episode e{};
        e.start = b.start + static_cast<int>(share * (b.peak - b.start));
        e.end = b.end - static_cast<int>(share * (b.end - b.peak));
        e.ramp = b.ramp;
        e.severity = b.severity * (1.0 - 0.3 * share);
        if (b.incident_code != 0 && upstream < 0.5) {
            e.incident_start = e.start + (e.end - e.start) / 3;
            e.incident_end = e.end - (e.end - e.start) / 3;
            e.incident_code = b.incident_code;
        }
        episodes.push_back(e);
    }
    return episodes;
}

// Congestion level (0 to 1) of period c under the day's episodes.
double congestion_at(const std::vector<Episode>& episodes, int c) {
    double level = 0.0;
    for (const Episode& e : episodes) {
        if (c < e.start || c >= e.end) continue;
        const double edge = std::min(c - e.start, e.end - 1 - c) / static_cast<double>(e.ramp);
        level = std::max(level, e.severity * std::min(1.0, edge));
    }
    return level;
}

// Incident code of period c, from the episodes that carry one.
uint8_t incident_at(const std::vector<Episode>& episodes, int c) {
    for (const Episode& e : episodes) {
        if (e.incident_code != 0 && c >= e.incident_start && c < e.incident_end) {
            return e.incident_code;
        }
    }
    return 0;
}

// Splits `count` vehicles over the four length bins and returns their mean length in tenths of a
// foot (0 with no vehicles). Bins: up to 20 ft, 20-42 ft, 42-72 ft, 72-115 ft.
unsigned draw_vehicles(int count, double heavy_share, Rng& rng, LaneDay* l, size_t c) {
    unsigned bins[4] = {0, 0, 0, 0};
    const unsigned caps[4] = {31, 15, 15, 7};
    double total = 0.0;
    for (int i = 0; i < count; ++i) {
        const double u = rng.uniform();
        int bin = 0;
        double len = 0.0;
        if (u < heavy_share * 0.12) {
            bin = 3;
            len = 750.0 + 250.0 * u / (heavy_share * 0.12);
        } else if (u < heavy_share * 0.6) {
            bin = 2;
            len = 480.0 + 220.0 * (u - heavy_share * 0.12) / (heavy_share * 0.48);
        } else if (u < heavy_share) {
            bin = 1;
            len = 220.0 + 180.0 * (u - heavy_share * 0.6) / (heavy_share * 0.4);
        } else {
            len = 140.0 + 55.0 * (u - heavy_share) / (1.0 - heavy_share);
        }
        if (bins[bin] >= caps[bin]) bin = 0;  // never full: volumes stay below 32
        ++bins[bin];
        total += len;
    }
    l->bin1[c] = static_cast<uint8_t>(bins[0]);
    l->bin2[c] = static_cast<uint8_t>(bins[1]);
    l->bin3[c] = static_cast<uint8_t>(bins[2]);
    l->bin4[c] = static_cast<uint8_t>(bins[3]);
    return count == 0 ? 0u : clamp_round(total / count, 150.0, 450.0);
}

// Simulates one cabinet for one day into *out (already sized): mainline lanes with free flow
// and the congestion of `episodes`, the on-ramp and its meter.
void simulate_cabinet(const Cabinet& cab, const DayContext& ctx,
                      const std::vector<Episode>& episodes, Rng& rng, CabinetDay* out) {
    const double day_factor = (ctx.weekend ? 0.72 : 1.0) * rng.between(0.93, 1.07);
    double lane_jam[kMaxLanes];  // how hard each lane feels a jam
    for (double& j : lane_jam) j = rng.between(0.85, 1.1);
    const bool metering = rng.chance(ctx.weekend ? 0.15 : 0.95);
    const uint8_t meter_mode = rng.chance(0.1) ? 2 : 1;

    for (int c = 0; c < ctx.periods; ++c) {
        const size_t pc = static_cast<size_t>(c);
        const double hour = c / static_cast<double>(kPeriodsPerHour);
        const double demand = std::min(
            1.1, day_factor * demand_curve(hour, ctx.weekend, cab.am_weight, cab.pm_weight));
        const double jam = congestion_at(episodes, c);
        const uint8_t incident = incident_at(episodes, c);
        for (int k = 0; k < cab.lanes; ++k) {
            LaneDay& l = out->lane[k];
            const double w = std::min(1.0, jam * lane_jam[k] * 1.2);
            const double mean = demand * cab.capacity[k] * (1.0 - w) + w * rng.between(3.0, 6.0);
            const int volume = std::min(31, rng.poisson(mean));
            const unsigned length = draw_vehicles(volume, cab.heavy_share[k], rng, &l, pc);
            const double free_speed =
                cab.free_speed[k] - 40.0 * demand * demand + 20.0 * rng.noise();
            const double jam_speed = 120.0 + 200.0 * (1.0 - w) + 30.0 * rng.noise();
            const double speed = std::clamp(free_speed, 580.0, 720.0) * (1.0 - w) +
                                 std::clamp(jam_speed, 100.0, 350.0) * w;
            // A vehicle covers the loop for (length + 6 ft) at its speed, scanned 60 times a
            // second.
            const double feet = (length == 0 ? 170.0 : length) / 10.0 + 6.0;
            const double per_vehicle = feet * 60.0 / (speed / 10.0 * 1.4667);
            const double free_scan = std::clamp(volume * per_vehicle * (1.0 + 0.08 * rng.noise()),
                                                12.0 * volume, 25.0 * volume);
            const double jam_scan =
                std::clamp(360.0 + 540.0 * w + 40.0 * rng.noise(), 360.0, 900.0);
            double scan = free_scan * (1.0 - w) + jam_scan * w;
            if (w >= 0.5) scan = std::clamp(scan, 360.0, 900.0);
            l.volume[pc] = static_cast<uint8_t>(volume);
            l.scan[pc] = static_cast<uint16_t>(clamp_round(scan, 0.0, kFullScan));
            l.speed[pc] = static_cast<uint16_t>(clamp_round(speed, 100.0, 1023.0));
            l.length[pc] = static_cast<uint16_t>(length);
            uint8_t lane_incident = incident;
            if (lane_incident == 0 && rng.chance(1.0 / 6000.0)) {
                lane_incident = static_cast<uint8_t>(rng.range(1, 3));
            }
            l.incident[pc] = lane_incident;
            l.flag[pc] = rng.chance(1.0 / 4000.0) ? static_cast<uint8_t>(rng.range(1, 3)) : 0;
        }
        if ((cab.features & kRamp) == 0) continue;
        const int ramp_volume = std::min(31, rng.poisson(demand * cab.ramp_capacity));
        const bool active = metering && ((c >= cab.meter_windows[0] && c < cab.meter_windows[1]) ||
                                         (c >= cab.meter_windows[2] && c < cab.meter_windows[3]));
        const double queue = active ? jam * rng.between(100.0, 400.0) : 0.0;
        out->ramp_volume[pc] = static_cast<uint8_t>(ramp_volume);
        out->ramp_scan[pc] = static_cast<uint16_t>(
            clamp_round(ramp_volume * rng.between(14.0, 22.0) + queue, 0.0, kFullScan));
        if (active) {
            out->meter_rate[pc] = static_cast<uint8_t>(
                clamp_round(40.0 + 150.0 * demand + 15.0 * rng.noise(), 20.0, 255.0));
            out->meter_mode[pc] = meter_mode;
            out->meter_queue[pc] =
                static_cast<uint8_t>(std::min(15, ramp_volume + static_cast<int>(queue / 60.0)));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Packed entries (bit 7 is the most significant bit of a byte)

// Bytes per period of a device type; types the archive does not describe get 3-byte entries.
constexpr size_t entry_size(uint16_t type) {
    return type == kTypeTrap ? 6 : type == kTypeMeter ? 2 : 3;
}

// Packs a loop entry: incident 0-3, lanes 0-7, scan count 0-2047, flag 0-7, volume 0-31.
inline void pack_loop(uint8_t* p, unsigned incident, unsigned lanes, unsigned scan, unsigned flag,
                      unsigned volume) {
    scan = std::min(scan, 2047u);
    p[0] = static_cast<uint8_t>(((incident & 3u) << 6) | ((lanes & 7u) << 3) | (scan >> 8));
    p[1] = static_cast<uint8_t>(scan & 0xFFu);
    p[2] = static_cast<uint8_t>(((flag & 7u) << 5) | std::min(volume, 31u));
}

// Packs a station entry: as a loop, but a one-bit flag and a 7-bit volume (0-127).
inline void pack_station(uint8_t* p, unsigned incident, unsigned lanes, unsigned scan,
                         unsigned flag, unsigned volume) {
    scan = std::min(scan, 2047u);
    p[0] = static_cast<uint8_t>(((incident & 3u) << 6) | ((lanes & 7u) << 3) | (scan >> 8));
    p[1] = static_cast<uint8_t>(scan & 0xFFu);
    p[2] = static_cast<uint8_t>(((flag & 1u) << 7) | std::min(volume, 127u));
}

// Packs a trap entry: flag byte, high nibble of byte 1, 10-bit speed and length in tenths,
// bins of 5, 4, 4 and 3 bits.
inline void pack_trap(uint8_t* p, unsigned flag, unsigned flag2, unsigned speed, unsigned length,
                      const unsigned bins[4]) {
    speed = std::min(speed, 1023u);
    length = std::min(length, 1023u);
    p[0] = static_cast<uint8_t>(flag & 0xFFu);
    p[1] = static_cast<uint8_t>((flag2 & 0xF0u) | ((length >> 8) << 2) | (speed >> 8));
    p[2] = static_cast<uint8_t>(speed & 0xFFu);
    p[3] = static_cast<uint8_t>(length & 0xFFu);
    p[4] = static_cast<uint8_t>((std::min(bins[3], 7u) << 5) | std::min(bins[0], 31u));
    p[5] = static_cast<uint8_t>((std::min(bins[1], 15u) << 4) | std::min(bins[2], 15u));
}

// Packs a metered-lane entry: rate byte, then two nibbles.
inline void pack_meter(uint8_t* p, unsigned rate, unsigned high, unsigned low) {
    p[0] = static_cast<uint8_t>(std::min(rate, 255u));
    p[1] = static_cast<uint8_t>(((high & 15u) << 4) | (low & 15u));
}

// Writes the station block: lane count, summed volume, mean scan count and the worst incident
// of the lane loops as they reported (a silent loop reports zeros).
void fill_station(const Cabinet& cab, const CabinetDay& day, const bool silent_lane[], int periods,
                  uint8_t* out) {
    for (int c = 0; c < periods; ++c) {
        const size_t pc = static_cast<size_t>(c);
        unsigned volume = 0, scan = 0, incident = 0, flag = 0;
        for (int k = 0; k < cab.lanes; ++k) {
            if (silent_lane[k]) continue;
            const LaneDay& l = day.lane[k];
            volume += l.volume[pc];
            scan += l.scan[pc];
            incident = std::max<unsigned>(incident, l.incident[pc]);
            flag |= l.flag[pc] != 0 ? 1u : 0u;
        }
        const unsigned lanes = static_cast<unsigned>(cab.lanes);
        pack_station(out + 3 * pc, incident, lanes, (scan + lanes / 2) / lanes, flag,
                     std::min(volume, 127u));
    }
}

// Writes a loop block that follows lane `l` with a little noise of its own: a speed lane
// (second loop of the trap) or a lane variant.
void fill_companion_loop(const LaneDay& l, int periods, Rng& rng, uint8_t* out) {
    for (int c = 0; c < periods; ++c) {
        const size_t pc = static_cast<size_t>(c);
        int volume = l.volume[pc];
        if (rng.chance(0.03)) volume = std::clamp(volume + (rng.chance(0.5) ? 1 : -1), 0, 31);
        const double scan = l.scan[pc] * rng.between(0.92, 1.08);
        pack_loop(out + 3 * pc, l.incident[pc], 1, clamp_round(scan, 0.0, kFullScan), 0,
                  static_cast<unsigned>(volume));
    }
}

// Writes a trap block over lane `l`. A working trap sets bit 7 of its flag byte in every period,
// empty ones included; bit 7 of byte 1 marks a valid speed. Now and then a trap is out for a few
// hours and reports nothing at all.
void fill_trap(const LaneDay& l, int periods, Rng& rng, uint8_t* out) {
    int out_from = -1, out_to = -1;
    if (rng.chance(0.03)) {
        out_from = rng.range(0, std::max(0, periods - 1));
        out_to = out_from + rng.range(kPeriodsPerHour, 4 * kPeriodsPerHour);
    }
    for (int c = 0; c < periods; ++c) {
        const size_t pc = static_cast<size_t>(c);
        uint8_t* p = out + 6 * pc;
        if (c >= out_from && c < out_to) {
            std::memset(p, 0, 6);
            continue;
        }
        const bool vehicles = l.volume[pc] != 0;
        unsigned flag = 0x80u;
        if (rng.chance(0.01)) flag |= static_cast<unsigned>(rng.range(1, 7));
        unsigned flag2 = vehicles ? 0x80u : 0u;
        if (rng.chance(0.03)) flag2 |= rng.chance(0.7) ? 0x40u : 0x20u;
        if (vehicles && rng.chance(0.005)) flag2 &= ~0x80u;  // counted, but no trusted speed
        const unsigned bins[4] = {l.bin1[pc], l.bin2[pc], l.bin3[pc], l.bin4[pc]};
        pack_trap(p, flag, flag2, vehicles ? l.speed[pc] : 0u, vehicles ? l.length[pc] : 0u, bins);
    }
}

// Writes the block of one device of cabinet `cab` into out (entry size times periods bytes).
void fill_device(const Device& dev, const Cabinet& cab, const CabinetDay& day,
                 const bool silent_lane[], int periods, Rng& rng, uint8_t* out) {
    const LaneDay* lane = dev.lane >= 1 ? &day.lane[dev.lane - 1] : nullptr;
    switch (dev.kind) {
        case Kind::kStation:
            fill_station(cab, day, silent_lane, periods, out);
            break;
        case Kind::kLane:
            for (int c = 0; c < periods; ++c) {
                const size_t pc = static_cast<size_t>(c);
                pack_loop(out + 3 * pc, lane->incident[pc], 1, lane->scan[pc], lane->flag[pc],
                          lane->volume[pc]);
            }
            break;
        case Kind::kSpeedLane:
        case Kind::kVariant:
            fill_companion_loop(*lane, periods, rng, out);
            break;
        case Kind::kTrap:
            fill_trap(*lane, periods, rng, out);
            break;
        case Kind::kRampLoop:
            for (int c = 0; c < periods; ++c) {
                const size_t pc = static_cast<size_t>(c);
                pack_loop(out + 3 * pc, 0, 1, day.ramp_scan[pc], 0, day.ramp_volume[pc]);
            }
            break;
        case Kind::kMeter:
        case Kind::kBypassMeter: {
            const unsigned divisor = dev.kind == Kind::kMeter ? 1u : 2u;
            for (int c = 0; c < periods; ++c) {
                const size_t pc = static_cast<size_t>(c);
                pack_meter(out + 2 * pc, day.meter_rate[pc] / divisor, day.meter_mode[pc],
                           day.meter_queue[pc] / divisor);
            }
            break;
        }
        case Kind::kUnknown:
            for (size_t i = 0; i < 3 * static_cast<size_t>(periods); ++i) {
                out[i] = static_cast<uint8_t>(rng.next());
            }
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Data file

// A mainline loop reading forced above a full period, when faults are asked for.
struct ScanFault {
    size_t cabinet;
    int lane;  // 0-based
    int period;
    uint16_t scan;
};

// Renders the ASCII header for the given sizes. Every line holds exactly one of the keys a
// reader looks for, and no line holds the text of a key that is tested before its own.
std::string header_text(const DayContext& ctx, size_t names, uint64_t header_size,
                        uint64_t data_size, uint64_t file_size) {
    const std::string date = us_date(ctx.date);
    const std::string next = us_date(civil_from_days(days_from_civil(ctx.date) + 1));
    const int last = std::max(0, ctx.periods - 1);  // start of the last period
    char end_time[32];
    std::snprintf(end_time, sizeof end_time, "%02d:%02d:%02d", last / kPeriodsPerHour,
                  last % kPeriodsPerHour / 3, last % 3 * 20);
    std::string text;
    text += "KORVA TMS Twenty Second Data File\n";
    text += "NG.2 Format\n";
    text += "DB Mode = FIXED\n";
    text += "DB Creation = " + date + " 00:00:05\n";
    text += "File Write = " + next + " 00:00:10\n";
    text += "Data Start = " + date + " 00:00:00\n";
    text += "Data End = " + date + " " + end_time + "\n";
    text += "Version = 2\n";
    text += "Number of Names = " + std::to_string(names) + "\n";
    text += "Number of Columns = " + std::to_string(ctx.periods) + "\n";
    text += "Header Size = " + std::to_string(header_size) + "\n";
    text += "Name List Size = " + std::to_string(kNameEntrySize * names) + "\n";
    text += "Data Size = " + std::to_string(data_size) + "\n";
    text += "File Size = " + std::to_string(file_size) + "\n";
    text += "The remainder of this file is binary data\n";
    return text;
}

// Appends a little-endian value of `bytes` bytes.
void put_le(std::vector<uint8_t>* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Writes one day's data file: header padded to whole kilobytes, name table, then every device's
// block in table order. Returns false (the message already printed) on an I/O error.
bool write_data_file(const std::string& path, const Layout& layout, const DayContext& ctx) {
    const size_t names = layout.devices.size();
    const uint64_t periods = static_cast<uint64_t>(ctx.periods);
    uint64_t data_size = 0;
    for (const Device& d : layout.devices) data_size += entry_size(d.type) * periods;
    uint64_t header_size = kHeaderBlock;
    std::string header;
    for (;;) {
        const uint64_t file_size = header_size + kNameEntrySize * names + data_size;
        header = header_text(ctx, names, header_size, data_size, file_size);
        if (header.size() <= header_size) break;
        header_size = (header.size() + kHeaderBlock - 1) / kHeaderBlock * kHeaderBlock;
    }
    const uint64_t file_size = header_size + kNameEntrySize * names + data_size;
    if (file_size > static_cast<uint64_t>(INT32_MAX)) {
        std::fprintf(stderr, "%s: %s would exceed 2 GiB\n", kProgram, path.c_str());
        return false;
    }
    header.resize(header_size, '\0');

    std::vector<uint8_t> table;
    table.reserve(kNameEntrySize * names);
    uint64_t offset = header_size + kNameEntrySize * names;
    for (const Device& d : layout.devices) {
        table.insert(table.end(), d.name, d.name + kNameFieldSize);
        put_le(&table, d.type, 2);
        put_le(&table, d.cabinet & 0xFFFFu, 2);
        put_le(&table, offset, 4);
        offset += entry_size(d.type) * periods;
    }

    Output out(path);
    out.write(header.data(), header.size());
    out.write(table.data(), table.size());

    Rng fault_rng{stream_seed(ctx.seed, 0x4641554C54ULL + static_cast<uint64_t>(ctx.index))};
    std::vector<ScanFault> scan_faults;
    std::vector<bool> silent(names, false);
    size_t outage_first = 1, outage_last = 0;  // cabinets of the outage (none without faults)
    int outage_from = 0, outage_to = 0;        // its periods
    if (ctx.faults && ctx.periods > 0) {
        const int count = fault_rng.range(4, 8);
        for (int i = 0; i < count; ++i) {
            ScanFault f{};
            f.cabinet = static_cast<size_t>(
                fault_rng.range(0, static_cast<int>(layout.cabinets.size()) - 1));
            f.lane = fault_rng.range(0, layout.cabinets[f.cabinet].lanes - 1);
            f.period = fault_rng.range(0, ctx.periods - 1);
            f.scan = static_cast<uint16_t>(fault_rng.range(kFullScan + 1, 1800));
            scan_faults.push_back(f);
        }
        for (size_t i = 0; i < names; ++i) silent[i] = fault_rng.chance(0.015);
        silent[static_cast<size_t>(fault_rng.range(0, static_cast<int>(names) - 1))] = true;
        // A communication line down: a run of cabinets of the list reports nothing at all for
        // half an hour to two hours.
        const int cabinets = static_cast<int>(layout.cabinets.size());
        outage_first = static_cast<size_t>(fault_rng.range(0, cabinets - 1));
        outage_last = std::min(outage_first + static_cast<size_t>(fault_rng.range(2, 7)),
                               layout.cabinets.size() - 1);
        outage_from = fault_rng.range(0, ctx.periods - 1);
        outage_to = std::min(
            ctx.periods, outage_from + fault_rng.range(kPeriodsPerHour / 2, 2 * kPeriodsPerHour));
    }

    CabinetDay day;
    size_cabinet_day(&day, ctx.periods);
    const std::vector<Bottleneck> bottlenecks = draw_bottlenecks(layout, ctx);
    std::vector<uint8_t> block;
    for (size_t ci = 0; ci < layout.cabinets.size() && out.ok(); ++ci) {
        const Cabinet& cab = layout.cabinets[ci];
        Rng rng{stream_seed(ctx.seed, (static_cast<uint64_t>(ctx.index) << 32) | ci)};
        simulate_cabinet(cab, ctx, cabinet_episodes(cab, bottlenecks), rng, &day);
        for (const ScanFault& f : scan_faults) {
            if (f.cabinet == ci) day.lane[f.lane].scan[static_cast<size_t>(f.period)] = f.scan;
        }
        bool silent_lane[kMaxLanes] = {};
        for (size_t i = cab.first_device; i < cab.first_device + cab.device_count; ++i) {
            const Device& d = layout.devices[i];
            if (d.kind == Kind::kLane && silent[i]) silent_lane[d.lane - 1] = true;
        }
        size_t bytes = 0;
        for (size_t i = cab.first_device; i < cab.first_device + cab.device_count; ++i) {
            bytes += entry_size(layout.devices[i].type) * static_cast<size_t>(periods);
        }
        block.assign(bytes, 0);
        uint8_t* at = block.data();
        for (size_t i = cab.first_device; i < cab.first_device + cab.device_count; ++i) {
            const Device& d = layout.devices[i];
            if (!silent[i]) fill_device(d, cab, day, silent_lane, ctx.periods, rng, at);
            if (ci >= outage_first && ci <= outage_last) {
                const size_t size = entry_size(d.type);
                std::memset(at + size * static_cast<size_t>(outage_from), 0,
                            size * static_cast<size_t>(outage_to - outage_from));
            }
            at += entry_size(d.type) * static_cast<size_t>(periods);
        }
        out.write(block.data(), block.size());
    }
    if (!out.close()) return false;
    std::printf("wrote %s (%zu device%s, %d period%s, %llu bytes)\n", path.c_str(), names,
                names == 1 ? "" : "s", ctx.periods, ctx.periods == 1 ? "" : "s",
                static_cast<unsigned long long>(file_size));
    return true;
}

}  // namespace

// Parses the options, lays out the cabinets, and writes the cabinet list and the data files.
// Exit status 0 on success, 1 on bad usage or an I/O error.
int main(int argc, char** argv) {
    Options opt;
    switch (parse_args(argc, argv, &opt)) {
        case ParseResult::kHelp:
            print_usage(stdout);
            return 0;
        case ParseResult::kError:
            print_usage(stderr);
            return 1;
        case ParseResult::kRun:
            break;
    }
    if (!make_outdir(opt.outdir)) return 1;

    const Layout layout = build_layout(opt);
    const std::string list_name = "CABINETS_" + compact_date(opt.first) + ".LST";
    if (!write_cabinet_list(join_path(opt.outdir, list_name), layout, opt)) return 1;

    const long first_day = days_from_civil(opt.first);
    for (int i = 0; i < opt.days; ++i) {
        DayContext ctx{};
        ctx.date = civil_from_days(first_day + i);
        ctx.index = i;
        ctx.weekend = is_weekend(first_day + i);
        ctx.faults = opt.faults;
        ctx.periods = opt.periods;
        ctx.seed = opt.seed;
        const std::string name = "KORVA20S_" + compact_date(ctx.date) + ".DAT";
        if (!write_data_file(join_path(opt.outdir, name), layout, ctx)) return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

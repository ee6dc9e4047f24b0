// What the parts of korva-sample share: the sizes the archive's formats fix, the random streams
// every part draws from, the calendar, the run's options, the cabinet and device layout, and a
// cabinet's simulated day that the data file packs. Internal to the generator.
#pragma once

// The standard headers below serve every part of the generator.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sample {

constexpr int kMaxPeriods = 4320;  // 20-second periods in a day
constexpr int kPeriodsPerHour = 180;
constexpr int kMaxLanes = 6;  // mainline lanes per cabinet (station lane digits 1..6)
constexpr int kMaxDevices = 20000;
constexpr int kMaxDays = 366;
constexpr int kNameFieldSize = 19;
constexpr unsigned kFullScan = 1200;  // scans in a fully occupied period

// Device type codes of the name table.
constexpr uint16_t kTypeLoop = 80;
constexpr uint16_t kTypeStation = 84;
constexpr uint16_t kTypeTrap = 88;
constexpr uint16_t kTypeMeter = 261;

inline constexpr char kProgram[] = "korva-sample";

// ---------------------------------------------------------------------------------------------
// Random numbers. Every part draws from streams of its own (stream_seed), so that the layout
// does not move when periods, days or faults change, and a day does not move with the days
// after it.

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
inline uint64_t stream_seed(uint64_t base, uint64_t key) {
    Rng rng{base ^ (key * 0xD1B54A32D192ED03ULL)};
    rng.next();
    return rng.next();
}

// Clamps v into [lo, hi] and rounds it to the nearest whole number.
inline unsigned clamp_round(double v, double lo, double hi) {
    return static_cast<unsigned>(std::lround(std::clamp(v, lo, hi)));
}

// ---------------------------------------------------------------------------------------------
// Calendar and options (korva-sample.cpp)

struct Date {
    int year;
    int month;
    int day;
};

// Days since 1970-01-01 of a proleptic Gregorian date.
long days_from_civil(Date d);

// Date of a day count since 1970-01-01; inverse of days_from_civil.
Date civil_from_days(long z);

// Formats a date as MM/DD/YYYY, the archive's date in headers and the cabinet list.
std::string us_date(Date d);

// One run's settings, as the command line gives them.
struct Options {
    int devices = 120;
    int periods = kMaxPeriods;
    int days = 2;
    uint64_t seed = 1;
    Date first{2021, 5, 1};
    bool faults = false;
    bool realistic = false;  // the realistic mix and spread of values (sample_realistic.cpp)
    std::string outdir;
};

// ---------------------------------------------------------------------------------------------
// Cabinets and devices (sample_layout.cpp)

// Roadways the sample cabinets stand on: the cabinet name starts with the route number.
struct Route {
    const char* number;   // three digits
    const char* roadway;  // at most 11 characters
    bool north_south;     // travel axis
};

inline constexpr Route kRoutes[] = {
    {"017", "I-17", true},   {"217", "I-217", false}, {"417", "I-417", false},
    {"023", "TH 23", true},  {"048", "TH 48", false}, {"118", "US 118", true},
    {"012", "CR 12", false}, {"061", "TH 61", true},  {"305", "I-305", false},
};

// Cross streets of the cabinet list's location column.
inline constexpr const char* kStreets[] = {"MAIN ST",  "OAK AVE",  "ELM ST",    "LAKE RD",
                                           "MILL RD",  "PARK AVE", "RIVER RD",  "CEDAR LN",
                                           "12TH ST",  "HILL ST",  "BIRCH AVE", "SUMMIT AVE",
                                           "COUNTY 9", "FERRY ST", "QUARRY RD", "STATION AVE"};

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

// The cabinets in list order and their devices in name-table order; a cabinet's devices stand
// together, from first_device on.
struct Layout {
    std::vector<Cabinet> cabinets;
    std::vector<Device> devices;
};

// Builds whole cabinets until the device count reaches opt.devices; the last cabinet is cut so
// the count is exact. Deterministic in the seed; independent of periods, days and faults.
Layout build_layout(const Options& opt);

// Appends a device of kind `kind` (lane digit `lane`) to cabinet `cab`, the cabinet the layout
// adds next, named as the field names it; `type` overrides the kind's type code.
void add_device(Layout* layout, const Cabinet& cab, Kind kind, int lane, uint16_t type = 0);

// Counts the devices of the cabinet by type into its listed counts.
void count_cabinet_devices(const Layout& layout, Cabinet* cab);
// Places cab, its route's next cabinet, after *milepost (moved on), draws its number, address,
// version and cross street, adds its devices with add_devices (the table cut at target devices)
// and appends it to the layout. The draws are made in this order whatever adds the devices.
void place_cabinet(Layout* layout, Cabinet cab, double* milepost, size_t target,
                   void (*add_devices)(Layout*, const Cabinet&, Rng&), Rng& rng);

// ---------------------------------------------------------------------------------------------
// Traffic (sample_traffic.cpp)

// What all cabinets share on one day.
struct DayContext {
    Date date;
    long index;  // 0 for the first day of the run
    bool weekend;
    bool faults;
    bool realistic;
    int periods;
    uint64_t seed;
};

// What a mainline lane's loops see and its trap measures in one period.
struct LanePeriod {
    uint8_t volume, incident, flag;
    uint8_t bins[4];  // vehicles up to 20 ft, 20-42 ft, 42-72 ft, 72-115 ft long
    uint16_t scan;
    uint16_t speed;   // tenths of a mile per hour
    uint16_t length;  // mean vehicle length in tenths of a foot, 0 with no vehicles
};

// The on-ramp's loop and its meter in one period.
struct RampPeriod {
    uint8_t volume, meter_rate, meter_mode, meter_queue;
    uint16_t scan;
};

// One cabinet over a day: a series per mainline lane and one of the ramp, a period an entry.
struct CabinetDay {
    std::vector<LanePeriod> lane[kMaxLanes];
    std::vector<RampPeriod> ramp;
};

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
// weekends rarely congest.
std::vector<Bottleneck> draw_bottlenecks(const Layout& layout, const DayContext& ctx);

// Draws `count` vehicles into the trap's length bins of *p; returns their mean length.
unsigned draw_vehicles(int count, double heavy_share, Rng& rng, LanePeriod* p);

// Simulates one cabinet for one day into *out (every series already holds ctx.periods entries):
// mainline lanes with free flow and the queues of the day's bottlenecks, the on-ramp and its
// meter.
void simulate_cabinet(const Cabinet& cab, const DayContext& ctx,
                      const std::vector<Bottleneck>& bottlenecks, Rng& rng, CabinetDay* out);

// ---------------------------------------------------------------------------------------------
// Realistic days (sample_realistic.cpp)

// Builds cabinets of the realistic mix until the device count reaches opt.devices (the last
// cabinet cut): about 70 % loops, 15 % stations, 10 % speed traps and 5 % metered lanes.
// Deterministic in the seed.
Layout build_realistic_layout(const Options& opt);

// Simulates one cabinet of a realistic layout for one day into *out, as simulate_cabinet does,
// with volumes, scan counts and speeds spread over their whole working ranges all day.
void simulate_realistic_cabinet(const Cabinet& cab, const DayContext& ctx, Rng& rng,
                                CabinetDay* out);

// ---------------------------------------------------------------------------------------------
// Output files (sample_files.cpp). Each writer prints a line naming what it wrote; on failure
// it prints the reason, leaves no partial file behind and returns false.

// Joins folder and file name with one '/'.
std::string join_path(const std::string& folder, const std::string& name);

// Creates the output folder (one level) unless it exists as a folder; false with a message.
bool make_outdir(const std::string& path);

// Writes the cabinet list of the run's first day.
bool write_cabinet_list(const std::string& path, const Layout& layout, const Options& opt);

// Writes one day's data file.
bool write_data_file(const std::string& path, const Layout& layout, const DayContext& ctx);

}  // namespace sample

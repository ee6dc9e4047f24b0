// Cabinets and devices of the sample archive, laid out once per run.
//
// Cabinets stand in runs along a roadway with rising numbers and mileposts, each with 2 to 6
// mainline lanes, a station summing them, speed traps over most lanes, and now and then an
// on-ramp with its meter. Their devices are named and ordered as the field names and orders
// them, including the rarer shapes (a lane variant, a bypass meter, a device of unknown type, a
// station after its loops, a short cabinet name) that a converter has to read right; some are
// forced onto one of the first cabinets so that even a small sample shows each of them.

#include <cstdio>
#include <iterator>

#include "sample.h"

namespace sample {

// Appends a device of cabinet `cab` (the next cabinet of the layout), named as the field names
// them in 18 characters: the cabinet name, ':', a mark ('M' for a lane variant), 'M' and the
// direction ("ON" for the ramp loop), "__", a letter for the kind, then the lane digit ('0' for
// the station, '1' off the mainline). `type` overrides the kind's type (for unknown devices).
void add_device(Layout* layout, const Cabinet& cab, Kind kind, int lane, uint16_t type) {
    // Per kind, in Kind order: type, mark, letter, and the digit of lane 0 (a lane counts up).
    static constexpr struct {
        uint16_t type;
        char mark, letter, digit;
    } kKinds[] = {
        {kTypeStation, '_', '_', '0'}, {kTypeLoop, '_', '_', '0'},  {kTypeLoop, '_', 'S', '0'},
        {kTypeTrap, '_', 'T', '0'},    {kTypeLoop, 'M', '_', '0'},  {kTypeLoop, '_', 'R', '1'},
        {kTypeMeter, '_', 'R', '1'},   {kTypeMeter, '_', 'H', '1'}, {0, '_', 'X', '1'}};
    const auto& k = kKinds[static_cast<size_t>(kind)];
    const bool ramp = kind == Kind::kRampLoop;
    Device dev{};
    std::snprintf(dev.name, sizeof dev.name, "%.10s:%c%c%c__%c%c", cab.name, k.mark,
                  ramp ? 'O' : 'M', ramp ? 'N' : cab.direction, k.letter, k.digit + lane);
    dev.type = type != 0 ? type : k.type;
    dev.kind = kind;
    dev.lane = static_cast<uint8_t>(lane);
    dev.cabinet = static_cast<uint32_t>(layout->cabinets.size());
    layout->devices.push_back(dev);
}

// Counts the cabinet's devices by type, as the cabinet list reports them.
void count_cabinet_devices(const Layout& layout, Cabinet* cab) {
    cab->loops = cab->stations = cab->traps = cab->meters = 0;
    for (size_t i = cab->first_device; i < cab->first_device + cab->device_count; ++i) {
        const uint16_t type = layout.devices[i].type;
        cab->loops += type == kTypeLoop;
        cab->stations += type == kTypeStation;
        cab->traps += type == kTypeTrap;
        cab->meters += type == kTypeMeter;
    }
}

namespace {

constexpr int kRouteCount = static_cast<int>(std::size(kRoutes));
constexpr int kStreetCount = static_cast<int>(std::size(kStreets));
constexpr uint16_t kUnknownTypes[] = {99, 82, 300};
// Features that add devices; the loop-only cabinet cannot carry them.
constexpr uint32_t kDataFeatures = kRamp | kVariantFirst | kVariantLast | kUnknownDevice | kBypass;

// Adds the devices of one cabinet in table order: station and mainline loops (station first or
// last, loops in rising digit order), then per trap lane its speed lane, trap and perhaps a lane
// variant, then the ramp, and perhaps a device of unknown type somewhere in between.
void add_cabinet_devices(Layout* layout, const Cabinet& cab, Rng& rng) {
    const size_t start = layout->devices.size();
    const bool station_after = (cab.features & kStationAfter) != 0;
    if (!station_after) add_device(layout, cab, Kind::kStation, 0);
    for (int k = 1; k <= cab.lanes; ++k) add_device(layout, cab, Kind::kLane, k);
    if (station_after) add_device(layout, cab, Kind::kStation, 0);
    for (int k = 1; k <= cab.lanes && (cab.features & kPlain) == 0; ++k) {
        const bool forced_first = k == 1 && (cab.features & kVariantFirst) != 0;
        const bool forced_last = k == 1 && (cab.features & kVariantLast) != 0 && !forced_first;
        const bool trap = forced_first || forced_last || rng.chance(0.8);
        const bool variant = forced_first || forced_last || rng.chance(0.05);
        const bool variant_first = forced_first || (!forced_last && rng.chance(0.5));
        if (!trap) {
            if (variant) add_device(layout, cab, Kind::kVariant, k);
            continue;
        }
        const bool trap_first = rng.chance(0.5);
        if (variant && variant_first) add_device(layout, cab, Kind::kVariant, k);
        if (trap_first) add_device(layout, cab, Kind::kTrap, k);
        add_device(layout, cab, Kind::kSpeedLane, k);
        if (variant && !variant_first) add_device(layout, cab, Kind::kVariant, k);
        if (!trap_first) add_device(layout, cab, Kind::kTrap, k);
    }
    if ((cab.features & kRamp) != 0) {
        add_device(layout, cab, Kind::kRampLoop, 0);
        add_device(layout, cab, Kind::kMeter, 0);
        if ((cab.features & kBypass) != 0) add_device(layout, cab, Kind::kBypassMeter, 0);
    }
    if ((cab.features & kUnknownDevice) != 0) {
        add_device(layout, cab, Kind::kUnknown, 0, kUnknownTypes[rng.range(0, 2)]);
        const size_t count = layout->devices.size() - start;
        const size_t at = start + static_cast<size_t>(rng.range(0, static_cast<int>(count) - 1));
        std::rotate(layout->devices.begin() + static_cast<long>(at), layout->devices.end() - 1,
                    layout->devices.end());
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

// Draws a cabinet's features on top of those forced onto it, and keeps them consistent: a
// loop-only cabinet has no ramp, bypass or unknown device, and a bypass comes with a ramp.
uint32_t draw_features(uint32_t features, Rng& rng) {
    if (rng.chance(0.04)) features |= kPlain;
    if ((features & kDataFeatures) != 0) features &= ~kPlain;
    if (rng.chance(0.3)) features |= kRamp;
    if ((features & kRamp) != 0 && rng.chance(0.15)) features |= kBypass;
    if ((features & kBypass) != 0) features |= kRamp;
    if (rng.chance(0.05)) features |= kUnknownDevice;
    if ((features & kPlain) != 0) features &= ~(kRamp | kBypass | kUnknownDevice);
    if (rng.chance(0.4)) features |= kStationAfter;
    // The cabinet list's irregularities.
    const struct {
        uint32_t bit;
        double p;
    } listed[] = {{kCommaAlias, 0.03},  {kCommaLocation, 0.05}, {kBlankSide, 0.03},
                  {kBlankNumber, 0.05}, {kTrailingNote, 0.1},   {kBlankLineAfter, 0.02},
                  {kCommentAfter, 0.02}};
    for (const auto& l : listed) {
        if (rng.chance(l.p)) features |= l.bit;
    }
    return features;
}

// Draws the fixed traffic character of a cabinet's place: lanes, peak weights and ramp demand,
// lane capacities (the inner lane carries a little more), free speeds (faster inside) and heavy
// vehicle shares (more outside), and the metering windows of the morning and evening.
void draw_character(Cabinet* cab, Rng& rng) {
    cab->lanes = rng.range(2, kMaxLanes);
    cab->am_weight = rng.between(0.6, 1.2);
    cab->pm_weight = rng.between(0.6, 1.2);
    cab->ramp_capacity = rng.between(1.5, 4.5);
    for (int k = 0; k < cab->lanes; ++k) {
        const bool inner = k == 0;
        const bool outer = k == cab->lanes - 1;
        cab->capacity[k] = rng.between(8.5, 10.5) * (inner ? 1.05 : outer ? 0.85 : 1.0);
        cab->free_speed[k] = rng.between(640.0, 675.0) + (inner ? 20.0 : outer ? -20.0 : 0.0);
        cab->heavy_share[k] =
            0.04 + 0.10 * k / std::max(1, cab->lanes - 1) + rng.between(0.0, 0.04);
    }
    const double window_hours[4][2] = {{6.0, 6.5}, {8.8, 9.5}, {15.0, 15.7}, {18.3, 19.0}};
    for (int i = 0; i < 4; ++i) {
        cab->meter_windows[i] =
            static_cast<int>(rng.between(window_hours[i][0], window_hours[i][1]) * kPeriodsPerHour);
    }
}

}  // namespace

void place_cabinet(Layout* layout, Cabinet cab, double* milepost, size_t target,
                   void (*add_devices)(Layout*, const Cabinet&, Rng&), Rng& rng) {
    *milepost += rng.between(0.3, 1.2);
    if (*milepost > 990.0) *milepost = rng.between(0.0, 10.0);
    cab.milepost = *milepost;
    cab.number = rng.range(1000000, 9999999);
    cab.address = rng.range(1, 9999);
    cab.version = rng.chance(0.7) ? rng.range(2, 3) : 12;
    cab.street = rng.range(0, kStreetCount - 1);

    cab.first_device = layout->devices.size();
    add_devices(layout, cab, rng);
    if (layout->devices.size() > target) layout->devices.resize(target);
    cab.device_count = layout->devices.size() - cab.first_device;
    count_cabinet_devices(*layout, &cab);
    layout->cabinets.push_back(cab);
}

Layout build_layout(const Options& opt) {
    Layout layout;
    Rng rng{stream_seed(opt.seed, 0x4C41594F5554ULL)};
    const std::vector<uint32_t> forced = forced_features(opt.devices / 16, rng);
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
        cab.features = draw_features(index < forced.size() ? forced[index] : 0, rng);
        // Route number, "es", then five digits, or four digits and a blank for the short name.
        if ((cab.features & kShortName) != 0) {
            std::snprintf(cab.name, sizeof cab.name, "%ses%04d ", kRoutes[route].number,
                          1000 + number % 9000);
        } else {
            std::snprintf(cab.name, sizeof cab.name, "%ses%05u", kRoutes[route].number,
                          static_cast<unsigned>(number) % 100000);
        }
        draw_character(&cab, rng);
        place_cabinet(&layout, cab, &mileposts[route], target, add_cabinet_devices, rng);
    }
    return layout;
}

}  // namespace sample

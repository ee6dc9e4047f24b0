// Realistic days: the device mix of a whole metropolitan network and values spread over their
// working ranges, for measuring what a converter's reports cost to format.
//
// The sample days show a corridor's day, with a long night lull and many small or zero
// readings; their reports format about twice as fast as the network's real days. A realistic day
// has the network's mix instead (about 70 % loops, 15 % stations with their lanes, 10 % speed
// traps, 5 % metered lanes) and keeps every cabinet busy all day: demand wanders between light
// and heavy traffic, queues come and go, so that volumes, scan counts, speeds and lengths take
// every number of digits their fields allow, in the proportions of a busy network. The same
// packing, faults and files as the sample days then apply.

#include <cstdio>
#include <iterator>

#include "sample.h"

namespace sample {
namespace {

constexpr int kRouteCount = static_cast<int>(std::size(kRoutes));

// A speed trap (and its speed lane) over a lane, and an on-ramp with its loop and meter: with
// 2 to 5 lanes a cabinet, these shares give the network's mix of device types.
constexpr double kTrapShare = 0.19;
constexpr double kRampShare = 1.0 / 3.0;

// Draws the lanes, the ramp and the traffic character of a cabinet: capacities from light to
// heavy corridors, free speeds of urban and rural roadways, heavy shares rising outwards.
void draw_realistic_character(Cabinet* cab, Rng& rng) {
    cab->lanes = rng.range(2, 5);
    cab->features = rng.chance(kRampShare) ? kRamp : 0u;
    cab->ramp_capacity = rng.between(2.0, 6.0);
    for (int k = 0; k < cab->lanes; ++k) {
        cab->capacity[k] = rng.between(9.0, 14.0);
        cab->free_speed[k] = rng.between(560.0, 720.0);
        cab->heavy_share[k] =
            0.03 + 0.15 * k / std::max(1, cab->lanes - 1) + rng.between(0.0, 0.05);
    }
}

// The devices of a cabinet in table order: station, lanes, a speed lane and trap per trapped
// lane, then the ramp loop and its meter.
void add_realistic_devices(Layout* layout, const Cabinet& cab, Rng& rng) {
    add_device(layout, cab, Kind::kStation, 0);
    for (int k = 1; k <= cab.lanes; ++k) add_device(layout, cab, Kind::kLane, k);
    for (int k = 1; k <= cab.lanes; ++k) {
        if (!rng.chance(kTrapShare)) continue;
        add_device(layout, cab, Kind::kSpeedLane, k);
        add_device(layout, cab, Kind::kTrap, k);
    }
    if ((cab.features & kRamp) != 0) {
        add_device(layout, cab, Kind::kRampLoop, 0);
        add_device(layout, cab, Kind::kMeter, 0);
    }
}

// Steps a level by a little noise, kept within [lo, hi] by reflecting at the bounds.
double wander(double level, double step, double lo, double hi, Rng& rng) {
    level += step * rng.noise();
    if (level < lo) level = 2.0 * lo - level;
    if (level > hi) level = 2.0 * hi - level;
    return std::clamp(level, lo, hi);
}

}  // namespace

Layout build_realistic_layout(const Options& opt) {
    Layout layout;
    Rng rng{stream_seed(opt.seed, 0x5245414C4C4159ULL)};
    // As in the sample layout: at least 3 devices a cabinet and numbers rising by at most 12
    // keep 20000 devices within five digits.
    int number = rng.range(10000, 14999);
    int route = rng.range(0, kRouteCount - 1);
    int left_on_route = rng.range(4, 25);
    double mileposts[kRouteCount];
    for (double& mp : mileposts) mp = rng.between(0.0, 40.0);
    const size_t target = static_cast<size_t>(opt.devices);

    while (layout.devices.size() < target) {
        Cabinet cab{};
        if (left_on_route-- == 0) {
            route = (route + rng.range(1, kRouteCount - 1)) % kRouteCount;
            left_on_route = rng.range(4, 25);
        }
        cab.route = route;
        const bool ns = kRoutes[route].north_south;
        cab.direction = rng.chance(0.5) ? (ns ? 'N' : 'E') : (ns ? 'S' : 'W');
        number += rng.range(1, 12);
        std::snprintf(cab.name, sizeof cab.name, "%ses%05u", kRoutes[route].number,
                      static_cast<unsigned>(number) % 100000);
        draw_realistic_character(&cab, rng);
        place_cabinet(&layout, cab, &mileposts[route], target, add_realistic_devices, rng);
    }
    return layout;
}

// Demand wanders over the day between light traffic and capacity; queues start now and then,
// build up and clear over a few minutes, and last a quarter of an hour to an hour and a half.
// Within a queue volumes fall, speeds drop and loops stay occupied longer, as on the sample
// days; the ramp meter runs whenever the mainline is busy.
void simulate_realistic_cabinet(const Cabinet& cab, const DayContext& ctx, Rng& rng,
                                CabinetDay* out) {
    double demand = rng.between(0.2, 1.0);
    double lane_jam[kMaxLanes];
    for (double& j : lane_jam) j = rng.between(0.85, 1.1);
    int jam_start = 0, jam_end = 0, jam_ramp = 1;
    double jam_severity = 0.0;
    const uint8_t meter_mode = rng.chance(0.1) ? 2 : 1;

    for (int c = 0; c < ctx.periods; ++c) {
        const size_t pc = static_cast<size_t>(c);
        demand = wander(demand, 0.03, 0.1, 1.1, rng);
        if (c >= jam_end && rng.chance(1.0 / 900.0)) {
            jam_start = c;
            jam_end = c + rng.range(45, 270);
            jam_ramp = rng.range(10, 30);
            jam_severity = rng.between(0.6, 1.0);
        }
        double jam = 0.0;
        if (c < jam_end) {
            const double edge =
                std::min(c - jam_start, jam_end - 1 - c) / static_cast<double>(jam_ramp);
            jam = jam_severity * std::min(1.0, edge);
        }
        for (int k = 0; k < cab.lanes; ++k) {
            LanePeriod& p = out->lane[k][pc];
            const double w = std::min(1.0, jam * lane_jam[k] * 1.2);
            const double mean = demand * cab.capacity[k] * (1.0 - w) + w * rng.between(3.0, 7.0);
            const int volume = std::min(31, rng.poisson(mean));
            const unsigned length = draw_vehicles(volume, cab.heavy_share[k], rng, &p);
            const double free_speed =
                cab.free_speed[k] - 60.0 * demand * demand + 25.0 * rng.noise();
            const double jam_speed = 100.0 + 250.0 * (1.0 - w) + 40.0 * rng.noise();
            const double speed = std::clamp(free_speed, 450.0, 800.0) * (1.0 - w) +
                                 std::clamp(jam_speed, 50.0, 400.0) * w;
            // A vehicle covers the loop for (length + 6 ft) at its speed, scanned 60 times a
            // second; a queue keeps the loop occupied between vehicles.
            const double feet = (length == 0 ? 170.0 : length) / 10.0 + 6.0;
            const double per_vehicle = feet * 60.0 / (speed / 10.0 * 1.4667);
            const double free_scan = volume * per_vehicle * (1.0 + 0.1 * rng.noise());
            const double jam_scan = 360.0 + 700.0 * w + 60.0 * rng.noise();
            p.volume = static_cast<uint8_t>(volume);
            p.scan = static_cast<uint16_t>(
                clamp_round(free_scan * (1.0 - w) + jam_scan * w, 0.0, kFullScan));
            p.speed = static_cast<uint16_t>(clamp_round(speed, 50.0, 1023.0));
            p.length = static_cast<uint16_t>(length);
            p.incident = rng.chance(1.0 / 6000.0) ? static_cast<uint8_t>(rng.range(1, 3)) : 0;
            p.flag = rng.chance(1.0 / 4000.0) ? static_cast<uint8_t>(rng.range(1, 3)) : 0;
        }
        if ((cab.features & kRamp) == 0) continue;
        RampPeriod& r = out->ramp[pc];
        const int ramp_volume = std::min(31, rng.poisson(demand * cab.ramp_capacity));
        const bool active = demand > 0.45 || jam > 0.0;
        const double queue = active ? jam * rng.between(100.0, 400.0) : 0.0;
        r.volume = static_cast<uint8_t>(ramp_volume);
        r.scan = static_cast<uint16_t>(
            clamp_round(ramp_volume * rng.between(14.0, 22.0) + queue, 0.0, kFullScan));
        r.meter_rate = active ? static_cast<uint8_t>(clamp_round(
                                    40.0 + 180.0 * demand + 15.0 * rng.noise(), 20.0, 255.0))
                              : 0;
        r.meter_mode = active ? meter_mode : 0;
        r.meter_queue = active ? static_cast<uint8_t>(
                                     std::min(15, ramp_volume / 2 + static_cast<int>(queue / 40.0)))
                               : 0;
    }
}

}  // namespace sample

// Traffic of the sample archive: what a cabinet's loops, traps and ramp meter see over a day.
//
// Demand follows the hour (a night lull, morning and evening peaks, flatter weekends) and the
// place's own character. Congestion comes from bottlenecks: a queue grows upstream from a
// cabinet along its roadway and direction and clears again, so the cabinets upstream slow down
// one after another, as field data shows. Within a queue volumes fall, speeds drop and loops
// stay occupied longer; vehicles are drawn one by one into the trap's length bins.

#include <utility>

#include "sample.h"

namespace sample {
namespace {

// A congested stretch of a cabinet's day: severity ramps up and down over `ramp` periods.
struct Episode {
    int start, end, ramp;
    double severity;
    int incident_start, incident_end;
    uint8_t incident_code;
};

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

}  // namespace

// Splits `count` vehicles over the four length bins of *p and returns their mean length in
// tenths of a foot (0 with no vehicles). A bin that would overflow its field takes no more.
unsigned draw_vehicles(int count, double heavy_share, Rng& rng, LanePeriod* p) {
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
    for (int i = 0; i < 4; ++i) p->bins[i] = static_cast<uint8_t>(bins[i]);
    return count == 0 ? 0u : clamp_round(total / count, 150.0, 450.0);
}

// The head is one of the corridor's cabinets, never the one farthest upstream, so that the
// queue has a cabinet upstream to reach.
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

void simulate_cabinet(const Cabinet& cab, const DayContext& ctx,
                      const std::vector<Bottleneck>& bottlenecks, Rng& rng, CabinetDay* out) {
    const std::vector<Episode> episodes = cabinet_episodes(cab, bottlenecks);
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
            LanePeriod& p = out->lane[k][pc];
            const double w = std::min(1.0, jam * lane_jam[k] * 1.2);
            const double mean = demand * cab.capacity[k] * (1.0 - w) + w * rng.between(3.0, 6.0);
            const int volume = std::min(31, rng.poisson(mean));
            const unsigned length = draw_vehicles(volume, cab.heavy_share[k], rng, &p);
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
            p.volume = static_cast<uint8_t>(volume);
            p.scan = static_cast<uint16_t>(clamp_round(scan, 0.0, kFullScan));
            p.speed = static_cast<uint16_t>(clamp_round(speed, 100.0, 1023.0));
            p.length = static_cast<uint16_t>(length);
            uint8_t lane_incident = incident;
            if (lane_incident == 0 && rng.chance(1.0 / 6000.0)) {
                lane_incident = static_cast<uint8_t>(rng.range(1, 3));
            }
            p.incident = lane_incident;
            p.flag = rng.chance(1.0 / 4000.0) ? static_cast<uint8_t>(rng.range(1, 3)) : 0;
        }
        if ((cab.features & kRamp) == 0) continue;
        RampPeriod& r = out->ramp[pc];
        const int ramp_volume = std::min(31, rng.poisson(demand * cab.ramp_capacity));
        const bool active = metering && ((c >= cab.meter_windows[0] && c < cab.meter_windows[1]) ||
                                         (c >= cab.meter_windows[2] && c < cab.meter_windows[3]));
        const double queue = active ? jam * rng.between(100.0, 400.0) : 0.0;
        r.volume = static_cast<uint8_t>(ramp_volume);
        r.scan = static_cast<uint16_t>(
            clamp_round(ramp_volume * rng.between(14.0, 22.0) + queue, 0.0, kFullScan));
        if (active) {
            r.meter_rate = static_cast<uint8_t>(
                clamp_round(40.0 + 150.0 * demand + 15.0 * rng.noise(), 20.0, 255.0));
            r.meter_mode = meter_mode;
            r.meter_queue =
                static_cast<uint8_t>(std::min(15, ramp_volume + static_cast<int>(queue / 60.0)));
        }
    }
}

}  // namespace sample

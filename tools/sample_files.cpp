// The sample archive's files: the fixed-column cabinet list and the daily data files.
//
// The cabinet list is text in fixed columns, with the irregularities field lists have (cut
// fields, blank columns, commas, notes, blank and comment lines between cabinets). A data file is
// an ASCII header padded to whole kilobytes, a table of 27-byte names (19 name characters, the
// type, the cabinet and the offset of the device's block), then each device's block: one
// bit-packed entry a period, whose size and fields depend on the device type. Both are written
// through one buffered output that removes a file it could not write whole.

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sample.h"

namespace sample {
namespace {

constexpr int kNameEntrySize = 27;
constexpr int kHeaderBlock = 1024;
constexpr size_t kIoBufferSize = size_t{1} << 22;

// Offsets in the name table take 32 bits and readers hold sizes in signed ints: the largest file
// the options allow (every device a 6-byte trap, every period, a header of a few blocks) stays
// well below 2 GiB.
static_assert(uint64_t{kMaxDevices} * (kNameEntrySize + 6 * kMaxPeriods) + 4 * kHeaderBlock <
              uint64_t{INT32_MAX});

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
    const std::string texts[] = {"AT " + street, std::string(1, side) + " OF " + street, street,
                                 street + ", " + side};
    const std::string& text = texts[(cab.features & kCommaLocation) != 0 ? 3 : cab.number % 3];
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
    if ((cab.features & kPlain) != 0) {  // loops and a station only, no traps or meters
        line.resize(81);                 // older entries end after the station count
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

// ---------------------------------------------------------------------------------------------
// Packed entries (bit 7 is the most significant bit of a byte)

// Bytes per period of a device type; types the archive does not describe get 3-byte entries.
constexpr size_t entry_size(uint16_t type) {
    return type == kTypeTrap ? 6 : type == kTypeMeter ? 2 : 3;
}

// Packs a loop entry: incident 0-3, lanes 0-7, scan count 0-2047, flag 0-7, volume 0-31. A
// station entry differs in its last byte only: a one-bit flag and a 7-bit volume (0-127).
void pack_loop(uint8_t* p, unsigned incident, unsigned lanes, unsigned scan, unsigned flag,
               unsigned volume, bool station = false) {
    scan = std::min(scan, 2047u);
    p[0] = static_cast<uint8_t>(((incident & 3u) << 6) | ((lanes & 7u) << 3) | (scan >> 8));
    p[1] = static_cast<uint8_t>(scan & 0xFFu);
    p[2] = static_cast<uint8_t>(station ? ((flag & 1u) << 7) | std::min(volume, 127u)
                                        : ((flag & 7u) << 5) | std::min(volume, 31u));
}

// Packs a trap entry: flag byte, high nibble of byte 1, 10-bit speed and length in tenths,
// bins of 5, 4, 4 and 3 bits.
void pack_trap(uint8_t* p, unsigned flag, unsigned flag2, unsigned speed, unsigned length,
               const uint8_t bins[4]) {
    speed = std::min(speed, 1023u);
    length = std::min(length, 1023u);
    p[0] = static_cast<uint8_t>(flag & 0xFFu);
    p[1] = static_cast<uint8_t>((flag2 & 0xF0u) | ((length >> 8) << 2) | (speed >> 8));
    p[2] = static_cast<uint8_t>(speed & 0xFFu);
    p[3] = static_cast<uint8_t>(length & 0xFFu);
    p[4] = static_cast<uint8_t>((std::min<unsigned>(bins[3], 7u) << 5) |
                                std::min<unsigned>(bins[0], 31u));
    p[5] = static_cast<uint8_t>((std::min<unsigned>(bins[1], 15u) << 4) |
                                std::min<unsigned>(bins[2], 15u));
}

// Packs a metered-lane entry: rate byte, then two nibbles.
void pack_meter(uint8_t* p, unsigned rate, unsigned high, unsigned low) {
    p[0] = static_cast<uint8_t>(std::min(rate, 255u));
    p[1] = static_cast<uint8_t>(((high & 15u) << 4) | (low & 15u));
}

// Writes the station block: lane count, summed volume, mean scan count and the worst incident
// of the lane loops as they reported (a silent loop reports zeros).
void fill_station(const Cabinet& cab, const CabinetDay& day, const bool silent_lane[],
                  size_t periods, uint8_t* out) {
    const unsigned lanes = static_cast<unsigned>(cab.lanes);
    for (size_t c = 0; c < periods; ++c) {
        unsigned volume = 0, scan = 0, incident = 0, flag = 0;
        for (int k = 0; k < cab.lanes; ++k) {
            if (silent_lane[k]) continue;
            const LanePeriod& p = day.lane[k][c];
            volume += p.volume;
            scan += p.scan;
            incident = std::max<unsigned>(incident, p.incident);
            flag |= p.flag != 0 ? 1u : 0u;
        }
        pack_loop(out + 3 * c, incident, lanes, (scan + lanes / 2) / lanes, flag, volume, true);
    }
}

// Writes a loop block that follows a lane with a little noise of its own: a speed lane (second
// loop of the trap) or a lane variant.
void fill_companion_loop(const std::vector<LanePeriod>& lane, size_t periods, Rng& rng,
                         uint8_t* out) {
    for (size_t c = 0; c < periods; ++c) {
        int volume = lane[c].volume;
        if (rng.chance(0.03)) volume = std::clamp(volume + (rng.chance(0.5) ? 1 : -1), 0, 31);
        const double scan = lane[c].scan * rng.between(0.92, 1.08);
        pack_loop(out + 3 * c, lane[c].incident, 1, clamp_round(scan, 0.0, kFullScan), 0,
                  static_cast<unsigned>(volume));
    }
}

// Writes a trap block over a lane. A working trap sets bit 7 of its flag byte in every period,
// empty ones included; bit 7 of byte 1 marks a valid speed. Now and then a trap is out for a few
// hours and reports nothing at all.
void fill_trap(const std::vector<LanePeriod>& lane, size_t periods, Rng& rng, uint8_t* out) {
    size_t out_from = 0, out_to = 0;
    if (rng.chance(0.03)) {
        out_from = static_cast<size_t>(rng.range(0, std::max(0, static_cast<int>(periods) - 1)));
        out_to = out_from + static_cast<size_t>(rng.range(kPeriodsPerHour, 4 * kPeriodsPerHour));
    }
    for (size_t c = 0; c < periods; ++c) {
        uint8_t* p = out + 6 * c;
        if (c >= out_from && c < out_to) {
            std::memset(p, 0, 6);
            continue;
        }
        const LanePeriod& l = lane[c];
        const bool vehicles = l.volume != 0;
        unsigned flag = 0x80u;
        if (rng.chance(0.01)) flag |= static_cast<unsigned>(rng.range(1, 7));
        unsigned flag2 = vehicles ? 0x80u : 0u;
        if (rng.chance(0.03)) flag2 |= rng.chance(0.7) ? 0x40u : 0x20u;
        if (vehicles && rng.chance(0.005)) flag2 &= ~0x80u;  // counted, but no trusted speed
        pack_trap(p, flag, flag2, vehicles ? l.speed : 0u, vehicles ? l.length : 0u, l.bins);
    }
}

// Writes the block of one device of cabinet `cab` into out (entry size times periods bytes).
void fill_device(const Device& dev, const Cabinet& cab, const CabinetDay& day,
                 const bool silent_lane[], size_t periods, Rng& rng, uint8_t* out) {
    // The lane a mainline device follows; devices off the mainline (lane 0) do not read it.
    const std::vector<LanePeriod>& lane = day.lane[dev.lane >= 1 ? dev.lane - 1 : 0];
    switch (dev.kind) {
        case Kind::kStation:
            fill_station(cab, day, silent_lane, periods, out);
            break;
        case Kind::kLane:
            for (size_t c = 0; c < periods; ++c) {
                pack_loop(out + 3 * c, lane[c].incident, 1, lane[c].scan, lane[c].flag,
                          lane[c].volume);
            }
            break;
        case Kind::kSpeedLane:
        case Kind::kVariant:
            fill_companion_loop(lane, periods, rng, out);
            break;
        case Kind::kTrap:
            fill_trap(lane, periods, rng, out);
            break;
        case Kind::kRampLoop:
            for (size_t c = 0; c < periods; ++c) {
                pack_loop(out + 3 * c, 0, 1, day.ramp[c].scan, 0, day.ramp[c].volume);
            }
            break;
        case Kind::kMeter:
        case Kind::kBypassMeter: {
            const unsigned divisor = dev.kind == Kind::kMeter ? 1u : 2u;  // the bypass takes less
            for (size_t c = 0; c < periods; ++c) {
                const RampPeriod& r = day.ramp[c];
                pack_meter(out + 2 * c, r.meter_rate / divisor, r.meter_mode,
                           r.meter_queue / divisor);
            }
            break;
        }
        case Kind::kUnknown:
            for (size_t i = 0; i < 3 * periods; ++i) out[i] = static_cast<uint8_t>(rng.next());
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Data file

// A mainline loop reading forced above a full period.
struct ScanFault {
    size_t cabinet;
    int lane;  // 0-based
    int period;
    uint16_t scan;
};

// The faults of one day's file. Without --faults (or periods) none: no device silent and an
// empty run of outage cabinets.
struct DayFaults {
    std::vector<ScanFault> scans;
    std::vector<bool> silent;                  // per device: all zeros all day
    size_t outage_first = 1, outage_last = 0;  // cabinets of the outage
    int outage_from = 0, outage_to = 0;        // its periods
};

// Draws the day's faults when they are asked for: 4 to 8 scan counts above a full period, about
// one device in 70 silent (at least one), and a communication line down: a run of cabinets of
// the list that reports nothing at all for half an hour to two hours.
DayFaults draw_faults(const Layout& layout, const DayContext& ctx) {
    const size_t names = layout.devices.size();
    const int cabinets = static_cast<int>(layout.cabinets.size());
    DayFaults faults;
    faults.silent.assign(names, false);
    if (!ctx.faults || ctx.periods == 0) return faults;
    Rng rng{stream_seed(ctx.seed, 0x4641554C54ULL + static_cast<uint64_t>(ctx.index))};
    const int count = rng.range(4, 8);
    for (int i = 0; i < count; ++i) {
        ScanFault f{};
        f.cabinet = static_cast<size_t>(rng.range(0, cabinets - 1));
        f.lane = rng.range(0, layout.cabinets[f.cabinet].lanes - 1);
        f.period = rng.range(0, ctx.periods - 1);
        f.scan = static_cast<uint16_t>(rng.range(kFullScan + 1, 1800));
        faults.scans.push_back(f);
    }
    for (size_t i = 0; i < names; ++i) faults.silent[i] = rng.chance(0.015);
    faults.silent[static_cast<size_t>(rng.range(0, static_cast<int>(names) - 1))] = true;
    faults.outage_first = static_cast<size_t>(rng.range(0, cabinets - 1));
    faults.outage_last = std::min(faults.outage_first + static_cast<size_t>(rng.range(2, 7)),
                                  layout.cabinets.size() - 1);
    faults.outage_from = rng.range(0, ctx.periods - 1);
    faults.outage_to = std::min(
        ctx.periods, faults.outage_from + rng.range(kPeriodsPerHour / 2, 2 * kPeriodsPerHour));
    return faults;
}

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
    // clang-format off
    return "KORVA TMS Twenty Second Data File\n"
           "NG.2 Format\n"
           "DB Mode = FIXED\n"
           "DB Creation = " + date + " 00:00:05\n" +
           "File Write = " + next + " 00:00:10\n" +
           "Data Start = " + date + " 00:00:00\n" +
           "Data End = " + date + " " + end_time + "\n" +
           "Version = 2\n" +
           "Number of Names = " + std::to_string(names) + "\n" +
           "Number of Columns = " + std::to_string(ctx.periods) + "\n" +
           "Header Size = " + std::to_string(header_size) + "\n" +
           "Name List Size = " + std::to_string(kNameEntrySize * names) + "\n" +
           "Data Size = " + std::to_string(data_size) + "\n" +
           "File Size = " + std::to_string(file_size) + "\n" +
           "The remainder of this file is binary data\n";
    // clang-format on
}

// Appends a little-endian value of `bytes` bytes.
void put_le(std::vector<uint8_t>* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::string join_path(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool make_outdir(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    std::fprintf(stderr, "%s: cannot create folder %s: %s\n", kProgram, path.c_str(),
                 err == EEXIST ? "exists and is not a folder" : std::strerror(err));
    return false;
}

// A title line whose only '-' leads to the list date, a column header and a rule, then one line
// per cabinet with now and then a blank line or a comment.
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

// Header padded to whole kilobytes, name table, then every device's block in table order, made
// a cabinet at a time.
bool write_data_file(const std::string& path, const Layout& layout, const DayContext& ctx) {
    const size_t names = layout.devices.size();
    const size_t periods = static_cast<size_t>(ctx.periods);
    uint64_t data_size = 0;
    for (const Device& d : layout.devices) data_size += entry_size(d.type) * periods;
    uint64_t header_size = kHeaderBlock, file_size = 0;
    std::string header;
    for (;;) {  // the header states its own size: grow it until its text fits
        file_size = header_size + kNameEntrySize * names + data_size;
        header = header_text(ctx, names, header_size, data_size, file_size);
        if (header.size() <= header_size) break;
        header_size = (header.size() + kHeaderBlock - 1) / kHeaderBlock * kHeaderBlock;
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

    const DayFaults faults = draw_faults(layout, ctx);
    const std::vector<Bottleneck> bottlenecks =
        ctx.realistic ? std::vector<Bottleneck>{} : draw_bottlenecks(layout, ctx);
    CabinetDay day;  // each cabinet of the day in turn
    for (std::vector<LanePeriod>& lane : day.lane) lane.assign(periods, LanePeriod{});
    day.ramp.assign(periods, RampPeriod{});
    std::vector<uint8_t> block;
    for (size_t ci = 0; ci < layout.cabinets.size() && out.ok(); ++ci) {
        const Cabinet& cab = layout.cabinets[ci];
        const size_t first = cab.first_device, last = first + cab.device_count;
        Rng rng{stream_seed(ctx.seed, (static_cast<uint64_t>(ctx.index) << 32) | ci)};
        if (ctx.realistic) {
            simulate_realistic_cabinet(cab, ctx, rng, &day);
        } else {
            simulate_cabinet(cab, ctx, bottlenecks, rng, &day);
        }
        for (const ScanFault& f : faults.scans) {
            if (f.cabinet == ci) day.lane[f.lane][static_cast<size_t>(f.period)].scan = f.scan;
        }
        bool silent_lane[kMaxLanes] = {};
        for (size_t i = first; i < last; ++i) {
            const Device& d = layout.devices[i];
            if (d.kind == Kind::kLane && faults.silent[i]) silent_lane[d.lane - 1] = true;
        }
        const bool outage = ci >= faults.outage_first && ci <= faults.outage_last;
        block.clear();
        for (size_t i = first; i < last; ++i) {
            const Device& d = layout.devices[i];
            const size_t size = entry_size(d.type);
            const size_t at = block.size();
            block.resize(at + size * periods, 0);
            uint8_t* out_at = block.data() + at;
            if (!faults.silent[i]) fill_device(d, cab, day, silent_lane, periods, rng, out_at);
            if (outage) {
                std::memset(out_at + size * static_cast<size_t>(faults.outage_from), 0,
                            size * static_cast<size_t>(faults.outage_to - faults.outage_from));
            }
        }
        out.write(block.data(), block.size());
    }
    if (!out.close()) return false;
    std::printf("wrote %s (%zu device%s, %d period%s, %llu bytes)\n", path.c_str(), names,
                names == 1 ? "" : "s", ctx.periods, ctx.periods == 1 ? "" : "s",
                static_cast<unsigned long long>(file_size));
    return true;
}

}  // namespace sample

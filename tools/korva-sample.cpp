// korva-sample: writes a deterministic sample archive for korva2csv.
//
// The archive holds one twenty-second data file per day (ASCII header, 27-byte name table,
// bit-packed per-device blocks) and one fixed-column cabinet list. Field cabinets are laid out
// once per run; every day then gets its own traffic: a night lull, morning and evening peaks with
// bottleneck queues that spread upstream along a roadway and direction, lighter weekends, and the
// small irregularities real field data shows (idle traps, incidents, odd flags, devices of
// unknown type).
//
// This file reads the command line, keeps the calendar the archive names its days by, and runs
// the days. sample_layout.cpp lays out the cabinets and devices, sample_traffic.cpp simulates
// their traffic, sample_realistic.cpp does both for the busy network's days of --realistic, and
// sample_files.cpp packs the data files and writes the cabinet list.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "sample.h"

namespace sample {

// ---------------------------------------------------------------------------------------------
// Calendar

long days_from_civil(Date d) {
    const int y = d.year - (d.month <= 2 ? 1 : 0);
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long mp = (d.month + 9) % 12;
    const long doy = (153 * mp + 2) / 5 + d.day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

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

std::string us_date(Date d) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d.month, d.day, d.year);
    return buf;
}

namespace {

// True for Saturday and Sunday.
bool is_weekend(long days) {
    const long weekday = ((days % 7) + 7 + 4) % 7;  // 1970-01-01 was a Thursday; 0 = Sunday
    return weekday == 0 || weekday == 6;
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

// Prints the usage text to `to`.
void print_usage(FILE* to) {
    std::fprintf(
        to,
        "usage: %s [-n DEVICES] [-p PERIODS] [-d DAYS] [-s SEED] [-D MM/DD/YYYY] [--faults]\n"
        "       [--realistic] OUTDIR\n"
        "Writes a sample archive: daily data files KORVA20S_YYYYMMDD.DAT and the cabinet\n"
        "list CABINETS_YYYYMMDD.LST of the first day.\n"
        "  -n DEVICES   devices per data file, 1..%d (default 120)\n"
        "  -p PERIODS   20-second periods per day, 0..%d (default %d)\n"
        "  -d DAYS      daily data files on consecutive dates, 0..%d (default 2)\n"
        "  -s SEED      seed of the generator, 0..2^64-1 (default 1)\n"
        "  -D DATE      first day as MM/DD/YYYY (default 05/01/2021)\n"
        "  --faults     add a few scan counts above %u, some silent devices and an outage\n"
        "  --realistic  a busy network's days instead: about 70%% loops, 15%% stations, 10%%\n"
        "               speed traps, 5%% metered lanes, values over their whole ranges all day\n"
        "  -h, --help   print this text\n"
        "OUTDIR is created if missing (one level).\n",
        kProgram, kMaxDevices, kMaxPeriods, kMaxPeriods, kMaxDays, kFullScan);
}

// Parses a whole decimal number no larger than hi; false on anything else (a sign, a blank,
// trailing characters, overflow).
bool parse_number(const char* text, uint64_t hi, uint64_t* out) {
    if (*text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > hi) return false;
    *out = v;
    return true;
}

// Parses a whole decimal number in [lo, hi] (lo >= 0); false on anything else.
bool parse_int(const char* text, int lo, int hi, int* out) {
    uint64_t v = 0;
    if (!parse_number(text, static_cast<uint64_t>(hi), &v) || v < static_cast<uint64_t>(lo)) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// The options that take a value, each with the parser of its text into the options.
struct ValueOption {
    char letter;
    bool (*parse)(const char* text, Options* opt);
};

constexpr ValueOption kValueOptions[] = {
    {'n', [](const char* t, Options* o) { return parse_int(t, 1, kMaxDevices, &o->devices); }},
    {'p', [](const char* t, Options* o) { return parse_int(t, 0, kMaxPeriods, &o->periods); }},
    {'d', [](const char* t, Options* o) { return parse_int(t, 0, kMaxDays, &o->days); }},
    {'s', [](const char* t, Options* o) { return parse_number(t, UINT64_MAX, &o->seed); }},
    {'D', [](const char* t, Options* o) { return parse_date(t, &o->first); }},
};

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
        if (std::strcmp(arg, "--realistic") == 0) {
            opt->realistic = true;
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
        const ValueOption* option =
            std::find_if(std::begin(kValueOptions), std::end(kValueOptions),
                         [letter](const ValueOption& o) { return o.letter == letter; });
        if (option == std::end(kValueOptions)) {
            std::fprintf(stderr, "%s: unknown option '%s'\n", kProgram, arg);
            return ParseResult::kError;
        }
        const char* value = arg[2] != '\0' ? arg + 2 : (i + 1 < argc ? argv[++i] : nullptr);
        if (value == nullptr) {
            std::fprintf(stderr, "%s: option -%c needs a value\n", kProgram, letter);
            return ParseResult::kError;
        }
        if (!option->parse(value, opt)) {
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

}  // namespace
}  // namespace sample

// Parses the options, lays out the cabinets, and writes the cabinet list and the data files.
// Exit status 0 on success, 1 on bad usage or an I/O error.
int main(int argc, char** argv) {
    using namespace sample;
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

    const Layout layout = opt.realistic ? build_realistic_layout(opt) : build_layout(opt);
    const std::string list_name = "CABINETS_" + compact_date(opt.first) + ".LST";
    if (!write_cabinet_list(join_path(opt.outdir, list_name), layout, opt)) return 1;

    const long first_day = days_from_civil(opt.first);
    for (int i = 0; i < opt.days; ++i) {
        const DayContext ctx{.date = civil_from_days(first_day + i),
                             .index = i,
                             .weekend = is_weekend(first_day + i),
                             .faults = opt.faults,
                             .realistic = opt.realistic,
                             .periods = opt.periods,
                             .seed = opt.seed};
        const std::string name = "KORVA20S_" + compact_date(ctx.date) + ".DAT";
        if (!write_data_file(join_path(opt.outdir, name), layout, ctx)) return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// --health=KEY=VALUE,...: the thresholds of the health report, read from their texts.
#include "cli/HealthOptions.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kHealthHelp[] =
    "\tOption --health[=KEY=VALUE,...]  Detector health report; KEYs (defaults): "
    "window=05:00-22:00,\n\t\tinsufficient=60, card_off=59, high_occupancy=20, no_volume=2, "
    "no_occupancy=50,\n\t\timplausible=20 (percent), high_scan=840 (scan count), constant=720 "
    "(periods)\n";

// The period a time of day "HH:MM" or "HH:MM:SS" (seconds 00, 20 or 40) starts, 00:00 to 24:00,
// read from the `length` characters at text; -1 when it is none.
static int ReadPeriodStart(const char* text, size_t length) {
    bool seconds = length == 8;
    if ((length != 5 && !seconds) || text[2] != ':' || (seconds && text[5] != ':')) return -1;
    for (size_t i = 0; i < length; i++)
        if (i % 3 != 2 && !isdigit((unsigned char)text[i])) return -1;
    auto pair = [text](size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
    int hours = pair(0), minutes = pair(3), second = seconds ? pair(6) : 0;
    int period = hours * 180 + minutes * 3 + second / 20;
    if (minutes > 59 || second % 20 != 0 || second > 40 || period > PERIODS_PER_DAY) return -1;
    return period;
}

// A share "P" or "P.D" percent, 0 to 100, as tenths of a percent; -1 when it is none.
static int ReadShare(const char* text, size_t length) {
    int tenths = 0;
    size_t whole = 0;
    while (whole < length && whole < 3 && isdigit((unsigned char)text[whole]))
        tenths = tenths * 10 + (text[whole++] - '0');
    tenths *= 10;
    if (whole == 0) return -1;
    if (whole < length) {
        if (length != whole + 2 || text[whole] != '.' || !isdigit((unsigned char)text[whole + 1]))
            return -1;
        tenths += text[whole + 1] - '0';
    }
    return tenths <= 1000 ? tenths : -1;
}

// A whole number of at most nine digits, from lowest to highest; -1 when it is none.
static int ReadCount(const char* text, size_t length, int lowest, int highest) {
    if (length == 0 || length > 9) return -1;
    int number = 0;
    for (size_t i = 0; i < length; i++) {
        if (!isdigit((unsigned char)text[i])) return -1;
        number = number * 10 + (text[i] - '0');
    }
    return number >= lowest && number <= highest ? number : -1;
}

// The keys of --health=: the window, shares of it in percent, and counts; each with what its
// value must be.
enum HealthValue { HEALTH_WINDOW, HEALTH_SHARE, HEALTH_SCAN, HEALTH_PERIODS };
#define SHARE_WANTED " is a percent from 0 to 100, one decimal at most"
static const struct {
    const char* szKey;
    HealthValue kind;
    int tagHEALTHRULES::*lpRule;
    const char* szWanted;
} kHealthKeys[] = {
    {"window", HEALTH_WINDOW, nullptr,
     "window is HH:MM-HH:MM (or HH:MM:SS, seconds 00, 20 or 40) within 00:00-24:00, its start "
     "before its end"},
    {"insufficient", HEALTH_SHARE, &tagHEALTHRULES::iInsufficient, "insufficient" SHARE_WANTED},
    {"card_off", HEALTH_SHARE, &tagHEALTHRULES::iCardOff, "card_off" SHARE_WANTED},
    {"high_occupancy", HEALTH_SHARE, &tagHEALTHRULES::iHighOccupancy,
     "high_occupancy" SHARE_WANTED},
    {"no_volume", HEALTH_SHARE, &tagHEALTHRULES::iNoVolume, "no_volume" SHARE_WANTED},
    {"no_occupancy", HEALTH_SHARE, &tagHEALTHRULES::iNoOccupancy, "no_occupancy" SHARE_WANTED},
    {"implausible", HEALTH_SHARE, &tagHEALTHRULES::iImplausible, "implausible" SHARE_WANTED},
    {"high_scan", HEALTH_SCAN, &tagHEALTHRULES::iHighScan,
     "high_scan is a scan count from 0 to 1200"},
    {"constant", HEALTH_PERIODS, &tagHEALTHRULES::iConstant,
     "constant is a number of periods from 1 to 4320"},
};
#undef SHARE_WANTED

// One KEY=VALUE of --health= (the `length` characters at item) into rules. Returns null when
// taken, else what is wrong with it.
static const char* AcceptHealthItem(const char* item, size_t length, tagHEALTHRULES* rules) {
    const char* equals = (const char*)memchr(item, '=', length);
    size_t keyLength = equals ? (size_t)(equals - item) : length;
    const char* value = item + keyLength + 1;
    size_t valueLength = equals ? length - keyLength - 1 : 0;
    for (const auto& key : kHealthKeys) {
        if (strlen(key.szKey) != keyLength || strncmp(item, key.szKey, keyLength) != 0) continue;
        if (!equals) return key.szWanted;
        if (key.kind == HEALTH_WINDOW) {
            const char* dash = (const char*)memchr(value, '-', valueLength);
            int first = dash ? ReadPeriodStart(value, (size_t)(dash - value)) : -1;
            int end =
                dash ? ReadPeriodStart(dash + 1, valueLength - (size_t)(dash - value) - 1) : -1;
            if (first < 0 || end <= first) return key.szWanted;
            rules->iWindowFirst = first;
            rules->iWindowEnd = end;
            return nullptr;
        }
        int number = key.kind == HEALTH_SHARE  ? ReadShare(value, valueLength)
                     : key.kind == HEALTH_SCAN ? ReadCount(value, valueLength, 0, 1200)
                                               : ReadCount(value, valueLength, 1, PERIODS_PER_DAY);
        if (number < 0) return key.szWanted;
        rules->*key.lpRule = number;
        return nullptr;
    }
    return "KEY=VALUE expected, KEY one of window, insufficient, card_off, high_occupancy, "
           "no_volume, no_occupancy, implausible, high_scan, constant";
}

// --health=KEY=VALUE[,KEY=VALUE...]: the health report, with the thresholds named (the others
// keep their defaults; a key named twice takes its last value). Returns 1 when accepted, else
// says why and returns 0, the settings untouched.
int AcceptHealth(const char* value, tagSETTINGS* s) {
    tagHEALTHRULES rules = s->health;
    const char* wrong = nullptr;
    for (const char* item = value; !wrong;) {
        size_t length = strcspn(item, ",");
        wrong = AcceptHealthItem(item, length, &rules);
        if (item[length] == '\0') break;
        item += length + 1;
    }
    if (wrong) {
        printf("     E Illegal '--health' value [%s] -- %s!\n", value, wrong);
        fputs(kHealthHelp, stdout);
        return 0;
    }
    s->health = rules;
    s->bHealth = 1;
    printf("\tOption --health, String = %s\n", value);
    return 1;
}

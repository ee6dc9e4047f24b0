#include "cli/Options.h"

#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "cli/HealthOptions.h"

static const char kSeparators[] =
    "Command separators - / upper or lower case are equivalent for any valid command. "
    "(-X, /X, -x, or /x )";

// ---- Letters --------------------------------------------------------------------------------

// One option code (the letter after '-' or '/') and what it fills. Its handler takes the whole
// argument ("-Xvalue") and returns what ProcessCommandLine returns: OPTIONS_REFUSED (after
// saying why), OPTIONS_HELP or OPTIONS_GO_ON.
struct tagLETTER {
    char cLetter;
    const char* szHelp;  // its line of the help table (none for -? and --)
    int (*Accept)(const tagLETTER& option, const char* argument, tagSETTINGS* s);
    int tagSETTINGS::*lpFlag = nullptr;       // a flag, or the flag a glued text sets
    char* (*Text)(tagSETTINGS* s) = nullptr;  // a folder (FOLDER_SIZE bytes), or a text's field
    // A glued text: the size of its field, its fewest characters, and its shape: as many
    // characters as the text must have, with ':' where it needs a colon.
    size_t uiSize = 0, uiLeast = 0;
    const char* szShape = nullptr;
};

static void PrintHelpTable();

// Says what is wrong with an option's value, followed by the option's help line.
[[gnu::format(printf, 2, 3)]] static int Refuse(const tagLETTER& option, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fputs(option.szHelp, stdout);
    return OPTIONS_REFUSED;
}

// An option code no letter has: the whole help table.
static int RefuseCode(char code) {
    printf("     E Illegal option code = %c\n", code);
    PrintHelpTable();
    return OPTIONS_REFUSED;
}

// A flag option: echo its help line, note its letter in szCmdLine (which holds fifteen; later
// letters still take effect but are not listed) and set the flag.
static int AcceptFlag(const tagLETTER& option, const char*, tagSETTINGS* s) {
    fputs(option.szHelp, stdout);
    size_t used = strlen(s->szCmdLine);
    if (used + 2 < sizeof s->szCmdLine) {
        s->szCmdLine[used] = option.cLetter;
        s->szCmdLine[used + 1] = ' ';
        s->szCmdLine[used + 2] = '\0';
    }
    s->*option.lpFlag = 1;
    return OPTIONS_GO_ON;
}

// A folder option (-I, -O, -F): needs a value of at least two characters, and room in the
// folder field for the '/' that the folder step may append.
static int AcceptFolder(const tagLETTER& option, const char* argument, tagSETTINGS* s) {
    const char* value = argument + 2;
    if (strlen(value) < 2)
        return Refuse(option, "     E Illegal syntax -- no '%c' string!\n", option.cLetter);
    if (strlen(value) > FOLDER_SIZE - 2)
        return Refuse(option, "     E Illegal '%c' folder -- longer than %d characters!\n",
                      option.cLetter, FOLDER_SIZE - 2);
    char* folder = option.Text(s);
    strcpy(folder, value);
    printf("\tOption -%c, String = %s\n", option.cLetter, folder);
    return OPTIONS_GO_ON;
}

// A glued text (-P, -D): one of fewer than uiLeast characters is no value; any other is kept
// (cut to its field) and echoed, and sets the flag only when it has the option's shape.
static int AcceptText(const tagLETTER& option, const char* argument, tagSETTINGS* s) {
    const char* value = argument + 2;
    size_t length = strlen(value);
    if (length < option.uiLeast)
        return Refuse(option, "     E Illegal syntax -- no '%c' string!\n", option.cLetter);
    char* text = option.Text(s);
    snprintf(text, option.uiSize, "%s", value);
    printf("\tOption -%c, String = %s\n", option.cLetter, text);
    bool shaped = length == strlen(option.szShape);
    for (size_t i = 0; shaped && option.szShape[i]; i++)
        shaped = option.szShape[i] != ':' || value[i] == ':';
    if (!shaped)
        return Refuse(option,
                      "     E Illegal '%c' syntax -- too long, too short, or missing ':'!\n",
                      option.cLetter);
    s->*option.lpFlag = 1;
    return OPTIONS_GO_ON;
}

// -?: the whole help table; the run ends there.
static int AcceptHelp(const tagLETTER&, const char*, tagSETTINGS*) {
    puts(kSeparators);
    PrintHelpTable();
    return OPTIONS_HELP;
}

// ---- Long options ---------------------------------------------------------------------------

// --compress=gzip[:0-3] or --compress=zstd[:1-19]; level 1 (the fastest of each) by default.
// Returns 1 when accepted, else says why and returns 0.
static int AcceptCompression(const char* value, tagSETTINGS* s) {
    static const struct {
        const char* name;
        int kind, lowest, highest;
    } kinds[] = {{"gzip", COMPRESS_GZIP, 0, 3}, {"zstd", COMPRESS_ZSTD, 1, 19}};
    for (const auto& k : kinds) {
        size_t length = strlen(k.name);
        if (strncmp(value, k.name, length) != 0) continue;
        int level = 1;
        const char* rest = value + length;
        if (*rest == ':') {
            char* end = nullptr;
            long number = strtol(rest + 1, &end, 10);
            // One spelling a level: digits without a leading zero ("gzip:01" is no level).
            bool spelled = isdigit((unsigned char)rest[1]) && (rest[1] != '0' || rest[2] == '\0');
            if (!spelled || *end != '\0' || number < k.lowest || number > k.highest) break;
            level = (int)number;
        } else if (*rest != '\0') {
            break;
        }
        s->iCompression = k.kind;
        s->iCompressionLevel = level;
        printf("\tOption --compress, String = %s\n", value);
        return 1;
    }
    printf("     E Illegal '--compress' value [%s] -- gzip, gzip:0 to 3, zstd or zstd:1 to 19!\n",
           value);
    return 0;
}

// --parquet, --parquet=zstd[:1-19] or --parquet=none: Parquet reports of the standard CSV's
// columns, zstd level 1 pages by default. Returns 1 when accepted, else says why and returns 0.
static int AcceptParquet(const char* value, tagSETTINGS* s) {
    int codec = 6, level = 1;
    bool known = *value == '\0' || strcmp(value, "=zstd") == 0;
    if (strcmp(value, "=none") == 0) known = true, codec = 0;
    if (strncmp(value, "=zstd:", 6) == 0) {
        char* end = nullptr;
        long number = strtol(value + 6, &end, 10);
        known = isdigit((unsigned char)value[6]) && value[6] != '0' && *end == '\0' &&
                number >= 1 && number <= 19;
        level = (int)number;
    }
    if (!known) {
        printf("     E Illegal '--parquet' value [%s] -- zstd, zstd:1 to 19 or none!\n",
               value + (*value == '='));
        return 0;
    }
    s->bParquet = s->bClean = 1;  // the columns of the standard CSV
    s->iParquetCodec = codec;
    s->iParquetLevel = level;
    if (*value) printf("\tOption --parquet, String = %s\n", value + 1);
    return 1;
}

static const char kAggregateHelp[] =
    "\tOption --aggregate=MINUTES[,MINUTES...]  Summaries in bins of MINUTES (a divisor of 1440; "
    "-P does not apply)\n";

// --aggregate=5,15,60: each a divisor of 1440 from 1 to 1440, written once however often it is
// named. Returns 1 when accepted, else says why and returns 0.
static int AcceptAggregates(const char* value, tagSETTINGS* s) {
    int minutes[MAX_AGGREGATES], count = 0;
    for (const char* p = value;; p++) {
        char* end = nullptr;
        long number = isdigit((unsigned char)*p) ? strtol(p, &end, 10) : 0;
        if (number < 1 || number > 1440 || 1440 % number != 0 || (*end != ',' && *end != '\0')) {
            printf(
                "     E Illegal '--aggregate' value [%s] -- divisors of 1440 minutes, as in "
                "5,15,60!\n",
                value);
            fputs(kAggregateHelp, stdout);
            return 0;
        }
        bool known = false;
        for (int i = 0; i < count; i++) known = known || minutes[i] == (int)number;
        if (!known) minutes[count++] = (int)number;
        p = end;
        if (*p == '\0') break;
    }
    memcpy(s->iAggregateMinutes, minutes, sizeof minutes);
    s->iAggregates = count;
    printf("\tOption --aggregate, String = %s\n", value);
    return 1;
}

// --cabinets=<list file>: the cabinet list the devices are joined to, a path of at most 259
// characters. Returns 1 when accepted, else says why and returns 0.
static int AcceptCabinets(const char* value, tagSETTINGS* s) {
    if (value[0] == '\0' || strlen(value) >= sizeof s->szCabinets) {
        printf(
            "     E Illegal '--cabinets' value [%s] -- a cabinet list file of 1 to %d "
            "characters!\n",
            value, (int)sizeof s->szCabinets - 1);
        return 0;
    }
    strcpy(s->szCabinets, value);
    printf("\tOption --cabinets, String = %s\n", value);
    return 1;
}

// A long option: a switch sets its flag; a name ending in '=' hands what follows it to Accept,
// which returns 1 when it takes the value, else says why and returns 0. Long options are ours
// alone: the letters never took a second '-'.
struct tagLONGOPTION {
    const char* szName;
    int tagSETTINGS::*lpFlag;
    int (*Accept)(const char* value, tagSETTINGS* s);
};
static const tagLONGOPTION kLongOptions[] = {
    {"--strict", &tagSETTINGS::bStrict, nullptr},       {"--clean", &tagSETTINGS::bClean, nullptr},
    {"--health", &tagSETTINGS::bHealth, nullptr},       {"--health=", nullptr, AcceptHealth},
    {"--aggregate=", nullptr, AcceptAggregates},        {"--compress=", nullptr, AcceptCompression},
    {"--corridors", &tagSETTINGS::bCorridors, nullptr}, {"--cabinets=", nullptr, AcceptCabinets},
    {"--parquet", nullptr, AcceptParquet},
};

// "--...": the long option it names.
static int AcceptLongOption(const tagLETTER&, const char* argument, tagSETTINGS* s) {
    for (const tagLONGOPTION& option : kLongOptions) {
        size_t length = strlen(option.szName);
        if (option.lpFlag && strcmp(argument, option.szName) == 0) {
            s->*option.lpFlag = 1;
            return OPTIONS_GO_ON;
        }
        if (option.Accept && strncmp(argument, option.szName, length) == 0)
            return option.Accept(argument + length, s) ? OPTIONS_GO_ON : OPTIONS_REFUSED;
    }
    return RefuseCode('-');
}

// ---- Option table ---------------------------------------------------------------------------

// The option codes, the letters in the order of the help table.
static const tagLETTER kLetters[] = {
    {'A',
     "\tReport -A  Output Contents - detectors, stations, speed loops, traps, metered lanes with "
     "lane count\n",
     AcceptFlag, &tagSETTINGS::bLISTALLELEMENTS},
    {'C', "\tOption -C  Include Ramp Meter Lanes\n", AcceptFlag, &tagSETTINGS::bINCLUDEMETERS},
    {'L', "\tReport -L  Output Lane Data\n", AcceptFlag, &tagSETTINGS::bWRITELANES},
    {'S', "\tOption -S  Include Speed detector Data (Lanes with S in the 17th character)\n",
     AcceptFlag, &tagSETTINGS::bINCLUDESPEEDLANES},
    {'T',
     "\tReport -T  Output Trap Data (virtual speed detectors made from 2 detectors in a lane)\n",
     AcceptFlag, &tagSETTINGS::bWRITETRAPS},
    {'E', "\tReport -E  Output Element Data (Lane data merged with virtual Trap data)\n",
     AcceptFlag, &tagSETTINGS::bWRITEELEMENTS},
    {'R', "\tOption -R  Include Lane or Trap data by row first (device) then column (time)\n",
     AcceptFlag, &tagSETTINGS::bWRITEROWSFIRST},
    {'M', "\tReport -M  Output metadata files (.LST)\n", AcceptFlag, &tagSETTINGS::bCONVERTMETA},
    {'I',
     "\tOption -I[\"path\"] Input folder (-I\"c:\\examplefolder\"  -location of the binary data "
     "files (.DAT))\n",
     AcceptFolder, nullptr, [](tagSETTINGS* s) { return s->szSourceFolder; }},
    {'O',
     "\tOption -O[\"path\"] Output folder (-O\"c:\\examplefolder\"  -location to write reports)\n",
     AcceptFolder, nullptr, [](tagSETTINGS* s) { return s->szTargetFolder; }},
    {'F',
     "\tOption -F[\"path\"] Log file folder (-F\"c:\\examplefolder\"  -location to write log "
     "files)\n",
     AcceptFolder, nullptr, [](tagSETTINGS* s) { return s->szLogFolder; }},
    {'P', "\tOption -P[\"timeperiod\"] Output a single time period (-P\"00:00:00\" (:20, :40))\n",
     AcceptText, &tagSETTINGS::bPERIOD, [](tagSETTINGS* s) { return s->szPeriod; },
     sizeof tagSETTINGS::szPeriod, 2, "..:..:.."},
    {'D', "\tOption -D[\"device\"] Output a single device dataset (-D\"005es17329:_MN___1\")\n",
     AcceptText, &tagSETTINGS::bDEVICE, [](tagSETTINGS* s) { return s->szDevice; },
     sizeof tagSETTINGS::szDevice, 18, "..........:......."},
    {'?', nullptr, AcceptHelp},
    {'-', nullptr, AcceptLongOption},
};

static void PrintHelpTable() {
    for (const tagLETTER& option : kLetters)
        if (option.szHelp) fputs(option.szHelp, stdout);
}

// The option of code (the argument's second character, in upper case).
static int AcceptOption(char code, const char* argument, tagSETTINGS* s) {
    for (const tagLETTER& option : kLetters)
        if (option.cLetter == code) return option.Accept(option, argument, s);
    return RefuseCode(code);
}

// ---- The command line -----------------------------------------------------------------------

// Fills an empty folder with the current folder and makes it end in '/'. When the current
// folder cannot be named (deleted, or too long a path), the folder stays "./": relative to it,
// never the root.
static void CompleteFolder(char* folder, const char* failure) {
    if (folder[0] == '\0' &&
        (getcwd(folder, FOLDER_SIZE) == nullptr || strlen(folder) > FOLDER_SIZE - 2)) {
        strcpy(folder, ".");
        puts(failure);
    }
    size_t length = strlen(folder);
    if (length == 0 || folder[length - 1] != '/') {
        folder[length] = '/';
        folder[length + 1] = '\0';
    }
}

// The column of a "-P" text HH:MM:SS: hours * 180 + minutes * 3 + (20 -> 1, 40 -> 2, other
// seconds as their number), and whether it is a period of the day written in digits.
static void ReadPeriodColumn(tagSETTINGS* s) {
    const char* period = s->szPeriod;
    size_t length = strnlen(period, 8);
    auto pair = [period, length](size_t at) {
        char text[3] = {at < length ? period[at] : '\0', at + 1 < length ? period[at + 1] : '\0',
                        '\0'};
        return (int)strtol(text, nullptr, 10);
    };
    int seconds = pair(6);
    int step = seconds == 20 ? 1 : seconds == 40 ? 2 : seconds;
    int column = pair(0) * 180 + pair(3) * 3 + step;
    bool digits = true;
    for (int at : {0, 1, 3, 4, 6, 7}) digits = digits && isdigit((unsigned char)period[at]);
    s->iPeriodColumn = column;
    s->bPeriodInDay = digits && column >= 0 && column < PERIODS_PER_DAY;
}

int ProcessCommandLine(int argc, char* argv[], tagSETTINGS* settings) {
    if (argc <= 1) {
        printf("Usage: %s /? for help\n", argc > 0 && argv[0] ? argv[0] : "korva2csv");
        puts("Using defaults, processing files in current folder, only printing Element Data.");
        settings->bWRITEELEMENTS = 1;
    }
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (argument[0] != '-' && argument[0] != '/') continue;  // not an option: ignored
        char code = (char)toupper((unsigned char)argument[1]);
        int result = AcceptOption(code, argument, settings);
        if (result != OPTIONS_GO_ON) return result;
    }
    // A corridor report is made of the summaries' bins: without one there is nothing to write.
    if (settings->bCorridors && settings->iAggregates == 0) {
        printf("     E Illegal '--corridors' -- needs --aggregate=MINUTES for its bins!\n");
        fputs(kAggregateHelp, stdout);
        return OPTIONS_REFUSED;
    }
    if (settings->bParquet && settings->iCompression != COMPRESS_NONE) {
        puts("     E Option --compress does not apply to --parquet (its pages are compressed)!");
        return OPTIONS_REFUSED;
    }
    ReadPeriodColumn(settings);
    CompleteFolder(settings->szSourceFolder, "     E Failed to get current folder.");
    CompleteFolder(settings->szTargetFolder, "     E Failed to get target folder.");
    CompleteFolder(settings->szLogFolder, "     E Failed to get log folder.");
    return OPTIONS_GO_ON;
}

int AnswerLongQuestion(int argc, char* argv[]) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("korva2csv %s\n", szVersion);
            return 1;
        }
        if (strcmp(argv[i], "--help") == 0) {
            puts(
                "Usage: korva2csv [options]   (options begin with - or /, values glued to the "
                "letter)");
            puts(kSeparators);
            PrintHelpTable();
            puts("\tOption --strict  Exit status 5 when any file got an error line in the log");
            puts("\tOption --clean   Reports in standard CSV: lower-case header, ISO 8601 times");
            fputs(kAggregateHelp, stdout);
            fputs(kHealthHelp, stdout);
            puts(
                "\tOption --cabinets=LIST  Summaries and health report joined to the cabinets "
                "of a list (.LST)");
            puts(
                "\tOption --corridors  Corridor report (VMT, VHT, delay, travel time) per "
                "--aggregate width");
            puts("\tOption --compress=gzip[:0-3] or zstd[:1-19]  Reports compressed (.gz, .zst)");
            puts(
                "\tOption --parquet[=zstd[:1-19]|none]  Reports as Parquet files (.parquet), "
                "pages zstd:1 by default");
            puts("\tOption --help    Print this text;  --version  print the version");
            return 1;
        }
    }
    return 0;
}

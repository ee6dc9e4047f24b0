// main: the run driver, the command-line options and the run log.
#include "main.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Common.h"
#include "Process20SecondDataFile.h"
#include "ProcessMetaDataFile.h"

// --strict: the exit status tells whether any file got an E line.
static int bStrict;

static const char kSeparators[] =
    "Command separators - / upper or lower case are equivalent for any valid command. "
    "(-X, /X, -x, or /x )";

// ---- Options -------------------------------------------------------------------------------

// One option code (the letter after '-' or '/') and what it fills. Its handler takes the whole
// argument ("-Xvalue") and returns what ProcessCommandLine returns: OPTIONS_REFUSED (after
// saying why), OPTIONS_HELP or OPTIONS_GO_ON.
struct tagLETTER {
    char cLetter;
    const char* szHelp;  // its line of the help table (none for -? and --)
    int (*Accept)(const tagLETTER& option, const char* argument);
    int* lpFlag = nullptr;   // a flag, or the flag a glued text sets
    char* lpText = nullptr;  // a folder (FOLDER_SIZE bytes), or a glued text's field
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
static int AcceptFlag(const tagLETTER& option, const char*) {
    fputs(option.szHelp, stdout);
    size_t used = strlen(szCmdLine);
    if (used + 2 < sizeof szCmdLine) {
        szCmdLine[used] = option.cLetter;
        szCmdLine[used + 1] = ' ';
        szCmdLine[used + 2] = '\0';
    }
    *option.lpFlag = 1;
    return OPTIONS_GO_ON;
}

// A folder option (-I, -O, -F): needs a value of at least two characters, and room in the
// folder field for the '/' that the folder step may append.
static int AcceptFolder(const tagLETTER& option, const char* argument) {
    const char* value = argument + 2;
    if (strlen(value) < 2)
        return Refuse(option, "     E Illegal syntax -- no '%c' string!\n", option.cLetter);
    if (strlen(value) > FOLDER_SIZE - 2)
        return Refuse(option, "     E Illegal '%c' folder -- longer than %d characters!\n",
                      option.cLetter, FOLDER_SIZE - 2);
    strcpy(option.lpText, value);
    printf("\tOption -%c, String = %s\n", option.cLetter, option.lpText);
    return OPTIONS_GO_ON;
}

// A glued text (-P, -D): one of fewer than uiLeast characters is no value; any other is kept
// (cut to its field) and echoed, and sets the flag only when it has the option's shape.
static int AcceptText(const tagLETTER& option, const char* argument) {
    const char* value = argument + 2;
    size_t length = strlen(value);
    if (length < option.uiLeast)
        return Refuse(option, "     E Illegal syntax -- no '%c' string!\n", option.cLetter);
    snprintf(option.lpText, option.uiSize, "%s", value);
    printf("\tOption -%c, String = %s\n", option.cLetter, option.lpText);
    bool shaped = length == strlen(option.szShape);
    for (size_t i = 0; shaped && option.szShape[i]; i++)
        shaped = option.szShape[i] != ':' || value[i] == ':';
    if (!shaped)
        return Refuse(option,
                      "     E Illegal '%c' syntax -- too long, too short, or missing ':'!\n",
                      option.cLetter);
    *option.lpFlag = 1;
    return OPTIONS_GO_ON;
}

// -?: the whole help table; the run ends there.
static int AcceptHelp(const tagLETTER&, const char*) {
    puts(kSeparators);
    PrintHelpTable();
    return OPTIONS_HELP;
}

// ---- Long options ---------------------------------------------------------------------------

// --compress=gzip[:0-3] or --compress=zstd[:1-19]; level 1 (the fastest of each) by default.
// Returns 1 when accepted, else says why and returns 0.
static int AcceptCompression(const char* value) {
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
            if (!isdigit((unsigned char)rest[1]) || *end != '\0' || number < k.lowest ||
                number > k.highest)
                break;
            level = (int)number;
        } else if (*rest != '\0') {
            break;
        }
        iCompression = k.kind;
        iCompressionLevel = level;
        printf("\tOption --compress, String = %s\n", value);
        return 1;
    }
    printf("     E Illegal '--compress' value [%s] -- gzip, gzip:0 to 3, zstd or zstd:1 to 19!\n",
           value);
    return 0;
}

static const char kAggregateHelp[] =
    "\tOption --aggregate=MINUTES[,MINUTES...]  Summaries in bins of MINUTES (a divisor of 1440; "
    "-P does not apply)\n";

// --aggregate=5,15,60: each a divisor of 1440 from 1 to 1440, written once however often it is
// named. Returns 1 when accepted, else says why and returns 0.
static int AcceptAggregates(const char* value) {
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
    memcpy(iAggregateMinutes, minutes, sizeof minutes);
    iAggregates = count;
    printf("\tOption --aggregate, String = %s\n", value);
    return 1;
}

// A long option: a switch sets its flag; a name ending in '=' hands what follows it to Accept,
// which returns 1 when it takes the value, else says why and returns 0. Long options are ours
// alone: the letters never took a second '-'.
struct tagLONGOPTION {
    const char* szName;
    int* lpFlag;
    int (*Accept)(const char* value);
};
static const tagLONGOPTION kLongOptions[] = {
    {"--strict", &bStrict, nullptr},
    {"--clean", &bClean, nullptr},
    {"--aggregate=", nullptr, AcceptAggregates},
    {"--compress=", nullptr, AcceptCompression},
};

// "--...": the long option it names.
static int AcceptLongOption(const tagLETTER&, const char* argument) {
    for (const tagLONGOPTION& option : kLongOptions) {
        size_t length = strlen(option.szName);
        if (option.lpFlag && strcmp(argument, option.szName) == 0) {
            *option.lpFlag = 1;
            return OPTIONS_GO_ON;
        }
        if (option.Accept && strncmp(argument, option.szName, length) == 0)
            return option.Accept(argument + length) ? OPTIONS_GO_ON : OPTIONS_REFUSED;
    }
    return RefuseCode('-');
}

// ---- Option table --------------------------------------------------------------------------

// The option codes, the letters in the order of the help table.
static const tagLETTER kLetters[] = {
    {'A',
     "\tReport -A  Output Contents - detectors, stations, speed loops, traps, metered lanes with "
     "lane count\n",
     AcceptFlag, &bLISTALLELEMENTS},
    {'C', "\tOption -C  Include Ramp Meter Lanes\n", AcceptFlag, &bINCLUDEMETERS},
    {'L', "\tReport -L  Output Lane Data\n", AcceptFlag, &bWRITELANES},
    {'S', "\tOption -S  Include Speed detector Data (Lanes with S in the 17th character)\n",
     AcceptFlag, &bINCLUDESPEEDLANES},
    {'T',
     "\tReport -T  Output Trap Data (virtual speed detectors made from 2 detectors in a lane)\n",
     AcceptFlag, &bWRITETRAPS},
    {'E', "\tReport -E  Output Element Data (Lane data merged with virtual Trap data)\n",
     AcceptFlag, &bWRITEELEMENTS},
    {'R', "\tOption -R  Include Lane or Trap data by row first (device) then column (time)\n",
     AcceptFlag, &bWRITEROWSFIRST},
    {'M', "\tReport -M  Output metadata files (.LST)\n", AcceptFlag, &bCONVERTMETA},
    {'I',
     "\tOption -I[\"path\"] Input folder (-I\"c:\\examplefolder\"  -location of the binary data "
     "files (.DAT))\n",
     AcceptFolder, nullptr, szSourceFolder},
    {'O',
     "\tOption -O[\"path\"] Output folder (-O\"c:\\examplefolder\"  -location to write reports)\n",
     AcceptFolder, nullptr, szTargetFolder},
    {'F',
     "\tOption -F[\"path\"] Log file folder (-F\"c:\\examplefolder\"  -location to write log "
     "files)\n",
     AcceptFolder, nullptr, szLogFolder},
    {'P', "\tOption -P[\"timeperiod\"] Output a single time period (-P\"00:00:00\" (:20, :40))\n",
     AcceptText, &bPERIOD, szPeriod, sizeof szPeriod, 2, "..:..:.."},
    {'D', "\tOption -D[\"device\"] Output a single device dataset (-D\"005es17329:_MN___1\")\n",
     AcceptText, &bDEVICE, szDevice, sizeof szDevice, 18, "..........:......."},
    {'?', nullptr, AcceptHelp},
    {'-', nullptr, AcceptLongOption},
};

static void PrintHelpTable() {
    for (const tagLETTER& option : kLetters)
        if (option.szHelp) fputs(option.szHelp, stdout);
}

// The option of code (the argument's second character, in upper case).
static int AcceptOption(char code, const char* argument) {
    for (const tagLETTER& option : kLetters)
        if (option.cLetter == code) return option.Accept(option, argument);
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

int ProcessCommandLine(int argc, char* argv[]) {
    if (argc <= 1) {
        printf("Usage: %s /? for help\n", argc > 0 && argv[0] ? argv[0] : "korva2csv");
        puts("Using defaults, processing files in current folder, only printing Element Data.");
        bWRITEELEMENTS = 1;
    }
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (argument[0] != '-' && argument[0] != '/') continue;  // not an option: ignored
        char code = (char)toupper((unsigned char)argument[1]);
        int result = AcceptOption(code, argument);
        if (result != OPTIONS_GO_ON) return result;
    }
    CompleteFolder(szSourceFolder, "     E Failed to get current folder.");
    CompleteFolder(szTargetFolder, "     E Failed to get target folder.");
    CompleteFolder(szLogFolder, "     E Failed to get log folder.");
    return OPTIONS_GO_ON;
}

static char szLogPath[PATH_SIZE];  // the run log, for the message when it cannot be written

// Opens the day's run log "<folder>CSVLog<yy-mm-dd>" for appending. Returns the stream, or null
// after reporting the failure on the console.
static FILE* OpenLogfile(const char* folder) {
    char date[10];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(date, sizeof date, "%y-%m-%d", &local);

    char path[PATH_SIZE];
    FILE* log = nullptr;
    if (BuildPath(path, "%s%s%8.8s", folder, "CSVLog", date)) {
        log = OpenLogStream(path);
        snprintf(szLogPath, sizeof szLogPath, "%s", path);
    } else {
        errno = ENAMETOOLONG;
    }
    if (!log) {
        int error = errno;
        perror("Error opening file");
        printf("Error code opening file: %d\n", error);
        printf("Error opening file: %s\n", strerror(error));
        printf("     E Could not open log file [%s%s%8.8s] - Error = [%p]!\n", folder, "CSVLog",
               date, (void*)log);
        return nullptr;
    }
    SetLineBuffered(log);
    printf("       Opened log file [%s] - Pointer = [%p]!\n", path, (void*)log);
    fprintf(log, "\n\n[%s] - File Opened 20%2.2s.%2.2s.%2.2s.\n", szTime, date, date + 3, date + 6);
    return log;
}

// --help and --version, wherever they stand, answer alone on standard output.
static int AnswerLongQuestion(int argc, char* argv[]) {
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
            puts("\tOption --compress=gzip[:0-3] or zstd[:1-19]  Reports compressed (.gz, .zst)");
            puts("\tOption --help    Print this text;  --version  print the version");
            return 1;
        }
    }
    return 0;
}

int RunConverter(int argc, char* argv[]) {
    ReadUmask();  // before any thread
    // A file-size limit then shows up as a failed write of one report, not as a killed run.
    signal(SIGXFSZ, SIG_IGN);
    if (AnswerLongQuestion(argc, argv)) return 0;
    CatchInterrupts();

    RefreshTime();
    printf("\n[%s] - Welcome to korva2csv, the twenty-second archive converter.\n", szTime);
    printf("                     - Traffic detector data and cabinet lists to CSV.\n");
    printf("[%s] - Version = %s\n", szTime, szVersion);

    int result = ProcessCommandLine(argc, argv);
    if (result == OPTIONS_REFUSED) {
        printf("[%s] E Error on command line!\n", szTime);
        return 1;
    }
    if (result == OPTIONS_HELP) return 2;

    FILE* log = OpenLogfile(szLogFolder);
    if (!log) {
        printf("\n[%s] E Log file failed to open.  \n", szTime);
        return 3;
    }

    fprintf(log, "\n[%s] - Version = %s\n", szTime, szVersion);
    fprintf(log, "[%s] - Commands: ", szTime);
    printf("[%s] - Commands: ", szTime);
    printf("%s\n", szCmdLine);
    fprintf(log, "%s\n", szCmdLine);
    fprintf(log, "[%s] - Reading folder [%s]\n", szTime, szSourceFolder);
    fprintf(log, "[%s] - Writing folder [%s]\n", szTime, szTargetFolder);
    fprintf(log, "[%s] - Logging folder [%s]\n", szTime, szLogFolder);
    printf("[%s] - Reading folder [%s]\n", szTime, szSourceFolder);
    printf("[%s] - Writing folder [%s]\n", szTime, szTargetFolder);
    printf("[%s] - Logging folder [%s]\n", szTime, szLogFolder);

    DIR* folder = opendir(szSourceFolder);
    if (!folder) {
        fprintf(log, "[%s] E Source Directory [%s] not found!\n", szTime, szSourceFolder);
        fclose(log);
        if (LogWriteError())
            fprintf(stderr, "korva2csv: could not write the log [%s]: %s\n", szLogPath,
                    strerror(LogWriteError()));
        return 4;
    }

    int dataFiles = 0;
    int listFiles = 0;
    int failedFiles = 0;  // files that got an E line
    while (struct dirent* entry = readdir(folder)) {
        long errorsBefore = LogErrorLines();
        if (bCONVERTMETA) {
            if (!strstr(entry->d_name, "LST")) continue;
            listFiles++;
            ProcessMetadataFile(szSourceFolder, szTargetFolder, entry->d_name, log);
        } else {
            if (!strstr(entry->d_name, "DAT")) continue;
            dataFiles++;
            ProcessDataFile(szSourceFolder, szTargetFolder, entry->d_name, log);
        }
        if (LogErrorLines() > errorsBefore) failedFiles++;
        if (iInterrupt) EndInterrupted(log, nullptr);
    }
    if (dataFiles == 0 && listFiles == 0) fprintf(log, "[%s] E Found no input file.\n", szTime);

    RefreshTime();
    float seconds = (float)ProcessSeconds();
    printf("Finished converting %d .DAT Files and %d .LST Files in [%.1f] seconds.\n", dataFiles,
           listFiles, seconds);
    fprintf(log,
            "[%s] - Finished converting %d .DAT Files and %d .LST Files in [%.1f] seconds.\n\n",
            szTime, dataFiles, listFiles, seconds);
    closedir(folder);
    fprintf(log, "[+ %.1f] - File Closed.\n\n", seconds);
    fclose(log);
    if (LogWriteError()) {
        fprintf(stderr, "korva2csv: could not write the log [%s]: %s\n", szLogPath,
                strerror(LogWriteError()));
        return 3;
    }
    return bStrict && failedFiles > 0 ? 5 : 0;
}

// main: the run driver, the command-line options and the run log.
#include "main.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Common.h"
#include "Process20SecondDataFile.h"
#include "ProcessMetaDataFile.h"

// The help table, in the order of the letters A C L S T E R M I O F P D.
static const char szCommand[13][128] = {
    "\tReport -A  Output Contents - detectors, stations, speed loops, traps, metered lanes with "
    "lane count\n",
    "\tOption -C  Include Ramp Meter Lanes\n",
    "\tReport -L  Output Lane Data\n",
    "\tOption -S  Include Speed detector Data (Lanes with S in the 17th character)\n",
    "\tReport -T  Output Trap Data (virtual speed detectors made from 2 detectors in a lane)\n",
    "\tReport -E  Output Element Data (Lane data merged with virtual Trap data)\n",
    "\tOption -R  Include Lane or Trap data by row first (device) then column (time)\n",
    "\tReport -M  Output metadata files (.LST)\n",
    "\tOption -I[\"path\"] Input folder (-I\"c:\\examplefolder\"  -location of the binary data "
    "files (.DAT))\n",
    "\tOption -O[\"path\"] Output folder (-O\"c:\\examplefolder\"  -location to write reports)\n",
    "\tOption -F[\"path\"] Log file folder (-F\"c:\\examplefolder\"  -location to write log "
    "files)\n",
    "\tOption -P[\"timeperiod\"] Output a single time period (-P\"00:00:00\" (:20, :40))\n",
    "\tOption -D[\"device\"] Output a single device dataset (-D\"005es17329:_MN___1\")\n",
};
enum {
    HELP_A,
    HELP_C,
    HELP_L,
    HELP_S,
    HELP_T,
    HELP_E,
    HELP_R,
    HELP_M,
    HELP_I,
    HELP_O,
    HELP_F,
    HELP_P,
    HELP_D
};

// --strict: the exit status tells whether any file got an E line.
static int bStrict;

static void PrintHelpLine(int line) {
    fputs(szCommand[line], stdout);
}

static void PrintHelpTable() {
    for (const char* line : szCommand) fputs(line, stdout);
}

// A flag option: echo its help line, note its letter in szCmdLine (which holds fifteen; later
// letters still take effect but are not listed) and set the flag.
static void AcceptFlag(int* flag, int helpLine, char letter) {
    PrintHelpLine(helpLine);
    size_t used = strlen(szCmdLine);
    if (used + 2 < sizeof szCmdLine) {
        szCmdLine[used] = letter;
        szCmdLine[used + 1] = ' ';
        szCmdLine[used + 2] = '\0';
    }
    *flag = 1;
}

// A folder option (-I, -O, -F): needs a value of at least two characters, and room in the
// folder field for the '/' that the folder step may append. Returns 1 when accepted.
static int AcceptFolder(const char* argument, char letter, char* folder, int helpLine) {
    if (strlen(argument) < 4) {
        printf("     E Illegal syntax -- no '%c' string!\n", letter);
        PrintHelpLine(helpLine);
        return 0;
    }
    if (strlen(argument + 2) > FOLDER_SIZE - 2) {
        printf("     E Illegal '%c' folder -- longer than %d characters!\n", letter,
               FOLDER_SIZE - 2);
        PrintHelpLine(helpLine);
        return 0;
    }
    strcpy(folder, argument + 2);
    printf("\tOption -%c, String = %s\n", letter, folder);
    return 1;
}

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
        if (argument[0] != '-' && argument[0] != '/') continue;
        char code = (char)toupper((unsigned char)argument[1]);
        size_t length = strlen(argument);
        switch (code) {
            case '-':  // long options are ours alone: the letters never took a second '-'
                if (strcmp(argument, "--strict") == 0) {
                    bStrict = 1;
                    break;
                }
                if (strcmp(argument, "--clean") == 0) {
                    bClean = 1;
                    break;
                }
                if (strncmp(argument, "--aggregate=", 12) == 0) {
                    if (!AcceptAggregates(argument + 12)) return 0;
                    break;
                }
                if (strncmp(argument, "--compress=", 11) == 0) {
                    if (!AcceptCompression(argument + 11)) return 0;
                    break;
                }
                printf("     E Illegal option code = %c\n", code);
                PrintHelpTable();
                return 0;
            case '?':
                puts(
                    "Command separators - / upper or lower case are equivalent for any valid "
                    "command. (-X, /X, -x, or /x )");
                PrintHelpTable();
                return 1;
            case 'A':
                AcceptFlag(&bLISTALLELEMENTS, HELP_A, 'A');
                break;
            case 'C':
                AcceptFlag(&bINCLUDEMETERS, HELP_C, 'C');
                break;
            case 'L':
                AcceptFlag(&bWRITELANES, HELP_L, 'L');
                break;
            case 'S':
                AcceptFlag(&bINCLUDESPEEDLANES, HELP_S, 'S');
                break;
            case 'T':
                AcceptFlag(&bWRITETRAPS, HELP_T, 'T');
                break;
            case 'E':
                AcceptFlag(&bWRITEELEMENTS, HELP_E, 'E');
                break;
            case 'R':
                AcceptFlag(&bWRITEROWSFIRST, HELP_R, 'R');
                break;
            case 'M':
                AcceptFlag(&bCONVERTMETA, HELP_M, 'M');
                break;
            case 'I':
                if (!AcceptFolder(argument, 'I', szSourceFolder, HELP_I)) return 0;
                break;
            case 'O':
                if (!AcceptFolder(argument, 'O', szTargetFolder, HELP_O)) return 0;
                break;
            case 'F':
                if (!AcceptFolder(argument, 'F', szLogFolder, HELP_F)) return 0;
                break;
            case 'D':
                if (length < 20) {
                    puts("     E Illegal syntax -- no 'D' string!");
                    PrintHelpLine(HELP_D);
                    return 0;
                }
                snprintf(szDevice, sizeof szDevice, "%s", argument + 2);
                printf("\tOption -%c, String = %s\n", 'D', szDevice);
                if (length - 2 != 18 || argument[2 + 10] != ':') {
                    puts("     E Illegal 'D' syntax -- too long, too short, or missing ':'!");
                    PrintHelpLine(HELP_D);
                    return 0;
                }
                bDEVICE = 1;
                break;
            case 'P':
                if (length < 4) {
                    puts("     E Illegal syntax -- no 'P' string!");
                    PrintHelpLine(HELP_P);
                    return 0;
                }
                snprintf(szPeriod, sizeof szPeriod, "%s", argument + 2);
                printf("\tOption -%c, String = %s\n", 'P', szPeriod);
                if (length - 2 != 8 || argument[2 + 2] != ':' || argument[2 + 5] != ':') {
                    puts("     E Illegal 'P' syntax -- too long, too short, or missing ':'!");
                    PrintHelpLine(HELP_P);
                    return 0;
                }
                bPERIOD = 1;
                break;
            default:
                printf("     E Illegal option code = %c\n", code);
                PrintHelpTable();
                return 0;
        }
    }
    CompleteFolder(szSourceFolder, "     E Failed to get current folder.");
    CompleteFolder(szTargetFolder, "     E Failed to get target folder.");
    CompleteFolder(szLogFolder, "     E Failed to get log folder.");
    return 2;
}

static char szLogPath[PATH_SIZE];  // the run log, for the message when it cannot be written

FILE* OpenLogfile(const char* folder) {
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
            puts(
                "Command separators - / upper or lower case are equivalent for any valid "
                "command. (-X, /X, -x, or /x )");
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
    // A file-size limit then shows up as a failed write of one report, not as a killed run.
    signal(SIGXFSZ, SIG_IGN);
    if (AnswerLongQuestion(argc, argv)) return 0;
    CatchInterrupts();

    RefreshTime();
    printf("\n[%s] - Welcome to korva2csv, the twenty-second archive converter.\n", szTime);
    printf("                     - Traffic detector data and cabinet lists to CSV.\n");
    printf("[%s] - Version = %s\n", szTime, szVersion);

    int result = ProcessCommandLine(argc, argv);
    if (result == 0) {
        printf("[%s] E Error on command line!\n", szTime);
        return 1;
    }
    if (result == 1) return 2;

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

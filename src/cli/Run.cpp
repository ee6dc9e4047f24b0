#include "cli/Run.h"

#include <dirent.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/Clock.h"
#include "base/Files.h"
#include "base/RunLog.h"
#include "base/Signals.h"
#include "cabinets/Cabinet.h"
#include "cli/Options.h"
#include "datafile/DataFile.h"
#include "output/ReportFile.h"

// Opens the day's run log "<folder>CSVLog<yy-mm-dd>" for appending, its path kept in path.
// Returns 1, or 0 after reporting the failure on the console.
static int OpenLogfile(const char* folder, tagLOG* log, char* path) {
    char date[10];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(date, sizeof date, "%y-%m-%d", &local);

    bool opened = false;
    if (BuildPath(path, "%s%s%8.8s", folder, "CSVLog", date))
        opened = OpenRunLog(log, path);
    else
        errno = ENAMETOOLONG;
    if (!opened) {
        int error = errno;
        perror("Error opening file");
        printf("Error code opening file: %d\n", error);
        printf("Error opening file: %s\n", strerror(error));
        printf("     E Could not open log file [%s%s%8.8s] - Error = [%p]!\n", folder, "CSVLog",
               date, (void*)nullptr);
        return 0;
    }
    printf("       Opened log file [%s] - Pointer = [%p]!\n", path, (void*)log->lpFile);
    fprintf(log->lpFile, "\n\n[%s] - File Opened 20%2.2s.%2.2s.%2.2s.\n", szTime, date, date + 3,
            date + 6);
    return 1;
}

// Closes the log; status 3 instead of `status` when a line of it could not be written.
static int CloseLogfile(tagLOG* log, const char* path, int status) {
    int error = CloseRunLog(log);
    if (!error) return status;
    fprintf(stderr, "korva2csv: could not write the log [%s]: %s\n", path, strerror(error));
    return 3;
}

// Ends an interrupted run: the log tells it (unless a dropped report already did), is closed,
// and the status is 128 + the signal.
static int EndInterrupted(tagLOG* log) {
    if (!log->bInterruptTold) LogError(log, "Interrupted by signal [%d]!\n", (int)iInterrupt);
    CloseRunLog(log);
    return 128 + iInterrupt;
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

    static tagSETTINGS settings;  // 12 KiB of folders
    int result = ProcessCommandLine(argc, argv, &settings);
    if (result == OPTIONS_REFUSED) {
        printf("[%s] E Error on command line!\n", szTime);
        return 1;
    }
    if (result == OPTIONS_HELP) return 2;

    tagLOG log;
    char logPath[PATH_SIZE];
    if (!OpenLogfile(settings.szLogFolder, &log, logPath)) {
        printf("\n[%s] E Log file failed to open.  \n", szTime);
        return 3;
    }

    FILE* file = log.lpFile;
    fprintf(file, "\n[%s] - Version = %s\n", szTime, szVersion);
    fprintf(file, "[%s] - Commands: ", szTime);
    printf("[%s] - Commands: ", szTime);
    printf("%s\n", settings.szCmdLine);
    fprintf(file, "%s\n", settings.szCmdLine);
    LogProgress(&log, "Reading folder [%s]\n", settings.szSourceFolder);
    LogProgress(&log, "Writing folder [%s]\n", settings.szTargetFolder);
    LogProgress(&log, "Logging folder [%s]\n", settings.szLogFolder);
    printf("[%s] - Reading folder [%s]\n", szTime, settings.szSourceFolder);
    printf("[%s] - Writing folder [%s]\n", szTime, settings.szTargetFolder);
    printf("[%s] - Logging folder [%s]\n", szTime, settings.szLogFolder);

    // The cabinet list of --cabinets, read once for all the data files; one that cannot be read
    // is an E line (a failed file for --strict), and the files convert without their joins.
    static tagCABINETS cabinets;
    bool listFailed = false;
    if (settings.szCabinets[0] && !settings.bCONVERTMETA) {
        listFailed = !LoadCabinets(settings.szCabinets, &cabinets, &log);
        if (!listFailed) settings.lpCabinets = &cabinets;
    }

    DIR* folder = opendir(settings.szSourceFolder);
    if (!folder) {
        LogError(&log, "Source Directory [%s] not found!\n", settings.szSourceFolder);
        return CloseLogfile(&log, logPath, 4);
    }

    int dataFiles = 0;
    int listFiles = 0;
    int failedFiles = listFailed;  // files that got an E line
    while (struct dirent* entry = readdir(folder)) {
        long errorsBefore = log.lErrors;
        if (settings.bCONVERTMETA) {
            if (!strstr(entry->d_name, "LST")) continue;
            listFiles++;
            ProcessMetadataFile(settings, entry->d_name, &log);
        } else {
            if (!strstr(entry->d_name, "DAT")) continue;
            dataFiles++;
            ProcessDataFile(settings, entry->d_name, &log);
        }
        if (log.lErrors > errorsBefore) failedFiles++;
        if (iInterrupt) {
            closedir(folder);
            return EndInterrupted(&log);
        }
    }
    if (dataFiles == 0 && listFiles == 0) LogError(&log, "Found no input file.\n");

    RefreshTime();
    float seconds = (float)ProcessSeconds();
    printf("Finished converting %d .DAT Files and %d .LST Files in [%.1f] seconds.\n", dataFiles,
           listFiles, seconds);
    LogProgress(&log, "Finished converting %d .DAT Files and %d .LST Files in [%.1f] seconds.\n\n",
                dataFiles, listFiles, seconds);
    closedir(folder);
    fprintf(file, "[+ %.1f] - File Closed.\n\n", seconds);
    return CloseLogfile(&log, logPath, settings.bStrict && failedFiles > 0 ? 5 : 0);
}

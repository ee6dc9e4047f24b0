#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Clock.h"
#include "base/Files.h"
#include "base/Limits.h"
#include "cabinets/Cabinet.h"

enum { LINE_SIZE = 256 };  // each read takes at most 255 characters of the list

// A cabinet line carries a cabinet name such as "005es17329" from column 0.
static bool IsCabinetLine(const char* line) {
    return strlen(line) >= 5 && line[3] == 'e' && line[4] == 's';
}

// The characters of a line, without its line feed.
static size_t LineLength(const char* line) {
    return strcspn(line, "\n");
}

// Copies columns [from, from + width) of the line into a field of width + 1 bytes; a field
// that the line ends in or before gets only the characters the line has.
static void SliceField(char* field, const char* line, size_t length, size_t from, size_t width) {
    size_t n = length > from ? length - from : 0;
    if (n > width) n = width;
    memcpy(field, line + from, n);
    field[n] = '\0';
}

// Cleans a text in place: white space trimmed at both ends, ',' turned into '-'.
static void TrimWhiteSpace(char* text) {
    char* start = text;
    while (*start && isspace((unsigned char)*start)) start++;
    size_t length = strlen(start);
    while (length > 0 && isspace((unsigned char)start[length - 1])) length--;
    memmove(text, start, length);
    text[length] = '\0';
    for (char* p = text; *p; p++)
        if (*p == ',') *p = '-';
}

// A cabinet line into its record: its columns sliced, the texts cleaned, the counts converted.
static void FillRecord(tagCABINETMETADATA* r, const char* line) {
    size_t n = LineLength(line);
    SliceField(r->szDeviceName, line, n, 0, 10);
    SliceField(r->szAlias, line, n, 11, 7);
    SliceField(r->szAddress, line, n, 27, 4);
    SliceField(r->szRoadway, line, n, 32, 11);
    SliceField(r->szSide, line, n, 44, 1);
    SliceField(r->szMilepost, line, n, 46, 6);
    SliceField(r->szLocation, line, n, 54, 16);
    SliceField(r->szCabinetVersion, line, n, 71, 3);
    SliceField(r->szLoops, line, n, 75, 3);
    SliceField(r->szStations, line, n, 79, 2);
    SliceField(r->szSpeedtraps, line, n, 82, 2);
    SliceField(r->szMeteredlanes, line, n, 85, 2);
    SliceField(r->szStatus, line, n, 88, 9);
    TrimWhiteSpace(r->szAlias);
    TrimWhiteSpace(r->szAddress);
    TrimWhiteSpace(r->szRoadway);
    TrimWhiteSpace(r->szMilepost);
    TrimWhiteSpace(r->szLocation);
    TrimWhiteSpace(r->szStatus);
    r->iCabinetVersion = (int32_t)strtol(r->szCabinetVersion, nullptr, 10);
    r->iLoops = (int32_t)strtol(r->szLoops, nullptr, 10);
    r->iStations = (int32_t)strtol(r->szStations, nullptr, 10);
    r->iSpeedtraps = (int32_t)strtol(r->szSpeedtraps, nullptr, 10);
    r->iMeteredlanes = (int32_t)strtol(r->szMeteredlanes, nullptr, 10);
}

// Takes the list's date from its first line into date (11 bytes), with '_' for its two '/'.
// Every '-' of the line opens a date ("- MM/DD/YYYY"), and each must be followed by one: a
// line such as "LIST - 12/06/2026 - rev 3" is refused at its second '-', even after a good
// date; of several good dates the last one stays. Returns 0 when the line has no '-', or a '-'
// is not followed by a date that can name a file (no further '/', blank or control character);
// date then holds what was looked at, for the warning.
static int ReadListDate(const char* line, char* date) {
    size_t length = LineLength(line);
    date[0] = '\0';
    if (!memchr(line, '-', length)) return 0;
    for (size_t k = 0; k < length; k++) {
        if (line[k] != '-') continue;
        size_t from = k + 2 < length ? k + 2 : length;
        size_t n = length - from < 10 ? length - from : 10;
        memset(date, 0, 11);
        memcpy(date, line + from, n);
        if (date[2] != '/' || date[5] != '/') return 0;
        // Any further '/' would put the CSV into another folder; blanks and control characters
        // have no place in a file name either.
        for (size_t i = 0; i < n; i++) {
            unsigned char c = (unsigned char)date[i];
            if ((i != 2 && i != 5 && c == '/') || c <= ' ' || c == 0x7f) return 0;
        }
        date[2] = '_';
        date[5] = '_';
    }
    return 1;
}

int ProcessMetadataFile(const tagSETTINGS& settings, const char* entry, tagLOG* log) {
    // Messages show the name with its control characters as '?': a name cannot forge a line.
    char shown[FOLDER_SIZE];
    const char* name = ShownName(entry, shown, sizeof shown);
    RefreshTime();
    printf("Processing metadata file [%s], starting[%s]\n", name, szTime);
    LogProgress(log, "Processing metadata file [%s], starting[%s]\n", name, szTime);

    char path[PATH_SIZE];
    if (!BuildPath(path, "%s%s", settings.szSourceFolder, entry)) {
        LogError(log, "Path of metadata file [%s] would be longer than %d characters!\n", name,
                 PATH_SIZE - 1);
        return 0;
    }
    int notRegular = 0;
    FILE* list = OpenInputFile(path, &notRegular);
    if (!list) {
        if (notRegular)
            LogError(log, "Metadata file [%s] is not a regular file; passed over!\n", name);
        else
            LogError(log, "Could not open meta data file [%s]! - Error = [%p].\n", name,
                     (void*)list);
        return 0;
    }
    LogProgress(log, "File [%s] filesize is [%d]\n", name, fsize(list));
    rewind(list);

    char line[LINE_SIZE];
    int count = 0;
    while (fgets(line, sizeof line, list))
        if (IsCabinetLine(line)) count++;
    LogProgress(log, "Found [%d] cabinets in metadata file [%s]\n", count, name);

    tagCABINETMETADATA* records =
        (tagCABINETMETADATA*)calloc(count > 0 ? (size_t)count : 1, sizeof(tagCABINETMETADATA));
    if (!records) {
        LogError(log, "Allocation [%zd] bytes of space for metadata file [%s] FAILED!!!\n",
                 (ssize_t)((size_t)count * sizeof(tagCABINETMETADATA)), name);
        fclose(list);
        return 0;
    }
    rewind(list);

    char date[11];
    if (!fgets(line, sizeof line, list)) line[0] = '\0';
    if (!ReadListDate(line, date)) {
        LogWarning(log, "No date [%s] in metadata file [%s]\n", date, name);
        free(records);
        fclose(list);
        return 0;
    }
    rewind(list);

    // The list may have grown since it was counted: never fill more records than were made.
    for (int j = 0; j < count && fgets(line, sizeof line, list);) {
        if (!IsCabinetLine(line)) continue;
        FillRecord(&records[j], line);
        j++;
    }
    LogProgress(log, "Loaded [%d] cabinets from metadata file [%s].\n", count, name);

    if (!BuildPath(path, "%sRMDC_%10s%s%s", settings.szTargetFolder, date,
                   settings.bParquet ? ".parquet" : ".CSV", ReportSuffix(settings.iCompression))) {
        LogError(log,
                 "Path of the CSV for metadata file [%s] would be longer than %d characters!\n",
                 name, PATH_SIZE - 1);
        free(records);
        fclose(list);
        return 0;
    }
    WriteMetaDataCSV(count, records, path, settings, log);
    free(records);
    fclose(list);
    if (log->bInterruptTold) return 1;

    double seconds = ProcessSeconds();
    printf("Completed processing of List File [%s] in [%.1f] seconds.\n", name, seconds);
    LogProgress(log, "Completed processing of List File [%s] in [%.1f] seconds.\n", name, seconds);
    return 1;
}

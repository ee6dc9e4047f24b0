// Cabinet lists: their fixed-column lines read into records, for the cabinet CSV (-M) and for
// the joins of a run (--cabinets).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

// What reading a list came to.
enum ListRead { LIST_READ, LIST_NOT_ALLOCATED, LIST_NO_DATE };

// Reads the open list `name` (as messages show it) in three passes: counts its cabinet lines,
// takes its date from the first line into date (11 bytes), fills a record per cabinet line.
// The records (*count of them, at least one allocated) are the caller's to free; on LIST_NO_DATE
// they are freed and the caller says it; LIST_NOT_ALLOCATED is logged here.
static ListRead ReadCabinetList(FILE* list, const char* name, tagLOG* log,
                                tagCABINETMETADATA** records, int* count, char* date) {
    LogProgress(log, "File [%s] filesize is [%d]\n", name, fsize(list));
    rewind(list);

    char line[LINE_SIZE];
    int n = 0;
    while (fgets(line, sizeof line, list))
        if (IsCabinetLine(line)) n++;
    LogProgress(log, "Found [%d] cabinets in metadata file [%s]\n", n, name);

    tagCABINETMETADATA* r =
        (tagCABINETMETADATA*)calloc(n > 0 ? (size_t)n : 1, sizeof(tagCABINETMETADATA));
    if (!r) {
        LogError(log, "Allocation [%zd] bytes of space for metadata file [%s] FAILED!!!\n",
                 (ssize_t)((size_t)n * sizeof(tagCABINETMETADATA)), name);
        return LIST_NOT_ALLOCATED;
    }
    rewind(list);

    if (!fgets(line, sizeof line, list)) line[0] = '\0';
    if (!ReadListDate(line, date)) {
        free(r);
        return LIST_NO_DATE;
    }
    rewind(list);

    // The list may have grown since it was counted: never fill more records than were made.
    for (int j = 0; j < n && fgets(line, sizeof line, list);) {
        if (!IsCabinetLine(line)) continue;
        FillRecord(&r[j], line);
        j++;
    }
    LogProgress(log, "Loaded [%d] cabinets from metadata file [%s].\n", n, name);
    *records = r;
    *count = n;
    return LIST_READ;
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
    tagCABINETMETADATA* records = nullptr;
    int count = 0;
    char date[11];
    ListRead read = ReadCabinetList(list, name, log, &records, &count, date);
    if (read != LIST_READ) {
        if (read == LIST_NO_DATE)
            LogWarning(log, "No date [%s] in metadata file [%s]\n", date, name);
        fclose(list);
        return 0;
    }

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

// A cabinet name as the joins compare it: at most `size` characters, blanks around it removed.
static std::string_view Trimmed(const char* text, size_t size) {
    size_t from = 0, to = strnlen(text, size);
    while (from < to && isspace((unsigned char)text[from])) from++;
    while (to > from && isspace((unsigned char)text[to - 1])) to--;
    return {text + from, to - from};
}

int LoadCabinets(const char* path, tagCABINETS* cabinets, tagLOG* log) {
    *cabinets = tagCABINETS{};
    char shown[FOLDER_SIZE];
    const char* name = ShownName(path, shown, sizeof shown);
    LogProgress(log, "Reading cabinet list [%s] to join the devices to their cabinets\n", name);
    int notRegular = 0;
    FILE* list = OpenInputFile(path, &notRegular);
    if (!list) {
        if (notRegular)
            LogError(log,
                     "Cabinet list [%s] is not a regular file; devices are not joined to "
                     "cabinets!\n",
                     name);
        else
            LogError(log,
                     "Could not open cabinet list [%s]! - %s; devices are not joined to "
                     "cabinets!\n",
                     name, strerror(errno));
        return 0;
    }
    tagCABINETMETADATA* records = nullptr;
    int count = 0;
    char date[11];
    ListRead read = ReadCabinetList(list, name, log, &records, &count, date);
    fclose(list);
    if (read == LIST_NO_DATE)
        LogError(log, "No date [%s] in cabinet list [%s]; devices are not joined to cabinets!\n",
                 date, name);
    if (read != LIST_READ) return 0;
    cabinets->records.assign(records, records + count);
    free(records);
    cabinets->byName.resize((size_t)count);
    for (int i = 0; i < count; i++) cabinets->byName[(size_t)i] = i;
    const auto& r = cabinets->records;
    std::stable_sort(cabinets->byName.begin(), cabinets->byName.end(), [&r](int a, int b) {
        return Trimmed(r[(size_t)a].szDeviceName, 10) < Trimmed(r[(size_t)b].szDeviceName, 10);
    });
    return 1;
}

const tagCABINETMETADATA* FindCabinet(const tagCABINETS& cabinets, const char* deviceName) {
    std::string_view key = Trimmed(deviceName, 10);
    const auto& r = cabinets.records;
    auto at = std::lower_bound(
        cabinets.byName.begin(), cabinets.byName.end(), key,
        [&r](int a, std::string_view k) { return Trimmed(r[(size_t)a].szDeviceName, 10) < k; });
    if (at == cabinets.byName.end() || Trimmed(r[(size_t)*at].szDeviceName, 10) != key)
        return nullptr;
    return &r[(size_t)*at];
}

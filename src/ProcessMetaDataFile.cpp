// ProcessMetaDataFile: converts a fixed-column cabinet list into the cabinet CSV.
#include "ProcessMetaDataFile.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Common.h"

// One cabinet of a list: text fields as sliced from their columns (some cleaned), and the
// five counts converted from their texts.
struct tagCABINETMETADATA {
    char szDeviceName[11];     // columns 0-9, unchanged
    char szAlias[8];           // 11-17, cleaned
    char szAddress[5];         // 27-30, cleaned
    char szRoadway[12];        // 32-42, cleaned
    char szSide[2];            // 44, unchanged
    char szMilepost[7];        // 46-51, cleaned
    char szLocation[17];       // 54-69, cleaned
    char szCabinetVersion[4];  // 71-73
    int32_t iCabinetVersion;
    char szLoops[4];  // 75-77
    int32_t iLoops;
    char szStations[3];  // 79-80
    int32_t iStations;
    char szSpeedtraps[3];  // 82-83
    int32_t iSpeedtraps;
    char szMeteredlanes[3];  // 85-86
    int32_t iMeteredlanes;
    char szStatus[10];  // 88-96, cleaned
};

enum { LINE_SIZE = 256 };  // each read takes at most 255 characters of the list

static int WriteMetaDataCSV(int count, const tagCABINETMETADATA* records, const char* path,
                            FILE* log);

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

// Takes the list's date from its first line into szMetadataDate, with '_' for its two '/'.
// Every '-' of the line opens a date ("- MM/DD/YYYY"), and each must be followed by one: a
// line such as "LIST - 12/06/2026 - rev 3" is refused at its second '-', even after a good
// date; of several good dates the last one stays. Returns 0 when the line has no '-', or a '-'
// is not followed by a date that can name a file (no further '/', blank or control character).
static int ReadListDate(const char* line) {
    size_t length = LineLength(line);
    if (!memchr(line, '-', length)) {
        szMetadataDate[0] = '\0';  // the warning then shows an empty date
        return 0;
    }
    for (size_t k = 0; k < length; k++) {
        if (line[k] != '-') continue;
        size_t from = k + 2 < length ? k + 2 : length;
        size_t n = length - from < 10 ? length - from : 10;
        memset(szMetadataDate, 0, sizeof szMetadataDate);
        memcpy(szMetadataDate, line + from, n);
        if (szMetadataDate[2] != '/' || szMetadataDate[5] != '/') return 0;
        // Any further '/' would put the CSV into another folder; blanks and control characters
        // have no place in a file name either.
        for (size_t i = 0; i < n; i++) {
            unsigned char c = (unsigned char)szMetadataDate[i];
            if ((i != 2 && i != 5 && c == '/') || c <= ' ' || c == 0x7f) return 0;
        }
        szMetadataDate[2] = '_';
        szMetadataDate[5] = '_';
    }
    return 1;
}

int ProcessMetadataFile(const char* sourceFolder, const char* targetFolder, const char* entry,
                        FILE* log) {
    // Messages show the name with its control characters as '?': a name cannot forge a line.
    char shown[FOLDER_SIZE];
    const char* name = ShownName(entry, shown, sizeof shown);
    RefreshTime();
    printf("Processing metadata file [%s], starting[%s]\n", name, szTime);
    fprintf(log, "[%s] - Processing metadata file [%s], starting[%s]\n", szTime, name, szTime);

    char path[PATH_SIZE];
    if (!BuildPath(path, "%s%s", sourceFolder, entry)) {
        fprintf(log, "[%s] E Path of metadata file [%s] would be longer than %d characters!\n",
                szTime, name, PATH_SIZE - 1);
        return 0;
    }
    int notRegular = 0;
    FILE* list = OpenInputFile(path, &notRegular);
    if (!list) {
        if (notRegular)
            fprintf(log, "[%s] E Metadata file [%s] is not a regular file; passed over!\n", szTime,
                    name);
        else
            fprintf(log, "[%s] E Could not open meta data file [%s]! - Error = [%p].\n", szTime,
                    name, (void*)list);
        return 0;
    }
    fprintf(log, "[%s] - File [%s] filesize is [%d]\n", szTime, name, fsize(list));
    rewind(list);

    char line[LINE_SIZE];
    int count = 0;
    while (fgets(line, sizeof line, list))
        if (IsCabinetLine(line)) count++;
    fprintf(log, "[%s] - Found [%d] cabinets in metadata file [%s]\n", szTime, count, name);

    tagCABINETMETADATA* records =
        (tagCABINETMETADATA*)calloc(count > 0 ? (size_t)count : 1, sizeof(tagCABINETMETADATA));
    if (!records) {
        fprintf(log, "[%s] E Allocation [%zd] bytes of space for metadata file [%s] FAILED!!!\n",
                szTime, (ssize_t)((size_t)count * sizeof(tagCABINETMETADATA)), name);
        iCabinetMetaData = 0;
        fclose(list);
        return 0;
    }
    iCabinetMetaData = count;
    rewind(list);

    if (!fgets(line, sizeof line, list)) line[0] = '\0';
    if (!ReadListDate(line)) {
        fprintf(log, "[%s] W No date [%s] in metadata file [%s]\n", szTime, szMetadataDate, name);
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
    fprintf(log, "[%s] - Loaded [%d] cabinets from metadata file [%s].\n", szTime, count, name);

    if (!BuildPath(path, "%sRMDC_%10s.CSV%s", targetFolder, szMetadataDate, ReportSuffix())) {
        fprintf(log,
                "[%s] E Path of the CSV for metadata file [%s] would be longer than %d "
                "characters!\n",
                szTime, name, PATH_SIZE - 1);
        free(records);
        fclose(list);
        return 0;
    }
    WriteMetaDataCSV(iCabinetMetaData, records, path, log);
    free(records);
    fclose(list);

    double seconds = ProcessSeconds();
    printf("Completed processing of List File [%s] in [%.1f] seconds.\n", name, seconds);
    fprintf(log, "[%s] - Completed processing of List File [%s] in [%.1f] seconds.\n", szTime, name,
            seconds);
    return 1;
}

// Writes count records as the cabinet CSV at path. Returns 1 when written, else 0.
static int WriteMetaDataCSV(int count, const tagCABINETMETADATA* records, const char* path,
                            FILE* log) {
    fprintf(log, "[%s] - Writing metadata to CSV file [%s]...\n", szTime, path);
    tagREPORTFILE csv;
    if (!OpenReportFile(&csv, path)) {
        fprintf(log, "[%s] E Could not create CSV file [%s]! - %s.\n", szTime, path,
                strerror(errno));
        return 0;
    }
    ReportHeader(
        &csv,
        "Device,Alias,Address,Roadway,Side,Milepost,Location,Version,Loops,Stations,Speedtraps,"
        "Meteredlanes,Status\n",
        "device,alias,address,roadway,side,milepost,location,version,loops,stations,speedtraps,"
        "meteredlanes,status\n");
    for (int i = 0; i < count; i++) {
        const tagCABINETMETADATA& r = records[i];
        // In standard CSV the texts are fields of their own (the name and side are taken
        // unchanged and may hold a comma or a quote).
        char text[7][2 * sizeof r.szLocation + 8];
        const char* fields[7] = {r.szDeviceName, r.szAlias,    r.szAddress, r.szRoadway,
                                 r.szSide,       r.szMilepost, r.szLocation};
        for (int f = 0; f < 7; f++) {
            if (bClean)
                *PutCsvField(text[f], fields[f]) = '\0';
            else
                snprintf(text[f], sizeof text[f], "%s", fields[f]);
        }
        char status[2 * sizeof r.szStatus + 8];
        if (bClean)
            *PutCsvField(status, r.szStatus) = '\0';
        else
            snprintf(status, sizeof status, "%s", r.szStatus);
        ReportPrintf(&csv, "%s,%s,%s,%s,%s,%s,%s,%d,%d,%d,%d,%d,%s\n", text[0], text[1], text[2],
                     text[3], text[4], text[5], text[6], r.iCabinetVersion, r.iLoops, r.iStations,
                     r.iSpeedtraps, r.iMeteredlanes, status);
    }
    return PublishReportFile(&csv, log);
}

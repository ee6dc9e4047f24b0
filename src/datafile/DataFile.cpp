#include "datafile/DataFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/Clock.h"
#include "base/Files.h"
#include "base/Limits.h"
#include "datafile/Links.h"
#include "reports/Reports.h"

int ProcessDataFile(const tagSETTINGS& settings, const char* entry, tagLOG* log) {
    // Messages show the name with its control characters as '?': a name cannot forge a line.
    char shown[FOLDER_SIZE];
    const char* name = ShownName(entry, shown, sizeof shown);
    RefreshTime();
    LogProgress(log, "Processing data file [%s], starting at [%s]\n", name, szTime);
    printf("Processing data file [%s], starting at [%s]\n", name, szTime);

    char path[PATH_SIZE];
    if (!BuildPath(path, "%s%s", settings.szSourceFolder, entry)) {
        LogError(log, "Path of data file [%s] would be longer than %d characters!\n", name,
                 PATH_SIZE - 1);
        return 0;
    }
    int notRegular = 0;
    FILE* file = OpenInputFile(path, &notRegular);
    if (!file) {
        if (notRegular)
            LogError(log, "Data file [%s] is not a regular file; passed over!\n", name);
        else
            LogError(log, "Could not open data file [%s]! - Error = [%p].\n", name, (void*)file);
        return 0;
    }
    int size = fsize(file);
    if (size < 0) {
        LogError(log, "Size of data file [%s] cannot be determined or is 2 GiB or more!\n", name);
        fclose(file);
        return 0;
    }
    LogProgress(log, "Filesize is [%zd]\n", (ssize_t)size);

    rewind(file);
    char* buffer = (char*)malloc(size > 0 ? (size_t)size : 1);
    if (!buffer) {
        LogError(log, "Could not allocate buffer to hold the data block from data file [%s]!\n",
                 name);
        fclose(file);
        return 0;
    }
    size_t got = fread(buffer, 1, (size_t)size, file);
    fclose(file);
    if (got < (size_t)size) {
        LogError(log, "Could not read the data block [%zd bytes] from data file [%s]!\n",
                 (ssize_t)size, name);
        free(buffer);
        return 0;
    }

    tagDATAFILE data;
    if (LoadDataFile(buffer, size, name, &data, log)) WriteReports(data, settings, name, log);
    data = tagDATAFILE{};  // the device table goes before the buffer it was read from
    free(buffer);
    if (log->bInterruptTold) return 1;

    double seconds = ProcessSeconds();
    RefreshTime();
    printf("Completed processing of data file [%s] in [%.1f] seconds.\n", name, seconds);
    LogProgress(log, "Completed processing of data file [%s] in [%.1f] seconds.\n", name, seconds);
    return 1;
}

int LoadDataFile(const char* buffer, int size, const char* name, tagDATAFILE* file, tagLOG* log) {
    *file = tagDATAFILE{};
    file->header = ReadDataHeader(buffer, size);
    tagHEADER& h = file->header;
    if (h.iNumberofColumns > PERIODS_PER_DAY) {
        LogWarning(log,
                   "Data file [%s] claims [%d] columns; only the [%d] periods of one day are "
                   "processed.\n",
                   name, h.iNumberofColumns, (int)PERIODS_PER_DAY);
        h.iNumberofColumns = PERIODS_PER_DAY;
    }
    file->lpBytes = (const unsigned char*)buffer;
    file->iSize = size;
    file->iColumns = std::clamp(h.iNumberofColumns, 0, (int)PERIODS_PER_DAY);
    ReadNameTable(file, log);
    if (!file->bTable) return 0;
    UnpackNamedDevice(file, log);
    IntegrateTrapData(file, name, log);
    AggregateStationTrapData(file);
    CalculateSpeedLength(*file);
    return 1;
}

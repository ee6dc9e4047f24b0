// The cabinet CSV: one row per cabinet of a list, its texts and counts.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cabinets/Cabinet.h"
#include "output/CsvText.h"
#include "output/ReportFile.h"
#include "reports/ParquetKinds.h"

int WriteMetaDataCSV(int count, const tagCABINETMETADATA* records, const char* path,
                     const tagSETTINGS& settings, tagLOG* log) {
    LogProgress(log, "Writing metadata to CSV file [%s]...\n", path);
    tagREPORTFILE csv;
    if (!OpenReportFile(&csv, path, settings.iCompression, settings.iCompressionLevel) ||
        (settings.bParquet && !StartParquetReport(&csv, kCabinetParquet, nullptr, settings))) {
        LogError(log, "Could not create CSV file [%s]! - %s.\n", path, strerror(errno));
        return 0;
    }
    const char* header =
        settings.bClean
            ? "device,alias,address,roadway,side,milepost,location,version,loops,stations,"
              "speedtraps,meteredlanes,status\n"
            : "Device,Alias,Address,Roadway,Side,Milepost,Location,Version,Loops,Stations,"
              "Speedtraps,Meteredlanes,Status\n";
    ReportWrite(&csv, header, strlen(header));
    for (int i = 0; i < count; i++) {
        const tagCABINETMETADATA& r = records[i];
        // In standard CSV the texts are fields of their own (the name and side are taken
        // unchanged and may hold a comma or a quote).
        char text[8][2 * sizeof r.szLocation + 8];
        const char* fields[8] = {r.szDeviceName, r.szAlias,    r.szAddress,  r.szRoadway,
                                 r.szSide,       r.szMilepost, r.szLocation, r.szStatus};
        for (int f = 0; f < 8; f++) {
            if (settings.bClean)
                *PutCsvField(text[f], fields[f]) = '\0';
            else
                snprintf(text[f], sizeof text[f], "%s", fields[f]);
        }
        ReportPrintf(&csv, "%s,%s,%s,%s,%s,%s,%s,%d,%d,%d,%d,%d,%s\n", text[0], text[1], text[2],
                     text[3], text[4], text[5], text[6], r.iCabinetVersion, r.iLoops, r.iStations,
                     r.iSpeedtraps, r.iMeteredlanes, text[7]);
    }
    return PublishReportFile(&csv, log);
}

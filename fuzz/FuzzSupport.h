// What the fuzz targets share: a scratch folder pair on a RAM disk where one is available,
// quiet consoles, and a clean slate of options before every input.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Common.h"

namespace fuzzsupport {

struct Scratch {
    std::string in, out;  // both end in '/'
    FILE* log;
};

// Made once per process: input and output folders, a log that goes nowhere, and a console
// that goes nowhere (the converter prints progress for every file).
inline Scratch& Folders() {
    static Scratch scratch = [] {
        Scratch s;
        char pattern[64];
        snprintf(pattern, sizeof pattern, "%s/korva-fuzz-XXXXXX",
                 access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        std::string root = mkdtemp(pattern);
        s.in = root + "/in/";
        s.out = root + "/out/";
        mkdir(s.in.c_str(), 0700);
        mkdir(s.out.c_str(), 0700);
        s.log = fopen("/dev/null", "w");
        if (!freopen("/dev/null", "w", stdout)) abort();
        return s;
    }();
    return scratch;
}

inline void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) abort();
    if (size) fwrite(data, 1, size, file);
    fclose(file);
}

// Empties a folder (the reports of the last input, and any temporary file left behind).
inline void Empty(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (struct dirent* entry = readdir(dir))
        if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
            unlink((folder + entry->d_name).c_str());
    closedir(dir);
}

inline void ResetOptions() {
    bWRITEELEMENTS = bWRITELANES = bWRITETRAPS = bLISTALLELEMENTS = bCONVERTMETA = 0;
    bINCLUDESPEEDLANES = bINCLUDEMETERS = bWRITEROWSFIRST = bPERIOD = bDEVICE = 0;
    memset(szPeriod, 0, sizeof szPeriod);
    memset(szDevice, 0, sizeof szDevice);
    memset(szCmdLine, 0, sizeof szCmdLine);
    memset(szSourceFolder, 0, sizeof szSourceFolder);
    memset(szTargetFolder, 0, sizeof szTargetFolder);
    memset(szLogFolder, 0, sizeof szLogFolder);
}

}  // namespace fuzzsupport

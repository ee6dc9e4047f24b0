// What the fuzz targets share: a scratch folder pair on a RAM disk where one is available,
// quiet consoles, and a clean slate of options before every input.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
        char pattern[64];
        snprintf(pattern, sizeof pattern, "%s/korva-fuzz-XXXXXX",
                 access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        std::string root = mkdtemp(pattern);
        std::filesystem::create_directory(root + "/in");
        std::filesystem::create_directory(root + "/out");
        if (!freopen("/dev/null", "w", stdout)) abort();
        return Scratch{root + "/in/", root + "/out/", fopen("/dev/null", "w")};
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
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        std::filesystem::remove(entry.path(), ignored);
}

inline void ResetOptions() {
    for (int* flag : {&bWRITEELEMENTS, &bWRITELANES, &bWRITETRAPS, &bLISTALLELEMENTS, &bCONVERTMETA,
                      &bINCLUDESPEEDLANES, &bINCLUDEMETERS, &bWRITEROWSFIRST, &bPERIOD, &bDEVICE})
        *flag = 0;
    for (char* text : {szPeriod, szDevice, szCmdLine, szSourceFolder, szTargetFolder, szLogFolder})
        text[0] = '\0';
}

}  // namespace fuzzsupport

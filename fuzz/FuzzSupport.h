// What the fuzz targets share: a scratch folder pair on a RAM disk where one is available,
// quiet consoles, and settings of no option before every input.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/RunLog.h"
#include "cli/Settings.h"

namespace fuzzsupport {

struct Scratch {
    std::string in, out;  // both end in '/'
    tagLOG log;
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
        return Scratch{root + "/in/", root + "/out/", tagLOG{fopen("/dev/null", "w")}};
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

// Settings of no option, with the scratch folders.
inline tagSETTINGS& Settings() {
    static tagSETTINGS settings;
    settings = tagSETTINGS{};
    snprintf(settings.szSourceFolder, sizeof settings.szSourceFolder, "%s", Folders().in.c_str());
    snprintf(settings.szTargetFolder, sizeof settings.szTargetFolder, "%s", Folders().out.c_str());
    return settings;
}

}  // namespace fuzzsupport

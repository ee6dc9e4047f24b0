// The sizes the formats and the converter's fixed buffers set, and the device type codes of the
// name table.
#pragma once

inline constexpr char szVersion[] = "2.02";

enum {
    PERIODS_PER_DAY = 4320,  // 20-second periods in a day, the most a data file holds
    PATH_SIZE = 260,         // every input, output and log path: 259 characters and the zero
    FOLDER_SIZE = 4096,      // the three folders, including the appended '/' and the zero
    HEADER_TEXT_SIZE = 32,   // the four text values of a data file's header
};

enum {
    DEVICE_LOOP = 80,
    DEVICE_STATION = 84,
    DEVICE_SPEED_TRAP = 88,
    DEVICE_METERED_LANE = 261,
};

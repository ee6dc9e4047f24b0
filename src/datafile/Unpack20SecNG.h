// Unpack20SecNG: decoders of the bit-packed 20-second entries, one per device type whose values
// a report shows (a metered lane's entries are only skipped over). Each takes
// one entry of the file (bytes read as 0..255) and writes each destination exactly once. They
// run for every period of every device a report shows, so they are inline.
#pragma once

#include <cstdint>

// Loop detector, 3 bytes: incident, lanes, 11-bit scan count, 3-bit flag, 5-bit volume.
inline void unpack_rtdb_loop(const unsigned char* entry, uint16_t* volume, uint16_t* scanCount,
                             uint16_t* flag, uint16_t* incident, uint16_t* lanes) {
    *incident = (uint16_t)(entry[0] >> 6);
    *lanes = (uint16_t)((entry[0] >> 3) & 0x07);
    *scanCount = (uint16_t)(((entry[0] & 0x07) << 8) | entry[1]);
    *flag = (uint16_t)(entry[2] >> 5);
    *volume = (uint16_t)(entry[2] & 0x1f);
}

// Station, 3 bytes: as a loop detector, but a 1-bit flag and a 7-bit volume.
inline void unpack_rtdb_station(const unsigned char* entry, uint16_t* volume, uint16_t* scanCount,
                                uint16_t* flag, uint16_t* incident, uint16_t* lanes) {
    *incident = (uint16_t)(entry[0] >> 6);
    *lanes = (uint16_t)((entry[0] >> 3) & 0x07);
    *scanCount = (uint16_t)(((entry[0] & 0x07) << 8) | entry[1]);
    *flag = (uint16_t)(entry[2] >> 7);
    *volume = (uint16_t)(entry[2] & 0x7f);
}

// Speed trap, 6 bytes: flags, 10-bit speed and length in tenths, four length-bin counts.
inline void unpack_rtdb_spd_trap(const unsigned char* entry, uint16_t* speed, uint16_t* length,
                                 uint16_t* bin1, uint16_t* bin2, uint16_t* bin3, uint16_t* bin4,
                                 uint16_t* flag, uint16_t* flag2) {
    *flag = entry[0];
    *flag2 = (uint16_t)(entry[1] & 0xf0);
    *length = (uint16_t)(((entry[1] & 0x0c) << 6) | entry[3]);
    *speed = (uint16_t)(((entry[1] & 0x03) << 8) | entry[2]);
    *bin4 = (uint16_t)(entry[4] >> 5);
    *bin1 = (uint16_t)(entry[4] & 0x1f);
    *bin2 = (uint16_t)(entry[5] >> 4);
    *bin3 = (uint16_t)(entry[5] & 0x0f);
}

// Unpack20SecNG: decoders of the bit-packed 20-second entries, one per device type. Each takes
// one entry of the file (bytes read as 0..255) and writes each destination exactly once.
#pragma once

#include <cstdint>

// Loop detector, 3 bytes: incident, lanes, 11-bit scan count, 3-bit flag, 5-bit volume.
void unpack_rtdb_loop(const unsigned char* entry, uint16_t* volume, uint16_t* scanCount,
                      uint16_t* flag, uint16_t* incident, uint16_t* lanes);
// Station, 3 bytes: as a loop detector, but a 1-bit flag and a 7-bit volume.
void unpack_rtdb_station(const unsigned char* entry, uint16_t* volume, uint16_t* scanCount,
                         uint16_t* flag, uint16_t* incident, uint16_t* lanes);
// Speed trap, 6 bytes: flags, 10-bit speed and length in tenths, four length-bin counts.
void unpack_rtdb_spd_trap(const unsigned char* entry, uint16_t* speed, uint16_t* length,
                          uint16_t* bin1, uint16_t* bin2, uint16_t* bin3, uint16_t* bin4,
                          uint16_t* flag, uint16_t* flag2);
// Metered lane, 2 bytes: one byte and two nibbles.
void unpack_rtdb_mtrd_ln(const unsigned char* entry, uint8_t* meter0, uint8_t* meter1,
                         uint8_t* meter2);

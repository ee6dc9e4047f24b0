// The device table of a data file: one record per name-table entry, the name index by which
// devices are found, and how many packed entries each device's block holds inside the file.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/RunLog.h"
#include "datafile/Header.h"

// One named device of the file: what its name-table entry says, and what the linking steps found
// for it. Its name stays in the file's bytes (DeviceName): a table of millions of names costs 20
// bytes a name here, and a day of its values is never held: blocks of periods are made from the
// file's packed entries.
struct tagDEVICE {
    uint32_t uiDataOffset;  // packed data block, from byte 0 of the file
    int iTrapSource;        // the device whose trap measurements it carries (itself when none)
    int iFirstLane;         // station: its lanes in tagDATAFILE::lanes, -1 when not summed
    uint16_t usType;        // DEVICE_LOOP, DEVICE_STATION, ...
    uint16_t usPeriods;     // whole packed entries its block has inside the file (<= columns)
    uint8_t ucLanes;        // station: how many lanes it sums (0 to 8)
    uint8_t bFinalised;     // station: it found all its lanes, so its sums became averages
    char cKind;             // byte 16 of its name: 'S' speed lane, 'T' trap, 'R' ramp-meter lane
};

// The data file in hand: its bytes, its header and its device table. Names the table lacks (the
// header claims more than the name table holds) are all-zero devices: they take no room here,
// and every step treats them as such.
struct tagDATAFILE {
    const unsigned char* lpBytes = nullptr;  // the whole file
    int iSize = 0;
    tagHEADER header;
    int iColumns = 0;                // periods every step runs over: the header's, within a day
    std::vector<tagDEVICE> devices;  // what the name table holds, in its order
    std::vector<int> byName;         // device positions sorted by name, then by position
    std::vector<int> lanes;          // the stations' lanes, positions in table order
    bool bTable = false;             // the device table could be allocated
};

// Allocates the device table of the header's names (only the entries the name table holds),
// copies name, type and data offset of each 27-byte little-endian entry, and indexes the names.
// Returns 1, or 0 when the table cannot be allocated (logged; no table) or the name data runs
// out (logged; the devices read so far are kept).
int ReadNameTable(tagDATAFILE* file, tagLOG* log);

// Finds how many whole packed entries each device's block has inside the file; entries past
// its end are never read (those periods stay zero), with one warning per device cut short.
void UnpackNamedDevice(tagDATAFILE* file, tagLOG* log);

enum { NAME_ENTRY_SIZE = 27, NAME_SIZE = 19 };

// The 19 name bytes of the device at `position` in the name table. As a text a name ends at its
// first zero byte, or after 19 bytes.
inline const char* NameBytes(const tagDATAFILE& file, int position) {
    return (const char*)file.lpBytes + file.header.iHeaderSize + NAME_ENTRY_SIZE * (size_t)position;
}
// The name of the device at `position`: its 19 bytes and a zero. A name cut short by a zero byte
// keeps the bytes after it (byte 16, its kind letter, among them) where the linking steps look.
struct tagNAME {
    char text[NAME_SIZE + 1];
};
inline tagNAME DeviceName(const tagDATAFILE& file, int position) {
    tagNAME name;
    memcpy(name.text, NameBytes(file, position), NAME_SIZE);
    name.text[NAME_SIZE] = '\0';
    return name;
}

// The devices named `name`, exactly, as a range of the name index (positions in table order).
struct tagNAMED {
    const int *begin, *end;
    bool empty() const { return begin == end; }
};
tagNAMED Named(const tagDATAFILE& file, const char* name);

// The position of the first device in the table named `name` (-D), -1 when there is none.
inline int FirstNamed(const tagDATAFILE& file, const char* name) {
    tagNAMED named = Named(file, name);
    return named.empty() ? -1 : *named.begin;
}

// Lane count of a loop or station in the first period of the day (0 for other devices).
int LanesAtFirstPeriod(const tagDATAFILE& file, const tagDEVICE& d);

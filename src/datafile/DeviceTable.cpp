#include "datafile/DeviceTable.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/Limits.h"

static uint16_t Little16(const unsigned char* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}
static uint32_t Little32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Sizes a vector sized by the file's own claims; false when the memory cannot be had.
template <typename T>
static bool TryResize(std::vector<T>* v, size_t count) {
    try {
        v->resize(count);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int ReadNameTable(tagDATAFILE* file, tagLOG* log) {
    const tagHEADER& h = file->header;
    // Entries the name table holds: within its claimed size and within the file. The names the
    // header claims beyond them are all-zero devices, which no step ever lists or links.
    int64_t room = std::min<int64_t>(h.iNameListSize, (int64_t)file->iSize - h.iHeaderSize);
    int64_t holdable = std::max<int64_t>(room, 0) / NAME_ENTRY_SIZE;
    int complete = 1;
    if (h.iNumberofNames > holdable) {
        LogWarning(log,
                   "While parsing the name table, we ran out of name data before we finished "
                   "the list!\n");
        complete = 0;
    }
    size_t count = (size_t)std::clamp<int64_t>(h.iNumberofNames, 0, holdable);
    if (!TryResize(&file->devices, count) || !TryResize(&file->byName, count)) {
        file->devices = {};
        file->byName = {};
        LogError(log, "Allocation [%zd] bytes of space for [%d] data names structure FAILED!!!\n",
                 (ssize_t)(count * (sizeof(tagDEVICE) + sizeof(int))), h.iNumberofNames);
        return 0;
    }
    file->bTable = true;
    const unsigned char* table = file->lpBytes + h.iHeaderSize;  // count > 0: inside the file
    for (size_t j = 0; j < count; j++) {
        const unsigned char* entry = table + NAME_ENTRY_SIZE * j;
        tagDEVICE& device = file->devices[j];
        device.cKind = (char)entry[16];
        device.usType = Little16(entry + 19);
        // Bytes 21 and 22 are a second word no step reads.
        device.uiDataOffset = Little32(entry + 23);
        device.usPeriods = 0;
        device.iTrapSource = (int)j;
        device.iFirstLane = -1;
        device.ucLanes = device.bFinalised = 0;
        file->byName[j] = (int)j;
    }
    // Devices are found by their whole name, exactly; duplicates stay in table order.
    std::sort(file->byName.begin(), file->byName.end(), [file](int a, int b) {
        int order = strncmp(NameBytes(*file, a), NameBytes(*file, b), NAME_SIZE);
        return order != 0 ? order < 0 : a < b;
    });
    return complete;
}

tagNAMED Named(const tagDATAFILE& file, const char* name) {
    const int* first = file.byName.data();
    const int* last = first + file.byName.size();
    if (strnlen(name, NAME_SIZE + 1) > NAME_SIZE) return {last, last};  // longer than any name
    const int* lo = std::lower_bound(first, last, name, [&file](int a, const char* b) {
        return strncmp(NameBytes(file, a), b, NAME_SIZE) < 0;
    });
    const int* hi = std::upper_bound(lo, last, name, [&file](const char* b, int a) {
        return strncmp(b, NameBytes(file, a), NAME_SIZE) < 0;
    });
    return {lo, hi};
}

// Packed entry size of a device type, 0 for a type without data.
static int EntrySize(uint16_t type) {
    switch (type) {
        case DEVICE_LOOP:
        case DEVICE_STATION:
            return 3;
        case DEVICE_SPEED_TRAP:
            return 6;
        case DEVICE_METERED_LANE:
            return 2;
    }
    return 0;
}

void UnpackNamedDevice(tagDATAFILE* file, tagLOG* log) {
    int columns = file->iColumns;
    for (size_t j = 0; j < file->devices.size(); j++) {
        tagDEVICE& d = file->devices[j];
        int entrySize = EntrySize(d.usType);
        if (entrySize == 0) continue;
        int64_t room = (int64_t)file->iSize - (int64_t)d.uiDataOffset;
        d.usPeriods = (uint16_t)(room > 0 ? std::min<int64_t>(room / entrySize, columns) : 0);
        if (d.usPeriods < columns)
            LogWarning(log,
                       "Data block of device [%s] ends past the end of the file; only [%d] of "
                       "[%d] periods unpacked!\n",
                       DeviceName(*file, (int)j).text, d.usPeriods, columns);
    }
}

int LanesAtFirstPeriod(const tagDATAFILE& file, const tagDEVICE& d) {
    if ((d.usType != DEVICE_LOOP && d.usType != DEVICE_STATION) || d.usPeriods == 0) return 0;
    return (file.lpBytes[d.uiDataOffset] >> 3) & 0x07;
}

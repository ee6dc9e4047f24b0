#include "output/ParquetThrift.h"

void tagTHRIFT::Field(int16_t id, uint8_t type) {
    int step = id - last;
    if (step > 0 && step <= 15) {
        out += (char)(step << 4 | type);
    } else {
        out += (char)type;
        ZigZag(id);
    }
    last = id;
}

void tagTHRIFT::Varint(uint64_t value) {
    while (value >= 0x80) {
        out += (char)((value & 0x7f) | 0x80);
        value >>= 7;
    }
    out += (char)value;
}

void tagTHRIFT::I8(int16_t id, int8_t value) {
    Field(id, THRIFT_I8);
    out += (char)value;
}

void tagTHRIFT::Binary(int16_t id, const void* data, size_t length) {
    Field(id, THRIFT_BINARY);
    Varint(length);
    out.append((const char*)data, length);
}

void tagTHRIFT::Begin() {
    open.push_back(last);
    last = 0;
}

void tagTHRIFT::End() {
    out += '\0';
    last = open.back();
    open.pop_back();
}

void tagTHRIFT::List(int16_t id, uint8_t elementType, size_t size) {
    Field(id, THRIFT_LIST);
    if (size < 15) {
        out += (char)(size << 4 | elementType);
    } else {
        out += (char)(0xf0 | elementType);
        Varint(size);
    }
}

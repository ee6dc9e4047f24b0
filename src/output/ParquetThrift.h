// The Thrift compact protocol, as much of it as a Parquet footer and its page headers need:
// structs of integer, binary, bool and struct fields, and lists. Writes only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum ThriftType : uint8_t {
    THRIFT_TRUE = 1,
    THRIFT_FALSE = 2,
    THRIFT_I8 = 3,
    THRIFT_I16 = 4,
    THRIFT_I32 = 5,
    THRIFT_I64 = 6,
    THRIFT_BINARY = 8,
    THRIFT_LIST = 9,
    THRIFT_STRUCT = 12,
};

// An encoder writing into out. Field ids are given in ascending order within a struct; the
// last id of every open struct is kept, since a field header holds the step from it.
struct tagTHRIFT {
    std::string out;
    std::vector<int16_t> open;  // the last field id of each open struct, innermost last
    int16_t last = 0;

    // The header of field id of type: one byte for a step of 1 to 15, else the type and the id.
    void Field(int16_t id, uint8_t type);
    void Varint(uint64_t value);
    void ZigZag(int64_t value) { Varint((uint64_t)(value << 1) ^ (uint64_t)(value >> 63)); }

    void I8(int16_t id, int8_t value);
    void I16(int16_t id, int16_t value) { Field(id, THRIFT_I16), ZigZag(value); }
    void I32(int16_t id, int32_t value) { Field(id, THRIFT_I32), ZigZag(value); }
    void I64(int16_t id, int64_t value) { Field(id, THRIFT_I64), ZigZag(value); }
    void Bool(int16_t id, bool value) { Field(id, value ? THRIFT_TRUE : THRIFT_FALSE); }
    void Binary(int16_t id, const void* data, size_t length);
    void Binary(int16_t id, const std::string& text) { Binary(id, text.data(), text.size()); }

    // A struct field (or, with Begin(), a struct element of a list) and its end.
    void Begin(int16_t id) { Field(id, THRIFT_STRUCT), Begin(); }
    void Begin();
    void End();
    // A struct field with no fields of its own (the members of the type unions).
    void Empty(int16_t id) { Begin(id), End(); }

    // A list field's header: its element type and size; the elements follow, raw.
    void List(int16_t id, uint8_t elementType, size_t size);
    void ListBinary(const std::string& text) { Varint(text.size()), out += text; }
};

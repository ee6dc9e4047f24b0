// The Parquet writer's own pieces where a reader would only say "corrupt": the compact protocol's
// long forms, the hybrid encoding's runs and the columns each kind names (the options are among the
// command lines of Options.AcceptedAndRefusedCommandLines).
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "output/ParquetPages.h"
#include "output/ParquetThrift.h"
#include "reports/ParquetKinds.h"
#include "reports/ReportKind.h"

using namespace korvatest;

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) out += (char)b;
    return out;
}

// Reads the RLE/bit-packed hybrid back: count values of bitWidth bits.
std::vector<uint32_t> ReadHybrid(const std::string& in, size_t count, int bitWidth) {
    std::vector<uint32_t> out;
    size_t at = 0;
    while (out.size() < count && at < in.size()) {
        uint64_t header = 0;
        for (int shift = 0;; shift += 7) {
            uint8_t b = (uint8_t)in[at++];
            header |= (uint64_t)(b & 0x7f) << shift;
            if (!(b & 0x80)) break;
        }
        if (header & 1) {  // bit-packed groups of 8
            uint64_t bits = 0;
            int held = 0;
            for (size_t n = 0; n < (header >> 1) * 8; n++) {
                while (held < bitWidth) bits |= (uint64_t)(uint8_t)in[at++] << held, held += 8;
                out.push_back((uint32_t)(bits & ((1u << bitWidth) - 1)));
                bits >>= bitWidth, held -= bitWidth;
            }
        } else {
            uint32_t value = 0;
            for (int b = 0; b < (bitWidth + 7) / 8; b++)
                value |= (uint32_t)(uint8_t)in[at++] << 8 * b;
            out.insert(out.end(), header >> 1, value);
        }
    }
    out.resize(count);
    return out;
}

}  // namespace

// Field ids that step by more than 15 or go back take the long header; negative numbers zigzag;
// lists of 15 or more elements have their size apart; a nested struct resumes its parent's ids.
TEST(ParquetThrift, LongFormsAndNesting) {
    tagTHRIFT t;
    t.I32(1, -1);    // step 1: 0x15, zigzag(-1) = 1
    t.I32(17, 300);  // step 16: type byte, id 17 zigzag 34, zigzag(300) = 600
    t.Begin(18);     // step 1 struct
    t.Bool(1, true);
    t.End();
    t.I64(19, -65);  // back in the parent: step 1 from 18
    t.List(20, THRIFT_I32, 15);
    t.List(21, THRIFT_BINARY, 14);
    t.I16(3, 1);  // a smaller id: the long form
    EXPECT_EQ(t.out, Bytes({0x15, 0x01, 0x05, 0x22, 0xd8, 0x04, 0x1c, 0x11, 0x00, 0x16,
                            0x81, 0x01, 0x19, 0xf5, 0x0f, 0x19, 0xe8, 0x04, 0x06, 0x02}));
}

// Runs of 8 or more equal values are one repeated run wherever they start; other values are
// packed in whole groups of 8, only the last group padded: a group padded in the middle would
// shift every later value.
TEST(ParquetPages, HybridRoundTrips) {
    std::vector<std::vector<uint32_t>> cases = {
        {5},
        {1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 1, 2},
        std::vector<uint32_t>(1000, 3),
    };
    std::vector<uint32_t> mixed;
    for (uint32_t i = 0; i < 5000; i++) mixed.push_back(i % 97 < 40 ? 9 : (i * 7919) % 1000);
    cases.push_back(mixed);
    for (const auto& values : cases) {
        for (int width : {10, 16}) {
            std::string out;
            PutHybrid(&out, values.data(), values.size(), width);
            EXPECT_EQ(ReadHybrid(out, values.size(), width), values) << values.size();
        }
    }
}

// Each kind's columns are its --clean header, in its order: a column added to a report's text
// and not to its Parquet form would otherwise fail every Parquet report of that kind.
TEST(ParquetKinds, ColumnsAreTheCleanHeader) {
    for (const tagREPORTKIND* kind : {&kElementReport, &kLaneReport, &kTrapReport, &kSummaryReport,
                                      &kHealthReport, &kCorridorReport}) {
        tagPARQUETSCHEMA schema = ParquetSchemaOf(*kind);
        std::string names;
        for (int k = 0; k < schema.count; k++)
            names += std::string(k ? "," : "") + schema.columns[k].szName;
        EXPECT_EQ(names + "\n", kind->szCleanHeader) << kind->szKind;
    }
}

// --compress: every report of a run written as one gzip member or one zstd frame, named with
// ".gz" or ".zst" after its usual name, decompressing to the bytes the plain run writes.
#include <gtest/gtest.h>
#include <isa-l/igzip_lib.h>
#include <zstd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "TestSupport.h"

using namespace korvatest;

namespace {

// The one gzip member that bytes must be, inflated with its CRC and length checked; "!" when
// bytes are anything else (a truncated member, trailing bytes, a bad check).
std::string Gunzip(const std::string& bytes) {
    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_GZIP;
    state.next_in = (uint8_t*)bytes.data();
    state.avail_in = (uint32_t)bytes.size();
    std::string text;
    char chunk[1 << 16];
    while (state.block_state != ISAL_BLOCK_FINISH) {
        state.next_out = (uint8_t*)chunk;
        state.avail_out = sizeof chunk;
        if (isal_inflate(&state) != ISAL_DECOMP_OK) return "!";
        text.append(chunk, sizeof chunk - state.avail_out);
        if (state.avail_out == sizeof chunk && state.block_state != ISAL_BLOCK_FINISH) return "!";
    }
    return state.avail_in == 0 ? text : "!";
}

// The one zstd frame that bytes must be, decompressed; "!" when bytes are anything else.
std::string Unzstd(const std::string& bytes) {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_inBuffer in = {bytes.data(), bytes.size(), 0};
    std::string text;
    char chunk[1 << 16];
    size_t left = 1;
    while (left != 0) {
        ZSTD_outBuffer out = {chunk, sizeof chunk, 0};
        left = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(left) || (out.pos == 0 && in.pos == in.size && left != 0)) break;
        text.append(chunk, out.pos);
    }
    ZSTD_freeDCtx(context);
    return left == 0 && in.pos == in.size ? text : "!";
}

std::string Decompressed(const std::string& value, const std::string& bytes) {
    return value.starts_with("gzip") ? Gunzip(bytes) : Unzstd(bytes);
}

// A sample day whose element report spans several buffers of the writer (about 7 MB), with
// its cabinet list.
bool MakeSample(const TempDir& in) {
    std::string run =
        KORVA_SAMPLE_BIN + (" -n 100 -p 720 -d 1 --faults " + in.path) + " >/dev/null";
    return std::system(run.c_str()) == 0;
}

// Every report of a run: the four data reports, then the cabinet CSV.
RunResult Convert(const TempDir& in, const std::string& out, const TempDir& logs,
                  std::vector<std::string> options) {
    for (const std::string& s : {"-I" + in.path, "-O" + out, "-F" + logs.path})
        options.push_back(s);
    std::vector<std::string> data = options;
    for (const char* report : {"-E", "-L", "-T", "-A"}) data.push_back(report);
    RunResult r = RunKorva(data, in.path);
    if (r.status != 0) return r;
    options.push_back("-M");
    return RunKorva(options, in.path);
}

}  // namespace

// Each report kind in both row orders, at the default, the lowest and the highest level of
// each format (gzip:0 stores, without igzip's level buffer).
TEST(Compress, ReportsDecompressToThePlainReportsUnderTheirNamesWithASuffix) {
    TempDir in, logs;
    ASSERT_TRUE(MakeSample(in));
    for (bool rowsFirst : {false, true}) {
        std::vector<std::string> order;
        if (rowsFirst) order.push_back("-R");
        TempDir plain;
        ASSERT_EQ(Convert(in, plain.path, logs, order).status, 0);
        const std::vector<std::string> names = ListDir(plain.path);
        ASSERT_EQ(names.size(), 5u);  // -R names the lane and trap reports _R_
        for (std::string value : {"gzip", "gzip:0", "gzip:3", "zstd", "zstd:19"}) {
            SCOPED_TRACE(value + (rowsFirst ? " -R" : ""));
            TempDir out;
            std::vector<std::string> options = order;
            options.push_back("--compress=" + value);
            RunResult r = Convert(in, out.path, logs, options);
            ASSERT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(Has(r.out, "\tOption --compress, String = " + value + "\n")) << r.out;
            const std::string suffix = value.starts_with("gzip") ? ".gz" : ".zst";
            std::vector<std::string> expected;
            for (const std::string& name : names) expected.push_back(name + suffix);
            ASSERT_EQ(ListDir(out.path), expected);
            for (const std::string& name : names) {
                const std::string packed = ReadFile(out / (name + suffix));
                const std::string text = ReadFile(plain / name);
                EXPECT_LT(packed.size(), text.size()) << name;
                EXPECT_TRUE(Decompressed(value, packed) == text) << name;
            }
        }
    }
}

// A compressed report that cannot be written whole is an error of its own: the E line, no
// temporary left, the earlier report of that name untouched, the run going on.
TEST(Compress, WriteFailureKeepsTheEarlierReportAndLeavesNoTemporary) {
    TempDir in;
    ASSERT_TRUE(MakeSample(in));
    for (std::string value : {"gzip", "zstd"}) {
        SCOPED_TRACE(value);
        TempDir out, logs;
        const std::string suffix = value == "gzip" ? ".gz" : ".zst";
        const std::string report = out / ("KORVA20Sec_Element_05012021.csv" + suffix);
        WriteFile(report, "the earlier report\n");
        int status = WithFileSizeLimit(64 * 1024, [&] {
            return RunKorva({"-E", "-A", "--compress=" + value, "-I" + in.path, "-O" + out.path,
                             "-F" + logs.path},
                            in.path)
                .status;
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(ReadFile(report), "the earlier report\n");
        const std::string contents = out / ("KORVA20Sec_Content_05012021.csv" + suffix);
        EXPECT_EQ(ListDir(out.path), (std::vector<std::string>{contents.substr(out.path.size()),
                                                               report.substr(out.path.size())}));
        EXPECT_NE(Decompressed(value, ReadFile(contents)), "!");
        std::string log;
        for (const std::string& name : ListDir(logs.path)) log += ReadFile(logs / name);
        EXPECT_EQ(Count(log, "] E "), 1) << log;
        EXPECT_TRUE(
            Has(log, "] E Could not write CSV file [" + report + "]! - " + strerror(EFBIG) + ".\n"))
            << log;
    }
}

// A value outside gzip[:0-3] and zstd[:1-19] stops the run before anything is written.
TEST(Compress, IllegalValueIsACommandLineError) {
    TempDir in, out, logs;
    WriteFile(in / "X.DAT", BuildDataFile({}));
    for (std::string value :
         {"", "gz", "gzipx", "GZIP", "xz", "gzip:", "gzip:4", "gzip:-1", "gzip:+1", "gzip: 1",
          "gzip:1x", "zstd:0", "zstd:20", "zstd:", "zstd:99999999999999999999", "zstd:1:2"}) {
        RunResult r = RunKorva(
            {"-E", "--compress=" + value, "-I" + in.path, "-O" + out.path, "-F" + logs.path},
            in.path);
        EXPECT_EQ(r.status, 1) << value;
        EXPECT_TRUE(Has(r.out, "     E Illegal '--compress' value [" + value +
                                   "] -- gzip, gzip:0 to 3, zstd or zstd:1 to 19!\n"))
            << value << "\n"
            << r.out;
    }
    EXPECT_TRUE(ListDir(out.path).empty());
    EXPECT_TRUE(ListDir(logs.path).empty());
}

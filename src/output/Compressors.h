// The compressors of --compress: a report becomes one gzip member (ISA-L's igzip) or one zstd
// frame, made a buffer at a time.
#pragma once

#include <cstddef>

enum { COMPRESS_NONE, COMPRESS_GZIP, COMPRESS_ZSTD };

// The ending every report name takes for a kind of compression: "", ".gz" or ".zst".
const char* ReportSuffix(int compression);

struct tagPACKER;

// Where compressed bytes go; false when they could not be written (the stream then stops).
typedef bool (*PackedSink)(void* context, const char* data, size_t length);

// Sets up a compressor of the kind (gzip levels 0 to 3, zstd 1 to 19). Returns null for
// COMPRESS_NONE, and null with errno ENOMEM when it cannot be had (*failed set).
tagPACKER* StartPacker(int compression, int level, bool* failed);
void FreePacker(tagPACKER* packer);

// Compresses the next bytes of the stream into sink; `last` ends the stream. Returns false on a
// compressor error or when the sink refused bytes.
bool PackOut(tagPACKER* packer, const char* data, size_t length, bool last, PackedSink sink,
             void* context);

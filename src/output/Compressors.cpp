#include "output/Compressors.h"

#include <isa-l/igzip_lib.h>
#include <zstd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

const char* ReportSuffix(int compression) {
    return compression == COMPRESS_GZIP ? ".gz" : compression == COMPRESS_ZSTD ? ".zst" : "";
}

struct tagPACKER {
    isal_zstream gzip;
    uint8_t* lpLevelBuffer;  // igzip's work space for levels 1 to 3
    ZSTD_CCtx* lpZstd;
    char* lpOut;  // compressed bytes on their way to the file
};
enum { PACKED_SIZE = 1 << 20 };

void FreePacker(tagPACKER* packer) {
    if (!packer) return;
    free(packer->lpLevelBuffer);
    ZSTD_freeCCtx(packer->lpZstd);
    free(packer->lpOut);
    free(packer);
}

tagPACKER* StartPacker(int compression, int level, bool* failed) {
    *failed = false;
    if (compression == COMPRESS_NONE) return nullptr;
    tagPACKER* packer = (tagPACKER*)calloc(1, sizeof(tagPACKER));
    bool ready = packer && (packer->lpOut = (char*)malloc(PACKED_SIZE));
    if (ready && compression == COMPRESS_GZIP) {
        static const uint32_t levelBuffer[] = {0, ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT,
                                               ISAL_DEF_LVL3_DEFAULT};
        isal_deflate_init(&packer->gzip);
        packer->gzip.gzip_flag = IGZIP_GZIP;
        packer->gzip.level = (uint32_t)level;
        packer->gzip.flush = NO_FLUSH;
        if (level > 0) {
            packer->lpLevelBuffer = (uint8_t*)malloc(levelBuffer[level]);
            packer->gzip.level_buf = packer->lpLevelBuffer;
            packer->gzip.level_buf_size = levelBuffer[level];
            ready = packer->lpLevelBuffer != nullptr;
        }
    } else if (ready) {
        packer->lpZstd = ZSTD_createCCtx();
        ready = packer->lpZstd && !ZSTD_isError(ZSTD_CCtx_setParameter(
                                      packer->lpZstd, ZSTD_c_compressionLevel, level));
    }
    if (!ready) {
        FreePacker(packer);
        *failed = true;
        errno = ENOMEM;
        return nullptr;
    }
    return packer;
}

bool PackOut(tagPACKER* packer, const char* data, size_t length, bool last, PackedSink sink,
             void* context) {
    if (packer->lpZstd) {
        ZSTD_inBuffer in = {data, length, 0};
        for (;;) {
            ZSTD_outBuffer out = {packer->lpOut, PACKED_SIZE, 0};
            size_t left = ZSTD_compressStream2(packer->lpZstd, &out, &in,
                                               last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left)) return false;
            if (!sink(context, packer->lpOut, out.pos)) return false;
            if (last ? left == 0 : in.pos == in.size) return true;
        }
    }
    isal_zstream& gzip = packer->gzip;
    gzip.next_in = (uint8_t*)data;
    gzip.avail_in = (uint32_t)length;
    gzip.end_of_stream = last;
    for (;;) {
        gzip.next_out = (uint8_t*)packer->lpOut;
        gzip.avail_out = PACKED_SIZE;
        if (isal_deflate(&gzip) != COMP_OK) return false;
        if (!sink(context, packer->lpOut, PACKED_SIZE - gzip.avail_out)) return false;
        if (last ? gzip.internal_state.state == ZSTATE_END : gzip.avail_in == 0) return true;
    }
}

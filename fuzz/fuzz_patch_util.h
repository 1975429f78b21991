/* Shared by the patch fuzz targets: an old-data stream computed from its position (so it
 * can be far larger than the input), an output stream into a buffer of exactly its size,
 * and work memory of exactly the asked size. */
#ifndef FUZZ_PATCH_UTIL_H
#define FUZZ_PATCH_UTIL_H

#include <cstdint>
#include <cstring>
#include <memory>

#include "mirv_patch.h"
#include "mirv_plugins.h"

namespace fuzz_patch {

/* The window fuzz targets' listener choices from one byte: bit 0 hands the decompressor,
 * bit 1 the checksum plug-in, bits 2-4 set check_new, check_old and check_diff, bit 5 leaves
 * the preset checks as they are. */
inline void chooseWindowPlugins(unsigned flags, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
                                mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old,
                                mirv_BOOL* check_diff) {
    if (flags & 1) *plugin = mirv_decompress_plugin(info->compress_type);
    if (flags & 2) *checksum = mirv_checksum_plugin(info->checksum_type);
    if (!(flags & 32)) {
        *check_new = (flags >> 2) & 1;
        *check_old = (flags >> 3) & 1;
        *check_diff = (flags >> 4) & 1;
    }
}

inline unsigned char oldByte(uint64_t pos) { return (unsigned char)((pos * 2654435761u) >> 13 ^ (pos & 65535) >> 9); }

/* The old data repeats every 64 KiB, so reads are plain copies. */
inline const unsigned char* oldPattern() {
    static unsigned char pattern[2 * 65536];
    static bool ready = false;
    if (!ready) {
        for (uint64_t i = 0; i < sizeof(pattern); ++i) pattern[i] = oldByte(i);
        ready = true;
    }
    return pattern;
}

struct OldStream {
    mirv_TStreamInput stream;
    explicit OldStream(uint64_t size) {
        stream.owner = this;
        stream.size = size;
        stream.read = read;
        stream.reserved = nullptr;
    }
    static mirv_BOOL read(const mirv_TStreamInput* s, uint64_t pos, unsigned char* out, unsigned char* out_end) {
        uint64_t len = (uint64_t)(out_end - out);
        if (pos > s->size || len > s->size - pos) return 0;
        const unsigned char* pattern = oldPattern();
        while (len) {
            size_t at = (size_t)(pos & 65535), n = len < 65536 ? (size_t)len : 65536;
            std::memcpy(out, pattern + at, n);
            out += n;
            pos += n;
            len -= n;
        }
        return 1;
    }
};

struct NewStream {
    mirv_TStreamOutput stream;
    std::unique_ptr<unsigned char[]> data;
    explicit NewStream(uint64_t size) : data(new unsigned char[size ? size : 1]) {
        stream.owner = this;
        stream.size = size;
        stream.read_back = nullptr;
        stream.write = write;
    }
    static mirv_BOOL write(const mirv_TStreamOutput* s, uint64_t pos, const unsigned char* d, const unsigned char* d_end) {
        uint64_t len = (uint64_t)(d_end - d);
        if (pos > s->size || len > s->size - pos) return 0;
        if (len) std::memcpy(static_cast<NewStream*>(s->owner)->data.get() + pos, d, (size_t)len);
        return 1;
    }
};

/* Work memory size from the mode (0: none, the stack form) and a parameter; large sizes take
 * the cover-array and old-cache paths. */
inline size_t memSize(unsigned mode, uint32_t param) {
    switch (mode & 3) {
    case 0: return 0;
    case 1: return param % 70000;
    case 2: return param % (1u << 20);
    default: return (4u << 20) + param % (1u << 20);
    }
}

} // namespace fuzz_patch

#endif

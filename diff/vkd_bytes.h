// Byte-level pieces of the diff writer: packed numbers, section compression, checksums.
#ifndef VKD_BYTES_H
#define VKD_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "mirv_patch.h"

namespace vkd {
namespace detail {

using Bytes = std::vector<unsigned char>;

// How many bytes a[0..] and b[0..] have in common, at most limit.
inline size_t common_prefix(const unsigned char* a, const unsigned char* b, size_t limit) {
    size_t i = 0;
    while (i + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // the first differing byte is the lowest set byte of the difference
        if (x != y) return i + (size_t(__builtin_ctzll(x ^ y)) >> 3);
#else
        if (x != y) break;
#endif
        i += 8;
    }
    while (i < limit && a[i] == b[i]) ++i;
    return i;
}

// Packed numbers are the patch library's own writer, so that what is written is what is read.

// Bytes that the packed code of value takes with k tag bits (k = 0, 1 or 2).
inline size_t packed_size(uint64_t value, unsigned k = 0) { return mirv_packUIntWithTag_size(value, k); }

// Appends value with tag in the top k bits of the first byte.
inline void put_packed(Bytes& out, uint64_t value, unsigned tag = 0, unsigned k = 0) {
    unsigned char code[mirv_kMaxPackedUIntBytes];
    unsigned char* end = code;
    if (!mirv_packUIntWithTag(&end, code + sizeof code, value, tag, k)) throw std::logic_error("bad packed-number tag");
    out.insert(out.end(), code, end);
}

// A signed position step: tag 1 means subtract.
inline void put_signed_delta(Bytes& out, uint64_t from, uint64_t to) {
    if (to >= from)
        put_packed(out, to - from, 0, 1);
    else
        put_packed(out, from - to, 1, 1);
}

inline void put_text(Bytes& out, const char* text, unsigned char end) {
    for (; *text; ++text) out.push_back(static_cast<unsigned char>(*text));
    out.push_back(end);
}

inline void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// Compresses data with the given vkd_TCompress kind.  Returns false (and leaves out
// empty) when the kind is none, the data is empty or the result would not be smaller,
// so that the caller stores the data as it is.  Throws std::runtime_error when a
// compressor fails.  zstd ends a block at each of cuts (ascending offsets into data), where
// the data changes kind; the other compressors ignore them.
bool compress_bytes(int compress, int level, uint64_t vekko_dict_size, const Bytes& data, Bytes& out,
                    const std::vector<size_t>& cuts = {});

// Streaming checksum of a vkd_TChecksum kind; finish() gives the little-endian bytes.
class Checksum {
public:
    explicit Checksum(int kind);
    ~Checksum();
    Checksum(const Checksum&) = delete;
    Checksum& operator=(const Checksum&) = delete;
    void append(const unsigned char* data, size_t size);
    Bytes finish();
    static size_t size_of(int kind);

private:
    int kind_;
    uint32_t crc_ = 0;
    void* xxh_ = nullptr;
};

}  // namespace detail
}  // namespace vkd

#endif

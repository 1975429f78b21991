// Byte-level pieces of the diff writer: packed numbers, section compression, checksums.
#ifndef VKD_BYTES_H
#define VKD_BYTES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vkd {
namespace detail {

using Bytes = std::vector<unsigned char>;

// Bytes that the packed code of value takes with k tag bits (k = 0, 1 or 2).
inline size_t packed_size(uint64_t value, unsigned k = 0) {
    const uint64_t first_max = (uint64_t(1) << (7 - k)) - 1;
    size_t following = 0;
    while (following * 7 < 64 && (value >> (7 * following)) > first_max) ++following;
    return following + 1;
}

// Appends value with tag in the top k bits of the first byte; groups of 7 bits run from
// the most significant one, and every byte but the last says that more follow.
inline void put_packed(Bytes& out, uint64_t value, unsigned tag = 0, unsigned k = 0) {
    const size_t following = packed_size(value, k) - 1;
    unsigned char first = static_cast<unsigned char>(following * 7 < 64 ? value >> (7 * following) : 0);
    if (k) first |= static_cast<unsigned char>(tag << (8 - k));
    if (following) first |= static_cast<unsigned char>(1u << (7 - k));
    out.push_back(first);
    for (size_t j = following; j-- > 0;)
        out.push_back(static_cast<unsigned char>(((value >> (7 * j)) & 0x7F) | (j ? 0x80 : 0)));
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
// compressor fails.
bool compress_bytes(int compress, int level, uint64_t vekko_dict_size, const Bytes& data, Bytes& out);

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

#include "vkd_bytes.h"

#include <new>
#include <stdexcept>

#include <xxhash.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include "vko_diff.h"
#include "vko_wrapper.h"

namespace vkd {
namespace detail {

namespace {

bool zlib_compress(int level, const Bytes& data, Bytes& out) {
    if (level < 0 || level > 9) level = 9;
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    out.resize(size);
    const int result = compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level);
    if (result == Z_MEM_ERROR) throw std::bad_alloc();
    if (result != Z_OK) throw std::runtime_error("zlib compression failed");
    out.resize(size);
    return true;
}

bool zstd_compress(int level, const Bytes& data, Bytes& out) {
    if (level < 1 || level > ZSTD_maxCLevel()) level = ZSTD_maxCLevel();
    out.resize(ZSTD_compressBound(data.size()));
    const size_t size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level);
    if (ZSTD_isError(size) && ZSTD_getErrorCode(size) == ZSTD_error_memory_allocation) throw std::bad_alloc();
    if (ZSTD_isError(size)) throw std::runtime_error(std::string("zstd compression failed: ") + ZSTD_getErrorName(size));
    out.resize(size);
    return true;
}

bool vekko_compress(uint64_t dict_size, const Bytes& data, Bytes& out) {
    out.resize(vko_max_compressed_size(data.size()));
    const uint64_t size = vko_compress_mem(data.data(), data.size(), out.data(), out.size(), dict_size);
    if (size == 0) throw std::runtime_error("vekko compression failed");
    out.resize(size);
    return true;
}

}  // namespace

bool compress_bytes(int compress, int level, uint64_t vekko_dict_size, const Bytes& data, Bytes& out) {
    out.clear();
    if (data.empty()) return false;
    switch (compress) {
    case vkd_COMPRESS_ZLIB: zlib_compress(level, data, out); break;
    case vkd_COMPRESS_ZSTD: zstd_compress(level, data, out); break;
    case vkd_COMPRESS_VEKKO: vekko_compress(vekko_dict_size, data, out); break;
    default: return false;
    }
    if (out.size() >= data.size()) {
        out.clear();
        return false;
    }
    return true;
}

Checksum::Checksum(int kind) : kind_(kind) {
    if (kind_ == vkd_CHECKSUM_CRC32) {
        crc_ = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
    } else if (kind_ == vkd_CHECKSUM_XXH64) {
        XXH64_state_t* state = XXH64_createState();
        if (!state) throw std::bad_alloc();
        XXH64_reset(state, 0);
        xxh_ = state;
    }
}

Checksum::~Checksum() {
    if (xxh_) XXH64_freeState(static_cast<XXH64_state_t*>(xxh_));
}

void Checksum::append(const unsigned char* data, size_t size) {
    if (kind_ == vkd_CHECKSUM_CRC32) {
        // zlib's crc32 takes at most a uInt at once.
        while (size) {
            const uInt piece = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
            crc_ = static_cast<uint32_t>(crc32(crc_, data, piece));
            data += piece;
            size -= piece;
        }
    } else if (kind_ == vkd_CHECKSUM_XXH64) {
        XXH64_update(static_cast<XXH64_state_t*>(xxh_), data, size);
    }
}

Bytes Checksum::finish() {
    Bytes out;
    uint64_t value = 0;
    if (kind_ == vkd_CHECKSUM_CRC32) value = crc_;
    else if (kind_ == vkd_CHECKSUM_XXH64) value = XXH64_digest(static_cast<XXH64_state_t*>(xxh_));
    for (size_t i = 0; i < size_of(kind_); ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return out;
}

size_t Checksum::size_of(int kind) {
    return kind == vkd_CHECKSUM_CRC32 ? 4 : kind == vkd_CHECKSUM_XXH64 ? 8 : 0;
}

}  // namespace detail
}  // namespace vkd

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

// One zstd frame whose blocks end at the given offsets (ascending, inside the data), so that
// parts of different kinds (packed numbers, text) get entropy tables of their own; matches
// still reach back over the whole frame.
bool zstd_compress_cut(int level, const Bytes& data, const std::vector<size_t>& cuts, Bytes& out) {
    if (level < 1 || level > ZSTD_maxCLevel()) level = ZSTD_maxCLevel();
    struct Context {
        ZSTD_CCtx* cctx = ZSTD_createCCtx();
        ~Context() { ZSTD_freeCCtx(cctx); }
    } context;
    if (!context.cctx) throw std::bad_alloc();
    auto check = [](size_t result) {
        if (ZSTD_isError(result) && ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation) throw std::bad_alloc();
        if (ZSTD_isError(result))
            throw std::runtime_error(std::string("zstd compression failed: ") + ZSTD_getErrorName(result));
        return result;
    };
    check(ZSTD_CCtx_setParameter(context.cctx, ZSTD_c_compressionLevel, level));
    check(ZSTD_CCtx_setPledgedSrcSize(context.cctx, data.size()));
    out.resize(ZSTD_compressBound(data.size()) + 64 * (cuts.size() + 1));
    ZSTD_outBuffer output{out.data(), out.size(), 0};
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? std::min(cuts[i], data.size()) : data.size();
        if (to <= from && i < cuts.size()) continue;
        ZSTD_inBuffer input{data.data() + from, to - from, 0};
        const ZSTD_EndDirective mode = i < cuts.size() ? ZSTD_e_flush : ZSTD_e_end;
        size_t left;
        do {
            left = check(ZSTD_compressStream2(context.cctx, &output, &input, mode));
            if (left && output.pos == output.size) throw std::runtime_error("zstd compression failed: no room");
        } while (left || input.pos < input.size);
        from = to;
    }
    out.resize(output.pos);
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

bool compress_bytes(int compress, int level, uint64_t vekko_dict_size, const Bytes& data, Bytes& out,
                    const std::vector<size_t>& cuts) {
    out.clear();
    if (data.empty()) return false;
    switch (compress) {
    case vkd_COMPRESS_ZLIB: zlib_compress(level, data, out); break;
    case vkd_COMPRESS_ZSTD:
        if (cuts.empty()) zstd_compress(level, data, out);
        else zstd_compress_cut(level, data, cuts, out);
        break;
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

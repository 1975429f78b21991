#include "decode_helpers.h"

#include <algorithm>

namespace vekko_test {

mirv_BOOL ChunkSource::read(void* self, unsigned char* out, vko_size_t* size) {
    ChunkSource& s = *static_cast<ChunkSource*>(self);
    s.requests.push_back(*size);
    /* the header is read in one call of 4 bytes */
    const size_t limit = s.requests.size() == 1 ? SIZE_MAX : s.maxDeliver;
    size_t n = std::min<size_t>({*size, limit, s.data.size() - s.pos});
    if (n > 0 && s.pos + n > s.failAt) {
        if (s.firstFailure == SIZE_MAX) s.firstFailure = s.requests.size() - 1;
        return 0;
    }
    std::copy(s.data.begin() + s.pos, s.data.begin() + s.pos + n, out);
    s.pos += n;
    s.delivered.push_back((uint32_t)n);
    *size = (vko_size_t)n;
    return 1;
}

Decoded decodeMem(const Bytes& stream, size_t capacity) {
    Decoded d;
    d.bytes.assign(capacity, 0xEE);
    vko_size_t size = (vko_size_t)capacity;
    d.result = vko_decompress_mem(stream.data(), (vko_size_t)stream.size(), d.bytes.data(), &size);
    if (d.result == vko_RESULT_STREAM_END) d.bytes.resize(size);
    return d;
}

Decoded decodeStream(ChunkSource& source, uint32_t cacheSize, uint32_t pieceSize, uint32_t dictSize,
                     size_t maxOut) {
    Decoded d;
    const vko_size_t header = vko_TStream_read_dict_size(&source, ChunkSource::read);
    if (dictSize == 0) dictSize = header;
    Bytes buffer(size_t(dictSize) + cacheSize);
    vko_TStream stream;
    d.result = vko_TStream_open(&stream, &source, ChunkSource::read, buffer.data(), dictSize, cacheSize);
    Bytes piece(pieceSize);
    while (d.result == vko_RESULT_OK && d.bytes.size() < maxOut) {
        vko_size_t size = pieceSize;
        d.result = vko_TStream_decompress_partial(&stream, piece.data(), &size);
        d.calls++;
        if (d.result == vko_RESULT_OK || d.result == vko_RESULT_STREAM_END)
            d.bytes.insert(d.bytes.end(), piece.begin(), piece.begin() + size);
    }
    return d;
}

Decoded decodeStream(const Bytes& stream, uint32_t cacheSize, uint32_t pieceSize, uint32_t dictSize,
                     uint32_t chunk) {
    ChunkSource source(stream);
    if (chunk) source.maxDeliver = chunk;
    return decodeStream(source, cacheSize, pieceSize, dictSize);
}

} // namespace vekko_test

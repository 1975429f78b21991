/* Decoding helpers shared by the test programs: a misbehaving byte source for the
 * stream decoder, and one-call wrappers around both decoders. */
#ifndef VEKKO_DECODE_HELPERS_H
#define VEKKO_DECODE_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vko_dec.h"

namespace vekko_test {

typedef std::vector<unsigned char> Bytes;

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

/* A read_code source over a byte vector, with knobs for misbehaving inputs. */
struct ChunkSource {
    Bytes data;
    size_t pos = 0;
    uint32_t maxDeliver = UINT32_MAX; /* deliver at most this many bytes per call after the first */
    size_t failAt = SIZE_MAX;         /* a call that would deliver byte failAt fails */
    std::vector<uint32_t> requests;   /* the size asked for by every call */
    std::vector<uint32_t> delivered;  /* the size delivered by every call that succeeded */
    size_t firstFailure = SIZE_MAX;   /* index in requests of the first failed call */

    explicit ChunkSource(Bytes bytes) : data(std::move(bytes)) {}
    static mirv_BOOL read(void* self, unsigned char* out, vko_size_t* size);
};

struct Decoded {
    vko_TResult result = vko_RESULT_OK; /* of the last call */
    /* Memory decoder: the bytes produced on stream end, else the whole buffer.
     * Stream decoder: the bytes of every piece that came back with 0 or 1. */
    Bytes bytes;
    size_t calls = 0; /* stream decoder: decompress_partial calls made */
};

/* vko_decompress_mem into a buffer of capacity bytes, filled with 0xEE beforehand. */
Decoded decodeMem(const Bytes& stream, size_t capacity);

/* Decodes from `source` (header included) with the stream decoder: a window of dictSize
 * bytes (0: the header's value), the given cache and output pieces of pieceSize bytes,
 * until a call returns non-0 or maxOut bytes have come out. */
Decoded decodeStream(ChunkSource& source, uint32_t cacheSize, uint32_t pieceSize,
                     uint32_t dictSize = 0, size_t maxOut = size_t(1) << 24);
/* The same over a byte vector whose source delivers at most `chunk` bytes per refill after
 * the header (0: as many as asked). */
Decoded decodeStream(const Bytes& stream, uint32_t cacheSize, uint32_t pieceSize,
                     uint32_t dictSize = 0, uint32_t chunk = 0);

} // namespace vekko_test

#endif

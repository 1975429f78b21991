/* Compress and decode byte vectors in one call, for tests. */
#ifndef VEKKO_CODEC_HELPERS_H
#define VEKKO_CODEC_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vko_dec.h"
#include "vko_enc.h"

namespace vekko_test {

typedef std::vector<unsigned char> Bytes;

/* vko_compress over memory streams; props may be null for the defaults. */
Bytes compress(const Bytes& data, const vko_TCompressProps* props = nullptr);

struct Decoded {
    vko_TResult result;
    Bytes bytes;
};

/* vko_decompress_mem into a buffer of capacity bytes; bytes holds what was produced
 * (the reported size on stream end, else the whole buffer). */
Decoded decodeMem(const Bytes& stream, size_t capacity);

/* The stream decoder with a window of the header's size (or window_size when not 0),
 * a cache of cache_size bytes, output pieces of piece_size bytes and a source that
 * delivers at most chunk bytes per refill after the header (0: as many as asked). */
Decoded decodeStream(const Bytes& stream, vko_size_t cache_size, vko_size_t piece_size,
                     vko_size_t window_size = 0, vko_size_t chunk = 0);

/* Properties with the given dictionary size and literal-line flag, other fields default. */
vko_TCompressProps propsWith(uint64_t dict_size, bool literal_line, uint64_t max_save_length = 65535);

} // namespace vekko_test

#endif

/* Compress and decode byte vectors in one call, for tests. */
#ifndef VEKKO_CODEC_HELPERS_H
#define VEKKO_CODEC_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode_helpers.h"
#include "vko_enc.h"

namespace vekko_test {

/* vko_compress over memory streams; props may be null for the defaults. */
Bytes compress(const Bytes& data, const vko_TCompressProps* props = nullptr);

/* Properties with the given dictionary size and literal-line flag, other fields default. */
vko_TCompressProps propsWith(uint64_t dict_size, bool literal_line, uint64_t max_save_length = 65535);

} // namespace vekko_test

#endif

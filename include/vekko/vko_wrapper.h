/* One-call compression of a memory buffer. */
#ifndef VKO_WRAPPER_H
#define VKO_WRAPPER_H

#include <cstdint>

#include "vko_enc.h"

/* Compresses src[0 .. src_size) into out with the default properties and the given
 * dictionary size.  Returns the stream length, or 0 when the encoder returned 0 or more
 * than out_capacity.  Throws like vko_compress: in particular when out is too small
 * (give it vko_max_compressed_size(src_size) bytes) or dict_size is outside 1 .. 2^30. */
VEKKO_API uint64_t vko_compress_mem(const unsigned char* src, uint64_t src_size,
                                    unsigned char* out, uint64_t out_capacity, uint64_t dict_size);

/* vko_compress_mem compressing up to thread_num clips at once (vko_compress's
 * threadNum; 0 and 1 compress on the calling thread).  The stream is the same bytes
 * whatever thread_num is. */
VEKKO_API uint64_t vko_compress_mem_threads(const unsigned char* src, uint64_t src_size,
                                            unsigned char* out, uint64_t out_capacity, uint64_t dict_size,
                                            uint64_t thread_num);

/* The output capacity that vko_compress_mem always needs for size input bytes. */
VEKKO_API uint64_t vko_max_compressed_size(uint64_t size);

#endif /* VKO_WRAPPER_H */

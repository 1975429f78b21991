/* One-call compression of a memory buffer, from C.
 *
 * The C face of the encoder (vko_enc.h, vko_wrapper.h): the same streams, byte for byte,
 * but no exception ever leaves it.  Every failure is a code, and vko_compress_error_text
 * names it.  Compiles as C99 and as C++.
 *
 *   uint64_t bound = vko_compress_bound(src_size);
 *   unsigned char* out = malloc(bound);
 *   int error;
 *   uint64_t n = vko_compress_buffer(src, src_size, out, bound, 1 << 20, 1, &error);
 *   if (n == 0) fprintf(stderr, "%s\n", vko_compress_error_text(error));
 *
 * Link libvekko_enc (vekko::enc, pkg-config vekko-enc), which brings the C++ runtime and
 * threads with it.
 */
#ifndef VKO_COMPRESS_H
#define VKO_COMPRESS_H

#include <stdint.h>

#include "vekko_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum vko_TCompressError {
    vko_COMPRESS_OK               = 0,
    vko_COMPRESS_BAD_PROPS        = 1, /* dict_size outside 1 .. 2^30, or a null buffer of non-zero size */
    vko_COMPRESS_OUTPUT_TOO_SMALL = 2, /* the stream does not fit out_capacity bytes */
    vko_COMPRESS_NO_MEMORY        = 3, /* the encoder's memory could not be allocated */
    vko_COMPRESS_INTERNAL         = 4  /* any other failure of the encoder (or a thread it starts) */
} vko_TCompressError;

/* Compresses src[0 .. src_size) into out[0 .. out_capacity) as one vekko stream whose
 * matches reach back at most dict_size bytes (1 .. 2^30), compressing up to thread_num
 * clips at once (0 and 1: all on the calling thread; the stream is the same whatever
 * thread_num is).  Returns the stream's length, with *error set to vko_COMPRESS_OK; or 0,
 * with *error set to a vko_TCompressError other than vko_COMPRESS_OK.  error may be null.
 * After a failure out holds no usable stream.  An out_capacity of vko_compress_bound(src_size)
 * always suffices. */
VEKKO_API uint64_t vko_compress_buffer(const unsigned char* src, uint64_t src_size, unsigned char* out,
                                       uint64_t out_capacity, uint64_t dict_size, uint64_t thread_num,
                                       int* error);

/* The longest stream vko_compress_buffer writes for src_size input bytes. */
VEKKO_API uint64_t vko_compress_bound(uint64_t src_size);

/* A short English text for a vko_TCompressError ("output too small", ...); a text saying the
 * code is unknown for any other value.  Never null; a static string. */
VEKKO_API const char* vko_compress_error_text(int error);

#ifdef __cplusplus
}
#endif

#endif /* VKO_COMPRESS_H */

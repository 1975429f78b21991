/* Compiled as C99 into test_compress_c: every public C header must compile as C, and the
 * C compression entry must be callable from C. */
#include "mirv_device_plugins.h"
#include "mirv_patch.h"
#include "mirv_plugins.h"
#include "vekko_version.h"
#include "vko_compress.h"
#include "vko_dec.h"
#include "vko_diff.h"

uint64_t compress_from_c(const unsigned char* src, uint64_t src_size, unsigned char* out, uint64_t out_capacity,
                         int* error);

uint64_t compress_from_c(const unsigned char* src, uint64_t src_size, unsigned char* out, uint64_t out_capacity,
                         int* error) {
    return vko_compress_buffer(src, src_size, out, out_capacity, 1u << 20, 2, error);
}

/* Small pieces every file of the patch library uses: overflow-safe arithmetic on numbers
 * read from a diff, the byte-wise add that turns old bytes into new ones, alignment of
 * records placed in caller memory.
 *
 * Names shared between the library's files carry the prefix mirvp_ (types mirvp_T...,
 * constants mirvp_k...); everything else is static to its file.  None of it is public.
 */
#ifndef MIRVP_PATCH_BASE_H
#define MIRVP_PATCH_BASE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "mirv_patch.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Keeps a function's frame apart from its caller's, where a device's stack depth depends on it. */
#if defined(__GNUC__)
#define MIRVP_NOINLINE __attribute__((noinline))
#else
#define MIRVP_NOINLINE
#endif

/* *sum = a + b; false when that wraps. */
static inline mirv_BOOL mirvp_add_u64(uint64_t a, uint64_t b, uint64_t* sum) {
    *sum = a + b;
    return *sum >= a;
}
/* True when [pos, pos + len) lies inside [0, size). */
static inline mirv_BOOL mirvp_range_in(uint64_t pos, uint64_t len, uint64_t size) {
    return pos <= size && len <= size - pos;
}

/* dst[i] += src[i] (mod 256) for i < n.  Where 64-bit words are native, eight bytes at a time
 * with the carries kept inside each byte; a small processor keeps the plain loop, which is
 * both shorter and no slower there. */
static inline void mirvp_add_bytes(unsigned char* dst, const unsigned char* src, size_t n) {
    size_t i = 0;
#if UINTPTR_MAX > 0xFFFFFFFFu
    const uint64_t high = 0x8080808080808080ull;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b, sum;
        memcpy(&a, dst + i, 8);
        memcpy(&b, src + i, 8);
        sum = ((a & ~high) + (b & ~high)) ^ ((a ^ b) & high);
        memcpy(dst + i, &sum, 8);
    }
#endif
    for (; i < n; ++i) dst[i] = (unsigned char)(dst[i] + src[i]);
}

/* First 8-aligned address at or after p (never past end; then end). */
static inline unsigned char* mirvp_align8(unsigned char* p, unsigned char* end) {
    size_t pad = (size_t)((8 - ((uintptr_t)p & 7)) & 7);
    if ((size_t)(end - p) < pad) return end;
    return p + pad;
}

#ifdef __cplusplus
}
#endif

#endif /* MIRVP_PATCH_BASE_H */

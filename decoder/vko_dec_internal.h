/* What the two builds of the decoders share.
 *
 * The decoders come in two builds: the fast one (vko_dec_fast.c) and the size one
 * (vko_dec_small.c, with VKO_DEC_SMALL).  Every build compiles both files, and the one
 * that is not its own compiles to nothing, so this header is included by exactly one
 * translation unit per build.  That is why it can define the two stream-decoder entry
 * points that read the header and open the record: they are the same in both builds.
 *
 * Also here: the type-bit reader both memory decoders and the fast stream decoder read
 * through (its record, its group read and its vlen read), and the stream decoder's
 * input-cache refill.
 *
 * A record is a type bit (1 literal, 0 match or control code), a vlen1 length, a repeat
 * bit after literals, then a distance byte with an optional vlen2 extension.  Type bits
 * come eight to a byte, and a type byte sits in the stream exactly where its first bit
 * is needed, so reading is strictly forward: the reader takes the next code byte as a
 * type byte only when it runs out of buffered bits.
 *
 * All arithmetic on lengths, distances and counts is unsigned 32-bit: a code too long
 * for 32 bits wraps, and the wrapped value meets the same checks as any other.  Buffers
 * are addressed by index against their size, never by forming a pointer that might lie
 * outside them.
 */
#ifndef VKO_DEC_INTERNAL_H
#define VKO_DEC_INTERNAL_H

#include <stddef.h>

#include "vko_dec.h"

#if defined(__GNUC__) || defined(__clang__)
#define VKO_ALWAYS_INLINE static __inline__ __attribute__((always_inline))
#else
#define VKO_ALWAYS_INLINE static inline
#endif

/* The reader's functions sit in the fast build's hot loops, so they go in line there;
 * the size build leaves them to the compiler, which keeps one copy of each. */
#ifdef VKO_DEC_SMALL
#define VKO_READER static
#else
#define VKO_READER VKO_ALWAYS_INLINE
#endif

/* An explicit distance above this one stores its length minus 3 instead of minus 2. */
#define VKO_NEAR_DIST_MAX ((vko_size_t)vko_kMinFarDictPos - 1)

/* ---------------------------------------------------------------- input cache */

/* Next compressed byte of the stream decoder, or 0 once the input has failed or run
 * dry.  A refill asks for as many bytes as the previous one delivered, so after a failed
 * or empty refill every further request asks for 0. */
static unsigned char vko_cache_read_byte(vko_TInputCache* cache) {
    vko_size_t begin = cache->cache_begin;
    if (begin == cache->cache_end) {
        vko_size_t got = begin;
        if (!cache->read_code(cache->input_stream, cache->cache_buf, &got)) got = 0;
        /* a source claiming more than it was asked for must not widen the cache */
        if (got > begin) got = begin;
        cache->cache_begin = 0;
        cache->cache_end = got;
        if (got == 0) return 0;
        begin = 0;
    }
    cache->cache_begin = begin + 1;
    return cache->cache_buf[begin];
}

/* The stream decoder's result for a control code that is neither a literal line nor a
 * clip end: v, the code's length value, is the stream end or a bad code.  cache_end is 0
 * once the input has failed or run dry, and an end code read then was made of stand-in
 * zero bytes: the stream was cut, so it is no success. */
VKO_ALWAYS_INLINE vko_TResult vko_stream_end_result(vko_size_t v, vko_size_t cache_end) {
    if (cache_end == 0) return vko_RESULT_INPUT_ERROR;
    return v == vko_kCtrlType_streamEnd ? vko_RESULT_STREAM_END : vko_RESULT_BAD_CTRL;
}

/* ---------------------------------------------------------------- type-bit reader */

/* The code bytes being read and the type bits buffered from the last type byte.  The
 * memory decoder reads the whole stream through it; the fast stream decoder reads its
 * input cache through it, the indices copied in for one call and back out at its end. */
typedef struct vko_TBitReader {
    const unsigned char* code;
    vko_size_t           code_cur;  /* index of the next unread code byte */
    vko_size_t           code_end;
    vko_size_t           bits;      /* buffered type bits, the next one in bit 0 */
    vko_size_t           count;     /* number of buffered type bits */
} vko_TBitReader;

/* The memory decoder's reader, at the first byte after the 4-byte header, which is never
 * read. */
VKO_ALWAYS_INLINE void vko_bits_start_after_header(vko_TBitReader* r, const unsigned char* code,
                                                   vko_size_t code_size) {
    r->code = code;
    r->code_cur = 4;
    r->code_end = code_size;
    r->bits = 0;
    r->count = 0;
}

/* Every read names where the code continues once code_end is reached: NULL for the
 * memory decoder, whose code ends there, or the stream decoder's input cache, refilled
 * then (and yielding zero bytes once the input has failed).  Callers pass a constant
 * NULL or their one cache, so each gets only its own path. */

/* Next code byte from a refill of the used-up cache. */
VKO_ALWAYS_INLINE vko_size_t vko_bits_refill_byte(vko_TBitReader* r, vko_TInputCache* cache) {
    vko_size_t b;
    cache->cache_begin = r->code_cur;
    b = vko_cache_read_byte(cache);
    r->code_cur = cache->cache_begin;
    r->code_end = cache->cache_end;
    return b;
}

/* Takes n (1 to 3) type bits into the low bits of the result; higher bits are junk.
 * With too few bits buffered and the memory decoder's code exhausted it yields 0 and
 * changes nothing. */
VKO_READER vko_size_t vko_bits_read(vko_TBitReader* r, vko_size_t n, vko_TInputCache* cache) {
    vko_size_t result = r->bits;
    vko_size_t b;
    if (r->count >= n) {
        r->bits >>= n;
        r->count -= n;
        return result;
    }
    if (r->code_cur < r->code_end) {
        b = r->code[r->code_cur++];
    } else {
        if (!cache) return 0;
        b = vko_bits_refill_byte(r, cache);
    }
    result |= b << r->count;
    r->bits = b >> (n - r->count);
    r->count += 8 - n;
    return result;
}

/* vlen code with k (1 or 2) data bits per group, read a group at a time, the first bit
 * of a group the lowest. */
VKO_READER vko_size_t vko_bits_read_vlen(vko_TBitReader* r, vko_size_t k, vko_TInputCache* cache) {
    const vko_size_t data_mask = ((vko_size_t)1 << k) - 1;
    vko_size_t v = 0;
    for (;;) {
        const vko_size_t group = vko_bits_read(r, k + 1, cache);
        v = (v << k) | (group & data_mask);
        if (!((group >> k) & 1)) return v;
        v++;
    }
}

/* ---------------------------------------------------------------- stream decoder entry */

vko_size_t vko_TStream_read_dict_size(void* input_stream, vko_TReadCode read_code) {
    unsigned char header[4];
    vko_size_t got = 4;
    if (!read_code(input_stream, header, &got) || got != 4) return 0;
    return (vko_size_t)header[0] | ((vko_size_t)header[1] << 8) | ((vko_size_t)header[2] << 16) |
           ((vko_size_t)header[3] << 24);
}

vko_TResult vko_TStream_open(vko_TStream* stream, void* input_stream, vko_TReadCode read_code,
                             unsigned char* buffer, vko_size_t dict_size, vko_size_t cache_size) {
    /* A failed open still leaves a record that answers every call with its code. */
    vko_size_t result = vko_RESULT_OK;
    if (cache_size == 0) result = vko_RESULT_NO_CACHE;
    if (dict_size == 0) result = vko_RESULT_NO_DICT;
    stream->final_result = result;
    stream->cache.cache_begin = cache_size;
    stream->cache.cache_end = cache_size;
    stream->cache.cache_buf = buffer + dict_size;
    stream->cache.input_stream = input_stream;
    stream->cache.read_code = read_code;
    stream->dict_cur = 0;
    stream->dict_size = dict_size;
    stream->dict_window = buffer;
    stream->dict_back = 0;
    stream->saved_dist = 1;
    stream->copy_len = 0;
    stream->literal_len = 0;
    stream->type_bits = 0;
    stream->type_count = 0;
    stream->after_literal = 0;
    stream->dict_filled = 0;
    return (vko_TResult)result;
}

#endif /* VKO_DEC_INTERNAL_H */

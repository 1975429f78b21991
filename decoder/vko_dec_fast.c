/* The fast build of the decoders (the default; vko_dec_small.c is the size build).
 *
 * Both decoders look at the coming type bits 64 at a time: a vlen code of up to 8 or 9
 * bits is one table lookup, a longer one is counted with a trailing-zero count, and a
 * run of literals within one type byte is a single 8-byte store.  Matches are copied 8
 * bytes at a time, overlapping ones by whole periods of their distance.  Every such
 * wide access is taken only where 8 bytes are known to be there; near the ends of the
 * buffers the decoders fall back to the group-by-group reader they share with the size
 * build, so both builds give the same result, size and bytes on every stream.
 *
 * The memory decoder keeps a fast path for records far from both ends of its buffers,
 * where no record but a long one needs its bounds checked: there a match record is read
 * from one 8-byte load, since its type bits, its distance byte and the vlen2 code after
 * it all lie in those bytes, and the reader's next state follows with shifts alone.
 * The stream decoder writes into the caller's output piece and copies the piece into
 * its window once per call; a match reaching back past the piece's start reads the
 * window.
 *
 * The reader of both decoders is vko_TBitReader; the stream decoder copies its cache
 * indices and type bits into one for the call, so that they can live in registers.
 */
#ifndef VKO_DEC_SMALL

#include "vko_dec_internal.h"

#include <string.h>

/* ---------------------------------------------------------------- machine helpers */

#if defined(__GNUC__) || defined(__clang__)
#define VKO_CTZ32(x) ((vko_size_t)__builtin_ctz(x))
#define VKO_CTZ64(x) ((vko_size_t)__builtin_ctzll(x))
#else
static vko_size_t VKO_CTZ64(uint64_t x) { /* x != 0 */
    vko_size_t n = 0;
    while (!(x & 1)) { x >>= 1; n++; }
    return n;
}
#define VKO_CTZ32(x) VKO_CTZ64(x)
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VKO_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define VKO_LIKELY(x) (x)
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
static uint64_t load_le64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
static void store_le64(unsigned char* p, uint64_t v) { memcpy(p, &v, 8); }
#else
static uint64_t load_le64(const unsigned char* p) {
    uint64_t v = 0;
    int i;
    for (i = 7; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}
static void store_le64(unsigned char* p, uint64_t v) {
    int i;
    for (i = 0; i < 8; i++, v >>= 8) p[i] = (unsigned char)v;
}
#endif

/* Writes the low n (0 to 8) bytes of v at p; the other bytes of p[0..8) are rewritten
 * with what they held, so nothing past the n bytes changes. */
static void store_low_bytes(unsigned char* p, uint64_t v, vko_size_t n) {
    /* two shifts of 4n bits: one of 8n would be undefined for n = 8 */
    const uint64_t mask = ~((~(uint64_t)0 << (4 * n)) << (4 * n));
    store_le64(p, (load_le64(p) & ~mask) | (v & mask));
}

/* ---------------------------------------------------------------- vlen codes */

/* Continuation bits of vlen1 (every second bit) and vlen2 (every third) codes. */
#define VKO_VLEN1_CONT 0xAAAAAAAAAAAAAAAAull
#define VKO_VLEN2_CONT 0x4924924924924924ull

/* Values of the vlen1 codes that end within 8 bits and of the vlen2 codes that end
 * within 9 bits, by those bits (first bit lowest). */
static const unsigned char vlen1_value[256] = {
    0,1,2,4,0,1,3,5,0,1,6,10,0,1,8,12,0,1,2,4,0,1,3,5,0,1,7,11,0,1,9,13,
    0,1,2,4,0,1,3,5,0,1,14,22,0,1,18,26,0,1,2,4,0,1,3,5,0,1,16,24,0,1,20,28,
    0,1,2,4,0,1,3,5,0,1,6,10,0,1,8,12,0,1,2,4,0,1,3,5,0,1,7,11,0,1,9,13,
    0,1,2,4,0,1,3,5,0,1,15,23,0,1,19,27,0,1,2,4,0,1,3,5,0,1,17,25,0,1,21,29,
    0,1,2,4,0,1,3,5,0,1,6,10,0,1,8,12,0,1,2,4,0,1,3,5,0,1,7,11,0,1,9,13,
    0,1,2,4,0,1,3,5,0,1,0,0,0,1,0,0,0,1,2,4,0,1,3,5,0,1,0,0,0,1,0,0,
    0,1,2,4,0,1,3,5,0,1,6,10,0,1,8,12,0,1,2,4,0,1,3,5,0,1,7,11,0,1,9,13,
    0,1,2,4,0,1,3,5,0,1,0,0,0,1,0,0,0,1,2,4,0,1,3,5,0,1,0,0,0,1,0,0,

};
static const unsigned char vlen2_value[512] = {
    0,1,2,3,4,8,12,16,0,1,2,3,5,9,13,17,0,1,2,3,6,10,14,18,0,1,2,3,7,11,15,19,
    0,1,2,3,20,36,52,68,0,1,2,3,24,40,56,72,0,1,2,3,28,44,60,76,0,1,2,3,32,48,64,80,
    0,1,2,3,4,8,12,16,0,1,2,3,5,9,13,17,0,1,2,3,6,10,14,18,0,1,2,3,7,11,15,19,
    0,1,2,3,21,37,53,69,0,1,2,3,25,41,57,73,0,1,2,3,29,45,61,77,0,1,2,3,33,49,65,81,
    0,1,2,3,4,8,12,16,0,1,2,3,5,9,13,17,0,1,2,3,6,10,14,18,0,1,2,3,7,11,15,19,
    0,1,2,3,22,38,54,70,0,1,2,3,26,42,58,74,0,1,2,3,30,46,62,78,0,1,2,3,34,50,66,82,
    0,1,2,3,4,8,12,16,0,1,2,3,5,9,13,17,0,1,2,3,6,10,14,18,0,1,2,3,7,11,15,19,
    0,1,2,3,23,39,55,71,0,1,2,3,27,43,59,75,0,1,2,3,31,47,63,79,0,1,2,3,35,51,67,83,
    0,1,2,3,4,8,12,16,0,1,2,3,5,9,13,17,0,1,2,3,6,10,14,18,0,1,2,3,7,11,15,19,
    0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,
    0,1,2,3,4,8,12,16,0,1,2,3,5,9,13,17,0,1,2,3,6,10,14,18,0,1,2,3,7,11,15,19,
    0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,
    0,1,2,3,4,8,12,16,0,1,2,3,5,9,13,17,0,1,2,3,6,10,14,18,0,1,2,3,7,11,15,19,
    0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,
    0,1,2,3,4,8,12,16,0,1,2,3,5,9,13,17,0,1,2,3,6,10,14,18,0,1,2,3,7,11,15,19,
    0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,0,1,2,3,0,0,0,0,

};

/* Value of a vlen code of `nbits` bits (at most 64, ending in a 0 continuation bit)
 * whose first bit is bit 0 of w. */
static vko_size_t vlen_from_bits(uint64_t w, vko_size_t k, vko_size_t nbits) {
    const vko_size_t data_mask = ((vko_size_t)1 << k) - 1;
    vko_size_t v = 0;
    for (;;) {
        v = (v << k) | ((vko_size_t)w & data_mask);
        nbits -= k + 1;
        if (!nbits) return v;
        w >>= k + 1;
        v++;
    }
}

/* ---------------------------------------------------------------- match copy */

/* Copies len bytes to dst from dst - dist, as if one at a time in increasing order, so
 * a distance below the length repeats the pattern.  room (>= len) is the number of bytes
 * from dst to the end of the buffer; bytes past dst + len end up unchanged. */
static void copy_match(unsigned char* dst, vko_size_t dist, vko_size_t len, vko_size_t room) {
    const unsigned char* src = dst - dist;
    vko_size_t i;
    if (dist >= 8) {
        if (len >= 8) {
            for (i = 0; len - i > 8; i += 8) store_le64(dst + i, load_le64(src + i));
            /* the last 8 bytes, overlapping the previous chunk with equal values */
            store_le64(dst + len - 8, load_le64(src + len - 8));
            return;
        }
        if (room >= 8) {
            store_low_bytes(dst, load_le64(src), len);
            return;
        }
    } else if (dist == 1) {
        memset(dst, src[0], len);
        return;
    } else if (len >= 16) {
        /* Once step - dist bytes exist, every byte equals the one step back, and step
         * is at least 8: whole chunks can be copied. */
        vko_size_t step = dist;
        while (step < 8) step += dist;
        for (i = 0; i < step - dist; i++) dst[i] = src[i];
        for (; len - i > 8; i += 8) store_le64(dst + i, load_le64(dst + i - step));
        store_le64(dst + len - 8, load_le64(dst + len - 8 - step));
        return;
    }
    for (i = 0; i < len; i++) dst[i] = src[i];
}

/* The same, with the memory decoder's most common case in line: text is mostly short
 * matches from well back, one 8-byte step. */
VKO_ALWAYS_INLINE void copy_match_inline_short(unsigned char* dst, vko_size_t dist, vko_size_t len,
                                               vko_size_t room) {
    if (VKO_LIKELY(dist >= 8 && len <= 8 && room >= 8)) {
        store_low_bytes(dst, load_le64(dst - dist), len);
    } else {
        copy_match(dst, dist, len, room);
    }
}

/* ---------------------------------------------------------------- type-bit reader
 *
 * The reader of vko_dec_internal.h with a 64-bit look at the coming type bits: the
 * buffered ones, then the next code bytes, which are type bytes until a plain byte is
 * taken.  Both decoders read through it; the memory decoder passes no cache. */

/* Drops the first n (at most 57) of the coming type bits, whose first 64 are w: the
 * type bytes they use up are passed, and the rest of the last one stays buffered.
 * n = 0 is allowed too while at most 7 bits are buffered, and changes nothing. */
VKO_ALWAYS_INLINE void skip_bits(vko_TBitReader* r, uint64_t w, vko_size_t n) {
    /* 0 to 7 bits stay: count - n when n <= count (n >= 1, count <= 8), else the rest
     * of the last type byte used */
    const vko_size_t left = (r->count - n) & 7;
    r->code_cur += (n + left - r->count) >> 3;
    r->count = left;
    r->bits = (vko_size_t)(w >> n) & (((vko_size_t)1 << left) - 1);
}

/* Length in bits of the vlen code at the start of w, or 64 when it is longer than 63
 * bits.  cont marks the continuation bits. */
VKO_ALWAYS_INLINE vko_size_t vlen_bit_count(uint64_t w, uint64_t cont) {
    return VKO_CTZ64((~w & cont) | ((uint64_t)1 << 63)) + 1;
}

/* Length in bits of the vlen1 length code that follows a match's type bit, bit 0 of w:
 * the code's continuation bits are bits 2, 4, 6, ... of w, and the position of the first
 * 0 one is its length (63 when none of them up to bit 62 is 0). */
VKO_ALWAYS_INLINE vko_size_t match_length_bit_count(uint64_t w) {
    return VKO_CTZ64((~w & (VKO_VLEN1_CONT >> 1 << 2)) | ((uint64_t)1 << 63));
}

/* The memory decoder's group-by-group vlen read, for the last bytes of its code and for
 * codes longer than 56 bits. */
static vko_size_t mem_read_vlen_by_groups(vko_TBitReader* r, vko_size_t k) {
    return vko_bits_read_vlen(r, k, NULL);
}

/* vlen code with k data bits per group (k = 1 or 2).  While 8 code bytes remain, the
 * code is found in one 64-bit look at the coming type bits: no code the reader takes
 * group by group can then run past the end, so both ways give the same value and state. */
VKO_ALWAYS_INLINE vko_size_t read_vlen(vko_TBitReader* r, vko_size_t k, vko_TInputCache* cache) {
    vko_size_t v;
    if (r->code_end - r->code_cur >= 8) {
        const uint64_t w = r->bits | (load_le64(r->code + r->code_cur) << r->count);
        const vko_size_t nbits = vlen_bit_count(w, k == 1 ? VKO_VLEN1_CONT : VKO_VLEN2_CONT);
        if (nbits <= (k == 1 ? 8 : 9)) {
            v = k == 1 ? vlen1_value[w & 0xFF] : vlen2_value[w & 0x1FF];
            skip_bits(r, w, nbits);
            return v;
        }
        if (nbits <= 56) {
            v = vlen_from_bits(w, k, nbits);
            skip_bits(r, w, nbits);
            return v;
        }
    }
    /* The stream decoder reads group by group in line: with a cache of under 8 bytes
     * that is its only way. */
    if (cache) return vko_bits_read_vlen(r, k, cache);
    {
        /* out of line and through a copy, so that the memory decoder's reader need not
         * live in memory */
        vko_TBitReader copy = *r;
        v = mem_read_vlen_by_groups(&copy, k);
        *r = copy;
        return v;
    }
}

/* After a match's type bit, which is still buffered: its vlen1 length and, after
 * literals, its repeat bit (set in *repeat).  The two are adjacent type bits, so while
 * 8 code bytes remain they come in one look. */
VKO_ALWAYS_INLINE vko_size_t read_match_length(vko_TBitReader* r, vko_size_t after_literal,
                                               vko_size_t* repeat, vko_TInputCache* cache) {
    vko_size_t v;
    r->bits >>= 1;
    r->count--;
    if (r->code_end - r->code_cur >= 8) {
        const uint64_t w = r->bits | (load_le64(r->code + r->code_cur) << r->count);
        const vko_size_t nbits = vlen_bit_count(w, VKO_VLEN1_CONT);
        if (nbits <= 56) {
            v = nbits <= 8 ? vlen1_value[w & 0xFF] : vlen_from_bits(w, 1, nbits);
            *repeat = after_literal & (vko_size_t)(w >> nbits);
            skip_bits(r, w, nbits + after_literal);
            return v;
        }
    }
    v = read_vlen(r, 1, cache);
    *repeat = after_literal && (vko_bits_read(r, 1, cache) & 1);
    return v;
}

/* The memory decoder's match record in one look, while 16 code bytes remain: w holds
 * the coming type bits (the buffered ones, then ahead, the next 8 code bytes taken as
 * type bytes), its bit 0 is the record's type bit (0), and the length code after it is
 * nbits (at most 8) long.  Type bit, length code and repeat bit use up t1 (at most 2) of
 * those bytes as type bytes; the distance byte is the next one, and the type bytes its
 * vlen2 code takes come after it, so they are all in ahead too.  This keeps the record
 * to one load of the code: the reader's next state follows from ahead with shifts alone.
 * Sets *v to the length code, plus 1 for an explicit distance above 2687, so that the
 * match has *v + 2 bytes, and *b to the distance byte (0: a control code of type *v;
 * 1 in the repeat form); returns the distance, saved_dist in the repeat form. */
VKO_ALWAYS_INLINE vko_size_t take_match_in_one_look(vko_TBitReader* r, uint64_t ahead, uint64_t w,
                                                    vko_size_t nbits, vko_size_t after_literal,
                                                    vko_size_t saved_dist, vko_size_t* v,
                                                    vko_size_t* b) {
    const vko_size_t n1 = nbits + 1 + after_literal;
    const vko_size_t left1 = (r->count - n1) & 7;
    const vko_size_t t1 = (n1 + left1 - r->count) >> 3;
    const vko_size_t bits1 = (vko_size_t)(w >> n1) & (((vko_size_t)1 << left1) - 1);
    vko_size_t byte, far, dist, nbits2;
    uint64_t w2;
    *v = vlen1_value[(w >> 1) & 0xFF];
    if (after_literal & (vko_size_t)(w >> (nbits + 1))) {
        r->code_cur += t1;
        r->count = left1;
        r->bits = bits1;
        *b = 1;
        return saved_dist;
    }
    byte = (vko_size_t)(ahead >> (8 * t1)) & 0xFF;
    *b = byte;
    far = byte >> 7;
    /* Near and far distances are mixed about evenly in text, so the vlen2 code is
     * looked up either way and used only for a far one (b >= 128 gives
     * (b & 127) + 128 = b). */
    w2 = bits1 | ((ahead >> (8 * t1 + 8)) << left1);
    nbits2 = vlen_bit_count(w2, VKO_VLEN2_CONT);
    if (far & (nbits2 > 9)) {
        r->code_cur += t1 + 1;
        r->count = left1;
        r->bits = bits1;
        dist = read_vlen(r, 2, NULL) * 128 + byte;
    } else {
        /* a near distance takes no vlen2 bits */
        const vko_size_t n2 = nbits2 & (0 - far);
        const vko_size_t left2 = (left1 - n2) & 7;
        r->code_cur += t1 + 1 + ((n2 + left2 - left1) >> 3);
        r->count = left2;
        r->bits = (vko_size_t)(w2 >> n2) & (((vko_size_t)1 << left2) - 1);
        dist = byte + (((vko_size_t)vlen2_value[w2 & 0x1FF] << 7) & (0 - far));
    }
    *v += dist > VKO_NEAR_DIST_MAX;
    return dist;
}

/* A run of run (at most 8) literals, each a buffered type bit and a code byte, copied
 * to out with one 8-byte load and store: 8 code bytes and 8 bytes at out must exist. */
VKO_ALWAYS_INLINE void take_literal_run(vko_TBitReader* r, unsigned char* out, vko_size_t run) {
    store_low_bytes(out, load_le64(r->code + r->code_cur), run);
    r->code_cur += run;
    r->bits >>= run;
    r->count -= run;
}

/* The stream decoder's next plain code byte. */
VKO_ALWAYS_INLINE vko_size_t stream_byte(vko_TBitReader* r, vko_TInputCache* cache) {
    if (r->code_cur < r->code_end) return r->code[r->code_cur++];
    return vko_bits_refill_byte(r, cache);
}

/* ---------------------------------------------------------------- memory decoder */

vko_TResult vko_decompress_mem(const unsigned char* code, vko_size_t code_size,
                               unsigned char* out_data, vko_size_t* data_size) {
    vko_TBitReader r;
    const vko_size_t out_end = *data_size;
    vko_size_t out_cur = 0;
    vko_size_t saved_dist = 1;
    vko_size_t after_literal = 0;

    /* The header is never read; a stream with nothing after it can only end in 20. */
    if (code_size <= 4) return vko_RESULT_INPUT_ERROR;
    vko_bits_start_after_header(&r, code, code_size);

    for (;;) {
        vko_size_t v, dist, len, repeat, room;
        /* Far from both ends, no record but a long one needs its checks. */
        if (VKO_LIKELY(r.code_end - r.code_cur >= 16 && out_end - out_cur >= 8)) {
            /* A match's type bit, length code and repeat bit in one look at the coming
             * type bits: the buffered ones, then the next code bytes, which are type
             * bytes until a plain byte is taken.  With none buffered, the next byte is
             * the record's type byte (ORed with what a clip end left). */
            const uint64_t ahead = load_le64(code + r.code_cur);
            const uint64_t w = r.bits | (ahead << r.count);
            vko_size_t nbits;
            if (w & 1) {
                /* a run of literals within the type byte: one code byte each */
                vko_size_t run;
                if (r.count == 0) {
                    r.bits = (vko_size_t)w & 0xFF;
                    r.code_cur++;
                    r.count = 8;
                }
                run = VKO_CTZ32(~r.bits);
                take_literal_run(&r, out_data + out_cur, run);
                out_cur += run;
                after_literal = 1;
                continue;
            }
            nbits = match_length_bit_count(w);
            if (VKO_LIKELY(nbits <= 8)) {
                vko_size_t b;
                dist = take_match_in_one_look(&r, ahead, w, nbits, after_literal, saved_dist, &v, &b);
                if (b == 0) goto control_code;
                goto copy_match;
            }
        }
        if (r.count == 0) {
            /* A type bit with the code exhausted reads as 0, and so do the vlen1 and
             * repeat bits after it; the distance byte then can't be had. */
            if (r.code_cur == r.code_end) return vko_RESULT_INPUT_ERROR;
            r.bits |= code[r.code_cur++];
            r.count = 8;
        }
        if (r.bits & 1) {
            /* a run of literals: one type bit and one code byte each */
            const vko_size_t run = VKO_CTZ32(~r.bits);
            const vko_size_t room = out_end - out_cur, avail = r.code_end - r.code_cur;
            if (run <= room && room >= 8 && avail >= 8) {
                take_literal_run(&r, out_data + out_cur, run);
                out_cur += run;
                after_literal = 1;
                continue;
            }
            r.bits >>= 1;
            r.count--;
            if (out_cur == out_end) return vko_RESULT_OUT_SIZE;
            if (r.code_cur == r.code_end) return vko_RESULT_INPUT_ERROR;
            out_data[out_cur++] = code[r.code_cur++];
            after_literal = 1;
            continue;
        }
        v = read_match_length(&r, after_literal, &repeat, NULL);
        if (repeat) {
            dist = saved_dist;
        } else {
            vko_size_t b;
            if (r.code_cur == r.code_end) return vko_RESULT_INPUT_ERROR;
            b = code[r.code_cur++];
            if (b >= 128) {
                dist = read_vlen(&r, 2, NULL) * 128 + (b & 127) + 128;
                if (dist > VKO_NEAR_DIST_MAX) v++;
            } else if (b != 0) {
                dist = b;
            } else {
            control_code:
                switch (v) {
                case vko_kCtrlType_literalLine:
                    len = read_vlen(&r, 2, NULL) + vko_kMinLiteralLineLen;
                    if (len > r.code_end - r.code_cur) return vko_RESULT_INPUT_ERROR;
                    if (len > out_end - out_cur) return vko_RESULT_OUT_SIZE;
                    if (len) memcpy(out_data + out_cur, code + r.code_cur, len);
                    out_cur += len;
                    r.code_cur += len;
                    after_literal = 1;
                    continue;
                case vko_kCtrlType_clipEnd:
                    /* The leftover bits are kept, ORed into the next read: that is the
                     * next record's type bit, so only bit 0 can still matter. */
                    r.bits &= 1;
                    r.count = 0;
                    saved_dist = 1;
                    after_literal = 0;
                    continue;
                case vko_kCtrlType_streamEnd:
                    *data_size = out_cur;
                    return vko_RESULT_STREAM_END;
                default:
                    return vko_RESULT_BAD_CTRL;
                }
            }
        }

    copy_match:
        /* Distance 0 only comes from a wrapped vlen2; it would copy a byte onto itself. */
        saved_dist = dist;
        if (dist - 1 >= out_cur) return vko_RESULT_BAD_DICT_POS;
        len = v + vko_kMinDictMatchLen;
        room = out_end - out_cur;
        if (len > room) return vko_RESULT_OUT_SIZE;
        copy_match_inline_short(out_data + out_cur, dist, len, room);
        out_cur += len;
        after_literal = 0;
    }
}

/* ---------------------------------------------------------------- stream decoder */

/* (a + b) modulo size, for a and b below size, without overflowing 32 bits. */
VKO_ALWAYS_INLINE vko_size_t ring_add(vko_size_t a, vko_size_t b, vko_size_t size) {
    return a >= size - b ? a - (size - b) : a + b;
}


/* Copies n (> 0) match bytes to out[out_cur ..) from dist bytes back.  Output of this
 * call is in out; what came before is in the window, which is brought up to date only
 * when the call ends, so it still holds every byte before this call's first one (its
 * oldest at dict_cur0). */
static void stream_copy_match(const vko_TStream* s, unsigned char* out, vko_size_t out_cur,
                               vko_size_t out_end, vko_size_t dict_cur0, vko_size_t dist,
                               vko_size_t n) {
    if (dist > out_cur) {
        const vko_size_t size = s->dict_size;
        const vko_size_t from_window = n < dist - out_cur ? n : dist - out_cur;
        const vko_size_t from = ring_add(dict_cur0, size - (dist - out_cur), size);
        const vko_size_t first = from_window < size - from ? from_window : size - from;
        memcpy(out + out_cur, s->dict_window + from, first);
        if (first < from_window) memcpy(out + out_cur + first, s->dict_window, from_window - first);
        out_cur += from_window;
        n -= from_window;
        if (!n) return;
    }
    copy_match(out + out_cur, dist, n, out_end - out_cur);
}

/* Bytes of the stream a match may reach back to once this call has produced out_cur:
 * all produced so far, but no more than the window holds. */
VKO_ALWAYS_INLINE vko_size_t stream_filled(const vko_TStream* s, vko_size_t out_cur) {
    return out_cur >= s->dict_size - s->dict_filled ? s->dict_size : s->dict_filled + out_cur;
}

/* Stores this call's n output bytes in the window, as if each had gone there when made. */
static void stream_update_window(vko_TStream* s, const unsigned char* out, vko_size_t n,
                                  vko_size_t dict_cur0) {
    const vko_size_t size = s->dict_size;
    vko_size_t at, first;
    if (!n) return;
    if (n > size) { /* older bytes would be overwritten within this call */
        at = ring_add(dict_cur0, (n - size) % size, size);
        out += n - size;
        n = size;
    } else {
        at = dict_cur0;
    }
    first = n < size - at ? n : size - at;
    memcpy(s->dict_window + at, out, first);
    if (first < n) memcpy(s->dict_window, out + first, n - first);
    s->dict_cur = ring_add(at, n % size, size);
}

vko_TResult vko_TStream_decompress_partial(vko_TStream* s, unsigned char* out_data,
                                           vko_size_t* data_size) {
    const vko_size_t out_end = *data_size;
    const vko_size_t dict_cur0 = s->dict_cur;
    vko_size_t out_cur = 0;
    vko_size_t after_literal = s->after_literal;
    vko_size_t saved_dist = s->saved_dist;
    vko_TResult result;
    vko_TInputCache* const cache = &s->cache;
    vko_TBitReader r;
    if (s->final_result != vko_RESULT_OK) {
        if (s->final_result == vko_RESULT_STREAM_END) *data_size = 0;
        return (vko_TResult)s->final_result;
    }
    r.code = s->cache.cache_buf;
    r.code_cur = s->cache.cache_begin;
    r.code_end = s->cache.cache_end;
    r.bits = s->type_bits;
    r.count = s->type_count;

    for (;;) {
        vko_size_t v, dist, len, repeat;

        if (s->copy_len) {
            const vko_size_t room = out_end - out_cur;
            const vko_size_t n = s->copy_len < room ? s->copy_len : room;
            if (n) {
                stream_copy_match(s, out_data, out_cur, out_end, dict_cur0, s->dict_size - s->dict_back, n);
                out_cur += n;
                s->copy_len -= n;
            }
            if (s->copy_len) goto output_full;
        }
        while (s->literal_len) {
            vko_size_t n = out_end - out_cur;
            if (!n) goto output_full;
            if (r.code_cur == r.code_end) { /* a refill per byte, as reading them one by one does */
                out_data[out_cur++] = (unsigned char)stream_byte(&r, cache);
                s->literal_len--;
                continue;
            }
            if (n > s->literal_len) n = s->literal_len;
            if (n > r.code_end - r.code_cur) n = r.code_end - r.code_cur;
            memcpy(out_data + out_cur, r.code + r.code_cur, n);
            out_cur += n;
            r.code_cur += n;
            s->literal_len -= n;
        }

        for (;;) {
            vko_size_t run, room, avail;
            if (r.count == 0) {
                r.bits |= stream_byte(&r, cache);
                r.count = 8;
            }
            if (!(r.bits & 1)) break;
            room = out_end - out_cur;
            if (!room) goto output_full; /* the literal's type bit stays buffered */
            avail = r.code_end - r.code_cur;
            if (!avail) {
                r.bits >>= 1;
                r.count--;
                out_data[out_cur++] = (unsigned char)stream_byte(&r, cache);
                after_literal = 1;
                continue;
            }
            run = VKO_CTZ32(~r.bits);
            if (run > room) run = room;
            if (run > avail) run = avail;
            if (room >= 8 && avail >= 8) {
                store_low_bytes(out_data + out_cur, load_le64(r.code + r.code_cur), run);
            } else {
                vko_size_t i;
                for (i = 0; i < run; i++) out_data[out_cur + i] = r.code[r.code_cur + i];
            }
            out_cur += run;
            r.code_cur += run;
            r.bits >>= run;
            r.count -= run;
            after_literal = 1;
        }
        v = read_match_length(&r, after_literal, &repeat, cache);
        after_literal = 0;
        if (repeat) {
            dist = saved_dist;
            len = v + vko_kMinDictMatchLen;
        } else {
            const vko_size_t b = stream_byte(&r, cache);
            if (b >= 128) {
                dist = read_vlen(&r, 2, cache) * 128 + (b & 127) + 128;
                len = v + (dist > VKO_NEAR_DIST_MAX ? 3 : 2);
            } else if (b != 0) {
                dist = b;
                len = v + vko_kMinDictMatchLen;
            } else {
                if (v == vko_kCtrlType_literalLine) {
                    after_literal = 1;
                    s->literal_len = read_vlen(&r, 2, cache) + vko_kMinLiteralLineLen;
                    continue;
                }
                saved_dist = 1;
                r.count = 0;
                if (v == vko_kCtrlType_clipEnd) {
                    /* The leftover bits are kept, ORed into the next read: that is the
                     * next record's type bit, so only bit 0 can still matter. */
                    r.bits &= 1;
                    continue;
                }
                result = vko_stream_end_result(v, r.code_end);
                goto done;
            }
        }
        saved_dist = dist;
        s->copy_len = len;
        /* Only bytes this stream produced may be copied: the window's older contents are
         * the caller's.  A wrapped distance of 0 stands for 2^32 or more. */
        if (dist - 1 >= stream_filled(s, out_cur)) {
            result = vko_RESULT_BAD_DICT_POS;
            goto done;
        }
        s->dict_back = s->dict_size - dist;
    }

output_full:
    if (r.code_end == 0) result = vko_RESULT_INPUT_ERROR;
    else result = out_end ? vko_RESULT_OK : vko_RESULT_OUT_SIZE;
done:
    if (result == vko_RESULT_STREAM_END) *data_size = out_cur;
    s->final_result = result;
    s->dict_filled = stream_filled(s, out_cur);
    s->cache.cache_begin = r.code_cur;
    s->cache.cache_end = r.code_end;
    s->type_bits = r.bits;
    s->type_count = r.count;
    s->after_literal = after_literal;
    s->saved_dist = saved_dist;
    stream_update_window(s, out_data, out_cur, dict_cur0);
    return result;
}

#endif /* !VKO_DEC_SMALL */

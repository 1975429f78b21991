/* vekko decoders.
 *
 * Both decoders read the same records: a type bit (1 literal, 0 match or control
 * code), a vlen1 length, a repeat bit after literals, then a distance byte with an
 * optional vlen2 extension.  Type bits come eight to a byte, and a type byte sits in
 * the stream exactly where its first bit is needed, so reading is strictly forward.
 *
 * All arithmetic on lengths, distances and counts is unsigned 32-bit: a code too long
 * for 32 bits wraps, and the wrapped value meets the same checks as any other.
 * Buffers are addressed by index against their size, never by forming a pointer that
 * might lie outside them.
 */
#include "vko_dec.h"

#include <string.h>

/* An explicit distance above this one stores its length minus 3 instead of minus 2. */
#define VKO_NEAR_DIST_MAX ((vko_size_t)vko_kMinFarDictPos - 1)

/* The memory decoder's type-bit reader, in both builds. */
typedef struct _vko_TMemBits {
    const unsigned char* code;
    vko_size_t           code_cur;  /* index of the next unread code byte */
    vko_size_t           code_end;
    vko_size_t           bits;      /* buffered type bits, the next one in bit 0 */
    vko_size_t           count;     /* number of buffered type bits */
} _vko_TMemBits;

#ifndef VKO_DEC_SMALL

/* ---------------------------------------------------------------- shared helpers */

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
#define VKO_INLINE static __inline__ __attribute__((always_inline))
#define VKO_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define VKO_INLINE static
#define VKO_LIKELY(x) (x)
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
static uint64_t _load_le64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
static void _store_le64(unsigned char* p, uint64_t v) { memcpy(p, &v, 8); }
#else
static uint64_t _load_le64(const unsigned char* p) {
    uint64_t v = 0;
    int i;
    for (i = 7; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}
static void _store_le64(unsigned char* p, uint64_t v) {
    int i;
    for (i = 0; i < 8; i++, v >>= 8) p[i] = (unsigned char)v;
}
#endif

/* Writes the low n (0 to 8) bytes of v at p; the other bytes of p[0..8) are rewritten
 * with what they held, so nothing past the n bytes changes. */
static void _store_low_bytes(unsigned char* p, uint64_t v, vko_size_t n) {
    /* two shifts of 4n bits: one of 8n would be undefined for n = 8 */
    const uint64_t mask = ~((~(uint64_t)0 << (4 * n)) << (4 * n));
    _store_le64(p, (_load_le64(p) & ~mask) | (v & mask));
}

/* Continuation bits of vlen1 (every second bit) and vlen2 (every third) codes. */
#define VKO_VLEN1_CONT 0xAAAAAAAAAAAAAAAAull
#define VKO_VLEN2_CONT 0x4924924924924924ull

/* Values of the vlen1 codes that end within 8 bits and of the vlen2 codes that end
 * within 9 bits, by those bits (first bit lowest). */
static const unsigned char _vlen1_value[256] = {
    0,1,2,4,0,1,3,5,0,1,6,10,0,1,8,12,0,1,2,4,0,1,3,5,0,1,7,11,0,1,9,13,
    0,1,2,4,0,1,3,5,0,1,14,22,0,1,18,26,0,1,2,4,0,1,3,5,0,1,16,24,0,1,20,28,
    0,1,2,4,0,1,3,5,0,1,6,10,0,1,8,12,0,1,2,4,0,1,3,5,0,1,7,11,0,1,9,13,
    0,1,2,4,0,1,3,5,0,1,15,23,0,1,19,27,0,1,2,4,0,1,3,5,0,1,17,25,0,1,21,29,
    0,1,2,4,0,1,3,5,0,1,6,10,0,1,8,12,0,1,2,4,0,1,3,5,0,1,7,11,0,1,9,13,
    0,1,2,4,0,1,3,5,0,1,0,0,0,1,0,0,0,1,2,4,0,1,3,5,0,1,0,0,0,1,0,0,
    0,1,2,4,0,1,3,5,0,1,6,10,0,1,8,12,0,1,2,4,0,1,3,5,0,1,7,11,0,1,9,13,
    0,1,2,4,0,1,3,5,0,1,0,0,0,1,0,0,0,1,2,4,0,1,3,5,0,1,0,0,0,1,0,0,

};
static const unsigned char _vlen2_value[512] = {
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
static vko_size_t _vlen_from_bits(uint64_t w, vko_size_t k, vko_size_t nbits) {
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

/* Copies len bytes to dst from dst - dist, as if one at a time in increasing order, so
 * a distance below the length repeats the pattern.  room (>= len) is the number of bytes
 * from dst to the end of the buffer; bytes past dst + len end up unchanged. */
static void _copy_match(unsigned char* dst, vko_size_t dist, vko_size_t len, vko_size_t room) {
    const unsigned char* src = dst - dist;
    vko_size_t i;
    if (dist >= 8) {
        if (len >= 8) {
            for (i = 0; len - i > 8; i += 8) _store_le64(dst + i, _load_le64(src + i));
            /* the last 8 bytes, overlapping the previous chunk with equal values */
            _store_le64(dst + len - 8, _load_le64(src + len - 8));
            return;
        }
        if (room >= 8) {
            _store_low_bytes(dst, _load_le64(src), len);
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
        for (; len - i > 8; i += 8) _store_le64(dst + i, _load_le64(dst + i - step));
        _store_le64(dst + len - 8, _load_le64(dst + len - 8 - step));
        return;
    }
    for (i = 0; i < len; i++) dst[i] = src[i];
}

/* ---------------------------------------------------------------- memory decoder */

/* Takes n (1 to 3) type bits into the low bits of the result; higher bits are junk.
 * With too few bits buffered and the code exhausted it yields 0 and changes nothing. */
VKO_INLINE vko_size_t _mem_read_lowbits(_vko_TMemBits* r, vko_size_t n) {
    vko_size_t result = r->bits;
    if (r->count >= n) {
        r->bits >>= n;
        r->count -= n;
        return result;
    }
    if (r->code_cur == r->code_end) return 0;
    {
        const vko_size_t b = r->code[r->code_cur++];
        result |= b << r->count;
        r->bits = b >> (n - r->count);
        r->count += 8 - n;
    }
    return result;
}

/* Drops the first n (at most 57) of the coming type bits, whose first 64 are w: the
 * type bytes they use up are passed, and the rest of the last one stays buffered.
 * n = 0 is allowed too while at most 7 bits are buffered, and changes nothing. */
VKO_INLINE void _mem_skip_bits(_vko_TMemBits* r, uint64_t w, vko_size_t n) {
    /* 0 to 7 bits stay: count - n when n <= count (n >= 1, count <= 8), else the rest
     * of the last type byte used */
    const vko_size_t left = (r->count - n) & 7;
    r->code_cur += (n + left - r->count) >> 3;
    r->count = left;
    r->bits = (vko_size_t)(w >> n) & (((vko_size_t)1 << left) - 1);
}

/* Length in bits of the vlen code at the start of w, or 64 when it is longer than 63
 * bits.  cont marks the continuation bits. */
VKO_INLINE vko_size_t _vlen_bit_count(uint64_t w, uint64_t cont) {
    return VKO_CTZ64((~w & cont) | ((uint64_t)1 << 63)) + 1;
}

/* vlen code with k data bits per group (k = 1 or 2).  While 8 code bytes remain, the
 * code is found in one 64-bit look at the coming type bits: no code the reader takes
 * bit by bit can then run past the end, so both ways give the same value and state. */
static vko_size_t _mem_read_vlen_by_groups(_vko_TMemBits* r, vko_size_t k) {
    const vko_size_t data_mask = ((vko_size_t)1 << k) - 1;
    vko_size_t v = 0;
    for (;;) {
        const vko_size_t group = _mem_read_lowbits(r, k + 1);
        v = (v << k) | (group & data_mask);
        if (!((group >> k) & 1)) return v;
        v++;
    }
}

VKO_INLINE vko_size_t _mem_read_vlen(_vko_TMemBits* r, vko_size_t k) {
    vko_size_t v;
    if (r->code_end - r->code_cur >= 8) {
        const uint64_t w = r->bits | (_load_le64(r->code + r->code_cur) << r->count);
        const vko_size_t nbits = _vlen_bit_count(w, k == 1 ? VKO_VLEN1_CONT : VKO_VLEN2_CONT);
        if (nbits <= (k == 1 ? 8 : 9)) {
            v = k == 1 ? _vlen1_value[w & 0xFF] : _vlen2_value[w & 0x1FF];
            _mem_skip_bits(r, w, nbits);
            return v;
        }
        if (nbits <= 56) {
            v = _vlen_from_bits(w, k, nbits);
            _mem_skip_bits(r, w, nbits);
            return v;
        }
    }
    {
        /* through a copy, so that the caller's reader need not live in memory */
        _vko_TMemBits copy = *r;
        v = _mem_read_vlen_by_groups(&copy, k);
        *r = copy;
        return v;
    }
}

vko_TResult vko_decompress_mem(const unsigned char* code, vko_size_t code_size,
                               unsigned char* out_data, vko_size_t* data_size) {
    _vko_TMemBits r;
    const vko_size_t out_end = *data_size;
    vko_size_t out_cur = 0;
    vko_size_t saved_dist = 1;
    vko_size_t after_literal = 0;

    /* The header is never read; a stream with nothing after it can only end in 20. */
    if (code_size <= 4) return vko_RESULT_INPUT_ERROR;
    r.code = code;
    r.code_cur = 4;
    r.code_end = code_size;
    r.bits = 0;
    r.count = 0;

    for (;;) {
        vko_size_t v, dist, len, repeat, room;
        /* Far from both ends, no record but a long one needs its checks. */
        if (VKO_LIKELY(r.code_end - r.code_cur >= 16 && out_end - out_cur >= 8)) {
            /* A match's type bit, length code and repeat bit in one look at the coming
             * type bits: the buffered ones, then the next code bytes, which are type
             * bytes until a plain byte is taken.  With none buffered, the next byte is
             * the record's type byte (ORed with what a clip end left). */
            const uint64_t w = r.bits | (_load_le64(code + r.code_cur) << r.count);
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
                _store_low_bytes(out_data + out_cur, _load_le64(code + r.code_cur), run);
                out_cur += run;
                r.code_cur += run;
                r.bits >>= run;
                r.count -= run;
                after_literal = 1;
                continue;
            }
            nbits = _vlen_bit_count(w >> 1, VKO_VLEN1_CONT);
            if (VKO_LIKELY(nbits <= 8)) {
                v = _vlen1_value[(w >> 1) & 0xFF];
                repeat = after_literal & (vko_size_t)(w >> (nbits + 1));
                _mem_skip_bits(&r, w, nbits + 1 + after_literal);
                if (repeat) {
                    dist = saved_dist;
                } else {
                    /* at most 2 bytes taken since the check: the distance byte and its
                     * vlen2 look are in the code */
                    const vko_size_t b = code[r.code_cur++];
                    const vko_size_t far = b >> 7;
                    /* Near and far distances are mixed about evenly in text, so the
                     * vlen2 code is looked up either way and used only for a far one
                     * (b >= 128 gives (b & 127) + 128 = b). */
                    const uint64_t w2 = r.bits | (_load_le64(code + r.code_cur) << r.count);
                    const vko_size_t nbits2 = _vlen_bit_count(w2, VKO_VLEN2_CONT);
                    if (far & (nbits2 > 9)) {
                        dist = _mem_read_vlen(&r, 2) * 128 + b;
                    } else {
                        dist = b + (((vko_size_t)_vlen2_value[w2 & 0x1FF] << 7) & (0 - far));
                        /* a near distance takes no bits; fewer than 8 are buffered */
                        _mem_skip_bits(&r, w2, nbits2 & (0 - far));
                    }
                    v += dist > VKO_NEAR_DIST_MAX;
                    if (b == 0) goto control_code;
                }
                saved_dist = dist;
                if (dist - 1 >= out_cur) return vko_RESULT_BAD_DICT_POS;
                len = v + vko_kMinDictMatchLen;
                room = out_end - out_cur;
                if (len > room) return vko_RESULT_OUT_SIZE;
                if (VKO_LIKELY(dist >= 8 && len <= 8)) {
                    unsigned char* dst = out_data + out_cur;
                    _store_low_bytes(dst, _load_le64(dst - dist), len);
                } else {
                    _copy_match(out_data + out_cur, dist, len, room);
                }
                out_cur += len;
                after_literal = 0;
                continue;
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
                _store_low_bytes(out_data + out_cur, _load_le64(code + r.code_cur), run);
                out_cur += run;
                r.code_cur += run;
                r.bits >>= run;
                r.count -= run;
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
        r.bits >>= 1;
        r.count--;

        /* the length code and the repeat bit are adjacent type bits: one look */
        if (r.code_end - r.code_cur >= 8) {
            const uint64_t w = r.bits | (_load_le64(code + r.code_cur) << r.count);
            const vko_size_t nbits = _vlen_bit_count(w, VKO_VLEN1_CONT);
            if (nbits <= 56) {
                v = nbits <= 8 ? _vlen1_value[w & 0xFF] : _vlen_from_bits(w, 1, nbits);
                repeat = after_literal & (vko_size_t)(w >> nbits);
                _mem_skip_bits(&r, w, nbits + after_literal);
                goto have_length;
            }
        }
        v = _mem_read_vlen(&r, 1);
        repeat = after_literal && (_mem_read_lowbits(&r, 1) & 1);
    have_length:
        if (repeat) {
            dist = saved_dist;
        } else {
            vko_size_t b;
            if (r.code_cur == r.code_end) return vko_RESULT_INPUT_ERROR;
            b = code[r.code_cur++];
            if (b >= 128) {
                dist = _mem_read_vlen(&r, 2) * 128 + (b & 127) + 128;
                if (dist > VKO_NEAR_DIST_MAX) v++;
            } else if (b != 0) {
                dist = b;
            } else {
            control_code:
                switch (v) {
                case vko_kCtrlType_literalLine:
                    len = _mem_read_vlen(&r, 2) + vko_kMinLiteralLineLen;
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

        /* Distance 0 only comes from a wrapped vlen2; it would copy a byte onto itself. */
        saved_dist = dist;
        if (dist - 1 >= out_cur) return vko_RESULT_BAD_DICT_POS;
        len = v + vko_kMinDictMatchLen;
        room = out_end - out_cur;
        if (len > room) return vko_RESULT_OUT_SIZE;
        /* Text is mostly short matches from well back: one 8-byte step, in line. */
        if (VKO_LIKELY(dist >= 8 && len <= 8 && room >= 8)) {
            unsigned char* dst = out_data + out_cur;
            _store_low_bytes(dst, _load_le64(dst - dist), len);
        } else {
            _copy_match(out_data + out_cur, dist, len, room);
        }
        out_cur += len;
        after_literal = 0;
    }
}

#else /* VKO_DEC_SMALL */

/* ---------------------------------------------------------------- size build
 *
 * The same decoders written for the least code: one type bit or vlen group at a time,
 * one byte at a time, no tables and no look-ahead.  Results, sizes and every byte
 * written are the same as the fast build's. */

/* Takes n (1 to 3) type bits into the low bits of the result; higher bits are junk.
 * With too few bits buffered and the code exhausted it yields 0 and changes nothing. */
static vko_size_t _mem_read_lowbits(_vko_TMemBits* r, vko_size_t n) {
    vko_size_t result = r->bits;
    vko_size_t b;
    if (r->count >= n) {
        r->bits >>= n;
        r->count -= n;
        return result;
    }
    if (r->code_cur == r->code_end) return 0;
    b = r->code[r->code_cur++];
    result |= b << r->count;
    r->bits = b >> (n - r->count);
    r->count += 8 - n;
    return result;
}

/* vlen code with k data bits per group, the first bit read the lowest of a group. */
static vko_size_t _mem_read_vlen(_vko_TMemBits* r, vko_size_t k) {
    vko_size_t v = 0;
    for (;;) {
        const vko_size_t group = _mem_read_lowbits(r, k + 1);
        v = (v << k) | (group & ((1u << k) - 1));
        if (!((group >> k) & 1)) return v;
        v++;
    }
}

vko_TResult vko_decompress_mem(const unsigned char* code, vko_size_t code_size,
                               unsigned char* out_data, vko_size_t* data_size) {
    const vko_size_t out_end = *data_size;
    vko_size_t out_cur = 0, saved_dist = 1, after_literal = 0;
    _vko_TMemBits r;
    if (code_size <= 4) return vko_RESULT_INPUT_ERROR;
    r.code = code;
    r.code_cur = 4;
    r.code_end = code_size;
    r.bits = 0;
    r.count = 0;
    for (;;) {
        vko_size_t v, dist, len;
        if (_mem_read_lowbits(&r, 1) & 1) {
            if (out_cur == out_end) return vko_RESULT_OUT_SIZE;
            if (r.code_cur == r.code_end) return vko_RESULT_INPUT_ERROR;
            out_data[out_cur++] = code[r.code_cur++];
            after_literal = 1;
            continue;
        }
        v = _mem_read_vlen(&r, 1);
        if (after_literal && (_mem_read_lowbits(&r, 1) & 1)) {
            dist = saved_dist;
        } else {
            vko_size_t b;
            if (r.code_cur == r.code_end) return vko_RESULT_INPUT_ERROR;
            b = code[r.code_cur++];
            if (b >= 128) {
                dist = _mem_read_vlen(&r, 2) * 128 + b;
                if (dist > VKO_NEAR_DIST_MAX) v++;
            } else if (b != 0) {
                dist = b;
            } else if (v == vko_kCtrlType_literalLine) {
                len = _mem_read_vlen(&r, 2) + vko_kMinLiteralLineLen;
                if (len > r.code_end - r.code_cur) return vko_RESULT_INPUT_ERROR;
                if (len > out_end - out_cur) return vko_RESULT_OUT_SIZE;
                while (len--) out_data[out_cur++] = code[r.code_cur++];
                after_literal = 1;
                continue;
            } else if (v == vko_kCtrlType_clipEnd) {
                r.count = 0;
                saved_dist = 1;
                after_literal = 0;
                continue;
            } else if (v == vko_kCtrlType_streamEnd) {
                *data_size = out_cur;
                return vko_RESULT_STREAM_END;
            } else {
                return vko_RESULT_BAD_CTRL;
            }
        }
        saved_dist = dist;
        /* also rejects a distance that wrapped to 0 */
        if (dist - 1 >= out_cur) return vko_RESULT_BAD_DICT_POS;
        len = v + vko_kMinDictMatchLen;
        if (len > out_end - out_cur) return vko_RESULT_OUT_SIZE;
        /* a length that wrapped to 0 copies nothing */
        for (; len; len--) {
            out_data[out_cur] = out_data[out_cur - dist];
            out_cur++;
        }
        after_literal = 0;
    }
}

#endif /* VKO_DEC_SMALL */

/* ---------------------------------------------------------------- stream decoder */

/* Next compressed byte, or 0 once the input has failed or run dry.  A refill asks for
 * as many bytes as the previous one delivered, so after a failed or empty refill every
 * further request asks for 0. */
static unsigned char _cache_read_1byte(vko_TInputCache* cache) {
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

#ifndef VKO_DEC_SMALL

/* The bit reader of one decompress_partial call: the cache indices and the type bits
 * live in locals, and go back into the record around refills and at the end. */
typedef struct _vko_TStreamBits {
    const unsigned char* buf;   /* the cache */
    vko_size_t           begin; /* the cache's cache_begin and cache_end */
    vko_size_t           end;
    vko_size_t           bits;  /* buffered type bits, the next one in bit 0 */
    vko_size_t           count;
    vko_TInputCache*     cache;
} _vko_TStreamBits;

VKO_INLINE vko_size_t _stream_byte(_vko_TStreamBits* r) {
    vko_size_t b;
    if (r->begin < r->end) return r->buf[r->begin++];
    r->cache->cache_begin = r->begin;
    b = _cache_read_1byte(r->cache);
    r->begin = r->cache->cache_begin;
    r->end = r->cache->cache_end;
    return b;
}

/* Takes g (1 to 3) type bits into the low bits of the result; higher bits are junk. */
VKO_INLINE vko_size_t _stream_read_lowbits(_vko_TStreamBits* r, vko_size_t g) {
    vko_size_t result = r->bits;
    if (r->count >= g) {
        r->bits >>= g;
        r->count -= g;
    } else {
        const vko_size_t b = _stream_byte(r);
        result |= b << r->count;
        r->bits = b >> (g - r->count);
        r->count += 8 - g;
    }
    return result;
}

/* Same as _mem_skip_bits, on the cache. */
VKO_INLINE void _stream_skip_bits(_vko_TStreamBits* r, uint64_t w, vko_size_t n) {
    /* 0 to 7 bits stay: count - n when n <= count (n >= 1, count <= 8), else the rest
     * of the last type byte used */
    const vko_size_t left = (r->count - n) & 7;
    r->begin += (n + left - r->count) >> 3;
    r->count = left;
    r->bits = (vko_size_t)(w >> n) & (((vko_size_t)1 << left) - 1);
}

/* vlen code with k data bits per group; one 64-bit look while 8 cached bytes remain. */
VKO_INLINE vko_size_t _stream_read_vlen(_vko_TStreamBits* r, vko_size_t k) {
    const vko_size_t data_mask = ((vko_size_t)1 << k) - 1;
    vko_size_t v = 0;
    if (r->end - r->begin >= 8) {
        const uint64_t w = r->bits | (_load_le64(r->buf + r->begin) << r->count);
        const vko_size_t nbits = _vlen_bit_count(w, k == 1 ? VKO_VLEN1_CONT : VKO_VLEN2_CONT);
        if (nbits <= (k == 1 ? 8 : 9)) {
            v = k == 1 ? _vlen1_value[w & 0xFF] : _vlen2_value[w & 0x1FF];
            _stream_skip_bits(r, w, nbits);
            return v;
        }
        if (nbits <= 56) {
            v = _vlen_from_bits(w, k, nbits);
            _stream_skip_bits(r, w, nbits);
            return v;
        }
    }
    for (;;) {
        const vko_size_t group = _stream_read_lowbits(r, k + 1);
        v = (v << k) | (group & data_mask);
        if (!((group >> k) & 1)) return v;
        v++;
    }
}

/* (a + b) modulo size, for a and b below size, without overflowing 32 bits. */
VKO_INLINE vko_size_t _ring_add(vko_size_t a, vko_size_t b, vko_size_t size) {
    return a >= size - b ? a - (size - b) : a + b;
}

/* Copies n (> 0) match bytes to out[out_cur ..) from dist bytes back.  Output of this
 * call is in out; what came before is in the window, which is brought up to date only
 * when the call ends, so it still holds every byte before this call's first one (its
 * oldest at dict_cur0). */
static void _stream_copy_match(const vko_TStream* s, unsigned char* out, vko_size_t out_cur,
                               vko_size_t out_end, vko_size_t dict_cur0, vko_size_t dist,
                               vko_size_t n) {
    if (dist > out_cur) {
        const vko_size_t size = s->dict_size;
        const vko_size_t from_window = n < dist - out_cur ? n : dist - out_cur;
        const vko_size_t from = _ring_add(dict_cur0, size - (dist - out_cur), size);
        const vko_size_t first = from_window < size - from ? from_window : size - from;
        memcpy(out + out_cur, s->dict_window + from, first);
        if (first < from_window) memcpy(out + out_cur + first, s->dict_window, from_window - first);
        out_cur += from_window;
        n -= from_window;
        if (!n) return;
    }
    _copy_match(out + out_cur, dist, n, out_end - out_cur);
}

/* Bytes of the stream a match may reach back to once this call has produced out_cur:
 * all produced so far, but no more than the window holds. */
VKO_INLINE vko_size_t _stream_filled(const vko_TStream* s, vko_size_t out_cur) {
    return out_cur >= s->dict_size - s->dict_filled ? s->dict_size : s->dict_filled + out_cur;
}

/* Stores this call's n output bytes in the window, as if each had gone there when made. */
static void _stream_update_window(vko_TStream* s, const unsigned char* out, vko_size_t n,
                                  vko_size_t dict_cur0) {
    const vko_size_t size = s->dict_size;
    vko_size_t at, first;
    if (!n) return;
    if (n > size) { /* older bytes would be overwritten within this call */
        at = _ring_add(dict_cur0, (n - size) % size, size);
        out += n - size;
        n = size;
    } else {
        at = dict_cur0;
    }
    first = n < size - at ? n : size - at;
    memcpy(s->dict_window + at, out, first);
    if (first < n) memcpy(s->dict_window, out + first, n - first);
    s->dict_cur = _ring_add(at, n % size, size);
}

#endif /* VKO_DEC_SMALL */

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

#ifndef VKO_DEC_SMALL

vko_TResult vko_TStream_decompress_partial(vko_TStream* s, unsigned char* out_data,
                                           vko_size_t* data_size) {
    const vko_size_t out_end = *data_size;
    const vko_size_t dict_cur0 = s->dict_cur;
    vko_size_t out_cur = 0;
    vko_size_t after_literal = s->after_literal;
    vko_size_t saved_dist = s->saved_dist;
    vko_TResult result;
    _vko_TStreamBits r;
    if (s->final_result != vko_RESULT_OK) {
        if (s->final_result == vko_RESULT_STREAM_END) *data_size = 0;
        return (vko_TResult)s->final_result;
    }
    r.buf = s->cache.cache_buf;
    r.begin = s->cache.cache_begin;
    r.end = s->cache.cache_end;
    r.bits = s->type_bits;
    r.count = s->type_count;
    r.cache = &s->cache;

    for (;;) {
        vko_size_t v, dist, len, repeat;

        if (s->copy_len) {
            const vko_size_t room = out_end - out_cur;
            const vko_size_t n = s->copy_len < room ? s->copy_len : room;
            if (n) {
                _stream_copy_match(s, out_data, out_cur, out_end, dict_cur0, s->dict_size - s->dict_back, n);
                out_cur += n;
                s->copy_len -= n;
            }
            if (s->copy_len) goto output_full;
        }
        while (s->literal_len) {
            vko_size_t n = out_end - out_cur;
            if (!n) goto output_full;
            if (r.begin == r.end) { /* a refill per byte, as reading them one by one does */
                out_data[out_cur++] = (unsigned char)_stream_byte(&r);
                s->literal_len--;
                continue;
            }
            if (n > s->literal_len) n = s->literal_len;
            if (n > r.end - r.begin) n = r.end - r.begin;
            memcpy(out_data + out_cur, r.buf + r.begin, n);
            out_cur += n;
            r.begin += n;
            s->literal_len -= n;
        }

        for (;;) {
            vko_size_t run, room, avail;
            if (r.count == 0) {
                r.bits |= _stream_byte(&r);
                r.count = 8;
            }
            if (!(r.bits & 1)) break;
            room = out_end - out_cur;
            if (!room) goto output_full; /* the literal's type bit stays buffered */
            avail = r.end - r.begin;
            if (!avail) {
                r.bits >>= 1;
                r.count--;
                out_data[out_cur++] = (unsigned char)_stream_byte(&r);
                after_literal = 1;
                continue;
            }
            run = VKO_CTZ32(~r.bits);
            if (run > room) run = room;
            if (run > avail) run = avail;
            if (room >= 8 && avail >= 8) {
                _store_low_bytes(out_data + out_cur, _load_le64(r.buf + r.begin), run);
            } else {
                vko_size_t i;
                for (i = 0; i < run; i++) out_data[out_cur + i] = r.buf[r.begin + i];
            }
            out_cur += run;
            r.begin += run;
            r.bits >>= run;
            r.count -= run;
            after_literal = 1;
        }
        r.bits >>= 1;
        r.count--;

        /* the length code and the repeat bit are adjacent type bits: one look */
        if (r.end - r.begin >= 8) {
            const uint64_t w = r.bits | (_load_le64(r.buf + r.begin) << r.count);
            const vko_size_t nbits = _vlen_bit_count(w, VKO_VLEN1_CONT);
            if (nbits <= 56) {
                v = nbits <= 8 ? _vlen1_value[w & 0xFF] : _vlen_from_bits(w, 1, nbits);
                repeat = after_literal & (vko_size_t)(w >> nbits);
                _stream_skip_bits(&r, w, nbits + after_literal);
                goto have_length;
            }
        }
        v = _stream_read_vlen(&r, 1);
        repeat = after_literal && (_stream_read_lowbits(&r, 1) & 1);
    have_length:
        after_literal = 0;
        if (repeat) {
            dist = saved_dist;
            len = v + vko_kMinDictMatchLen;
        } else {
            const vko_size_t b = _stream_byte(&r);
            if (b >= 128) {
                dist = _stream_read_vlen(&r, 2) * 128 + (b & 127) + 128;
                len = v + (dist > VKO_NEAR_DIST_MAX ? 3 : 2);
            } else if (b != 0) {
                dist = b;
                len = v + vko_kMinDictMatchLen;
            } else {
                if (v == vko_kCtrlType_literalLine) {
                    after_literal = 1;
                    s->literal_len = _stream_read_vlen(&r, 2) + vko_kMinLiteralLineLen;
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
                /* An end code read after the input failed or ran dry was made of
                 * stand-in zero bytes: the stream was cut, so do not report success. */
                if (r.end == 0) {
                    result = vko_RESULT_INPUT_ERROR;
                } else if (v == vko_kCtrlType_streamEnd) {
                    *data_size = out_cur;
                    result = vko_RESULT_STREAM_END;
                } else {
                    result = vko_RESULT_BAD_CTRL;
                }
                goto done;
            }
        }
        saved_dist = dist;
        s->copy_len = len;
        /* Only bytes this stream produced may be copied: the window's older contents are
         * the caller's.  A wrapped distance of 0 stands for 2^32 or more. */
        if (dist - 1 >= _stream_filled(s, out_cur)) {
            result = vko_RESULT_BAD_DICT_POS;
            goto done;
        }
        s->dict_back = s->dict_size - dist;
    }

output_full:
    if (r.end == 0) result = vko_RESULT_INPUT_ERROR;
    else result = out_end ? vko_RESULT_OK : vko_RESULT_OUT_SIZE;
done:
    s->final_result = result;
    s->dict_filled = _stream_filled(s, out_cur);
    s->cache.cache_begin = r.begin;
    s->cache.cache_end = r.end;
    s->type_bits = r.bits;
    s->type_count = r.count;
    s->after_literal = after_literal;
    s->saved_dist = saved_dist;
    _stream_update_window(s, out_data, out_cur, dict_cur0);
    return result;
}

#else /* VKO_DEC_SMALL */

/* The next type bit.  Taking a new type byte ORs it into what is buffered: after a clip
 * end that is the leftover bit 0, which so joins the next record's type bit. */
static vko_size_t _stream_read_bit(vko_TStream* s) {
    vko_size_t bit;
    if (s->type_count == 0) {
        s->type_bits |= _cache_read_1byte(&s->cache);
        s->type_count = 8;
    }
    bit = s->type_bits & 1;
    s->type_bits >>= 1;
    s->type_count--;
    return bit;
}

/* vlen code with k (1 or 2) data bits per group, the first bit read the lowest. */
static vko_size_t _stream_read_vlen(vko_TStream* s, vko_size_t k) {
    vko_size_t v = 0;
    for (;;) {
        v = (v << k) | _stream_read_bit(s);
        if (k == 2) v |= _stream_read_bit(s) << 1;
        if (!_stream_read_bit(s)) return v;
        v++;
    }
}

vko_TResult vko_TStream_decompress_partial(vko_TStream* s, unsigned char* out_data,
                                           vko_size_t* data_size) {
    vko_size_t room = *data_size; /* bytes the piece can still take */
    vko_size_t result = s->final_result;
    /* after a final result: the same again, and nothing produced */
    if (result != vko_RESULT_OK) goto done;
    for (;;) {
        vko_size_t v, dist;
        /* One output byte: from the window while a match is copied, else from the input
         * while a literal or a literal line is.  It goes to the window too, and counts
         * towards what later matches may reach. */
        if (s->copy_len | s->literal_len) {
            unsigned char b;
            const vko_size_t size = s->dict_size, cur = s->dict_cur, back = s->dict_back;
            if (room == 0) goto output_full;
            room--;
            if (s->copy_len) {
                s->copy_len--;
                /* (cur + back) modulo size, without overflowing */
                b = s->dict_window[cur >= size - back ? cur - (size - back) : cur + back];
            } else {
                s->literal_len--;
                b = _cache_read_1byte(&s->cache);
            }
            s->dict_window[cur] = b;
            s->dict_cur = cur + 1 == size ? 0 : cur + 1;
            if (s->dict_filled != size) s->dict_filled++;
            *out_data++ = b;
            continue;
        }
        if (_stream_read_bit(s)) {
            if (room == 0) {
                /* the literal's type bit goes back for the next call */
                s->type_bits = s->type_bits * 2 + 1;
                s->type_count++;
                goto output_full;
            }
            /* a literal is a line of one byte */
            s->literal_len = 1;
            s->after_literal = 1;
            continue;
        }
        v = _stream_read_vlen(s, 1);
        if (s->after_literal && (_stream_read_bit(s))) {
            dist = s->saved_dist;
        } else {
            dist = _cache_read_1byte(&s->cache);
            if (dist >= 128) {
                dist += _stream_read_vlen(s, 2) * 128;
                if (dist > VKO_NEAR_DIST_MAX) v++;
            } else if (dist == 0) {
                s->after_literal = 0;
                if (v == vko_kCtrlType_literalLine) {
                    s->after_literal = 1;
                    s->literal_len = _stream_read_vlen(s, 2) + vko_kMinLiteralLineLen;
                    continue;
                }
                s->saved_dist = 1;
                s->type_count = 0;
                /* only bit 0 of the leftover can matter: the next read is one type bit */
                s->type_bits &= 1;
                if (v == vko_kCtrlType_clipEnd) continue;
                /* an end code made of stand-in zero bytes is a cut stream */
                if (s->cache.cache_end == 0) {
                    result = vko_RESULT_INPUT_ERROR;
                } else if (v == vko_kCtrlType_streamEnd) {
                    result = vko_RESULT_STREAM_END;
                } else {
                    result = vko_RESULT_BAD_CTRL;
                }
                goto done;
            }
        }
        s->after_literal = 0;
        s->saved_dist = dist;
        s->copy_len = v + vko_kMinDictMatchLen;
        /* only bytes this stream produced; a wrapped distance of 0 is beyond any window */
        if (dist - 1 >= s->dict_filled) {
            result = vko_RESULT_BAD_DICT_POS;
            goto done;
        }
        s->dict_back = s->dict_size - dist;
    }

output_full:
    if (s->cache.cache_end == 0) result = vko_RESULT_INPUT_ERROR;
    else result = *data_size ? vko_RESULT_OK : vko_RESULT_OUT_SIZE;
done:
    if (result == vko_RESULT_STREAM_END) *data_size -= room;
    s->final_result = result;
    return (vko_TResult)result;
}

#endif /* VKO_DEC_SMALL */

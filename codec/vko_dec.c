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

/* ---------------------------------------------------------------- memory decoder */

typedef struct _vko_TMemBits {
    const unsigned char* code;
    vko_size_t           code_cur;  /* index of the next unread code byte */
    vko_size_t           code_end;
    vko_size_t           bits;      /* buffered type bits, the next one in bit 0 */
    vko_size_t           count;     /* number of buffered type bits */
} _vko_TMemBits;

/* Takes n (1 to 3) type bits into the low bits of the result; higher bits are junk.
 * With too few bits buffered and the code exhausted it yields 0 and changes nothing. */
static vko_size_t _mem_read_lowbits(_vko_TMemBits* r, vko_size_t n) {
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

/* vlen code with k data bits per group (k = 1 or 2). */
static vko_size_t _mem_read_vlen(_vko_TMemBits* r, vko_size_t k) {
    const vko_size_t data_mask = ((vko_size_t)1 << k) - 1;
    vko_size_t v = 0;
    for (;;) {
        const vko_size_t group = _mem_read_lowbits(r, k + 1);
        v = (v << k) | (group & data_mask);
        if (!((group >> k) & 1)) return v;
        v++;
    }
}

vko_TResult vko_decompress_mem(const unsigned char* code, vko_size_t code_size,
                               unsigned char* out_data, vko_size_t* data_size) {
    _vko_TMemBits r;
    const vko_size_t out_end = *data_size;
    vko_size_t out_cur = 0;
    vko_size_t saved_dist = 1;
    int after_literal = 0;

    /* The header is never read; a stream with nothing after it can only end in 20. */
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
                dist = _mem_read_vlen(&r, 2) * 128 + (b & 127) + 128;
                if (dist > VKO_NEAR_DIST_MAX) v++;
            } else if (b != 0) {
                dist = b;
            } else {
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
                    /* the leftover bits are kept: only bit 0 can still matter, ORed
                     * into the next type bit */
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
        if (dist > out_cur || dist == 0) return vko_RESULT_BAD_DICT_POS;
        len = v + vko_kMinDictMatchLen;
        if (len > out_end - out_cur) return vko_RESULT_OUT_SIZE;
        {
            vko_size_t i;
            for (i = 0; i < len; i++, out_cur++) out_data[out_cur] = out_data[out_cur - dist];
        }
        after_literal = 0;
    }
}

/* ---------------------------------------------------------------- stream decoder */

/* Next compressed byte, or 0 once the input has failed or run dry.  A refill asks for
 * as many bytes as the previous one delivered, so after a failed or empty refill every
 * further request asks for 0. */
static unsigned char _cache_read_1byte(vko_TInputCache* cache) {
    vko_size_t got;
    if (cache->cache_begin < cache->cache_end) return cache->cache_buf[cache->cache_begin++];
    got = cache->cache_end;
    if (!cache->read_code(cache->input_stream, cache->cache_buf, &got)) {
        cache->cache_begin = cache->cache_end = 0;
        return 0;
    }
    /* a source claiming more than it was asked for must not widen the cache */
    if (got > cache->cache_end) got = cache->cache_end;
    cache->cache_begin = 0;
    cache->cache_end = got;
    if (got == 0) return 0;
    cache->cache_begin = 1;
    return cache->cache_buf[0];
}

/* Takes g (1 to 3) type bits into the low bits of the result; higher bits are junk. */
static vko_size_t _stream_read_lowbits(vko_TStream* s, vko_size_t g) {
    vko_size_t result = s->type_bits;
    if (s->type_count >= g) {
        s->type_bits >>= g;
        s->type_count -= g;
    } else {
        const vko_size_t b = _cache_read_1byte(&s->cache);
        result |= b << s->type_count;
        s->type_bits = b >> (g - s->type_count);
        s->type_count += 8 - g;
    }
    return result;
}

static vko_size_t _stream_read_vlen(vko_TStream* s, vko_size_t k) {
    const vko_size_t data_mask = ((vko_size_t)1 << k) - 1;
    vko_size_t v = 0;
    for (;;) {
        const vko_size_t group = _stream_read_lowbits(s, k + 1);
        v = (v << k) | (group & data_mask);
        if (!((group >> k) & 1)) return v;
        v++;
    }
}

vko_size_t vko_TStream_read_dict_size(void* input_stream, vko_TReadCode read_code) {
    unsigned char header[4];
    vko_size_t got = 4;
    if (!read_code(input_stream, header, &got) || got != 4) return 0;
    return (vko_size_t)header[0] | ((vko_size_t)header[1] << 8) | ((vko_size_t)header[2] << 16) |
           ((vko_size_t)header[3] << 24);
}

vko_TResult vko_TStream_open(vko_TStream* stream, void* input_stream, vko_TReadCode read_code,
                             unsigned char* buffer, vko_size_t dict_size, vko_size_t cache_size) {
    if (dict_size == 0) return vko_RESULT_NO_DICT;
    if (cache_size == 0) return vko_RESULT_NO_CACHE;
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
    return vko_RESULT_OK;
}

vko_TResult vko_TStream_decompress_partial(vko_TStream* s, unsigned char* out_data,
                                           vko_size_t* data_size) {
    const vko_size_t out_end = *data_size;
    vko_size_t out_cur = 0;

    for (;;) {
        vko_size_t v, dist, len;

        while (s->copy_len) {
            vko_size_t from;
            unsigned char byte;
            if (out_cur == out_end) goto output_full;
            /* dict_cur - distance, modulo dict_size, without overflowing 32 bits */
            from = s->dict_size - s->dict_cur;
            from = s->dict_back >= from ? s->dict_back - from : s->dict_cur + s->dict_back;
            byte = s->dict_window[from];
            s->dict_window[s->dict_cur] = byte;
            if (++s->dict_cur == s->dict_size) s->dict_cur = 0;
            out_data[out_cur++] = byte;
            s->copy_len--;
        }
        while (s->literal_len) {
            unsigned char byte;
            if (out_cur == out_end) goto output_full;
            byte = _cache_read_1byte(&s->cache);
            s->dict_window[s->dict_cur] = byte;
            if (++s->dict_cur == s->dict_size) s->dict_cur = 0;
            out_data[out_cur++] = byte;
            s->literal_len--;
        }

        while (_stream_read_lowbits(s, 1) & 1) {
            unsigned char byte;
            if (out_cur == out_end) {
                /* the literal waits for the next call */
                s->type_bits = (s->type_bits << 1) | 1;
                s->type_count++;
                goto output_full;
            }
            byte = _cache_read_1byte(&s->cache);
            s->dict_window[s->dict_cur] = byte;
            if (++s->dict_cur == s->dict_size) s->dict_cur = 0;
            out_data[out_cur++] = byte;
            s->after_literal = 1;
        }

        v = _stream_read_vlen(s, 1);
        if (s->after_literal && (_stream_read_lowbits(s, 1) & 1)) {
            s->after_literal = 0;
            dist = s->saved_dist;
            len = v + vko_kMinDictMatchLen;
        } else {
            const vko_size_t b = _cache_read_1byte(&s->cache);
            s->after_literal = 0;
            if (b >= 128) {
                dist = _stream_read_vlen(s, 2) * 128 + (b & 127) + 128;
                len = v + (dist > VKO_NEAR_DIST_MAX ? 3 : 2);
            } else if (b != 0) {
                dist = b;
                len = v + vko_kMinDictMatchLen;
            } else {
                if (v == vko_kCtrlType_literalLine) {
                    s->after_literal = 1;
                    s->literal_len = _stream_read_vlen(s, 2) + vko_kMinLiteralLineLen;
                    continue;
                }
                s->saved_dist = 1;
                s->type_count = 0; /* the leftover bits are kept, see the memory decoder */
                if (v == vko_kCtrlType_clipEnd) continue;
                /* An end code read after the input failed or ran dry was made of
                 * stand-in zero bytes: the stream was cut, so do not report success. */
                if (s->cache.cache_end == 0) return vko_RESULT_INPUT_ERROR;
                if (v == vko_kCtrlType_streamEnd) {
                    *data_size = out_cur;
                    return vko_RESULT_STREAM_END;
                }
                return vko_RESULT_BAD_CTRL;
            }
        }
        s->saved_dist = dist;
        s->copy_len = len;
        /* a wrapped distance of 0 stands for 2^32 or more: beyond any window */
        if (dist > s->dict_size || dist == 0) return vko_RESULT_BAD_DICT_POS;
        s->dict_back = s->dict_size - dist;
    }

output_full:
    if (s->cache.cache_end == 0) return vko_RESULT_INPUT_ERROR;
    return out_end ? vko_RESULT_OK : vko_RESULT_OUT_SIZE;
}

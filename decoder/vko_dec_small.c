/* The size build of the decoders (VKO_DEC_SMALL; vko_dec_fast.c is the default build).
 *
 * For microcontrollers: the least code and stack, at the cost of speed.  Type bits are
 * taken one vlen group (or, in the stream decoder, one bit) at a time, bytes are copied
 * one at a time, and there are no tables and no look-ahead.  Results, sizes and every
 * byte written are the same as the fast build's.
 *
 * The memory decoder reads through the type-bit reader of vko_dec_internal.h, the one
 * the fast build falls back to near the ends of its buffers.  The stream decoder keeps
 * its type bits and cache indices in the caller's record and reads them there, one bit
 * at a time: a reader record copied in and out around each call would cost its own
 * stack and the code of the copies.  It produces one byte per turn of its loop, into
 * the output piece and the window both.
 */
#ifdef VKO_DEC_SMALL

/* At -Os GCC still copies blocks to thread jumps and merge paths: code and stack that a
 * decoder built for size does not want. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-thread-jumps", "no-tree-dominator-opts", "no-tree-tail-merge", "no-tree-ch", \
                     "no-ssa-phiopt", "no-move-loop-invariants")
#endif

#include "vko_dec_internal.h"

/* ---------------------------------------------------------------- memory decoder */

vko_TResult vko_decompress_mem(const unsigned char* code, vko_size_t code_size,
                               unsigned char* out_data, vko_size_t* data_size) {
    const vko_size_t out_end = *data_size;
    vko_size_t out_cur = 0, saved_dist = 1, after_literal = 0;
    vko_TBitReader r;
    if (code_size <= 4) return vko_RESULT_INPUT_ERROR;
    vko_bits_start_after_header(&r, code, code_size);
    for (;;) {
        vko_size_t v, dist, len;
        if (vko_bits_read(&r, 1, NULL) & 1) {
            if (out_cur == out_end) return vko_RESULT_OUT_SIZE;
            if (r.code_cur == r.code_end) return vko_RESULT_INPUT_ERROR;
            out_data[out_cur++] = code[r.code_cur++];
            after_literal = 1;
            continue;
        }
        v = vko_bits_read_vlen(&r, 1, NULL);
        if (after_literal && (vko_bits_read(&r, 1, NULL) & 1)) {
            dist = saved_dist;
        } else {
            vko_size_t b;
            if (r.code_cur == r.code_end) return vko_RESULT_INPUT_ERROR;
            b = code[r.code_cur++];
            if (b >= 128) {
                dist = vko_bits_read_vlen(&r, 2, NULL) * 128 + b;
                if (dist > VKO_NEAR_DIST_MAX) v++;
            } else if (b != 0) {
                dist = b;
            } else if (v == vko_kCtrlType_literalLine) {
                len = vko_bits_read_vlen(&r, 2, NULL) + vko_kMinLiteralLineLen;
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

/* ---------------------------------------------------------------- stream decoder */

/* The next type bit.  Taking a new type byte ORs it into what is buffered: after a clip
 * end that is the leftover bit 0, which so joins the next record's type bit. */
static vko_size_t stream_read_bit(vko_TStream* s) {
    vko_size_t bit;
    if (s->type_count == 0) {
        s->type_bits |= vko_cache_read_byte(&s->cache);
        s->type_count = 8;
    }
    bit = s->type_bits & 1;
    s->type_bits >>= 1;
    s->type_count--;
    return bit;
}

/* vlen code with k (1 or 2) data bits per group, the first bit read the lowest. */
static vko_size_t stream_read_vlen(vko_TStream* s, vko_size_t k) {
    vko_size_t v = 0;
    for (;;) {
        v = (v << k) | stream_read_bit(s);
        if (k == 2) v |= stream_read_bit(s) << 1;
        if (!stream_read_bit(s)) return v;
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
                b = vko_cache_read_byte(&s->cache);
            }
            s->dict_window[cur] = b;
            s->dict_cur = cur + 1 == size ? 0 : cur + 1;
            if (s->dict_filled != size) s->dict_filled++;
            *out_data++ = b;
            continue;
        }
        if (stream_read_bit(s)) {
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
        v = stream_read_vlen(s, 1);
        if (s->after_literal && (stream_read_bit(s))) {
            dist = s->saved_dist;
        } else {
            dist = vko_cache_read_byte(&s->cache);
            if (dist >= 128) {
                dist += stream_read_vlen(s, 2) * 128;
                if (dist > VKO_NEAR_DIST_MAX) v++;
            } else if (dist == 0) {
                s->after_literal = 0;
                if (v == vko_kCtrlType_literalLine) {
                    s->after_literal = 1;
                    s->literal_len = stream_read_vlen(s, 2) + vko_kMinLiteralLineLen;
                    continue;
                }
                s->saved_dist = 1;
                s->type_count = 0;
                /* only bit 0 of the leftover can matter: the next read is one type bit */
                s->type_bits &= 1;
                if (v == vko_kCtrlType_clipEnd) continue;
                result = vko_stream_end_result(v, s->cache.cache_end);
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

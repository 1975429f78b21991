/* The cached section reader, the output write cache and the run-length add decoder. */
#include <string.h>

#include "patch_reader.h"

/* ---- cached clip reader ---- */

void mirvp_clip_init(TStreamCacheClip* reader, const mirv_TStreamInput* source, uint64_t begin,
                     uint64_t end, unsigned char* cache, size_t cache_size) {
    reader->position = begin;
    reader->end_position = end;
    reader->source = source;
    reader->cache = cache;
    reader->cache_begin = cache_size;
    reader->cache_end = cache_size;
}

static mirv_BOOL clip_refill(TStreamCacheClip* reader) {
    size_t amount = reader->cache_begin;
    size_t cached = mirvp_clip_cached(reader);
    uint64_t left = reader->end_position - reader->position;
    if (left < amount) amount = (size_t)left;
    if (amount == 0) return 1;
    /* keep the unread bytes at the tail, just in front of where the new ones go */
    if (cached) memmove(reader->cache + reader->cache_begin - amount, reader->cache + reader->cache_begin, cached);
    if (!reader->source->read(reader->source, reader->position, reader->cache + reader->cache_end - amount,
                              reader->cache + reader->cache_end))
        return 0;
    reader->cache_begin -= amount;
    reader->position += amount;
    return 1;
}

const unsigned char* mirvp_clip_peek(TStreamCacheClip* reader, size_t n) {
    if (mirvp_clip_cached(reader) < n) {
        if (!clip_refill(reader)) return NULL;
        if (mirvp_clip_cached(reader) < n) return NULL;
    }
    return reader->cache + reader->cache_begin;
}

mirv_BOOL mirvp_clip_read_uint(TStreamCacheClip* reader, uint64_t* out_value, unsigned int k) {
    uint64_t left = mirvp_clip_left(reader);
    size_t n = left < mirvp_kMaxPackedUIntWindow ? (size_t)left : mirvp_kMaxPackedUIntWindow;
    const unsigned char* data = mirvp_clip_peek(reader, n);
    const unsigned char* cursor = data;
    if (!data || !mirv_unpackUIntWithTag(&cursor, data + n, out_value, k)) return 0;
    mirvp_clip_consume(reader, (size_t)(cursor - data));
    return 1;
}

mirv_BOOL mirvp_clip_read_signed_pos(TStreamCacheClip* reader, uint64_t* position) {
    const unsigned char* data = mirvp_clip_peek(reader, 1);
    uint64_t delta;
    int minus;
    if (!data) return 0;
    minus = data[0] >> 7;
    if (!mirvp_clip_read_uint(reader, &delta, 1)) return 0;
    /* Modulo 2^64, as the format defines the step; every user checks the position it
     * gets against the old data's size before reading there. */
    *position = minus ? *position - delta : *position + delta;
    return 1;
}

mirv_BOOL mirvp_clip_read_text(TStreamCacheClip* reader, unsigned char end_char, char* out_text,
                               size_t out_size) {
    uint64_t left = mirvp_clip_left(reader);
    size_t n = left < out_size ? (size_t)left : out_size;
    const unsigned char* data;
    const unsigned char* found;
    size_t len;
    if (n == 0) return 0;
    data = mirvp_clip_peek(reader, n);
    if (!data) return 0;
    found = (const unsigned char*)memchr(data, end_char, n);
    if (!found) return 0;
    len = (size_t)(found - data);
    /* a zero byte inside would cut the text short for every later reader of it */
    if (end_char != 0 && memchr(data, 0, len)) return 0;
    memcpy(out_text, data, len);
    out_text[len] = '\0';
    mirvp_clip_consume(reader, len + 1);
    return 1;
}

mirv_BOOL mirvp_clip_skip(TStreamCacheClip* reader, uint64_t length) {
    while (length) {
        size_t piece = length < reader->cache_end ? (size_t)length : reader->cache_end;
        if (piece == 0 || !mirvp_clip_peek(reader, piece)) return 0;
        mirvp_clip_consume(reader, piece);
        length -= piece;
    }
    return 1;
}

mirv_BOOL mirvp_clip_read_to(TStreamCacheClip* reader, unsigned char* dst, unsigned char* dst_end) {
    size_t want = (size_t)(dst_end - dst);
    size_t cached = mirvp_clip_cached(reader);
    size_t take = cached < want ? cached : want;
    if (take) {
        memcpy(dst, reader->cache + reader->cache_begin, take);
        reader->cache_begin += take;
        dst += take;
        want -= take;
    }
    if (want == 0) return 1;
    if (want >= (reader->cache_end >> 1)) {
        /* long rest: straight from the source, but never past this reader's own range */
        if (want > reader->end_position - reader->position) return 0;
        if (!reader->source->read(reader->source, reader->position, dst, dst_end)) return 0;
        reader->position += want;
        return 1;
    }
    if (!mirvp_clip_peek(reader, want)) return 0;
    memcpy(dst, reader->cache + reader->cache_begin, want);
    reader->cache_begin += want;
    return 1;
}

mirv_BOOL mirvp_clip_add_to(TStreamCacheClip* reader, unsigned char* dst, size_t length) {
    const unsigned char* data = mirvp_clip_peek(reader, length);
    if (!data) return 0;
    mirvp_add_bytes(dst, data, length);
    mirvp_clip_consume(reader, length);
    return 1;
}

/* ---- output write cache ---- */

void mirvp_out_init(TOutStreamCache* out, const mirv_TStreamOutput* dest, unsigned char* cache,
                    size_t cache_size) {
    out->write_pos = 0;
    out->dest = dest;
    out->cache = cache_size ? cache : NULL;
    out->cache_used = 0;
    out->cache_size = cache ? cache_size : 0;
}

mirv_BOOL mirvp_out_flush(TOutStreamCache* out) {
    if (out->cache_used) {
        if (!out->dest->write(out->dest, out->write_pos, out->cache, out->cache + out->cache_used)) return 0;
        out->write_pos += out->cache_used;
        out->cache_used = 0;
    }
    return 1;
}

mirv_BOOL mirvp_out_write(TOutStreamCache* out, const unsigned char* data, size_t length) {
    while (length) {
        size_t room, piece;
        if (out->cache_used == 0 && length >= out->cache_size) {
            if (!out->dest->write(out->dest, out->write_pos, data, data + length)) return 0;
            out->write_pos += length;
            return 1;
        }
        room = out->cache_size - out->cache_used;
        piece = length < room ? length : room;
        memcpy(out->cache + out->cache_used, data, piece);
        out->cache_used += piece;
        data += piece;
        length -= piece;
        if (out->cache_used == out->cache_size && !mirvp_out_flush(out)) return 0;
    }
    return 1;
}

mirv_BOOL mirvp_out_fill(TOutStreamCache* out, unsigned char value, uint64_t length) {
    if (!out->cache) return 0;
    while (length) {
        size_t room = out->cache_size - out->cache_used;
        size_t piece = length < room ? (size_t)length : room;
        memset(out->cache + out->cache_used, value, piece);
        out->cache_used += piece;
        length -= piece;
        if (out->cache_used == out->cache_size && !mirvp_out_flush(out)) return 0;
    }
    return 1;
}

mirv_BOOL mirvp_out_copy_stream(TOutStreamCache* out, const mirv_TStreamInput* source,
                                uint64_t source_pos, uint64_t length) {
    if (!out->cache) return 0;
    if (!mirvp_range_in(source_pos, length, source->size)) return 0;
    while (length) {
        size_t room = out->cache_size - out->cache_used;
        size_t piece = length < room ? (size_t)length : room;
        unsigned char* dst = out->cache + out->cache_used;
        if (!source->read(source, source_pos, dst, dst + piece)) return 0;
        out->cache_used += piece;
        source_pos += piece;
        length -= piece;
        if (out->cache_used == out->cache_size && !mirvp_out_flush(out)) return 0;
    }
    return 1;
}

mirv_BOOL mirvp_out_copy_clip(TOutStreamCache* out, TStreamCacheClip* reader, uint64_t length) {
    while (length) {
        size_t piece = length < reader->cache_end ? (size_t)length : reader->cache_end;
        const unsigned char* data = piece ? mirvp_clip_peek(reader, piece) : NULL;
        if (!data || !mirvp_out_write(out, data, piece)) return 0;
        mirvp_clip_consume(reader, piece);
        length -= piece;
    }
    return 1;
}

mirv_BOOL mirvp_out_copy_self(TOutStreamCache* out, uint64_t distance, uint64_t length) {
    if (!out->dest->read_back || distance == 0 || distance > mirvp_out_size(out)) return 0;
    while (length) {
        unsigned char byte;
        uint64_t from = mirvp_out_size(out) - distance;
        if (from >= out->write_pos) {
            byte = out->cache[from - out->write_pos];
        } else if (!out->dest->read_back(out->dest, from, &byte, &byte + 1)) {
            return 0;
        }
        if (!mirvp_out_write(out, &byte, 1)) return 0;
        --length;
    }
    return 1;
}

/* ---- run-length add decoder ---- */

void mirvp_rle_init(TBytesRle_load_stream* rle) {
    rle->copy_length = 0;
    rle->set_length = 0;
    rle->set_value = 0;
}

mirv_BOOL mirvp_rle_is_finished(const TBytesRle_load_stream* rle) {
    return rle->copy_length == 0 && rle->set_length == 0 && mirvp_clip_is_finished(&rle->ctrl) &&
           mirvp_clip_is_finished(&rle->data);
}

/* Applies the pending runs to up to *remaining bytes at *target; both move on. */
static mirv_BOOL rle_apply_pending(TBytesRle_load_stream* rle, size_t* remaining,
                                   unsigned char** target) {
    size_t left = *remaining;
    unsigned char* dst = *target;
    if (rle->set_length && left) {
        size_t m = rle->set_length < left ? (size_t)rle->set_length : left;
        if (dst) {
            if (rle->set_value) {
                size_t i;
                for (i = 0; i < m; ++i) dst[i] = (unsigned char)(dst[i] + rle->set_value);
            }
            dst += m;
        }
        rle->set_length -= m;
        left -= m;
    }
    while (rle->copy_length && left) {
        size_t piece = rle->copy_length < left ? (size_t)rle->copy_length : left;
        if (piece > rle->data.cache_end) piece = rle->data.cache_end;
        if (piece == 0) return 0;
        if (dst) {
            if (!mirvp_clip_add_to(&rle->data, dst, piece)) return 0;
            dst += piece;
        } else {
            if (!mirvp_clip_peek(&rle->data, piece)) return 0;
            mirvp_clip_consume(&rle->data, piece);
        }
        rle->copy_length -= piece;
        left -= piece;
    }
    *remaining = left;
    *target = dst;
    return 1;
}

mirv_BOOL mirvp_rle_add(TBytesRle_load_stream* rle, unsigned char* target, size_t length) {
    for (;;) {
        const unsigned char* head;
        uint64_t run;
        unsigned int type;
        if (!rle_apply_pending(rle, &length, &target)) return 0;
        if (length == 0) return 1;
        if (mirvp_clip_is_finished(&rle->ctrl)) return 0;
        head = mirvp_clip_peek(&rle->ctrl, 1);
        if (!head) return 0;
        type = head[0] >> 6;
        if (!mirvp_clip_read_uint(&rle->ctrl, &run, 2)) return 0;
        if (!mirvp_add_u64(run, 1, &run)) return 0;
        switch (type) {
        case 2: {
            const unsigned char* value = mirvp_clip_peek(&rle->data, 1);
            if (!value) return 0;
            rle->set_value = value[0];
            mirvp_clip_consume(&rle->data, 1);
            rle->set_length = run;
        } break;
        case 3: rle->copy_length = run; break;
        default:
            rle->set_length = run;
            rle->set_value = type == 0 ? 0 : 255;
            break;
        }
    }
}

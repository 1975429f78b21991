/* The readers and the writer the patches are built on: the cached clip reader that reads a
 * range of a stream front to back, the output write cache, and the run-length add decoder of
 * serialized and compressed diffs.
 *
 * Every function returns false on any failure; a record that failed is not used again
 * (callers give up the whole patch).  Nothing allocates.
 */
#ifndef MIRVP_PATCH_READER_H
#define MIRVP_PATCH_READER_H

#include "patch_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Packed uints are read through a window of at most this many cached bytes. */
#define mirvp_kMaxPackedUIntWindow 11

/* ---- cached clip reader ----
 * Reads [position, end_position) of source front to back.  The cached bytes sit at the
 * tail of the buffer: cache[cache_begin .. cache_end). */
typedef struct TStreamCacheClip {
    uint64_t                 position;     /* next source position not yet cached */
    uint64_t                 end_position; /* end of what this reader may read */
    const mirv_TStreamInput* source;
    unsigned char*           cache;
    size_t                   cache_begin;
    size_t                   cache_end;    /* the buffer's size */
} TStreamCacheClip;

void mirvp_clip_init(TStreamCacheClip* reader, const mirv_TStreamInput* source, uint64_t begin, uint64_t end,
                     unsigned char* cache, size_t cache_size);
static inline size_t mirvp_clip_cached(const TStreamCacheClip* reader) {
    return reader->cache_end - reader->cache_begin;
}
/* Bytes still to be read through this reader. */
static inline uint64_t mirvp_clip_left(const TStreamCacheClip* reader) {
    return (uint64_t)mirvp_clip_cached(reader) + (reader->end_position - reader->position);
}
static inline mirv_BOOL mirvp_clip_is_finished(const TStreamCacheClip* reader) {
    return mirvp_clip_left(reader) == 0;
}
/* Where the reader's caller stands in the source stream. */
static inline uint64_t mirvp_clip_source_pos(const TStreamCacheClip* reader) {
    return reader->position - mirvp_clip_cached(reader);
}
/* The next n cached bytes (n at most the cache size), refilling once; null when the range
 * can't hold n more bytes or the source read fails.  Nothing is consumed. */
const unsigned char* mirvp_clip_peek(TStreamCacheClip* reader, size_t n);
/* Consume n bytes that mirvp_clip_peek just returned. */
static inline void mirvp_clip_consume(TStreamCacheClip* reader, size_t n) { reader->cache_begin += n; }

mirv_BOOL mirvp_clip_read_uint(TStreamCacheClip* reader, uint64_t* out_value, unsigned int k);
/* *position += or -= the next signed (k = 1) number, modulo 2^64. */
mirv_BOOL mirvp_clip_read_signed_pos(TStreamCacheClip* reader, uint64_t* position);
/* Text up to end_char, zero-terminated in out_text; at most out_size - 1 characters.  A zero
 * byte before end_char is bad data. */
mirv_BOOL mirvp_clip_read_text(TStreamCacheClip* reader, unsigned char end_char, char* out_text, size_t out_size);
mirv_BOOL mirvp_clip_skip(TStreamCacheClip* reader, uint64_t length);
mirv_BOOL mirvp_clip_read_to(TStreamCacheClip* reader, unsigned char* dst, unsigned char* dst_end);
/* Adds the next length bytes onto dst (modulo 256); length at most the cache size. */
mirv_BOOL mirvp_clip_add_to(TStreamCacheClip* reader, unsigned char* dst, size_t length);

/* ---- output write cache ---- */
typedef struct TOutStreamCache {
    uint64_t                  write_pos; /* bytes already handed to dest */
    const mirv_TStreamOutput* dest;
    unsigned char*            cache;     /* null: no cache */
    size_t                    cache_used;
    size_t                    cache_size;
} TOutStreamCache;

void mirvp_out_init(TOutStreamCache* out, const mirv_TStreamOutput* dest, unsigned char* cache, size_t cache_size);
/* Bytes written so far (handed to dest plus cached). */
static inline uint64_t mirvp_out_size(const TOutStreamCache* out) { return out->write_pos + out->cache_used; }
mirv_BOOL mirvp_out_flush(TOutStreamCache* out);
mirv_BOOL mirvp_out_write(TOutStreamCache* out, const unsigned char* data, size_t length);
mirv_BOOL mirvp_out_fill(TOutStreamCache* out, unsigned char value, uint64_t length);
mirv_BOOL mirvp_out_copy_stream(TOutStreamCache* out, const mirv_TStreamInput* source, uint64_t source_pos,
                                uint64_t length);
mirv_BOOL mirvp_out_copy_clip(TOutStreamCache* out, TStreamCacheClip* reader, uint64_t length);
mirv_BOOL mirvp_out_copy_self(TOutStreamCache* out, uint64_t distance, uint64_t length);

/* ---- run-length add decoder ---- */
typedef struct TBytesRle_load_stream {
    uint64_t         copy_length; /* literal bytes still to take from data */
    uint64_t         set_length;  /* bytes of the pending one-value run */
    unsigned char    set_value;
    TStreamCacheClip ctrl;
    TStreamCacheClip data;
} TBytesRle_load_stream;

/* Clears the pending runs; ctrl and data are set up by the caller. */
void mirvp_rle_init(TBytesRle_load_stream* rle);
/* Adds the next length run bytes onto target, or skips them when target is null. */
mirv_BOOL mirvp_rle_add(TBytesRle_load_stream* rle, unsigned char* target, size_t length);
/* No pending run and both readers finished. */
mirv_BOOL mirvp_rle_is_finished(const TBytesRle_load_stream* rle);

#ifdef __cplusplus
}
#endif

#endif /* MIRVP_PATCH_READER_H */

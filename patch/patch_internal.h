/* Internals of the patch library shared between its files: the cached section reader,
 * the output write cache, the run-length add decoder, the checksum pass-through streams,
 * the diff head records and the cover-list openers over caller memory.
 *
 * Every helper returns false on any failure; a record that failed is not used again
 * (callers give up the whole patch).  Nothing allocates.
 */
#ifndef MIRV_PATCH_INTERNAL_H
#define MIRV_PATCH_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "mirv_patch.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Packed uints are read through a window of at most this many cached bytes. */
#define _kMaxPackedUIntWindow 11
/* Head readers work through a cache of this size. */
#define _kHeadCacheSize 4096
/* Slack allowed between step memory sizes and the sizes they are checked against. */
#define _kStepMemSlack ((uint64_t)4 * 1024 * 1024)

/* Keeps a function's frame apart from its caller's, where a device's stack depth depends on it. */
#if defined(__GNUC__)
#define _patch_noinline __attribute__((noinline))
#else
#define _patch_noinline
#endif

/* ---- overflow-safe arithmetic on numbers from a diff ---- */

/* *sum = a + b; false when that wraps. */
static inline mirv_BOOL _add_u64(uint64_t a, uint64_t b, uint64_t* sum) {
    *sum = a + b;
    return *sum >= a;
}
/* True when [pos, pos + len) lies inside [0, size). */
static inline mirv_BOOL _range_in(uint64_t pos, uint64_t len, uint64_t size) {
    return pos <= size && len <= size - pos;
}

/* dst[i] += src[i] (mod 256) for i < n; eight bytes at a time, carries kept inside each byte. */
static inline void _add_bytes(unsigned char* dst, const unsigned char* src, size_t n) {
    const uint64_t high = 0x8080808080808080ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b, sum;
        memcpy(&a, dst + i, 8);
        memcpy(&b, src + i, 8);
        sum = ((a & ~high) + (b & ~high)) ^ ((a ^ b) & high);
        memcpy(dst + i, &sum, 8);
    }
    for (; i < n; ++i) dst[i] = (unsigned char)(dst[i] + src[i]);
}

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

void _TStreamCacheClip_init(TStreamCacheClip* reader, const mirv_TStreamInput* source, uint64_t begin,
                            uint64_t end, unsigned char* cache, size_t cache_size);
static inline size_t _TStreamCacheClip_cachedSize(const TStreamCacheClip* reader) {
    return reader->cache_end - reader->cache_begin;
}
/* Bytes still to be read through this reader. */
static inline uint64_t _TStreamCacheClip_leaveSize(const TStreamCacheClip* reader) {
    return (uint64_t)_TStreamCacheClip_cachedSize(reader) + (reader->end_position - reader->position);
}
static inline mirv_BOOL _TStreamCacheClip_isFinish(const TStreamCacheClip* reader) {
    return _TStreamCacheClip_leaveSize(reader) == 0;
}
/* Where the reader's caller stands in the source stream. */
static inline uint64_t _TStreamCacheClip_readPosOfSrcStream(const TStreamCacheClip* reader) {
    return reader->position - _TStreamCacheClip_cachedSize(reader);
}
/* The next n cached bytes (n at most the cache size), refilling once; null when the range
 * can't hold n more bytes or the source read fails.  Nothing is consumed. */
const unsigned char* _TStreamCacheClip_accessData(TStreamCacheClip* reader, size_t n);
/* Consume n bytes that _TStreamCacheClip_accessData just returned. */
static inline void _TStreamCacheClip_skipCached(TStreamCacheClip* reader, size_t n) {
    reader->cache_begin += n;
}

mirv_BOOL _TStreamCacheClip_updateCache(TStreamCacheClip* reader);
mirv_BOOL _TStreamCacheClip_unpackUIntWithTag(TStreamCacheClip* reader, uint64_t* out_value, unsigned int k);
/* Text up to end_char, zero-terminated in out_text; at most out_size - 1 characters. */
mirv_BOOL _TStreamCacheClip_readStr_end(TStreamCacheClip* reader, unsigned char end_char, char* out_text,
                                        size_t out_size);
mirv_BOOL _TStreamCacheClip_skipData(TStreamCacheClip* reader, uint64_t length);
mirv_BOOL _TStreamCacheClip_readDataTo(TStreamCacheClip* reader, unsigned char* dst, unsigned char* dst_end);
/* Adds the next length bytes onto dst (modulo 256); length at most the cache size. */
mirv_BOOL _TStreamCacheClip_addDataTo(TStreamCacheClip* reader, unsigned char* dst, size_t length);
/* *position += or -= the next signed (k = 1) number, modulo 2^64. */
mirv_BOOL _read_sign_pos_byLastPos(TStreamCacheClip* reader, uint64_t* position);

/* ---- diff sections ---- */

/* The decoded view of a compressed diff section: the same record as TUncompresser. */
typedef TUncompresser TDecompressInputStream;

/* Opens the section that starts at *cursor of diff: compressed_size bytes when that is
 * non-zero (decoded through plugin into decoded_size bytes, by decoder), else
 * decoded_size stored bytes.  With a reader, the reader then reads the decoded bytes
 * through cache.  A decoder that already holds a handle is reopened.  *cursor moves to the
 * section's end.  A null reader only checks and skips the section. */
mirv_BOOL getStreamClip(TStreamCacheClip* reader, TDecompressInputStream* decoder, uint64_t decoded_size,
                        uint64_t compressed_size, const mirv_TStreamInput* diff, uint64_t* cursor,
                        mirv_TDecompress* plugin, unsigned char* cache, size_t cache_size);
/* Makes decoder an empty record holding no handle. */
void _TDecompressInputStream_init(TDecompressInputStream* decoder);

/* ---- output write cache ---- */
typedef struct TOutStreamCache {
    uint64_t                  write_pos; /* bytes already handed to dest */
    const mirv_TStreamOutput* dest;
    unsigned char*            cache;     /* null: no cache */
    size_t                    cache_used;
    size_t                    cache_size;
} TOutStreamCache;

void _TOutStreamCache_init(TOutStreamCache* out, const mirv_TStreamOutput* dest, unsigned char* cache,
                           size_t cache_size);
/* Bytes written so far (handed to dest plus cached). */
static inline uint64_t _TOutStreamCache_outSize(const TOutStreamCache* out) {
    return out->write_pos + out->cache_used;
}
mirv_BOOL _TOutStreamCache_flush(TOutStreamCache* out);
mirv_BOOL _TOutStreamCache_write(TOutStreamCache* out, const unsigned char* data, size_t length);
mirv_BOOL _TOutStreamCache_fill(TOutStreamCache* out, unsigned char value, uint64_t length);
mirv_BOOL _TOutStreamCache_copyFromStream(TOutStreamCache* out, const mirv_TStreamInput* source,
                                          uint64_t source_pos, uint64_t length);
mirv_BOOL _TOutStreamCache_copyFromClip(TOutStreamCache* out, TStreamCacheClip* reader, uint64_t length);
mirv_BOOL _TOutStreamCache_copyFromSelf(TOutStreamCache* out, uint64_t distance, uint64_t length);

/* ---- run-length add decoder ---- */
typedef struct TBytesRle_load_stream {
    uint64_t         copy_length; /* literal bytes still to take from data */
    uint64_t         set_length;  /* bytes of the pending one-value run */
    unsigned char    set_value;
    TStreamCacheClip ctrl;
    TStreamCacheClip data;
} TBytesRle_load_stream;

/* Clears the pending runs; ctrl and data are set up by the caller. */
void _TBytesRle_load_stream_init(TBytesRle_load_stream* rle);
/* Adds the next length run bytes onto target, or skips them when target is null. */
mirv_BOOL _TBytesRle_load_stream_decode_add(TBytesRle_load_stream* rle, unsigned char* target, size_t length);
/* No pending run and both readers finished. */
mirv_BOOL _TBytesRle_load_stream_isFinish(const TBytesRle_load_stream* rle);

/* ---- checksum pass-through streams ---- */
typedef struct TChecksumInputStream {
    mirv_TStreamInput        base;
    const mirv_TStreamInput* source;
    mirv_TChecksum*          plugin;
    void*                    handle;
    uint64_t                 next_pos; /* just after the last transfer */
} TChecksumInputStream;

typedef struct TChecksumOutputStream {
    mirv_TStreamOutput        base;
    const mirv_TStreamOutput* dest;
    mirv_TChecksum*           plugin;
    void*                     handle;
    uint64_t                  next_pos;
} TChecksumOutputStream;

const mirv_TStreamInput* _TChecksumInputStream_init(TChecksumInputStream* stream, const mirv_TStreamInput* source,
                                                    mirv_TChecksum* plugin, void* handle);
const mirv_TStreamOutput* _TChecksumOutputStream_init(TChecksumOutputStream* stream,
                                                      const mirv_TStreamOutput* dest, mirv_TChecksum* plugin,
                                                      void* handle);

/* ---- diff heads ---- */
typedef struct TSerializedDiffHead {
    uint64_t cover_count;
    uint64_t lengths_size;
    uint64_t new_gaps_size;
    uint64_t old_deltas_size;
    uint64_t new_diff_size;
    uint64_t head_end;   /* just after the five numbers */
    uint64_t covers_end; /* start of the new-data-diff section */
} TSerializedDiffHead;

mirv_BOOL _read_serialized_head(TSerializedDiffHead* head, const mirv_TStreamInput* diff);

typedef struct TCompressedDiffHead {
    uint64_t cover_count;
    uint64_t cover_size, cover_compressed_size;
    uint64_t ctrl_size, ctrl_compressed_size;
    uint64_t data_size, data_compressed_size;
    uint64_t new_diff_size, new_diff_compressed_size;
    uint64_t type_end;   /* just after the type name */
    uint64_t counts_end; /* just after the cover count */
    uint64_t head_end;   /* start of the cover data section */
    uint64_t covers_end; /* end of the cover data section */
} TCompressedDiffHead;

mirv_BOOL _read_compressed_head(mirv_compressedDiffInfo* info, TCompressedDiffHead* head,
                                const mirv_TStreamInput* diff);
/* A window head is read without a buffer for its bytes: the reader stops at the end of the
 * items (its cache may hold bytes that follow them), and the byte count of every number is
 * kept, so that the head can be rebuilt exactly once the patch has work memory, while the diff
 * is still read only front to back. */
#define _kWindowHeadNumbers 12
typedef struct TWindowHeadReader {
    TStreamCacheClip reader;
    unsigned char    cache[16]; /* holds one packed uint */
    unsigned char    number_sizes[_kWindowHeadNumbers];
} TWindowHeadReader;

/* Reads the window head at head_pos (at most mirv_kMaxWindowHeadSize bytes) up to the end of
 * its items, and checks it. */
mirv_BOOL _read_window_head(mirv_windowDiffInfo* info, TWindowHeadReader* head, const mirv_TStreamInput* diff,
                            uint64_t head_pos);
/* Writes the head's info->head_size bytes to out: the items rebuilt from info, the rest read on
 * from the diff (so the reader then stands at the body). */
mirv_BOOL _window_head_copy(mirv_windowDiffInfo* info, TWindowHeadReader* head, unsigned char* out);

/* ---- cover lists over caller memory ---- */

/* Bytes of list state in front of the reader caches. */
#define _kPackedCoversStateSize 232
#define _kCompressedCoversStateSize 184
#define _kPackedCoversMinMemory 240
#define _kCompressedCoversMinMemory 192

/* Open a cover list in [mem, mem_end); *out_covers points into that memory. */
mirv_BOOL _coverList_open_serialized(mirv_TCovers** out_covers, const mirv_TStreamInput* diff,
                                     unsigned char* mem, unsigned char* mem_end);
mirv_BOOL _coverList_open_compressed(mirv_TCovers** out_covers, const mirv_TStreamInput* diff,
                                     mirv_TDecompress* plugin, unsigned char* mem, unsigned char* mem_end);

/* First 8-aligned address at or after p (never past end; then end). */
unsigned char* _align8(unsigned char* p, unsigned char* end);

/* ---- old-data cache ---- */

/* The in-memory cover list: this header, then one record per cover (old_pos, new_pos,
 * length, cache_pos), u32 each when is32 else u64 each. */
typedef struct TArrayCovers {
    mirv_TCovers   base;
    unsigned char* records;
    uint64_t       count;
    uint64_t       index; /* next cover read_cover hands out */
    int            is32;
} TArrayCovers;

#define _kArrayCoversHeadSize 64
#define _kCacheOldStreamSize 168
#define _kMemStreamRecordSize 32
#define _kOldLoadPass 131072
#define _kOldLoadJump 262144

static inline size_t _TArrayCovers_recordSize(int is32) { return is32 ? 16 : 32; }
/* Empty array whose records start at records. */
void _TArrayCovers_init(TArrayCovers* covers, unsigned char* records, int is32);
void _TArrayCovers_get(const TArrayCovers* covers, uint64_t i, mirv_TCover* cover, uint64_t* cache_pos);
void _TArrayCovers_set(TArrayCovers* covers, uint64_t i, const mirv_TCover* cover, uint64_t cache_pos);
/* Reads every cover of list into the array, whose records may grow up to records_end.  Each
 * cover must lie inside old_size and new_size and follow the one before in the new data; the
 * list must then be finished. */
mirv_BOOL _TArrayCovers_load(TArrayCovers* covers, mirv_TCovers* list, uint64_t old_size, uint64_t new_size,
                             unsigned char* records_end);
typedef enum { _kSortByNewPos, _kSortByOldPos, _kSortByLength } _TArrayCoversOrder;
void _TArrayCovers_sort(TArrayCovers* covers, _TArrayCoversOrder order);

/* Whole old data: when [*cache, *cache_end) holds at least old size + min_left + 40 bytes,
 * reads the old data into its end, makes *old a memory stream over it (record at the front)
 * and shrinks the memory to what is left.  False (changing nothing) when it doesn't fit or
 * the read fails; a failed read also sets *read_error. */
mirv_BOOL _patch_cache_all_old(const mirv_TStreamInput** old, size_t min_left, unsigned char** cache,
                               unsigned char** cache_end, mirv_BOOL* read_error);
/* The longest cover length such that all covers up to it fit in budget bytes; 0 when none. */
uint64_t _patch_cache_maxCachedLen(TArrayCovers* covers, uint64_t budget);
/* Gives every cover up to max_cached_len its place in the cache; returns the total, or 0 when
 * fewer than min_count covers qualify. */
uint64_t _patch_cache_positions(TArrayCovers* covers, uint64_t max_cached_len, uint64_t* out_old_begin,
                                uint64_t* out_old_end, uint64_t min_count);
/* Loads the cached covers' old bytes into [cache, cache_end) in sequential passes through the
 * memory [cache_end, mem_end). */
mirv_BOOL _patch_cache_load(const mirv_TStreamInput* old, uint64_t old_begin, uint64_t old_end,
                            TArrayCovers* covers, uint64_t max_cached_len, unsigned char* cache,
                            unsigned char* cache_end, unsigned char* mem_end);

typedef struct TCacheOldStream TCacheOldStream;
/* Loads the next batch of covers into the stream's array; false when there is none. */
typedef mirv_BOOL (*TCacheOldStream_refill)(TCacheOldStream* stream, void* refill_arg);

/* An old-data stream that serves the covers of an array in new_pos order: cached covers
 * from memory, the others from the real old stream. */
struct TCacheOldStream {
    mirv_TStreamInput        base;
    TArrayCovers             covers;
    uint64_t                 cached_now;
    uint64_t                 max_cached_len;
    uint64_t                 read_pos;
    uint64_t                 cover_end;
    const unsigned char*     cache_cursor;
    const unsigned char*     cache_base; /* cache_pos 0 */
    const mirv_TStreamInput* old_stream;
    void*                    refill_arg;
    TCacheOldStream_refill   refill;
};

/* covers is copied; its index restarts at 0. */
const mirv_TStreamInput* _TCacheOldStream_init(TCacheOldStream* stream, const mirv_TStreamInput* old_stream,
                                               const TArrayCovers* covers, uint64_t max_cached_len,
                                               const unsigned char* cache_base);

#ifdef __cplusplus
}
#endif

#endif /* MIRV_PATCH_INTERNAL_H */

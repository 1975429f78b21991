/* The old-data cache: the whole old data in memory, or an in-memory cover array whose shorter
 * covers have their old bytes loaded in long sequential passes and served by a stream. */
#ifndef MIRVP_PATCH_CACHE_OLD_H
#define MIRVP_PATCH_CACHE_OLD_H

#include "patch_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The in-memory cover list: this header, then one record per cover (old_pos, new_pos,
 * length, cache_pos), u32 each when is32 else u64 each. */
typedef struct TArrayCovers {
    mirv_TCovers   base;
    unsigned char* records;
    uint64_t       count;
    uint64_t       index; /* next cover read_cover hands out */
    int            is32;
} TArrayCovers;

#define mirvp_kArrayCoversHeadSize 64
#define mirvp_kCacheOldStreamSize 168
#define mirvp_kMemStreamRecordSize 32

static inline size_t mirvp_array_record_size(int is32) { return is32 ? 16 : 32; }
/* Empty array whose records start at records. */
void mirvp_array_init(TArrayCovers* covers, unsigned char* records, int is32);
void mirvp_array_get(const TArrayCovers* covers, uint64_t i, mirv_TCover* cover, uint64_t* cache_pos);
void mirvp_array_set(TArrayCovers* covers, uint64_t i, const mirv_TCover* cover, uint64_t cache_pos);
/* Reads every cover of list into the array, whose records may grow up to records_end.  Each
 * cover must lie inside old_size and new_size and follow the one before in the new data; the
 * list must then be finished. */
mirv_BOOL mirvp_array_load(TArrayCovers* covers, mirv_TCovers* list, uint64_t old_size, uint64_t new_size,
                           unsigned char* records_end);

/* Whole old data: when [*cache, *cache_end) holds at least old size + min_left + 40 bytes,
 * reads the old data into its end, makes *old a memory stream over it (record at the front)
 * and shrinks the memory to what is left.  False (changing nothing) when it doesn't fit or
 * the read fails; a failed read also sets *read_error. */
mirv_BOOL mirvp_cache_all_old(const mirv_TStreamInput** old, size_t min_left, unsigned char** cache,
                              unsigned char** cache_end, mirv_BOOL* read_error);
/* Sum of the lengths of the array's covers no longer than max_len. */
uint64_t mirvp_cache_sum(const TArrayCovers* covers, uint64_t max_len);
/* The longest cover length such that all covers up to it fit in budget bytes; 0 when none. */
uint64_t mirvp_cache_max_len(TArrayCovers* covers, uint64_t budget);
/* Gives every cover up to max_cached_len its place in the cache; returns the total, or 0 when
 * fewer than min_count covers qualify. */
uint64_t mirvp_cache_positions(TArrayCovers* covers, uint64_t max_cached_len, uint64_t* out_old_begin,
                               uint64_t* out_old_end, uint64_t min_count);
/* Loads the cached covers' old bytes into [cache, cache_end) in sequential passes through the
 * memory [cache_end, mem_end). */
mirv_BOOL mirvp_cache_load(const mirv_TStreamInput* old, uint64_t old_begin, uint64_t old_end, TArrayCovers* covers,
                           uint64_t max_cached_len, unsigned char* cache, unsigned char* cache_end,
                           unsigned char* mem_end);

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
const mirv_TStreamInput* mirvp_cache_stream_init(TCacheOldStream* stream, const mirv_TStreamInput* old_stream,
                                                 const TArrayCovers* covers, uint64_t max_cached_len,
                                                 const unsigned char* cache_base);

#ifdef __cplusplus
}
#endif

#endif /* MIRVP_PATCH_CACHE_OLD_H */

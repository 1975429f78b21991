/* Internals shared by the single-stream and the window patch: the step loop that applies a
 * body's steps, and the step cache that pre-loads the old bytes of each step's short covers.
 */
#ifndef MIRV_PATCH_SINGLE_INTERNAL_H
#define MIRV_PATCH_SINGLE_INTERNAL_H

#include "patch_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Work memory a patch over a body needs beside the step buffers: with and without the output
 * cache. */
#define _kSingleMinMemWithOutCache 12288
#define _kSingleMinMemNoOutCache 8192
/* Memory the step cache leaves for the patch's own pieces. */
#define _kStepCacheReserveWithOutCache (3 * 65536)
#define _kStepCacheReserveNoOutCache (2 * 65536)
/* Least memory (beside step buffers and reserve) for which a step cache is set up. */
#define _kStepCacheMinMem 0x340000
/* Size of the step cache's state; its cover array follows. */
#define _kStepCacheStateSize 264

/* Where a step's run chain stands: skip count, add count and its bytes, skip count, ... */
typedef struct {
    const unsigned char* cursor;
    const unsigned char* end;
    uint64_t             skip; /* bytes still to leave as they are */
    uint64_t             add;  /* bytes still to add from cursor */
    int                  skip_due;
} _TRunChain;

/* Everything one run of the step loop works with. */
typedef struct _TStepLoop {
    TStreamCacheClip*        body;
    TOutStreamCache*         out;
    uint64_t                 new_size; /* the output ends here */
    const mirv_TStreamInput* old;
    uint64_t                 covers_left; /* counts down as covers are applied */
    unsigned char*           step_mem;
    size_t                   step_mem_size;
    unsigned char*           tmp;
    size_t                   tmp_size;
    sspatch_TCoversListener* covers_listener; /* may be null */
    /* Sees every step's cover buffer before the step is applied (the step cache); may be null.
     * A pointer, so that a patch without a step cache does not link one. */
    mirv_BOOL (*on_step_covers)(const mirv_TStreamInput* step_cache, const unsigned char* covers,
                                const unsigned char* covers_end);
    const mirv_TStreamInput* step_cache;
    sspatch_covers_t         covers;          /* bases run on across the steps of one run */
    _TRunChain               chain;
} _TStepLoop;

/* Applies steps from loop->body until loop->covers_left covers are applied. */
mirv_BOOL _patch_step_loop(_TStepLoop* loop);

/* The step cache size _patch_step_cache_old would take out of mem_size bytes; 0 when it would
 * set none up. */
size_t _patch_step_cache_old_canUsedSize(uint64_t step_mem_size, size_t reserve, size_t mem_size);
/* Sets up a step cache at the front of [*cache, *cache_end) and makes *old its stream; the
 * memory left for the patch is handed back in *cache.  False (changing nothing) when the
 * memory is too small. */
mirv_BOOL _patch_step_cache_old(const mirv_TStreamInput** old, uint64_t new_size, uint64_t step_mem_size,
                                size_t reserve, unsigned char** cache, unsigned char* cache_end);
/* Hands a step's cover buffer to the step cache behind the stream and loads its first batch;
 * a null covers does nothing.  False on bad covers or a failed old read. */
mirv_BOOL _patch_step_cache_old_onStepCovers(const mirv_TStreamInput* step_cache_stream, const unsigned char* covers,
                                             const unsigned char* covers_end);

/* A sizing rule kept for callers; see its definition. */
uint64_t _patch_is_can_cache_window_old_canUsedSize(uint64_t s1, uint64_t s2, uint64_t s3, uint64_t s4, uint64_t s5);

#ifdef __cplusplus
}
#endif

#endif /* MIRV_PATCH_SINGLE_INTERNAL_H */

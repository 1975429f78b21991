/* The step loop shared by the single-stream and the window patch: it applies a body's steps
 * (a cover buffer, a run chain over the covers' bytes, the gap bytes), and the sizing of the
 * step cache that pre-loads the old bytes of each step's short covers.
 */
#ifndef MIRVP_PATCH_STEP_H
#define MIRVP_PATCH_STEP_H

#include "patch_reader.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Work memory a patch over a body needs beside the step buffers: with and without the output
 * cache. */
#define mirvp_kSingleMinMemWithOutCache mirv_kSingleStreamPatchReserve
#define mirvp_kSingleMinMemNoOutCache 8192
/* Memory the step cache leaves for the patch's own pieces. */
#define mirvp_kStepCacheReserveWithOutCache (3 * 65536)
#define mirvp_kStepCacheReserveNoOutCache (2 * 65536)
/* Least memory (beside step buffers and reserve) for which a step cache is set up. */
#define mirvp_kStepCacheMinMem 0x340000

/* Where a step's run chain stands: skip count, add count and its bytes, skip count, ... */
typedef struct mirvp_TRunChain {
    const unsigned char* cursor;
    const unsigned char* end;
    uint64_t             skip; /* bytes still to leave as they are */
    uint64_t             add;  /* bytes still to add from cursor */
    int                  skip_due;
} mirvp_TRunChain;

/* Everything one run of the step loop works with. */
typedef struct mirvp_TStepLoop {
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
    mirvp_TRunChain          chain;
} mirvp_TStepLoop;

/* Applies steps from loop->body until loop->covers_left covers are applied. */
mirv_BOOL mirvp_step_loop(mirvp_TStepLoop* loop);

/* The step cache size the single-stream patch would take out of mem_size bytes; 0 when it
 * would set none up. */
size_t mirvp_step_cache_size(uint64_t step_mem_size, size_t reserve, size_t mem_size);

/* A sizing rule kept for callers; see its definition. */
uint64_t mirvp_window_cache_size(uint64_t s1, uint64_t s2, uint64_t s3, uint64_t s4, uint64_t s5);

#ifdef __cplusplus
}
#endif

#endif /* MIRVP_PATCH_STEP_H */

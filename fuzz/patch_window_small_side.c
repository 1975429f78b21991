/* The size build's side of fuzz_patch_window_builds: compiled with MIRV_PATCH_SMALL and
 * MIRV_PATCH_SMALL_NAMES, so that it sees the size build's head record and calls its patch. */
#include <string.h>

#include "mirv_plugins.h"
#include "patch_window_small_side.h"

typedef struct {
    mirv_TWindowPatchListener base;
    const TSmallSideRun*      run;
    int                       finishes;
} TSideListener;

static mirv_BOOL side_on_info(mirv_TWindowPatchListener* l, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
                              mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old,
                              mirv_BOOL* check_diff, unsigned char** cache, unsigned char** cache_end) {
    const TSmallSideRun* run = ((TSideListener*)l->owner)->run;
    size_t size;
    if (info->step_mem_size > (1u << 20) || info->window_size > (1u << 20)) return 0;
    size = mirv_WINDOW_PATCH_SMALL_MEM_SIZE((size_t)info->window_size, (size_t)info->step_mem_size,
                                            (size_t)info->ring_size) + run->extra;
    if (run->flags & 1) *plugin = mirv_decompress_plugin(info->compress_type);
    if (run->flags & 2) *checksum = mirv_checksum_plugin(info->checksum_type);
    if (!(run->flags & 32)) {
        *check_new = (run->flags >> 2) & 1;
        *check_old = (run->flags >> 3) & 1;
        *check_diff = (run->flags >> 4) & 1;
    }
    /* the memory ends where the buffer ends, so that a read past it is caught */
    *cache = run->mem_end - size;
    *cache_end = run->mem_end;
    return 1;
}

static void side_on_finish(mirv_TWindowPatchListener* l, unsigned char* mem, unsigned char* mem_end) {
    (void)mem;
    (void)mem_end;
    ++((TSideListener*)l->owner)->finishes;
}

int small_side_patch(const TSmallSideRun* run, int* finishes, int* head_ok) {
    mirv_TStreamInput diff, old;
    mirv_TStreamOutput out;
    mirv_windowDiffInfo info;
    TSideListener l;
    int result;
    mem_as_mirvStreamInput(&diff, run->diff, run->diff + run->diff_size);
    mem_as_mirvStreamInput(&old, run->old, run->old + run->old_size);
    mem_as_mirvStreamOutput(&out, run->out, run->out + run->out_size);
    *head_ok = getWindowDiffInfo(&info, &diff, 0);
    memset(&l, 0, sizeof(l));
    l.base.owner = &l;
    l.base.on_diff_info = side_on_info;
    l.base.on_patch_finish = side_on_finish;
    l.run = run;
    result = patch_window_diff_with_info(&info, &l.base, &out, &old, &diff, 0);
    *finishes = l.finishes;
    return result;
}

/* Applies a window diff in memory with the installed patch library and the plug-ins of
 * mirv_plugins.h, checking whatever the diff carries checksums of. */
#ifndef CONSUMER_PATCH_COMMON_H
#define CONSUMER_PATCH_COMMON_H

#include <stdlib.h>

#include "mirv_plugins.h"

typedef struct {
    unsigned char* memory;
    size_t         memory_size;
} WorkMemory;

static mirv_BOOL on_diff_info(mirv_TWindowPatchListener* listener, const mirv_windowDiffInfo* info,
                              mirv_TDecompress** out_plugin, mirv_TChecksum** out_checksum, mirv_BOOL* check_new,
                              mirv_BOOL* check_old, mirv_BOOL* check_diff, unsigned char** out_cache,
                              unsigned char** out_cache_end) {
    WorkMemory* work = (WorkMemory*)listener->owner;
    work->memory_size = (size_t)mirv_WINDOW_PATCH_MEM_SIZE(info->window_size, info->step_mem_size);
    work->memory = (unsigned char*)malloc(work->memory_size);
    if (!work->memory) return 0;
    *out_plugin = mirv_decompress_plugin(info->compress_type);
    *out_checksum = mirv_checksum_plugin(info->checksum_type);
    *check_new = *check_old = *check_diff = *out_checksum != NULL;
    *out_cache = work->memory;
    *out_cache_end = work->memory + work->memory_size;
    return 1;
}

static void on_patch_finish(mirv_TWindowPatchListener* listener, unsigned char* cache, unsigned char* cache_end) {
    (void)listener;
    (void)cache_end;
    free(cache);
}

/* The mirv_kWindowPatch* result of patching old with diff into out (exactly new_size bytes). */
static int apply_window_diff(const unsigned char* old, size_t old_size, const unsigned char* diff, size_t diff_size,
                             unsigned char* out, size_t new_size) {
    mirv_TStreamInput old_stream, diff_stream;
    mirv_TStreamOutput out_stream;
    WorkMemory work = {NULL, 0};
    mirv_TWindowPatchListener listener = {&work, on_diff_info, on_patch_finish};
    return patch_window_diff(&listener, mem_as_mirvStreamOutput(&out_stream, out, out + new_size),
                             mem_as_mirvStreamInput(&old_stream, old, old + old_size),
                             mem_as_mirvStreamInput(&diff_stream, diff, diff + diff_size), 0);
}

#endif

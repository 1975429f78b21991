/* Applying an over-the-air update on a microcontroller.
 *
 * The old text (the sample text of the decoding example) and a window diff made on a PC by
 * `vkodiff --device` both lie in flash; the new text is written to a RAM slot standing for
 * the flash bank being updated.  The patch reads the diff front to back, the old data only
 * where the diff points, and writes the new data front to back; it checks the old data,
 * the diff and the new data against the crc32 values the diff carries.  All memory is
 * static: the record of the diff's head, the patch's work memory (which also holds the patch's
 * own state) and the vekko decoder's window and input cache, so the stack stays small. */
#include "device_example.h"

#include "mirv_device_plugins.h"
#include "patch_data.h"
#include "sample_data.h"

/* Work memory for any diff of the device preset (window 16 KiB, step memory 4 KiB) and the
 * vekko decoder's window for its 16 KiB dictionary, plus a 64-byte input cache.  A device
 * that only takes smaller diffs can shrink both; the listener refuses a diff that needs more. */
enum {
    kPatchMemorySize = mirv_WINDOW_PATCH_MEM_SIZE(16384, 4096),
    kVekkoWorkSize = 16384 + 64,
    kNewSlotSize = 2048
};

static unsigned char patch_memory[kPatchMemorySize];
static unsigned char vekko_work[kVekkoWorkSize];
static unsigned char new_slot[kNewSlotSize];
static mirv_TDeviceVekko vekko;
static mirv_TDeviceCrc32 crc32;
static mirv_windowDiffInfo diff_info;

/* A region of flash as a stream: reads copy out of it. */
static mirv_BOOL flash_region_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                                   unsigned char* out_end) {
    const unsigned char* base = (const unsigned char*)stream->owner;
    if (pos > stream->size || (uint64_t)(out_end - out) > stream->size - pos) return 0;
    base += pos;
    while (out < out_end) *out++ = *base++;
    return 1;
}

/* The slot being updated: writes and reads back within its size. */
static mirv_BOOL slot_write(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                            const unsigned char* data_end) {
    unsigned char* slot = (unsigned char*)stream->owner;
    if (pos > stream->size || (uint64_t)(data_end - data) > stream->size - pos) return 0;
    slot += pos;
    while (data < data_end) *slot++ = *data++;
    return 1;
}

static mirv_BOOL slot_read_back(const mirv_TStreamOutput* stream, uint64_t pos, unsigned char* out,
                                unsigned char* out_end) {
    const unsigned char* slot = (const unsigned char*)stream->owner;
    if (pos > stream->size || (uint64_t)(out_end - out) > stream->size - pos) return 0;
    slot += pos;
    while (out < out_end) *out++ = *slot++;
    return 1;
}

/* Sees the diff's head: hands out the device plug-ins and the static work memory, with
 * every check on, or refuses a diff this device has no memory or decoder for. */
static mirv_BOOL on_diff_info(mirv_TWindowPatchListener* listener, const mirv_windowDiffInfo* info,
                              mirv_TDecompress** out_plugin, mirv_TChecksum** out_checksum, mirv_BOOL* check_new,
                              mirv_BOOL* check_old, mirv_BOOL* check_diff, unsigned char** out_cache,
                              unsigned char** out_cache_end) {
    (void)listener;
    if (info->step_mem_size > kPatchMemorySize || info->window_size > kPatchMemorySize ||
        mirv_WINDOW_PATCH_MEM_SIZE(info->window_size, info->step_mem_size) > kPatchMemorySize)
        return 0;
    *out_plugin = mirv_device_vekko_init(&vekko, vekko_work, sizeof(vekko_work));
    *out_checksum = mirv_device_crc32_init(&crc32);
    if (info->compressed_size && !(*out_plugin)->is_can_open(info->compress_type)) return 0;
    *check_new = *check_old = *check_diff = 1;
    *out_cache = patch_memory;
    *out_cache_end = patch_memory + sizeof(patch_memory);
    return 1;
}

int device_patch_run(void) {
    mirv_TStreamInput old = {(void*)sample_text, sizeof(sample_text), flash_region_read, 0};
    mirv_TStreamInput diff = {(void*)patch_diff, sizeof(patch_diff), flash_region_read, 0};
    mirv_TStreamOutput slot = {new_slot, sizeof(new_slot), slot_read_back, slot_write};
    mirv_TWindowPatchListener listener = {0, on_diff_info, 0};
    unsigned i;
    const int result = patch_window_diff_with_info(&diff_info, &listener, &slot, &old, &diff, 0);
    if (result != mirv_kWindowPatchOk) return 10 + result;
    for (i = 0; i < sizeof(patch_new_text); i++)
        if (new_slot[i] != patch_new_text[i]) return 30;
    return 0;
}

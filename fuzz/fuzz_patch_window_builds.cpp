/* The window patch's two builds on the same inputs (as fuzz_patch_window reads them): the
 * size build must give the default build's result and bytes, and may refuse only within its
 * documented limits: a head whose numbers reach 2^32 - 1, whose names are longer than 15
 * characters or which is longer than 128 bytes.  Where both fail, results 7, 10 and 11 may
 * trade places: they depend on how much output each build's cache had handed out. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_patch_util.h"
#include "mirv_plugins.h"
#include "patch_window_small_side.h"

namespace {

struct Listener {
    mirv_TWindowPatchListener base;
    unsigned char* mem_end;
    size_t extra;
    unsigned flags;
    int finishes = 0;
};

mirv_BOOL onInfo(mirv_TWindowPatchListener* l, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
                 mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old, mirv_BOOL* check_diff,
                 unsigned char** cache, unsigned char** cache_end) {
    Listener* self = static_cast<Listener*>(l->owner);
    if (info->step_mem_size > (1u << 20) || info->window_size > (1u << 20)) return 0;
    size_t size = (size_t)mirv_WINDOW_PATCH_MEM_SIZE(info->window_size, info->step_mem_size) + self->extra;
    fuzz_patch::chooseWindowPlugins(self->flags, info, plugin, checksum, check_new, check_old, check_diff);
    *cache = self->mem_end - size;
    *cache_end = self->mem_end;
    return 1;
}

void onFinish(mirv_TWindowPatchListener* l, unsigned char*, unsigned char*) { ++static_cast<Listener*>(l->owner)->finishes; }

bool nameTooLong(const char* name) { return strlen(name) > 15; }

bool failureOfOutput(int code) { return code == 7 || code == 10 || code == 11; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<unsigned char> mem((size_t)3 << 20);
    if (size < 5) return 0;
    const unsigned flags = data[0];
    size_t extra = ((size_t)data[1] << 8 | data[2]) * 8 % 4096;
    size_t old_len = ((size_t)data[3] << 8 | data[4]) % (size - 4);
    const uint8_t* old_bytes = data + 5;
    const uint8_t* diff_bytes = old_bytes + old_len;
    size_t diff_len = size - 5 - old_len;

    mirv_TStreamInput diff, old;
    mem_as_mirvStreamInput(&diff, diff_bytes, diff_bytes + diff_len);
    mem_as_mirvStreamInput(&old, old_bytes, old_bytes + old_len);
    mirv_windowDiffInfo info;
    memset(&info, 0, sizeof(info));
    bool head_ok = getWindowDiffInfo(&info, &diff, 0);
    size_t out_size = head_ok && info.new_size <= (1u << 22) ? (size_t)info.new_size : 64;
    bool beyond_limits = head_ok && (info.head_size > 128 || nameTooLong(info.compress_type) ||
                                     nameTooLong(info.checksum_type));
    for (uint64_t v : {info.compressed_size, info.uncompressed_size, info.new_size, info.old_size, info.reserved,
                       info.window_count, info.ring_size, info.step_mem_size, info.max_step_covers, info.window_size,
                       info.checksum_size, info.skip_size})
        if (v >= 0xFFFFFFFFu) beyond_limits = true;

    /* one byte more, so that no buffer is empty */
    std::vector<unsigned char> out_default(out_size + 1, 0xA5), out_small(out_size + 1, 0xA5);
    mirv_TStreamOutput out;
    mem_as_mirvStreamOutput(&out, out_default.data(), out_default.data() + out_size);
    Listener l;
    l.base.owner = &l;
    l.base.on_diff_info = onInfo;
    l.base.on_patch_finish = onFinish;
    l.mem_end = mem.data() + mem.size();
    l.extra = extra;
    l.flags = flags;
    int code_default = patch_window_diff(&l.base, &out, &old, &diff, 0);

    TSmallSideRun run = {old_bytes, old_len, diff_bytes, diff_len, out_small.data(), out_size, flags, extra,
                         mem.data() + mem.size()};
    int small_finishes = 0, small_head_ok = 0;
    int code_small = small_side_patch(&run, &small_finishes, &small_head_ok);

    if (small_head_ok && !head_ok) __builtin_trap();
    if (!small_head_ok && head_ok && !beyond_limits) __builtin_trap();
    if (code_small == 1 && code_default != 1) {
        if (!beyond_limits) __builtin_trap();
        return 0;
    }
    if (code_small != code_default && !(failureOfOutput(code_small) && failureOfOutput(code_default)))
        __builtin_trap();
    if (small_finishes != l.finishes) __builtin_trap();
    if (code_small == 0 && out_small != out_default) __builtin_trap();
    return 0;
}

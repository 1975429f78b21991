/* The window patch over arbitrary diffs, old data, work memories and listener choices.
 * Input: [0] choices (bit 0 decompressor given, bit 1 checksum plug-in given, bits 2-4
 * check_new, check_old, check_diff, bit 5 leave the preset checks), [1..2] extra work
 * memory, [3..4] old data length, then the old bytes and the diff.  Every run is made with
 * the least memory and with the chosen one: both must give the same result and bytes. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_patch_util.h"
#include "mirv_plugins.h"

namespace {

struct Listener {
    mirv_TWindowPatchListener base;
    unsigned char* mem;
    size_t extra;
    unsigned flags;
    bool least;
    int finishes = 0;
};

mirv_BOOL onInfo(mirv_TWindowPatchListener* l, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
                 mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old, mirv_BOOL* check_diff,
                 unsigned char** cache, unsigned char** cache_end) {
    Listener* self = static_cast<Listener*>(l->owner);
    if (info->step_mem_size > (1u << 20) || info->window_size > (1u << 20)) return 0;
    size_t size = (size_t)mirv_WINDOW_PATCH_MEM_SIZE(info->window_size, info->step_mem_size) + (self->least ? 0 : self->extra);
    fuzz_patch::chooseWindowPlugins(self->flags, info, plugin, checksum, check_new, check_old, check_diff);
    *cache = self->mem;
    *cache_end = self->mem + size;
    return 1;
}

void onFinish(mirv_TWindowPatchListener* l, unsigned char*, unsigned char*) {
    ++static_cast<Listener*>(l->owner)->finishes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<unsigned char> mem((size_t)3 << 20);
    if (size < 5) return 0;
    const unsigned flags = data[0];
    size_t extra = ((size_t)data[1] << 8 | data[2]) * 8;
    size_t old_len = ((size_t)data[3] << 8 | data[4]) % (size - 4);
    const uint8_t* old_bytes = data + 5;
    const uint8_t* diff_bytes = old_bytes + old_len;
    size_t diff_len = size - 5 - old_len;

    mirv_TStreamInput diff, old;
    mem_as_mirvStreamInput(&diff, diff_bytes, diff_bytes + diff_len);
    mem_as_mirvStreamInput(&old, old_bytes, old_bytes + old_len);
    mirv_windowDiffInfo info;
    memset(&info, 0, sizeof(info)); /* the texts' bytes after their ends are compared too */
    if (!getWindowDiffInfo(&info, &diff, 0) || info.new_size > (1u << 22)) return 0;

    std::vector<unsigned char> results[2];
    int codes[2];
    for (int pass = 0; pass < 2; ++pass) {
        results[pass].assign((size_t)info.new_size, 0xA5);
        mirv_TStreamOutput out;
        mem_as_mirvStreamOutput(&out, results[pass].data(), results[pass].data() + results[pass].size());
        Listener l;
        l.base.owner = &l;
        l.base.on_diff_info = onInfo;
        l.base.on_patch_finish = onFinish;
        l.mem = mem.data();
        l.extra = extra;
        l.flags = flags;
        l.least = pass == 0;
        /* the second pass goes through the entry that reports the head in the caller's record */
        mirv_windowDiffInfo caller_info;
        memset(&caller_info, 0, sizeof(caller_info));
        codes[pass] = pass == 0 ? patch_window_diff(&l.base, &out, &old, &diff, 0)
                                : patch_window_diff_with_info(&caller_info, &l.base, &out, &old, &diff, 0);
        if (pass == 1 && memcmp(&caller_info, &info, sizeof(info)) != 0) __builtin_trap();
        if (codes[pass] < 0 || codes[pass] > 12) __builtin_trap();
        /* the listener gets its memory back exactly when it handed some out */
        if (l.finishes != (codes[pass] == 1 || codes[pass] == 2 || codes[pass] == 4 ? 0 : 1)) __builtin_trap();
    }
    if (codes[0] != codes[1] || (codes[0] == 0 && results[0] != results[1])) __builtin_trap();
    return 0;
}

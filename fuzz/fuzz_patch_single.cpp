/* The single-stream patch over arbitrary diffs, old data and work memories.
 * Input: [0] choices (bit 0 plug-in given, bit 1 covers listener, bit 2 large synthetic old
 * data of the head's size, bit 3 head at 5, bit 4 a stored body also applied without the
 * output cache), [1..2] extra work memory, [3..4] old data length, then the old
 * bytes and the diff.  Every run is made twice, with the least memory and with the chosen
 * one: both must agree on the result and the bytes. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mirv_plugins.h"

namespace {

struct Old {
    mirv_TStreamInput stream;
    const uint8_t* pattern;
    size_t pattern_size;
};

/* Old bytes: the pattern, repeated with a running offset so that long old data stays varied. */
mirv_BOOL readOld(const mirv_TStreamInput* s, uint64_t pos, unsigned char* out, unsigned char* out_end) {
    const Old* self = static_cast<const Old*>(s->owner);
    uint64_t len = (uint64_t)(out_end - out);
    if (pos > s->size || len > s->size - pos) return 0;
    for (uint64_t i = 0; i < len; ++i) {
        uint64_t p = pos + i;
        out[i] = self->pattern_size ? (unsigned char)(self->pattern[p % self->pattern_size] + p / self->pattern_size)
                                    : (unsigned char)p;
    }
    return 1;
}

struct Listener {
    sspatch_TListener base;
    unsigned char* mem;
    size_t extra;
    bool least, plugin;
    int finishes = 0;
};

mirv_BOOL onInfo(sspatch_TListener* l, const mirv_singleCompressedDiffInfo* info, mirv_TDecompress** plugin,
                 unsigned char** cache, unsigned char** cache_end) {
    Listener* self = static_cast<Listener*>(l->owner);
    if (info->step_mem_size > (1u << 20)) return 0;
    size_t size = (size_t)mirv_SINGLE_STREAM_PATCH_MEM_SIZE(info->step_mem_size) + (self->least ? 0 : self->extra);
    if (self->plugin) *plugin = mirv_decompress_plugin(info->compress_type);
    *cache = self->mem;
    *cache_end = self->mem + size;
    return 1;
}

void onFinish(sspatch_TListener* l, unsigned char*, unsigned char*) { ++static_cast<Listener*>(l->owner)->finishes; }

void onReset(sspatch_TCoversListener*, uint64_t) {}
void onCovers(sspatch_TCoversListener*, const unsigned char* b, const unsigned char* e) {
    if ((b == nullptr) != (e == nullptr) || (b && e < b)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<unsigned char> mem((size_t)6 << 20);
    if (size < 5) return 0;
    const unsigned flags = data[0];
    size_t extra = ((size_t)data[1] << 8 | data[2]) * 80; /* up to about 5 MiB */
    size_t old_len = ((size_t)data[3] << 8 | data[4]) % (size - 4);
    const uint8_t* old_bytes = data + 5;
    const uint8_t* diff_bytes = old_bytes + old_len;
    size_t diff_len = size - 5 - old_len;
    uint64_t head_pos = flags & 8 ? 5 : 0;

    mirv_TStreamInput diff;
    mem_as_mirvStreamInput(&diff, diff_bytes, diff_bytes + diff_len);
    mirv_singleCompressedDiffInfo info;
    if (!getSingleCompressedDiffInfo(&info, &diff, head_pos) || info.new_size > (1u << 22)) return 0;
    if (extra + mirv_SINGLE_STREAM_PATCH_MEM_SIZE(1u << 20) > mem.size())
        extra = mem.size() - mirv_SINGLE_STREAM_PATCH_MEM_SIZE(1u << 20);

    Old old;
    old.pattern = old_bytes;
    old.pattern_size = old_len;
    old.stream.owner = &old;
    old.stream.size = (flags & 4) && info.old_size <= (1u << 24) ? info.old_size : old_len;
    old.stream.read = readOld;
    old.stream.reserved = nullptr;

    sspatch_TCoversListener watcher = {nullptr, onReset, onCovers};
    std::vector<unsigned char> results[2];
    mirv_BOOL ok[2];
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<unsigned char>& out_bytes = results[pass];
        out_bytes.assign((size_t)info.new_size, 0xA5);
        mirv_TStreamOutput out;
        mem_as_mirvStreamOutput(&out, out_bytes.data(), out_bytes.data() + out_bytes.size());
        Listener l;
        l.base.owner = &l;
        l.base.on_diff_info = onInfo;
        l.base.on_patch_finish = onFinish;
        l.mem = mem.data();
        l.extra = extra;
        l.least = pass == 0;
        l.plugin = flags & 1;
        ok[pass] = patch_single_stream(&l.base, &out, &old.stream, &diff, head_pos, flags & 2 ? &watcher : nullptr);
        if (l.finishes > 1) __builtin_trap();
    }
    if (ok[0] != ok[1] || (ok[0] && results[0] != results[1])) __builtin_trap();
    if ((flags & 16) && info.compressed_size == 0 && info.step_mem_size <= (1u << 20)) {
        /* the same body through the entry without the output cache: every write straight out */
        uint64_t body = head_pos + info.diff_data_pos;
        std::vector<unsigned char> direct((size_t)info.new_size, 0x5A);
        mirv_TStreamOutput out;
        mem_as_mirvStreamOutput(&out, direct.data(), direct.data() + direct.size());
        mirv_BOOL ok_direct = 0;
        if (info.old_size == old.stream.size && info.uncompressed_size <= diff_len - body)
            ok_direct = patch_single_stream_diff(&out, &old.stream, &diff, body, body + info.uncompressed_size,
                                                 info.cover_count, info.step_mem_size, mem.data(),
                                                 mem.data() + (size_t)info.step_mem_size + 8192, nullptr, 0);
        if (ok_direct != ok[0] || (ok_direct && direct != results[0])) __builtin_trap();
    }
    return 0;
}

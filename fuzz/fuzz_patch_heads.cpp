/* The diff head readers and the cached reader over arbitrary bytes.
 * Input: [0] head position, [1..2] reader cache size, [3..] the diff (also a script of
 * reader operations). */
#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch_heads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint64_t head_pos = data[0] % 16;
    size_t cache_size = 1 + (((size_t)data[1] << 8 | data[2]) % 600);
    const unsigned char* diff_data = data + 3;
    size_t diff_size = size - 3;
    mirv_TStreamInput diff;
    mem_as_mirvStreamInput(&diff, diff_data, diff_data + diff_size);

    mirv_compressedDiffInfo cinfo;
    TCompressedDiffHead chead;
    if (mirvp_read_compressed_head(&cinfo, &chead, &diff)) {
        if (chead.covers_end < chead.head_end || cinfo.compressed_count > 4) __builtin_trap();
    }
    mirv_singleCompressedDiffInfo sinfo;
    if (getSingleCompressedDiffInfo(&sinfo, &diff, head_pos)) {
        if (sinfo.compressed_size > sinfo.uncompressed_size || head_pos + sinfo.diff_data_pos > diff_size)
            __builtin_trap();
    }
    mirv_windowDiffInfo winfo;
    if (getWindowDiffInfo(&winfo, &diff, head_pos)) {
        if (winfo.head_size > mirv_kMaxWindowHeadSize || winfo.items_end > winfo.checksums_begin ||
            winfo.checksums_begin + 3 * winfo.checksum_size != winfo.head_size)
            __builtin_trap();
    }
    TSerializedDiffHead shead;
    if (mirvp_read_serialized_head(&shead, &diff)) {
        if (shead.covers_end > diff_size || shead.new_diff_size > diff_size - shead.covers_end) __builtin_trap();
    }

    /* reader operations driven by the bytes themselves, over a range inside the data */
    std::vector<unsigned char> cache(cache_size);
    TStreamCacheClip reader;
    uint64_t begin = diff_size ? diff_data[0] % (diff_size + 1) : 0;
    mirvp_clip_init(&reader, &diff, begin, diff_size, cache.data(), cache.size());
    std::vector<unsigned char> out(1024);
    char text[300];
    uint64_t value = 0, pos = 1000;
    for (size_t step = 0; step < 64 && !mirvp_clip_is_finished(&reader); ++step) {
        const unsigned char* op = mirvp_clip_peek(&reader, 1);
        if (!op) break;
        unsigned code = op[0];
        bool ok = true;
        switch (code % 7) {
        case 0: ok = mirvp_clip_read_uint(&reader, &value, code % 3); break;
        case 1: ok = mirvp_clip_read_text(&reader, '&', text, 1 + code % sizeof(text)); break;
        case 2: ok = mirvp_clip_skip(&reader, code % 97); break;
        case 3: ok = mirvp_clip_read_to(&reader, out.data(), out.data() + (code * 5) % out.size()); break;
        case 4: ok = mirvp_clip_add_to(&reader, out.data(), code % 32 < cache_size ? code % 32 : 0); break;
        case 5: ok = mirvp_clip_read_signed_pos(&reader, &pos); break;
        default: mirvp_clip_consume(&reader, 1); break;
        }
        if (!ok) break;
        if (mirvp_clip_source_pos(&reader) > diff_size) __builtin_trap();
    }
    return 0;
}

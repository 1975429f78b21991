/* Opening and walking both cover lists over arbitrary bytes and memory sizes.
 * Input: [0..1] memory size, [2] plug-in choice, [3..] the diff. */
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirv_plugins.h"
#include "patch_covers.h"

static void walk(mirv_TCovers* covers) {
    uint64_t left = covers->leaveCoverCount(covers);
    uint64_t new_end = 0;
    for (uint64_t i = 0; i < left && i < 100000; ++i) {
        mirv_TCover c;
        if (!covers->read_cover(covers, &c)) break;
        /* covers never wrap and come in new-position order */
        if (c.new_pos < new_end || c.new_pos + c.length < c.new_pos) __builtin_trap();
        new_end = c.new_pos + c.length;
    }
    covers->is_finish(covers);
    covers->close(covers);
    covers->close(covers);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t mem_size = ((size_t)data[0] << 8 | data[1]) % 20000;
    static const char* const kTypes[] = {nullptr, "zlib", "zstd", "vekko"};
    mirv_TDecompress* plugin = kTypes[data[2] % 4] ? mirv_decompress_plugin(kTypes[data[2] % 4]) : nullptr;
    mirv_TStreamInput diff;
    mem_as_mirvStreamInput(&diff, data + 3, data + size);

    /* the memory lies in a buffer of its own size, so any access outside it is caught */
    std::vector<unsigned char> mem(mem_size + 1);
    unsigned char* begin = mem.data() + (data[2] >> 2) % 2; /* aligned and not */
    unsigned char* end = mem.data() + mem_size;
    if (begin > end) begin = end;
    mirv_TCovers* covers = nullptr;
    if (mirvp_open_serialized_covers(&covers, &diff, begin, end)) walk(covers);
    covers = nullptr;
    if (mirvp_open_compressed_covers(&covers, &diff, plugin, begin, end)) walk(covers);

    mirv_TCoverList list;
    if (mirv_coverList_open_serializedDiff(&list, &diff)) walk(list.covers);
    if (mirv_coverList_open_compressedDiff(&list, &diff, plugin)) walk(list.covers);
    return 0;
}

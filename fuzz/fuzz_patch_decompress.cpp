/* patch_decompress(_with_cache) over arbitrary compressed diffs, with and without a plug-in.
 * Input: [0] mode (bits 0-1 memory, bit 2 big old data, bits 3-4 plug-in), [1..3] memory
 * parameter, [4..5] new size, [6..7] old size, then the diff. */
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_patch_util.h"
#include "mirv_plugins.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace fuzz_patch;
    if (size < 8) return 0;
    unsigned mode = data[0];
    size_t mem_size = memSize(mode, (uint32_t)data[1] << 16 | (uint32_t)data[2] << 8 | data[3]);
    uint64_t new_size = (uint64_t)data[4] << 8 | data[5];
    uint64_t old_size = ((uint64_t)data[6] << 8 | data[7]) << ((mode & 4) ? 8 : 0);
    static const char* const kTypes[] = {nullptr, "zlib", "zstd", "vekko"};
    const char* type = kTypes[(mode >> 3) & 3];
    mirv_TDecompress* plugin = type ? mirv_decompress_plugin(type) : nullptr;
    mirv_TStreamInput diff;
    mem_as_mirvStreamInput(&diff, data + 8, data + size);
    OldStream old(old_size);
    NewStream out(new_size);
    if (mem_size == 0) {
        patch_decompress(&out.stream, &old.stream, &diff, plugin);
    } else {
        std::unique_ptr<unsigned char[]> mem(new unsigned char[mem_size]);
        patch_decompress_with_cache(&out.stream, &old.stream, &diff, plugin, mem.get(), mem.get() + mem_size);
    }
    return 0;
}

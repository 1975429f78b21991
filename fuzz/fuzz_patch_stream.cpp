/* patch_stream(_with_cache) over arbitrary serialized diffs, old sizes and work memories.
 * Input: [0] mode, [1..3] memory parameter, [4..5] new size, [6..7] old size (x 256 when
 * mode bit 2 is set), then the diff. */
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_patch_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace fuzz_patch;
    if (size < 8) return 0;
    unsigned mode = data[0];
    size_t mem_size = memSize(mode, (uint32_t)data[1] << 16 | (uint32_t)data[2] << 8 | data[3]);
    uint64_t new_size = (uint64_t)data[4] << 8 | data[5];
    uint64_t old_size = ((uint64_t)data[6] << 8 | data[7]) << ((mode & 4) ? 8 : 0);
    mirv_TStreamInput diff;
    mem_as_mirvStreamInput(&diff, data + 8, data + size);
    OldStream old(old_size);
    NewStream out(new_size);
    if (mem_size == 0) {
        patch_stream(&out.stream, &old.stream, &diff);
    } else {
        std::unique_ptr<unsigned char[]> mem(new unsigned char[mem_size]);
        patch_stream_with_cache(&out.stream, &old.stream, &diff, mem.get(), mem.get() + mem_size);
    }
    return 0;
}

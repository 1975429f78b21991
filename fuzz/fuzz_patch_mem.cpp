/* The in-memory patch over arbitrary diffs.
 * Input: [0..1] new size, [2..3] old size, then the old bytes (as many as there are), then the diff. */
#include <cstddef>
#include <cstdint>
#include <memory>

#include "mirv_patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    size_t new_size = (size_t)data[0] << 8 | data[1];
    size_t old_size = (size_t)data[2] << 8 | data[3];
    data += 4;
    size -= 4;
    if (old_size > size) old_size = size;
    /* exact-size copies, so that any access outside them is caught */
    std::unique_ptr<unsigned char[]> old(new unsigned char[old_size + 1]);
    std::unique_ptr<unsigned char[]> diff(new unsigned char[size - old_size + 1]);
    std::unique_ptr<unsigned char[]> out(new unsigned char[new_size + 1]);
    for (size_t i = 0; i < old_size; ++i) old[i] = data[i];
    for (size_t i = old_size; i < size; ++i) diff[i - old_size] = data[i];
    patch(out.get(), out.get() + new_size, old.get(), old.get() + old_size, diff.get(), diff.get() + (size - old_size));
    return 0;
}

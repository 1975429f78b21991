// Arbitrary old data, new data and writer options: the diff must give the new data back.
//
// Input: 8 option bytes, a 2-byte little-endian old length, then old and new bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../tests/diff/diff_reader.h"
#include "vko_diff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10) return 0;
    vkd_TDiffOptions o;
    vkd_default_options(&o);
    o.format = data[0] % 4;
    o.compress = data[1] % 4;
    o.level = 1 + data[1] / 64;  // fast levels keep the runs quick; the layout does not care
    o.checksum = data[2] % 3;
    o.step_mem_size = vkd_kMinStepMemSize + data[3] * 8;
    o.window_size = 1 + data[4] * 16 + (data[5] & 0x0F);
    o.ring_size = uint64_t(2) << (data[5] >> 4) % 6;
    o.vekko_dict_size = 1 + data[6] * 64;
    o.min_cover_gain = data[7] % 40;
    const size_t old_size = std::min<size_t>(data[8] | size_t(data[9]) << 8, size - 10);
    const std::vector<unsigned char> old_data(data + 10, data + 10 + old_size);
    const std::vector<unsigned char> new_data(data + 10 + old_size, data + size);
    const std::vector<unsigned char> diff =
        vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), o);
    std::vector<unsigned char> back;
    try {
        back = vkd_test::apply_diff(old_data, diff, new_data.size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "diff refused: %s\n", e.what());
        std::abort();
    }
    if (back != new_data) {
        std::fprintf(stderr, "diff gives other data\n");
        std::abort();
    }
    return 0;
}

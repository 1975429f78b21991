// Arbitrary old data, new data and writer options: the diff must give the new data back,
// through the strict test reader and through the patch library.
//
// The priced cover search is also run on its own, with prices taken from the option bytes,
// and its covers written in the chosen format must give the new data back too.
//
// Input: 8 option bytes, a 2-byte little-endian old length, then old and new bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "../tests/diff/diff_reader.h"
#include "mirv_patch.h"
#include "mirv_plugins.h"
#include "vkd_cover.h"
#include "vkd_write.h"
#include "vko_diff.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// The patch library must give the new data back too, for the formats it applies.
// Listener memory: exactly what the head asks for, so that an understated step memory or
// window size shows.
std::vector<unsigned char> g_memory;

mirv_BOOL single_info(sspatch_TListener*, const mirv_singleCompressedDiffInfo* info, mirv_TDecompress** plugin,
                      unsigned char** cache, unsigned char** cache_end) {
    *plugin = info->compressed_size ? mirv_decompress_plugin(info->compress_type) : nullptr;
    g_memory.assign(size_t(mirv_SINGLE_STREAM_PATCH_MEM_SIZE(info->step_mem_size)), 0);
    *cache = g_memory.data();
    *cache_end = g_memory.data() + g_memory.size();
    return 1;
}

mirv_BOOL window_info(mirv_TWindowPatchListener*, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
                      mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old, mirv_BOOL* check_diff,
                      unsigned char** cache, unsigned char** cache_end) {
    *plugin = info->compressed_size ? mirv_decompress_plugin(info->compress_type) : nullptr;
    *checksum = info->checksum_size ? mirv_checksum_plugin(info->checksum_type) : nullptr;
    *check_new = *check_old = *check_diff = info->checksum_size != 0;
    g_memory.assign(size_t(mirv_WINDOW_PATCH_MEM_SIZE(info->window_size, info->step_mem_size)), 0);
    *cache = g_memory.data();
    *cache_end = g_memory.data() + g_memory.size();
    return 1;
}

void check_with_patch_library(int format, const std::vector<unsigned char>& old_data,
                              const std::vector<unsigned char>& new_data, const std::vector<unsigned char>& diff) {
    std::vector<unsigned char> out(new_data.size() + 1, 0xEE), cache(16384);
    mirv_TStreamInput old_stream, diff_stream;
    mirv_TStreamOutput new_stream;
    mem_as_mirvStreamInput(&old_stream, old_data.data(), old_data.data() + old_data.size());
    mem_as_mirvStreamInput(&diff_stream, diff.data(), diff.data() + diff.size());
    mem_as_mirvStreamOutput(&new_stream, out.data(), out.data() + new_data.size());
    mirv_BOOL ok;
    if (format == vkd_FORMAT_SINGLE) {
        sspatch_TListener listener{nullptr, single_info, nullptr};
        ok = patch_single_stream(&listener, &new_stream, &old_stream, &diff_stream, 0, nullptr);
    } else if (format == vkd_FORMAT_WINDOW) {
        mirv_TWindowPatchListener listener{nullptr, window_info, nullptr};
        ok = patch_window_diff(&listener, &new_stream, &old_stream, &diff_stream, 0) == mirv_kWindowPatchOk;
    } else if (format == vkd_FORMAT_SERIALIZED) {
        ok = patch_stream_with_cache(&new_stream, &old_stream, &diff_stream, cache.data(), cache.data() + cache.size());
    } else {
        mirv_compressedDiffInfo info;
        if (!getCompressedDiffInfo(&info, &diff_stream)) fail("head refused by the patch library");
        mirv_TDecompress* plugin = info.compressed_count ? mirv_decompress_plugin(info.compress_type) : nullptr;
        ok = patch_decompress_with_cache(&new_stream, &old_stream, &diff_stream, plugin, cache.data(),
                                         cache.data() + cache.size());
    }
    if (!ok) fail("diff refused by the patch library");
    if (!std::equal(new_data.begin(), new_data.end(), out.begin())) fail("patch library gives other data");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10) return 0;
    vkd_TDiffOptions o;
    vkd_default_options(&o);
    o.format = data[0] % 4;
    o.compress = data[1] % 4;
    // Fast levels keep the runs quick (the layout does not care); the strongest one takes the
    // writer's ranking of candidate diffs at a quicker level.
    o.level = data[1] >= 192 ? vkd_kDefaultLevel : 1 + data[1] / 64;
    o.checksum = data[2] % 3;
    o.step_mem_size = vkd_kMinStepMemSize + data[3] * 8;
    o.window_size = 1 + data[4] * 16 + (data[5] & 0x0F);
    o.ring_size = uint64_t(2) << (data[5] >> 4) % 6;
    o.vekko_dict_size = 1 + data[6] * 64;
    o.min_cover_gain = data[7] % 40;
    o.fast = data[7] >> 7;
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
    if (back != new_data) fail("diff gives other data");
    check_with_patch_library(o.format, old_data, new_data, diff);

    std::vector<vkd::detail::Prices> prices(1);
    prices[0].literal = 0.5 + data[3] % 16;
    prices[0].differ = 0.5 + data[4] % 24;
    prices[0].cover = data[6] % 16;
    prices[0].step_log = (data[7] & 0x60) ? 0.5 * ((data[7] >> 5) & 3) : 0;
    prices[0].count_log = (data[2] & 0x80) ? 1.2 : 0;
    const vkd::detail::CoverFinder finder(old_data.data(), old_data.size());
    const std::vector<vkd::Cover> covers = finder.find_priced(new_data.data(), new_data.size(), prices)[0];
    uint64_t end = 0;
    for (const vkd::Cover& c : covers) {
        if (c.length == 0 || c.new_pos < end || c.new_pos + c.length > new_data.size() ||
            c.old_pos + c.length > old_data.size())
            fail("priced cover out of order or range");
        end = c.new_pos + c.length;
    }
    const vkd::detail::Input in{old_data.data(), old_data.size(), new_data.data(), new_data.size()};
    const std::vector<unsigned char> priced = vkd::detail::write_diff(in, covers, o);
    if (vkd_test::apply_diff(old_data, priced, new_data.size()) != new_data) fail("priced diff gives other data");
    check_with_patch_library(o.format, old_data, new_data, priced);
    return 0;
}

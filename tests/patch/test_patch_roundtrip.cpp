/* Diffs from the diff writer, applied by every entry point that reads their format. */
#include <gtest/gtest.h>

#include <random>

#include "mirv_plugins.h"
#include "patch_test_util.h"
#include "vko_diff.h"

using namespace patch_test;

namespace {

/* An "update": old data with records moved, edited and inserted. */
void makePair(uint32_t seed, size_t size, Bytes* old_data, Bytes* new_data) {
    std::mt19937 rng(seed);
    old_data->resize(size);
    for (size_t i = 0; i < size; ++i) old_data->at(i) = (unsigned char)((i % 97 < 50) ? (i * 7) >> 3 : rng());
    new_data->clear();
    size_t at = 0;
    while (at < size) {
        size_t len = 200 + rng() % 3000, from = rng() % size;
        if (from + len > size) len = size - from;
        size_t start = new_data->size();
        new_data->insert(new_data->end(), old_data->begin() + from, old_data->begin() + from + len);
        for (size_t k = start; k < new_data->size(); k += 50 + rng() % 200) (*new_data)[k] += (unsigned char)(1 + rng() % 4);
        for (int k = rng() % 20; k > 0; --k) new_data->push_back((unsigned char)rng());
        at += len;
    }
}

bool applyStream(const Bytes& old_data, const Bytes& new_data, const Bytes& diff, bool compressed,
                 mirv_TDecompress* plugin, size_t mem_size) {
    InStream old_in(old_data), diff_in(diff);
    OutStream out(new_data.size());
    std::vector<unsigned char> mem(mem_size ? mem_size : 1);
    bool ok;
    if (compressed)
        ok = mem_size ? patch_decompress_with_cache(out.get(), old_in.get(), diff_in.get(), plugin, mem.data(),
                                                    mem.data() + mem_size)
                      : patch_decompress(out.get(), old_in.get(), diff_in.get(), plugin);
    else
        ok = mem_size ? patch_stream_with_cache(out.get(), old_in.get(), diff_in.get(), mem.data(), mem.data() + mem_size)
                      : patch_stream(out.get(), old_in.get(), diff_in.get());
    return ok && out.data == new_data;
}

} // namespace

TEST(DiffWriterRoundTrip, SerializedDiffsApplyInMemoryAndThroughStreams) {
    for (uint32_t seed : {1u, 2u}) {
        Bytes old_data, new_data;
        makePair(seed, 60000 * seed, &old_data, &new_data);
        vkd_TDiffOptions options;
        vkd_default_options(&options);
        options.format = vkd_FORMAT_SERIALIZED;
        Bytes diff = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), options);
        Bytes out(new_data.size());
        ASSERT_TRUE(patch(out.data(), out.data() + out.size(), old_data.data(), old_data.data() + old_data.size(),
                          diff.data(), diff.data() + diff.size()));
        EXPECT_EQ(out, new_data);
        for (size_t mem : {(size_t)0, (size_t)1000, (size_t)40000, old_data.size() + 8 * 4096 + 40})
            EXPECT_TRUE(applyStream(old_data, new_data, diff, false, nullptr, mem)) << mem;
    }
}

TEST(DiffWriterRoundTrip, CompressedDiffsApplyThroughEveryPlugin) {
    Bytes old_data, new_data;
    makePair(3, 80000, &old_data, &new_data);
    for (int compress : {vkd_COMPRESS_NONE, vkd_COMPRESS_ZLIB, vkd_COMPRESS_ZSTD, vkd_COMPRESS_VEKKO}) {
        SCOPED_TRACE(compress);
        vkd_TDiffOptions options;
        vkd_default_options(&options);
        options.format = vkd_FORMAT_COMPRESSED;
        options.compress = compress;
        options.vekko_dict_size = 65536;
        options.level = compress == vkd_COMPRESS_ZSTD ? 3 : vkd_kDefaultLevel;
        Bytes diff = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), options);
        mirv_compressedDiffInfo info;
        InStream diff_in(diff);
        ASSERT_TRUE(getCompressedDiffInfo(&info, diff_in.get()));
        EXPECT_EQ(info.new_size, new_data.size());
        mirv_TDecompress* plugin = mirv_decompress_plugin(info.compress_type);
        if (compress != vkd_COMPRESS_NONE) {
            EXPECT_STREQ(info.compress_type, vkd::compress_type_name(compress));
            ASSERT_NE(plugin, nullptr);
        }
        for (size_t mem : {(size_t)0, (size_t)6 * 264, (size_t)30000, old_data.size() + 6 * 4096 + 40})
            EXPECT_TRUE(applyStream(old_data, new_data, diff, true, plugin, mem)) << mem;
        /* cut anywhere, the diff is refused */
        for (size_t at = 0; at < diff.size(); at += 1 + diff.size() / 60)
            EXPECT_FALSE(applyStream(old_data, new_data, Bytes(diff.begin(), diff.begin() + at), true, plugin, 0)) << at;
    }
}

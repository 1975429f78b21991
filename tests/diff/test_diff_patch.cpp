// Diffs from the writer applied by the patch library: old -> diff -> new for every format
// the library applies, every compression and the usual kinds of change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_data.h"
#include "vko_diff.h"

#if defined(__has_include)
#if __has_include("mirv_patch.h") && __has_include("mirv_plugins.h")
#define VKD_TEST_HAVE_PATCH 1
#include "mirv_patch.h"
#include "mirv_plugins.h"
#endif
#endif

namespace {

using Bytes = std::vector<unsigned char>;

#if VKD_TEST_HAVE_PATCH

struct Pair {
    std::string name;
    Bytes old_data, new_data;
};

std::vector<Pair> pairs() {
    using vekko_test::randomBytes;
    using vekko_test::textLike;
    const Bytes text = textLike(60000, 21);
    const Bytes code = randomBytes(40000, 22, 32);
    std::vector<Pair> out = {{"both empty", {}, {}}, {"empty old", {}, text}, {"empty new", text, {}},
                             {"identical", text, text}, {"unrelated", randomBytes(9000, 23), randomBytes(11000, 24)}};
    Bytes one = text;
    one[12345] ^= 0x80;
    out.push_back({"one byte changed", text, one});
    Bytes moved(text.begin() + 40000, text.end());
    moved.insert(moved.end(), text.begin(), text.begin() + 40000);
    out.push_back({"blocks moved", text, moved});
    Bytes shifted(code.begin() + 64, code.end());
    for (size_t i = 3; i < shifted.size(); i += 12) shifted[i] = static_cast<unsigned char>(shifted[i] + 8);
    out.push_back({"addresses changed", code, shifted});
    return out;
}

Bytes make(const Pair& p, int format, int compress) {
    vkd_TDiffOptions o;
    vkd_default_options(&o);
    o.format = format;
    o.compress = compress;
    o.level = 3;
    o.vekko_dict_size = 8192;
    return vkd::create_diff(p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size(), o);
}

// The new data through the library's stream entry with `memory` bytes of work memory.
bool stream_patch(const Pair& p, const Bytes& diff, bool compressed, size_t memory, Bytes& out) {
    out.assign(p.new_data.size(), 0xEE);
    mirv_TStreamInput old_stream, diff_stream;
    mirv_TStreamOutput new_stream;
    mem_as_mirvStreamInput(&old_stream, p.old_data.data(), p.old_data.data() + p.old_data.size());
    mem_as_mirvStreamInput(&diff_stream, diff.data(), diff.data() + diff.size());
    mem_as_mirvStreamOutput(&new_stream, out.data(), out.data() + out.size());
    Bytes cache(memory);
    if (!compressed)
        return patch_stream_with_cache(&new_stream, &old_stream, &diff_stream, cache.data(), cache.data() + cache.size());
    mirv_compressedDiffInfo info;
    if (!getCompressedDiffInfo(&info, &diff_stream)) return false;
    mirv_TDecompress* plugin = info.compressed_count ? mirv_decompress_plugin(info.compress_type) : nullptr;
    return patch_decompress_with_cache(&new_stream, &old_stream, &diff_stream, plugin, cache.data(),
                                       cache.data() + cache.size());
}

TEST(DiffThroughPatch, SerializedInMemoryAndStreamed) {
    for (const Pair& p : pairs()) {
        const Bytes diff = make(p, vkd_FORMAT_SERIALIZED, vkd_COMPRESS_NONE);
        Bytes out(p.new_data.size() + 1);
        EXPECT_TRUE(patch(out.data(), out.data() + p.new_data.size(), p.old_data.data(),
                          p.old_data.data() + p.old_data.size(), diff.data(), diff.data() + diff.size()))
            << p.name;
        out.resize(p.new_data.size());
        EXPECT_EQ(out, p.new_data) << p.name;
        for (size_t memory : {size_t(4096), size_t(1) << 20}) {
            EXPECT_TRUE(stream_patch(p, diff, false, memory, out)) << p.name << " memory " << memory;
            EXPECT_EQ(out, p.new_data) << p.name << " memory " << memory;
        }
    }
}

TEST(DiffThroughPatch, CompressedWithEveryCompression) {
    for (const Pair& p : pairs()) {
        for (int compress : {vkd_COMPRESS_NONE, vkd_COMPRESS_ZLIB, vkd_COMPRESS_ZSTD, vkd_COMPRESS_VEKKO}) {
            const Bytes diff = make(p, vkd_FORMAT_COMPRESSED, compress);
            for (size_t memory : {size_t(8192), size_t(1) << 20}) {
                Bytes out;
                EXPECT_TRUE(stream_patch(p, diff, true, memory, out))
                    << p.name << " " << vkd::compress_type_name(compress) << " memory " << memory;
                EXPECT_EQ(out, p.new_data) << p.name << " " << vkd::compress_type_name(compress);
            }
        }
    }
}

TEST(DiffThroughPatch, ADiffForOtherOldDataIsRefused) {
    const std::vector<Pair> all = pairs();
    const Pair& p = all[5];  // one byte changed
    const Bytes diff = make(p, vkd_FORMAT_COMPRESSED, vkd_COMPRESS_ZSTD);
    Pair shorter = p;
    shorter.old_data.pop_back();
    Bytes out;
    EXPECT_FALSE(stream_patch(shorter, diff, true, 65536, out));
}

// The library applies single-stream and window diffs later; their heads it reads already.
TEST(DiffThroughPatch, SingleAndWindowHeadsPassTheLibraryChecks) {
    for (const Pair& p : pairs()) {
        for (int compress : {vkd_COMPRESS_NONE, vkd_COMPRESS_ZSTD, vkd_COMPRESS_VEKKO}) {
            vkd_TDiffOptions o;
            vkd_default_options(&o);
            o.compress = compress;
            o.level = 3;
            o.step_mem_size = 256;
            o.window_size = 3000;
            o.ring_size = 4;
            o.checksum = compress == vkd_COMPRESS_ZSTD ? vkd_CHECKSUM_XXH64 : vkd_CHECKSUM_CRC32;
            const std::string what = p.name + " " + vkd::compress_type_name(compress);

            o.format = vkd_FORMAT_SINGLE;
            Bytes diff = vkd::create_diff(p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size(), o);
            mirv_TStreamInput stream;
            mem_as_mirvStreamInput(&stream, diff.data(), diff.data() + diff.size());
            mirv_singleCompressedDiffInfo single;
            ASSERT_TRUE(getSingleCompressedDiffInfo(&single, &stream, 0)) << what;
            EXPECT_EQ(single.new_size, p.new_data.size()) << what;
            EXPECT_EQ(single.old_size, p.old_data.size()) << what;
            EXPECT_LE(single.step_mem_size, o.step_mem_size) << what;
            EXPECT_EQ(single.diff_data_pos + (single.compressed_size ? single.compressed_size : single.uncompressed_size),
                      diff.size())
                << what;
            if (single.compressed_size) {
                EXPECT_STREQ(single.compress_type, vkd::compress_type_name(compress)) << what;
            }

            o.format = vkd_FORMAT_WINDOW;
            diff = vkd::create_diff(p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size(), o);
            mem_as_mirvStreamInput(&stream, diff.data(), diff.data() + diff.size());
            mirv_windowDiffInfo window;
            ASSERT_TRUE(getWindowDiffInfo(&window, &stream, 0)) << what;
            EXPECT_EQ(window.new_size, p.new_data.size()) << what;
            EXPECT_EQ(window.old_size, p.old_data.size()) << what;
            EXPECT_LE(window.window_size, o.window_size) << what;
            EXPECT_EQ(window.ring_size, o.ring_size) << what;
            EXPECT_STREQ(window.checksum_type, vkd::checksum_type_name(o.checksum)) << what;
            EXPECT_EQ(window.skip_size, 0u) << what;
            EXPECT_EQ(window.head_size + (window.compressed_size ? window.compressed_size : window.uncompressed_size),
                      diff.size())
                << what;
        }
    }
}

#else

TEST(DiffThroughPatch, NeedsThePatchLibrary) { GTEST_SKIP() << "the patch library is not part of this build"; }

#endif

}  // namespace

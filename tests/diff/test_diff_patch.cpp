// Diffs from the writer applied by the patch library: old -> diff -> new for every format
// the library applies, every compression and the usual kinds of change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mirv_patch.h"
#include "mirv_plugins.h"
#include "test_data.h"
#include "vko_diff.h"

namespace {

using Bytes = std::vector<unsigned char>;

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

struct Memory {
    std::vector<unsigned char> bytes;
    mirv_TDecompress* plugin = nullptr;
    mirv_TChecksum* checksum = nullptr;
    bool check = true;
    bool finished = false;
};

struct SingleListener {
    sspatch_TListener base;
    Memory* memory;
};

struct WindowListener {
    mirv_TWindowPatchListener base;
    Memory* memory;
};

// The new data through the library's single-stream patch, with the least work memory
// the diff asks for (plus `extra`).
bool single_patch(const Pair& p, const Bytes& diff, size_t extra, Bytes& out) {
    Memory memory;
    SingleListener listener{{&memory,
                             [](sspatch_TListener* l, const mirv_singleCompressedDiffInfo* info, mirv_TDecompress** plugin,
                                unsigned char** cache, unsigned char** cache_end) -> mirv_BOOL {
                                 Memory* m = static_cast<Memory*>(l->owner);
                                 *plugin = info->compressed_size ? mirv_decompress_plugin(info->compress_type) : nullptr;
                                 m->bytes.resize(size_t(mirv_SINGLE_STREAM_PATCH_MEM_SIZE(info->step_mem_size)) + m->bytes.size());
                                 *cache = m->bytes.data();
                                 *cache_end = m->bytes.data() + m->bytes.size();
                                 return 1;
                             },
                             [](sspatch_TListener* l, unsigned char*, unsigned char*) {
                                 static_cast<Memory*>(l->owner)->finished = true;
                             }},
                            &memory};
    memory.bytes.resize(extra);
    out.assign(p.new_data.size(), 0xEE);
    mirv_TStreamInput old_stream, diff_stream;
    mirv_TStreamOutput new_stream;
    mem_as_mirvStreamInput(&old_stream, p.old_data.data(), p.old_data.data() + p.old_data.size());
    mem_as_mirvStreamInput(&diff_stream, diff.data(), diff.data() + diff.size());
    mem_as_mirvStreamOutput(&new_stream, out.data(), out.data() + out.size());
    const bool ok = patch_single_stream(&listener.base, &new_stream, &old_stream, &diff_stream, 0, nullptr);
    return ok && memory.finished;
}

// The window patch's result code, with every check on and the least work memory the diff asks for.
int window_patch(const Bytes& old_data, size_t new_size, const Bytes& diff, Bytes& out) {
    Memory memory;
    WindowListener listener{
        {&memory,
         [](mirv_TWindowPatchListener* l, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
            mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old, mirv_BOOL* check_diff,
            unsigned char** cache, unsigned char** cache_end) -> mirv_BOOL {
             Memory* m = static_cast<Memory*>(l->owner);
             *plugin = info->compressed_size ? mirv_decompress_plugin(info->compress_type) : nullptr;
             *checksum = info->checksum_size ? mirv_checksum_plugin(info->checksum_type) : nullptr;
             *check_new = *check_old = *check_diff = info->checksum_size != 0;
             if (info->step_mem_size + info->window_size > (uint64_t(64) << 20)) return 0;  // more than any test needs
             m->bytes.resize(size_t(mirv_WINDOW_PATCH_MEM_SIZE(info->window_size, info->step_mem_size)));
             *cache = m->bytes.data();
             *cache_end = m->bytes.data() + m->bytes.size();
             return 1;
         },
         nullptr},
        &memory};
    out.assign(new_size, 0xEE);
    mirv_TStreamInput old_stream, diff_stream;
    mirv_TStreamOutput new_stream;
    mem_as_mirvStreamInput(&old_stream, old_data.data(), old_data.data() + old_data.size());
    mem_as_mirvStreamInput(&diff_stream, diff.data(), diff.data() + diff.size());
    mem_as_mirvStreamOutput(&new_stream, out.data(), out.data() + out.size());
    return patch_window_diff(&listener.base, &new_stream, &old_stream, &diff_stream, 0);
}

TEST(DiffThroughPatch, SingleStreamWithEveryCompressionAndStepMemory) {
    for (const Pair& p : pairs()) {
        for (int compress : {vkd_COMPRESS_NONE, vkd_COMPRESS_ZLIB, vkd_COMPRESS_ZSTD, vkd_COMPRESS_VEKKO}) {
            for (uint64_t step_mem : {uint64_t(64), uint64_t(4096), uint64_t(1) << 20}) {
                vkd_TDiffOptions o;
                vkd_default_options(&o);
                o.format = vkd_FORMAT_SINGLE;
                o.compress = compress;
                o.level = 3;
                o.vekko_dict_size = 8192;
                o.step_mem_size = step_mem;
                const Bytes diff =
                    vkd::create_diff(p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size(), o);
                const std::string what = p.name + " " + vkd::compress_type_name(compress) + " step " +
                                         std::to_string(step_mem);
                for (size_t extra : {size_t(0), size_t(4) << 20}) {  // least memory; enough for the step cache
                    Bytes out;
                    EXPECT_TRUE(single_patch(p, diff, extra, out)) << what << " extra " << extra;
                    EXPECT_EQ(out, p.new_data) << what << " extra " << extra;
                }
            }
        }
    }
}

TEST(DiffThroughPatch, WindowWithEveryCompressionChecksumAndShape) {
    struct Shape {
        uint64_t window, step_mem, ring;
    } shapes[] = {{1, 64, 2}, {700, 100, 2}, {16384, 4096, 4}, {1 << 20, 65536, 64}};
    for (const Pair& p : pairs()) {
        for (int compress : {vkd_COMPRESS_NONE, vkd_COMPRESS_ZLIB, vkd_COMPRESS_ZSTD, vkd_COMPRESS_VEKKO}) {
            for (int checksum : {vkd_CHECKSUM_NONE, vkd_CHECKSUM_CRC32, vkd_CHECKSUM_XXH64}) {
                for (const Shape& sh : shapes) {
                    vkd_TDiffOptions o;
                    vkd_default_options(&o);
                    o.format = vkd_FORMAT_WINDOW;
                    o.compress = compress;
                    o.checksum = checksum;
                    o.level = 3;
                    o.vekko_dict_size = 4096;
                    o.window_size = sh.window;
                    o.step_mem_size = sh.step_mem;
                    o.ring_size = sh.ring;
                    const Bytes diff =
                        vkd::create_diff(p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size(), o);
                    Bytes out;
                    const std::string what = p.name + " " + vkd::compress_type_name(compress) + " " +
                                             vkd::checksum_type_name(checksum) + " window " + std::to_string(sh.window);
                    EXPECT_EQ(window_patch(p.old_data, p.new_data.size(), diff, out), mirv_kWindowPatchOk) << what;
                    EXPECT_EQ(out, p.new_data) << what;
                }
            }
        }
    }
}

TEST(DiffThroughPatch, WindowChecksumsCatchOtherOldDataAndDamage) {
    const Bytes old_data = vekko_test::textLike(30000, 41);
    Bytes new_data = old_data;
    new_data[100] ^= 1;
    vkd_TDiffOptions o;
    vkd_device_options(&o);
    const Bytes diff = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), o);
    Bytes other_old = old_data;
    other_old[20000] ^= 4;  // a byte no cover reads is still in some window
    Bytes damaged = diff;
    damaged.back() ^= 0x10;
    Bytes out;
    EXPECT_EQ(window_patch(old_data, new_data.size(), diff, out), mirv_kWindowPatchOk);
    EXPECT_NE(window_patch(other_old, new_data.size(), diff, out), mirv_kWindowPatchOk);
    EXPECT_NE(window_patch(old_data, new_data.size(), damaged, out), mirv_kWindowPatchOk);
}

// The default diff is for a device in the field: the old file there may be another build of
// the same size, or already the new one, and the diff may arrive damaged.  None of that may
// end in a new file reported as good.
TEST(DiffThroughPatch, DefaultDiffRefusesAWrongOldAndEveryBitFlip) {
    const Bytes old_data = vekko_test::randomBytes(40000, 51, 32);
    Bytes new_data = old_data;
    for (size_t i = 5; i < new_data.size(); i += 37) new_data[i] = static_cast<unsigned char>(new_data[i] + 4);
    vkd_TDiffOptions o;
    vkd_default_options(&o);
    const Bytes diff = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), o);
    mirv_TStreamInput stream;
    mem_as_mirvStreamInput(&stream, diff.data(), diff.data() + diff.size());
    mirv_windowDiffInfo info;
    ASSERT_TRUE(getWindowDiffInfo(&info, &stream, 0));
    ASSERT_NE(info.checksum_size, 0u);
    Bytes out;
    ASSERT_EQ(window_patch(old_data, new_data.size(), diff, out), mirv_kWindowPatchOk);
    ASSERT_EQ(out, new_data);

    Bytes one_byte = old_data, last_byte = old_data;
    one_byte[20000] ^= 0x40;
    last_byte.back() ^= 1;
    const struct {
        const char* name;
        Bytes old_data;
    } wrong_olds[] = {{"one byte changed", one_byte},
                      {"last byte changed", last_byte},
                      {"already updated", new_data},
                      {"erased", Bytes(old_data.size(), 0xFF)}};
    for (const auto& w : wrong_olds)
        EXPECT_NE(window_patch(w.old_data, new_data.size(), diff, out), mirv_kWindowPatchOk) << w.name;

    // A flip anywhere is refused, except in the stored old-data and diff checksums: when the
    // new data comes out matching its checksum the patch stands by it without reading those.
    const size_t head = size_t(info.head_size), sum = size_t(info.checksum_size);
    const struct {
        const char* name;
        size_t at;
        bool may_pass_with_new_verified;
    } flips[] = {{"signature", 0, false},
                 {"head length", 8, false},
                 {"compression name", 10, false},
                 {"skip size", head - 3 * sum - 1, false},
                 {"old checksum", head - 3 * sum, true},
                 {"new checksum", head - 2 * sum, false},
                 {"diff checksum", head - 1, true},
                 {"body start", head, false},
                 {"body middle", (head + diff.size()) / 2, false},
                 {"body end", diff.size() - 1, false}};
    for (const auto& f : flips) {
        for (int bit : {0, 3, 7}) {
            Bytes flipped = diff;
            flipped[f.at] ^= static_cast<unsigned char>(1 << bit);
            const int result = window_patch(old_data, new_data.size(), flipped, out);
            if (f.may_pass_with_new_verified && result == mirv_kWindowPatchOk)
                EXPECT_EQ(out, new_data) << f.name << " bit " << bit;
            else
                EXPECT_NE(result, mirv_kWindowPatchOk) << f.name << " bit " << bit;
        }
    }
}

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

}  // namespace

// The device plug-ins: crc32 against zlib, and window diffs from the diff writer's device
// preset applied with a fixed static work buffer, checks on.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "device_example.h"
#include "mirv_device_plugins.h"
#include "mirv_plugins.h"
#include "test_data.h"
#include "vko_diff.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(DeviceCrc32, MatchesZlibAcrossSplits) {
    for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(4096), size_t(100003)}) {
        const Bytes data = vekko_test::randomBytes(n, 50 + n);
        const uint32_t want = uint32_t(crc32(0, data.data(), uInt(data.size())));
        EXPECT_EQ(mirv_device_crc32(0, data.data(), data.data() + n), want) << n;
        // through the plug-in, in two appends, little-endian
        mirv_TDeviceCrc32 record;
        mirv_TChecksum* c = mirv_device_crc32_init(&record);
        EXPECT_EQ(std::string(c->checksum_type()), "crc32");
        void* h = c->open(c);
        ASSERT_NE(h, nullptr);
        c->begin(h);
        c->append(h, data.data(), data.data() + n / 3);
        c->append(h, data.data() + n / 3, data.data() + n);
        unsigned char out[4];
        c->end(h, out, out + 4);
        EXPECT_EQ(out[0] | out[1] << 8 | out[2] << 16 | uint32_t(out[3]) << 24, want) << n;
        c->close(c, h);
    }
}

TEST(DeviceCrc32, HandsOutAFixedNumberOfHandles) {
    mirv_TDeviceCrc32 record;
    mirv_TChecksum* c = mirv_device_crc32_init(&record);
    void* handles[mirv_kDeviceCrc32Handles];
    for (void*& h : handles) ASSERT_NE(h = c->open(c), nullptr);
    EXPECT_EQ(c->open(c), nullptr);
    c->close(c, handles[1]);
    EXPECT_EQ(c->open(c), handles[1]);
}

// Work memory as a device would hold it: static, sized for the device preset.
unsigned char g_vekko_work[16384 + 256];
unsigned char g_patch_memory[mirv_WINDOW_PATCH_MEM_SIZE(16384, 4096)];

struct DeviceSetup {
    size_t vekko_work_size = sizeof(g_vekko_work);
    bool host_plugins = false;  // the host plug-ins instead, to compare with
    mirv_TDeviceVekko vekko;
    mirv_TDeviceCrc32 crc;
};

int device_window_patch(DeviceSetup& setup, const Bytes& old_data, size_t new_size, const Bytes& diff, Bytes& out) {
    mirv_TWindowPatchListener listener = {
        &setup,
        [](mirv_TWindowPatchListener* l, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
           mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old, mirv_BOOL* check_diff,
           unsigned char** cache, unsigned char** cache_end) -> mirv_BOOL {
            DeviceSetup* s = static_cast<DeviceSetup*>(l->owner);
            *plugin = s->host_plugins ? mirv_decompress_plugin("vekko")
                                      : mirv_device_vekko_init(&s->vekko, g_vekko_work, s->vekko_work_size);
            *checksum = s->host_plugins ? mirv_checksum_plugin("crc32") : mirv_device_crc32_init(&s->crc);
            *check_new = *check_old = *check_diff = 1;
            if (mirv_WINDOW_PATCH_MEM_SIZE(info->window_size, info->step_mem_size) > sizeof(g_patch_memory)) return 0;
            *cache = g_patch_memory;
            *cache_end = g_patch_memory + sizeof(g_patch_memory);
            return 1;
        },
        nullptr};
    out.assign(new_size, 0xEE);
    mirv_TStreamInput old_stream, diff_stream;
    mirv_TStreamOutput new_stream;
    mem_as_mirvStreamInput(&old_stream, old_data.data(), old_data.data() + old_data.size());
    mem_as_mirvStreamInput(&diff_stream, diff.data(), diff.data() + diff.size());
    mem_as_mirvStreamOutput(&new_stream, out.data(), out.data() + out.size());
    return patch_window_diff(&listener, &new_stream, &old_stream, &diff_stream, 0);
}

Bytes device_diff(const Bytes& old_data, const Bytes& new_data) {
    vkd_TDiffOptions o;
    vkd_device_options(&o);
    return vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), o);
}

struct Pair {
    const char* name;
    Bytes old_data, new_data;
};

std::vector<Pair> pairs() {
    const Bytes text = vekko_test::textLike(70000, 61);
    Bytes edited = text;
    for (size_t i = 100; i < edited.size(); i += 997) edited[i] ^= 0x21;
    edited.insert(edited.begin() + 30000, text.begin(), text.begin() + 5000);
    Bytes grown = text;
    const Bytes noise = vekko_test::randomBytes(20000, 62);
    grown.insert(grown.end(), noise.begin(), noise.end());
    return {{"edited", text, edited},
            {"grown", text, grown},
            {"from nothing", {}, vekko_test::textLike(9000, 63)},
            {"to nothing", text, {}}};
}

TEST(DeviceWindowPatch, AppliesDevicePresetDiffsWithChecks) {
    for (const Pair& p : pairs()) {
        const Bytes diff = device_diff(p.old_data, p.new_data);
        DeviceSetup setup;
        Bytes out;
        EXPECT_EQ(device_window_patch(setup, p.old_data, p.new_data.size(), diff, out), mirv_kWindowPatchOk) << p.name;
        EXPECT_EQ(out, p.new_data) << p.name;
        EXPECT_FALSE(setup.vekko.is_open) << p.name;
    }
}

TEST(DeviceWindowPatch, RefusesDamageAndTooSmallAWindow) {
    const Pair p = pairs()[1];  // a body of some kilobytes, with a window to match
    const Bytes diff = device_diff(p.old_data, p.new_data);
    mirv_windowDiffInfo info;
    mirv_TStreamInput stream;
    mem_as_mirvStreamInput(&stream, diff.data(), diff.data() + diff.size());
    ASSERT_TRUE(getWindowDiffInfo(&info, &stream, 0));
    ASSERT_NE(info.compressed_size, 0u);
    Bytes out;
    // Bytes of the compressed body damaged in turn: the device plug-ins judge each diff as
    // the host ones do (a match may still copy equal bytes, so not every flip is a failure),
    // and most fail.
    int failures = 0, tries = 0;
    for (uint64_t pos = info.head_size + 4; pos < diff.size(); pos += 1 + diff.size() / 300, tries++) {
        Bytes damaged = diff;
        damaged[pos] ^= 0x5A;
        DeviceSetup device, host;
        host.host_plugins = true;
        const int result = device_window_patch(device, p.old_data, p.new_data.size(), damaged, out);
        EXPECT_EQ(result, device_window_patch(host, p.old_data, p.new_data.size(), damaged, out)) << pos;
        failures += result != mirv_kWindowPatchOk;
    }
    EXPECT_GT(failures, tries * 3 / 4);
    // a stream header asking for more window than the buffer holds
    Bytes huge_window = diff;
    huge_window[info.head_size + 3] = 0x40;
    DeviceSetup setup;
    EXPECT_NE(device_window_patch(setup, p.old_data, p.new_data.size(), huge_window, out), mirv_kWindowPatchOk);
    // a work buffer whose window part is smaller than the stream's header window
    const size_t window = diff[info.head_size] | diff[info.head_size + 1] << 8 | diff[info.head_size + 2] << 16;
    DeviceSetup small;
    small.vekko_work_size = window + mirv_kDeviceVekkoMinCache - 1;
    EXPECT_NE(device_window_patch(small, p.old_data, p.new_data.size(), diff, out), mirv_kWindowPatchOk);
    mirv_TDeviceVekko v;
    mirv_TDecompress* d = mirv_device_vekko_init(&v, g_vekko_work, small.vekko_work_size);
    EXPECT_EQ(d->open(d, info.uncompressed_size, &stream, info.head_size, info.head_size + info.compressed_size),
              nullptr);
    small.vekko_work_size = window + mirv_kDeviceVekkoMinCache;
    EXPECT_EQ(device_window_patch(small, p.old_data, p.new_data.size(), diff, out), mirv_kWindowPatchOk);
    EXPECT_EQ(out, p.new_data);
}

TEST(DeviceVekko, LastPartFailsUnlessTheStreamEndsThere) {
    // A stream of known decoded size, with a byte more than announced and one less, and announced
    // empty (then its end code must come first, checked at open).
    const Pair p = pairs()[0];
    const Bytes diff = device_diff(p.old_data, p.new_data);
    mirv_windowDiffInfo info;
    mirv_TStreamInput stream;
    mem_as_mirvStreamInput(&stream, diff.data(), diff.data() + diff.size());
    ASSERT_TRUE(getWindowDiffInfo(&info, &stream, 0));
    const uint64_t begin = info.head_size, end = begin + info.compressed_size;
    Bytes decoded(size_t(info.uncompressed_size) + 1);
    for (int64_t delta : {int64_t(0), int64_t(-1), int64_t(1), -int64_t(info.uncompressed_size)}) {
        mirv_TDeviceVekko v;
        mirv_TDecompress* d = mirv_device_vekko_init(&v, g_vekko_work, sizeof(g_vekko_work));
        const uint64_t size = info.uncompressed_size + delta;
        void* h = d->open(d, size, &stream, begin, end);
        if (size == 0) {
            EXPECT_EQ(h, nullptr);
            continue;
        }
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(d->open(d, size, &stream, begin, end), nullptr);  // one at a time
        const bool ok = d->decompress_part(h, decoded.data(), decoded.data() + size);
        EXPECT_EQ(ok, delta == 0) << delta;
        EXPECT_EQ(d->close(d, h), delta == 0) << delta;
    }
}

}  // namespace

// The device example's update: its embedded window diff, applied on the host.
TEST(DeviceExample, PatchesOnTheHost) { EXPECT_EQ(device_patch_run(), 0); }

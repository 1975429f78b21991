// Diffs made for a RAM budget: within the budget by the device figure, and applied by the
// patch library with the device plug-ins in exactly the memory the diff's head asks for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mirv_device_plugins.h"
#include "test_data.h"
#include "vko_diff.h"

namespace {

using Bytes = std::vector<unsigned char>;

// What a device reads before it sizes its buffers: the head, and the vekko body's window.
struct Head {
    mirv_windowDiffInfo info;
    uint64_t dict = 0;
};

Head read_head(const Bytes& diff) {
    Head h;
    mirv_TStreamInput stream;
    mem_as_mirvStreamInput(&stream, diff.data(), diff.data() + diff.size());
    EXPECT_TRUE(getWindowDiffInfo(&h.info, &stream, 0));
    if (h.info.compressed_size) {
        const unsigned char* p = diff.data() + h.info.head_size;
        h.dict = p[0] | p[1] << 8 | p[2] << 16 | uint64_t(p[3]) << 24;
    }
    return h;
}

struct Device {
    Bytes patch_memory, vekko_work;
    mirv_TDeviceVekko vekko;
    mirv_TDeviceCrc32 crc;
};

// Applies diff as a device would, every check on, with the patch's work memory and the
// vekko plug-in's window and smallest cache exactly as large as the head says.
int device_patch(const Head& head, const Bytes& old_data, const Bytes& diff, Bytes& out) {
    Device d;
    d.patch_memory.resize(size_t(mirv_WINDOW_PATCH_MEM_SIZE(head.info.window_size, head.info.step_mem_size)));
    d.vekko_work.resize(size_t(mirv_DEVICE_VEKKO_WORK_SIZE(head.dict, mirv_kDeviceVekkoMinCache)));
    mirv_TWindowPatchListener listener = {
        &d,
        [](mirv_TWindowPatchListener* l, const mirv_windowDiffInfo*, mirv_TDecompress** plugin,
           mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old, mirv_BOOL* check_diff,
           unsigned char** cache, unsigned char** cache_end) -> mirv_BOOL {
            Device* dev = static_cast<Device*>(l->owner);
            *plugin = mirv_device_vekko_init(&dev->vekko, dev->vekko_work.data(), dev->vekko_work.size());
            *checksum = mirv_device_crc32_init(&dev->crc);
            *check_new = *check_old = *check_diff = 1;
            *cache = dev->patch_memory.data();
            *cache_end = dev->patch_memory.data() + dev->patch_memory.size();
            return 1;
        },
        nullptr};
    out.assign(size_t(head.info.new_size), 0xEE);
    mirv_TStreamInput old_stream, diff_stream;
    mirv_TStreamOutput new_stream;
    mem_as_mirvStreamInput(&old_stream, old_data.data(), old_data.data() + old_data.size());
    mem_as_mirvStreamInput(&diff_stream, diff.data(), diff.data() + diff.size());
    mem_as_mirvStreamOutput(&new_stream, out.data(), out.data() + out.size());
    return patch_window_diff(&listener, &new_stream, &old_stream, &diff_stream, 0);
}

TEST(RamDiff, FitsTheBudgetAndAppliesWithTheDevicePlugins) {
    const Bytes text = vekko_test::textLike(60000, 71);
    Bytes edited = text;
    for (size_t i = 50; i < edited.size(); i += 701) edited[i] ^= 0x11;
    edited.insert(edited.begin() + 20000, text.begin() + 40000, text.begin() + 45000);
    const Bytes code = vekko_test::randomBytes(30000, 72, 32);
    Bytes shifted(code.begin() + 48, code.end());
    for (size_t i = 5; i < shifted.size(); i += 16) shifted[i] = static_cast<unsigned char>(shifted[i] + 4);
    struct Pair {
        const char* name;
        Bytes old_data, new_data;
    } pairs[] = {{"edited text", text, edited},
                 {"moved code", code, shifted},
                 {"from nothing", {}, vekko_test::textLike(7000, 73)},
                 {"unrelated", vekko_test::randomBytes(5000, 74), vekko_test::randomBytes(6000, 75)}};
    for (const Pair& p : pairs) {
        for (uint64_t budget : {4096u, 8192u, 32768u}) {
            const std::string what = std::string(p.name) + " at " + std::to_string(budget);
            unsigned char* raw = nullptr;
            size_t size = 0;
            vkd_TDiffOptions chosen;
            ASSERT_EQ(vkd_create_diff_for_ram(p.old_data.data(), p.old_data.size(), p.new_data.data(),
                                              p.new_data.size(), budget, 0, &chosen, &raw, &size),
                      vkd_OK)
                << what;
            const Bytes diff(raw, raw + size);
            vkd_free(raw);
            EXPECT_EQ(chosen.format, vkd_FORMAT_WINDOW) << what;
            EXPECT_EQ(chosen.checksum, vkd_CHECKSUM_CRC32) << what;
            EXPECT_LE(vkd_device_ram_small(&chosen), budget) << what;
            // The same diff comes again from the options handed out.
            EXPECT_EQ(vkd::create_diff(p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size(),
                                       chosen),
                      diff)
                << what;

            const Head head = read_head(diff);
            EXPECT_LE(mirv_DEVICE_UPDATE_RAM_SMALL(head.info.window_size, head.info.step_mem_size,
                                                   head.info.ring_size, head.dict),
                      budget)
                << what;
            Bytes out;
            EXPECT_EQ(device_patch(head, p.old_data, diff, out), mirv_kWindowPatchOk) << what;
            EXPECT_EQ(out, p.new_data) << what;
        }
    }
}

TEST(RamDiff, RefusesBudgetsBelowTheSmallest) {
    const Bytes data = vekko_test::textLike(1000, 76);
    unsigned char* raw = nullptr;
    size_t size = 0;
    EXPECT_EQ(vkd_create_diff_for_ram(data.data(), data.size(), data.data(), data.size(), vkd_kMinRamBudget - 1, 0,
                                      nullptr, &raw, &size),
              vkd_BAD_OPTIONS);
    EXPECT_EQ(raw, nullptr);
    EXPECT_THROW(vkd::create_diff_for_ram(data.data(), data.size(), data.data(), data.size(), 100, 0, nullptr),
                 std::runtime_error);
}

}  // namespace

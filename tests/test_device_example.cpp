/* The device examples: on the host with this build's decoders, and on emulated
 * Cortex-M parts when the cross compiler and the emulator are installed. */
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "device_example.h"

namespace {

/* Runs `run-qemu ARGS` (with no ARGS, `run-qemu DIR`) in a fresh directory DIR with its
 * output in *log; returns its exit status. */
int run_qemu(const std::string& args, std::string* log) {
    char dir[] = "/tmp/vekko-device-XXXXXX";
    if (!mkdtemp(dir)) return -1;
    const std::string d = dir;
    const std::string command = "VKODIFF='" + std::string(VKODIFF_PATH) + "' VEKKO_DEVICE_OUT='" + d + "/work' '" +
                                VEKKO_SOURCE_DIR + "/examples/device/run-qemu' " +
                                (args.empty() ? "'" + d + "'" : args) + " > '" + d + "/log' 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(d + "/log");
    std::ostringstream text;
    text << in.rdbuf();
    *log = text.str();
    std::system(("rm -rf '" + d + "'").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(DeviceExample, DecodesFromFlashOnTheHost) { EXPECT_EQ(device_example_run(), 0); }

TEST(DeviceExample, DecodesOnAnEmulatedCortexM3) {
    std::string log;
    const int code = run_qemu("", &log);
    if (code == 77) GTEST_SKIP() << "arm-none-eabi-gcc or qemu-system-arm not installed (scripts/setup --device)";
    EXPECT_EQ(code, 0) << log;
}

/* Firmware updates on the emulated micro:bit from 8 KiB diffs: the script's own pair of
 * firmware builds, and a pair whose new image ends in a part of a flash word (the writer
 * programs flash a word at a time).  The new image must come out exactly and the RAM the
 * device reports must stay within the budget plus the stack it measured. */
TEST(DeviceExample, UpdatesAnEmulatedMicrobitWithin8KiB) {
    char dir[] = "/tmp/vekko-microbit-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    {
        std::string old_data, new_data;
        uint32_t x = 12345;
        for (int i = 0; i < 30000; i++) {
            x = x * 1103515245u + 12345u;
            old_data += static_cast<char>("firmware tables and code "[(x >> 16) % 25] ^ ((x >> 28) & 1));
        }
        new_data = old_data.substr(0, 9000) + "a new function" + old_data.substr(9100, 15000) + old_data.substr(200, 4003);
        std::ofstream(d + "/old", std::ios::binary) << old_data;
        std::ofstream(d + "/new", std::ios::binary) << new_data;
        ASSERT_NE(new_data.size() % 4, 0u);
    }
    const struct {
        const char* pair;
        std::string args;
    } cases[] = {{"firmware builds", "microbit"}, {"image ending mid-word", "microbit '" + d + "/old' '" + d + "/new'"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pair);
        std::string log;
        const int code = run_qemu(c.args, &log);
        if (code == 77) GTEST_SKIP() << "arm-none-eabi-gcc or qemu-system-arm not installed (scripts/setup --device)";
        EXPECT_EQ(code, 0) << log;
        const size_t at = log.find("peak RAM: ");
        ASSERT_NE(at, std::string::npos) << log;
        unsigned peak = 0, static_ram = 0, stack = 0;
        ASSERT_EQ(std::sscanf(log.c_str() + at, "peak RAM: %u bytes (static %u + stack %u)", &peak, &static_ram,
                              &stack),
                  3)
            << log;
        EXPECT_EQ(peak, static_ram + stack);
        EXPECT_GT(stack, 0u);
        EXPECT_LE(peak, 8192u + stack) << log;
    }
    std::system(("rm -rf '" + d + "'").c_str());
}

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

/* A firmware update on the emulated micro:bit from an 8 KiB diff: the new image comes out
 * exactly and the RAM the device reports stays within the budget plus its stack. */
TEST(DeviceExample, UpdatesAnEmulatedMicrobitWithin8KiB) {
    std::string log;
    const int code = run_qemu("microbit", &log);
    if (code == 77) GTEST_SKIP() << "arm-none-eabi-gcc or qemu-system-arm not installed (scripts/setup --device)";
    ASSERT_EQ(code, 0) << log;
    const size_t at = log.find("peak RAM: ");
    ASSERT_NE(at, std::string::npos) << log;
    unsigned peak = 0, static_ram = 0, stack = 0;
    ASSERT_EQ(std::sscanf(log.c_str() + at, "peak RAM: %u bytes (static %u + stack %u)", &peak, &static_ram, &stack),
              3)
        << log;
    EXPECT_EQ(peak, static_ram + stack);
    EXPECT_GT(stack, 0u);
    EXPECT_LE(peak, 8192u + stack) << log;
}

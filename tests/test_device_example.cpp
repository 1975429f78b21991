/* The device example: on the host with this build's decoders, and on an emulated
 * Cortex-M3 when the cross compiler and the emulator are installed. */
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "device_example.h"

TEST(DeviceExample, DecodesFromFlashOnTheHost) { EXPECT_EQ(device_example_run(), 0); }

TEST(DeviceExample, DecodesOnAnEmulatedCortexM3) {
    char dir[] = "/tmp/vekko-device-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string command =
        std::string(VEKKO_SOURCE_DIR) + "/examples/device/run-qemu '" + dir + "' > '" + dir + "/log' 2>&1";
    const int status = std::system(command.c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code != 0 && code != 77) std::system(("cat '" + std::string(dir) + "/log'").c_str());
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    if (code == 77) GTEST_SKIP() << "arm-none-eabi-gcc or qemu-system-arm not installed (scripts/setup --device)";
    EXPECT_EQ(code, 0);
}

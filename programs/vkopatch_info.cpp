/* vkopatch --info: what a diff's head says, one "name: value" line each.  Values a format does
 * not store are left out; for window diffs the RAM a device needs to apply it is worked out
 * from the head, in the patch library's size build and default build. */
#include <cstdio>
#include <cstring>

#include "mirv_device_plugins.h"
#include "mirv_patch.h"
#include "vkopatch.h"

namespace vkopatch {

using cli::Exit;

namespace {

void print_line(const char* name, const std::string& value) { std::printf("%s: %s\n", name, value.c_str()); }
void print_line(const char* name, uint64_t value) { print_line(name, std::to_string(value)); }

std::string hex_le(const unsigned char* bytes, size_t size) {
    std::string out;
    char digits[3];
    for (size_t i = size; i-- > 0;) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        out += digits;
    }
    return out;
}

std::string type_or_none(const char* type, bool used) { return used && type[0] ? type : "none"; }

void print_window_info(const mirv_TStreamInput& diff) {
    mirv_windowDiffInfo info;
    if (!getWindowDiffInfo(&info, &diff, 0)) throw Exit{cli::kBadDiff, "bad diff: unreadable window head"};
    const bool compressed = info.compressed_size != 0;
    print_line("format", "window");
    print_line("old size", info.old_size);
    print_line("new size", info.new_size);
    print_line("compression", type_or_none(info.compress_type, compressed));
    print_line("stored body", compressed ? info.compressed_size : info.uncompressed_size);
    print_line("body", info.uncompressed_size);
    print_line("checksum", type_or_none(info.checksum_type, info.checksum_size != 0));
    if (info.checksum_size) {
        std::vector<unsigned char> sums(size_t(3 * info.checksum_size));
        if (!diff.read(&diff, info.checksums_begin, sums.data(), sums.data() + sums.size()))
            throw Exit{cli::kBadDiff, "bad diff: checksums cut off"};
        const size_t n = size_t(info.checksum_size);
        print_line("old checksum", hex_le(sums.data(), n));
        print_line("new checksum", hex_le(sums.data() + n, n));
        print_line("diff checksum", hex_le(sums.data() + 2 * n, n));
    }
    print_line("windows", info.window_count);
    print_line("window", info.window_size);
    print_line("step memory", info.step_mem_size);
    print_line("ring", info.ring_size);
    const bool vekko = compressed && std::strcmp(info.compress_type, "vekko") == 0;
    uint64_t dict = 0;
    if (vekko) {
        // The vekko stream starts with its decoder window size, 4 bytes little-endian.
        unsigned char header[4];
        if (info.compressed_size < 4 || !diff.read(&diff, info.head_size, header, header + 4))
            throw Exit{cli::kBadDiff, "bad diff: the vekko body is cut off"};
        dict = uint64_t(header[0]) | uint64_t(header[1]) << 8 | uint64_t(header[2]) << 16 | uint64_t(header[3]) << 24;
        print_line("vekko dictionary", dict);
    }
    if (vekko || !compressed) {
        print_line("device RAM, size build",
                   uint64_t(mirv_DEVICE_UPDATE_RAM_SMALL(info.window_size, info.step_mem_size, info.ring_size, dict)));
        print_line("device RAM, default build",
                   uint64_t(mirv_DEVICE_UPDATE_RAM(info.window_size, info.step_mem_size, dict)));
    } else {
        print_line("device RAM", std::string("none: no device plug-in for ") + info.compress_type);
    }
    print_line("host work memory", uint64_t(mirv_WINDOW_PATCH_MEM_SIZE(info.window_size, info.step_mem_size)));
}

}  // namespace

void print_info(const InputFile& diff, Format format) {
    switch (format) {
    case Format::kWindow:
        print_window_info(diff.stream);
        break;
    case Format::kSingle: {
        mirv_singleCompressedDiffInfo info;
        if (!getSingleCompressedDiffInfo(&info, &diff.stream, 0)) throw Exit{cli::kBadDiff, "bad diff: unreadable head"};
        print_line("format", "single-stream");
        print_line("old size", info.old_size);
        print_line("new size", info.new_size);
        print_line("compression", type_or_none(info.compress_type, info.compressed_size != 0));
        print_line("covers", info.cover_count);
        print_line("checksum", "none");
        print_line("step memory", info.step_mem_size);
        print_line("host work memory", mirv_SINGLE_STREAM_PATCH_MEM_SIZE(info.step_mem_size));
        break;
    }
    case Format::kCompressed: {
        mirv_compressedDiffInfo info;
        if (!getCompressedDiffInfo(&info, &diff.stream)) throw Exit{cli::kBadDiff, "bad diff: unreadable head"};
        print_line("format", "compressed");
        print_line("old size", info.old_size);
        print_line("new size", info.new_size);
        print_line("compression", type_or_none(info.compress_type, info.compressed_count > 0));
        print_line("compressed sections", uint64_t(info.compressed_count));
        print_line("checksum", "none");
        print_line("host work memory", "at least " + std::to_string(kMinMemory) + " bytes (--memory), or " +
                                           std::to_string(mirv_kPatchDecompressMemSize) + " bytes of stack");
        break;
    }
    default:
        print_line("format", "serialized");
        print_line("new size", serialized_new_size(diff.stream, UINT64_MAX));
        print_line("compression", "none");
        print_line("checksum", "none");
        print_line("host work memory", "at least " + std::to_string(kMinMemory) + " bytes (--memory), or " +
                                           std::to_string(mirv_kPatchStreamMemSize) +
                                           " bytes of stack, or OLD, DIFF and NEW in memory");
        break;
    }
    diff.throw_if_failed();
}


}  // namespace vkopatch

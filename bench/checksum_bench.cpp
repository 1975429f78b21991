/* Throughput of the host checksum plug-ins (crc32, xxh64) that a patch runs over old data,
 * new data and the diff: the figure that picks the default diff's checksum.
 *
 *   checksum_bench [--min-time=SECONDS]
 *
 * Each plug-in checksums buffers of 4 KiB, 64 KiB and 16 MiB of pseudo-random bytes in
 * pieces of 4 KiB (a window patch hands its checksum one step's bytes at a time) and in one
 * piece; speed is megabytes (10^6 bytes) per second, best of repeated runs lasting
 * --min-time seconds together (default 0.5), with the cost per byte in nanoseconds.
 * The table is markdown on standard output.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mirv_patch.h"
#include "mirv_plugins.h"

namespace {

using Clock = std::chrono::steady_clock;

// Checksums data in pieces of piece bytes; returns the first byte of the checksum so the
// work cannot be left out.
unsigned char checksum_once(mirv_TChecksum* plugin, void* handle, const std::vector<unsigned char>& data,
                            size_t piece) {
    plugin->begin(handle);
    for (size_t at = 0; at < data.size(); at += piece) {
        const size_t n = std::min(piece, data.size() - at);
        plugin->append(handle, data.data() + at, data.data() + at + n);
    }
    unsigned char out[8] = {0};
    plugin->end(handle, out, out + plugin->checksum_size());
    return out[0];
}

// Best seconds per run over runs lasting min_time together.
double best_seconds(mirv_TChecksum* plugin, const std::vector<unsigned char>& data, size_t piece, double min_time,
                    unsigned* sink) {
    void* handle = plugin->open(plugin);
    if (!handle) {
        std::fprintf(stderr, "checksum_bench: cannot open %s\n", plugin->checksum_type());
        std::exit(1);
    }
    double best = 1e30, total = 0;
    do {
        const auto start = Clock::now();
        *sink += checksum_once(plugin, handle, data, piece);
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        best = std::min(best, s);
        total += s;
    } while (total < min_time);
    plugin->close(plugin, handle);
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    double min_time = 0.5;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--min-time=", 11) == 0) {
            min_time = std::atof(argv[i] + 11);
        } else {
            std::fprintf(stderr, "usage: checksum_bench [--min-time=SECONDS]\n");
            return 2;
        }
    }
    std::vector<unsigned char> data(size_t(16) << 20);
    uint64_t x = 0x9E3779B97F4A7C15u;
    for (unsigned char& b : data) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        b = static_cast<unsigned char>(x >> 24);
    }
    unsigned sink = 0;
    std::printf("| checksum | buffer | piece | MB/s | ns per byte |\n|---|--:|--:|--:|--:|\n");
    for (const char* name : {"crc32", "xxh64"}) {
        mirv_TChecksum* plugin = mirv_checksum_plugin(name);
        for (size_t size : {size_t(4) << 10, size_t(64) << 10, size_t(16) << 20}) {
            const std::vector<unsigned char> buffer(data.begin(), data.begin() + size);
            const std::vector<size_t> pieces = size > 4096 ? std::vector<size_t>{4096, size} : std::vector<size_t>{size};
            for (size_t piece : pieces) {
                const double s = best_seconds(plugin, buffer, piece, min_time, &sink);
                std::printf("| %s | %zu | %zu | %.0f | %.3f |\n", name, size, piece, size / s / 1e6, s * 1e9 / size);
            }
        }
    }
    return sink == 0xFFFFFFFFu;  // never: keeps the checksums alive
}

/* Speed of the patch library on real updates.
 *
 *   patch_bench [--min-time=SECONDS] [PAIR_FOLDER ...]
 *
 * A pair folder holds two files, old and new; without arguments every pair under
 * ../shared/patchdata (relative to the repository) is measured, or nothing when it is absent.
 * For each pair the diff writer makes a serialized diff (stored) and a compressed diff (zstd),
 * and the harness times, side by side in one process:
 *   memcpy           copying the new data once (the yardstick);
 *   patch            the in-memory patch of the serialized diff;
 *   patch_stream     the serialized diff through memory-backed streams, with work memories of
 *                    32 KiB, 256 KiB and 4 MiB (patch_stream_with_cache);
 *   patch_decompress the zstd diff through streams with the same work memories;
 *   patch_single_stream  a single-stream diff (zstd, 64 KiB step memory) read front to back,
 *                    with the least work memory it accepts and with 4 MiB;
 *   patch_window_diff    window diffs (zstd, crc32, 64 KiB and 1 MiB windows) with the least
 *                    work memory and with 4 MiB, checking the new data (the listener's
 *                    default) and, in the last row, the old data and the diff too.
 * Speeds are new-data megabytes (10^6 bytes) per second, best of repeated runs lasting
 * --min-time seconds together (default 0.5).  "old reads" is the number of old-data read calls
 * of one run.  Every output is compared with new; a mismatch makes the exit status 1.
 * The table is markdown on standard output.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "mirv_patch.h"
#include "mirv_plugins.h"
#include "vko_diff.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

/* A memory-backed old stream that counts its reads. */
struct CountingOld {
    mirv_TStreamInput stream;
    const Bytes* data;
    size_t reads = 0;
    explicit CountingOld(const Bytes& bytes) : data(&bytes) {
        stream.owner = this;
        stream.size = bytes.size();
        stream.read = read;
        stream.reserved = nullptr;
    }
    static mirv_BOOL read(const mirv_TStreamInput* s, uint64_t pos, unsigned char* out, unsigned char* out_end) {
        CountingOld* self = static_cast<CountingOld*>(s->owner);
        size_t len = (size_t)(out_end - out);
        ++self->reads;
        if (pos > self->data->size() || len > self->data->size() - pos) return 0;
        std::memcpy(out, self->data->data() + pos, len);
        return 1;
    }
};

double g_min_time = 0.5;

/* Best time of one run of fn, in seconds; check (untimed) follows every run. */
double best(const std::function<bool()>& fn, bool* ok, const std::function<bool()>& check = nullptr) {
    double best_time = 1e30, total = 0;
    int runs = 0;
    while (runs < 3 || total < g_min_time) {
        auto t0 = std::chrono::steady_clock::now();
        bool r = fn();
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!r || (check && !check())) *ok = false;
        best_time = std::min(best_time, t);
        total += t;
        if (++runs > 1000) break;
    }
    return best_time;
}

struct Row {
    std::string form, memory;
    double mbps;
    long old_reads;
    std::string note;
};

/* ---- single-stream and window patch ---- */

struct SingleListener {
    sspatch_TListener base;
    Bytes* mem;
    size_t mem_size; /* 0: the least the head asks for */
    explicit SingleListener(Bytes* memory, size_t size) : mem(memory), mem_size(size) {
        base.owner = this;
        base.on_diff_info = [](sspatch_TListener* l, const mirv_singleCompressedDiffInfo* info, mirv_TDecompress** plugin,
                               unsigned char** cache, unsigned char** cache_end) -> mirv_BOOL {
            SingleListener* self = static_cast<SingleListener*>(l->owner);
            size_t size = self->mem_size ? self->mem_size : (size_t)info->step_mem_size + 12288;
            if (self->mem->size() < size) self->mem->resize(size);
            *plugin = mirv_decompress_plugin(info->compress_type);
            *cache = self->mem->data();
            *cache_end = self->mem->data() + size;
            return 1;
        };
        base.on_patch_finish = nullptr;
    }
};

struct WindowListener {
    mirv_TWindowPatchListener base;
    Bytes* mem;
    size_t mem_size;
    int checks; /* 0 none, 1 the new data (the default), 2 all */
    WindowListener(Bytes* memory, size_t size, int check) : mem(memory), mem_size(size), checks(check) {
        base.owner = this;
        base.on_diff_info = [](mirv_TWindowPatchListener* l, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
                               mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old, mirv_BOOL* check_diff,
                               unsigned char** cache, unsigned char** cache_end) -> mirv_BOOL {
            WindowListener* self = static_cast<WindowListener*>(l->owner);
            size_t size = self->mem_size ? self->mem_size : (size_t)(info->step_mem_size + info->window_size) + 12288;
            if (self->mem->size() < size) self->mem->resize(size);
            *plugin = mirv_decompress_plugin(info->compress_type);
            *checksum = mirv_checksum_plugin(info->checksum_type);
            *check_new = self->checks >= 1;
            *check_old = *check_diff = self->checks == 2;
            *cache = self->mem->data();
            *cache_end = self->mem->data() + size;
            return 1;
        };
        base.on_patch_finish = nullptr;
    }
};

/* Rows of the single-stream and window patch; t_patch is the in-memory patch's time. */
bool benchStreamForms(const Bytes& old_data, const Bytes& new_data, double t_patch, std::vector<Row>& rows) {
    bool all_ok = true;
    double mb = new_data.size() / 1e6;
    Bytes out(new_data.size()), mem;
    char note[64];
    vkd_TDiffOptions options;
    vkd_default_options(&options);
    options.compress = vkd_COMPRESS_ZSTD;
    options.level = 19;
    options.format = vkd_FORMAT_SINGLE;
    Bytes single = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), options);
    for (size_t mem_size : {size_t(0), size_t(4 << 20)}) {
        long reads = 0;
        bool ok = true;
        double t = best([&] {
            CountingOld old_in(old_data);
            mirv_TStreamInput diff_in;
            mem_as_mirvStreamInput(&diff_in, single.data(), single.data() + single.size());
            mirv_TStreamOutput out_stream;
            mem_as_mirvStreamOutput(&out_stream, out.data(), out.data() + out.size());
            SingleListener listener(&mem, mem_size);
            bool r = patch_single_stream(&listener.base, &out_stream, &old_in.stream, &diff_in, 0, nullptr);
            reads = (long)old_in.reads;
            return r;
        }, &ok, [&] { return out == new_data; });
        all_ok &= ok;
        std::snprintf(note, sizeof(note), "%.2f x patch%s", t_patch / t, ok ? "" : " MISMATCH");
        rows.push_back({"patch_single_stream (zstd, " + std::to_string(single.size()) + " B)",
                        mem_size ? std::to_string(mem_size >> 10) + " KiB" : "least", mb / t, reads, note});
    }
    options.format = vkd_FORMAT_WINDOW;
    options.checksum = vkd_CHECKSUM_CRC32;
    for (uint64_t window : {uint64_t(64) << 10, uint64_t(1) << 20}) {
        options.window_size = window;
        Bytes diff = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), options);
        /* least memory and 4 MiB with the new data checked; 4 MiB without checks and with all */
        for (int variant = 0; variant < 4; ++variant) {
            size_t mem_size = variant == 0 ? 0 : size_t(4) << 20;
            int checks = variant == 2 ? 0 : variant == 3 ? 2 : 1;
            long reads = 0;
            bool ok = true;
            double t = best([&] {
                CountingOld old_in(old_data);
                mirv_TStreamInput diff_in;
                mem_as_mirvStreamInput(&diff_in, diff.data(), diff.data() + diff.size());
                mirv_TStreamOutput out_stream;
                mem_as_mirvStreamOutput(&out_stream, out.data(), out.data() + out.size());
                WindowListener listener(&mem, mem_size, checks);
                int r = patch_window_diff(&listener.base, &out_stream, &old_in.stream, &diff_in, 0);
                reads = (long)old_in.reads;
                return r == mirv_kWindowPatchOk;
            }, &ok, [&] { return out == new_data; });
            all_ok &= ok;
            std::snprintf(note, sizeof(note), "%.2f x patch time%s", t / t_patch, ok ? "" : " MISMATCH");
            rows.push_back({"patch_window_diff (zstd, " + std::to_string(window >> 10) + " KiB window, " +
                                std::to_string(diff.size()) + " B, " + (checks == 0 ? "no checks)" : checks == 1 ? "new checked)" : "all checked)"),
                            mem_size ? std::to_string(mem_size >> 10) + " KiB" : "least", mb / t, reads, note});
        }
    }
    return all_ok;
}

bool benchPair(const std::string& name, const Bytes& old_data, const Bytes& new_data) {
    bool all_ok = true;
    std::vector<Row> rows;
    double mb = new_data.size() / 1e6;

    vkd_TDiffOptions options;
    vkd_default_options(&options);
    options.format = vkd_FORMAT_SERIALIZED;
    Bytes ser = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), options);
    options.format = vkd_FORMAT_COMPRESSED;
    options.compress = vkd_COMPRESS_ZSTD;
    options.level = 19;
    Bytes cmp = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), options);
    mirv_compressedDiffInfo info;
    mirv_TStreamInput cmp_in;
    mem_as_mirvStreamInput(&cmp_in, cmp.data(), cmp.data() + cmp.size());
    mirv_TDecompress* plugin = getCompressedDiffInfo(&info, &cmp_in) ? mirv_decompress_plugin(info.compress_type) : nullptr;

    Bytes out(new_data.size());
    bool ok = true;
    double t_copy = best([&] { std::memcpy(out.data(), new_data.data(), new_data.size()); return out[0] == new_data[0] || new_data.empty(); }, &ok);
    rows.push_back({"memcpy", "-", mb / t_copy, 0, ""});

    ok = true;
    double t_patch = best([&] {
        std::fill(out.begin(), out.begin() + std::min<size_t>(out.size(), 1), 0);
        return patch(out.data(), out.data() + out.size(), old_data.data(), old_data.data() + old_data.size(), ser.data(),
                     ser.data() + ser.size());
    }, &ok, [&] { return out == new_data; });
    all_ok &= ok;
    char note[64];
    std::snprintf(note, sizeof(note), "%.2f x memcpy%s", t_copy / t_patch, ok ? "" : " MISMATCH");
    rows.push_back({"patch (serialized, " + std::to_string(ser.size()) + " B)", "-", mb / t_patch, 0, note});

    const size_t memories[] = {32 << 10, 256 << 10, 4 << 20};
    for (int compressed = 0; compressed < 2; ++compressed) {
        const Bytes& diff = compressed ? cmp : ser;
        for (size_t mem_size : memories) {
            Bytes mem(mem_size);
            long reads = 0;
            ok = true;
            double t = best([&] {
                CountingOld old_in(old_data);
                mirv_TStreamInput diff_in;
                mem_as_mirvStreamInput(&diff_in, diff.data(), diff.data() + diff.size());
                mirv_TStreamOutput out_stream;
                mem_as_mirvStreamOutput(&out_stream, out.data(), out.data() + out.size());
                bool r = compressed ? patch_decompress_with_cache(&out_stream, &old_in.stream, &diff_in, plugin, mem.data(),
                                                                  mem.data() + mem.size())
                                    : patch_stream_with_cache(&out_stream, &old_in.stream, &diff_in, mem.data(),
                                                              mem.data() + mem.size());
                reads = (long)old_in.reads;
                return r;
            }, &ok, [&] { return out == new_data; });
            all_ok &= ok;
            std::snprintf(note, sizeof(note), "%.2f x patch%s", t_patch / t, ok ? "" : " MISMATCH");
            rows.push_back({compressed ? "patch_decompress (zstd, " + std::to_string(cmp.size()) + " B)"
                                       : std::string("patch_stream (serialized)"),
                            std::to_string(mem_size >> 10) + " KiB", mb / t, reads, note});
        }
    }
    all_ok &= benchStreamForms(old_data, new_data, t_patch, rows);
    for (const Row& r : rows)
        std::printf("| %s | %zu | %s | %s | %.1f | %ld | %s |\n", name.c_str(), new_data.size(), r.form.c_str(),
                    r.memory.c_str(), r.mbps, r.old_reads, r.note.c_str());
    std::fflush(stdout);
    return all_ok;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> pairs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--min-time=", 0) == 0) g_min_time = std::atof(arg.c_str() + 11);
        else pairs.push_back(arg);
    }
    if (pairs.empty()) {
        std::string root = VEKKO_PATCHDATA_DIR;
        if (DIR* dir = opendir(root.c_str())) {
            while (dirent* e = readdir(dir))
                if (e->d_name[0] != '.') pairs.push_back(root + "/" + e->d_name);
            closedir(dir);
        }
        std::sort(pairs.begin(), pairs.end());
    }
    if (pairs.empty()) {
        std::fprintf(stderr, "patch_bench: no pairs (../shared/patchdata is absent)\n");
        return 0;
    }
    std::printf("| pair | new bytes | form | work memory | MB/s | old reads | relative |\n");
    std::printf("|---|--:|---|--:|--:|--:|---|\n");
    bool ok = true;
    for (const std::string& dir : pairs) {
        Bytes old_data = readFile(dir + "/old"), new_data = readFile(dir + "/new");
        if (new_data.empty()) continue;
        std::string name = dir.substr(dir.find_last_of('/') + 1);
        std::fprintf(stderr, "patch_bench: %s\n", name.c_str());
        ok &= benchPair(name, old_data, new_data);
    }
    return ok ? 0 : 1;
}

/* Match-search micro-benchmark: how fast a clip is priced and parsed, the codec's search
 * beside the slow oracle kept in tests/support, on the same data in one run.
 *
 *   micro_match [--no-reference] [--repeat N] FILE...
 *
 * Each file (its first 256 KiB, one clip with an empty window as the driver cuts it for a
 * 4 KiB dictionary) is coded with default properties and dictSize 4096; the best of N
 * runs (in process CPU time, which other work on a shared machine disturbs less than wall
 * time) is reported as MB/s of input, with a check that both searches wrote the same bytes. */
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "reference_match.h"

using namespace vekko_test;

namespace {

template <class F>
double bestSeconds(int repeat, F&& run) {
    double best = 1e30;
    for (int r = 0; r < repeat; ++r) {
        timespec t0, t1;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
        run();
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
        const double dt = (double)(t1.tv_sec - t0.tv_sec) + 1e-9 * (double)(t1.tv_nsec - t0.tv_nsec);
        if (dt < best) best = dt;
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    bool reference = true;
    int repeat = 3;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-reference") == 0)
            reference = false;
        else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::atoi(argv[++i]);
        else
            files.push_back(argv[i]);
    }
    vko_TCompressProps props = vko_kDefaultCompressProps;
    props.dictSize = 4096;

    std::printf("%-20s %9s %12s %12s %8s\n", "file", "bytes", "fast MB/s", "ref MB/s", "same");
    for (const std::string& name : files) {
        std::ifstream f(name, std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "cannot read %s\n", name.c_str());
            return 1;
        }
        Bytes data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (data.size() > ((size_t)1 << 18)) data.resize((size_t)1 << 18);
        if (data.empty()) continue;

        EncodedClip fast, ref;
        const double tFast = bestSeconds(repeat, [&] { fast = encodeClip(data, data.size(), props); });
        double tRef = 0;
        if (reference) tRef = bestSeconds(repeat, [&] { ref = referenceEncodeClip(data, data.size(), props); });
        const double mb = (double)data.size() / 1e6;
        const std::string base = name.substr(name.find_last_of('/') + 1);
        std::printf("%-20s %9zu %12.2f %12.2f %8s\n", base.c_str(), data.size(), mb / tFast,
                    reference ? mb / tRef : 0.0, reference ? (fast.code == ref.code ? "yes" : "NO") : "-");
    }
    return 0;
}

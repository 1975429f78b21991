/* Differential check of the encoder: writes the streams of a fixed series of random
 * inputs under random properties, so that two builds of the encoder can be compared
 * byte for byte (scripts/enc-diffcheck builds this file against both and runs cmp).
 *
 *   enc_diffcheck SEED COUNT OUT_FILE
 *
 * Case i depends only on SEED and i.  Each case is written to OUT_FILE as a line naming
 * the case and its properties, then the stream.  Encoding time (the vko_compress calls
 * only) goes to standard error.
 */
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vko_enc.h"

namespace {

/* splitmix64: small, seedable, and the same on every platform */
struct Random {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
    uint64_t between(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }
};

/* Input sizes spread over 1 B .. 300 KB, small ones as likely as large ones. */
size_t pick_size(Random& rnd) {
    const unsigned scale = (unsigned)rnd.below(19); /* 2^0 .. 2^18 */
    size_t size = (size_t)rnd.between((uint64_t)1 << scale, ((uint64_t)2 << scale) - 1);
    return std::min<size_t>(size, 300000);
}

void append_text(Random& rnd, std::vector<unsigned char>& out, size_t n) {
    static const char* const words[] = {"the ", "of ", "and ", "match ", "window ", "clip ", "state ",
                                        "literal ", "line ", "\n", ", ", "distance ", "cost ", "a ",
                                        "<div>", "</div>", "{\"id\": ", "}, ", "0123", "encoder "};
    const size_t wordCount = sizeof(words) / sizeof(words[0]);
    while (n > 0) {
        const std::string w = words[rnd.below(wordCount)];
        for (size_t j = 0; j < w.size() && n > 0; ++j, --n) out.push_back((unsigned char)w[j]);
    }
}

/* A mix of random bytes, text-like runs, copies of earlier bytes (near and far, some
 * changed a little) and runs of one byte. */
std::vector<unsigned char> make_input(Random& rnd, size_t size) {
    std::vector<unsigned char> out;
    out.reserve(size);
    const unsigned alphabet = (unsigned)(rnd.below(4) == 0 ? rnd.between(2, 8) : 256);
    while (out.size() < size) {
        const size_t left = size - out.size();
        const size_t n = std::min<size_t>(left, (size_t)rnd.between(1, rnd.below(3) == 0 ? 8000 : 300));
        switch (rnd.below(5)) {
        case 0:
            for (size_t j = 0; j < n; ++j) out.push_back((unsigned char)rnd.below(alphabet));
            break;
        case 1: append_text(rnd, out, n); break;
        case 2:
        case 3:
            if (!out.empty()) {
                const size_t back = (size_t)rnd.between(1, std::min<size_t>(out.size(), rnd.below(2) ? 200 : 70000));
                const size_t from = out.size() - back;
                const unsigned noise = (unsigned)rnd.below(4);
                for (size_t j = 0; j < n; ++j) {
                    unsigned char c = out[from + j];
                    if (noise && rnd.below(200) == 0) c = (unsigned char)rnd.below(256);
                    out.push_back(c);
                }
                break;
            }
            /* fall through */
        default: out.insert(out.end(), n, (unsigned char)rnd.below(alphabet)); break;
        }
    }
    return out;
}

vko_TCompressProps pick_props(Random& rnd, size_t size) {
    static const uint64_t edges[] = {2687, 2688, 4095, 4096, 4097, 127, 128, 129, 1, 2, 65536};
    vko_TCompressProps props = vko_kDefaultCompressProps;
    switch (rnd.below(4)) {
    case 0: props.dictSize = edges[rnd.below(sizeof(edges) / sizeof(edges[0]))]; break;
    case 1: props.dictSize = rnd.between(2680, 2695); break;
    case 2: props.dictSize = rnd.between(1, size + 16); break;
    default: props.dictSize = rnd.between(1, (uint64_t)1 << 20); break;
    }
    props.maxSaveLength = rnd.below(2) ? rnd.between(127, 600) : rnd.between(127, 65535);
    props.useLiteralLine = rnd.below(2) != 0;
    props.threadNum = 1;
    return props;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: enc_diffcheck SEED COUNT OUT_FILE\n");
        return 2;
    }
    const uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    const uint64_t count = std::strtoull(argv[2], nullptr, 10);
    FILE* out = std::fopen(argv[3], "wb");
    if (!out) {
        std::perror(argv[3]);
        return 2;
    }
    double seconds = 0;
    uint64_t inputBytes = 0;
    std::vector<unsigned char> code;
    for (uint64_t i = 0; i < count; ++i) {
        Random rnd{seed * 0x100000001B3ull + i};
        const size_t size = pick_size(rnd);
        const std::vector<unsigned char> input = make_input(rnd, size);
        const vko_TCompressProps props = pick_props(rnd, size);
        code.assign((size_t)vko_maxCompressedSize(input.size()), 0);
        mirv_TMemInputOwner inOwner = {input.data(), input.size()};
        mirv_TStreamInput in = {&inOwner, input.size(), mem_read, nullptr};
        mirv_TMemOutputOwner outOwner = {code.data(), code.size()};
        mirv_TStreamOutput outStream = {&outOwner, code.size(), nullptr, mem_write};
        const auto start = std::chrono::steady_clock::now();
        const uint64_t written = vko_compress(&outStream, &in, &props);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        inputBytes += input.size();
        std::fprintf(out, "case %llu size %zu dict %llu maxlen %llu lines %d: %llu bytes\n", (unsigned long long)i,
                     input.size(), (unsigned long long)props.dictSize, (unsigned long long)props.maxSaveLength,
                     (int)props.useLiteralLine, (unsigned long long)written);
        std::fwrite(code.data(), 1, (size_t)written, out);
        std::fputc('\n', out);
    }
    std::fclose(out);
    std::fprintf(stderr, "%llu cases, %llu input bytes, %.3f s encoding\n", (unsigned long long)count,
                 (unsigned long long)inputBytes, seconds);
    return 0;
}

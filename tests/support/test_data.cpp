#include "test_data.h"

#include <sys/stat.h>

namespace vekko_test {

static uint64_t nextRandom(uint64_t& state) {
    /* splitmix64: small, fast and the same on every platform */
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<unsigned char> randomBytes(size_t n, uint64_t seed, unsigned alphabet) {
    std::vector<unsigned char> out(n);
    for (auto& b : out) b = (unsigned char)(nextRandom(seed) % alphabet);
    return out;
}

std::vector<unsigned char> textLike(size_t n, uint64_t seed) {
    static const char* const words[] = {"the ", "of ", "and ", "vekko ", "decoder ", "window ",
                                        "match ", "literal ", "stream ", "bits ", "clip ", "\n",
                                        "firmware ", "a ", "to ", "byte ", "(0x1F) ", "; "};
    const size_t nwords = sizeof(words) / sizeof(words[0]);
    std::vector<unsigned char> out;
    out.reserve(n);
    while (out.size() < n) {
        uint64_t r = nextRandom(seed);
        if (r % 7 == 0 && out.size() > 64) { /* copy an earlier stretch */
            size_t len = 4 + (r >> 8) % 60, back = 1 + (r >> 20) % out.size();
            size_t from = out.size() - back;
            for (size_t i = 0; i < len && out.size() < n; ++i) {
                unsigned char c = out[from + i];
                out.push_back(c);
            }
        } else {
            for (const char* w = words[(r >> 3) % nwords]; *w && out.size() < n; ++w)
                out.push_back((unsigned char)*w);
        }
    }
    return out;
}

std::string corpusDir() {
    struct stat st;
    if (stat(VEKKO_CORPUS_DIR, &st) == 0 && S_ISDIR(st.st_mode)) return VEKKO_CORPUS_DIR;
    return "";
}

} // namespace vekko_test

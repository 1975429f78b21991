/* The codec's match search against the oracle written apart from it: the forward pass
 * must leave the same prices, lengths and positions in every state, and the clip the same
 * bytes, on inputs that stress each shortcut the fast search takes. */
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec_helpers.h"
#include "reference_match.h"
#include "test_data.h"

using namespace vekko_test;

namespace {

void expectSame(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props, const std::string& what) {
    SCOPED_TRACE(what);
    const PricedClip fast = forwardPass(buffer, clipLen, props);
    PricedClip ref;
    const EncodedClip b = referenceEncodeClip(buffer, clipLen, props, &ref);
    ASSERT_EQ(fast.cost.size(), ref.cost.size());
    for (size_t s = 0; s < ref.cost.size(); ++s) {
        ASSERT_EQ(fast.cost[s], ref.cost[s]) << "state " << s;
        ASSERT_EQ(fast.matchLen[s], ref.matchLen[s]) << "state " << s;
        ASSERT_EQ(fast.matchDictPos[s], ref.matchDictPos[s]) << "state " << s;
    }
    const EncodedClip a = encodeClip(buffer, clipLen, props);
    EXPECT_TRUE(a.code == b.code);
}

/* Sizes that are multiples of the far walk's group sizes (8, 64 and 512 ranks) put a group
 * boundary at the end of the suffix array, where a walk must stop at the last rank. */

/* Units of one random block repeated with a changed byte now and then: many suffixes
 * share long prefixes, so far levels are wide and the walk's budget runs out. */
Bytes mutatedRepeats(size_t n, size_t unit, uint64_t seed) {
    const Bytes base = randomBytes(unit, seed, 256);
    const Bytes noise = randomBytes(n, seed + 1, 256);
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = (noise[i] < 3) ? noise[(i * 7) % n] : base[i % unit];
    return out;
}

/* Random bytes with short stretches that repeat the bytes `distance` back now and then:
 * runs of cheap matches at one dict_pos between literals, for the literal-line pass to
 * weigh against one long line. */
Bytes echoes(size_t n, size_t distance, uint64_t seed) {
    Bytes out = randomBytes(n, seed, 256);
    const Bytes gaps = randomBytes(n, seed + 1, 24);
    for (size_t i = distance; i + 4 < n; i += 3 + gaps[i])
        for (size_t k = 0; k < 2 + gaps[i] % 3u; ++k) out[i + k] = out[i + k - distance];
    return out;
}

struct Setting {
    uint64_t dictSize, maxSave;
    bool lines;
};

const Setting kSettings[] = {{4096, 65535, true}, {65536, 65535, false}, {3000, 600, true},
                             {1 << 20, 127, false}, {127, 65535, true},   {300, 300, false}};

TEST(MatchEquivalence, GeneratedInputs) {
    struct Input {
        std::string name;
        Bytes data;
    };
    std::vector<Input> inputs = {
        {"text", textLike(6000, 51)},
        {"binary alphabet", randomBytes(4096, 52, 2)},
        {"four symbols", randomBytes(6144, 53, 4)},
        {"random", randomBytes(5000, 54, 256)},
        {"repeats of 200", mutatedRepeats(5000, 200, 55)},
        {"repeats of 3000", mutatedRepeats(7000, 3000, 56)},
        {"repeats of 40", mutatedRepeats(4096, 40, 57)},
        {"one value", Bytes(2000, 0x55)},
        {"echoes at 40", echoes(6000, 40, 58)},
        {"echoes at 300", echoes(6000, 300, 59)},
    };
    for (const Input& in : inputs) {
        for (const Setting& st : kSettings) {
            const vko_TCompressProps props = propsWith(st.dictSize, st.lines, st.maxSave);
            const size_t window = std::min<size_t>(st.dictSize, in.data.size() / 3);
            expectSame(in.data, in.data.size() - window, props,
                       in.name + ", dictSize " + std::to_string(st.dictSize) + ", maxSave " +
                           std::to_string(st.maxSave));
            if (HasFatalFailure()) return;
        }
    }
}

/* One clip of 76 KB, with LCP runs past a byte's reach: under the 4 KiB dictionary the walk
 * finds marked ranks by word, under the 64 KiB one through the suffix array. */
TEST(MatchEquivalence, LongClip) {
    Bytes data = textLike(80000, 61);
    const Bytes unit = textLike(700, 62);
    for (size_t at = 9000; at + unit.size() < data.size(); at += 20000) std::copy(unit.begin(), unit.end(), data.begin() + (ptrdiff_t)at);
    for (const Setting& st : {Setting{4096, 65535, true}, Setting{65536, 300, false}}) {
        expectSame(data, data.size() - 4096, propsWith(st.dictSize, st.lines, st.maxSave),
                   "dictSize " + std::to_string(st.dictSize));
        if (HasFatalFailure()) return;
    }
}

TEST(MatchEquivalence, SmallInputs) {
    for (uint64_t seed = 0; seed < 300; ++seed) {
        const size_t n = 1 + seed % 97 * 3;
        const Bytes data = (seed % 3 == 0) ? randomBytes(n, seed, 2 + seed % 5) : textLike(n, seed);
        const vko_TCompressProps props = propsWith(1 + seed % 200, seed % 2 == 0, 127 + seed % 5);
        expectSame(data, n - (seed % 4) * n / 4, props, "seed " + std::to_string(seed));
        if (HasFatalFailure()) return;
    }
}

TEST(MatchEquivalence, CorpusFiles) {
    const std::string dir = corpusDir();
    if (dir.empty()) GTEST_SKIP() << "no corpus";
    int compared = 0;
    for (const char* name : {"alice29.txt", "kppkn.gtb", "fireworks.jpeg", "geo.protodata", "html"}) {
        std::ifstream f(dir + "/" + name, std::ios::binary);
        if (!f) continue;
        Bytes data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (data.size() > 12288) data.resize(12288);
        if (data.size() < 2) continue;
        /* a 4 KiB window when the file has room for it and a clip after it, else half */
        const size_t window = std::min<size_t>(4096, data.size() / 2);
        const vko_TCompressProps props = propsWith(4096, true);
        expectSame(data, data.size() - window, props, name);
        if (HasFatalFailure()) return;
        ++compared;
    }
    if (compared == 0) GTEST_SKIP() << "none of the chosen files is in the corpus at " << dir;
}

} // namespace

/* The match search: worked parses and prices, tie rules, and agreement between the
 * prices it computes and the bits the emitter then writes. */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec_helpers.h"
#include "reference_match.h"
#include "test_data.h"

using namespace vekko_test;

namespace {


Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

vko_TCompressProps props4096(bool literalLine = true) { return propsWith(4096, literalLine); }

/* The clip's parse and price, and the checks every parse must pass: matches copy equal
 * bytes from inside the window and within reach. */
struct Parse {
    std::vector<MatchStep> matches;
    uint32_t price;
    uint64_t bits;
};

Parse parseOf(const Bytes& window, const Bytes& clip, const vko_TCompressProps& props) {
    const Bytes buffer = concat(window, clip);
    const EncodedClip enc = encodeClip(buffer, clip.size(), props);
    for (const MatchStep& m : enc.matches) {
        const size_t at = window.size() + m.offset;
        EXPECT_LT(m.dictPos, props.dictSize);
        EXPECT_LE(m.dictPos + 1, at);
        EXPECT_GE(m.len, 2u);
        EXPECT_LE(m.len, props.maxSaveLength);
        EXPECT_LE(m.offset + m.len, clip.size());
        if (m.dictPos >= 2687) {
            EXPECT_GE(m.len, 3u);
        }
        for (size_t k = 0; k < m.len && at + k < buffer.size(); ++k)
            if (buffer[at + k] != buffer[at - m.dictPos - 1 + k]) {
                ADD_FAILURE() << "match at offset " << m.offset << " copies different bytes";
                break;
            }
    }
    return {enc.matches, forwardPass(buffer, clip.size(), props).finalPrice(), enc.bitsWritten};
}

TEST(MatchSearch, WindowMatchFromTheClipStart) {
    /* no repeat form before the first match: dict_pos 3 is written explicitly */
    const Parse p = parseOf(bytesOf("abcabcabcX"), bytesOf("abc"), props4096());
    EXPECT_EQ(p.matches, (std::vector<MatchStep>{{0, 3, 3}}));
    EXPECT_EQ(p.price, 11u);
    EXPECT_EQ(p.bits, 11u);
}

TEST(MatchSearch, FarMatchesNeedThreeBytes) {
    const Bytes filler = randomBytes(2700, 21, 100); /* never holds 100, 101 or 102 */
    const Parse pair = parseOf(concat({100, 101}, filler), {100, 101}, props4096());
    EXPECT_TRUE(pair.matches.empty());
    EXPECT_EQ(pair.price, 18u);

    const Parse triple = parseOf(concat({100, 101, 102}, filler), {100, 101, 102}, props4096());
    EXPECT_EQ(triple.matches, (std::vector<MatchStep>{{0, 3, 2702}}));
    EXPECT_EQ(triple.price, 20u);
    EXPECT_EQ(triple.bits, 20u);
}

TEST(MatchSearch, FarWalkFindsTheNearestOccurrence) {
    Bytes window;
    for (int rep = 0; rep < 12; ++rep)
        for (int v = 0; v < 256; ++v) window.push_back((unsigned char)v);
    Bytes clip;
    for (int v = 100; v < 120; ++v) clip.push_back((unsigned char)v);
    const Parse p = parseOf(window, clip, props4096());
    EXPECT_EQ(p.matches, (std::vector<MatchStep>{{0, 20, 155}}));
    EXPECT_EQ(p.price, 20u);
    EXPECT_EQ(p.bits, 20u);
    /* out of reach with a smaller dictionary: only positions up to dictSize - 1 count */
    const Parse near = parseOf(window, clip, propsWith(155, true));
    EXPECT_TRUE(near.matches.empty());
}

TEST(MatchSearch, SingleBytesAreLiterals) {
    EXPECT_TRUE(parseOf(bytesOf("zzzz"), bytesOf("z"), props4096()).matches.empty());
    const Parse first = parseOf({}, bytesOf("q"), props4096());
    EXPECT_TRUE(first.matches.empty());
    EXPECT_EQ(first.price, 9u);
    /* the buffer's first byte never starts a match, even with only equal bytes after it */
    const Parse two = parseOf({}, bytesOf("qq"), props4096());
    EXPECT_TRUE(two.matches.empty());
    EXPECT_EQ(two.price, 18u);
}

TEST(MatchSearch, LongRunIsOneRepeatMatch) {
    const Bytes run(601, 'r');
    const Parse p = parseOf({}, run, props4096());
    EXPECT_EQ(p.matches, (std::vector<MatchStep>{{1, 600, 0}}));
    EXPECT_EQ(p.price, 29u);
    EXPECT_EQ(p.bits, 29u);
    /* the 600-byte candidate is priced down to 2 bytes and then the pass jumps past it:
     * no state inside it is reached by a literal step */
    const PricedClip fw = forwardPass(run, run.size(), props4096());
    for (size_t t = 3; t <= 601; ++t) {
        ASSERT_EQ(fw.matchLen[t], t - 1) << t;
        ASSERT_EQ(fw.matchDictPos[t], 0u) << t;
    }
    /* capped by maxSaveLength: the run splits into a 127-byte match and more */
    const Parse capped = parseOf({}, run, propsWith(4096, false, 127));
    ASSERT_FALSE(capped.matches.empty());
    for (const MatchStep& m : capped.matches) EXPECT_LE(m.len, 127u);
    EXPECT_EQ(capped.price, capped.bits);
}

TEST(MatchSearch, ShortPeriodUsesExplicitDistance) {
    std::string s;
    for (int i = 0; i < 10; ++i) s += "ab";
    const Parse p = parseOf({}, bytesOf(s), props4096(false));
    EXPECT_EQ(p.matches, (std::vector<MatchStep>{{2, 18, 1}}));
    EXPECT_EQ(p.price, 36u);
    EXPECT_EQ(p.bits, 36u);
}

TEST(MatchSearch, TiesGoToTheMatchAndToTheLaterCandidate) {
    /* A 2-byte match at dict_pos 1002 after a literal costs 1 + 15 + 2 = 18 bits, as
     * much as two literals: the match keeps the state. */
    const Bytes filler = randomBytes(1000, 22, 64);
    const Parse tie = parseOf(concat(bytesOf("XY"), filler), bytesOf("QXY"), props4096());
    EXPECT_EQ(tie.matches, (std::vector<MatchStep>{{1, 2, 1002}}));
    EXPECT_EQ(tie.price, 27u);

    /* Near positions of equal length: the nearest, tried last, wins. */
    const Parse near = parseOf(bytesOf("ab\x01\x02" "ab\x03\x04"), bytesOf("ab"), props4096());
    EXPECT_EQ(near.matches, (std::vector<MatchStep>{{0, 2, 3}}));

    /* Far levels: "ABCDE" at dict_pos 999 and "ABCz" at 699 both price 3 bytes at 17
     * bits; the second level, tried later, keeps states 2 and 3. */
    Bytes window = randomBytes(1000, 23, 64);
    const std::string far = "ABCDE", nearer = "ABCzz";
    std::copy(far.begin(), far.end(), window.begin());
    std::copy(nearer.begin(), nearer.end(), window.begin() + 300);
    const Bytes buffer = concat(window, bytesOf("ABCDE"));
    const PricedClip fw = forwardPass(buffer, 5, props4096());
    EXPECT_EQ(fw.cost[3], 17u);
    EXPECT_EQ(fw.matchDictPos[3], 699u);
    EXPECT_EQ(fw.matchDictPos[2], 699u);
    EXPECT_EQ(fw.matchDictPos[5], 999u);
    EXPECT_EQ(fw.cost[5], 19u);
}

/* With literal lines off every priced step is written exactly as priced. */
TEST(MatchSearch, PriceEqualsWrittenBits) {
    struct Case {
        Bytes data;
        size_t window;
        uint64_t dictSize, maxSave;
    };
    std::vector<Case> cases;
    cases.push_back({randomBytes(20000, 31, 4), 3000, 4096, 65535});
    cases.push_back({randomBytes(20000, 32, 256), 5000, 65536, 65535});
    cases.push_back({textLike(40000, 33), 4096, 4096, 65535});
    cases.push_back({textLike(40000, 34), 0, 1 << 20, 127});
    cases.push_back({textLike(30000, 35), 2000, 127, 600});
    cases.push_back({concat(Bytes(3000, 0), textLike(8000, 36)), 1000, 3000, 600});
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const vko_TCompressProps props = propsWith(c.dictSize, false, c.maxSave);
        const Bytes window(c.data.begin(), c.data.begin() + (ptrdiff_t)c.window);
        const Bytes clip(c.data.begin() + (ptrdiff_t)c.window, c.data.end());
        const Parse p = parseOf(window, clip, props);
        EXPECT_EQ(p.price, p.bits) << "case " << i;
    }
}

/* A stretch of matches that each just beat the literals around them still costs more
 * than one long literal line: the line pass merges it. */
TEST(MatchSearch, LiteralLinePassMergesMatchStretches) {
    Bytes distinct;
    for (int v = 100; v < 190; ++v) distinct.push_back((unsigned char)v);
    Bytes window = {1, 2, 3, 4};
    const Bytes filler = randomBytes(300, 24, 56);
    for (unsigned char b : filler) window.push_back((unsigned char)(200 + b));
    Bytes clip(distinct.begin(), distinct.begin() + 30);
    clip.insert(clip.end(), {1, 2});
    clip.insert(clip.end(), distinct.begin() + 30, distinct.begin() + 60);
    clip.insert(clip.end(), {3, 4});
    clip.insert(clip.end(), distinct.begin() + 60, distinct.end());

    const Parse off = parseOf(window, clip, props4096(false));
    EXPECT_EQ(off.matches, (std::vector<MatchStep>{{30, 2, 333}, {62, 2, 363}}));

    const Parse on = parseOf(window, clip, props4096(true));
    EXPECT_TRUE(on.matches.empty());
    EXPECT_EQ(on.price, 801u); /* lines of 30, match, 30, match, 30 */
    EXPECT_EQ(on.bits, 772u);  /* one line of 94 bytes: 11 + 9 + 8 * 94 */
}

/* Whole streams made from the parse decode to window + clip. */
TEST(MatchSearch, ParsesDecode) {
    const struct {
        Bytes data;
        size_t window;
        uint64_t dictSize, maxSave;
        bool lines;
    } cases[] = {
        {textLike(50000, 41), 4096, 4096, 65535, true},
        {textLike(50000, 42), 0, 1 << 20, 65535, true},
        {randomBytes(30000, 43, 3), 1000, 1000, 127, true},
        {randomBytes(30000, 44, 3), 3000, 3000, 300, false},
        {concat(Bytes(70000, 9), randomBytes(100, 45)), 0, 65536, 65535, true},
        {randomBytes(1, 46), 0, 1, 127, true},
    };
    for (const auto& c : cases) {
        const vko_TCompressProps props = propsWith(c.dictSize, c.lines, c.maxSave);
        const Bytes stream = streamOfClip(c.data, c.data.size() - c.window, props);
        const Decoded d = decodeMem(stream, c.data.size());
        EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
        EXPECT_TRUE(d.bytes == c.data);
    }
}

} // namespace

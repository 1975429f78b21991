/* The suffix string: suffix order, ranks and capped common-prefix lengths. */
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_data.h"
#include "vko_sstring.h"
#include "vko_suffix_sort.h"

using namespace vekko_test;
using _vko_private::TSuffixString;
typedef std::vector<int32_t> Ints;
typedef std::vector<uint16_t> Lcps;

namespace {

TSuffixString build(const std::string& s, uint16_t cap = 65535) {
    const unsigned char* p = (const unsigned char*)s.data();
    return TSuffixString(p, p + s.size(), 1, cap);
}

/* Everything checked from first principles, by comparing whole suffixes. */
void expectConsistent(const std::vector<unsigned char>& data, uint16_t cap) {
    const unsigned char* p = data.data();
    const size_t n = data.size();
    TSuffixString ss(p, p + n, 1, cap);
    ASSERT_EQ(ss.SA.size(), n);
    ASSERT_EQ(ss.R.size(), n);
    ASSERT_EQ(ss.LCP.size(), n);
    for (size_t k = 0; k < n; ++k) ASSERT_EQ(ss.R[(size_t)ss.SA[k]], (int32_t)k);
    for (size_t k = 0; k + 1 < n; ++k) {
        const size_t a = (size_t)ss.SA[k], b = (size_t)ss.SA[k + 1];
        size_t h = 0;
        while (a + h < n && b + h < n && p[a + h] == p[b + h]) ++h;
        /* a shorter suffix sorts first; otherwise the first differing byte decides */
        ASSERT_TRUE(a + h == n || (b + h < n && p[a + h] < p[b + h])) << k;
        ASSERT_EQ(ss.LCP[k], std::min<size_t>(h, cap)) << k;
    }
    if (n) {
        EXPECT_EQ(ss.LCP[n - 1], 0);
    }
}

TEST(SuffixString, WorkedValues) {
    TSuffixString banana = build("banana");
    EXPECT_EQ(banana.SA, (Ints{5, 3, 1, 0, 4, 2}));
    EXPECT_EQ(banana.R, (Ints{3, 2, 5, 1, 4, 0}));
    EXPECT_EQ(banana.LCP, (Lcps{1, 3, 0, 0, 2, 0}));

    TSuffixString same = build("aaaa");
    EXPECT_EQ(same.SA, (Ints{3, 2, 1, 0}));
    EXPECT_EQ(same.LCP, (Lcps{1, 2, 3, 0}));
    EXPECT_EQ(build("aaaa", 2).LCP, (Lcps{1, 2, 2, 0}));

    TSuffixString one = build("x");
    EXPECT_EQ(one.SA, (Ints{0}));
    EXPECT_EQ(one.R, (Ints{0}));
    EXPECT_EQ(one.LCP, (Lcps{0}));

    TSuffixString empty = build("");
    EXPECT_TRUE(empty.SA.empty() && empty.R.empty() && empty.LCP.empty());
}

TEST(SuffixString, MatchesFirstPrinciples) {
    expectConsistent(randomBytes(3000, 1), 65535);
    expectConsistent(randomBytes(3000, 2, 2), 65535);
    expectConsistent(textLike(5000, 3), 65535);
    /* bytes above 127 must sort as unsigned */
    expectConsistent(randomBytes(2000, 4, 256), 127);
    std::vector<unsigned char> periodic(4000);
    for (size_t i = 0; i < periodic.size(); ++i) periodic[i] = (unsigned char)("abcab"[i % 5]);
    expectConsistent(periodic, 65535);
}

/* The sorter alone, against the definition of suffix order (a shorter suffix first when
 * it is a prefix), on every binary string up to 12 bytes and on texts whose reduced texts
 * recurse deeply or not at all. */
TEST(SuffixString, SortsLikeTheDefinition) {
    auto expectSorted = [](const std::vector<unsigned char>& t, const char* what) {
        Ints expected(t.size());
        for (size_t i = 0; i < t.size(); ++i) expected[i] = (int32_t)i;
        std::sort(expected.begin(), expected.end(), [&](int32_t a, int32_t b) {
            return std::lexicographical_compare(t.begin() + a, t.end(), t.begin() + b, t.end());
        });
        Ints got(t.size(), -7);
        _vko_private::sortSuffixes(t.data(), got.data(), (int32_t)t.size());
        ASSERT_EQ(got, expected) << what << ", " << t.size() << " bytes";
    };
    for (size_t n = 1; n <= 12; ++n)
        for (uint32_t bits = 0; bits < (1u << n); ++bits) {
            std::vector<unsigned char> t(n);
            for (size_t i = 0; i < n; ++i) t[i] = (unsigned char)(((bits >> i) & 1) ? 255 : 0);
            expectSorted(t, "binary");
        }
    std::vector<unsigned char> fib{'a'}, prev{'b'}, thueMorse, down, up, runs;
    while (fib.size() < 3000) {
        std::vector<unsigned char> next = fib;
        next.insert(next.end(), prev.begin(), prev.end());
        prev = fib;
        fib = next;
    }
    for (uint32_t i = 0; i < 4096; ++i) thueMorse.push_back((unsigned char)(__builtin_popcount(i) & 1));
    for (int i = 0; i < 600; ++i) down.push_back((unsigned char)(255 - i % 256));
    for (int i = 0; i < 600; ++i) up.push_back((unsigned char)(i % 256));
    for (int i = 0; i < 60; ++i) runs.insert(runs.end(), (size_t)(i % 7 + 1), (unsigned char)(i % 3));
    expectSorted(fib, "Fibonacci");
    expectSorted(thueMorse, "Thue-Morse");
    expectSorted(down, "falling");
    expectSorted(up, "rising");
    expectSorted(runs, "runs");
    expectSorted(std::vector<unsigned char>(500, 9), "one byte");
    for (uint64_t seed = 1; seed <= 20; ++seed) expectSorted(randomBytes(50 * seed, seed, 2 + seed % 5), "random");
}

/* The cap cuts only the stored value: after a long repeat, entries must still be the
 * true lengths, which a capped running length would lose. */
TEST(SuffixString, CapDoesNotShortenLaterEntries) {
    std::vector<unsigned char> data(1200, 'z');
    const std::vector<unsigned char> tail = randomBytes(400, 5, 3);
    data.insert(data.end(), tail.begin(), tail.end());
    for (size_t i = 0; i < 300; ++i) data.push_back(data[1200 + i]); /* repeat inside the tail */
    expectConsistent(data, 127);
    expectConsistent(data, 200);
    std::vector<unsigned char> equal(700, 7);
    TSuffixString ss(equal.data(), equal.data() + equal.size(), 1, 150);
    for (size_t k = 0; k + 1 < equal.size(); ++k) ASSERT_EQ(ss.LCP[k], std::min<size_t>(k + 1, 150));
}

TEST(SuffixString, ClearMemGivesMemoryBack) {
    std::vector<unsigned char> data = textLike(10000, 9);
    TSuffixString ss(data.data(), data.data() + data.size(), 4, 65535);
    ss.clearMem();
    EXPECT_EQ(ss.SA.capacity(), 0u);
    EXPECT_EQ(ss.R.capacity(), 0u);
    EXPECT_EQ(ss.LCP.capacity(), 0u);
    EXPECT_EQ(ss.src_begin, data.data());
    EXPECT_EQ(ss.src_end, data.data() + data.size());
    EXPECT_EQ(ss.threadNum, 4u);
}

/* A range of 2^31 bytes is refused before any array is sized; the range is reserved
 * address space only, never touched. */
TEST(SuffixString, RefusesRangesBeyondSignedIndex) {
    const size_t len = (size_t)1 << 31;
    void* mem = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED) GTEST_SKIP() << "cannot reserve 2 GiB of address space";
    const unsigned char* p = (const unsigned char*)mem;
    try {
        TSuffixString ss(p, p + len, 1, 65535);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "check (sa_size==(size_t)(TInt)sa_size)&&(0<=(TInt)sa_size) error!");
    }
    munmap(mem, len);
}

} // namespace

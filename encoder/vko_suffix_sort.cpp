/*
 * vko_suffix_sort.cpp - the suffix array of one clip, by induced sorting
 *
 * A suffix is S when it is smaller than the suffix after it and L when larger; the last
 * one is L, since the end of the text is smaller than any byte.  An S suffix whose
 * predecessor is L is a leftmost S, LMS.  Once the LMS suffixes are in order, one pass
 * up the array places every L suffix behind the suffix after it, and one pass down
 * places every S suffix: inside each first-byte bucket the L suffixes come first, and
 * each pass reads only entries that are already final when it gets there.
 *
 * The LMS suffixes are put in order the same way.  Sorted by the same two passes from
 * an arbitrary order, they come out ordered by their LMS substrings (the bytes from one
 * up to and including the next LMS position); equal substrings get one name, and the
 * names, in text order, form a text of at most half the length whose suffix order is
 * theirs.  That text is sorted the same way unless its names are all distinct.  Both
 * texts live in SA while the shorter one is sorted: its suffix array in the front, the
 * names at the back.
 *
 * Suffix arrays are unique, so this gives the same array as any other correct sort.
 * The types are kept a bit per position (32 KiB for a 256 KiB clip), and the passes
 * that go over every position test bits a word at a time: their branches are what
 * costs, not their reads.
 */
#include "vko_suffix_sort.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace _vko_private {

namespace {

inline bool testBit(const uint64_t* words, size_t i) { return (words[i >> 6] >> (i & 63)) & 1; }

inline int32_t highestBit(uint64_t word) { return 63 - __builtin_clzll(word); }

/* Bucket b[c]: where the suffixes starting with c begin, or where they end. */
void bucketStarts(const std::vector<int32_t>& count, std::vector<int32_t>& b) {
    int32_t sum = 0;
    for (size_t c = 0; c < count.size(); ++c) {
        b[c] = sum;
        sum += count[c];
    }
}
void bucketEnds(const std::vector<int32_t>& count, std::vector<int32_t>& b) {
    int32_t sum = 0;
    for (size_t c = 0; c < count.size(); ++c) {
        sum += count[c];
        b[c] = sum;
    }
}

/* Calls visit(i) for every LMS position i, from the last to the first. */
template <class TVisit>
void eachLmsDown(const std::vector<uint64_t>& lms, TVisit visit) {
    for (size_t w = lms.size(); w-- > 0;)
        for (uint64_t m = lms[w]; m; m &= ~((uint64_t)1 << highestBit(m))) visit((int32_t)(w * 64) + highestBit(m));
}

/* From the LMS suffixes placed in SA (all other entries -1), the L suffixes and then the
 * S suffixes.  An L suffix's predecessor is L when its byte is not below the suffix's
 * own, and so is an LMS suffix's; those are the only suffixes the upward pass meets. */
template <class TChar>
void induce(const TChar* text, int32_t* SA, int32_t n, const std::vector<int32_t>& count,
            std::vector<int32_t>& b, const uint64_t* isS) {
    bucketStarts(count, b);
    SA[b[(size_t)text[n - 1]]++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = SA[i];
        if (j > 0) {
            const TChar before = text[j - 1];
            if (before >= text[j]) SA[b[(size_t)before]++] = j - 1;
        }
    }
    bucketEnds(count, b);
    for (int32_t i = n - 1; i >= 0; --i) {
        const int32_t j = SA[i];
        if (j > 0 && testBit(isS, (size_t)j - 1)) SA[--b[(size_t)text[j - 1]]] = j - 1;
    }
}

/* SA[0..n) of text, whose characters are below alphabet. */
template <class TChar>
void sortLevel(const TChar* text, int32_t* SA, int32_t n, int32_t alphabet) {
    if (n == 1) {
        SA[0] = 0;
        return;
    }
    const size_t words = ((size_t)n >> 6) + 1;
    std::vector<uint64_t> isS(words, 0), lms(words, 0);
    std::vector<int32_t> count((size_t)alphabet, 0), b((size_t)alphabet);

    /* Types from the end, without a branch per position. */
    uint64_t S = 0, word = 0;
    for (int32_t i = n - 2; i >= 0; --i) {
        const TChar c = text[i], next = text[i + 1];
        S = (uint64_t)(c < next) | ((uint64_t)(c == next) & S);
        word |= S << (i & 63);
        if ((i & 63) == 0) {
            isS[(size_t)i >> 6] = word;
            word = 0;
        }
    }
    uint64_t lastOfPrevious = 0; /* position 0 has no predecessor, so is never LMS */
    for (size_t w = 0; w < words; ++w) {
        lms[w] = isS[w] & ~((isS[w] << 1) | lastOfPrevious);
        lastOfPrevious = isS[w] >> 63;
    }
    lms[0] &= ~(uint64_t)1;
    for (int32_t i = 0; i < n; ++i) ++count[(size_t)text[i]];

    /* The LMS suffixes at their buckets' ends, in any order, sorted by their substrings. */
    std::fill(SA, SA + n, -1);
    bucketEnds(count, b);
    int32_t lmsCount = 0;
    eachLmsDown(lms, [&](int32_t i) {
        SA[--b[(size_t)text[i]]] = i;
        ++lmsCount;
    });
    induce(text, SA, n, count, b, isS.data());

    /* In that order to the front; every entry is a position now. */
    for (int32_t i = 0, m = 0; m < lmsCount; ++i) {
        const int32_t p = SA[i];
        SA[m] = p;
        m += testBit(lms.data(), (size_t)p);
    }

    /* Names.  LMS positions lie at least 2 apart, so position p's slot is
     * SA[lmsCount + p / 2]; it first holds its substring's length.  Substrings of equal
     * length and bytes are equal in type too (types follow from the bytes after them),
     * and the last one, whose end is the text's, equals none. */
    int32_t* const slots = SA + lmsCount;
    std::fill(slots, SA + n, -1);
    int32_t next = n;
    eachLmsDown(lms, [&](int32_t i) {
        slots[i >> 1] = next - i + 1;
        next = i;
    });
    int32_t names = 0, prev = 0, prevLen = 0;
    for (int32_t k = 0; k < lmsCount; ++k) {
        const int32_t pos = SA[k];
        const int32_t len = slots[pos >> 1];
        bool same = len == prevLen && (int64_t)pos + len <= n && (int64_t)prev + len <= n;
        for (int32_t d = 0; same && d < len; ++d) same = text[pos + d] == text[prev + d];
        if (!same) {
            ++names;
            prev = pos;
            prevLen = len;
        }
        slots[pos >> 1] = names - 1;
    }
    /* the names to the back, in text order */
    for (int32_t i = n - 1, j = n - 1; i >= lmsCount; --i) {
        const int32_t v = SA[i];
        SA[j] = v;
        j -= v >= 0;
    }

    int32_t* const reduced = SA + n - lmsCount;
    if (names < lmsCount) {
        sortLevel<int32_t>(reduced, SA, lmsCount, names);
    } else {
        for (int32_t k = 0; k < lmsCount; ++k) SA[reduced[k]] = k;
    }

    /* The sorted LMS suffixes, from their indices to their positions, at their buckets'
     * ends in order; then the rest follows from them. */
    int32_t k = 0;
    for (size_t w = 0; w < words; ++w)
        for (uint64_t m = lms[w]; m; m &= m - 1) reduced[k++] = (int32_t)(w * 64) + __builtin_ctzll(m);
    for (k = 0; k < lmsCount; ++k) SA[k] = reduced[SA[k]];
    std::fill(SA + lmsCount, SA + n, -1);
    bucketEnds(count, b);
    for (k = lmsCount - 1; k >= 0; --k) {
        const int32_t p = SA[k];
        SA[k] = -1;
        SA[--b[(size_t)text[p]]] = p;
    }
    induce(text, SA, n, count, b, isS.data());
}

} // namespace

void sortSuffixes(const unsigned char* text, int32_t* SA, int32_t n) {
    if (n > 0) sortLevel<unsigned char>(text, SA, n, 256);
}

} // namespace _vko_private

#include "vko_sstring.h"

#include <algorithm>

#include "vko_enc_check.h"
#include "vko_suffix_sort.h"

namespace _vko_private {

TSuffixString::TSuffixString(const unsigned char* begin, const unsigned char* end, size_t thread_num,
                             uint16_t maxLCP)
    : src_begin(begin), src_end(end), threadNum(thread_num) {
    _init(maxLCP);
}

void TSuffixString::clearMem() {
    /* swap, not clear: the match search wants the memory back before it goes on */
    std::vector<TInt>().swap(SA);
    std::vector<TInt>().swap(R);
    std::vector<uint16_t>().swap(LCP);
}

void TSuffixString::_init(uint16_t maxLCP) {
    const size_t sa_size = (size_t)(src_end - src_begin);
    vko_check((sa_size==(size_t)(TInt)sa_size)&&(0<=(TInt)sa_size));
    SA.resize(sa_size);
    R.resize(sa_size);
    LCP.resize(sa_size);
    if (sa_size == 0) return;

    const unsigned char* src = src_begin;
    /* the sort runs on this thread whatever threadNum says */
    sortSuffixes(src, SA.data(), (TInt)sa_size);

    const size_t n = sa_size;
    for (size_t k = 0; k < n; ++k) R[(size_t)SA[k]] = (TInt)k;

    /* Kasai: the common prefix with the previous suffix shrinks by at most one from
     * position i to i+1.  Only the stored value is capped, so h keeps that property
     * and the pass stays linear however long the repeats are. */
    LCP[n - 1] = 0;
    size_t h = 0;
    const size_t kFar = 32, kNear = 16;
    for (size_t i = 0; i < n; ++i) {
        /* The suffix before suffix i in the array starts anywhere in the text: its array
         * entry and the LCP entry are fetched 32 positions ahead, and its bytes 16 ahead,
         * from where the common prefix will be by then at the least. */
        if (i + kFar < n && R[i + kFar] > 0) {
            const size_t ahead = (size_t)R[i + kFar] - 1;
            __builtin_prefetch(SA.data() + ahead);
            __builtin_prefetch(LCP.data() + ahead, 1);
        }
        if (i + kNear < n && R[i + kNear] > 0) {
            const size_t from = (size_t)SA[(size_t)R[i + kNear] - 1] + (h > kNear ? h - kNear : 0);
            if (from < n) __builtin_prefetch(src + from);
        }
        const size_t r = (size_t)R[i];
        if (r == 0) continue;
        const size_t j = (size_t)SA[r - 1];
        /* h never exceeds what both suffixes have left */
        h += commonLength(src + i + h, src + j + h, n - std::max(i, j) - h);
        LCP[r - 1] = (uint16_t)std::min<size_t>(h, maxLCP);
        if (h > 0) --h;
    }
}

} // namespace _vko_private

/* The suffix sorter must give the suffix order itself: every position once, and each
 * suffix below the next one, byte by byte, a prefix first.  The first byte narrows the
 * alphabet, so that long repeats and deep reduced texts are common, and the rest may be
 * repeated to reach the lengths where the sorter's recursion goes several levels down. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vko_suffix_sort.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 3) return 0;
    const unsigned alphabet = bytes[0] ? bytes[0] : 256;
    const size_t copies = bytes[1] % 16;
    std::vector<unsigned char> text;
    /* at most 16 KiB: the check below compares whole common prefixes */
    for (size_t c = 0; c <= copies && text.size() < 16384; ++c)
        for (size_t i = 2; i < size && text.size() < 16384; ++i)
            text.push_back((unsigned char)((bytes[i] + (i % 61 == 0 ? c : 0)) % alphabet));
    const size_t n = text.size();
    std::vector<int32_t> SA(n, -1);
    _vko_private::sortSuffixes(text.data(), SA.data(), (int32_t)n);
    std::vector<bool> seen(n, false);
    for (const int32_t p : SA) {
        if (p < 0 || (size_t)p >= n || seen[(size_t)p]) std::abort();
        seen[(size_t)p] = true;
    }
    for (size_t k = 0; k + 1 < n; ++k) {
        const size_t a = (size_t)SA[k], b = (size_t)SA[k + 1];
        const size_t shorter = n - (a > b ? a : b);
        const int order = std::memcmp(text.data() + a, text.data() + b, shorter);
        if (order > 0 || (order == 0 && a < b)) std::abort();
    }
    return 0;
}

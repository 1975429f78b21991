/* Suffix string: suffix array, rank array and capped LCP array over one byte range. */
#ifndef VKO_SSTRING_H
#define VKO_SSTRING_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace _vko_private {

/* Bytes a[0..] and b[0..] have in common, at most limit: eight at a time where the
 * machine allows. */
inline size_t commonLength(const unsigned char* a, const unsigned char* b, size_t limit) {
    size_t len = 0;
#if defined(__BYTE_ORDER__) && (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
    while (len + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        if (x != y) return len + ((size_t)__builtin_ctzll(x ^ y) >> 3);
        len += 8;
    }
#endif
    while (len < limit && a[len] == b[len]) ++len;
    return len;
}

class TSuffixString {
public:
    typedef int32_t TInt;

    const unsigned char* src_begin;
    const unsigned char* src_end;
    std::vector<TInt> SA;
    std::vector<TInt> R;
    std::vector<uint16_t> LCP;
    size_t threadNum;

    TSuffixString(const unsigned char* begin, const unsigned char* end, size_t thread_num, uint16_t maxLCP);
    void clearMem();

private:
    void _init(uint16_t maxLCP);
};

} // namespace _vko_private

#endif /* VKO_SSTRING_H */

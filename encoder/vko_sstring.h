/* Suffix string: suffix array, rank array and capped LCP array over one byte range. */
#ifndef VKO_SSTRING_H
#define VKO_SSTRING_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace _vko_private {

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

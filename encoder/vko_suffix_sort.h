/* The suffix array of a byte range, sorted by induction. */
#ifndef VKO_SUFFIX_SORT_H
#define VKO_SUFFIX_SORT_H

#include <cstdint>

namespace _vko_private {

/* Fills SA[0..n) with the start positions of text's suffixes in increasing order, a
 * shorter suffix before a longer one that starts with it.  n is at most INT32_MAX.  Work
 * memory comes from the heap (std::bad_alloc when it can't be had). */
void sortSuffixes(const unsigned char* text, int32_t* SA, int32_t n);

} // namespace _vko_private

#endif /* VKO_SUFFIX_SORT_H */

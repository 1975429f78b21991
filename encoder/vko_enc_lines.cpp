/*
 * vko_enc_lines.cpp - literal lines over a priced parse
 *
 * Once the clip's parse is chosen, literal lines are settled by one greedy pass over it:
 * a stretch of literals and matches (matches at one dict_pos with only literals between
 * them are taken as one group) becomes a single literal line when the line costs fewer
 * bits than the priced parse of the stretch.  The stretch keeps growing while that holds
 * or is within 15 bits of holding; otherwise the next stretch starts after this group.
 */
#include "vko_enc_match.h"

#include <algorithm>

namespace _vko_private {

void TMatch::_getCostByLiteralLen(std::vector<uint32_t>& cost) {
    const size_t count = matchLen.size();
    if (count < 2) return;
    size_t start = 1, cleared = 0;
    uint64_t saved = 0;
    size_t x = 1;
    while (x < count) {
        if (matchLen[x] == 0) {
            ++x;
            continue;
        }
        /* a group: matches at one dict_pos with only literals between them */
        const uint32_t p = matchDictPos[x];
        for (;;) {
            x += matchLen[x];
            size_t y = x;
            while (y < count && matchLen[y] == 0) ++y;
            if (y < count && matchDictPos[y] == p)
                x = y;
            else
                break;
        }
        const size_t e = x - 1;
        const uint64_t lineBits = _literalRunBits(e - start + 1);
        const uint64_t alt = (uint64_t)cost[start - 1] + lineBits + saved;
        if (alt < cost[e]) {
            std::fill(matchLen.begin() + (ptrdiff_t)(cleared + 1), matchLen.begin() + (ptrdiff_t)(e + 1), 0);
            saved = (uint64_t)cost[e] - cost[start - 1] - lineBits;
            cleared = e;
        } else if (alt >= (uint64_t)cost[e] + 15) {
            start = x;
            cleared = e;
            saved = 0;
        }
    }
}

} // namespace _vko_private

/* Match search: prices a whole clip in output bits and answers, position by position,
 * whether a match starts there. */
#ifndef VKO_ENC_MATCH_H
#define VKO_ENC_MATCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vko_enc.h"
#include "vko_enc_code.h"
#include "vko_sstring.h"

namespace _vko_private {

class TMatch {
public:
    /* Indexes the whole dictionary buffer [begin, end): window history, then the clip. */
    TMatch(const unsigned char* begin, const unsigned char* end, const TVkoCode& coder,
           const vko_TCompressProps& props);

    /* The first call must be at the clip's first byte; it prices the clip. */
    bool match(const unsigned char** matched, size_t* match_len, const unsigned char* cur);

private:
    friend struct TMatchTestAccess; /* defined by the tests only */

    static constexpr uint32_t kNullCostValue = 0xFFFFFFFFu; /* a state no step has reached */

    TSuffixString sstring;
    const TVkoCode& coder;
    const vko_TCompressProps& props;
    std::vector<uint32_t> matchDictPos;
    std::vector<uint16_t> matchLen;

    void _getCost(const unsigned char* cur);
    void _initCost(std::vector<uint32_t>& cost, size_t count);
    void _getCostByMatch(const unsigned char* cur, std::vector<uint32_t>& cost);
    void _cost_match(int32_t ci, size_t i, size_t& maxLen, std::vector<uint32_t>& cost);
    void _getCostByLiteralLen(std::vector<uint32_t>& cost);

    /* Prices one candidate at dict_pos from its longest length down; true when it is
     * long enough to end the search at this byte. */
    template <class TLenBits>
    bool _price_candidate(uint32_t dict_pos, uint64_t base, size_t len, size_t s, size_t& maxLen,
                          std::vector<uint32_t>& cost, TLenBits lenBits);
    size_t _common_len(size_t q, size_t ci) const;
    unsigned _posBit(uint64_t dict_pos) const;
    unsigned _lenBit(uint64_t v) const;
    uint64_t _literalRunBits(uint64_t k) const;
};

} // namespace _vko_private

#endif /* VKO_ENC_MATCH_H */

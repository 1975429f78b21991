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
    template <bool kByWord>
    void _priceClip(const unsigned char* cur, std::vector<uint32_t>& cost);
    template <bool kByWord>
    void _cost_match(int32_t ci, size_t i, size_t& maxLen, std::vector<uint32_t>& cost);

    /* What the candidate sources of one byte share. */
    struct TByteSearch {
        size_t ci;                /* the byte's buffer index */
        const unsigned char* cur; /* the byte */
        size_t limit;             /* the longest length any candidate may have here */
        size_t s;                 /* the state the candidates leave */
        uint64_t flag;            /* 1 when state s was reached by a literal step */
        uint64_t costS;           /* cost[s] */
    };
    struct TNearLenBits; /* LenBit(len - 2) */
    bool _costRepeat(const TByteSearch& b, size_t& maxLen, std::vector<uint32_t>& cost);
    bool _costNear(const TByteSearch& b, uint64_t d, size_t& maxLen, std::vector<uint32_t>& cost);
    template <bool kByWord>
    bool _costFar(const TByteSearch& b, uint64_t d, size_t& maxLen, std::vector<uint32_t>& cost);
    void _getCostByLiteralLen(std::vector<uint32_t>& cost);

    /* Prices one candidate at dict_pos from its longest length down; true when it is
     * long enough to end the search at this byte. */
    template <class TLenBits>
    bool _price_candidate(uint32_t dict_pos, uint64_t base, size_t len, size_t s, size_t& maxLen,
                          std::vector<uint32_t>& cost, TLenBits lenBits);
    unsigned _posBit(uint64_t dict_pos) const;
    unsigned _lenBit(uint64_t v) const;
    uint64_t _literalRunBits(uint64_t k) const;

    /* Far walk index.  runDown[k] / runUp[k]: how far below / above LCP index k the first
     * smaller LCP entry lies, up to 255 (then the run goes on from there), or in
     * wideRunDown / wideRunUp up to 65535 when positionsByWord; a level's ranks are the
     * runs at its boundary.  windowRanks marks the ranks of the positions in the
     * dictionary, and wordMax holds, per 64 ranks, the largest position already passed
     * (below the current byte): a level's nearest earlier occurrence comes from whole
     * words' maxima and the marked ranks of its two end words.  When positionsByWord,
     * earlierInWord (indexed by position & earlierMask) holds the position entered in the
     * same word before that one, or -1, and the suffix array is gone. */
    bool positionsByWord;
    std::vector<uint8_t> runDown, runUp;
    std::vector<uint16_t> wideRunDown, wideRunUp;
    std::vector<uint64_t> windowRanks;
    std::vector<int32_t> wordMax;
    std::vector<uint8_t> wordMaxBit; /* the rank of wordMax within its word */
    std::vector<int32_t> earlierInWord;
    size_t earlierMask;
    size_t windowStart; /* text positions below this are out of the dictionary */
    size_t passedEnd;   /* text positions below this are entered in windowRanks and wordMax */
    /* per block of states, a cost at least as high as any in it */
    std::vector<uint32_t> costBlockMax;

    /* Common lengths of the near scan at byte nearLenAt, per dict_pos (valid where that
     * scan had a two-byte hit, same bit order), and the cap they were cut at. */
    uint16_t nearLen[128];
    uint64_t nearLenHits[2];
    /* per length below kLongMatchLen, the value of nearStamp at the last byte that had a
     * near candidate of it */
    std::vector<uint32_t> nearLenStamp;
    uint32_t nearStamp;
    size_t nearLenAt;
    size_t nearLenLimit;

    static void _nearHits(const unsigned char* cur, uint64_t hits[2]);
    void _buildFarIndex();
    void _initFarIndex();
    void _freeFarIndex();
    template <bool kByWord>
    void _passUpTo(size_t ci);
    template <bool kByWord>
    void _prefetchFarWalk(size_t ci) const;
    size_t _scanMatteringLen(const uint32_t* costAt, size_t from, size_t to, uint64_t farFloor) const;
    size_t _firstMatteringLen(const uint32_t* cost, size_t s, size_t from, size_t to, uint64_t farFloor);
    /* The far walk's parts, compiled for each value of positionsByWord. */
    template <bool kByWord>
    size_t _downExtent(size_t b, size_t h, size_t limit) const;
    template <bool kByWord>
    size_t _upExtent(size_t b, size_t h, size_t limit) const;
    template <bool kByWord>
    int64_t _passedMaxIn(int64_t a, int64_t b) const;
};

} // namespace _vko_private

#endif /* VKO_ENC_MATCH_H */

/*
 * vko_enc_match.cpp - the optimal parse of one clip
 *
 * The clip compressor asks, byte by byte, whether a match starts here.  The first
 * question prices the whole clip; every later one reads the answer from two arrays.
 *
 * Pricing is a shortest path over the clip's states: state s stands for the first s
 * bytes encoded, cost[s] is the fewest output bits found for them, and matchLen[s] /
 * matchDictPos[s] record the last step into s (a literal, or a match of that length at
 * that dict_pos, the backward distance minus one).  The prices are the emitter's own
 * bit counts: savedDictPosBits and savedDictLenBits are tables the emitter fills from
 * the functions it writes with, so a parse with no literal line costs exactly the bits
 * the emitter then spends.  The emitter's state enters the price in two ways: a match
 * right after literal data pays one bit more (the repeat bit), and it may instead reuse
 * the previous match's distance for two bits.  The path keeps only one such distance per
 * state, the one of its best way in (a literal step carries it on), so the search is
 * exact over positions but not over every distance a state could have been left with.
 *
 * The forward pass visits the states in order.  A literal step into state i is priced
 * as part of the literal run it extends, from the state where that run began: a literal
 * line's header does not grow byte by byte, so a run's price is not a sum of per-byte
 * prices.  Then every candidate match that starts at the byte after state s = i - 1 is
 * priced into the states s + len, from its longest length down.  A length that lowers
 * or ties a state's cost takes it (later candidates win ties, and a match keeps a state
 * against a literal of equal price); one more than 4 bits dearer than the state's cost
 * stops that candidate, since shorter lengths save at most a few bits of length code.
 * A candidate of 512 bytes or more ends the byte's search and the pass jumps past the
 * states it spans, which keeps long runs linear.
 *
 * The candidates of one byte come from three sources, in the order that settles ties:
 *
 *   - the repeat form: the distance carried by state s, when s was reached by a literal;
 *   - the near scan: every dict_pos from 126 down to 0, the ones whose explicit
 *     distance is a single byte.  One SSE2 compare finds which of the 128 bytes before
 *     the current one start with its two bytes; lengths found at the previous byte are
 *     reused one shorter, and of near hits of the same length only the nearest is priced
 *     (they share one price, so it redoes whatever the farther ones would do);
 *   - the far walk, beyond dict_pos 126: the suffix array orders every position of the
 *     window and clip, and the positions sharing at least h bytes with the current one
 *     form a run of ranks around its own.  The walk widens that run level by level, h
 *     falling, and prices per level the nearest earlier position in it, at length h.
 *     It may widen by 2048 ranks per byte in all; the level that exhausts the budget is
 *     priced from the ranks reached.  No level is stepped through rank by rank: the
 *     ranks of a level are the run of LCP entries at least h from the rank that reaches
 *     it, and for each LCP index the distance to the next smaller entry either way is
 *     kept.  The nearest earlier occurrence in a level comes from the largest position
 *     already passed per 64 ranks, and in the level's two end words from a bitmap of
 *     the ranks of the positions in the dictionary (the largest passed position is in
 *     the dictionary whenever any is, and only such a position is priced).
 *
 *     The positions of an end word's marked ranks are found one of two ways.  With a
 *     dictionary of at most 1/16 of the text, few ranks of a word are marked: going
 *     back from the word's largest position through the ones entered in the word
 *     before it soon finds the largest marked one, and the suffix array is dropped
 *     before pricing; its memory pays for runs kept in 16 bits, which cover any run
 *     the budget can use.  With a larger dictionary most ranks are marked, and the
 *     suffix array gives them directly; the runs are then kept to a byte, and a longer
 *     run goes on from where its stored part ends.
 *
 *     A level whose cheapest possible price cannot change its target state is counted
 *     for the budget only, and once no shorter level could change anything the walk
 *     stops.
 *
 * Backtracking walks from the final state along the recorded steps and re-records each
 * chosen match at the entry that the query for its first byte reads.  The suffix string
 * is released before, since only the arrays are needed from then on.
 *
 * Literal lines are then settled over the chosen parse (vko_enc_lines.cpp).
 */
#include "vko_enc_match.h"

#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__)
#define VKO_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VKO_ALWAYS_INLINE inline
#endif

namespace _vko_private {

namespace {
/* A candidate this long ends the search at its byte, and the states it spans are skipped. */
const size_t kLongMatchLen = 512;
/* How many steps the far walk may widen its levels by, per byte. */
const int kFarWalkBudget = 2048;
/* A run kept to a byte or to 16 bits: these values mean "this or more".  The walk never
 * asks for more of a run than its budget and one rank, so a run capped at 16 bits is as
 * good as its full length. */
const size_t kRunByteCap = 255;
const size_t kWideRunCap = 65535;
static_assert(kWideRunCap > (size_t)kFarWalkBudget + 2, "a capped wide run must cover the walk's budget");
/* The suffix array is dropped when the dictionary is at most this share of the text. */
const size_t kByWordShare = 16;
/* Nearest dict_pos priced only by the far walk; nearer ones all get tried one by one. */
const uint64_t kNearCount = 127;
/* A shorter length that is at most this many bits dearer than its target's price may
 * still be followed by an even shorter one that wins. */
const uint64_t kContinueSlack = 4;

/* Lengths a search for the first one that still matters looks through one by one. */
const size_t kShortMatteringScan = 8;

/* States per block of costBlockMax (as a power of 2). */
const unsigned kCostBlockBits = 5;

/* The far walk of a byte starts at its rank, which is anywhere in the suffix array: the
 * lines it reads first are fetched this many bytes ahead, while earlier bytes are priced. */
const size_t kPrefetchAhead = 8;

inline uint16_t load16(const unsigned char* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

} // namespace

TMatch::TMatch(const unsigned char* begin, const unsigned char* end, const TVkoCode& coder_,
               const vko_TCompressProps& props_)
    : sstring(begin, end, (size_t)props_.threadNum, (uint16_t)props_.maxSaveLength), coder(coder_),
      props(props_), positionsByWord(false), earlierMask(0), windowStart(0), passedEnd(0), nearStamp(0),
      nearLenAt((size_t)-1), nearLenLimit(0) {
    _buildFarIndex();
}

bool TMatch::match(const unsigned char** matched, size_t* match_len, const unsigned char* cur) {
    if (matchLen.empty()) _getCost(cur);
    const size_t e = matchLen.size() - (size_t)(sstring.src_end - cur);
    const size_t len = matchLen[e];
    if (len == 0) return false;
    *match_len = len;
    *matched = cur - (size_t)matchDictPos[e] - 1;
    return true;
}

unsigned TMatch::_posBit(uint64_t dict_pos) const {
    return (dict_pos < TVkoCode::kPosBitsTableSize) ? coder.savedDictPosBits[dict_pos]
                                                    : coder._getSavedDictPosBit(dict_pos);
}

inline unsigned TMatch::_lenBit(uint64_t v) const {
    return (v < TVkoCode::kLenBitsTableSize) ? coder.savedDictLenBits[v] : coder._getSavedDictLenBit(v);
}

/* A literal line is priced by its first state as a whole: its header does not grow byte
 * by byte, so the run's price is not a sum of per-byte prices. */
uint64_t TMatch::_literalRunBits(uint64_t k) const {
    if (coder.useLiteralLine && k >= vko_kMinLiteralLineLen)
        return 8 * k + 11 + coder.__getDictPosLenBit(k - vko_kMinLiteralLineLen);
    return 9 * k;
}

void TMatch::_getCost(const unsigned char* cur) {
    std::vector<uint32_t> cost;
    _initCost(cost, (size_t)(sstring.src_end - cur) + 1);
    _getCostByMatch(cur, cost);
    sstring.clearMem();
    _freeFarIndex();

    size_t a = matchLen.size();
    while (a > 0) {
        const size_t e = a - 1;
        const size_t len = matchLen[e];
        if (len != 0) {
            a = e + 1 - len;
            matchLen[a] = (uint16_t)len;
            matchDictPos[a] = matchDictPos[e];
        } else {
            a = e;
        }
    }

    if (props.useLiteralLine) _getCostByLiteralLen(cost);
}

void TMatch::_initCost(std::vector<uint32_t>& cost, size_t count) {
    cost.clear();
    matchLen.clear();
    matchDictPos.clear();
    cost.assign(count, kNullCostValue);
    matchLen.assign(count, 0);
    matchDictPos.assign(count, 0xFFFFFFFFu);
    cost[0] = 0;
    matchLen[0] = 0;
    matchDictPos[0] = 0; /* the emitter's saved distance 1 at a clip's start */
}

/* The lines the far walk of byte ci reads first: the LCP entries and runs at its rank,
 * and the dictionary marks, maxima and (while it is kept) suffix array entries of the
 * rank's word. */
template <bool kByWord>
VKO_ALWAYS_INLINE void TMatch::_prefetchFarWalk(size_t ci) const {
    if (ci >= sstring.R.size()) return;
    const size_t r = (size_t)sstring.R[ci];
    const size_t below = (r > 0) ? r - 1 : 0;
    __builtin_prefetch(sstring.LCP.data() + below);
    if constexpr (kByWord) {
        __builtin_prefetch(wideRunDown.data() + below);
        __builtin_prefetch(wideRunUp.data() + r);
    } else {
        __builtin_prefetch(runDown.data() + below);
        __builtin_prefetch(runUp.data() + r);
    }
    __builtin_prefetch(windowRanks.data() + (r >> 6));
    __builtin_prefetch(wordMax.data() + (r >> 6));
    __builtin_prefetch(wordMaxBit.data() + (r >> 6));
    if constexpr (!kByWord) {
        for (size_t k = r & ~(size_t)63; k < std::min(sstring.SA.size(), (r | 63) + 1); k += 16)
            __builtin_prefetch(sstring.SA.data() + k);
    }
}

void TMatch::_getCostByMatch(const unsigned char* cur, std::vector<uint32_t>& cost) {
    if (positionsByWord)
        _priceClip<true>(cur, cost);
    else
        _priceClip<false>(cur, cost);
}

/* The forward pass, compiled for each way of finding the positions of marked ranks. */
template <bool kByWord>
void TMatch::_priceClip(const unsigned char* cur, std::vector<uint32_t>& cost) {
    const size_t count = cost.size();
    if (count <= 1) return;
    const size_t clipIndex = (size_t)(cur - sstring.src_begin);
    _initFarIndex();
    costBlockMax.assign((count >> kCostBlockBits) + 1, kNullCostValue);
    size_t run = 0;
    for (size_t i = 1; i < count;) {
        size_t from;
        uint64_t price;
        if (matchLen[i - 1] != 0) {
            from = i - 1;
            run = 1;
            price = 9;
        } else {
            ++run;
            from = i - run;
            price = _literalRunBits(run);
        }
        const uint64_t viaLiteral = (uint64_t)cost[from] + price;
        if (viaLiteral < cost[i]) {
            cost[i] = (uint32_t)viaLiteral;
            matchLen[i] = 0;
            matchDictPos[i] = matchDictPos[from];
        }

        _prefetchFarWalk<kByWord>(clipIndex + i - 1 + kPrefetchAhead);
        size_t maxLen = vko_kMinDictMatchLen;
        _cost_match<kByWord>((int32_t)(clipIndex + i - 1), i, maxLen, cost);
        i += (maxLen >= kLongMatchLen) ? maxLen : 1;
    }
}

/* The length price of a candidate at dict_pos 2686 or less. */
struct TMatch::TNearLenBits {
    const TMatch* match;
    uint64_t operator()(size_t l) const { return match->_lenBit(l - vko_kMinDictMatchLen); }
};

/* Called for every candidate of every byte: kept inline so that a candidate rejected at
 * its longest length costs a few instructions. */
template <class TLenBits>
VKO_ALWAYS_INLINE bool TMatch::_price_candidate(uint32_t dict_pos, uint64_t base, size_t len, size_t s,
                                                size_t& maxLen, std::vector<uint32_t>& cost, TLenBits lenBits) {
    uint32_t* costs = cost.data() + s;
    uint16_t* lens = matchLen.data() + s;
    uint32_t* positions = matchDictPos.data() + s;
    for (size_t l = len; l >= vko_kMinDictMatchLen; --l) {
        const uint64_t price = base + lenBits(l);
        const uint64_t old = costs[l];
        if (old >= price) {
            costs[l] = (uint32_t)price;
            lens[l] = (uint16_t)l;
            positions[l] = dict_pos;
        } else if (old + kContinueSlack < price) {
            break;
        }
    }
    maxLen = std::max(maxLen, len);
    return len >= kLongMatchLen;
}

/* How many ranks below LCP index b (whose entry is h) have LCP >= h in a row, counted up
 * to limit.  A wide run is read whole.  A byte run of 255 or more goes on from where its
 * stored part ends: every index it passes over shares at least the entry it was read at,
 * so at least h. */
template <bool kByWord>
VKO_ALWAYS_INLINE size_t TMatch::_downExtent(size_t b, size_t h, size_t limit) const {
    if constexpr (kByWord) return std::min<size_t>(wideRunDown[b] - 1, limit);
    const uint16_t* LCP = sstring.LCP.data();
    const size_t step = runDown[b];
    if (step < kRunByteCap) return std::min(step - 1, limit);
    int64_t j = (int64_t)b - (int64_t)kRunByteCap;
    while (j >= 0 && (size_t)((int64_t)b - 1 - j) < limit && LCP[j] >= h) j -= runDown[(size_t)j];
    return std::min((size_t)((int64_t)b - 1 - j), limit);
}

/* The same above b: ranks b + 2, b + 3, ... while LCP[rank - 1] >= h. */
template <bool kByWord>
VKO_ALWAYS_INLINE size_t TMatch::_upExtent(size_t b, size_t h, size_t limit) const {
    if constexpr (kByWord) return std::min<size_t>(wideRunUp[b] - 1, limit);
    const uint16_t* LCP = sstring.LCP.data();
    const size_t step = runUp[b];
    if (step < kRunByteCap) return std::min(step - 1, limit);
    const size_t n = runUp.size();
    size_t j = b + kRunByteCap;
    while (j < n && j - b - 1 < limit && LCP[j] >= h) j += runUp[j];
    return std::min(j - b - 1, limit);
}

/* The largest position already passed among ranks a..b (a <= b), or -1, wherever it lies
 * in the dictionary; -1 also when none of the end words' passed positions is in it.
 * Either way a level is priced only from a position in the dictionary, and the largest
 * passed one is in it whenever any is. */
template <bool kByWord>
VKO_ALWAYS_INLINE int64_t TMatch::_passedMaxIn(int64_t a, int64_t b) const {
    const TSuffixString::TInt* SA = sstring.SA.data();
    const TSuffixString::TInt* R = sstring.R.data();
    const uint64_t* words = windowRanks.data();
    const size_t first = (size_t)a >> 6, last = (size_t)b >> 6;
    const uint64_t headMask = ~(uint64_t)0 << ((size_t)a & 63);
    const uint64_t tailMask = ~(uint64_t)0 >> (63 - ((size_t)b & 63));
    int64_t top = -1;
    auto fromBits = [&](size_t w, uint64_t bits) {
        if (bits == 0) return; /* most levels' end words hold none: their maximum is not read */
        /* the word's largest passed position, when its rank is among the bits, is theirs too */
        if ((bits >> wordMaxBit[w]) & 1) {
            top = std::max<int64_t>(top, wordMax[w]);
            return;
        }
        if constexpr (kByWord) {
            /* the word's positions in the dictionary, latest first: the first whose rank
             * is among the bits is their largest */
            for (int64_t p = earlierInWord[(size_t)wordMax[w] & earlierMask]; p >= (int64_t)windowStart;
                 p = earlierInWord[(size_t)p & earlierMask]) {
                if ((bits >> (R[p] & 63)) & 1) {
                    top = std::max<int64_t>(top, p);
                    return;
                }
            }
            return;
        }
        for (; bits; bits &= bits - 1) top = std::max<int64_t>(top, SA[w * 64 + (size_t)__builtin_ctzll(bits)]);
    };
    if (first == last) {
        fromBits(first, words[first] & headMask & tailMask);
        return top;
    }
    size_t w = first;
    if (headMask != ~(uint64_t)0) fromBits(w++, words[first] & headMask);
    const size_t end = (tailMask != ~(uint64_t)0) ? last : last + 1;
    for (; w < end; ++w) top = std::max<int64_t>(top, wordMax[w]);
    if (end == last) fromBits(last, words[last] & tailMask);
    return top;
}

/* The shortest length from `from` to `to` (both at least 2 and below 512) whose far
 * candidate could still change a state (see levelMatters in the far walk), or to + 1
 * when none can.  LenBit is the same over each run of lengths from a power of 2 to the
 * next, so each such run is one plain scan of the states against one threshold. */
size_t TMatch::_scanMatteringLen(const uint32_t* costAt, size_t from, size_t to, uint64_t farFloor) const {
    size_t l = from;
    while (l <= to) {
        const unsigned bits = _lenBit(l - vko_kMinDictMatchLen);
        size_t runEnd = std::min(to, ((size_t)2 << (63 - __builtin_clzll((uint64_t)l))) - 1);
        /* the run is taken whole only where the emitter's table agrees at its end */
        if (_lenBit(runEnd - vko_kMinDictMatchLen) != bits) runEnd = l;
        /* the level matters where cost + slack >= farFloor + bits */
        const uint64_t need = farFloor + bits - kContinueSlack;
        if (need <= 0xFFFFFFFFu) {
            const uint32_t need32 = (uint32_t)need;
#if defined(__SSE2__)
            /* four states at a time; flipping the sign bit makes the signed compare an
             * unsigned one */
            const __m128i flip = _mm_set1_epi32(INT32_MIN);
            const __m128i needFlipped = _mm_xor_si128(_mm_set1_epi32((int32_t)need32), flip);
            for (; l + 3 <= runEnd; l += 4) {
                const __m128i costs = _mm_xor_si128(_mm_loadu_si128((const __m128i*)(costAt + l)), flip);
                const unsigned below = (unsigned)_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(needFlipped, costs)));
                if (below != 0xF) return l + (size_t)__builtin_ctz(~below & 0xF);
            }
#endif
            for (; l <= runEnd; ++l)
                if (costAt[l] >= need32) return l;
        } else {
            l = runEnd + 1;
        }
    }
    return l;
}

/* The same as _scanMatteringLen for state s, but whole blocks of states whose known
 * largest cost is below what the block's shortest length needs are passed at once.
 * Costs only fall while the clip is priced, so a block maximum once recorded stays an
 * upper bound; one that is too high to pass a block is recomputed. */
size_t TMatch::_firstMatteringLen(const uint32_t* cost, size_t s, size_t from, size_t to, uint64_t farFloor) {
    const size_t blockSize = (size_t)1 << kCostBlockBits;
    /* the first length whose state starts a block */
    const size_t firstBlockLen = ((s + from + blockSize - 1) & ~(blockSize - 1)) - s;
    if (firstBlockLen + blockSize - 1 > to) return _scanMatteringLen(cost + s, from, to, farFloor);
    const size_t head = _scanMatteringLen(cost + s, from, firstBlockLen - 1, farFloor);
    if (head < firstBlockLen) return head;
    size_t l = firstBlockLen;
    for (; l + blockSize - 1 <= to; l += blockSize) {
        uint32_t& blockMax = costBlockMax[(s + l) >> kCostBlockBits];
        /* the block's shortest length needs the least */
        const uint64_t needLeast = farFloor + _lenBit(l - vko_kMinDictMatchLen) - kContinueSlack;
        if (blockMax < needLeast) continue;
        uint32_t largest = 0;
        for (size_t j = 0; j < blockSize; ++j) largest = std::max(largest, cost[s + l + j]);
        blockMax = largest;
        if (largest < needLeast) continue;
        const size_t hit = _scanMatteringLen(cost + s, l, l + blockSize - 1, farFloor);
        if (hit < l + blockSize) return hit;
    }
    return _scanMatteringLen(cost + s, l, to, farFloor);
}

/* The three candidate sources of one byte, in the order that settles ties.  Each returns
 * true when a candidate long enough to end the search at this byte was priced. */

/* Repeat form: the dict_pos of the last match before the literal run that reached s. */
VKO_ALWAYS_INLINE bool TMatch::_costRepeat(const TByteSearch& b, size_t& maxLen, std::vector<uint32_t>& cost) {
    const uint32_t p = matchDictPos[b.s];
    const unsigned char* q = b.cur - p - 1;
    if (load16(q) != load16(b.cur)) return false;
    const size_t len = 2 + commonLength(q + 2, b.cur + 2, b.limit - 2);
    return _price_candidate(p, b.costS + 2, len, b.s, maxLen, cost, TNearLenBits{this});
}

/* Near scan: every dict_pos from min(d, 126) down to 0, the farthest first. */
VKO_ALWAYS_INLINE bool TMatch::_costNear(const TByteSearch& b, uint64_t d, size_t& maxLen,
                                         std::vector<uint32_t>& cost) {
    const size_t ci = b.ci, s = b.s, limit = b.limit;
    const unsigned char* curBytes = b.cur;
    const TNearLenBits nearLenBits{this};
    const uint64_t nearBase = b.costS + b.flag + coder.savedDictPosBits[0]; /* the same for p <= 126 */
    const size_t pMax = (size_t)std::min<uint64_t>(d, kNearCount - 1);
    if (ci < 128) { /* too close to the buffer's start for the 128-byte compare */
        const uint16_t head = load16(curBytes);
        for (size_t p = pMax + 1; p-- > 0;) {
            const unsigned char* q = curBytes - p - 1;
            if (load16(q) != head) continue;
            const size_t len = 2 + commonLength(q + 2, curBytes + 2, limit - 2);
            if (_price_candidate((uint32_t)p, nearBase, len, s, maxLen, cost, nearLenBits)) return true;
        }
        return false;
    }
    uint64_t twoByteHits[2];
    _nearHits(curBytes, twoByteHits);
    /* bit b stands for p = 127 - b: the farthest first, as the order requires */
    const size_t dropped = 127 - pMax; /* bits for p > pMax */
    if (dropped >= 64) {
        twoByteHits[0] = 0;
        twoByteHits[1] &= ~(uint64_t)0 << (dropped - 64);
    } else {
        twoByteHits[0] &= ~(uint64_t)0 << dropped;
    }
    /* A length found one byte earlier at the same dict_pos that stopped at a
     * differing byte is one shorter now: no need to compare again. */
    const bool reuse = (nearLenAt == ci - 1);
    nearLenAt = (size_t)-1; /* stays so if the scan ends early */
    /* All near candidates share one base price, so one that a later candidate of
     * the same length follows changes nothing that the later one does not redo:
     * at every state it would set, the later one sets again (ties go to the
     * later), and where it would go on or stop, so would the later one.  So the
     * hits are gathered from the last (nearest) back, keeping the first of each
     * length met, and the kept ones priced in the original order.  One long
     * enough to end the search drops all gathered after it in that order. */
    struct TNear {
        uint32_t p;
        uint32_t len;
    } kept[128];
    size_t keptCount = 0;
    ++nearStamp;
    /* a length found before qualifies when 3 <= len < nearLenLimit: one compare */
    const size_t reuseSpan = (nearLenLimit > 3) ? nearLenLimit - 3 : 0;
    for (int word = 1; word >= 0; --word) {
        const uint64_t hadHit = reuse ? nearLenHits[word] : 0;
        for (uint64_t bits = twoByteHits[word]; bits;) {
            const unsigned bit = 63 - (unsigned)__builtin_clzll(bits);
            bits ^= (uint64_t)1 << bit;
            const size_t p = 127 - ((size_t)word * 64 + bit);
            size_t len;
            if (((hadHit >> bit) & 1) && (size_t)nearLen[p] - 3 < reuseSpan) {
                len = nearLen[p] - 1;
            } else {
                const unsigned char* q = curBytes - p - 1;
                len = 2 + commonLength(q + 2, curBytes + 2, limit - 2);
            }
            nearLen[p] = (uint16_t)len;
            if (len >= kLongMatchLen) {
                keptCount = 0;
                ++nearStamp; /* lengths met so far were of dropped candidates */
            } else {
                uint32_t& stamp = nearLenStamp[len];
                if (stamp == nearStamp) continue; /* a later one of this length redoes it */
                stamp = nearStamp;
            }
            kept[keptCount++] = TNear{(uint32_t)p, (uint32_t)len};
        }
    }
    for (size_t j = keptCount; j-- > 0;) {
        if (_price_candidate(kept[j].p, nearBase, kept[j].len, s, maxLen, cost, nearLenBits)) return true;
    }
    nearLenHits[0] = twoByteHits[0];
    nearLenHits[1] = twoByteHits[1];
    nearLenAt = ci;
    nearLenLimit = limit;
    return false;
}

/* Far walk: widen a rank interval around ci level by level, each level the ranks
 * sharing at least h bytes with ci, and price the nearest earlier one per level.  A
 * level's ranks are counted against the budget from the runs at its boundary, and its
 * nearest earlier occurrence comes from exactly the ranks a step-by-step walk would
 * visit. */
template <bool kByWord>
VKO_ALWAYS_INLINE bool TMatch::_costFar(const TByteSearch& b, uint64_t d, size_t& maxLen,
                                        std::vector<uint32_t>& cost) {
    const size_t ci = b.ci, s = b.s;
    const uint64_t flag = b.flag, costS = b.costS;
    _passUpTo<kByWord>(ci);
    const uint16_t* LCP = sstring.LCP.data();
    const int64_t nn = (int64_t)sstring.LCP.size();
    const int64_t r = sstring.R[ci];
    int64_t lo = r - 1, hi = r + 1;
    int64_t budget = kFarWalkBudget;
    /* a suffix after ci wraps to a huge value that never wins a level */
    auto distOf = [ci](int64_t pos) -> uint64_t { return (uint64_t)((int64_t)ci - pos - 1); };
    /* Whatever its distance, a level's candidate of h bytes is priced at least costS +
     * flag + 12 + LenBit(h - 2); when that is more than 4 bits dearer than state s + h
     * already is, it stops at its first length and changes nothing, and below 512 bytes
     * its length does not matter either.  Such a level needs its extent only for the
     * budget, and once no lower level matters the walk has nothing left to do. */
    const uint64_t farFloor = costS + flag + coder.savedDictPosBits[kNearCount];
    const uint32_t* const costAtS = cost.data() + s;
    const unsigned char* const lenBitsTable = coder.savedDictLenBits;
    auto levelMatters = [&](size_t h) -> bool {
        /* h - 2 < 510 is inside the emitter's table */
        return h >= kLongMatchLen || (uint64_t)costAtS[h] + kContinueSlack >= farFloor + lenBitsTable[h - 2];
    };
    size_t noneBelow = vko_kMinDictMatchLen; /* no level shorter than this matters */
    size_t lowerMatters = (size_t)-1;        /* a shorter level that mattered when last looked at */
    for (;;) {
        /* The level: the larger LCP at the run's two ends.  Past the rank (or ranks) that
         * reach it, the level's ranks are the runs of LCP >= h from there. */
        int64_t downFrom = -1, upFrom = -1; /* the LCP indices the level is reached at */
        const size_t lcpDown = (lo >= 0) ? LCP[lo] : 0, lcpUp = (hi < nn) ? LCP[hi - 1] : 0;
        /* an end past the array reads as 0, which no level above 1 equals; with both ends
         * past it the walk is over */
        const size_t h = std::max(lcpDown, lcpUp);
        if (h <= 1) break;
        if (lcpDown == h) downFrom = lo--;
        if (lcpUp == h) upFrom = hi++ - 1;

        const bool findPassed = levelMatters(h);
        if (!findPassed) {
            /* Costs only fall during the walk, so a length found not to matter never
             * does again; one found to matter is checked again before it is relied on. */
            if (lowerMatters >= h || !levelMatters(lowerMatters)) {
                if (h - noneBelow <= kShortMatteringScan) {
                    /* most of these scans are a length or two long: in line */
                    lowerMatters = noneBelow;
                    while (lowerMatters < h && !levelMatters(lowerMatters)) ++lowerMatters;
                } else {
                    lowerMatters = _firstMatteringLen(cost.data(), s, noneBelow, h - 1, farFloor);
                }
                if (lowerMatters >= h) break;
                noneBelow = lowerMatters;
            }
        }
        /* Downward: every rank with LCP >= h is visited while budget lasts; the one met
         * with the budget at 0 is still visited, then the walk stops.  The level's nearest
         * earlier occurrence is the largest position passed in the dictionary among the
         * ranks it adds, the one that reaches it included: a position outside the
         * dictionary or not yet passed would be too far to price anyway. */
        const size_t down = (downFrom >= 0) ? _downExtent<kByWord>((size_t)downFrom, h, (size_t)budget + 1) : 0;
        int64_t last = -1;
        if (findPassed && downFrom >= 0) last = _passedMaxIn<kByWord>(downFrom - (int64_t)down, downFrom);
        if ((int64_t)down > budget) {
            budget = -1;
        } else {
            budget -= (int64_t)down;
            lo -= (int64_t)down;
        }
        /* Upward: the same, except that with no budget left one more rank is visited. */
        const size_t upLimit = (budget <= 0) ? 1 : (size_t)budget + 1;
        const size_t up = (upFrom >= 0) ? _upExtent<kByWord>((size_t)upFrom, h, upLimit) : 0;
        if (findPassed && upFrom >= 0) last = std::max(last, _passedMaxIn<kByWord>(upFrom + 1, upFrom + 1 + (int64_t)up));
        if (budget <= 0) {
            budget -= (int64_t)up;
        } else if ((int64_t)up > budget) {
            budget = -1;
        } else {
            budget -= (int64_t)up;
            hi += (int64_t)up;
        }
        const uint64_t minPos = (last >= 0) ? distOf(last) : UINT64_MAX;

        if (findPassed && minPos >= kNearCount && minPos <= d) {
            const uint64_t base = costS + flag + _posBit(minPos);
            bool ended;
            if (minPos < vko_kMinFarDictPos - 1) {
                ended = _price_candidate((uint32_t)minPos, base, h, s, maxLen, cost, TNearLenBits{this});
            } else {
                /* a 2-byte match this far cannot be written: priced out of reach */
                auto farLenBits = [this](size_t l) -> uint64_t {
                    return (l > vko_kMinDictMatchLen) ? _lenBit(l - (vko_kMinDictMatchLen + 1))
                                                      : (uint64_t)(10 * l + 128);
                };
                ended = _price_candidate((uint32_t)minPos, base, h, s, maxLen, cost, farLenBits);
            }
            if (ended) return true;
        }
        if (budget <= 0) break;
    }
    return false;
}

template <bool kByWord>
VKO_ALWAYS_INLINE void TMatch::_cost_match(int32_t ci_, size_t i, size_t& maxLen, std::vector<uint32_t>& cost) {
    if (ci_ == 0) return;
    TByteSearch b;
    b.ci = (size_t)ci_;
    b.cur = sstring.src_begin + b.ci;
    /* every candidate, far ones too, shares at most the bytes left */
    b.limit = std::min<size_t>((size_t)props.maxSaveLength, (size_t)(sstring.src_end - b.cur));
    if (b.limit < vko_kMinDictMatchLen) return;
    b.s = i - 1;
    b.flag = (b.s > 0 && matchLen[b.s] == 0) ? 1 : 0;
    b.costS = cost[b.s];

    if (b.flag && _costRepeat(b, maxLen, cost)) return;
    const uint64_t d = std::min<uint64_t>(props.dictSize - 1, b.ci - 1); /* the largest usable dict_pos */
    if (_costNear(b, d, maxLen, cost)) return;
    if (d >= kNearCount) _costFar<kByWord>(b, d, maxLen, cost);
}

/* Which of the 128 positions before cur start with cur's two bytes: bit b of the 128-bit
 * result stands for the position cur - 128 + b.  The reads stay in [cur - 128, cur]. */
VKO_ALWAYS_INLINE void TMatch::_nearHits(const unsigned char* cur, uint64_t hits[2]) {
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8((char)cur[0]);
    const __m128i second = _mm_set1_epi8((char)cur[1]);
    const unsigned char* from = cur - 128;
    auto chunk = [&](int c) -> uint64_t {
        const unsigned char* at = from + 16 * c;
        const __m128i a = _mm_loadu_si128((const __m128i*)at);
        const __m128i b = _mm_loadu_si128((const __m128i*)(at + 1));
        return (uint32_t)_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, second)));
    };
    hits[0] = chunk(0) | (chunk(1) << 16) | (chunk(2) << 32) | (chunk(3) << 48);
    hits[1] = chunk(4) | (chunk(5) << 16) | (chunk(6) << 32) | (chunk(7) << 48);
#else
    const uint16_t head = load16(cur);
    hits[0] = hits[1] = 0;
    for (size_t b = 0; b < 128; ++b)
        if (load16(cur - 128 + b) == head) hits[b >> 6] |= (uint64_t)1 << (b & 63);
#endif
}

/* Before the clip is priced, while its state arrays do not exist yet: the runs need a
 * stack of LCP indices.  One pass finds both ends of every run: an index leaves the stack
 * when an entry below its own comes, which ends its run upward, and the index below it on
 * the stack then ends its run downward, or that index's own run does when their entries
 * are equal. */
template <class TRun>
static void buildRuns(const std::vector<uint16_t>& LCP, std::vector<TRun>& runDown, std::vector<TRun>& runUp,
                      size_t cap) {
    const size_t n = LCP.size();
    runDown.resize(n);
    runUp.resize(n);
    /* indices whose entries do not fall from bottom to top */
    std::vector<TSuffixString::TInt> rising;
    for (size_t k = 0; k < n; ++k) {
        const uint16_t h = LCP[k];
        while (!rising.empty() && LCP[(size_t)rising.back()] > h) {
            const size_t j = (size_t)rising.back();
            runUp[j] = (TRun)std::min(k - j, cap);
            rising.pop_back();
        }
        size_t down = k + 1; /* no entry below h before k */
        if (!rising.empty()) {
            const size_t top = (size_t)rising.back();
            /* a capped run of an equal entry gives a capped one here too */
            down = (LCP[top] == h) ? runDown[top] + (k - top) : k - top;
        }
        runDown[k] = (TRun)std::min(down, cap);
        rising.push_back((TSuffixString::TInt)k);
    }
    for (const TSuffixString::TInt j : rising) runUp[(size_t)j] = (TRun)std::min(n - (size_t)j, cap);
}

void TMatch::_buildFarIndex() {
    const size_t n = sstring.LCP.size();
    /* a ring of a power of 2 at least dictSize long keeps the positions in the dictionary */
    size_t ring = 1;
    while (ring < props.dictSize && ring < n) ring <<= 1;
    positionsByWord = ring <= n / kByWordShare;
    if (positionsByWord) {
        std::vector<TSuffixString::TInt>().swap(sstring.SA); /* before the wide runs take its place */
        buildRuns(sstring.LCP, wideRunDown, wideRunUp, kWideRunCap);
        earlierMask = ring - 1;
    } else {
        buildRuns(sstring.LCP, runDown, runUp, kRunByteCap);
        earlierMask = 0;
    }
}

void TMatch::_initFarIndex() {
    const size_t n = sstring.LCP.size();
    passedEnd = 0;
    windowStart = 0;
    windowRanks.assign((n >> 6) + 1, 0);
    wordMax.assign((n >> 6) + 1, -1);
    wordMaxBit.assign((n >> 6) + 1, 0);
    if (positionsByWord) earlierInWord.assign(earlierMask + 1, -1);
    /* only candidates shorter than kLongMatchLen are stamped */
    nearLenStamp.assign(kLongMatchLen, 0);
    nearStamp = 0;
}

void TMatch::_freeFarIndex() {
    std::vector<uint32_t>().swap(costBlockMax);
    std::vector<uint32_t>().swap(nearLenStamp);
    std::vector<uint8_t>().swap(runDown);
    std::vector<uint8_t>().swap(runUp);
    std::vector<uint16_t>().swap(wideRunDown);
    std::vector<uint16_t>().swap(wideRunUp);
    std::vector<int32_t>().swap(earlierInWord);
    std::vector<uint64_t>().swap(windowRanks);
    std::vector<int32_t>().swap(wordMax);
    std::vector<uint8_t>().swap(wordMaxBit);
}

/* Positions are passed in increasing order, so the latest one entered in a word is its
 * largest; a position leaves windowRanks once the dictionary no longer reaches it. */
template <bool kByWord>
VKO_ALWAYS_INLINE void TMatch::_passUpTo(size_t ci) {
    const TSuffixString::TInt* R = sstring.R.data();
    uint64_t* words = windowRanks.data();
    const size_t start = (ci > props.dictSize) ? ci - (size_t)props.dictSize : 0;
    for (; windowStart < start; ++windowStart) {
        if (windowStart < passedEnd) {
            const size_t k = (size_t)R[windowStart];
            words[k >> 6] &= ~((uint64_t)1 << (k & 63));
        }
    }
    for (passedEnd = std::max(passedEnd, windowStart); passedEnd < ci; ++passedEnd) {
        const size_t k = (size_t)R[passedEnd];
        words[k >> 6] |= (uint64_t)1 << (k & 63);
        if constexpr (kByWord) earlierInWord[passedEnd & earlierMask] = wordMax[k >> 6];
        wordMax[k >> 6] = (int32_t)passedEnd;
        wordMaxBit[k >> 6] = (uint8_t)(k & 63);
    }
}

} // namespace _vko_private

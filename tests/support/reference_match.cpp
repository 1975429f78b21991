/* Test access to the match search, and the straightforward search kept as the reference
 * the codec's fast one must agree with. */
#include "reference_match.h"

#include <algorithm>

#include "vko_enc_clip.h"
#include "vko_enc_code.h"
#include "vko_enc_match.h"
#include "vko_sstring.h"

namespace _vko_private {

struct TMatchTestAccess {
    static vekko_test::PricedClip forwardPass(TMatch& m, const unsigned char* clipBegin) {
        vekko_test::PricedClip out;
        m._initCost(out.cost, (size_t)(m.sstring.src_end - clipBegin) + 1);
        m._getCostByMatch(clipBegin, out.cost);
        out.matchLen = m.matchLen;
        out.matchDictPos = m.matchDictPos;
        return out;
    }
};

} // namespace _vko_private

namespace vekko_test {

using _vko_private::TMatch;
using _vko_private::TSuffixString;
using _vko_private::TVkoCode;

/* The match search written step by step as the format's cost model reads, without any
 * shortcut: the fast search in the codec must agree with it entry for entry. */
class ReferenceMatch {
public:
    ReferenceMatch(const unsigned char* begin, const unsigned char* end, const TVkoCode& coder,
                   const vko_TCompressProps& props);
    bool match(const unsigned char** matched, size_t* match_len, const unsigned char* cur);

    static constexpr uint32_t kNullCostValue = 0xFFFFFFFFu;

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

    template <class TLenBits>
    bool _price_candidate(uint32_t dict_pos, uint64_t base, size_t len, size_t s, size_t& maxLen,
                          std::vector<uint32_t>& cost, TLenBits lenBits);
    size_t _common_len(size_t q, size_t ci) const;
    unsigned _posBit(uint64_t dict_pos) const;
    unsigned _lenBit(uint64_t v) const;
    uint64_t _literalRunBits(uint64_t k) const;
};

namespace {
/* A candidate this long ends the search at its byte, and the states it spans are skipped. */
const size_t kLongMatchLen = 512;
/* How many steps the far walk may widen its levels by, per byte. */
const int kFarWalkBudget = 2048;
/* Nearest dict_pos priced only by the far walk; nearer ones all get tried one by one. */
const uint64_t kNearCount = 127;
/* A shorter length that is at most this many bits dearer than its target's price may
 * still be followed by an even shorter one that wins. */
const uint64_t kContinueSlack = 4;
} // namespace

ReferenceMatch::ReferenceMatch(const unsigned char* begin, const unsigned char* end, const TVkoCode& coder_,
               const vko_TCompressProps& props_)
    : sstring(begin, end, (size_t)props_.threadNum, (uint16_t)props_.maxSaveLength), coder(coder_),
      props(props_) {}

bool ReferenceMatch::match(const unsigned char** matched, size_t* match_len, const unsigned char* cur) {
    if (matchLen.empty()) _getCost(cur);
    const size_t e = matchLen.size() - (size_t)(sstring.src_end - cur);
    const size_t len = matchLen[e];
    if (len == 0) return false;
    *match_len = len;
    *matched = cur - (size_t)matchDictPos[e] - 1;
    return true;
}

unsigned ReferenceMatch::_posBit(uint64_t dict_pos) const {
    return (dict_pos < TVkoCode::kPosBitsTableSize) ? coder.savedDictPosBits[dict_pos]
                                                    : coder._getSavedDictPosBit(dict_pos);
}

unsigned ReferenceMatch::_lenBit(uint64_t v) const {
    return (v < TVkoCode::kLenBitsTableSize) ? coder.savedDictLenBits[v] : coder._getSavedDictLenBit(v);
}

/* A literal line is priced by its first state as a whole: its header does not grow byte
 * by byte, so the run's price is not a sum of per-byte prices. */
uint64_t ReferenceMatch::_literalRunBits(uint64_t k) const {
    if (coder.useLiteralLine && k >= vko_kMinLiteralLineLen)
        return 8 * k + 11 + coder.__getDictPosLenBit(k - vko_kMinLiteralLineLen);
    return 9 * k;
}

size_t ReferenceMatch::_common_len(size_t q, size_t ci) const {
    const unsigned char* src = sstring.src_begin;
    const size_t limit = std::min<size_t>((size_t)props.maxSaveLength, (size_t)(sstring.src_end - src) - ci);
    size_t len = 0;
    while (len < limit && src[q + len] == src[ci + len]) ++len;
    return len;
}

void ReferenceMatch::_getCost(const unsigned char* cur) {
    std::vector<uint32_t> cost;
    _initCost(cost, (size_t)(sstring.src_end - cur) + 1);
    _getCostByMatch(cur, cost);
    sstring.clearMem();

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

void ReferenceMatch::_initCost(std::vector<uint32_t>& cost, size_t count) {
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

void ReferenceMatch::_getCostByMatch(const unsigned char* cur, std::vector<uint32_t>& cost) {
    const size_t count = cost.size();
    if (count <= 1) return;
    const size_t clipIndex = (size_t)(cur - sstring.src_begin);
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

        size_t maxLen = vko_kMinDictMatchLen;
        _cost_match((int32_t)(clipIndex + i - 1), i, maxLen, cost);
        i += (maxLen >= kLongMatchLen) ? maxLen : 1;
    }
}

template <class TLenBits>
bool ReferenceMatch::_price_candidate(uint32_t dict_pos, uint64_t base, size_t len, size_t s, size_t& maxLen,
                              std::vector<uint32_t>& cost, TLenBits lenBits) {
    for (size_t l = len; l >= vko_kMinDictMatchLen; --l) {
        const size_t t = s + l;
        const uint64_t price = base + lenBits(l);
        const uint64_t old = cost[t];
        if (old >= price) {
            cost[t] = (uint32_t)price;
            matchLen[t] = (uint16_t)l;
            matchDictPos[t] = dict_pos;
        } else if (old + kContinueSlack < price) {
            break;
        }
    }
    maxLen = std::max(maxLen, len);
    return len >= kLongMatchLen;
}

void ReferenceMatch::_cost_match(int32_t ci_, size_t i, size_t& maxLen, std::vector<uint32_t>& cost) {
    if (ci_ == 0) return;
    const size_t ci = (size_t)ci_;
    const size_t s = i - 1;
    const uint64_t flag = (s > 0 && matchLen[s] == 0) ? 1 : 0;
    const uint64_t costS = cost[s];
    auto nearLenBits = [this](size_t l) -> uint64_t { return _lenBit(l - vko_kMinDictMatchLen); };

    if (flag) {
        const uint32_t p = matchDictPos[s];
        const size_t len = _common_len(ci - p - 1, ci);
        if (len >= vko_kMinDictMatchLen &&
            _price_candidate(p, costS + 2, len, s, maxLen, cost, nearLenBits))
            return;
    }

    const uint64_t d = std::min<uint64_t>(props.dictSize - 1, ci - 1);
    for (uint64_t p = std::min<uint64_t>(d, kNearCount - 1) + 1; p-- > 0;) {
        const size_t len = _common_len(ci - (size_t)p - 1, ci);
        if (len >= vko_kMinDictMatchLen &&
            _price_candidate((uint32_t)p, costS + flag + _posBit(p), len, s, maxLen, cost, nearLenBits))
            return;
    }
    if (d < kNearCount) return;

    /* Far walk: widen a rank interval around ci level by level, each level the ranks
     * sharing at least h bytes with ci, and price the nearest earlier one per level. */
    const TSuffixString::TInt* SA = sstring.SA.data();
    const uint16_t* LCP = sstring.LCP.data();
    const int64_t n = (int64_t)sstring.SA.size();
    const int64_t r = sstring.R[ci];
    int64_t lo = r - 1, hi = r + 1;
    int budget = kFarWalkBudget;
    /* a suffix after ci wraps to a huge value that never wins a level */
    auto distOf = [SA, ci](int64_t k) -> uint64_t { return (uint64_t)((int64_t)ci - SA[k] - 1); };
    for (;;) {
        size_t h;
        uint64_t minPos;
        if (lo >= 0 && hi < n) {
            const size_t down = LCP[lo], up = LCP[hi - 1];
            if (down > up) {
                h = down;
                minPos = distOf(lo--);
            } else if (up > down) {
                h = up;
                minPos = distOf(hi++);
            } else {
                h = down;
                minPos = std::min(distOf(lo--), distOf(hi++));
            }
        } else if (lo >= 0) {
            h = LCP[lo];
            minPos = distOf(lo--);
        } else if (hi < n) {
            h = LCP[hi - 1];
            minPos = distOf(hi++);
        } else {
            break;
        }
        if (h <= 1) break;

        while (lo >= 0 && LCP[lo] >= h) {
            minPos = std::min(minPos, distOf(lo));
            if (budget == 0) {
                budget = -1;
                break;
            }
            --budget;
            --lo;
        }
        while (hi < n && LCP[hi - 1] >= h) {
            minPos = std::min(minPos, distOf(hi));
            if (budget <= 0) {
                --budget;
                break;
            }
            --budget;
            ++hi;
        }

        if (minPos >= kNearCount && minPos <= d) {
            const uint64_t base = costS + flag + _posBit(minPos);
            bool ended;
            if (minPos < vko_kMinFarDictPos - 1) {
                ended = _price_candidate((uint32_t)minPos, base, h, s, maxLen, cost, nearLenBits);
            } else {
                /* a 2-byte match this far cannot be written: priced out of reach */
                auto farLenBits = [this](size_t l) -> uint64_t {
                    return (l > vko_kMinDictMatchLen) ? _lenBit(l - (vko_kMinDictMatchLen + 1))
                                                      : (uint64_t)(10 * l + 128);
                };
                ended = _price_candidate((uint32_t)minPos, base, h, s, maxLen, cost, farLenBits);
            }
            if (ended) return;
        }
        if (budget <= 0) break;
    }
}

void ReferenceMatch::_getCostByLiteralLen(std::vector<uint32_t>& cost) {
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



PricedClip forwardPass(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props) {
    Bytes code;
    TVkoCode coder(code, props.useLiteralLine);
    const unsigned char* end = buffer.data() + buffer.size();
    TMatch m(buffer.data(), end, coder, props);
    return _vko_private::TMatchTestAccess::forwardPass(m, end - clipLen);
}

namespace {

/* Passes a matcher's answers on to the clip compressor's loop and records the parse. */
template <class TMatcher>
struct RecordingMatcher {
    TMatcher& matcher;
    const unsigned char* clip;
    std::vector<MatchStep>& steps;
    bool match(const unsigned char** matched, size_t* len, const unsigned char* cur) {
        if (!matcher.match(matched, len, cur)) return false;
        steps.push_back({(size_t)(cur - clip), *len, (uint64_t)(cur - *matched) - 1});
        return true;
    }
};

/* The clip compressor's loop over one window + clip, recording the parse. */
template <class TMatcher>
EncodedClip encodeWith(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props,
                       Bytes* stream = nullptr) {
    EncodedClip out;
    TVkoCode coder(stream ? *stream : out.code, props.useLiteralLine);
    const unsigned char* end = buffer.data() + buffer.size();
    TMatcher m(buffer.data(), end, coder, props);
    RecordingMatcher<TMatcher> recorder{m, end - clipLen, out.matches};
    _vko_private::encode_clip(coder, buffer.data(), end, clipLen, props, recorder);
    out.bitsWritten = 8 * (uint64_t)coder.code.size() - (coder.typeCount ? 8 - coder.typeCount : 0);
    if (stream) coder.outCtrl_streamEnd();
    return out;
}

} // namespace

EncodedClip encodeClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props) {
    return encodeWith<TMatch>(buffer, clipLen, props);
}

EncodedClip referenceEncodeClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props) {
    return encodeWith<ReferenceMatch>(buffer, clipLen, props);
}

PricedClip referenceForwardPass(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props) {
    Bytes code;
    TVkoCode coder(code, props.useLiteralLine);
    const unsigned char* end = buffer.data() + buffer.size();
    ReferenceMatch m(buffer.data(), end, coder, props);
    PricedClip out;
    m._initCost(out.cost, clipLen + 1);
    m._getCostByMatch(end - clipLen, out.cost);
    out.matchLen = m.matchLen;
    out.matchDictPos = m.matchDictPos;
    return out;
}

Bytes streamOfClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props) {
    Bytes stream;
    {
        TVkoCode header(stream, props.useLiteralLine);
        header.outDictSize(props.dictSize);
    }
    const size_t windowLen = buffer.size() - clipLen;
    if (windowLen) {
        TVkoCode coder(stream, props.useLiteralLine);
        _vko_private::out_literals(coder, buffer.data(), buffer.data() + windowLen, props.maxSaveLength);
        coder.outCtrl_clipEnd();
    }
    encodeWith<TMatch>(buffer, clipLen, props, &stream);
    return stream;
}

uint64_t fnv1a64(const unsigned char* data, size_t size, uint64_t hash) {
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 0x100000001B3ull;
    }
    return hash;
}

} // namespace vekko_test

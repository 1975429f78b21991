/* Test access to the match search, and an oracle for it: a slow search written from what
 * the parse must be, sharing no code with the encoder's.  It counts bits from the stream's
 * layout rather than the emitter's tables, orders suffixes with a sort of its own rather
 * than the suffix string, and compares bytes one at a time. */
#include "reference_match.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "vko_enc_clip.h"
#include "vko_enc_code.h"
#include "vko_enc_match.h"

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
using _vko_private::TVkoCode;

namespace {

const uint32_t kUnreached = 0xFFFFFFFFu;

/* Bits of v in the variable-length code with k data bits per group: each group is k
 * data bits and a continuation bit, and n + 1 groups hold the values from the sum of
 * 2^(k*g), g = 1..n, on. */
uint64_t vlenBits(uint64_t v, unsigned k) {
    uint64_t groups = 1;
    uint64_t span = (uint64_t)1 << k; /* values held by exactly `groups` groups */
    while (v >= span) {
        v -= span;
        ++groups;
        span <<= k;
    }
    return groups * (k + 1);
}

/* What each step of a parse costs in the stream, element by element. */
struct CostModel {
    bool literalLines;

    /* k literal bytes written as one piece: a type bit and the byte each, or, from 15
     * bytes on, one line: control code 1 (type bit 0, vlen1 1 in two bits, byte 0), its
     * vlen2 count and the bytes.  A repeat bit before the code is not counted. */
    uint64_t literals(uint64_t k) const {
        if (literalLines && k >= 15) return 1 + 2 + 8 + vlenBits(k - 15, 2) + 8 * k;
        return 9 * k;
    }
    /* Type bit 0, length code, repeat bit 1. */
    uint64_t repeatMatch(uint64_t len) const { return 1 + vlenBits(len - 2, 1) + 1; }
    /* Type bit 0, length code, a repeat bit 0 after literal data, the distance byte and,
     * from distance 128 on, a vlen2 extension.  From distance 2688 on the length code is
     * len - 3, and a 2-byte match there, which cannot be written, gets a price no parse
     * takes. */
    uint64_t explicitMatch(uint64_t dictPos, uint64_t len, uint64_t afterLiteral) const {
        const uint64_t distance = dictPos + 1;
        const uint64_t distanceBits = 8 + (distance >= 128 ? vlenBits((distance - 128) >> 7, 2) : 0);
        uint64_t lengthBits;
        if (distance < 2688)
            lengthBits = vlenBits(len - 2, 1);
        else if (len >= 3)
            lengthBits = vlenBits(len - 3, 1);
        else
            lengthBits = 10 * len + 128;
        return 1 + lengthBits + afterLiteral + distanceBits;
    }
};

/* All suffixes of a byte range in byte order (a suffix that ends first sorts first), by
 * prefix doubling.  The ranks of every doubling step are kept, so the common prefix of
 * two suffixes takes one comparison per step. */
class SuffixOrder {
public:
    SuffixOrder(const unsigned char* text, size_t n) : size(n), sorted(n) {
        if (n == 0) return;
        ranks.emplace_back(text, text + n); /* ranks of the first byte */
        for (size_t i = 0; i < n; ++i) sorted[i] = (int32_t)i;
        for (size_t width = 1;; width *= 2) {
            const std::vector<int32_t>& rank = ranks.back();
            auto key = [&](int32_t i) {
                return std::make_pair(rank[(size_t)i], (size_t)i + width < n ? rank[(size_t)i + width] : -1);
            };
            std::sort(sorted.begin(), sorted.end(), [&](int32_t a, int32_t b) { return key(a) < key(b); });
            std::vector<int32_t> next(n);
            int32_t distinct = 0;
            for (size_t k = 0; k < n; ++k) {
                if (k > 0 && key(sorted[k]) != key(sorted[k - 1])) ++distinct;
                next[(size_t)sorted[k]] = distinct;
            }
            ranks.push_back(std::move(next)); /* ranks of the first 2 * width bytes */
            if ((size_t)distinct + 1 == n || width >= n) break;
        }
        rankOf.resize(n);
        for (size_t k = 0; k < n; ++k) rankOf[(size_t)sorted[k]] = (int32_t)k;
    }

    /* Bytes the suffixes at a and b (a != b) have in common.  Equal ranks of the first
     * 2^j bytes mean 2^j equal bytes: two different suffixes never end at the same place. */
    size_t commonPrefix(size_t a, size_t b) const {
        size_t len = 0;
        for (size_t j = ranks.size(); j-- > 0;) {
            if (a < size && b < size && ranks[j][a] == ranks[j][b]) {
                a += (size_t)1 << j;
                b += (size_t)1 << j;
                len += (size_t)1 << j;
            }
        }
        return len;
    }

    size_t size;
    std::vector<int32_t> sorted; /* sorted[k]: start of the k-th smallest suffix */
    std::vector<int32_t> rankOf; /* rankOf[sorted[k]] = k */

private:
    std::vector<std::vector<int32_t>> ranks;
};

/* The parse the match search must choose, found the slow way: every position of the
 * clip prices the repeat distance, each of the 127 nearest positions byte by byte, and
 * one nearest earlier occurrence per shared length (levels of the suffix order around
 * the position, at most 2048 ranks widened per byte); the chosen parse is then read
 * back from the last state and its literal lines settled over whole groups of matches. */
class OracleSearch {
public:
    OracleSearch(const unsigned char* begin, const unsigned char* end, const TVkoCode& /*emitter*/,
                 const vko_TCompressProps& props_)
        : text(begin), n((size_t)(end - begin)), props(props_), model{props_.useLiteralLine != 0},
          order(begin, n) {
        const size_t cap = std::min<size_t>((size_t)props.maxSaveLength, 0xFFFF);
        sharedWithNext.assign(n, 0);
        for (size_t k = 0; k + 1 < n; ++k)
            sharedWithNext[k] = std::min(cap, order.commonPrefix((size_t)order.sorted[k], (size_t)order.sorted[k + 1]));
    }

    bool match(const unsigned char** matched, size_t* matchLen, const unsigned char* cur) {
        if (answers.empty()) choose((size_t)(cur - text));
        const Answer& a = answers[(size_t)(cur - text) - clipStart];
        if (a.len == 0) return false;
        *matchLen = a.len;
        *matched = cur - a.dictPos - 1;
        return true;
    }

    /* The forward pass over the clip that starts at buffer index start, run if the
     * queries have not run it yet. */
    const PricedClip& pricing(size_t start) {
        if (st.cost.empty()) price(start);
        return st;
    }

private:
    struct Answer {
        size_t len;
        uint64_t dictPos;
    };

    /* The shortest-path pricing of the clip that starts at buffer index start. */
    void price(size_t start) {
        clipStart = start;
        const size_t count = n - start + 1;
        st.cost.assign(count, kUnreached);
        st.matchLen.assign(count, 0);
        st.matchDictPos.assign(count, 0xFFFFFFFFu);
        st.cost[0] = 0;
        st.matchDictPos[0] = 0; /* distance 1, as the emitter starts a clip */
        size_t run = 0;         /* length of the literal run into state i */
        for (size_t i = 1; i < count;) {
            run = (st.matchLen[i - 1] != 0) ? 1 : run + 1;
            const size_t from = i - run;
            const uint64_t viaLiterals = (uint64_t)st.cost[from] + model.literals(run);
            if (viaLiterals < st.cost[i]) {
                st.cost[i] = (uint32_t)viaLiterals;
                st.matchLen[i] = 0;
                st.matchDictPos[i] = st.matchDictPos[from];
            }
            size_t longest = 2;
            offerAll(start + i - 1, i - 1, longest);
            i += (longest >= 512) ? longest : 1;
        }
    }

    const unsigned char* text;
    size_t n;
    const vko_TCompressProps& props;
    CostModel model;
    SuffixOrder order;
    std::vector<size_t> sharedWithNext; /* capped common prefix of ranks k and k + 1 */
    size_t clipStart = 0;
    PricedClip st;
    std::vector<Answer> answers; /* per clip offset: the match that starts there, or len 0 */

    /* Bytes equal at q and at ci, at most maxSaveLength and the bytes left from ci. */
    size_t shared(size_t q, size_t ci) const {
        const size_t most = std::min<size_t>((size_t)props.maxSaveLength, n - ci);
        size_t len = 0;
        while (len < most && text[q + len] == text[ci + len]) ++len;
        return len;
    }

    /* Offers a match of up to len bytes at dictPos leaving state s, longest first: a
     * length takes its state when no dearer than what the state has, and the first length
     * more than 4 bits dearer ends the offer.  True when it ends the byte's search. */
    template <class PriceOf>
    bool offer(size_t s, uint64_t dictPos, size_t len, PriceOf priceOf, size_t& longest) {
        for (size_t l = len; l >= 2; --l) {
            const uint64_t price = priceOf(l);
            const uint64_t now = st.cost[s + l];
            if (now >= price) {
                st.cost[s + l] = (uint32_t)price;
                st.matchLen[s + l] = (uint16_t)l;
                st.matchDictPos[s + l] = (uint32_t)dictPos;
            } else if (now + 4 < price) {
                break;
            }
        }
        longest = std::max(longest, len);
        return len >= 512;
    }

    /* Every candidate that starts at buffer index ci, leaving state s, in the order that
     * settles ties (the later one wins). */
    void offerAll(size_t ci, size_t s, size_t& longest) {
        if (ci == 0) return;
        const uint64_t afterLiteral = (s > 0 && st.matchLen[s] == 0) ? 1 : 0;
        const uint64_t base = st.cost[s];
        if (afterLiteral) {
            const uint64_t p = st.matchDictPos[s];
            const size_t len = shared(ci - (size_t)p - 1, ci);
            if (len >= 2 && offer(s, p, len, [&](size_t l) { return base + model.repeatMatch(l); }, longest))
                return;
        }
        const uint64_t reach = std::min<uint64_t>(props.dictSize - 1, ci - 1); /* largest usable dict_pos */
        auto explicitAt = [&](uint64_t p) {
            return [&, p](size_t l) { return base + model.explicitMatch(p, l, afterLiteral); };
        };
        for (uint64_t p = std::min<uint64_t>(reach, 126) + 1; p-- > 0;) {
            const size_t len = shared(ci - (size_t)p - 1, ci);
            if (len >= 2 && offer(s, p, len, explicitAt(p), longest)) return;
        }
        if (reach <= 126) return;

        /* Levels of falling shared length: ranks below and above ci's that share at least
         * h bytes with it are contiguous, and everything between them is visited. */
        const int64_t ranks = (int64_t)n;
        int64_t below = (int64_t)order.rankOf[ci] - 1, above = (int64_t)order.rankOf[ci] + 1;
        int64_t budget = 2048;
        for (;;) {
            const int64_t sharedBelow = (below >= 0) ? (int64_t)sharedWithNext[(size_t)below] : -1;
            const int64_t sharedAbove = (above < ranks) ? (int64_t)sharedWithNext[(size_t)above - 1] : -1;
            const int64_t h = std::max(sharedBelow, sharedAbove);
            if (h <= 1) return;
            uint64_t nearest = UINT64_MAX; /* smallest dict_pos of an earlier position visited */
            auto visit = [&](int64_t k) {
                const size_t pos = (size_t)order.sorted[(size_t)k];
                if (pos < ci) nearest = std::min<uint64_t>(nearest, ci - pos - 1);
            };
            /* The level opens with the side(s) sharing exactly h, free of charge. */
            if (sharedBelow == h) visit(below--);
            if (sharedAbove == h) visit(above++);
            /* Then each side's further ranks sharing h or more, each charged one step.  The
             * lower side may take one rank more than the budget pays for; the upper side
             * too, and it takes one even when nothing is left. */
            int64_t taken = 0;
            while (taken <= budget && below - taken >= 0 && (int64_t)sharedWithNext[(size_t)(below - taken)] >= h)
                visit(below - taken++);
            if (taken > budget) {
                budget = -1;
            } else {
                budget -= taken;
                below -= taken;
            }
            const int64_t allowed = (budget > 0) ? budget + 1 : 1;
            taken = 0;
            while (taken < allowed && above + taken < ranks && (int64_t)sharedWithNext[(size_t)(above + taken - 1)] >= h)
                visit(above + taken++);
            if (budget <= 0) {
                budget -= taken;
            } else if (taken > budget) {
                budget = -1;
            } else {
                budget -= taken;
                above += taken;
            }
            /* One nearer than 127 was priced by the near scan, one beyond reach cannot be. */
            if (nearest >= 127 && nearest <= reach && offer(s, nearest, (size_t)h, explicitAt(nearest), longest))
                return;
            if (budget <= 0) return;
        }
    }

    /* Prices the clip, reads the cheapest parse back from its last state and settles the
     * literal lines. */
    void choose(size_t start) {
        price(start);
        struct Step {
            size_t offset, len;
            uint64_t dictPos;
        };
        std::vector<Step> parse; /* the matches, last first */
        for (size_t t = st.cost.size() - 1; t > 0;) {
            if (st.matchLen[t] == 0) {
                --t;
                continue;
            }
            parse.push_back({t - st.matchLen[t], st.matchLen[t], st.matchDictPos[t]});
            t -= st.matchLen[t];
        }
        std::reverse(parse.begin(), parse.end());

        std::vector<bool> literal(parse.size(), false);
        if (props.useLiteralLine) {
            /* A line would begin at state lineStart; the matches before convertedEnd are
             * settled, and `gain` is what the conversions so far saved. */
            size_t lineStart = 0, convertedEnd = 0;
            uint64_t gain = 0;
            for (size_t g = 0; g < parse.size();) {
                /* a group: matches at one dict_pos with only literals between them */
                size_t last = g;
                while (last + 1 < parse.size() && parse[last + 1].dictPos == parse[g].dictPos) ++last;
                const size_t groupEnd = parse[last].offset + parse[last].len; /* a state */
                const uint64_t asLine = model.literals(groupEnd - lineStart);
                const uint64_t alt = (uint64_t)st.cost[lineStart] + asLine + gain;
                if (alt < st.cost[groupEnd]) {
                    for (size_t j = 0; j <= last; ++j)
                        if (parse[j].offset >= convertedEnd) literal[j] = true;
                    gain = (uint64_t)st.cost[groupEnd] - st.cost[lineStart] - asLine;
                    convertedEnd = groupEnd;
                } else if (alt >= (uint64_t)st.cost[groupEnd] + 15) {
                    lineStart = groupEnd;
                    convertedEnd = groupEnd;
                    gain = 0;
                }
                g = last + 1;
            }
        }
        answers.assign(st.cost.size() - 1, Answer{0, 0});
        for (size_t j = 0; j < parse.size(); ++j)
            if (!literal[j]) answers[parse[j].offset] = Answer{parse[j].len, parse[j].dictPos};
    }
};

} // namespace

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

/* The clip compressor's loop over one window + clip, recording the parse; `after` sees
 * the matcher once the clip is coded. */
template <class TMatcher, class TAfter>
EncodedClip encodeWith(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props, Bytes* stream,
                       TAfter after) {
    EncodedClip out;
    TVkoCode coder(stream ? *stream : out.code, props.useLiteralLine);
    const unsigned char* end = buffer.data() + buffer.size();
    TMatcher m(buffer.data(), end, coder, props);
    RecordingMatcher<TMatcher> recorder{m, end - clipLen, out.matches};
    _vko_private::encode_clip(coder, buffer.data(), end, clipLen, props, recorder);
    out.bitsWritten = 8 * (uint64_t)coder.code.size() - (coder.typeCount ? 8 - coder.typeCount : 0);
    if (stream) coder.outCtrl_streamEnd();
    after(m);
    return out;
}

} // namespace

EncodedClip encodeClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props) {
    return encodeWith<TMatch>(buffer, clipLen, props, nullptr, [](TMatch&) {});
}

EncodedClip referenceEncodeClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props,
                                PricedClip* pricing) {
    return encodeWith<OracleSearch>(buffer, clipLen, props, nullptr, [&](OracleSearch& oracle) {
        if (pricing) *pricing = oracle.pricing(buffer.size() - clipLen);
    });
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
    encodeWith<TMatch>(buffer, clipLen, props, &stream, [](TMatch&) {});
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

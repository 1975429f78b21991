/* Test access to the match search: drives a TMatch over window + clip the way the clip
 * compressor does, and exposes the forward pass's arrays for exact comparisons. */
#ifndef VEKKO_REFERENCE_MATCH_H
#define VEKKO_REFERENCE_MATCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vko_enc.h"

namespace vekko_test {

typedef std::vector<unsigned char> Bytes;

/* What the forward pass leaves, before backtracking: one entry per state. */
struct PricedClip {
    std::vector<uint32_t> cost;
    std::vector<uint16_t> matchLen;
    std::vector<uint32_t> matchDictPos;
    uint32_t finalPrice() const { return cost.back(); }
};

struct MatchStep {
    size_t offset; /* clip offset of the match's first byte */
    size_t len;
    uint64_t dictPos;
    bool operator==(const MatchStep& o) const {
        return offset == o.offset && len == o.len && dictPos == o.dictPos;
    }
};

struct EncodedClip {
    Bytes code;                      /* the emitter's bytes for the clip, no end code */
    std::vector<MatchStep> matches;  /* the parse, in clip order; every other byte is a literal */
    uint64_t bitsWritten;            /* type bits and plain bits, without the open byte's unused bits */
};

/* buffer is the window followed by the clip's clipLen bytes. */
PricedClip forwardPass(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props);
EncodedClip encodeClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props);

/* A whole stream holding buffer: the window as literals in a clip of its own, then the
 * clip coded through the match search, then the stream end. */
Bytes streamOfClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props);


/* encodeClip from the oracle, a slow search written apart from the encoder's, which must
 * agree with it state for state; pricing, when given, receives the oracle's forward pass. */
EncodedClip referenceEncodeClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props,
                                PricedClip* pricing = nullptr);

/* FNV-1a, 64 bits. */
uint64_t fnv1a64(const unsigned char* data, size_t size, uint64_t hash = 0xCBF29CE484222325ull);

} // namespace vekko_test

#endif

#include "reference_match.h"

#include <algorithm>

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

PricedClip forwardPass(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props) {
    Bytes code;
    TVkoCode coder(code, props.useLiteralLine);
    const unsigned char* end = buffer.data() + buffer.size();
    TMatch m(buffer.data(), end, coder, props);
    return _vko_private::TMatchTestAccess::forwardPass(m, end - clipLen);
}

namespace {

void outLiterals(TVkoCode& coder, const unsigned char* begin, const unsigned char* end, uint64_t piece) {
    while (begin != end) {
        const size_t n = (size_t)std::min<uint64_t>((uint64_t)(end - begin), piece);
        coder.outData(begin, begin + n);
        begin += n;
    }
}

/* The clip compressor's loop, recording the parse. */
template <class TMatcher>
EncodedClip encodeWith(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props,
                       Bytes* stream = nullptr) {
    EncodedClip out;
    TVkoCode coder(stream ? *stream : out.code, props.useLiteralLine);
    const unsigned char* end = buffer.data() + buffer.size();
    TMatcher m(buffer.data(), end, coder, props);
    const unsigned char* clip = end - clipLen;
    const unsigned char* cur = clip;
    const unsigned char* literals = cur;
    while (cur != end) {
        const unsigned char* matched = nullptr;
        size_t len = 0;
        if (!m.match(&matched, &len, cur)) {
            ++cur;
            continue;
        }
        outLiterals(coder, literals, cur, props.maxSaveLength);
        const uint64_t dictPos = (uint64_t)(cur - matched) - 1;
        out.matches.push_back({(size_t)(cur - clip), len, dictPos});
        coder.outDict(len, dictPos);
        cur += len;
        literals = cur;
    }
    outLiterals(coder, literals, end, props.maxSaveLength);
    out.bitsWritten = 8 * (uint64_t)coder.code.size() - (coder.typeCount ? 8 - coder.typeCount : 0);
    if (stream) coder.outCtrl_streamEnd();
    return out;
}

} // namespace

EncodedClip encodeClip(const Bytes& buffer, size_t clipLen, const vko_TCompressProps& props) {
    return encodeWith<TMatch>(buffer, clipLen, props);
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
        outLiterals(coder, buffer.data(), buffer.data() + windowLen, props.maxSaveLength);
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

#include "vko_enc_code.h"

#include "vko_enc_check.h"

namespace _vko_private {

struct TVkoCode::TBitTables {
    unsigned char pos[kPosBitsTableSize];
    unsigned char len[kLenBitsTableSize];
    TBitTables() {
        for (size_t i = 0; i < kPosBitsTableSize; ++i) pos[i] = (unsigned char)_getSavedDictPosBit(i);
        for (size_t i = 0; i < kLenBitsTableSize; ++i) len[i] = (unsigned char)_getSavedDictLenBit(i);
    }
};

const TVkoCode::TBitTables& TVkoCode::_bitTables() {
    static const TBitTables tables; /* built once, thread-safely */
    return tables;
}

TVkoCode::TVkoCode(std::vector<unsigned char>& out_code, bool use_literal_line)
    : savedDictPosBits(_bitTables().pos), savedDictLenBits(_bitTables().len), code(out_code),
      useLiteralLine(use_literal_line), typePos(0), typeCount(0), savedDictPos(1), dictSizeMax(1),
      afterLiteral(false) {}

unsigned TVkoCode::_vlenGroups(uint64_t v, unsigned k) {
    unsigned n = 0;
    unsigned width = k; /* bits the value may use with n + 1 groups */
    while (width < 64 && v >= ((uint64_t)1 << width)) {
        v -= (uint64_t)1 << width;
        ++n;
        width += k;
    }
    return n + 1;
}

void TVkoCode::outType(uint64_t bit) {
    if (typeCount == 0) {
        typePos = code.size();
        code.push_back(0);
    }
    code[(size_t)typePos] |= (unsigned char)(bit << typeCount);
    typeCount = (typeCount == 7) ? 0 : typeCount + 1;
}

void TVkoCode::outLen(uint64_t v, uint64_t packBit) {
    const unsigned k = (unsigned)packBit;
    unsigned n = 0;
    unsigned width = k;
    while (width < 64 && v >= ((uint64_t)1 << width)) {
        v -= (uint64_t)1 << width;
        ++n;
        width += k;
    }
    for (unsigned g = n + 1; g-- > 0;) {
        for (unsigned j = 0; j < k; ++j)
            outType((v >> (g * k + j)) & 1);
        outType(g > 0 ? 1 : 0);
    }
}

void TVkoCode::outDictSize(uint64_t dict_size) {
    vko_check((dict_size>0)&&(dict_size<=vko_kMaxOfDictSize));
    for (int i = 0; i < 4; ++i)
        code.push_back((unsigned char)(dict_size >> (8 * i)));
}

void TVkoCode::outDictPos(uint64_t pos) {
    if (pos < 128) {
        code.push_back((unsigned char)pos);
    } else {
        code.push_back((unsigned char)((pos & 127) | 128));
        outLen((pos - 128) >> 7, 2);
    }
}

void TVkoCode::outDict(uint64_t match_len, uint64_t dict_pos) {
    outType(0);
    const uint64_t pos = dict_pos + 1;
    if (pos > dictSizeMax) dictSizeMax = pos;
    if (pos == savedDictPos && afterLiteral) {
        outLen(match_len - vko_kMinDictMatchLen, 1);
        outType(1);
    } else {
        uint64_t stored_len = match_len - vko_kMinDictMatchLen;
        if (pos >= vko_kMinFarDictPos) {
            vko_check(match_len>=vko_kMinDictMatchLen+1);
            stored_len = match_len - (vko_kMinDictMatchLen + 1);
        }
        outLen(stored_len, 1);
        if (afterLiteral) outType(0);
        outDictPos(pos);
    }
    afterLiteral = false;
    savedDictPos = pos;
}

void TVkoCode::outCtrl(vko_TCtrlType type) {
    outType(0);
    outLen((uint64_t)type, 1);
    if (afterLiteral) outType(0);
    code.push_back(0);
}

void TVkoCode::outData(const unsigned char* begin, const unsigned char* end) {
    const size_t len = (size_t)(end - begin);
    if (useLiteralLine && len >= vko_kMinLiteralLineLen) {
        outCtrl(vko_kCtrlType_literalLine);
        outLen(len - vko_kMinLiteralLineLen, 2);
        code.insert(code.end(), begin, end);
    } else {
        for (const unsigned char* p = begin; p != end; ++p) {
            outType(1);
            code.push_back(*p);
        }
    }
    afterLiteral = true;
}

} // namespace _vko_private

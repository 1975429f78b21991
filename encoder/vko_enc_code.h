/* The code emitter: the encoder's only writer of the vekko stream, and the owner
 * of the bit-cost tables the match search prices candidates with. */
#ifndef VKO_ENC_CODE_H
#define VKO_ENC_CODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vko_types.h"

namespace _vko_private {

class TVkoCode {
public:
    enum : size_t { kPosBitsTableSize = 32768, kLenBitsTableSize = 8192 };

    /* The same for every emitter: built once, on first use */
    const unsigned char* const savedDictPosBits; /* [kPosBitsTableSize]: _getSavedDictPosBit(i) */
    const unsigned char* const savedDictLenBits; /* [kLenBitsTableSize]: _getSavedDictLenBit(i) */
    std::vector<unsigned char>& code;                   /* owned by the driver; only appended to */
    const bool useLiteralLine;
    uint64_t typePos;      /* index in code of the type byte being filled, while typeCount != 0 */
    uint64_t typeCount;    /* bits already placed in that byte; 0: no type byte open */
    uint64_t savedDictPos; /* stored position (distance) of the last match; starts at 1 */
    uint64_t dictSizeMax;  /* largest stored position written; starts at 1 */
    bool afterLiteral;     /* the last thing written was literal data */

    TVkoCode(std::vector<unsigned char>& out_code, bool use_literal_line);
    TVkoCode(const TVkoCode&) = delete;
    TVkoCode& operator=(const TVkoCode&) = delete;

    void outType(uint64_t bit);
    void outLen(uint64_t v, uint64_t packBit);
    void outDictSize(uint64_t dict_size);
    void outDict(uint64_t match_len, uint64_t dict_pos);
    void outDictPos(uint64_t pos);
    void outCtrl(vko_TCtrlType type);
    void outCtrl_clipEnd() { outCtrl(vko_kCtrlType_clipEnd); _endResets(); }
    void outCtrl_streamEnd() { outCtrl(vko_kCtrlType_streamEnd); _endResets(); }
    void outData(const unsigned char* begin, const unsigned char* end);

    /* Bits of outLen(v, 2). */
    static unsigned __getDictPosLenBit(uint64_t v) { return 3 * _vlenGroups(v, 2); }
    /* Bits of an explicit position, plus the match's leading type bit. */
    static unsigned _getSavedDictPosBit(uint64_t dict_pos) {
        uint64_t p = dict_pos + 1;
        return (p < 128) ? 9 : 9 + __getDictPosLenBit((p - 128) >> 7);
    }
    /* Bits of outLen(v, 1). */
    static unsigned _getSavedDictLenBit(uint64_t v) { return 2 * _vlenGroups(v, 1); }

private:
    /* Number of k-bit groups (n + 1) in the variable-length code of v. */
    static unsigned _vlenGroups(uint64_t v, unsigned k);
    struct TBitTables;
    static const TBitTables& _bitTables();
    void _endResets() { afterLiteral = false; typeCount = 0; savedDictPos = 1; }
};

} // namespace _vko_private

#endif /* VKO_ENC_CODE_H */

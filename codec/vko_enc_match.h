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
    TSuffixString sstring;
    const TVkoCode& coder;
    const vko_TCompressProps& props;
    std::vector<uint32_t> matchDictPos;
    std::vector<uint16_t> matchLen;
};

} // namespace _vko_private

#endif /* VKO_ENC_MATCH_H */

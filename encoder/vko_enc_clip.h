/* The clip compressor: keeps the dictionary window from clip to clip and turns one
 * clip into literal pieces and matches through the emitter. */
#ifndef VKO_ENC_CLIP_H
#define VKO_ENC_CLIP_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirv_stream.h"
#include "vko_enc.h"
#include "vko_enc_check.h"
#include "vko_enc_code.h"

namespace _vko_private {

/* The window kept between clips: the input bytes [dictEndPos - data_buf.size(), dictEndPos). */
struct TDictBuf {
    uint64_t dictEndPos = 0;
    std::vector<unsigned char> data_buf;
};

/* Compresses the input bytes [clipBegin, clipEnd) into code.  Clips must come in input
 * order on one dict_buf, each starting where the previous one ended.  The same as
 * update_window, encode_window over the updated window, then trim_window. */
void compress_clip(TVkoCode& code, const mirv_TStreamInput* data, uint64_t clipBegin, uint64_t clipEnd,
                   const vko_TCompressProps& props, TDictBuf& dict_buf);

/* Brings dict_buf to the input bytes [clipBegin - min(dictSize, clipBegin), clipEnd),
 * reading only the clip's own bytes from data. */
void update_window(const mirv_TStreamInput* data, uint64_t clipBegin, uint64_t clipEnd, uint64_t dictSize,
                   TDictBuf& dict_buf);

/* Encodes the last clip_len bytes of the window [window, end) into code, with the bytes
 * before them as history.  Reads nothing but the window, so windows of different clips
 * may be encoded on different threads at once. */
void encode_window(TVkoCode& code, const unsigned char* window, const unsigned char* end, size_t clip_len,
                   const vko_TCompressProps& props);

/* Cuts dict_buf down to what the clip after clipEnd may refer to. */
void trim_window(uint64_t clipEnd, uint64_t dictSize, TDictBuf& dict_buf);

/* Hands a literal run to the emitter in pieces of at most maxSaveLength bytes. */
void out_literals(TVkoCode& code, const unsigned char* begin, const unsigned char* end,
                  uint64_t maxSaveLength);

/* The match loop of one clip: the window is [window, end) and the clip is its last
 * clip_len bytes.  Every match the matcher proposes is checked before it is written.
 * A template so that tests can drive the checks with matchers of their own. */
template <class TMatcher>
void encode_clip(TVkoCode& code, const unsigned char* window, const unsigned char* end, size_t clip_len,
                 const vko_TCompressProps& props, TMatcher& matcher) {
    const unsigned char* cur = end - clip_len;
    const unsigned char* literals = cur;
    while (cur != end) {
        const unsigned char* matched = nullptr;
        size_t match_len = 0;
        if (!matcher.match(&matched, &match_len, cur)) {
            ++cur;
            continue;
        }
        vko_check(matched<cur);
        vko_check_msg(matched >= window, "matched>=data_buf.data()");
        vko_check_msg(match_len <= (size_t)(end - cur), "cur+match_len<=end");
        vko_check(match_len>=vko_kMinDictMatchLen);
        vko_check(match_len<=props.maxSaveLength);
        out_literals(code, literals, cur, props.maxSaveLength);
        const uint64_t dict_pos = (uint64_t)(cur - matched) - 1;
        vko_check(dict_pos<props.dictSize);
        code.outDict(match_len, dict_pos);
        cur += match_len;
        literals = cur;
    }
    out_literals(code, literals, end, props.maxSaveLength);
}

} // namespace _vko_private

#endif /* VKO_ENC_CLIP_H */

#include "vko_enc_clip.h"

#include <algorithm>
#include <cstring>

#include "vko_enc_match.h"

namespace _vko_private {

void out_literals(TVkoCode& code, const unsigned char* begin, const unsigned char* end,
                  uint64_t maxSaveLength) {
    while (begin != end) {
        const size_t piece = (size_t)std::min<uint64_t>((uint64_t)(end - begin), maxSaveLength);
        code.outData(begin, begin + piece);
        begin += piece;
    }
}

void update_window(const mirv_TStreamInput* data, uint64_t clipBegin, uint64_t clipEnd,
                          uint64_t dictSize, TDictBuf& dict_buf) {
    std::vector<unsigned char>& data_buf = dict_buf.data_buf;
    const uint64_t dictBeginPos = (clipBegin > dictSize) ? clipBegin - dictSize : 0;
    const uint64_t _mem_size = clipEnd - dictBeginPos;
    const uint64_t dictSizeBack = data_buf.size();
    vko_check(_mem_size>=data_buf.size());
    if (dictSizeBack < _mem_size) data_buf.resize((size_t)_mem_size);

    uint64_t readPos = dictBeginPos;
    if (dictBeginPos < dict_buf.dictEndPos) {
        vko_check(dict_buf.dictEndPos<=clipBegin);
        const uint64_t movLen = dict_buf.dictEndPos - dictBeginPos;
        vko_check(dictSizeBack>=movLen);
        if (movLen != dictSizeBack)
            std::memmove(data_buf.data(), data_buf.data() + (dictSizeBack - movLen), (size_t)movLen);
        readPos = dict_buf.dictEndPos;
    }
    vko_check(data->read(data,readPos,data_buf.data()+(size_t)(readPos-dictBeginPos),data_buf.data()+data_buf.size()));
}

void encode_window(TVkoCode& code, const unsigned char* window, const unsigned char* end, size_t clip_len,
                   const vko_TCompressProps& props) {
    TMatch matcher(window, end, code, props);
    encode_clip(code, window, end, clip_len, props, matcher);
}

void trim_window(uint64_t clipEnd, uint64_t dictSize, TDictBuf& dict_buf) {
    std::vector<unsigned char>& data_buf = dict_buf.data_buf;
    const uint64_t newDictSize = std::min(dictSize, clipEnd);
    vko_check(data_buf.size()>=newDictSize);
    dict_buf.dictEndPos = clipEnd;
    if (data_buf.size() > newDictSize) {
        std::memmove(data_buf.data(), data_buf.data() + (data_buf.size() - newDictSize), (size_t)newDictSize);
        data_buf.resize((size_t)newDictSize);
    }
}

void compress_clip(TVkoCode& code, const mirv_TStreamInput* data, uint64_t clipBegin, uint64_t clipEnd,
                   const vko_TCompressProps& props, TDictBuf& dict_buf) {
    update_window(data, clipBegin, clipEnd, props.dictSize, dict_buf);
    const unsigned char* window = dict_buf.data_buf.data();
    /* the match search's arrays go before the window moves */
    encode_window(code, window, window + dict_buf.data_buf.size(), (size_t)(clipEnd - clipBegin), props);
    trim_window(clipEnd, props.dictSize, dict_buf);
}

} // namespace _vko_private

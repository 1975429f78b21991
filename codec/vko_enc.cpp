#include "vko_enc.h"

#include <algorithm>
#include <vector>

#include "vko_enc_check.h"
#include "vko_enc_clip.h"
#include "vko_enc_code.h"

using namespace _vko_private;

const vko_TCompressProps vko_kDefaultCompressProps = {
    (uint64_t)1 << 20,       /* dictSize */
    vko_kMaxOfMaxSaveLength, /* maxSaveLength */
    1,                       /* threadNum */
    true                     /* useLiteralLine */
};

uint64_t vko_maxCompressedSize(uint64_t data_size) {
    return data_size + data_size / 8 + 4 * (data_size >> 18) + 23;
}

namespace {

/* Clip size for an input of data_size bytes under the working dictionary size: clips
 * advance by about a third of the dictionary (at least 256 KiB), and all but the last
 * get the same size. */
uint64_t clip_size(uint64_t dict_size, uint64_t data_size) {
    const uint64_t step = std::min<uint64_t>(std::max<uint64_t>((dict_size + 1) / 3, (uint64_t)1 << 18), 357913941);
    const uint64_t count = data_size / step + 1;
    return (data_size + count - 1) / count;
}

/* Writes code at cur_out_pos and empties it. */
void flush_code(const mirv_TStreamOutput* out_code, uint64_t cur_out_pos, std::vector<unsigned char>& code) {
    vko_check(out_code->write(out_code,cur_out_pos,code.data(),code.data()+code.size()));
    code.clear();
}

} // namespace

uint64_t vko_compress(const mirv_TStreamOutput* out_code, const mirv_TStreamInput* data,
                      const vko_TCompressProps* props) {
    vko_check(out_code&&(out_code->write));
    vko_check(data&&(data->read));
    if (props) {
        vko_check_msg((props->dictSize >= 1) && (props->dictSize <= vko_kMaxOfDictSize),
                      "(props->dictSize>=1)&(props->dictSize<=vko_kMaxOfDictSize)");
        vko_check(props->maxSaveLength==(vko_length_t)props->maxSaveLength);
        vko_check((props->maxSaveLength>=vko_kMinOfMaxSaveLength)&&(props->maxSaveLength<=vko_kMaxOfMaxSaveLength));
    } else {
        props = &vko_kDefaultCompressProps;
    }

    uint64_t data_size = data->size;
    vko_TCompressProps selfProps = *props;
    if (data_size < selfProps.dictSize) selfProps.dictSize = data_size ? data_size : 1;

    std::vector<unsigned char> code;
    uint64_t cur_out_pos = 0;
    {
        TVkoCode coder(code, selfProps.useLiteralLine);
        coder.outDictSize(selfProps.dictSize);
    }
    flush_code(out_code, cur_out_pos, code);
    cur_out_pos = 4;

    const uint64_t clipSize = clip_size(selfProps.dictSize, data_size);
    uint64_t curDictSizeMax = 1;
    TDictBuf dict_buf;
    for (uint64_t clipBegin = 0;;) {
        TVkoCode coder(code, selfProps.useLiteralLine);
        const uint64_t clipEnd = clipBegin + clipSize;
        const uint64_t clipLast = std::min(clipEnd, data_size);
        if (clipBegin < clipLast) compress_clip(coder, data, clipBegin, clipLast, selfProps, dict_buf);
        if (clipEnd < data_size)
            coder.outCtrl_clipEnd();
        else
            coder.outCtrl_streamEnd();
        curDictSizeMax = std::max(curDictSizeMax, coder.dictSizeMax);
        const uint64_t code_len = code.size();
        flush_code(out_code, cur_out_pos, code);
        cur_out_pos += code_len;
        if (clipEnd >= data_size) break;
        clipBegin = clipEnd;
        data_size = data->size; /* a growing source may have more by now */
    }
    dict_buf.data_buf.clear();
    dict_buf.data_buf.shrink_to_fit();

    vko_check(curDictSizeMax<=selfProps.dictSize);
    if (curDictSizeMax < selfProps.dictSize) {
        TVkoCode coder(code, selfProps.useLiteralLine);
        coder.outDictSize(curDictSizeMax);
        flush_code(out_code, 0, code);
    }
    return cur_out_pos;
}

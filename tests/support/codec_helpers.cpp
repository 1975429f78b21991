#include "codec_helpers.h"

#include <algorithm>
#include <cstring>

namespace vekko_test {

namespace {

mirv_BOOL vectorWrite(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                      const unsigned char* data_end) {
    Bytes* out = static_cast<Bytes*>(stream->owner);
    const size_t len = (size_t)(data_end - data);
    if (out->size() < pos + len) out->resize((size_t)(pos + len));
    if (len) std::memcpy(out->data() + pos, data, len);
    return 1;
}

struct Source {
    const Bytes* stream;
    size_t pos;
    vko_size_t chunk;
};

mirv_BOOL sourceRead(void* input_stream, unsigned char* out_code, vko_size_t* code_size) {
    Source* src = static_cast<Source*>(input_stream);
    size_t n = std::min<size_t>(*code_size, src->stream->size() - src->pos);
    if (src->chunk) n = std::min<size_t>(n, src->chunk);
    if (n) std::memcpy(out_code, src->stream->data() + src->pos, n);
    src->pos += n;
    *code_size = (vko_size_t)n;
    return 1;
}

} // namespace

Bytes compress(const Bytes& data, const vko_TCompressProps* props) {
    mirv_TMemInputOwner in_owner = {data.data(), data.size()};
    mirv_TStreamInput in = {&in_owner, data.size(), mem_read, nullptr};
    Bytes out;
    mirv_TStreamOutput out_stream = {&out, UINT64_MAX, nullptr, vectorWrite};
    const uint64_t len = vko_compress(&out_stream, &in, props);
    out.resize((size_t)len);
    return out;
}

Decoded decodeMem(const Bytes& stream, size_t capacity) {
    Decoded d;
    d.bytes.assign(capacity, 0);
    vko_size_t size = (vko_size_t)capacity;
    d.result = vko_decompress_mem(stream.data(), (vko_size_t)stream.size(), d.bytes.data(), &size);
    if (d.result == vko_RESULT_STREAM_END) d.bytes.resize(size);
    return d;
}

Decoded decodeStream(const Bytes& stream, vko_size_t cache_size, vko_size_t piece_size,
                     vko_size_t window_size, vko_size_t chunk) {
    Decoded d;
    Source src = {&stream, 0, 0};
    const vko_size_t header = vko_TStream_read_dict_size(&src, sourceRead);
    src.chunk = chunk; /* the header comes whole, the rest in short refills */
    const vko_size_t window = window_size ? window_size : header;
    Bytes memory((size_t)window + cache_size);
    vko_TStream s;
    d.result = vko_TStream_open(&s, &src, sourceRead, memory.data(), window, cache_size);
    Bytes piece(piece_size);
    while (d.result == vko_RESULT_OK) {
        vko_size_t size = piece_size;
        d.result = vko_TStream_decompress_partial(&s, piece.data(), &size);
        if (d.result == vko_RESULT_OK || d.result == vko_RESULT_STREAM_END)
            d.bytes.insert(d.bytes.end(), piece.begin(), piece.begin() + size);
    }
    return d;
}

vko_TCompressProps propsWith(uint64_t dict_size, bool literal_line, uint64_t max_save_length) {
    vko_TCompressProps props = vko_kDefaultCompressProps;
    props.dictSize = dict_size;
    props.useLiteralLine = literal_line;
    props.maxSaveLength = max_save_length;
    return props;
}

} // namespace vekko_test

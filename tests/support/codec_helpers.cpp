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

vko_TCompressProps propsWith(uint64_t dict_size, bool literal_line, uint64_t max_save_length) {
    vko_TCompressProps props = vko_kDefaultCompressProps;
    props.dictSize = dict_size;
    props.useLiteralLine = literal_line;
    props.maxSaveLength = max_save_length;
    return props;
}

} // namespace vekko_test

/* Compresses arbitrary bytes under arbitrary valid properties and requires both
 * decoders (and the memory decoder's size build) to give them back exactly. */
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "small_decoder.h"
#include "vko_dec.h"
#include "vko_enc.h"

namespace {

mirv_BOOL vectorWrite(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                      const unsigned char* data_end) {
    auto* out = static_cast<std::vector<unsigned char>*>(stream->owner);
    const size_t len = (size_t)(data_end - data);
    if (out->size() < pos + len) out->resize((size_t)(pos + len));
    if (len) std::memcpy(out->data() + pos, data, len);
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 5) return 0;
    /* Five setting bytes, then the data. */
    static const uint64_t dicts[] = {1, 2, 126, 127, 128, 1000, 2687, 2688, 2689, 4096, 65536, 1 << 30};
    vko_TCompressProps props = vko_kDefaultCompressProps;
    props.dictSize = dicts[bytes[0] % (sizeof(dicts) / sizeof(dicts[0]))] + (bytes[0] >= 128 ? bytes[1] : 0);
    if (props.dictSize > vko_kMaxOfDictSize) props.dictSize = vko_kMaxOfDictSize;
    props.maxSaveLength = vko_kMinOfMaxSaveLength + (((uint64_t)bytes[2] << 8 | bytes[3]) % 65409);
    props.useLiteralLine = bytes[4] & 1;
    props.threadNum = bytes[4] >> 1;
    const std::vector<unsigned char> data(bytes + 5, bytes + size);

    mirv_TMemInputOwner in_owner = {data.data(), data.size()};
    mirv_TStreamInput in = {&in_owner, data.size(), mem_read, nullptr};
    std::vector<unsigned char> stream;
    mirv_TStreamOutput out = {&stream, UINT64_MAX, nullptr, vectorWrite};
    const uint64_t len = vko_compress(&out, &in, &props);
    if (len != stream.size() || len > vko_maxCompressedSize(data.size())) std::abort();

    std::vector<unsigned char> decoded(data.size() + 1);
    vko_size_t decoded_size = (vko_size_t)data.size();
    if (vko_decompress_mem(stream.data(), (vko_size_t)len, decoded.data(), &decoded_size) != vko_RESULT_STREAM_END ||
        decoded_size != data.size() || !std::equal(data.begin(), data.end(), decoded.begin()))
        std::abort();
    /* and the size build of the decoder */
    std::fill(decoded.begin(), decoded.end(), 0);
    decoded_size = (vko_size_t)data.size();
    if (vko_small_decompress_mem(stream.data(), (vko_size_t)len, decoded.data(), &decoded_size) !=
            vko_RESULT_STREAM_END ||
        decoded_size != data.size() || !std::equal(data.begin(), data.end(), decoded.begin()))
        std::abort();

    /* The stream decoder with the header's window, a tiny cache and odd piece sizes. */
    mirv_TMemCodeSource src = {stream.data(), stream.size(), 0};
    const vko_size_t window = vko_TStream_read_dict_size(&src, mem_read_code);
    if (window < 1 || window > props.dictSize || window > (data.empty() ? 1 : data.size())) std::abort();
    const vko_size_t cache = 1 + bytes[1] % 16;
    std::vector<unsigned char> memory(window + cache);
    vko_TStream s;
    if (vko_TStream_open(&s, &src, mem_read_code, memory.data(), window, cache) != vko_RESULT_OK) std::abort();
    std::vector<unsigned char> piecewise;
    unsigned char piece[97];
    for (vko_size_t step = 0;; ++step) {
        vko_size_t want = 1 + (vko_size_t)((step * 31 + bytes[3]) % sizeof(piece));
        const vko_TResult r = vko_TStream_decompress_partial(&s, piece, &want);
        if (r != vko_RESULT_OK && r != vko_RESULT_STREAM_END) std::abort();
        piecewise.insert(piecewise.end(), piece, piece + want);
        if (r == vko_RESULT_STREAM_END) break;
        if (piecewise.size() > data.size()) std::abort();
    }
    if (piecewise != data) std::abort();
    return 0;
}

#include "vko_wrapper.h"

uint64_t vko_compress_mem(const unsigned char* src, uint64_t src_size,
                          unsigned char* out, uint64_t out_capacity, uint64_t dict_size) {
    return vko_compress_mem_threads(src, src_size, out, out_capacity, dict_size, 1);
}

uint64_t vko_compress_mem_threads(const unsigned char* src, uint64_t src_size,
                                  unsigned char* out, uint64_t out_capacity, uint64_t dict_size,
                                  uint64_t thread_num) {
    mirv_TMemInputOwner in_owner = {src, src_size};
    mirv_TStreamInput in_stream = {&in_owner, src_size, mem_read, nullptr};
    mirv_TMemOutputOwner out_owner = {out, out_capacity};
    mirv_TStreamOutput out_stream = {&out_owner, out_capacity, nullptr, mem_write};

    vko_TCompressProps props = vko_kDefaultCompressProps;
    props.dictSize = dict_size;
    props.threadNum = thread_num;
    const uint64_t written = vko_compress(&out_stream, &in_stream, &props);
    return (written - 1 < out_capacity) ? written : 0;
}

uint64_t vko_max_compressed_size(uint64_t size) {
    return vko_maxCompressedSize(size);
}

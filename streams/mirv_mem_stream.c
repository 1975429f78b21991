#include "mirv_stream.h"

#include <string.h>

/* True when [pos, pos + len) lies inside [0, size), without overflowing. */
static int _range_fits(uint64_t pos, uint64_t len, uint64_t size) {
    return pos <= size && len <= size - pos;
}

mirv_BOOL mem_read(const mirv_TStreamInput* stream, uint64_t read_from_pos,
                   unsigned char* out_data, unsigned char* out_data_end) {
    const mirv_TMemInputOwner* mem = (const mirv_TMemInputOwner*)stream->owner;
    uint64_t len = (uint64_t)(out_data_end - out_data);
    if (!_range_fits(read_from_pos, len, mem->size)) return 0;
    if (len) memcpy(out_data, mem->data + read_from_pos, (size_t)len);
    return 1;
}

mirv_BOOL mem_read_back(const mirv_TStreamOutput* stream, uint64_t read_from_pos,
                        unsigned char* out_data, unsigned char* out_data_end) {
    const mirv_TMemOutputOwner* mem = (const mirv_TMemOutputOwner*)stream->owner;
    uint64_t len = (uint64_t)(out_data_end - out_data);
    if (!_range_fits(read_from_pos, len, mem->capacity)) return 0;
    if (len) memcpy(out_data, mem->data + read_from_pos, (size_t)len);
    return 1;
}

mirv_BOOL mem_write(const mirv_TStreamOutput* stream, uint64_t write_to_pos,
                    const unsigned char* data, const unsigned char* data_end) {
    const mirv_TMemOutputOwner* mem = (const mirv_TMemOutputOwner*)stream->owner;
    uint64_t len = (uint64_t)(data_end - data);
    if (!_range_fits(write_to_pos, len, mem->capacity)) return 0;
    if (len) memcpy(mem->data + write_to_pos, data, (size_t)len);
    return 1;
}

mirv_BOOL mem_read_code(void* source, unsigned char* out_code, uint32_t* code_size) {
    mirv_TMemCodeSource* mem = (mirv_TMemCodeSource*)source;
    uint64_t n = *code_size;
    /* pos beyond size only if the caller set it so: deliver nothing then */
    const uint64_t left = mem->pos < mem->size ? mem->size - mem->pos : 0;
    if (n > left) n = left;
    if (n) memcpy(out_code, mem->data + mem->pos, (size_t)n);
    mem->pos += n;
    *code_size = (uint32_t)n;
    return 1;
}

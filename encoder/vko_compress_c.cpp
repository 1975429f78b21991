/* The C entry of the encoder: vko_compress over memory, with every exception turned into
 * a vko_TCompressError.
 *
 * "Output too small" is told apart from the encoder's other failures by the output stream
 * itself: its write callback notes a write that would pass the capacity before refusing it,
 * so the code does not depend on any exception's text.
 */
#include <cstdint>
#include <new>

#include "vko_compress.h"
#include "vko_enc.h"

namespace {

struct BoundedOutput {
    mirv_TMemOutputOwner memory;
    bool                 overflowed;
};

mirv_BOOL bounded_write(const mirv_TStreamOutput* stream, uint64_t write_to_pos, const unsigned char* data,
                        const unsigned char* data_end) {
    BoundedOutput* out = static_cast<BoundedOutput*>(stream->owner);
    const uint64_t length = (uint64_t)(data_end - data);
    if (write_to_pos > out->memory.capacity || length > out->memory.capacity - write_to_pos) {
        out->overflowed = true;
        return 0;
    }
    mirv_TStreamOutput memory_stream = {&out->memory, out->memory.capacity, nullptr, mem_write};
    return mem_write(&memory_stream, write_to_pos, data, data_end);
}

void set_error(int* error, vko_TCompressError code) {
    if (error) *error = code;
}

}  // namespace

uint64_t vko_compress_buffer(const unsigned char* src, uint64_t src_size, unsigned char* out, uint64_t out_capacity,
                             uint64_t dict_size, uint64_t thread_num, int* error) {
    if (dict_size < 1 || dict_size > vko_kMaxOfDictSize || (!src && src_size) || (!out && out_capacity)) {
        set_error(error, vko_COMPRESS_BAD_PROPS);
        return 0;
    }
    static const unsigned char no_byte = 0;
    mirv_TMemInputOwner in_owner = {src ? src : &no_byte, src_size};
    mirv_TStreamInput in_stream = {&in_owner, src_size, mem_read, nullptr};
    BoundedOutput out_owner = {{out, out_capacity}, false};
    mirv_TStreamOutput out_stream = {&out_owner, out_capacity, nullptr, bounded_write};

    vko_TCompressProps props = vko_kDefaultCompressProps;
    props.dictSize = dict_size;
    props.threadNum = thread_num;
    try {
        const uint64_t written = vko_compress(&out_stream, &in_stream, &props);
        if (written == 0 || written > out_capacity) {
            set_error(error, vko_COMPRESS_INTERNAL);
            return 0;
        }
        set_error(error, vko_COMPRESS_OK);
        return written;
    } catch (const std::bad_alloc&) {
        set_error(error, out_owner.overflowed ? vko_COMPRESS_OUTPUT_TOO_SMALL : vko_COMPRESS_NO_MEMORY);
    } catch (...) {
        set_error(error, out_owner.overflowed ? vko_COMPRESS_OUTPUT_TOO_SMALL : vko_COMPRESS_INTERNAL);
    }
    return 0;
}

uint64_t vko_compress_bound(uint64_t src_size) {
    /* The bound grows by less than a quarter of the input: saturate where it would wrap. */
    if (src_size > UINT64_MAX / 2) return UINT64_MAX;
    return vko_maxCompressedSize(src_size);
}

const char* vko_compress_error_text(int error) {
    switch (error) {
    case vko_COMPRESS_OK:               return "no error";
    case vko_COMPRESS_BAD_PROPS:        return "bad compression properties (dictionary size or buffer)";
    case vko_COMPRESS_OUTPUT_TOO_SMALL: return "output too small";
    case vko_COMPRESS_NO_MEMORY:        return "out of memory";
    case vko_COMPRESS_INTERNAL:         return "internal encoder error";
    }
    return "unknown compression error code";
}

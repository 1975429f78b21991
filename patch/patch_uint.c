/* Packed uints: big-endian 7-bit groups, k tag bits and a continue bit in the first byte. */
#include "mirv_patch.h"

static unsigned int following_bytes(uint64_t value, unsigned int k) {
    unsigned int n = 0;
    value >>= 7 - k;
    while (value) {
        ++n;
        value >>= 7;
    }
    return n;
}

unsigned int mirv_packUIntWithTag_size(uint64_t value, unsigned int k) {
    return 1 + following_bytes(value, k);
}

mirv_BOOL mirv_packUIntWithTag(unsigned char** cursor, unsigned char* end, uint64_t value, unsigned int tag,
                               unsigned int k) {
    unsigned char* out = *cursor;
    unsigned int n, i;
    if (k > 2 || (k == 0 ? tag != 0 : (tag >> k) != 0)) return 0;
    n = following_bytes(value, k);
    if (out > end || (size_t)(end - out) < (size_t)n + 1) return 0;
    out[0] = (unsigned char)((k ? (tag << (8 - k)) : 0) | (n ? (0x80u >> k) : 0) |
                             (unsigned char)((value >> (7 * n)) & ((1u << (7 - k)) - 1)));
    for (i = 1; i <= n; ++i) {
        unsigned int shift = 7 * (n - i);
        out[i] = (unsigned char)(((value >> shift) & 0x7F) | (i < n ? 0x80 : 0));
    }
    *cursor = out + n + 1;
    return 1;
}

mirv_BOOL mirv_unpackUIntWithTag(const unsigned char** cursor, const unsigned char* end, uint64_t* out_value,
                                 unsigned int k) {
    const unsigned char* in = *cursor;
    uint64_t value;
    unsigned char byte;
    if (k > 2 || in >= end) return 0;
    byte = *in++;
    value = byte & ((1u << (7 - k)) - 1);
    if (byte & (0x80u >> k)) {
        do {
            /* one more group must still fit in 64 bits */
            if (value > (((uint64_t)1 << 57) - 1) || in >= end) return 0;
            byte = *in++;
            value = (value << 7) | (byte & 0x7F);
        } while (byte & 0x80);
    }
    *out_value = value;
    *cursor = in;
    return 1;
}

/* Memory decoder on arbitrary bytes.
 *
 * Input: two bytes of output size (little-endian), then the stream, header included.
 * The decoder must stay inside its buffers, return one of its result codes, leave the
 * size alone unless it succeeds, leave the buffer past the produced bytes untouched,
 * and match a plain byte-at-a-time decoder in result, size and every byte written.
 * The size build must do exactly the same, and the stream decoder, given a window that
 * never limits it, must reach the same result wherever the output buffer is not the
 * limit (on a cut stream: some failure in both). */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "small_decoder.h"
#include "vko_dec.h"

namespace {

/* The decoder written as plainly as possible, for comparison. */
struct Bits {
    const uint8_t* code;
    uint32_t cur, end, value, count;
    uint32_t low(uint32_t n) {
        uint32_t r = value;
        if (count >= n) {
            value >>= n;
            count -= n;
            return r;
        }
        if (cur == end) return 0;
        const uint32_t b = code[cur++];
        r |= b << count;
        value = b >> (n - count);
        count += 8 - n;
        return r;
    }
    uint32_t vlen(uint32_t k) {
        uint32_t v = 0;
        for (;;) {
            const uint32_t g = low(k + 1);
            v = (v << k) | (g & ((1u << k) - 1));
            if (!((g >> k) & 1)) return v;
            v++;
        }
    }
};

int referenceDecode(const uint8_t* code, uint32_t codeSize, uint8_t* out, uint32_t* outSize) {
    if (codeSize <= 4) return vko_RESULT_INPUT_ERROR;
    Bits r = {code, 4, codeSize, 0, 0};
    uint32_t pos = 0, saved = 1;
    bool afterLiteral = false;
    for (;;) {
        if (r.low(1) & 1) {
            if (pos == *outSize) return vko_RESULT_OUT_SIZE;
            if (r.cur == r.end) return vko_RESULT_INPUT_ERROR;
            out[pos++] = code[r.cur++];
            afterLiteral = true;
            continue;
        }
        uint32_t v = r.vlen(1), dist;
        if (afterLiteral && (r.low(1) & 1)) {
            dist = saved;
        } else {
            if (r.cur == r.end) return vko_RESULT_INPUT_ERROR;
            const uint32_t b = code[r.cur++];
            if (b >= 128) {
                dist = r.vlen(2) * 128 + (b & 127) + 128;
                if (dist > 2687) v++;
            } else if (b) {
                dist = b;
            } else if (v == 1) {
                const uint32_t len = r.vlen(2) + 15;
                if (len > r.end - r.cur) return vko_RESULT_INPUT_ERROR;
                if (len > *outSize - pos) return vko_RESULT_OUT_SIZE;
                for (uint32_t i = 0; i < len; i++) out[pos++] = code[r.cur++];
                afterLiteral = true;
                continue;
            } else if (v == 2) {
                r.count = 0;
                saved = 1;
                afterLiteral = false;
                continue;
            } else if (v == 3) {
                *outSize = pos;
                return vko_RESULT_STREAM_END;
            } else {
                return vko_RESULT_BAD_CTRL;
            }
        }
        saved = dist;
        if (dist > pos || dist == 0) return vko_RESULT_BAD_DICT_POS;
        const uint32_t len = v + 2;
        if (len > *outSize - pos) return vko_RESULT_OUT_SIZE;
        for (uint32_t i = 0; i < len; i++, pos++) out[pos] = out[pos - dist];
        afterLiteral = false;
    }
}

/* The stream decoder's final result on the same stream, with a window of at least the
 * output capacity, so that only the bytes produced limit how far back a match reaches. */
int streamDecode(const std::vector<uint8_t>& code, uint32_t capacity, bool& ranDry) {
    mirv_TMemCodeSource src = {code.data(), code.size(), 0};
    vko_TStream_read_dict_size(&src, mem_read_code); /* the header; its value is not needed */
    const uint32_t window = capacity ? capacity : 1, cache = 64;
    std::vector<uint8_t> buffer(size_t(window) + cache);
    vko_TStream s;
    if (vko_TStream_open(&s, &src, mem_read_code, buffer.data(), window, cache) != vko_RESULT_OK) abort();
    uint8_t piece[1024];
    uint64_t produced = 0;
    for (;;) {
        vko_size_t size = sizeof(piece);
        const vko_TResult r = vko_TStream_decompress_partial(&s, piece, &size);
        ranDry = s.cache.cache_end == 0;
        if (r != vko_RESULT_OK) return r;
        /* The memory decoder fit everything in capacity bytes.  Only a cut stream lets
         * this decoder go further: through the rest of a literal line that the memory
         * decoder refused as longer than the code left, then at most one piece of
         * stand-in zero bytes, before it fails. */
        produced += size;
        if (produced > uint64_t(capacity) + code.size() + 2 * sizeof(piece)) abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t outCapacity = data[0] | (uint32_t(data[1]) << 8);
    const uint32_t codeSize = uint32_t(size - 2);
    /* exact-size copies, so that any read or write past an end is caught */
    std::vector<uint8_t> code(data + 2, data + size);
    std::vector<uint8_t> out(outCapacity, 0xA5), expected(outCapacity, 0xA5);

    uint32_t outSize = outCapacity, expectedSize = outCapacity;
    const int result = vko_decompress_mem(code.data(), codeSize, out.data(), &outSize);
    const int expectedResult = referenceDecode(code.data(), codeSize, expected.data(), &expectedSize);

    if (result != expectedResult || outSize != expectedSize || out != expected) abort();

    std::vector<uint8_t> small(outCapacity, 0xA5);
    uint32_t smallSize = outCapacity;
    if (vko_small_decompress_mem(code.data(), codeSize, small.data(), &smallSize) != result ||
        smallSize != outSize || small != out)
        abort();

    if (result != vko_RESULT_OUT_SIZE && codeSize >= 4) {
        bool ranDry = false;
        const int streamResult = streamDecode(code, outCapacity, ranDry);
        /* On a cut stream the two may name different failures (each reads the missing
         * bits its own way), but neither may call it a success. */
        const bool cut = ranDry || result == vko_RESULT_INPUT_ERROR || streamResult == vko_RESULT_INPUT_ERROR;
        if (streamResult != result && (!cut || result == vko_RESULT_STREAM_END || streamResult == vko_RESULT_STREAM_END))
            abort();
    }
    if (result == vko_RESULT_STREAM_END) {
        if (outSize > outCapacity) abort();
        for (uint32_t i = outSize; i < outCapacity; i++)
            if (out[i] != 0xA5) abort();
    } else if (outSize != outCapacity) {
        abort();
    }
    return 0;
}

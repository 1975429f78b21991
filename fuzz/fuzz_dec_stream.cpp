/* Stream decoder on arbitrary bytes, with the window, cache, output pieces and source
 * behaviour taken from the input too.
 *
 * Input: window size (2 bytes, plus 1), cache size selector, piece-size selector,
 * largest delivery per refill (0: no limit), failing-refill selector, then the stream,
 * header included.  The decoder must stay inside its buffers and match a plain
 * byte-at-a-time decoder call by call: results, sizes, bytes written, refill requests,
 * and the size build must do exactly the same.  After a final result, further calls give
 * it again and write nothing.  Where the window never limited the decoder and the
 * source did not fail, the memory decoder must reach the same result (on a cut stream:
 * some failure in both), and on the stream end the same bytes. */
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "small_decoder.h"
#include "vko_dec.h"

namespace {

struct Source {
    const uint8_t* data;
    size_t size;
    size_t pos;
    uint32_t maxDeliver; /* 0: no limit; the 4-byte header always comes whole */
    size_t failAt;       /* a refill that would deliver byte failAt fails */
    std::vector<uint32_t> requests;

    static mirv_BOOL read(void* self, unsigned char* out, vko_size_t* n) {
        Source& s = *static_cast<Source*>(self);
        s.requests.push_back(*n);
        size_t k = *n;
        if (s.maxDeliver && s.requests.size() > 1 && k > s.maxDeliver) k = s.maxDeliver;
        if (k > s.size - s.pos) k = s.size - s.pos;
        if (k > 0 && s.pos + k > s.failAt) return 0;
        if (k) memcpy(out, s.data + s.pos, k);
        s.pos += k;
        *n = (vko_size_t)k;
        return 1;
    }
};

/* The stream decoder written as plainly as possible, for comparison. */
struct Reference {
    uint32_t begin, end;
    uint8_t* cache;
    Source* source;
    uint32_t cur, size;
    uint8_t* window;
    uint32_t back = 0, saved = 1, copy = 0, line = 0, bits = 0, count = 0, afterLiteral = 0;
    uint32_t filled = 0;   /* bytes produced, up to the window size */
    uint64_t produced = 0; /* all bytes produced */
    int final = 0;         /* the result every call returns once it is not 0 */

    Reference(Source* src, uint8_t* buffer, uint32_t dictSize, uint32_t cacheSize)
        : begin(cacheSize), end(cacheSize), cache(buffer + dictSize), source(src), cur(0),
          size(dictSize), window(buffer) {}

    uint32_t byte() {
        if (begin < end) return cache[begin++];
        vko_size_t n = end;
        if (!Source::read(source, cache, &n)) {
            begin = end = 0;
            return 0;
        }
        begin = 0;
        end = n;
        if (n == 0) return 0;
        begin = 1;
        return cache[0];
    }
    uint32_t low(uint32_t n) {
        uint32_t r = bits;
        if (count >= n) {
            bits >>= n;
            count -= n;
        } else {
            const uint32_t b = byte();
            r |= b << count;
            bits = b >> (n - count);
            count += 8 - n;
        }
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
    void put(uint8_t b, uint8_t* out, uint32_t& pos) {
        window[cur] = b;
        if (++cur == size) cur = 0;
        if (filled < size) filled++;
        produced++;
        out[pos++] = b;
    }
    int partial(uint8_t* out, uint32_t* outSize) {
        if (final) {
            if (final == vko_RESULT_STREAM_END) *outSize = 0;
            return final;
        }
        final = decode(out, outSize);
        return final;
    }
    int decode(uint8_t* out, uint32_t* outSize) {
        uint32_t pos = 0;
        for (;;) {
            for (; copy; copy--) {
                if (pos == *outSize) return full(*outSize);
                const uint64_t from = (uint64_t(cur) + back) % size;
                put(window[from], out, pos);
            }
            for (; line; line--) {
                if (pos == *outSize) return full(*outSize);
                put((uint8_t)byte(), out, pos);
            }
            while (low(1) & 1) {
                if (pos == *outSize) {
                    bits = bits * 2 + 1;
                    count++;
                    return full(*outSize);
                }
                put((uint8_t)byte(), out, pos);
                afterLiteral = 1;
            }
            uint32_t v = vlen(1), dist, len;
            const bool repeat = afterLiteral && (low(1) & 1);
            afterLiteral = 0;
            if (repeat) {
                dist = saved;
                len = v + 2;
            } else {
                const uint32_t b = byte();
                if (b >= 128) {
                    dist = vlen(2) * 128 + (b & 127) + 128;
                    len = v + (dist > 2687 ? 3 : 2);
                } else if (b) {
                    dist = b;
                    len = v + 2;
                } else if (v == 1) {
                    afterLiteral = 1;
                    line = vlen(2) + 15;
                    continue;
                } else {
                    saved = 1;
                    count = 0;
                    if (v == 2) continue;
                    if (end == 0) return vko_RESULT_INPUT_ERROR;
                    if (v == 3) {
                        *outSize = pos;
                        return vko_RESULT_STREAM_END;
                    }
                    return vko_RESULT_BAD_CTRL;
                }
            }
            saved = dist;
            copy = len;
            if (dist > filled || dist == 0) return vko_RESULT_BAD_DICT_POS;
            back = size - dist;
        }
    }
    int full(uint32_t outSize) {
        if (end == 0) return vko_RESULT_INPUT_ERROR;
        return outSize ? vko_RESULT_OK : vko_RESULT_OUT_SIZE;
    }
};

const size_t kMaxOutput = 64 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const uint32_t dictSize = 1 + (data[0] | (uint32_t(data[1]) << 8));
    const uint8_t c = data[2];
    const uint32_t cacheSize = c < 128 ? 1 + c % 16 : c < 224 ? c : 4096;
    uint32_t pieceState = data[3] * 2654435761u + 1;
    const uint8_t pieceMode = data[3] & 3;
    const uint32_t maxDeliver = data[4];
    const uint8_t* stream = data + 6;
    const size_t streamSize = size - 6;
    const size_t failAt = data[5] < 32 ? streamSize * data[5] / 32 : SIZE_MAX;

    Source mine = {stream, streamSize, 0, maxDeliver, failAt, {}};
    Source theirs = mine, smalls = mine;
    const uint32_t header = vko_TStream_read_dict_size(&mine, Source::read);
    uint8_t headerBytes[4];
    vko_size_t theirHeader = 4;
    if (!Source::read(&theirs, headerBytes, &theirHeader) || theirHeader != 4) {
        if (header != 0) abort();
        return 0;
    }
    if (header != (stream[0] | uint32_t(stream[1]) << 8 | uint32_t(stream[2]) << 16 | uint32_t(stream[3]) << 24))
        abort();

    std::vector<uint8_t> buffer(size_t(dictSize) + cacheSize), refBuffer(buffer.size());
    vko_TStream s;
    if (vko_TStream_open(&s, &mine, Source::read, buffer.data(), dictSize, cacheSize) != vko_RESULT_OK) abort();
    Reference ref(&theirs, refBuffer.data(), dictSize, cacheSize);
    std::vector<uint8_t> smallBuffer(buffer.size());
    vko_TStream ss;
    if (vko_small_TStream_read_dict_size(&smalls, Source::read) != header ||
        vko_small_TStream_open(&ss, &smalls, Source::read, smallBuffer.data(), dictSize, cacheSize) != vko_RESULT_OK)
        abort();

    std::vector<uint8_t> output, out, expected, small;
    int result = vko_RESULT_OK;
    /* two more calls after a final result, which must give it again */
    for (int extra = 0; extra < 3 && output.size() < kMaxOutput; extra += result != vko_RESULT_OK) {
        uint32_t piece;
        switch (pieceMode) {
        case 0: piece = 4096; break;
        case 1: piece = 1; break;
        case 2: piece = 7; break;
        default:
            pieceState = pieceState * 1103515245u + 12345u;
            piece = (pieceState >> 16) % 97 == 0 ? 0 : 1 + (pieceState >> 16) % 300;
        }
        if (out.size() != piece) { /* exact sizes, so that a write past the piece is caught */
            out = std::vector<uint8_t>(piece);
            expected = std::vector<uint8_t>(piece);
            small = std::vector<uint8_t>(piece);
        }
        std::fill(out.begin(), out.end(), 0x5A);
        std::fill(expected.begin(), expected.end(), 0x5A);
        std::fill(small.begin(), small.end(), 0x5A);
        uint32_t outSize = piece, expectedSize = piece, smallSize = piece;
        const int before = result;
        result = vko_TStream_decompress_partial(&s, out.data(), &outSize);
        const int expectedResult = ref.partial(expected.data(), &expectedSize);
        const int smallResult = vko_small_TStream_decompress_partial(&ss, small.data(), &smallSize);
        if (result != expectedResult || outSize != expectedSize || out != expected) abort();
        if (smallResult != result || smallSize != outSize || small != out) abort();
        if (before != vko_RESULT_OK) { /* a call after the final result */
            if (result != before || std::count(out.begin(), out.end(), 0x5A) != (long)piece) abort();
            continue;
        }
        if (result == vko_RESULT_OK || result == vko_RESULT_STREAM_END)
            output.insert(output.end(), out.begin(), out.begin() + outSize);
        else if (outSize != piece)
            abort();
    }
    if (mine.requests != theirs.requests || buffer != refBuffer) abort();
    if (smalls.requests != mine.requests || smallBuffer != buffer) abort();

    /* Where neither the window nor a failing source made a difference, the memory decoder
     * reaches the same verdict. */
    if (result != vko_RESULT_OK && result != vko_RESULT_OUT_SIZE && failAt == SIZE_MAX &&
        ref.produced <= dictSize) {
        std::vector<uint8_t> memOut(ref.produced + 16);
        vko_size_t memSize = (vko_size_t)memOut.size();
        const int memResult = vko_decompress_mem(stream, (vko_size_t)streamSize, memOut.data(), &memSize);
        /* On a cut stream the two may name different failures (each reads the missing
         * bits its own way), but neither may call it a success. */
        const bool cut = s.cache.cache_end == 0 || memResult == vko_RESULT_INPUT_ERROR;
        if (memResult != result && (!cut || memResult == vko_RESULT_STREAM_END || result == vko_RESULT_STREAM_END))
            abort();
    }

    /* Where both decoders reach the stream end they saw the same bits and bytes. */
    if (result == vko_RESULT_STREAM_END) {
        std::vector<uint8_t> memOut(output.size() + 16);
        vko_size_t memSize = (vko_size_t)memOut.size();
        if (vko_decompress_mem(stream, (vko_size_t)streamSize, memOut.data(), &memSize) == vko_RESULT_STREAM_END) {
            if (memSize != output.size() || !std::equal(output.begin(), output.end(), memOut.begin())) abort();
        }
    }
    return 0;
}

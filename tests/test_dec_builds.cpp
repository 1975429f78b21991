/* The size build of the decoders against the fast build: the same result, size and
 * bytes for valid, cut and corrupt streams, in one call and piece by piece. */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "small_decoder.h"
#include "test_data.h"
#include "vko_test_writer.h"
#include "worked_streams.h"

using namespace vekko_test;

namespace {

struct Build {
    const char* name;
    vko_TResult (*mem)(const unsigned char*, vko_size_t, unsigned char*, vko_size_t*);
    vko_size_t (*header)(void*, vko_TReadCode);
    vko_TResult (*open)(vko_TStream*, void*, vko_TReadCode, unsigned char*, vko_size_t, vko_size_t);
    vko_TResult (*partial)(vko_TStream*, unsigned char*, vko_size_t*);
};
const Build kFast = {"fast", vko_decompress_mem, vko_TStream_read_dict_size, vko_TStream_open,
                     vko_TStream_decompress_partial};
const Build kSmall = {"small", vko_small_decompress_mem, vko_small_TStream_read_dict_size,
                      vko_small_TStream_open, vko_small_TStream_decompress_partial};

/* Everything a caller can see of one decode: every call's result, size and bytes, the
 * refill requests, and the window afterwards. */
struct Trace {
    std::vector<int> results;
    std::vector<Bytes> pieces;
    std::vector<uint32_t> requests;
    Bytes window;
    bool operator==(const Trace& o) const {
        return results == o.results && pieces == o.pieces && requests == o.requests && window == o.window;
    }
};

Trace memTrace(const Build& b, const Bytes& stream, size_t capacity) {
    Trace t;
    Bytes out(capacity + 1, 0xC3); /* one byte more, to see a write past the end */
    vko_size_t size = (vko_size_t)capacity;
    t.results.push_back(b.mem(stream.data(), (vko_size_t)stream.size(), out.data(), &size));
    t.pieces.push_back(out);
    t.requests.push_back(size);
    return t;
}

Trace streamTrace(const Build& b, const Bytes& stream, uint32_t window, uint32_t cache, uint32_t piece,
                  uint32_t chunk, size_t failAt) {
    Trace t;
    ChunkSource source(stream);
    source.maxDeliver = chunk;
    source.failAt = failAt;
    const vko_size_t header = b.header(&source, ChunkSource::read);
    if (!window) window = header ? header : 1;
    Bytes buffer(size_t(window) + cache, 0x3C);
    vko_TStream s;
    vko_TResult r = b.open(&s, &source, ChunkSource::read, buffer.data(), window, cache);
    t.results.push_back(r);
    /* two calls past the end, to see the final result stay */
    for (int extra = 0; extra < 3 && t.pieces.size() < 5000; extra += r != vko_RESULT_OK) {
        Bytes out(piece, 0xC3);
        vko_size_t size = piece;
        r = b.partial(&s, out.data(), &size);
        t.results.push_back(r);
        t.results.push_back((int)size);
        t.pieces.push_back(out);
    }
    t.requests = source.requests;
    t.window.assign(buffer.begin(), buffer.begin() + window);
    return t;
}

/* Streams of every kind: encoder-like records, then the same cut and with bytes flipped. */
std::vector<Bytes> streamsToTry() {
    std::vector<Bytes> streams;
    for (const WorkedStream& w : workedStreams()) streams.push_back(w.stream);
    for (uint64_t seed = 1; seed <= 6; seed++) {
        const RandomStream r = randomRecords(seed, 120, seed % 2 ? 300 : 6000);
        streams.push_back(r.stream);
        streams.push_back(Bytes(r.stream.begin(), r.stream.begin() + r.stream.size() * 2 / 3));
        Bytes noise = randomBytes(r.stream.size(), seed + 100);
        for (size_t i = 0; i < 3; i++) {
            Bytes flipped = r.stream;
            const size_t at = 4 + noise[i] * (flipped.size() - 4) / 256;
            flipped[at] ^= noise[i + 3] | 1;
            streams.push_back(flipped);
        }
        noise[0] = 0x40; /* a small header */
        noise[1] = noise[2] = noise[3] = 0;
        streams.push_back(noise);
    }
    return streams;
}

} // namespace

TEST(DecoderBuilds, MemoryDecoderSameResultsSizesAndBytes) {
    size_t index = 0;
    for (const Bytes& stream : streamsToTry()) {
        for (size_t capacity : {size_t(0), size_t(7), size_t(100), size_t(20000)}) {
            SCOPED_TRACE(testing::Message() << "stream " << index << ", capacity " << capacity);
            EXPECT_TRUE(memTrace(kFast, stream, capacity) == memTrace(kSmall, stream, capacity));
        }
        index++;
    }
}

TEST(DecoderBuilds, StreamDecoderSameCallsRefillsAndWindow) {
    const struct { uint32_t window, cache, piece, chunk; size_t failAt; } setups[] = {
        {0, 1, 1, 0, SIZE_MAX},     {0, 4096, 4096, 0, SIZE_MAX}, {0, 16, 7, 3, SIZE_MAX},
        {64, 5, 300, 0, SIZE_MAX},  {20000, 64, 33, 0, 90},       {0, 2, 0, 0, SIZE_MAX},
    };
    size_t index = 0;
    for (const Bytes& stream : streamsToTry()) {
        for (const auto& u : setups) {
            SCOPED_TRACE(testing::Message() << "stream " << index << ", window " << u.window << ", cache "
                                            << u.cache << ", piece " << u.piece);
            EXPECT_TRUE(streamTrace(kFast, stream, u.window, u.cache, u.piece, u.chunk, u.failAt) ==
                        streamTrace(kSmall, stream, u.window, u.cache, u.piece, u.chunk, u.failAt));
        }
        index++;
    }
}

/* Messages: every result has a text of its own, and a value that is no result says so. */
TEST(DecoderResults, EveryResultHasItsOwnText) {
    std::vector<std::string> texts;
    for (vko_TResult r : {vko_RESULT_OK, vko_RESULT_STREAM_END, vko_RESULT_BAD_CTRL, vko_RESULT_INPUT_ERROR,
                          vko_RESULT_NO_DICT, vko_RESULT_NO_CACHE, vko_RESULT_BAD_DICT_POS, vko_RESULT_OUT_SIZE}) {
        const std::string text = vko_result_text(r);
        EXPECT_NE(text, "unknown result") << r;
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 0) << text;
        texts.push_back(text);
    }
    EXPECT_STREQ(vko_result_text(static_cast<vko_TResult>(2)), "unknown result");
}

/* Stream decoder: pieces, caches, sources that misbehave, and agreement with the
 * memory decoder on random record sequences. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "vko_dec.h"
#include "vko_test_writer.h"
#include "worked_streams.h"

using namespace vekko_test;

namespace {

const Bytes& kEmpty = workedStream("empty").stream;
const Bytes& kOneLiteral = workedStream("one literal").stream;
const Bytes& kAbc = workedStream("abc repeated").stream;
const Bytes& kLine = workedStream("literal line").stream;

/* An opened decoder over a source, with its buffer. */
struct Decoder {
    ChunkSource source;
    Bytes buffer;
    vko_TStream stream;
    Decoder(const Bytes& bytes, uint32_t cacheSize, uint32_t dictSize = 0) : source(bytes) {
        const vko_size_t header = vko_TStream_read_dict_size(&source, ChunkSource::read);
        if (dictSize == 0) dictSize = header;
        buffer.assign(size_t(dictSize) + cacheSize, 0);
        EXPECT_EQ(vko_TStream_open(&stream, &source, ChunkSource::read, buffer.data(), dictSize, cacheSize),
                  vko_RESULT_OK);
    }
    vko_TResult call(Bytes& piece, vko_size_t& size) {
        piece.assign(size, 0xEE);
        return vko_TStream_decompress_partial(&stream, piece.data(), &size);
    }
};

} // namespace

TEST(StreamDecoder, WorkedStreamsInEveryPieceAndCacheSize) {
    for (const auto& w : workedStreams()) {
        for (uint32_t cache : {1u, 2u, 4096u}) {
            for (uint32_t piece : {1u, 7u, 9u, 4096u}) {
                SCOPED_TRACE(testing::Message() << w.stream.size() << " cache " << cache << " piece " << piece);
                const Decoded d = decodeStream(w.stream, cache, piece);
                EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
                EXPECT_EQ(d.bytes, w.data);
                /* the call producing the last byte also sees the end code */
                EXPECT_EQ(d.calls, std::max<size_t>(1, (w.data.size() + piece - 1) / piece));
            }
        }
    }
}

TEST(StreamDecoder, PieceByPieceResults) {
    {   /* window 3, cache 1, pieces of 1: eight 0 results, then 1 with size 1 */
        Decoder d(kAbc, 1);
        Bytes piece;
        for (int i = 0; i < 9; i++) {
            vko_size_t size = 1;
            ASSERT_EQ(d.call(piece, size), i < 8 ? vko_RESULT_OK : vko_RESULT_STREAM_END) << i;
            EXPECT_EQ(size, 1u);
            EXPECT_EQ(piece[0], "abcabcabc"[i]);
        }
    }
    {   /* a window smaller than the distance: the call that writes "c" goes on to the
         * match and fails */
        const Decoded d = decodeStream(kAbc, 1, 1, 2);
        EXPECT_EQ(d.result, vko_RESULT_BAD_DICT_POS);
        EXPECT_EQ(d.calls, 3u);
        EXPECT_EQ(d.bytes, bytesOf("ab"));
    }
    {   /* a larger window than the header's works */
        const Decoded d = decodeStream(kAbc, 1, 4, 100000);
        EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
        EXPECT_EQ(d.bytes, bytesOf("abcabcabc"));
    }
    {   /* a piece of 0 bytes: fine at the stream end, an error with output pending */
        Bytes piece;
        vko_size_t size = 0;
        Decoder empty(kEmpty, 4);
        EXPECT_EQ(empty.call(piece, size), vko_RESULT_STREAM_END);
        EXPECT_EQ(size, 0u);
        Decoder one(kOneLiteral, 4);
        EXPECT_EQ(one.call(piece, size), vko_RESULT_OUT_SIZE);
        EXPECT_EQ(size, 0u);
        Decoder abc(kAbc, 4);
        size = 4; /* stops inside the match */
        ASSERT_EQ(abc.call(piece, size), vko_RESULT_OK);
        size = 0;
        EXPECT_EQ(abc.call(piece, size), vko_RESULT_OUT_SIZE);
    }
    {   /* the literal whose type bit was put back comes out first in the next call */
        StreamWriter w(4);
        w.literals(bytesOf("pqrstuvwxyz"));
        w.match(5, 4);
        w.streamEnd();
        Decoder d(w.bytes(), 3);
        Bytes piece, all;
        const vko_size_t sizes[] = {3, 5, 2, 6};
        for (vko_size_t size : sizes) {
            const vko_TResult r = d.call(piece, size);
            ASSERT_EQ(r, all.size() + size == 16 ? vko_RESULT_STREAM_END : vko_RESULT_OK);
            all.insert(all.end(), piece.begin(), piece.begin() + size);
        }
        EXPECT_EQ(all, bytesOf("pqrstuvwxyzwxyzw"));
    }
}

TEST(StreamDecoder, OpenAndHeader) {
    vko_TStream s;
    unsigned char buffer[8];
    EXPECT_EQ(vko_TStream_open(&s, nullptr, ChunkSource::read, buffer, 0, 0), vko_RESULT_NO_DICT);
    EXPECT_EQ(vko_TStream_open(&s, nullptr, ChunkSource::read, buffer, 1, 0), vko_RESULT_NO_CACHE);

    const struct { Bytes bytes; size_t failAt; vko_size_t dictSize; } headers[] = {
        {{0x78, 0x56, 0x34, 0x12}, SIZE_MAX, 0x12345678u},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x00}, SIZE_MAX, 0xFFFFFFFFu}, /* not range-checked */
        {{0x01, 0x00, 0x00}, SIZE_MAX, 0},                        /* 3 bytes */
        {{}, SIZE_MAX, 0},
        {{0x01, 0x00, 0x00, 0x00}, 2, 0},                         /* read error */
    };
    for (const auto& h : headers) {
        ChunkSource source(h.bytes);
        source.failAt = h.failAt;
        EXPECT_EQ(vko_TStream_read_dict_size(&source, ChunkSource::read), h.dictSize);
        EXPECT_EQ(source.requests, std::vector<uint32_t>{4});
    }
}

/* Every refill asks for what the previous one delivered, the first one for the cache. */
TEST(StreamDecoder, RefillSizesFollowDeliveredCounts) {
    const RandomStream r = randomRecords(7, 200, 3000);
    for (uint32_t maxDeliver : {1u, 5u, 16u, 100u}) {
        ChunkSource source(r.stream);
        source.maxDeliver = maxDeliver;
        const Decoded d = decodeStream(source, 16, 64);
        ASSERT_EQ(d.result, vko_RESULT_STREAM_END);
        ASSERT_EQ(d.bytes, r.data);
        ASSERT_GE(source.requests.size(), 3u);
        EXPECT_EQ(source.requests[1], 16u);
        for (size_t i = 2; i < source.requests.size(); i++)
            ASSERT_EQ(source.requests[i], source.delivered[i - 1]) << maxDeliver << " " << i;
    }
}

/* Cut streams and sources that fail: never success, and never 0 once the input is gone. */
TEST(StreamDecoder, CutAndFailingInput) {
    std::vector<Bytes> streams = {kOneLiteral, kAbc, kLine};
    for (uint64_t seed = 1; seed <= 3; seed++) streams.push_back(randomRecords(seed, 40, 3000).stream);
    for (const Bytes& stream : streams) {
        for (size_t cut = 4; cut < stream.size(); cut++) {
            for (uint32_t cache : {1u, 4096u}) {
                /* a dry source, then a source that fails at the same byte */
                const Decoded dry = decodeStream(Bytes(stream.begin(), stream.begin() + cut), cache, 5);
                ASSERT_EQ(dry.result, vko_RESULT_INPUT_ERROR) << stream.size() << " " << cut;
                ChunkSource failing(stream);
                failing.failAt = cut;
                failing.maxDeliver = 3;
                ASSERT_EQ(decodeStream(failing, cache, 5).result, vko_RESULT_INPUT_ERROR) << cut;
                /* after a failure every refill asks for nothing */
                for (size_t i = failing.firstFailure + 1; i < failing.requests.size(); i++)
                    ASSERT_EQ(failing.requests[i], 0u);
            }
        }
    }
}

/* The rest of a line whose input failed comes out as zero bytes; the call that fills its
 * piece then reports the failure instead of 0. */
TEST(StreamDecoder, FailureInsideLiteralLine) {
    StreamWriter w(1);
    Bytes line(40);
    for (size_t i = 0; i < line.size(); i++) line[i] = (unsigned char)('A' + i);
    w.literalLine(line);
    w.streamEnd();
    for (vko_size_t pieceSize : {30u, 100u}) {
        Decoder d(w.bytes(), 8);
        d.source.failAt = 4 + 3 * 8; /* the fourth refill of the 8-byte cache fails */
        /* the line's count needs a second type byte, after the distance byte */
        const size_t realBytes = 3 * 8 - 3;
        Bytes piece;
        vko_size_t size = pieceSize;
        ASSERT_EQ(d.call(piece, size), vko_RESULT_INPUT_ERROR);
        EXPECT_EQ(size, pieceSize);
        const size_t produced = std::min<size_t>(pieceSize, 40);
        for (size_t i = 0; i < produced; i++) ASSERT_EQ(piece[i], i < realBytes ? line[i] : 0) << i;
    }
}

TEST(StreamDecoder, BadControlCodes) {
    for (uint64_t type : {0ull, 4ull, 5ull, 1000ull}) {
        StreamWriter w(1);
        w.literal('a');
        w.control(type);
        w.plainByte(0x55); /* input still delivers after the code */
        EXPECT_EQ(decodeStream(w.bytes(), 1, 8).result, vko_RESULT_BAD_CTRL) << type;
        EXPECT_EQ(decodeMem(w.bytes(), 8).result, vko_RESULT_BAD_CTRL) << type;
    }
    /* the same code after the input ran dry is a failed input */
    const Bytes dry = {0x01, 0, 0, 0, 0x01, 'a'};
    EXPECT_EQ(decodeStream(dry, 4, 8).result, vko_RESULT_INPUT_ERROR);
}

TEST(StreamDecoder, ClipEndLeftoverBitJoinsNextTypeBit) {
    const Bytes stream = {0x01, 0, 0, 0, 0x89, 'A', 0x00, 0x18, 'B', 0x00};
    for (uint32_t piece : {1u, 10u}) {
        const Decoded d = decodeStream(stream, 1, piece);
        EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
        EXPECT_EQ(d.bytes, bytesOf("AB"));
    }
}

/* Random record sequences decode the same in memory and piece by piece, for any piece,
 * cache and source chunking. */
TEST(DecoderAgreement, RandomRecords) {
    for (uint64_t seed = 1; seed <= 12; seed++) {
        const RandomStream r = randomRecords(seed, 300, seed % 3 == 0 ? 200 : 12000);
        const Decoded mem = decodeMem(r.stream, r.data.size());
        ASSERT_EQ(mem.result, vko_RESULT_STREAM_END) << seed;
        ASSERT_EQ(mem.bytes, r.data) << seed;
        for (uint32_t cache : {1u, 4096u}) {
            for (uint32_t piece : {1u, 7u, 4096u}) {
                const Decoded d = decodeStream(r.stream, cache, piece);
                ASSERT_EQ(d.result, vko_RESULT_STREAM_END) << seed << " " << cache << " " << piece;
                ASSERT_EQ(d.bytes, r.data) << seed << " " << cache << " " << piece;
            }
        }
        ChunkSource trickle(r.stream);
        trickle.maxDeliver = 3;
        const Decoded d = decodeStream(trickle, 64, 100);
        ASSERT_EQ(d.result, vko_RESULT_STREAM_END);
        ASSERT_EQ(d.bytes, r.data);
    }
}

/* A match may copy only bytes the stream itself produced, counted across calls and
 * capped at the window: the window buffer's earlier contents never come out.  Both
 * decoders agree wherever the window is not the limit. */
TEST(StreamDecoder, DistanceBeforeTheFirstByteIsRejected) {
    auto stream = [](const char* literals, uint32_t length, uint32_t distance) {
        StreamWriter w(4096);
        w.literals(bytesOf(literals));
        w.match(length, distance);
        w.streamEnd();
        return w.bytes();
    };
    const struct {
        const char* name;
        Bytes stream;
        uint32_t window;
        vko_TResult result;
        bool memAgrees; /* the memory decoder, which has no window, gives the same result */
    } cases[] = {
        {"reported crafted stream", {0x00, 0x10, 0x00, 0x00, 0x60, 0x05, 0x00}, 0, vko_RESULT_BAD_DICT_POS, true},
        {"first record a match at 1", stream("", 2, 1), 0, vko_RESULT_BAD_DICT_POS, true},
        {"one byte short", stream("abc", 2, 4), 0, vko_RESULT_BAD_DICT_POS, true},
        {"exactly the first byte", stream("abc", 5, 3), 0, vko_RESULT_STREAM_END, true},
        {"far distance, little output", stream("abcdefgh", 3, 3000), 0, vko_RESULT_BAD_DICT_POS, true},
        {"window full, distance = window", stream("abcdefghij", 2, 4), 4, vko_RESULT_STREAM_END, true},
        {"window full, one beyond", stream("abcdefghij", 2, 5), 4, vko_RESULT_BAD_DICT_POS, false},
    };
    for (const auto& c : cases) {
        for (uint32_t piece : {1u, 3u, 4096u}) {
            SCOPED_TRACE(testing::Message() << c.name << ", piece " << piece);
            /* a window full of junk that must never be copied out */
            ChunkSource source(c.stream);
            const vko_size_t header = vko_TStream_read_dict_size(&source, ChunkSource::read);
            const vko_size_t window = c.window ? c.window : header;
            Bytes buffer(size_t(window) + 8, 0xAB);
            vko_TStream s;
            ASSERT_EQ(vko_TStream_open(&s, &source, ChunkSource::read, buffer.data(), window, 8), vko_RESULT_OK);
            vko_TResult r = vko_RESULT_OK;
            Bytes out, p(piece);
            while (r == vko_RESULT_OK) {
                vko_size_t size = piece;
                r = vko_TStream_decompress_partial(&s, p.data(), &size);
                if (r == vko_RESULT_OK || r == vko_RESULT_STREAM_END) out.insert(out.end(), p.begin(), p.begin() + size);
            }
            EXPECT_EQ(r, c.result);
            EXPECT_EQ(std::count(out.begin(), out.end(), 0xAB), 0);
            if (c.memAgrees) {
                EXPECT_EQ(decodeMem(c.stream, 64).result, c.result);
            }
        }
    }
}

/* After a final result every call returns it again and writes nothing; a record whose
 * open failed answers with the open's code. */
TEST(StreamDecoder, FinalResultsStay) {
    StreamWriter bad(16);
    bad.literals(bytesOf("ab"));
    bad.match(2, 7);
    bad.literal('z');
    bad.streamEnd();
    StreamWriter badCtrl(1);
    badCtrl.literal('a');
    badCtrl.control(9);
    badCtrl.plainByte(0x55);
    const struct {
        const char* name;
        Bytes stream;
        vko_size_t piece;
        vko_TResult result;
    } cases[] = {
        {"stream end", workedStream("abc repeated").stream, 64, vko_RESULT_STREAM_END},
        {"bad distance", bad.bytes(), 64, vko_RESULT_BAD_DICT_POS},
        {"bad control code", badCtrl.bytes(), 64, vko_RESULT_BAD_CTRL},
        {"cut stream", Bytes(kAbc.begin(), kAbc.end() - 3), 64, vko_RESULT_INPUT_ERROR},
        {"zero-byte piece", kOneLiteral, 0, vko_RESULT_OUT_SIZE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d(c.stream, 4);
        Bytes piece;
        vko_size_t size = c.piece;
        ASSERT_EQ(d.call(piece, size), c.result);
        for (int again = 0; again < 2; again++) {
            vko_size_t more = 64;
            Bytes untouched;
            EXPECT_EQ(d.call(untouched, more), c.result);
            EXPECT_EQ(untouched, Bytes(64, 0xEE));
            EXPECT_EQ(more, c.result == vko_RESULT_STREAM_END ? 0u : 64u);
        }
    }

    vko_TStream s;
    unsigned char buffer[8];
    const struct { vko_size_t dict, cache; vko_TResult result; } opens[] = {
        {0, 4, vko_RESULT_NO_DICT}, {0, 0, vko_RESULT_NO_DICT}, {4, 0, vko_RESULT_NO_CACHE}};
    for (const auto& o : opens) {
        std::memset(&s, 0x5A, sizeof(s)); /* whatever the record held before */
        ASSERT_EQ(vko_TStream_open(&s, nullptr, ChunkSource::read, buffer, o.dict, o.cache), o.result);
        unsigned char out[4] = {1, 2, 3, 4};
        vko_size_t size = sizeof(out);
        EXPECT_EQ(vko_TStream_decompress_partial(&s, out, &size), o.result);
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(out[0], 1);
    }
}

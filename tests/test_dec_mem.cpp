/* Memory decoder, and the writer the decoder tests build their streams with. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vko_dec.h"
#include "vko_test_writer.h"
#include "worked_streams.h"

using namespace vekko_test;

namespace {

vko_TResult memDecode(const Bytes& stream, vko_size_t& size, Bytes& out) {
    out.assign(size, 0xEE);
    return vko_decompress_mem(stream.data(), (vko_size_t)stream.size(), out.data(), &size);
}

} // namespace

TEST(TestWriter, ReproducesTheWorkedStreams) {
    StreamWriter empty(1);
    empty.streamEnd();
    StreamWriter one(1);
    one.literal(0x41);
    one.streamEnd();
    StreamWriter abc(3);
    abc.literals(bytesOf("abc"));
    abc.match(6, 3);
    abc.streamEnd();
    StreamWriter line(1);
    line.literalLine(bytesOf("ABCDEFGHIJKLMNO"));
    line.streamEnd();
    const StreamWriter* writers[] = {&empty, &one, &abc, &line};
    for (size_t i = 0; i < 4; i++) EXPECT_EQ(writers[i]->bytes(), workedStreams()[i].stream) << i;
}

TEST(TestWriter, VlenAndDistanceCodes) {
    /* the type byte after the distance byte holds its vlen2 extension */
    const struct { uint32_t distance; Bytes tail; } distances[] = {
        {127, {0x7F}}, {128, {0x80}}, {300, {0xAC}}, {2687, {0xFF}}};
    for (const auto& d : distances) {
        StreamWriter w(4096);
        w.match(3, d.distance);
        const Bytes& b = w.bytes();
        ASSERT_GE(b.size(), 6u);
        EXPECT_EQ(b[5], d.tail[0]) << d.distance;
    }
    /* vlen bit sequences, written into one type byte each */
    const struct { unsigned k; uint64_t value; unsigned char typeByte; unsigned bits; } codes[] = {
        {1, 0, 0x00, 2}, {1, 1, 0x01, 2}, {1, 2, 0x02, 4}, {1, 3, 0x06, 4}, {1, 4, 0x03, 4},
        {1, 5, 0x07, 4}, {1, 6, 0x0A, 6}, {2, 0, 0x00, 3}, {2, 1, 0x01, 3}, {2, 3, 0x03, 3},
        {2, 19, 0x1F, 6}, {2, 4, 0x04, 6}};
    for (const auto& c : codes) {
        StreamWriter w;
        w.vlen(c.k, c.value);
        EXPECT_EQ(w.bytes().at(4), c.typeByte) << c.k << " " << c.value;
        EXPECT_EQ(vlenBitCount(c.k, c.value), c.bits);
    }
}

TEST(MemDecoder, WorkedStreams) {
    for (const auto& w : workedStreams()) {
        SCOPED_TRACE(w.name);
        Bytes out;
        vko_size_t size = 100;
        ASSERT_EQ(memDecode(w.stream, size, out), vko_RESULT_STREAM_END);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + size), w.data);
        /* nothing past the produced bytes is touched */
        for (size_t i = size; i < out.size(); i++) ASSERT_EQ(out[i], 0xEE);

        /* trailing bytes are not part of the stream */
        Bytes longer = w.stream;
        longer.insert(longer.end(), {0xFF, 0x00, 0x12});
        size = 100;
        EXPECT_EQ(memDecode(longer, size, out), vko_RESULT_STREAM_END);
        EXPECT_EQ(size, w.data.size());

        /* every cut stream lacks at least its end code's distance byte */
        for (size_t cut = 0; cut < w.stream.size(); cut++) {
            size = 100;
            EXPECT_EQ(memDecode(Bytes(w.stream.begin(), w.stream.begin() + cut), size, out),
                      vko_RESULT_INPUT_ERROR) << cut;
            EXPECT_EQ(size, 100u);
        }

        /* one byte less room than needed */
        if (!w.data.empty()) {
            size = (vko_size_t)w.data.size() - 1;
            EXPECT_EQ(memDecode(w.stream, size, out), vko_RESULT_OUT_SIZE);
            EXPECT_EQ(size, w.data.size() - 1);
        }
    }
}

TEST(MemDecoder, ResultTable) {
    auto build = [](auto&& records) {
        StreamWriter w(4096);
        records(w);
        return w.bytes();
    };
    const Bytes line20(20, 'x');
    const struct Case {
        const char* name;
        Bytes stream;
        vko_size_t size;
        vko_TResult result;
        Bytes data; /* checked on result 1 */
    } cases[] = {
        {"match first", build([](StreamWriter& w) { w.match(2, 1); w.streamEnd(); }), 10, vko_RESULT_BAD_DICT_POS, {}},
        {"distance one past start",
         build([](StreamWriter& w) { w.literals(bytesOf("ab")); w.match(2, 3); w.streamEnd(); }), 10,
         vko_RESULT_BAD_DICT_POS, {}},
        {"control 0", build([](StreamWriter& w) { w.control(0); }), 10, vko_RESULT_BAD_CTRL, {}},
        {"control 4 after literal", build([](StreamWriter& w) { w.literal('a'); w.control(4); }), 10,
         vko_RESULT_BAD_CTRL, {}},
        {"control 2^32+3 wraps to stream end", build([](StreamWriter& w) { w.literal('a'); w.control((1ull << 32) + 3); }),
         10, vko_RESULT_STREAM_END, bytesOf("a")},
        {"overlapping copy",
         build([](StreamWriter& w) { w.literal('A'); w.match(10, 1); w.streamEnd(); }), 11,
         vko_RESULT_STREAM_END, Bytes(11, 'A')},
        {"match does not fit",
         build([](StreamWriter& w) { w.literal('A'); w.match(10, 1); w.streamEnd(); }), 10,
         vko_RESULT_OUT_SIZE, {}},
        {"literal does not fit",
         build([](StreamWriter& w) { w.literals(bytesOf("ab")); w.streamEnd(); }), 1, vko_RESULT_OUT_SIZE, {}},
        {"line does not fit", build([&](StreamWriter& w) { w.literalLine(line20); w.streamEnd(); }), 19,
         vko_RESULT_OUT_SIZE, {}},
        {"clip end resets the repeat distance",
         build([](StreamWriter& w) {
             w.literals(bytesOf("abc")); w.match(2, 3); w.literal('d'); w.clipEnd();
             w.literal('e'); w.repeatMatch(3); w.streamEnd();
         }),
         20, vko_RESULT_STREAM_END, bytesOf("abcabdeeee")},
        {"far match stores length minus 3",
         build([](StreamWriter& w) {
             w.literalLine(Bytes(2688, 'q')); w.literal('r'); w.match(3, 2688); w.streamEnd();
         }),
         5000, vko_RESULT_STREAM_END, [] { Bytes b(2688, 'q'); b.insert(b.end(), {'r', 'q', 'q', 'q'}); return b; }()},
        {"2687 is near", build([](StreamWriter& w) {
             w.literalLine(Bytes(2687, 'q')); w.match(2, 2687); w.streamEnd(); }),
         5000, vko_RESULT_STREAM_END, Bytes(2689, 'q')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        vko_size_t size = c.size;
        ASSERT_EQ(memDecode(c.stream, size, out), c.result);
        if (c.result == vko_RESULT_STREAM_END)
            EXPECT_EQ(Bytes(out.begin(), out.begin() + size), c.data);
        else
            EXPECT_EQ(size, c.size);
    }
}

TEST(MemDecoder, ShortCodeSizes) {
    const Bytes stream = workedStreams()[1].stream;
    for (vko_size_t codeSize = 0; codeSize <= 4; codeSize++) {
        unsigned char out[4];
        vko_size_t size = sizeof out;
        EXPECT_EQ(vko_decompress_mem(stream.data(), codeSize, out, &size), vko_RESULT_INPUT_ERROR);
    }
    vko_size_t size = 0;
    EXPECT_EQ(vko_decompress_mem(nullptr, 0, nullptr, &size), vko_RESULT_INPUT_ERROR);
    EXPECT_EQ(vko_decompress_mem(workedStreams()[0].stream.data(), 6, nullptr, &size), vko_RESULT_STREAM_END);
}

/* A type byte's unused bits after a clip end are ORed into the next type bit: here a
 * 1 left in the clip end's type byte turns the next record into a literal. */
TEST(MemDecoder, ClipEndLeftoverBitJoinsNextTypeBit) {
    const Bytes stream = {0x01, 0, 0, 0, 0x89, 'A', 0x00, 0x18, 'B', 0x00};
    Bytes out;
    vko_size_t size = 10;
    ASSERT_EQ(memDecode(stream, size, out), vko_RESULT_STREAM_END);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + size), bytesOf("AB"));
}

/* vlen values beyond 32 bits wrap; whatever they wrap to is checked as usual. */
TEST(MemDecoder, WrappedValues) {
    auto stream = [](auto&& middle) {
        StreamWriter w(1);
        w.literals(bytesOf("xy"));
        middle(w);
        w.streamEnd();
        return w.bytes();
    };
    const struct { const char* name; Bytes stream; vko_TResult result; Bytes data; } cases[] = {
        {"length wraps to 0", stream([](StreamWriter& w) { w.typeBit(0); w.vlen(1, (1ull << 32) - 2); w.typeBit(1); w.setAfterLiteral(false); }),
         vko_RESULT_STREAM_END, bytesOf("xy")},
        {"length wraps to 3", stream([](StreamWriter& w) { w.typeBit(0); w.vlen(1, (1ull << 33) + 1); w.typeBit(0); w.plainByte(1); w.setAfterLiteral(false); }),
         vko_RESULT_STREAM_END, bytesOf("xyyyy")},
        {"line length wraps to 0", stream([](StreamWriter& w) { w.literalLineStart((1ull << 32) - 15); }),
         vko_RESULT_STREAM_END, bytesOf("xy")},
        {"line length wraps to 1", stream([](StreamWriter& w) { w.literalLineStart((1ull << 32) - 14); w.plainByte('z'); }),
         vko_RESULT_STREAM_END, bytesOf("xyz")},
        {"distance wraps to 0", stream([](StreamWriter& w) { w.typeBit(0); w.vlen(1, 0); w.typeBit(0); w.plainByte(0x80); w.vlen(2, (1u << 25) - 1); }),
         vko_RESULT_BAD_DICT_POS, {}},
        {"distance wraps to 1", stream([](StreamWriter& w) { w.typeBit(0); w.vlen(1, 0); w.typeBit(0); w.plainByte(0x81); w.vlen(2, (1u << 25) - 1); w.setAfterLiteral(false); }),
         vko_RESULT_STREAM_END, bytesOf("xyyy")},
        {"distance 2^31", stream([](StreamWriter& w) { w.typeBit(0); w.vlen(1, 0); w.typeBit(0); w.plainByte(0x80); w.vlen(2, (1u << 24) - 1); }),
         vko_RESULT_BAD_DICT_POS, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        vko_size_t size = 16;
        ASSERT_EQ(memDecode(c.stream, size, out), c.result);
        if (c.result == vko_RESULT_STREAM_END) {
            EXPECT_EQ(Bytes(out.begin(), out.begin() + size), c.data);
        }
        /* the stream decoder reaches the same verdicts */
        Decoded d = decodeStream(c.stream, 4, 16, 64);
        EXPECT_EQ(d.result, c.result);
        if (c.result == vko_RESULT_STREAM_END) {
            EXPECT_EQ(d.bytes, c.data);
        }
    }
}

/* A stream cut anywhere: never success, never more than the input could give. */
TEST(MemDecoder, CutRandomStreams) {
    for (uint64_t seed = 1; seed <= 3; seed++) {
        const RandomStream r = randomRecords(seed, 60, 3000);
        const Decoded whole = decodeMem(r.stream, r.data.size());
        ASSERT_EQ(whole.result, vko_RESULT_STREAM_END);
        ASSERT_EQ(whole.bytes, r.data);
        for (size_t cut = 0; cut < r.stream.size(); cut++)
            ASSERT_EQ(decodeMem(Bytes(r.stream.begin(), r.stream.begin() + cut), r.data.size()).result,
                      vko_RESULT_INPUT_ERROR) << seed << " " << cut;
    }
}

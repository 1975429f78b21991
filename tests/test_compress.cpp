/* The compression driver, the clip compressor's window and checks, and the memory wrapper. */
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec_helpers.h"
#include "test_data.h"
#include "vko_enc_clip.h"
#include "worked_streams.h"
#include "vko_wrapper.h"

using namespace vekko_test;
using _vko_private::TVkoCode;

namespace {

/* An input stream over a vector that records every read as (position, length). */
struct RecordingInput {
    Bytes data;
    std::vector<std::pair<uint64_t, uint64_t>> reads;
    bool fail = false;
    mirv_TStreamInput stream;

    explicit RecordingInput(Bytes bytes) : data(std::move(bytes)) {
        stream = {this, data.size(), &RecordingInput::read, nullptr};
    }
    static mirv_BOOL read(const mirv_TStreamInput* s, uint64_t pos, unsigned char* out, unsigned char* out_end) {
        RecordingInput* self = static_cast<RecordingInput*>(s->owner);
        const uint64_t len = (uint64_t)(out_end - out);
        self->reads.emplace_back(pos, len);
        if (self->fail || pos + len > self->data.size()) return 0;
        std::memcpy(out, self->data.data() + pos, (size_t)len);
        return 1;
    }
};

struct VectorOutput {
    Bytes bytes;
    int writes = 0;
    int fail_at = -1; /* index of the write call that fails */
    mirv_TStreamOutput stream;
    VectorOutput() { stream = {this, UINT64_MAX, nullptr, &VectorOutput::write}; }
    static mirv_BOOL write(const mirv_TStreamOutput* s, uint64_t pos, const unsigned char* d, const unsigned char* e) {
        VectorOutput* self = static_cast<VectorOutput*>(s->owner);
        if (self->writes++ == self->fail_at) return 0;
        if (self->bytes.size() < pos + (e - d)) self->bytes.resize((size_t)(pos + (e - d)));
        std::copy(d, e, self->bytes.begin() + (ptrdiff_t)pos);
        return 1;
    }
};

std::string thrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

} // namespace

TEST(Compress, EmptyInputAndThreeLettersGiveTheWorkedStreams) {
    EXPECT_EQ(compress({}), workedStream("empty").stream);

    const vko_TCompressProps props = propsWith(4096, true);
    RecordingInput in(Bytes{'a', 'b', 'c'});
    VectorOutput out;
    EXPECT_EQ(vko_compress(&out.stream, &in.stream, &props), 10u);
    EXPECT_EQ(out.bytes, (Bytes{0x01, 0x00, 0x00, 0x00, 0x67, 'a', 'b', 'c', 0x00, 0x00}));
    EXPECT_EQ(out.writes, 3); /* header 03 00 00 00, the clip, the rewritten header */
}

TEST(Compress, PropertyChecksComeInOrderWithTheirTexts) {
    RecordingInput in(Bytes{'x'});
    VectorOutput out;
    const std::string dictText = "check (props->dictSize>=1)&(props->dictSize<=vko_kMaxOfDictSize) error!";
    const std::string rangeText =
        "check (props->maxSaveLength>=vko_kMinOfMaxSaveLength)&&(props->maxSaveLength<=vko_kMaxOfMaxSaveLength) error!";
    const struct {
        uint64_t dictSize, maxSaveLength;
        std::string text;
    } cases[] = {
        {0, 65535, dictText},
        {1073741825, 65535, dictText},
        {0, 1, dictText}, /* the dictionary is checked first */
        {4096, 126, rangeText},
        {4096, 65536, rangeText},
        {4096, 4294967296ull, "check props->maxSaveLength==(vko_length_t)props->maxSaveLength error!"},
        {1, 127, "(nothing thrown)"},
        {1073741824, 65535, "(nothing thrown)"},
    };
    for (const auto& c : cases) {
        const vko_TCompressProps props = propsWith(c.dictSize, true, c.maxSaveLength);
        EXPECT_EQ(thrownText([&] { vko_compress(&out.stream, &in.stream, &props); }), c.text)
            << c.dictSize << " " << c.maxSaveLength;
    }

    mirv_TStreamOutput no_write = {nullptr, 0, nullptr, nullptr};
    mirv_TStreamInput no_read = {nullptr, 0, nullptr, nullptr};
    EXPECT_EQ(thrownText([&] { vko_compress(nullptr, nullptr); }), "check out_code&&(out_code->write) error!");
    EXPECT_EQ(thrownText([&] { vko_compress(&no_write, &in.stream); }), "check out_code&&(out_code->write) error!");
    EXPECT_EQ(thrownText([&] { vko_compress(&out.stream, &no_read); }), "check data&&(data->read) error!");
}

TEST(Compress, FailedWritesThrowAndTheFirstOneBeforeAnyClip) {
    const std::string text = "check out_code->write(out_code,cur_out_pos,code.data(),code.data()+code.size()) error!";
    for (int fail_at : {0, 1, 2}) {
        RecordingInput in(Bytes{'a', 'b', 'c'});
        VectorOutput out;
        out.fail_at = fail_at;
        EXPECT_EQ(thrownText([&] { vko_compress(&out.stream, &in.stream); }), text);
        EXPECT_EQ(in.reads.size(), fail_at == 0 ? 0u : 1u);
    }
}

TEST(Compress, ClipGeometryFollowsDictionaryAndInputSize) {
    struct Case {
        uint64_t size, dictSize;
        size_t clips;
        uint64_t clipSize;
    } cases[] = {
        {262143, 4096, 1, 262143},
        {262144, 4096, 2, 131072},
        {262144, 786430, 2, 131072},
        {10485760, 4096, 41, 255751},
        {10485760, 1048576, 31, 338251},
    };
    for (const Case& c : cases) {
        RecordingInput in(Bytes(c.size, 0));
        VectorOutput out;
        const vko_TCompressProps props = propsWith(c.dictSize, true);
        vko_compress(&out.stream, &in.stream, &props);
        ASSERT_EQ(in.reads.size(), c.clips) << c.size << " " << c.dictSize;
        for (size_t i = 0; i < c.clips; ++i) {
            /* each clip reads exactly its own bytes */
            EXPECT_EQ(in.reads[i].first, i * c.clipSize);
            EXPECT_EQ(in.reads[i].second, std::min(c.clipSize, c.size - i * c.clipSize));
        }
        const Decoded d = decodeMem(out.bytes, (size_t)c.size);
        EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
        EXPECT_EQ(d.bytes, in.data);
    }
}

TEST(Compress, HeaderHoldsTheLargestDistanceUsedAndNeverMoreThanTheInput) {
    Bytes data = randomBytes(1000, 7);
    data.insert(data.end(), data.begin(), data.begin() + 100); /* one match at distance 1000 */
    const vko_TCompressProps props = propsWith(4096, true);
    Bytes stream = compress(data, &props);
    EXPECT_EQ(stream[0] | stream[1] << 8 | stream[2] << 16 | stream[3] << 24, 1000);

    stream = compress(Bytes{'q'}, &props);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 4), (Bytes{1, 0, 0, 0}));
}

TEST(Compress, MemoryWrapperUsesTheWorstCaseBoundAndReportsOverflow) {
    EXPECT_EQ(vko_max_compressed_size(0), 23u);
    EXPECT_EQ(vko_max_compressed_size(3), 26u);
    EXPECT_EQ(vko_max_compressed_size(262144), 294939u);
    EXPECT_EQ(vko_max_compressed_size(1048576), 1179687u);

    for (size_t n : {0, 1, 300, 5000}) {
        const Bytes data = randomBytes(n, n);
        Bytes out(vko_max_compressed_size(n));
        const uint64_t len = vko_compress_mem(data.data(), n, out.data(), out.size(), 4096);
        ASSERT_GT(len, 0u);
        const uint32_t header = out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24;
        EXPECT_LE(header, std::max<size_t>(1, std::min<size_t>(n, 4096)));
        out.resize(len);
        EXPECT_EQ(decodeMem(out, n).bytes, data);
    }

    const Bytes data = randomBytes(100, 1);
    Bytes small(50);
    EXPECT_EQ(thrownText([&] { vko_compress_mem(data.data(), data.size(), small.data(), small.size(), 4096); }),
              "check out_code->write(out_code,cur_out_pos,code.data(),code.data()+code.size()) error!");
    EXPECT_EQ(thrownText([&] { vko_compress_mem(data.data(), data.size(), small.data(), small.size(), 0); }),
              "check (props->dictSize>=1)&(props->dictSize<=vko_kMaxOfDictSize) error!");
}

/* ---- clip compressor ---- */

namespace {

/* A matcher that answers from a fixed list of (clip offset, distance, length). */
struct ScriptedMatcher {
    const unsigned char* clip;
    std::vector<std::tuple<size_t, size_t, size_t>> matches;
    bool match(const unsigned char** matched, size_t* len, const unsigned char* cur) {
        for (auto& m : matches)
            if ((size_t)(cur - clip) == std::get<0>(m)) {
                *matched = cur - std::get<1>(m);
                *len = std::get<2>(m);
                return true;
            }
        return false;
    }
};

} // namespace

TEST(ClipCompressor, RefusedPositionsBecomeLiteralPiecesOfMaxSaveLength) {
    const Bytes window = randomBytes(200000, 3);
    const vko_TCompressProps props = propsWith(4096, true);
    Bytes code;
    TVkoCode coder(code, true);
    ScriptedMatcher none{window.data(), {}};
    _vko_private::encode_clip(coder, window.data(), window.data() + window.size(), window.size(), props, none);

    /* four literal lines: 65535, 65535, 65535 and 3395 bytes */
    Bytes expected;
    TVkoCode reference(expected, true);
    for (size_t at : {0, 65535, 131070, 196605})
        reference.outData(window.data() + at, window.data() + std::min<size_t>(at + 65535, 200000));
    EXPECT_EQ(code, expected);
}

TEST(ClipCompressor, EveryProposedMatchIsCheckedBeforeItIsWritten) {
    Bytes window(5000, 'z');
    const unsigned char* begin = window.data();
    const unsigned char* end = begin + window.size();
    const size_t clip_len = 904; /* the clip is the last 904 bytes, starting at 4096 */
    const vko_TCompressProps props = propsWith(4096, false, 300);
    const struct {
        size_t offset, distance, length;
        const char* text;
    } cases[] = {
        {10, 0, 2, "check matched<cur error!"},
        {10, 4107, 2, "check matched>=data_buf.data() error!"},
        {900, 1, 5, "check cur+match_len<=end error!"},
        {10, 1, 1, "check match_len>=vko_kMinDictMatchLen error!"},
        {10, 1, 301, "check match_len<=props.maxSaveLength error!"},
        {10, 4097, 3, "check dict_pos<props.dictSize error!"},
        {0, 4096, 3, "(nothing thrown)"}, /* dict_pos 4095 from the clip's first byte */
    };
    for (const auto& c : cases) {
        Bytes code;
        TVkoCode coder(code, false);
        ScriptedMatcher m{end - clip_len, {{c.offset, c.distance, c.length}}};
        EXPECT_EQ(thrownText([&] { _vko_private::encode_clip(coder, begin, end, clip_len, props, m); }), c.text)
            << c.offset << " " << c.distance << " " << c.length;
    }
}

TEST(ClipCompressor, WindowKeepsHistoryAndReadsOnlyEachClip) {
    RecordingInput in(textLike(300000, 11));
    const vko_TCompressProps props = propsWith(4096, true);
    _vko_private::TDictBuf dict;
    Bytes code;
    {
        TVkoCode coder(code, true);
        _vko_private::compress_clip(coder, &in.stream, 0, 255751, props, dict);
    }
    EXPECT_EQ(dict.dictEndPos, 255751u);
    ASSERT_EQ(dict.data_buf.size(), 4096u);
    EXPECT_TRUE(std::equal(dict.data_buf.begin(), dict.data_buf.end(), in.data.begin() + 251655));
    {
        TVkoCode coder(code, true);
        _vko_private::compress_clip(coder, &in.stream, 255751, 300000, props, dict);
    }
    ASSERT_EQ(in.reads.size(), 2u);
    EXPECT_EQ(in.reads[1], std::make_pair((uint64_t)255751, (uint64_t)(300000 - 255751)));
    EXPECT_EQ(dict.dictEndPos, 300000u);
    EXPECT_TRUE(std::equal(dict.data_buf.begin(), dict.data_buf.end(), in.data.end() - 4096));

    /* a failing read throws before any code of the clip is written */
    RecordingInput bad(Bytes(100, 1));
    bad.fail = true;
    _vko_private::TDictBuf fresh;
    Bytes none;
    TVkoCode coder(none, true);
    EXPECT_EQ(thrownText([&] { _vko_private::compress_clip(coder, &bad.stream, 0, 100, props, fresh); }),
              "check data->read(data,readPos,data_buf.data()+(size_t)(readPos-dictBeginPos),data_buf.data()+data_buf.size()) error!");
    EXPECT_TRUE(none.empty());
}

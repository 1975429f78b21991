/* The code emitter: exact bytes of small records, and streams that decode back. */
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "codec_helpers.h"
#include "test_data.h"
#include "vko_enc_code.h"
#include "worked_streams.h"

using namespace vekko_test;
using _vko_private::TVkoCode;

namespace {

const unsigned char kAbc[] = {0x61, 0x62, 0x63};

/* Type bits as written, in order, read back from the bytes of a stream made of type
 * bits only. */
std::string typeBitsOf(const Bytes& code, size_t bitCount) {
    std::string bits;
    for (size_t i = 0; i < bitCount; ++i) bits += ((code[i / 8] >> (i % 8)) & 1) ? '1' : '0';
    return bits;
}

TEST(Emitter, LiteralsThenClipEnd) {
    Bytes code;
    TVkoCode c(code, false);
    c.outData(kAbc, kAbc + 3);
    EXPECT_EQ(code, (Bytes{0x07, 0x61, 0x62, 0x63}));
    c.outCtrl_clipEnd();
    EXPECT_EQ(code, (Bytes{0x27, 0x61, 0x62, 0x63, 0x00, 0x00}));
    EXPECT_EQ(c.dictSizeMax, 1u);
}

TEST(Emitter, StreamEndAlone) {
    Bytes code;
    TVkoCode c(code, true);
    c.outCtrl_streamEnd();
    EXPECT_EQ(code, (Bytes{0x0C, 0x00}));
}

TEST(Emitter, MatchForms) {
    {   /* explicit after literals: the not-repeat bit stands between length and position */
        Bytes code;
        TVkoCode c(code, false);
        c.outData(kAbc, kAbc + 2);
        c.outDict(2, 1);
        EXPECT_EQ(code, (Bytes{0x03, 0x61, 0x62, 0x02}));
        EXPECT_EQ(c.dictSizeMax, 2u);
    }
    {   /* repeat form: dict_pos 0 is the saved distance 1 at a clip's start */
        Bytes code;
        TVkoCode c(code, false);
        c.outData(kAbc, kAbc + 1);
        c.outDict(10, 0);
        /* 1 (literal), 0 (match), vlen1 8 = 0 1 1 1 0 0, then the repeat bit 1 opens a
         * second type byte */
        EXPECT_EQ(code, (Bytes{0x39, 0x61, 0x01}));
    }
    {
        Bytes code;
        TVkoCode c(code, false);
        c.outDict(2, 127);
        EXPECT_EQ(code, (Bytes{0x00, 0x80}));
        EXPECT_EQ(c.dictSizeMax, 128u);
    }
    {
        Bytes code;
        TVkoCode c(code, false);
        c.outDict(3, 2687);
        EXPECT_EQ(code, (Bytes{0x20, 0x80, 0x01}));
    }
    {
        Bytes code;
        TVkoCode c(code, false);
        try {
            c.outDict(2, 2687);
            FAIL() << "a 2-byte match at distance 2688 must be refused";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "check match_len>=vko_kMinDictMatchLen+1 error!");
        }
    }
    {   /* the repeat form stores length - 2 also at far distances */
        Bytes code;
        TVkoCode c(code, false);
        c.outDict(3, 2999);
        c.outData(kAbc, kAbc + 1);
        const uint64_t before = 8 * code.size() - (c.typeCount ? 8 - c.typeCount : 0);
        c.outDict(2, 2999);
        EXPECT_EQ(8 * code.size() - (c.typeCount ? 8 - c.typeCount : 0), before + 4);
    }
}

TEST(Emitter, VariableLengthNumbers) {
    const struct {
        uint64_t v, k;
        const char* bits;
    } cases[] = {{0, 1, "00"},     {1, 1, "10"},     {2, 1, "0100"},   {3, 1, "0110"},
                 {4, 1, "1100"},   {5, 1, "1110"},   {6, 1, "010100"}, {0, 2, "000"},
                 {3, 2, "110"},    {4, 2, "001000"}, {8, 2, "101000"}, {19, 2, "111110"}};
    for (const auto& tc : cases) {
        Bytes code;
        TVkoCode c(code, false);
        c.outLen(tc.v, tc.k);
        const std::string want = tc.bits;
        EXPECT_EQ(typeBitsOf(code, want.size()), want) << tc.v << " k=" << tc.k;
        EXPECT_EQ((tc.k == 1 ? c._getSavedDictLenBit(tc.v) : c.__getDictPosLenBit(tc.v)), want.size());
    }
}

TEST(Emitter, CostFunctionsMatchWrittenBits) {
    Bytes code;
    TVkoCode c(code, false);
    const struct {
        uint64_t dictPos;
        unsigned bits;
    } pos[] = {{0, 9},    {126, 9},   {127, 12},  {638, 12},  {639, 15},
               {2686, 15}, {2687, 18}, {10878, 18}, {10879, 21}, {43646, 21}};
    for (const auto& tc : pos) {
        EXPECT_EQ(c._getSavedDictPosBit(tc.dictPos), tc.bits) << tc.dictPos;
        if (tc.dictPos < TVkoCode::kPosBitsTableSize) {
            EXPECT_EQ(c.savedDictPosBits[tc.dictPos], tc.bits);
        }
    }
    /* every table entry against what outDict actually writes */
    for (uint64_t p = 0; p < TVkoCode::kPosBitsTableSize; p += 97) {
        Bytes out;
        TVkoCode e(out, false);
        e.outDict(3, p);
        const uint64_t bits = 8 * out.size() - (e.typeCount ? 8 - e.typeCount : 0);
        const uint64_t lenBits = e._getSavedDictLenBit(p + 1 >= 2688 ? 0 : 1);
        EXPECT_EQ(bits, c.savedDictPosBits[p] + lenBits) << p;
    }
    const uint64_t lens[] = {0, 1, 2, 5, 6, 13, 14, 29, 30, 8191, 65533};
    for (uint64_t v : lens) {
        Bytes out;
        TVkoCode e(out, false);
        e.outLen(v, 1);
        EXPECT_EQ(8 * out.size() - (e.typeCount ? 8 - e.typeCount : 0), e._getSavedDictLenBit(v)) << v;
        if (v < TVkoCode::kLenBitsTableSize) {
            EXPECT_EQ(c.savedDictLenBits[v], e._getSavedDictLenBit(v));
        }
    }
}

TEST(Emitter, LiteralLines) {
    const Bytes run = randomBytes(15, 3);
    {
        Bytes code;
        TVkoCode c(code, true);
        c.outData(run.data(), run.data() + 14);
        EXPECT_EQ(code.size(), 14u + 2); /* fourteen single literals: two type bytes */
    }
    {
        Bytes code;
        TVkoCode c(code, true);
        c.outData(run.data(), run.data() + 15);
        Bytes want = {0x02, 0x00};
        want.insert(want.end(), run.begin(), run.end());
        EXPECT_EQ(code, want);
    }
    {   /* a second line right after literal data carries the not-repeat bit */
        Bytes code;
        TVkoCode c(code, true);
        c.outData(run.data(), run.data() + 15);
        c.outData(run.data(), run.data() + 15);
        /* first byte: 0, vlen1 1 (1 0), vlen2 0 (0 0 0); then 0, 1 0 of the second code
         * would be bits 6..8: bit 6 = 0, bit 7 = 1, and the new byte starts with 0 (end of
         * vlen1), 0 (not-repeat) */
        EXPECT_EQ(code[0], 0x82);
        EXPECT_EQ(code[17], 0x00);
        EXPECT_EQ(code.size(), 2u + 15 + 1 + 1 + 15);
    }
}

TEST(Emitter, HeaderBounds) {
    Bytes code;
    TVkoCode c(code, true);
    c.outDictSize(1073741824);
    EXPECT_EQ(code, (Bytes{0x00, 0x00, 0x00, 0x40}));
    for (uint64_t bad : {(uint64_t)0, (uint64_t)1073741825}) {
        try {
            c.outDictSize(bad);
            FAIL() << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "check (dict_size>0)&&(dict_size<=vko_kMaxOfDictSize) error!");
        }
    }
}

TEST(Emitter, ClipEndStartsANewTypeByte) {
    Bytes code;
    TVkoCode c(code, false);
    c.outData(kAbc, kAbc + 1);
    c.outDict(4, 5);
    c.outCtrl_clipEnd();
    const size_t afterEnd = code.size();
    c.outData(kAbc, kAbc + 1);
    ASSERT_EQ(code.size(), afterEnd + 2);
    EXPECT_EQ(code[afterEnd], 0x01);
    EXPECT_EQ(c.savedDictPos, 1u);
    EXPECT_EQ(c.dictSizeMax, 6u);
}

/* Streams written record by record decode to the bytes they describe. */
TEST(Emitter, WrittenStreamsDecode) {
    {   /* the nine-byte example: three literals, a match of 6 at distance 3 */
        Bytes s;
        TVkoCode h(s, false);
        h.outDictSize(3);
        TVkoCode c(s, false);
        c.outData(kAbc, kAbc + 3);
        c.outDict(6, 2);
        c.outCtrl_streamEnd();
        EXPECT_EQ(s, workedStream("abc repeated").stream);
        Decoded d = decodeMem(s, 9);
        EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
        EXPECT_EQ(d.bytes, (Bytes{0x61, 0x62, 0x63, 0x61, 0x62, 0x63, 0x61, 0x62, 0x63}));
    }
    {   /* one literal line of fifteen bytes */
        Bytes data;
        for (unsigned char b = 0x41; b <= 0x4F; ++b) data.push_back(b);
        Bytes s;
        TVkoCode h(s, true);
        h.outDictSize(1);
        TVkoCode c(s, true);
        c.outData(data.data(), data.data() + data.size());
        c.outCtrl_streamEnd();
        Bytes want = {0x01, 0x00, 0x00, 0x00, 0x02, 0x00};
        want.insert(want.end(), data.begin(), data.end());
        want.insert(want.end(), {0x03, 0x00});
        EXPECT_EQ(s, want);
        Decoded d = decodeMem(s, data.size());
        EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
        EXPECT_EQ(d.bytes, data);
    }
    {   /* every record kind across two clips, at near and far distances */
        const Bytes src = randomBytes(5000, 11, 4);
        Bytes s, want;
        TVkoCode h(s, true);
        h.outDictSize(4096);
        for (int clip = 0; clip < 2; ++clip) {
            TVkoCode c(s, clip == 0);
            size_t at = 0;
            while (at < src.size()) {
                const size_t lit = 1 + (at * 7) % 23;
                c.outData(src.data() + at, src.data() + std::min(src.size(), at + lit));
                want.insert(want.end(), src.begin() + (ptrdiff_t)at, src.begin() + (ptrdiff_t)std::min(src.size(), at + lit));
                at += lit;
                const size_t dist = 1 + (at * 131) % std::min<size_t>(want.size(), 4096);
                const size_t len = 3 + at % 40;
                for (int rep = 0; rep < 2; ++rep) { /* the second one may use the repeat form */
                    c.outDict(len, dist - 1);
                    for (size_t k = 0; k < len; ++k) want.push_back(want[want.size() - dist]);
                }
            }
            if (clip == 0) {
                c.outCtrl_clipEnd();
            } else {
                c.outCtrl_streamEnd();
            }
        }
        Decoded d = decodeMem(s, want.size());
        EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
        EXPECT_EQ(d.bytes, want);
    }
}

} // namespace

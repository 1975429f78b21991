#include <gtest/gtest.h>

#include "patch_streams.h"
#include "patch_test_util.h"

using namespace patch_test;

TEST(PackedUInt, WorkedBytesAndRoundTrips) {
    struct Case {
        uint64_t value;
        unsigned tag, k;
        Bytes bytes;
    } cases[] = {
        {300, 0, 0, {0x82, 0x2C}},
        {127, 0, 0, {0x7F}},
        {128, 0, 0, {0x81, 0x00}},
        {5, 1, 1, {0x85}},
        {63, 1, 1, {0xBF}},
        {64, 0, 1, {0x40, 0x40}},
        {31, 3, 2, {0xDF}},
        {32, 2, 2, {0xA0, 0x20}},
        {UINT64_MAX, 0, 0, {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
        {UINT64_MAX, 3, 2, {0xE1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Bytes got;
        packU(got, c.value, c.tag, c.k);
        EXPECT_EQ(got, c.bytes);
        EXPECT_EQ(mirv_packUIntWithTag_size(c.value, c.k), c.bytes.size());
        const unsigned char* cursor = c.bytes.data();
        uint64_t back = 0;
        ASSERT_TRUE(mirv_unpackUIntWithTag(&cursor, c.bytes.data() + c.bytes.size(), &back, c.k));
        EXPECT_EQ(back, c.value);
        EXPECT_EQ(cursor, c.bytes.data() + c.bytes.size());

        /* one byte too little room writes nothing */
        unsigned char buf[16];
        std::memset(buf, 0xEE, sizeof(buf));
        unsigned char* out = buf;
        EXPECT_FALSE(mirv_packUIntWithTag(&out, buf + c.bytes.size() - 1, c.value, c.tag, c.k));
        EXPECT_EQ(out, buf);
        EXPECT_EQ(buf[0], 0xEE);
    }
    for (unsigned k = 0; k <= 2; ++k)
        for (int shift = 0; shift < 64; ++shift)
            for (uint64_t v : {(uint64_t)1 << shift, ((uint64_t)1 << shift) - 1, ((uint64_t)1 << shift) + 1}) {
                Bytes b;
                packU(b, v, (1u << k) - 1, k);
                const unsigned char* cursor = b.data();
                uint64_t back;
                ASSERT_TRUE(mirv_unpackUIntWithTag(&cursor, b.data() + b.size(), &back, k));
                ASSERT_EQ(back, v);
                ASSERT_EQ(b.size(), mirv_packUIntWithTag_size(v, k));
            }
}

TEST(PackedUInt, RefusesCutAndOversizedCodesAndBadTags) {
    const Bytes bad[] = {
        {},
        {0x80},
        {0x82, 0x80},
        /* eleven groups: more than 64 bits */
        {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
        /* ten bytes whose first group is too large for 64 bits */
        {0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
    };
    for (const Bytes& b : bad) {
        const unsigned char* cursor = b.data();
        uint64_t v = 77;
        EXPECT_FALSE(mirv_unpackUIntWithTag(&cursor, b.data() + b.size(), &v, 0));
        EXPECT_EQ(cursor, b.data());
        EXPECT_EQ(v, 77u);
    }
    unsigned char buf[4];
    unsigned char* out = buf;
    EXPECT_FALSE(mirv_packUIntWithTag(&out, buf + 4, 1, 2, 1)); /* tag needs 2 bits */
    EXPECT_FALSE(mirv_packUIntWithTag(&out, buf + 4, 1, 1, 0));
    EXPECT_FALSE(mirv_packUIntWithTag(&out, buf + 4, 1, 0, 3));
}

namespace {
struct Reader {
    InStream in;
    Bytes cache;
    TStreamCacheClip r;
    Reader(Bytes data, size_t cache_size, uint64_t begin = 0, uint64_t end = UINT64_MAX)
        : in(std::move(data)), cache(cache_size) {
        if (end == UINT64_MAX) end = in.data.size();
        mirvp_clip_init(&r, in.get(), begin, end, cache.data(), cache.size());
    }
};
Bytes iota(size_t n, unsigned char start = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = (unsigned char)(start + i);
    return b;
}
} // namespace

TEST(CacheReader, ReadsNumbersTextsAndData) {
    Bytes d;
    packU(d, 300);
    appendText(d, "abc&");
    packDelta(d, 1000, 990);
    append(d, iota(20, 100));
    Reader rd(d, 16);
    uint64_t v;
    ASSERT_TRUE(mirvp_clip_read_uint(&rd.r, &v, 0));
    EXPECT_EQ(v, 300u);
    char text[8];
    ASSERT_TRUE(mirvp_clip_read_text(&rd.r, '&', text, sizeof(text)));
    EXPECT_STREQ(text, "abc");
    uint64_t pos = 1000;
    ASSERT_TRUE(mirvp_clip_read_signed_pos(&rd.r, &pos));
    EXPECT_EQ(pos, 990u);
    EXPECT_EQ(mirvp_clip_source_pos(&rd.r), 2u + 4u + 1u);
    unsigned char out[5] = {1, 1, 1, 1, 1};
    ASSERT_TRUE(mirvp_clip_add_to(&rd.r, out, 5));
    EXPECT_EQ(out[0], 101);
    EXPECT_EQ(out[4], 105);
    ASSERT_TRUE(mirvp_clip_skip(&rd.r, 10));
    unsigned char rest[5];
    ASSERT_TRUE(mirvp_clip_read_to(&rd.r, rest, rest + 5));
    EXPECT_EQ(rest[0], 115);
    EXPECT_TRUE(mirvp_clip_is_finished(&rd.r));
    EXPECT_FALSE(mirvp_clip_read_uint(&rd.r, &v, 0));
    EXPECT_FALSE(mirvp_clip_skip(&rd.r, 1));
}

TEST(CacheReader, TextMustEndWithinTheAllowedLength) {
    struct Case {
        std::string data;
        size_t out_size;
        bool ok;
    } cases[] = {
        {"abcd&", 5, true},   /* four characters and the end mark */
        {"abcde&", 5, false}, /* out_size bytes without the end mark */
        {"&", 1, true},
        {"abc", 8, false},    /* no end mark before the range ends */
        {"", 8, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        Reader rd(Bytes(c.data.begin(), c.data.end()), 64);
        char text[16];
        EXPECT_EQ(mirvp_clip_read_text(&rd.r, '&', text, c.out_size), c.ok);
    }
}

TEST(CacheReader, SignedStepRunsModulo64Bits) {
    struct Case {
        uint64_t from, delta;
        bool minus;
        uint64_t to;
    } cases[] = {
        {10, 10, true, 0}, {10, 11, true, UINT64_MAX}, {UINT64_MAX - 1, 1, false, UINT64_MAX}, {UINT64_MAX, 1, false, 0},
    };
    for (const Case& c : cases) {
        Bytes d;
        packU(d, c.delta, c.minus ? 1 : 0, 1);
        Reader rd(d, 16);
        uint64_t pos = c.from;
        EXPECT_TRUE(mirvp_clip_read_signed_pos(&rd.r, &pos));
        EXPECT_EQ(pos, c.to);
    }
    Reader cut(Bytes{0x40}, 16); /* a continuation bit with nothing after it */
    uint64_t pos = 0;
    EXPECT_FALSE(mirvp_clip_read_signed_pos(&cut.r, &pos));
}

TEST(CacheReader, LongRestBypassesTheCacheFromHalfItsSize) {
    for (size_t rest : {7u, 8u, 9u}) {
        SCOPED_TRACE(rest);
        Reader rd(iota(40), 16);
        unsigned char out[20];
        ASSERT_TRUE(mirvp_clip_read_to(&rd.r, out, out + rest));
        ASSERT_EQ(rd.in.reads.size(), 1u);
        if (rest >= 8) EXPECT_EQ(rd.in.reads[0], std::make_pair((uint64_t)0, (uint64_t)rest));
        else EXPECT_EQ(rd.in.reads[0], std::make_pair((uint64_t)0, (uint64_t)16));
        EXPECT_EQ(out[rest - 1], rest - 1);
        EXPECT_EQ(mirvp_clip_source_pos(&rd.r), rest);
    }
}

TEST(CacheReader, DirectReadStaysInsideTheReadersRange) {
    /* the section is [4, 14) of a longer stream: a direct read must not reach into the next one */
    Reader rd(iota(64), 8, 4, 14);
    unsigned char out[32];
    EXPECT_FALSE(mirvp_clip_read_to(&rd.r, out, out + 11));
    Reader ok(iota(64), 8, 4, 14);
    ASSERT_TRUE(mirvp_clip_read_to(&ok.r, out, out + 10));
    EXPECT_EQ(out[9], 13);
    EXPECT_TRUE(mirvp_clip_is_finished(&ok.r));
}

TEST(CacheReader, FailedSourceReadFails) {
    Reader rd(iota(64), 8);
    rd.in.fail_at = 0;
    uint64_t v;
    EXPECT_FALSE(mirvp_clip_read_uint(&rd.r, &v, 0));
}

TEST(OutCache, WritesFlushAndGoStraightWhenLong) {
    OutStream out(64);
    unsigned char cache[8];
    TOutStreamCache oc;
    mirvp_out_init(&oc, out.get(), cache, sizeof(cache));
    Bytes data = iota(30, 1);
    ASSERT_TRUE(mirvp_out_write(&oc, data.data(), 8)); /* a whole cache's worth on an empty cache */
    EXPECT_EQ(out.writes, 1u);
    EXPECT_EQ(oc.write_pos, 8u);
    ASSERT_TRUE(mirvp_out_write(&oc, data.data() + 8, 3));
    EXPECT_EQ(out.writes, 1u);
    ASSERT_TRUE(mirvp_out_write(&oc, data.data() + 11, 19)); /* fills, flushes, then goes on */
    ASSERT_TRUE(mirvp_out_fill(&oc, 0xAA, 5));
    ASSERT_TRUE(mirvp_out_flush(&oc));
    EXPECT_EQ(mirvp_out_size(&oc), 35u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.data.begin()));
    EXPECT_EQ(out.data[34], 0xAA);
    EXPECT_EQ(out.data[35], 0);

    TOutStreamCache direct;
    OutStream out2(16);
    mirvp_out_init(&direct, out2.get(), nullptr, 0);
    ASSERT_TRUE(mirvp_out_write(&direct, data.data(), 3));
    ASSERT_TRUE(mirvp_out_write(&direct, data.data(), 0));
    EXPECT_EQ(out2.writes, 1u);
    EXPECT_FALSE(mirvp_out_fill(&direct, 1, 1));
    InStream src(iota(4));
    EXPECT_FALSE(mirvp_out_copy_stream(&direct, src.get(), 0, 1));
}

TEST(OutCache, CopiesFromStreamsAndReaders) {
    OutStream out(64);
    unsigned char cache[8];
    TOutStreamCache oc;
    mirvp_out_init(&oc, out.get(), cache, sizeof(cache));
    InStream src(iota(40));
    ASSERT_TRUE(mirvp_out_copy_stream(&oc, src.get(), 5, 20));
    EXPECT_FALSE(mirvp_out_copy_stream(&oc, src.get(), 30, 11));
    Reader rd(iota(40, 100), 4);
    ASSERT_TRUE(mirvp_out_copy_clip(&oc, &rd.r, 10));
    ASSERT_TRUE(mirvp_out_flush(&oc));
    EXPECT_EQ(out.data[0], 5);
    EXPECT_EQ(out.data[19], 24);
    EXPECT_EQ(out.data[20], 100);
    EXPECT_EQ(out.data[29], 109);
    EXPECT_FALSE(mirvp_out_copy_clip(&oc, &rd.r, 31)); /* the reader holds 30 more */
}

TEST(OutCache, CopyFromSelfRepeatsAcrossFlushedAndCachedBytes) {
    struct Case {
        uint64_t distance, length;
        bool ok;
    } cases[] = {{3, 7, true}, {1, 5, true}, {10, 4, true}, {11, 1, false}, {0, 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.distance);
        OutStream out(64);
        unsigned char cache[4];
        TOutStreamCache oc;
        mirvp_out_init(&oc, out.get(), cache, sizeof(cache));
        Bytes data = iota(10, 1);
        ASSERT_TRUE(mirvp_out_write(&oc, data.data(), 2));
        ASSERT_TRUE(mirvp_out_write(&oc, data.data() + 2, 8)); /* some flushed, some cached */
        ASSERT_EQ(mirvp_out_copy_self(&oc, c.distance, c.length), c.ok);
        if (!c.ok) continue;
        ASSERT_TRUE(mirvp_out_flush(&oc));
        Bytes expect = data;
        for (uint64_t i = 0; i < c.length; ++i) expect.push_back(expect[expect.size() - c.distance]);
        EXPECT_EQ(Bytes(out.data.begin(), out.data.begin() + expect.size()), expect);
    }
    OutStream no_back(16, false);
    TOutStreamCache oc;
    unsigned char cache[4];
    mirvp_out_init(&oc, no_back.get(), cache, sizeof(cache));
    unsigned char b = 1;
    ASSERT_TRUE(mirvp_out_write(&oc, &b, 1));
    EXPECT_FALSE(mirvp_out_copy_self(&oc, 1, 1));
}

namespace {
struct Rle {
    InStream ctrl, data;
    Bytes ctrl_cache, data_cache;
    TBytesRle_load_stream rle;
    Rle(Bytes c, Bytes d, size_t cache = 8) : ctrl(std::move(c)), data(std::move(d)), ctrl_cache(cache), data_cache(cache) {
        mirvp_rle_init(&rle);
        mirvp_clip_init(&rle.ctrl, ctrl.get(), 0, ctrl.data.size(), ctrl_cache.data(), cache);
        mirvp_clip_init(&rle.data, data.get(), 0, data.data.size(), data_cache.data(), cache);
    }
};
} // namespace

TEST(RunLengthAdd, EachRunTypeAddsItsBytes) {
    Bytes c, d;
    packU(c, 0, 1, 2);  /* one byte + 255 */
    packU(c, 1, 0, 2);  /* two bytes unchanged */
    packU(c, 2, 2, 2);  /* three bytes + 7 */
    d.push_back(7);
    packU(c, 3, 3, 2);  /* four literal additions */
    append(d, {1, 2, 3, 4});
    packU(c, 39, 0, 2); /* a long zero run: 40 bytes */
    Rle r(c, d);
    Bytes target(50, 10);
    ASSERT_TRUE(mirvp_rle_add(&r.rle, target.data(), 3)); /* ends mid-run */
    ASSERT_TRUE(mirvp_rle_add(&r.rle, target.data() + 3, 5));
    ASSERT_TRUE(mirvp_rle_add(&r.rle, nullptr, 12)); /* skip across runs */
    EXPECT_FALSE(mirvp_rle_is_finished(&r.rle));
    ASSERT_TRUE(mirvp_rle_add(&r.rle, target.data() + 20, 30));
    EXPECT_TRUE(mirvp_rle_is_finished(&r.rle));
    Bytes expect = {9, 10, 10, 17, 17, 17, 11, 12};
    EXPECT_EQ(Bytes(target.begin(), target.begin() + 8), expect);
    EXPECT_EQ(target[8], 10); /* skipped */
    EXPECT_EQ(target[49], 10);
    EXPECT_FALSE(mirvp_rle_add(&r.rle, target.data(), 1)); /* runs used up */
}

TEST(RunLengthAdd, MissingDataOrControlFails) {
    Bytes c;
    packU(c, 3, 3, 2);
    Rle literal_short(c, {1, 2, 3});
    Bytes target(4);
    EXPECT_FALSE(mirvp_rle_add(&literal_short.rle, target.data(), 4));
    Bytes c2;
    packU(c2, 0, 2, 2);
    Rle value_missing(c2, {});
    EXPECT_FALSE(mirvp_rle_add(&value_missing.rle, target.data(), 1));
    Bytes c4; /* run length + 1 must not wrap */
    packU(c4, UINT64_MAX, 0, 2);
    Rle wraps(c4, {});
    EXPECT_FALSE(mirvp_rle_add(&wraps.rle, target.data(), 1));
}

namespace {
/* A decompressor whose "compression" is the identity, with counters, for the section opener. */
struct CopyPlugin {
    static int opens, closes;
    static mirv_BOOL canOpen(const char* t) { return std::strcmp(t, "copy") == 0; }
    struct Handle {
        const mirv_TStreamInput* code;
        uint64_t pos, end;
    };
    static void* open(mirv_TDecompress*, uint64_t size, const mirv_TStreamInput* code, uint64_t b, uint64_t e) {
        if (e - b != size) return nullptr;
        ++opens;
        return new Handle{code, b, e};
    }
    static mirv_BOOL close(mirv_TDecompress*, void* h) {
        ++closes;
        delete static_cast<Handle*>(h);
        return 1;
    }
    static mirv_BOOL part(void* hv, unsigned char* out, unsigned char* out_end) {
        Handle* h = static_cast<Handle*>(hv);
        uint64_t n = (uint64_t)(out_end - out);
        if (n > h->end - h->pos || !h->code->read(h->code, h->pos, out, out_end)) return 0;
        h->pos += n;
        return 1;
    }
    static mirv_BOOL reopen(void* hv, uint64_t size, const mirv_TStreamInput* code, uint64_t b, uint64_t e) {
        if (e - b != size) return 0;
        *static_cast<Handle*>(hv) = Handle{code, b, e};
        return 1;
    }
};
int CopyPlugin::opens = 0;
int CopyPlugin::closes = 0;
} // namespace

TEST(SectionOpener, StoredCompressedReopenedAndOutOfRange) {
    InStream diff(iota(100));
    mirv_TDecompress plugin = {CopyPlugin::canOpen, CopyPlugin::open, CopyPlugin::close, CopyPlugin::part,
                               CopyPlugin::reopen};
    unsigned char cache[16];
    TStreamCacheClip r;
    TDecompressInputStream dec;
    mirvp_decoder_init(&dec);
    uint64_t cursor = 10;
    ASSERT_TRUE(mirvp_open_section(&r, &dec, 20, 0, diff.get(), &cursor, nullptr, cache, sizeof(cache)));
    EXPECT_EQ(cursor, 30u);
    unsigned char out[20];
    ASSERT_TRUE(mirvp_clip_read_to(&r, out, out + 20));
    EXPECT_EQ(out[0], 10);
    CopyPlugin::opens = CopyPlugin::closes = 0;
    ASSERT_TRUE(mirvp_open_section(&r, &dec, 5, 5, diff.get(), &cursor, &plugin, cache, sizeof(cache)));
    EXPECT_EQ(CopyPlugin::opens, 1);
    ASSERT_TRUE(mirvp_clip_read_to(&r, out, out + 5));
    EXPECT_EQ(out[4], 34);
    ASSERT_TRUE(mirvp_open_section(&r, &dec, 6, 6, diff.get(), &cursor, &plugin, cache, sizeof(cache))); /* reopen */
    EXPECT_EQ(CopyPlugin::opens, 1);
    ASSERT_TRUE(mirvp_clip_read_to(&r, out, out + 6));
    EXPECT_EQ(out[0], 35);
    EXPECT_EQ(cursor, 41u);

    /* without reopen the second compressed section on the same record fails */
    mirv_TDecompress no_reopen = plugin;
    no_reopen.reopen = nullptr;
    dec.plugin = &no_reopen;
    EXPECT_FALSE(mirvp_open_section(&r, &dec, 2, 2, diff.get(), &cursor, &no_reopen, cache, sizeof(cache)));
    dec.plugin = &plugin;
    EXPECT_TRUE(close_compressed_stream_as_uncompressed(&dec));
    EXPECT_TRUE(close_compressed_stream_as_uncompressed(&dec)); /* closes once */
    EXPECT_TRUE(close_compressed_stream_as_uncompressed(nullptr));
    EXPECT_EQ(CopyPlugin::closes, 1);

    uint64_t at = 90;
    EXPECT_FALSE(mirvp_open_section(nullptr, nullptr, 11, 0, diff.get(), &at, nullptr, cache, sizeof(cache)));
    EXPECT_TRUE(mirvp_open_section(nullptr, nullptr, 10, 0, diff.get(), &at, nullptr, cache, sizeof(cache)));
    at = 1;
    EXPECT_FALSE(mirvp_open_section(nullptr, nullptr, 0, UINT64_MAX, diff.get(), &at, nullptr, cache, sizeof(cache)));
    at = 0;
    EXPECT_FALSE(mirvp_open_section(&r, &dec, 4, 4, diff.get(), &at, nullptr, cache, sizeof(cache))); /* no plug-in */
}

TEST(DecodedView, ReadsOnlyFrontToBack) {
    InStream code(iota(10));
    mirv_TDecompress plugin = {CopyPlugin::canOpen, CopyPlugin::open, CopyPlugin::close, CopyPlugin::part,
                               CopyPlugin::reopen};
    TUncompresser view;
    ASSERT_TRUE(compressed_stream_as_uncompressed(&view, 6, &plugin, code.get(), 2, 8));
    unsigned char out[6];
    EXPECT_FALSE(view.base.read(&view.base, 1, out, out + 2)); /* not the next byte */
    ASSERT_TRUE(view.base.read(&view.base, 0, out, out + 2));
    ASSERT_TRUE(view.base.read(&view.base, 2, out + 2, out + 6));
    EXPECT_EQ(out[5], 7);
    EXPECT_FALSE(view.base.read(&view.base, 6, out, out + 1));
    EXPECT_TRUE(close_compressed_stream_as_uncompressed(&view));
    EXPECT_FALSE(compressed_stream_as_uncompressed(&view, 6, &plugin, code.get(), 2, 11));
    EXPECT_FALSE(compressed_stream_as_uncompressed(&view, 5, &plugin, code.get(), 2, 8)); /* open refuses */
    Bytes whole(10);
    const Bytes& src = code.data;
    EXPECT_TRUE(mirv_deccompress_mem(&plugin, src.data(), src.data() + 10, whole.data(), whole.data() + 10));
    EXPECT_EQ(whole, src);
}

/* The diff's checksum stream sums every byte once, in order: a read that is not the next byte
 * (a re-read, a skip) fails and sums nothing. */
TEST(ChecksumStreams, OnlyTheNextByteMayBeRead) {
    static uint64_t summed;
    mirv_TChecksum counter = {};
    counter.append = [](void*, const unsigned char* data, const unsigned char* data_end) { summed += data_end - data; };
    summed = 0;
    InStream src(Bytes(100, 7));
    TChecksumInputStream sum;
    const mirv_TStreamInput* in = mirvp_checksum_input_init(&sum, src.get(), &counter, nullptr);
    sum.next_pos = 10;
    unsigned char buf[100];
    struct {
        uint64_t pos, length;
        bool ok;
    } reads[] = {{0, 5, false}, {10, 20, true}, {10, 5, false}, {29, 2, false}, {31, 1, false}, {30, 0, true},
                 {30, 70, true}, {100, 0, true}};
    for (const auto& r : reads) EXPECT_EQ(in->read(in, r.pos, buf, buf + r.length) != 0, r.ok) << r.pos;
    EXPECT_EQ(summed, 90u);
}

TEST(ClipAndMemoryStreams, StayInsideTheirRanges) {
    Bytes data = iota(32);
    mirv_TStreamInput mem;
    mem_as_mirvStreamInput(&mem, data.data(), data.data() + data.size());
    TStreamInputClip clip;
    const mirv_TStreamInput* c = TStreamInputClip_init(&clip, &mem, 8, 16);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->size, 8u);
    unsigned char out[9];
    ASSERT_TRUE(c->read(c, 2, out, out + 6));
    EXPECT_EQ(out[0], 10);
    EXPECT_FALSE(c->read(c, 2, out, out + 7));
    EXPECT_FALSE(c->read(c, UINT64_MAX, out, out + 2));
    EXPECT_EQ(TStreamInputClip_init(&clip, &mem, 8, 33), nullptr);
    EXPECT_EQ(TStreamInputClip_init(&clip, &mem, 9, 8), nullptr);

    Bytes buf(16);
    mirv_TStreamOutput mout;
    mem_as_mirvStreamOutput(&mout, buf.data(), buf.data() + buf.size());
    TStreamOutputClip oclip;
    const mirv_TStreamOutput* oc = TStreamOutputClip_init(&oclip, &mout, 4, 12);
    ASSERT_NE(oc, nullptr);
    ASSERT_TRUE(oc->write(oc, 6, data.data(), data.data() + 2));
    EXPECT_FALSE(oc->write(oc, 7, data.data(), data.data() + 2));
    EXPECT_EQ(buf[10], 0);
    EXPECT_EQ(buf[11], 1);
    ASSERT_TRUE(oc->read_back(oc, 7, out, out + 1));
    EXPECT_EQ(out[0], 1);
    EXPECT_FALSE(mout.read_back(&mout, 15, out, out + 2));
}

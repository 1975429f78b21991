#include <gtest/gtest.h>

#include <zlib.h>
#include <zstd.h>

#include <random>

#include "codec_helpers.h"
#include "mirv_plugins.h"
#include "patch_cache_old.h"
#include "patch_test_util.h"

using namespace patch_test;

namespace {

struct Case {
    Bytes old_data, new_data;
    std::vector<mirv_TCover> covers;
};

/* New data made of old pieces (slightly changed) and fresh gaps, with a tail after the last
 * cover when tail is set. */
Case makeCase(size_t old_size, size_t cover_count, size_t max_len, bool tail, uint32_t seed) {
    std::mt19937 rng(seed);
    Case c;
    c.old_data.resize(old_size);
    for (auto& b : c.old_data) b = (unsigned char)(rng() % 7 + 'a');
    uint64_t new_pos = 0;
    for (size_t i = 0; i < cover_count; ++i) {
        uint64_t gap = rng() % 5, len = 1 + rng() % max_len;
        if (len > old_size) len = old_size;
        uint64_t old_pos = rng() % (old_size - len + 1);
        for (uint64_t g = 0; g < gap; ++g) c.new_data.push_back((unsigned char)rng());
        new_pos += gap;
        for (uint64_t j = 0; j < len; ++j)
            c.new_data.push_back((unsigned char)(c.old_data[old_pos + j] + (rng() % 16 == 0 ? rng() : 0)));
        c.covers.push_back({old_pos, new_pos, len});
        new_pos += len;
    }
    if (tail)
        for (int i = 0; i < 9; ++i) c.new_data.push_back((unsigned char)rng());
    return c;
}

Bytes zlibPack(const Bytes& data) {
    uLongf n = compressBound(data.size());
    Bytes out(n);
    compress2(out.data(), &n, data.data(), data.size(), 6);
    out.resize(n);
    return out;
}
Bytes zstdPack(const Bytes& data) {
    Bytes out(ZSTD_compressBound(data.size()));
    out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
    return out;
}
Bytes vekkoPack(const Bytes& data) { return vekko_test::compress(data); }

struct Codec {
    const char* type;
    Compressor pack;
};
const Codec kCodecs[] = {{"", nullptr}, {"zlib", zlibPack}, {"zstd", zstdPack}, {"vekko", vekkoPack}};

/* Work memory in a buffer of exactly its size, so that the sanitizers catch any overrun. */
struct Mem {
    std::vector<unsigned char> buf;
    explicit Mem(size_t n) : buf(n ? n : 1) {}
    unsigned char* begin() { return buf.data(); }
    unsigned char* end() { return buf.data() + buf.size(); }
};

bool runStream(const Case& c, const Bytes& diff, size_t mem_size, InStream* old_out = nullptr) {
    InStream old_in(c.old_data), diff_in(diff);
    OutStream out(c.new_data.size());
    Mem mem(mem_size);
    bool ok = mem_size ? patch_stream_with_cache(out.get(), old_in.get(), diff_in.get(), mem.begin(), mem.end())
                       : patch_stream(out.get(), old_in.get(), diff_in.get());
    if (old_out) old_out->reads = old_in.reads;
    return ok && out.data == c.new_data;
}

bool runDecompress(const Case& c, const Bytes& diff, mirv_TDecompress* plugin, size_t mem_size,
                   InStream* old_out = nullptr) {
    InStream old_in(c.old_data), diff_in(diff);
    OutStream out(c.new_data.size());
    Mem mem(mem_size);
    bool ok = mem_size
                  ? patch_decompress_with_cache(out.get(), old_in.get(), diff_in.get(), plugin, mem.begin(), mem.end())
                  : patch_decompress(out.get(), old_in.get(), diff_in.get(), plugin);
    if (old_out) old_out->reads = old_in.reads;
    return ok && out.data == c.new_data;
}

bool runMem(const Case& c, const Bytes& diff) {
    Bytes out(c.new_data.size());
    return patch(out.data(), out.data() + out.size(), c.old_data.data(), c.old_data.data() + c.old_data.size(),
                 diff.data(), diff.data() + diff.size()) &&
           out == c.new_data;
}

} // namespace

TEST(SerializedPatch, HandMadeDiffInMemoryAndThroughStreams) {
    /* old "abcdefgh"; new = "XY" + (old[2..5) + {1,0,0}) + "Z" + old[4..6) + "!!" */
    Case c;
    c.old_data = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    c.new_data = {'X', 'Y', 'd', 'd', 'e', 'Z', 'e', 'f', '!', '!'};
    c.covers = {{2, 2, 3}, {4, 6, 2}};
    Bytes d;
    for (uint64_t n : {2, 2, 2, 2, 5}) packU(d, n);
    append(d, {3, 2});       /* lengths */
    append(d, {2, 1});       /* gaps */
    append(d, {0x02, 0x02}); /* old deltas: +2 from 0, +2 from 2 */
    appendText(d, "XYZ!!");  /* new-data diff */
    Bytes ctrl;
    packU(ctrl, 1, 0, 2); /* 2 zeros (gap) */
    packU(ctrl, 0, 3, 2); /* 1 literal: +1 */
    packU(ctrl, 6, 0, 2); /* 7 zeros */
    packU(d, ctrl.size());
    append(d, ctrl);
    d.push_back(1);
    EXPECT_TRUE(runMem(c, d));
    EXPECT_TRUE(runStream(c, d, 0));
    EXPECT_TRUE(runStream(c, d, 700));
    EXPECT_FALSE(runStream(c, d, 600)); /* the cover list needs 240 bytes of three pieces in eight */
    EXPECT_EQ(d, serializedDiff(c.old_data, c.new_data, c.covers));
}

TEST(SerializedPatch, AllFormsAgreeOnBuiltDiffs) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        Case c = makeCase(3000 + seed * 500, seed * 40, 60 * seed, seed % 2 == 0, seed);
        Bytes diff = serializedDiff(c.old_data, c.new_data, c.covers);
        EXPECT_TRUE(runMem(c, diff));
        for (size_t mem : {(size_t)0, (size_t)800, (size_t)2048, (size_t)100000})
            EXPECT_TRUE(runStream(c, diff, mem)) << mem;
        for (const Codec& k : kCodecs) {
            Bytes cd = compressedDiff(k.type, c.old_data, c.new_data, c.covers, k.pack);
            mirv_TDecompress* plugin = mirv_decompress_plugin(k.type);
            for (size_t mem : {(size_t)0, (size_t)6 * 264, (size_t)50000})
                EXPECT_TRUE(runDecompress(c, cd, plugin, mem)) << k.type << " " << mem;
        }
    }
    Case none = makeCase(100, 0, 1, true, 9); /* no covers: everything from the new-data diff */
    Bytes diff = serializedDiff(none.old_data, none.new_data, none.covers);
    EXPECT_TRUE(runMem(none, diff));
    EXPECT_TRUE(runStream(none, diff, 0));
    EXPECT_TRUE(runDecompress(none, compressedDiff("", none.old_data, none.new_data, none.covers, nullptr), nullptr, 0));
}

TEST(SerializedPatch, WholeOldDataFromExactlyItsMemory) {
    Case c = makeCase(20000, 300, 40, true, 3);
    Bytes diff = serializedDiff(c.old_data, c.new_data, c.covers);
    const size_t whole = c.old_data.size() + 8 * 4096 + 40;
    InStream reads(Bytes{});
    ASSERT_TRUE(runStream(c, diff, whole, &reads));
    ASSERT_EQ(reads.reads.size(), 1u);
    EXPECT_EQ(reads.reads[0], std::make_pair((uint64_t)0, (uint64_t)c.old_data.size()));
    ASSERT_TRUE(runStream(c, diff, whole - 1, &reads));
    EXPECT_GT(reads.reads.size(), 250u); /* one or more reads per cover */

    Bytes cd = compressedDiff("", c.old_data, c.new_data, c.covers, nullptr);
    const size_t whole6 = c.old_data.size() + 6 * 4096 + 40;
    ASSERT_TRUE(runDecompress(c, cd, nullptr, whole6, &reads));
    EXPECT_EQ(reads.reads.size(), 1u);
    ASSERT_TRUE(runDecompress(c, cd, nullptr, whole6 - 1, &reads));
    EXPECT_GT(reads.reads.size(), 250u);
}

TEST(SerializedPatch, CoverArrayAndOldCacheTurnShortReadsIntoPasses) {
    /* old data too large to hold whole in 4.5 MiB of work memory */
    Case c = makeCase(6 << 20, 4000, 300, true, 11);
    Bytes diff = serializedDiff(c.old_data, c.new_data, c.covers);
    Bytes cd = compressedDiff("zstd", c.old_data, c.new_data, c.covers, zstdPack);
    mirv_TDecompress* zstd = mirv_decompress_plugin("zstd");
    EXPECT_TRUE(runMem(c, diff));
    InStream plain(Bytes{}), cached(Bytes{});
    ASSERT_TRUE(runStream(c, diff, 0, &plain));
    EXPECT_GE(plain.reads.size(), c.covers.size());
    for (int compressed = 0; compressed < 2; ++compressed) {
        SCOPED_TRACE(compressed);
        size_t pieces = compressed ? 6 : 8;
        size_t threshold = std::max<size_t>(c.old_data.size() / 16 + pieces * 131072, pieces * 131072 + (3 << 20));
        ASSERT_TRUE(compressed ? runDecompress(c, cd, zstd, threshold, &cached) : runStream(c, diff, threshold, &cached));
        /* sequential passes of at most 131072 bytes over the cached covers */
        EXPECT_LT(cached.reads.size(), 100u);
        for (auto& r : cached.reads) EXPECT_LE(r.second, 131072u);
        /* one byte below the threshold: no caching, one read or more per cover */
        ASSERT_TRUE(compressed ? runDecompress(c, cd, zstd, threshold - 1, &cached)
                               : runStream(c, diff, threshold - 1, &cached));
        EXPECT_GE(cached.reads.size(), c.covers.size());
    }
}

TEST(SerializedPatch, ArrayWithoutOldCacheAndStreamedListWhenTheArrayDoesNotFit) {
    /* two long covers: no budget holds either, so the array runs without an old cache */
    Case longc;
    longc.old_data.resize(6 << 20);
    for (size_t i = 0; i < longc.old_data.size(); ++i) longc.old_data[i] = (unsigned char)(i * 31 >> 7);
    longc.covers = {{0, 0, 2500000}, {3000000, 2500000, 2500000}};
    longc.new_data.assign(longc.old_data.begin(), longc.old_data.begin() + 2500000);
    longc.new_data.insert(longc.new_data.end(), longc.old_data.begin() + 3000000, longc.old_data.begin() + 5500000);
    longc.new_data[7] ^= 1;
    Bytes diff = serializedDiff(longc.old_data, longc.new_data, longc.covers);
    InStream reads(Bytes{});
    ASSERT_TRUE(runStream(longc, diff, 5 << 20, &reads));
    uint64_t total = 0; /* only the covers' bytes, read where the patch asks: no load pass */
    for (auto& r : reads.reads) total += r.second;
    EXPECT_EQ(total, 5000000u);

    /* 300000 one-byte covers do not fit an array in 4.2 MiB: the streamed list is kept */
    Case many = makeCase(5 << 20, 300000, 1, true, 5);
    Bytes mdiff = serializedDiff(many.old_data, many.new_data, many.covers);
    EXPECT_TRUE(runStream(many, mdiff, (4 << 20) + 200000));
    Bytes cd = compressedDiff("zlib", many.old_data, many.new_data, many.covers, zlibPack);
    EXPECT_TRUE(runDecompress(many, cd, mirv_decompress_plugin("zlib"), (4 << 20) + 200000));
}

TEST(SerializedPatch, CacheOldPieces) {
    /* largest cached length and the cache stream, on a small hand-made array */
    std::vector<unsigned char> records(64 * 32);
    TArrayCovers array;
    mirvp_array_init(&array, records.data(), 1);
    const mirv_TCover covers[] = {{100, 0, 5}, {10, 5, 3}, {50, 8, 5}, {0, 13, 9}};
    for (uint64_t i = 0; i < 4; ++i) mirvp_array_set(&array, i, &covers[i], 0);
    array.count = 4;
    struct { uint64_t budget, max_len; } lens[] = {{2, 2}, {3, 4}, {7, 4}, {12, 4}, {13, 8}, {22, 9}, {1000, 9}};
    for (auto& l : lens) EXPECT_EQ(mirvp_cache_max_len(&array, l.budget), l.max_len) << l.budget;
    mirv_TCover c;
    mirvp_array_get(&array, 1, &c, nullptr);
    EXPECT_EQ(c.new_pos, 5u); /* back in new order */
    uint64_t lo, hi;
    EXPECT_EQ(mirvp_cache_positions(&array, 5, &lo, &hi, 4), 0u); /* 3 qualify, 4 wanted */
    ASSERT_EQ(mirvp_cache_positions(&array, 5, &lo, &hi, 3), 13u);
    EXPECT_EQ(lo, 10u);
    EXPECT_EQ(hi, 105u);
    Bytes old(200);
    for (size_t i = 0; i < old.size(); ++i) old[i] = (unsigned char)i;
    InStream old_in(old);
    std::vector<unsigned char> mem(13 + 100);
    ASSERT_TRUE(mirvp_cache_load(old_in.get(), lo, hi, &array, 5, mem.data(), mem.data() + 13, mem.data() + mem.size()));
    TCacheOldStream stream;
    const mirv_TStreamInput* s = mirvp_cache_stream_init(&stream, old_in.get(), &array, 5, mem.data());
    old_in.reads.clear();
    unsigned char out[9];
    ASSERT_TRUE(s->read(s, 100, out, out + 2));
    EXPECT_FALSE(s->read(s, 103, out, out + 1)); /* one byte after the read position */
    ASSERT_TRUE(s->read(s, 102, out, out + 3));
    EXPECT_EQ(out[2], 104);
    ASSERT_TRUE(s->read(s, 10, out, out + 3));
    EXPECT_EQ(out[0], 10);
    EXPECT_FALSE(s->read(s, 50, out, out + 6)); /* beyond the cover */

    /* a zero-length cover hands out nothing and is passed over on the way to the next one */
    TArrayCovers zero;
    mirvp_array_init(&zero, records.data(), 0);
    const mirv_TCover with_empty[] = {{7, 0, 2}, {40, 2, 0}, {20, 2, 3}};
    for (uint64_t i = 0; i < 3; ++i) mirvp_array_set(&zero, i, &with_empty[i], 0);
    zero.count = 3;
    TCacheOldStream zs;
    const mirv_TStreamInput* z = mirvp_cache_stream_init(&zs, old_in.get(), &zero, 0, mem.data());
    ASSERT_TRUE(z->read(z, 7, out, out + 2));
    ASSERT_TRUE(z->read(z, 20, out, out + 3));
    EXPECT_EQ(out[2], 22);
    EXPECT_FALSE(z->read(z, 23, out, out + 1)); /* no covers left */
}

TEST(SerializedPatch, BadDiffsFail) {
    Case c = makeCase(2000, 30, 50, true, 21);
    DiffParts p = makeParts(c.old_data, c.new_data, c.covers);
    Bytes good = serializedDiff(p, c.covers.size());
    ASSERT_TRUE(runMem(c, good));
    /* cut anywhere */
    for (size_t n = 0; n < good.size(); ++n) {
        Bytes cut(good.begin(), good.begin() + n);
        ASSERT_FALSE(runMem(c, cut)) << n;
        ASSERT_FALSE(runStream(c, cut, 0)) << n;
    }
    /* run data one byte too long, a section past the end */
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_FALSE(runMem(c, longer));
    EXPECT_FALSE(runStream(c, longer, 0));
    /* a cover past the old end, overlapping covers */
    std::vector<std::vector<mirv_TCover>> bad_covers = {c.covers, c.covers};
    bad_covers[0].back().old_pos = c.old_data.size() - bad_covers[0].back().length + 1;
    bad_covers[1][3].new_pos -= 1;
    for (auto& covers : bad_covers) {
        Case b = c;
        b.covers = covers;
        DiffParts bp = makeParts(c.old_data, c.new_data, c.covers);
        DiffParts changed = makeParts(c.old_data.size() > 0 ? Bytes(c.old_data.size() + 64) : c.old_data, c.new_data, covers);
        bp.lengths = changed.lengths;
        bp.gaps = changed.gaps;
        bp.deltas = changed.deltas;
        bp.cover_data = changed.cover_data;
        Bytes d = serializedDiff(bp, covers.size());
        EXPECT_FALSE(runMem(c, d));
        EXPECT_FALSE(runStream(c, d, 0));
        EXPECT_FALSE(runStream(c, d, 5 << 20));
        EXPECT_FALSE(runDecompress(c, compressedDiff("", c.new_data.size(), c.old_data.size(), bp, covers.size(), nullptr),
                                   nullptr, 0));
    }
    Bytes cd = compressedDiff("zlib", c.old_data, c.new_data, c.covers, zlibPack);
    mirv_TDecompress* zlib = mirv_decompress_plugin("zlib");
    ASSERT_TRUE(runDecompress(c, cd, zlib, 0));
    for (size_t n = 0; n < cd.size(); n += 3) ASSERT_FALSE(runDecompress(c, Bytes(cd.begin(), cd.begin() + n), zlib, 0)) << n;
    Bytes cd_longer = cd;
    cd_longer.push_back(0);
    EXPECT_FALSE(runDecompress(c, cd_longer, zlib, 0));
    EXPECT_FALSE(runDecompress(c, cd, nullptr, 0)); /* compressed sections need a plug-in */
    EXPECT_FALSE(runDecompress(c, cd, mirv_decompress_plugin("zstd"), 0));
}

TEST(SerializedPatch, SizesMustMatchTheCompressedHead) {
    Case c = makeCase(500, 10, 20, true, 2);
    Bytes cd = compressedDiff("", c.old_data, c.new_data, c.covers, nullptr);
    for (int which = 0; which < 2; ++which) {
        InStream old_in(which ? c.old_data : Bytes(c.old_data.size() + 1)), diff_in(cd);
        OutStream out(c.new_data.size() + (which ? 1 : 0));
        EXPECT_FALSE(patch_decompress(out.get(), old_in.get(), diff_in.get(), nullptr));
        EXPECT_EQ(out.writes, 0u);
    }
}

TEST(SerializedPatch, FailingStreamsFail) {
    Case c = makeCase(3000, 40, 50, true, 8);
    Bytes diff = serializedDiff(c.old_data, c.new_data, c.covers);
    Bytes cd = compressedDiff("", c.old_data, c.new_data, c.covers, nullptr);
    for (long at : {0L, 1L, 5L}) {
        for (int kind = 0; kind < 2; ++kind) {
            InStream old_in(c.old_data), diff_in(kind ? cd : diff);
            OutStream out(c.new_data.size());
            out.fail_at = at > 1 ? 1 : at;
            unsigned char mem[4096];
            EXPECT_FALSE(kind ? patch_decompress_with_cache(out.get(), old_in.get(), diff_in.get(), nullptr, mem, mem + 4096)
                              : patch_stream_with_cache(out.get(), old_in.get(), diff_in.get(), mem, mem + 4096));
            InStream old_fail(c.old_data), diff2(kind ? cd : diff);
            OutStream out2(c.new_data.size());
            old_fail.fail_at = at;
            EXPECT_FALSE(kind ? patch_decompress(out2.get(), old_fail.get(), diff2.get(), nullptr)
                              : patch_stream(out2.get(), old_fail.get(), diff2.get()));
        }
    }
    /* a failing old read while taking the whole old data */
    InStream old_fail(c.old_data), diff_in(diff);
    old_fail.fail_at = 0;
    OutStream out(c.new_data.size());
    std::vector<unsigned char> mem(100000);
    EXPECT_FALSE(patch_stream_with_cache(out.get(), old_fail.get(), diff_in.get(), mem.data(), mem.data() + mem.size()));
}

namespace {
/* Wraps a real plug-in; close fails for the handle opened as number fail_close (0 = the first). */
struct CloseFailing {
    static mirv_TDecompress* inner;
    static int opened, fail_close;
    static std::vector<void*> handles;
    static void* open(mirv_TDecompress*, uint64_t size, const mirv_TStreamInput* code, uint64_t b, uint64_t e) {
        void* h = inner->open(inner, size, code, b, e);
        if (h) handles.push_back(h);
        return h;
    }
    static mirv_BOOL close(mirv_TDecompress*, void* h) {
        mirv_BOOL ok = inner->close(inner, h);
        ++opened;
        for (size_t i = 0; i < handles.size(); ++i)
            if (handles[i] == h && (int)i == fail_close) return 0;
        return ok;
    }
    static mirv_BOOL part(void* h, unsigned char* o, unsigned char* oe) { return inner->decompress_part(h, o, oe); }
    static mirv_BOOL reopen(void* h, uint64_t s, const mirv_TStreamInput* c, uint64_t b, uint64_t e) {
        return inner->reopen(h, s, c, b, e);
    }
    static mirv_BOOL can(const char* t) { return inner->is_can_open(t); }
};
mirv_TDecompress* CloseFailing::inner = nullptr;
int CloseFailing::opened = 0;
int CloseFailing::fail_close = -1;
std::vector<void*> CloseFailing::handles;
} // namespace

TEST(SerializedPatch, FailingPluginCloseFailsThePatch) {
    CloseFailing::inner = mirv_decompress_plugin("zlib");
    mirv_TDecompress plugin = {CloseFailing::can, CloseFailing::open, CloseFailing::close, CloseFailing::part,
                               CloseFailing::reopen};
    Case small = makeCase(3000, 40, 50, true, 4);
    Case big = makeCase(5 << 20, 2000, 100, true, 4);
    for (Case* c : {&small, &big}) {
        Bytes cd = compressedDiff("zlib", c->old_data, c->new_data, c->covers, zlibPack);
        size_t mem = c == &big ? (5 << 20) : 0; /* the big one goes through the cover array */
        for (int fail = -1; fail < 4; ++fail) {
            CloseFailing::handles.clear();
            CloseFailing::opened = 0;
            CloseFailing::fail_close = fail;
            EXPECT_EQ(runDecompress(*c, cd, &plugin, mem), fail < 0) << fail;
            EXPECT_EQ(CloseFailing::opened, (int)CloseFailing::handles.size()); /* every handle closed */
        }
    }
}

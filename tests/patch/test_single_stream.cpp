/* Single-stream patch: the look-back reader's limits, hand-made diffs at exact limits and
 * with hostile numbers, diffs from the diff writer through every plug-in, and the step cache
 * on and off giving the same bytes. */
#include <gtest/gtest.h>

#include <cstring>

#include "patch_step.h"
#include "test_single_builders.h"
#include "vko_diff.h"

using namespace single_test;
using patch_test::InStream;
using patch_test::OutStream;

namespace {

struct Result {
    bool ok;
    Bytes out;
    size_t old_reads;
    int finishes;
};

/* Applies diff (with head at head_pos) with mem_size bytes of work memory. */
Result apply(const Bytes& old_data, const Bytes& diff, size_t new_size, size_t mem_size, uint64_t head_pos = 0,
             bool sequential = true) {
    InStream old(old_data);
    SequentialStream seq(diff);
    InStream positioned(diff);
    OutStream out(new_size);
    Listener listener(mem_size);
    bool ok = patch_single_stream(&listener.base, out.get(), old.get(), sequential ? &seq.stream : positioned.get(),
                                  head_pos, nullptr) != 0;
    return Result{ok, out.data, old.reads.size(), listener.finishes};
}

TEST(SingleLookBack, ReadsBehindTheFrontierUpToTheKeptBytes) {
    Bytes data = sampleData(20000, 1);
    struct Case {
        const char* name;
        std::vector<std::pair<uint64_t, uint64_t>> reads; /* the last one is checked */
        bool last_ok;
    } cases[] = {
        {"4096 behind after a read of 4096", {{0, 4096}, {0, 10}}, true},
        {"4097 behind after a read of 4096", {{1, 4096}, {0, 10}}, false},
        {"a read longer than 4096 keeps nothing", {{0, 4097}, {4096, 1}}, false},
        {"short reads add up to 4096 kept", {{0, 1000}, {1000, 3000}, {4000, 96}, {0, 4096}}, true},
        {"kept bytes slide: the oldest drop", {{0, 4000}, {4000, 200}, {103, 1}}, false},
        {"kept bytes slide: the newest stay", {{0, 4000}, {4000, 200}, {104, 4096}}, true},
        {"wholly inside the kept bytes", {{0, 100}, {10, 20}}, true},
        {"partly kept, rest fetched", {{0, 100}, {50, 200}}, true},
        {"ahead of the frontier: read and drop", {{0, 10}, {9000, 5}}, true},
        {"dropped bytes are kept", {{0, 10}, {9000, 5}, {5000, 100}}, true},
        {"dropped bytes beyond 4096 are gone", {{0, 10}, {9000, 5}, {4900, 1}}, false},
        {"past the end", {{0, 10}, {19990, 11}}, false},
    };
    for (const Case& c : cases) {
        SequentialStream seq(data);
        TDiffToSingleStream reader;
        const mirv_TStreamInput* s = TDiffToSingleStream_init(&reader, &seq.stream);
        bool ok = true;
        for (const auto& r : c.reads) {
            std::vector<unsigned char> buf(r.second);
            ok = s->read(s, r.first, buf.data(), buf.data() + buf.size()) != 0;
            if (ok) {
                EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + r.first)) << c.name;
            }
        }
        EXPECT_EQ(ok, c.last_ok) << c.name;
    }
}

TEST(SingleLookBack, NoKeepServesNothingAgain) {
    Bytes data = sampleData(100, 2);
    SequentialStream seq(data);
    TDiffToSingleStream reader;
    const mirv_TStreamInput* s = TDiffToSingleStream_init(&reader, &seq.stream);
    reader.no_keep = 1;
    unsigned char b[8];
    ASSERT_TRUE(s->read(s, 0, b, b + 8));
    EXPECT_FALSE(s->read(s, 7, b, b + 1));
    EXPECT_TRUE(s->read(s, 20, b, b + 8)); /* forward still works */
}

TEST(SinglePatch, HandMadeDiffsAtTheirLimits) {
    Bytes old_data = sampleData(3000, 3);
    std::vector<mirv_TCover> covers;
    Bytes new_data = derivedNew(old_data, 40, 37, 4, &covers);
    struct Case {
        const char* name;
        size_t per_step;
        int compress;
        uint64_t head_pos;
        size_t extra_out;
    } cases[] = {
        {"one cover per step", 1, 0, 0, 0},
        {"all covers in one step", 100, 0, 0, 0},
        {"zlib body", 3, 1, 0, 0},
        {"zstd body", 5, 2, 0, 0},
        {"vekko body", 7, 3, 0, 0},
        {"head at 3", 4, 0, 3, 0},
        {"head beyond the look-back size", 4, 0, 5000, 0},
        {"compressed body, head at 5000", 4, 1, 5000, 0},
        {"output larger than the new data", 4, 0, 0, 100},
    };
    for (const Case& c : cases) {
        uint64_t step_mem = 0;
        Bytes diff(c.head_pos, 0xEE);
        patch_test::append(diff, singleDiff(old_data, new_data, covers, c.per_step, c.compress, &step_mem));
        for (size_t mem : {size_t(mirv_SINGLE_STREAM_PATCH_MEM_SIZE(step_mem)), size_t(1 << 20)}) {
            Result r = apply(old_data, diff, new_data.size() + c.extra_out, mem, c.head_pos);
            ASSERT_TRUE(r.ok) << c.name << " mem " << mem;
            EXPECT_TRUE(std::equal(new_data.begin(), new_data.end(), r.out.begin())) << c.name;
            EXPECT_EQ(r.finishes, 1);
            for (size_t i = new_data.size(); i < r.out.size(); ++i) ASSERT_EQ(r.out[i], 0) << c.name;
        }
        Result r = apply(old_data, diff, new_data.size(), step_mem + 12287, c.head_pos);
        EXPECT_FALSE(r.ok) << c.name << ": one byte short of mirv_SINGLE_STREAM_PATCH_MEM_SIZE";
        EXPECT_EQ(r.finishes, 1);
    }
}

/* Body bytes for one step from raw parts. */
Bytes step(const Bytes& covers, const Bytes& runs, const Bytes& gaps) {
    Bytes s;
    packU(s, covers.size());
    packU(s, runs.size());
    patch_test::append(s, covers);
    patch_test::append(s, runs);
    patch_test::append(s, gaps);
    return s;
}

Bytes head(uint64_t new_size, uint64_t old_size, uint64_t count, uint64_t step_mem, const Bytes& body) {
    Bytes d;
    patch_test::appendText(d, "QORVNSF20&");
    d.push_back(0);
    packU(d, new_size);
    packU(d, old_size);
    packU(d, count);
    packU(d, step_mem);
    packU(d, body.size());
    packU(d, 0);
    patch_test::append(d, body);
    return d;
}

Bytes cover(uint64_t old_from, uint64_t old_to, uint64_t gap, uint64_t length, unsigned sign_override = 2) {
    Bytes b;
    if (sign_override == 2) packDelta(b, old_from, old_to);
    else packU(b, old_to, sign_override, 1);
    packU(b, gap);
    packU(b, length);
    return b;
}

TEST(SinglePatch, StepsAndRunChainsMadeByHand) {
    const Bytes old_data = {10, 20, 30, 40, 50, 60, 70, 80};
    Bytes runs_plain;
    packU(runs_plain, 4);
    Bytes runs_add; /* skip 1, add 2 bytes {1, 2}, skip 1 */
    packU(runs_add, 1);
    packU(runs_add, 2);
    runs_add.push_back(1);
    runs_add.push_back(2);
    packU(runs_add, 1);
    Bytes runs_short_add = {0, 5, 1}; /* add count 5 with one byte behind it */
    Bytes no_runs;
    struct Case {
        const char* name;
        Bytes diff;
        size_t new_size;
        bool ok;
        Bytes expect;
    } cases[] = {
        {"plain copy of 4", head(4, 8, 1, 16, step(cover(0, 2, 0, 4), runs_plain, {})), 4, true, {30, 40, 50, 60}},
        {"skip, add, skip", head(4, 8, 1, 16, step(cover(0, 0, 0, 4), runs_add, {})), 4, true, {10, 21, 32, 40}},
        {"gap bytes then cover then tail",
         head(7, 8, 2, 32, step(cat({cover(0, 4, 2, 2), cover(6, 6, 3, 0)}), {2}, {1, 2, 3, 4, 5})), 7, true,
         {1, 2, 50, 60, 3, 4, 5}},
        {"empty step skipped, its runs dropped",
         head(2, 8, 1, 16, cat({step({}, {9, 9, 9}, {}), step(cover(0, 0, 0, 2), {2}, {})})), 2, true, {10, 20}},
        {"zero-length cover not last",
         head(4, 8, 2, 32, step(cat({cover(0, 0, 1, 0), cover(0, 0, 0, 3)}), {3}, {7})), 4, false, {}},
        {"more covers in the buffer than counted",
         head(4, 8, 1, 32, step(cat({cover(0, 0, 0, 2), cover(2, 2, 0, 2)}), {4}, {})), 4, false, {}},
        {"cover past the old data", head(4, 8, 1, 16, step(cover(0, 6, 0, 4), runs_plain, {})), 4, false, {}},
        {"old position below 0", head(4, 8, 1, 16, step(cover(0, 1, 0, 4, 1), runs_plain, {})), 4, false, {}},
        {"add count past the run buffer", head(4, 8, 1, 16, step(cover(0, 0, 0, 4), runs_short_add, {})), 4, false, {}},
        {"run chain ends early", head(4, 8, 1, 16, step(cover(0, 0, 0, 4), {2}, {})), 4, false, {}},
        {"cover buffer above step memory", head(4, 8, 1, 2, step(cover(0, 0, 0, 4), runs_plain, {})), 4, false, {}},
        {"buffers together above step memory", head(4, 8, 1, 3, step(cover(0, 0, 0, 4), runs_plain, {})), 4, false, {}},
        {"cover runs past the new data", head(3, 8, 1, 16, step(cover(0, 0, 0, 4), runs_plain, {})), 3, false, {}},
        {"gap past the new data", head(3, 8, 1, 16, step(cover(0, 0, 9, 0), {}, {1, 2, 3})), 3, false, {}},
        {"body longer than the steps", head(4, 8, 1, 16, cat({step(cover(0, 0, 0, 4), runs_plain, {}), {0}})), 4, false,
         {}},
        {"huge cover count, body ends", head(4, 8, UINT64_MAX, 16, step(cover(0, 0, 0, 4), runs_plain, {})), 4, false,
         {}},
        {"no covers, no new data", head(0, 8, 0, 0, {}), 0, true, {}},
        {"fewer bytes than the new size", head(5, 8, 1, 16, step(cover(0, 0, 0, 4), runs_plain, {})), 5, false, {}},
    };
    for (const Case& c : cases) {
        for (bool sequential : {true, false}) {
            Result r = apply(old_data, c.diff, c.new_size, 64 * 1024, 0, sequential);
            EXPECT_EQ(r.ok, c.ok) << c.name;
            if (c.ok && r.ok) {
                EXPECT_EQ(r.out, c.expect) << c.name;
            }
        }
    }
}

TEST(SinglePatch, ListenerAndHeadChecks) {
    Bytes old_data = sampleData(500, 5);
    std::vector<mirv_TCover> covers;
    Bytes new_data = derivedNew(old_data, 5, 30, 6, &covers);
    Bytes diff = singleDiff(old_data, new_data, covers, 2, 1);
    struct Case {
        const char* name;
        bool refuse, memory, plugin;
        size_t out_size, old_size;
        bool ok;
        int finishes;
    } cases[] = {
        {"all given", false, true, true, new_data.size(), old_data.size(), true, 1},
        {"listener refuses: no finish", true, true, true, new_data.size(), old_data.size(), false, 0},
        {"no memory: finish all the same", false, false, true, new_data.size(), old_data.size(), false, 1},
        {"compressed body, no plug-in", false, true, false, new_data.size(), old_data.size(), false, 1},
        {"output too small: no listener call", false, true, true, new_data.size() - 1, old_data.size(), false, 0},
        {"old size differs", false, true, true, new_data.size(), old_data.size() - 1, false, 0},
    };
    for (const Case& c : cases) {
        Bytes old_bytes(old_data.begin(), old_data.begin() + c.old_size);
        InStream old(old_bytes), d(diff);
        OutStream out(c.out_size);
        Listener l(1 << 16);
        l.refuse = c.refuse;
        l.give_memory = c.memory;
        l.give_plugin = c.plugin;
        EXPECT_EQ(patch_single_stream(&l.base, out.get(), old.get(), d.get(), 0, nullptr) != 0, c.ok) << c.name;
        EXPECT_EQ(l.finishes, c.finishes) << c.name;
        if (c.finishes && c.memory) {
            EXPECT_EQ(l.finished_cache, l.memory.data()) << c.name;
        }
    }
}

TEST(SinglePatch, HeadPositionIsCountedFromTheHead) {
    Bytes old_data = sampleData(800, 7);
    std::vector<mirv_TCover> covers;
    Bytes new_data = derivedNew(old_data, 6, 50, 8, &covers);
    Bytes diff(700, 'x');
    patch_test::append(diff, singleDiff(old_data, new_data, covers));
    InStream d(diff);
    mirv_singleCompressedDiffInfo info;
    ASSERT_TRUE(getSingleCompressedDiffInfo(&info, d.get(), 700));
    Bytes alone = singleDiff(old_data, new_data, covers);
    mirv_singleCompressedDiffInfo alone_info;
    InStream a(alone);
    ASSERT_TRUE(getSingleCompressedDiffInfo(&alone_info, a.get(), 0));
    EXPECT_EQ(info.diff_data_pos, alone_info.diff_data_pos); /* still relative */
    Result r = apply(old_data, diff, new_data.size(), 1 << 16, 700);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out, new_data);
}

struct CoversWatcher {
    sspatch_TCoversListener base;
    std::vector<uint64_t> resets;
    std::vector<Bytes> buffers;
    bool ended = false;
    CoversWatcher() {
        base.owner = this;
        base.on_step_covers_reset = [](sspatch_TCoversListener* l, uint64_t left) {
            static_cast<CoversWatcher*>(l->owner)->resets.push_back(left);
        };
        base.on_step_covers = [](sspatch_TCoversListener* l, const unsigned char* b, const unsigned char* e) {
            CoversWatcher* self = static_cast<CoversWatcher*>(l->owner);
            if (!b) self->ended = true;
            else self->buffers.emplace_back(b, e);
        };
    }
};

TEST(SinglePatch, CoversListenerSeesEveryStep) {
    Bytes old_data = sampleData(1000, 9);
    std::vector<mirv_TCover> covers;
    Bytes new_data = derivedNew(old_data, 7, 20, 10, &covers); /* 7 covers + tail = 8 */
    Bytes diff = singleDiff(old_data, new_data, covers, 3);
    InStream old(old_data), d(diff);
    OutStream out(new_data.size());
    Listener l(1 << 16);
    CoversWatcher w;
    ASSERT_TRUE(patch_single_stream(&l.base, out.get(), old.get(), d.get(), 0, &w.base));
    EXPECT_EQ(w.resets, (std::vector<uint64_t>{8, 5, 2, 0}));
    ASSERT_EQ(w.buffers.size(), 3u);
    EXPECT_TRUE(w.ended);
    /* the buffers decode to the covers, bases running on across steps */
    sspatch_covers_t reader;
    sspatch_covers_init(&reader);
    size_t n = 0;
    for (const Bytes& b : w.buffers) {
        sspatch_covers_setCoversCache(&reader, b.data(), b.data() + b.size());
        while (sspatch_covers_isHaveNextCover(&reader)) {
            ASSERT_TRUE(sspatch_covers_nextCover(&reader));
            if (n < covers.size()) {
                EXPECT_EQ(reader.cover.old_pos, covers[n].old_pos);
                EXPECT_EQ(reader.cover.new_pos, covers[n].new_pos);
            }
            ++n;
        }
    }
    EXPECT_EQ(n, 8u);
}

TEST(SinglePatch, CoversReaderRefusesWrappingNewPositionsOldOnesStepModulo) {
    struct Case {
        const char* name;
        mirv_TCover current;
        Bytes bytes;
        bool ok;
    } cases[] = {
        {"old end wraps", {UINT64_MAX, 0, 1}, cover(0, 0, 0, 1), true},
        {"new end wraps", {0, UINT64_MAX, 1}, cover(0, 0, 0, 1), false},
        {"delta below 0", {0, 0, 5}, cover(5, 0, 0, 1, 1), true},
        {"delta below 0 by one", {0, 0, 5}, cover(6, 6, 0, 1, 1), true},
        {"gap wraps", {0, UINT64_MAX - 3, 2}, cover(0, 0, 2, 1), false},
        {"cut short", {0, 0, 0}, {0x80}, false},
    };
    for (const Case& c : cases) {
        sspatch_covers_t reader;
        sspatch_covers_init(&reader);
        reader.cover = c.current;
        sspatch_covers_setCoversCache(&reader, c.bytes.data(), c.bytes.data() + c.bytes.size());
        EXPECT_EQ(sspatch_covers_nextCover(&reader) != 0, c.ok) << c.name;
    }
}

TEST(SingleStepCache, SizingThresholds) {
    const size_t reserve = mirvp_kStepCacheReserveWithOutCache, step = 4096;
    const size_t least = step + reserve + mirvp_kStepCacheMinMem;
    EXPECT_EQ(mirvp_step_cache_size(step, reserve, least - 1), 0u);
    size_t at_least = mirvp_step_cache_size(step, reserve, least);
    EXPECT_EQ(at_least, least - step - reserve - 8);
    /* large memories keep a growing share back for the patch */
    size_t big = (size_t)64 << 20;
    size_t used = mirvp_step_cache_size(step, reserve, big);
    EXPECT_GT(used, big / 2);
    EXPECT_LT(used, big - step - reserve - 8);
    EXPECT_EQ(mirvp_step_cache_size(UINT64_MAX, reserve, big), 0u);
    EXPECT_EQ(mirvp_step_cache_size(step, SIZE_MAX - 10, big), 0u);
}

TEST(SingleStepCache, SameBytesWithAndWithoutAndFewerOldReads) {
    /* old data larger than any memory below, so it is never taken whole */
    Bytes old_data = sampleData(6 << 20, 11);
    std::vector<mirv_TCover> covers;
    Bytes new_data = derivedNew(old_data, 3000, 300, 12, &covers);
    uint64_t step_mem = 0;
    Bytes diff = singleDiff(old_data, new_data, covers, 700, 0, &step_mem);
    struct Case {
        const char* name;
        size_t mem;
        bool cached;
    } cases[] = {
        {"least memory", size_t(mirv_SINGLE_STREAM_PATCH_MEM_SIZE(step_mem)), false},
        /* the step cache is offered the memory after the step buffers */
        {"just below the step cache", size_t(2 * step_mem + 196608 + 0x340000 - 1), false},
        {"just at the step cache", size_t(2 * step_mem + 196608 + 0x340000), true},
        {"5 MiB", size_t(5 << 20), true},
    };
    for (const Case& c : cases) {
        Result r = apply(old_data, diff, new_data.size(), c.mem);
        ASSERT_TRUE(r.ok) << c.name;
        ASSERT_EQ(r.out, new_data) << c.name;
        if (c.cached) EXPECT_LT(r.old_reads, covers.size() / 4) << c.name;
        else EXPECT_GE(r.old_reads, covers.size()) << c.name;
    }
    /* the old data whole: one read */
    Result whole = apply(old_data, diff, new_data.size(), old_data.size() + mirv_SINGLE_STREAM_PATCH_MEM_SIZE(step_mem) + 40);
    ASSERT_TRUE(whole.ok);
    EXPECT_EQ(whole.out, new_data);
    EXPECT_EQ(whole.old_reads, 1u);
}

TEST(SingleStepCache, FailedOldReadFailsThePatch) {
    Bytes old_data = sampleData(5 << 20, 13);
    std::vector<mirv_TCover> covers;
    Bytes new_data = derivedNew(old_data, 200, 100, 14, &covers);
    Bytes diff = singleDiff(old_data, new_data, covers, 50);
    for (long fail_at : {0L, 1L, 5L}) {
        InStream old(old_data), d(diff);
        old.fail_at = fail_at;
        OutStream out(new_data.size());
        Listener l(4 << 20);
        EXPECT_FALSE(patch_single_stream(&l.base, out.get(), old.get(), d.get(), 0, nullptr)) << fail_at;
        EXPECT_EQ(l.finishes, 1);
    }
}

TEST(SingleWriter, DiffWriterOutputThroughEveryPlugin) {
    Bytes old_data = sampleData(70000, 15);
    std::vector<mirv_TCover> unused;
    Bytes new_data = derivedNew(old_data, 300, 200, 16, &unused);
    for (int compress : {vkd_COMPRESS_NONE, vkd_COMPRESS_ZLIB, vkd_COMPRESS_ZSTD, vkd_COMPRESS_VEKKO}) {
        for (uint64_t step_mem : {64u, 4096u}) {
            vkd_TDiffOptions o;
            vkd_default_options(&o);
            o.format = vkd_FORMAT_SINGLE;
            o.compress = compress;
            o.step_mem_size = step_mem;
            o.min_cover_gain = 20;
            o.vekko_dict_size = 1 << 16;
            std::vector<unsigned char> diff = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(),
                                                               new_data.size(), o);
            InStream d(diff);
            mirv_singleCompressedDiffInfo info;
            ASSERT_TRUE(getSingleCompressedDiffInfo(&info, d.get(), 0));
            for (size_t mem : {size_t(mirv_SINGLE_STREAM_PATCH_MEM_SIZE(info.step_mem_size)), size_t(1 << 20)}) {
                Result r = apply(old_data, diff, new_data.size(), mem);
                ASSERT_TRUE(r.ok) << compress << " " << step_mem << " " << mem;
                EXPECT_EQ(r.out, new_data);
            }
        }
    }
}

TEST(SinglePatch, WithoutOutputCacheWritesStraight) {
    Bytes old_data = sampleData(2000, 17);
    std::vector<mirv_TCover> covers;
    Bytes new_data = derivedNew(old_data, 10, 40, 18, &covers);
    uint64_t step_mem = 0;
    Bytes diff = singleDiff(old_data, new_data, covers, 3, 0, &step_mem);
    InStream d(diff);
    mirv_singleCompressedDiffInfo info;
    ASSERT_TRUE(getSingleCompressedDiffInfo(&info, d.get(), 0));
    uint64_t body_begin = info.diff_data_pos;
    for (size_t mem : {size_t(step_mem + 8192), size_t(step_mem + 8191)}) {
        InStream old(old_data), body(diff);
        OutStream out(new_data.size());
        std::vector<unsigned char> cache(mem);
        bool ok = patch_single_stream_diff(out.get(), old.get(), body.get(), body_begin, diff.size(), info.cover_count,
                                           step_mem, cache.data(), cache.data() + cache.size(), nullptr, 0) != 0;
        EXPECT_EQ(ok, mem == step_mem + 8192);
        if (ok) {
            EXPECT_EQ(out.data, new_data);
            EXPECT_GT(out.writes, covers.size()); /* no cache gathered the pieces */
        }
    }
}

}  // namespace

/* Window patch: every window slide checked by the old reads it makes, every result code from
 * a diff or a listener made for it, both checksum plug-ins, and diffs from the diff writer. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "patch_step.h"
#include "test_single_builders.h"
#include "vko_diff.h"

using namespace single_test;
using patch_test::InStream;
using patch_test::OutStream;

namespace {

struct WindowStep {
    uint64_t pos, length;             /* the old-data window */
    std::vector<mirv_TCover> covers;  /* whole-data positions */
    uint64_t new_begin;               /* first new byte the step produces */
};

struct WindowOptions {
    uint64_t ring = 2;
    int checksum = vkd_CHECKSUM_NONE;
    int compress = vkd_COMPRESS_NONE;
    Bytes skip;
    size_t per_step = 3;
    size_t padding = 0;  /* leading zero groups before every head number: valid, if not the shortest form */
    Bytes head_extra;    /* bytes between the head's items and its checksums, which readers ignore */
};

/* value as a packed uint (k = 0) with `padding` more bytes than it needs. */
void packPadded(Bytes& out, uint64_t value, size_t padding) {
    size_t size = mirv_packUIntWithTag_size(value, 0) + padding;
    for (size_t i = 0; i < size; ++i) {
        unsigned char group = (unsigned char)(7 * (size - 1 - i) < 64 ? (value >> (7 * (size - 1 - i))) & 0x7F : 0);
        out.push_back((unsigned char)(group | (i + 1 < size ? 0x80 : 0)));
    }
}

const char* checksumName(int kind) { return kind == vkd_CHECKSUM_CRC32 ? "crc32" : kind == vkd_CHECKSUM_XXH64 ? "xxh64" : ""; }

Bytes windowDiff(const Bytes& old_data, const Bytes& new_data, const std::vector<WindowStep>& steps,
                 const WindowOptions& o, uint64_t* out_step_mem = nullptr) {
    Bytes body = o.skip;
    uint64_t step_mem = 0, described = 0, last_end = 0, max_covers = 0, window = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (i % (o.ring / 2) == 0 && described < steps.size()) {
            uint64_t block = std::min<uint64_t>(i == 0 ? o.ring : o.ring / 2, steps.size() - described);
            for (uint64_t k = 0; k < block; ++k, ++described) {
                packU(body, steps[described].length);
                packDelta(body, last_end, steps[described].pos);
                last_end = steps[described].pos + steps[described].length;
            }
        }
        const WindowStep& w = steps[i];
        packU(body, w.covers.size());
        max_covers = std::max<uint64_t>(max_covers, w.covers.size());
        window = std::max(window, w.length);
        patch_test::append(body, stepsBody(old_data, new_data, w.covers, o.per_step, &step_mem, w.pos, w.new_begin));
    }
    Bytes packed;
    bool compressed = o.compress && vkd::detail::compress_bytes(o.compress, -1, 1 << 16, body, packed);
    const Bytes& stored = compressed ? packed : body;
    size_t cs = vkd::detail::Checksum::size_of(o.checksum);
    Bytes head;
    patch_test::appendText(head, compressed ? vkd::compress_type_name(o.compress) : "");
    head.push_back('&');
    patch_test::appendText(head, checksumName(o.checksum));
    head.push_back(0);
    for (uint64_t v : {uint64_t(compressed ? packed.size() : 0), uint64_t(body.size()), uint64_t(new_data.size()),
                       uint64_t(old_data.size()), uint64_t(0), uint64_t(steps.size()), o.ring, step_mem, max_covers,
                       window, uint64_t(cs), uint64_t(o.skip.size())})
        packPadded(head, v, o.padding);
    patch_test::append(head, o.head_extra);
    Bytes out = {'Q', 'O', 'R', 'V', 'N', 'W', '2', '6'};
    uint64_t length = head.size() + 3 * cs;
    out.push_back((unsigned char)length);
    out.push_back((unsigned char)(length >> 8));
    patch_test::append(out, head);
    if (cs) {
        vkd::detail::Checksum old_sum(o.checksum), new_sum(o.checksum), diff_sum(o.checksum);
        for (const WindowStep& w : steps) old_sum.append(old_data.data() + w.pos, w.length);
        new_sum.append(new_data.data(), new_data.size());
        patch_test::append(out, old_sum.finish());
        patch_test::append(out, new_sum.finish());
        diff_sum.append(stored.data(), stored.size());
        diff_sum.append(out.data(), out.size());
        patch_test::append(out, diff_sum.finish());
    }
    patch_test::append(out, stored);
    if (out_step_mem) *out_step_mem = step_mem;
    return out;
}

/* A checksum plug-in that can't open handles. */
mirv_TChecksum failingChecksum() {
    mirv_TChecksum c = *mirv_checksum_plugin("xxh64");
    c.open = [](mirv_TChecksum*) -> void* { return nullptr; };
    return c;
}

struct WindowListener {
    mirv_TWindowPatchListener base;
    std::vector<unsigned char> memory;
    size_t mem_size;
    bool refuse = false;
    int check_new = -1, check_old = -1, check_diff = -1; /* -1: leave the preset */
    mirv_TChecksum* checksum_override = nullptr;
    bool no_checksum = false, no_plugin = false;
    int finishes = 0;
    mirv_windowDiffInfo info{};

    explicit WindowListener(size_t size = 1 << 20) : memory(size), mem_size(size) {
        base.owner = this;
        base.on_diff_info = &WindowListener::onInfo;
        base.on_patch_finish = [](mirv_TWindowPatchListener* l, unsigned char*, unsigned char*) {
            ++static_cast<WindowListener*>(l->owner)->finishes;
        };
    }
    static mirv_BOOL onInfo(mirv_TWindowPatchListener* l, const mirv_windowDiffInfo* info, mirv_TDecompress** plugin,
                            mirv_TChecksum** checksum, mirv_BOOL* check_new, mirv_BOOL* check_old,
                            mirv_BOOL* check_diff, unsigned char** cache, unsigned char** cache_end) {
        WindowListener* self = static_cast<WindowListener*>(l->owner);
        self->info = *info;
        if (self->refuse) return 0;
        if (!self->no_plugin && info->compressed_size) *plugin = mirv_decompress_plugin(info->compress_type);
        if (!self->no_checksum)
            *checksum = self->checksum_override ? self->checksum_override : mirv_checksum_plugin(info->checksum_type);
        if (self->check_new >= 0) *check_new = self->check_new;
        if (self->check_old >= 0) *check_old = self->check_old;
        if (self->check_diff >= 0) *check_diff = self->check_diff;
        *cache = self->memory.data();
        *cache_end = self->memory.data() + std::min(self->mem_size, self->memory.size());
        return 1;
    }
};

struct WindowRun {
    int result;
    Bytes out;
    std::vector<std::pair<uint64_t, uint64_t>> old_reads;
};

WindowRun run(WindowListener& l, const Bytes& old_data, const Bytes& diff, size_t out_size, bool sequential = true,
              mirv_windowDiffInfo* caller_info = nullptr) {
    InStream old(old_data), positioned(diff);
    SequentialStream seq(diff);
    OutStream out(out_size);
    const mirv_TStreamInput* d = sequential ? &seq.stream : positioned.get();
    int result = caller_info ? patch_window_diff_with_info(caller_info, &l.base, out.get(), old.get(), d, 0)
                             : patch_window_diff(&l.base, out.get(), old.get(), d, 0);
    return WindowRun{result, out.data, old.reads};
}

/* New data built from the given windows: each step takes covers inside its window. */
Bytes stepsNew(const Bytes& old_data, std::vector<WindowStep>& steps, bool tail) {
    Bytes out;
    for (WindowStep& w : steps) {
        w.new_begin = out.size();
        w.covers.clear();
        if (w.length == 0) continue;
        uint64_t half = w.length / 2;
        for (uint64_t from : {w.pos, w.pos + half}) {
            uint64_t len = from == w.pos ? half : w.length - half;
            if (len == 0) continue;
            out.push_back('<');
            w.covers.push_back(mirv_TCover{from, out.size(), len});
            for (uint64_t j = 0; j < len; ++j) out.push_back((unsigned char)(old_data[from + j] + (j % 7 == 3)));
        }
    }
    if (tail) {
        out.push_back('$');
        steps.back().covers.push_back(mirv_TCover{0, out.size(), 0});
    }
    return out;
}

/* The default build slides each window over the one before and reads only the bytes it lacks;
 * the size build reads every window whole, for less code. */
TEST(WindowPatch, EverySlideReadsOnlyWhatItLacks) {
    Bytes old_data = sampleData(10000, 21);
    std::vector<WindowStep> steps = {
        {1000, 1000, {}, 0}, /* first: read whole */
        {1200, 300, {}, 0},  /* inside: nothing */
        {1400, 600, {}, 0},  /* starts inside, reaches beyond: [1500, 2000) */
        {1000, 1500, {}, 0}, /* starts before and reaches beyond: [1000, 1400) and [2000, 2500) */
        {900, 300, {}, 0},   /* starts before, ends inside: [900, 1000) */
        {1100, 1300, {}, 0}, /* starts inside, fits after the shared bytes: [1200, 2400) */
        {1150, 1500, {}, 0}, /* starts inside, shared bytes must move to make room: [2400, 2650) */
        {5000, 100, {}, 0},  /* disjoint: whole */
        {5050, 0, {}, 0},    /* empty: nothing */
        {5000, 100, {}, 0},  /* after an empty window: whole */
    };
    Bytes new_data = stepsNew(old_data, steps, true);
    std::vector<std::pair<uint64_t, uint64_t>> expect = {{1000, 1000}, {1500, 500}, {1000, 400}, {2000, 500},
                                                         {900, 100},   {1200, 1200}, {2400, 250},
                                                         {5000, 100},  {5000, 100}};
    if (mirv_kMaxWindowHeadSize < 1000) { /* the size build */
        expect.clear();
        for (const WindowStep& s : steps)
            if (s.length) expect.push_back({s.pos, s.length});
    }
    for (uint64_t ring : {2u, 4u, 64u}) {
        for (int checksum : {vkd_CHECKSUM_CRC32, vkd_CHECKSUM_XXH64}) {
            WindowOptions o;
            o.ring = ring;
            o.checksum = checksum;
            Bytes diff = windowDiff(old_data, new_data, steps, o);
            WindowListener l;
            l.check_old = l.check_diff = 1;
            WindowRun r = run(l, old_data, diff, new_data.size());
            ASSERT_EQ(r.result, mirv_kWindowPatchOk) << ring << " " << checksum;
            EXPECT_EQ(r.out, new_data);
            EXPECT_EQ(r.old_reads, expect);
            EXPECT_EQ(l.finishes, 1);
        }
    }
}

TEST(WindowPatch, EveryResultCode) {
    Bytes old_data = sampleData(6000, 22);
    std::vector<WindowStep> steps = {{100, 800, {}, 0}, {700, 500, {}, 0}, {5000, 1000, {}, 0}, {2000, 50, {}, 0}};
    Bytes new_data = stepsNew(old_data, steps, true);
    WindowOptions o;
    o.checksum = vkd_CHECKSUM_XXH64;
    uint64_t step_mem = 0;
    Bytes diff = windowDiff(old_data, new_data, steps, o, &step_mem);
    InStream d(diff);
    mirv_windowDiffInfo info;
    ASSERT_TRUE(getWindowDiffInfo(&info, d.get(), 0));
#if defined(MIRV_PATCH_SMALL)
    const size_t least = mirv_WINDOW_PATCH_SMALL_MEM_SIZE(1000, step_mem, info.ring_size);
#else
    const size_t least = mirv_WINDOW_PATCH_MEM_SIZE(1000, step_mem);
#endif

    Bytes bad_signature = diff;
    bad_signature[3] ^= 1;
    Bytes cut(diff.begin(), diff.end() - 1);
    Bytes bad_new_sum = diff, bad_diff_sum = diff;
    bad_new_sum[info.checksums_begin + 8] ^= 0x40;
    bad_diff_sum[info.checksums_begin + 16] ^= 0x40;
    /* the first step's cover count (after two descriptors of 2 + 2 bytes each) made
     * larger than a step may hold */
    auto badCount = [](Bytes d) {
        InStream s(d);
        mirv_windowDiffInfo i;
        if (!getWindowDiffInfo(&i, s.get(), 0)) throw std::runtime_error("head");
        d[i.head_size + 8] = 0x7F;
        return d;
    };
    Bytes bad_body = badCount(diff);
    Bytes old_altered = old_data, old_short(old_data.begin(), old_data.begin() + 5500);
    old_altered[5500] ^= 1;
    mirv_TChecksum no_open = failingChecksum();
    Bytes plain_bad = badCount(windowDiff(old_data, new_data, steps, WindowOptions()));

    struct Case {
        const char* name;
        const Bytes* diff;
        const Bytes* old;
        size_t out_size;
        std::function<void(WindowListener&)> setup;
        int result;
        int finishes;
    } cases[] = {
        {"0 produced and verified", &diff, &old_data, new_data.size(), [](WindowListener&) {}, 0, 1},
        {"0 least memory, all checks", &diff, &old_data, new_data.size(),
         [&](WindowListener& l) { l.mem_size = least; l.check_old = l.check_diff = 1; }, 0, 1},
        {"0 checks off need no plug-in", &bad_new_sum, &old_data, new_data.size(),
         [](WindowListener& l) { l.check_new = 0; l.no_checksum = true; }, 0, 1},
        {"1 bad signature", &bad_signature, &old_data, new_data.size(), [](WindowListener&) {}, 1, 0},
        {"2 output too small", &diff, &old_data, new_data.size() - 1, [](WindowListener&) {}, 2, 0},
        {"3 old shorter than the head says", &diff, &old_short, new_data.size(), [](WindowListener&) {}, 3, 1},
        {"4 listener refuses", &diff, &old_data, new_data.size(), [](WindowListener& l) { l.refuse = true; }, 4, 0},
        {"5 one byte short of memory", &diff, &old_data, new_data.size(),
         [&](WindowListener& l) { l.mem_size = least - 1; }, 5, 1},
        {"5 no memory", &diff, &old_data, new_data.size(), [](WindowListener& l) { l.mem_size = 0; }, 5, 1},
        {"11 diff cut short, new checked", &cut, &old_data, new_data.size(), [](WindowListener&) {}, 11, 1},
        {"7 diff cut short, checks off", &cut, &old_data, new_data.size(), [](WindowListener& l) { l.check_new = 0; },
         7, 1},
        {"7 bad body without checksums", &plain_bad, &old_data, new_data.size(), [](WindowListener&) {}, 7, 1},
        {"7 bad body with checks off", &bad_body, &old_data, new_data.size(),
         [](WindowListener& l) { l.check_new = 0; }, 7, 1},
        {"8 no checksum plug-in", &diff, &old_data, new_data.size(), [](WindowListener& l) { l.no_checksum = true; }, 8,
         1},
        {"8 plug-in of another size", &diff, &old_data, new_data.size(),
         [](WindowListener& l) { l.checksum_override = mirv_checksum_plugin("crc32"); }, 8, 1},
        {"9 checksum open fails", &diff, &old_data, new_data.size(),
         [&](WindowListener& l) { l.checksum_override = &no_open; }, 9, 1},
        {"10 old data altered", &diff, &old_altered, new_data.size(), [](WindowListener& l) { l.check_old = 1; }, 10, 1},
        {"11 old data altered, old not checked", &diff, &old_altered, new_data.size(), [](WindowListener&) {}, 11, 1},
        {"11 new checksum differs", &bad_new_sum, &old_data, new_data.size(), [](WindowListener&) {}, 11, 1},
        {"11 bad body, new checked", &bad_body, &old_data, new_data.size(), [](WindowListener&) {}, 11, 1},
        {"0 verified new data settles it, diff checksum unread", &bad_diff_sum, &old_data, new_data.size(),
         [](WindowListener& l) { l.check_diff = 1; }, 0, 1},
        {"12 diff checksum differs", &bad_diff_sum, &old_data, new_data.size(),
         [](WindowListener& l) { l.check_new = 0; l.check_diff = 1; }, 12, 1},
        {"12 bad body, diff checked", &bad_body, &old_data, new_data.size(),
         [](WindowListener& l) { l.check_diff = 1; }, 12, 1},
    };
    for (const Case& c : cases) {
        WindowListener l;
        c.setup(l);
        WindowRun r = run(l, *c.old, *c.diff, c.out_size);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(l.finishes, c.finishes) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(r.out, new_data) << c.name;
        }
    }
}

/* The head is parsed without a buffer and rebuilt in the work memory for the checksums: the
 * diff checksum (over the head's bytes) proves the rebuild exact, padded numbers and ignored
 * head bytes included, while the diff is still read strictly front to back. */
TEST(WindowPatch, HeadRebuiltExactlyForTheDiffChecksum) {
    Bytes old_data = sampleData(4000, 24);
    std::vector<WindowStep> steps = {{0, 1500, {}, 0}, {1000, 2000, {}, 0}, {3500, 500, {}, 0}};
    Bytes new_data = stepsNew(old_data, steps, true);
    /* the size build keeps heads of up to 128 bytes */
    const bool small = mirv_kMaxWindowHeadSize < 1000;
    for (size_t padding : {0, 1, small ? 2 : 8})
        for (size_t extra : {0, small ? 20 : 300})
            for (bool caller_info : {false, true}) {
                WindowOptions o;
                o.checksum = vkd_CHECKSUM_CRC32;
                o.padding = padding;
                o.head_extra = Bytes(extra, 0xEE);
                Bytes diff = windowDiff(old_data, new_data, steps, o);
                WindowListener l;
                l.check_new = 0;
                l.check_old = l.check_diff = 1;
                mirv_windowDiffInfo info{};
                WindowRun r = run(l, old_data, diff, new_data.size(), true, caller_info ? &info : nullptr);
                ASSERT_EQ(r.result, mirv_kWindowPatchOk) << padding << " " << extra << " " << caller_info;
                EXPECT_EQ(r.out, new_data);
                if (caller_info) {
                    EXPECT_EQ(0, memcmp(&info, &l.info, sizeof(info))) << "the caller's record is the head";
                }
                diff[diff.size() - 1] ^= 1; /* and a damaged diff is still caught */
                EXPECT_EQ(run(l, old_data, diff, new_data.size()).result, mirv_kWindowPatchDiffChecksumError);
            }
    /* a number longer than any reader takes (12 bytes) is a bad head */
    WindowOptions o;
    o.padding = 11;
    WindowListener l;
    EXPECT_EQ(run(l, old_data, windowDiff(old_data, new_data, steps, o), new_data.size()).result,
              mirv_kWindowPatchHeadError);
}

TEST(WindowPatch, HostileBodies) {
    Bytes old_data = sampleData(3000, 23);
    /* a body made by hand: ring 2, one window, one step of one cover */
    auto diffWith = [&](const Bytes& body, uint64_t count, uint64_t window, uint64_t max_covers, uint64_t new_size,
                        uint64_t skip) {
        Bytes head = {'&', 0};
        for (uint64_t v : {uint64_t(0), uint64_t(body.size()), new_size, uint64_t(old_data.size()), uint64_t(0), count,
                           uint64_t(2), uint64_t(64), max_covers, window, uint64_t(0), skip})
            packU(head, v);
        Bytes d = {'Q', 'O', 'R', 'V', 'N', 'W', '2', '6', (unsigned char)head.size(), 0};
        patch_test::append(d, head);
        patch_test::append(d, body);
        return d;
    };
    auto window = [](uint64_t length, uint64_t from, uint64_t to) {
        Bytes b;
        packU(b, length);
        packDelta(b, from, to);
        return b;
    };
    Bytes one_cover = {1, 3, 1, 0, 0, 4, 4}; /* count 1; sizes 3 and 1; cover (0, 0, 4); skip 4 */
    struct Case {
        const char* name;
        Bytes diff;
        size_t new_size;
        int result;
    } cases[] = {
        {"no windows, nothing new", diffWith({}, 0, 0, 0, 0, 0), 0, 0},
        {"no windows, bytes left over", diffWith({7}, 0, 0, 0, 0, 0), 0, 7},
        {"skip block read and ignored", diffWith({9, 9, 9}, 0, 0, 0, 0, 3), 0, 0},
        {"skip block past the body", diffWith({9, 9}, 0, 0, 0, 0, 3), 0, 7},
        {"one window, one cover", diffWith(cat({window(4, 0, 10), one_cover}), 1, 4, 1, 4, 0), 4, 0},
        {"window longer than the window size", diffWith(cat({window(5, 0, 10), one_cover}), 1, 4, 1, 4, 0), 4, 7},
        {"window past the old data", diffWith(cat({window(4, 0, 2997), one_cover}), 1, 4, 1, 4, 0), 4, 7},
        {"window near 2^64", diffWith(cat({window(4, 0, UINT64_MAX - 2), one_cover}), 1, 4, 1, 4, 0), 4, 7},
        {"more covers than a step may hold", diffWith(cat({window(4, 0, 10), one_cover}), 1, 4, 0, 4, 0), 4, 7},
        {"cover past its window", diffWith(cat({window(3, 0, 10), one_cover}), 1, 4, 1, 4, 0), 4, 7},
        /* the size build refuses a head number of 32 bits or more as a bad head */
        {"huge window count", diffWith(cat({window(4, 0, 10), one_cover}), UINT64_MAX, 4, 1, 4, 0), 4,
         sizeof(mirv_TWindowSize) == 4 ? 1 : 7},
        {"window count of 2^32 - 1", diffWith(cat({window(4, 0, 10), one_cover}), 0xFFFFFFFFu, 4, 1, 4, 0), 4,
         sizeof(mirv_TWindowSize) == 4 ? 1 : 7},
        {"window 2^32 past the last one", diffWith(cat({window(4, 0, 10 + (uint64_t(1) << 32)), one_cover}), 1, 4, 1, 4, 0),
         4, 7},
        {"window 2^64 - 2^32 past the last one, wrapping to before it",
         diffWith(cat({window(4, 0, 10 - (uint64_t(1) << 32)), one_cover}), 1, 4, 1, 4, 0), 4, 7},
    };
    for (const Case& c : cases) {
        WindowListener l(1 << 16);
        WindowRun r = run(l, old_data, c.diff, c.new_size);
        EXPECT_EQ(r.result, c.result) << c.name;
        if (c.result == 0 && c.new_size == 4) {
            EXPECT_EQ(r.out, Bytes(old_data.begin() + 10, old_data.begin() + 14)) << c.name;
        }
    }
}

TEST(WindowPatch, EmptyBodyWithEveryCheck) {
    /* nothing is read through the body: the diff checksum must still start at the body */
    Bytes old_data = sampleData(100, 27), new_data;
    for (int checksum : {vkd_CHECKSUM_CRC32, vkd_CHECKSUM_XXH64}) {
        WindowOptions o;
        o.checksum = checksum;
        Bytes diff = windowDiff(old_data, new_data, {}, o);
        WindowListener l(1 << 16);
        l.check_old = l.check_diff = 1;
        EXPECT_EQ(run(l, old_data, diff, 0).result, mirv_kWindowPatchOk) << checksum;
        diff.push_back(0); /* a byte after the body belongs to no window */
        WindowListener l2(1 << 16);
        l2.check_new = 0;
        l2.check_diff = 1;
        EXPECT_EQ(run(l2, old_data, diff, 0).result, mirv_kWindowPatchDiffChecksumError) << checksum;
    }
}

TEST(WindowPatch, OutputLargerThanTheNewData) {
    Bytes old_data = sampleData(4000, 24);
    std::vector<WindowStep> steps = {{0, 1000, {}, 0}, {3000, 1000, {}, 0}};
    Bytes new_data = stepsNew(old_data, steps, false);
    WindowOptions o;
    o.compress = vkd_COMPRESS_ZLIB;
    o.skip = {1, 2, 3, 4, 5};
    Bytes diff = windowDiff(old_data, new_data, steps, o);
    WindowListener l;
    WindowRun r = run(l, old_data, diff, new_data.size() + 50);
    ASSERT_EQ(r.result, 0);
    EXPECT_TRUE(std::equal(new_data.begin(), new_data.end(), r.out.begin()));
    EXPECT_EQ(Bytes(r.out.begin() + new_data.size(), r.out.end()), Bytes(50, 0));
}

TEST(WindowPatch, DiffWriterOutputThroughEveryPlugin) {
    Bytes old_data = sampleData(60000, 25);
    std::vector<mirv_TCover> unused;
    Bytes new_data = derivedNew(old_data, 250, 200, 26, &unused);
    for (int compress : {vkd_COMPRESS_NONE, vkd_COMPRESS_ZLIB, vkd_COMPRESS_ZSTD, vkd_COMPRESS_VEKKO}) {
        for (int checksum : {vkd_CHECKSUM_NONE, vkd_CHECKSUM_CRC32, vkd_CHECKSUM_XXH64}) {
            for (uint64_t window : {512u, 16384u}) {
                vkd_TDiffOptions o;
                vkd_default_options(&o);
                o.format = vkd_FORMAT_WINDOW;
                o.compress = compress;
                o.checksum = checksum;
                o.window_size = window;
                o.ring_size = window == 512 ? 2 : 8;
                o.step_mem_size = 1024;
                o.min_cover_gain = 20;
                o.vekko_dict_size = 1 << 16;
                std::vector<unsigned char> diff = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(),
                                                                   new_data.size(), o);
                InStream d(diff);
                mirv_windowDiffInfo info;
                ASSERT_TRUE(getWindowDiffInfo(&info, d.get(), 0));
                for (size_t mem : {size_t(mirv_WINDOW_PATCH_MEM_SIZE(info.window_size, info.step_mem_size)), size_t(4 << 20)}) {
                    WindowListener l(mem);
                    l.check_old = l.check_diff = 1;
                    WindowRun r = run(l, old_data, diff, new_data.size());
                    ASSERT_EQ(r.result, 0) << compress << " " << checksum << " " << window << " " << mem;
                    EXPECT_EQ(r.out, new_data);
                }
            }
        }
    }
}

/* Old positions step modulo 2^64, so any step may be written the long way round: the
 * in-memory, streamed, single-stream and window patches take the same diffs alike. */
TEST(LongWayDeltas, EveryEntryPointTakesThem) {
    const Bytes old_data = sampleData(400, 5);
    const std::vector<std::vector<mirv_TCover>> cases = {
        {{300, 2, 50}, {0, 60, 40}, {390, 100, 10}, {120, 115, 80}},
        {{0, 0, 1}, {399, 1, 1}, {0, 5, 1}, {399, 9, 1}},
        {{5, 0, 395}},
    };
    for (const std::vector<mirv_TCover>& covers : cases) {
        Bytes new_data;
        for (const mirv_TCover& c : covers) {
            while (new_data.size() < c.new_pos) new_data.push_back((unsigned char)('a' + new_data.size() % 26));
            for (uint64_t j = 0; j < c.length; ++j) new_data.push_back((unsigned char)(old_data[c.old_pos + j] + (j % 5 == 2)));
        }
        new_data.push_back('$');
        std::vector<WindowStep> steps = {{0, old_data.size(), withTail(covers, new_data.size()), 0}};
        for (bool long_way : {false, true}) {
            patch_test::longWayDeltas() = long_way;
            Bytes serialized = patch_test::serializedDiff(old_data, new_data, covers);
            Bytes single = singleDiff(old_data, new_data, covers), window = windowDiff(old_data, new_data, steps, {});
            patch_test::longWayDeltas() = false;

            Bytes out(new_data.size());
            EXPECT_TRUE(patch(out.data(), out.data() + out.size(), old_data.data(), old_data.data() + old_data.size(),
                              serialized.data(), serialized.data() + serialized.size())) << long_way;
            EXPECT_EQ(out, new_data);
            InStream old(old_data), diff(serialized);
            OutStream streamed(new_data.size());
            EXPECT_TRUE(patch_stream(streamed.get(), old.get(), diff.get())) << long_way;
            EXPECT_EQ(streamed.data, new_data);
            InStream old2(old_data), diff2(single);
            OutStream single_out(new_data.size());
            Listener sl(1 << 16);
            EXPECT_TRUE(patch_single_stream(&sl.base, single_out.get(), old2.get(), diff2.get(), 0, nullptr)) << long_way;
            EXPECT_EQ(single_out.data, new_data);
            WindowListener wl;
            WindowRun r = run(wl, old_data, window, new_data.size());
            EXPECT_EQ(r.result, mirv_kWindowPatchOk) << long_way;
            EXPECT_EQ(r.out, new_data);
        }
    }
}

TEST(WindowPatch, CacheSizingRule) {
    struct Case {
        uint64_t s1, s2, s3, s4, s5, expect;
    } cases[] = {
        {0, 1, 1, 100, 100, 0},
        {10, 5, 5, 29, 100, 0},                    /* s4 below t = 30 */
        {10, 5, 5, 30, 100, 20},                   /* s3 >= s4 - t */
        {10, 5, 5, 60, 100, 20 + (60 - 30 - 5) / 2},
        {10, 5, 5, 1000, 40, 40},                  /* capped at s5 */
        {UINT64_MAX, 0, 0, UINT64_MAX, 7, 7},      /* 2 * s1 would wrap */
        {1, UINT64_MAX, 5, UINT64_MAX, 9, 0},      /* t would wrap */
        {3, 0, 0, UINT64_MAX, UINT64_MAX, 6 + (UINT64_MAX - 6) / 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mirvp_window_cache_size(c.s1, c.s2, c.s3, c.s4, c.s5), c.expect)
            << c.s1 << " " << c.s4 << " " << c.s5;
}

}  // namespace

/* Messages: every window patch result has a text of its own (6 is no result). */
TEST(WindowPatch, EveryResultHasItsOwnText) {
    std::vector<std::string> texts;
    for (int r = mirv_kWindowPatchOk; r <= mirv_kWindowPatchDiffChecksumError; ++r) {
        const std::string text = mirv_window_patch_result_text(r);
        EXPECT_EQ(text == "unknown result", r == 6) << r;
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 0) << r << " " << text;
        texts.push_back(text);
    }
    EXPECT_STREQ(mirv_window_patch_result_text(-1), "unknown result");
}

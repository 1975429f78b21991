#include <gtest/gtest.h>

#include "patch_heads.h"
#include "patch_test_util.h"

using namespace patch_test;

namespace {

Bytes compressedHead(const std::string& sig, const std::string& type, const std::vector<uint64_t>& numbers) {
    Bytes d;
    appendText(d, sig);
    d.push_back('&');
    appendText(d, type);
    d.push_back(0);
    for (uint64_t n : numbers) packU(d, n);
    return d;
}

struct WindowHead {
    std::string compress_type = "zlib", checksum_type = "crc32";
    uint64_t compressed = 10, uncompressed = 20, new_size = 100, old_size = 50, reserved = 0, windows = 2,
             ring = 4, step_mem = 16, max_covers = 3, window = 50, checksum_size = 4, skip = 0;
    size_t padding = 0;

    Bytes bytes() const {
        Bytes h;
        appendText(h, compress_type);
        h.push_back('&');
        appendText(h, checksum_type);
        h.push_back(0);
        for (uint64_t n : {compressed, uncompressed, new_size, old_size, reserved, windows, ring, step_mem, max_covers,
                           window, checksum_size, skip})
            packU(h, n);
        h.insert(h.end(), padding, 0xCC);
        for (uint64_t i = 0; i < 3 * checksum_size && i < 1000; ++i) h.push_back((unsigned char)(0xA0 + i));
        Bytes d;
        appendText(d, "QORVNW26");
        d.push_back((unsigned char)(h.size() & 0xFF));
        d.push_back((unsigned char)(h.size() >> 8));
        append(d, h);
        return d;
    }
};

} // namespace

TEST(CompressedHead, ReportsSizesTypeAndCompressedCount) {
    struct Case {
        std::string sig, type;
        std::vector<uint64_t> sizes; /* eight section sizes */
        bool ok;
        int compressed_count;
    } cases[] = {
        {"QORVN13", "", {3, 0, 4, 0, 5, 0, 6, 0}, true, 0},
        {"QORVN13", "zstd", {3, 2, 4, 0, 5, 1, 6, 7}, true, 3},
        {"QORVN13", std::string(263, 'z'), {1, 1, 1, 1, 1, 1, 1, 1}, true, 4},
        {"QORVN13", std::string(264, 'z'), {1, 1, 1, 1, 1, 1, 1, 1}, false, 0},
        {"QORVN12", "", {3, 0, 4, 0, 5, 0, 6, 0}, false, 0},
        {"QORVN13", "", {3, 0, 4, 0, 5, 0, 6}, false, 0}, /* cut short */
        {"QORVN13", "", {UINT64_MAX - 2, 0, 4, 0, 5, 0, 6, 0}, false, 0}, /* covers end wraps */
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type.size());
        std::vector<uint64_t> numbers = {1000, 900, 7};
        numbers.insert(numbers.end(), c.sizes.begin(), c.sizes.end());
        InStream diff(compressedHead(c.sig, c.type, numbers));
        mirv_compressedDiffInfo info;
        ASSERT_EQ(getCompressedDiffInfo(&info, diff.get()), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(info.new_size, 1000u);
        EXPECT_EQ(info.old_size, 900u);
        EXPECT_EQ(info.compressed_count, c.compressed_count);
        EXPECT_EQ(std::string(info.compress_type), c.type);
        mirv_compressedDiffInfo again;
        TCompressedDiffHead head;
        ASSERT_TRUE(mirvp_read_compressed_head(&again, &head, diff.get()));
        EXPECT_EQ(head.head_end, diff.data.size());
        EXPECT_EQ(head.covers_end, head.head_end + (c.sizes[1] ? c.sizes[1] : c.sizes[0]));
        EXPECT_EQ(head.cover_count, 7u);
        EXPECT_EQ(head.new_diff_compressed_size, c.sizes[7]);
    }
}

TEST(SerializedHead, SectionsMustFitTheDiff) {
    for (int extra : {0, -1}) {
        Bytes d;
        for (uint64_t n : {2, 3, 4, 5, 6}) packU(d, n);
        d.resize(d.size() + 3 + 4 + 5 + 6 + extra);
        InStream diff(d);
        TSerializedDiffHead head;
        ASSERT_EQ(mirvp_read_serialized_head(&head, diff.get()), extra == 0);
        if (extra) continue;
        EXPECT_EQ(head.head_end, 5u);
        EXPECT_EQ(head.covers_end, 5u + 3 + 4 + 5);
        EXPECT_EQ(head.cover_count, 2u);
    }
    /* each size on its own beyond the diff, including sizes whose sum would wrap */
    for (int which = 0; which < 4; ++which) {
        Bytes d;
        for (int i = 0; i < 5; ++i) packU(d, i == 0 ? 1 : i - 1 == which ? UINT64_MAX - 3 : 1);
        d.resize(d.size() + 8);
        InStream diff(d);
        TSerializedDiffHead head;
        EXPECT_FALSE(mirvp_read_serialized_head(&head, diff.get()));
    }
}

TEST(SingleStreamHead, ChecksStepMemoryAndSizes) {
    const uint64_t slack = 4194304;
    struct Case {
        uint64_t new_size, step_mem, uncompressed, compressed;
        bool ok;
    } cases[] = {
        {100, 100 + slack, 200, 0, true},
        {100, 101 + slack, 200, 0, false},
        {500, 100 + slack, 100, 0, true},
        {500, 101 + slack, 100, 0, false},
        {100, 10, 50, 50, true},
        {100, 10, 50, 51, false},
        {UINT64_MAX, UINT64_MAX, UINT64_MAX, 0, true}, /* no wrap in the slack sum */
    };
    for (const Case& c : cases) {
        Bytes d = {0xEE, 0xEE, 0xEE}; /* the head starts at 3 */
        append(d, compressedHead("QORVNSF20", "zlib", {c.new_size, 77, 5, c.step_mem, c.uncompressed, c.compressed}));
        size_t body = d.size();
        InStream diff(d);
        mirv_singleCompressedDiffInfo info;
        ASSERT_EQ(getSingleCompressedDiffInfo(&info, diff.get(), 3), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(info.diff_data_pos, body - 3);
        EXPECT_EQ(info.old_size, 77u);
        EXPECT_EQ(info.cover_count, 5u);
        EXPECT_STREQ(info.compress_type, "zlib");
    }
    InStream wrong(compressedHead("QORVNSF21", "", {1, 1, 1, 1, 1, 0}));
    mirv_singleCompressedDiffInfo info;
    EXPECT_FALSE(getSingleCompressedDiffInfo(&info, wrong.get(), 0));
    EXPECT_FALSE(getSingleCompressedDiffInfo(&info, wrong.get(), wrong.data.size() + 1));
}

/* A zero byte inside a head's text would have the text reported cut short: every head refuses it. */
TEST(Heads, ZeroByteInsideATextIsAHeadError) {
    mirv_compressedDiffInfo compressed;
    mirv_singleCompressedDiffInfo single;
    mirv_windowDiffInfo window;
    InStream compressed_sig(compressedHead(std::string("QORVN13\0x", 9), "", {3, 0, 4, 0, 5, 0, 6, 0}));
    EXPECT_FALSE(getCompressedDiffInfo(&compressed, compressed_sig.get()));
    InStream single_sig(compressedHead(std::string("QORVNSF20\0x", 11), "", {1, 1, 1, 1, 1, 0}));
    EXPECT_FALSE(getSingleCompressedDiffInfo(&single, single_sig.get(), 0));
    WindowHead w;
    w.compress_type = std::string("zl\0ib", 5);
    InStream window_type(w.bytes());
    EXPECT_FALSE(getWindowDiffInfo(&window, window_type.get(), 0));
    EXPECT_EQ(patch_window_diff(nullptr, nullptr, nullptr, window_type.get(), 0), mirv_kWindowPatchHeadError);
}

TEST(WindowHead, ReportsItemsAndPositions) {
    WindowHead w;
    Bytes d = {1, 2};
    append(d, w.bytes());
    InStream diff(d);
    mirv_windowDiffInfo info;
    ASSERT_TRUE(getWindowDiffInfo(&info, diff.get(), 2));
    EXPECT_EQ(info.compressed_size, 10u);
    EXPECT_EQ(info.uncompressed_size, 20u);
    EXPECT_EQ(info.new_size, 100u);
    EXPECT_EQ(info.window_count, 2u);
    EXPECT_EQ(info.ring_size, 4u);
    EXPECT_EQ(info.max_step_covers, 3u);
    EXPECT_EQ(info.checksum_size, 4u);
    EXPECT_STREQ(info.compress_type, "zlib");
    EXPECT_STREQ(info.checksum_type, "crc32");
    EXPECT_EQ(info.compressed_size_end, 10u + 5 + 6 + 1);
    EXPECT_EQ(info.items_end, 10u + 5 + 6 + 12);
    EXPECT_EQ(info.head_size, d.size() - 2);
    EXPECT_EQ(info.checksums_begin, info.head_size - 12);
    EXPECT_EQ(d[2 + info.checksums_begin], 0xA0);
}

TEST(WindowHead, RefusesEveryFailedCheck) {
    static const size_t kName = mirv_kWindowTypeNameSize, kHead = mirv_kMaxWindowHeadSize;
    struct Case {
        const char* what;
        std::function<void(WindowHead&)> change;
        bool ok;
    } cases[] = {
        {"plain", [](WindowHead&) {}, true},
        {"checksum size without type", [](WindowHead& w) { w.checksum_type = ""; }, false},
        {"type without checksum size", [](WindowHead& w) { w.checksum_size = 0; }, false},
        {"no checksums", [](WindowHead& w) { w.checksum_type = ""; w.checksum_size = 0; }, true},
        {"ring 1", [](WindowHead& w) { w.ring = 1; }, false},
        {"ring 2", [](WindowHead& w) { w.ring = 2; }, true},
        {"ring 3", [](WindowHead& w) { w.ring = 3; }, false},
        {"ring 64", [](WindowHead& w) { w.ring = 64; }, true},
        {"ring 128", [](WindowHead& w) { w.ring = 128; }, false},
        {"window past old", [](WindowHead& w) { w.window = 51; }, false},
        {"window without count", [](WindowHead& w) { w.windows = 0; }, false},
        {"empty window, no count", [](WindowHead& w) { w.windows = 0; w.window = 0; }, true},
        {"compressed above uncompressed", [](WindowHead& w) { w.compressed = 21; }, false},
        {"step memory at new + 4 MiB", [](WindowHead& w) { w.uncompressed = 1000; w.step_mem = 100 + 4194304; }, true},
        {"step memory above new + 4 MiB", [](WindowHead& w) { w.uncompressed = 1000; w.step_mem = 101 + 4194304; }, false},
        {"step memory above body + 4 MiB", [](WindowHead& w) { w.new_size = 1000; w.step_mem = 21 + 4194304; }, false},
        {"checksums past the head", [](WindowHead& w) { w.checksum_size = 400; }, false},
        /* heads the length check allows, with long type names (the size build's limits are smaller) */
        {"longest names", [](WindowHead& w) { w.compress_type = std::string(kName - 1, 'c'); w.checksum_type = std::string(kName - 1, 'k'); }, true},
        {"name too long", [](WindowHead& w) { w.compress_type = std::string(kName, 'c'); }, false},
        {"longest head", [](WindowHead& w) { w.padding = kHead - 10 - 35; }, true},
        {"head one byte longer", [](WindowHead& w) { w.padding = kHead + 1 - 10 - 35; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WindowHead w;
        c.change(w);
        Bytes d = w.bytes();
        InStream diff(d);
        mirv_windowDiffInfo info;
        EXPECT_EQ(getWindowDiffInfo(&info, diff.get(), 0), c.ok);
        if (c.ok) {
            EXPECT_EQ(info.head_size, d.size());
        }
    }
    WindowHead w;
    Bytes d = w.bytes();
    d[7] = '7';
    InStream bad_sig(d);
    mirv_windowDiffInfo info;
    EXPECT_FALSE(getWindowDiffInfo(&info, bad_sig.get(), 0));
    Bytes cut = w.bytes();
    cut.pop_back();
    InStream short_head(cut);
    EXPECT_FALSE(getWindowDiffInfo(&info, short_head.get(), 0));
    EXPECT_FALSE(getWindowDiffInfo(&info, short_head.get(), UINT64_MAX - 4));
}

namespace {
std::vector<mirv_TCover> walk(mirv_TCovers* covers, bool* ok) {
    std::vector<mirv_TCover> got;
    *ok = true;
    while (covers->leaveCoverCount(covers)) {
        mirv_TCover c;
        if (!covers->read_cover(covers, &c)) {
            *ok = false;
            break;
        }
        got.push_back(c);
    }
    return got;
}
bool sameCovers(const std::vector<mirv_TCover>& a, const std::vector<mirv_TCover>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].old_pos != b[i].old_pos || a[i].new_pos != b[i].new_pos || a[i].length != b[i].length) return false;
    return true;
}
} // namespace

TEST(CoverLists, HandMadeSerializedListTakesTheOldBaseFromThePreviousStart) {
    /* covers (old 10, new 2, len 5) and (old 12, new 9, len 3): the second delta is +2 from 10 */
    Bytes d;
    for (uint64_t n : {2, 2, 2, 2, 0}) packU(d, n);
    append(d, {5, 3});          /* lengths */
    append(d, {2, 2});          /* gaps: 2 - 0, 9 - 7 */
    append(d, {0x0A, 0x02});    /* old deltas: +10, +2 */
    packU(d, 0);
    InStream diff(d);
    mirv_TCoverList list;
    ASSERT_TRUE(mirv_coverList_open_serializedDiff(&list, diff.get()));
    bool ok;
    auto got = walk(list.covers, &ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(sameCovers(got, {{10, 2, 5}, {12, 9, 3}}));
    EXPECT_TRUE(list.covers->is_finish(list.covers));
    mirv_TCover c;
    EXPECT_FALSE(list.covers->read_cover(list.covers, &c));
    EXPECT_TRUE(list.covers->close(list.covers));
}

TEST(CoverLists, HandMadeCompressedListAddsTheLength) {
    /* the same covers: the second delta is -3 from 10 + 5 */
    Bytes cover_data = {0x0A, 2, 5, 0x83, 2, 3};
    Bytes d;
    appendText(d, "QORVN13&");
    d.push_back(0);
    for (uint64_t n : {12, 15, 2}) packU(d, n);
    for (uint64_t n : {6, 0, 0, 0, 0, 0, 0, 0}) packU(d, n);
    append(d, cover_data);
    InStream diff(d);
    mirv_TCoverList list;
    ASSERT_TRUE(mirv_coverList_open_compressedDiff(&list, diff.get(), nullptr));
    bool ok;
    auto got = walk(list.covers, &ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(sameCovers(got, {{10, 2, 5}, {12, 9, 3}}));
    EXPECT_TRUE(list.covers->is_finish(list.covers));
    EXPECT_TRUE(list.covers->close(list.covers));
    EXPECT_TRUE(list.covers->close(list.covers));
}

TEST(CoverLists, BuiltListsWalkBackTheirCoversAndRefuseBadData) {
    Bytes old_data(3000), new_data(4000);
    for (size_t i = 0; i < old_data.size(); ++i) old_data[i] = (unsigned char)(i * 7);
    for (size_t i = 0; i < new_data.size(); ++i) new_data[i] = (unsigned char)(i * 13);
    std::vector<mirv_TCover> covers;
    for (uint64_t i = 0; i < 300; ++i) covers.push_back({(i * 997) % 2900, i * 13, 5 + i % 7});
    DiffParts parts = makeParts(old_data, new_data, covers);
    InStream ser(serializedDiff(parts, covers.size()));
    InStream cmp(compressedDiff("", new_data.size(), old_data.size(), parts, covers.size(), nullptr));
    for (int kind = 0; kind < 2; ++kind) {
        mirv_TCoverList list;
        ASSERT_TRUE(kind ? mirv_coverList_open_compressedDiff(&list, cmp.get(), nullptr)
                         : mirv_coverList_open_serializedDiff(&list, ser.get()));
        bool ok;
        EXPECT_TRUE(sameCovers(walk(list.covers, &ok), covers));
        EXPECT_TRUE(ok);
        EXPECT_TRUE(list.covers->is_finish(list.covers));
    }
    /* one cover more than the sections hold: the walk fails on the last */
    Bytes more = serializedDiff(parts, covers.size() + 1);
    InStream ser_more(more);
    mirv_TCoverList list;
    ASSERT_TRUE(mirv_coverList_open_serializedDiff(&list, ser_more.get()));
    bool ok;
    EXPECT_EQ(walk(list.covers, &ok).size(), covers.size());
    EXPECT_FALSE(ok);
    /* one cover fewer: the walk succeeds but the list is not finished */
    InStream ser_less(serializedDiff(parts, covers.size() - 1));
    ASSERT_TRUE(mirv_coverList_open_serializedDiff(&list, ser_less.get()));
    walk(list.covers, &ok);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(list.covers->is_finish(list.covers));
}

TEST(CoverLists, CompressedCoverDataNeedsAnAcceptingPlugin) {
    Bytes d;
    appendText(d, "QORVN13&nope");
    d.push_back(0);
    for (uint64_t n : {12, 15, 1}) packU(d, n);
    for (uint64_t n : {3, 3, 0, 0, 0, 0, 0, 0}) packU(d, n);
    append(d, {0, 0, 1});
    InStream diff(d);
    mirv_TCoverList list;
    EXPECT_FALSE(mirv_coverList_open_compressedDiff(&list, diff.get(), nullptr));
    mirv_TDecompress refusing = {[](const char*) -> mirv_BOOL { return 0; }, nullptr, nullptr, nullptr, nullptr};
    EXPECT_FALSE(mirv_coverList_open_compressedDiff(&list, diff.get(), &refusing));
}

/* New positions that leave 64 bits are refused; an old position steps modulo 2^64 (the patch
 * then refuses it against the old data's size). */
TEST(CoverLists, NewPositionsThatWrapAreRefusedOldPositionsStepModulo) {
    struct Case {
        Bytes lengths, gaps, deltas;
        bool ok;
        uint64_t old_pos;
    } cases[] = {
        {{0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, {1}, {0}, false, 0}, /* new_pos + length */
        {{1}, {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, {0}, false, 0}, /* new base + gap */
        {{1}, {0}, {0x81}, true, UINT64_MAX},                                               /* old 0 - 1 */
    };
    for (const Case& c : cases) {
        Bytes d;
        for (uint64_t n : {(uint64_t)2, (uint64_t)c.lengths.size() + 1, (uint64_t)c.gaps.size() + 1,
                           (uint64_t)c.deltas.size() + 1, (uint64_t)0})
            packU(d, n);
        append(d, {1});
        append(d, c.lengths);
        append(d, {1});
        append(d, c.gaps);
        append(d, {0});
        append(d, c.deltas);
        packU(d, 0);
        InStream diff(d);
        mirv_TCoverList list;
        ASSERT_TRUE(mirv_coverList_open_serializedDiff(&list, diff.get()));
        bool ok;
        auto got = walk(list.covers, &ok);
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            ASSERT_EQ(got.size(), 2u);
            EXPECT_EQ(got[1].old_pos, c.old_pos);
        }
    }
}

// Diff writer: byte-exact layouts on hand-checked cases, and round trips of every format,
// compression and checksum through the strict reader in diff_reader.h.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "diff_reader.h"
#include "test_data.h"
#include "vkd_bytes.h"
#include "vkd_parallel.h"
#include "vkd_write.h"
#include "vko_diff.h"

namespace {

using vkd_test::Bytes;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

vkd_TDiffOptions options(int format, int compress = vkd_COMPRESS_NONE, int checksum = vkd_CHECKSUM_NONE) {
    vkd_TDiffOptions o;
    vkd_default_options(&o);
    o.format = format;
    o.compress = compress;
    o.checksum = checksum;
    return o;
}

Bytes make_diff(const Bytes& old_data, const Bytes& new_data, const vkd_TDiffOptions& o) {
    return vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), o);
}

TEST(DiffPacked, NumbersMatchWorkedExamples) {
    struct Case {
        uint64_t value;
        unsigned tag, k;
        Bytes code;
    } cases[] = {
        {300, 0, 0, {0x82, 0x2C}},
        {127, 0, 0, {0x7F}},
        {128, 0, 0, {0x81, 0x00}},
        {5, 1, 1, {0x85}},
        {63, 0, 1, {0x3F}},
        {64, 1, 1, {0xC0, 0x40}},
        {31, 3, 2, {0xDF}},
        {32, 2, 2, {0xA0, 0x20}},
        {~uint64_t(0), 0, 0, {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
        {~uint64_t(0), 3, 2, {0xE1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const Case& c : cases) {
        Bytes out;
        vkd::detail::put_packed(out, c.value, c.tag, c.k);
        EXPECT_EQ(out, c.code) << c.value << " k=" << c.k;
        EXPECT_EQ(vkd::detail::packed_size(c.value, c.k), c.code.size());
        vkd_test::Cursor cur{out.data(), out.data() + out.size()};
        EXPECT_EQ(cur.tag(c.k), c.k ? c.tag : 0u);
        EXPECT_EQ(cur.number(c.k), c.value);
        EXPECT_TRUE(cur.done());
    }
}

// old "ABCDEFGHIJKLMNOPQRSTUVWXYZ" with one byte changed and three bytes put in front: one
// cover, three new bytes before it and one differing byte in it.
struct Small {
    Bytes old_data = bytes_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    Bytes new_data = bytes_of("xyzABCDEFGHIJKLMaOPQRSTUVWXYZ");
};

TEST(DiffLayout, SerializedBytes) {
    Small s;
    const Bytes diff = make_diff(s.old_data, s.new_data, options(vkd_FORMAT_SERIALIZED));
    // 'a' - 'N' = 0x13; runs: 3 + 13 zeros, one 0x13, 12 zeros.
    const Bytes expected = {1, 1, 1, 1, 3,         // count and section sizes
                            26, 3, 0,              // length, gap, old delta
                            'x', 'y', 'z',         // new bytes outside covers
                            3, 0x0F, 0xC0, 0x0B,   // control: 16 zeros, literal of 1, 12 zeros
                            0x13};
    EXPECT_EQ(diff, expected);
}

TEST(DiffLayout, CompressedStoredBytes) {
    Small s;
    const Bytes diff = make_diff(s.old_data, s.new_data, options(vkd_FORMAT_COMPRESSED));
    Bytes expected = bytes_of("QORVN13&");
    expected.insert(expected.end(), {0, 29, 26, 1, 3, 0, 3, 0, 1, 0, 3, 0,  // head
                                     0, 3, 26,                              // old delta, gap, length
                                     0x0F, 0xC0, 0x0B, 0x13, 'x', 'y', 'z'});
    EXPECT_EQ(diff, expected);
}

TEST(DiffLayout, SingleStoredBytes) {
    Small s;
    const Bytes diff = make_diff(s.old_data, s.new_data, options(vkd_FORMAT_SINGLE));
    Bytes expected = bytes_of("QORVNSF20&");
    // one step: cover buffer (0, 3, 26), chain: skip 13, add 1 (0x13), skip 12; then the gap.
    expected.insert(expected.end(), {0, 29, 26, 1, 7, 12, 0,  // head: ..., step memory 3 + 4, body 12
                                     3, 4, 0, 3, 26, 13, 1, 0x13, 12, 'x', 'y', 'z'});
    EXPECT_EQ(diff, expected);
}

TEST(DiffLayout, WindowStoredBytesWithCrc) {
    Small s;
    const Bytes diff = make_diff(s.old_data, s.new_data, options(vkd_FORMAT_WINDOW, vkd_COMPRESS_NONE, vkd_CHECKSUM_CRC32));
    Bytes expected = bytes_of("QORVNW26");
    const Bytes head_items = {'&', 'c', 'r', 'c', '3', '2', 0, 0, 15, 29, 26, 0, 1, 8, 7, 1, 26, 4, 0};
    const uint64_t head_length = head_items.size() + 12;
    expected.push_back(static_cast<unsigned char>(head_length));
    expected.push_back(0);
    expected.insert(expected.end(), head_items.begin(), head_items.end());
    const Bytes body = {26, 0, 1, 3, 4, 0, 3, 26, 13, 1, 0x13, 12, 'x', 'y', 'z'};
    const Bytes old_sum = vkd_test::checksum("crc32", s.old_data.data(), s.old_data.size());
    const Bytes new_sum = vkd_test::checksum("crc32", s.new_data.data(), s.new_data.size());
    expected.insert(expected.end(), old_sum.begin(), old_sum.end());
    expected.insert(expected.end(), new_sum.begin(), new_sum.end());
    const Bytes diff_sum = vkd_test::checksum("crc32", expected.data(), expected.size(), body);
    expected.insert(expected.end(), diff_sum.begin(), diff_sum.end());
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_EQ(diff, expected);
}

// Old/new pairs for the round trips.
struct Pair {
    std::string name;
    Bytes old_data, new_data;
};

std::vector<Pair> pairs() {
    using vekko_test::randomBytes;
    using vekko_test::textLike;
    std::vector<Pair> out;
    const Bytes text = textLike(40000, 1);
    const Bytes bin = randomBytes(30000, 2, 16);
    out.push_back({"both empty", {}, {}});
    out.push_back({"empty old", {}, text});
    out.push_back({"empty new", text, {}});
    out.push_back({"identical", text, text});
    out.push_back({"unrelated", randomBytes(20000, 3), randomBytes(25000, 4)});
    Bytes one = text;
    one[20000] ^= 0x5A;
    out.push_back({"one byte changed", text, one});
    Bytes moved(text.begin() + 25000, text.end());
    moved.insert(moved.end(), text.begin() + 5000, text.begin() + 25000);
    moved.insert(moved.end(), text.begin(), text.begin() + 5000);
    out.push_back({"blocks moved", text, moved});
    // Executable-like: the same code shifted, with every 16th byte (an "address") changed.
    Bytes shifted(bin.begin() + 100, bin.end());
    for (size_t i = 0; i < shifted.size(); i += 16) shifted[i] = static_cast<unsigned char>(shifted[i] + 3);
    shifted.insert(shifted.begin() + 4000, bin.begin(), bin.begin() + 700);
    out.push_back({"addresses changed", bin, shifted});
    Bytes grown = text;
    grown.insert(grown.end(), text.begin(), text.end());
    out.push_back({"doubled", text, grown});
    out.push_back({"one byte each", {7}, {8}});
    out.push_back({"zeros", Bytes(70000, 0), Bytes(90000, 0)});
    return out;
}

struct Setting {
    int format, compress, checksum;
};

std::string describe(const Setting& s) {
    const char* formats[] = {"serialized", "compressed", "single", "window"};
    return std::string(formats[s.format]) + "/" + (s.compress ? vkd::compress_type_name(s.compress) : "stored") + "/" +
           (s.checksum ? vkd::checksum_type_name(s.checksum) : "nosum");
}

TEST(DiffRoundTrip, EveryFormatCompressionAndChecksum) {
    std::vector<Setting> settings = {{vkd_FORMAT_SERIALIZED, vkd_COMPRESS_NONE, vkd_CHECKSUM_NONE}};
    for (int format : {vkd_FORMAT_COMPRESSED, vkd_FORMAT_SINGLE, vkd_FORMAT_WINDOW})
        for (int compress : {vkd_COMPRESS_NONE, vkd_COMPRESS_ZLIB, vkd_COMPRESS_ZSTD, vkd_COMPRESS_VEKKO})
            settings.push_back({format, compress, format == vkd_FORMAT_WINDOW ? compress % 3 : 0});
    settings.push_back({vkd_FORMAT_WINDOW, vkd_COMPRESS_ZSTD, vkd_CHECKSUM_XXH64});
    for (const Pair& p : pairs()) {
        for (const Setting& s : settings) {
            vkd_TDiffOptions o = options(s.format, s.compress, s.checksum);
            o.vekko_dict_size = 4096;
            o.level = 3;  // fast enough for a test; the layout does not depend on it
            const Bytes diff = make_diff(p.old_data, p.new_data, o);
            try {
                EXPECT_EQ(vkd_test::apply_diff(p.old_data, diff, p.new_data.size()), p.new_data)
                    << p.name << " " << describe(s);
            } catch (const std::exception& e) {
                ADD_FAILURE() << p.name << " " << describe(s) << ": " << e.what();
            }
        }
    }
}

TEST(DiffRoundTrip, SmallStepMemoryWindowsAndRings) {
    const std::vector<Pair> all = pairs();
    struct Shape {
        uint64_t step_mem, window, ring;
    } shapes[] = {{64, 1, 2}, {64, 100, 2}, {100, 1000, 4}, {4096, 16384, 64}, {65536, 5000, 8}};
    for (const Pair& p : all) {
        for (const Shape& sh : shapes) {
            for (int format : {vkd_FORMAT_SINGLE, vkd_FORMAT_WINDOW}) {
                vkd_TDiffOptions o = options(format, vkd_COMPRESS_NONE, vkd_CHECKSUM_XXH64);
                o.step_mem_size = sh.step_mem;
                o.window_size = sh.window;
                o.ring_size = sh.ring;
                const Bytes diff = make_diff(p.old_data, p.new_data, o);
                const std::string what = p.name + " step " + std::to_string(sh.step_mem) + " window " +
                                         std::to_string(sh.window) + " ring " + std::to_string(sh.ring);
                try {
                    if (format == vkd_FORMAT_SINGLE) {
                        vkd_test::StepStats st;
                        EXPECT_EQ(vkd_test::apply_single(p.old_data, {diff.data(), diff.data() + diff.size()}, &st),
                                  p.new_data)
                            << what;
                        EXPECT_LE(st.max_step_mem, sh.step_mem) << what;
                    } else {
                        vkd_test::WindowStats ws;
                        EXPECT_EQ(vkd_test::apply_window(p.old_data, diff, &ws), p.new_data) << what;
                        EXPECT_LE(ws.window_size, sh.window) << what;
                        EXPECT_LE(ws.step_mem, sh.step_mem) << what;
                        EXPECT_EQ(ws.ring, sh.ring) << what;
                    }
                } catch (const std::exception& e) {
                    ADD_FAILURE() << what << ": " << e.what();
                }
            }
        }
    }
}

// A step's run chain may leave zero runs of any length to skips; the writer tries a few and
// keeps the smallest diff, so every one must read back, whatever the step memory.
TEST(DiffRoundTrip, EverySkipRunReadsBack) {
    for (const Pair& p : pairs()) {
        for (int format : {vkd_FORMAT_SINGLE, vkd_FORMAT_WINDOW}) {
            vkd_TDiffOptions o = options(format, vkd_COMPRESS_NONE, vkd_CHECKSUM_CRC32);
            o.window_size = 5000;
            o.min_cover_gain = 16;
            const std::vector<vkd::Cover> covers =
                vkd::find_covers(p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size(), o);
            const vkd::detail::Input in{p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size()};
            for (uint64_t step_mem : {uint64_t(64), uint64_t(65536)}) {
                for (uint64_t skip_run : {1, 2, 3, 9}) {
                    o.step_mem_size = step_mem;
                    const Bytes diff = vkd::detail::write_diff(in, covers, o, skip_run);
                    const std::string what = p.name + " format " + std::to_string(format) + " step " +
                                             std::to_string(step_mem) + " skip run " + std::to_string(skip_run);
                    try {
                        EXPECT_EQ(vkd_test::apply_diff(p.old_data, diff, p.new_data.size()), p.new_data) << what;
                    } catch (const std::exception& e) {
                        ADD_FAILURE() << what << ": " << e.what();
                    }
                }
            }
        }
    }
}

TEST(DiffCovers, NearlyEqualRegionsBecomeOneCover) {
    // Every 10th byte differs: one cover with its differences in the run-length part.
    const Bytes old_data = vekko_test::randomBytes(20000, 9);
    Bytes new_data = old_data;
    for (size_t i = 5; i < new_data.size(); i += 10) new_data[i] ^= 0x40;
    vkd_TDiffOptions o = options(vkd_FORMAT_COMPRESSED);
    const std::vector<vkd::Cover> covers =
        vkd::find_covers(old_data.data(), old_data.size(), new_data.data(), new_data.size(), o);
    ASSERT_EQ(covers.size(), 1u);
    EXPECT_EQ(covers[0].new_pos, 0u);
    EXPECT_EQ(covers[0].length, new_data.size());
}

TEST(DiffCovers, ShortStretchPaysOnlyNearTheLastCover) {
    // Twelve equal bytes between two stretches of noise: worth a cover where they continue the
    // last cover's offset (two small numbers), not when they come from far away in the old data.
    const Bytes old_data = vekko_test::randomBytes(8000, 11);
    const Bytes noise = vekko_test::randomBytes(20, 12);
    struct Case {
        size_t from;
        bool taken;
    } cases[] = {{3020, true}, {6000, false}};
    for (const Case& c : cases) {
        Bytes new_data(old_data.begin(), old_data.begin() + 3000);
        new_data.insert(new_data.end(), noise.begin(), noise.end());
        new_data.insert(new_data.end(), old_data.begin() + c.from, old_data.begin() + c.from + 12);
        new_data.insert(new_data.end(), noise.begin(), noise.end());
        new_data.insert(new_data.end(), old_data.begin() + 3052, old_data.end());
        vkd_TDiffOptions o = options(vkd_FORMAT_COMPRESSED);
        o.min_cover_gain = 20;
        const auto covers =
            vkd::find_covers(old_data.data(), old_data.size(), new_data.data(), new_data.size(), o);
        const bool taken = std::any_of(covers.begin(), covers.end(), [&](const vkd::Cover& k) {
            return k.new_pos == 3020 && k.old_pos == c.from && k.length == 12;
        });
        EXPECT_EQ(taken, c.taken) << c.from;
        EXPECT_EQ(covers.size(), c.taken ? 3u : 2u) << c.from;
    }
}

TEST(DiffCovers, CoversAreOrderedInRangeAndPayForThemselves) {
    for (const Pair& p : pairs()) {
        vkd_TDiffOptions o = options(vkd_FORMAT_COMPRESSED);
        const auto covers =
            vkd::find_covers(p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size(), o);
        uint64_t end = 0;
        for (const vkd::Cover& c : covers) {
            EXPECT_GE(c.new_pos, end) << p.name;
            EXPECT_LE(c.new_pos + c.length, p.new_data.size()) << p.name;
            EXPECT_LE(c.old_pos + c.length, p.old_data.size()) << p.name;
            EXPECT_GT(c.length, 0u) << p.name;
            end = c.new_pos + c.length;
        }
        if (p.name == "unrelated") {
            EXPECT_TRUE(covers.empty());
        }
        if (p.name == "identical") {
            EXPECT_EQ(covers.size(), 1u);
        }
    }
}

// The priced search, alone and over several of its blocks: covers in range, and each diff
// written from them reads back; identical data is one cover, unrelated data none.
TEST(DiffCovers, PricedCoversReadBack) {
    std::vector<Pair> all = pairs();
    const Bytes big = vekko_test::textLike(700000, 21);
    Bytes edited = big;
    for (size_t i = 1000; i < edited.size(); i += 90001) edited[i] ^= 0x21;
    edited.insert(edited.begin() + 400000, big.begin() + 5, big.begin() + 300);
    all.push_back({"large edited", big, edited});
    all.push_back({"large identical", big, big});
    std::vector<vkd::detail::Prices> settings(3);
    settings[1].step_log = 1.6;
    settings[2].step_log = settings[2].count_log = 1.2;
    settings[2].literal = 1;
    for (const Pair& p : all) {
        const vkd::detail::CoverFinder finder(p.old_data.data(), p.old_data.size());
        const vkd::detail::Input in{p.old_data.data(), p.old_data.size(), p.new_data.data(), p.new_data.size()};
        const std::vector<std::vector<vkd::Cover>> sets = finder.find_priced(p.new_data.data(), p.new_data.size(), settings);
        // An index built and settings walked side by side on threads choose exactly the same covers.
        const vkd::detail::CoverFinder threaded(p.old_data.data(), p.old_data.size(), 3);
        for (unsigned threads : {2u, 3u})
            EXPECT_EQ(threaded.find_priced(p.new_data.data(), p.new_data.size(), settings, threads), sets) << p.name;
        for (const std::vector<vkd::Cover>& covers : sets) {
            uint64_t end = 0;
            for (const vkd::Cover& c : covers) {
                ASSERT_GE(c.new_pos, end) << p.name;
                ASSERT_LE(c.new_pos + c.length, p.new_data.size()) << p.name;
                ASSERT_LE(c.old_pos + c.length, p.old_data.size()) << p.name;
                ASSERT_GT(c.length, 0u) << p.name;
                end = c.new_pos + c.length;
            }
            if (p.name == "identical" || p.name == "large identical") {
                EXPECT_EQ(covers.size(), 1u) << p.name;
            } else if (p.name == "unrelated") {
                EXPECT_TRUE(covers.empty());
            } else if (p.name == "large edited") {
                EXPECT_LE(covers.size(), 4u);
            }
            for (int format : {vkd_FORMAT_COMPRESSED, vkd_FORMAT_WINDOW}) {
                const Bytes diff = vkd::detail::write_diff(in, covers, options(format, vkd_COMPRESS_NONE, 0));
                EXPECT_EQ(vkd_test::apply_diff(p.old_data, diff, p.new_data.size()), p.new_data) << p.name << format;
            }
        }
    }
}

// Every index runs once whatever the thread count; a failing call stops the rest and its
// exception reaches the caller once all threads have ended.
TEST(DiffParallel, EachIndexOnceAndFailuresReachTheCaller) {
    for (unsigned threads : {1u, 2u, 5u}) {
        std::vector<std::atomic<int>> calls(40);
        vkd::detail::for_each_index(calls.size(), threads, [&](size_t i, unsigned worker) {
            ASSERT_LT(worker, threads);
            ++calls[i];
        });
        for (const std::atomic<int>& n : calls) EXPECT_EQ(n, 1) << threads;
        // (many indexes: a slow thread, as under a sanitizer, may fail late)
        std::atomic<int> started{0};
        EXPECT_THROW(vkd::detail::for_each_index(1000000, threads,
                                                  [&](size_t i, unsigned) {
                                                      ++started;
                                                      if (i == 3) throw std::runtime_error("no room");
                                                  }),
                     std::runtime_error);
        EXPECT_LT(started, 1000000) << threads;
    }
    // Tasks that wait for one another: three chains of steps, each step started only after
    // the one before it ended; a failing step stops the rest and reaches the caller.
    for (unsigned threads : {1u, 2u, 5u}) {
        for (const size_t failing : {size_t(0), size_t(25)}) {
            const size_t kSteps = 40;
            std::vector<size_t> done(3, 0), seen(3, 0);
            std::vector<bool> busy(3, false);
            std::atomic<int> runs{0};
            auto schedule = [&] {
                vkd::detail::run_when_ready(
                    threads,
                    [&]() -> size_t {
                        if (*std::min_element(done.begin(), done.end()) == kSteps) return vkd::detail::kNoTaskLeft;
                        for (size_t chain = 0; chain < 3; ++chain)
                            if (!busy[chain] && done[chain] < kSteps) {
                                busy[chain] = true;
                                return chain;
                            }
                        return vkd::detail::kNoTaskReady;
                    },
                    [&](size_t chain, unsigned worker) {
                        EXPECT_LT(worker, threads);
                        // each chain's steps come one at a time and in order
                        EXPECT_EQ(seen[chain]++, done[chain]);
                        if (failing && ++runs == int(failing)) throw std::runtime_error("no room");
                    },
                    [&](size_t chain) {
                        ++done[chain];
                        busy[chain] = false;
                    });
            };
            if (failing) {
                EXPECT_THROW(schedule(), std::runtime_error);
                EXPECT_LT(runs, int(3 * kSteps)) << threads;
            } else {
                schedule();
                EXPECT_EQ(done, std::vector<size_t>(3, kSteps)) << threads;
            }
        }
    }
    // Out of memory on several threads, the work is done once more on one; on one it fails.
    std::vector<unsigned> tried;
    EXPECT_EQ(vkd::detail::on_available_cores([&](unsigned threads) {
                  tried.push_back(threads);
                  if (threads > 1) throw std::bad_alloc();
                  return 7;
              }),
              7);
    EXPECT_EQ(tried.back(), 1u);
    EXPECT_THROW(vkd::detail::on_available_cores([](unsigned) -> int { throw std::bad_alloc(); }), std::bad_alloc);
}

// Where each change is one cheap difference or a move, the priced search names each stretch
// of the old data once: a differing byte rides inside its cover, a moved block is one cover.
TEST(DiffCovers, PricedSearchNamesEachStretchOnce) {
    const struct {
        const char* pair;
        size_t covers;
    } cases[] = {{"one byte changed", 1}, {"blocks moved", 3}, {"addresses changed", 3}, {"identical", 1}};
    std::vector<vkd::detail::Prices> prices(1);
    prices[0].literal = 6;
    for (const auto& c : cases) {
        for (const Pair& p : pairs()) {
            if (p.name != c.pair) continue;
            const vkd::detail::CoverFinder finder(p.old_data.data(), p.old_data.size());
            EXPECT_EQ(finder.find_priced(p.new_data.data(), p.new_data.size(), prices)[0].size(), c.covers) << c.pair;
        }
    }
}

// zstd bodies end a block where a step's parts change kind: still one frame that gives the
// data back, whatever the cuts, and diffs with long gaps read back in both step formats.
TEST(DiffRoundTrip, ZstdBlocksCutWhereStepPartsChange) {
    const Bytes data = vekko_test::textLike(30000, 41);
    const std::vector<std::vector<size_t>> cut_lists = {{0, 5, 5, 3000, 9000, 30000}, {29999}, {1, 2, 3}};
    for (const std::vector<size_t>& cuts : cut_lists) {
        Bytes packed;
        ASSERT_TRUE(vkd::detail::compress_bytes(vkd_COMPRESS_ZSTD, 3, 0, data, packed, cuts));
        EXPECT_EQ(ZSTD_findFrameCompressedSize(packed.data(), packed.size()), packed.size());
        Bytes back(data.size() + 1);
        EXPECT_EQ(ZSTD_decompress(back.data(), back.size(), packed.data(), packed.size()), data.size());
        back.resize(data.size());
        EXPECT_EQ(back, data);
    }
    const Bytes old_data = vekko_test::textLike(120000, 31);
    Bytes new_data = old_data;
    for (size_t at : {90000, 60000, 30000}) {
        const Bytes noise = vekko_test::randomBytes(6000, at);
        new_data.insert(new_data.begin() + at, noise.begin(), noise.end());
    }
    for (int format : {vkd_FORMAT_SINGLE, vkd_FORMAT_WINDOW}) {
        for (uint64_t step_mem : {uint64_t(64), uint64_t(65536)}) {
            vkd_TDiffOptions o = options(format, vkd_COMPRESS_ZSTD);
            o.level = 3;
            o.step_mem_size = step_mem;
            const Bytes diff = make_diff(old_data, new_data, o);
            EXPECT_EQ(vkd_test::apply_diff(old_data, diff, new_data.size()), new_data) << format << " " << step_mem;
        }
    }
}

TEST(DiffSize, SmallDiffsForSmallChanges) {
    const Bytes text = vekko_test::textLike(100000, 5);
    Bytes one = text;
    one[50000] ^= 1;
    for (int format : {vkd_FORMAT_COMPRESSED, vkd_FORMAT_SINGLE, vkd_FORMAT_WINDOW}) {
        EXPECT_LT(make_diff(text, one, options(format, vkd_COMPRESS_ZSTD)).size(), 80u) << format;
        // Unrelated data is stored, so the diff is hardly larger than the new data.
        const Bytes noise = vekko_test::randomBytes(50000, 6);
        EXPECT_LT(make_diff(text, noise, options(format, vkd_COMPRESS_ZSTD)).size(), noise.size() + 64) << format;
    }
}

TEST(DiffOptions, FastDiffReadsBackAndIsNeverSmaller) {
    // The default writer ranks its candidates at a quicker level and keeps the smallest of the
    // best few, so it can only match or beat the one diff the fast option writes.
    for (const Pair& p : pairs()) {
        for (int format : {vkd_FORMAT_COMPRESSED, vkd_FORMAT_WINDOW}) {
            vkd_TDiffOptions o = options(format, vkd_COMPRESS_ZSTD, format == vkd_FORMAT_WINDOW ? vkd_CHECKSUM_XXH64 : 0);
            const Bytes best = make_diff(p.old_data, p.new_data, o);
            o.fast = 1;
            const Bytes fast = make_diff(p.old_data, p.new_data, o);
            EXPECT_EQ(vkd_test::apply_diff(p.old_data, fast, p.new_data.size()), p.new_data) << p.name << format;
            EXPECT_LE(best.size(), fast.size()) << p.name << format;
        }
    }
}

TEST(DiffOptions, BadOptionsAreRefused) {
    const Bytes a = bytes_of("abc");
    struct Case {
        const char* name;
        void (*change)(vkd_TDiffOptions&);
    } cases[] = {
        {"format", [](vkd_TDiffOptions& o) { o.format = 4; }},
        {"compress", [](vkd_TDiffOptions& o) { o.compress = -1; }},
        {"checksum", [](vkd_TDiffOptions& o) { o.checksum = 3; }},
        {"step memory", [](vkd_TDiffOptions& o) { o.format = vkd_FORMAT_SINGLE; o.step_mem_size = 63; }},
        {"window", [](vkd_TDiffOptions& o) { o.format = vkd_FORMAT_WINDOW; o.window_size = 0; }},
        {"ring 3", [](vkd_TDiffOptions& o) { o.format = vkd_FORMAT_WINDOW; o.ring_size = 3; }},
        {"ring 128", [](vkd_TDiffOptions& o) { o.format = vkd_FORMAT_WINDOW; o.ring_size = 128; }},
        {"ring 1", [](vkd_TDiffOptions& o) { o.format = vkd_FORMAT_WINDOW; o.ring_size = 1; }},
        {"vekko dict", [](vkd_TDiffOptions& o) { o.compress = vkd_COMPRESS_VEKKO; o.vekko_dict_size = 0; }},
    };
    for (const Case& c : cases) {
        vkd_TDiffOptions o;
        vkd_default_options(&o);
        c.change(o);
        unsigned char* out = nullptr;
        size_t size = 0;
        EXPECT_EQ(vkd_create_diff(a.data(), a.size(), a.data(), a.size(), &o, &out, &size), vkd_BAD_OPTIONS) << c.name;
        EXPECT_EQ(out, nullptr) << c.name;
        EXPECT_THROW(make_diff(a, a, o), std::runtime_error) << c.name;
    }
}

TEST(DiffOptions, CEntryMatchesCppEntryAndDevicePreset) {
    const Bytes old_data = vekko_test::textLike(30000, 7);
    Bytes new_data = old_data;
    new_data.insert(new_data.begin() + 100, 50, 'q');
    vkd_TDiffOptions o;
    vkd_device_options(&o);
    unsigned char* out = nullptr;
    size_t size = 0;
    ASSERT_EQ(vkd_create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), &o, &out, &size),
              vkd_OK);
    const Bytes diff(out, out + size);
    vkd_free(out);
    EXPECT_EQ(diff, make_diff(old_data, new_data, o));
    vkd_test::WindowStats ws;
    EXPECT_EQ(vkd_test::apply_window(old_data, diff, &ws), new_data);
    EXPECT_EQ(ws.compress_type, "vekko");
    EXPECT_EQ(ws.checksum_type, "crc32");
    EXPECT_LE(ws.window_size, 16384u);
    EXPECT_LE(ws.step_mem, 4096u);
}

}  // namespace

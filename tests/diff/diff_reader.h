// A strict test-only reader of the four diff layouts: rebuilds the new data from old data
// and a diff, and throws std::runtime_error on anything a patcher would refuse (numbers
// cut off, sections not used up exactly, covers out of range, wrong checksums).
#ifndef VKD_TEST_DIFF_READER_H
#define VKD_TEST_DIFF_READER_H

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <xxhash.h>
#include <zlib.h>
#include <zstd.h>

#include "vko_dec.h"

namespace vkd_test {

using Bytes = std::vector<unsigned char>;

inline void fail(const char* what) { throw std::runtime_error(what); }

struct Cursor {
    const unsigned char* p;
    const unsigned char* end;

    bool done() const { return p == end; }
    size_t left() const { return size_t(end - p); }
    unsigned tag(unsigned k) const {
        if (done()) fail("number cut off");
        return k ? *p >> (8 - k) : 0;
    }
    uint64_t number(unsigned k = 0) {
        if (done()) fail("number cut off");
        unsigned char b = *p++;
        uint64_t v = b & ((1u << (7 - k)) - 1);
        bool more = b & (1u << (7 - k));
        while (more) {
            if (done() || v > (uint64_t(1) << 57) - 1) fail("number cut off or too large");
            b = *p++;
            v = (v << 7) | (b & 0x7F);
            more = b & 0x80;
        }
        return v;
    }
    uint64_t step(uint64_t base) {
        const bool minus = tag(1);
        const uint64_t d = number(1);
        return minus ? base - d : base + d;
    }
    std::string text(unsigned char end_char) {
        std::string s;
        while (true) {
            if (done()) fail("text not ended");
            const unsigned char c = *p++;
            if (c == end_char) return s;
            s.push_back(char(c));
        }
    }
    Cursor take(uint64_t n) {
        if (n > left()) fail("section beyond the diff");
        Cursor c{p, p + n};
        p += n;
        return c;
    }
};

inline Bytes decompress(const std::string& type, Cursor code, uint64_t size) {
    Bytes out(size);
    if (type == "zlib") {
        uLongf n = uLongf(size);
        if (uncompress(out.data(), &n, code.p, uLong(code.left())) != Z_OK || n != size) fail("zlib section bad");
    } else if (type == "zstd") {
        const size_t n = ZSTD_decompress(out.data(), size, code.p, code.left());
        if (ZSTD_isError(n) || n != size) fail("zstd section bad");
    } else if (type == "vekko") {
        vko_size_t n = vko_size_t(size);
        if (vko_decompress_mem(code.p, vko_size_t(code.left()), out.data(), &n) != vko_RESULT_STREAM_END || n != size)
            fail("vekko section bad");
    } else {
        fail("unknown compression type");
    }
    return out;
}

// Run-length control bytes over data: the diff bytes for `size` new bytes.
inline Bytes run_lengths(Cursor ctrl, Cursor data, uint64_t size) {
    Bytes out;
    while (!ctrl.done()) {
        const unsigned tag = ctrl.tag(2);
        const uint64_t n = ctrl.number(2) + 1;
        if (n > size - out.size()) fail("runs longer than the new data");
        if (tag == 3) {
            Cursor lit = data.take(n);
            out.insert(out.end(), lit.p, lit.end);
        } else {
            const unsigned char v = tag == 0 ? 0 : tag == 1 ? 255 : *data.take(1).p;
            out.insert(out.end(), size_t(n), v);
        }
    }
    if (out.size() != size || !data.done()) fail("runs do not match the new data");
    return out;
}

struct CoverApplier {
    const Bytes& old_data;
    Bytes& out;
    void cover(uint64_t old_pos, uint64_t length, const unsigned char* diff) {
        if (old_pos > old_data.size() || length > old_data.size() - old_pos) fail("cover beyond the old data");
        for (uint64_t i = 0; i < length; ++i) out.push_back(static_cast<unsigned char>(old_data[old_pos + i] + diff[i]));
    }
};

inline Bytes apply_covers_runs(const Bytes& old_data, uint64_t new_size, const std::vector<uint64_t>& covers,
                               Cursor new_diff, const Bytes& runs) {
    // covers: (old_pos, new_pos, length) triples
    Bytes out;
    CoverApplier apply{old_data, out};
    for (size_t i = 0; i < covers.size(); i += 3) {
        if (covers[i + 1] < out.size() || covers[i + 2] > new_size - covers[i + 1]) fail("cover out of order");
        Cursor gap = new_diff.take(covers[i + 1] - out.size());
        out.insert(out.end(), gap.p, gap.end);
        apply.cover(covers[i], covers[i + 2], runs.data() + out.size());
    }
    Cursor tail = new_diff.take(new_size - out.size());
    out.insert(out.end(), tail.p, tail.end);
    if (!new_diff.done()) fail("new bytes left over");
    return out;
}

inline Bytes apply_serialized(const Bytes& old_data, Cursor d, uint64_t new_size) {
    const uint64_t count = d.number();
    const uint64_t sizes[4] = {d.number(), d.number(), d.number(), d.number()};
    Cursor lengths = d.take(sizes[0]), gaps = d.take(sizes[1]), deltas = d.take(sizes[2]), new_diff = d.take(sizes[3]);
    Cursor ctrl = d.take(d.number());
    const Bytes runs = run_lengths(ctrl, d, new_size);
    std::vector<uint64_t> covers;
    uint64_t old_base = 0, new_base = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t old_pos = deltas.step(old_base), new_pos = new_base + gaps.number(), len = lengths.number();
        covers.insert(covers.end(), {old_pos, new_pos, len});
        old_base = old_pos;
        new_base = new_pos + len;
    }
    if (!lengths.done() || !gaps.done() || !deltas.done()) fail("cover sections not used up");
    return apply_covers_runs(old_data, new_size, covers, new_diff, runs);
}

inline Bytes apply_compressed(const Bytes& old_data, Cursor d) {
    if (d.text('&') != "QORVN13") fail("not a compressed diff");
    const std::string type = d.text(0);
    const uint64_t new_size = d.number(), old_size = d.number(), count = d.number();
    if (old_size != old_data.size()) fail("old size differs");
    uint64_t sizes[8];
    for (auto& s : sizes) s = d.number();
    Bytes sections[4];
    for (int i = 0; i < 4; ++i) {
        Cursor c = d.take(sizes[2 * i + 1] ? sizes[2 * i + 1] : sizes[2 * i]);
        sections[i] = sizes[2 * i + 1] ? decompress(type, c, sizes[2 * i]) : Bytes(c.p, c.end);
    }
    if (!d.done()) fail("bytes after the last section");
    Cursor cov{sections[0].data(), sections[0].data() + sections[0].size()};
    std::vector<uint64_t> covers;
    uint64_t old_base = 0, new_base = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t old_pos = cov.step(old_base), new_pos = new_base + cov.number(), len = cov.number();
        covers.insert(covers.end(), {old_pos, new_pos, len});
        old_base = old_pos + len;
        new_base = new_pos + len;
    }
    if (!cov.done()) fail("cover data not used up");
    const Bytes runs = run_lengths({sections[1].data(), sections[1].data() + sections[1].size()},
                                   {sections[2].data(), sections[2].data() + sections[2].size()}, new_size);
    return apply_covers_runs(old_data, new_size, covers,
                             {sections[3].data(), sections[3].data() + sections[3].size()}, runs);
}

// Steps of a single-stream body for `count` covers; old positions count in `old_data`
// (the whole old data or one window).  Appends to out.
struct StepStats {
    uint64_t max_step_mem = 0;
};
inline void apply_steps(const unsigned char* old_data, uint64_t old_size, Cursor& body, uint64_t count,
                        uint64_t step_mem, Bytes& out, StepStats& stats) {
    uint64_t old_base = 0, new_base = 0;
    const uint64_t new_origin = out.size();
    while (count) {
        const uint64_t cover_size = body.number(), chain_size = body.number();
        if (cover_size + chain_size > step_mem) fail("step larger than the step memory");
        stats.max_step_mem = std::max(stats.max_step_mem, cover_size + chain_size);
        Cursor cov = body.take(cover_size), chain = body.take(chain_size);
        bool skip_due = true;
        uint64_t pending = 0;
        bool pending_is_skip = true;
        while (!cov.done()) {
            if (!count) fail("more covers than counted");
            const uint64_t old_pos = cov.step(old_base);
            const uint64_t new_pos = new_base + cov.number(), len = cov.number();
            --count;
            Cursor gap = body.take(new_pos - new_base);
            out.insert(out.end(), gap.p, gap.end);
            if (len == 0) {
                if (count || !cov.done()) fail("empty cover before the end");
                break;
            }
            if (old_pos > old_size || len > old_size - old_pos) fail("cover beyond the old data");
            for (uint64_t i = 0; i < len; ++i) {
                while (pending == 0) {
                    pending = chain.number();
                    pending_is_skip = skip_due;
                    skip_due = !skip_due;
                    if (!pending_is_skip && pending > chain.left()) fail("add longer than the chain");
                }
                unsigned char b = old_data[old_pos + i];
                if (!pending_is_skip) b = static_cast<unsigned char>(b + *chain.take(1).p);
                out.push_back(b);
                --pending;
            }
            old_base = old_pos + len;
            new_base = new_pos + len;
        }
        if (!chain.done()) fail("chain not used up");
        (void)new_origin;
    }
}

inline Bytes apply_single(const Bytes& old_data, Cursor d, StepStats* stats_out = nullptr) {
    if (d.text('&') != "QORVNSF20") fail("not a single-stream diff");
    const std::string type = d.text(0);
    const uint64_t new_size = d.number(), old_size = d.number(), count = d.number(), step_mem = d.number();
    const uint64_t size = d.number(), packed = d.number();
    if (old_size != old_data.size()) fail("old size differs");
    Cursor stored = d.take(packed ? packed : size);
    if (!d.done()) fail("bytes after the body");
    const Bytes body_bytes = packed ? decompress(type, stored, size) : Bytes(stored.p, stored.end);
    Cursor body{body_bytes.data(), body_bytes.data() + body_bytes.size()};
    Bytes out;
    StepStats stats;
    apply_steps(old_data.data(), old_data.size(), body, count, step_mem, out, stats);
    if (!body.done() || out.size() != new_size) fail("body and new size disagree");
    if (stats_out) *stats_out = stats;
    return out;
}

inline Bytes checksum(const std::string& type, const unsigned char* p, size_t n, Bytes prefix = {}) {
    Bytes all = prefix;
    all.insert(all.end(), p, p + n);
    uint64_t v = 0;
    size_t width = 0;
    if (type == "crc32") {
        v = crc32(0, all.data(), uInt(all.size()));
        width = 4;
    } else if (type == "xxh64") {
        v = XXH64(all.data(), all.size(), 0);
        width = 8;
    } else {
        fail("unknown checksum");
    }
    Bytes out;
    for (size_t i = 0; i < width; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return out;
}

struct WindowStats {
    uint64_t window_count = 0, window_size = 0, step_mem = 0, ring = 0, max_covers = 0;
    std::string compress_type, checksum_type;
};

inline Bytes apply_window(const Bytes& old_data, const Bytes& diff, WindowStats* stats_out = nullptr) {
    Cursor d{diff.data(), diff.data() + diff.size()};
    Cursor sig = d.take(8);
    if (std::memcmp(sig.p, "QORVNW26", 8) != 0) fail("not a window diff");
    Cursor len = d.take(2);
    const uint64_t head_len = len.p[0] | (uint64_t(len.p[1]) << 8);
    Cursor head = d.take(head_len);
    WindowStats s;
    s.compress_type = head.text('&');
    s.checksum_type = head.text(0);
    const uint64_t packed = head.number(), size = head.number(), new_size = head.number(), old_size = head.number();
    head.number();
    s.window_count = head.number();
    s.ring = head.number();
    s.step_mem = head.number();
    s.max_covers = head.number();
    s.window_size = head.number();
    const uint64_t checksum_size = head.number(), skip = head.number();
    if (head.left() < 3 * checksum_size) fail("checksums do not fit the head");
    if (s.ring < 2 || s.ring > 64 || (s.ring & (s.ring - 1))) fail("bad ring size");
    if (s.checksum_type.empty() != (checksum_size == 0)) fail("checksum type and size disagree");
    if (s.window_size > old_size || (s.window_size && !s.window_count)) fail("bad window size");
    if (head_len + 10 > 263) fail("head too long for the patcher's parse cache");
    if (old_size != old_data.size()) fail("old size differs");
    const unsigned char* sums = diff.data() + 10 + head_len - 3 * checksum_size;
    Cursor stored = d.take(packed ? packed : size);
    if (!d.done()) fail("bytes after the body");
    const Bytes body_bytes = packed ? decompress(s.compress_type, stored, size) : Bytes(stored.p, stored.end);
    Cursor body{body_bytes.data(), body_bytes.data() + body_bytes.size()};
    body.take(skip);

    Bytes out, old_windows;
    std::vector<uint64_t> ring_pos(64), ring_len(64);
    uint64_t described = 0, last_end = 0;
    StepStats stats;
    for (uint64_t i = 0; i < s.window_count; ++i) {
        if (i % (s.ring / 2) == 0 && described < s.window_count) {
            uint64_t block = std::min<uint64_t>(i == 0 ? s.ring : s.ring / 2, s.window_count - described);
            for (; block; --block, ++described) {
                const uint64_t wl = body.number();
                const uint64_t wp = body.step(last_end);
                if (wl > s.window_size || wp > old_size || wl > old_size - wp) fail("bad window");
                ring_pos[described % s.ring] = wp;
                ring_len[described % s.ring] = wl;
                last_end = wp + wl;
            }
        }
        const uint64_t covers = body.number();
        if (covers > s.max_covers) fail("more covers than the head allows");
        if (i >= described) fail("window not described");
        const uint64_t wp = ring_pos[i % s.ring], wl = ring_len[i % s.ring];
        old_windows.insert(old_windows.end(), old_data.begin() + wp, old_data.begin() + wp + wl);
        apply_steps(old_data.data() + wp, wl, body, covers, s.step_mem, out, stats);
    }
    if (!body.done() || out.size() != new_size) fail("body and new size disagree");
    if (checksum_size) {
        if (checksum(s.checksum_type, old_windows.data(), old_windows.size()) != Bytes(sums, sums + checksum_size))
            fail("old checksum differs");
        if (checksum(s.checksum_type, out.data(), out.size()) != Bytes(sums + checksum_size, sums + 2 * checksum_size))
            fail("new checksum differs");
        const Bytes body_raw(stored.p, stored.end);
        if (checksum(s.checksum_type, diff.data(), size_t(sums + 2 * checksum_size - diff.data()), body_raw) !=
            Bytes(sums + 2 * checksum_size, sums + 3 * checksum_size))
            fail("diff checksum differs");
    }
    if (stats_out) *stats_out = s;
    return out;
}

// Applies any of the four layouts; a serialized diff needs the new size.
inline Bytes apply_diff(const Bytes& old_data, const Bytes& diff, uint64_t new_size_for_serialized) {
    Cursor d{diff.data(), diff.data() + diff.size()};
    auto starts = [&](const char* sig) { return diff.size() >= strlen(sig) && !memcmp(diff.data(), sig, strlen(sig)); };
    if (starts("QORVNW26")) return apply_window(old_data, diff);
    if (starts("QORVNSF20&")) return apply_single(old_data, d);
    if (starts("QORVN13&")) return apply_compressed(old_data, d);
    return apply_serialized(old_data, d, new_size_for_serialized);
}

}  // namespace vkd_test

#endif

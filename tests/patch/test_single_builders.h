/* Hand-made single-stream and window diffs for the patch tests, written from the format
 * tables (so that exact limits and hostile numbers can be placed anywhere), plus streams and
 * listeners the tests share. */
#ifndef VEKKO_TEST_SINGLE_BUILDERS_H
#define VEKKO_TEST_SINGLE_BUILDERS_H

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <cstdint>
#include <string>
#include <vector>

#include "mirv_patch.h"
#include "mirv_plugins.h"
#include "patch_test_util.h"
#include "vkd_bytes.h"

namespace single_test {

using patch_test::Bytes;
using patch_test::packDelta;
using patch_test::packU;

/* One step's buffers: covers coded against running bases, the skip/add chain over the
 * covers' diff bytes, and the gap bytes. */
struct StepBytes {
    Bytes covers, runs, gaps;
};

/* Builds steps of `per_step` covers each.  Positions in `covers` are whole-data positions;
 * old and new positions are coded from old_origin and new_origin, bases starting at 0. */
inline Bytes stepsBody(const Bytes& old_data, const Bytes& new_data, const std::vector<mirv_TCover>& covers,
                       size_t per_step, uint64_t* step_mem, uint64_t old_origin = 0, uint64_t new_origin = 0) {
    Bytes body;
    uint64_t old_base = 0, new_base = 0;
    for (size_t first = 0; first < covers.size(); first += per_step) {
        StepBytes s;
        Bytes diff_bytes;
        for (size_t i = first; i < std::min(covers.size(), first + per_step); ++i) {
            const mirv_TCover& c = covers[i];
            uint64_t rel_old = c.length ? c.old_pos - old_origin : old_base;
            uint64_t rel_new = c.new_pos - new_origin;
            packDelta(s.covers, old_base, rel_old);
            packU(s.covers, rel_new - new_base);
            packU(s.covers, c.length);
            s.gaps.insert(s.gaps.end(), new_data.begin() + (new_origin + new_base), new_data.begin() + c.new_pos);
            for (uint64_t j = 0; j < c.length; ++j)
                diff_bytes.push_back((unsigned char)(new_data[c.new_pos + j] - old_data[c.old_pos + j]));
            old_base = rel_old + c.length;
            new_base = rel_new + c.length;
        }
        /* skip the zero runs, add the rest */
        for (size_t i = 0; i < diff_bytes.size();) {
            size_t j = i;
            while (j < diff_bytes.size() && diff_bytes[j] == 0) ++j;
            packU(s.runs, j - i);
            if (j == diff_bytes.size()) break;
            size_t k = j;
            while (k < diff_bytes.size() && diff_bytes[k] != 0) ++k;
            packU(s.runs, k - j);
            s.runs.insert(s.runs.end(), diff_bytes.begin() + j, diff_bytes.begin() + k);
            i = k;
        }
        *step_mem = std::max<uint64_t>(*step_mem, s.covers.size() + s.runs.size());
        packU(body, s.covers.size());
        packU(body, s.runs.size());
        patch_test::append(body, s.covers);
        patch_test::append(body, s.runs);
        patch_test::append(body, s.gaps);
    }
    return body;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) patch_test::append(out, p);
    return out;
}

/* The covers plus, when new bytes follow the last one, a final empty cover carrying them. */
inline std::vector<mirv_TCover> withTail(std::vector<mirv_TCover> covers, uint64_t new_size) {
    uint64_t end = covers.empty() ? 0 : covers.back().new_pos + covers.back().length;
    if (end < new_size) covers.push_back(mirv_TCover{0, new_size, 0});
    return covers;
}

/* A single-stream diff.  compress: a vkd_TCompress kind (0 stores the body). */
inline Bytes singleDiff(const Bytes& old_data, const Bytes& new_data, const std::vector<mirv_TCover>& covers,
                        size_t per_step = 4, int compress = 0, uint64_t* out_step_mem = nullptr) {
    std::vector<mirv_TCover> all = withTail(covers, new_data.size());
    uint64_t step_mem = 0;
    Bytes body = stepsBody(old_data, new_data, all, per_step, &step_mem);
    Bytes packed;
    bool compressed = compress && vkd::detail::compress_bytes(compress, -1, 1 << 16, body, packed);
    Bytes d;
    patch_test::appendText(d, "QORVNSF20&");
    patch_test::appendText(d, compressed ? (compress == 1 ? "zlib" : compress == 2 ? "zstd" : "vekko") : "");
    d.push_back(0);
    packU(d, new_data.size());
    packU(d, old_data.size());
    packU(d, all.size());
    packU(d, step_mem);
    packU(d, body.size());
    packU(d, compressed ? packed.size() : 0);
    patch_test::append(d, compressed ? packed : body);
    if (out_step_mem) *out_step_mem = step_mem;
    return d;
}

/* A listener handing out a fixed memory and the plug-in the head names. */
struct Listener {
    sspatch_TListener base;
    std::vector<unsigned char> memory;
    bool refuse = false, give_memory = true, give_plugin = true;
    int finishes = 0;
    mirv_singleCompressedDiffInfo info{};
    unsigned char *finished_cache = nullptr, *finished_end = nullptr;

    explicit Listener(size_t mem_size) : memory(mem_size) {
        base.owner = this;
        base.on_diff_info = &Listener::onInfo;
        base.on_patch_finish = &Listener::onFinish;
    }
    static mirv_BOOL onInfo(sspatch_TListener* l, const mirv_singleCompressedDiffInfo* info, mirv_TDecompress** plugin,
                            unsigned char** cache, unsigned char** cache_end) {
        Listener* self = static_cast<Listener*>(l->owner);
        self->info = *info;
        if (self->refuse) return 0;
        if (self->give_plugin && info->compressed_size) *plugin = mirv_decompress_plugin(info->compress_type);
        if (self->give_memory) {
            *cache = self->memory.data();
            *cache_end = self->memory.data() + self->memory.size();
        }
        return 1;
    }
    static void onFinish(sspatch_TListener* l, unsigned char* cache, unsigned char* cache_end) {
        Listener* self = static_cast<Listener*>(l->owner);
        ++self->finishes;
        self->finished_cache = cache;
        self->finished_end = cache_end;
    }
};

/* A diff source that can only go forward: every read must start where the last one ended. */
struct SequentialStream {
    mirv_TStreamInput stream;
    Bytes data;
    uint64_t next = 0;
    size_t reads = 0;
    explicit SequentialStream(Bytes bytes) : data(std::move(bytes)) {
        stream.owner = this;
        stream.size = data.size();
        stream.read = &SequentialStream::read;
        stream.reserved = nullptr;
    }
    static mirv_BOOL read(const mirv_TStreamInput* s, uint64_t pos, unsigned char* out, unsigned char* out_end) {
        SequentialStream* self = static_cast<SequentialStream*>(s->owner);
        uint64_t len = (uint64_t)(out_end - out);
        if (pos != self->next || len > self->data.size() - pos) return 0;
        std::copy(self->data.begin() + pos, self->data.begin() + (pos + len), out);
        self->next += len;
        ++self->reads;
        return 1;
    }
};

/* Bytes that differ from run to run of a seed but compress: words from a small alphabet. */
inline Bytes sampleData(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = (unsigned char)("abcdefgh \n"[(x >> 16) % 10]);
    }
    return out;
}

/* New data made from old: pieces of old (some altered), moved around, with fresh bytes
 * between; the covers describe the pieces.  Each piece is `piece` bytes long. */
inline Bytes derivedNew(const Bytes& old_data, size_t pieces, size_t piece, uint32_t seed,
                        std::vector<mirv_TCover>* covers) {
    Bytes out;
    uint32_t x = seed + 7;
    for (size_t i = 0; i < pieces; ++i) {
        x = x * 1103515245u + 12345u;
        size_t fresh = (x >> 8) % 5;
        for (size_t j = 0; j < fresh; ++j) out.push_back((unsigned char)('A' + j));
        x = x * 1103515245u + 12345u;
        uint64_t from = (x >> 4) % (old_data.size() - piece);
        covers->push_back(mirv_TCover{from, out.size(), piece});
        for (size_t j = 0; j < piece; ++j) {
            unsigned char b = old_data[from + j];
            if ((j + i) % 13 == 5) b = (unsigned char)(b + 3);
            out.push_back(b);
        }
    }
    out.push_back('!');
    return out;
}

}  // namespace single_test

#endif

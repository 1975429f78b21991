/* Helpers of the patch tests: streams over byte vectors that count and fail on demand,
 * and small diff builders written from the format tables. */
#ifndef VEKKO_PATCH_TEST_UTIL_H
#define VEKKO_PATCH_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mirv_patch.h"

namespace patch_test {

typedef std::vector<unsigned char> Bytes;

inline void packU(Bytes& out, uint64_t value, unsigned tag = 0, unsigned k = 0) {
    unsigned char buf[mirv_kMaxPackedUIntBytes];
    unsigned char* cursor = buf;
    if (!mirv_packUIntWithTag(&cursor, buf + sizeof(buf), value, tag, k)) throw std::runtime_error("pack");
    out.insert(out.end(), buf, cursor);
}
/* Set: signed steps are written the long way round, past 2^64 (steps are modulo 2^64). */
inline bool& longWayDeltas() {
    static bool on = false;
    return on;
}
/* A signed step from `from` to `to` (k = 1, tag 1 = minus). */
inline void packDelta(Bytes& out, uint64_t from, uint64_t to) {
    bool up = (to >= from) != (longWayDeltas() && to != from);
    if (up) packU(out, to - from, 0, 1);
    else packU(out, from - to, 1, 1);
}
inline void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
inline void appendText(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

/* An input stream over a byte vector that records every read and can be told to fail. */
struct InStream {
    mirv_TStreamInput stream;
    Bytes data;
    std::vector<std::pair<uint64_t, uint64_t>> reads; /* (position, length) */
    long fail_at = -1;                                /* index of the read that fails */

    explicit InStream(Bytes bytes) : data(std::move(bytes)) {
        stream.owner = this;
        stream.size = data.size();
        stream.read = &InStream::read;
        stream.reserved = nullptr;
    }
    InStream(const InStream&) = delete;
    InStream& operator=(const InStream&) = delete;
    const mirv_TStreamInput* get() const { return &stream; }

    static mirv_BOOL read(const mirv_TStreamInput* s, uint64_t pos, unsigned char* out, unsigned char* out_end) {
        InStream* self = static_cast<InStream*>(s->owner);
        uint64_t len = (uint64_t)(out_end - out);
        if (self->fail_at >= 0 && (long)self->reads.size() == self->fail_at) return 0;
        self->reads.push_back({pos, len});
        if (pos > self->data.size() || len > self->data.size() - pos) return 0;
        if (len) std::memcpy(out, self->data.data() + pos, (size_t)len);
        return 1;
    }
};

/* An output stream over a byte vector of fixed capacity; counts writes, may fail. */
struct OutStream {
    mirv_TStreamOutput stream;
    Bytes data;
    uint64_t written_end = 0; /* highest position written */
    size_t writes = 0;
    long fail_at = -1;

    explicit OutStream(size_t capacity, bool with_read_back = true) : data(capacity) {
        stream.owner = this;
        stream.size = capacity;
        stream.read_back = with_read_back ? &OutStream::readBack : nullptr;
        stream.write = &OutStream::write;
    }
    OutStream(const OutStream&) = delete;
    OutStream& operator=(const OutStream&) = delete;
    const mirv_TStreamOutput* get() const { return &stream; }

    static mirv_BOOL write(const mirv_TStreamOutput* s, uint64_t pos, const unsigned char* d,
                           const unsigned char* d_end) {
        OutStream* self = static_cast<OutStream*>(s->owner);
        uint64_t len = (uint64_t)(d_end - d);
        if (self->fail_at >= 0 && (long)self->writes == self->fail_at) return 0;
        ++self->writes;
        if (pos > self->data.size() || len > self->data.size() - pos) return 0;
        if (len) std::memcpy(self->data.data() + pos, d, (size_t)len);
        if (pos + len > self->written_end) self->written_end = pos + len;
        return 1;
    }
    static mirv_BOOL readBack(const mirv_TStreamOutput* s, uint64_t pos, unsigned char* out,
                              unsigned char* out_end) {
        OutStream* self = static_cast<OutStream*>(s->owner);
        uint64_t len = (uint64_t)(out_end - out);
        if (pos > self->written_end || len > self->written_end - pos) return 0;
        if (len) std::memcpy(out, self->data.data() + pos, (size_t)len);
        return 1;
    }
};

/* Run-length control and data for the given diff bytes: zero runs with tag 0, 255 runs with
 * tag 1, repeats of another value with tag 2, everything else as literals with tag 3. */
inline void encodeRuns(const Bytes& diff_bytes, Bytes& ctrl, Bytes& data) {
    size_t i = 0, n = diff_bytes.size();
    while (i < n) {
        size_t j = i + 1;
        while (j < n && diff_bytes[j] == diff_bytes[i]) ++j;
        unsigned char v = diff_bytes[i];
        if (j - i >= 3 || v == 0 || v == 255) {
            packU(ctrl, j - i - 1, v == 0 ? 0 : v == 255 ? 1 : 2, 2);
            if (v != 0 && v != 255) data.push_back(v);
            i = j;
            continue;
        }
        /* literal run up to the next repeat */
        j = i;
        while (j < n) {
            size_t r = j + 1;
            while (r < n && diff_bytes[r] == diff_bytes[j]) ++r;
            if (r - j >= 3 || diff_bytes[j] == 0 || diff_bytes[j] == 255) break;
            j = r;
        }
        packU(ctrl, j - i - 1, 3, 2);
        data.insert(data.end(), diff_bytes.begin() + i, diff_bytes.begin() + j);
        i = j;
    }
}

/* The parts every diff format is built from, for old, new and a cover list. */
struct DiffParts {
    Bytes lengths, gaps, deltas; /* serialized sections */
    Bytes cover_data;            /* compressed-diff cover data (old base adds the length) */
    Bytes new_diff;              /* gap bytes and the tail */
    Bytes ctrl, data;            /* run-length part */
};

inline DiffParts makeParts(const Bytes& old_data, const Bytes& new_data, const std::vector<mirv_TCover>& covers) {
    DiffParts p;
    Bytes diff_bytes(new_data.size(), 0);
    uint64_t new_base = 0, old_base_ser = 0, old_base_cmp = 0;
    for (const mirv_TCover& c : covers) {
        packU(p.lengths, c.length);
        packU(p.gaps, c.new_pos - new_base);
        packDelta(p.deltas, old_base_ser, c.old_pos);
        packDelta(p.cover_data, old_base_cmp, c.old_pos);
        packU(p.cover_data, c.new_pos - new_base);
        packU(p.cover_data, c.length);
        p.new_diff.insert(p.new_diff.end(), new_data.begin() + new_base, new_data.begin() + c.new_pos);
        for (uint64_t i = 0; i < c.length; ++i)
            diff_bytes[c.new_pos + i] = (unsigned char)(new_data[c.new_pos + i] - old_data[c.old_pos + i]);
        new_base = c.new_pos + c.length;
        old_base_ser = c.old_pos;
        old_base_cmp = c.old_pos + c.length;
    }
    p.new_diff.insert(p.new_diff.end(), new_data.begin() + new_base, new_data.end());
    encodeRuns(diff_bytes, p.ctrl, p.data);
    return p;
}

inline Bytes serializedDiff(const DiffParts& p, size_t cover_count) {
    Bytes d;
    packU(d, cover_count);
    packU(d, p.lengths.size());
    packU(d, p.gaps.size());
    packU(d, p.deltas.size());
    packU(d, p.new_diff.size());
    append(d, p.lengths);
    append(d, p.gaps);
    append(d, p.deltas);
    append(d, p.new_diff);
    packU(d, p.ctrl.size());
    append(d, p.ctrl);
    append(d, p.data);
    return d;
}

inline Bytes serializedDiff(const Bytes& old_data, const Bytes& new_data, const std::vector<mirv_TCover>& covers) {
    return serializedDiff(makeParts(old_data, new_data, covers), covers.size());
}

/* A compressor for compressed-diff sections: returns the compressed bytes, or an empty
 * vector to store the section. */
typedef std::function<Bytes(const Bytes&)> Compressor;

inline Bytes compressedDiff(const std::string& type, uint64_t new_size, uint64_t old_size, const DiffParts& p,
                            size_t cover_count, const Compressor& compress) {
    Bytes d;
    appendText(d, "QORVN13&");
    appendText(d, type);
    d.push_back(0);
    packU(d, new_size);
    packU(d, old_size);
    packU(d, cover_count);
    const Bytes* sections[4] = {&p.cover_data, &p.ctrl, &p.data, &p.new_diff};
    Bytes packed[4];
    for (int i = 0; i < 4; ++i) {
        packed[i] = compress ? compress(*sections[i]) : Bytes();
        packU(d, sections[i]->size());
        packU(d, packed[i].size());
    }
    for (int i = 0; i < 4; ++i) append(d, packed[i].empty() ? *sections[i] : packed[i]);
    return d;
}

inline Bytes compressedDiff(const std::string& type, const Bytes& old_data, const Bytes& new_data,
                            const std::vector<mirv_TCover>& covers, const Compressor& compress) {
    return compressedDiff(type, new_data.size(), old_data.size(), makeParts(old_data, new_data, covers),
                          covers.size(), compress);
}

} // namespace patch_test

#endif

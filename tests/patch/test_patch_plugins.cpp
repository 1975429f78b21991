#include <gtest/gtest.h>

#include <zlib.h>
#include <zstd.h>

#include "codec_helpers.h"
#include "mirv_plugins.h"
#include "patch_streams.h"
#include "patch_test_util.h"

using namespace patch_test;

namespace {

Bytes sample(size_t n) {
    Bytes b(n);
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = (unsigned char)((i % 64 < 40) ? 'a' + (i % 7) : (x >> 24));
    }
    return b;
}

Bytes zlibPack(const Bytes& data) {
    uLongf n = compressBound(data.size());
    Bytes out(n);
    if (compress2(out.data(), &n, data.data(), data.size(), 9) != Z_OK) throw std::runtime_error("zlib");
    out.resize(n);
    return out;
}
/* With the frame's content checksum, so that a corrupted last byte is caught. */
Bytes zstdPack(const Bytes& data) {
    Bytes out(ZSTD_compressBound(data.size()));
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    size_t n = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
    ZSTD_freeCCtx(cctx);
    if (ZSTD_isError(n)) throw std::runtime_error("zstd");
    out.resize(n);
    return out;
}
Bytes vekkoPack(const Bytes& data) { return vekko_test::compress(data); }

struct Codec {
    const char* name;
    Compressor pack;
};
const Codec kCodecs[] = {{"zlib", zlibPack}, {"zstd", zstdPack}, {"vekko", vekkoPack}};

/* Decodes code[begin, end) into decoded_size bytes, in parts of part bytes. */
bool decode(mirv_TDecompress* plugin, const Bytes& code, uint64_t begin, uint64_t end, uint64_t decoded_size,
            size_t part, Bytes* out, bool* close_ok = nullptr) {
    InStream in(code);
    void* h = plugin->open(plugin, decoded_size, in.get(), begin, end);
    if (!h) return false;
    out->assign(decoded_size, 0);
    bool ok = true;
    for (uint64_t at = 0; ok && at < decoded_size; at += part) {
        uint64_t n = std::min<uint64_t>(part, decoded_size - at);
        ok = plugin->decompress_part(h, out->data() + at, out->data() + at + n);
    }
    bool closed = plugin->close(plugin, h);
    if (close_ok) *close_ok = closed;
    return ok;
}

} // namespace

TEST(DecompressPlugins, DecodeExactlyTheirSection) {
    for (const Codec& c : kCodecs) {
        SCOPED_TRACE(c.name);
        mirv_TDecompress* plugin = mirv_decompress_plugin(c.name);
        ASSERT_NE(plugin, nullptr);
        EXPECT_TRUE(plugin->is_can_open(c.name));
        EXPECT_FALSE(plugin->is_can_open("lzma"));
        for (size_t size : {1u, 1000u, 100000u}) {
            Bytes data = sample(size), code = c.pack(data);
            Bytes framed = {9, 9, 9};
            append(framed, code);
            framed.push_back(9);
            Bytes out;
            bool closed;
            for (size_t part : {(size_t)1, (size_t)777, size}) {
                ASSERT_TRUE(decode(plugin, framed, 3, 3 + code.size(), size, part, &out, &closed));
                EXPECT_TRUE(closed);
                EXPECT_EQ(out, data);
            }
            /* the same section read short, long, cut, padded or corrupted never decodes whole */
            EXPECT_FALSE(decode(plugin, framed, 3, 3 + code.size(), size + 1, 4096, &out, &closed));
            EXPECT_FALSE(closed);
            if (size > 1) {
                EXPECT_FALSE(decode(plugin, framed, 3, 3 + code.size(), size - 1, 4096, &out));
            }
            EXPECT_FALSE(decode(plugin, framed, 3, 2 + code.size(), size, 4096, &out));
            EXPECT_FALSE(decode(plugin, framed, 3, 4 + code.size(), size, 4096, &out));
            Bytes bad = framed;
            bad[3 + code.size() - 1] ^= 0x55; /* the last byte carries the check or end mark */
            EXPECT_FALSE(decode(plugin, bad, 3, 3 + code.size(), size, 4096, &out));
        }
        /* an empty section's end is checked at open */
        Bytes empty = c.pack(Bytes());
        Bytes out;
        EXPECT_TRUE(decode(plugin, empty, 0, empty.size(), 0, 1, &out));
        Bytes padded = empty;
        padded.push_back(0);
        InStream in(padded);
        EXPECT_EQ(plugin->open(plugin, 0, in.get(), 0, padded.size()), nullptr);
        EXPECT_EQ(plugin->open(plugin, 0, in.get(), 0, padded.size() + 1), nullptr);
    }
    EXPECT_EQ(mirv_decompress_plugin("lzma"), nullptr);
    EXPECT_EQ(mirv_decompress_plugin(""), nullptr);
    EXPECT_EQ(mirv_decompress_plugin(nullptr), nullptr);
}

/* A diff's checksum stream takes each byte once and in order, so a plug-in must read its
 * section exactly so. */
TEST(DecompressPlugins, ReadTheirSectionOnceFrontToBack) {
    for (const Codec& c : kCodecs) {
        SCOPED_TRACE(c.name);
        mirv_TDecompress* plugin = mirv_decompress_plugin(c.name);
        Bytes data = sample(50000), framed = {7, 7};
        append(framed, c.pack(data));
        InStream in(framed);
        void* h = plugin->open(plugin, data.size(), in.get(), 2, framed.size());
        ASSERT_NE(h, nullptr);
        Bytes out(data.size());
        EXPECT_TRUE(plugin->decompress_part(h, out.data(), out.data() + out.size()));
        EXPECT_TRUE(plugin->close(plugin, h));
        uint64_t next = 2;
        for (const auto& read : in.reads) {
            EXPECT_EQ(read.first, next);
            next = read.first + read.second;
        }
        EXPECT_EQ(next, framed.size());
    }
}

TEST(DecompressPlugins, ReopenMovesToAnotherSection) {
    for (const Codec& c : kCodecs) {
        SCOPED_TRACE(c.name);
        mirv_TDecompress* plugin = mirv_decompress_plugin(c.name);
        Bytes a = sample(5000), b = sample(300);
        Bytes ca = c.pack(a), cb = c.pack(b), both = ca;
        append(both, cb);
        InStream in(both);
        void* h = plugin->open(plugin, a.size(), in.get(), 0, ca.size());
        ASSERT_NE(h, nullptr);
        Bytes out(a.size());
        ASSERT_TRUE(plugin->decompress_part(h, out.data(), out.data() + out.size()));
        EXPECT_EQ(out, a);
        ASSERT_TRUE(plugin->reopen(h, b.size(), in.get(), ca.size(), both.size()));
        out.assign(b.size(), 0);
        ASSERT_TRUE(plugin->decompress_part(h, out.data(), out.data() + out.size()));
        EXPECT_EQ(out, b);
        EXPECT_FALSE(plugin->decompress_part(h, out.data(), out.data() + 1)); /* nothing more */
        EXPECT_FALSE(plugin->close(plugin, h));
    }
}

TEST(DecompressPlugins, VekkoWindowAboveTheCapIsRefused) {
    mirv_TDecompress* plugin = mirv_decompress_plugin("vekko");
    Bytes code = vekkoPack(sample(100));
    uint64_t too_big = mirv_kVekkoPluginMaxWindow + 1;
    for (int i = 0; i < 4; ++i) code[i] = (unsigned char)(too_big >> (8 * i));
    InStream in(code);
    EXPECT_EQ(plugin->open(plugin, 100, in.get(), 0, code.size()), nullptr);
    Bytes zero = code;
    zero[0] = zero[1] = zero[2] = zero[3] = 0;
    InStream in0(zero);
    EXPECT_EQ(plugin->open(plugin, 100, in0.get(), 0, zero.size()), nullptr);
}

TEST(DecompressPlugins, WholeBufferDecoding) {
    mirv_TDecompress* plugin = mirv_decompress_plugin("zstd");
    Bytes data = sample(3000), code = zstdPack(data), out(3000);
    EXPECT_TRUE(mirv_deccompress_mem(plugin, code.data(), code.data() + code.size(), out.data(), out.data() + 3000));
    EXPECT_EQ(out, data);
    EXPECT_FALSE(mirv_deccompress_mem(plugin, code.data(), code.data() + code.size() - 1, out.data(),
                                      out.data() + 3000));
}

TEST(ChecksumPlugins, KnownValuesLittleEndian) {
    const std::string check = "123456789";
    struct Case {
        const char* name;
        size_t size;
        Bytes of_check, of_empty;
    } cases[] = {
        {"crc32", 4, {0x26, 0x39, 0xF4, 0xCB}, {0, 0, 0, 0}},
        {"xxh64", 8, {0x83, 0xAE, 0xE6, 0x40, 0xDB, 0x41, 0xB8, 0x8C}, {0x99, 0xE9, 0xD8, 0x51, 0x37, 0xDB, 0x46, 0xEF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mirv_TChecksum* plugin = mirv_checksum_plugin(c.name);
        ASSERT_NE(plugin, nullptr);
        EXPECT_STREQ(plugin->checksum_type(), c.name);
        EXPECT_EQ(plugin->checksum_size(), c.size);
        void* h = plugin->open(plugin);
        ASSERT_NE(h, nullptr);
        Bytes out(c.size);
        plugin->begin(h);
        const unsigned char* p = (const unsigned char*)check.data();
        plugin->append(h, p, p + 4);
        plugin->append(h, p + 4, p + 9);
        plugin->end(h, out.data(), out.data() + out.size());
        EXPECT_EQ(out, c.of_check);
        plugin->begin(h);
        plugin->end(h, out.data(), out.data() + out.size());
        EXPECT_EQ(out, c.of_empty);
        plugin->close(plugin, h);
    }
    EXPECT_EQ(mirv_checksum_plugin("md5"), nullptr);
    EXPECT_EQ(mirv_checksum_plugin(nullptr), nullptr);
}

TEST(ChecksumStreams, SumWhatPassesAndNothingOnFailure) {
    mirv_TChecksum* plugin = mirv_checksum_plugin("crc32");
    void* h = plugin->open(plugin);
    plugin->begin(h);
    InStream src(sample(100));
    TChecksumInputStream cin;
    const mirv_TStreamInput* in = mirvp_checksum_input_init(&cin, src.get(), plugin, h);
    unsigned char buf[100];
    ASSERT_TRUE(in->read(in, 0, buf, buf + 60));
    EXPECT_FALSE(in->read(in, 60, buf, buf + 41));
    ASSERT_TRUE(in->read(in, 60, buf + 60, buf + 100));
    EXPECT_EQ(cin.next_pos, 100u);
    unsigned char sum[4];
    plugin->end(h, sum, sum + 4);
    uLong want = crc32(0, src.data.data(), 100);
    EXPECT_EQ(sum[0] | sum[1] << 8 | sum[2] << 16 | (uLong)sum[3] << 24, want);

    OutStream dst(100);
    TChecksumOutputStream cout;
    plugin->begin(h);
    const mirv_TStreamOutput* out = mirvp_checksum_output_init(&cout, dst.get(), plugin, h);
    ASSERT_TRUE(out->write(out, 0, buf, buf + 50));
    EXPECT_FALSE(out->write(out, 50, buf, buf + 51));
    ASSERT_TRUE(out->write(out, 50, buf + 50, buf + 100));
    plugin->end(h, sum, sum + 4);
    EXPECT_EQ(sum[0] | sum[1] << 8 | sum[2] << 16 | (uLong)sum[3] << 24, want);
    EXPECT_EQ(cout.next_pos, 100u);
    plugin->close(plugin, h);
}

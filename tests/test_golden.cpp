/* Golden outputs: the exact bytes the match search and the emitter produce for one clip,
 * pinned by hash for many inputs and settings.  The stream is defined to the bit, so any
 * change here is a format change, however well the new output decodes.
 *
 * VEKKO_GOLDEN_PRINT=1 prints the table as the current code computes it. */
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "reference_match.h"
#include "test_data.h"

using namespace vekko_test;

namespace {

enum Kind { kRandom2, kRandom4, kRandom16, kRandom256, kText, kRepetitive, kRuns, kPeriodic };

/* Copies of earlier blocks with a few changed bytes: long matches at many distances. */
Bytes repetitive(size_t n, uint64_t seed) {
    Bytes out = randomBytes(std::min<size_t>(n, 700), seed, 256);
    const Bytes r = randomBytes(n / 8 + 64, seed + 1, 256);
    size_t k = 0;
    while (out.size() < n) {
        const size_t back = 1 + ((size_t)r[k % r.size()] * 97 + (size_t)r[(k + 1) % r.size()] * 13) % out.size();
        const size_t len = 3 + r[(k + 2) % r.size()] % 200;
        for (size_t i = 0; i < len && out.size() < n; ++i) out.push_back(out[out.size() - back]);
        if (out.size() < n) out.push_back(r[(k + 3) % r.size()]);
        k += 4;
    }
    return out;
}

/* Long runs of one byte value, with short random stretches between them. */
Bytes runs(size_t n, uint64_t seed) {
    const Bytes r = randomBytes(n / 4 + 64, seed, 256);
    Bytes out;
    size_t k = 0;
    while (out.size() < n) {
        const size_t len = 1 + (size_t)r[k % r.size()] * 7 + r[(k + 1) % r.size()];
        out.insert(out.end(), std::min(len, n - out.size()), (unsigned char)(r[(k + 2) % r.size()] & 3));
        for (size_t i = 0; i < (size_t)(r[(k + 3) % r.size()] % 9) && out.size() < n; ++i)
            out.push_back(r[(k + 4 + i) % r.size()]);
        k += 13;
    }
    return out;
}

Bytes makeInput(Kind kind, size_t n, uint64_t seed) {
    switch (kind) {
    case kRandom2: return randomBytes(n, seed, 2);
    case kRandom4: return randomBytes(n, seed, 4);
    case kRandom16: return randomBytes(n, seed, 16);
    case kRandom256: return randomBytes(n, seed, 256);
    case kText: return textLike(n, seed);
    case kRepetitive: return repetitive(n, seed);
    case kRuns: return runs(n, seed);
    case kPeriodic: {
        Bytes out(n);
        const Bytes unit = randomBytes(1 + seed % 300, seed, 256);
        for (size_t i = 0; i < n; ++i) out[i] = unit[i % unit.size()];
        return out;
    }
    }
    return Bytes();
}

struct GoldenCase {
    Kind kind;
    size_t size;   /* window + clip */
    size_t window; /* history bytes before the clip */
    uint64_t dictSize;
    uint64_t maxSave;
    bool lines;
    uint64_t hash; /* FNV-1a 64 of the clip's code bytes */
};

const GoldenCase kGolden[] = {
    {kRandom2, 1, 0, 1, 127, true, 0x082f2207b4e88cc4ull},
    {kRandom4, 100, 10, 3000, 600, false, 0x3617d5c230fecbadull},
    {kRandom16, 70000, 128, 1048576, 65535, true, 0x2ce1185a4a2339adull},
    {kRandom256, 16, 8, 128, 600, false, 0x03e4ef3fdb4fa91full},
    {kText, 20000, 0, 65536, 65535, true, 0xb65876c24cc0dbd3ull},
    {kRepetitive, 15, 7, 127, 127, false, 0x30a48e3ac09fbd31ull},
    {kRuns, 5000, 0, 4096, 65535, true, 0xddf5be7ea584eb82ull},
    {kPeriodic, 3, 1, 127, 127, false, 0xe325181871f84b52ull},
    {kRandom2, 5000, 0, 4096, 600, true, 0x26341da06cd088baull},
    {kRandom4, 3, 1, 1, 127, false, 0xe1f9f21870fa0fd8ull},
    {kRandom16, 1000, 500, 3000, 600, true, 0x0c1dadcb34503174ull},
    {kRandom256, 2, 1, 1048576, 65535, false, 0x082f5107b4e8dca1ull},
    {kText, 700, 0, 128, 600, true, 0x1367f0e2c558e5e2ull},
    {kRepetitive, 1, 0, 65536, 65535, false, 0x082f6607b4e90050ull},
    {kRuns, 100, 50, 128, 127, true, 0xd1aaa71c5ebb3bdbull},
    {kPeriodic, 70000, 1000, 65536, 65535, false, 0xf881378c27936963ull},
    {kRandom2, 100, 0, 127, 127, true, 0x14ca973273667ce0ull},
    {kRandom4, 70000, 5000, 4096, 600, false, 0x26424e3f898b511cull},
    {kRandom16, 16, 0, 1, 127, true, 0x170c2d8257c24dbdull},
    {kRandom256, 20000, 10, 3000, 600, false, 0xa1b7af5bcbac6b66ull},
    {kText, 15, 0, 1048576, 65535, true, 0x64e257948f74c69eull},
    {kRepetitive, 5000, 1000, 3000, 600, false, 0x3fd5511b946f50aaull},
    {kRuns, 3, 1, 1048576, 65535, true, 0x08328707b4eb6e3aull},
    {kPeriodic, 1000, 500, 128, 127, false, 0x39082f108b297821ull},
    {kRandom2, 3, 0, 65536, 65535, true, 0x6d3573669b2cdff5ull},
    {kRandom4, 1000, 10, 127, 127, false, 0xec462af2f085038cull},
    {kRandom16, 2, 1, 4096, 600, true, 0x082f2507b4e891ddull},
    {kRandom256, 700, 350, 1, 127, false, 0xc670c9f9b5f04633ull},
    {kText, 1, 0, 4096, 600, true, 0x082f4307b4e8c4d7ull},
    {kRepetitive, 100, 50, 1, 65535, false, 0x98a03dad7130d23cull},
    {kRuns, 70000, 0, 3000, 600, true, 0x31a0e9c8208f262aull},
    {kPeriodic, 16, 8, 1048576, 65535, false, 0x072ac8f67a19f32eull},
    {kRandom2, 70000, 0, 128, 127, true, 0x80c1e66065a4fd37ull},
    {kRandom4, 16, 8, 65536, 65535, false, 0x8d6c6ee573478844ull},
    {kRandom16, 20000, 3000, 127, 127, true, 0x2cd5ab1da0f40b20ull},
    {kRandom256, 15, 7, 65536, 600, false, 0xd8a6bbafdd5b511eull},
    {kText, 5000, 0, 127, 127, true, 0xa3e5bfefb9a67c66ull},
    {kRepetitive, 3, 1, 4096, 600, false, 0xe1899918709a70e6ull},
    {kRuns, 1000, 128, 1, 65535, true, 0x9330d22ba64ebc12ull},
    {kPeriodic, 2, 1, 3000, 600, false, 0x082fee07b4e9e768ull},
    {kRandom2, 1000, 0, 1048576, 65535, true, 0x4f85b3d6c34d4051ull},
    {kRandom4, 2, 1, 128, 127, false, 0x082f2307b4e88e77ull},
    {kRandom16, 700, 0, 1048576, 65535, true, 0x7bd0f9b986472210ull},
    {kRandom256, 1, 0, 128, 127, false, 0x082f2507b4e891ddull},
    {kText, 100, 0, 65536, 600, true, 0xe96f2301a98e2fcfull},
    {kRepetitive, 70000, 1000, 127, 127, false, 0xb0eba26f3f482648ull},
    {kRuns, 16, 8, 4096, 600, true, 0x094c9d07b5db1b51ull},
    {kPeriodic, 20000, 5000, 1, 65535, false, 0xc03b202d58f69ac7ull},
    {kRandom2, 16, 0, 3000, 600, true, 0xab02c3d0625b8ed5ull},
    {kRandom4, 20000, 10, 1, 65535, false, 0x5f361a0412ecb9e2ull},
    {kRandom16, 15, 7, 3000, 127, true, 0x210ff02cde3b05c4ull},
    {kRandom256, 5000, 1000, 1048576, 65535, false, 0xa5ea085d5282fcbaull},
    {kText, 3, 0, 128, 127, true, 0xbecc6b66380e482dull},
    {kRepetitive, 1000, 500, 65536, 600, false, 0xb9a327901e92f174ull},
    {kRuns, 2, 0, 127, 127, true, 0xe1f3241870f44620ull},
    {kPeriodic, 700, 10, 4096, 600, false, 0x557d7bdc506e7ff3ull},
    {kRandom2, 2, 0, 127, 65535, true, 0xe1f9f21870fa0fd8ull},
    {kRandom4, 700, 350, 4096, 600, false, 0x0ced15ba0fbb8c21ull},
    {kRandom16, 1, 0, 1, 65535, true, 0x082f2407b4e8902aull},
    {kRandom256, 100, 50, 3000, 127, false, 0x1e039612754bb769ull},
    {kText, 70000, 0, 1048576, 65535, true, 0xe0040e03d46246e5ull},
    {kRepetitive, 16, 8, 128, 127, false, 0x5935c1df19eb49bcull},
    {kRuns, 20000, 128, 65536, 600, true, 0x2bd515354141e218ull},
    {kPeriodic, 15, 7, 128, 127, false, 0x7671b995d0336d03ull},
    {kRandom2, 20000, 0, 65536, 600, true, 0xaf7ce00ddfd09b5cull},
    {kRandom4, 15, 7, 127, 65535, false, 0x8bcd3cd12e3ed75dull},
    {kRandom16, 5000, 0, 4096, 600, true, 0xc692b76a14a3f59dull},
    {kRandom256, 3, 1, 1, 65535, false, 0xe2230e18711d4480ull},
    {kText, 1000, 0, 3000, 127, true, 0x9aac09201c018b15ull},
    {kRepetitive, 2, 1, 1048576, 65535, false, 0x082ef907b4e84719ull},
    {kRuns, 700, 350, 3000, 127, true, 0x110656e92984d202ull},
    {kPeriodic, 1, 0, 1048576, 600, false, 0x082fd107b4e9b621ull},
    {kText, 300000, 4096, 4096, 65535, true, 0x77d7505e2fa55dd1ull},
    {kRepetitive, 200000, 1000, 65536, 65535, false, 0x03353ebde68ff96eull},
    {kRuns, 150000, 0, 1048576, 65535, true, 0xad91f57079015e00ull},
    {kRandom2, 100000, 3000, 3000, 600, true, 0x55b8054c1a64a585ull},
    {kRandom256, 120000, 4096, 4096, 65535, true, 0xe9fa963818ccb941ull},
    {kPeriodic, 80000, 65536, 65536, 65535, true, 0x36a1ce144bb9be0cull},
    {kText, 100000, 4096, 4096, 127, false, 0x2368f6355085f4e5ull},
    {kRandom4, 60000, 20000, 1048576, 65535, false, 0x14af4192bdab583aull},
};

uint64_t hashOf(const GoldenCase& c, size_t index) {
    const Bytes data = makeInput(c.kind, c.size, 1000 + index);
    vko_TCompressProps props = vko_kDefaultCompressProps;
    props.dictSize = c.dictSize;
    props.maxSaveLength = c.maxSave;
    props.useLiteralLine = c.lines;
    const EncodedClip enc = encodeClip(data, c.size - c.window, props);
    return fnv1a64(enc.code.data(), enc.code.size());
}

TEST(Golden, ClipBytesAreUnchanged) {
    const bool print = std::getenv("VEKKO_GOLDEN_PRINT") != nullptr;
    const size_t count = sizeof(kGolden) / sizeof(kGolden[0]);
    ASSERT_GE(count, 50u);
    for (size_t i = 0; i < count; ++i) {
        const GoldenCase& c = kGolden[i];
        const uint64_t h = hashOf(c, i);
        if (print) {
            static const char* const names[] = {"kRandom2", "kRandom4",    "kRandom16", "kRandom256",
                                                "kText",    "kRepetitive", "kRuns",     "kPeriodic"};
            std::printf("    {%s, %zu, %zu, %" PRIu64 ", %" PRIu64 ", %s, 0x%016" PRIx64 "ull},\n", names[c.kind],
                        c.size, c.window, c.dictSize, c.maxSave, c.lines ? "true" : "false", h);
            continue;
        }
        EXPECT_EQ(h, c.hash) << "case " << i << ": kind " << c.kind << ", " << c.size << " bytes, window "
                             << c.window << ", dictSize " << c.dictSize << ", maxSave " << c.maxSave
                             << (c.lines ? ", lines" : "");
    }
}

} // namespace

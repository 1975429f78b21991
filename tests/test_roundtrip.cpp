/* Round trips through the encoder and both decoders at every size boundary of the
 * format and the clip geometry. */
#include <gtest/gtest.h>

#include "codec_helpers.h"
#include "test_data.h"

using namespace vekko_test;

namespace {

/* Text-like bytes with stretches of noise and of runs, so that literals, literal
 * lines, near, far and repeated matches all occur. */
Bytes mixedData(size_t n, uint64_t seed) {
    Bytes data = textLike(n, seed);
    const Bytes noise = randomBytes(n, seed + 1);
    for (size_t i = 0; i < n; i += 4000) {
        for (size_t j = i; j < std::min(n, i + 700); ++j) data[j] = noise[j];
        for (size_t j = i + 1500; j < std::min(n, i + 1800); ++j) data[j] = 'r';
    }
    return data;
}

void expectRoundTrip(const Bytes& data, const vko_TCompressProps& props) {
    const Bytes stream = compress(data, &props);
    ASSERT_LE(stream.size(), vko_maxCompressedSize(data.size()));
    const uint32_t header = stream[0] | stream[1] << 8 | stream[2] << 16 | (uint32_t)stream[3] << 24;
    ASSERT_GE(header, 1u);
    ASSERT_LE(header, std::max<uint64_t>(1, std::min<uint64_t>(props.dictSize, data.size())));

    const Decoded mem = decodeMem(stream, data.size());
    ASSERT_EQ(mem.result, vko_RESULT_STREAM_END);
    ASSERT_TRUE(mem.bytes == data);
    const Decoded piecewise = decodeStream(stream, 4096, 4096);
    ASSERT_EQ(piecewise.result, vko_RESULT_STREAM_END);
    ASSERT_TRUE(piecewise.bytes == data);
}

} // namespace

TEST(RoundTrip, SizesAroundEveryBoundaryWithEveryDictionary) {
    const size_t sizes[] = {0, 1, 14, 15, 16, 127, 128, 2687, 2688, 4095, 4096, 4097, 262143, 262144, 262145};
    const uint64_t dicts[] = {1, 127, 4096, 1 << 20};
    for (size_t n : sizes) {
        const Bytes data = mixedData(n, n);
        for (uint64_t dict : dicts)
            for (bool line : {true, false}) {
                SCOPED_TRACE(testing::Message() << "size " << n << " dict " << dict << " lines " << line);
                expectRoundTrip(data, propsWith(dict, line));
            }
    }
}

TEST(RoundTrip, SeveralMegabytesAcrossManyClips) {
    const Bytes data = mixedData(3 << 20, 99);
    for (uint64_t dict : {4096u, 1u << 20}) {
        SCOPED_TRACE(dict);
        expectRoundTrip(data, propsWith(dict, true));
    }
}

TEST(RoundTrip, ShortMaxSaveLengthCutsMatchesAndLiteralPieces) {
    Bytes data(5000, 'a');
    const Bytes noise = randomBytes(3000, 5);
    data.insert(data.end(), noise.begin(), noise.end());
    for (bool line : {true, false}) expectRoundTrip(data, propsWith(4096, line, 127));
}

TEST(RoundTrip, StreamDecoderInSmallPiecesWithTinyCachesMatchesTheMemoryDecoder) {
    const Bytes data = mixedData(20000, 4);
    const Bytes stream = compress(data, nullptr);
    for (vko_size_t cache : {1u, 4096u})
        for (vko_size_t piece : {1u, 7u, 4096u}) {
            const Decoded d = decodeStream(stream, cache, piece, 0, 3);
            EXPECT_EQ(d.result, vko_RESULT_STREAM_END);
            EXPECT_TRUE(d.bytes == data) << cache << " " << piece;
        }
}

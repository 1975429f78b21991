/* The fast match search must choose exactly the parse of the oracle kept with the tests,
 * which shares no code with it: same prices, same steps, same bytes, for any window, clip
 * and settings. */
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "reference_match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 6) return 0;
    static const uint64_t dicts[] = {1, 126, 127, 128, 200, 1000, 2687, 2688, 4096, 65536};
    static const uint64_t saveLengths[] = {127, 128, 200, 511, 512, 513, 65535};
    vko_TCompressProps props = vko_kDefaultCompressProps;
    props.dictSize = dicts[bytes[0] % (sizeof(dicts) / sizeof(dicts[0]))];
    props.maxSaveLength = saveLengths[bytes[1] % (sizeof(saveLengths) / sizeof(saveLengths[0]))];
    props.useLiteralLine = bytes[2] & 1;
    /* a small alphabet makes long and many-levelled matches common */
    const unsigned alphabet = (bytes[2] >> 1) ? 1 + (bytes[2] >> 1) : 256;
    vekko_test::Bytes buffer;
    for (size_t i = 6; i < size; ++i) buffer.push_back((unsigned char)(bytes[i] % alphabet));
    if (buffer.empty()) return 0;
    /* stretch the input so that far distances occur */
    const size_t copies = bytes[5] % 8;
    const size_t base = buffer.size();
    for (size_t c = 0; c < copies && buffer.size() < (1 << 16); ++c)
        for (size_t i = 0; i < base; ++i) buffer.push_back(buffer[i] ^ (unsigned char)(i % 97 == 0 ? c : 0));
    const size_t window = (((size_t)bytes[3] << 8) | bytes[4]) % buffer.size();
    const size_t clipLen = buffer.size() - window;
    if (props.dictSize > buffer.size()) props.dictSize = buffer.size();

    const vekko_test::PricedClip fast = vekko_test::forwardPass(buffer, clipLen, props);
    vekko_test::PricedClip reference;
    const vekko_test::Bytes referenceCode = vekko_test::referenceEncodeClip(buffer, clipLen, props, &reference).code;
    if (fast.cost != reference.cost || fast.matchLen != reference.matchLen ||
        fast.matchDictPos != reference.matchDictPos)
        std::abort();
    if (vekko_test::encodeClip(buffer, clipLen, props).code != referenceCode) std::abort();
    return 0;
}

/* The C compression entry (vko_compress.h): the same streams as the C++ wrapper, and each
 * failure reported as its code instead of an exception. */
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "test_data.h"
#include "vekko_version.h"
#include "vko_compress.h"
#include "vko_dec.h"
#include "vko_wrapper.h"

extern "C" uint64_t compress_from_c(const unsigned char* src, uint64_t src_size, unsigned char* out,
                                    uint64_t out_capacity, int* error);

namespace {

using Bytes = std::vector<unsigned char>;

Bytes decode(const Bytes& code, size_t size) {
    Bytes out(size + 1);
    vko_size_t out_size = (vko_size_t)out.size();
    EXPECT_EQ(vko_decompress_mem(code.data(), (vko_size_t)code.size(), out.data(), &out_size), vko_RESULT_STREAM_END);
    out.resize(out_size);
    return out;
}

TEST(CompressC, SameStreamAsTheCppWrapper) {
    const Bytes input = vekko_test::textLike(700000, 21);  // several clips, so threads run
    for (uint64_t threads : {1, 3}) {
        SCOPED_TRACE(threads);
        Bytes expected(vko_max_compressed_size(input.size()));
        expected.resize(vko_compress_mem_threads(input.data(), input.size(), expected.data(), expected.size(),
                                                 65536, threads));
        Bytes code(vko_compress_bound(input.size()));
        int error = -1;
        code.resize(vko_compress_buffer(input.data(), input.size(), code.data(), code.size(), 65536, threads, &error));
        EXPECT_EQ(error, vko_COMPRESS_OK);
        EXPECT_EQ(code, expected);
        EXPECT_EQ(decode(code, input.size()), input);
    }
    Bytes code(vko_compress_bound(input.size()));
    code.resize(compress_from_c(input.data(), input.size(), code.data(), code.size(), nullptr));
    EXPECT_EQ(decode(code, input.size()), input);
}

TEST(CompressC, FailuresAreCodes) {
    const Bytes input = vekko_test::randomBytes(5000, 3);
    Bytes out(vko_compress_bound(input.size()));
    int error = -1;
    const uint64_t n = vko_compress_buffer(input.data(), input.size(), out.data(), out.size(), 4096, 1, &error);
    ASSERT_GT(n, 0u);
    struct Case {
        const char* what;
        const unsigned char* src;
        uint64_t src_size, capacity, dict_size;
        int expected;
    } cases[] = {
        {"fits exactly", input.data(), input.size(), n, 4096, vko_COMPRESS_OK},
        {"one byte short", input.data(), input.size(), n - 1, 4096, vko_COMPRESS_OUTPUT_TOO_SMALL},
        {"no room for the header", input.data(), input.size(), 2, 4096, vko_COMPRESS_OUTPUT_TOO_SMALL},
        {"dictionary 0", input.data(), input.size(), out.size(), 0, vko_COMPRESS_BAD_PROPS},
        {"dictionary above 2^30", input.data(), input.size(), out.size(), (1u << 30) + 1, vko_COMPRESS_BAD_PROPS},
        {"null input with bytes", nullptr, 10, out.size(), 4096, vko_COMPRESS_BAD_PROPS},
        {"empty null input", nullptr, 0, out.size(), 4096, vko_COMPRESS_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        error = -1;
        const uint64_t written = vko_compress_buffer(c.src, c.src_size, out.data(), c.capacity, c.dict_size, 1, &error);
        EXPECT_EQ(error, c.expected);
        EXPECT_EQ(written == 0, c.expected != vko_COMPRESS_OK);
        // Without a place for the code the call still fails the same way.
        EXPECT_EQ(vko_compress_buffer(c.src, c.src_size, out.data(), c.capacity, c.dict_size, 1, nullptr), written);
    }
}

TEST(CompressC, TextsAndBound) {
    std::set<std::string> texts;
    for (int code = vko_COMPRESS_OK; code <= vko_COMPRESS_INTERNAL + 1; ++code) texts.insert(vko_compress_error_text(code));
    EXPECT_EQ(texts.size(), 6u);  // one text per code, and one for unknown codes
    EXPECT_EQ(std::string(vko_compress_error_text(-1)), vko_compress_error_text(vko_COMPRESS_INTERNAL + 1));
    EXPECT_EQ(vko_compress_bound(1000), vko_max_compressed_size(1000));
    EXPECT_EQ(vko_compress_bound(UINT64_MAX), UINT64_MAX);
}

TEST(Version, LibraryMatchesHeader) {
    EXPECT_EQ(vekko_version_number(), (unsigned)VEKKO_VERSION_NUMBER);
    EXPECT_STREQ(vekko_version_string(), VEKKO_VERSION_STRING);
    EXPECT_EQ(std::to_string(VEKKO_VERSION_MAJOR) + "." + std::to_string(VEKKO_VERSION_MINOR) + "." +
                  std::to_string(VEKKO_VERSION_PATCH),
              VEKKO_VERSION_STRING);
}

}  // namespace

/* Deterministic test inputs shared by the test programs. */
#ifndef VEKKO_TEST_DATA_H
#define VEKKO_TEST_DATA_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vekko_test {

/* Bytes from a fixed-seed generator; alphabet limits the byte values to 0 .. alphabet-1. */
std::vector<unsigned char> randomBytes(size_t n, uint64_t seed, unsigned alphabet = 256);

/* Text-like bytes: words from a small vocabulary with repeats at many distances. */
std::vector<unsigned char> textLike(size_t n, uint64_t seed);

/* The corpus folder beside the project, or "" when it is absent. */
std::string corpusDir();

} // namespace vekko_test

#endif

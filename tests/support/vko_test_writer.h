/* A small vekko stream writer for tests.  It writes records exactly as given, with no
 * parsing or cost model, so tests can build streams the real encoder would never write:
 * wrapped vlen values, bad control codes, distances before the first byte. */
#ifndef VEKKO_TEST_WRITER_H
#define VEKKO_TEST_WRITER_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "decode_helpers.h"

namespace vekko_test {

class StreamWriter {
public:
    /* Starts a stream with the given header dictionary size. */
    explicit StreamWriter(uint32_t dictSize = 1);

    /* Records; each updates the coding state the way a decoder will. */
    void literal(unsigned char byte);
    void literals(const std::vector<unsigned char>& bytes);
    void literalLine(const std::vector<unsigned char>& bytes); /* at least 15 bytes */
    /* A literal line's control code and stored count (its length minus 15); the caller
     * writes its bytes with plainByte. */
    void literalLineStart(uint64_t storedCount);
    void match(uint32_t length, uint32_t distance);            /* explicit distance */
    void repeatMatch(uint32_t length);                         /* only right after a literal */
    void clipEnd();
    void streamEnd();
    /* A control code of any type, with none of its effects applied (for bad codes). */
    void control(uint64_t type);

    /* Format elements, for hand-made records.  vlen values may exceed 32 bits. */
    void typeBit(unsigned bit);
    void vlen(unsigned dataBits, uint64_t value);
    void plainByte(unsigned char byte);

    void setDictSize(uint32_t dictSize);
    /* Tells the writer what the decoder's after-literal flag is after hand-made records. */
    void setAfterLiteral(bool afterLiteral) { afterLiteral_ = afterLiteral; }
    const std::vector<unsigned char>& bytes() const { return bytes_; }
    bool afterLiteral() const { return afterLiteral_; }
    uint32_t savedDistance() const { return savedDist_; }

private:
    std::vector<unsigned char> bytes_;
    size_t typeByte_ = 0; /* index of the open type byte */
    unsigned typeUsed_ = 8; /* bits used in it; 8 means none is open */
    uint32_t savedDist_ = 1;
    bool afterLiteral_ = false;

    void resetState();
};

/* Number of type bits of the vlen code of `value` with `dataBits` data bits per group. */
unsigned vlenBitCount(unsigned dataBits, uint64_t value);

/* A stream of random records (literals, literal lines, near, far and repeat matches,
 * clip ends) and the bytes it decodes to.  Distances stay within maxDist, which is
 * also the header's dictionary size. */
struct RandomStream {
    std::vector<unsigned char> stream;
    std::vector<unsigned char> data;
};
RandomStream randomRecords(uint64_t seed, size_t records, uint32_t maxDist = 5000);

} // namespace vekko_test

#endif

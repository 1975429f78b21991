#include "vko_test_writer.h"

#include <algorithm>
#include <stdexcept>

namespace vekko_test {

namespace {
const uint32_t kMinFarDist = 2688;
const size_t kMinLineLen = 15;

/* Splits a vlen value into its group count n and the remainder written in n+1 groups. */
void splitVlen(unsigned dataBits, uint64_t& value, unsigned& groups) {
    if (value >= (uint64_t(1) << 60)) throw std::invalid_argument("vlen value too large");
    groups = 0;
    uint64_t limit = uint64_t(1) << dataBits;
    while (value >= limit) {
        value -= limit;
        groups++;
        limit = uint64_t(1) << (dataBits * (groups + 1));
    }
}
} // namespace

StreamWriter::StreamWriter(uint32_t dictSize) {
    bytes_.resize(4);
    setDictSize(dictSize);
}

void StreamWriter::setDictSize(uint32_t dictSize) {
    for (int i = 0; i < 4; i++) bytes_[i] = (unsigned char)(dictSize >> (8 * i));
}

void StreamWriter::typeBit(unsigned bit) {
    if (typeUsed_ == 8) {
        typeByte_ = bytes_.size();
        bytes_.push_back(0);
        typeUsed_ = 0;
    }
    bytes_[typeByte_] |= (unsigned char)((bit & 1) << typeUsed_);
    typeUsed_++;
}

void StreamWriter::plainByte(unsigned char byte) { bytes_.push_back(byte); }

void StreamWriter::vlen(unsigned dataBits, uint64_t value) {
    unsigned n;
    splitVlen(dataBits, value, n);
    for (unsigned g = n + 1; g-- > 0;) {
        for (unsigned i = 0; i < dataBits; i++) typeBit(unsigned(value >> (g * dataBits + i)));
        typeBit(g > 0 ? 1 : 0);
    }
}

unsigned vlenBitCount(unsigned dataBits, uint64_t value) {
    unsigned n;
    splitVlen(dataBits, value, n);
    return (dataBits + 1) * (n + 1);
}

void StreamWriter::literal(unsigned char byte) {
    typeBit(1);
    plainByte(byte);
    afterLiteral_ = true;
}

void StreamWriter::literals(const std::vector<unsigned char>& bytes) {
    for (unsigned char b : bytes) literal(b);
}

void StreamWriter::literalLine(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < kMinLineLen) throw std::invalid_argument("literal line too short");
    literalLineStart(bytes.size() - kMinLineLen);
    for (unsigned char b : bytes) plainByte(b);
}

void StreamWriter::literalLineStart(uint64_t storedCount) {
    control(1);
    vlen(2, storedCount);
    afterLiteral_ = true;
}

void StreamWriter::match(uint32_t length, uint32_t distance) {
    const uint32_t minLen = distance >= kMinFarDist ? 3 : 2;
    if (distance == 0 || length < minLen) throw std::invalid_argument("match not writable");
    typeBit(0);
    vlen(1, length - minLen);
    if (afterLiteral_) typeBit(0);
    if (distance < 128) {
        plainByte((unsigned char)distance);
    } else {
        plainByte((unsigned char)(0x80 | ((distance - 128) & 0x7F)));
        vlen(2, (distance - 128) >> 7);
    }
    savedDist_ = distance;
    afterLiteral_ = false;
}

void StreamWriter::repeatMatch(uint32_t length) {
    if (!afterLiteral_ || length < 2) throw std::invalid_argument("repeat match not writable");
    typeBit(0);
    vlen(1, length - 2);
    typeBit(1);
    afterLiteral_ = false;
}

void StreamWriter::control(uint64_t type) {
    typeBit(0);
    vlen(1, type);
    if (afterLiteral_) typeBit(0);
    plainByte(0);
    afterLiteral_ = false;
}

void StreamWriter::resetState() {
    typeUsed_ = 8;
    savedDist_ = 1;
    afterLiteral_ = false;
}

void StreamWriter::clipEnd() {
    control(2);
    resetState();
}

void StreamWriter::streamEnd() {
    control(3);
    resetState();
}

} // namespace vekko_test


namespace vekko_test {

RandomStream randomRecords(uint64_t seed, size_t records, uint32_t maxDist) {
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&state](uint64_t bound) { /* xorshift64*, bound > 0 */
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return (state * 2685821657736338717ull >> 11) % bound;
    };
    RandomStream r;
    StreamWriter w(maxDist);
    auto literalByte = [&] { return (unsigned char)(next(4) == 0 ? next(256) : 'a' + next(6)); };
    auto copy = [&](uint32_t length, uint32_t distance) {
        for (uint32_t i = 0; i < length; i++) r.data.push_back(r.data[r.data.size() - distance]);
    };
    for (size_t i = 0; i < records; i++) {
        const uint64_t kind = next(100);
        const uint32_t produced = (uint32_t)std::min<size_t>(r.data.size(), maxDist);
        if (kind < 40 || produced == 0) {
            const unsigned char b = literalByte();
            w.literal(b);
            r.data.push_back(b);
        } else if (kind < 46) {
            std::vector<unsigned char> line(15 + next(next(8) == 0 ? 400 : 40));
            for (auto& b : line) b = literalByte();
            w.literalLine(line);
            r.data.insert(r.data.end(), line.begin(), line.end());
        } else if (kind < 56 && w.afterLiteral() && w.savedDistance() <= produced) {
            const uint32_t length = 2 + (uint32_t)next(next(4) == 0 ? 300 : 12);
            w.repeatMatch(length);
            copy(length, w.savedDistance());
        } else if (kind < 98) {
            /* mostly short distances, some anywhere in the window */
            const uint64_t pick = next(4);
            const uint32_t bound = pick == 0 ? produced : std::min<uint32_t>(produced, pick == 1 ? 700 : 16);
            const uint32_t distance = 1 + (uint32_t)next(bound);
            const uint32_t minLen = distance >= 2688 ? 3 : 2;
            const uint32_t length = minLen + (uint32_t)next(next(8) == 0 ? 1000 : 20);
            w.match(length, distance);
            copy(length, distance);
        } else {
            w.clipEnd();
        }
    }
    w.streamEnd();
    r.stream = w.bytes();
    return r;
}

} // namespace vekko_test

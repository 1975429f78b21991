// Cover search over one old data, run as often as the caller likes on new data.
#ifndef VKD_COVER_H
#define VKD_COVER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vko_diff.h"

namespace vkd {
namespace detail {

// Default for vkd_TDiffOptions.min_cover_gain: a cover must save about as many bytes as its
// three numbers and the run-length bytes around it cost, also after compression.
constexpr uint64_t kDefaultMinGain = 20;

// What the bytes of a diff cost once compressed, in bits, as measured on a diff of the same
// data: the cover search that prices its choices takes them.
struct Prices {
    double literal = 3.0;  // a new byte outside covers
    double equal = 0.02;   // an equal byte inside a cover (part of a zero run)
    double differ = 10.0;  // a differing byte inside a cover (its diff byte and run overhead)
    double number = 7.0;   // a byte of a cover's three packed numbers
    double cover = 2.0;    // each cover, beyond its numbers
    // When above 0, old steps (and with count_log also gaps and lengths) are priced by
    // their magnitude instead: 1 + this many bits per bit of the value.  Far steps are
    // dearer than their packed bytes suggest, since their bytes scatter.
    double step_log = 0;
    double count_log = 0;

    // Price of a cover number (k tag bits: 1 for the old step, else 0).
    double number_bits(uint64_t value, unsigned k) const;
};

class CoverFinder {
public:
    // Sorts the suffixes of the old data, which must outlive this: 5 bytes per old byte, and
    // 256 KiB for where the suffixes of each pair of first bytes start.  The lengths
    // neighbours share are found on up to `threads` threads.
    CoverFinder(const unsigned char* old_data, size_t old_size, unsigned threads = 1);
    ~CoverFinder();
    CoverFinder(const CoverFinder&) = delete;
    CoverFinder& operator=(const CoverFinder&) = delete;

    // Covers of new_data, ordered and not overlapping; min_cover_gain 0 = the default.
    std::vector<Cover> find(const unsigned char* new_data, size_t new_size, uint64_t min_cover_gain) const;

    // Covers chosen for the smallest priced total: a shortest path over the new data where
    // each byte is either a new byte, or extends the open cover at its offset, or starts a
    // cover at a match from the old data (the longest one, the last cover's offset, or right
    // after the last cover's old end).  One cover list per setting of prices; the settings
    // are walked on up to `threads` threads, which changes nothing in the lists.
    std::vector<std::vector<Cover>> find_priced(const unsigned char* new_data, size_t new_size,
                                                const std::vector<Prices>& settings, unsigned threads = 1) const;

private:
    struct Index;
    const unsigned char* old_;
    size_t old_size_;
    std::unique_ptr<Index> index_;
};

}  // namespace detail
}  // namespace vkd

#endif

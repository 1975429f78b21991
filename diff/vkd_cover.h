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

class CoverFinder {
public:
    // Sorts the suffixes of the old data (4 bytes per old byte), which must outlive this.
    CoverFinder(const unsigned char* old_data, size_t old_size);
    ~CoverFinder();
    CoverFinder(const CoverFinder&) = delete;
    CoverFinder& operator=(const CoverFinder&) = delete;

    // Covers of new_data, ordered and not overlapping; min_cover_gain 0 = the default.
    std::vector<Cover> find(const unsigned char* new_data, size_t new_size, uint64_t min_cover_gain) const;

private:
    struct Index;
    const unsigned char* old_;
    size_t old_size_;
    std::unique_ptr<Index> index_;
};

}  // namespace detail
}  // namespace vkd

#endif

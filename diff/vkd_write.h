// The diff layouts as the writer's other parts use them: one diff from a cover list, with
// the options already checked.
#ifndef VKD_WRITE_H
#define VKD_WRITE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vkd_bytes.h"
#include "vko_diff.h"

namespace vkd {
namespace detail {

struct Input {
    const unsigned char* old_data;
    size_t old_size;
    const unsigned char* new_data;
    size_t new_size;
};

// Cover gains tried when the caller leaves min_cover_gain at 0.
constexpr size_t kGainTryCount = 5;
extern const uint64_t kGainTries[kGainTryCount];

// Throws std::runtime_error naming the first option out of range.
void check_options(const vkd_TDiffOptions& options);

// The diff of these covers in the options' format.
Bytes write_diff(const Input& in, const std::vector<Cover>& covers, const vkd_TDiffOptions& options);

}  // namespace detail
}  // namespace vkd

#endif

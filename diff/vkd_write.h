// The diff layouts as the writer's other parts use them: one diff from a cover list, with
// the options already checked.
#ifndef VKD_WRITE_H
#define VKD_WRITE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vkd_bytes.h"
#include "vkd_cover.h"
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
// Where the default writer ranks candidates at a quicker level it tries the first of these,
// up to the default: the priced cover search does better than the higher ones.
constexpr size_t kGreedyGainCount = 3;

// Zero runs of this many bytes or more become skips of a step's run chain, unless the caller
// picks another length (any length from 1 makes a diff the patch reads); the step formats'
// writer tries these and keeps the smallest diff.
constexpr uint64_t kDefaultSkipRun = 3;
constexpr size_t kSkipRunTryCount = 3;
extern const uint64_t kSkipRunTries[kSkipRunTryCount];

// Candidate diffs are ranked with zstd at this level when a stronger one is asked for (the
// ranking rarely differs), and this many of the best are written at the level asked for.
constexpr int kZstdProbeLevel = 9;
constexpr size_t kFinalists = 3;
vkd_TDiffOptions probe_options(const vkd_TDiffOptions& options);

// The priced cover search runs with each of these settings: new bytes at a share of their
// measured price (the covers named instead of them make the numbers around them dearer
// too), a fixed price of a cover (bits), and how old steps and the other numbers are priced
// (see Prices).
struct PriceSetting {
    double literal_scale, cover, step_log, count_log;
};
constexpr size_t kPriceSettingCount = 3;
extern const PriceSetting kPriceSettings[kPriceSettingCount];

// The measured prices with a setting applied.
Prices priced_setting(const Prices& measured, const PriceSetting& setting);

// Prices for the priced cover search, measured on a diff of these covers: each part of the
// compressed layout compressed on its own with the options' compressor.
Prices measure_prices(const Input& in, const std::vector<Cover>& covers, const vkd_TDiffOptions& options);

// Throws std::runtime_error naming the first option out of range.
void check_options(const vkd_TDiffOptions& options);

// The diff of these covers in the options' format.
Bytes write_diff(const Input& in, const std::vector<Cover>& covers, const vkd_TDiffOptions& options,
                 uint64_t skip_run = kDefaultSkipRun);

}  // namespace detail
}  // namespace vkd

#endif

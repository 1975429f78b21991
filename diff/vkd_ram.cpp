// Diffs made for a device's RAM budget.
//
// A device applying a window diff with the device plug-ins holds the window, the step
// memory, a ring of window descriptors, the vekko decoder's window (the diff's dictionary)
// and a few fixed records; mirv_DEVICE_UPDATE_RAM_SMALL says how much in all, and it is the
// only place the figure comes from here.  The search spends the budget left after the fixed
// part on the three sizes that shape the diff:
//   - the window bounds how far apart in the old data the covers of one step may lie; a
//     small one cuts covers and starts more steps, each with its own descriptor;
//   - the step memory bounds one step's covers and run-length chain; a small one splits
//     steps, which costs a few bytes each;
//   - the dictionary is how far back the compressor may look for repeats in the body,
//     which is where most of the size goes on code-like data.
// Which share pays best depends on the data, so a handful of splits are written and the
// smallest diff kept.  The cover search (suffix sort and cover walks) is done once; each
// try only lays the covers out and compresses the body.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "mirv_device_plugins.h"
#include "vkd_cover.h"
#include "vkd_parallel.h"
#include "vkd_write.h"
#include "vko_diff.h"

namespace vkd {

using detail::Bytes;

namespace {

uint64_t ram_small(uint64_t window, uint64_t step_mem, uint64_t ring, uint64_t dict) {
    return mirv_DEVICE_UPDATE_RAM_SMALL(window, step_mem, ring, dict);
}

// Largest dictionary with which window, step memory and ring fit in ram; 0 when even a
// one-byte dictionary does not.
uint64_t largest_dict(uint64_t ram, uint64_t window, uint64_t step_mem, uint64_t ring) {
    if (ram_small(window, step_mem, ring, 1) > ram) return 0;
    uint64_t lo = 1, hi = ram;  // lo fits; the figure grows with the dictionary
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo + 1) / 2;
        if (ram_small(window, step_mem, ring, mid) <= ram) lo = mid;
        else hi = mid - 1;
    }
    return std::min<uint64_t>(lo, uint64_t(1) << 30);
}

vkd_TDiffOptions ram_options(uint64_t window, uint64_t step_mem, uint64_t ring, uint64_t dict, uint64_t gain) {
    vkd_TDiffOptions o;
    vkd_default_options(&o);
    o.format = vkd_FORMAT_WINDOW;
    o.compress = vkd_COMPRESS_VEKKO;
    o.checksum = vkd_CHECKSUM_CRC32;
    o.window_size = window;
    o.step_mem_size = step_mem;
    o.ring_size = ring;
    o.vekko_dict_size = dict;
    o.min_cover_gain = gain;
    return o;
}

class RamSearch {
public:
    RamSearch(const detail::Input& in, uint64_t ram, unsigned threads) : in_(in), ram_(ram), threads_(threads) {}

    struct Split {
        uint64_t window, step_mem, ring;
        size_t cover_set;
    };

    // Writes the diff for each split with the dictionary taking the rest of the budget, side
    // by side on the threads, and keeps the smallest so far (on equal sizes the one found
    // first, in the order given).  A split that leaves no room, or was tried before, is skipped.
    void try_splits(const std::vector<Split>& splits) {
        std::vector<vkd_TDiffOptions> options;
        std::vector<size_t> sets;
        for (Split split : splits) {
            split.window = std::max<uint64_t>(1, std::min<uint64_t>(split.window, std::max<size_t>(in_.old_size, 1)));
            split.step_mem = std::max<uint64_t>(split.step_mem, vkd_kMinStepMemSize);
            const uint64_t dict = largest_dict(ram_, split.window, split.step_mem, split.ring);
            if (dict == 0) continue;
            bool tried = false;
            for (size_t i = 0; i < tried_.size() && !tried; ++i) {
                const vkd_TDiffOptions& t = tried_[i];
                tried = t.window_size == split.window && t.step_mem_size == split.step_mem &&
                        t.ring_size == split.ring && tried_sets_[i] == split.cover_set;
            }
            if (tried) continue;
            tried_.push_back(ram_options(split.window, split.step_mem, split.ring, dict, gains_[split.cover_set]));
            tried_sets_.push_back(split.cover_set);
            options.push_back(tried_.back());
            sets.push_back(split.cover_set);
        }
        std::vector<Bytes> diffs(options.size());
        detail::for_each_index(options.size(), threads_, [&](size_t i, unsigned) {
            diffs[i] = detail::write_diff(in_, covers_[sets[i]], options[i]);
        });
        for (size_t i = 0; i < diffs.size(); ++i) {
            if (best_.empty() || diffs[i].size() < best_.size()) {
                best_ = std::move(diffs[i]);
                best_options_ = options[i];
                best_set_ = sets[i];
            }
        }
    }

    // The best diff may use less step memory or dictionary than it was allowed (its steps
    // came out smaller, or its body is shorter than the dictionary): hand what is left to
    // the window, or, with the step memory cut to what was used, to the dictionary.
    void reclaim() {
        mirv_windowDiffInfo info;
        mirv_TStreamInput stream;
        mem_as_mirvStreamInput(&stream, best_.data(), best_.data() + best_.size());
        if (!getWindowDiffInfo(&info, &stream, 0)) return;
        const vkd_TDiffOptions o = best_options_;
        const uint64_t used_step = std::min<uint64_t>(o.step_mem_size, (uint64_t(info.step_mem_size) + 15) / 16 * 16);
        uint64_t used_dict = o.vekko_dict_size;
        if (info.compressed_size >= 4 && info.head_size + 4 <= best_.size()) {
            // The vekko stream starts with the decoder window it needs, 4 bytes little-endian.
            const unsigned char* p = best_.data() + info.head_size;
            used_dict = std::min<uint64_t>(used_dict, p[0] | p[1] << 8 | p[2] << 16 | uint64_t(p[3]) << 24);
        }
        const uint64_t spare = o.step_mem_size - used_step + o.vekko_dict_size - used_dict;
        if (spare < 16) return;
        std::vector<Split> splits{{o.window_size + spare, used_step, o.ring_size, best_set_}};
        if (used_step < o.step_mem_size) splits.push_back({o.window_size, used_step, o.ring_size, best_set_});
        try_splits(splits);
    }

    // gain: the bar the covers were found with; 0 for priced covers.
    void add_covers(uint64_t gain, std::vector<Cover> covers) {
        for (const std::vector<Cover>& c : covers_)
            if (c == covers) return;  // same covers, same diffs
        gains_.push_back(gain);
        covers_.push_back(std::move(covers));
    }

    // Room for window, step memory and dictionary together at this ring.
    uint64_t room(uint64_t ring) const {
        const uint64_t d = largest_dict(ram_, 1, vkd_kMinStepMemSize, ring);
        return d ? d + 1 + vkd_kMinStepMemSize : 0;
    }

    size_t cover_sets() const { return covers_.size(); }
    size_t best_set() const { return best_set_; }
    const vkd_TDiffOptions& best_options() const { return best_options_; }
    Bytes& best() { return best_; }

private:
    const detail::Input& in_;
    uint64_t ram_;
    unsigned threads_;
    std::vector<uint64_t> gains_;
    std::vector<std::vector<Cover>> covers_;
    std::vector<vkd_TDiffOptions> tried_;
    std::vector<size_t> tried_sets_;
    Bytes best_;
    vkd_TDiffOptions best_options_{};
    size_t best_set_ = 0;
};

// Sizes are kept to multiples of 16 bytes: finer shares make no difference worth a try.
uint64_t share(uint64_t total, uint64_t numerator, uint64_t denominator) {
    return total / denominator * numerator / 16 * 16;
}

Bytes create_diff_for_ram_on(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                             size_t new_size, uint64_t ram_bytes, uint64_t min_cover_gain, vkd_TDiffOptions* chosen,
                             unsigned threads) {
    const detail::Input in{old_data, old_size, new_data, new_size};
    RamSearch search(in, ram_bytes, threads);
    {
        const detail::CoverFinder finder(old_data, old_size, threads);
        if (min_cover_gain) {
            search.add_covers(min_cover_gain, finder.find(new_data, new_size, min_cover_gain));
        } else {
            std::vector<std::vector<Cover>> greedy(detail::kGainTryCount);
            detail::for_each_index(greedy.size(), threads, [&](size_t i, unsigned) {
                greedy[i] = finder.find(new_data, new_size, detail::kGainTries[i]);
            });
            // Covers chosen by price, the prices measured with the compressor of a middle split
            // on the default bar's covers.
            const size_t default_bar = size_t(std::find(detail::kGainTries, detail::kGainTries + detail::kGainTryCount,
                                                        detail::kDefaultMinGain) -
                                              detail::kGainTries);
            const uint64_t room = search.room(4);
            vkd_TDiffOptions middle = ram_options(room / 2, room / 8, 4, std::max<uint64_t>(1, room / 4), 0);
            const detail::Prices measured = detail::measure_prices(in, greedy[default_bar], middle);
            for (size_t i = 0; i < greedy.size(); ++i) search.add_covers(detail::kGainTries[i], std::move(greedy[i]));
            std::vector<detail::Prices> settings;
            for (const detail::PriceSetting& setting : detail::kPriceSettings)
                settings.push_back(detail::priced_setting(measured, setting));
            for (std::vector<Cover>& covers : finder.find_priced(new_data, new_size, settings, threads))
                search.add_covers(0, std::move(covers));
        }
    }

    // First the cover gain, on a middle split; then the splits with the best covers; then
    // the ring around the best split; last the gain again, for the split that won.
    using Split = RamSearch::Split;
    const uint64_t ring = 4, room = search.room(ring);
    std::vector<Split> splits;
    for (size_t set = 0; set < search.cover_sets(); ++set) {
        const uint64_t step = share(room, 1, 8);
        splits.push_back({share(room - step, 1, 2), step, ring, set});
    }
    search.try_splits(splits);
    const size_t set = search.best_set();
    static const uint64_t kStepShares[][2] = {{1, 16}, {1, 8}, {1, 4}};
    static const uint64_t kWindowShares[][2] = {{1, 4}, {1, 3}, {1, 2}, {2, 3}};
    splits.clear();
    for (const auto& s : kStepShares) {
        const uint64_t step = share(room, s[0], s[1]);
        for (const auto& w : kWindowShares) splits.push_back({share(room - step, w[0], w[1]), step, ring, set});
    }
    search.try_splits(splits);
    const vkd_TDiffOptions split = search.best_options();
    splits.clear();
    for (uint64_t r : {2, 8, 16}) splits.push_back({split.window_size, split.step_mem_size, r, set});
    search.try_splits(splits);
    search.reclaim();
    const vkd_TDiffOptions best = search.best_options();
    splits.clear();
    for (size_t other = 0; other < search.cover_sets(); ++other)
        splits.push_back({best.window_size, best.step_mem_size, best.ring_size, other});
    search.try_splits(splits);
    search.reclaim();

    if (chosen) *chosen = search.best_options();
    return std::move(search.best());
}

}  // namespace

std::vector<unsigned char> create_diff_for_ram(const unsigned char* old_data, size_t old_size,
                                               const unsigned char* new_data, size_t new_size, uint64_t ram_bytes,
                                               uint64_t min_cover_gain, vkd_TDiffOptions* chosen) {
    if (ram_bytes < vkd_kMinRamBudget)
        throw std::runtime_error("a RAM budget must be at least " + std::to_string(vkd_kMinRamBudget) + " bytes");
    // Past this no size grows any more (the dictionary stops at 2^30, the window at the old
    // size), and the figures stay far from overflowing.
    ram_bytes = std::min<uint64_t>(ram_bytes, uint64_t(1) << 40);
    return detail::on_available_cores([&](unsigned threads) {
        return create_diff_for_ram_on(old_data, old_size, new_data, new_size, ram_bytes, min_cover_gain, chosen,
                                      threads);
    });
}

}  // namespace vkd

extern "C" {

uint64_t vkd_device_ram_small(const vkd_TDiffOptions* o) {
    return vkd::ram_small(o->window_size, o->step_mem_size, o->ring_size,
                          o->compress == vkd_COMPRESS_VEKKO ? o->vekko_dict_size : 0);
}

vkd_TError vkd_create_diff_for_ram(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                                   size_t new_size, uint64_t ram_bytes, uint64_t min_cover_gain,
                                   vkd_TDiffOptions* out_options, unsigned char** out_diff, size_t* out_size) {
    if (!out_diff || !out_size || (!old_data && old_size) || (!new_data && new_size) || ram_bytes < vkd_kMinRamBudget)
        return vkd_BAD_OPTIONS;
    try {
        vkd_TDiffOptions chosen;
        const std::vector<unsigned char> diff =
            vkd::create_diff_for_ram(old_data, old_size, new_data, new_size, ram_bytes, min_cover_gain, &chosen);
        unsigned char* out = static_cast<unsigned char*>(std::malloc(diff.size() ? diff.size() : 1));
        if (!out) return vkd_NO_MEMORY;
        if (!diff.empty()) std::memcpy(out, diff.data(), diff.size());
        *out_diff = out;
        *out_size = diff.size();
        if (out_options) *out_options = chosen;
        return vkd_OK;
    } catch (const std::bad_alloc&) {
        return vkd_NO_MEMORY;
    } catch (...) {
        return vkd_FAILED;
    }
}

}  // extern "C"

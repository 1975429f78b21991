// Cover search: exact matches from a suffix array of the old data, widened both ways while
// most bytes still agree, kept only when they pay for themselves.
#include <divsufsort.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <utility>
#include <new>
#include <stdexcept>

#include "vkd_bytes.h"
#include "vkd_cover.h"
#include "vkd_parallel.h"

namespace vkd {

using detail::common_prefix;
using detail::packed_size;

namespace {

// Exact matches shorter than this are not worth widening into covers.
constexpr size_t kMinExactMatch = 5;
// A widening stops once its score fell this far below its best point.
constexpr int64_t kWidenDrop = 24;
// A differing byte costs about two equal ones: its diff byte must be stored, and it breaks
// the zero runs that compress to nearly nothing.
constexpr int64_t kMissCost = 2;
// A match this much shorter than the longest may be taken when it lies closer.
constexpr size_t kNearSlack = 4;
// Old positions this close to the last cover's end or offset count as near.
constexpr uint64_t kNearDistance = 64;
// ... and pay for themselves with this share of the usual bar, but never less than kMinNearGain.
constexpr int64_t kNearBarPercent = 50;
constexpr int64_t kMinNearGain = 6;
// A match at the next position this much longer is the better start.
constexpr size_t kLazyMargin = 3;

class OldIndex {
public:
    OldIndex(const unsigned char* old_data, size_t old_size, unsigned threads) : old_(old_data), size_(old_size) {
        if (old_size == 0) return;
        if (old_size > size_t(std::numeric_limits<int32_t>::max()))
            throw std::runtime_error("old data too large for the cover search (2 GiB at most)");
        sa_.resize(old_size);
        const saint_t sorted = divsufsort(old_data, sa_.data(), static_cast<saidx_t>(old_size));
        if (sorted == -2) throw std::bad_alloc();  // its work space could not be had
        if (sorted != 0) throw std::runtime_error("suffix sort of the old data failed");
        // lcp_[r]: what the suffixes ranked r - 1 and r share, up to kLcpCap; a stretch of
        // ranks per thread.
        lcp_.resize(old_size);
        lcp_[0] = 0;
        const size_t stretch = old_size / threads + 1;
        detail::for_each_index(threads, threads, [&](size_t part, unsigned) {
            const size_t end = std::min(old_size, (part + 1) * stretch);
            for (size_t r = std::max<size_t>(1, part * stretch); r < end; ++r) {
                const size_t a = size_t(sa_[r - 1]), b = size_t(sa_[r]);
                lcp_[r] = uint8_t(common_prefix(old_data + a, old_data + b, std::min(old_size - std::max(a, b), kLcpCap)));
            }
        });
        // The suffixes are sorted by their first two bytes, so a key's first rank is the number
        // of suffixes with a smaller key: counted in one pass over the old data in order.
        first_rank_.assign(65537, 0);
        for (size_t p = 0; p < old_size; ++p)
            ++first_rank_[((size_t(old_data[p]) << 8) | (p + 1 < old_size ? old_data[p + 1] : 0)) + 1];
        for (size_t key = 1; key <= 65536; ++key) first_rank_[key] += first_rank_[key - 1];
    }

    // Longest prefix of text[0 .. size) found in the old data: its length and old position.
    size_t longest(const unsigned char* text, size_t size, size_t* old_pos, size_t* rank_out = nullptr) const {
        size_t rank_dummy;
        size_t* rank = rank_out ? rank_out : &rank_dummy;
        *rank = 0;
        *old_pos = 0;
        if (size_ == 0 || size == 0) return 0;
        // The suffixes that start with text's first two bytes are a run of ranks.  Searched
        // between its two neighbours, which differ from text within those bytes, the search
        // ends at the same two adjacent ranks as one over all ranks, with the same result,
        // in fewer steps.  Only when a suffix holds all of text does the rank met on the way
        // decide; then the search over all ranks is made, as are those at either end.
        if (size >= 2) {
            const size_t key = (size_t(text[0]) << 8) | text[1];
            const size_t first = first_rank_[key], end = first_rank_[key + 1];
            if (first > 0 && end < size_) {
                const size_t len = search(text, size, first - 1, end, false, old_pos, rank);
                if (len != kAllOfText) return len;
            }
        }
        return search(text, size, 0, size_ - 1, true, old_pos, rank);
    }

    // Among the suffixes ranked near `rank`, one sharing at least `min_len` bytes with text
    // whose position is closest to target (of equally close ones, the lowest ranked); returns
    // its shared length (0: none).  `rank` must hold the longest match of text, max_len long.
    size_t nearest(const unsigned char* text, size_t size, size_t rank, size_t min_len, size_t max_len,
                   size_t target, size_t* old_pos, size_t ranks = kNearRanks) const {
        // No suffix shares more than the longest match, so comparing that far is enough.
        size = std::min(size, max_len);
        const size_t longest = max_len;
        size_t best_len = 0, best_dist = SIZE_MAX, best_rank = 0;
        auto consider = [&](size_t r, size_t lcp) {
            if (lcp < min_len) return;
            const size_t p = size_t(sa_[r]);
            const size_t dist = p > target ? p - target : target - p;
            if (dist > best_dist || (dist == best_dist && r > best_rank)) return;
            best_dist = dist;
            best_rank = r;
            best_len = lcp;
        };
        consider(rank, longest);
        // What text shares with the suffix at r is the smaller of what it shares with the
        // longest match and what that shares with r: the smallest neighbour LCP in between.
        // From where that falls below min_len on, no suffix further out qualifies.
        auto shared = [&](size_t r, size_t between) {
            return between < kLcpCap || longest <= kLcpCap ? std::min(longest, between) : prefix_at(r, text, size, 0);
        };
        const size_t from = rank > ranks ? rank - ranks : 0;
        const size_t to = std::min(size_, rank + ranks + 1);
        size_t between = SIZE_MAX;
        for (size_t r = rank; r-- > from;) {
            between = std::min<size_t>(between, lcp_[r + 1]);
            if (between < min_len && between < kLcpCap) break;
            consider(r, shared(r, between));
        }
        between = SIZE_MAX;
        for (size_t r = rank + 1; r < to; ++r) {
            between = std::min<size_t>(between, lcp_[r]);
            if (between < min_len && between < kLcpCap) break;
            consider(r, shared(r, between));
        }
        if (best_len) *old_pos = size_t(sa_[best_rank]);
        return best_len;
    }
    static constexpr size_t kNearRanks = 48;

private:
    static constexpr size_t kAllOfText = SIZE_MAX;

    // Binary search for text between ranks lo and hi; when a suffix holds all of text, its
    // rank is the answer if all_found_ends, else the search gives up with kAllOfText.
    size_t search(const unsigned char* text, size_t size, size_t lo, size_t hi, bool all_found_ends, size_t* old_pos,
                  size_t* rank) const {
        size_t lcp_lo = prefix_at(lo, text, size, 0);
        size_t lcp_hi = prefix_at(hi, text, size, 0);
        while (hi - lo > 1) {
            const size_t mid = lo + (hi - lo) / 2;
#if defined(__GNUC__)
            // The search is bound by cache misses: ask for both suffixes the next step may
            // look at while this one is compared.
            __builtin_prefetch(old_ + sa_[lo + (mid - lo) / 2]);
            __builtin_prefetch(old_ + sa_[mid + (hi - mid) / 2]);
#endif
            const size_t known = std::min(lcp_lo, lcp_hi);
            const size_t lcp = prefix_at(mid, text, size, known);
            if (lcp == size) {
                if (!all_found_ends) return kAllOfText;
                *old_pos = size_t(sa_[mid]);
                *rank = mid;
                return lcp;
            }
            const size_t suffix = size_t(sa_[mid]);
            if (suffix + lcp == size_ || old_[suffix + lcp] < text[lcp]) {
                lo = mid;
                lcp_lo = lcp;
            } else {
                hi = mid;
                lcp_hi = lcp;
            }
        }
        if (lcp_lo >= lcp_hi) {
            *old_pos = size_t(sa_[lo]);
            *rank = lo;
            return lcp_lo;
        }
        *old_pos = size_t(sa_[hi]);
        *rank = hi;
        return lcp_hi;
    }

    size_t prefix_at(size_t rank, const unsigned char* text, size_t size, size_t known) const {
        const size_t suffix = size_t(sa_[rank]);
        return known + common_prefix(old_ + suffix + known, text + known, std::min(size_ - suffix, size) - known);
    }

    // Neighbour LCPs are kept to a byte: nearer matches are sought among short ones.
    static constexpr size_t kLcpCap = 255;

    const unsigned char* old_;
    size_t size_;
    std::vector<saidx_t> sa_;
    std::vector<uint8_t> lcp_;
    // first_rank_[k]: the first rank whose suffix starts with two bytes k or more (big-endian;
    // the one-byte suffix counts as its byte and 0), for k up to 65536.
    std::vector<uint32_t> first_rank_;
};

// How far a cover at this offset may be widened: the length that gives the best score,
// where an equal byte scores 1 and a differing byte -kMissCost.  step is +1 (forward, from the
// positions given) or -1 (backward, from the bytes just before them); limit bounds the
// number of bytes looked at.
size_t widen(const unsigned char* old_data, size_t old_pos, const unsigned char* new_data, size_t new_pos,
             size_t limit, int step) {
    int64_t score = 0, best = 0;
    size_t best_len = 0;
    for (size_t k = 0; k < limit; ++k) {
        const size_t o = step > 0 ? old_pos + k : old_pos - 1 - k;
        const size_t n = step > 0 ? new_pos + k : new_pos - 1 - k;
        score += old_data[o] == new_data[n] ? 1 : -kMissCost;
        if (score > best) {
            best = score;
            best_len = k + 1;
        } else if (score < best - kWidenDrop) {
            break;
        }
    }
    return best_len;
}

int64_t gain_of(const unsigned char* old_data, const unsigned char* new_data, const Cover& c) {
    int64_t gain = 0;
    for (uint64_t i = 0; i < c.length; ++i) gain += old_data[c.old_pos + i] == new_data[c.new_pos + i] ? 1 : -kMissCost;
    return gain;
}

// A cover whose old position lies close to where the last one ended, or where the last
// one's offset leads, names itself in one or two small numbers that compress well, so it
// pays for itself with fewer equal bytes.
int64_t bar_for(const Cover& c, const std::vector<Cover>& covers, int64_t min_gain) {
    if (covers.empty()) return min_gain;
    const Cover& last = covers.back();
    const uint64_t old_end = last.old_pos + last.length;
    const uint64_t same_offset = old_end + (c.new_pos - (last.new_pos + last.length));
    auto near = [](uint64_t a, uint64_t b) { return (a > b ? a - b : b - a) <= kNearDistance; };
    if (near(c.old_pos, old_end) || near(c.old_pos, same_offset)) return std::max<int64_t>(kMinNearGain, min_gain * kNearBarPercent / 100);
    return min_gain;
}

// The priced search works through the new data in blocks, so that its per-byte nodes stay
// small whatever the data's size; the path chosen up to a block's end carries on.  Longer
// blocks choose a little better; small data gets short ones, to keep its memory small.
constexpr size_t kMinPricedBlock = size_t(1) << 14;
constexpr size_t kMaxPricedBlock = size_t(1) << 16;
// Matches from the suffix array shorter than this are not tried; at the last cover's offset
// or old end, where the numbers are small, from kMinNearMatch bytes.
constexpr size_t kMinPricedMatch = 4;
constexpr size_t kMinNearMatch = 3;
// While the match found at a position runs on this far, the next positions take its rest
// rather than searching again.
constexpr size_t kCarryMatch = 48;
// Numbers below this have their prices in a table.
constexpr uint64_t kSmallNumbers = 256;
// How many suffixes either side of the longest match's rank are looked at for a nearer one.
constexpr size_t kPricedNearRanks = 16;

// One node of the search: the cheapest way found to describe the new data up to here, and
// the last cover on that way (where the next cover's numbers count from).  The search writes
// two or three nodes per new byte and setting, so a node is kept to 32 bytes: old positions
// fit 32 bits, since the index takes old data below 2 GiB.
struct PathNode {
    enum How : uint8_t { kRoot, kLiteral, kExtend, kStart, kOpen };
    double cost = std::numeric_limits<double>::infinity();
    uint64_t new_end = 0;
    uint32_t old_end = 0;
    uint32_t start_old = 0;  // kStart: the cover's old position
    uint32_t from = 0;       // kLiteral, kExtend, kStart: the node this one follows
    uint8_t from_slot = 0;   // kLiteral, kStart: which of the two ways there
    How how = kRoot;
    // Makes a node exactly 32 bytes with no padding, so that it is copied as two aligned
    // halves: copies of its 30 bytes overlapped in the middle, and reading a node just
    // written then waited for the stores to reach the cache.
    uint16_t unused = 0;
};
static_assert(sizeof(PathNode) == 32, "the search's nodes stay small");

void relax(PathNode& to, double cost, uint64_t old_end, uint64_t new_end, uint32_t from, PathNode::How how,
           uint64_t start_old = 0, uint8_t from_slot = 0) {
    if (cost >= to.cost) return;
    to.cost = cost;
    to.old_end = uint32_t(old_end);
    to.new_end = new_end;
    to.from = from;
    to.how = how;
    to.start_old = uint32_t(start_old);
    to.from_slot = from_slot;
}

}  // namespace


namespace detail {

struct CoverFinder::Index : OldIndex {
    using OldIndex::OldIndex;
};

CoverFinder::CoverFinder(const unsigned char* old_data, size_t old_size, unsigned threads)
    : old_(old_data), old_size_(old_size), index_(new Index(old_data, old_size, std::max(1u, threads))) {}

CoverFinder::~CoverFinder() = default;

std::vector<Cover> CoverFinder::find(const unsigned char* new_data, size_t new_size, uint64_t min_cover_gain) const {
    const unsigned char* old_data = old_;
    const size_t old_size = old_size_;
    const Index& index = *index_;
    std::vector<Cover> covers;
    if (old_size == 0 || new_size == 0) return covers;
    const int64_t min_gain = int64_t(std::min<uint64_t>(min_cover_gain ? min_cover_gain : kDefaultMinGain, 1u << 30));
    size_t covered_end = 0;  // new data before this is decided
    size_t pos = 0;
    // The longest match one byte on, found for the lazy look below; it serves again when the
    // search goes on there.
    size_t ahead_at = SIZE_MAX, ahead_len = 0, ahead_pos = 0, ahead_rank = 0;
    while (pos < new_size) {
        size_t old_pos = 0, rank = 0, len;
        if (pos == ahead_at) {
            len = ahead_len;
            old_pos = ahead_pos;
            rank = ahead_rank;
        } else {
            len = index.longest(new_data + pos, new_size - pos, &old_pos, &rank);
        }
        // Of matches nearly as long, the one closest to where the last cover pointed costs the
        // fewest bytes to name and keeps the next covers close too.
        if (!covers.empty() && len >= kMinExactMatch) {
            const Cover& last = covers.back();
            const int64_t shifted = int64_t(last.old_pos) - int64_t(last.new_pos) + int64_t(pos);
            const size_t target = shifted < 0 ? 0 : size_t(shifted);
            size_t near_pos = 0;
            const size_t near_len = index.nearest(new_data + pos, new_size - pos, rank,
                                                  std::max(kMinExactMatch, len > kNearSlack ? len - kNearSlack : 0), len,
                                                  target, &near_pos);
            if (near_len) {
                len = near_len;
                old_pos = near_pos;
            }
        }
        // The offset of the last cover costs nothing to name again, so a match there that is
        // nearly as long wins.
        if (!covers.empty()) {
            const Cover& last = covers.back();
            const int64_t shifted = int64_t(last.old_pos) - int64_t(last.new_pos) + int64_t(pos);
            if (shifted >= 0 && size_t(shifted) < old_size && size_t(shifted) != old_pos) {
                const size_t same = common_prefix(old_data + shifted, new_data + pos,
                                                  std::min(old_size - size_t(shifted), new_size - pos));
                if (same + 3 >= len && same >= kMinExactMatch) {
                    len = same;
                    old_pos = size_t(shifted);
                }
            }
        }
        if (len < kMinExactMatch) {
            ++pos;
            continue;
        }
        // A clearly longer match one byte on is the better start.
        if (pos + 1 < new_size) {
            if (ahead_at != pos + 1) {
                ahead_at = pos + 1;
                ahead_len = index.longest(new_data + ahead_at, new_size - ahead_at, &ahead_pos, &ahead_rank);
            }
            if (ahead_len > len + kLazyMargin) {
                ++pos;
                continue;
            }
        }
        const size_t forward = widen(old_data, old_pos + len, new_data, pos + len,
                                     std::min(old_size - old_pos - len, new_size - pos - len), 1);
        const size_t backward = widen(old_data, old_pos, new_data, pos, std::min(old_pos, pos - covered_end), -1);
        Cover cover{old_pos - backward, pos - backward, backward + len + forward};
        if (gain_of(old_data, new_data, cover) < bar_for(cover, covers, min_gain)) {
            ++pos;
            continue;
        }
        if (!covers.empty()) {
            Cover& last = covers.back();
            // Same offset right after the last cover: one cover instead of two.
            if (last.new_pos + last.length == cover.new_pos && last.old_pos + last.length == cover.old_pos) {
                last.length += cover.length;
                covered_end = pos = size_t(last.new_pos + last.length);
                continue;
            }
        }
        covers.push_back(cover);
        covered_end = pos = size_t(cover.new_pos + cover.length);
    }
    return covers;
}

double Prices::number_bits(uint64_t value, unsigned k) const {
    const double log_price = k ? step_log : count_log;
    if (log_price > 0) {
        // log2 to within a tenth of a bit: the exponent, and the mantissa taken as linear.
        // (What frexp gives, read straight from the bits of a number that is at least 1.)
        const double x = double(value) + 1;
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        const int exponent = int((bits >> 52) & 0x7FF) - 1022;
        bits = (bits & ~(uint64_t(0x7FF) << 52)) | (uint64_t(1022) << 52);
        double mantissa;
        std::memcpy(&mantissa, &bits, sizeof mantissa);
        return 1 + log_price * (double(exponent) - 2 + 2 * mantissa);
    }
    return number * double(packed_size(value, k));
}

std::vector<std::vector<Cover>> CoverFinder::find_priced(const unsigned char* new_data, size_t new_size,
                                                         const std::vector<Prices>& settings, unsigned threads) const {
    const unsigned char* old_data = old_;
    const size_t old_size = old_size_;
    const Index& index = *index_;
    std::vector<std::vector<Cover>> results(settings.size());
    if (old_size == 0 || new_size == 0 || settings.empty()) return results;
    auto add = [](std::vector<Cover>& covers, const Cover& c) {
        if (!covers.empty()) {
            Cover& last = covers.back();
            if (last.new_pos + last.length == c.new_pos && last.old_pos + last.length == c.old_pos) {
                last.length += c.length;
                return;
            }
        }
        covers.push_back(c);
    };
    constexpr double kNever = std::numeric_limits<double>::infinity();
    const size_t block_size = std::min(new_size, std::max(kMinPricedBlock, std::min(kMaxPricedBlock, new_size / 16)));
    // The longest match at each position of a block, found once for every setting; while a
    // match runs on far, the next positions take its rest (rank kNoRank: no search made).
    // Blocks ahead are found while the settings walk earlier ones, into one of kFoundBlocks
    // buffers in turn.  Old positions, lengths and ranks fit 32 bits: the index takes old
    // data below 2 GiB.
    struct Longest {
        uint32_t pos, len, rank;
    };
    constexpr uint32_t kNoRank = UINT32_MAX;
    constexpr size_t kFoundBlocks = 3;
    std::vector<std::vector<Longest>> longest_of(kFoundBlocks, std::vector<Longest>(block_size));
    size_t carry_pos = 0, carry_len = 0, carry_rank = 0;
    auto find_longest = [&](size_t begin, std::vector<Longest>& longest) {
        const size_t length = std::min(block_size, new_size - begin);
        for (size_t k = 0; k < length; ++k) {
            if (carry_len >= kCarryMatch) {
                ++carry_pos;
                --carry_len;
                carry_rank = SIZE_MAX;
            } else {
                carry_len = index.longest(new_data + begin + k, new_size - begin - k, &carry_pos, &carry_rank);
            }
            longest[k] = Longest{uint32_t(carry_pos), uint32_t(carry_len),
                                 carry_rank == SIZE_MAX ? kNoRank : uint32_t(carry_rank)};
        }
    };
    // What each thread works in while it walks a block for one setting.
    struct Scratch {
        // any[2k], any[2k + 1]: the two cheapest ways to new position begin + k whose last
        // covers lie at different offsets (a way that strayed to a far match for a few bytes
        // keeps the one that did not beside it, whose next cover is cheaper); open[k]: the
        // cheapest way that ends in a cover there, which the next byte may extend.
        std::vector<PathNode> any, open;
        std::vector<Cover> block_covers;
    };
    threads = std::max(1u, std::min<unsigned>(threads, unsigned(settings.size() + 1)));
    std::vector<Scratch> scratches(threads);
    // Most numbers are small: per setting, their prices are looked up.
    struct SmallPrices {
        double bits[2][kSmallNumbers];
    };
    std::vector<SmallPrices> small_prices(settings.size());
    for (size_t setting = 0; setting < settings.size(); ++setting)
        for (unsigned k = 0; k < 2; ++k)
            for (uint64_t v = 0; v < kSmallNumbers; ++v)
                small_prices[setting].bits[k][v] = settings[setting].number_bits(v, k);
    // Per setting, where the way chosen so far ends.
    std::vector<PathNode> carried_ways(settings.size());
    std::vector<char> carried_opens(settings.size(), 0);
    for (PathNode& way : carried_ways) way.cost = 0;
    // Walks block `block` for one setting on the thread numbered worker.
    auto walk = [&](size_t setting, size_t block, unsigned worker) {
        const size_t begin = block * block_size;
        const size_t length = std::min(block_size, new_size - begin);
        const std::vector<Longest>& longest = longest_of[block % kFoundBlocks];
        Scratch& scratch = scratches[worker];
        if (scratch.open.empty()) {
            scratch.any.resize(2 * (block_size + 1));
            scratch.open.resize(block_size + 1);
        }
        std::vector<PathNode>& any = scratch.any;
        std::vector<PathNode>& open = scratch.open;
        auto offer = [&any](size_t k, const PathNode& way) {
            PathNode& best = any[2 * k];
            PathNode& second = any[2 * k + 1];
            const uint64_t offset = way.old_end - way.new_end;
            if (best.cost < kNever && best.old_end - best.new_end == offset) {
                if (way.cost < best.cost) best = way;
            } else if (second.cost < kNever && second.old_end - second.new_end == offset) {
                if (way.cost < second.cost) {
                    second = way;
                    if (second.cost < best.cost) std::swap(best, second);
                }
            } else if (way.cost < best.cost) {
                second = best;
                best = way;
            } else if (way.cost < second.cost) {
                second = way;
            }
        };
        const Prices& prices = settings[setting];
        const SmallPrices& small = small_prices[setting];
        auto bits_of = [&](uint64_t value, unsigned k) {
            return value < kSmallNumbers ? small.bits[k][value] : prices.number_bits(value, k);
        };
        PathNode& carried = carried_ways[setting];
        char& carried_open = carried_opens[setting];
        std::fill(any.begin(), any.begin() + 2 * (length + 1), PathNode());
        std::fill(open.begin(), open.begin() + length + 1, PathNode());
        any[0] = carried;
        any[0].cost = 0;
        any[0].how = PathNode::kRoot;
        if (carried_open) open[0] = any[0];
        for (size_t k = 0;; ++k) {
            const size_t pos = begin + k;
            if (open[k].cost < kNever) {
                PathNode way = open[k];
                way.how = PathNode::kOpen;
                offer(k, way);
            }
            if (k == length) break;
            const PathNode& cover = open[k];
            if (cover.cost < kNever && cover.old_end < old_size) {
                const bool equal = old_data[cover.old_end] == new_data[pos];
                relax(open[k + 1], cover.cost + (equal ? prices.equal : prices.differ), cover.old_end + 1, pos + 1,
                      uint32_t(k), PathNode::kExtend);
            }
            const size_t carry_pos = longest[k].pos, carry_len = longest[k].len;
            const bool searched = longest[k].rank != kNoRank;
            const size_t room = std::min(length - k, new_size - pos);
            // Near matches are measured only so far: the cover's next bytes extend it.
            const size_t near_room = std::min(room, kCarryMatch);
            for (uint8_t slot = 0; slot < 2; ++slot) {
                const PathNode here = any[2 * k + slot];
                if (!(here.cost < kNever)) continue;
                PathNode literal = here;
                literal.cost += prices.literal;
                literal.from = uint32_t(k);
                literal.from_slot = slot;
                literal.how = PathNode::kLiteral;
                offer(k + 1, literal);
                // Covers starting here, from this way's end.
                auto land = [&](uint64_t old_pos, size_t len, double extra) {
                    const uint64_t step = old_pos > here.old_end ? old_pos - here.old_end : here.old_end - old_pos;
                    const double cost = here.cost + prices.cover + bits_of(step, 1) + bits_of(pos - here.new_end, 0) +
                                        bits_of(len, 0) + extra;
                    relax(open[k + len], cost, old_pos + len, pos + len, uint32_t(k), PathNode::kStart, old_pos, slot);
                };
                auto start = [&](uint64_t old_pos, size_t match, size_t min_match) {
                    if (match < min_match) return;
                    const size_t full = std::min(match, room);
                    land(old_pos, full, prices.equal * double(full));
                    if (full > kMinPricedMatch) land(old_pos, kMinPricedMatch, prices.equal * double(kMinPricedMatch));
                };
                const uint64_t same_offset = here.old_end + (pos - here.new_end);
                // (Where this way ends in a cover, extending it beats starting one at its offset.)
                if (same_offset < old_size && pos > here.new_end) {
                    const size_t same = common_prefix(old_data + same_offset, new_data + pos,
                                                      std::min<size_t>(old_size - same_offset, near_room));
                    start(same_offset, same, kMinNearMatch);
                    // At the last cover's offset a cover may also start on a differing byte
                    // (code whose addresses changed), to run on through the equal bytes after it.
                    if (same == 0) land(same_offset, 1, prices.differ);
                }
                if (pos > here.new_end && here.old_end < old_size)
                    start(here.old_end,
                          common_prefix(old_data + here.old_end, new_data + pos,
                                        std::min<size_t>(old_size - here.old_end, near_room)),
                          kMinNearMatch);
                // Of matches nearly as long as the longest, the one closest to this way's
                // offset costs the fewest bytes to name.
                if (searched && carry_len >= kMinPricedMatch && carry_len < kCarryMatch) {
                    size_t near_pos = 0;
                    const size_t near_len = index.nearest(
                        new_data + pos, new_size - pos, longest[k].rank,
                        std::max(kMinPricedMatch, carry_len > kNearSlack ? carry_len - kNearSlack : 0), carry_len,
                        size_t(std::min<uint64_t>(same_offset, old_size)), &near_pos, kPricedNearRanks);
                    if (near_len && near_pos != carry_pos) start(near_pos, near_len, kMinPricedMatch);
                }
                if (carry_pos != same_offset && carry_pos != here.old_end) start(carry_pos, carry_len, kMinPricedMatch);
            }
        }
        // Back along the chosen way, collecting its covers.
        std::vector<Cover>& block_covers = scratch.block_covers;
        block_covers.clear();
        carried = any[2 * length];
        carried_open = carried.how == PathNode::kOpen;
        bool in_open = false;
        size_t k = length;
        uint8_t slot = 0;
        uint64_t cover_end = 0;
        for (;;) {
            const PathNode& node = in_open ? open[k] : any[2 * k + slot];
            if (!in_open) {
                if (node.how == PathNode::kOpen) {
                    in_open = true;
                    cover_end = begin + k;
                    continue;
                }
                if (node.how == PathNode::kRoot) break;
                k = node.from;
                slot = node.from_slot;
                continue;
            }
            if (node.how == PathNode::kExtend) {
                k = node.from;
                continue;
            }
            if (node.how == PathNode::kStart) {
                block_covers.push_back(Cover{node.start_old, begin + node.from, cover_end - (begin + node.from)});
                k = node.from;
                slot = node.from_slot;
                in_open = false;
                continue;
            }
            // The root of an open way: a cover carried from the block before, extended here.
            if (cover_end > begin) block_covers.push_back(Cover{node.old_end, begin, cover_end - begin});
            break;
        }
        for (auto c = block_covers.rbegin(); c != block_covers.rend(); ++c) add(results[setting], *c);
    };
    // Each setting walks the blocks in order, each block once its matches are found; the
    // matches are found block by block, at most kFoundBlocks ahead of the slowest setting.
    // The blocks are taken in order across the settings, the next block's matches first, so
    // that no setting waits for them.  Task `settings.size()` finds matches; a smaller one walks
    // its setting's next block.
    const size_t blocks = (new_size + block_size - 1) / block_size;
    const size_t find_task = settings.size();
    size_t found = 0;
    bool finding = false;
    std::vector<size_t> walked(settings.size(), 0);
    std::vector<char> walking(settings.size(), 0);
    run_when_ready(
        threads,
        [&]() -> size_t {
            const size_t slowest = *std::min_element(walked.begin(), walked.end());
            if (slowest == blocks) return kNoTaskLeft;
            size_t task = kNoTaskReady, urgency = SIZE_MAX;
            if (!finding && found < blocks && found < slowest + kFoundBlocks) {
                task = find_task;
                urgency = found;  // block b's matches are as urgent as the walks of block b - 1
            }
            for (size_t setting = 0; setting < settings.size(); ++setting) {
                const size_t next = walked[setting];
                if (!walking[setting] && next < found && next + 1 < urgency) {
                    task = setting;
                    urgency = next + 1;
                }
            }
            if (task == find_task) finding = true;
            else if (task < find_task) walking[task] = 1;
            return task;
        },
        [&](size_t task, unsigned worker) {
            if (task == find_task) find_longest(found * block_size, longest_of[found % kFoundBlocks]);
            else walk(task, walked[task], worker);
        },
        [&](size_t task) {
            if (task == find_task) {
                ++found;
                finding = false;
            } else {
                ++walked[task];
                walking[task] = 0;
            }
        });
    return results;
}

}  // namespace detail

std::vector<Cover> find_covers(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                               size_t new_size, const vkd_TDiffOptions& options) {
    return detail::CoverFinder(old_data, old_size).find(new_data, new_size, options.min_cover_gain);
}

}  // namespace vkd

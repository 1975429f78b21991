// The four diff layouts, written from a cover list.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "vkd_bytes.h"
#include "vkd_cover.h"
#include "vkd_parallel.h"
#include "vkd_write.h"
#include "vko_diff.h"

namespace vkd {

using detail::append;
using detail::Bytes;
using detail::packed_size;
using detail::put_packed;
using detail::put_signed_delta;
using detail::put_text;

namespace {

const char kCompressedSignature[] = mirv_kCompressedDiffSignature;
const char kSingleSignature[] = mirv_kSingleStreamDiffSignature;
const char kWindowSignature[] = mirv_kWindowDiffSignature;

using detail::Input;
using detail::common_prefix;
using detail::kGainTries;

unsigned char diff_byte(const Input& in, const Cover& c, uint64_t i) {
    return static_cast<unsigned char>(in.new_data[c.new_pos + i] - in.old_data[c.old_pos + i]);
}

// Run-length control and data over a run of diff bytes: zeros and 255s as bare runs, other
// repeated values as one-value runs, everything else as literal runs.
class RunLengthWriter {
public:
    void add(unsigned char value) { add_run(value, 1); }
    void add_zeros(uint64_t count) {
        if (count) add_run(0, count);
    }
    void finish(Bytes& ctrl, Bytes& data) {
        close_run();
        flush_literal();
        ctrl = std::move(ctrl_);
        data = std::move(data_);
    }

private:
    // A run this long pays for breaking a literal run.
    // (Zeros and 255s cost no data byte, so even one of them is a run of its own.)
    static uint64_t run_threshold(unsigned char value) { return value == 0 || value == 255 ? 1 : 3; }

    void add_run(unsigned char value, uint64_t count) {
        if (run_length_ && value == run_value_) {
            run_length_ += count;
            return;
        }
        close_run();
        run_value_ = value;
        run_length_ = count;
    }
    void close_run() {
        if (run_length_ == 0) return;
        if (run_length_ < run_threshold(run_value_)) {
            literal_.insert(literal_.end(), size_t(run_length_), run_value_);
        } else {
            flush_literal();
            const unsigned tag = run_value_ == 0 ? 0 : run_value_ == 255 ? 1 : 2;
            put_packed(ctrl_, run_length_ - 1, tag, 2);
            if (tag == 2) data_.push_back(run_value_);
        }
        run_length_ = 0;
    }
    void flush_literal() {
        if (literal_.empty()) return;
        put_packed(ctrl_, literal_.size() - 1, 3, 2);
        append(data_, literal_);
        literal_.clear();
    }

    Bytes ctrl_, data_, literal_;
    unsigned char run_value_ = 0;
    uint64_t run_length_ = 0;
};

void run_length_over_new(const Input& in, const std::vector<Cover>& covers, Bytes& ctrl, Bytes& data) {
    RunLengthWriter rle;
    uint64_t new_end = 0;
    for (const Cover& c : covers) {
        rle.add_zeros(c.new_pos - new_end);
        for (uint64_t i = 0; i < c.length; ++i) rle.add(diff_byte(in, c, i));
        new_end = c.new_pos + c.length;
    }
    rle.add_zeros(in.new_size - new_end);
    rle.finish(ctrl, data);
}

Bytes new_bytes_outside(const Input& in, const std::vector<Cover>& covers) {
    Bytes out;
    uint64_t new_end = 0;
    for (const Cover& c : covers) {
        out.insert(out.end(), in.new_data + new_end, in.new_data + c.new_pos);
        new_end = c.new_pos + c.length;
    }
    out.insert(out.end(), in.new_data + new_end, in.new_data + in.new_size);
    return out;
}

Bytes write_serialized(const Input& in, const std::vector<Cover>& covers) {
    Bytes lengths, gaps, deltas;
    uint64_t old_base = 0, new_base = 0;
    for (const Cover& c : covers) {
        put_packed(lengths, c.length);
        put_packed(gaps, c.new_pos - new_base);
        put_signed_delta(deltas, old_base, c.old_pos);
        new_base = c.new_pos + c.length;
        old_base = c.old_pos;  // this layout steps from the last cover's start
    }
    const Bytes new_diff = new_bytes_outside(in, covers);
    Bytes ctrl, data;
    run_length_over_new(in, covers, ctrl, data);

    Bytes out;
    put_packed(out, covers.size());
    put_packed(out, lengths.size());
    put_packed(out, gaps.size());
    put_packed(out, deltas.size());
    put_packed(out, new_diff.size());
    append(out, lengths);
    append(out, gaps);
    append(out, deltas);
    append(out, new_diff);
    put_packed(out, ctrl.size());
    append(out, ctrl);
    append(out, data);
    return out;
}

// The compressed format's four sections before compression: the covers' numbers, the run
// lengths over the new data, the differing bytes and the new bytes outside covers.
void compressed_sections(const Input& in, const std::vector<Cover>& covers, Bytes (&sections)[4]) {
    uint64_t old_base = 0, new_base = 0;
    for (const Cover& c : covers) {
        put_signed_delta(sections[0], old_base, c.old_pos);
        put_packed(sections[0], c.new_pos - new_base);
        put_packed(sections[0], c.length);
        new_base = c.new_pos + c.length;
        old_base = c.old_pos + c.length;
    }
    run_length_over_new(in, covers, sections[1], sections[2]);
    sections[3] = new_bytes_outside(in, covers);
}

Bytes write_compressed(const Input& in, const std::vector<Cover>& covers, const vkd_TDiffOptions& o) {
    Bytes sections[4];
    compressed_sections(in, covers, sections);

    Bytes packed[4];
    bool any = false;
    for (int i = 0; i < 4; ++i)
        any |= detail::compress_bytes(o.compress, o.level, o.vekko_dict_size, sections[i], packed[i]);

    Bytes out;
    put_text(out, kCompressedSignature, '&');
    put_text(out, any ? compress_type_name(o.compress) : "", 0);
    put_packed(out, in.new_size);
    put_packed(out, in.old_size);
    put_packed(out, covers.size());
    for (int i = 0; i < 4; ++i) {
        put_packed(out, sections[i].size());
        put_packed(out, packed[i].size());
    }
    for (int i = 0; i < 4; ++i) append(out, packed[i].empty() ? sections[i] : packed[i]);
    return out;
}

// Builds the steps of a single-stream body: each step's cover buffer and run chain take at
// most the step memory together; a cover that does not fit is split.  Zero runs of skip_run
// bytes or more become skips of the chain; shorter ones ride along inside an add.
class StepWriter {
    // Equal bytes taken at once inside a skip, at most.
    static constexpr uint64_t kSkipStretch = 256;

public:
    StepWriter(const Input& in, uint64_t step_mem, uint64_t skip_run)
        : in_(in), step_mem_(step_mem), skip_run_(skip_run) {}

    // Starts over with both bases at 0 (window steps do that).
    void reset_bases() {
        old_base_ = 0;
        new_base_ = 0;
    }

    // Adds a cover whose positions count from old_origin in the old data and new_origin in
    // the new data (both 0 for a single-stream diff).  Returns the number of covers written
    // (more than 1 when it had to be split).
    uint64_t add_cover(const Cover& cover, uint64_t old_origin, uint64_t new_origin) {
        uint64_t written = 0;
        Cover rest = cover;
        do {
            const uint64_t rel_old = rest.old_pos - old_origin;
            const uint64_t rel_new = rest.new_pos - new_origin;
            const size_t numbers = detail::packed_size(rel_old > old_base_ ? rel_old - old_base_ : old_base_ - rel_old, 1) +
                                   packed_size(rel_new - new_base_) + packed_size(rest.length);
            // One byte more of the chain can cost up to 3 bytes (a skip count closing and an add
            // count opening); keep that room so the cover always gets at least one byte.
            if (step_used() + numbers + (rest.length ? 3 : 0) > step_mem_) close_step();
            uint64_t taken = 0;
            while (taken < rest.length && covers_.size() + numbers + chain_size() + 3 <= step_mem_) {
                if (!in_add_ && skip_) {
                    // Inside a skip the room only shrinks when the skip count's code grows, so
                    // equal bytes are taken in stretches over which that code keeps its size.
                    const uint64_t most = std::min({rest.length - taken, kSkipStretch, same_size_room(skip_)});
                    const uint64_t equal = common_prefix(in_.old_data + rest.old_pos + taken,
                                                         in_.new_data + rest.new_pos + taken, most);
                    if (equal) {
                        skip_ += equal;
                        taken += equal;
                        continue;
                    }
                }
                chain_add(diff_byte(in_, rest, taken));
                ++taken;
            }
            put_signed_delta(covers_, old_base_, rel_old);
            put_packed(covers_, rel_new - new_base_);
            put_packed(covers_, taken);
            gaps_.insert(gaps_.end(), in_.new_data + new_origin + new_base_, in_.new_data + rest.new_pos);
            old_base_ = rel_old + taken;
            new_base_ = rel_new + taken;
            ++written;
            rest.old_pos += taken;
            rest.new_pos += taken;
            rest.length -= taken;
        } while (rest.length);
        return written;
    }

    // Ends the step in progress (if it holds covers) and appends it to the body.
    void close_step() {
        if (covers_.empty()) return;
        chain_flush();
        const uint64_t used = covers_.size() + chain_.size();
        if (used > max_step_mem_) max_step_mem_ = used;
        put_packed(body_, covers_.size());
        put_packed(body_, chain_.size());
        append(body_, covers_);
        cuts_.push_back(body_.size());
        append(body_, chain_);
        // The numbers, the run chain and the new bytes compress best each with tables of their own.
        if (!gaps_.empty()) cuts_.push_back(body_.size());
        append(body_, gaps_);
        if (!gaps_.empty()) cuts_.push_back(body_.size());
        covers_.clear();
        chain_.clear();
        gaps_.clear();
        in_add_ = false;
        skip_ = 0;
    }

    Bytes& body() { return body_; }
    // Offsets in the body where its parts change kind (a step's gap bytes start or end).
    const std::vector<size_t>& cuts() const { return cuts_; }
    uint64_t max_step_mem() const { return max_step_mem_; }

private:
    uint64_t step_used() const { return covers_.size() + chain_size(); }
    // How many counts from value on are packed in as many bytes as value (7 bits a byte).
    static uint64_t same_size_room(uint64_t value) {
        const size_t bits = 7 * packed_size(value);
        const uint64_t largest = bits >= 64 ? UINT64_MAX : (uint64_t(1) << bits) - 1;
        return largest - value + 1;
    }
    // The chain's size once the open skip or add is written.
    uint64_t chain_size() const {
        if (in_add_) return chain_.size() + packed_size(add_.size()) + add_.size();
        return chain_.size() + (skip_ ? packed_size(skip_) : 0);
    }
    void chain_add(unsigned char d) {
        if (!in_add_) {
            if (d == 0) {
                ++skip_;
                return;
            }
            put_packed(chain_, skip_);
            skip_ = 0;
            in_add_ = true;
            add_.assign(1, d);
            add_zeros_ = 0;
            return;
        }
        add_.push_back(d);
        add_zeros_ = d == 0 ? add_zeros_ + 1 : 0;
        if (add_zeros_ == skip_run_) {
            add_.resize(add_.size() - skip_run_);
            put_packed(chain_, add_.size());
            append(chain_, add_);
            add_.clear();
            in_add_ = false;
            skip_ = skip_run_;
        }
    }
    void chain_flush() {
        if (in_add_) {
            put_packed(chain_, add_.size());
            append(chain_, add_);
            add_.clear();
            in_add_ = false;
        } else if (skip_) {
            put_packed(chain_, skip_);
        }
        skip_ = 0;
    }

    const Input& in_;
    uint64_t step_mem_;
    uint64_t skip_run_;
    uint64_t max_step_mem_ = 0;
    uint64_t old_base_ = 0, new_base_ = 0;
    Bytes body_, covers_, chain_, gaps_, add_;
    std::vector<size_t> cuts_;
    bool in_add_ = false;  // the chain's open part is an add (else a skip)
    uint64_t skip_ = 0;
    uint64_t add_zeros_ = 0;
};

// Covers of a whole diff with the new tail: when new bytes follow the last cover, a final
// cover of length 0 carries them as its gap.
std::vector<Cover> with_tail(const Input& in, std::vector<Cover> covers) {
    const uint64_t end = covers.empty() ? 0 : covers.back().new_pos + covers.back().length;
    if (end < in.new_size) covers.push_back(Cover{covers.empty() ? 0 : covers.back().old_pos + covers.back().length,
                                                  in.new_size, 0});
    return covers;
}

// Cuts closer than this to the one before are dropped: a block of its own would cost more
// in its head and tables than it saves.
constexpr size_t kMinCutDistance = 4096;

Bytes compress_body(const vkd_TDiffOptions& o, const Bytes& body, const std::vector<size_t>& cuts, bool* compressed) {
    std::vector<size_t> kept;
    size_t last = 0;
    for (size_t cut : cuts) {
        if (cut < kMinCutDistance || cut + kMinCutDistance > body.size()) continue;
        // Of two cuts close together the later one stays: a step's run chain is usually the
        // short part, and goes better with its cover numbers than with its new bytes.
        if (!kept.empty() && cut - last < kMinCutDistance) kept.pop_back();
        kept.push_back(cut);
        last = cut;
    }
    Bytes packed;
    *compressed = detail::compress_bytes(o.compress, o.level, o.vekko_dict_size, body, packed, kept);
    return packed;
}

Bytes write_single(const Input& in, const std::vector<Cover>& found, const vkd_TDiffOptions& o, uint64_t skip_run) {
    StepWriter steps(in, o.step_mem_size, skip_run);
    uint64_t count = 0;
    for (const Cover& c : with_tail(in, found)) count += steps.add_cover(c, 0, 0);
    steps.close_step();
    bool compressed = false;
    const Bytes packed = compress_body(o, steps.body(), steps.cuts(), &compressed);

    Bytes out;
    put_text(out, kSingleSignature, '&');
    put_text(out, compressed ? compress_type_name(o.compress) : "", 0);
    put_packed(out, in.new_size);
    put_packed(out, in.old_size);
    put_packed(out, count);
    put_packed(out, steps.max_step_mem());
    put_packed(out, steps.body().size());
    put_packed(out, compressed ? packed.size() : 0);
    append(out, compressed ? packed : steps.body());
    return out;
}

struct WindowStep {
    uint64_t old_pos = 0, length = 0;  // the window
    std::vector<Cover> covers;          // in whole-data positions
    uint64_t new_begin = 0;             // first new byte this step produces
};

// Groups consecutive covers into window steps whose old bytes fit one window; covers longer
// than a window are cut first.
std::vector<WindowStep> plan_windows(const Input& in, const std::vector<Cover>& found, uint64_t window_size) {
    std::vector<WindowStep> steps;
    uint64_t new_end = 0;
    auto place = [&](const Cover& c) {
        if (!steps.empty()) {
            WindowStep& s = steps.back();
            const uint64_t lo = std::min(s.old_pos, c.old_pos);
            const uint64_t hi = std::max(s.old_pos + s.length, c.old_pos + c.length);
            if (hi - lo <= window_size) {
                s.old_pos = lo;
                s.length = hi - lo;
                s.covers.push_back(c);
                return;
            }
        }
        WindowStep s;
        s.old_pos = c.old_pos;
        s.length = c.length;
        s.new_begin = new_end;
        s.covers.push_back(c);
        steps.push_back(std::move(s));
    };
    for (const Cover& c : found) {
        Cover rest = c;
        while (rest.length > window_size) {
            place(Cover{rest.old_pos, rest.new_pos, window_size});
            new_end = rest.new_pos + window_size;
            rest.old_pos += window_size;
            rest.new_pos += window_size;
            rest.length -= window_size;
        }
        place(rest);
        new_end = rest.new_pos + rest.length;
    }
    if (new_end < in.new_size) {
        // The tail rides on the last step as a cover of length 0 (a step of its own, with an
        // empty window, when there is nothing else).
        if (steps.empty()) {
            steps.emplace_back();
            steps.back().old_pos = 0;
        }
        WindowStep& s = steps.back();
        s.covers.push_back(Cover{s.old_pos, in.new_size, 0});
    }
    return steps;
}

Bytes write_window(const Input& in, const std::vector<Cover>& found, const vkd_TDiffOptions& o, uint64_t skip_run) {
    const std::vector<WindowStep> plan = plan_windows(in, found, o.window_size);
    const uint64_t ring = o.ring_size;
    StepWriter steps(in, o.step_mem_size, skip_run);
    Bytes& body = steps.body();
    uint64_t described = 0, last_window_end = 0, max_covers = 0, max_window = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (i % (ring / 2) == 0 && described < plan.size()) {
            const uint64_t block = std::min<uint64_t>(i == 0 ? ring : ring / 2, plan.size() - described);
            for (uint64_t k = 0; k < block; ++k, ++described) {
                const WindowStep& w = plan[described];
                put_packed(body, w.length);
                put_signed_delta(body, last_window_end, w.old_pos);
                last_window_end = w.old_pos + w.length;
            }
        }
        const WindowStep& w = plan[i];
        max_window = std::max(max_window, w.length);
        // The count comes before the step's covers, which may still be split by step memory;
        // count them first on a scratch writer.
        StepWriter probe(in, o.step_mem_size, skip_run);
        uint64_t count = 0;
        for (const Cover& c : w.covers) count += probe.add_cover(c, w.old_pos, w.new_begin);
        put_packed(body, count);
        max_covers = std::max(max_covers, count);
        steps.reset_bases();
        for (const Cover& c : w.covers) steps.add_cover(c, w.old_pos, w.new_begin);
        steps.close_step();
    }
    bool compressed = false;
    const Bytes packed = compress_body(o, body, steps.cuts(), &compressed);
    const Bytes& stored = compressed ? packed : body;

    const size_t checksum_size = detail::Checksum::size_of(o.checksum);
    Bytes head;
    put_text(head, compressed ? compress_type_name(o.compress) : "", '&');
    put_text(head, checksum_type_name(o.checksum), 0);
    put_packed(head, compressed ? packed.size() : 0);
    put_packed(head, body.size());
    put_packed(head, in.new_size);
    put_packed(head, in.old_size);
    put_packed(head, 0);  // reserved
    put_packed(head, plan.size());
    put_packed(head, ring);
    put_packed(head, steps.max_step_mem());
    put_packed(head, max_covers);
    put_packed(head, max_window);
    put_packed(head, checksum_size);
    put_packed(head, 0);  // no skip block

    Bytes out(kWindowSignature, kWindowSignature + 8);
    const uint64_t head_length = head.size() + 3 * checksum_size;
    out.push_back(static_cast<unsigned char>(head_length));
    out.push_back(static_cast<unsigned char>(head_length >> 8));
    append(out, head);
    if (checksum_size) {
        detail::Checksum old_sum(o.checksum), new_sum(o.checksum), diff_sum(o.checksum);
        for (const WindowStep& w : plan) old_sum.append(in.old_data + w.old_pos, w.length);
        new_sum.append(in.new_data, in.new_size);
        append(out, old_sum.finish());
        append(out, new_sum.finish());
        // The diff's checksum runs over the body, then over the head up to itself.
        diff_sum.append(stored.data(), stored.size());
        diff_sum.append(out.data(), out.size());
        append(out, diff_sum.finish());
    }
    append(out, stored);
    return out;
}

}  // namespace

namespace detail {

const uint64_t kGainTries[kGainTryCount] = {12, 16, 20, 25, 30};
const uint64_t kSkipRunTries[kSkipRunTryCount] = {kDefaultSkipRun, 1, 2};
const PriceSetting kPriceSettings[kPriceSettingCount] = {
    {0.8, 6, 1.6, 1.2},
    {0.6, 6, 1.6, 0},
    {0.8, 9, 1.6, 0},
};

vkd_TDiffOptions probe_options(const vkd_TDiffOptions& o) {
    vkd_TDiffOptions probe = o;
    if (o.compress == vkd_COMPRESS_ZSTD && (o.level < 1 || o.level > kZstdProbeLevel)) probe.level = kZstdProbeLevel;
    return probe;
}

Prices measure_prices(const Input& in, const std::vector<Cover>& covers, const vkd_TDiffOptions& o) {
    Bytes sections[4];
    uint64_t differing = 0;
    compressed_sections(in, covers, sections);
    for (const Cover& c : covers)
        for (uint64_t i = 0; i < c.length; ++i) differing += diff_byte(in, c, i) != 0;
    double bits[4];
    for (int i = 0; i < 4; ++i) {
        Bytes packed;
        const bool compressed = detail::compress_bytes(o.compress, o.level, o.vekko_dict_size, sections[i], packed);
        bits[i] = 8.0 * double(compressed ? packed.size() : sections[i].size());
    }
    Prices prices;
    if (!sections[3].empty()) prices.literal = bits[3] / double(sections[3].size());
    if (!sections[0].empty()) prices.number = bits[0] / double(sections[0].size());
    if (differing) prices.differ = (bits[1] + bits[2]) / double(differing);
    return prices;
}

Prices priced_setting(const Prices& measured, const PriceSetting& setting) {
    Prices prices = measured;
    prices.literal *= setting.literal_scale;
    prices.cover = setting.cover;
    prices.step_log = setting.step_log;
    prices.count_log = setting.count_log;
    return prices;
}

void check_options(const vkd_TDiffOptions& o) {
    if (o.format < vkd_FORMAT_SERIALIZED || o.format > vkd_FORMAT_WINDOW) throw std::runtime_error("unknown diff format");
    if (o.compress < vkd_COMPRESS_NONE || o.compress > vkd_COMPRESS_VEKKO) throw std::runtime_error("unknown compression");
    if (o.checksum < vkd_CHECKSUM_NONE || o.checksum > vkd_CHECKSUM_XXH64) throw std::runtime_error("unknown checksum");
    if (o.compress == vkd_COMPRESS_VEKKO && (o.vekko_dict_size < 1 || o.vekko_dict_size > (uint64_t(1) << 30)))
        throw std::runtime_error("vekko dictionary size must be 1 .. 2^30");
    if (o.format >= vkd_FORMAT_SINGLE && o.step_mem_size < vkd_kMinStepMemSize)
        throw std::runtime_error("step memory must be at least 64 bytes");
    if (o.format == vkd_FORMAT_WINDOW) {
        if (o.window_size < 1) throw std::runtime_error("window size must be at least 1 byte");
        if (o.ring_size < 2 || o.ring_size > vkd_kMaxRingSize || (o.ring_size & (o.ring_size - 1)))
            throw std::runtime_error("ring size must be a power of two from 2 to 64");
    }
}

Bytes write_diff(const Input& in, const std::vector<Cover>& covers, const vkd_TDiffOptions& options,
                 uint64_t skip_run) {
    switch (options.format) {
    case vkd_FORMAT_SERIALIZED: return write_serialized(in, covers);
    case vkd_FORMAT_COMPRESSED: return write_compressed(in, covers, options);
    case vkd_FORMAT_SINGLE: return write_single(in, covers, options, skip_run);
    default: return write_window(in, covers, options, skip_run);
    }
}

}  // namespace detail

using detail::check_options;

const char* compress_type_name(int compress) {
    switch (compress) {
    case vkd_COMPRESS_ZLIB: return "zlib";
    case vkd_COMPRESS_ZSTD: return "zstd";
    case vkd_COMPRESS_VEKKO: return "vekko";
    default: return "";
    }
}

const char* checksum_type_name(int checksum) {
    switch (checksum) {
    case vkd_CHECKSUM_CRC32: return "crc32";
    case vkd_CHECKSUM_XXH64: return "xxh64";
    default: return "";
    }
}

namespace {

std::vector<unsigned char> create_diff_on(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                                          size_t new_size, const vkd_TDiffOptions& options, unsigned threads) {
    const Input in{old_data, old_size, new_data, new_size};
    const detail::CoverFinder finder(old_data, old_size, threads);
    // Whether lone zeros in a run chain pay as skips depends on how the compressor takes the
    // chain (they do in machine code, where covers differ in scattered bytes; in text, longer
    // zero runs do): the step formats try a few and keep the smallest.
    const bool has_chain = options.format == vkd_FORMAT_SINGLE || options.format == vkd_FORMAT_WINDOW;
    if (options.fast) {
        const uint64_t gain = options.min_cover_gain ? options.min_cover_gain : detail::kDefaultMinGain;
        return detail::write_diff(in, finder.find(new_data, new_size, gain), options, detail::kDefaultSkipRun);
    }
    // What a cover is worth depends on how well the new bytes it replaces would compress,
    // which differs between text and machine code: try a few bars (or the caller's one) and
    // a few run splits.  The candidates are ranked with a quicker compressor level, and the
    // best few written at the level asked for; the smallest of those is the diff.
    struct Candidate {
        size_t cover_set;
        uint64_t skip_run;
        size_t probe_size;
        Bytes probe_sum;  // of the probe diff: candidates with the same diff are tried once
    };
    const vkd_TDiffOptions probe = detail::probe_options(options);
    const bool probing = probe.level != options.level;
    std::vector<std::vector<Cover>> cover_sets;
    size_t fast_set = 0;  // the covers the fast option takes
    if (options.min_cover_gain) {
        cover_sets.push_back(finder.find(new_data, new_size, options.min_cover_gain));
    } else {
        // Where candidates are ranked at a quicker level the priced covers take over from the
        // higher bars; otherwise (vekko, zlib) every bar is tried.
        const size_t gain_count = probing ? detail::kGreedyGainCount : detail::kGainTryCount;
        std::vector<std::vector<Cover>> greedy(gain_count);
        detail::for_each_index(gain_count, threads, [&](size_t i, unsigned) {
            greedy[i] = finder.find(new_data, new_size, kGainTries[i]);
        });
        for (size_t i = 0; i < gain_count; ++i) {
            // Same covers, same diff.
            if (cover_sets.empty() || greedy[i] != cover_sets.back()) cover_sets.push_back(std::move(greedy[i]));
            if (kGainTries[i] == detail::kDefaultMinGain) fast_set = cover_sets.size() - 1;
        }
        // Covers chosen by price, the prices measured on the fast option's diff, at a few
        // settings: which one is best differs between text and machine code.
        const detail::Prices measured = detail::measure_prices(in, cover_sets[fast_set], probe);
        std::vector<detail::Prices> settings;
        for (const detail::PriceSetting& setting : detail::kPriceSettings)
            settings.push_back(detail::priced_setting(measured, setting));
        for (std::vector<Cover>& covers : finder.find_priced(new_data, new_size, settings, threads))
            cover_sets.push_back(std::move(covers));
    }
    const size_t skip_tries = has_chain ? detail::kSkipRunTryCount : 1;
    std::vector<Candidate> candidates;
    for (size_t set = 0; set < cover_sets.size(); ++set)
        for (size_t i = 0; i < skip_tries; ++i) candidates.push_back(Candidate{set, detail::kSkipRunTries[i], 0, {}});
    if (probing) {
        detail::for_each_index(candidates.size(), threads, [&](size_t i, unsigned) {
            Candidate& c = candidates[i];
            const Bytes diff = detail::write_diff(in, cover_sets[c.cover_set], probe, c.skip_run);
            c.probe_size = diff.size();
            detail::Checksum sum(vkd_CHECKSUM_XXH64);
            sum.append(diff.data(), diff.size());
            c.probe_sum = sum.finish();
        });
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.probe_size < b.probe_size; });
    if (probing) {
        // A run split that changes nothing, or a cover set that two searches both found,
        // gives the same diff at any level: only the first of such candidates (in the order
        // above) is kept, so that the finalists are different diffs.
        auto same_diff = [](const Candidate& a, const Candidate& b) {
            return a.probe_size == b.probe_size && a.probe_sum == b.probe_sum;
        };
        const Candidate fast = *std::find_if(candidates.begin(), candidates.end(), [&](const Candidate& c) {
            return c.cover_set == fast_set && c.skip_run == detail::kDefaultSkipRun;
        });
        std::vector<Candidate> different;
        for (Candidate& c : candidates)
            if (std::none_of(different.begin(), different.end(), [&](const Candidate& d) { return same_diff(c, d); }))
                different.push_back(std::move(c));
        candidates = std::move(different);
        if (candidates.size() > detail::kFinalists) {
            // The fast option's diff is always among them, so this one is never larger.
            const auto fast_at = std::find_if(candidates.begin(), candidates.end(),
                                              [&](const Candidate& c) { return same_diff(c, fast); });
            size_t keep = detail::kFinalists;
            if (fast_at >= candidates.begin() + keep) std::iter_swap(fast_at, candidates.begin() + keep++);
            candidates.erase(candidates.begin() + keep, candidates.end());
        }
    }
    // The finalists are written side by side, each kept only while it is the smallest so far
    // (on equal sizes the earlier candidate), so that memory holds a diff per thread at most.
    Bytes best;
    size_t best_index = SIZE_MAX;
    std::mutex best_mutex;
    detail::for_each_index(candidates.size(), threads, [&](size_t i, unsigned) {
        const Candidate& c = candidates[i];
        Bytes diff = detail::write_diff(in, cover_sets[c.cover_set], options, c.skip_run);
        std::lock_guard<std::mutex> lock(best_mutex);
        if (best_index == SIZE_MAX || diff.size() < best.size() || (diff.size() == best.size() && i < best_index)) {
            best = std::move(diff);
            best_index = i;
        }
    });
    return best;
}

}  // namespace

std::vector<unsigned char> create_diff(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                                       size_t new_size, const vkd_TDiffOptions& options) {
    check_options(options);
    return detail::on_available_cores([&](unsigned threads) {
        return create_diff_on(old_data, old_size, new_data, new_size, options, threads);
    });
}

}  // namespace vkd

extern "C" {

// The default diff is checked: a wrong old file, a damaged diff or a wrong result is refused.
// Its window spans the whole old data up to 32 MiB, which keeps it within a few hundred
// bytes of the unchecked formats; xxh64 costs about a third of crc32 per byte on a host.
void vkd_default_options(vkd_TDiffOptions* o) {
    o->format = vkd_FORMAT_WINDOW;
    o->compress = vkd_COMPRESS_ZSTD;
    o->level = vkd_kDefaultLevel;
    o->checksum = vkd_CHECKSUM_XXH64;
    o->step_mem_size = 65536;
    o->window_size = uint64_t(32) << 20;
    o->ring_size = 8;
    o->vekko_dict_size = 1 << 20;
    o->min_cover_gain = 0;
    o->fast = 0;
}

void vkd_device_options(vkd_TDiffOptions* o) {
    vkd_default_options(o);
    o->format = vkd_FORMAT_WINDOW;
    o->compress = vkd_COMPRESS_VEKKO;
    o->checksum = vkd_CHECKSUM_CRC32;  // the one the device plug-ins compute
    o->vekko_dict_size = 16384;
    o->window_size = 16384;
    o->step_mem_size = 4096;
    o->ring_size = 4;
}

vkd_TError vkd_create_diff(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                           size_t new_size, const vkd_TDiffOptions* options, unsigned char** out_diff,
                           size_t* out_size) {
    if (!out_diff || !out_size || (!old_data && old_size) || (!new_data && new_size)) return vkd_BAD_OPTIONS;
    vkd_TDiffOptions defaults;
    vkd_default_options(&defaults);
    try {
        vkd::check_options(options ? *options : defaults);
    } catch (const std::runtime_error&) {
        return vkd_BAD_OPTIONS;
    }
    try {
        const std::vector<unsigned char> diff =
            vkd::create_diff(old_data, old_size, new_data, new_size, options ? *options : defaults);
        unsigned char* out = static_cast<unsigned char*>(std::malloc(diff.size() ? diff.size() : 1));
        if (!out) return vkd_NO_MEMORY;
        if (!diff.empty()) std::memcpy(out, diff.data(), diff.size());
        *out_diff = out;
        *out_size = diff.size();
        return vkd_OK;
    } catch (const std::bad_alloc&) {
        return vkd_NO_MEMORY;
    } catch (...) {
        return vkd_FAILED;
    }
}

void vkd_free(void* diff) { std::free(diff); }

const char* vkd_options_error(const vkd_TDiffOptions* options) {
    static thread_local std::string message;
    try {
        vkd::check_options(*options);
        return nullptr;
    } catch (const std::runtime_error& e) {
        message = e.what();
        return message.c_str();
    }
}

const char* vkd_error_text(vkd_TError error) {
    switch (error) {
    case vkd_OK: return "ok";
    case vkd_BAD_OPTIONS: return "bad options";
    case vkd_NO_MEMORY: return "out of memory";
    default: return "compression failed or data too large";
    }
}

}  // extern "C"

/* Side-by-side benchmark of vekko and its peer codecs.
 *
 *   vekko_bench [--codecs=vekko,vekkomt,zlib,zstd,lzma,lz4hc,brotli] [--min-reps=N]
 *               [--min-time=SECONDS] [--max-time=SECONDS] FILE...
 *
 * Every codec compresses the same bytes in the same process, with settings that give
 * it a window as close to vekko's 4 KiB as it allows.  For each file and codec the
 * harness prints compressed size and ratio, compression speed, one-call decoding
 * speed, piecewise (streaming) decoding speed and the compression call's peak heap,
 * as one markdown table on standard output; progress goes to standard error.
 * "vekkomt" is vekko compressing on as many threads as the machine has cores (the same
 * stream, checked), so the table shows what the threads buy.
 *
 * Speeds are uncompressed megabytes (10^6 bytes) per second in both directions, from
 * the best of several runs: runs repeat until there have been --min-reps of them
 * (default 5) and they took --min-time seconds together (default 0.3), but no new run
 * starts once --max-time seconds (default 3) are spent on that measure.  So a slow
 * codec on a large file is timed once or twice; the best run is the one least
 * disturbed by other work on the machine.
 *
 * Every compressed output is decoded by each decoder of its codec and compared with
 * the input; a failure is reported on standard error and in the table, and makes the
 * exit status 1.
 */
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <brotli/decode.h>
#include <brotli/encode.h>
#include <lz4.h>
#include <lz4hc.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include "vko_dec.h"
#include "vko_wrapper.h"

namespace heap_counter { // heap_counter.cpp
int64_t live();
int64_t peak();
void reset_peak();
} // namespace heap_counter

namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint64_t kVekkoDictSize = 4096; // the filter's setting
constexpr size_t kStreamPiece = 4096;     // output piece offered per streaming call
constexpr vko_size_t kVekkoCacheSize = 4096;

/* One codec as the harness drives it.  compress returns the compressed size, 0 on
 * failure; the decoders return true when they produced exactly out_size bytes. */
struct Codec {
    const char* key;   // for --codecs
    const char* label; // for the table
    size_t (*bound)(size_t size);
    size_t (*compress)(const unsigned char* src, size_t size, unsigned char* out, size_t capacity);
    bool (*decompress)(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size);
    bool (*stream_decompress)(const unsigned char* code, size_t code_size, unsigned char* out,
                              size_t out_size); // null when the codec has no natural streaming decoder
};

/* ---- vekko ---- */

size_t vekko_bound(size_t size) { return vko_max_compressed_size(size); }

size_t vekko_compress(const unsigned char* src, size_t size, unsigned char* out, size_t capacity)
{
    try {
        return vko_compress_mem(src, size, out, capacity, kVekkoDictSize);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vekko: compression threw: %s\n", e.what());
        return 0;
    }
}

unsigned all_cores()
{
    unsigned cores = std::thread::hardware_concurrency();
    return cores ? cores : 1;
}

size_t vekko_mt_compress(const unsigned char* src, size_t size, unsigned char* out, size_t capacity)
{
    try {
        return vko_compress_mem_threads(src, size, out, capacity, kVekkoDictSize, all_cores());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vekko: compression on %u threads threw: %s\n", all_cores(), e.what());
        return 0;
    }
}

bool vekko_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    vko_size_t size = static_cast<vko_size_t>(out_size);
    return vko_decompress_mem(code, static_cast<vko_size_t>(code_size), out, &size) == vko_RESULT_STREAM_END
           && size == out_size;
}

bool vekko_stream_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    // A device would keep this buffer static; reusing one keeps allocation out of the timing.
    static Bytes buffer;
    mirv_TMemCodeSource source{code, code_size, 0};
    vko_size_t dict_size = vko_TStream_read_dict_size(&source, mem_read_code);
    if (dict_size == 0 || dict_size > vko_kMaxOfDictSize)
        return false;
    buffer.resize(size_t(dict_size) + kVekkoCacheSize);
    vko_TStream stream;
    if (vko_TStream_open(&stream, &source, mem_read_code, buffer.data(), dict_size, kVekkoCacheSize) != 0)
        return false;
    size_t produced = 0;
    for (;;) {
        vko_size_t piece = static_cast<vko_size_t>(std::min(kStreamPiece, out_size - produced));
        vko_TResult result = vko_TStream_decompress_partial(&stream, out + produced, &piece);
        produced += piece; // on 0 the piece is full; on 1 it holds the bytes produced
        if (result == vko_RESULT_STREAM_END)
            return produced == out_size;
        if (result != vko_RESULT_OK)
            return false;
    }
}

/* ---- zlib: level 9, 4 KiB window, zlib wrapper ---- */

constexpr int kZlibWindowBits = 12;

size_t zlib_bound(size_t size) { return size + size / 8 + size / 64 + 64; }

size_t zlib_compress(const unsigned char* src, size_t size, unsigned char* out, size_t capacity)
{
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, kZlibWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    z.next_in = const_cast<Bytef*>(src);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(capacity);
    int result = deflate(&z, Z_FINISH);
    size_t written = z.total_out;
    deflateEnd(&z);
    return result == Z_STREAM_END ? written : 0;
}

bool zlib_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    z_stream z{};
    if (inflateInit2(&z, kZlibWindowBits) != Z_OK)
        return false;
    z.next_in = const_cast<Bytef*>(code);
    z.avail_in = static_cast<uInt>(code_size);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(out_size);
    int result = inflate(&z, Z_FINISH);
    bool ok = result == Z_STREAM_END && z.total_out == out_size;
    inflateEnd(&z);
    return ok;
}

bool zlib_stream_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    z_stream z{};
    if (inflateInit2(&z, kZlibWindowBits) != Z_OK)
        return false;
    z.next_in = const_cast<Bytef*>(code);
    z.avail_in = static_cast<uInt>(code_size);
    size_t produced = 0;
    int result;
    do {
        size_t piece = std::min(kStreamPiece, out_size - produced);
        z.next_out = out + produced;
        z.avail_out = static_cast<uInt>(piece);
        result = inflate(&z, Z_NO_FLUSH);
        produced += piece - z.avail_out;
    } while (result == Z_OK);
    inflateEnd(&z);
    return result == Z_STREAM_END && produced == out_size;
}

/* ---- zstd: level 19, window log 12 ---- */

size_t zstd_bound(size_t size) { return ZSTD_compressBound(size); }

size_t zstd_compress(const unsigned char* src, size_t size, unsigned char* out, size_t capacity)
{
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    size_t written = 0;
    if (cctx && !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 19))
        && !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 12))) {
        written = ZSTD_compress2(cctx, out, capacity, src, size);
        if (ZSTD_isError(written))
            written = 0;
    }
    ZSTD_freeCCtx(cctx);
    return written;
}

// zstd decodes best with a context kept across calls, so it gets one.
ZSTD_DCtx* zstd_context()
{
    static ZSTD_DCtx* dctx = ZSTD_createDCtx();
    return dctx;
}

bool zstd_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    return ZSTD_decompressDCtx(zstd_context(), out, out_size, code, code_size) == out_size;
}

bool zstd_stream_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    ZSTD_DCtx* dctx = zstd_context();
    ZSTD_DCtx_reset(dctx, ZSTD_reset_session_only);
    ZSTD_inBuffer in{code, code_size, 0};
    size_t produced = 0;
    for (;;) {
        ZSTD_outBuffer piece{out + produced, std::min(kStreamPiece, out_size - produced), 0};
        size_t consumed_before = in.pos;
        size_t hint = ZSTD_decompressStream(dctx, &piece, &in);
        if (ZSTD_isError(hint))
            return false;
        produced += piece.pos;
        if (hint == 0)
            return produced == out_size && in.pos == code_size;
        if (piece.pos == 0 && in.pos == consumed_before)
            return false; // stuck: output longer than expected or input cut short
    }
}

/* ---- lzma: preset 9e with a 4 KiB dictionary, raw LZMA2 (no .xz container) ---- */

struct LzmaFilters {
    lzma_options_lzma options;
    lzma_filter chain[2];

    LzmaFilters()
    {
        lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME);
        options.dict_size = 4096;
        chain[0] = {LZMA_FILTER_LZMA2, &options};
        chain[1] = {LZMA_VLI_UNKNOWN, nullptr};
    }
};

size_t lzma_bound(size_t size) { return lzma_stream_buffer_bound(size); }

size_t lzma_compress(const unsigned char* src, size_t size, unsigned char* out, size_t capacity)
{
    LzmaFilters filters;
    size_t written = 0;
    return lzma_raw_buffer_encode(filters.chain, nullptr, src, size, out, &written, capacity) == LZMA_OK ? written
                                                                                                        : 0;
}

bool lzma_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    LzmaFilters filters;
    size_t consumed = 0, produced = 0;
    return lzma_raw_buffer_decode(filters.chain, nullptr, code, &consumed, code_size, out, &produced, out_size)
               == LZMA_OK
           && consumed == code_size && produced == out_size;
}

bool lzma_stream_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    LzmaFilters filters;
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&strm, filters.chain) != LZMA_OK)
        return false;
    strm.next_in = code;
    strm.avail_in = code_size;
    size_t produced = 0;
    lzma_ret result;
    do {
        size_t piece = std::min(kStreamPiece, out_size - produced);
        strm.next_out = out + produced;
        strm.avail_out = piece;
        result = lzma_code(&strm, LZMA_RUN);
        produced += piece - strm.avail_out;
    } while (result == LZMA_OK);
    lzma_end(&strm);
    return result == LZMA_STREAM_END && produced == out_size;
}

/* ---- lz4 HC: level 12; its block format has a fixed 64 KiB window ---- */

size_t lz4hc_bound(size_t size) { return static_cast<size_t>(LZ4_compressBound(static_cast<int>(size))); }

size_t lz4hc_compress(const unsigned char* src, size_t size, unsigned char* out, size_t capacity)
{
    // The state is allocated here, so that it counts in the heap peak however the
    // library was built (it may otherwise keep it on the stack).
    void* state = std::malloc(static_cast<size_t>(LZ4_sizeofStateHC()));
    if (!state)
        return 0;
    int written = LZ4_compress_HC_extStateHC(state, reinterpret_cast<const char*>(src), reinterpret_cast<char*>(out),
                                             static_cast<int>(size), static_cast<int>(capacity), 12);
    std::free(state);
    return written > 0 ? static_cast<size_t>(written) : 0;
}

bool lz4hc_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    return LZ4_decompress_safe(reinterpret_cast<const char*>(code), reinterpret_cast<char*>(out),
                               static_cast<int>(code_size), static_cast<int>(out_size))
           == static_cast<int>(out_size);
}

/* ---- brotli: quality 11, window 2^12 ---- */

size_t brotli_bound(size_t size) { return BrotliEncoderMaxCompressedSize(size); }

size_t brotli_compress(const unsigned char* src, size_t size, unsigned char* out, size_t capacity)
{
    size_t written = capacity;
    return BrotliEncoderCompress(11, 12, BROTLI_MODE_GENERIC, size, src, &written, out) ? written : 0;
}

bool brotli_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    size_t produced = out_size;
    return BrotliDecoderDecompress(code_size, code, &produced, out) == BROTLI_DECODER_RESULT_SUCCESS
           && produced == out_size;
}

bool brotli_stream_decompress(const unsigned char* code, size_t code_size, unsigned char* out, size_t out_size)
{
    BrotliDecoderState* state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    if (!state)
        return false;
    const uint8_t* next_in = code;
    size_t avail_in = code_size;
    size_t produced = 0;
    BrotliDecoderResult result;
    do {
        size_t piece = std::min(kStreamPiece, out_size - produced);
        size_t avail_out = piece;
        uint8_t* next_out = out + produced;
        result = BrotliDecoderDecompressStream(state, &avail_in, &next_in, &avail_out, &next_out, nullptr);
        produced += piece - avail_out;
        if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT && piece == 0)
            break; // output longer than expected
    } while (result == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT);
    BrotliDecoderDestroyInstance(state);
    return result == BROTLI_DECODER_RESULT_SUCCESS && produced == out_size;
}

const Codec kCodecs[] = {
    {"vekko", "vekko (4 KiB)", vekko_bound, vekko_compress, vekko_decompress, vekko_stream_decompress},
    {"vekkomt", "vekko (4 KiB, all cores)", vekko_bound, vekko_mt_compress, vekko_decompress, nullptr},
    {"zlib", "zlib 9 (wbits 12)", zlib_bound, zlib_compress, zlib_decompress, zlib_stream_decompress},
    {"zstd", "zstd 19 (wlog 12)", zstd_bound, zstd_compress, zstd_decompress, zstd_stream_decompress},
    {"lzma", "lzma2 9e (4 KiB)", lzma_bound, lzma_compress, lzma_decompress, lzma_stream_decompress},
    {"lz4hc", "lz4hc 12 (64 KiB)", lz4hc_bound, lz4hc_compress, lz4hc_decompress, nullptr},
    {"brotli", "brotli 11 (lgwin 12)", brotli_bound, brotli_compress, brotli_decompress, brotli_stream_decompress},
};

/* ---- measuring ---- */

struct Options {
    int min_reps = 5;
    double min_time = 0.3;
    double max_time = 3.0;
    std::vector<const Codec*> codecs;
    std::vector<std::string> files;
};

/* Best time of one measure; failed is set when a run's output was wrong. */
struct Timing {
    double best = 0;
    bool failed = false;
    bool measured = false;
};

/* run(seconds) performs one run, stores the time of its timed part and tells whether
 * the run's output was right. */
template <class Run>
Timing best_of_runs(const Options& options, Run run)
{
    Timing timing;
    timing.best = std::numeric_limits<double>::infinity();
    double total = 0, last = 0;
    for (int reps = 0;; ++reps) {
        if (reps >= options.min_reps && total >= options.min_time)
            break;
        if (reps > 0 && total + last > options.max_time)
            break;
        if (!run(last)) {
            timing.failed = true;
            return timing;
        }
        timing.best = std::min(timing.best, last);
        total += last;
    }
    timing.measured = true;
    return timing;
}

template <class Call>
double seconds_of(Call call)
{
    auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Result {
    size_t size = 0;
    size_t compressed = 0;
    int64_t peak_heap = 0;
    Timing compress, decompress, stream;
};

/* Decoding is checked on every run: the output buffer is first filled with bytes that
 * all differ from the input, so a decoder that leaves any byte alone is caught. */
Timing time_decoder(const Options& options, const Bytes& input, const Bytes& unlike_input, const Bytes& code,
                    bool (*decoder)(const unsigned char*, size_t, unsigned char*, size_t))
{
    Bytes out(input.size());
    return best_of_runs(options, [&](double& seconds) {
        std::memcpy(out.data(), unlike_input.data(), out.size());
        bool ok = false;
        seconds = seconds_of([&] { ok = decoder(code.data(), code.size(), out.data(), out.size()); });
        return ok && out == input;
    });
}

Result measure(const Options& options, const Codec& codec, const Bytes& input, const Bytes& unlike_input)
{
    Result result;
    result.size = input.size();
    Bytes code(codec.bound(input.size()));
    result.compress = best_of_runs(options, [&](double& seconds) {
        heap_counter::reset_peak();
        int64_t live_before = heap_counter::live();
        seconds = seconds_of(
            [&] { result.compressed = codec.compress(input.data(), input.size(), code.data(), code.size()); });
        result.peak_heap = std::max(result.peak_heap, heap_counter::peak() - live_before);
        return result.compressed != 0;
    });
    if (result.compress.failed)
        return result;
    code.resize(result.compressed);
    result.decompress = time_decoder(options, input, unlike_input, code, codec.decompress);
    if (codec.stream_decompress)
        result.stream = time_decoder(options, input, unlike_input, code, codec.stream_decompress);
    return result;
}

/* ---- reporting ---- */

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string megabytes_per_second(size_t size, const Timing& timing)
{
    if (timing.failed)
        return "**FAILED**";
    if (!timing.measured)
        return "-";
    double speed = double(size) / timing.best / 1e6;
    return format(speed < 10 ? "%.2f" : "%.1f", speed);
}

std::string kibibytes(int64_t bytes) { return format("%.0f KiB", double(bytes) / 1024); }

std::string file_name(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void print_row(const std::string& file, const Codec& codec, size_t size, size_t compressed,
               const Timing& compress, const Timing& decompress, const Timing& stream, const std::string& heap)
{
    std::string ratio = compressed ? format("%.3f", double(size) / double(compressed)) : "-";
    std::printf("| %s | %s | %zu | %s | %s | %s | %s | %s | %s |\n", file.c_str(), codec.label, size,
                compressed ? std::to_string(compressed).c_str() : "-", ratio.c_str(),
                megabytes_per_second(size, compress).c_str(), megabytes_per_second(size, decompress).c_str(),
                megabytes_per_second(size, stream).c_str(), heap.c_str());
}

/* Sums of one codec over all files; a measure missing or failed on any file stays so. */
struct Total {
    size_t size = 0, compressed = 0;
    int64_t max_heap = 0;
    Timing compress{0, false, true}, decompress{0, false, true}, stream{0, false, true};

    void add(const Result& r)
    {
        size += r.size;
        compressed += r.compressed;
        max_heap = std::max(max_heap, r.peak_heap);
        add_timing(compress, r.compress);
        add_timing(decompress, r.decompress);
        add_timing(stream, r.stream);
    }

    static void add_timing(Timing& sum, const Timing& one)
    {
        sum.best += one.best;
        sum.failed |= one.failed;
        sum.measured &= one.measured;
    }

    // Input bytes per second over the whole corpus, or 0 when not known.
    static double speed(size_t size, const Timing& t)
    {
        return t.measured && !t.failed && t.best > 0 ? double(size) / t.best : 0;
    }
};

void print_target(const char* what, double numerator, double denominator, double target)
{
    if (numerator == 0 || denominator == 0) {
        std::printf("- %s: not measured (target >= %g)\n", what, target);
        return;
    }
    double ratio = numerator / denominator;
    std::printf("- %s: **%.2f** (target >= %g: %s)\n", what, ratio, target, ratio >= target ? "met" : "MISSED");
}

bool read_file(const std::string& path, Bytes& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

[[noreturn]] void usage(const char* complaint)
{
    std::fprintf(stderr,
                 "vekko_bench: %s\n"
                 "usage: vekko_bench [--codecs=KEY,...] [--min-reps=N] [--min-time=S] [--max-time=S] FILE...\n"
                 "codecs:",
                 complaint);
    for (const Codec& codec : kCodecs)
        std::fprintf(stderr, " %s", codec.key);
    std::fprintf(stderr, "\n");
    std::exit(2);
}

Options parse_options(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* prefix) -> const char* {
            size_t n = std::strlen(prefix);
            return arg.compare(0, n, prefix) == 0 ? argv[i] + n : nullptr;
        };
        if (const char* list = value("--codecs=")) {
            std::stringstream keys(list);
            for (std::string key; std::getline(keys, key, ',');) {
                auto found = std::find_if(std::begin(kCodecs), std::end(kCodecs),
                                          [&](const Codec& c) { return key == c.key; });
                if (found == std::end(kCodecs))
                    usage(("unknown codec " + key).c_str());
                options.codecs.push_back(found);
            }
        } else if (const char* n = value("--min-reps=")) {
            options.min_reps = std::atoi(n);
        } else if (const char* s = value("--min-time=")) {
            options.min_time = std::atof(s);
        } else if (const char* s = value("--max-time=")) {
            options.max_time = std::atof(s);
        } else if (arg.compare(0, 2, "--") == 0) {
            usage(("unknown option " + arg).c_str());
        } else {
            options.files.push_back(arg);
        }
    }
    if (options.codecs.empty())
        for (const Codec& codec : kCodecs)
            options.codecs.push_back(&codec);
    if (options.files.empty())
        usage("no input files");
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    Options options = parse_options(argc, argv);
    std::vector<Total> totals(options.codecs.size());
    std::vector<std::string> failures;

    std::printf("| file | codec | bytes | compressed | ratio | compress MB/s | memory decode MB/s "
                "| stream decode MB/s | compress peak heap |\n"
                "|---|---|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const std::string& path : options.files) {
        Bytes input;
        if (!read_file(path, input)) {
            std::fprintf(stderr, "vekko_bench: cannot read %s\n", path.c_str());
            return 2;
        }
        // Sizes are passed as 32-bit integers by several of the codecs.
        if (input.empty() || input.size() > (size_t(1) << 30)) {
            std::fprintf(stderr, "vekko_bench: skipping %s: %zu bytes (1 byte to 1 GiB is measured)\n",
                         path.c_str(), input.size());
            continue;
        }
        Bytes unlike_input(input.size());
        for (size_t i = 0; i < input.size(); ++i)
            unlike_input[i] = static_cast<unsigned char>(~input[i]);
        std::string name = file_name(path);

        for (size_t c = 0; c < options.codecs.size(); ++c) {
            const Codec& codec = *options.codecs[c];
            std::fprintf(stderr, "%s: %s ...\n", name.c_str(), codec.key);
            Result r = measure(options, codec, input, unlike_input);
            auto fail = [&](const char* what) {
                failures.push_back(std::string(codec.key) + " on " + name + ": " + what);
                std::fprintf(stderr, "*** ROUND TRIP FAILED: %s\n", failures.back().c_str());
            };
            if (r.compress.failed)
                fail("compression failed");
            if (r.decompress.failed)
                fail("the memory decoder did not reproduce the input");
            if (r.stream.failed)
                fail("the stream decoder did not reproduce the input");
            totals[c].add(r);
            print_row(name, codec, r.size, r.compressed, r.compress, r.decompress, r.stream,
                      r.compress.failed ? std::string("-") : kibibytes(r.peak_heap));
            std::fflush(stdout);
        }
    }
    for (size_t c = 0; c < options.codecs.size(); ++c) {
        const Total& t = totals[c];
        print_row("**total**", *options.codecs[c], t.size, t.compressed, t.compress, t.decompress, t.stream,
                  kibibytes(t.max_heap) + " (max)");
    }

    // The project's targets, on the totals.
    auto total_of = [&](const char* key) -> const Total* {
        for (size_t c = 0; c < options.codecs.size(); ++c)
            if (std::strcmp(options.codecs[c]->key, key) == 0)
                return &totals[c];
        return nullptr;
    };
    const Total none;
    const Total& vekko = total_of("vekko") ? *total_of("vekko") : none;
    const Total& vekko_mt = total_of("vekkomt") ? *total_of("vekkomt") : none;
    const Total& lzma = total_of("lzma") ? *total_of("lzma") : none;
    const Total& zstd = total_of("zstd") ? *total_of("zstd") : none;
    std::printf("\nMB/s: 10^6 input bytes per second, best of %d+ runs (fewer for slow codecs on large files). "
                "Stream decode: output pieces of %zu bytes (vekko: %u-byte input cache). "
                "Peak heap: live heap blocks during one compression call, output buffer excluded. "
                "lzma2: raw LZMA2, no .xz container. lz4's window is fixed at 64 KiB. "
                "vekko all cores: %u threads here; only inputs of more than one clip (256 KiB) use more than one.\n\n",
                options.min_reps, kStreamPiece, unsigned(kVekkoCacheSize), all_cores());
    print_target("vekko compression speed / lzma compression speed", Total::speed(vekko.size, vekko.compress),
                 Total::speed(lzma.size, lzma.compress), 1);
    std::string threads_target = "vekko compression speed on " + std::to_string(all_cores()) +
                                 " threads / on 1 thread";
    // 90% of a linear gain: 1.8 on two cores
    if (all_cores() >= 2)
        print_target(threads_target.c_str(), Total::speed(vekko_mt.size, vekko_mt.compress),
                     Total::speed(vekko.size, vekko.compress), 0.9 * all_cores());
    print_target("vekko memory-decoder speed / zstd decompression speed", Total::speed(vekko.size, vekko.decompress),
                 Total::speed(zstd.size, zstd.decompress), 1);
    print_target("vekko stream-decoder speed / vekko memory-decoder speed", Total::speed(vekko.size, vekko.stream),
                 Total::speed(vekko.size, vekko.decompress), 0.5);

    if (!failures.empty()) {
        std::printf("\n**%zu ROUND TRIP FAILURE(S):**\n", failures.size());
        for (const std::string& f : failures)
            std::printf("- %s\n", f.c_str());
        return 1;
    }
    return 0;
}

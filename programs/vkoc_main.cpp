/* vkoc: compresses all of standard input into one vekko stream on standard output.
 *
 * The stream is decoded again and compared with the input before anything is written.
 * Compression runs on as many threads as the process may use cores; the stream is the same
 * bytes whatever that number is.
 * Exit status:
 *   0  success
 *   2  empty input
 *   3  compression failed: the encoder reported an error, memory ran out, or the input
 *      is too large for the 32-bit sizes of the check (a line on standard error says which)
 *   4  the round trip did not reproduce the input
 *   5  standard output could not be written
 *   6  standard input could not be read
 * Nothing is written on standard output unless the status is 0. */
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "vko_dec.h"
#include "vko_wrapper.h"

namespace {

using cli::Exit;

const uint64_t kDictSize = 4096;

enum Status { kOk = 0, kEmpty = 2, kCompressionFailed = 3, kRoundTripFailed = 4, kWriteFailed = 5, kReadFailed = 6 };

/* The largest input the check can take: the decoder counts the stream and the output
 * in 32 bits, and the stream may be up to vko_max_compressed_size(n) long. */
uint64_t max_input_size() {
    uint64_t low = 0, high = UINT32_MAX; /* vko_max_compressed_size(low) fits, high's doesn't */
    while (high - low > 1) {
        const uint64_t mid = low + (high - low) / 2;
        if (vko_max_compressed_size(mid) <= UINT32_MAX) low = mid;
        else high = mid;
    }
    return low;
}

std::string too_large(uint64_t limit) {
    return "input too large: at most " + std::to_string(limit) +
           " bytes can be compressed (the decoder's sizes are 32-bit)";
}

/* All of standard input, refused as soon as it is known to be above limit. */
std::vector<unsigned char> read_all(uint64_t limit) {
    struct stat st;
    if (fstat(fileno(stdin), &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_size > limit)
        throw Exit{kCompressionFailed, too_large(limit)};
    std::vector<unsigned char> data;
    std::vector<unsigned char> block(1 << 16);
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), stdin)) > 0) {
        if (got > limit - data.size()) throw Exit{kCompressionFailed, too_large(limit)};
        data.insert(data.end(), block.begin(), block.begin() + (std::ptrdiff_t)got);
    }
    if (std::ferror(stdin))
        throw Exit{kReadFailed, std::string("cannot read standard input: ") + std::strerror(errno)};
    return data;
}

int run(int, char**) {
    cli::set_binary_mode(stdin);
    cli::set_binary_mode(stdout);

    const std::vector<unsigned char> input = read_all(max_input_size());
    if (input.empty()) return kEmpty;
    const uint64_t n = input.size();

    std::vector<unsigned char> compressed(vko_max_compressed_size(n));
    const uint64_t stream_len = vko_compress_mem_threads(input.data(), n, compressed.data(), compressed.size(),
                                                         kDictSize, cli::usable_cores());
    if (stream_len == 0) throw Exit{kCompressionFailed, "compression failed"};

    /* Both sizes fit 32 bits: read_all refused anything larger. */
    std::vector<unsigned char> check(input.size());
    vko_size_t decoded_size = (vko_size_t)n;
    const vko_TResult result =
        vko_decompress_mem(compressed.data(), (vko_size_t)stream_len, check.data(), &decoded_size);
    if (result != vko_RESULT_STREAM_END || decoded_size != n || std::memcmp(check.data(), input.data(), n) != 0)
        throw Exit{kRoundTripFailed, "the compressed stream does not decode to the input"};

    /* A stream that did not reach its destination is a failure, not a success. */
    if (std::fwrite(compressed.data(), 1, stream_len, stdout) != stream_len || std::fflush(stdout) != 0)
        throw Exit{kWriteFailed, "cannot write standard output"};
    return kOk;
}

} // namespace

/* Every failure becomes a status and at most one line. */
int main(int argc, char** argv) { return cli::main_with_exit("vkoc", run, argc, argv, kCompressionFailed, kCompressionFailed); }

/* vkoc: compresses all of standard input into one vekko stream on standard output.
 *
 * The stream is decoded again and compared with the input before anything is written.
 * Exit status: 0 success, 2 empty input, 3 compression failed, 4 the round trip did
 * not reproduce the input, 5 standard output could not be written.  Encoder failures
 * (exceptions) end the program abnormally, with nothing on standard output. */
#include <cstdio>
#include <cstring>
#include <vector>

#include "binary_stdio.h"
#include "vko_dec.h"
#include "vko_wrapper.h"

namespace {

const uint64_t kDictSize = 4096;

std::vector<unsigned char> read_all(FILE* file) {
    std::vector<unsigned char> data;
    unsigned char block[1 << 16];
    size_t got;
    while ((got = std::fread(block, 1, sizeof(block), file)) > 0)
        data.insert(data.end(), block, block + got);
    return data;
}

} // namespace

int main() {
    set_binary_mode(stdin);
    set_binary_mode(stdout);

    const std::vector<unsigned char> input = read_all(stdin);
    if (input.empty()) return 2;
    const uint64_t n = input.size();

    std::vector<unsigned char> compressed(vko_max_compressed_size(n));
    const uint64_t stream_len = vko_compress_mem(input.data(), n, compressed.data(), compressed.size(), kDictSize);
    if (stream_len == 0) return 3;

    /* The decoder's sizes are 32-bit: an input of 4 GiB or more can't pass this check. */
    std::vector<unsigned char> check(input.size());
    vko_size_t decoded_size = (vko_size_t)n;
    const vko_TResult result =
        vko_decompress_mem(compressed.data(), (vko_size_t)stream_len, check.data(), &decoded_size);
    if (result != vko_RESULT_STREAM_END || decoded_size != n || std::memcmp(check.data(), input.data(), n) != 0)
        return 4;

    /* A stream that did not reach its destination is a failure, not a success. */
    if (std::fwrite(compressed.data(), 1, stream_len, stdout) != stream_len || std::fflush(stdout) != 0)
        return 5;
    return 0;
}

// Compresses a buffer on two threads with the installed encoder, decodes it with the
// installed decoder and prints the stream in hex for decode.c to read back.
#include <cstdio>
#include <cstring>
#include <vector>

#include "vko_dec.h"
#include "vko_wrapper.h"

int main() {
    std::vector<unsigned char> input(300000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = (unsigned char)("installed vekko "[i % 16] ^ (i / 5000));
    std::vector<unsigned char> code(vko_max_compressed_size(input.size()));
    const uint64_t n = vko_compress_mem_threads(input.data(), input.size(), code.data(), code.size(), 4096, 2);
    std::vector<unsigned char> back(input.size());
    vko_size_t size = (vko_size_t)back.size();
    if (n == 0 || vko_decompress_mem(code.data(), (vko_size_t)n, back.data(), &size) != vko_RESULT_STREAM_END ||
        size != input.size() || std::memcmp(back.data(), input.data(), input.size()) != 0) {
        std::fprintf(stderr, "round trip failed\n");
        return 1;
    }
    std::printf("round trip of %zu bytes through %llu\n", input.size(), (unsigned long long)n);
    return 0;
}

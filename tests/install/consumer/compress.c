/* Compresses a buffer on two threads through the installed C entry of the encoder, decodes
 * it back, and checks that a too small output is reported as such. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vko_compress.h"
#include "vko_dec.h"

int main(void) {
    enum { kSize = 300000 };
    static unsigned char input[kSize], back[kSize];
    const char* text = "installed vekko ";
    for (size_t i = 0; i < kSize; ++i) input[i] = (unsigned char)(text[i % 16] ^ (i / 5000));

    const uint64_t bound = vko_compress_bound(kSize);
    unsigned char* code = (unsigned char*)malloc((size_t)bound);
    int error = -1;
    const uint64_t n = code ? vko_compress_buffer(input, kSize, code, bound, 4096, 2, &error) : 0;
    vko_size_t size = kSize;
    if (n == 0 || error != vko_COMPRESS_OK ||
        vko_decompress_mem(code, (vko_size_t)n, back, &size) != vko_RESULT_STREAM_END || size != kSize ||
        memcmp(back, input, kSize) != 0) {
        fprintf(stderr, "C compression round trip failed: %s\n", vko_compress_error_text(error));
        free(code);
        return 1;
    }
    if (vko_compress_buffer(input, kSize, code, n / 2, 4096, 1, &error) != 0 ||
        error != vko_COMPRESS_OUTPUT_TOO_SMALL) {
        fprintf(stderr, "a too small output was not reported: %s\n", vko_compress_error_text(error));
        free(code);
        return 1;
    }
    free(code);
    printf("C compression of %d bytes into %llu\n", (int)kSize, (unsigned long long)n);
    return 0;
}

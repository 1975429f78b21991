/* Decodes a fixed stream ("abcabcabc" as a literal and a match) with the installed
 * C decoder. */
#include <stdio.h>
#include <string.h>

#include "vko_dec.h"

int main(void) {
    /* made by the encoder from "abcabcabcabcabcabc" */
    static const unsigned char code[] = {0x03, 0x00, 0x00, 0x00, 0xf7, 0x61, 0x62, 0x63, 0x61, 0x03, 0x00};
    unsigned char out[64];
    vko_size_t size = sizeof(out);
    if (vko_decompress_mem(code, sizeof(code), out, &size) != vko_RESULT_STREAM_END || size != 18 ||
        memcmp(out, "abcabcabcabcabcabc", 18) != 0) {
        fprintf(stderr, "C decode failed\n");
        return 1;
    }
    printf("C decode of %u bytes\n", (unsigned)size);
    return 0;
}

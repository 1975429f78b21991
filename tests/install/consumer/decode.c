/* Decodes a fixed stream ("abcabcabc" as a literal and a match) with the installed C
 * decoders: the memory decoder, and the stream decoder reading through the streams
 * library's memory source.  Checks that the library runs at the version of its headers. */
#include <stdio.h>
#include <string.h>

#include "vekko_version.h"
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

    mirv_TMemCodeSource source = {code, sizeof(code), 0};
    unsigned char buffer[3 + 16]; /* the header's window, then the input cache */
    vko_TStream stream;
    vko_size_t piece = sizeof(out);
    memset(out, 0, sizeof(out));
    if (vko_TStream_read_dict_size(&source, mem_read_code) != 3 ||
        vko_TStream_open(&stream, &source, mem_read_code, buffer, 3, 16) != vko_RESULT_OK ||
        vko_TStream_decompress_partial(&stream, out, &piece) != vko_RESULT_STREAM_END || piece != 18 ||
        memcmp(out, "abcabcabcabcabcabc", 18) != 0) {
        fprintf(stderr, "C stream decode failed\n");
        return 1;
    }

    if (vekko_version_number() != VEKKO_VERSION_NUMBER || strcmp(vekko_version_string(), VEKKO_VERSION_STRING) != 0) {
        fprintf(stderr, "library version %s, headers %s\n", vekko_version_string(), VEKKO_VERSION_STRING);
        return 1;
    }
    printf("C decode of %u bytes, vekko %s\n", (unsigned)size, vekko_version_string());
    return 0;
}

/* Applies a small window diff (zlib body, crc32 checks) with the installed patch library
 * and its host plug-ins, then checks that a damaged diff is refused. */
#include <stdio.h>
#include <string.h>

#include "patch_common.h"

/* Old: 300 bytes of "installed vekko patch " over and over.  New: the same with bytes 100 ..
 * 180 set to 'X' and " and a new tail, and a new tail" after them.  Made with vkodiff
 * --compress zlib --checksum crc32 --window 4K --step-memory 1K --ring 2. */
static const unsigned char kDiff[] = {
    0x51, 0x4f, 0x52, 0x56, 0x4e, 0x57, 0x32, 0x36, 0x26, 0x00, 0x7a, 0x6c, 0x69, 0x62, 0x26, 0x63,
    0x72, 0x63, 0x33, 0x32, 0x00, 0x30, 0x81, 0x02, 0x82, 0x4b, 0x82, 0x2c, 0x00, 0x01, 0x02, 0x0d,
    0x03, 0x78, 0x04, 0x00, 0xcd, 0xf8, 0x22, 0x13, 0x26, 0x8d, 0x17, 0xca, 0xba, 0x03, 0x46, 0x47,
    0x78, 0xda, 0xab, 0x70, 0x34, 0x61, 0xe6, 0x66, 0x12, 0x62, 0x48, 0x39, 0x50, 0x16, 0x50, 0x71,
    0xa0, 0x42, 0x9e, 0xa1, 0x31, 0x26, 0x82, 0xca, 0x40, 0x21, 0x31, 0x2f, 0x45, 0x21, 0x51, 0x21,
    0x2f, 0xb5, 0x5c, 0xa1, 0x24, 0x31, 0x33, 0x47, 0x07, 0x8d, 0x0f, 0x00, 0xf1, 0x70, 0x2b, 0x62};

int main(void) {
    static const char kTail[] = " and a new tail, and a new tail";
    const char* text = "installed vekko patch ";
    unsigned char old[300], expected[300 + sizeof(kTail) - 1], out[sizeof(expected)], damaged[sizeof(kDiff)];
    for (size_t i = 0; i < sizeof(old); ++i) old[i] = (unsigned char)text[i % 22];
    memcpy(expected, old, sizeof(old));
    memset(expected + 100, 'X', 80);
    memcpy(expected + sizeof(old), kTail, sizeof(kTail) - 1);

    int result = apply_window_diff(old, sizeof(old), kDiff, sizeof(kDiff), out, sizeof(out));
    if (result != mirv_kWindowPatchOk || memcmp(out, expected, sizeof(out)) != 0) {
        fprintf(stderr, "C window patch failed: %d\n", result);
        return 1;
    }
    memcpy(damaged, kDiff, sizeof(kDiff));
    damaged[sizeof(damaged) - 5] ^= 1;
    result = apply_window_diff(old, sizeof(old), damaged, sizeof(damaged), out, sizeof(out));
    if (result == mirv_kWindowPatchOk) {
        fprintf(stderr, "C window patch took a damaged diff\n");
        return 1;
    }
    printf("C window patch of %u bytes (a damaged diff: result %d)\n", (unsigned)sizeof(out), result);
    return 0;
}

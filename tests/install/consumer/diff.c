/* Makes a diff with the installed diff writer's C entry (the default: a checked window diff)
 * and applies it with the patch library and its plug-ins. */
#include <stdio.h>
#include <string.h>

#include "patch_common.h"
#include "vko_diff.h"

int main(void) {
    enum { kOldSize = 100000, kNewSize = 110000 };
    static unsigned char old[kOldSize], new_data[kNewSize], out[kNewSize];
    for (size_t i = 0; i < kOldSize; ++i) old[i] = (unsigned char)((i * 2654435761u) >> 13);
    memcpy(new_data, old, 40000);
    memset(new_data + 40000, 'n', 10000);
    memcpy(new_data + 50000, old + 40000, kNewSize - 50000);

    unsigned char* diff = NULL;
    size_t diff_size = 0;
    const vkd_TError error = vkd_create_diff(old, kOldSize, new_data, kNewSize, NULL, &diff, &diff_size);
    if (error != vkd_OK) {
        fprintf(stderr, "C diff failed: %s\n", vkd_error_text(error));
        return 1;
    }
    const int result = apply_window_diff(old, kOldSize, diff, diff_size, out, kNewSize);
    vkd_free(diff);
    if (result != mirv_kWindowPatchOk || memcmp(out, new_data, kNewSize) != 0) {
        fprintf(stderr, "C patch of the C diff failed: %d\n", result);
        return 1;
    }
    printf("C diff of %d bytes into %zu, patched back\n", (int)kNewSize, diff_size);
    return 0;
}

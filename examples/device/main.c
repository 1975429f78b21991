/* Runs the device example.  On the host it is an ordinary program; built for a
 * Cortex-M with newlib's semihosting (rdimon), printf and the exit status reach the
 * host through the debugger or emulator. */
#include <stdio.h>

#include "device_example.h"

int main(void) {
    int failed = device_example_run();
    if (failed) printf("device example: failed at step %d\n", failed);
    else printf("device example: decoded and checked\n");
    if (!failed) {
        failed = device_patch_run();
        if (failed) printf("device example: patch failed with %d\n", failed);
        else printf("device example: patched and checked\n");
    }
    return failed;
}

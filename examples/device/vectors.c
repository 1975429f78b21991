/* Vector table for the emulated Cortex-M3 board (mps2-an385): the initial stack pointer
 * and the reset handler, newlib's semihosting start-up code. */
extern void _start(void);
extern char __stack_top[];

static void halt(void) {
    for (;;) {}
}

__attribute__((section(".vectors"), used)) void (*const vectors[16])(void) = {
    (void (*)(void))__stack_top, _start, halt, halt, halt, halt, halt, 0, 0, 0, 0, halt, halt, 0, halt, halt,
};

/* Start-up and board support for the micro:bit update example: the vector table, the
 * reset handler (copies .data, clears .bss, runs main and exits with its status), the
 * semihosting calls that carry the console and the exit status to the host, and the
 * nRF51's flash controller (NVMC). */
#include "microbit.h"

extern int main(void);
extern char __data_start__[], __data_end__[], __data_load__[], __bss_start__[], __bss_end__[], __stack_top[];

enum {
    kSysOpen = 0x01,
    kSysClose = 0x02,
    kSysWrite0 = 0x04,
    kSysWrite = 0x05,
    kSysExitExtended = 0x20,
    kApplicationExit = 0x20026,
    kOpenWriteBinary = 5
};

static int semihost(int operation, const void* argument) {
    register int r0 __asm__("r0") = operation;
    register const void* r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

void mb_print(const char* text) { semihost(kSysWrite0, text); }

void mb_print_uint(uint32_t value) {
    char text[11];
    char* p = text + sizeof(text) - 1;
    *p = 0;
    do {
        *--p = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    mb_print(p);
}

void mb_print_hex(uint32_t value) {
    char text[9];
    int i;
    for (i = 7; i >= 0; i--, value >>= 4) text[i] = "0123456789abcdef"[value & 15];
    text[8] = 0;
    mb_print(text);
}

void mb_exit(int status) {
    const uint32_t block[2] = {kApplicationExit, (uint32_t)status};
    for (;;) semihost(kSysExitExtended, block);
}

int mb_host_write_file(const char* path, const unsigned char* data, size_t size) {
    size_t length = 0;
    int handle, unwritten;
    while (path[length]) length++;
    {
        const uint32_t open_block[3] = {(uint32_t)path, kOpenWriteBinary, length};
        handle = semihost(kSysOpen, open_block);
    }
    if (handle == -1) return 0;
    {
        const uint32_t write_block[3] = {(uint32_t)handle, (uint32_t)data, size};
        const uint32_t close_block[1] = {(uint32_t)handle};
        unwritten = semihost(kSysWrite, write_block);
        return semihost(kSysClose, close_block) == 0 && unwritten == 0;
    }
}

/* NVMC registers: READY, CONFIG (0 read only, 1 write, 2 erase) and ERASEPAGE. */
#define NVMC_READY (*(volatile uint32_t*)0x4001E400u)
#define NVMC_CONFIG (*(volatile uint32_t*)0x4001E504u)
#define NVMC_ERASEPAGE (*(volatile uint32_t*)0x4001E508u)

static void nvmc_wait(void) {
    while (!NVMC_READY) {}
}

void mb_flash_erase_page(uint32_t page_address) {
    NVMC_CONFIG = 2;
    nvmc_wait();
    NVMC_ERASEPAGE = page_address;
    nvmc_wait();
    NVMC_CONFIG = 0;
    nvmc_wait();
}

void mb_flash_write_word(uint32_t address, uint32_t word) {
    NVMC_CONFIG = 1;
    nvmc_wait();
    *(volatile uint32_t*)address = word;
    nvmc_wait();
    NVMC_CONFIG = 0;
    nvmc_wait();
}

void reset_handler(void) {
    char* from = __data_load__;
    char* to = __data_start__;
    while (to < __data_end__) *to++ = *from++;
    for (to = __bss_start__; to < __bss_end__; to++) *to = 0;
    mb_exit(main());
}

static void halt(void) { mb_exit(99); }

__attribute__((section(".vectors"), used)) void (*const vectors[16])(void) = {
    (void (*)(void))__stack_top, reset_handler, halt, halt, 0, 0, 0, 0, 0, 0, 0, halt, 0, 0, halt, halt,
};

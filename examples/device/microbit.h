/* The micro:bit board support the update example uses: the semihosting console, exit
 * status and host file, and the nRF51's flash controller. */
#ifndef MICROBIT_H
#define MICROBIT_H

#include <stddef.h>
#include <stdint.h>

/* Console output through the debugger or emulator. */
void mb_print(const char* text);
void mb_print_uint(uint32_t value);
void mb_print_hex(uint32_t value);
/* Ends the run with status (0 success); the emulator exits with it. */
void mb_exit(int status) __attribute__((noreturn));
/* Writes [data, data + size) to a new host file; false when the host refuses. */
int mb_host_write_file(const char* path, const unsigned char* data, size_t size);

/* Flash pages are erased to 0xFF a page at a time and programmed a word at a time. */
#define MB_FLASH_PAGE_SIZE 1024u
void mb_flash_erase_page(uint32_t page_address);
void mb_flash_write_word(uint32_t address, uint32_t word);

#endif

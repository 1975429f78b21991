/* The update example on a BBC micro:bit (nRF51822): 256 KiB of flash at 0 and 16 KiB
 * of RAM at 0x20000000.  Flash holds the program, the old image and the diff; the
 * flash pages after them, to the end of flash, are the slot the new image is written
 * to.  RAM holds .data and .bss from its start and the stack from its top down. */
MEMORY
{
    FLASH (rx) : ORIGIN = 0x00000000, LENGTH = 256K
    RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 16K
}

__stack_top = ORIGIN(RAM) + LENGTH(RAM);
__flash_page_size = 1024;

SECTIONS
{
    .text : {
        KEEP(*(.vectors))
        *(.text*)
        *(.rodata*)
        . = ALIGN(4);
    } > FLASH
    .ARM.exidx : { *(.ARM.exidx*) } > FLASH
    .data : {
        __data_start__ = .;
        *(.data*)
        . = ALIGN(4);
        __data_end__ = .;
    } > RAM AT > FLASH
    __data_load__ = LOADADDR(.data);
    .bss (NOLOAD) : {
        __bss_start__ = .;
        *(.bss*)
        *(COMMON)
        . = ALIGN(4);
        __bss_end__ = .;
    } > RAM
    __new_slot_start = ALIGN(__data_load__ + SIZEOF(.data), __flash_page_size);
    __new_slot_end = ORIGIN(FLASH) + LENGTH(FLASH);
    ASSERT(__new_slot_start < __new_slot_end, "no flash left for the new image")
    ASSERT(__bss_end__ + 1024 <= __stack_top, "no RAM left for the stack")
}

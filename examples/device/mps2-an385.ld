/* Memory of the mps2-an385 board as the emulator has it: 4 MiB of RAM at 0 (code and
 * data, loaded from the image) and 4 MiB at 0x20000000 (stack). */
MEMORY
{
    SSRAM1 (rwx) : ORIGIN = 0x00000000, LENGTH = 4M
    SSRAM23 (rwx) : ORIGIN = 0x20000000, LENGTH = 4M
}

__stack_top = ORIGIN(SSRAM23) + LENGTH(SSRAM23);

SECTIONS
{
    .text : {
        KEEP(*(.vectors))
        *(.text*)
        KEEP(*(.init))
        KEEP(*(.fini))
        *(.rodata*)
        . = ALIGN(4);
        __preinit_array_start = .;
        KEEP(*(.preinit_array))
        __preinit_array_end = .;
        __init_array_start = .;
        KEEP(*(SORT(.init_array.*)))
        KEEP(*(.init_array))
        __init_array_end = .;
        __fini_array_start = .;
        KEEP(*(.fini_array))
        __fini_array_end = .;
    } > SSRAM1
    .ARM.exidx : { *(.ARM.exidx*) } > SSRAM1
    .data : { *(.data*) } > SSRAM1
    .bss (NOLOAD) : {
        __bss_start__ = .;
        *(.bss*)
        *(COMMON)
        . = ALIGN(8);
        __bss_end__ = .;
    } > SSRAM1
    end = .;
    __end__ = .;
}

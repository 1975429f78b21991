/* A firmware update on a BBC micro:bit (nRF51822: Cortex-M0, 256 KiB of flash, 16 KiB
 * of RAM), the way a bootloader would do it.
 *
 * The old image and a window diff made for an 8 KiB RAM budget (`vkodiff --ram 8K`) lie
 * in flash.  The patch reads the diff front to back, the old image where the diff
 * points, and writes the new image front to back into a second flash region: each page
 * is erased when the writing reaches it and bytes are programmed a word at a time.  Every
 * check is on: the old image, the diff and the new image against the diff's crc32
 * values.  The patch, its readers, the plug-ins and the stream decoder are the size
 * builds (MIRV_PATCH_SMALL, VKO_DEC_SMALL).
 *
 * RAM: one static record of exactly kUpdateRam bytes, the budget the diff was made for,
 * holds what the library keeps (the plug-in records and the head record) and an arena
 * that the listener splits between the patch's work memory and the vekko decoder's window
 * and cache.  Nothing else is static: the flash writer, this program's own stream, lives
 * in main's frame and so counts as stack.  Before the update the free RAM below the stack is painted;
 * afterwards the lowest word no longer holding the paint marks the deepest the stack
 * went.  The run prints that peak (static plus stack) and the new image's crc32, writes
 * the new image to a host file when NEW_IMAGE_FILE is set, and exits non-zero on any
 * mismatch. */
#include "microbit.h"
#include "mirv_device_plugins.h"

#ifndef NEW_IMAGE_SIZE
#error "NEW_IMAGE_SIZE and NEW_IMAGE_CRC32: the new image's size and crc32, to check the result against"
#endif

/* Work memory of the window patch for a diff's window, step memory and ring. */
#ifdef MIRV_PATCH_SMALL
#define PATCH_WORK_MEMORY(window, step_memory, ring) mirv_WINDOW_PATCH_SMALL_MEM_SIZE(window, step_memory, ring)
#else
#define PATCH_WORK_MEMORY(window, step_memory, ring) mirv_WINDOW_PATCH_MEM_SIZE(window, step_memory)
#endif

enum { kUpdateRam = 8192, kStackPaint = 0x5AA5C33Cu, kPaintMargin = 64 };

extern const unsigned char old_image[], old_image_end[], update_diff[], update_diff_end[];
extern unsigned char __new_slot_start[], __new_slot_end[];
extern char __data_start__[], __bss_end__[], __stack_top[];

/* The new image's flash slot as an output stream.  Writes must come front to back (the
 * patch's do); bytes are gathered into words, and the word being gathered is still
 * readable for the patch's reads of its own output. */
typedef struct FlashWriter {
    uint32_t slot;       /* first byte of the slot, at a page start */
    uint32_t capacity;   /* slot bytes */
    uint32_t written;    /* bytes taken so far */
    uint32_t word;       /* the bytes of the word not yet programmed, little-endian */
    uint32_t crc;        /* crc32 of the bytes taken */
} FlashWriter;

typedef struct UpdateRecords {
    mirv_TDeviceVekko   vekko;
    mirv_TDeviceCrc32   crc32;
    mirv_windowDiffInfo info;
} UpdateRecords;

/* This run's own state, on the stack. */
typedef struct UpdateRun {
    FlashWriter writer;
    uint32_t    patch_memory;  /* the part of the arena the patch got */
    const char* patch_call_sp; /* what the stack holds below it is the patch's */
} UpdateRun;

static struct {
    UpdateRecords records;
    unsigned char arena[kUpdateRam - sizeof(UpdateRecords)];
} ram;

static void flash_program_byte(FlashWriter* writer, unsigned char byte) {
    const uint32_t address = writer->slot + writer->written;
    const unsigned shift = 8 * (address & 3);
    if (address % MB_FLASH_PAGE_SIZE == 0) mb_flash_erase_page(address);
    writer->word = (writer->word & ~(0xFFu << shift)) | ((uint32_t)byte << shift);
    writer->written++;
    if (shift == 24) {
        mb_flash_write_word(address & ~3u, writer->word);
        writer->word = 0xFFFFFFFFu;
    }
}

/* Programs the last, partly filled word, the rest of it left erased. */
static void flash_finish(FlashWriter* writer) {
    if (writer->written & 3) mb_flash_write_word((writer->slot + writer->written) & ~3u, writer->word);
}

static mirv_BOOL slot_write(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                            const unsigned char* data_end) {
    FlashWriter* writer = (FlashWriter*)stream->owner;
    if (pos != writer->written || (uint64_t)(data_end - data) > writer->capacity - pos) return 0;
    writer->crc = mirv_device_crc32(writer->crc, data, data_end);
    while (data < data_end) flash_program_byte(writer, *data++);
    return 1;
}

static mirv_BOOL slot_read_back(const mirv_TStreamOutput* stream, uint64_t pos, unsigned char* out,
                                unsigned char* out_end) {
    const FlashWriter* writer = (const FlashWriter*)stream->owner;
    const uint32_t programmed = writer->written & ~3u;
    if (pos > writer->written || (uint64_t)(out_end - out) > writer->written - pos) return 0;
    for (; out < out_end; pos++)
        *out++ = pos < programmed ? ((const unsigned char*)writer->slot)[pos]
                                  : (unsigned char)(writer->word >> (8 * (pos & 3)));
    return 1;
}

static mirv_BOOL flash_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                            unsigned char* out_end) {
    const unsigned char* base = (const unsigned char*)stream->owner;
    if (pos > stream->size || (uint64_t)(out_end - out) > stream->size - pos) return 0;
    for (base += pos; out < out_end;) *out++ = *base++;
    return 1;
}

/* Sees the diff's head: the patch gets the work memory its window, step memory and ring
 * need, the vekko decoder the rest of the arena for its window and cache (it refuses a
 * stream whose window does not fit); every check is on.  A diff that needs more than
 * the arena is refused here, before anything is written. */
static mirv_BOOL on_diff_info(mirv_TWindowPatchListener* listener, const mirv_windowDiffInfo* info,
                              mirv_TDecompress** out_plugin, mirv_TChecksum** out_checksum, mirv_BOOL* check_new,
                              mirv_BOOL* check_old, mirv_BOOL* check_diff, unsigned char** out_cache,
                              unsigned char** out_cache_end) {
    const uint64_t arena = sizeof(ram.arena);
    uint64_t patch_memory;
    UpdateRun* run = (UpdateRun*)listener->owner;
    if (info->window_size > arena || info->step_mem_size > arena || info->ring_size > arena) return 0;
    patch_memory = PATCH_WORK_MEMORY(info->window_size, info->step_mem_size, info->ring_size);
    if (patch_memory + mirv_kDeviceVekkoMinCache > arena) return 0;
    *out_cache = ram.arena;
    *out_cache_end = ram.arena + patch_memory;
    *out_plugin = mirv_device_vekko_init(&ram.records.vekko, ram.arena + patch_memory, arena - patch_memory);
    *out_checksum = mirv_device_crc32_init(&ram.records.crc32);
    if (info->compressed_size && !(*out_plugin)->is_can_open(info->compress_type)) return 0;
    *check_new = *check_old = *check_diff = 1;
    run->patch_memory = (uint32_t)patch_memory;
    return 1;
}

static int update(UpdateRun* run) {
    FlashWriter* writer = &run->writer;
    mirv_TStreamInput old = {(void*)old_image, (uint64_t)(old_image_end - old_image), flash_read, 0};
    mirv_TStreamInput diff = {(void*)update_diff, (uint64_t)(update_diff_end - update_diff), flash_read, 0};
    mirv_TStreamOutput slot = {writer, 0, slot_read_back, slot_write};
    mirv_TWindowPatchListener listener = {run, on_diff_info, 0};
    int result;
    writer->slot = (uint32_t)__new_slot_start;
    writer->capacity = (uint32_t)(__new_slot_end - __new_slot_start);
    writer->word = 0xFFFFFFFFu;
    slot.size = writer->capacity;
    __asm__ volatile("mov %0, sp" : "=r"(run->patch_call_sp));
    result = patch_window_diff_with_info(&ram.records.info, &listener, &slot, &old, &diff, 0);
    flash_finish(writer);
    return result;
}

/* Fills the RAM between static memory and the stack pointer (less a margin for the
 * painter's own frame) with the paint. */
static __attribute__((noinline)) void paint_stack(void) {
    uint32_t* word = (uint32_t*)__bss_end__;
    char* sp;
    __asm__ volatile("mov %0, sp" : "=r"(sp));
    while ((char*)(word + 1) <= sp - kPaintMargin) *word++ = kStackPaint;
}

/* The lowest word whose paint was overwritten: the deepest the stack went. */
static const char* stack_low_mark(void) {
    const uint32_t* word = (const uint32_t*)__bss_end__;
    while ((const char*)word < __stack_top && *word == kStackPaint) word++;
    return (const char*)word;
}

int main(void) {
    const uint32_t static_ram = (uint32_t)(__bss_end__ - __data_start__);
    const mirv_windowDiffInfo* info = &ram.records.info;
    UpdateRun run = {{0, 0, 0, 0, 0}, 0, 0};
    uint32_t stack, patch_stack, slot_crc;
    const char* low;
    int result;
    paint_stack();
    result = update(&run);
    low = stack_low_mark();
    stack = (uint32_t)(__stack_top - low);
    patch_stack = (uint32_t)(run.patch_call_sp - low);
    mb_print("micro:bit update: old image ");
    mb_print_uint((uint32_t)(old_image_end - old_image));
    mb_print(" bytes, diff ");
    mb_print_uint((uint32_t)(update_diff_end - update_diff));
    mb_print(" bytes (window ");
    mb_print_uint((uint32_t)info->window_size);
    mb_print(", step memory ");
    mb_print_uint((uint32_t)info->step_mem_size);
    mb_print(", ring ");
    mb_print_uint((uint32_t)info->ring_size);
    mb_print("; patch work memory ");
    mb_print_uint(run.patch_memory);
    mb_print(" of an arena of ");
    mb_print_uint(sizeof(ram.arena));
    mb_print(")\npeak RAM: ");
    mb_print_uint(static_ram + stack);
    mb_print(" bytes (static ");
    mb_print_uint(static_ram);
    mb_print(" + stack ");
    mb_print_uint(stack);
    mb_print(")\nstack below the patch call: ");
    mb_print_uint(patch_stack);
    mb_print(" bytes (the patch, the plug-ins and the flash callbacks)\n");
    if (result != mirv_kWindowPatchOk) {
        mb_print("update failed: patch result ");
        mb_print_uint((uint32_t)result);
        mb_print("\n");
        return 1;
    }
    /* The crc of what went through the writer, and again of what the flash now holds. */
    slot_crc = mirv_device_crc32(0, __new_slot_start, __new_slot_start + run.writer.written);
    mb_print("new image: ");
    mb_print_uint(run.writer.written);
    mb_print(" bytes, crc32 ");
    mb_print_hex(slot_crc);
    mb_print("\n");
    if (run.writer.written != NEW_IMAGE_SIZE || run.writer.crc != NEW_IMAGE_CRC32 ||
        slot_crc != NEW_IMAGE_CRC32) {
        mb_print("update failed: the new image is not the expected one\n");
        return 2;
    }
#ifdef NEW_IMAGE_FILE
    if (!mb_host_write_file(NEW_IMAGE_FILE, __new_slot_start, run.writer.written)) {
        mb_print("update failed: could not hand the new image to the host\n");
        return 3;
    }
#endif
    return 0;
}

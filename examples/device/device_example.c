/* Decoding a vekko stream on a microcontroller.
 *
 * The compressed stream lies in flash and is fetched through a read callback into a
 * 64-byte input cache; the decoder keeps a 4 KiB window of past output and hands out
 * 64 bytes per call.  All its memory is one static buffer: no heap, no C library.
 * Here each piece is compared with the original text; a device would write it to flash
 * or feed it to a peripheral instead. */
#include "device_example.h"

#include "sample_data.h"
#include "vko_dec.h"

enum {
    kWindowSize = 4096, /* at least the stream header's window */
    kCacheSize = 64,    /* compressed bytes fetched per read callback */
    kPieceSize = 64     /* decoded bytes per decoder call */
};

/* Flash as the decoder sees it: a read position over a region.  A device would read its
 * flash controller or an external SPI flash here, one cache-full at a time. */
typedef struct FlashReader {
    const unsigned char* base;
    vko_size_t size;
    vko_size_t pos;
} FlashReader;

static mirv_BOOL flash_read(void* source, unsigned char* out, vko_size_t* size) {
    FlashReader* flash = (FlashReader*)source;
    vko_size_t n = *size, i;
    if (n > flash->size - flash->pos) n = flash->size - flash->pos;
    for (i = 0; i < n; i++) out[i] = flash->base[flash->pos + i];
    flash->pos += n;
    *size = n; /* 0 once the stream's region is used up */
    return 1;
}

/* The decoder's whole memory: the window, then the input cache; its state record and the
 * output piece are static too, which keeps the stack small. */
static unsigned char decoder_memory[kWindowSize + kCacheSize];
static vko_TStream stream;
static unsigned char piece[kPieceSize];

int device_example_run(void) {
    FlashReader flash = {sample_stream, sizeof(sample_stream), 0};
    vko_size_t done = 0, i;
    vko_TResult result;

    /* the header names the window the stream needs; refuse one larger than we have */
    const vko_size_t window = vko_TStream_read_dict_size(&flash, flash_read);
    if (window == 0 || window > kWindowSize) return 1;
    result = vko_TStream_open(&stream, &flash, flash_read, decoder_memory, kWindowSize, kCacheSize);
    while (result == vko_RESULT_OK) {
        vko_size_t size = kPieceSize;
        result = vko_TStream_decompress_partial(&stream, piece, &size);
        if (result != vko_RESULT_OK && result != vko_RESULT_STREAM_END) return 2;
        if (size > sizeof(sample_text) - done) return 3;
        for (i = 0; i < size; i++)
            if (piece[i] != sample_text[done + i]) return 3;
        done += size;
    }
    return done == sizeof(sample_text) ? 0 : 4;
}

/* mirv patch library: rebuilds new data from old data and a binary diff.
 *
 * Plain C99.  Nothing here allocates, throws or keeps global state: every buffer
 * is handed in by the caller, and every operation that can fail returns a
 * mirv_BOOL (0 false) or a result code.  Old data, diff and new data are read and
 * written through the stream records of mirv_stream.h, so each may sit in memory or
 * behind any callback.  Every number read from a diff is treated as hostile: a diff
 * whose sizes, positions or sums do not fit is refused, never followed.
 *
 * Diff formats: serialized (no signature), compressed ("QORVN13"), single-stream
 * ("QORVNSF20") and window ("QORVNW26").  Which call applies which:
 *
 *   window        getWindowDiffInfo to look at the head, then patch_window_diff: a
 *                 listener sees the head and hands out the plug-ins, the checks and
 *                 mirv_WINDOW_PATCH_MEM_SIZE bytes of work memory.  The call for devices.
 *   single        getSingleCompressedDiffInfo, then patch_single_stream with its listener.
 *   compressed    getCompressedDiffInfo, then patch_decompress.
 *   serialized    patch (all in memory) or patch_stream.
 *
 * Compression and checksums are reached only through the plug-in records below, which
 * the caller fills; mirv_plugins.h offers ready ones over zlib, zstd, xxHash and vekko,
 * mirv_device_plugins.h ones for devices.
 *
 * This header holds what a caller of the patches needs.  The building blocks the patches
 * are made of (packed numbers, clip streams, cover lists, the single-stream patch's parts)
 * are in mirv_patch_parts.h, which this header includes at its end.
 */
#ifndef MIRV_PATCH_H
#define MIRV_PATCH_H

#include <stddef.h>
#include <stdint.h>

#include "mirv_stream.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The size build under its own names, so that a test program can link both builds. */
#if defined(MIRV_PATCH_SMALL_NAMES)
#define getWindowDiffInfo           mirv_small_getWindowDiffInfo
#define patch_window_diff           mirv_small_patch_window_diff
#define patch_window_diff_with_info mirv_small_patch_window_diff_with_info
#endif

/* Longest type name a diff may carry (compression or checksum), plus its terminating zero. */
#define mirv_kMaxTypeNameSize 264

/* The signatures diffs start with (a serialized diff has none).  In a compressed or
 * single-stream diff '&' and the compression type follow; a window diff's head length follows
 * its signature. */
#define mirv_kCompressedDiffSignature   "QORVN13"
#define mirv_kSingleStreamDiffSignature "QORVNSF20"
#define mirv_kWindowDiffSignature       "QORVNW26"

/* ---------------------------------------------------------------------------------------
 * Plug-ins
 * ------------------------------------------------------------------------------------- */

typedef struct mirv_TDecompress mirv_TDecompress;

/* A decompressor supplied by the caller.  A handle decodes one compressed section of
 * known decoded size, front to back.  decompress_part must produce exactly
 * out_end - out next bytes or fail; the part that brings the total to decoded_size must
 * also fail unless the compressed data ends exactly there.
 *
 * A handle reads its code range front to back, each byte once: every read starts where the
 * one before ended (the first at code_begin).  The window patch sums the diff as it passes,
 * and there a read anywhere else fails, so a plug-in that reads back or skips fails the
 * patch instead of spoiling the diff's checksum. */
struct mirv_TDecompress {
    /* True when this plug-in decodes the named compression type. */
    mirv_BOOL (*is_can_open)(const char* compress_type);
    /* Opens a decoder of [code_begin, code_end) of code, which decodes to decoded_size
     * bytes.  Returns the handle, or null on failure. */
    void* (*open)(mirv_TDecompress* plugin, uint64_t decoded_size, const mirv_TStreamInput* code,
                  uint64_t code_begin, uint64_t code_end);
    /* Releases a handle (null is accepted).  False when the handle reported a fault. */
    mirv_BOOL (*close)(mirv_TDecompress* plugin, void* handle);
    /* Produces the next out_end - out decoded bytes. */
    mirv_BOOL (*decompress_part)(void* handle, unsigned char* out, unsigned char* out_end);
    /* Points an open handle at another section; null when the plug-in can't. */
    mirv_BOOL (*reopen)(void* handle, uint64_t decoded_size, const mirv_TStreamInput* code,
                        uint64_t code_begin, uint64_t code_end);
};

typedef struct mirv_TChecksum mirv_TChecksum;

/* A checksum supplied by the caller. */
struct mirv_TChecksum {
    const char* (*checksum_type)(void);
    size_t (*checksum_size)(void); /* bytes written by end */
    void* (*open)(mirv_TChecksum* plugin);
    void (*close)(mirv_TChecksum* plugin, void* handle);
    void (*begin)(void* handle);
    void (*append)(void* handle, const unsigned char* data, const unsigned char* data_end);
    /* Writes the finished checksum into [out, out_end), which holds checksum_size() bytes. */
    void (*end)(void* handle, unsigned char* out, unsigned char* out_end);
};

/* ---------------------------------------------------------------------------------------
 * Diff heads
 * ------------------------------------------------------------------------------------- */

typedef struct mirv_compressedDiffInfo {
    uint64_t new_size;
    uint64_t old_size;
    int      compressed_count; /* how many of the four sections are compressed (0-4) */
    char     compress_type[mirv_kMaxTypeNameSize];
} mirv_compressedDiffInfo;

typedef struct mirv_singleCompressedDiffInfo {
    uint64_t new_size;
    uint64_t old_size;
    uint64_t uncompressed_size;
    uint64_t compressed_size;   /* 0: the body is stored */
    uint64_t diff_data_pos;     /* body position, counted from the head position */
    uint64_t cover_count;
    uint64_t step_mem_size;
    char     compress_type[mirv_kMaxTypeNameSize];
} mirv_singleCompressedDiffInfo;

/* The window head's sizes and positions, and the longest type names and head it may carry.
 * The size build (MIRV_PATCH_SMALL, for 32-bit devices) holds them in 32 bits and refuses as a
 * head error any head whose numbers reach 2^32 - 1, whose names are longer than 15 characters or
 * which is longer than 128 bytes, and any diff of 4 GiB or more; it keeps the head's bytes in the record, for the diff's
 * checksum. */
#if defined(MIRV_PATCH_SMALL)
typedef uint32_t mirv_TWindowSize;
#define mirv_kWindowTypeNameSize 16
#define mirv_kMaxWindowHeadSize 128
#else
typedef uint64_t mirv_TWindowSize;
#define mirv_kWindowTypeNameSize mirv_kMaxTypeNameSize
/* Largest window head (signature, length and head bytes) the library reads. */
#define mirv_kMaxWindowHeadSize 4096
#endif

typedef struct mirv_windowDiffInfo {
    mirv_TWindowSize compressed_size;   /* 0: the body is stored */
    mirv_TWindowSize uncompressed_size;
    mirv_TWindowSize new_size;
    mirv_TWindowSize old_size;
    mirv_TWindowSize reserved;
    mirv_TWindowSize window_count;
    mirv_TWindowSize ring_size;
    mirv_TWindowSize step_mem_size;
    mirv_TWindowSize max_step_covers;
    mirv_TWindowSize window_size;
    mirv_TWindowSize checksum_size;
    mirv_TWindowSize skip_size;
    char     compress_type[mirv_kWindowTypeNameSize];
    char     checksum_type[mirv_kWindowTypeNameSize];
    /* Positions counted from the head position (the signature's first byte). */
    mirv_TWindowSize compressed_size_end; /* just after the compressed body size */
    mirv_TWindowSize items_end;           /* just after the skip size */
    mirv_TWindowSize checksums_begin;     /* first byte of the three stored checksums */
    mirv_TWindowSize head_size;           /* 10 + head length: the body starts here */
#if defined(MIRV_PATCH_SMALL)
    unsigned char    head[mirv_kMaxWindowHeadSize]; /* the head's bytes */
#endif
} mirv_windowDiffInfo;

/* Read and check a head.  False when the stream holds no such head or it fails a check. */
VEKKO_API mirv_BOOL getCompressedDiffInfo(mirv_compressedDiffInfo* out_info, const mirv_TStreamInput* diff);
VEKKO_API mirv_BOOL getSingleCompressedDiffInfo(mirv_singleCompressedDiffInfo* out_info, const mirv_TStreamInput* diff,
                                                uint64_t head_pos);
VEKKO_API mirv_BOOL getWindowDiffInfo(mirv_windowDiffInfo* out_info, const mirv_TStreamInput* diff, uint64_t head_pos);

/* ---------------------------------------------------------------------------------------
 * Window patch
 *
 * Reads the diff strictly front to back, once (a pipe or a radio link will do), reads the old
 * data only where the diff points, through one window at a time, and writes the new data front
 * to back.  The caller hands out the work memory, the plug-ins and the checks from a listener
 * that sees the diff's head first; the listener gets the memory back through on_patch_finish.
 * ------------------------------------------------------------------------------------- */

/* Window patch results. */
enum {
    mirv_kWindowPatchOk = 0,                 /* new data produced (and verified where asked) */
    mirv_kWindowPatchHeadError = 1,          /* no window head, or it failed its checks */
    mirv_kWindowPatchOutputTooSmall = 2,     /* out_new is smaller than the new data */
    mirv_kWindowPatchOldSizeError = 3,       /* the patch failed and old's size is not the head's */
    mirv_kWindowPatchListenerRefused = 4,    /* on_diff_info returned false */
    mirv_kWindowPatchMemoryError = 5,        /* no work memory, or too little */
    /* 6 is not used */
    mirv_kWindowPatchFailed = 7,             /* bad diff data or a stream error */
    mirv_kWindowPatchChecksumPluginError = 8,/* checks asked for without a fitting plug-in */
    mirv_kWindowPatchChecksumOpenError = 9,  /* a checksum handle could not be opened */
    mirv_kWindowPatchOldChecksumError = 10,  /* the old data is not the one the diff was made from */
    mirv_kWindowPatchNewChecksumError = 11,  /* the new data does not match its checksum */
    mirv_kWindowPatchDiffChecksumError = 12  /* the diff is damaged */
};

/* A short English text for a window patch result, for messages (never null; "unknown result"
 * for a value that is none of them).  Not used by the patch itself, so a device that never
 * calls it links none of its text. */
VEKKO_API const char* mirv_window_patch_result_text(int result);

typedef struct mirv_TWindowPatchListener mirv_TWindowPatchListener;

/* Plug-ins, checks and work memory for a window patch. */
struct mirv_TWindowPatchListener {
    void* owner;
    /* Sees the head.  *check_new comes preset to (the diff carries checksums), *check_old and
     * *check_diff to false; the listener may change all three.  It sets the decompressor
     * (needed for a compressed body), the checksum plug-in (needed when a check is on and the
     * diff carries checksums) and the work memory, at least
     * mirv_WINDOW_PATCH_MEM_SIZE(window_size, step_mem_size) bytes (the size build: at least
     * mirv_WINDOW_PATCH_SMALL_MEM_SIZE, with the ring).  False stops the patch
     * (result 4, no on_patch_finish). */
    mirv_BOOL (*on_diff_info)(mirv_TWindowPatchListener* listener, const mirv_windowDiffInfo* info,
                              mirv_TDecompress** out_plugin, mirv_TChecksum** out_checksum, mirv_BOOL* check_new,
                              mirv_BOOL* check_old, mirv_BOOL* check_diff, unsigned char** out_cache,
                              unsigned char** out_cache_end);
    /* May be null; called once whenever on_diff_info returned true, whatever the result. */
    void (*on_patch_finish)(mirv_TWindowPatchListener* listener, unsigned char* cache, unsigned char* cache_end);
};

/* Work memory a window patch needs beside its window and step memory: its own state, its
 * caches and the window ring.  The size build needs window + step memory + 8 bytes per ring
 * descriptor + mirv_kWindowPatchSmallReserve (mirv_WINDOW_PATCH_SMALL_MEM_SIZE); its
 * mirv_WINDOW_PATCH_MEM_SIZE holds for any ring (64 descriptors). */
#define mirv_kWindowPatchSmallReserve 344
#define mirv_WINDOW_PATCH_SMALL_MEM_SIZE(window_size, step_mem_size, ring_size) \
    ((window_size) + (step_mem_size) + 8 * (ring_size) + mirv_kWindowPatchSmallReserve)
#if defined(MIRV_PATCH_SMALL)
#define mirv_kWindowPatchReserve (8 * 64 + mirv_kWindowPatchSmallReserve)
#else
#define mirv_kWindowPatchReserve 12288
#endif
#define mirv_WINDOW_PATCH_MEM_SIZE(window_size, step_mem_size) \
    ((window_size) + (step_mem_size) + mirv_kWindowPatchReserve)

/* Window patch of the diff whose head starts at head_pos; returns a mirv_kWindowPatch* code.
 * out_new must be at least the head's new size; only that many bytes are written. */
VEKKO_API int patch_window_diff(mirv_TWindowPatchListener* listener, const mirv_TStreamOutput* out_new,
                                const mirv_TStreamInput* old, const mirv_TStreamInput* diff, uint64_t head_pos);
/* The same, reading the head into *info, a record the caller provides (and may keep after the
 * call) instead of one on the call's stack: for devices whose stack has no room for its 656
 * bytes (224 in the size build, which also keeps the head's bytes there).  Every other piece of the patch's state lives at the end of the work memory. */
VEKKO_API int patch_window_diff_with_info(mirv_windowDiffInfo* info, mirv_TWindowPatchListener* listener,
                                          const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                          const mirv_TStreamInput* diff, uint64_t head_pos);

/* ---------------------------------------------------------------------------------------
 * Single-stream patch
 *
 * Reads the diff strictly front to back, once, like the window patch, but may read the old
 * data anywhere.  Work memory and the decompressor come from a listener, as there.
 * ------------------------------------------------------------------------------------- */

typedef struct sspatch_TListener sspatch_TListener;

/* Work memory and decompressor for a single-stream patch. */
struct sspatch_TListener {
    void* owner;
    /* Sees the head; sets *out_plugin (may stay null for a stored body) and the work memory
     * [*out_cache, *out_cache_end), at least mirv_SINGLE_STREAM_PATCH_MEM_SIZE(info->step_mem_size)
     * bytes.  False stops
     * the patch at once (then on_patch_finish is not called). */
    mirv_BOOL (*on_diff_info)(sspatch_TListener* listener, const mirv_singleCompressedDiffInfo* info,
                              mirv_TDecompress** out_plugin, unsigned char** out_cache,
                              unsigned char** out_cache_end);
    /* May be null; called once after the patch whenever on_diff_info returned true, whatever
     * the result, with the memory it handed out. */
    void (*on_patch_finish)(sspatch_TListener* listener, unsigned char* cache, unsigned char* cache_end);
};

typedef struct sspatch_TCoversListener sspatch_TCoversListener;

/* Optional watcher of the covers: sees every step's raw cover buffer before the step is
 * applied, then (null, null) at the end. */
struct sspatch_TCoversListener {
    void* owner;
    /* May be null: the covers not yet applied, before each step and 0 at the end. */
    void (*on_step_covers_reset)(sspatch_TCoversListener* listener, uint64_t covers_left);
    void (*on_step_covers)(sspatch_TCoversListener* listener, const unsigned char* covers,
                           const unsigned char* covers_end);
};

/* Work memory a single-stream patch needs beside its step memory: its state and caches.  More
 * lets it hold the old data, or the old bytes of a step's short covers, in memory. */
#define mirv_kSingleStreamPatchReserve 12288
#define mirv_SINGLE_STREAM_PATCH_MEM_SIZE(step_mem_size) ((step_mem_size) + mirv_kSingleStreamPatchReserve)

/* Single-stream patch of the diff whose head starts at head_pos of diff.  out_new must be at
 * least the head's new size (only that many bytes are written); old's size must equal the
 * head's old size.  covers_listener may be null.  True when the whole new data was produced
 * and the body was consumed exactly. */
VEKKO_API mirv_BOOL patch_single_stream(sspatch_TListener* listener, const mirv_TStreamOutput* out_new,
                                        const mirv_TStreamInput* old, const mirv_TStreamInput* diff, uint64_t head_pos,
                                        sspatch_TCoversListener* covers_listener);

/* ---------------------------------------------------------------------------------------
 * Serialized and compressed patch
 *
 * Each returns true only when the whole new data was produced and every section of the
 * diff was consumed exactly.  On false, bytes already written stay written: the caller must
 * not use the output.  Decoder handles opened by a call are closed by it on every path.
 * ------------------------------------------------------------------------------------- */

/* Serialized diff, all in memory; out_new_end - out_new is the new data size. */
VEKKO_API mirv_BOOL patch(unsigned char* out_new, unsigned char* out_new_end, const unsigned char* old,
                          const unsigned char* old_end, const unsigned char* diff, const unsigned char* diff_end);

/* Serialized diff through streams; the new data size is out_new->size.  patch_stream uses
 * mirv_kPatchStreamMemSize bytes of stack; the cached form uses [cache, cache_end) instead, and
 * spends memory beyond its needs on holding the old data or the old bytes of short covers,
 * so that the old data is read in a few long passes. */
VEKKO_API mirv_BOOL patch_stream(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old, const mirv_TStreamInput* diff);
VEKKO_API mirv_BOOL patch_stream_with_cache(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                            const mirv_TStreamInput* diff, unsigned char* cache, unsigned char* cache_end);

/* Compressed diff through streams; out_new->size and old->size must equal the head's sizes.
 * plugin may be null when no section is compressed.  patch_decompress uses
 * mirv_kPatchDecompressMemSize bytes of stack. */
VEKKO_API mirv_BOOL patch_decompress(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                     const mirv_TStreamInput* diff, mirv_TDecompress* plugin);
VEKKO_API mirv_BOOL patch_decompress_with_cache(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                                const mirv_TStreamInput* diff, mirv_TDecompress* plugin,
                                                unsigned char* cache, unsigned char* cache_end);

#define mirv_kPatchStreamMemSize 32768
#define mirv_kPatchDecompressMemSize 24576

/* ---------------------------------------------------------------------------------------
 * Memory streams
 * ------------------------------------------------------------------------------------- */

/* Memory streams over [mem, mem_end): the owner is the first byte, the size the length.
 * The output form reads back from the same buffer. */
VEKKO_API const mirv_TStreamInput* mem_as_mirvStreamInput(mirv_TStreamInput* stream, const unsigned char* mem,
                                                          const unsigned char* mem_end);
VEKKO_API const mirv_TStreamOutput* mem_as_mirvStreamOutput(mirv_TStreamOutput* stream, unsigned char* mem,
                                                            unsigned char* mem_end);

#ifdef __cplusplus
}
#endif

/* The building blocks, for callers that assemble a patch of their own. */
#include "mirv_patch_parts.h"

#endif /* MIRV_PATCH_H */

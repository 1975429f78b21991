/* Diff writer: turns old and new bytes into a diff that the patch library applies.
 *
 * Four diff formats:
 *   serialized   no signature; covers in three sections, the new bytes between covers,
 *                then the run-length part over the whole new data.  Nothing compressed.
 *   compressed   "QORVN13&" head; four sections, each compressed on its own (or stored).
 *   single       "QORVNSF20&" head; one body of steps read strictly front to back, whose
 *                cover and run-length buffers take at most the step memory size together.
 *   window       "QORVNW26" head; like single, but every group of covers reads its old bytes
 *                from one window of the old data, so the patch never holds more than the
 *                window; optional checksums of old data, new data and diff.
 *
 * Section compression: "zlib" (one RFC 1950 stream, zlib's compress2), "zstd" (one zstd
 * frame), "vekko" (one vekko stream, see vkd_TDiffOptions.vekko_dict_size), or stored.
 * A section or body that would not get smaller is stored as it is.
 *
 * Memory: the cover search holds a suffix array of the old data (4 bytes per old byte) and
 * the diff being built (at most a little more than the new data); with old and new held by
 * the caller that is about 5 bytes per old byte plus 3 per new byte, and vekko compression
 * adds its own (10 bytes per byte of dictionary window plus clip, for the clip being coded).
 *
 * The writer is host code: the C++ entry throws std::runtime_error (bad options, data too
 * large) or std::bad_alloc; the C entry returns an error code instead.
 */
#ifndef VKO_DIFF_H
#define VKO_DIFF_H

#include <stddef.h>
#include <stdint.h>

#include "vekko_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum vkd_TFormat {
    vkd_FORMAT_SERIALIZED = 0,
    vkd_FORMAT_COMPRESSED = 1,
    vkd_FORMAT_SINGLE     = 2,
    vkd_FORMAT_WINDOW     = 3
} vkd_TFormat;

typedef enum vkd_TCompress {
    vkd_COMPRESS_NONE  = 0,
    vkd_COMPRESS_ZLIB  = 1,
    vkd_COMPRESS_ZSTD  = 2,
    vkd_COMPRESS_VEKKO = 3
} vkd_TCompress;

typedef enum vkd_TChecksum {
    vkd_CHECKSUM_NONE  = 0,
    vkd_CHECKSUM_CRC32 = 1, /* zlib crc32, 4 bytes little-endian */
    vkd_CHECKSUM_XXH64 = 2  /* XXH64 with seed 0, 8 bytes little-endian */
} vkd_TChecksum;

enum {
    vkd_kMinStepMemSize   = 64,         /* room for one cover and a few run-length bytes */
    vkd_kMaxRingSize      = 64,
    vkd_kDefaultLevel     = -1          /* the strongest level of the chosen compressor */
};

typedef struct vkd_TDiffOptions {
    int      format;          /* vkd_TFormat */
    int      compress;        /* vkd_TCompress; ignored by the serialized format */
    int      level;           /* compressor level; vkd_kDefaultLevel = strongest (zlib 9, zstd 22) */
    int      checksum;        /* vkd_TChecksum; window format only (the others carry none) */
    uint64_t step_mem_size;   /* single and window: cover + run-length buffers of one step, >= 64 */
    uint64_t window_size;     /* window: longest old-data window, >= 1 */
    uint64_t ring_size;       /* window: descriptors kept ahead, power of two 2 .. 64 */
    uint64_t vekko_dict_size; /* "vekko" sections: the encoder's dictionary size, 1 .. 2^30 */
    uint64_t min_cover_gain;  /* a cover is kept when its equal bytes, less twice its differing
                                 bytes, come to at least this; 0 = try the bars 12, 16 and 20 (and 25
                                 and 30 unless zstd above level 9 ranks the candidates) and three
                                 cover sets chosen by price, keep the smallest diff */
    int      fast;            /* 1: one cover search (min_cover_gain, 0 = 20) and one diff written,
                                 several times quicker and a few percent larger; 0 = default */
} vkd_TDiffOptions;

/* Defaults: a checked diff.  Window format with xxh64 checksums of the old data, the new
 * data and the diff (a patch refuses a wrong old file or a damaged diff, and checks what it
 * wrote); zstd at its strongest level; window 32 MiB, so one window spans all of an old file
 * up to 32 MiB; step memory 65536; ring 8; vekko dictionary 1 MiB.  A patch needs window +
 * step memory + 12 KiB of work memory for such a diff: the old size + 76 KiB at most, and
 * 32 MiB + 76 KiB for larger old files (the head holds the window and step memory the diff
 * uses, which may be less).  On the updates measured in docs/benchmarks.md it comes within
 * 1% + 100 bytes of the smallest unchecked diff.  The serialized, compressed and single
 * formats, and checksum none, carry no check of the old data or of the result. */
VEKKO_API void vkd_default_options(vkd_TDiffOptions* options);

/* The device preset: window format, vekko with a 16 KiB dictionary, crc32, window 16 KiB,
 * step memory 4 KiB, ring 4.  A device applies it with 16 + 4 + 12 KiB of patch memory
 * plus the vekko decoder's window. */
VEKKO_API void vkd_device_options(vkd_TDiffOptions* options);

typedef enum vkd_TError {
    vkd_OK            = 0,
    vkd_BAD_OPTIONS   = 1, /* an option is out of range */
    vkd_NO_MEMORY     = 2,
    vkd_FAILED        = 3  /* a compressor failed, or the data is too large */
} vkd_TError;

/* Smallest RAM budget vkd_create_diff_for_ram accepts. */
#define vkd_kMinRamBudget 4096

/* The RAM a device holds to apply a window diff made with these options, with the device
 * plug-ins (mirv_device_plugins.h) in the patch library's size build:
 * mirv_DEVICE_UPDATE_RAM_SMALL of the window, step memory, ring and vekko dictionary (no
 * dictionary unless the compression is vekko).  The diff may declare less than its options
 * allow; a device can size its buffers from the diff's head instead. */
VEKKO_API uint64_t vkd_device_ram_small(const vkd_TDiffOptions* options);

/* Makes a diff for a device with ram_bytes of RAM for the update: a window diff compressed
 * with "vekko" and checked with "crc32", whose vkd_device_ram_small stays within ram_bytes.
 * It tries several splits of the budget between the window, the step memory and the vekko
 * dictionary, and rings from 2 to 16, and hands out the smallest diff (as vkd_create_diff
 * does) with, when out_options is not null, the options it was made with.  min_cover_gain is
 * vkd_TDiffOptions.min_cover_gain (0: try a few).  vkd_BAD_OPTIONS when ram_bytes is below
 * vkd_kMinRamBudget.  About 25 diffs are written after one cover search: a few seconds for
 * a megabyte of new data. */
VEKKO_API vkd_TError vkd_create_diff_for_ram(const unsigned char* old_data, size_t old_size,
                                             const unsigned char* new_data, size_t new_size,
                                             uint64_t ram_bytes, uint64_t min_cover_gain,
                                             vkd_TDiffOptions* out_options,
                                             unsigned char** out_diff, size_t* out_size);

/* Writes the diff from old[0 .. old_size) to new_data[0 .. new_size) into a buffer from
 * malloc, handed out in *out_diff and *out_size (free it with vkd_free).  options may be
 * null for the defaults.  Nothing is handed out on error.
 *
 * Unless options.fast is set, the trial cover searches and trial diffs run on as many
 * threads as the calling process may use cores (its CPU affinity, at most 8); the diff is
 * the same byte for byte whatever that number.  vkd_create_diff_for_ram does the same. */
VEKKO_API vkd_TError vkd_create_diff(const unsigned char* old_data, size_t old_size,
                                     const unsigned char* new_data, size_t new_size,
                                     const vkd_TDiffOptions* options,
                                     unsigned char** out_diff, size_t* out_size);
VEKKO_API void vkd_free(void* diff);

/* Null when the options are usable, else a text saying which one is not. */
VEKKO_API const char* vkd_options_error(const vkd_TDiffOptions* options);

/* Text of an error code. */
VEKKO_API const char* vkd_error_text(vkd_TError error);

#ifdef __cplusplus
}

#include <vector>

namespace vkd {

/* One cover: new[new_pos + i] = old[old_pos + i] + diff byte i (mod 256). */
struct Cover {
    uint64_t old_pos;
    uint64_t new_pos;
    uint64_t length;
    bool operator==(const Cover& o) const { return old_pos == o.old_pos && new_pos == o.new_pos && length == o.length; }
};

/* Covers for options.min_cover_gain (0: a middle bar of 20), ordered by new_pos, not
 * overlapping in the new data. */
VEKKO_API std::vector<Cover> find_covers(const unsigned char* old_data, size_t old_size,
                                         const unsigned char* new_data, size_t new_size,
                                         const vkd_TDiffOptions& options);

/* The diff, as vkd_create_diff makes it; throws std::runtime_error on bad options. */
VEKKO_API std::vector<unsigned char> create_diff(const unsigned char* old_data, size_t old_size,
                                                 const unsigned char* new_data, size_t new_size,
                                                 const vkd_TDiffOptions& options);

/* The diff of vkd_create_diff_for_ram; throws std::runtime_error for a budget below
 * vkd_kMinRamBudget.  chosen, when not null, receives the options used. */
VEKKO_API std::vector<unsigned char> create_diff_for_ram(const unsigned char* old_data, size_t old_size,
                                                         const unsigned char* new_data, size_t new_size,
                                                         uint64_t ram_bytes, uint64_t min_cover_gain,
                                                         vkd_TDiffOptions* chosen);

/* The compression type name written into diffs ("", "zlib", "zstd", "vekko"). */
VEKKO_API const char* compress_type_name(int compress);
/* The checksum type name written into window diffs ("", "crc32", "xxh64"). */
VEKKO_API const char* checksum_type_name(int checksum);

}  // namespace vkd
#endif

#endif /* VKO_DIFF_H */

/* Ready-made plug-ins for the patch library, over zlib, libzstd, libxxhash and the vekko
 * stream decoder (its "vekko" is the device plug-in of mirv_device_plugins.h, given heap
 * memory).  Unlike the library itself they allocate (their decoder state), on the host's
 * heap; every handle is released by the plug-in's close.
 *
 * Decompressors, by type name:
 *   "zlib"   one RFC 1950 zlib stream (zlib's inflate);
 *   "zstd"   one zstd frame (libzstd's streaming decoder);
 *   "vekko"  one vekko stream, decoded with a window of the stream's header size; a header
 *            above mirv_kVekkoPluginMaxWindow bytes is refused.
 * Each decodes exactly the section's bytes into exactly the decoded size: the part that
 * completes the decoded size fails unless the compressed data ends exactly there (zlib's
 * check value, the zstd frame's end, vekko's end code, and no byte after it).  Each has
 * reopen.
 *
 * Checksums, by type name:
 *   "crc32"  zlib's CRC-32, 4 bytes little-endian;
 *   "xxh64"  XXH64 with seed 0, 8 bytes little-endian.
 */
#ifndef MIRV_PLUGINS_H
#define MIRV_PLUGINS_H

#include "mirv_patch.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest vekko window the "vekko" plug-in allocates: 64 MiB. */
#define mirv_kVekkoPluginMaxWindow ((uint64_t)64 * 1024 * 1024)

/* The plug-in for a compression type name, or null for any other name. */
VEKKO_API mirv_TDecompress* mirv_decompress_plugin(const char* compress_type);
/* The plug-in for a checksum type name, or null for any other name. */
VEKKO_API mirv_TChecksum* mirv_checksum_plugin(const char* checksum_type);

#ifdef __cplusplus
}
#endif

#endif /* MIRV_PLUGINS_H */

/* Cover lists of serialized and compressed diffs, opened over caller memory and read
 * straight from the diff. */
#ifndef MIRVP_PATCH_COVERS_H
#define MIRVP_PATCH_COVERS_H

#include "patch_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of list state in front of the reader caches, and the least memory a list opens in. */
#define mirvp_kPackedCoversStateSize 232
#define mirvp_kCompressedCoversStateSize 184
#define mirvp_kPackedCoversMinMemory 240
#define mirvp_kCompressedCoversMinMemory 192

/* Open a cover list in [mem, mem_end); *out_covers points into that memory. */
mirv_BOOL mirvp_open_serialized_covers(mirv_TCovers** out_covers, const mirv_TStreamInput* diff, unsigned char* mem,
                                       unsigned char* mem_end);
mirv_BOOL mirvp_open_compressed_covers(mirv_TCovers** out_covers, const mirv_TStreamInput* diff,
                                       mirv_TDecompress* plugin, unsigned char* mem, unsigned char* mem_end);

#ifdef __cplusplus
}
#endif

#endif /* MIRVP_PATCH_COVERS_H */

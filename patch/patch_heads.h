/* Heads of the diff formats: the records the patches read them into, and the window head's
 * reader that keeps enough to rebuild the head's bytes later. */
#ifndef MIRVP_PATCH_HEADS_H
#define MIRVP_PATCH_HEADS_H

#include "patch_reader.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TSerializedDiffHead {
    uint64_t cover_count;
    uint64_t lengths_size;
    uint64_t new_gaps_size;
    uint64_t old_deltas_size;
    uint64_t new_diff_size;
    uint64_t head_end;   /* just after the five numbers */
    uint64_t covers_end; /* start of the new-data-diff section */
} TSerializedDiffHead;

mirv_BOOL mirvp_read_serialized_head(TSerializedDiffHead* head, const mirv_TStreamInput* diff);

typedef struct TCompressedDiffHead {
    uint64_t cover_count;
    uint64_t cover_size, cover_compressed_size;
    uint64_t ctrl_size, ctrl_compressed_size;
    uint64_t data_size, data_compressed_size;
    uint64_t new_diff_size, new_diff_compressed_size;
    uint64_t type_end;   /* just after the type name */
    uint64_t counts_end; /* just after the cover count */
    uint64_t head_end;   /* start of the cover data section */
    uint64_t covers_end; /* end of the cover data section */
} TCompressedDiffHead;

mirv_BOOL mirvp_read_compressed_head(mirv_compressedDiffInfo* info, TCompressedDiffHead* head,
                                     const mirv_TStreamInput* diff);

/* A window head is read without a buffer for its bytes: the reader stops at the end of the
 * items (its cache may hold bytes that follow them), and the byte count of every number is
 * kept, so that the head can be rebuilt exactly once the patch has work memory, while the diff
 * is still read only front to back. */
#define mirvp_kWindowHeadNumbers 12
typedef struct TWindowHeadReader {
    TStreamCacheClip reader;
    unsigned char    cache[16]; /* holds one packed uint */
    unsigned char    number_sizes[mirvp_kWindowHeadNumbers];
} TWindowHeadReader;

/* Reads the window head at head_pos (at most mirv_kMaxWindowHeadSize bytes) up to the end of
 * its items, and checks it. */
mirv_BOOL mirvp_read_window_head(mirv_windowDiffInfo* info, TWindowHeadReader* head, const mirv_TStreamInput* diff,
                                 uint64_t head_pos);
/* Writes the head's info->head_size bytes to out: the items rebuilt from info, the rest read on
 * from the diff (so the reader then stands at the body). */
mirv_BOOL mirvp_copy_window_head(mirv_windowDiffInfo* info, TWindowHeadReader* head, unsigned char* out);

#ifdef __cplusplus
}
#endif

#endif /* MIRVP_PATCH_HEADS_H */

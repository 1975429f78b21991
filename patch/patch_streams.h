/* Stream records the patches put between themselves and the caller's streams: the opener of
 * a diff section (stored, or decoded through a plug-in) and the checksum pass-through streams
 * that sum what is read or written.
 */
#ifndef MIRVP_PATCH_STREAMS_H
#define MIRVP_PATCH_STREAMS_H

#include "patch_reader.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The decoded view of a compressed diff section: the same record as TUncompresser. */
typedef TUncompresser TDecompressInputStream;

/* Makes decoder an empty record holding no handle. */
void mirvp_decoder_init(TDecompressInputStream* decoder);

/* Opens the section that starts at *cursor of diff: compressed_size bytes when that is
 * non-zero (decoded through plugin into decoded_size bytes, by decoder), else
 * decoded_size stored bytes.  With a reader, the reader then reads the decoded bytes
 * through cache.  A decoder that already holds a handle is reopened.  *cursor moves to the
 * section's end.  A null reader only checks and skips the section. */
mirv_BOOL mirvp_open_section(TStreamCacheClip* reader, TDecompressInputStream* decoder, uint64_t decoded_size,
                             uint64_t compressed_size, const mirv_TStreamInput* diff, uint64_t* cursor,
                             mirv_TDecompress* plugin, unsigned char* cache, size_t cache_size);

/* ---- checksum pass-through streams ----
 * Each sums the bytes that pass.  A reader may re-read or skip (a plug-in reading the diff
 * might), which would sum bytes twice or not at all: a read that does not start at next_pos
 * fails and sums nothing.  Writes come from the output cache, front to back. */
typedef struct TChecksumInputStream {
    mirv_TStreamInput        base;
    const mirv_TStreamInput* source;
    mirv_TChecksum*          plugin;
    void*                    handle;
    uint64_t                 next_pos; /* where the next read must start */
} TChecksumInputStream;

typedef struct TChecksumOutputStream {
    mirv_TStreamOutput        base;
    const mirv_TStreamOutput* dest;
    mirv_TChecksum*           plugin;
    void*                     handle;
    uint64_t                  next_pos; /* just after the last write */
} TChecksumOutputStream;

/* Both start at position 0; a caller that sums from further on sets next_pos. */
const mirv_TStreamInput* mirvp_checksum_input_init(TChecksumInputStream* stream, const mirv_TStreamInput* source,
                                                   mirv_TChecksum* plugin, void* handle);
const mirv_TStreamOutput* mirvp_checksum_output_init(TChecksumOutputStream* stream, const mirv_TStreamOutput* dest,
                                                     mirv_TChecksum* plugin, void* handle);

#ifdef __cplusplus
}
#endif

#endif /* MIRVP_PATCH_STREAMS_H */

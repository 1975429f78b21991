/* Building blocks of the mirv patch library, beside the patches of mirv_patch.h (which
 * includes this header; include either).
 *
 * Packed numbers as diffs store them, streams over a part of another stream or over a
 * compressed range, the cover lists of serialized and compressed diffs, and the pieces of
 * the single-stream patch: its body patch, its reader of a sequential diff and its cover
 * reader.  The same rules hold as for the patches: no allocation, no global state, every
 * number read is checked.
 */
#ifndef MIRV_PATCH_PARTS_H
#define MIRV_PATCH_PARTS_H

#include "mirv_patch.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------
 * Packed uints: an unsigned 64-bit value in big-endian 7-bit groups, with k (0, 1 or 2)
 * tag bits in the top of the first byte.  At most 10 bytes.
 * ------------------------------------------------------------------------------------- */

#define mirv_kMaxPackedUIntBytes 10

/* Writes value with tag at *cursor and moves the cursor past it.  False, writing nothing,
 * when fewer bytes than needed remain before end or k > 2 or tag doesn't fit in k bits. */
VEKKO_API mirv_BOOL mirv_packUIntWithTag(unsigned char** cursor, unsigned char* end, uint64_t value,
                                         unsigned int tag, unsigned int k);
/* Bytes the code of value takes with k tag bits. */
VEKKO_API unsigned int mirv_packUIntWithTag_size(uint64_t value, unsigned int k);
/* Reads one value (without its tag) and moves the cursor.  False at the end of input, on
 * a code cut short and on a value above 2^64 - 1. */
VEKKO_API mirv_BOOL mirv_unpackUIntWithTag(const unsigned char** cursor, const unsigned char* end,
                                           uint64_t* out_value, unsigned int k);

/* ---------------------------------------------------------------------------------------
 * Streams
 * ------------------------------------------------------------------------------------- */

/* [begin, end) of another input stream, as a stream of its own. */
typedef struct TStreamInputClip {
    mirv_TStreamInput        base;
    const mirv_TStreamInput* source;
    uint64_t                 begin;
} TStreamInputClip;

/* [begin, end) of another output stream, as a stream of its own. */
typedef struct TStreamOutputClip {
    mirv_TStreamOutput        base;
    const mirv_TStreamOutput* dest;
    uint64_t                  begin;
} TStreamOutputClip;

/* Fill the clip record and return it as a stream; null when begin > end or end lies past
 * the wrapped stream's size. */
VEKKO_API const mirv_TStreamInput* TStreamInputClip_init(TStreamInputClip* clip, const mirv_TStreamInput* source,
                                                         uint64_t begin, uint64_t end);
VEKKO_API const mirv_TStreamOutput* TStreamOutputClip_init(TStreamOutputClip* clip, const mirv_TStreamOutput* dest,
                                                           uint64_t begin, uint64_t end);

/* The decoded view of a compressed range: an input stream of the decoded size whose reads
 * hand out the next decoded bytes.  It may only be read front to back without gaps; a read
 * anywhere else fails. */
typedef struct TUncompresser {
    mirv_TStreamInput base;
    mirv_TDecompress* plugin;
    void*             handle;   /* null when no decoder is held */
    uint64_t          read_pos; /* decoded bytes handed out so far */
} TUncompresser;

/* Opens plugin on [begin, end) of compressed and makes stream its decoded view of
 * decoded_size bytes.  False when the range does not lie inside compressed or open fails. */
VEKKO_API mirv_BOOL compressed_stream_as_uncompressed(TUncompresser* stream, uint64_t decoded_size,
                                                      mirv_TDecompress* plugin, const mirv_TStreamInput* compressed,
                                                      uint64_t begin, uint64_t end);
/* Closes the held decoder (once); accepts null.  The result is that of the plug-in's close. */
VEKKO_API mirv_BOOL close_compressed_stream_as_uncompressed(TUncompresser* stream);

/* Decodes the whole compressed buffer [code, code_end) into [out, out_end). */
VEKKO_API mirv_BOOL mirv_deccompress_mem(mirv_TDecompress* plugin, const unsigned char* code,
                                         const unsigned char* code_end, unsigned char* out, unsigned char* out_end);

/* ---------------------------------------------------------------------------------------
 * Cover lists
 * ------------------------------------------------------------------------------------- */

/* New bytes [new_pos, new_pos + length) are old bytes [old_pos, old_pos + length) plus
 * the diff's run-length bytes, modulo 256. */
typedef struct mirv_TCover {
    uint64_t old_pos;
    uint64_t new_pos;
    uint64_t length;
} mirv_TCover;

typedef struct mirv_TCovers mirv_TCovers;

/* A list of covers in new_pos order; the list's own state follows the record. */
struct mirv_TCovers {
    uint64_t (*leaveCoverCount)(const mirv_TCovers* covers);
    /* The next cover; false when none is left or the data is bad. */
    mirv_BOOL (*read_cover)(mirv_TCovers* covers, mirv_TCover* out_cover);
    /* True when the list's data has been consumed exactly. */
    mirv_BOOL (*is_finish)(const mirv_TCovers* covers);
    /* Releases what the list holds (a decoder handle); safe to call more than once. */
    mirv_BOOL (*close)(mirv_TCovers* covers);
};

#define mirv_kCoverListBufferSize 16384

/* A cover list together with the memory it lives in. */
typedef struct mirv_TCoverList {
    mirv_TCovers* covers; /* the open list, inside buffer */
    unsigned char buffer[mirv_kCoverListBufferSize];
} mirv_TCoverList;

/* Open the cover list of a serialized or compressed diff in list.  False on a bad head or
 * (compressed) when the cover data is compressed and plugin is null, refuses the type or
 * fails to open.  The caller closes an opened list through list->covers->close. */
VEKKO_API mirv_BOOL mirv_coverList_open_serializedDiff(mirv_TCoverList* list, const mirv_TStreamInput* diff);
VEKKO_API mirv_BOOL mirv_coverList_open_compressedDiff(mirv_TCoverList* list, const mirv_TStreamInput* diff,
                                                       mirv_TDecompress* plugin);

/* ---------------------------------------------------------------------------------------
 * Single-stream patch parts
 * ------------------------------------------------------------------------------------- */

/* patch_single_stream with two further arguments kept for callers written against the
 * threaded form; this library does not use them. */
VEKKO_API mirv_BOOL _patch_single_stream_mt(sspatch_TListener* listener, const mirv_TStreamOutput* out_new,
                                            const mirv_TStreamInput* old, const mirv_TStreamInput* diff, uint64_t head_pos,
                                            sspatch_TCoversListener* covers_listener, size_t unused_thread_num,
                                            void* unused_thread_arg);
/* The patch over the body at [body_pos, ...) of diff: compressed_size bytes decoded through
 * plugin when compressed_size is non-zero, else uncompressed_size stored bytes.  The work
 * memory is [cache, cache_end); the output's size is the new data size. */
VEKKO_API mirv_BOOL _patch_single_compressed_diff_mt(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                                     const mirv_TStreamInput* diff, uint64_t body_pos,
                                                     uint64_t uncompressed_size, uint64_t compressed_size,
                                                     mirv_TDecompress* plugin, uint64_t cover_count, uint64_t step_mem_size,
                                                     unsigned char* cache, unsigned char* cache_end,
                                                     sspatch_TCoversListener* covers_listener, size_t unused_thread_num,
                                                     void* unused_thread_arg);
/* The patch over an uncompressed body, [body_begin, body_end) of body.  Needs at least
 * step_mem_size + 12288 bytes with the output cache, + 8192 without (then every output
 * write goes straight to out_new).  Memory beyond that holds the whole old data when it
 * fits, else the old bytes of each step's short covers, loaded in long sequential passes. */
VEKKO_API mirv_BOOL patch_single_stream_diff(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                             const mirv_TStreamInput* body, uint64_t body_begin, uint64_t body_end,
                                             uint64_t cover_count, uint64_t step_mem_size, unsigned char* cache,
                                             unsigned char* cache_end, sspatch_TCoversListener* covers_listener,
                                             mirv_BOOL is_out_cache);

#define mirv_kLookBackSize 4096

/* A stream over a strictly sequential diff that can serve again the last 4096 bytes it
 * fetched.  A read ahead of what was fetched reads and drops the bytes up to it; a read
 * further back than the kept bytes fails. */
typedef struct TDiffToSingleStream {
    mirv_TStreamInput        base;
    const mirv_TStreamInput* diff;
    uint64_t                 frontier;   /* just after the last byte fetched from diff */
    size_t                   kept_begin; /* buffer[kept_begin, 4096) precedes the frontier */
    int                      no_keep;    /* set: keep nothing */
    unsigned char            buffer[mirv_kLookBackSize];
} TDiffToSingleStream;

VEKKO_API const mirv_TStreamInput* TDiffToSingleStream_init(TDiffToSingleStream* reader, const mirv_TStreamInput* diff);

/* Reader of one step's cover buffer.  Both bases run on across steps unless reset. */
typedef struct sspatch_covers_t {
    const unsigned char* covers_cache;
    const unsigned char* covers_cache_end;
    uint64_t             last_old_end;
    uint64_t             last_new_end;
    mirv_TCover          cover; /* the cover last decoded */
} sspatch_covers_t;

/* Both bases and the current cover at 0, no buffer. */
VEKKO_API void sspatch_covers_init(sspatch_covers_t* self);
/* Points the reader at the next step's cover buffer; the bases run on. */
VEKKO_API void sspatch_covers_setCoversCache(sspatch_covers_t* self, const unsigned char* covers, const unsigned char* covers_end);
static inline mirv_BOOL sspatch_covers_isHaveNextCover(const sspatch_covers_t* self) {
    return self->covers_cache != self->covers_cache_end;
}
/* Decodes the next cover into self->cover; false on bad or cut-off data or new positions
 * that leave 64 bits.  Old positions step modulo 2^64 (a step may go the long way round):
 * the caller checks each cover against the old data before reading there. */
VEKKO_API mirv_BOOL sspatch_covers_nextCover(sspatch_covers_t* self);

#ifdef __cplusplus
}
#endif

#endif /* MIRV_PATCH_PARTS_H */

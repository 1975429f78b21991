/* Cover lists of serialized and compressed diffs, read straight from the diff. */
#include <string.h>

#include "patch_covers.h"
#include "patch_heads.h"
#include "patch_streams.h"

/* What both lists keep in front of their readers. */
typedef struct TCoverBases {
    mirv_TCovers base;
    uint64_t     covers_left;
    uint64_t     old_base;
    uint64_t     new_base;
} TCoverBases;

/* Serialized diff: lengths, new gaps and old deltas each in their own section. */
typedef struct TPackedCovers {
    TCoverBases      bases;
    TStreamCacheClip lengths;
    TStreamCacheClip new_gaps;
    TStreamCacheClip old_deltas;
} TPackedCovers;

/* Compressed diff: all three numbers of a cover, interleaved, in one section. */
typedef struct TCompressedCovers {
    TCoverBases            bases;
    TStreamCacheClip       cover_data;
    TDecompressInputStream decoder;
} TCompressedCovers;

/* The list state fits the room set aside for it in front of the reader caches. */
typedef char check_packed_state_size[sizeof(TPackedCovers) <= mirvp_kPackedCoversStateSize ? 1 : -1];
typedef char check_compressed_state_size[sizeof(TCompressedCovers) <= mirvp_kCompressedCoversStateSize ? 1 : -1];

/* new_pos = new base + gap; next new base = new_pos + length; both without wrapping. */
static mirv_BOOL finish_cover(uint64_t* new_base, uint64_t gap, mirv_TCover* cover) {
    uint64_t end;
    if (!mirvp_add_u64(*new_base, gap, &cover->new_pos) || !mirvp_add_u64(cover->new_pos, cover->length, &end))
        return 0;
    *new_base = end;
    return 1;
}

static uint64_t leaveCoverCount(const mirv_TCovers* covers) {
    return ((const TCoverBases*)covers)->covers_left;
}

static void bases_init(TCoverBases* list, mirv_BOOL (*read_cover)(mirv_TCovers*, mirv_TCover*),
                       mirv_BOOL (*is_finish)(const mirv_TCovers*), mirv_BOOL (*close)(mirv_TCovers*),
                       uint64_t cover_count) {
    list->base.leaveCoverCount = leaveCoverCount;
    list->base.read_cover = read_cover;
    list->base.is_finish = is_finish;
    list->base.close = close;
    list->covers_left = cover_count;
}

/* The next cover: its old position steps from the old base (modulo 2^64: the users check it
 * against the old data), its new position from the new base by the gap, without wrapping; the
 * new base moves past it.  Each format moves the old base its own way. */
static mirv_BOOL read_next_cover(TCoverBases* list, TStreamCacheClip* old_deltas, TStreamCacheClip* new_gaps,
                                 TStreamCacheClip* lengths, mirv_TCover* cover) {
    uint64_t gap;
    if (list->covers_left == 0) return 0;
    --list->covers_left;
    cover->old_pos = list->old_base;
    if (!mirvp_clip_read_signed_pos(old_deltas, &cover->old_pos) || !mirvp_clip_read_uint(new_gaps, &gap, 0) ||
        !mirvp_clip_read_uint(lengths, &cover->length, 0))
        return 0;
    return finish_cover(&list->new_base, gap, cover);
}

static mirv_BOOL packed_read_cover(mirv_TCovers* covers, mirv_TCover* out_cover) {
    TPackedCovers* self = (TPackedCovers*)covers;
    if (!read_next_cover(&self->bases, &self->old_deltas, &self->new_gaps, &self->lengths, out_cover)) return 0;
    self->bases.old_base = out_cover->old_pos; /* this format's old base does not add the length */
    return 1;
}

static mirv_BOOL packed_is_finish(const mirv_TCovers* covers) {
    const TPackedCovers* self = (const TPackedCovers*)covers;
    return mirvp_clip_is_finished(&self->lengths) && mirvp_clip_is_finished(&self->new_gaps) &&
           mirvp_clip_is_finished(&self->old_deltas);
}

static mirv_BOOL packed_close(mirv_TCovers* covers) {
    (void)covers;
    return 1;
}

mirv_BOOL mirvp_open_serialized_covers(mirv_TCovers** out_covers, const mirv_TStreamInput* diff,
                                       unsigned char* mem, unsigned char* mem_end) {
    TSerializedDiffHead head;
    TPackedCovers* self;
    unsigned char* caches;
    size_t cache_size;
    if (mem_end < mem || (size_t)(mem_end - mem) < mirvp_kPackedCoversMinMemory) return 0;
    if (!mirvp_read_serialized_head(&head, diff)) return 0;
    self = (TPackedCovers*)mirvp_align8(mem, mem_end);
    caches = (unsigned char*)self + mirvp_kPackedCoversStateSize;
    if (caches > mem_end) return 0;
    cache_size = (size_t)(mem_end - caches) / 3;
    if (cache_size == 0) return 0;
    memset(self, 0, sizeof(*self));
    bases_init(&self->bases, packed_read_cover, packed_is_finish, packed_close, head.cover_count);
    mirvp_clip_init(&self->lengths, diff, head.head_end, head.head_end + head.lengths_size, caches,
                    cache_size);
    mirvp_clip_init(&self->new_gaps, diff, head.head_end + head.lengths_size,
                    head.covers_end - head.old_deltas_size, caches + cache_size, cache_size);
    mirvp_clip_init(&self->old_deltas, diff, head.covers_end - head.old_deltas_size, head.covers_end,
                    caches + 2 * cache_size, cache_size);
    *out_covers = &self->bases.base;
    return 1;
}

static mirv_BOOL compressed_read_cover(mirv_TCovers* covers, mirv_TCover* out_cover) {
    TCompressedCovers* self = (TCompressedCovers*)covers;
    if (!read_next_cover(&self->bases, &self->cover_data, &self->cover_data, &self->cover_data, out_cover)) return 0;
    self->bases.old_base = out_cover->old_pos + out_cover->length;
    return 1;
}

static mirv_BOOL compressed_is_finish(const mirv_TCovers* covers) {
    return mirvp_clip_is_finished(&((const TCompressedCovers*)covers)->cover_data);
}

static mirv_BOOL compressed_close(mirv_TCovers* covers) {
    return close_compressed_stream_as_uncompressed(&((TCompressedCovers*)covers)->decoder);
}

mirv_BOOL mirvp_open_compressed_covers(mirv_TCovers** out_covers, const mirv_TStreamInput* diff,
                                       mirv_TDecompress* plugin, unsigned char* mem, unsigned char* mem_end) {
    mirv_compressedDiffInfo info;
    TCompressedDiffHead head;
    TCompressedCovers* self;
    unsigned char* cache;
    uint64_t cursor;
    if (mem_end < mem || (size_t)(mem_end - mem) < mirvp_kCompressedCoversMinMemory) return 0;
    if (!mirvp_read_compressed_head(&info, &head, diff)) return 0;
    if (head.cover_compressed_size && (!plugin || !plugin->is_can_open(info.compress_type))) return 0;
    self = (TCompressedCovers*)mirvp_align8(mem, mem_end);
    cache = (unsigned char*)self + mirvp_kCompressedCoversStateSize;
    if (cache >= mem_end) return 0;
    memset(self, 0, sizeof(*self));
    bases_init(&self->bases, compressed_read_cover, compressed_is_finish, compressed_close, head.cover_count);
    mirvp_decoder_init(&self->decoder);
    cursor = head.head_end;
    if (!mirvp_open_section(&self->cover_data, &self->decoder, head.cover_size, head.cover_compressed_size, diff,
                            &cursor, plugin, cache, (size_t)(mem_end - cache)))
        return 0;
    *out_covers = &self->bases.base;
    return 1;
}

mirv_BOOL mirv_coverList_open_serializedDiff(mirv_TCoverList* list, const mirv_TStreamInput* diff) {
    list->covers = NULL;
    return mirvp_open_serialized_covers(&list->covers, diff, list->buffer, list->buffer + sizeof(list->buffer));
}

mirv_BOOL mirv_coverList_open_compressedDiff(mirv_TCoverList* list, const mirv_TStreamInput* diff,
                                             mirv_TDecompress* plugin) {
    list->covers = NULL;
    return mirvp_open_compressed_covers(&list->covers, diff, plugin, list->buffer,
                                        list->buffer + sizeof(list->buffer));
}

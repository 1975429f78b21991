/* Cover lists of serialized and compressed diffs, read straight from the diff. */
#include <string.h>

#include "patch_internal.h"

/* Serialized diff: lengths, new gaps and old deltas each in their own section. */
typedef struct _TPackedCovers {
    mirv_TCovers     base;
    uint64_t         covers_left;
    uint64_t         old_base;
    uint64_t         new_base;
    TStreamCacheClip lengths;
    TStreamCacheClip new_gaps;
    TStreamCacheClip old_deltas;
} _TPackedCovers;

/* Compressed diff: all three numbers of a cover, interleaved, in one section. */
typedef struct _TCompressedCovers {
    mirv_TCovers           base;
    uint64_t               covers_left;
    uint64_t               old_base;
    uint64_t               new_base;
    TStreamCacheClip       cover_data;
    TDecompressInputStream decoder;
} _TCompressedCovers;

/* The list state fits the room set aside for it in front of the reader caches. */
typedef char _check_packed_state_size[sizeof(_TPackedCovers) <= _kPackedCoversStateSize ? 1 : -1];
typedef char _check_compressed_state_size[sizeof(_TCompressedCovers) <= _kCompressedCoversStateSize ? 1 : -1];

/* new_pos = new base + gap; next new base = new_pos + length; both without wrapping. */
static mirv_BOOL _finish_cover(uint64_t* new_base, uint64_t gap, mirv_TCover* cover) {
    uint64_t end;
    if (!_add_u64(*new_base, gap, &cover->new_pos) || !_add_u64(cover->new_pos, cover->length, &end)) return 0;
    *new_base = end;
    return 1;
}

static uint64_t _packed_leaveCoverCount(const mirv_TCovers* covers) {
    return ((const _TPackedCovers*)covers)->covers_left;
}

static mirv_BOOL _packed_read_cover(mirv_TCovers* covers, mirv_TCover* out_cover) {
    _TPackedCovers* self = (_TPackedCovers*)covers;
    uint64_t old_pos = self->old_base, gap;
    if (self->covers_left == 0) return 0;
    --self->covers_left;
    if (!_read_sign_pos_byLastPos(&self->old_deltas, &old_pos) ||
        !_TStreamCacheClip_unpackUIntWithTag(&self->new_gaps, &gap, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&self->lengths, &out_cover->length, 0))
        return 0;
    out_cover->old_pos = old_pos;
    if (!_finish_cover(&self->new_base, gap, out_cover)) return 0;
    self->old_base = old_pos; /* this format's old base does not add the length */
    return 1;
}

static mirv_BOOL _packed_is_finish(const mirv_TCovers* covers) {
    const _TPackedCovers* self = (const _TPackedCovers*)covers;
    return _TStreamCacheClip_isFinish(&self->lengths) && _TStreamCacheClip_isFinish(&self->new_gaps) &&
           _TStreamCacheClip_isFinish(&self->old_deltas);
}

static mirv_BOOL _packed_close(mirv_TCovers* covers) {
    (void)covers;
    return 1;
}

mirv_BOOL _coverList_open_serialized(mirv_TCovers** out_covers, const mirv_TStreamInput* diff,
                                     unsigned char* mem, unsigned char* mem_end) {
    TSerializedDiffHead head;
    _TPackedCovers* self;
    unsigned char* caches;
    size_t cache_size;
    if (mem_end < mem || (size_t)(mem_end - mem) < _kPackedCoversMinMemory) return 0;
    if (!_read_serialized_head(&head, diff)) return 0;
    self = (_TPackedCovers*)_align8(mem, mem_end);
    caches = (unsigned char*)self + _kPackedCoversStateSize;
    if (caches > mem_end) return 0;
    cache_size = (size_t)(mem_end - caches) / 3;
    if (cache_size == 0) return 0;
    memset(self, 0, sizeof(*self));
    self->base.leaveCoverCount = _packed_leaveCoverCount;
    self->base.read_cover = _packed_read_cover;
    self->base.is_finish = _packed_is_finish;
    self->base.close = _packed_close;
    self->covers_left = head.cover_count;
    _TStreamCacheClip_init(&self->lengths, diff, head.head_end, head.head_end + head.lengths_size, caches,
                           cache_size);
    _TStreamCacheClip_init(&self->new_gaps, diff, head.head_end + head.lengths_size,
                           head.covers_end - head.old_deltas_size, caches + cache_size, cache_size);
    _TStreamCacheClip_init(&self->old_deltas, diff, head.covers_end - head.old_deltas_size, head.covers_end,
                           caches + 2 * cache_size, cache_size);
    *out_covers = &self->base;
    return 1;
}

static uint64_t _compressed_leaveCoverCount(const mirv_TCovers* covers) {
    return ((const _TCompressedCovers*)covers)->covers_left;
}

static mirv_BOOL _compressed_read_cover(mirv_TCovers* covers, mirv_TCover* out_cover) {
    _TCompressedCovers* self = (_TCompressedCovers*)covers;
    uint64_t old_pos = self->old_base, gap;
    if (self->covers_left == 0) return 0;
    --self->covers_left;
    if (!_read_sign_pos_byLastPos(&self->cover_data, &old_pos) ||
        !_TStreamCacheClip_unpackUIntWithTag(&self->cover_data, &gap, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&self->cover_data, &out_cover->length, 0))
        return 0;
    out_cover->old_pos = old_pos;
    if (!_finish_cover(&self->new_base, gap, out_cover)) return 0;
    return _add_u64(old_pos, out_cover->length, &self->old_base);
}

static mirv_BOOL _compressed_is_finish(const mirv_TCovers* covers) {
    return _TStreamCacheClip_isFinish(&((const _TCompressedCovers*)covers)->cover_data);
}

static mirv_BOOL _compressed_close(mirv_TCovers* covers) {
    return close_compressed_stream_as_uncompressed(&((_TCompressedCovers*)covers)->decoder);
}

mirv_BOOL _coverList_open_compressed(mirv_TCovers** out_covers, const mirv_TStreamInput* diff,
                                     mirv_TDecompress* plugin, unsigned char* mem, unsigned char* mem_end) {
    mirv_compressedDiffInfo info;
    TCompressedDiffHead head;
    _TCompressedCovers* self;
    unsigned char* cache;
    uint64_t cursor;
    if (mem_end < mem || (size_t)(mem_end - mem) < _kCompressedCoversMinMemory) return 0;
    if (!_read_compressed_head(&info, &head, diff)) return 0;
    if (head.cover_compressed_size && (!plugin || !plugin->is_can_open(info.compress_type))) return 0;
    self = (_TCompressedCovers*)_align8(mem, mem_end);
    cache = (unsigned char*)self + _kCompressedCoversStateSize;
    if (cache >= mem_end) return 0;
    memset(self, 0, sizeof(*self));
    self->base.leaveCoverCount = _compressed_leaveCoverCount;
    self->base.read_cover = _compressed_read_cover;
    self->base.is_finish = _compressed_is_finish;
    self->base.close = _compressed_close;
    self->covers_left = head.cover_count;
    _TDecompressInputStream_init(&self->decoder);
    cursor = head.head_end;
    if (!getStreamClip(&self->cover_data, &self->decoder, head.cover_size, head.cover_compressed_size, diff,
                       &cursor, plugin, cache, (size_t)(mem_end - cache)))
        return 0;
    *out_covers = &self->base;
    return 1;
}

mirv_BOOL mirv_coverList_open_serializedDiff(mirv_TCoverList* list, const mirv_TStreamInput* diff) {
    list->covers = NULL;
    return _coverList_open_serialized(&list->covers, diff, list->buffer, list->buffer + sizeof(list->buffer));
}

mirv_BOOL mirv_coverList_open_compressedDiff(mirv_TCoverList* list, const mirv_TStreamInput* diff,
                                             mirv_TDecompress* plugin) {
    list->covers = NULL;
    return _coverList_open_compressed(&list->covers, diff, plugin, list->buffer,
                                      list->buffer + sizeof(list->buffer));
}

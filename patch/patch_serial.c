/* Serialized and compressed patch: in memory, and through streams with a bounded work
 * memory that, when large, holds the old data or the old bytes of the short covers. */
#include <string.h>

#include "patch_cache_old.h"
#include "patch_covers.h"
#include "patch_heads.h"
#include "patch_streams.h"

/* ---- in memory ---- */

static mirv_BOOL mem_unpack(const unsigned char** cursor, const unsigned char* end, uint64_t* value) {
    return mirv_unpackUIntWithTag(cursor, end, value, 0);
}

/* Takes a section of size bytes from the front of [*cursor, end). */
static mirv_BOOL mem_section(const unsigned char** cursor, const unsigned char* end, uint64_t size,
                             const unsigned char** section, const unsigned char** section_end) {
    if (size > (uint64_t)(end - *cursor)) return 0;
    *section = *cursor;
    *section_end = *cursor + (size_t)size;
    *cursor = *section_end;
    return 1;
}

/* Fills [out, out_end) with the run-length diff bytes; control and data must be used up. */
static mirv_BOOL mem_decode_runs(unsigned char* out, unsigned char* out_end, const unsigned char* ctrl,
                                 const unsigned char* ctrl_end, const unsigned char* data,
                                 const unsigned char* data_end) {
    while (out < out_end) {
        uint64_t run;
        unsigned type;
        size_t len;
        if (ctrl >= ctrl_end) return 0;
        type = ctrl[0] >> 6;
        if (!mirv_unpackUIntWithTag(&ctrl, ctrl_end, &run, 2)) return 0;
        if (run >= (uint64_t)(out_end - out)) return 0; /* run + 1 must fit */
        len = (size_t)run + 1;
        switch (type) {
        case 0: memset(out, 0, len); break;
        case 1: memset(out, 255, len); break;
        case 2:
            if (data >= data_end) return 0;
            memset(out, *data++, len);
            break;
        default:
            if (len > (size_t)(data_end - data)) return 0;
            memcpy(out, data, len);
            data += len;
            break;
        }
        out += len;
    }
    return ctrl == ctrl_end && data == data_end;
}

mirv_BOOL patch(unsigned char* out_new, unsigned char* out_new_end, const unsigned char* old,
                const unsigned char* old_end, const unsigned char* diff, const unsigned char* diff_end) {
    const unsigned char *lengths, *lengths_end, *gaps, *gaps_end, *deltas, *deltas_end, *new_diff, *new_diff_end;
    const unsigned char *ctrl, *ctrl_end, *cursor = diff;
    uint64_t cover_count, lengths_size, gaps_size, deltas_size, new_diff_size, ctrl_size, i;
    uint64_t old_size = (uint64_t)(old_end - old), old_base = 0;
    unsigned char* out = out_new;

    if (!mem_unpack(&cursor, diff_end, &cover_count) || !mem_unpack(&cursor, diff_end, &lengths_size) ||
        !mem_unpack(&cursor, diff_end, &gaps_size) || !mem_unpack(&cursor, diff_end, &deltas_size) ||
        !mem_unpack(&cursor, diff_end, &new_diff_size))
        return 0;
    if (!mem_section(&cursor, diff_end, lengths_size, &lengths, &lengths_end) ||
        !mem_section(&cursor, diff_end, gaps_size, &gaps, &gaps_end) ||
        !mem_section(&cursor, diff_end, deltas_size, &deltas, &deltas_end) ||
        !mem_section(&cursor, diff_end, new_diff_size, &new_diff, &new_diff_end))
        return 0;
    if (!mem_unpack(&cursor, diff_end, &ctrl_size) || !mem_section(&cursor, diff_end, ctrl_size, &ctrl, &ctrl_end))
        return 0;
    if (!mem_decode_runs(out_new, out_new_end, ctrl, ctrl_end, cursor, diff_end)) return 0;

    for (i = 0; i < cover_count; ++i) {
        uint64_t gap, length, delta, old_pos;
        int minus;
        if (!mem_unpack(&gaps, gaps_end, &gap) || !mem_unpack(&lengths, lengths_end, &length)) return 0;
        if (deltas >= deltas_end) return 0;
        minus = deltas[0] >> 7;
        if (!mirv_unpackUIntWithTag(&deltas, deltas_end, &delta, 1)) return 0;
        if (gap > (uint64_t)(out_new_end - out) || gap > (uint64_t)(new_diff_end - new_diff)) return 0;
        memcpy(out, new_diff, (size_t)gap);
        out += gap;
        new_diff += gap;
        /* the step is modulo 2^64, as the streamed readers take it; the range check decides */
        old_pos = minus ? old_base - delta : old_base + delta;
        if (length > (uint64_t)(out_new_end - out) || !mirvp_range_in(old_pos, length, old_size)) return 0;
        mirvp_add_bytes(out, old + old_pos, (size_t)length);
        out += length;
        old_base = old_pos;
    }
    if ((size_t)(out_new_end - out) > (size_t)(new_diff_end - new_diff)) return 0;
    memcpy(out, new_diff, (size_t)(out_new_end - out));
    new_diff += out_new_end - out;
    return lengths == lengths_end && gaps == gaps_end && deltas == deltas_end && new_diff == new_diff_end;
}

/* ---- the common cover loop ---- */

/* Copies length bytes of the new-data diff to the output and lets the runs pass them. */
static mirv_BOOL copy_new_diff(TOutStreamCache* out, TStreamCacheClip* new_diff, TBytesRle_load_stream* rle,
                               uint64_t length) {
    if (!mirvp_out_copy_clip(out, new_diff, length)) return 0;
    while (length) {
        size_t piece = length < ((size_t)1 << 30) ? (size_t)length : ((size_t)1 << 30);
        if (!mirvp_rle_add(rle, NULL, piece)) return 0;
        length -= piece;
    }
    return 1;
}

static mirv_BOOL patchByClip(TOutStreamCache* out, const mirv_TStreamInput* old, mirv_TCovers* covers,
                             TStreamCacheClip* new_diff, TBytesRle_load_stream* rle, unsigned char* tmp,
                             size_t tmp_size) {
    uint64_t new_size = out->dest->size, old_size = old->size, new_end = 0;
    uint64_t count = covers->leaveCoverCount(covers), i;
    if (tmp_size == 0) return 0;
    for (i = 0; i < count; ++i) {
        mirv_TCover c;
        uint64_t done;
        if (!covers->read_cover(covers, &c)) return 0;
        if (c.new_pos < new_end || !mirvp_range_in(c.new_pos, c.length, new_size) || !mirvp_range_in(c.old_pos, c.length, old_size))
            return 0;
        if (c.new_pos > new_end && !copy_new_diff(out, new_diff, rle, c.new_pos - new_end)) return 0;
        for (done = 0; done < c.length;) {
            size_t n = c.length - done < tmp_size ? (size_t)(c.length - done) : tmp_size;
            size_t room = out->cache_size - out->cache_used;
            if (room) {
                /* build the bytes in the output cache itself: one copy less */
                unsigned char* dst = out->cache + out->cache_used;
                if (n > room) n = room;
                if (!old->read(old, c.old_pos + done, dst, dst + n) || !mirvp_rle_add(rle, dst, n))
                    return 0;
                out->cache_used += n;
                if (out->cache_used == out->cache_size && !mirvp_out_flush(out)) return 0;
            } else if (!old->read(old, c.old_pos + done, tmp, tmp + n) ||
                       !mirvp_rle_add(rle, tmp, n) || !mirvp_out_write(out, tmp, n)) {
                return 0;
            }
            done += n;
        }
        new_end = c.new_pos + c.length;
    }
    if (new_end < new_size) {
        if (!copy_new_diff(out, new_diff, rle, new_size - new_end)) return 0;
        new_end = new_size; /* the tail's copy ends the new data */
    }
    return mirvp_out_flush(out) && mirvp_rle_is_finished(rle) && covers->is_finish(covers) &&
           out->write_pos == new_size && mirvp_clip_is_finished(new_diff) && new_end == new_size;
}

/* ---- serialized diff through streams ---- */

/* Longer pieces buy nothing: reads and writes of this size already cost little per byte, while
 * caches and buffers beyond the processor's own caches slow every copy down. */
#define kMaxPieceSize ((size_t)64 * 1024)

/* Equal pieces of [mem, mem_end), at most kMaxPieceSize each; false when a piece would be
 * smaller than min_piece. */
static mirv_BOOL cut_pieces(unsigned char* mem, unsigned char* mem_end, size_t count, size_t min_piece,
                            size_t* piece) {
    if (mem_end < mem) return 0;
    *piece = (size_t)(mem_end - mem) / count;
    if (*piece > kMaxPieceSize) *piece = kMaxPieceSize;
    return *piece >= min_piece;
}

static mirv_BOOL patch_serialized_stream(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                         const mirv_TStreamInput* diff, mirv_TCovers* covers,
                                         unsigned char* mem, unsigned char* mem_end) {
    TSerializedDiffHead head;
    TStreamCacheClip new_diff, ctrl_size_reader;
    TBytesRle_load_stream rle;
    TOutStreamCache out;
    size_t piece;
    uint64_t ctrl_pos, ctrl_size, ctrl_end;
    if (!cut_pieces(mem, mem_end, covers ? 5 : 8, mirvp_kMaxPackedUIntWindow, &piece)) return 0;
    if (covers) {
        if (!mirvp_read_serialized_head(&head, diff)) return 0;
    } else {
        if (!mirvp_read_serialized_head(&head, diff) ||
            !mirvp_open_serialized_covers(&covers, diff, mem + 5 * piece, mem + 8 * piece))
            return 0;
    }
    mirvp_clip_init(&new_diff, diff, head.covers_end, head.covers_end + head.new_diff_size, mem, piece);
    ctrl_pos = head.covers_end + head.new_diff_size;
    mirvp_clip_init(&ctrl_size_reader, diff, ctrl_pos, diff->size, mem + piece, mirvp_kMaxPackedUIntWindow);
    if (!mirvp_clip_read_uint(&ctrl_size_reader, &ctrl_size, 0)) return 0;
    ctrl_pos = mirvp_clip_source_pos(&ctrl_size_reader);
    if (ctrl_size > diff->size - ctrl_pos) return 0;
    ctrl_end = ctrl_pos + ctrl_size;
    mirvp_rle_init(&rle);
    mirvp_clip_init(&rle.ctrl, diff, ctrl_pos, ctrl_end, mem + piece, piece);
    mirvp_clip_init(&rle.data, diff, ctrl_end, diff->size, mem + 2 * piece, piece);
    mirvp_out_init(&out, out_new, mem + 3 * piece, piece);
    return patchByClip(&out, old, covers, &new_diff, &rle, mem + 4 * piece, piece);
}

/* ---- compressed diff through streams ---- */

static mirv_BOOL patch_compressed_stream(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                         const mirv_TStreamInput* diff, mirv_TDecompress* plugin,
                                         mirv_TCovers* covers, unsigned char* mem, unsigned char* mem_end) {
    mirv_compressedDiffInfo info;
    TCompressedDiffHead head;
    TDecompressInputStream ctrl_dec, data_dec, new_diff_dec;
    TStreamCacheClip new_diff;
    TBytesRle_load_stream rle;
    TOutStreamCache out;
    mirv_TCovers* own_covers = NULL;
    size_t piece;
    uint64_t cursor;
    mirv_BOOL ok = 0;
    mirvp_decoder_init(&ctrl_dec);
    mirvp_decoder_init(&data_dec);
    mirvp_decoder_init(&new_diff_dec);
    if (!cut_pieces(mem, mem_end, covers ? 5 : 6, mirv_kMaxTypeNameSize, &piece)) return 0;
    if (!mirvp_read_compressed_head(&info, &head, diff)) return 0;
    if (old->size != info.old_size || out_new->size != info.new_size) return 0;
    if (info.compressed_count > 0 && (!plugin || !plugin->is_can_open(info.compress_type))) return 0;
    if (!info.compressed_count) plugin = NULL;
    if (!covers) {
        if (!mirvp_open_compressed_covers(&own_covers, diff, plugin, mem + 5 * piece, mem + 6 * piece)) return 0;
        covers = own_covers;
    }
    cursor = head.covers_end;
    mirvp_rle_init(&rle);
    if (mirvp_open_section(&rle.ctrl, &ctrl_dec, head.ctrl_size, head.ctrl_compressed_size, diff, &cursor, plugin, mem,
                           piece) &&
        mirvp_open_section(&rle.data, &data_dec, head.data_size, head.data_compressed_size, diff, &cursor, plugin,
                           mem + piece, piece) &&
        mirvp_open_section(&new_diff, &new_diff_dec, head.new_diff_size, head.new_diff_compressed_size, diff, &cursor,
                           plugin, mem + 2 * piece, piece) &&
        cursor == diff->size) {
        mirvp_out_init(&out, out_new, mem + 3 * piece, piece);
        ok = patchByClip(&out, old, covers, &new_diff, &rle, mem + 4 * piece, piece);
    }
    /* every handle this call opened is closed, and a failing close fails the patch */
    if (own_covers && !own_covers->close(own_covers)) ok = 0;
    if (!close_compressed_stream_as_uncompressed(&ctrl_dec)) ok = 0;
    if (!close_compressed_stream_as_uncompressed(&data_dec)) ok = 0;
    if (!close_compressed_stream_as_uncompressed(&new_diff_dec)) ok = 0;
    return ok;
}

/* ---- the caching step ---- */

#define kPackedCoverListMem (3 * 65536 + mirvp_kPackedCoversStateSize)
#define kCompressedCoverListMem (65536 + mirvp_kCompressedCoversStateSize)
#define kCoverListReserve 65536
#define kOldCacheReservePerPiece 65536

typedef struct {
    const mirv_TStreamInput* old;
    mirv_TCovers*            covers;   /* null: the patch opens its own list */
    mirv_TCovers*            to_close; /* a streamed list the caller must close */
    unsigned char*           mem;
    unsigned char*           mem_end;
} TCachePlan;

/* Decides how the work memory is spent before the patch runs (see the threshold comments).
 * False when the patch must fail. */
static mirv_BOOL plan_cache(TCachePlan* plan, const mirv_TStreamOutput* out_new, const mirv_TStreamInput* diff,
                            mirv_TDecompress* plugin, int compressed, unsigned char* cache, unsigned char* cache_end) {
    const uint64_t pieces = compressed ? 6 : 8;
    mirv_BOOL read_error = 0;
    size_t mem_size = (size_t)(cache_end - cache), list_mem = compressed ? kCompressedCoverListMem : kPackedCoverListMem;
    uint64_t need, old_size = plan->old->size, count, array_room;
    unsigned char *list_mem_begin, *records, *array_end;
    TArrayCovers* array;
    int is32;
    mirv_TCovers* list = NULL;

    plan->covers = plan->to_close = NULL;
    plan->mem = cache;
    plan->mem_end = cache_end;
    /* 1. the whole old data, when it fits beside the patch's own pieces */
    if (mirvp_cache_all_old(&plan->old, (size_t)(pieces * 4096), &plan->mem, &plan->mem_end, &read_error))
        return 1;
    if (read_error) return 0;
    /* 2. enough memory to be worth an array of covers? */
    need = old_size / 16 + pieces * 131072;
    if (need < pieces * 131072 + 3 * 1024 * 1024) need = pieces * 131072 + 3 * 1024 * 1024;
    if (mem_size < need) return 1;
    /* 3. the streamed cover list at the end of the memory */
    list_mem_begin = cache_end - list_mem;
    if (compressed) {
        mirv_compressedDiffInfo info;
        TCompressedDiffHead head;
        if (!mirvp_read_compressed_head(&info, &head, diff) || info.old_size != old_size || info.new_size != out_new->size)
            return 0;
        if (!mirvp_open_compressed_covers(&list, diff, plugin, list_mem_begin, cache_end)) return 0;
    } else if (!mirvp_open_serialized_covers(&list, diff, list_mem_begin, cache_end)) {
        return 0;
    }
    /* 4. the array at the front, ending a reserve before the list */
    is32 = old_size < ((uint64_t)1 << 32) && out_new->size < ((uint64_t)1 << 32);
    array = (TArrayCovers*)mirvp_align8(cache, list_mem_begin);
    records = (unsigned char*)array + mirvp_kArrayCoversHeadSize;
    count = list->leaveCoverCount(list);
    array_room = (uint64_t)(list_mem_begin - cache);
    if ((uint64_t)(records - cache) + kCoverListReserve + 8 > array_room ||
        count > (array_room - (uint64_t)(records - cache) - kCoverListReserve - 8) / mirvp_array_record_size(is32)) {
        plan->covers = list;
        plan->to_close = compressed ? list : NULL;
        plan->mem_end = list_mem_begin;
        return 1;
    }
    /* 5. every cover into the array; the streamed list is done with */
    mirvp_array_init(array, records, is32);
    array_end = records + (size_t)count * mirvp_array_record_size(is32);
    if (!mirvp_array_load(array, list, old_size, out_new->size, array_end)) {
        list->close(list);
        return 0;
    }
    if (!list->close(list)) return 0; /* never go on with a list whose close failed */
    plan->covers = &array->base;
    plan->mem = array_end;
    /* 6. the old bytes of the short covers, when memory is left beyond the patch's pieces */
    if ((uint64_t)(cache_end - array_end) > pieces * kOldCacheReservePerPiece) {
        uint64_t budget = (uint64_t)(cache_end - array_end) - pieces * kOldCacheReservePerPiece;
        uint64_t max_len, total, old_begin = 0, old_end = 0;
        unsigned char *stream_mem, *cached, *cached_end;
        if (budget < mirvp_kCacheOldStreamSize + 8) return 1;
        max_len = mirvp_cache_max_len(array, budget - mirvp_kCacheOldStreamSize);
        if (max_len == 0) return 1;
        total = mirvp_cache_positions(array, max_len, &old_begin, &old_end, array->count / 8 + 1);
        if (total == 0) return 1;
        stream_mem = mirvp_align8(array_end, cache_end);
        cached = stream_mem + mirvp_kCacheOldStreamSize;
        cached_end = cached + (size_t)total;
        if (!mirvp_cache_load(plan->old, old_begin, old_end, array, max_len, cached, cached_end, cache_end)) return 0;
        plan->old = mirvp_cache_stream_init((TCacheOldStream*)stream_mem, plan->old, array, max_len, cached);
        plan->mem = cached_end;
    }
    return 1;
}

mirv_BOOL patch_stream_with_cache(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                  const mirv_TStreamInput* diff, unsigned char* cache, unsigned char* cache_end) {
    TCachePlan plan;
    if (!cache || cache_end < cache) return 0;
    plan.old = old;
    if (!plan_cache(&plan, out_new, diff, NULL, 0, cache, cache_end)) return 0;
    return patch_serialized_stream(out_new, plan.old, diff, plan.covers, plan.mem, plan.mem_end);
}

mirv_BOOL patch_stream(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old, const mirv_TStreamInput* diff) {
    unsigned char mem[mirv_kPatchStreamMemSize];
    return patch_serialized_stream(out_new, old, diff, NULL, mem, mem + sizeof(mem));
}

mirv_BOOL patch_decompress_with_cache(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                      const mirv_TStreamInput* diff, mirv_TDecompress* plugin, unsigned char* cache,
                                      unsigned char* cache_end) {
    TCachePlan plan;
    mirv_BOOL ok;
    if (!cache || cache_end < cache) return 0;
    plan.old = old;
    if (!plan_cache(&plan, out_new, diff, plugin, 1, cache, cache_end)) return 0;
    ok = patch_compressed_stream(out_new, plan.old, diff, plugin, plan.covers, plan.mem, plan.mem_end);
    if (plan.to_close && !plan.to_close->close(plan.to_close)) ok = 0;
    return ok;
}

mirv_BOOL patch_decompress(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                           const mirv_TStreamInput* diff, mirv_TDecompress* plugin) {
    unsigned char mem[mirv_kPatchDecompressMemSize];
    return patch_compressed_stream(out_new, old, diff, plugin, NULL, mem, mem + sizeof(mem));
}

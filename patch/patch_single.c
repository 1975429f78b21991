/* Single-stream patch: the look-back diff reader, the step cache, and the entry points that
 * read the head, ask the listener for memory and apply the body through the step loop. */
#include <string.h>

#include "patch_cache_old.h"
#include "patch_step.h"

/* ---- look-back diff reader ---- */

/* Appends the n bytes at src (just fetched from the frontier) to the kept bytes. */
static void lookback_keep(TDiffToSingleStream* self, const unsigned char* src, size_t n) {
    size_t kept = mirv_kLookBackSize - self->kept_begin, new_kept, stay;
    if (self->no_keep || n > mirv_kLookBackSize) {
        self->kept_begin = mirv_kLookBackSize;
        return;
    }
    new_kept = kept + n > mirv_kLookBackSize ? mirv_kLookBackSize : kept + n;
    stay = new_kept - n; /* older kept bytes that still fit in front of the new ones */
    if (stay) memmove(self->buffer + mirv_kLookBackSize - new_kept, self->buffer + mirv_kLookBackSize - stay, stay);
    if (src != self->buffer + mirv_kLookBackSize - n) memcpy(self->buffer + mirv_kLookBackSize - n, src, n);
    self->kept_begin = mirv_kLookBackSize - new_kept;
}

/* Reads and drops the bytes from the frontier up to pos; they become the kept bytes. */
static mirv_BOOL lookback_skip_to(TDiffToSingleStream* self, uint64_t pos) {
    while (self->frontier < pos) {
        uint64_t gap = pos - self->frontier;
        size_t n = gap < mirv_kLookBackSize ? (size_t)gap : mirv_kLookBackSize;
        size_t kept = mirv_kLookBackSize - self->kept_begin;
        size_t stay = kept + n > mirv_kLookBackSize ? mirv_kLookBackSize - n : kept;
        /* make room at the buffer's end first, so the bytes can be read straight into it */
        if (stay) memmove(self->buffer + mirv_kLookBackSize - n - stay, self->buffer + mirv_kLookBackSize - stay, stay);
        self->kept_begin = mirv_kLookBackSize - n - stay;
        if (!self->diff->read(self->diff, self->frontier, self->buffer + mirv_kLookBackSize - n,
                              self->buffer + mirv_kLookBackSize)) {
            self->kept_begin = mirv_kLookBackSize;
            return 0;
        }
        self->frontier += n;
        self->kept_begin = mirv_kLookBackSize - n - stay;
        if (self->no_keep) self->kept_begin = mirv_kLookBackSize;
    }
    return 1;
}

static mirv_BOOL lookback_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                               unsigned char* out_end) {
    TDiffToSingleStream* self = (TDiffToSingleStream*)stream->owner;
    size_t len = (size_t)(out_end - out);
    if (!mirvp_range_in(pos, len, stream->size)) return 0;
    if (len == 0) return 1;
    if (pos > self->frontier && !lookback_skip_to(self, pos)) return 0;
    if (pos < self->frontier) {
        uint64_t back = self->frontier - pos;
        size_t n;
        if (back > mirv_kLookBackSize - self->kept_begin) return 0;
        n = back < len ? (size_t)back : len;
        memcpy(out, self->buffer + mirv_kLookBackSize - (size_t)back, n);
        out += n;
        len -= n;
        if (len == 0) return 1; /* wholly inside the kept bytes */
    }
    if (!self->diff->read(self->diff, self->frontier, out, out + len)) return 0;
    self->frontier += len;
    lookback_keep(self, out, len);
    return 1;
}

const mirv_TStreamInput* TDiffToSingleStream_init(TDiffToSingleStream* reader, const mirv_TStreamInput* diff) {
    reader->base.owner = reader;
    reader->base.size = diff->size;
    reader->base.read = lookback_read;
    reader->base.reserved = NULL;
    reader->diff = diff;
    reader->frontier = 0;
    reader->kept_begin = mirv_kLookBackSize;
    reader->no_keep = 0;
    return &reader->base;
}

/* ---- step cache ---- */

#define kStepCacheLoadTail 131072
#define kStepCacheMaxCachedLen 1048576
#define kStepCacheMinCachedLen 32768

typedef struct TStepCacheOld {
    TCacheOldStream  stream; /* refills through step_cache_refill, with this record */
    sspatch_covers_t covers; /* the current step's covers, bases running on like the patch's */
    int              has_leftover; /* covers.cover did not fit the last batch */
    uint64_t         new_size;
    unsigned char*   mem_end;
} TStepCacheOld;

/* Size of the step cache's state; its cover array follows. */
#define kStepCacheStateSize 264

typedef char check_step_cache_size[sizeof(TStepCacheOld) <= kStepCacheStateSize ? 1 : -1];

/* Fills the array with the next covers of the step that fit and loads their old bytes. */
static mirv_BOOL step_cache_update(TStepCacheOld* self) {
    TArrayCovers* array = &self->stream.covers;
    const uint64_t old_size = self->stream.base.size;
    const size_t record = mirvp_array_record_size(array->is32);
    uint64_t room, max_len = kStepCacheMaxCachedLen, sum = 0, count = 0, total = 0, old_begin = 0, old_end = 0;
    unsigned char* cached;
    if ((size_t)(self->mem_end - array->records) <= kStepCacheLoadTail) return 0;
    room = (uint64_t)(self->mem_end - kStepCacheLoadTail - array->records);
    if (room <= max_len) {
        do max_len >>= 1;
        while (max_len >= room && max_len > kStepCacheMinCachedLen);
    }
    array->count = 0;
    array->index = 0;
    for (;;) {
        const mirv_TCover* c = &self->covers.cover;
        mirv_BOOL fits = 0;
        if (!self->has_leftover) {
            if (!sspatch_covers_isHaveNextCover(&self->covers)) break;
            if (!sspatch_covers_nextCover(&self->covers)) return 0;
            if (c->length == 0) continue;
            /* the batch is sorted and loaded before the patch checks these covers */
            if (!mirvp_range_in(c->old_pos, c->length, old_size) || !mirvp_range_in(c->new_pos, c->length, self->new_size))
                return 0;
        }
        for (;;) {
            uint64_t records = (count + 1) * record, extra = c->length <= max_len ? c->length : 0;
            if (records <= room && sum <= room - records && extra <= room - records - sum) {
                fits = 1;
                sum += extra;
                break;
            }
            if (max_len <= kStepCacheMinCachedLen) break;
            max_len >>= 1;
            sum = mirvp_cache_sum(array, max_len);
        }
        if (!fits) {
            self->has_leftover = 1;
            break;
        }
        self->has_leftover = 0;
        mirvp_array_set(array, count, c, 0);
        array->count = ++count;
    }
    max_len = 0;
    cached = array->records + (size_t)count * record;
    if (count) {
        max_len = mirvp_cache_max_len(array, room - count * record);
        if (max_len) total = mirvp_cache_positions(array, max_len, &old_begin, &old_end, 0);
        if (total == 0) {
            max_len = 0;
        } else if (!mirvp_cache_load(self->stream.old_stream, old_begin, old_end, array, max_len, cached,
                                     cached + (size_t)total, self->mem_end)) {
            return 0;
        }
    }
    array->index = 0;
    self->stream.max_cached_len = max_len;
    self->stream.cache_base = cached;
    self->stream.cache_cursor = cached;
    return 1;
}

static mirv_BOOL step_cache_refill(TCacheOldStream* stream, void* refill_arg) {
    (void)stream;
    return step_cache_update((TStepCacheOld*)refill_arg);
}

size_t mirvp_step_cache_size(uint64_t step_mem_size, size_t reserve, size_t mem_size) {
    uint64_t need, e, f, g, unit, per;
    if (!mirvp_add_u64(step_mem_size, reserve, &need) || !mirvp_add_u64(need, mirvp_kStepCacheMinMem, &need) || mem_size < need)
        return 0;
    e = (uint64_t)mem_size - step_mem_size - reserve - 8;
    if (!mirvp_add_u64(reserve, 0x360000, &unit) || !mirvp_add_u64(reserve, 131072, &per)) return 0;
    f = e / (unit / 4);
    f = f > 4 ? f - 4 : 0;
    if (f && f > UINT64_MAX / per) return 0;
    g = f * per / 8;
    if (g >= e || e - g > (uint64_t)mem_size - 8) return 0;
    return (size_t)(e - g);
}

static mirv_BOOL step_cache_open(const mirv_TStreamInput** old, uint64_t new_size, uint64_t step_mem_size,
                                 size_t reserve, unsigned char** cache, unsigned char* cache_end) {
    size_t size;
    unsigned char* front;
    TStepCacheOld* self;
    TArrayCovers array;
    if (!*cache || cache_end <= *cache) return 0;
    size = mirvp_step_cache_size(step_mem_size, reserve, (size_t)(cache_end - *cache));
    front = mirvp_align8(*cache, cache_end);
    if (size == 0 || size <= kStepCacheStateSize + kStepCacheLoadTail || size > (size_t)(cache_end - front))
        return 0;
    self = (TStepCacheOld*)front;
    memset(self, 0, sizeof(*self));
    mirvp_array_init(&array, front + kStepCacheStateSize,
                     new_size < ((uint64_t)1 << 32) && (*old)->size < ((uint64_t)1 << 32));
    mirvp_cache_stream_init(&self->stream, *old, &array, 0, array.records);
    self->stream.refill = step_cache_refill;
    self->stream.refill_arg = self;
    sspatch_covers_init(&self->covers);
    self->new_size = new_size;
    self->mem_end = front + size;
    *old = &self->stream.base;
    *cache = front + size;
    return 1;
}

static mirv_BOOL step_cache_on_covers(const mirv_TStreamInput* step_cache_stream, const unsigned char* covers,
                                      const unsigned char* covers_end) {
    TStepCacheOld* self;
    if (!covers) return 1;
    /* the stream's owner is its cache stream record, whose refill argument is the step cache */
    self = (TStepCacheOld*)((const TCacheOldStream*)step_cache_stream->owner)->refill_arg;
    sspatch_covers_setCoversCache(&self->covers, covers, covers_end);
    self->has_leftover = 0;
    return step_cache_update(self);
}

/* ---- patch over a body ---- */

mirv_BOOL patch_single_stream_diff(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                   const mirv_TStreamInput* body, uint64_t body_begin, uint64_t body_end,
                                   uint64_t cover_count, uint64_t step_mem_size, unsigned char* cache,
                                   unsigned char* cache_end, sspatch_TCoversListener* covers_listener,
                                   mirv_BOOL is_out_cache) {
    const size_t min_left = is_out_cache ? mirvp_kSingleMinMemWithOutCache : mirvp_kSingleMinMemNoOutCache;
    const size_t parts = is_out_cache ? 3 : 2;
    unsigned char *rest, *rest_end;
    size_t mem, piece;
    mirv_BOOL read_error = 0;
    TStreamCacheClip body_reader;
    TOutStreamCache out;
    mirvp_TStepLoop loop;
    if (!out_new || !old || !body || !cache || cache_end <= cache) return 0;
    mem = (size_t)(cache_end - cache);
    if (mem < min_left || step_mem_size > mem - min_left) return 0;
    if (body_begin > body_end || body_end > body->size) return 0;
    rest = cache + (size_t)step_mem_size;
    rest_end = cache_end;
    memset(&loop, 0, sizeof(loop));
    if (!mirvp_cache_all_old(&old, min_left, &rest, &rest_end, &read_error)) {
        if (read_error) return 0;
        if (step_cache_open(&old, out_new->size, step_mem_size,
                                  is_out_cache ? mirvp_kStepCacheReserveWithOutCache : mirvp_kStepCacheReserveNoOutCache, &rest,
                                  rest_end)) {
            loop.step_cache = old;
            loop.on_step_covers = step_cache_on_covers;
        }
    }
    piece = (size_t)(rest_end - rest) / parts;
    if (piece < mirvp_kMaxPackedUIntWindow) return 0;
    mirvp_clip_init(&body_reader, body, body_begin, body_end, rest, piece);
    mirvp_out_init(&out, out_new, is_out_cache ? rest + piece : NULL, is_out_cache ? piece : 0);
    loop.body = &body_reader;
    loop.out = &out;
    loop.new_size = out_new->size;
    loop.old = old;
    loop.covers_left = cover_count;
    loop.step_mem = cache;
    loop.step_mem_size = (size_t)step_mem_size;
    loop.tmp = rest + (parts - 1) * piece;
    loop.tmp_size = piece;
    loop.covers_listener = covers_listener;
    sspatch_covers_init(&loop.covers);
    if (!mirvp_step_loop(&loop) || !mirvp_out_flush(&out)) return 0;
    return mirvp_clip_is_finished(&body_reader) && out.write_pos == out_new->size;
}

mirv_BOOL _patch_single_compressed_diff_mt(const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                           const mirv_TStreamInput* diff, uint64_t body_pos,
                                           uint64_t uncompressed_size, uint64_t compressed_size,
                                           mirv_TDecompress* plugin, uint64_t cover_count, uint64_t step_mem_size,
                                           unsigned char* cache, unsigned char* cache_end,
                                           sspatch_TCoversListener* covers_listener, size_t unused_thread_num,
                                           void* unused_thread_arg) {
    uint64_t body_end;
    (void)unused_thread_num;
    (void)unused_thread_arg;
    if (!diff) return 0;
    if (compressed_size) {
        TUncompresser view;
        mirv_BOOL ok;
        if (!plugin || !mirvp_add_u64(body_pos, compressed_size, &body_end) || body_end > diff->size) return 0;
        if (!compressed_stream_as_uncompressed(&view, uncompressed_size, plugin, diff, body_pos, body_end)) return 0;
        ok = patch_single_stream_diff(out_new, old, &view.base, 0, uncompressed_size, cover_count, step_mem_size, cache,
                                      cache_end, covers_listener, 1);
        /* a decoder that reports a fault on closing has handed out bytes it can't vouch for */
        if (!close_compressed_stream_as_uncompressed(&view)) ok = 0;
        return ok;
    }
    if (!mirvp_add_u64(body_pos, uncompressed_size, &body_end) || body_end > diff->size) return 0;
    return patch_single_stream_diff(out_new, old, diff, body_pos, body_end, cover_count, step_mem_size, cache, cache_end,
                                    covers_listener, 1);
}

mirv_BOOL _patch_single_stream_mt(sspatch_TListener* listener, const mirv_TStreamOutput* out_new,
                                  const mirv_TStreamInput* old, const mirv_TStreamInput* diff, uint64_t head_pos,
                                  sspatch_TCoversListener* covers_listener, size_t unused_thread_num,
                                  void* unused_thread_arg) {
    TDiffToSingleStream lookback;
    mirv_singleCompressedDiffInfo info;
    TStreamOutputClip out_clip;
    const mirv_TStreamOutput* out;
    const mirv_TStreamInput* diff_stream;
    mirv_TDecompress* plugin = NULL;
    unsigned char *cache = NULL, *cache_end = NULL;
    uint64_t body_pos;
    mirv_BOOL ok = 0;
    if (!listener || !listener->on_diff_info || !out_new || !old || !diff) return 0;
    diff_stream = TDiffToSingleStream_init(&lookback, diff);
    if (!getSingleCompressedDiffInfo(&info, diff_stream, head_pos)) return 0;
    if (out_new->size < info.new_size || old->size != info.old_size) return 0;
    out = TStreamOutputClip_init(&out_clip, out_new, 0, info.new_size);
    if (!listener->on_diff_info(listener, &info, &plugin, &cache, &cache_end)) return 0;
    /* the head reports the body's place from the head's start */
    if (cache && cache_end > cache && mirvp_add_u64(head_pos, info.diff_data_pos, &body_pos))
        ok = _patch_single_compressed_diff_mt(out, old, diff_stream, body_pos, info.uncompressed_size,
                                              info.compressed_size, plugin, info.cover_count, info.step_mem_size,
                                              cache, cache_end, covers_listener, unused_thread_num,
                                              unused_thread_arg);
    if (listener->on_patch_finish) listener->on_patch_finish(listener, cache, cache_end);
    return ok;
}

mirv_BOOL patch_single_stream(sspatch_TListener* listener, const mirv_TStreamOutput* out_new,
                              const mirv_TStreamInput* old, const mirv_TStreamInput* diff, uint64_t head_pos,
                              sspatch_TCoversListener* covers_listener) {
    return _patch_single_stream_mt(listener, out_new, old, diff, head_pos, covers_listener, 0, NULL);
}

/* The old-data cache: whole old data in memory, or an in-memory cover array with the old
 * bytes of its shorter covers loaded in long sequential passes and served by a stream. */
#include <stdlib.h>
#include <string.h>

#include "patch_internal.h"

typedef char _check_array_head_size[sizeof(TArrayCovers) <= _kArrayCoversHeadSize ? 1 : -1];
typedef char _check_cache_stream_size[sizeof(TCacheOldStream) <= _kCacheOldStreamSize ? 1 : -1];
typedef char _check_mem_stream_size[sizeof(mirv_TStreamInput) <= _kMemStreamRecordSize ? 1 : -1];

/* ---- cover array ---- */

typedef struct { uint32_t old_pos, new_pos, length, cache_pos; } _TCover32;
typedef struct { uint64_t old_pos, new_pos, length, cache_pos; } _TCover64;

void _TArrayCovers_get(const TArrayCovers* covers, uint64_t i, mirv_TCover* cover, uint64_t* cache_pos) {
    if (covers->is32) {
        const _TCover32* r = (const _TCover32*)covers->records + i;
        cover->old_pos = r->old_pos;
        cover->new_pos = r->new_pos;
        cover->length = r->length;
        if (cache_pos) *cache_pos = r->cache_pos;
    } else {
        const _TCover64* r = (const _TCover64*)covers->records + i;
        cover->old_pos = r->old_pos;
        cover->new_pos = r->new_pos;
        cover->length = r->length;
        if (cache_pos) *cache_pos = r->cache_pos;
    }
}

void _TArrayCovers_set(TArrayCovers* covers, uint64_t i, const mirv_TCover* cover, uint64_t cache_pos) {
    if (covers->is32) {
        _TCover32* r = (_TCover32*)covers->records + i;
        r->old_pos = (uint32_t)cover->old_pos;
        r->new_pos = (uint32_t)cover->new_pos;
        r->length = (uint32_t)cover->length;
        r->cache_pos = (uint32_t)cache_pos;
    } else {
        _TCover64* r = (_TCover64*)covers->records + i;
        r->old_pos = cover->old_pos;
        r->new_pos = cover->new_pos;
        r->length = cover->length;
        r->cache_pos = cache_pos;
    }
}

static uint64_t _array_leaveCoverCount(const mirv_TCovers* covers) {
    const TArrayCovers* self = (const TArrayCovers*)covers;
    return self->count - self->index;
}

static mirv_BOOL _array_read_cover(mirv_TCovers* covers, mirv_TCover* out_cover) {
    TArrayCovers* self = (TArrayCovers*)covers;
    if (self->index >= self->count) return 0;
    _TArrayCovers_get(self, self->index++, out_cover, NULL);
    return 1;
}

static mirv_BOOL _array_is_finish(const mirv_TCovers* covers) {
    const TArrayCovers* self = (const TArrayCovers*)covers;
    return self->index == self->count;
}

static mirv_BOOL _array_close(mirv_TCovers* covers) {
    (void)covers;
    return 1;
}

void _TArrayCovers_init(TArrayCovers* covers, unsigned char* records, int is32) {
    covers->base.leaveCoverCount = _array_leaveCoverCount;
    covers->base.read_cover = _array_read_cover;
    covers->base.is_finish = _array_is_finish;
    covers->base.close = _array_close;
    covers->records = records;
    covers->count = 0;
    covers->index = 0;
    covers->is32 = is32;
}

mirv_BOOL _TArrayCovers_load(TArrayCovers* covers, mirv_TCovers* list, uint64_t old_size, uint64_t new_size,
                             unsigned char* records_end) {
    uint64_t n = list->leaveCoverCount(list), i, new_end = 0;
    size_t record = _TArrayCovers_recordSize(covers->is32);
    if (records_end < covers->records || n > (uint64_t)(records_end - covers->records) / record) return 0;
    for (i = 0; i < n; ++i) {
        mirv_TCover c;
        if (!list->read_cover(list, &c)) return 0;
        /* the checks of the patch loop, made early: the array's users rely on them */
        if (c.new_pos < new_end || !_range_in(c.new_pos, c.length, new_size) || !_range_in(c.old_pos, c.length, old_size))
            return 0;
        new_end = c.new_pos + c.length;
        _TArrayCovers_set(covers, i, &c, 0);
    }
    covers->count = n;
    covers->index = 0;
    return list->is_finish(list);
}

#define _DEFINE_COMPARE(name, type, key, tie)                                             \
    static int name(const void* pa, const void* pb) {                                     \
        const type* a = (const type*)pa;                                                  \
        const type* b = (const type*)pb;                                                  \
        if (a->key != b->key) return a->key < b->key ? -1 : 1;                            \
        if (a->tie != b->tie) return a->tie < b->tie ? -1 : 1;                            \
        return 0;                                                                         \
    }
_DEFINE_COMPARE(_cmp32_new, _TCover32, new_pos, length)
_DEFINE_COMPARE(_cmp32_old, _TCover32, old_pos, new_pos)
_DEFINE_COMPARE(_cmp32_len, _TCover32, length, new_pos)
_DEFINE_COMPARE(_cmp64_new, _TCover64, new_pos, length)
_DEFINE_COMPARE(_cmp64_old, _TCover64, old_pos, new_pos)
_DEFINE_COMPARE(_cmp64_len, _TCover64, length, new_pos)

void _TArrayCovers_sort(TArrayCovers* covers, _TArrayCoversOrder order) {
    typedef int (*compare_fn)(const void*, const void*);
    static const compare_fn by32[3] = {_cmp32_new, _cmp32_old, _cmp32_len};
    static const compare_fn by64[3] = {_cmp64_new, _cmp64_old, _cmp64_len};
    if (covers->count < 2) return;
    qsort(covers->records, (size_t)covers->count, _TArrayCovers_recordSize(covers->is32),
          covers->is32 ? by32[order] : by64[order]);
}

/* ---- whole old data ---- */

mirv_BOOL _patch_cache_all_old(const mirv_TStreamInput** old, size_t min_left, unsigned char** cache,
                               unsigned char** cache_end, mirv_BOOL* read_error) {
    size_t mem = (size_t)(*cache_end - *cache);
    uint64_t old_size = (*old)->size;
    unsigned char *record, *old_bytes;
    if (mem < 40 || min_left > mem - 40 || old_size > mem - 40 - min_left) return 0;
    old_bytes = *cache_end - (size_t)old_size;
    if (!(*old)->read(*old, 0, old_bytes, *cache_end)) {
        *read_error = 1;
        return 0;
    }
    record = _align8(*cache, *cache_end);
    *old = mem_as_mirvStreamInput((mirv_TStreamInput*)record, old_bytes, *cache_end);
    *cache = record + _kMemStreamRecordSize;
    *cache_end = old_bytes;
    return 1;
}

/* ---- choosing and loading the cached covers ---- */

/* Sum of the lengths of the covers no longer than max_len. */
static uint64_t _cached_sum(const TArrayCovers* covers, uint64_t max_len) {
    uint64_t i, sum = 0;
    mirv_TCover c;
    for (i = 0; i < covers->count; ++i) {
        _TArrayCovers_get(covers, i, &c, NULL);
        if (c.length <= max_len) sum += c.length;
    }
    return sum;
}

/* Taking the covers shortest first, the first one that overflows the budget sets the
 * result to its length - 1: that is one less than the smallest length x whose covers up to x
 * sum above the budget.  A binary search over x finds it without reordering the array (the
 * sums cannot wrap: the covers lie inside the new data). */
uint64_t _patch_cache_maxCachedLen(TArrayCovers* covers, uint64_t budget) {
    uint64_t longest = 0, total = 0, i, fits = 0, overflows;
    mirv_TCover c;
    for (i = 0; i < covers->count; ++i) {
        _TArrayCovers_get(covers, i, &c, NULL);
        total += c.length;
        if (c.length > longest) longest = c.length;
    }
    if (total <= budget) return longest;
    overflows = longest; /* the sum up to fits stays within the budget, up to overflows not */
    while (overflows - fits > 1) {
        uint64_t mid = fits + (overflows - fits) / 2;
        if (_cached_sum(covers, mid) > budget) overflows = mid;
        else fits = mid;
    }
    return overflows - 1;
}

uint64_t _patch_cache_positions(TArrayCovers* covers, uint64_t max_cached_len, uint64_t* out_old_begin,
                                uint64_t* out_old_end, uint64_t min_count) {
    uint64_t i, total = 0, qualifying = 0, lo = UINT64_MAX, hi = 0;
    for (i = 0; i < covers->count; ++i) {
        mirv_TCover c;
        _TArrayCovers_get(covers, i, &c, NULL);
        if (c.length > max_cached_len) continue;
        _TArrayCovers_set(covers, i, &c, total);
        total += c.length;
        ++qualifying;
        if (c.old_pos < lo) lo = c.old_pos;
        if (c.old_pos + c.length > hi) hi = c.old_pos + c.length;
    }
    if (qualifying < min_count || qualifying == 0) return 0;
    *out_old_begin = lo;
    *out_old_end = hi;
    return total;
}

/* Updates often keep the old data's order: then the array needs no reordering at all. */
static mirv_BOOL _TArrayCovers_isSortedByOldPos(const TArrayCovers* covers) {
    uint64_t i, last = 0;
    mirv_TCover c;
    for (i = 0; i < covers->count; ++i) {
        _TArrayCovers_get(covers, i, &c, NULL);
        if (c.old_pos < last) return 0;
        last = c.old_pos;
    }
    return 1;
}

static inline uint64_t _align_down_4k(uint64_t pos) { return pos & ~(uint64_t)4095; }

mirv_BOOL _patch_cache_load(const mirv_TStreamInput* old, uint64_t old_begin, uint64_t old_end,
                            TArrayCovers* covers, uint64_t max_cached_len, unsigned char* cache,
                            unsigned char* cache_end, unsigned char* mem_end) {
    unsigned char *buf = cache_end, *buf_end = mem_end;
    uint64_t first = 0, read_pos;
    mirv_BOOL ok = 1, sorted;
    if ((size_t)(mem_end - cache_end) >= 8192) {
        uintptr_t start = ((uintptr_t)cache_end + 4095) & ~(uintptr_t)4095;
        uintptr_t end = (uintptr_t)mem_end & ~(uintptr_t)4095;
        if (end - start > _kOldLoadPass) end = start + _kOldLoadPass;
        buf = cache_end + (start - (uintptr_t)cache_end);
        buf_end = cache_end + (end - (uintptr_t)cache_end);
    }
    if (buf_end <= buf) return 0;
    sorted = _TArrayCovers_isSortedByOldPos(covers);
    if (!sorted) _TArrayCovers_sort(covers, _kSortByOldPos);
    read_pos = _align_down_4k(old_begin);
    if (read_pos < _kOldLoadJump) read_pos = 0;
    while (read_pos < old_end) {
        uint64_t left = old_end - read_pos;
        size_t n = left < (uint64_t)(buf_end - buf) ? (size_t)left : (size_t)(buf_end - buf);
        uint64_t read_end = read_pos + n, i;
        mirv_TCover c = {0, 0, 0};
        uint64_t cache_pos;
        if (!old->read(old, read_pos, buf, buf + n)) {
            ok = 0;
            break;
        }
        for (i = first; i < covers->count; ++i) {
            uint64_t from, to;
            _TArrayCovers_get(covers, i, &c, &cache_pos);
            if (c.old_pos >= read_end) break;
            if (c.length > max_cached_len || c.length == 0 || c.old_pos + c.length <= read_pos) continue;
            from = c.old_pos > read_pos ? c.old_pos : read_pos;
            to = c.old_pos + c.length < read_end ? c.old_pos + c.length : read_end;
            memcpy(cache + cache_pos + (from - c.old_pos), buf + (from - read_pos), (size_t)(to - from));
        }
        /* the first qualifying cover that still needs bytes from later reads */
        while (first < covers->count) {
            _TArrayCovers_get(covers, first, &c, NULL);
            if (c.length <= max_cached_len && c.length != 0 && c.old_pos + c.length > read_end) break;
            ++first;
        }
        if (first == covers->count) break;
        read_pos = read_end;
        if (c.old_pos >= read_end && c.old_pos - read_end >= _kOldLoadJump) read_pos = _align_down_4k(c.old_pos);
    }
    if (!sorted) _TArrayCovers_sort(covers, _kSortByNewPos);
    return ok;
}

/* ---- the cache stream ---- */

static mirv_BOOL _cache_old_next_cover(TCacheOldStream* self) {
    while (self->read_pos == self->cover_end) {
        mirv_TCover c;
        uint64_t cache_pos;
        if (self->covers.index >= self->covers.count) {
            if (!self->refill || !self->refill(self, self->refill_arg) || self->covers.index >= self->covers.count)
                return 0;
        }
        _TArrayCovers_get(&self->covers, self->covers.index++, &c, &cache_pos);
        self->read_pos = c.old_pos;
        self->cover_end = c.old_pos + c.length;
        self->cached_now = c.length <= self->max_cached_len;
        self->cache_cursor = self->cache_base + cache_pos;
    }
    return 1;
}

static mirv_BOOL _cache_old_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                                 unsigned char* out_end) {
    TCacheOldStream* self = (TCacheOldStream*)stream->owner;
    size_t len = (size_t)(out_end - out);
    if (len == 0) return pos <= stream->size;
    if (!_cache_old_next_cover(self)) return 0;
    if (pos != self->read_pos || len > self->cover_end - pos) return 0;
    self->read_pos += len;
    if (self->cached_now) {
        memcpy(out, self->cache_cursor, len);
        self->cache_cursor += len;
        return 1;
    }
    return self->old_stream->read(self->old_stream, pos, out, out_end);
}

const mirv_TStreamInput* _TCacheOldStream_init(TCacheOldStream* stream, const mirv_TStreamInput* old_stream,
                                               const TArrayCovers* covers, uint64_t max_cached_len,
                                               const unsigned char* cache_base) {
    memset(stream, 0, sizeof(*stream));
    stream->base.owner = stream;
    stream->base.size = old_stream->size;
    stream->base.read = _cache_old_read;
    stream->covers = *covers;
    stream->covers.index = 0;
    stream->max_cached_len = max_cached_len;
    stream->cache_base = cache_base;
    stream->cache_cursor = cache_base;
    stream->old_stream = old_stream;
    return &stream->base;
}

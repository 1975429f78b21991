/* The old-data cache: whole old data in memory, or an in-memory cover array with the old
 * bytes of its shorter covers loaded in long sequential passes and served by a stream. */
#include <string.h>

#include "patch_cache_old.h"

/* Sequential loads read at most this much at a time, and jump over gaps at least this long. */
#define kOldLoadPass 131072
#define kOldLoadJump 262144

typedef char check_array_head_size[sizeof(TArrayCovers) <= mirvp_kArrayCoversHeadSize ? 1 : -1];
typedef char check_cache_stream_size[sizeof(TCacheOldStream) <= mirvp_kCacheOldStreamSize ? 1 : -1];
typedef char check_mem_stream_size[sizeof(mirv_TStreamInput) <= mirvp_kMemStreamRecordSize ? 1 : -1];

/* ---- cover array ---- */

typedef struct { uint32_t old_pos, new_pos, length, cache_pos; } TCover32;
typedef struct { uint64_t old_pos, new_pos, length, cache_pos; } TCover64;

void mirvp_array_get(const TArrayCovers* covers, uint64_t i, mirv_TCover* cover, uint64_t* cache_pos) {
    if (covers->is32) {
        const TCover32* r = (const TCover32*)covers->records + i;
        cover->old_pos = r->old_pos;
        cover->new_pos = r->new_pos;
        cover->length = r->length;
        if (cache_pos) *cache_pos = r->cache_pos;
    } else {
        const TCover64* r = (const TCover64*)covers->records + i;
        cover->old_pos = r->old_pos;
        cover->new_pos = r->new_pos;
        cover->length = r->length;
        if (cache_pos) *cache_pos = r->cache_pos;
    }
}

void mirvp_array_set(TArrayCovers* covers, uint64_t i, const mirv_TCover* cover, uint64_t cache_pos) {
    if (covers->is32) {
        TCover32* r = (TCover32*)covers->records + i;
        r->old_pos = (uint32_t)cover->old_pos;
        r->new_pos = (uint32_t)cover->new_pos;
        r->length = (uint32_t)cover->length;
        r->cache_pos = (uint32_t)cache_pos;
    } else {
        TCover64* r = (TCover64*)covers->records + i;
        r->old_pos = cover->old_pos;
        r->new_pos = cover->new_pos;
        r->length = cover->length;
        r->cache_pos = cache_pos;
    }
}

static uint64_t array_leaveCoverCount(const mirv_TCovers* covers) {
    const TArrayCovers* self = (const TArrayCovers*)covers;
    return self->count - self->index;
}

static mirv_BOOL array_read_cover(mirv_TCovers* covers, mirv_TCover* out_cover) {
    TArrayCovers* self = (TArrayCovers*)covers;
    if (self->index >= self->count) return 0;
    mirvp_array_get(self, self->index++, out_cover, NULL);
    return 1;
}

static mirv_BOOL array_is_finish(const mirv_TCovers* covers) {
    const TArrayCovers* self = (const TArrayCovers*)covers;
    return self->index == self->count;
}

static mirv_BOOL array_close(mirv_TCovers* covers) {
    (void)covers;
    return 1;
}

void mirvp_array_init(TArrayCovers* covers, unsigned char* records, int is32) {
    covers->base.leaveCoverCount = array_leaveCoverCount;
    covers->base.read_cover = array_read_cover;
    covers->base.is_finish = array_is_finish;
    covers->base.close = array_close;
    covers->records = records;
    covers->count = 0;
    covers->index = 0;
    covers->is32 = is32;
}

mirv_BOOL mirvp_array_load(TArrayCovers* covers, mirv_TCovers* list, uint64_t old_size, uint64_t new_size,
                           unsigned char* records_end) {
    uint64_t n = list->leaveCoverCount(list), i, new_end = 0;
    size_t record = mirvp_array_record_size(covers->is32);
    if (records_end < covers->records || n > (uint64_t)(records_end - covers->records) / record) return 0;
    for (i = 0; i < n; ++i) {
        mirv_TCover c;
        if (!list->read_cover(list, &c)) return 0;
        /* the checks of the patch loop, made early: the array's users rely on them */
        if (c.new_pos < new_end || !mirvp_range_in(c.new_pos, c.length, new_size) || !mirvp_range_in(c.old_pos, c.length, old_size))
            return 0;
        new_end = c.new_pos + c.length;
        mirvp_array_set(covers, i, &c, 0);
    }
    covers->count = n;
    covers->index = 0;
    return list->is_finish(list);
}

/* Sorting the array in place.  The library never allocates, and the C library's sort may;
 * a heap sort needs no memory and stays n log n on any input.  Each order compares all three
 * numbers, so that the sorted order is the same whatever the algorithm. */

typedef enum { kByNewPos, kByOldPos } TSortOrder;

static int record_less(const TArrayCovers* covers, TSortOrder order, uint64_t i, uint64_t j) {
    mirv_TCover a, b;
    mirvp_array_get(covers, i, &a, NULL);
    mirvp_array_get(covers, j, &b, NULL);
    if (order == kByOldPos) {
        if (a.old_pos != b.old_pos) return a.old_pos < b.old_pos;
        if (a.new_pos != b.new_pos) return a.new_pos < b.new_pos;
        return a.length < b.length;
    }
    if (a.new_pos != b.new_pos) return a.new_pos < b.new_pos;
    if (a.length != b.length) return a.length < b.length;
    return a.old_pos < b.old_pos;
}

static void record_swap(TArrayCovers* covers, uint64_t i, uint64_t j) {
    const size_t size = mirvp_array_record_size(covers->is32);
    unsigned char tmp[32];
    unsigned char* a = covers->records + (size_t)i * size;
    unsigned char* b = covers->records + (size_t)j * size;
    memcpy(tmp, a, size);
    memcpy(a, b, size);
    memcpy(b, tmp, size);
}

/* Moves record i down the heap of the first n records until no child is greater. */
static void sift_down(TArrayCovers* covers, TSortOrder order, uint64_t i, uint64_t n) {
    for (;;) {
        uint64_t child = 2 * i + 1;
        if (child >= n) return;
        if (child + 1 < n && record_less(covers, order, child, child + 1)) ++child;
        if (!record_less(covers, order, i, child)) return;
        record_swap(covers, i, child);
        i = child;
    }
}

static void array_sort(TArrayCovers* covers, TSortOrder order) {
    uint64_t n = covers->count, i;
    for (i = n / 2; i-- > 0;) sift_down(covers, order, i, n);
    while (n > 1) {
        record_swap(covers, 0, --n);
        sift_down(covers, order, 0, n);
    }
}

/* ---- whole old data ---- */

mirv_BOOL mirvp_cache_all_old(const mirv_TStreamInput** old, size_t min_left, unsigned char** cache,
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
    record = mirvp_align8(*cache, *cache_end);
    *old = mem_as_mirvStreamInput((mirv_TStreamInput*)record, old_bytes, *cache_end);
    *cache = record + mirvp_kMemStreamRecordSize;
    *cache_end = old_bytes;
    return 1;
}

/* ---- choosing and loading the cached covers ---- */

uint64_t mirvp_cache_sum(const TArrayCovers* covers, uint64_t max_len) {
    uint64_t i, sum = 0;
    mirv_TCover c;
    for (i = 0; i < covers->count; ++i) {
        mirvp_array_get(covers, i, &c, NULL);
        if (c.length <= max_len) sum += c.length;
    }
    return sum;
}

/* Taking the covers shortest first, the first one that overflows the budget sets the
 * result to its length - 1: that is one less than the smallest length x whose covers up to x
 * sum above the budget.  A binary search over x finds it without reordering the array (the
 * sums cannot wrap: the covers lie inside the new data). */
uint64_t mirvp_cache_max_len(TArrayCovers* covers, uint64_t budget) {
    uint64_t longest = 0, total = 0, i, fits = 0, overflows;
    mirv_TCover c;
    for (i = 0; i < covers->count; ++i) {
        mirvp_array_get(covers, i, &c, NULL);
        total += c.length;
        if (c.length > longest) longest = c.length;
    }
    if (total <= budget) return longest;
    overflows = longest; /* the sum up to fits stays within the budget, up to overflows not */
    while (overflows - fits > 1) {
        uint64_t mid = fits + (overflows - fits) / 2;
        if (mirvp_cache_sum(covers, mid) > budget) overflows = mid;
        else fits = mid;
    }
    return overflows - 1;
}

uint64_t mirvp_cache_positions(TArrayCovers* covers, uint64_t max_cached_len, uint64_t* out_old_begin,
                               uint64_t* out_old_end, uint64_t min_count) {
    uint64_t i, total = 0, qualifying = 0, lo = UINT64_MAX, hi = 0;
    for (i = 0; i < covers->count; ++i) {
        mirv_TCover c;
        mirvp_array_get(covers, i, &c, NULL);
        if (c.length > max_cached_len) continue;
        mirvp_array_set(covers, i, &c, total);
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
static mirv_BOOL array_is_sorted_by_old(const TArrayCovers* covers) {
    uint64_t i, last = 0;
    mirv_TCover c;
    for (i = 0; i < covers->count; ++i) {
        mirvp_array_get(covers, i, &c, NULL);
        if (c.old_pos < last) return 0;
        last = c.old_pos;
    }
    return 1;
}

static inline uint64_t align_down_4k(uint64_t pos) { return pos & ~(uint64_t)4095; }

mirv_BOOL mirvp_cache_load(const mirv_TStreamInput* old, uint64_t old_begin, uint64_t old_end,
                           TArrayCovers* covers, uint64_t max_cached_len, unsigned char* cache,
                           unsigned char* cache_end, unsigned char* mem_end) {
    unsigned char *buf = cache_end, *buf_end = mem_end;
    uint64_t first = 0, read_pos;
    mirv_BOOL ok = 1, sorted;
    if ((size_t)(mem_end - cache_end) >= 8192) {
        uintptr_t start = ((uintptr_t)cache_end + 4095) & ~(uintptr_t)4095;
        uintptr_t end = (uintptr_t)mem_end & ~(uintptr_t)4095;
        if (end - start > kOldLoadPass) end = start + kOldLoadPass;
        buf = cache_end + (start - (uintptr_t)cache_end);
        buf_end = cache_end + (end - (uintptr_t)cache_end);
    }
    if (buf_end <= buf) return 0;
    sorted = array_is_sorted_by_old(covers);
    if (!sorted) array_sort(covers, kByOldPos);
    read_pos = align_down_4k(old_begin);
    if (read_pos < kOldLoadJump) read_pos = 0;
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
            mirvp_array_get(covers, i, &c, &cache_pos);
            if (c.old_pos >= read_end) break;
            if (c.length > max_cached_len || c.length == 0 || c.old_pos + c.length <= read_pos) continue;
            from = c.old_pos > read_pos ? c.old_pos : read_pos;
            to = c.old_pos + c.length < read_end ? c.old_pos + c.length : read_end;
            memcpy(cache + cache_pos + (from - c.old_pos), buf + (from - read_pos), (size_t)(to - from));
        }
        /* the first qualifying cover that still needs bytes from later reads */
        while (first < covers->count) {
            mirvp_array_get(covers, first, &c, NULL);
            if (c.length <= max_cached_len && c.length != 0 && c.old_pos + c.length > read_end) break;
            ++first;
        }
        if (first == covers->count) break;
        read_pos = read_end;
        if (c.old_pos >= read_end && c.old_pos - read_end >= kOldLoadJump) read_pos = align_down_4k(c.old_pos);
    }
    if (!sorted) array_sort(covers, kByNewPos);
    return ok;
}

/* ---- the cache stream ---- */

static mirv_BOOL cache_old_next_cover(TCacheOldStream* self) {
    while (self->read_pos == self->cover_end) {
        mirv_TCover c;
        uint64_t cache_pos;
        if (self->covers.index >= self->covers.count) {
            if (!self->refill || !self->refill(self, self->refill_arg) || self->covers.index >= self->covers.count)
                return 0;
        }
        mirvp_array_get(&self->covers, self->covers.index++, &c, &cache_pos);
        self->read_pos = c.old_pos;
        self->cover_end = c.old_pos + c.length;
        self->cached_now = c.length <= self->max_cached_len;
        self->cache_cursor = self->cache_base + cache_pos;
    }
    return 1;
}

static mirv_BOOL cache_old_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                                unsigned char* out_end) {
    TCacheOldStream* self = (TCacheOldStream*)stream->owner;
    size_t len = (size_t)(out_end - out);
    if (len == 0) return pos <= stream->size;
    if (!cache_old_next_cover(self)) return 0;
    if (pos != self->read_pos || len > self->cover_end - pos) return 0;
    self->read_pos += len;
    if (self->cached_now) {
        memcpy(out, self->cache_cursor, len);
        self->cache_cursor += len;
        return 1;
    }
    return self->old_stream->read(self->old_stream, pos, out, out_end);
}

const mirv_TStreamInput* mirvp_cache_stream_init(TCacheOldStream* stream, const mirv_TStreamInput* old_stream,
                                                 const TArrayCovers* covers, uint64_t max_cached_len,
                                                 const unsigned char* cache_base) {
    memset(stream, 0, sizeof(*stream));
    stream->base.owner = stream;
    stream->base.size = old_stream->size;
    stream->base.read = cache_old_read;
    stream->covers = *covers;
    stream->covers.index = 0;
    stream->max_cached_len = max_cached_len;
    stream->cache_base = cache_base;
    stream->cache_cursor = cache_base;
    stream->old_stream = old_stream;
    return &stream->base;
}

/* Window patch, size build (MIRV_PATCH_SMALL): the same patch as patch_window.c, written for
 * 32-bit devices in one file that reads top to bottom like the window diff: the head, then the
 * body's skip block, then per window its descriptors (a block at a time), its cover count and
 * its steps of covers and run bytes.
 *
 * What makes it small:
 * - sizes and positions are 32 bits; a diff of 4 GiB or more or a head whose numbers reach
 *   2^32 - 1 is refused, and a body
 *   number that large is held as 2^32 - 1, which every check then refuses as the default build
 *   refuses the real value (the head's sizes are all smaller);
 * - the head, at most mirv_kMaxWindowHeadSize bytes, is read once into the caller's head record,
 *   parsed there and kept for the diff's checksum;
 * - each window is read whole from the old data, where the default build moves the bytes it
 *   shares with the window before and reads only the rest: more old reads, less code;
 * - the old bytes of a cover go straight from the window into the output cache, where the run
 *   bytes are added, and the caches take what the fixed reserve leaves beside the state;
 * - no C library at all, no tables, no static data;
 * - the frames under the decoder's reads stay small: reads with their 64-bit positions go
 *   through one function of their own, and the numbers being read live in the state;
 * - GCC is asked not to copy blocks for jump threading and path merging (below).
 * Work memory: window, step memory, then (8-aligned) the state, the ring of window descriptors
 * and the body and output caches, mirv_WINDOW_PATCH_SMALL_MEM_SIZE bytes in all.
 *
 * The result codes follow the default build's order of checks exactly.  The one thing left to
 * the caches is how much output a failing patch has already handed out, which may turn a
 * failure reported as 7 in one build into 10 or 11 in the other. */
#if defined(MIRV_PATCH_SMALL)
#include "mirv_patch.h"

#if defined(__GNUC__)
#define SMALL_NOINLINE __attribute__((noinline))
#define SMALL_INLINE   static inline __attribute__((always_inline))
#else
#define SMALL_NOINLINE
#define SMALL_INLINE   static inline
#endif
/* At -Os GCC still copies blocks to thread jumps and to merge paths; in this file, where the
 * checks branch to a few shared exits, those copies cost about 150 bytes of code and some
 * stack, and save no time that matters on a device. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-thread-jumps", "no-tree-dominator-opts", "no-tree-tail-merge", "no-tree-ch", \
                     "no-ssa-phiopt", "no-move-loop-invariants")
#endif
/* Keeps GCC from turning the byte loops back into calls of the C library. */
#if defined(__GNUC__) && !defined(__clang__)
#define SMALL_NO_LIBCALLS __attribute__((optimize("no-tree-loop-distribute-patterns")))
#else
#define SMALL_NO_LIBCALLS
#endif

#define kNoNumber 0xFFFFFFFFu /* a number of 32 bits or more */
#define kUnsigned 0u /* next_number's origin for an unsigned number */
#define kStepMemSlack (4u * 1024 * 1024)
#define kMaxPackedWindow 11u /* a packed number read from a stream takes at most this many bytes */
#define kMinBodyCache 16u
#define kMinOutCache 48u /* also holds a finished checksum: the head leaves at most 38 bytes for one */

typedef struct {
    uint32_t pos, length;
} TWindow;

/* The three checksums, in the order the head stores them. */
enum { kOldSum, kNewSum, kDiffSum };

typedef struct {
    mirv_windowDiffInfo*      info;
    const mirv_TStreamInput*  old;
    const mirv_TStreamInput*  diff;
    const mirv_TStreamInput*  source; /* where the body comes from: the diff, or sum_stream summing it */
    const mirv_TStreamOutput* out;
    mirv_TDecompress*         plugin;
    void*                     handle; /* the open decoder of a compressed body */
    mirv_TChecksum*           checksum;
    void*                     sums[3];
    unsigned char*            window; /* the work memory's first byte */
    TWindow*                  ring;
    unsigned char*            body_cache;
    unsigned char*            out_cache;
    uint32_t                  body_cache_size, out_cache_size;
    /* the body: fetched front to back from the diff (or its decoder), through body_cache */
    uint32_t                  source_pos; /* the diff's size fits 32 bits */
    uint32_t                  source_left;
    uint32_t                  cached, cache_at;
    /* the output: out_used bytes cached after the written ones */
    uint32_t                  out_used, written;
    /* the windows */
    uint32_t                  described, last_end, covers_left;
    /* the step: its covers, its run chain and the old end of the last cover */
    const unsigned char*      covers;
    const unsigned char*      covers_end;
    const unsigned char*      runs;
    const unsigned char*      runs_end;
    uint32_t                  run_left, adding, old_end; /* the run being passed: skipped or added */
    uint32_t                  cover[3]; /* old position, gap and length of the cover being read */
    /* sums the diff from the body on; reads must come front to back */
    mirv_TStreamInput         sum_stream;
    uint32_t                  sum_next;
} TSmallPatch;

typedef char check_reserve[sizeof(TSmallPatch) + 7 + kMinBodyCache + kMinOutCache <= mirv_kWindowPatchSmallReserve
                               ? 1 : -1];
#if UINTPTR_MAX == 0xFFFFFFFFu
/* the head record's size in the RAM figures of mirv_device_plugins.h */
typedef char check_head_record[sizeof(mirv_windowDiffInfo) == 224 ? 1 : -1];
#endif
typedef char check_head_fits_cache[(mirv_kMaxWindowHeadSize - 10) / 3 <= kMinOutCache ? 1 : -1];

static SMALL_NO_LIBCALLS void copy_bytes(unsigned char* dst, const unsigned char* src, uint32_t n) {
    while (n--) *dst++ = *src++;
}

static SMALL_NOINLINE mirv_BOOL same_bytes(const unsigned char* a, const unsigned char* b, uint32_t n) {
    while (n--)
        if (*a++ != *b++) return 0;
    return 1;
}

static SMALL_NO_LIBCALLS void clear_bytes(unsigned char* dst, uint32_t n) {
    while (n--) *dst++ = 0;
}

/* Reads stream bytes at pos.  A call of its own: the read's 64-bit position and arguments on the
 * stack would widen the frames of its callers, some of which lie under the decoder's reads, and
 * cost code at every call. */
static SMALL_NOINLINE mirv_BOOL read_at(const mirv_TStreamInput* stream, uint32_t pos, unsigned char* out,
                                          unsigned char* out_end) {
    return stream->read(stream, pos, out, out_end);
}

/* ---- packed numbers ---- */

/* A packed number from [in, end), read as the default build reads it (null when cut short or
 * above 2^64 - 1, else just after it) and held in 32 bits.  With origin kUnsigned it is unsigned
 * and saturated at kNoNumber; with any other it is signed (the sign in the top bit, so one tag
 * bit) and taken as a step from the position origin - 1 (positions lie below kNoNumber), modulo
 * 2^64 like the default build's, with a position outside 32 bits as kNoNumber, which no range
 * check passes. */
static SMALL_NOINLINE const unsigned char* next_number(const unsigned char* in, const unsigned char* end,
                                                      uint32_t* out, uint32_t origin) {
    const unsigned k = origin != kUnsigned; /* tag bits */
    const uint32_t base = origin - 1;
    uint32_t low, high = 0;              /* the 64-bit value in two halves */
    unsigned byte, first;
    if (in >= end) return NULL;
    first = byte = *in++;
    low = byte & (0x7Fu >> k);
    if (byte & (0x80u >> k)) {
        do {
            if ((high >> 25) || in >= end) return NULL;
            byte = *in++;
            high = (high << 7) | (low >> 25);
            low = (low << 7) | (byte & 0x7F);
        } while (byte & 0x80);
    }
    if (k) {
        if (first & 0x80) {
            high = 0u - high - (base < low);
            low = base - low;
        } else {
            low += base;
            high += low < base;
        }
    }
    *out = high || low == kNoNumber ? kNoNumber : low;
    return in;
}

/* ---- the head ---- */

static SMALL_NOINLINE mirv_BOOL read_head(mirv_windowDiffInfo* info, const mirv_TStreamInput* diff,
                                          uint32_t head_pos) {
    unsigned char* head = info->head;
    const unsigned char *cursor = head + 10, *end;
    mirv_TWindowSize* number = &info->compressed_size; /* the twelve numbers lie in the head's order */
    uint32_t size, room, cs, avail;
    char* name;
    unsigned len;
    int i;
    /* positions in the diff are 32 bits too (a head position of kNoNumber is refused here) */
    if (diff->size >= kNoNumber || head_pos > diff->size) return 0;
    avail = (uint32_t)diff->size - head_pos;
    if (avail < 10 || !read_at(diff, head_pos, head, head + 10)) return 0;
    if (!same_bytes(head, (const unsigned char*)"QORVNW26", 8)) return 0;
    size = 10 + ((uint32_t)head[8] | ((uint32_t)head[9] << 8));
    if (size > mirv_kMaxWindowHeadSize || avail < size ||
        !read_at(diff, head_pos + 10, head + 10, head + size))
        return 0;
    end = head + size;
    /* the two names: "compress&checksum", then a zero */
    for (name = info->compress_type, len = 0;;) {
        char c;
        if (len == mirv_kWindowTypeNameSize || cursor >= end) return 0;
        c = (char)*cursor++;
        if (c == (name == info->compress_type ? '&' : '\0')) {
            name[len] = '\0';
            if (name != info->compress_type) break;
            name = info->checksum_type;
            len = 0;
        } else {
            if (c == 0) return 0;
            name[len++] = c;
        }
    }
    for (i = 0; i < 12; ++i) {
        const unsigned char* limit = end - cursor > (long)kMaxPackedWindow ? cursor + kMaxPackedWindow : end;
        cursor = next_number(cursor, limit, &number[i], kUnsigned);
        if (!cursor || number[i] == kNoNumber) return 0;
        if (i == 0) info->compressed_size_end = (uint32_t)(cursor - head);
    }
    info->items_end = (uint32_t)(cursor - head);
    info->head_size = size;
    room = size - info->items_end;
    cs = info->checksum_size;
    if (cs > room || 3 * cs > room) return 0;
    info->checksums_begin = size - 3 * cs;
    if (info->ring_size < 2 || info->ring_size > 64 || (info->ring_size & (info->ring_size - 1))) return 0;
    if ((info->checksum_type[0] == '\0') != (cs == 0)) return 0;
    if (info->window_size > info->old_size) return 0;
    if (info->window_size && !info->window_count) return 0;
    if (info->compressed_size > info->uncompressed_size) return 0;
    /* the step memory is at most the smaller of the new and body sizes plus a slack */
    room = info->new_size < info->uncompressed_size ? info->new_size : info->uncompressed_size;
    return info->step_mem_size <= kStepMemSlack || info->step_mem_size - kStepMemSlack <= room;
}

mirv_BOOL getWindowDiffInfo(mirv_windowDiffInfo* out_info, const mirv_TStreamInput* diff, uint64_t head_pos) {
    return read_head(out_info, diff, head_pos < kNoNumber ? (uint32_t)head_pos : kNoNumber);
}

/* ---- the output, through its cache ---- */

static mirv_BOOL out_flush(TSmallPatch* p) {
    if (p->out_used) {
        if (!p->out->write(p->out, p->written, p->out_cache, p->out_cache + p->out_used)) return 0;
        if (p->sums[kNewSum]) p->checksum->append(p->sums[kNewSum], p->out_cache, p->out_cache + p->out_used);
        p->written += p->out_used;
        p->out_used = 0;
    }
    return 1;
}

/* ---- the body, through its cache ---- */

static mirv_BOOL sum_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out, unsigned char* out_end) {
    TSmallPatch* p = (TSmallPatch*)stream->owner;
    /* a byte read twice or skipped would be summed twice or not at all */
    if (pos != p->sum_next || !read_at(p->diff, p->sum_next, out, out_end)) return 0;
    p->checksum->append(p->sums[kDiffSum], out, out_end);
    p->sum_next += (uint32_t)(out_end - out);
    return 1;
}

/* At least n body bytes in the cache (n at most its size), the unread ones moved to its front
 * first; null when the body holds fewer or a read fails. */
static const unsigned char* body_peek(TSmallPatch* p, uint32_t n) {
    if (p->cached < n) {
        unsigned char* cache = p->body_cache;
        uint32_t take = p->body_cache_size - p->cached;
        copy_bytes(cache, cache + p->cache_at, p->cached);
        p->cache_at = 0;
        if (take > p->source_left) take = p->source_left;
        if (take) {
            unsigned char *to = cache + p->cached, *to_end = to + take;
            if (p->handle) {
                if (!p->plugin->decompress_part(p->handle, to, to_end)) return NULL;
            } else if (!read_at(p->source, p->source_pos, to, to_end)) {
                return NULL;
            }
            p->source_pos += take;
            p->source_left -= take;
            p->cached += take;
        }
        if (p->cached < n) return NULL;
    }
    return p->body_cache + p->cache_at;
}

static void body_consume(TSmallPatch* p, uint32_t n) {
    p->cache_at += n;
    p->cached -= n;
}

/* The next body number, as next_number reads it. */
static SMALL_NOINLINE mirv_BOOL body_number(TSmallPatch* p, uint32_t* value, uint32_t origin) {
    uint32_t left = p->cached + p->source_left;
    uint32_t n = left < kMaxPackedWindow ? left : kMaxPackedWindow;
    const unsigned char* data = body_peek(p, n);
    const unsigned char* after = data ? next_number(data, data + n, value, origin) : NULL;
    if (!after) return 0;
    body_consume(p, (uint32_t)(after - data));
    return 1;
}

#define body_uint(p, value) body_number(p, value, kUnsigned)

/* ---- a step: covers and the run chain over their old bytes ---- */

/* Adds the next n bytes of the run chain (skip count, add count and its bytes, skip count, ...)
 * onto data. */
static SMALL_NOINLINE mirv_BOOL add_runs(TSmallPatch* p, unsigned char* data, uint32_t n) {
    while (n) {
        uint32_t t = p->run_left < n ? p->run_left : n;
        if (!t) {
            /* the next count: an add count when a skip count came before */
            if (!(p->runs = next_number(p->runs, p->runs_end, &p->run_left, kUnsigned))) return 0;
            p->adding = !p->adding;
            if (p->adding && p->run_left > (uint32_t)(p->runs_end - p->runs)) return 0;
            continue;
        }
        if (p->adding) {
            uint32_t i;
            for (i = 0; i < t; ++i) data[i] = (unsigned char)(data[i] + p->runs[i]);
            p->runs += t;
        }
        p->run_left -= t;
        data += t;
        n -= t;
    }
    return 1;
}

/* Puts n bytes into the output cache, flushing it whenever it is full; with_runs adds the run
 * chain's next n bytes onto them there. */
static SMALL_NOINLINE mirv_BOOL out_put(TSmallPatch* p, const unsigned char* src, uint32_t n, mirv_BOOL with_runs) {
    while (n) {
        unsigned char* to = p->out_cache + p->out_used;
        uint32_t t = p->out_cache_size - p->out_used;
        if (!t) {
            if (!out_flush(p)) return 0;
            continue;
        }
        if (t > n) t = n;
        copy_bytes(to, src, t);
        if (with_runs && !add_runs(p, to, t)) return 0;
        p->out_used += t;
        src += t;
        n -= t;
    }
    return 1;
}

/* Moves the next n body bytes to dst, or to the output when dst is null, or drops them when dst
 * is the body cache itself. */
static SMALL_NOINLINE mirv_BOOL body_pass(TSmallPatch* p, unsigned char* dst, uint32_t n) {
    while (n) {
        const unsigned char* src = body_peek(p, 1);
        uint32_t t = p->cached < n ? p->cached : n;
        if (!src) return 0;
        if (!dst) {
            if (!out_put(p, src, t, 0)) return 0;
        } else if (dst != p->body_cache) {
            copy_bytes(dst, src, t);
            dst += t;
        }
        body_consume(p, t);
        n -= t;
    }
    return 1;
}

/* Reads the next step's cover and run buffers into the step memory. */
static SMALL_NOINLINE mirv_BOOL step_begin(TSmallPatch* p) {
    const mirv_windowDiffInfo* info = p->info;
    uint32_t covers_size, runs_size;
    if (!body_uint(p, &covers_size) || !body_uint(p, &runs_size)) return 0;
    if (covers_size > info->step_mem_size || runs_size > info->step_mem_size - covers_size) return 0;
    /* the step memory follows the window */
    p->covers = p->window + info->window_size;
    if (!body_pass(p, (unsigned char*)p->covers, covers_size + runs_size)) return 0;
    p->covers_end = p->runs = p->covers + covers_size;
    p->runs_end = p->runs + runs_size;
    p->run_left = 0;
    p->adding = 1; /* a skip count comes first */
    return 1;
}

/* Decodes and applies the next cover of the step: the new bytes of its gap from the body, then
 * its old bytes from the window with the run bytes added. */
static SMALL_NOINLINE mirv_BOOL step_cover(TSmallPatch* p, uint32_t window_length) {
    uint32_t old_pos, gap, length, room;
    int i;
    /* into the state rather than the stack: this frame lies under the body's reads */
    for (i = 0; i < 3; ++i)
        if (!(p->covers = next_number(p->covers, p->covers_end, &p->cover[i], i ? kUnsigned : p->old_end + 1))) return 0;
    old_pos = p->cover[0];
    gap = p->cover[1];
    length = p->cover[2];
    room = p->info->new_size - p->written - p->out_used;
    if (gap > room || !body_pass(p, NULL, gap)) return 0;
    --p->covers_left;
    /* only the last cover may be empty: its gap carries the new data's tail */
    if (length == 0) return p->covers_left == 0;
    if (old_pos > window_length || length > window_length - old_pos || length > room - gap) return 0;
    p->old_end = old_pos + length;
    return out_put(p, p->window + old_pos, length, 1);
}

/* ---- the windows ---- */

/* Reads the next count window descriptors into the ring, fewer when fewer windows are left. */
static SMALL_NOINLINE mirv_BOOL read_windows(TSmallPatch* p, uint32_t count) {
    const mirv_windowDiffInfo* info = p->info;
    for (; count && p->described < info->window_count; --count) {
        TWindow* w = &p->ring[p->described & (info->ring_size - 1)];
        if (!body_uint(p, &w->length) || w->length > info->window_size || !body_number(p, &w->pos, p->last_end + 1))
            return 0;
        if (w->pos > info->old_size || w->length > info->old_size - w->pos) return 0;
        p->last_end = w->pos + w->length;
        ++p->described;
    }
    return 1;
}

/* Opens the decoder of the compressed body. */
static inline mirv_BOOL open_decoder(TSmallPatch* p) {
    const mirv_windowDiffInfo* info = p->info;
    if (!p->plugin) return 0;
    p->handle = p->plugin->open(p->plugin, info->uncompressed_size, p->source, p->source_pos,
                                p->source_pos + info->compressed_size);
    return p->handle != NULL;
}

/* Applies the body; true when exactly the new data was written and the body used up. */
static SMALL_NOINLINE mirv_BOOL apply_body(TSmallPatch* p) {
    const mirv_windowDiffInfo* info = p->info;
    const uint32_t ring_mask = info->ring_size - 1, half_mask = ring_mask >> 1;
    uint32_t i;
    /* the body must lie inside the diff */
    if ((info->compressed_size ? info->compressed_size : info->uncompressed_size) >
        (uint32_t)p->diff->size - p->source_pos)
        return 0;
    if (info->compressed_size && !open_decoder(p)) return 0;
    p->source_left = info->uncompressed_size;
    if (!body_pass(p, p->body_cache, info->skip_size)) return 0;
    for (i = 0; i < info->window_count; ++i) {
        const TWindow* next;
        if ((i & half_mask) == 0 && !read_windows(p, i == 0 ? info->ring_size : half_mask + 1)) return 0;
        /* (window i is described: the reads above stay ring_size / 2 or more windows ahead) */
        if (!body_uint(p, &p->covers_left) || p->covers_left > info->max_step_covers) return 0;
        next = &p->ring[i & ring_mask];
        /* the window is read whole, the bytes it shares with the one before included: moving
         * those instead would save reads but cost code */
        if (next->length && !read_at(p->old, next->pos, p->window, p->window + next->length)) return 0;
        if (p->sums[kOldSum]) p->checksum->append(p->sums[kOldSum], p->window, p->window + next->length);
        /* old positions count from the window's start */
        p->old_end = 0;
        while (p->covers_left) {
            if (!step_begin(p)) return 0;
            while (p->covers != p->covers_end) {
                /* a buffer holding more covers than the head counts is bad data */
                if (p->covers_left == 0 || !step_cover(p, next->length)) return 0;
            }
        }
    }
    return out_flush(p) && p->written == info->new_size && (p->cached | p->source_left) == 0;
}

/* ---- checks and result ---- */

/* True when checksum k, finished, equals the one the head stores. */
static SMALL_NOINLINE mirv_BOOL checksum_equal(TSmallPatch* p, int k) {
    const uint32_t size = p->info->checksum_size;
    const unsigned char* stored = p->info->head + p->info->checksums_begin + (uint32_t)k * size;
    p->checksum->end(p->sums[k], p->out_cache, p->out_cache + size);
    return same_bytes(p->out_cache, stored, size);
}

/* The rest of the diff after what the body read, then the head up to the diff checksum. */
static inline mirv_BOOL finish_diff_checksum(TSmallPatch* p) {
    const uint32_t diff_end = (uint32_t)p->diff->size;
    while (p->sum_next < diff_end) {
        uint32_t n = diff_end - p->sum_next < p->out_cache_size ? diff_end - p->sum_next : p->out_cache_size;
        if (!sum_read(&p->sum_stream, p->sum_next, p->out_cache, p->out_cache + n)) return 0;
    }
    p->checksum->append(p->sums[kDiffSum], p->info->head,
                        p->info->head + p->info->checksums_begin + 2 * p->info->checksum_size);
    return 1;
}

SMALL_INLINE int run(TSmallPatch* p) {
    const mirv_windowDiffInfo* info = p->info;
    mirv_BOOL patched, new_differs = 0;

    patched = apply_body(p);
    if (p->handle && !p->plugin->close(p->plugin, p->handle)) patched = 0;
    if (p->sums[kNewSum]) {
        new_differs = !checksum_equal(p, kNewSum);
        /* verified new data is the answer only when the patch also ran to its end */
        if (patched && !new_differs) return mirv_kWindowPatchOk;
    }
    if (p->sums[kDiffSum]) {
        if (!finish_diff_checksum(p)) return mirv_kWindowPatchFailed;
        if (!checksum_equal(p, kDiffSum)) return mirv_kWindowPatchDiffChecksumError;
    }
    if (!patched) {
        if (p->old->size != info->old_size) return mirv_kWindowPatchOldSizeError;
        if (!new_differs) return mirv_kWindowPatchFailed;
        /* new data cut short is wrong whatever the old data was; a whole one that came out
         * wrong blames the old data when its checksum says so, as after a patch that ran */
        if (p->written != info->new_size) return mirv_kWindowPatchNewChecksumError;
    }
    if (p->sums[kOldSum] && !checksum_equal(p, kOldSum)) return mirv_kWindowPatchOldChecksumError;
    return new_differs ? mirv_kWindowPatchNewChecksumError : mirv_kWindowPatchOk;
}

/* What setting the patch up hands back to the call. */
typedef struct {
    mirv_windowDiffInfo*       info;
    unsigned char*             mem; /* the listener's memory, once handed out */
    unsigned char*             mem_end;
    TSmallPatch*               patch; /* set once the state is in the memory */
} TCall;

/* begin hands the memory back through these results only (on the others the listener holds
 * none): the four results before on_diff_info are never returned after it. */
static mirv_BOOL listener_handed(int result) {
    return result < mirv_kWindowPatchHeadError || result > mirv_kWindowPatchListenerRefused;
}

/* Everything before the body; returns a result, or -1 when the body is to be applied. */
static SMALL_NOINLINE int begin(TCall* call, mirv_TWindowPatchListener* listener,
                                const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                const mirv_TStreamInput* diff, uint32_t head_pos) {
    mirv_windowDiffInfo* info = call->info;
    unsigned char **mem = &call->mem, **mem_end = &call->mem_end;
    mirv_TDecompress* plugin = NULL;
    mirv_TChecksum* checksum = NULL;
    mirv_BOOL check[3] = {0, 0, 0};
    TSmallPatch* p;
    unsigned char* rest;
    uint32_t rest_size;
    size_t need;
    int k;
    if (!info || !diff || !read_head(info, diff, head_pos)) return mirv_kWindowPatchHeadError;
    if (!out_new || out_new->size < info->new_size) return mirv_kWindowPatchOutputTooSmall;
    if (!old) return mirv_kWindowPatchOldSizeError;
    if (!listener || !listener->on_diff_info) return mirv_kWindowPatchListenerRefused;
    check[kNewSum] = info->checksum_size != 0;
    if (!listener->on_diff_info(listener, info, &plugin, &checksum, &check[kNewSum], &check[kOldSum],
                                &check[kDiffSum], mem, mem_end))
        return mirv_kWindowPatchListenerRefused;
    /* window and step memory, then the ring (at most 64 descriptors) and the reserve */
    need = (size_t)info->window_size + info->step_mem_size;
    if (!*mem || *mem_end <= *mem || need < info->window_size || need > (size_t)(*mem_end - *mem) ||
        (size_t)(*mem_end - *mem) - need < 8 * info->ring_size + mirv_kWindowPatchSmallReserve)
        return mirv_kWindowPatchMemoryError;
    /* a diff without checksums checks none */
    if (!info->checksum_size) check[kOldSum] = check[kNewSum] = check[kDiffSum] = 0;
    if ((check[kOldSum] || check[kNewSum] || check[kDiffSum]) &&
        (!checksum || !checksum->checksum_size || checksum->checksum_size() != info->checksum_size))
        return mirv_kWindowPatchChecksumPluginError;
    /* window, step memory, then the state, the ring and the two caches */
    rest = *mem + info->window_size + info->step_mem_size;
    rest += (0u - (uintptr_t)rest) & 7;
    p = (TSmallPatch*)rest;
    clear_bytes(rest, sizeof(*p));
    call->patch = p;
    p->info = info;
    p->old = old;
    p->diff = p->source = diff;
    p->out = out_new;
    p->plugin = plugin;
    p->checksum = checksum;
    p->window = *mem;
    p->ring = (TWindow*)(p + 1);
    rest = (unsigned char*)(p->ring + info->ring_size);
    rest_size = (uint32_t)(*mem_end - rest);
    p->body_cache_size = rest_size >> 2;
    p->body_cache = rest;
    p->out_cache = rest + p->body_cache_size;
    p->out_cache_size = rest_size - p->body_cache_size;
    p->source_pos = head_pos + info->head_size; /* the head lies inside the diff */
    for (k = kOldSum; k <= kDiffSum; ++k) {
        if (!check[k]) continue;
        if (!(p->sums[k] = checksum->open(checksum))) return mirv_kWindowPatchChecksumOpenError;
        checksum->begin(p->sums[k]);
    }
    if (p->sums[kDiffSum]) {
        p->source = &p->sum_stream;
        p->sum_stream.owner = p;
        p->sum_stream.size = diff->size;
        p->sum_stream.read = sum_read;
        p->sum_next = p->source_pos; /* the diff's checksum starts at the body */
    }
    return -1;
}

int patch_window_diff_with_info(mirv_windowDiffInfo* info, mirv_TWindowPatchListener* listener,
                                const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                const mirv_TStreamInput* diff, uint64_t head_pos) {
    TCall call;
    TSmallPatch* p;
    int result, k;
    call.info = info;
    call.mem = call.mem_end = NULL;
    call.patch = NULL;
    result = begin(&call, listener, out_new, old, diff, head_pos < kNoNumber ? (uint32_t)head_pos : kNoNumber);
    if (!listener_handed(result)) return result;
    p = call.patch;
    if (p) {
        if (result < 0) result = run(p);
        for (k = kOldSum; k <= kDiffSum; ++k)
            if (p->sums[k]) p->checksum->close(p->checksum, p->sums[k]);
    }
    /* the listener gets its memory back on every result after it handed it out */
    if (listener->on_patch_finish) listener->on_patch_finish(listener, call.mem, call.mem_end);
    return result;
}

int patch_window_diff(mirv_TWindowPatchListener* listener, const mirv_TStreamOutput* out_new,
                      const mirv_TStreamInput* old, const mirv_TStreamInput* diff, uint64_t head_pos) {
    mirv_windowDiffInfo info;
    return patch_window_diff_with_info(&info, listener, out_new, old, diff, head_pos);
}

#else
typedef int mirvp_window_small_unused; /* a file may not be empty */
#endif /* MIRV_PATCH_SMALL */

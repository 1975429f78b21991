/* Window patch: the old data is read as a sequence of bounded windows, each loaded into one
 * buffer reusing the bytes it shares with the window before, and every window step's covers
 * are applied by the step loop against it.  Checksums of the old data, the new data and the
 * diff can be verified through the checksum plug-in.
 *
 * All state of a running patch lives at the end of the listener's work memory, so that the
 * call needs only a few hundred bytes of stack on a device. */
#include <string.h>

#include "patch_heads.h"
#include "patch_step.h"
#include "patch_streams.h"

/* The size build's window patch is patch_window_small.c. */
#if !defined(MIRV_PATCH_SMALL)

#define kWindowMinMem mirv_kWindowPatchReserve
#define kMaxRingSize 64
/* The head's checksums share its 4096 bytes three ways. */
#define kMaxChecksumSize (mirv_kMaxWindowHeadSize / 3)

typedef struct {
    uint64_t pos;
    uint64_t length;
} TWindow;

/* The three checksums, in the order the head stores them. */
enum { kOldSum, kNewSum, kDiffSum };

typedef struct {
    mirv_windowDiffInfo*      info;
    const unsigned char*      head; /* a copy of the head's bytes */
    const mirv_TStreamInput*  old;
    const mirv_TStreamInput*  diff; /* the diff, through the checksum stream when checked */
    const mirv_TStreamOutput* out;  /* the output, likewise */
    uint64_t                  body_begin, body_end;
    mirv_TDecompress*         plugin;
    mirv_TChecksum*           checksum;
    void*                     sums[3]; /* checksum handles in the stored order; null when not checked */
    unsigned char*            mem;     /* the work memory; the window buffer comes first */
    unsigned char*            mem_end; /* where this record starts: the end of what the patch splits */
    /* where the window steps stand */
    TWindow                  prev;
    uint64_t                  described, last_end;
    TUncompresser             view;
    TChecksumInputStream      diff_stream;
    TChecksumOutputStream     new_stream;
    TStreamCacheClip          body_reader;
    TOutStreamCache           out_cache;
    mirvp_TStepLoop                loop;
    mirv_TStreamInput         window_stream;
    TWindow                  ring[kMaxRingSize]; /* only the head's ring size of them is kept */
} TWindowPatch;

/* The record and the head's copy take at most half of the 12288 bytes that every patch is given
 * beside its window and step memory, so each of the three caches keeps at least 2 KiB. */
typedef char check_state_fits[sizeof(TWindowPatch) + mirv_kMaxWindowHeadSize + 8 <= kWindowMinMem / 2 ? 1 : -1];

/* One call's arguments, and what setting the patch up hands back to it. */
typedef struct {
    mirv_windowDiffInfo*       info;
    mirv_TWindowPatchListener* listener;
    const mirv_TStreamOutput*  out_new;
    const mirv_TStreamInput*   old;
    const mirv_TStreamInput*   diff;
    uint64_t                   head_pos;
    unsigned char*             mem; /* the listener's memory, once handed out */
    unsigned char*             mem_end;
    mirv_BOOL                  handed;
    TWindowPatch*             patch; /* set once the record is in the memory */
} TWindowCall;

/* The buffer holds prev from its first byte; makes it hold next there, moving the bytes both
 * windows share and reading only the ones before and after them. */
static MIRVP_NOINLINE mirv_BOOL slide_window(const mirv_TStreamInput* old, unsigned char* buf, const TWindow* prev,
                                             const TWindow* next) {
    const uint64_t prev_end = prev->pos + prev->length, next_end = next->pos + next->length;
    uint64_t shared_begin = prev->pos > next->pos ? prev->pos : next->pos;
    uint64_t shared_end = prev_end < next_end ? prev_end : next_end;
    size_t front;
    if (shared_begin >= shared_end) shared_begin = shared_end = next_end; /* nothing shared: read it all */
    front = (size_t)(shared_begin - next->pos);
    if (shared_end > shared_begin)
        memmove(buf + front, buf + (size_t)(shared_begin - prev->pos), (size_t)(shared_end - shared_begin));
    if (front && !old->read(old, next->pos, buf, buf + front)) return 0;
    return shared_end == next_end ||
           old->read(old, shared_end, buf + (size_t)(shared_end - next->pos), buf + (size_t)next->length);
}

/* x / 3, without the division routine that a Cortex-M0 would have to link for it. */
static size_t third(size_t x) {
    size_t q = (x >> 2) + (x >> 4), r;
    q += q >> 4;
    q += q >> 8;
    q += q >> 16;
#if SIZE_MAX > 0xFFFFFFFFu
    q += q >> 32;
#endif
    r = x - q * 3; /* at most 15 */
    return q + ((r * 11) >> 5);
}

/* Reads the next count descriptors into the ring. */
static MIRVP_NOINLINE mirv_BOOL read_windows(TWindowPatch* p, uint64_t count) {
    const mirv_windowDiffInfo* info = p->info;
    const size_t ring_mask = (size_t)info->ring_size - 1;
    for (; count; --count) {
        TWindow* w = &p->ring[(size_t)p->described & ring_mask];
        if (!mirvp_clip_read_uint(&p->body_reader, &w->length, 0) || w->length > info->window_size)
            return 0;
        w->pos = p->last_end;
        /* a window must lie inside the old data, so that its end can't wrap */
        if (!mirvp_clip_read_signed_pos(&p->body_reader, &w->pos) || !mirvp_range_in(w->pos, w->length, info->old_size))
            return 0;
        p->last_end = w->pos + w->length;
        ++p->described;
    }
    return 1;
}

/* Sets the body reader, the output cache and the step loop up over the memory after the
 * window buffer, once the skip block is dropped. */
static MIRVP_NOINLINE mirv_BOOL window_body_begin(TWindowPatch* p) {
    const mirv_windowDiffInfo* info = p->info;
    const mirv_TStreamInput* body = p->diff;
    uint64_t begin = p->body_begin, end = p->body_end;
    unsigned char* rest = p->mem + (size_t)info->window_size;
    size_t rest_size = (size_t)(p->mem_end - rest), piece;
    mirvp_TStepLoop* loop = &p->loop;
    if (info->compressed_size) {
        if (!p->plugin || !compressed_stream_as_uncompressed(&p->view, info->uncompressed_size, p->plugin, p->diff,
                                                             begin, end))
            return 0;
        body = &p->view.base;
        begin = 0;
        end = info->uncompressed_size;
    }
    /* the skip block is read and dropped through the body reader's cache */
    piece = third(rest_size - (size_t)info->step_mem_size);
    mirvp_clip_init(&p->body_reader, body, begin, end, rest, piece);
    if (!mirvp_clip_skip(&p->body_reader, info->skip_size)) return 0;
    mirvp_out_init(&p->out_cache, p->out, rest + piece, piece);
    loop->body = &p->body_reader;
    loop->out = &p->out_cache;
    loop->new_size = info->new_size;
    loop->old = &p->window_stream;
    loop->step_mem = rest + 2 * piece;
    loop->step_mem_size = (size_t)info->step_mem_size;
    loop->tmp = loop->step_mem + loop->step_mem_size;
    loop->tmp_size = piece;
    return 1;
}

/* Applies the body; true when exactly the new data was written and the body used up. */
static MIRVP_NOINLINE mirv_BOOL window_apply(TWindowPatch* p) {
    const mirv_windowDiffInfo* info = p->info;
    const size_t ring_mask = (size_t)info->ring_size - 1, half_mask = ring_mask >> 1;
    mirvp_TStepLoop* loop = &p->loop;
    uint64_t i;
    if (!window_body_begin(p)) return 0;
    for (i = 0; i < info->window_count; ++i) {
        const TWindow* next;
        if (((size_t)i & half_mask) == 0 && p->described < info->window_count) {
            uint64_t block = i == 0 ? info->ring_size : half_mask + 1;
            if (block > info->window_count - p->described) block = info->window_count - p->described;
            if (!read_windows(p, block)) return 0;
        }
        if (i >= p->described) return 0;
        if (!mirvp_clip_read_uint(&p->body_reader, &loop->covers_left, 0) ||
            loop->covers_left > info->max_step_covers)
            return 0;
        next = &p->ring[(size_t)i & ring_mask];
        if (!slide_window(p->old, p->mem, &p->prev, next)) return 0;
        p->prev = *next;
        if (p->sums[kOldSum]) p->checksum->append(p->sums[kOldSum], p->mem, p->mem + (size_t)next->length);
        mem_as_mirvStreamInput(&p->window_stream, p->mem, p->mem + (size_t)next->length);
        /* old positions count from the window's start, new ones from the step's first byte */
        sspatch_covers_init(&loop->covers);
        if (!mirvp_step_loop(loop)) return 0;
    }
    if (!mirvp_out_flush(&p->out_cache)) return 0;
    return p->out_cache.write_pos == info->new_size && mirvp_clip_is_finished(&p->body_reader);
}

/* True when checksum k, finished, equals the one the head stores.  Checksums are finished only
 * after the last window step, so the spent window buffer takes the sum. */
static MIRVP_NOINLINE mirv_BOOL checksum_equal(TWindowPatch* p, int k) {
    size_t size = (size_t)p->info->checksum_size;
    p->checksum->end(p->sums[k], p->mem, p->mem + size);
    return memcmp(p->mem, p->head + (size_t)p->info->checksums_begin + (size_t)k * size, size) == 0;
}

/* The rest of the diff after what the body reads left, then the head up to the diff checksum. */
static mirv_BOOL finish_diff_checksum(TWindowPatch* p, const mirv_TStreamInput* diff) {
    /* the stream starts at the body, so a body of no bytes is summed from there too */
    uint64_t pos = p->diff_stream.next_pos;
    size_t buf_size = (size_t)(p->mem_end - p->mem);
    while (pos < diff->size) {
        size_t n = diff->size - pos < buf_size ? (size_t)(diff->size - pos) : buf_size;
        if (!diff->read(diff, pos, p->mem, p->mem + n)) return 0;
        p->checksum->append(p->sums[kDiffSum], p->mem, p->mem + n);
        pos += n;
    }
    p->checksum->append(p->sums[kDiffSum], p->head,
                        p->head + (size_t)(p->info->checksums_begin + 2 * p->info->checksum_size));
    return 1;
}

/* Applies the body and decides the result. */
static MIRVP_NOINLINE int window_run(TWindowPatch* p, const mirv_TStreamInput* diff) {
    const mirv_windowDiffInfo* info = p->info;
    mirv_BOOL patched, new_differs = 0;

    if (p->sums[kDiffSum]) {
        p->diff = mirvp_checksum_input_init(&p->diff_stream, diff, p->checksum, p->sums[kDiffSum]);
        p->diff_stream.next_pos = p->body_begin; /* the diff's checksum starts at the body */
    }
    if (p->sums[kNewSum])
        p->out = mirvp_checksum_output_init(&p->new_stream, p->out, p->checksum, p->sums[kNewSum]);
    /* a body that does not lie within the diff is a failed patch like any other bad data */
    patched = mirvp_add_u64(p->body_begin, info->compressed_size ? info->compressed_size : info->uncompressed_size,
                            &p->body_end) &&
              p->body_end <= diff->size && window_apply(p);
    if (!close_compressed_stream_as_uncompressed(&p->view)) patched = 0;

    if (p->sums[kNewSum]) {
        new_differs = !checksum_equal(p, kNewSum);
        /* verified new data is the answer; only a patch that also ran to its end can claim it, since
         * bytes the checksum saw may still have failed to reach the output */
        if (patched && !new_differs) return mirv_kWindowPatchOk;
    }
    if (p->sums[kDiffSum]) {
        if (!finish_diff_checksum(p, diff)) return mirv_kWindowPatchFailed;
        if (!checksum_equal(p, kDiffSum)) return mirv_kWindowPatchDiffChecksumError;
    }
    if (!patched) {
        if (p->old->size != info->old_size) return mirv_kWindowPatchOldSizeError;
        if (!new_differs) return mirv_kWindowPatchFailed;
        /* the whole new data came out wrong: blame the old data when its checksum says so */
        if (p->new_stream.next_pos == info->new_size && p->sums[kOldSum])
            return checksum_equal(p, kOldSum) ? mirv_kWindowPatchNewChecksumError : mirv_kWindowPatchOldChecksumError;
        return mirv_kWindowPatchNewChecksumError;
    }
    if (p->sums[kOldSum] && !checksum_equal(p, kOldSum)) return mirv_kWindowPatchOldChecksumError;
    return new_differs ? mirv_kWindowPatchNewChecksumError : mirv_kWindowPatchOk;
}

/* Everything before the body: reads the head, asks the listener, checks memory and plug-in,
 * sets the record up at the end of the memory, opens the checksums and copies the head there.
 * A frame of its own, so that the head reader's is gone while the body is applied.  Returns a
 * result, or -1 when the body is to be applied. */
static MIRVP_NOINLINE int window_begin(TWindowCall* call) {
    mirv_windowDiffInfo* info = call->info;
    mirv_TWindowPatchListener* listener = call->listener;
    TWindowHeadReader head;
    mirv_TDecompress* plugin = NULL;
    mirv_TChecksum* checksum = NULL;
    mirv_BOOL check[3] = {0, 0, 0};
    TWindowPatch* p;
    int k;
    uint64_t need;
    size_t state_size;
    unsigned char *state, *head_copy;
    if (!info || !call->diff || !mirvp_read_window_head(info, &head, call->diff, call->head_pos))
        return mirv_kWindowPatchHeadError;
    if (!call->out_new || call->out_new->size < info->new_size) return mirv_kWindowPatchOutputTooSmall;
    if (!call->old) return mirv_kWindowPatchOldSizeError;
    if (!listener || !listener->on_diff_info) return mirv_kWindowPatchListenerRefused;
    check[kNewSum] = info->checksum_size != 0;
    if (!listener->on_diff_info(listener, info, &plugin, &checksum, &check[kNewSum], &check[kOldSum],
                                &check[kDiffSum], &call->mem, &call->mem_end))
        return mirv_kWindowPatchListenerRefused;
    call->handed = 1;

    if (!call->mem || call->mem_end <= call->mem) return mirv_kWindowPatchMemoryError;
    if (!mirvp_add_u64(info->step_mem_size, info->window_size, &need) || !mirvp_add_u64(need, kWindowMinMem, &need) ||
        (uint64_t)(call->mem_end - call->mem) < need)
        return mirv_kWindowPatchMemoryError;
    if (info->checksum_size == 0 || !(check[kOldSum] || check[kNewSum] || check[kDiffSum])) {
        check[kOldSum] = check[kNewSum] = check[kDiffSum] = 0;
    } else if (!checksum || !checksum->checksum_size || checksum->checksum_size() != info->checksum_size ||
               info->checksum_size > kMaxChecksumSize) {
        return mirv_kWindowPatchChecksumPluginError;
    }
    /* the record with the head's ring size of windows, then the head's copy, take the end of the
     * memory, aligned for the record */
    state_size = sizeof(TWindowPatch) - sizeof(p->ring) + (size_t)info->ring_size * sizeof(TWindow);
    state = call->mem_end - state_size - (size_t)info->head_size;
    state -= (size_t)state & 7;
    head_copy = state + state_size;
    p = (TWindowPatch*)state;
    memset(p, 0, state_size);
    call->patch = p;
    p->info = info;
    p->head = head_copy;
    p->old = call->old;
    p->diff = call->diff;
    p->out = call->out_new;
    p->plugin = plugin;
    p->checksum = checksum;
    p->mem = call->mem;
    p->mem_end = state;
    p->body_begin = call->head_pos + info->head_size; /* the head lies inside the diff */
    for (k = kOldSum; k <= kDiffSum; ++k)
        if (check[k] && !(p->sums[k] = checksum->open(checksum))) return mirv_kWindowPatchChecksumOpenError;
    for (k = kOldSum; k <= kDiffSum; ++k)
        if (p->sums[k]) checksum->begin(p->sums[k]);
    /* the rest of the head, which also brings the diff up to the body */
    return mirvp_copy_window_head(info, &head, head_copy) ? -1 : mirv_kWindowPatchFailed;
}

int patch_window_diff_with_info(mirv_windowDiffInfo* info, mirv_TWindowPatchListener* listener,
                                const mirv_TStreamOutput* out_new, const mirv_TStreamInput* old,
                                const mirv_TStreamInput* diff, uint64_t head_pos) {
    TWindowCall call;
    TWindowPatch* p;
    int result, k;
    memset(&call, 0, sizeof(call));
    call.info = info;
    call.listener = listener;
    call.out_new = out_new;
    call.old = old;
    call.diff = diff;
    call.head_pos = head_pos;
    result = window_begin(&call);
    p = call.patch;
    if (result < 0) result = window_run(p, diff);
    if (p) {
        close_compressed_stream_as_uncompressed(&p->view);
        for (k = kOldSum; k <= kDiffSum; ++k)
            if (p->sums[k]) p->checksum->close(p->checksum, p->sums[k]);
    }
    /* the listener gets its memory back on every result after it handed it out */
    if (call.handed && listener->on_patch_finish) listener->on_patch_finish(listener, call.mem, call.mem_end);
    return result;
}

int patch_window_diff(mirv_TWindowPatchListener* listener, const mirv_TStreamOutput* out_new,
                      const mirv_TStreamInput* old, const mirv_TStreamInput* diff, uint64_t head_pos) {
    mirv_windowDiffInfo info;
    return patch_window_diff_with_info(&info, listener, out_new, old, diff, head_pos);
}

#endif /* !MIRV_PATCH_SMALL */

uint64_t mirvp_window_cache_size(uint64_t s1, uint64_t s2, uint64_t s3, uint64_t s4, uint64_t s5) {
    uint64_t m, t, extra;
    if (s1 == 0) return 0;
    m = s1 > s5 / 2 ? s5 : 2 * s1; /* the smaller of s5 and 2 * s1, without wrapping */
    if (!mirvp_add_u64(s2, s3, &t) || !mirvp_add_u64(t, m, &t) || s4 < t) return 0;
    if (s3 >= s4 - t) return m;
    extra = (s4 - t - s3) / 2;
    return extra > s5 - m ? s5 : m + extra;
}

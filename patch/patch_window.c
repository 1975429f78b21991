/* Window patch: the old data is read as a sequence of bounded windows, each loaded into one
 * buffer reusing the bytes it shares with the window before, and every window step's covers
 * are applied by the step loop against it.  Checksums of the old data, the new data and the
 * diff can be verified through the checksum plug-in. */
#include <string.h>

#include "patch_single_internal.h"

#define _kWindowMinMem 12288
#define _kMaxRingSize 64
/* The head's checksums share its 4096 bytes three ways. */
#define _kMaxChecksumSize (mirv_kMaxWindowHeadSize / 3)

typedef struct {
    uint64_t pos;
    uint64_t length;
} _TWindow;

typedef struct {
    const mirv_windowDiffInfo* info;
    const unsigned char*       head; /* the head's bytes, checksums at checksums_begin */
    const mirv_TStreamInput*   old;
    const mirv_TStreamInput*   diff; /* the diff, through the checksum stream when checked */
    const mirv_TStreamOutput*  out;  /* the output, likewise */
    uint64_t                   body_begin, body_end;
    mirv_TDecompress*          plugin;
    mirv_TChecksum*            checksum;
    void*                      old_sum; /* checksum handles; null when not checked */
    void*                      new_sum;
    void*                      diff_sum;
    unsigned char*             mem;
    unsigned char*             mem_end;
    TUncompresser              view;
} _TWindowPatch;

/* The buffer [buf, buf + buf_size) holds prev from buf + *at; makes it hold next (from the
 * new *at), reading only the bytes it lacks.  Shared bytes stay where they are when next fits
 * around them, else they move. */
static mirv_BOOL _slide_window(const mirv_TStreamInput* old, unsigned char* buf, size_t buf_size, size_t* at,
                               const _TWindow* prev, const _TWindow* next) {
    const uint64_t prev_end = prev->pos + prev->length, next_end = next->pos + next->length;
    const size_t length = (size_t)next->length;
    if (length == 0) {
        *at = 0;
        return 1;
    }
    if (next->pos >= prev->pos && next_end <= prev_end) {
        /* inside the previous window: nothing to read */
        *at += (size_t)(next->pos - prev->pos);
        return 1;
    }
    if (next->pos >= prev->pos && next->pos < prev_end) {
        /* starts inside and reaches beyond: read what follows the shared bytes */
        size_t from = *at + (size_t)(next->pos - prev->pos), shared = (size_t)(prev_end - next->pos);
        if (from > buf_size - length) {
            memmove(buf, buf + from, shared);
            from = 0;
        }
        *at = from;
        return old->read(old, prev_end, buf + from + shared, buf + from + length);
    }
    if (next->pos < prev->pos && next_end > prev->pos && prev->length) {
        /* starts before: read the bytes before the shared ones, and any after them */
        size_t front = (size_t)(prev->pos - next->pos);
        size_t shared = (size_t)((next_end < prev_end ? next_end : prev_end) - prev->pos);
        size_t to = 0;
        if (*at >= front && *at - front <= buf_size - length) to = *at - front;
        else memmove(buf + front, buf + *at, shared);
        *at = to;
        if (!old->read(old, next->pos, buf + to, buf + to + front)) return 0;
        return next_end <= prev_end ||
               old->read(old, prev_end, buf + to + (size_t)(prev_end - next->pos), buf + to + length);
    }
    *at = 0;
    return old->read(old, next->pos, buf, buf + length);
}

/* Reads the next count descriptors into the ring. */
static mirv_BOOL _read_windows(TStreamCacheClip* body, const mirv_windowDiffInfo* info, _TWindow* ring,
                               uint64_t* described, uint64_t count, uint64_t* last_end) {
    uint64_t k;
    for (k = 0; k < count; ++k) {
        _TWindow w;
        if (!_TStreamCacheClip_unpackUIntWithTag(body, &w.length, 0) || w.length > info->window_size) return 0;
        w.pos = *last_end;
        /* a window must lie inside the old data, so that its end can't wrap */
        if (!_read_sign_pos_byLastPos(body, &w.pos) || !_range_in(w.pos, w.length, info->old_size)) return 0;
        *last_end = w.pos + w.length;
        ring[*described % info->ring_size] = w;
        ++*described;
    }
    return 1;
}

/* Applies the body; true when exactly the new data was written and the body used up. */
static mirv_BOOL _window_apply(_TWindowPatch* p) {
    const mirv_windowDiffInfo* info = p->info;
    const mirv_TStreamInput* body;
    uint64_t begin, end, pos;
    unsigned char *window = p->mem, *rest = p->mem + (size_t)info->window_size;
    size_t rest_size = (size_t)(p->mem_end - rest), piece;
    TStreamCacheClip body_reader;
    TOutStreamCache out;
    _TStepLoop loop;
    _TWindow ring[_kMaxRingSize], prev = {0, 0};
    size_t at = 0; /* where the current window starts in its buffer */
    mirv_TStreamInput window_stream;
    uint64_t i, described = 0, last_end = 0, half = info->ring_size / 2;

    if (info->compressed_size) {
        if (!p->plugin || !compressed_stream_as_uncompressed(&p->view, info->uncompressed_size, p->plugin, p->diff,
                                                             p->body_begin, p->body_end))
            return 0;
        body = &p->view.base;
        begin = 0;
        end = info->uncompressed_size;
    } else {
        body = p->diff;
        begin = p->body_begin;
        end = p->body_end;
    }
    /* the skip block, dropped in pieces through the memory after the window */
    if (info->skip_size > end - begin) return 0;
    for (pos = begin; pos < begin + info->skip_size;) {
        size_t n = begin + info->skip_size - pos < rest_size ? (size_t)(begin + info->skip_size - pos) : rest_size;
        if (!body->read(body, pos, rest, rest + n)) return 0;
        pos += n;
    }
    piece = (rest_size - (size_t)info->step_mem_size) / 3;
    _TStreamCacheClip_init(&body_reader, body, begin + info->skip_size, end, rest, piece);
    _TOutStreamCache_init(&out, p->out, rest + piece, piece);
    memset(&loop, 0, sizeof(loop));
    loop.body = &body_reader;
    loop.out = &out;
    loop.old = &window_stream;
    loop.step_mem = rest + 2 * piece;
    loop.step_mem_size = (size_t)info->step_mem_size;
    loop.tmp = loop.step_mem + loop.step_mem_size;
    loop.tmp_size = piece;

    for (i = 0; i < info->window_count; ++i) {
        uint64_t covers;
        const _TWindow* next;
        if (i % half == 0 && described < info->window_count) {
            uint64_t block = i == 0 ? info->ring_size : half;
            if (block > info->window_count - described) block = info->window_count - described;
            if (!_read_windows(&body_reader, info, ring, &described, block, &last_end)) return 0;
        }
        if (i >= described) return 0;
        if (!_TStreamCacheClip_unpackUIntWithTag(&body_reader, &covers, 0) || covers > info->max_step_covers) return 0;
        next = &ring[i % info->ring_size];
        if (!_slide_window(p->old, window, (size_t)info->window_size, &at, &prev, next)) return 0;
        prev = *next;
        if (p->old_sum) p->checksum->append(p->old_sum, window + at, window + at + (size_t)prev.length);
        mem_as_mirvStreamInput(&window_stream, window + at, window + at + (size_t)prev.length);
        /* old positions count from the window's start, new ones from the step's first byte */
        sspatch_covers_init(&loop.covers);
        loop.covers_left = covers;
        if (!_patch_step_loop(&loop)) return 0;
    }
    if (!_TOutStreamCache_flush(&out)) return 0;
    return out.write_pos == info->new_size && _TStreamCacheClip_isFinish(&body_reader);
}

/* True when the finished checksum of handle equals the stored one at stored.  Checksums are
 * finished only after the last window step, so the work memory (at least 12288 bytes, more than
 * any checksum the head can hold) takes the sum instead of a large stack buffer. */
static mirv_BOOL _checksum_equal(_TWindowPatch* p, void* handle, const unsigned char* stored) {
    size_t size = (size_t)p->info->checksum_size;
    p->checksum->end(handle, p->mem, p->mem + size);
    return memcmp(p->mem, stored, size) == 0;
}

/* The rest of the diff after what the body reads left, then the head up to the diff checksum. */
static mirv_BOOL _finish_diff_checksum(_TWindowPatch* p, const TChecksumInputStream* diff_stream,
                                       const mirv_TStreamInput* diff) {
    /* a body of no bytes reads nothing, and the diff's checksum still starts at the body */
    uint64_t pos = diff_stream->next_pos < p->body_begin ? p->body_begin : diff_stream->next_pos;
    size_t buf_size = (size_t)(p->mem_end - p->mem);
    while (pos < diff->size) {
        size_t n = diff->size - pos < buf_size ? (size_t)(diff->size - pos) : buf_size;
        if (!diff->read(diff, pos, p->mem, p->mem + n)) return 0;
        p->checksum->append(p->diff_sum, p->mem, p->mem + n);
        pos += n;
    }
    p->checksum->append(p->diff_sum, p->head, p->head + (size_t)(p->info->checksums_begin + 2 * p->info->checksum_size));
    return 1;
}

static int _window_run(_TWindowPatch* p, const mirv_TStreamInput* diff, const mirv_TStreamOutput* out_new,
                       uint64_t head_pos, mirv_BOOL check_new, mirv_BOOL check_old, mirv_BOOL check_diff) {
    const mirv_windowDiffInfo* info = p->info;
    const unsigned char* stored = p->head + (size_t)info->checksums_begin;
    TChecksumInputStream diff_stream;
    TChecksumOutputStream new_stream;
    mirv_BOOL patched, new_differs = 0;

    p->diff = diff;
    p->out = out_new;
    if (p->diff_sum) p->diff = _TChecksumInputStream_init(&diff_stream, diff, p->checksum, p->diff_sum);
    if (p->new_sum) p->out = _TChecksumOutputStream_init(&new_stream, out_new, p->checksum, p->new_sum);
    /* a body that does not lie within the diff is a failed patch like any other bad data */
    patched = _add_u64(head_pos, info->head_size, &p->body_begin) &&
              _add_u64(p->body_begin, info->compressed_size ? info->compressed_size : info->uncompressed_size,
                       &p->body_end) &&
              p->body_end <= diff->size && _window_apply(p);
    if (!close_compressed_stream_as_uncompressed(&p->view)) patched = 0;

    if (check_new) {
        new_differs = !_checksum_equal(p, p->new_sum, stored + info->checksum_size);
        /* verified new data is the answer; only a patch that also ran to its end can claim it, since
         * bytes the checksum saw may still have failed to reach the output */
        if (patched && !new_differs) return mirv_kWindowPatchOk;
    }
    if (check_diff) {
        if (!_finish_diff_checksum(p, &diff_stream, diff)) return mirv_kWindowPatchFailed;
        if (!_checksum_equal(p, p->diff_sum, stored + 2 * info->checksum_size)) return mirv_kWindowPatchDiffChecksumError;
    }
    if (!patched) {
        if (p->old->size != info->old_size) return mirv_kWindowPatchOldSizeError;
        if (!new_differs) return mirv_kWindowPatchFailed;
        /* the whole new data came out wrong: blame the old data when its checksum says so */
        if (new_stream.next_pos == info->new_size && check_old)
            return _checksum_equal(p, p->old_sum, stored) ? mirv_kWindowPatchNewChecksumError
                                                           : mirv_kWindowPatchOldChecksumError;
        return mirv_kWindowPatchNewChecksumError;
    }
    if (check_old && !_checksum_equal(p, p->old_sum, stored)) return mirv_kWindowPatchOldChecksumError;
    return new_differs ? mirv_kWindowPatchNewChecksumError : mirv_kWindowPatchOk;
}

/* Everything after the listener handed out its memory; the listener's finish follows. */
static int _window_patch(_TWindowPatch* p, const mirv_TStreamInput* diff, const mirv_TStreamOutput* out_new,
                         uint64_t head_pos, mirv_BOOL check_new, mirv_BOOL check_old, mirv_BOOL check_diff) {
    const mirv_windowDiffInfo* info = p->info;
    uint64_t need;
    int result;
    if (!p->mem || p->mem_end <= p->mem) return mirv_kWindowPatchMemoryError;
    if (!_add_u64(info->step_mem_size, info->window_size, &need) || !_add_u64(need, _kWindowMinMem, &need) ||
        (uint64_t)(p->mem_end - p->mem) < need)
        return mirv_kWindowPatchMemoryError;
    if (info->checksum_size == 0 || !(check_new || check_old || check_diff)) {
        check_new = check_old = check_diff = 0;
    } else {
        if (!p->checksum || !p->checksum->checksum_size || p->checksum->checksum_size() != info->checksum_size ||
            info->checksum_size > _kMaxChecksumSize)
            return mirv_kWindowPatchChecksumPluginError;
        if ((check_old && !(p->old_sum = p->checksum->open(p->checksum))) ||
            (check_new && !(p->new_sum = p->checksum->open(p->checksum))) ||
            (check_diff && !(p->diff_sum = p->checksum->open(p->checksum)))) {
            result = mirv_kWindowPatchChecksumOpenError;
            goto close_sums;
        }
        if (p->old_sum) p->checksum->begin(p->old_sum);
        if (p->new_sum) p->checksum->begin(p->new_sum);
        if (p->diff_sum) p->checksum->begin(p->diff_sum);
    }
    result = _window_run(p, diff, out_new, head_pos, check_new, check_old, check_diff);
    close_compressed_stream_as_uncompressed(&p->view);
close_sums:
    if (p->old_sum) p->checksum->close(p->checksum, p->old_sum);
    if (p->new_sum) p->checksum->close(p->checksum, p->new_sum);
    if (p->diff_sum) p->checksum->close(p->checksum, p->diff_sum);
    return result;
}

int patch_window_diff(mirv_TWindowPatchListener* listener, const mirv_TStreamOutput* out_new,
                      const mirv_TStreamInput* old, const mirv_TStreamInput* diff, uint64_t head_pos) {
    unsigned char head[mirv_kMaxWindowHeadSize];
    mirv_windowDiffInfo info;
    TStreamOutputClip out_clip;
    const mirv_TStreamOutput* out;
    _TWindowPatch p;
    mirv_BOOL check_new, check_old = 0, check_diff = 0;
    int result;
    if (!diff || !_read_window_head(&info, head, diff, head_pos)) return mirv_kWindowPatchHeadError;
    if (!out_new || out_new->size < info.new_size) return mirv_kWindowPatchOutputTooSmall;
    if (!old) return mirv_kWindowPatchOldSizeError;
    if (!listener || !listener->on_diff_info) return mirv_kWindowPatchListenerRefused;
    out = TStreamOutputClip_init(&out_clip, out_new, 0, info.new_size);
    memset(&p, 0, sizeof(p));
    _TDecompressInputStream_init(&p.view);
    p.info = &info;
    p.head = head;
    p.old = old;
    check_new = info.checksum_size != 0;
    if (!listener->on_diff_info(listener, &info, &p.plugin, &p.checksum, &check_new, &check_old, &check_diff, &p.mem,
                                &p.mem_end))
        return mirv_kWindowPatchListenerRefused;
    result = _window_patch(&p, diff, out, head_pos, check_new, check_old, check_diff);
    /* the listener gets its memory back on every result after it handed it out */
    if (listener->on_patch_finish) listener->on_patch_finish(listener, p.mem, p.mem_end);
    return result;
}

uint64_t _patch_is_can_cache_window_old_canUsedSize(uint64_t s1, uint64_t s2, uint64_t s3, uint64_t s4, uint64_t s5) {
    uint64_t m, t, extra;
    if (s1 == 0) return 0;
    m = s1 > s5 / 2 ? s5 : 2 * s1; /* the smaller of s5 and 2 * s1, without wrapping */
    if (!_add_u64(s2, s3, &t) || !_add_u64(t, m, &t) || s4 < t) return 0;
    if (s3 >= s4 - t) return m;
    extra = (s4 - t - s3) / 2;
    return extra > s5 - m ? s5 : m + extra;
}

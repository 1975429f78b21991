/* The step loop shared by the single-stream and the window patch: the covers reader, the run
 * chain that adds a step's run bytes onto old bytes, and the loop over a body's steps. */
#include <string.h>

#include "patch_step.h"

/* ---- covers reader ---- */

void sspatch_covers_init(sspatch_covers_t* self) { memset(self, 0, sizeof(*self)); }

void sspatch_covers_setCoversCache(sspatch_covers_t* self, const unsigned char* covers,
                                   const unsigned char* covers_end) {
    self->covers_cache = covers;
    self->covers_cache_end = covers_end;
}

mirv_BOOL sspatch_covers_nextCover(sspatch_covers_t* self) {
    uint64_t delta, gap, length, new_pos;
    int minus;
    /* old positions run modulo 2^64 (a step may go the long way round); every user checks a
     * cover against the old data's size before reading there */
    self->last_old_end = self->cover.old_pos + self->cover.length;
    if (!mirvp_add_u64(self->cover.new_pos, self->cover.length, &self->last_new_end)) return 0;
    if (self->covers_cache >= self->covers_cache_end) return 0;
    minus = self->covers_cache[0] >> 7;
    if (!mirv_unpackUIntWithTag(&self->covers_cache, self->covers_cache_end, &delta, 1) ||
        !mirv_unpackUIntWithTag(&self->covers_cache, self->covers_cache_end, &gap, 0) ||
        !mirv_unpackUIntWithTag(&self->covers_cache, self->covers_cache_end, &length, 0))
        return 0;
    if (!mirvp_add_u64(self->last_new_end, gap, &new_pos)) return 0;
    self->cover.old_pos = minus ? self->last_old_end - delta : self->last_old_end + delta;
    self->cover.new_pos = new_pos;
    self->cover.length = length;
    return 1;
}

/* ---- run chain: skip count, add count and its bytes, skip count, ... ---- */

static void run_chain_reset(mirvp_TRunChain* chain, const unsigned char* runs, const unsigned char* runs_end) {
    chain->cursor = runs;
    chain->end = runs_end;
    chain->skip = 0;
    chain->add = 0;
    chain->skip_due = 1;
}

static mirv_BOOL run_chain_apply(mirvp_TRunChain* chain, unsigned char* data, size_t length) {
    while (length) {
        uint64_t value;
        if (chain->skip) {
            size_t n = chain->skip < length ? (size_t)chain->skip : length;
            chain->skip -= n;
            data += n;
            length -= n;
        } else if (chain->add) {
            size_t n = chain->add < length ? (size_t)chain->add : length;
            mirvp_add_bytes(data, chain->cursor, n);
            chain->cursor += n;
            chain->add -= n;
            data += n;
            length -= n;
        } else {
            if (!mirv_unpackUIntWithTag(&chain->cursor, chain->end, &value, 0)) return 0;
            if (chain->skip_due) {
                chain->skip = value;
            } else {
                if (value > (uint64_t)(chain->end - chain->cursor)) return 0;
                chain->add = value;
            }
            chain->skip_due = !chain->skip_due;
        }
    }
    return 1;
}

/* ---- step loop ---- */

/* Reads the next step's cover and run buffers into the step memory and starts the covers
 * reader and the run chain on them.  Frames of their own keep the loop's small on a device. */
static MIRVP_NOINLINE mirv_BOOL step_begin(mirvp_TStepLoop* loop) {
    sspatch_TCoversListener* listener = loop->covers_listener;
    uint64_t covers_size, runs_size;
    unsigned char *covers = loop->step_mem, *runs;
    if (!mirvp_clip_read_uint(loop->body, &covers_size, 0) ||
        !mirvp_clip_read_uint(loop->body, &runs_size, 0))
        return 0;
    if (covers_size > loop->step_mem_size || runs_size > loop->step_mem_size - covers_size) return 0;
    runs = covers + (size_t)covers_size;
    if (listener && listener->on_step_covers_reset) listener->on_step_covers_reset(listener, loop->covers_left);
    if (!mirvp_clip_read_to(loop->body, covers, runs + (size_t)runs_size)) return 0;
    if (listener && listener->on_step_covers) listener->on_step_covers(listener, covers, runs);
    if (loop->on_step_covers && !loop->on_step_covers(loop->step_cache, covers, runs)) return 0;
    run_chain_reset(&loop->chain, runs, runs + (size_t)runs_size);
    sspatch_covers_setCoversCache(&loop->covers, covers, runs);
    return 1;
}

/* Writes the current cover's old bytes with the run bytes added, a piece at a time. */
static MIRVP_NOINLINE mirv_BOOL step_copy_old(mirvp_TStepLoop* loop) {
    const mirv_TCover* c = &loop->covers.cover;
    uint64_t done;
    for (done = 0; done < c->length;) {
        size_t n = c->length - done < loop->tmp_size ? (size_t)(c->length - done) : loop->tmp_size;
        if (!loop->old->read(loop->old, c->old_pos + done, loop->tmp, loop->tmp + n) ||
            !run_chain_apply(&loop->chain, loop->tmp, n) || !mirvp_out_write(loop->out, loop->tmp, n))
            return 0;
        done += n;
    }
    return 1;
}

/* Applies the cover just decoded: the new bytes of its gap from the body, then its old bytes
 * with the run bytes added. */
static MIRVP_NOINLINE mirv_BOOL step_apply_cover(mirvp_TStepLoop* loop) {
    const mirv_TCover* c = &loop->covers.cover;
    uint64_t gap = c->new_pos - loop->covers.last_new_end;
    uint64_t room = loop->new_size - mirvp_out_size(loop->out);
    if (gap > room || !mirvp_out_copy_clip(loop->out, loop->body, gap)) return 0;
    --loop->covers_left;
    /* only the last cover may be empty: its gap carries the new data's tail */
    if (c->length == 0) return loop->covers_left == 0;
    return mirvp_range_in(c->old_pos, c->length, loop->old->size) && c->length <= room - gap && step_copy_old(loop);
}

mirv_BOOL mirvp_step_loop(mirvp_TStepLoop* loop) {
    sspatch_TCoversListener* listener = loop->covers_listener;
    if (loop->tmp_size == 0) return 0;
    while (loop->covers_left) {
        if (!step_begin(loop)) return 0;
        while (sspatch_covers_isHaveNextCover(&loop->covers)) {
            /* a buffer holding more covers than the head counts is bad data */
            if (loop->covers_left == 0 || !sspatch_covers_nextCover(&loop->covers) || !step_apply_cover(loop))
                return 0;
        }
    }
    if (listener) {
        if (listener->on_step_covers_reset) listener->on_step_covers_reset(listener, 0);
        if (listener->on_step_covers) listener->on_step_covers(listener, NULL, NULL);
    }
    return 1;
}

/* vekko encoder: compression properties and the stream compressor.
 *
 * The encoder reports every failure by throwing std::runtime_error whose text names
 * the failed check ("check ... error!"); allocation failures pass through as the
 * standard library's exceptions.  It is a C++ interface for the host side; the
 * decoders (vko_dec.h) are the part meant for devices.
 */
#ifndef VKO_ENC_H
#define VKO_ENC_H

#include <cstdint>

#include "mirv_stream.h"
#include "vko_types.h"

enum : uint64_t {
    vko_kMinOfMaxSaveLength = 127,   /* smallest valid maxSaveLength */
    vko_kMaxOfMaxSaveLength = 65535  /* largest valid maxSaveLength: match lengths fit 16 bits */
};

struct vko_TCompressProps {
    uint64_t dictSize;       /* how far back a match may reach: 1 .. vko_kMaxOfDictSize */
    uint64_t maxSaveLength;  /* longest match and longest literal piece: 127 .. 65535 */
    uint64_t threadNum;      /* clips compressed at once (0 and 1: all on the calling thread); see vko_compress */
    bool     useLiteralLine; /* runs of 15 or more literals may be written as literal lines */
};

/* dictSize 1 MiB, maxSaveLength 65535, threadNum 1, literal lines on. */
extern VEKKO_API const vko_TCompressProps vko_kDefaultCompressProps;

/* Compresses all of data's bytes into out_code as one vekko stream and returns the
 * stream's length.  props may be null for vko_kDefaultCompressProps.  The header is
 * finally rewritten (with a second write at position 0) to the largest match distance
 * the stream uses, so the output must accept that earlier write.
 *
 * Threads: with threadNum above 1 and an input of several clips (a clip is 128 KiB to
 * 256 KiB with dictionaries below 768 KiB, about a third of the dictionary above),
 * up to threadNum clips (at most 256, and no more than there are clips) are compressed
 * at once on worker threads.  The stream is byte for byte the one threadNum 1 gives.
 * The callbacks are only ever called on the calling thread: reads in input order,
 * writes in output order; a clip is read before earlier clips are written, so the
 * input's size field is read again after each clip's read rather than after its write.
 * Memory grows with the number of clips at once (about 10 bytes per byte of window and
 * clip each).  Failures are reported as with one thread: the exception of the first
 * clip that fails, after all earlier clips were written. */
VEKKO_API uint64_t vko_compress(const mirv_TStreamOutput* out_code, const mirv_TStreamInput* data,
                                const vko_TCompressProps* props = nullptr);

/* The largest stream vko_compress writes for data_size input bytes. */
VEKKO_API uint64_t vko_maxCompressedSize(uint64_t data_size);

#endif /* VKO_ENC_H */

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
    uint64_t threadNum;      /* handed to the suffix sorter; the sort runs on the calling thread */
    bool     useLiteralLine; /* runs of 15 or more literals may be written as literal lines */
};

/* dictSize 1 MiB, maxSaveLength 65535, threadNum 1, literal lines on. */
extern const vko_TCompressProps vko_kDefaultCompressProps;

/* Compresses all of data's bytes into out_code as one vekko stream and returns the
 * stream's length.  props may be null for vko_kDefaultCompressProps.  The header is
 * finally rewritten (with a second write at position 0) to the largest match distance
 * the stream uses, so the output must accept that earlier write. */
uint64_t vko_compress(const mirv_TStreamOutput* out_code, const mirv_TStreamInput* data,
                      const vko_TCompressProps* props = nullptr);

/* The largest stream vko_compress writes for data_size input bytes. */
uint64_t vko_maxCompressedSize(uint64_t data_size);

#endif /* VKO_ENC_H */

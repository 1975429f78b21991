/* Byte-stream records shared by the vekko encoder and the patch library.
 *
 * A stream is a plain record: an opaque owner, a size and callbacks that move
 * one whole byte range at an absolute position.  Callbacks never do short
 * reads or writes: they deliver the whole range or return 0.
 */
#ifndef MIRV_STREAM_H
#define MIRV_STREAM_H

#include <stdint.h>

#include "vekko_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Truth value: 0 is false, anything else true. */
typedef int mirv_BOOL;

typedef struct mirv_TStreamInput mirv_TStreamInput;
typedef struct mirv_TStreamOutput mirv_TStreamOutput;

/* Copies the stream's bytes [read_from_pos, read_from_pos + (out_data_end - out_data))
 * into out_data.  Returns 0 when the range can't be delivered whole. */
typedef mirv_BOOL (*mirv_TStreamRead)(const mirv_TStreamInput* stream, uint64_t read_from_pos,
                                      unsigned char* out_data, unsigned char* out_data_end);

/* Reads back bytes an output stream already holds: [read_from_pos, read_from_pos +
 * (out_data_end - out_data)) into out_data.  Returns 0 when the range can't be delivered whole. */
typedef mirv_BOOL (*mirv_TStreamReadBack)(const mirv_TStreamOutput* stream, uint64_t read_from_pos,
                                          unsigned char* out_data, unsigned char* out_data_end);

/* Stores data .. data_end at write_to_pos.  Returns 0 when the range can't be stored whole.
 * Positions are absolute; a writer may revisit an earlier position. */
typedef mirv_BOOL (*mirv_TStreamWrite)(const mirv_TStreamOutput* stream, uint64_t write_to_pos,
                                       const unsigned char* data, const unsigned char* data_end);

struct mirv_TStreamInput {
    void*            owner;    /* the provider's state; only the callbacks use it */
    uint64_t         size;     /* length of the stream in bytes */
    mirv_TStreamRead read;
    void*            reserved; /* null; never read by the codec */
};

struct mirv_TStreamOutput {
    void*             owner;     /* the provider's state */
    uint64_t          size;      /* capacity of the stream in bytes */
    /* Reads back bytes already written, or null when the stream can't. */
    mirv_TStreamReadBack read_back;
    mirv_TStreamWrite    write;
};

/* Owners of the memory-backed streams. */
typedef struct mirv_TMemInputOwner {
    const unsigned char* data;
    uint64_t             size;
} mirv_TMemInputOwner;

typedef struct mirv_TMemOutputOwner {
    unsigned char* data;
    uint64_t       capacity;
} mirv_TMemOutputOwner;

/* Read callback over a mirv_TMemInputOwner.  An empty range at the end succeeds;
 * a range reaching past the end fails and copies nothing. */
VEKKO_API mirv_BOOL mem_read(const mirv_TStreamInput* stream, uint64_t read_from_pos,
                             unsigned char* out_data, unsigned char* out_data_end);

/* Read-back callback over a mirv_TMemOutputOwner: reads any range inside the capacity. */
VEKKO_API mirv_BOOL mem_read_back(const mirv_TStreamOutput* stream, uint64_t read_from_pos,
                                  unsigned char* out_data, unsigned char* out_data_end);

/* Write callback over a mirv_TMemOutputOwner.  A range ending exactly at the capacity
 * succeeds; one reaching past it fails and changes nothing. */
VEKKO_API mirv_BOOL mem_write(const mirv_TStreamOutput* stream, uint64_t write_to_pos,
                              const unsigned char* data, const unsigned char* data_end);

/* A memory buffer as a source of compressed bytes for the vekko stream decoder (its
 * read_code callback takes this record as input_stream).  Each call delivers as many of
 * the bytes wanted as remain, from where the previous call stopped, and sets *code_size
 * to that count: 0 once the buffer is used up.  It never fails. */
typedef struct mirv_TMemCodeSource {
    const unsigned char* data;
    uint64_t             size;
    uint64_t             pos;  /* bytes delivered so far; start at 0 */
} mirv_TMemCodeSource;

VEKKO_API mirv_BOOL mem_read_code(void* source, unsigned char* out_code, uint32_t* code_size);

#ifdef __cplusplus
}
#endif

#endif /* MIRV_STREAM_H */

/* vekko decoders: a one-call memory decoder and a streaming decoder with a
 * caller-provided window and input cache.
 *
 * Neither decoder allocates, throws or keeps global state.  Both are safe on any
 * input bytes and sizes: they never read or write outside the buffers they were
 * given, and a call's work is bounded by the input it reads and the output it may
 * produce.  In the output they write only the bytes they produce.
 *
 * Length, distance and literal-line counts are held in unsigned 32-bit integers.
 * A variable-length code whose value does not fit 32 bits wraps modulo 2^32 (the
 * encoder never writes one); the wrapped value is then checked like any other, so
 * it can only yield a result code, never an access outside the buffers.  A distance
 * that wraps to 0 is rejected as vko_RESULT_BAD_DICT_POS by both decoders.
 *
 * Both decoders give the same result on every stream, with one allowance: on a stream
 * cut short, each fills in the missing bits its own way, so one may report the cut
 * (vko_RESULT_INPUT_ERROR) where the other first meets a bad distance or a full buffer.
 * Neither ever reports success for a cut stream.
 *
 * Two builds of the same decoders, chosen when the decoder sources are compiled:
 *   default          the fast build: 64-bit look-ahead, lookup tables, unrolled copies;
 *   VKO_DEC_SMALL    the size build for microcontrollers: one bit and one byte at a
 *                    time, no tables.  Same functions, same results, same bytes.
 * Defining VKO_DEC_SMALL_NAMES as well renames the size build's functions to
 * vko_small_... so that both builds can be linked into one test program.
 */
#ifndef VKO_DEC_H
#define VKO_DEC_H

#include "vko_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VKO_DEC_SMALL_NAMES)
#define vko_decompress_mem             vko_small_decompress_mem
#define vko_TStream_read_dict_size     vko_small_TStream_read_dict_size
#define vko_TStream_open               vko_small_TStream_open
#define vko_TStream_decompress_partial vko_small_TStream_decompress_partial
#endif

/* A short English text for a result, for messages (never null; "unknown result" for a
 * value that is none of them).  Not used by the decoders themselves, so a device that
 * never calls it links none of its text. */
VEKKO_API const char* vko_result_text(vko_TResult result);

/* ---- memory decoder ---- */

/* Decodes the whole stream code[0 .. code_size) (header included; the four header
 * bytes are skipped unread) into out_data.  *data_size holds the buffer's size on
 * entry and, on vko_RESULT_STREAM_END, the number of bytes produced; on any other
 * result it is unchanged and the buffer holds whatever was produced before the failure.
 * Returns 1, 10, 20, 23 or 24; never 0. */
VEKKO_API vko_TResult vko_decompress_mem(const unsigned char* code, vko_size_t code_size,
                                         unsigned char* out_data, vko_size_t* data_size);

/* ---- stream decoder ---- */

/* Source of compressed bytes.  *code_size holds the number of bytes wanted on entry and
 * must hold the number delivered on return (never more; 0 means no more input).
 * Returns 0 on a read error.  Each refill asks for as many bytes as the previous one
 * delivered, so a source should deliver whole requests until its input ends: one short
 * delivery shrinks every later refill to that size. */
typedef mirv_BOOL (*vko_TReadCode)(void* input_stream, unsigned char* out_code, vko_size_t* code_size);

/* The input cache: the first part of vko_TStream. */
typedef struct vko_TInputCache {
    vko_size_t     cache_begin;  /* index of the next unread byte in the cache */
    vko_size_t     cache_end;    /* valid bytes in the cache; 0 after a failed or empty refill */
    unsigned char* cache_buf;
    void*          input_stream; /* handed to read_code */
    vko_TReadCode  read_code;
} vko_TInputCache;

/* Decoder state.  It points into the caller's buffer and owns nothing. */
typedef struct vko_TStream {
    vko_TInputCache cache;
    vko_size_t      dict_cur;      /* window index of the next output byte */
    vko_size_t      dict_size;     /* window size */
    unsigned char*  dict_window;
    vko_size_t      dict_back;     /* dict_size minus the distance of the match being copied */
    vko_size_t      saved_dist;    /* distance of the last match */
    vko_size_t      copy_len;      /* bytes of the current match still to copy */
    vko_size_t      literal_len;   /* bytes of the current literal line still to copy */
    vko_size_t      type_bits;     /* buffered type bits, the next one in bit 0 */
    vko_size_t      type_count;    /* number of buffered type bits */
    vko_size_t      after_literal; /* 1 when the last record was a literal or literal line */
    vko_size_t      dict_filled;   /* bytes produced so far, saturating at dict_size: a match
                                    * may reach back no further than this */
    vko_size_t      final_result;  /* 0 while the stream goes on; else the result every
                                    * further call returns */
} vko_TStream;

/* Reads the 4-byte header with one read_code call.  Returns the dictionary size, or 0
 * when the call failed or delivered fewer than 4 bytes.  The value is not range-checked:
 * the caller decides whether it can afford a window that large. */
VEKKO_API vko_size_t vko_TStream_read_dict_size(void* input_stream, vko_TReadCode read_code);

/* Prepares *stream to decode after the header.  buffer holds dict_size + cache_size bytes:
 * the window, then the input cache.  dict_size must be at least the header's value.
 * Returns vko_RESULT_NO_DICT for dict_size 0, vko_RESULT_NO_CACHE for cache_size 0, else 0.
 * After a failed open the record is still safe to pass to vko_TStream_decompress_partial,
 * which then returns the same code.  The buffer's contents are not touched. */
VEKKO_API vko_TResult vko_TStream_open(vko_TStream* stream, void* input_stream, vko_TReadCode read_code,
                                       unsigned char* buffer, vko_size_t dict_size, vko_size_t cache_size);

/* Produces up to *data_size bytes at out_data.  Returns 0 when the piece is full and the
 * stream goes on (call again), 1 at the stream end with *data_size set to the bytes this
 * call produced, or an error code (10, 20, 23, 24) after which the stream is finished.
 * On every result but 1, *data_size is unchanged.  Once a call has returned anything but
 * 0, every further call returns the same result and writes nothing (with *data_size set
 * to 0 when that result is 1).
 *
 * Once read_code fails or delivers nothing, decoding goes on with zero bytes so that the
 * record in progress completes, but the stream can then only end in
 * vko_RESULT_INPUT_ERROR: an end code made of missing bytes is not taken as the end.
 * A match distance beyond the window or before the first byte of the stream gives
 * vko_RESULT_BAD_DICT_POS, as in the memory decoder: only bytes this stream produced
 * ever come out. */
VEKKO_API vko_TResult vko_TStream_decompress_partial(vko_TStream* stream, unsigned char* out_data,
                                                     vko_size_t* data_size);

#ifdef __cplusplus
}
#endif

#endif /* VKO_DEC_H */

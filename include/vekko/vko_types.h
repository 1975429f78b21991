/* Types and constants of the vekko compressed stream, shared by the encoder and
 * both decoders. */
#ifndef VKO_TYPES_H
#define VKO_TYPES_H

#include <stdint.h>

#include "mirv_stream.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes, counts, lengths and distances of the format are unsigned 32-bit. */
typedef uint32_t vko_size_t;
typedef uint32_t vko_length_t;

enum {
    vko_kMinDictMatchLen   = 2,          /* shortest match */
    vko_kMinFarDictPos     = 2688,       /* from this distance on a match is at least 3 bytes */
    vko_kMinLiteralLineLen = 15,         /* shortest literal line */
    vko_kMaxOfDictSize     = 1073741824  /* largest header dictionary size, 2^30 */
};

/* Decoder results. */
typedef enum vko_TResult {
    vko_RESULT_OK           = 0,  /* stream decoder: output piece full, the stream goes on */
    vko_RESULT_STREAM_END   = 1,  /* the stream-end code was read */
    vko_RESULT_BAD_CTRL     = 10, /* control code of type 0 or of 4 and more */
    vko_RESULT_INPUT_ERROR  = 20, /* compressed input failed or ended too early */
    vko_RESULT_NO_DICT      = 21, /* stream decoder opened with a window of 0 bytes */
    vko_RESULT_NO_CACHE     = 22, /* stream decoder opened with a cache of 0 bytes */
    vko_RESULT_BAD_DICT_POS = 23, /* match distance beyond the window or the output start */
    vko_RESULT_OUT_SIZE     = 24  /* no room for output (or a 0-byte request to the stream decoder) */
} vko_TResult;

/* Control codes: a match record with distance byte 0 carries one of these as its length value. */
typedef enum vko_TCtrlType {
    vko_kCtrlType_literalLine = 1,
    vko_kCtrlType_clipEnd     = 2,
    vko_kCtrlType_streamEnd   = 3
} vko_TCtrlType;

#ifdef __cplusplus
}
#endif

#endif /* VKO_TYPES_H */

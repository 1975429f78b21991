/* The size build of the decoders under its own names (VKO_DEC_SMALL_NAMES), linked
 * beside the fast build so that tests and fuzz targets can compare the two. */
#ifndef VEKKO_SMALL_DECODER_H
#define VEKKO_SMALL_DECODER_H

#include "vko_dec.h"

#ifdef __cplusplus
extern "C" {
#endif

vko_TResult vko_small_decompress_mem(const unsigned char* code, vko_size_t code_size,
                                     unsigned char* out_data, vko_size_t* data_size);
vko_size_t vko_small_TStream_read_dict_size(void* input_stream, vko_TReadCode read_code);
vko_TResult vko_small_TStream_open(vko_TStream* stream, void* input_stream, vko_TReadCode read_code,
                                   unsigned char* buffer, vko_size_t dict_size, vko_size_t cache_size);
vko_TResult vko_small_TStream_decompress_partial(vko_TStream* stream, unsigned char* out_data,
                                                 vko_size_t* data_size);

#ifdef __cplusplus
}
#endif

#endif

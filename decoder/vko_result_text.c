/* Texts of the decoders' results, for messages; both builds share them. */
#include "vko_dec.h"

const char* vko_result_text(vko_TResult result) {
    switch (result) {
    case vko_RESULT_OK: return "output piece full, the stream goes on";
    case vko_RESULT_STREAM_END: return "stream end";
    case vko_RESULT_BAD_CTRL: return "corrupt stream: bad control code";
    case vko_RESULT_INPUT_ERROR: return "compressed input failed or ended too early";
    case vko_RESULT_NO_DICT: return "no window: the stream decoder was opened with 0 bytes of window";
    case vko_RESULT_NO_CACHE: return "no input cache: the stream decoder was opened with 0 bytes of cache";
    case vko_RESULT_BAD_DICT_POS: return "corrupt stream: match distance beyond the window or the data's start";
    case vko_RESULT_OUT_SIZE: return "no room for the output";
    }
    return "unknown result";
}

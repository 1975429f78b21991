/* vkod: decodes one vekko stream from standard input to standard output.
 *
 * Memory stays constant whatever the stream's length: a window of the header's
 * dictionary size, a small input cache and one output piece.  A bad, truncated or
 * unreadable stream gives a one-line message on standard error and exit status 1. */
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "binary_stdio.h"
#include "vko_dec.h"

namespace {

const vko_size_t kCacheSize = 4096;
const vko_size_t kPieceSize = 1 << 16;

/* A stream cut short is the decoder's business: it reports an end code read past the
 * end of the input as vko_RESULT_INPUT_ERROR. */
mirv_BOOL read_code(void* input_stream, unsigned char* out_code, vko_size_t* code_size) {
    FILE* file = static_cast<FILE*>(input_stream);
    const size_t got = std::fread(out_code, 1, *code_size, file);
    if (got < *code_size && std::ferror(file)) return 0;
    *code_size = (vko_size_t)got;
    return 1;
}

int fail(const char* message) {
    std::fprintf(stderr, "vkod: %s\n", message);
    return 1;
}

const char* describe(vko_TResult result) {
    switch (result) {
    case vko_RESULT_BAD_CTRL: return "corrupt stream (bad control code)";
    case vko_RESULT_INPUT_ERROR: return "truncated or unreadable stream";
    case vko_RESULT_BAD_DICT_POS: return "corrupt stream (match distance beyond the window)";
    default: return "corrupt stream";
    }
}

} // namespace

int main() {
    set_binary_mode(stdin);
    set_binary_mode(stdout);

    const vko_size_t dict_size = vko_TStream_read_dict_size(stdin, read_code);
    if (dict_size == 0 || dict_size > vko_kMaxOfDictSize) return fail("not a vekko stream (bad header)");

    /* window + cache, then the output piece */
    unsigned char* memory = static_cast<unsigned char*>(std::malloc((size_t)dict_size + kCacheSize + kPieceSize));
    if (!memory) return fail("out of memory for the stream's window");
    unsigned char* piece = memory + dict_size + kCacheSize;

    vko_TStream stream;
    vko_TResult result = vko_TStream_open(&stream, stdin, read_code, memory, dict_size, kCacheSize);
    int status = 0;
    while (result == vko_RESULT_OK) {
        vko_size_t size = kPieceSize;
        result = vko_TStream_decompress_partial(&stream, piece, &size);
        if (result != vko_RESULT_OK && result != vko_RESULT_STREAM_END) {
            status = fail(describe(result));
            break;
        }
        if (std::fwrite(piece, 1, size, stdout) != size) {
            status = fail("cannot write standard output");
            break;
        }
    }
    if (status == 0 && std::fflush(stdout) != 0) status = fail("cannot write standard output");
    std::free(memory);
    return status;
}

/* vkod: decodes vekko streams from standard input to standard output.
 *
 *   vkod [--max-window BYTES] < in.vko > out
 *
 * Streams placed one after another (cat a.vko b.vko) are decoded one after another;
 * bytes after a stream that do not begin another stream are an error.  Memory stays
 * constant whatever a stream's length: a window of the header's dictionary size, a
 * small input cache and one output piece.  The header's window is bounded by
 * --max-window (default kDefaultMaxWindow, 64 MiB) so that untrusted input can't ask for
 * a gigabyte.
 *
 * Decoded data goes to standard output even when it is a terminal: it is the compressed side
 * that must not go to one.
 *
 * Exit status: 0 success; 1 a bad, truncated or unreadable stream, a window above the
 * bound, trailing bytes or a failed write (one line on standard error says which); 2 bad
 * arguments. */
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "vko_dec.h"

namespace {

const vko_size_t kCacheSize = 4096;
const vko_size_t kPieceSize = 1 << 16;
const uint64_t kDefaultMaxWindow = uint64_t(1) << 26;

const char* const kUsage =
    "usage: vkod [--max-window BYTES] < in.vko > out\n"
    "Decodes vekko streams (one or several, one after another) from standard input.\n"
    "  --max-window BYTES  refuse streams whose window is larger (default 67108864,\n"
    "                      at most 1073741824); K, M and G suffixes multiply by 1024\n"
    "  -h, --help          show this text\n"
    "  --version           show the version\n";

enum Status { kOk = 0, kFailed = 1, kBadArgument = 2 };

/* A failure: status 1 and its line. */
cli::Exit failure(const std::string& message) { return cli::Exit{kFailed, message}; }

/* Standard input as the decoder's source.  Bytes the decoder fetched but did not use
 * (what follows a stream's end in its cache) are handed out again first, so the next
 * stream starts exactly where the previous one ended. */
struct Input {
    std::vector<unsigned char> pending;
    size_t pending_pos = 0;
    bool read_error = false;

    /* Fills out with up to n bytes; returns the count, short only at the end of input. */
    size_t take(unsigned char* out, size_t n) {
        size_t got = 0;
        if (pending_pos < pending.size()) {
            got = std::min(n, pending.size() - pending_pos);
            std::memcpy(out, pending.data() + pending_pos, got);
            pending_pos += got;
        }
        if (got < n) {
            got += std::fread(out + got, 1, n - got, stdin);
            if (got < n && std::ferror(stdin)) read_error = true;
        }
        return got;
    }

    static mirv_BOOL read_code(void* self, unsigned char* out_code, vko_size_t* code_size) {
        Input* in = static_cast<Input*>(self);
        const size_t got = in->take(out_code, *code_size);
        if (in->read_error) return 0;
        *code_size = (vko_size_t)got;
        return 1;
    }
};

const char* describe(vko_TResult result) {
    switch (result) {
    case vko_RESULT_BAD_CTRL: return "corrupt stream (bad control code)";
    case vko_RESULT_INPUT_ERROR: return "truncated stream";
    case vko_RESULT_BAD_DICT_POS: return "corrupt stream (match distance beyond the data)";
    default: return vko_result_text(result);
    }
}

/* BYTES from 1 to the format's largest window. */
bool parse_window(const std::string& text, uint64_t& value) {
    uint64_t v = 0;
    if (!cli::parse_bytes(text, &v) || v == 0 || v > vko_kMaxOfDictSize) return false;
    value = v;
    return true;
}

std::string stream_name(unsigned index) {
    return index == 1 ? std::string() : "stream " + std::to_string(index) + ": ";
}

/* Decodes every stream on standard input.  Throws cli::Exit. */
void decode_all(uint64_t max_window, bool max_window_given) {
    Input input;
    std::vector<unsigned char> memory;
    for (unsigned index = 1;; index++) {
        unsigned char header[4];
        const size_t got = input.take(header, 4);
        if (input.read_error) throw failure("cannot read standard input: " + std::string(std::strerror(errno)));
        if (got == 0) {
            if (index == 1) throw failure("empty input");
            return; /* the end of the last stream was the end of the input */
        }
        if (got < 4) {
            if (index == 1) throw failure("truncated header (" + std::to_string(got) + " of 4 bytes)");
            throw failure("trailing bytes after the last stream are not a vekko stream");
        }
        const vko_size_t window = (vko_size_t)header[0] | (vko_size_t)header[1] << 8 |
                                  (vko_size_t)header[2] << 16 | (vko_size_t)header[3] << 24;
        if (window == 0 || window > vko_kMaxOfDictSize) {
            if (index == 1)
                throw failure("not a vekko stream (header window " + std::to_string(window) + ")");
            throw failure("trailing bytes after the last stream are not a vekko stream");
        }
        /* Data of other kinds reaches here too (bzip2's "BZh9" reads as a window of 962 MiB):
         * the first stream is most likely not one at all. */
        if (window > max_window) {
            if (index == 1 && !max_window_given)
                throw failure("not a vekko stream, or one whose window of " + std::to_string(window) +
                              " bytes is larger than allowed (" + std::to_string(max_window) +
                              "; see --max-window)");
            throw failure(stream_name(index) + "window of " + std::to_string(window) +
                          " bytes is larger than allowed (" + std::to_string(max_window) +
                          "; see --max-window)");
        }

        /* window + cache, then the output piece */
        memory.resize((size_t)window + kCacheSize + kPieceSize);
        unsigned char* piece = memory.data() + window + kCacheSize;
        vko_TStream stream;
        vko_TResult result =
            vko_TStream_open(&stream, &input, Input::read_code, memory.data(), window, kCacheSize);
        while (result == vko_RESULT_OK) {
            vko_size_t size = kPieceSize;
            result = vko_TStream_decompress_partial(&stream, piece, &size);
            if (result != vko_RESULT_OK && result != vko_RESULT_STREAM_END) {
                if (input.read_error) throw failure("cannot read standard input");
                throw failure(stream_name(index) + describe(result));
            }
            if (std::fwrite(piece, 1, size, stdout) != size) throw failure("cannot write standard output");
        }
        /* What the cache holds past the stream's end belongs to whatever follows. */
        const unsigned char* rest = stream.cache.cache_buf + stream.cache.cache_begin;
        std::vector<unsigned char> next(rest, rest + (stream.cache.cache_end - stream.cache.cache_begin));
        next.insert(next.end(), input.pending.begin() + (std::ptrdiff_t)input.pending_pos, input.pending.end());
        input.pending.swap(next);
        input.pending_pos = 0;
    }
}

int run(int argc, char** argv) {
    uint64_t max_window = kDefaultMaxWindow;
    bool max_window_given = false;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kOk;
        }
        if (arg == "--version") {
            std::printf("vkod %s\n", vekko_version_string());
            return kOk;
        }
        if (arg == "--max-window" && i + 1 < argc && parse_window(argv[i + 1], max_window)) {
            i++;
            max_window_given = true;
            continue;
        }
        throw cli::Exit{kBadArgument, "bad argument '" + arg + "'\n" + kUsage};
    }
    cli::set_binary_mode(stdin);
    cli::set_binary_mode(stdout);
    decode_all(max_window, max_window_given);
    if (std::fflush(stdout) != 0) throw failure("cannot write standard output");
    return kOk;
}

} // namespace

int main(int argc, char** argv) {
    return cli::main_with_exit("vkod", run, argc, argv, kFailed, kFailed, "out of memory for the stream's window");
}

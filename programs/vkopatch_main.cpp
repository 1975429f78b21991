/* vkopatch: rebuilds NEW from OLD and a diff made by vkodiff.
 *
 * The diff's format comes from its signature (none: serialized).  NEW is written under a
 * temporary name beside it and renamed only when the patch succeeded, so a failed patch
 * never leaves a partial or damaged NEW; OLD is only read.
 *
 * Exit status: 0 success, 1 the diff is bad, does not fit OLD or its format cannot be
 * applied by this build, 2 usage error, 3 file error or out of memory. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "mirv_device_plugins.h"
#include "mirv_patch.h"
#include "mirv_plugins.h"

namespace {

using cli::Exit;

const char kUsage[] =
    "usage: vkopatch [options] OLD DIFF NEW\n"
    "       vkopatch --info DIFF\n"
    "Rebuilds NEW from OLD and DIFF (a serialized, compressed, single-stream or window diff).\n"
    "\n"
    "  --info           print what DIFF's head says, one 'name: value' per line: format, sizes,\n"
    "                   compression, checksums, window, step memory, ring, and the memory needed\n"
    "                   to apply it (for window diffs, the RAM a device needs with the device\n"
    "                   plug-ins in the patch library's size build and default build)\n"
    "  --memory BYTES   work memory handed to the patch library: the cached forms for\n"
    "                   serialized and compressed diffs (default 1M, at least 4K), the listener's\n"
    "                   memory for single-stream and window diffs (at least the diff's step\n"
    "                   memory + 12K, plus its window for window diffs; default that or 1M,\n"
    "                   whichever is larger)\n"
    "  --in-memory      serialized diffs: one call with OLD, DIFF and NEW all in memory\n"
    "  --new-size BYTES serialized diffs: the size of NEW (else derived from the diff)\n"
    "  --no-check       window diffs: do not verify the checksums (by default the old data,\n"
    "                   the new data and the diff are all verified when the diff has checksums)\n"
    "  --help, --version\n"
    "DIFF may be - (standard input) for single-stream and window diffs.\n"
    "Exit status: 0 done, 1 bad diff or diff not for OLD, 2 usage error, 3 file error or out of memory.\n";

enum class Format { kSerialized, kCompressed, kSingle, kWindow };

const size_t kStdinPrefix = 4096;

const char* format_name(Format f) {
    switch (f) {
    case Format::kSerialized: return "serialized";
    case Format::kCompressed: return "compressed";
    case Format::kSingle: return "single-stream";
    default: return "window";
    }
}

Format detect(const std::vector<unsigned char>& head) {
    auto starts = [&](const char* sig) {
        const size_t n = std::strlen(sig);
        return head.size() >= n && std::memcmp(head.data(), sig, n) == 0;
    };
    if (starts("QORVNW26")) return Format::kWindow;
    if (starts("QORVNSF20&")) return Format::kSingle;
    if (starts("QORVN13&")) return Format::kCompressed;
    return Format::kSerialized;
}

struct Options {
    uint64_t memory = 1 << 20;
    bool has_memory = false;
    bool in_memory = false;
    bool no_check = false;
    bool info = false;
    bool has_new_size = false;
    uint64_t new_size = 0;
};

// Streams over open files, read and written at absolute positions.
struct FileStream {
    int fd;
};

// Reads [pos, pos + (out_end - out)) of a file of size bytes; input and output streams
// over files both read through it.
mirv_BOOL file_read_at(const FileStream* file, uint64_t size, uint64_t pos, unsigned char* out,
                       unsigned char* out_end) {
    uint64_t n = uint64_t(out_end - out);
    if (pos > size || n > size - pos) return 0;
    while (n) {
        const ssize_t got = pread(file->fd, out, n, off_t(pos));
        if (got <= 0) return 0;
        out += got;
        pos += uint64_t(got);
        n -= uint64_t(got);
    }
    return 1;
}

mirv_BOOL file_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out, unsigned char* out_end) {
    return file_read_at(static_cast<const FileStream*>(stream->owner), stream->size, pos, out, out_end);
}

mirv_BOOL file_read_back(const mirv_TStreamOutput* stream, uint64_t pos, unsigned char* out, unsigned char* out_end) {
    return file_read_at(static_cast<const FileStream*>(stream->owner), stream->size, pos, out, out_end);
}

mirv_BOOL file_write(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                     const unsigned char* data_end) {
    const int fd = static_cast<FileStream*>(stream->owner)->fd;
    uint64_t n = uint64_t(data_end - data);
    if (pos > stream->size || n > stream->size - pos) return 0;
    while (n) {
        const ssize_t put = pwrite(fd, data, n, off_t(pos));
        if (put <= 0) return 0;
        data += put;
        pos += uint64_t(put);
        n -= uint64_t(put);
    }
    return 1;
}

struct InputFile {
    FileStream owner{-1};
    mirv_TStreamInput stream{};
    InputFile(const std::string& path, const char* what) {
        owner.fd = ::open(path.c_str(), O_RDONLY);
        struct stat st;
        if (owner.fd < 0 || fstat(owner.fd, &st) != 0)
            throw Exit{cli::kFileError, "cannot open " + std::string(what) + " '" + path + "': " + std::strerror(errno)};
        stream = mirv_TStreamInput{&owner, uint64_t(st.st_size), file_read, nullptr};
    }
    ~InputFile() {
        if (owner.fd >= 0) ::close(owner.fd);
    }
};

// A serialized diff does not store the new size: it is the new bytes outside the covers
// plus the covers' lengths.  Every number is checked against the diff's own size.
uint64_t serialized_new_size(const mirv_TStreamInput& diff) {
    std::vector<unsigned char> head(std::min<uint64_t>(diff.size, 5 * mirv_kMaxPackedUIntBytes));
    if (!diff.read(&diff, 0, head.data(), head.data() + head.size())) throw Exit{cli::kFileError, "cannot read DIFF"};
    const unsigned char* cursor = head.data();
    uint64_t numbers[5];
    for (uint64_t& n : numbers)
        if (!mirv_unpackUIntWithTag(&cursor, head.data() + head.size(), &n, 0))
            throw Exit{cli::kBadDiff, "bad diff: the serialized head is cut off"};
    const uint64_t lengths_at = uint64_t(cursor - head.data());
    if (numbers[1] > diff.size - lengths_at) throw Exit{cli::kBadDiff, "bad diff: sections beyond its end"};
    std::vector<unsigned char> lengths(numbers[1]);
    if (!diff.read(&diff, lengths_at, lengths.data(), lengths.data() + lengths.size()))
        throw Exit{cli::kFileError, "cannot read DIFF"};
    uint64_t total = numbers[4];
    const unsigned char* p = lengths.data();
    for (uint64_t i = 0; i < numbers[0]; ++i) {
        uint64_t length = 0;
        if (!mirv_unpackUIntWithTag(&p, lengths.data() + lengths.size(), &length, 0) || length > UINT64_MAX - total)
            throw Exit{cli::kBadDiff, "bad diff: cover lengths cut off or too large"};
        total += length;
    }
    return total;
}

const char kBadDiffMessage[] = "the diff is bad or does not fit OLD";
const uint64_t kMinMemory = 4096;
// Work memory a single-stream or window patch needs beyond step memory (and window).
const uint64_t kStepReserve = 12288;

// A diff arriving on standard input: the bytes already taken for the format check, then
// the rest of the pipe, read front to back.  Reads may go back into the kept first bytes
// (the heads are read more than once) but never behind what the pipe already gave.
struct PipeStream {
    std::vector<unsigned char> prefix;
    FILE* file;
    uint64_t file_pos;  // position of the next byte the pipe gives
};

mirv_BOOL pipe_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out, unsigned char* out_end) {
    PipeStream* pipe = static_cast<PipeStream*>(stream->owner);
    uint64_t n = uint64_t(out_end - out);
    if (pos > stream->size || n > stream->size - pos) return 0;
    if (pos < pipe->prefix.size()) {
        const uint64_t part = std::min<uint64_t>(n, pipe->prefix.size() - pos);
        std::memcpy(out, pipe->prefix.data() + pos, size_t(part));
        out += part;
        pos += part;
        n -= part;
    }
    if (n == 0) return 1;
    if (pos < pipe->file_pos) return 0;
    unsigned char skip[4096];
    while (pipe->file_pos < pos) {
        const size_t piece = size_t(std::min<uint64_t>(sizeof skip, pos - pipe->file_pos));
        if (std::fread(skip, 1, piece, pipe->file) != piece) return 0;
        pipe->file_pos += piece;
    }
    if (std::fread(out, 1, size_t(n), pipe->file) != n) return 0;
    pipe->file_pos += n;
    return 1;
}

// The diff as a stream: a file read at any position, or standard input read front to back,
// whose size then comes from the head (body position plus stored body size).
struct DiffSource {
    std::unique_ptr<InputFile> file;
    PipeStream pipe;
    mirv_TStreamInput pipe_stream{};
    const mirv_TStreamInput* stream = nullptr;

    DiffSource(const std::string& path, const std::vector<unsigned char>& prefix) {
        if (path != "-") {
            file.reset(new InputFile(path, "DIFF"));
            stream = &file->stream;
            return;
        }
        pipe = PipeStream{prefix, stdin, prefix.size()};
        pipe_stream = mirv_TStreamInput{&pipe, prefix.size(), pipe_read, nullptr};
        stream = &pipe_stream;
    }
    // Called once the head is known: how long the diff is.
    void set_size(uint64_t size) {
        if (!file) pipe_stream.size = size;
    }
    bool from_pipe() const { return !file; }
};

const char* window_result_text(int code) {
    switch (code) {
    case mirv_kWindowPatchHeadError: return "no window head, or it failed its checks";
    case mirv_kWindowPatchOutputTooSmall: return "the output is smaller than the new data";
    case mirv_kWindowPatchOldSizeError: return "OLD is not the size the diff was made for";
    case mirv_kWindowPatchListenerRefused: return "the diff's compression or checksum is not known here";
    case mirv_kWindowPatchMemoryError: return "too little work memory";
    case mirv_kWindowPatchFailed: return "bad diff data or a read or write error";
    case mirv_kWindowPatchChecksumPluginError: return "no plug-in for the diff's checksum";
    case mirv_kWindowPatchChecksumOpenError: return "a checksum could not be started";
    case mirv_kWindowPatchOldChecksumError: return "OLD is not the data the diff was made from";
    case mirv_kWindowPatchNewChecksumError: return "the new data does not match its checksum";
    case mirv_kWindowPatchDiffChecksumError: return "the diff is damaged";
    default: return "unknown result";
    }
}

// Work memory for a single-stream or window patch: --memory when given (and enough), else
// the larger of the default and what the diff needs.
uint64_t stream_memory(const Options& o, uint64_t needed, const char* what) {
    if (o.has_memory) {
        if (o.memory < needed)
            throw Exit{cli::kBadDiff, std::string("this ") + what + " diff needs --memory of at least " +
                                              std::to_string(needed) + " bytes"};
        return o.memory;
    }
    return std::max(o.memory, needed);
}

// What the listeners hand the patch, reached through the listener's owner.
struct SingleSetup {
    mirv_TDecompress* plugin;
    std::vector<unsigned char>* memory;
};

mirv_BOOL single_on_diff_info(sspatch_TListener* listener, const mirv_singleCompressedDiffInfo*,
                              mirv_TDecompress** out_plugin, unsigned char** out_cache, unsigned char** out_cache_end) {
    const SingleSetup* setup = static_cast<const SingleSetup*>(listener->owner);
    *out_plugin = setup->plugin;
    *out_cache = setup->memory->data();
    *out_cache_end = setup->memory->data() + setup->memory->size();
    return 1;
}

struct WindowSetup {
    mirv_TDecompress* plugin;
    mirv_TChecksum* checksum;
    bool check;
    std::vector<unsigned char>* memory;
};

mirv_BOOL window_on_diff_info(mirv_TWindowPatchListener* listener, const mirv_windowDiffInfo*,
                              mirv_TDecompress** out_plugin, mirv_TChecksum** out_checksum, mirv_BOOL* check_new,
                              mirv_BOOL* check_old, mirv_BOOL* check_diff, unsigned char** out_cache,
                              unsigned char** out_cache_end) {
    const WindowSetup* setup = static_cast<const WindowSetup*>(listener->owner);
    *out_plugin = setup->plugin;
    *out_checksum = setup->checksum;
    // Everything the diff can vouch for is verified unless --no-check.
    *check_new = *check_old = *check_diff = setup->check && setup->checksum;
    *out_cache = setup->memory->data();
    *out_cache_end = setup->memory->data() + setup->memory->size();
    return 1;
}

std::vector<unsigned char> allocate(uint64_t size) {
    try {
        return std::vector<unsigned char>(size_t(size));
    } catch (const std::exception&) {
        throw Exit{cli::kBadDiff, "cannot have " + std::to_string(size) + " bytes of work memory"};
    }
}

mirv_TDecompress* plugin_for(const char* type, bool compressed) {
    if (!compressed) return nullptr;
    mirv_TDecompress* plugin = mirv_decompress_plugin(type);
    if (!plugin) throw Exit{cli::kBadDiff, std::string("unknown compression type '") + type + "'"};
    return plugin;
}

void apply_front_to_back(Format format, const Options& o, const std::string& old_path, const std::string& diff_path,
                         const std::vector<unsigned char>& prefix, cli::AtomicFile& out) {
    if (o.has_new_size) throw Exit{cli::kUsage, "--new-size applies to serialized diffs only"};
    InputFile old_file(old_path, "OLD");
    DiffSource diff(diff_path, prefix);
    FileStream new_owner{fileno(out.file())};
    if (format == Format::kSingle) {
        mirv_singleCompressedDiffInfo info;
        if (!getSingleCompressedDiffInfo(&info, diff.stream, 0)) throw Exit{cli::kBadDiff, "bad diff: unreadable head"};
        const uint64_t stored = info.compressed_size ? info.compressed_size : info.uncompressed_size;
        if (stored > UINT64_MAX - info.diff_data_pos) throw Exit{cli::kBadDiff, "bad diff: body size"};
        diff.set_size(info.diff_data_pos + stored);
        if (info.old_size != old_file.stream.size)
            throw Exit{cli::kBadDiff, "the diff is for an OLD of " + std::to_string(info.old_size) + " bytes, not " +
                                              std::to_string(old_file.stream.size)};
        std::vector<unsigned char> memory =
            allocate(stream_memory(o, info.step_mem_size + kStepReserve, "single-stream"));
        SingleSetup setup{plugin_for(info.compress_type, info.compressed_size != 0), &memory};
        sspatch_TListener listener{&setup, single_on_diff_info, nullptr};
        const mirv_TStreamOutput new_stream{&new_owner, info.new_size, file_read_back, file_write};
        if (!patch_single_stream(&listener, &new_stream, &old_file.stream, diff.stream, 0, nullptr))
            throw Exit{cli::kBadDiff, kBadDiffMessage};
        return;
    }
    mirv_windowDiffInfo info;
    if (!getWindowDiffInfo(&info, diff.stream, 0)) throw Exit{cli::kBadDiff, "bad diff: unreadable window head"};
    const uint64_t stored = info.compressed_size ? info.compressed_size : info.uncompressed_size;
    if (stored > UINT64_MAX - info.head_size) throw Exit{cli::kBadDiff, "bad diff: body size"};
    diff.set_size(info.head_size + stored);
    if (info.step_mem_size > UINT64_MAX / 2 || info.window_size > UINT64_MAX / 2)
        throw Exit{cli::kBadDiff, "bad diff: memory sizes"};
    std::vector<unsigned char> memory =
        allocate(stream_memory(o, info.step_mem_size + info.window_size + kStepReserve, "window"));
    mirv_TChecksum* checksum = nullptr;
    if (!o.no_check && info.checksum_size) {
        checksum = mirv_checksum_plugin(info.checksum_type);
        if (!checksum) throw Exit{cli::kBadDiff, std::string("unknown checksum type '") + info.checksum_type + "'"};
    }
    WindowSetup setup{plugin_for(info.compress_type, info.compressed_size != 0), checksum, !o.no_check, &memory};
    mirv_TWindowPatchListener listener{&setup, window_on_diff_info, nullptr};
    const mirv_TStreamOutput new_stream{&new_owner, info.new_size, file_read_back, file_write};
    const int result = patch_window_diff(&listener, &new_stream, &old_file.stream, diff.stream, 0);
    if (result != mirv_kWindowPatchOk)
        throw Exit{cli::kBadDiff, "window patch failed: result " + std::to_string(result) + " (" +
                                          window_result_text(result) + ")"};
}

void apply(Format format, const Options& o, const std::string& old_path, const std::string& diff_path,
           const std::vector<unsigned char>& prefix, cli::AtomicFile& out) {
    if (format == Format::kSingle || format == Format::kWindow)
        return apply_front_to_back(format, o, old_path, diff_path, prefix, out);
    // Below this the library cannot even cut its reader caches.
    if (!o.in_memory && o.memory < kMinMemory)
        throw Exit{cli::kUsage, "--memory must be at least " + std::to_string(kMinMemory) + " bytes for " +
                                        format_name(format) + " diffs"};
    InputFile old_file(old_path, "OLD");
    InputFile diff_file(diff_path, "DIFF");
    uint64_t new_size = 0;
    mirv_TDecompress* plugin = nullptr;
    if (format == Format::kSerialized) {
        new_size = o.has_new_size ? o.new_size : serialized_new_size(diff_file.stream);
    } else {
        mirv_compressedDiffInfo info;
        if (!getCompressedDiffInfo(&info, &diff_file.stream)) throw Exit{cli::kBadDiff, "bad diff: unreadable head"};
        if (info.old_size != old_file.stream.size)
            throw Exit{cli::kBadDiff, "the diff is for an OLD of " + std::to_string(info.old_size) + " bytes, not " +
                                              std::to_string(old_file.stream.size)};
        if (info.compressed_count > 0) {
            plugin = mirv_decompress_plugin(info.compress_type);
            if (!plugin)
                throw Exit{cli::kBadDiff, std::string("unknown compression type '") + info.compress_type + "'"};
        }
        new_size = info.new_size;
    }
    bool ok = false;
    if (o.in_memory) {
        std::vector<unsigned char> old_data(old_file.stream.size), diff_data(diff_file.stream.size), new_data;
        if (!old_file.stream.read(&old_file.stream, 0, old_data.data(), old_data.data() + old_data.size()) ||
            !diff_file.stream.read(&diff_file.stream, 0, diff_data.data(), diff_data.data() + diff_data.size()))
            throw Exit{cli::kFileError, "cannot read OLD or DIFF"};
        try {
            new_data.resize(new_size);
        } catch (const std::exception&) {
            throw Exit{cli::kBadDiff, "the diff asks for " + std::to_string(new_size) + " new bytes: out of memory"};
        }
        ok = patch(new_data.data(), new_data.data() + new_data.size(), old_data.data(), old_data.data() + old_data.size(),
                   diff_data.data(), diff_data.data() + diff_data.size());
        if (ok && !out.write(new_data.data(), new_data.size())) throw Exit{cli::kFileError, "cannot write NEW"};
    } else {
        std::vector<unsigned char> memory;
        try {
            memory.resize(o.memory);
        } catch (const std::exception&) {
            throw Exit{cli::kUsage, "--memory: cannot have " + std::to_string(o.memory) + " bytes"};
        }
        FileStream new_owner{fileno(out.file())};
        const mirv_TStreamOutput new_stream{&new_owner, new_size, file_read_back, file_write};
        unsigned char* cache = memory.data();
        if (format == Format::kSerialized)
            ok = patch_stream_with_cache(&new_stream, &old_file.stream, &diff_file.stream, cache, cache + memory.size());
        else
            ok = patch_decompress_with_cache(&new_stream, &old_file.stream, &diff_file.stream, plugin, cache,
                                             cache + memory.size());
    }
    if (!ok) throw Exit{cli::kBadDiff, kBadDiffMessage};
}

// --info: what the head says.  Values a format does not store are left out.
void print_line(const char* name, const std::string& value) { std::printf("%s: %s\n", name, value.c_str()); }
void print_line(const char* name, uint64_t value) { print_line(name, std::to_string(value)); }

std::string hex_le(const unsigned char* bytes, size_t size) {
    std::string out;
    char digits[3];
    for (size_t i = size; i-- > 0;) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        out += digits;
    }
    return out;
}

std::string type_or_none(const char* type, bool used) { return used && type[0] ? type : "none"; }

void print_window_info(const mirv_TStreamInput& diff) {
    mirv_windowDiffInfo info;
    if (!getWindowDiffInfo(&info, &diff, 0)) throw Exit{cli::kBadDiff, "bad diff: unreadable window head"};
    const bool compressed = info.compressed_size != 0;
    print_line("format", "window");
    print_line("old size", info.old_size);
    print_line("new size", info.new_size);
    print_line("compression", type_or_none(info.compress_type, compressed));
    print_line("stored body", compressed ? info.compressed_size : info.uncompressed_size);
    print_line("body", info.uncompressed_size);
    print_line("checksum", type_or_none(info.checksum_type, info.checksum_size != 0));
    if (info.checksum_size) {
        std::vector<unsigned char> sums(size_t(3 * info.checksum_size));
        if (!diff.read(&diff, info.checksums_begin, sums.data(), sums.data() + sums.size()))
            throw Exit{cli::kBadDiff, "bad diff: checksums cut off"};
        const size_t n = size_t(info.checksum_size);
        print_line("old checksum", hex_le(sums.data(), n));
        print_line("new checksum", hex_le(sums.data() + n, n));
        print_line("diff checksum", hex_le(sums.data() + 2 * n, n));
    }
    print_line("windows", info.window_count);
    print_line("window", info.window_size);
    print_line("step memory", info.step_mem_size);
    print_line("ring", info.ring_size);
    const bool vekko = compressed && std::strcmp(info.compress_type, "vekko") == 0;
    uint64_t dict = 0;
    if (vekko) {
        // The vekko stream starts with its decoder window size, 4 bytes little-endian.
        unsigned char header[4];
        if (info.compressed_size < 4 || !diff.read(&diff, info.head_size, header, header + 4))
            throw Exit{cli::kBadDiff, "bad diff: the vekko body is cut off"};
        dict = uint64_t(header[0]) | uint64_t(header[1]) << 8 | uint64_t(header[2]) << 16 | uint64_t(header[3]) << 24;
        print_line("vekko dictionary", dict);
    }
    if (vekko || !compressed) {
        print_line("device RAM, size build",
                   uint64_t(mirv_DEVICE_UPDATE_RAM_SMALL(info.window_size, info.step_mem_size, info.ring_size, dict)));
        print_line("device RAM, default build",
                   uint64_t(mirv_DEVICE_UPDATE_RAM(info.window_size, info.step_mem_size, dict)));
    } else {
        print_line("device RAM", std::string("none: no device plug-in for ") + info.compress_type);
    }
    print_line("host work memory", uint64_t(mirv_WINDOW_PATCH_MEM_SIZE(info.window_size, info.step_mem_size)));
}

void print_info(const std::string& path, Format format) {
    InputFile diff(path, "DIFF");
    switch (format) {
    case Format::kWindow: return print_window_info(diff.stream);
    case Format::kSingle: {
        mirv_singleCompressedDiffInfo info;
        if (!getSingleCompressedDiffInfo(&info, &diff.stream, 0)) throw Exit{cli::kBadDiff, "bad diff: unreadable head"};
        print_line("format", "single-stream");
        print_line("old size", info.old_size);
        print_line("new size", info.new_size);
        print_line("compression", type_or_none(info.compress_type, info.compressed_size != 0));
        print_line("covers", info.cover_count);
        print_line("step memory", info.step_mem_size);
        print_line("host work memory", info.step_mem_size + kStepReserve);
        return;
    }
    case Format::kCompressed: {
        mirv_compressedDiffInfo info;
        if (!getCompressedDiffInfo(&info, &diff.stream)) throw Exit{cli::kBadDiff, "bad diff: unreadable head"};
        print_line("format", "compressed");
        print_line("old size", info.old_size);
        print_line("new size", info.new_size);
        print_line("compression", type_or_none(info.compress_type, info.compressed_count > 0));
        print_line("compressed sections", uint64_t(info.compressed_count));
        print_line("host work memory", "at least " + std::to_string(kMinMemory) + " bytes (--memory), or " +
                                           std::to_string(mirv_kPatchDecompressMemSize) + " bytes of stack");
        return;
    }
    default:
        print_line("format", "serialized");
        print_line("new size", serialized_new_size(diff.stream));
        print_line("compression", "none");
        print_line("host work memory", "at least " + std::to_string(kMinMemory) + " bytes (--memory), or " +
                                           std::to_string(mirv_kPatchStreamMemSize) +
                                           " bytes of stack, or OLD, DIFF and NEW in memory");
        return;
    }
}

int run(int argc, char** argv) {
    Options o;
    std::vector<std::string> files;
    cli::Args args(argc, argv);
    while (args.next()) {
        const std::string& arg = args.arg();
        const std::string& name = args.name();
        if (args.answer_help_or_version(kUsage, "vkopatch 0.1.0")) {
            return 0;
        } else if (name == "--memory") {
            o.memory = args.bytes();
            o.has_memory = true;
        } else if (name == "--in-memory") {
            o.in_memory = true;
        } else if (name == "--no-check") {
            o.no_check = true;
        } else if (name == "--info") {
            o.info = true;
        } else if (name == "--new-size") {
            o.new_size = args.bytes();
            o.has_new_size = true;
        } else if (arg != "-" && arg.size() > 1 && arg[0] == '-') {
            throw Exit{cli::kUsage, "unknown option " + arg + " (try --help)"};
        } else {
            files.push_back(arg);
        }
    }
    if (o.info && files.size() != 1) throw Exit{cli::kUsage, "--info takes DIFF alone (try --help)"};
    if (!o.info && files.size() != 3) throw Exit{cli::kUsage, "expected OLD DIFF NEW (try --help)"};
    if (o.info && files[0] == "-") throw Exit{cli::kUsage, "--info reads DIFF from a file"};
    if (o.info) {
        std::vector<unsigned char> head(16);
        FILE* f = std::fopen(files[0].c_str(), "rb");
        if (!f) throw Exit{cli::kFileError, "cannot open DIFF '" + files[0] + "': " + std::strerror(errno)};
        head.resize(std::fread(head.data(), 1, head.size(), f));
        std::fclose(f);
        print_info(files[0], detect(head));
        return 0;
    }
    if (files[0] == "-" || files[2] == "-") throw Exit{cli::kUsage, "only DIFF may be - (standard input)"};

    // The signature decides the format.  From a file only the first bytes are looked at; from
    // standard input the first 4096 are kept, enough for any head, and handed on.
    std::vector<unsigned char> head(files[1] == "-" ? kStdinPrefix : 16);
    FILE* diff = files[1] == "-" ? stdin : std::fopen(files[1].c_str(), "rb");
    if (!diff) throw Exit{cli::kFileError, "cannot open DIFF '" + files[1] + "': " + std::strerror(errno)};
    size_t got = 0, n;
    while (got < head.size() && (n = std::fread(head.data() + got, 1, head.size() - got, diff)) > 0) got += n;
    head.resize(got);
    if (std::ferror(diff)) throw Exit{cli::kFileError, "cannot read DIFF '" + files[1] + "'"};
    const Format format = detect(head);
    if (diff != stdin) std::fclose(diff);
    if (files[1] == "-" && format != Format::kSingle && format != Format::kWindow)
        throw Exit{cli::kUsage, "standard input serves single-stream and window diffs only"};
    if (o.in_memory && format != Format::kSerialized)
        throw Exit{cli::kUsage, "--in-memory applies to serialized diffs only"};
    FILE* old_file = std::fopen(files[0].c_str(), "rb");
    if (!old_file) throw Exit{cli::kFileError, "cannot open OLD '" + files[0] + "': " + std::strerror(errno)};
    std::fclose(old_file);

    cli::AtomicFile out(files[2], "NEW");
    {
        cli::Progress progress("vkopatch", "applying the diff");
        apply(format, o, files[0], files[1], head, out);
    }
    out.commit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return cli::main_with_exit("vkopatch", run, argc, argv, cli::kBadDiff, cli::kFileError);
}

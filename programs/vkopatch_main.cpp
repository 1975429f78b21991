/* vkopatch: rebuilds NEW from OLD and a diff made by vkodiff.
 *
 * The diff's format comes from its signature (none: serialized); patches of other tools are
 * recognised by theirs and refused.  Every size the diff's head claims is checked against
 * OLD's size, the new size and --memory before any memory is taken, so a small hostile diff
 * cannot make the program take much memory.  NEW goes where cli::Output puts it: under a
 * temporary name renamed only when the patch succeeded (a failed patch never leaves a
 * partial or damaged file), or directly to a device, a FIFO or standard output.  OLD is
 * only read.
 *
 * Exit status: 0 success, 1 the diff is bad, does not fit OLD or its format cannot be
 * applied by this build, 2 usage error (--memory below the diff's need included), 3 a file
 * could not be opened, read, written or synced, or out of memory. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
#include "vkopatch.h"

namespace {

using cli::Exit;
using namespace vkopatch;

const char kUsage[] =
    "usage: vkopatch [options] OLD DIFF NEW\n"
    "       vkopatch --info DIFF\n"
    "Rebuilds NEW from OLD and DIFF (a serialized, compressed, single-stream or window diff).\n"
    "\n"
    "  -f, --force      replace NEW when it exists as a file (also when NEW is OLD: an update\n"
    "                   in place); a device, FIFO or - (standard output) is written directly\n"
    "  -q, --quiet      no progress line\n"
    "  -v, --verbose    a summary line at the end: sizes, time\n"
    "  --info           print what DIFF's head says, one 'name: value' per line: format, sizes,\n"
    "                   compression, checksums, window, step memory, ring, and the memory needed\n"
    "                   to apply it (for window diffs, the RAM a device needs with the device\n"
    "                   plug-ins in the patch library's size build and default build)\n"
    "  --memory BYTES   work memory handed to the patch library: the cached forms for\n"
    "                   serialized and compressed diffs (default 1M, at least 4K), the listener's\n"
    "                   memory for single-stream and window diffs (at least the diff's step\n"
    "                   memory + 12K, plus its window for window diffs; default that or 1M,\n"
    "                   whichever is larger); with --in-memory, at least OLD + DIFF + NEW\n"
    "  --in-memory      serialized diffs: one call with OLD, DIFF and NEW all in memory\n"
    "  --new-size BYTES serialized diffs: the size of NEW (else derived from the diff)\n"
    "  --no-check       window diffs: do not verify the checksums (by default the old data,\n"
    "                   the new data and the diff are all verified when the diff has checksums)\n"
    "  --help, --version\n"
    "OLD is a file or a block device.  DIFF may be - (standard input) or a pipe for single-stream\n"
    "and window diffs.  NEW may be - (standard output), a device or a FIFO.\n"
    "Memory: what the diff's head says (vkopatch --info), never more than OLD and NEW can need.\n"
    "Exit status: 0 done, 1 bad diff or diff not for OLD, 2 usage error (--memory below the diff's\n"
    "need included), 3 a file could not be read or written (the line says why) or out of memory.\n";

const size_t kStreamPrefix = 4096;

struct Options {
    uint64_t memory = 1 << 20;
    bool has_memory = false;
    bool in_memory = false;
    bool no_check = false;
    bool info = false;
    bool has_new_size = false;
    uint64_t new_size = 0;
    bool force = false;
    bool quiet = false;
    bool verbose = false;
};

const char kBadDiffMessage[] = "the diff is bad or does not fit OLD";

uint64_t add_capped(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t times_capped(uint64_t a, uint64_t b) { return b && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

// The largest body a diff that makes new_size bytes in covers covers and windows windows can
// have: every new byte costs at most a gap byte and two bytes of run-length chain, every
// cover, step and window description a few packed numbers.  Generous, but linear in the
// files, which is what keeps a small diff from claiming gigabytes.
uint64_t largest_body(uint64_t new_size, uint64_t covers, uint64_t windows) {
    return add_capped(times_capped(new_size, 4), times_capped(add_capped(add_capped(covers, windows), 1), 128));
}

// Ends the run as a bad diff when a size the head claims is beyond what a diff of these
// files can need.
void check_claim(bool fits, const char* what, uint64_t claim, const std::string& limit) {
    if (!fits)
        throw Exit{cli::kBadDiff, std::string("bad diff: it claims ") + what + " of " + std::to_string(claim) +
                                      ", beyond " + limit};
}

// Work memory from calloc: pages the patch never reaches are never touched, so a claim of
// memory costs only what the patch uses of it.
class WorkMemory {
public:
    explicit WorkMemory(uint64_t size) : size_(size_t(size)) {
        if (size > SIZE_MAX) throw Exit{cli::kFileError, "out of memory (" + std::to_string(size) + " bytes of work memory)"};
        data_ = static_cast<unsigned char*>(std::calloc(size_ ? size_ : 1, 1));
        if (!data_)
            throw Exit{cli::kFileError, "out of memory (" + std::to_string(size) + " bytes of work memory)"};
    }
    ~WorkMemory() { std::free(data_); }
    WorkMemory(const WorkMemory&) = delete;
    WorkMemory& operator=(const WorkMemory&) = delete;
    unsigned char* begin() const { return data_; }
    unsigned char* end() const { return data_ + size_; }

private:
    unsigned char* data_;
    size_t size_;
};

// Work memory for a single-stream or window patch: --memory when given (and enough), else
// the larger of the default and what the diff needs.
uint64_t stream_memory(const Options& o, uint64_t needed, const char* what) {
    if (o.has_memory) {
        if (o.memory < needed)
            throw Exit{cli::kUsage, std::string("this ") + what + " diff needs --memory of at least " +
                                        std::to_string(needed) + " bytes"};
        return o.memory;
    }
    return std::max(o.memory, needed);
}

// A diff arriving through a pipe: the bytes already taken for the format check, then the
// rest of the pipe, read front to back.  Reads may go back into the kept first bytes (the
// heads are read more than once) but never behind what the pipe already gave.
struct PipeStream {
    std::vector<unsigned char> prefix;
    int fd;
    uint64_t file_pos;  // position of the next byte the pipe gives
    int error = 0;
};

bool pipe_take(PipeStream* pipe, unsigned char* out, size_t n) {
    while (n) {
        const ssize_t got = ::read(pipe->fd, out, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0 && !pipe->error) pipe->error = errno;
            return false;  // the end of the pipe before the diff's end: a cut-off diff
        }
        out += got;
        n -= size_t(got);
        pipe->file_pos += uint64_t(got);
    }
    return true;
}

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
    while (pipe->file_pos < pos)
        if (!pipe_take(pipe, skip, size_t(std::min<uint64_t>(sizeof skip, pos - pipe->file_pos)))) return 0;
    return pipe_take(pipe, out, size_t(n));
}

// The diff as a stream: a file read at any position, or a pipe read front to back, whose
// size then comes from the head (body position plus stored body size).
struct DiffSource {
    InputFile file;
    PipeStream pipe;
    mirv_TStreamInput pipe_stream{};
    const mirv_TStreamInput* stream = nullptr;

    explicit DiffSource(const std::string& path) : file(path, "DIFF", true), pipe{{}, file.file.fd, 0} {
        if (file.file.sized) {
            stream = &file.stream;
        } else {
            pipe_stream = mirv_TStreamInput{&pipe, 0, pipe_read, nullptr};
            stream = &pipe_stream;
        }
    }
    bool from_pipe() const { return !file.file.sized; }
    // The first bytes, enough for the signature (from a pipe: enough for any head, kept for
    // the reads that follow).
    std::vector<unsigned char> head() {
        std::vector<unsigned char> head(from_pipe() ? kStreamPrefix : 16);
        if (from_pipe()) {
            size_t got = 0;
            while (got < head.size()) {
                const ssize_t n = ::read(pipe.fd, head.data() + got, head.size() - got);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) throw cli::file_error("read", "DIFF", file.path, errno);
                if (n == 0) break;
                got += size_t(n);
            }
            head.resize(got);
            pipe.prefix = head;
            pipe.file_pos = got;
            pipe_stream.size = got;
            return head;
        }
        head.resize(size_t(std::min<uint64_t>(head.size(), file.stream.size)));
        if (!file.stream.read(&file.stream, 0, head.data(), head.data() + head.size())) file.throw_if_failed();
        return head;
    }
    // Called once the head is known: how long the diff is.
    void set_size(uint64_t size) {
        if (from_pipe()) pipe_stream.size = size;
    }
    // The diff's size when it is a file (else unknown: UINT64_MAX).
    uint64_t known_size() const { return from_pipe() ? UINT64_MAX : file.stream.size; }
    void throw_if_failed() const {
        file.throw_if_failed();
        if (pipe.error) throw cli::file_error("read", "DIFF", file.path, pipe.error);
    }
};

// What the listeners hand the patch, reached through the listener's owner.
struct SingleSetup {
    mirv_TDecompress* plugin;
    const WorkMemory* memory;
};

mirv_BOOL single_on_diff_info(sspatch_TListener* listener, const mirv_singleCompressedDiffInfo*,
                              mirv_TDecompress** out_plugin, unsigned char** out_cache, unsigned char** out_cache_end) {
    const SingleSetup* setup = static_cast<const SingleSetup*>(listener->owner);
    *out_plugin = setup->plugin;
    *out_cache = setup->memory->begin();
    *out_cache_end = setup->memory->end();
    return 1;
}

struct WindowSetup {
    mirv_TDecompress* plugin;
    mirv_TChecksum* checksum;
    bool check;
    const WorkMemory* memory;
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
    *out_cache = setup->memory->begin();
    *out_cache_end = setup->memory->end();
    return 1;
}

// The host plug-ins take their decoder state from the heap and, when that fails, fail as a bad
// section would.  The patch goes through this plug-in instead, which notes a failure that came
// with ENOMEM, so that running out of memory is reported as such and not as a bad diff.
struct WatchedPlugin {
    mirv_TDecompress* inner = nullptr;
    bool out_of_memory = false;
};
WatchedPlugin watched;

void note_failure(bool ok) {
    if (!ok && errno == ENOMEM) watched.out_of_memory = true;
}
mirv_BOOL watched_is_can_open(const char* type) { return watched.inner->is_can_open(type); }
void* watched_open(mirv_TDecompress*, uint64_t decoded_size, const mirv_TStreamInput* code, uint64_t code_begin,
                   uint64_t code_end) {
    errno = 0;
    void* handle = watched.inner->open(watched.inner, decoded_size, code, code_begin, code_end);
    note_failure(handle != nullptr);
    return handle;
}
mirv_BOOL watched_close(mirv_TDecompress*, void* handle) { return watched.inner->close(watched.inner, handle); }
mirv_BOOL watched_decompress_part(void* handle, unsigned char* out, unsigned char* out_end) {
    errno = 0;
    const mirv_BOOL ok = watched.inner->decompress_part(handle, out, out_end);
    note_failure(ok);
    return ok;
}
mirv_BOOL watched_reopen(void* handle, uint64_t decoded_size, const mirv_TStreamInput* code, uint64_t code_begin,
                         uint64_t code_end) {
    errno = 0;
    const mirv_BOOL ok = watched.inner->reopen(handle, decoded_size, code, code_begin, code_end);
    note_failure(ok);
    return ok;
}
mirv_TDecompress watched_plugin = {watched_is_can_open, watched_open, watched_close, watched_decompress_part,
                                   watched_reopen};

mirv_TDecompress* plugin_for(const char* type, bool compressed) {
    if (!compressed) return nullptr;
    mirv_TDecompress* plugin = mirv_decompress_plugin(type);
    if (!plugin) throw Exit{cli::kBadDiff, std::string("unknown compression type '") + type + "'"};
    watched.inner = plugin;
    watched_plugin.reopen = plugin->reopen ? watched_reopen : nullptr;
    return &watched_plugin;
}

void check_old_size(uint64_t claimed, const InputFile& old) {
    if (claimed != old.stream.size)
        throw Exit{cli::kBadDiff, "the diff is for an OLD of " + std::to_string(claimed) + " bytes, not " +
                                      std::to_string(old.stream.size)};
}

// NEW, opened only once the diff's head has passed its checks (a refused diff leaves the
// path as it was), with the patch's view of it.
struct NewFile {
    const Options& options;
    std::string path;
    std::unique_ptr<cli::Output> out;
    FileStream owner{-1};
    std::atomic<uint64_t> written{0};
    uint64_t size = 0;

    NewFile(const Options& o, const std::string& p) : options(o), path(p) {}
    mirv_TStreamOutput open(uint64_t new_size) {
        out.reset(new cli::Output(path, "NEW", options.force));
        out->check_room(new_size);
        size = new_size;
        owner.fd = out->fd();
        owner.seekable = out->seekable();
        owner.progress = &written;
        return mirv_TStreamOutput{&owner, new_size, out->seekable() ? file_read_back : nullptr, file_write};
    }
    // After a failed patch: the file error behind it when there was one, else a bad diff.
    [[noreturn]] void fail(const InputFile& old, const DiffSource* diff, const InputFile* diff_file,
                           const std::string& bad_diff) const {
        throw_if_failed(owner, "write", "NEW", path);
        old.throw_if_failed();
        if (diff) diff->throw_if_failed();
        if (diff_file) diff_file->throw_if_failed();
        if (watched.out_of_memory) throw Exit{cli::kFileError, "out of memory (the decompressor's)"};
        throw Exit{cli::kBadDiff, bad_diff};
    }
    cli::Progress progress() const {
        return cli::Progress("vkopatch", "applying the diff", options.quiet, &written, size);
    }
};

void apply_front_to_back(Format format, const Options& o, const InputFile& old, DiffSource& diff, NewFile& out) {
    if (o.has_new_size) throw Exit{cli::kUsage, "--new-size applies to serialized diffs only"};
    if (format == Format::kSingle) {
        mirv_singleCompressedDiffInfo info;
        if (!getSingleCompressedDiffInfo(&info, diff.stream, 0)) throw Exit{cli::kBadDiff, "bad diff: unreadable head"};
        const uint64_t stored = info.compressed_size ? info.compressed_size : info.uncompressed_size;
        if (stored > UINT64_MAX - info.diff_data_pos) throw Exit{cli::kBadDiff, "bad diff: body size"};
        diff.set_size(info.diff_data_pos + stored);
        check_old_size(info.old_size, old);
        const uint64_t new_covers = add_capped(info.new_size, 1);
        check_claim(info.cover_count <= new_covers, "covers", info.cover_count,
                    "what " + std::to_string(info.new_size) + " new bytes can need");
        check_claim(stored <= diff.known_size(), "a body", stored, "the diff's own size");
        check_claim(info.uncompressed_size <= largest_body(info.new_size, info.cover_count, 0), "a body",
                    info.uncompressed_size, "what " + std::to_string(info.new_size) + " new bytes can need");
        check_claim(info.step_mem_size <= info.uncompressed_size, "step memory", info.step_mem_size,
                    "its body of " + std::to_string(info.uncompressed_size) + " bytes");
        const WorkMemory memory(stream_memory(o, mirv_SINGLE_STREAM_PATCH_MEM_SIZE(info.step_mem_size), "single-stream"));
        SingleSetup setup{plugin_for(info.compress_type, info.compressed_size != 0), &memory};
        sspatch_TListener listener{&setup, single_on_diff_info, nullptr};
        const mirv_TStreamOutput new_stream = out.open(info.new_size);
        bool ok;
        {
            const cli::Progress progress = out.progress();
            ok = patch_single_stream(&listener, &new_stream, &old.stream, diff.stream, 0, nullptr);
        }
        if (!ok) out.fail(old, &diff, nullptr, kBadDiffMessage);
        return;
    }
    mirv_windowDiffInfo info;
    if (!getWindowDiffInfo(&info, diff.stream, 0)) throw Exit{cli::kBadDiff, "bad diff: unreadable window head"};
    const uint64_t stored = info.compressed_size ? info.compressed_size : info.uncompressed_size;
    if (stored > UINT64_MAX - info.head_size) throw Exit{cli::kBadDiff, "bad diff: body size"};
    diff.set_size(info.head_size + stored);
    check_old_size(info.old_size, old);
    const std::string for_new = "what " + std::to_string(info.new_size) + " new bytes can need";
    const uint64_t new_covers = add_capped(info.new_size, 1);
    check_claim(info.window_size <= info.old_size, "a window", info.window_size,
                "OLD's " + std::to_string(info.old_size) + " bytes");
    check_claim(info.window_count <= new_covers, "windows", info.window_count, for_new);
    check_claim(info.max_step_covers <= add_capped(new_covers, info.window_count), "covers in a step",
                info.max_step_covers, for_new);
    check_claim(stored <= diff.known_size(), "a body", stored, "the diff's own size");
    check_claim(info.uncompressed_size <=
                    largest_body(info.new_size, add_capped(new_covers, info.window_count), info.window_count),
                "a body", info.uncompressed_size, for_new);
    check_claim(info.step_mem_size <= info.uncompressed_size, "step memory", info.step_mem_size,
                "its body of " + std::to_string(info.uncompressed_size) + " bytes");
    const WorkMemory memory(stream_memory(o, mirv_WINDOW_PATCH_MEM_SIZE(info.window_size, info.step_mem_size), "window"));
    mirv_TChecksum* checksum = nullptr;
    if (!o.no_check && info.checksum_size) {
        checksum = mirv_checksum_plugin(info.checksum_type);
        if (!checksum) throw Exit{cli::kBadDiff, std::string("unknown checksum type '") + info.checksum_type + "'"};
    }
    WindowSetup setup{plugin_for(info.compress_type, info.compressed_size != 0), checksum, !o.no_check, &memory};
    mirv_TWindowPatchListener listener{&setup, window_on_diff_info, nullptr};
    const mirv_TStreamOutput new_stream = out.open(info.new_size);
    int result;
    {
        const cli::Progress progress = out.progress();
        result = patch_window_diff(&listener, &new_stream, &old.stream, diff.stream, 0);
    }
    if (result == mirv_kWindowPatchChecksumOpenError)  // the checksum plug-ins fail only for memory
        throw Exit{cli::kFileError, "out of memory (a checksum could not be started)"};
    if (result != mirv_kWindowPatchOk)
        out.fail(old, &diff, nullptr,
                 "window patch failed: result " + std::to_string(result) + " (" + mirv_window_patch_result_text(result) + ")");
}

void apply_serialized_or_compressed(Format format, const Options& o, const InputFile& old, DiffSource& diff_source,
                                    NewFile& out) {
    const InputFile& diff_file = diff_source.file;
    // Below this the library cannot even cut its reader caches.
    if (!o.in_memory && o.memory < kMinMemory)
        throw Exit{cli::kUsage, "--memory must be at least " + std::to_string(kMinMemory) + " bytes for " +
                                    format_name(format) + " diffs"};
    uint64_t new_size = 0;
    mirv_TDecompress* plugin = nullptr;
    if (format == Format::kSerialized) {
        new_size = o.has_new_size ? o.new_size : serialized_new_size(diff_file.stream, old.stream.size);
    } else {
        mirv_compressedDiffInfo info;
        if (!getCompressedDiffInfo(&info, &diff_file.stream)) {
            diff_file.throw_if_failed();
            throw Exit{cli::kBadDiff, "bad diff: unreadable head"};
        }
        check_old_size(info.old_size, old);
        plugin = plugin_for(info.compress_type, info.compressed_count > 0);
        new_size = info.new_size;
    }
    bool ok = false;
    if (o.in_memory) {
        const uint64_t needed = add_capped(add_capped(old.stream.size, diff_file.stream.size), new_size);
        if (o.has_memory && o.memory < needed)
            throw Exit{cli::kUsage, "--in-memory needs --memory of at least " + std::to_string(needed) +
                                        " bytes (OLD, DIFF and NEW)"};
        const WorkMemory old_data(old.stream.size), diff_data(diff_file.stream.size), new_data(new_size);
        if (!old.stream.read(&old.stream, 0, old_data.begin(), old_data.end())) old.throw_if_failed();
        if (!diff_file.stream.read(&diff_file.stream, 0, diff_data.begin(), diff_data.end()))
            diff_file.throw_if_failed();
        ok = patch(new_data.begin(), new_data.end(), old_data.begin(), old_data.end(), diff_data.begin(),
                   diff_data.end());
        if (!ok) throw Exit{cli::kBadDiff, kBadDiffMessage};
        out.open(new_size);
        out.out->write(new_data.begin(), size_t(new_size));
        return;
    }
    const WorkMemory memory(o.memory);
    const mirv_TStreamOutput new_stream = out.open(new_size);
    {
        const cli::Progress progress = out.progress();
        if (format == Format::kSerialized)
            ok = patch_stream_with_cache(&new_stream, &old.stream, &diff_file.stream, memory.begin(), memory.end());
        else
            ok = patch_decompress_with_cache(&new_stream, &old.stream, &diff_file.stream, plugin, memory.begin(),
                                             memory.end());
    }
    if (!ok) out.fail(old, nullptr, &diff_file, kBadDiffMessage);
}

int run(int argc, char** argv) {
    const auto started = std::chrono::steady_clock::now();
    Options o;
    std::vector<std::string> files;
    cli::Args args(argc, argv);
    while (args.next()) {
        const std::string& arg = args.arg();
        const std::string& name = args.name();
        if (args.answer_help_or_version(kUsage, "vkopatch")) {
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
        } else if (arg == "-f" || arg == "--force") {
            o.force = true;
        } else if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "-v" || arg == "--verbose") {
            o.verbose = true;
        } else if (arg != "-" && arg.size() > 1 && arg[0] == '-') {
            throw Exit{cli::kUsage, "unknown option " + arg + " (try --help)"};
        } else {
            files.push_back(arg);
        }
    }
    if (o.info && files.size() != 1) throw Exit{cli::kUsage, "--info takes DIFF alone (try --help)"};
    if (!o.info && files.size() != 3) throw Exit{cli::kUsage, "expected OLD DIFF NEW (try --help)"};
    if (o.info) {
        if (files[0] == "-") throw Exit{cli::kUsage, "--info reads DIFF from a file"};
        DiffSource diff(files[0]);
        if (diff.from_pipe()) throw Exit{cli::kUsage, "--info reads DIFF from a file, not a pipe"};
        print_info(diff.file, detect(diff.head()));
        if (std::fflush(stdout) != 0) throw cli::file_error("write", "standard output", "-", errno);
        return 0;
    }
    const std::string &old_path = files[0], &diff_path = files[1], &new_path = files[2];
    if (old_path == "-") throw Exit{cli::kUsage, "OLD cannot be - (it is read at any position)"};

    const InputFile old(old_path, "OLD");
    DiffSource diff(diff_path);
    // NEW must not be DIFF, and may be OLD only as a replaced file (the old one stays readable
    // until the rename), never as a device written in place while it is read.
    const cli::FileId new_id = cli::file_id(new_path);
    if (new_id == diff.file.file.id) throw Exit{cli::kUsage, "NEW and DIFF are the same file"};
    if (new_id == old.file.id) {
        struct stat st;
        if (stat(new_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            throw Exit{cli::kUsage, "NEW and OLD are the same device: it cannot be read and written at once"};
        if (!o.force) throw Exit{cli::kUsage, "NEW is OLD: an update in place needs -f (--force)"};
    }
    cli::check_replaceable(new_path, "NEW", o.force);

    const Format format = detect(diff.head());
    if (diff.from_pipe() && format != Format::kSingle && format != Format::kWindow)
        throw Exit{cli::kUsage, std::string("a ") + format_name(format) +
                                    " diff is read at any position: give DIFF as a file (a pipe serves single-stream"
                                    " and window diffs only)"};
    if (o.in_memory && format != Format::kSerialized)
        throw Exit{cli::kUsage, "--in-memory applies to serialized diffs only"};

    NewFile out(o, new_path);
    if (format == Format::kSingle || format == Format::kWindow)
        apply_front_to_back(format, o, old, diff, out);
    else
        apply_serialized_or_compressed(format, o, old, diff, out);
    out.out->commit();
    if (o.verbose) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "vkopatch: %s diff, OLD %s, NEW %s, %.2f s\n", format_name(format),
                     cli::human_bytes(old.stream.size).c_str(), cli::human_bytes(out.size).c_str(), seconds);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return cli::main_with_exit("vkopatch", run, argc, argv, cli::kBadDiff, cli::kFileError);
}

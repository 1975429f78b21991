/* vkopatch's diff files: what its main program and its --info printing share.
 *
 * A diff's format is told by its signature (detect); files are read and written through
 * FileStream, which keeps the first failure the system reported, so that the patch library
 * sees only "the read failed" and the program can still say why. */
#ifndef VKOPATCH_H
#define VKOPATCH_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "mirv_stream.h"

namespace vkopatch {

enum class Format { kSerialized, kCompressed, kSingle, kWindow };

const char* format_name(Format f);
// The format of the diff that starts with head; throws for patches of other tools.
Format detect(const std::vector<unsigned char>& head);

// Least work memory for serialized and compressed diffs (--memory).
const uint64_t kMinMemory = 4096;

// A file the patch reads or writes, with the first failure of the system it met (0 none;
// kEndedEarly: the file was shorter than it had been when opened).
const int kEndedEarly = -1;

struct FileStream {
    int fd;
    bool seekable = true;
    int error = 0;
    uint64_t written = 0;  // a front-to-back output: bytes written so far
    std::atomic<uint64_t>* progress = nullptr;
};

// Stream callbacks over a FileStream (the stream's owner).
mirv_BOOL file_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out, unsigned char* out_end);
mirv_BOOL file_read_back(const mirv_TStreamOutput* stream, uint64_t pos, unsigned char* out, unsigned char* out_end);
mirv_BOOL file_write(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                     const unsigned char* data_end);

// A file error for what the system reported on a stream (none: no error).
void throw_if_failed(const FileStream& file, const char* verb, const char* what, const std::string& path);

// OLD (a regular file or a block device) or a DIFF file, read at any position.
struct InputFile {
    cli::InputFd file;
    FileStream owner;
    mirv_TStreamInput stream{};
    std::string path;
    const char* what;
    InputFile(const std::string& path_, const char* what_, bool allow_stream = false)
        : file(path_, what_, allow_stream), owner{file.fd}, path(path_), what(what_) {
        stream = mirv_TStreamInput{&owner, file.size, file_read, nullptr};
    }
    void throw_if_failed() const { vkopatch::throw_if_failed(owner, "read", what, path); }
};

// The new size of a serialized diff (which does not store it), each cover at most old_size.
uint64_t serialized_new_size(const mirv_TStreamInput& diff, uint64_t old_size);

// --info: prints what the diff's head says, one "name: value" line each.
void print_info(const InputFile& diff, Format format);

}  // namespace vkopatch

#endif

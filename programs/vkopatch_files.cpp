/* vkopatch's diff files: telling a diff's format, reading and writing files through the patch
 * library's stream records, and the new size of a serialized diff. */
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mirv_patch.h"
#include "vkopatch.h"

namespace vkopatch {

using cli::Exit;

const char* format_name(Format f) {
    switch (f) {
    case Format::kSerialized: return "serialized";
    case Format::kCompressed: return "compressed";
    case Format::kSingle: return "single-stream";
    default: return "window";
    }
}

static bool starts_with(const std::vector<unsigned char>& head, const char* signature, size_t size) {
    return head.size() >= size && std::memcmp(head.data(), signature, size) == 0;
}

Format detect(const std::vector<unsigned char>& head) {
    // Patches of other tools carry signatures of their own; a serialized diff has none, so
    // without this they would be read as one and refused for some inner reason.
    static const struct {
        const char* signature;
        size_t size;
        const char* what;
    } foreign[] = {
        {"BSDIFF40", 8, "a bsdiff patch"},
        {"\xD6\xC3\xC4", 3, "a VCDIFF (xdelta3) patch"},
        {"\x28\xB5\x2F\xFD", 4, "a zstd frame"},
    };
    for (const auto& f : foreign)
        if (starts_with(head, f.signature, f.size)) throw Exit{cli::kBadDiff, std::string("this is ") + f.what + ", not a vekko diff"};
    if (starts_with(head, mirv_kWindowDiffSignature, 8)) return Format::kWindow;
    if (starts_with(head, mirv_kSingleStreamDiffSignature "&", 10)) return Format::kSingle;
    if (starts_with(head, mirv_kCompressedDiffSignature "&", 8)) return Format::kCompressed;
    return Format::kSerialized;
}

// Reads [pos, pos + (out_end - out)) of a file of size bytes; input and output streams
// over files both read through it.
static mirv_BOOL file_read_at(FileStream* file, uint64_t size, uint64_t pos, unsigned char* out, unsigned char* out_end) {
    uint64_t n = uint64_t(out_end - out);
    if (pos > size || n > size - pos) return 0;
    while (n) {
        const ssize_t got = pread(file->fd, out, size_t(n), off_t(pos));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (!file->error) file->error = got < 0 ? errno : kEndedEarly;
            return 0;
        }
        out += got;
        pos += uint64_t(got);
        n -= uint64_t(got);
    }
    return 1;
}

mirv_BOOL file_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out, unsigned char* out_end) {
    return file_read_at(static_cast<FileStream*>(stream->owner), stream->size, pos, out, out_end);
}

mirv_BOOL file_read_back(const mirv_TStreamOutput* stream, uint64_t pos, unsigned char* out, unsigned char* out_end) {
    return file_read_at(static_cast<FileStream*>(stream->owner), stream->size, pos, out, out_end);
}

// Writes at pos; an output that cannot seek (a pipe, a FIFO, a character device) takes
// bytes only in order.
mirv_BOOL file_write(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                     const unsigned char* data_end) {
    FileStream* file = static_cast<FileStream*>(stream->owner);
    uint64_t n = uint64_t(data_end - data);
    if (pos > stream->size || n > stream->size - pos) return 0;
    if (!file->seekable && pos != file->written) return 0;
    while (n) {
        const ssize_t put = file->seekable ? pwrite(file->fd, data, size_t(n), off_t(pos)) : write(file->fd, data, size_t(n));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (!file->error) file->error = put < 0 ? errno : ENOSPC;
            return 0;
        }
        data += put;
        pos += uint64_t(put);
        n -= uint64_t(put);
    }
    if (pos > file->written) {
        file->written = pos;
        if (file->progress) file->progress->store(pos);
    }
    return 1;
}

void throw_if_failed(const FileStream& file, const char* verb, const char* what, const std::string& path) {
    if (!file.error) return;
    if (file.error == kEndedEarly)
        throw Exit{cli::kFileError, "cannot read " + std::string(what) + " '" + path + "': it ended early (did it change?)"};
    throw cli::file_error(verb, what, path, file.error);
}

// A serialized diff does not store the new size: it is the new bytes outside the covers
// plus the covers' lengths.  Every number is checked against the diff's own size, and each
// cover's length against OLD's (a cover copies that many old bytes).
uint64_t serialized_new_size(const mirv_TStreamInput& diff, uint64_t old_size) {
    std::vector<unsigned char> head(std::min<uint64_t>(diff.size, 5 * mirv_kMaxPackedUIntBytes));
    if (!diff.read(&diff, 0, head.data(), head.data() + head.size())) throw Exit{cli::kFileError, "cannot read DIFF"};
    const unsigned char* cursor = head.data();
    uint64_t numbers[5];
    for (uint64_t& n : numbers)
        if (!mirv_unpackUIntWithTag(&cursor, head.data() + head.size(), &n, 0))
            throw Exit{cli::kBadDiff, "bad diff: the serialized head is cut off"};
    const uint64_t lengths_at = uint64_t(cursor - head.data());
    if (numbers[1] > diff.size - lengths_at || numbers[4] > diff.size)
        throw Exit{cli::kBadDiff, "bad diff: sections beyond its end"};
    std::vector<unsigned char> lengths(numbers[1]);
    if (!diff.read(&diff, lengths_at, lengths.data(), lengths.data() + lengths.size()))
        throw Exit{cli::kFileError, "cannot read DIFF"};
    uint64_t total = numbers[4];
    const unsigned char* p = lengths.data();
    for (uint64_t i = 0; i < numbers[0]; ++i) {
        uint64_t length = 0;
        if (!mirv_unpackUIntWithTag(&p, lengths.data() + lengths.size(), &length, 0) || length > old_size ||
            length > UINT64_MAX - total)
            throw Exit{cli::kBadDiff, "bad diff: cover lengths cut off or too large"};
        total += length;
    }
    return total;
}


}  // namespace vkopatch

/* vkopatch: rebuilds NEW from OLD and a diff made by vkodiff.
 *
 * The diff's format comes from its signature (none: serialized).  NEW is written under a
 * temporary name beside it and renamed only when the patch succeeded, so a failed patch
 * never leaves a partial or damaged NEW; OLD is only read.
 *
 * Exit status: 0 success, 1 the diff is bad, does not fit OLD or its format cannot be
 * applied by this build, 2 usage error, 3 file error. */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vkd_cli.h"

namespace {

using vkd_cli::Exit;

const char kUsage[] =
    "usage: vkopatch [options] OLD DIFF NEW\n"
    "Rebuilds NEW from OLD and DIFF (a serialized, compressed, single-stream or window diff).\n"
    "\n"
    "  --memory BYTES   work memory handed to the patch library (default 1M): the cached forms\n"
    "                   for serialized and compressed diffs, the listener's memory for\n"
    "                   single-stream and window diffs (at least step memory + 12K, plus the\n"
    "                   window for window diffs)\n"
    "  --in-memory      serialized diffs: one call with OLD, DIFF and NEW all in memory\n"
    "  --new-size BYTES serialized diffs: the size of NEW (else derived from the diff)\n"
    "  --no-check       window diffs: do not verify the checksums\n"
    "  --help, --version\n"
    "DIFF may be - (standard input) for single-stream and window diffs.\n"
    "Exit status: 0 done, 1 bad diff or diff not for OLD, 2 usage error, 3 file error.\n";

enum class Format { kSerialized, kCompressed, kSingle, kWindow };

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
    bool in_memory = false;
    bool no_check = false;
    bool has_new_size = false;
    uint64_t new_size = 0;
};

// Applies the diff; the patch library behind this is not part of this build yet.
void apply(Format format, const Options&, const std::string&, const std::string&, vkd_cli::AtomicFile&) {
    throw Exit{vkd_cli::kBadDiff, std::string(format_name(format)) + " diffs are not supported yet by this build"};
}

int run(int argc, char** argv) {
    Options o;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string name = arg.substr(0, arg.find('='));
        auto value = [&]() -> std::string {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) return arg.substr(eq + 1);
            if (i + 1 >= argc) throw Exit{vkd_cli::kUsage, "option " + arg + " needs a value"};
            return argv[++i];
        };
        auto bytes = [&](const char* option) {
            uint64_t v = 0;
            const std::string text = value();
            if (!vkd_cli::parse_bytes(text, &v))
                throw Exit{vkd_cli::kUsage, "bad byte count '" + text + "' for " + option};
            return v;
        };
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (name == "--version") {
            std::puts("vkopatch 0.1.0");
            return 0;
        } else if (name == "--memory") {
            o.memory = bytes("--memory");
        } else if (name == "--in-memory") {
            o.in_memory = true;
        } else if (name == "--no-check") {
            o.no_check = true;
        } else if (name == "--new-size") {
            o.new_size = bytes("--new-size");
            o.has_new_size = true;
        } else if (arg != "-" && arg.size() > 1 && arg[0] == '-') {
            throw Exit{vkd_cli::kUsage, "unknown option " + arg + " (try --help)"};
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 3) throw Exit{vkd_cli::kUsage, "expected OLD DIFF NEW (try --help)"};
    if (files[0] == "-" || files[2] == "-") throw Exit{vkd_cli::kUsage, "only DIFF may be - (standard input)"};

    // The signature decides the format; peek at the first bytes only.
    std::vector<unsigned char> head(16);
    FILE* diff = files[1] == "-" ? stdin : std::fopen(files[1].c_str(), "rb");
    if (!diff) throw Exit{vkd_cli::kFileError, "cannot open DIFF '" + files[1] + "': " + std::strerror(errno)};
    head.resize(std::fread(head.data(), 1, head.size(), diff));
    if (std::ferror(diff)) throw Exit{vkd_cli::kFileError, "cannot read DIFF '" + files[1] + "'"};
    const Format format = detect(head);
    if (diff != stdin) std::fclose(diff);
    if (files[1] == "-" && format != Format::kSingle && format != Format::kWindow)
        throw Exit{vkd_cli::kUsage, "standard input serves single-stream and window diffs only"};
    if (o.in_memory && format != Format::kSerialized)
        throw Exit{vkd_cli::kUsage, "--in-memory applies to serialized diffs only"};
    FILE* old_file = std::fopen(files[0].c_str(), "rb");
    if (!old_file) throw Exit{vkd_cli::kFileError, "cannot open OLD '" + files[0] + "': " + std::strerror(errno)};
    std::fclose(old_file);

    vkd_cli::AtomicFile out(files[2], "NEW");
    {
        vkd_cli::Progress progress("vkopatch", "applying the diff");
        apply(format, o, files[0], files[1], out);
    }
    out.commit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Exit& e) {
        std::fprintf(stderr, "vkopatch: %s\n", e.message.c_str());
        return e.status;
    }
}

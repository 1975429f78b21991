/* vkodiff: makes a diff that turns OLD into NEW, in any of the four diff formats.
 *
 * Exit status: 0 success, 1 the diff could not be made (a compressor failed, data too
 * large), 2 usage error, 3 file error or out of memory.  DIFF goes where cli::Output puts
 * it: under a temporary name beside it, renamed only when complete, or directly to a
 * device, a FIFO or standard output. */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "cli.h"
#include "mirv_plugins.h"
#include "vko_diff.h"

namespace {

using cli::Exit;

const char kUsage[] =
    "usage: vkodiff [options] OLD NEW DIFF\n"
    "Writes DIFF, from which vkopatch rebuilds NEW out of OLD.  DIFF may be - (standard output),\n"
    "a device or a FIFO; an existing DIFF file is replaced only with -f.\n"
    "\n"
    "  -f, --force        replace DIFF when it exists as a file\n"
    "  -q, --quiet        no progress line and no notes\n"
    "  -v, --verbose      a summary line at the end: sizes, ratio, time\n"
    "  --format F         serialized | compressed | single | window   (default window)\n"
    "  --compress C[:L]   none | zlib | zstd | vekko, with level L     (default zstd at its strongest;\n"
    "                     vekko takes no level; serialized diffs are never compressed)\n"
    "  --level L          compressor level (zlib 1-9, zstd 1-22)\n"
    "  --checksum S       none | crc32 | xxh64; window diffs only, a usage error with\n"
    "                     the other formats, which carry no checksum      (default xxh64)\n"
    "  --window BYTES     longest old-data window of a window diff       (default 32M)\n"
    "  --step-memory BYTES  cover and run-length buffers of one step     (default 64K, at least 64)\n"
    "  --ring N           window descriptors read ahead, 2-64, power of two (default 8)\n"
    "  --vekko-dict BYTES dictionary of vekko-compressed sections         (default 1M, at most\n"
    "                     64M: the most vkopatch takes)\n"
    "  --min-gain N       keep a cover only when its equal bytes outnumber its differing ones\n"
    "                     by N (default: try several bars and covers chosen by what they\n"
    "                     cost, keep the smallest diff)\n"
    "  --fast             one cover search and one diff written: several times quicker,\n"
    "                     a few percent larger\n"
    "  --device           preset for applying on a microcontroller: window format, vekko\n"
    "                     with a 16K dictionary, crc32, window 16K, step memory 4K, ring 4;\n"
    "                     patch memory window + step memory + 12K (32K); later options override\n"
    "  --ram BYTES        a diff for a device with BYTES of RAM for the update (at least 4K):\n"
    "                     all the patch library's size build and the device plug-ins hold\n"
    "                     fits in BYTES (the stack comes on top; vkopatch --info prints the\n"
    "                     figure).  Window format, vekko, crc32; the window, step memory, ring\n"
    "                     and vekko dictionary are chosen for the smallest diff.  Only\n"
    "                     --min-gain goes with it: the options it chooses are usage errors\n"
    "  --help, --version\n"
    "BYTES takes K, M or G (powers of 1024).\n"
    "The default diff is a window diff with xxh64 checksums of the old data, the new data\n"
    "and the diff: vkopatch refuses a wrong OLD or a damaged diff, and checks what it\n"
    "wrote.  Its window spans all of OLD up to 32M, so vkopatch needs window + step memory\n"
    "+ 12K of work memory for it: OLD's size + 76K at most, 32M + 76K for an OLD above 32M.\n"
    "The other formats, and --checksum none, carry no check of OLD or of the result.\n"
    "Exit status: 0 done, 1 the diff could not be made, 2 usage error, 3 a file could not be read or\n"
    "written (the line says why) or out of memory.\n";

int pick(const std::string& value, const char* option, std::initializer_list<const char*> names) {
    int i = 0;
    for (const char* n : names) {
        if (value == n) return i;
        ++i;
    }
    throw Exit{cli::kUsage, std::string("bad value '") + value + "' for " + option + " (try --help)"};
}

int level_value(const std::string& value) {
    char* end = nullptr;
    const long v = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || v < 1 || v > 22) throw Exit{cli::kUsage, "bad level '" + value + "'"};
    return int(v);
}

int run(int argc, char** argv) {
    const auto started = std::chrono::steady_clock::now();
    bool force = false, quiet = false, verbose = false;
    vkd_TDiffOptions o;
    vkd_default_options(&o);
    std::vector<std::string> files;
    uint64_t ram = 0;
    std::string layout_option;  // the last option that --ram decides itself
    bool checksum_given = false;
    cli::Args args(argc, argv);
    while (args.next()) {
        const std::string& arg = args.arg();
        const std::string& name = args.name();
        if (args.answer_help_or_version(kUsage, "vkodiff")) {
            return 0;
        } else if (name == "--format") {
            o.format = pick(args.value(), "--format", {"serialized", "compressed", "single", "window"});
        } else if (name == "--compress") {
            std::string v = args.value();
            const size_t colon = v.find(':');
            if (colon != std::string::npos) {
                o.level = level_value(v.substr(colon + 1));
                v = v.substr(0, colon);
            }
            o.compress = pick(v, "--compress", {"none", "zlib", "zstd", "vekko"});
        } else if (name == "--level") {
            o.level = level_value(args.value());
        } else if (name == "--checksum") {
            o.checksum = pick(args.value(), "--checksum", {"none", "crc32", "xxh64"});
            checksum_given = true;
        } else if (name == "--window") {
            o.window_size = args.bytes();
        } else if (name == "--step-memory") {
            o.step_mem_size = args.bytes();
        } else if (name == "--ring") {
            o.ring_size = args.bytes();
        } else if (name == "--vekko-dict") {
            o.vekko_dict_size = args.bytes();
            if (o.vekko_dict_size > mirv_kVekkoPluginMaxWindow)
                throw Exit{cli::kUsage, "--vekko-dict " + std::to_string(o.vekko_dict_size) + " is above " +
                                            std::to_string(mirv_kVekkoPluginMaxWindow) +
                                            " bytes (64M), the largest vkopatch accepts"};
        } else if (name == "--min-gain") {
            o.min_cover_gain = args.bytes();
        } else if (name == "--fast") {
            o.fast = 1;
        } else if (name == "--device") {
            vkd_device_options(&o);
        } else if (name == "--ram") {
            ram = args.bytes();
            if (ram < vkd_kMinRamBudget)
                throw Exit{cli::kUsage, "--ram " + std::to_string(ram) + " is below the smallest budget, " +
                                            std::to_string(vkd_kMinRamBudget) + " bytes (4K)"};
        } else if (arg == "-f" || arg == "--force") {
            force = true;
        } else if (arg == "-q" || arg == "--quiet") {
            quiet = true;
        } else if (arg == "-v" || arg == "--verbose") {
            verbose = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw Exit{cli::kUsage, "unknown option " + arg + " (try --help)"};
        } else {
            files.push_back(arg);
        }
        if (name != "--ram" && name != "--min-gain" && name.size() > 2 && name[0] == '-' &&
            name != "--force" && name != "--quiet" && name != "--verbose")
            layout_option = name;
    }
    if (ram && !layout_option.empty())
        throw Exit{cli::kUsage, "--ram chooses the diff's layout itself: " + layout_option + " cannot go with it"};
    if (files.size() != 3) throw Exit{cli::kUsage, "expected OLD NEW DIFF (try --help)"};
    if (checksum_given && !ram && o.format != vkd_FORMAT_WINDOW)
        throw Exit{cli::kUsage, "--checksum goes with window diffs only: the other formats carry no checksum"};
    if (o.compress == vkd_COMPRESS_ZLIB && o.level > 9) throw Exit{cli::kUsage, "zlib levels are 1-9"};
    if (const char* bad = vkd_options_error(&o)) throw Exit{cli::kUsage, bad};

    if (files[0] == "-" && files[1] == "-") throw Exit{cli::kUsage, "OLD and NEW cannot both be -"};
    const cli::FileId diff_id = cli::file_id(files[2]);
    if (diff_id == cli::file_id(files[0]) || diff_id == cli::file_id(files[1]))
        throw Exit{cli::kUsage, "DIFF '" + files[2] + "' is the same file as " +
                                    (diff_id == cli::file_id(files[0]) ? "OLD" : "NEW")};
    cli::check_replaceable(files[2], "DIFF", force);

    const std::vector<unsigned char> old_data = cli::read_file(files[0], "OLD");
    const std::vector<unsigned char> new_data = cli::read_file(files[1], "NEW");
    // Opened before the work, so that a DIFF that cannot be written is known at once.
    cli::Output out(files[2], "DIFF", force);
    std::vector<unsigned char> diff;
    {
        // A compressor's failure (std::runtime_error) ends the program with status 1 and
        // its message, running out of memory with status 3, in main_with_exit.
        const std::string what = "making the diff of " + cli::human_bytes(old_data.size()) + " and " +
                                 cli::human_bytes(new_data.size());
        cli::Progress progress("vkodiff", what.c_str(), quiet);
        if (ram)
            diff = vkd::create_diff_for_ram(old_data.data(), old_data.size(), new_data.data(), new_data.size(), ram,
                                            o.min_cover_gain, nullptr);
        else
            diff = vkd::create_diff(old_data.data(), old_data.size(), new_data.data(), new_data.size(), o);
    }
    out.check_room(diff.size());
    out.write(diff.data(), diff.size());
    out.commit();
    const bool checked = ram || (o.format == vkd_FORMAT_WINDOW && o.checksum != vkd_CHECKSUM_NONE);
    if (!checked && !quiet)
        std::fprintf(stderr, "vkodiff: note: this diff carries no check of OLD or of the result (a window diff "
                             "with checksums, the default, has both)\n");
    if (verbose) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "vkodiff: OLD %s, NEW %s, DIFF %s (%.2f%% of NEW), %.2f s\n",
                     cli::human_bytes(old_data.size()).c_str(), cli::human_bytes(new_data.size()).c_str(),
                     cli::human_bytes(diff.size()).c_str(),
                     new_data.empty() ? 0.0 : 100.0 * double(diff.size()) / double(new_data.size()), seconds);
    }
    return 0;
}

/* A diff is made by writing and compressing many trial diffs in turn, each with buffers and
 * compressor tables of a few MiB.  By default glibc gives every such block back to the
 * system when it is freed and takes fresh pages, which the next trial then faults in and
 * clears again: a tenth of the run on binaries.  Blocks below 32 MiB (the most glibc lets
 * this be) come from the heap instead, and the heap keeps what it has until the program
 * ends.  The peak stays about the same (within a few percent on our test pairs): the trials'
 * blocks only take turns. */
void keep_freed_memory() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    keep_freed_memory();
    return cli::main_with_exit("vkodiff", run, argc, argv, cli::kBadDiff, cli::kFileError);
}

// Where vkodiff and vkopatch put their output and how they treat what they are given: each
// kind of output path, a full device, signals, diffs whose head claims more than the files
// can need, and patches of other tools.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mirv_patch.h"
#include "program_dir.h"
#include "test_data.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Result = vekko_test::ProgramResult;

class CliIo : public vekko_test::ProgramDir {
protected:
    void SetUp() override {
        ProgramDir::SetUp();
        old_ = vekko_test::textLike(40000, 5);
        new_ = old_;
        new_[1234] ^= 0x5A;
        new_.insert(new_.begin() + 30000, old_.begin(), old_.begin() + 700);
        write(path("old"), old_);
        write(path("new"), new_);
    }

    std::string q(const std::string& name) const { return "'" + path(name) + "'"; }
    // Runs a shell line; standard output goes to the file "stdout" unless the line redirects it.
    Result run(const std::string& line) const {
        const int raw = std::system(("( " + line + " ) >" + q("stdout") + " 2>" + q("stderr")).c_str());
        const Bytes text = read(path("stderr"));
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(text.begin(), text.end())};
    }
    // Files in the folder whose name holds ".tmp-": what a run must never leave behind.
    int temporaries() const {
        int count = 0;
        DIR* d = opendir(dir_.c_str());
        while (dirent* e = readdir(d)) count += std::strstr(e->d_name, ".tmp-") != nullptr;
        closedir(d);
        return count;
    }
    void make_diff(const std::string& options) const {
        ASSERT_EQ(run(std::string(VKODIFF_PATH) + " -f " + options + " " + q("old") + " " + q("new") + " " + q("diff"))
                      .status,
                  0);
    }

    Bytes old_, new_;
};

// Each kind of NEW: what lands where, and what is refused.
TEST_F(CliIo, OutputKinds) {
    make_diff("--format window");
    const std::string patch = std::string(VKOPATCH_PATH) + " " + q("old") + " " + q("diff") + " ";
    const Bytes before = {7, 7, 7};
    const bool can_mknod = geteuid() == 0 && mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    struct Case {
        const char* name;
        std::string setup;  // shell commands run first
        std::string line;
        int status;
        std::string result;    // the file holding NEW afterwards ("" none to check)
        bool keeps_before;     // result still holds the earlier bytes
    } cases[] = {
        {"new file", "", patch + q("out"), 0, "out", false},
        {"existing file", "printf '\\7\\7\\7' > " + q("out"), patch + q("out"), 2, "out", true},
        {"existing file, -f", "printf '\\7\\7\\7' > " + q("out"), patch + "-f " + q("out"), 0, "out", false},
        {"symlink", "printf '\\7\\7\\7' > " + q("target") + "; ln -s target " + q("link"),
         patch + "-f " + q("link"), 0, "target", false},
        {"fifo", "mkfifo " + q("fifo") + "; (cat " + q("fifo") + " > " + q("out") + " &)", patch + q("fifo"), 0,
         "out", false},
        {"standard output", "", patch + "- > " + q("out"), 0, "out", false},
        {"standard output, vkodiff",
         "", std::string(VKODIFF_PATH) + " --format window " + q("old") + " " + q("new") + " - | " + patch.substr(0, patch.rfind(q("diff"))) + "- " + q("out"),
         0, "out", false},
        {"NEW is OLD", "cp " + q("old") + " " + q("copy"), std::string(VKOPATCH_PATH) + " " + q("copy") + " " + q("diff") + " " + q("copy"), 2, "", false},
        {"NEW is OLD, -f", "cp " + q("old") + " " + q("copy"),
         std::string(VKOPATCH_PATH) + " -f " + q("copy") + " " + q("diff") + " " + q("copy"), 0, "copy", false},
        {"NEW is DIFF", "", patch + "-f " + q("diff"), 2, "", false},
        {"character device", "", can_mknod ? patch + q("null") : "true", 0, "", false},
        {"full device", "", patch + "/dev/full", 3, "", false},
        {"folder", "mkdir " + q("folder"), patch + "-f " + q("folder"), 3, "", false},
    };
    for (const Case& c : cases) {
        std::system(("rm -rf " + q("out") + " " + q("target") + " " + q("link") + " " + q("fifo") + " " + q("copy") +
                     " " + q("folder"))
                        .c_str());
        if (!c.setup.empty()) {
            ASSERT_EQ(std::system(c.setup.c_str()), 0) << c.name;
        }
        const Result r = run(c.line);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        if (c.status == 0) {
            EXPECT_EQ(r.err, "") << c.name;
        } else {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
        }
        if (c.name == std::string("fifo")) usleep(200000);  // the reader finishes on its own
        if (!c.result.empty()) {
            EXPECT_EQ(read(path(c.result)), c.keeps_before ? before : new_) << c.name;
        }
        EXPECT_EQ(temporaries(), 0) << c.name;
        struct stat st;
        if (c.name == std::string("symlink")) {  // the link stays, pointing at the replaced file
            EXPECT_TRUE(lstat(path("link").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
        }
    }
    if (!can_mknod) std::printf("[ note ] no character device test: needs root and mknod\n");
}

// A loop device over a file, detached again at the end; empty where none can be made (not root,
// no loop devices).
class LoopDevice {
public:
    explicit LoopDevice(const std::string& file) {
        FILE* p = popen(("losetup --find --show '" + file + "' 2>/dev/null").c_str(), "r");
        if (!p) return;
        char line[256] = {0};
        if (std::fgets(line, sizeof line, p)) name_ = std::string(line, std::strcspn(line, "\n"));
        pclose(p);
    }
    ~LoopDevice() {
        if (!name_.empty()) std::system(("losetup -d " + name_).c_str());
    }
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

// Block devices: OLD sized from the device, NEW written in place, a device too small for NEW
// refused before writing.
TEST_F(CliIo, BlockDevices) {
    old_.resize(65536, 'x');
    write(path("old"), old_);
    make_diff("--format window");
    write(path("small"), Bytes(32768));
    write(path("large"), Bytes(1 << 20));
    const LoopDevice old_device(path("old")), small(path("small")), large(path("large"));
    if (old_device.name().empty() || small.name().empty() || large.name().empty())
        GTEST_SKIP() << "no loop devices here (needs root and losetup)";
    const std::string patch = std::string(VKOPATCH_PATH) + " " + old_device.name() + " " + q("diff") + " ";
    EXPECT_EQ(run(patch + q("out")).status, 0);
    EXPECT_EQ(read(path("out")), new_);
    const Result too_small = run(patch + small.name());
    EXPECT_EQ(too_small.status, 3) << too_small.err;
    EXPECT_EQ(run(patch + large.name()).status, 0);
    Bytes written = read(path("large"));
    written.resize(new_.size());
    EXPECT_EQ(written, new_);
    EXPECT_EQ(run(patch + "-f " + old_device.name()).status, 2);  // never read and written at once
}

// SIGINT, SIGTERM and SIGHUP end a run with 128 + the signal and remove its temporary file.
TEST_F(CliIo, SignalsLeaveNoTemporaryFile) {
    // A diff larger than the head's read-ahead, so that the run waits inside the body.
    const Bytes noise = vekko_test::randomBytes(20000, 3);
    new_.insert(new_.begin() + 100, noise.begin(), noise.end());
    write(path("new"), new_);
    make_diff("--format window --compress none");
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        // A FIFO as DIFF holds the run while the temporary NEW exists.
        std::remove(path("fifo").c_str());
        ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            execl(VKOPATCH_PATH, "vkopatch", "-q", path("old").c_str(), path("fifo").c_str(), path("out").c_str(),
                  (char*)nullptr);
            _exit(99);
        }
        // Feed the head and part of the body, then wait for the temporary file to appear.
        FILE* feed = std::fopen(path("fifo").c_str(), "wb");
        ASSERT_NE(feed, nullptr);
        const Bytes diff = read(path("diff"));
        ASSERT_GT(diff.size(), 10000u);
        std::fwrite(diff.data(), 1, 6000, feed);
        std::fflush(feed);
        for (int i = 0; i < 200 && temporaries() == 0; ++i) usleep(10000);
        EXPECT_EQ(temporaries(), 1) << signal_number;
        kill(child, signal_number);
        int status = 0;
        waitpid(child, &status, 0);
        std::fclose(feed);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal_number) << signal_number;
        EXPECT_EQ(temporaries(), 0) << signal_number;
        EXPECT_TRUE(read(path("out")).empty());
    }
}

// Packed numbers of a head, as a diff carries them.
void put(Bytes& out, uint64_t value) {
    unsigned char code[mirv_kMaxPackedUIntBytes];
    unsigned char* cursor = code;
    ASSERT_TRUE(mirv_packUIntWithTag(&cursor, code + sizeof code, value, 0, 0));
    out.insert(out.end(), code, cursor);
}
void put_text(Bytes& out, const char* text, unsigned char end) {
    out.insert(out.end(), text, text + std::strlen(text));
    out.push_back(end);
}

Bytes single_head(uint64_t new_size, uint64_t old_size, uint64_t covers, uint64_t step_mem, uint64_t body,
                  uint64_t compressed, const char* compression) {
    Bytes d;
    put_text(d, "QORVNSF20", '&');
    put_text(d, compression, 0);
    for (uint64_t v : {new_size, old_size, covers, step_mem, body, compressed}) put(d, v);
    d.resize(d.size() + 20, 0);
    return d;
}

Bytes window_head(uint64_t new_size, uint64_t old_size, uint64_t window, uint64_t step_mem, uint64_t body) {
    Bytes head;
    put_text(head, "", '&');
    put_text(head, "", 0);
    for (uint64_t v : {uint64_t(0), body, new_size, old_size, uint64_t(0), uint64_t(1), uint64_t(2), step_mem,
                       uint64_t(1), window, uint64_t(0), uint64_t(0)})
        put(head, v);
    Bytes d = {'Q', 'O', 'R', 'V', 'N', 'W', '2', '6', (unsigned char)head.size(), 0};
    d.insert(d.end(), head.begin(), head.end());
    d.resize(d.size() + 20, 0);
    return d;
}

#if defined(__has_feature)
#define VKD_HAS_FEATURE(x) __has_feature(x)
#else
#define VKD_HAS_FEATURE(x) 0
#endif

// Little address space, so that a claim honoured fails (the address sanitizer's shadow memory
// can't live with a limit).
#if defined(__SANITIZE_ADDRESS__) || VKD_HAS_FEATURE(address_sanitizer)
const char kAddressLimit[] = "";
#else
const char kAddressLimit[] = "ulimit -v 200000; ";
#endif

// A small diff whose head claims memory beyond what a diff of these files can need is a bad
// diff, refused before the memory is taken; --memory below a real need is a usage error.
TEST_F(CliIo, HugeClaimsAreBadDiffs) {
    const uint64_t old_size = old_.size();
    const uint64_t big = uint64_t(1) << 32, huge_new = uint64_t(1) << 34;
    struct Case {
        const char* name;
        Bytes diff;
        std::string options;
        int status;
        std::string message;
    } cases[] = {
        {"single, step memory", single_head(100, old_size, 1, big, 20, 0, ""), "", 1, "bad diff"},
        {"single, stored body", single_head(huge_new, old_size, 1, big, 2 * big, 0, ""), "", 1, "a body"},
        {"single, compressed body", single_head(100, old_size, 1, 64, 1 << 20, 10, "zstd"), "", 1, "a body"},
        {"single, covers", single_head(100, old_size, big, 64, 20, 0, ""), "", 1, "covers"},
        {"window, window", window_head(100, old_size, uint64_t(1) << 31, 64, 20), "", 1, "bad diff"},
        {"window, step memory", window_head(100, old_size, 1000, big, 20), "", 1, "bad diff"},
        // (the patch library's size build refuses numbers of 2^32 and more in its head reader)
        {"window, stored body", window_head(huge_new, old_size, 1000, big, 2 * big), "", 1, "bad diff"},
        {"window, --memory", window_head(100, old_size, 4000, 20, 20), "--memory 4096", 2,
         "at least " + std::to_string(mirv_WINDOW_PATCH_MEM_SIZE(4000, 20))},
        {"serialized, cover length", {1, 1, 0, 0, 0, 0x82, 0xB8, 0x41}, "--in-memory", 1, "cover lengths"},
        {"bsdiff", {'B', 'S', 'D', 'I', 'F', 'F', '4', '0', 0, 0}, "", 1, "this is a bsdiff patch, not a vekko diff"},
        {"xdelta3", {0xD6, 0xC3, 0xC4, 0, 0, 0}, "", 1, "VCDIFF (xdelta3) patch"},
        {"zstd", {0x28, 0xB5, 0x2F, 0xFD, 0, 0}, "--info", 1, "this is a zstd frame"},
    };
    for (const Case& c : cases) {
        write(path("diff"), c.diff);
        const std::string files = c.options == "--info" ? q("diff") : q("old") + " " + q("diff") + " " + q("out");
        const Result r = run(kAddressLimit + std::string(VKOPATCH_PATH) + " " + c.options + " " + files);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_FALSE(std::ifstream(path("out")).good()) << c.name;
    }
}

// -q silences, -v sums up in one line; --help and -h agree.
TEST_F(CliIo, QuietAndVerbose) {
    const std::string diff = std::string(VKODIFF_PATH) + " " + q("old") + " " + q("new") + " ";
    const std::string patch = std::string(VKOPATCH_PATH) + " " + q("old") + " " + q("diff") + " ";
    struct Case {
        std::string line;
        const char* summary;  // "" nothing on standard error
    } cases[] = {
        {diff + "-q " + q("diff"), ""},
        {diff + "-v -f " + q("diff"), "vkodiff: OLD "},
        {patch + "-q " + q("out"), ""},
        {patch + "-v -f " + q("out"), "vkopatch: "},
    };
    for (const Case& c : cases) {
        const Result r = run(c.line);
        EXPECT_EQ(r.status, 0) << c.line << ": " << r.err;
        if (!*c.summary) {
            EXPECT_EQ(r.err, "") << c.line;
        } else {
            EXPECT_TRUE(r.err.rfind(c.summary, 0) == 0 && std::count(r.err.begin(), r.err.end(), '\n') == 1) << r.err;
        }
    }
    for (const char* program : {VKODIFF_PATH, VKOPATCH_PATH, VKOD_PATH}) {
        run(std::string(program) + " --help");
        const Bytes help = read(path("stdout"));
        run(std::string(program) + " -h");
        EXPECT_EQ(read(path("stdout")), help) << program;
        EXPECT_FALSE(help.empty());
    }
}

}  // namespace

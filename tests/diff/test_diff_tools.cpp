// vkodiff and vkopatch as a user runs them: exit statuses, one-line messages, and files
// that are only ever replaced whole.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "diff_reader.h"
#include "program_dir.h"
#include "test_data.h"

namespace {

using vkd_test::Bytes;

using Result = vekko_test::ProgramResult;

class DiffTools : public vekko_test::ProgramDir {
protected:
    void SetUp() override {
        ProgramDir::SetUp();
        old_ = vekko_test::textLike(50000, 11);
        new_ = old_;
        new_.insert(new_.begin() + 1000, old_.begin() + 30000, old_.begin() + 31000);
        new_[20000] ^= 0x33;
        write(path("old"), old_);
        write(path("new"), new_);
    }
    Result run(const std::string& program, const std::string& args) const {
        const std::string err = path("stderr.txt");
        const int raw = std::system((program + " " + args + " >/dev/null 2>'" + err + "'").c_str());
        const Bytes text = read(err);
        std::remove(err.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(text.begin(), text.end())};
    }
    // Names in the folder other than the test's own files.
    std::vector<std::string> strays() const {
        std::vector<std::string> out;
        DIR* d = opendir(dir_.c_str());
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != ".." && n != "old" && n != "new" && n != "diff" && n != "out") out.push_back(n);
        }
        closedir(d);
        return out;
    }

    Bytes old_, new_;
};

TEST_F(DiffTools, VkodiffStatusesAndMessages) {
    const std::string o = "'" + path("old") + "' '" + path("new") + "' ";
    struct Case {
        std::string args;
        int status;
        const char* message;  // part of the one line on standard error; "" = nothing printed
    } cases[] = {
        {"--help", 0, ""},
        {"--version", 0, ""},
        {"", 2, "expected OLD NEW DIFF"},
        {o, 2, "expected OLD NEW DIFF"},
        {"--bogus " + o + path("diff"), 2, "unknown option --bogus"},
        {"--format zip " + o + path("diff"), 2, "bad value 'zip' for --format"},
        {"--compress lzma " + o + path("diff"), 2, "bad value 'lzma' for --compress"},
        {"--compress zlib:12 " + o + path("diff"), 2, "zlib levels are 1-9"},
        {"--window 12Q " + o + path("diff"), 2, "bad byte count '12Q'"},
        {"--format window --ring 3 " + o + path("diff"), 2, "ring size"},
        {"--format single --step-memory 32 " + o + path("diff"), 2, "step memory"},
        {"--format compressed --checksum crc32 " + o + path("diff"), 2, "--checksum goes with window diffs only"},
        {"--format window --window", 2, "needs a value"},
        {"--ram 4000 " + o + path("diff"), 2, "--ram 4000 is below"},
        {"--ram 8K --window 4K " + o + path("diff"), 2, "--window cannot go with it"},
        {"--device --ram 8K " + o + path("diff"), 2, "--device cannot go with it"},
        {"'" + path("missing") + "' '" + path("new") + "' " + path("diff"), 3, "cannot open OLD"},
        {o + path("nofolder/diff"), 3, "cannot create DIFF"},
        {o + "'" + path("old") + "'", 2, "is the same file as OLD"},
        {"--vekko-dict 65M " + o + path("diff"), 2, "the largest vkopatch accepts"},
    };
    for (const Case& c : cases) {
        const Result r = run(VKODIFF_PATH, c.args);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        if (*c.message) {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
            EXPECT_EQ(r.err.rfind("vkodiff: ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        } else {
            EXPECT_EQ(r.err, "") << c.args;
        }
        EXPECT_TRUE(strays().empty()) << c.args;
        EXPECT_TRUE(read(path("diff")).empty()) << c.args;
    }
}

TEST_F(DiffTools, VkodiffWritesEveryFormat) {
    const std::string o = "'" + path("old") + "' '" + path("new") + "' '" + path("diff") + "'";
    const char* settings[] = {
        "--format serialized",
        "--format compressed --compress zlib:6",
        "--format compressed --compress none",
        "--format single --compress zstd --step-memory 1K",
        "--format window --compress vekko --vekko-dict 8K --checksum xxh64 --window 4K --ring 2",
        "--device",
        "--ram 4K --min-gain 16",
        "",
    };
    for (const char* s : settings) {
        const Result r = run(VKODIFF_PATH, std::string(s) + " -f " + o);
        ASSERT_EQ(r.status, 0) << s << ": " << r.err;
        EXPECT_EQ(r.err, std::strstr(s, "--format") && !std::strstr(s, "window")
                             ? "vkodiff: note: this diff carries no check of OLD or of the result (a window diff "
                               "with checksums, the default, has both)\n"
                             : "")
            << s;
        try {
            EXPECT_EQ(vkd_test::apply_diff(old_, read(path("diff")), new_.size()), new_) << s;
        } catch (const std::exception& e) {
            ADD_FAILURE() << s << ": " << e.what();
        }
        EXPECT_TRUE(strays().empty()) << s;
    }
}

TEST_F(DiffTools, FailedRunsLeaveTargetsAlone) {
    // An existing DIFF or NEW keeps its bytes when the run fails.
    const Bytes before = {1, 2, 3};
    write(path("diff"), before);
    write(path("out"), before);
    Result r = run(VKODIFF_PATH, "-f '" + path("missing") + "' '" + path("new") + "' '" + path("diff") + "'");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(read(path("diff")), before);

    // A diff that is not for this OLD, or not applicable by this build, fails with status 1.
    write(path("diff"), Bytes{'Q', 'O', 'R', 'V', 'N', 'W', '2', '6', 0, 0});
    r = run(VKOPATCH_PATH, "-f '" + path("old") + "' '" + path("diff") + "' '" + path("out") + "'");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind("vkopatch: ", 0), 0u) << r.err;
    EXPECT_EQ(read(path("out")), before);
    EXPECT_EQ(read(path("old")), old_);
    EXPECT_TRUE(strays().empty());
}

TEST_F(DiffTools, VkopatchRebuildsNewForEveryFormatAndOption) {
    struct Case {
        const char* make;   // vkodiff options
        const char* apply;  // vkopatch options
        bool from_stdin;
    } cases[] = {
        {"--format serialized", "", false},
        {"--format serialized", "--in-memory", false},
        {"--format serialized", "--new-size 51000 --memory 4K", false},
        {"--format compressed --compress zlib", "--memory 8K", false},
        {"--format compressed --compress vekko", "", false},
        {"--format single", "", false},
        {"--format single --compress zlib --step-memory 1K", "--memory 13K", true},
        {"--device", "--memory 32K", false},
        {"--device", "--no-check", true},
        {"--format window --checksum xxh64 --window 2K", "", true},
        {"--ram 4K", "", false},
        {"--ram 64K", "", true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(run(VKODIFF_PATH, std::string(c.make) + " -f '" + path("old") + "' '" + path("new") + "' '" +
                                        path("diff") + "'")
                      .status,
                  0);
        std::remove(path("out").c_str());
        const std::string files = " '" + path("old") + "' " + (c.from_stdin ? "-" : "'" + path("diff") + "'") +
                                  " '" + path("out") + "'" + (c.from_stdin ? " < '" + path("diff") + "'" : "");
        const Result r = run(VKOPATCH_PATH, std::string(c.apply) + files);
        const std::string what = std::string(c.make) + " / " + c.apply;
        if (r.status == 0) {
            EXPECT_EQ(read(path("out")), new_) << what;
            EXPECT_EQ(r.err, "") << what;
        } else {
            // A build whose patch library lacks the format says so.
            EXPECT_EQ(r.status, 1) << what << ": " << r.err;
            EXPECT_NE(r.err.find("not supported yet"), std::string::npos) << what << ": " << r.err;
            EXPECT_TRUE(read(path("out")).empty()) << what;
        }
        EXPECT_TRUE(strays().empty()) << what;
    }
}

TEST_F(DiffTools, VkopatchRefusesDamagedDiffs) {
    ASSERT_EQ(run(VKODIFF_PATH, "'" + path("old") + "' '" + path("new") + "' '" + path("diff") + "'").status, 0);
    const Bytes good = read(path("diff"));
    const Bytes cut(good.begin(), good.begin() + good.size() / 2);
    Bytes flip = good;
    flip[flip.size() / 2] ^= 0xFF;
    const Bytes flipped = flip;
    const Bytes garbage = vekko_test::randomBytes(3000, 31);
    const Bytes huge_serialized = {1, 1, 0, 0, 0, 0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    const Bytes before = {9, 9, 9};
    for (const Bytes* bad : {&cut, &flipped, &garbage, &huge_serialized}) {
        write(path("diff"), *bad);
        for (const char* mode : {"", "--in-memory"}) {
            write(path("out"), before);
            const Result r = run(VKOPATCH_PATH, std::string(mode) + " -f '" + path("old") + "' '" + path("diff") + "' '" +
                                                    path("out") + "'");
            const bool serialized_only = *mode && bad != &garbage && bad != &huge_serialized;
            EXPECT_EQ(r.status, serialized_only ? 2 : 1) << mode << ": " << r.err;
            EXPECT_EQ(read(path("out")), before);
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
    EXPECT_EQ(read(path("old")), old_);
    EXPECT_TRUE(strays().empty());
}

/* The default diff and the device preset's both catch a same-size wrong OLD and a damaged diff. */
TEST_F(DiffTools, VkopatchNamesTheWindowResult) {
    for (const char* preset : {"", "--device "}) {
        ASSERT_EQ(run(VKODIFF_PATH, std::string("-f -q ") + preset + "'" + path("old") + "' '" + path("new") + "' '" +
                                        path("diff") + "'")
                      .status,
                  0);
        Bytes other_old = old_;
        other_old[40000] ^= 1;
        write(path("other"), other_old);
        Bytes damaged = read(path("diff"));
        for (size_t i = damaged.size() / 2; i < damaged.size(); ++i) damaged[i] ^= 0x20;
        write(path("damaged"), damaged);
        struct Case {
            std::string args;
            int status;
            const char* message;
        } cases[] = {
            {"'" + path("other") + "' '" + path("diff") + "'", 1, "result 10 (the old data is not the data the diff was made from)"},
            {"'" + path("old") + "' '" + path("damaged") + "'", 1, "result 1"}, /* 11 or 12: the flips damage the body */
            {"--memory 1K '" + path("old") + "' '" + path("diff") + "'", 2, "needs --memory of at least"},
            {"--new-size 5 '" + path("old") + "' '" + path("diff") + "'", 2, "serialized diffs only"},
        };
        for (const Case& c : cases) {
            const Result r = run(VKOPATCH_PATH, c.args + " '" + path("out") + "'");
            EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
            EXPECT_TRUE(read(path("out")).empty()) << c.args;
        }
        std::remove(path("other").c_str());
        std::remove(path("damaged").c_str());
        std::remove(path("diff").c_str());
        std::remove(path("out").c_str());
        EXPECT_TRUE(strays().empty());
    }
}

TEST_F(DiffTools, VkopatchStatusesAndMessages) {
    ASSERT_EQ(run(VKODIFF_PATH, "--format compressed '" + path("old") + "' '" + path("new") + "' '" + path("diff") + "'")
                  .status,
              0);
    const std::string od = "'" + path("old") + "' '" + path("diff") + "' ";
    struct Case {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {"--help", 0, ""},
        {"--version", 0, ""},
        {"", 2, "expected OLD DIFF NEW"},
        {"--memory lots " + od + path("out"), 2, "bad byte count 'lots'"},
        {"--frobnicate " + od + path("out"), 2, "unknown option"},
        {"--in-memory " + od + path("out"), 2, "serialized diffs only"},
        {"'" + path("old") + "' - " + path("out") + " < " + path("diff"), 0, ""},
        {"-f '" + path("old") + "' - " + path("out") + " < " + path("diff"), 0, ""},
        {"-f '" + path("old") + "' /dev/stdin " + path("out") + " < /dev/zero", 2, "single-stream and window"},
        {"- " + path("diff") + " " + path("out"), 2, "OLD cannot be -"},
        {od + "-", 0, ""},
        {"'" + path("old") + "' '" + path("missing") + "' " + path("out"), 3, "cannot open DIFF"},
        {"'" + path("missing") + "' '" + path("diff") + "' " + path("out"), 3, "cannot open OLD"},
        {od + path("nofolder/out"), 3, "cannot create NEW"},
    };
    for (const Case& c : cases) {
        const Result r = run(VKOPATCH_PATH, c.args);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        if (*c.message) {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        EXPECT_TRUE(strays().empty()) << c.args;
    }
}

TEST_F(DiffTools, VkopatchInfoNamesWhatTheHeadSays) {
    const std::string files = " '" + path("old") + "' '" + path("new") + "' '" + path("diff") + "'";
    struct Case {
        const char* make;
        std::vector<std::string> lines;  // each must be a whole line of the output
    } cases[] = {
        {"--format serialized", {"format: serialized", "new size: 51000", "compression: none", "checksum: none"}},
        {"--format compressed --compress zlib",
         {"format: compressed", "old size: 50000", "new size: 51000", "checksum: none"}},
        {"--format single --compress none --step-memory 1K",
         {"format: single-stream", "compression: none", "old size: 50000", "checksum: none"}},
        {"--format window --compress zstd --checksum xxh64 --window 8K --ring 16",
         {"format: window", "compression: zstd", "checksum: xxh64", "ring: 16", "device RAM: none: no device plug-in for zstd"}},
        {"--format window --compress none --checksum none --window 4K --step-memory 1K --ring 2",
         {"compression: none", "checksum: none", "ring: 2", "window: 4096"}},
        {"--ram 8K", {"format: window", "compression: vekko", "checksum: crc32"}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(run(VKODIFF_PATH, std::string("-f ") + c.make + files).status, 0) << c.make;
        const int status = std::system((std::string(VKOPATCH_PATH) + " --info '" + path("diff") + "' > '" + path("out") + "'").c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.make;
        const Bytes raw = read(path("out"));
        const std::string text = "\n" + std::string(raw.begin(), raw.end());
        for (const std::string& line : c.lines) EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << c.make << ": " << line << "\n" << text;
        for (size_t at = 1; at < text.size(); at = text.find('\n', at) + 1)
            EXPECT_NE(text.find(": ", at), std::string::npos) << c.make << ": not name: value\n" << text;
        const size_t ram = text.find("\ndevice RAM, size build: ");
        if (std::string(c.make) == "--ram 8K") {
            ASSERT_NE(ram, std::string::npos) << text;
            EXPECT_LE(std::stoul(text.substr(ram + 25)), 8192u) << text;
            char crc[32];
            std::snprintf(crc, sizeof crc, "\nnew checksum: %08lx\n", crc32(0, new_.data(), uInt(new_.size())));
            EXPECT_NE(text.find(crc), std::string::npos) << text;
        }
    }
    write(path("diff"), Bytes{'Q', 'O', 'R', 'V', 'N', 'W', '2', '6', 0xFF, 0xFF, 1});
    EXPECT_EQ(run(VKOPATCH_PATH, "--info '" + path("diff") + "'").status, 1);
    EXPECT_EQ(run(VKOPATCH_PATH, "--info '" + path("old") + "' '" + path("diff") + "' out").status, 2);
}

#if defined(__has_feature)
#define VKD_HAS_FEATURE(x) __has_feature(x)
#else
#define VKD_HAS_FEATURE(x) 0
#endif

// Running out of memory anywhere is status 3 and one line, and leaves no temporary file.
TEST_F(DiffTools, OutOfMemoryIsOneLineAndNoStrayFile) {
#if defined(__SANITIZE_ADDRESS__) || VKD_HAS_FEATURE(address_sanitizer)
    GTEST_SKIP() << "address space limits don't mix with the address sanitizer";
#endif
    ASSERT_EQ(run(VKODIFF_PATH, "--format serialized '" + path("old") + "' '" + path("new") + "' '" + path("diff") + "'")
                  .status,
              0);
    ASSERT_EQ(truncate(path("old").c_str(), 1 << 28), 0);  // sparse: cheap to make, dear to hold
    const std::string limit = "ulimit -v 60000; ";
    std::remove(path("out").c_str());
    const struct {
        std::string program, args, line;
    } cases[] = {
        {VKODIFF_PATH, "'" + path("old") + "' '" + path("new") + "' '" + path("out") + "'", "vkodiff: out of memory"},
        {VKOPATCH_PATH, "--in-memory '" + path("old") + "' '" + path("diff") + "' '" + path("out") + "'",
         "vkopatch: out of memory"},
    };
    for (const auto& c : cases) {
        const Result r = run(limit + c.program, c.args);
        EXPECT_EQ(r.status, 3) << c.args;
        EXPECT_EQ(r.err.rfind(c.line, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(strays().empty()) << c.args;
    }
}

}  // namespace

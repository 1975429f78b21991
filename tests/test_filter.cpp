/* The vkoc and vkod programs as a user runs them. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "codec_helpers.h"
#include "diff/program_dir.h"
#include "test_data.h"

using namespace vekko_test;

namespace {

class FilterTest : public ProgramDir {
protected:
    /* Runs a shell command line and returns the program's exit status. */
    static int run(const std::string& command) {
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int compressFile(const std::string& in, const std::string& out) {
        return run(std::string(VKOC_PATH) + " < '" + in + "' > '" + out + "'");
    }
    int decompressFile(const std::string& in, const std::string& out) {
        return run(std::string(VKOD_PATH) + " < '" + in + "' > '" + out + "' 2> '" + path("err") + "'");
    }
};

} // namespace

TEST_F(FilterTest, EmptyInputExitsTwoWithNothingWritten) {
    write(path("empty"), {});
    EXPECT_EQ(compressFile(path("empty"), path("out")), 2);
    EXPECT_TRUE(read(path("out")).empty());
}

TEST_F(FilterTest, BinaryBytesAndIncompressibleDataRoundTrip) {
    Bytes awkward = {0x0D, 0x0A, 0x1A, 0x00, 0x0A, 0x0D, 0x1A, 0xFF};
    for (int i = 0; i < 6; ++i) awkward.insert(awkward.end(), awkward.begin(), awkward.end());
    const Bytes noise = randomBytes(70000, 8);
    for (const Bytes& data : {awkward, noise, Bytes{0x41}}) {
        write(path("in"), data);
        ASSERT_EQ(compressFile(path("in"), path("vko")), 0);
        const Bytes stream = read(path("vko"));
        EXPECT_LE(stream[0] | stream[1] << 8 | stream[2] << 16 | stream[3] << 24, (int)std::min<size_t>(4096, data.size()));
        EXPECT_EQ(decodeMem(stream, data.size()).bytes, data);
        ASSERT_EQ(decompressFile(path("vko"), path("back")), 0);
        EXPECT_EQ(read(path("back")), data);
    }
}

TEST_F(FilterTest, DecompressorRejectsBadAndTruncatedStreams) {
    const Bytes data = textLike(50000, 2);
    write(path("in"), data);
    ASSERT_EQ(compressFile(path("in"), path("vko")), 0);
    const Bytes stream = read(path("vko"));

    const Bytes bad_inputs[] = {
        Bytes(stream.begin(), stream.end() - 1),           /* the end code's last byte is missing */
        Bytes(stream.begin(), stream.begin() + stream.size() / 2),
        Bytes(stream.begin(), stream.begin() + 3),         /* no whole header */
        Bytes{0, 0, 0, 0, 0x0C, 0},                        /* window of 0 bytes */
        Bytes{1, 0, 0, 0, 0x10, 0},                        /* control code of type 4 */
        Bytes{1, 0, 0, 0, 0x00, 0x05},                     /* distance beyond the window */
    };
    for (const Bytes& bad : bad_inputs) {
        write(path("bad"), bad);
        EXPECT_EQ(decompressFile(path("bad"), path("back")), 1) << bad.size();
        const Bytes message = read(path("err"));
        EXPECT_FALSE(message.empty());
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1);
    }
}

TEST_F(FilterTest, CorpusFilesRoundTripThroughBothPrograms) {
    const std::string corpus = corpusDir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus beside the project";
    DIR* d = opendir(corpus.c_str());
    ASSERT_NE(d, nullptr);
    int files = 0;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name[0] == '.') continue;
        SCOPED_TRACE(name);
        const std::string file = corpus + "/" + name;
        ASSERT_EQ(run(std::string(VKOC_PATH) + " < '" + file + "' | " + VKOD_PATH + " | cmp -s - '" + file + "'"), 0);
        ++files;
    }
    closedir(d);
    EXPECT_GT(files, 0);
}

/* vkod on inputs that are wrong in every way a user meets: status 1, nothing written,
 * one line on standard error that says what went wrong. */
TEST_F(FilterTest, DecompressorNamesEachFailure) {
    const struct {
        const char* name;
        Bytes input;
        const char* args;
        const char* says;
    } cases[] = {
        {"match before the first byte", {0x00, 0x10, 0x00, 0x00, 0x60, 0x05, 0x00}, "", "beyond the data"},
        {"empty input", {}, "", "empty input"},
        {"truncated header", {0x01, 0x00}, "", "truncated header (2 of 4 bytes)"},
        {"window of 0", {0, 0, 0, 0, 0x0C, 0}, "", "not a vekko stream"},
        {"window above 2^30", {1, 0, 0, 0x40, 0x0C, 0}, "", "not a vekko stream"},
        {"window above the default bound", {0, 0, 0, 0x10, 0x0C, 0}, "", "not a vekko stream, or one whose window"},
        {"window above --max-window", {0, 0x10, 0, 0, 0x0C, 0}, "--max-window 4095", "larger than allowed (4095"},
        {"cut stream", {0x03, 0, 0, 0, 0x37, 0x61, 0x62, 0x63, 0x18, 0x03}, "", "truncated stream"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(path("in"), c.input);
        EXPECT_EQ(run(std::string(VKOD_PATH) + " " + c.args + " < '" + path("in") + "' > '" + path("out") +
                      "' 2> '" + path("err") + "'"),
                  1);
        EXPECT_TRUE(read(path("out")).empty());
        const Bytes err = read(path("err"));
        const std::string message(err.begin(), err.end());
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << message;
    }
    /* a window up to the bound is fine, the bound written in any of the byte-count forms */
    write(path("in"), {0, 0x10, 0, 0, 0x0C, 0});
    for (const char* bound : {"4096", "4K", "4k", "4KiB", "1m", "1G"})
        EXPECT_EQ(run(std::string(VKOD_PATH) + " --max-window " + bound + " < '" + path("in") + "' > /dev/null"), 0)
            << bound;
}

/* Concatenated streams decode one after another; bytes after them that are not a
 * stream are an error, after the streams before them were written. */
TEST_F(FilterTest, DecompressorDecodesConcatenatedStreams) {
    const Bytes a = textLike(30000, 5), b = randomBytes(5000, 6), c = {0x42};
    Bytes streams, data;
    for (const Bytes* part : {&a, &b, &c}) {
        write(path("in"), *part);
        ASSERT_EQ(compressFile(path("in"), path("vko")), 0);
        const Bytes s = read(path("vko"));
        streams.insert(streams.end(), s.begin(), s.end());
        data.insert(data.end(), part->begin(), part->end());
    }
    write(path("all"), streams);
    ASSERT_EQ(decompressFile(path("all"), path("back")), 0);
    EXPECT_EQ(read(path("back")), data);

    const struct { const char* name; Bytes tail; } tails[] = {
        {"two stray bytes", {0x78, 0x79}},
        {"zero padding", Bytes(512, 0)},
        {"a header alone", {0x01, 0x00, 0x00, 0x00}},
    };
    for (const auto& t : tails) {
        SCOPED_TRACE(t.name);
        Bytes bad = streams;
        bad.insert(bad.end(), t.tail.begin(), t.tail.end());
        write(path("bad"), bad);
        EXPECT_EQ(decompressFile(path("bad"), path("back")), 1);
        EXPECT_EQ(read(path("back")), data); /* the whole streams before it came out */
        EXPECT_FALSE(read(path("err")).empty());
    }
}

TEST_F(FilterTest, DecompressorArgumentsAndTerminal) {
    const std::string vkod = VKOD_PATH;
    EXPECT_EQ(run(vkod + " --help > '" + path("out") + "'"), 0);
    EXPECT_NE(read(path("out")).size(), 0u);
    EXPECT_EQ(run(vkod + " -h > '" + path("back") + "'"), 0);
    EXPECT_EQ(read(path("back")), read(path("out")));
    EXPECT_EQ(run(vkod + " --version > '" + path("out") + "'"), 0);
    /* data of another kind, whatever window its first bytes spell */
    for (const char* other : {"hello", "BZh91AY&SY", "\xFD" "7zXZ"}) {
        write(path("other"), Bytes(other, other + std::strlen(other)));
        EXPECT_EQ(run(vkod + " < '" + path("other") + "' > /dev/null 2> '" + path("err") + "'"), 1) << other;
        const Bytes err = read(path("err"));
        EXPECT_NE(std::string(err.begin(), err.end()).find("not a vekko stream"), std::string::npos) << other;
    }
    for (const char* bad : {"--max-window", "--max-window 0", "--max-window 2G", "--max-window 12x", "-x", "file"})
        EXPECT_EQ(run(vkod + " " + bad + " < /dev/null > /dev/null 2>&1"), 2) << bad;
    /* decoded data goes to a terminal too (a pseudo-terminal, where the system has the script tool) */
    if (run("command -v script > /dev/null") == 0) {
        write(path("vko"), {0x01, 0, 0, 0, 0x19, 0x41, 0x00});
        EXPECT_EQ(run("script -qec \"" + vkod + " < '" + path("vko") + "'\" /dev/null > '" + path("out") + "'"), 0);
        const Bytes shown = read(path("out"));
        EXPECT_EQ(std::string(shown.begin(), shown.end()).find("terminal"), std::string::npos);
    }
}

/* vkoc's failures: each has its status and one line on standard error, and standard
 * output stays empty. */
TEST_F(FilterTest, CompressorFailuresHaveTheirOwnStatusAndOneLine) {
    const std::string vkoc = VKOC_PATH;
    const struct {
        const char* name;
        std::string command; /* standard output goes to out, standard error to err */
        int status;
        const char* says;
    } cases[] = {
        /* reading a folder fails with EISDIR: a read error like a reset socket's */
        {"unreadable input", vkoc + " < '" + dir_ + "'", 6, "cannot read standard input"},
        {"input of 4 GiB", "truncate -s 4G '" + path("big") + "' && " + vkoc + " < '" + path("big") + "'", 3,
         "input too large: at most 3817696907 bytes"},
        {"vkod reading a folder", std::string(VKOD_PATH) + " < '" + dir_ + "'", 1, "cannot read standard input"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c.command + " > '" + path("out") + "' 2> '" + path("err") + "'"), c.status);
        EXPECT_TRUE(read(path("out")).empty());
        const Bytes err = read(path("err"));
        EXPECT_NE(std::string(err.begin(), err.end()).find(c.says), std::string::npos);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    }
}

/* Running out of memory ends in status 3 and a line, not an abort.  Address space is
 * limited with ulimit, which the sanitizers' shadow memory can't live with. */
TEST_F(FilterTest, CompressorOutOfMemoryIsStatusThree) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address space limits don't mix with the address sanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "address space limits don't mix with the address sanitizer";
#endif
#endif
    EXPECT_EQ(run("head -c 30000000 /dev/zero | (ulimit -v 60000; " + std::string(VKOC_PATH) + " > '" +
                  path("out") + "' 2> '" + path("err") + "')"),
              3);
    EXPECT_TRUE(read(path("out")).empty());
    const Bytes err = read(path("err"));
    EXPECT_EQ(std::string(err.begin(), err.end()), "vkoc: out of memory\n");
}

/* The vkoc and vkod programs as a user runs them. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "codec_helpers.h"
#include "test_data.h"

using namespace vekko_test;

namespace {

class FilterTest : public testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/vekko-filter-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    static void writeFile(const std::string& file, const Bytes& bytes) {
        std::ofstream(file, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
    }
    static Bytes readFile(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
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
    writeFile(path("empty"), {});
    EXPECT_EQ(compressFile(path("empty"), path("out")), 2);
    EXPECT_TRUE(readFile(path("out")).empty());
}

TEST_F(FilterTest, BinaryBytesAndIncompressibleDataRoundTrip) {
    Bytes awkward = {0x0D, 0x0A, 0x1A, 0x00, 0x0A, 0x0D, 0x1A, 0xFF};
    for (int i = 0; i < 6; ++i) awkward.insert(awkward.end(), awkward.begin(), awkward.end());
    const Bytes noise = randomBytes(70000, 8);
    for (const Bytes& data : {awkward, noise, Bytes{0x41}}) {
        writeFile(path("in"), data);
        ASSERT_EQ(compressFile(path("in"), path("vko")), 0);
        const Bytes stream = readFile(path("vko"));
        EXPECT_LE(stream[0] | stream[1] << 8 | stream[2] << 16 | stream[3] << 24, (int)std::min<size_t>(4096, data.size()));
        EXPECT_EQ(decodeMem(stream, data.size()).bytes, data);
        ASSERT_EQ(decompressFile(path("vko"), path("back")), 0);
        EXPECT_EQ(readFile(path("back")), data);
    }
}

TEST_F(FilterTest, DecompressorRejectsBadAndTruncatedStreams) {
    const Bytes data = textLike(50000, 2);
    writeFile(path("in"), data);
    ASSERT_EQ(compressFile(path("in"), path("vko")), 0);
    const Bytes stream = readFile(path("vko"));

    const Bytes bad_inputs[] = {
        Bytes(stream.begin(), stream.end() - 1),           /* the end code's last byte is missing */
        Bytes(stream.begin(), stream.begin() + stream.size() / 2),
        Bytes(stream.begin(), stream.begin() + 3),         /* no whole header */
        Bytes{0, 0, 0, 0, 0x0C, 0},                        /* window of 0 bytes */
        Bytes{1, 0, 0, 0, 0x10, 0},                        /* control code of type 4 */
        Bytes{1, 0, 0, 0, 0x00, 0x05},                     /* distance beyond the window */
    };
    for (const Bytes& bad : bad_inputs) {
        writeFile(path("bad"), bad);
        EXPECT_EQ(decompressFile(path("bad"), path("back")), 1) << bad.size();
        const Bytes message = readFile(path("err"));
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

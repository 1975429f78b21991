// A folder of its own for each test that runs the programs: made before the test, removed after,
// with whole-file reads and writes inside it.
#ifndef VEKKO_TESTS_PROGRAM_DIR_H
#define VEKKO_TESTS_PROGRAM_DIR_H

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vekko_test {

// What one run of a program gave: its exit status and standard error.
struct ProgramResult {
    int status;
    std::string err;
};

class ProgramDir : public ::testing::Test {
protected:
    using Bytes = std::vector<unsigned char>;

    void SetUp() override {
        char pattern[] = "/tmp/vekko_programs_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    static void write(const std::string& p, const Bytes& data) {
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }
    static Bytes read(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

    std::string dir_;
};

}  // namespace vekko_test

#endif

// What the four programs share: the exit that carries a status and one line, main's
// handling of it, byte-count options, binary standard streams, whole-file reads,
// replace-on-success writes and a progress line on a terminal.
#ifndef VEKKO_PROGRAMS_CLI_H
#define VEKKO_PROGRAMS_CLI_H

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace cli {

// The exit statuses of vkodiff and vkopatch (vkoc and vkod have their own lists).
enum Status { kOk = 0, kBadDiff = 1, kUsage = 2, kFileError = 3 };

// Thrown to end the program with a status and a line on standard error (none when the
// message is empty).
struct Exit {
    int status;
    std::string message;
};

// Standard streams carry bytes untranslated, and no byte is taken as an end-of-file mark
// (only Windows runtimes translate; elsewhere this does nothing).
#if defined(_WIN32)
inline void set_binary_mode(FILE* file) { _setmode(_fileno(file), _O_BINARY); }
inline bool is_terminal(FILE* file) { return _isatty(_fileno(file)) != 0; }
#else
inline void set_binary_mode(FILE*) {}
inline bool is_terminal(FILE* file) { return isatty(fileno(file)) != 0; }
#endif

// "4096", "64K", "64k", "64KiB", "1M", "1m", "1MiB", "1G", "1g", "1GiB" (powers of 1024).
inline bool parse_bytes(const std::string& text, uint64_t* out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    size_t i = 0;
    uint64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + uint64_t(text[i] - '0');
    }
    const std::string unit = text.substr(i);
    uint64_t scale = 1;
    if (unit == "K" || unit == "k" || unit == "KiB") scale = 1024;
    else if (unit == "M" || unit == "m" || unit == "MiB") scale = 1024 * 1024;
    else if (unit == "G" || unit == "g" || unit == "GiB") scale = 1024 * 1024 * 1024;
    else if (!unit.empty()) return false;
    if (v > UINT64_MAX / scale) return false;
    *out = v * scale;
    return true;
}

// The command line one word at a time, for programs whose options take their value as
// "--name value" or "--name=value".
class Args {
public:
    Args(int argc, char** argv) : argc_(argc), argv_(argv) {}

    // Moves to the next word; false after the last.
    bool next() {
        if (++index_ >= argc_) return false;
        arg_ = argv_[index_];
        name_ = arg_.substr(0, arg_.find('='));
        return true;
    }
    const std::string& arg() const { return arg_; }
    // The word up to its '=', if it has one.
    const std::string& name() const { return name_; }

    // The option's value: what follows '=', else the next word.
    std::string value() {
        const size_t eq = arg_.find('=');
        if (eq != std::string::npos) return arg_.substr(eq + 1);
        if (index_ + 1 >= argc_) throw Exit{kUsage, "option " + arg_ + " needs a value"};
        return argv_[++index_];
    }
    // The option's value as a byte count (parse_bytes).
    uint64_t bytes() {
        const std::string text = value();
        uint64_t v = 0;
        if (!parse_bytes(text, &v)) throw Exit{kUsage, "bad byte count '" + text + "' for " + name_};
        return v;
    }
    // Answers --help (or -h) with usage and --version with version on standard output;
    // false for any other word.
    bool answer_help_or_version(const char* usage, const char* version) const {
        if (name_ == "--help" || name_ == "-h") std::fputs(usage, stdout);
        else if (name_ == "--version") std::puts(version);
        else return false;
        return true;
    }

private:
    int argc_;
    char** argv_;
    int index_ = 0;
    std::string arg_, name_;
};

inline std::vector<unsigned char> read_file(const std::string& path, const char* what) {
    FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) throw Exit{kFileError, "cannot open " + std::string(what) + " '" + path + "': " + std::strerror(errno)};
    std::vector<unsigned char> data;
    unsigned char buf[1 << 16];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + got);
    const bool bad = std::ferror(f);
    if (f != stdin) std::fclose(f);
    if (bad) throw Exit{kFileError, "cannot read " + std::string(what) + " '" + path + "'"};
    return data;
}

// Writes a file beside the target under a temporary name and renames it over the target
// only when commit() is called; otherwise the temporary file is removed, so a failed run
// never leaves a partial or damaged target.
class AtomicFile {
public:
    AtomicFile(const std::string& path, const char* what) : path_(path), what_(what) {
        temp_ = path + ".tmp-XXXXXX";
        std::vector<char> name(temp_.begin(), temp_.end());
        name.push_back(0);
        const int fd = mkstemp(name.data());
        if (fd < 0)
            throw Exit{kFileError, "cannot create " + what_ + " beside '" + path + "': " + std::strerror(errno)};
        temp_ = name.data();
        // mkstemp makes the file private; give it the mode the target has, or the one a
        // new file would get.
        struct stat target;
        mode_t mode;
        if (stat(path.c_str(), &target) == 0) {
            mode = target.st_mode & 07777;
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        fchmod(fd, mode);
        file_ = fdopen(fd, "w+b");  // read back as well: a patch may copy from what it wrote
        if (!file_) {
            ::close(fd);
            std::remove(temp_.c_str());
            throw Exit{kFileError, "cannot create " + what_ + " '" + path + "'"};
        }
    }
    ~AtomicFile() {
        if (file_) std::fclose(file_);
        if (!committed_) std::remove(temp_.c_str());
    }
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    FILE* file() { return file_; }
    bool write(const unsigned char* data, size_t size) { return std::fwrite(data, 1, size, file_) == size; }
    void commit() {
        const bool flushed = std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        if (!flushed || !closed) throw Exit{kFileError, "cannot write " + what_ + " '" + path_ + "'"};
        if (std::rename(temp_.c_str(), path_.c_str()) != 0)
            throw Exit{kFileError, "cannot rename to " + what_ + " '" + path_ + "': " + std::strerror(errno)};
        committed_ = true;
    }

private:
    std::string path_, what_, temp_;
    FILE* file_ = nullptr;
    bool committed_ = false;
};

// Shows "<program>: <what>... N s" on standard error, once a second after the first
// second, when standard error is a terminal; the line is cleared when the work ends.
class Progress {
public:
    Progress(const char* program, const char* what) : program_(program), what_(what) {
        if (!is_terminal(stderr)) return;
        thread_ = std::thread([this] { run(); });
    }
    ~Progress() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        if (shown_) std::fprintf(stderr, "\r\033[K");
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (int seconds = 1;; ++seconds) {
            if (wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) return;
            std::fprintf(stderr, "\r%s: %s... %d s", program_, what_, seconds);
            std::fflush(stderr);
            shown_ = true;
        }
    }

    const char* program_;
    const char* what_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::atomic<bool> shown_{false};
    std::thread thread_;
};

// A program's main: runs run(argc, argv) and turns an Exit into its status and its line
// on standard error, so no exception leaves main.  Running out of memory anywhere is
// out_of_memory_status with the line out_of_memory; anything else thrown is failure_status
// with what it carries.  A message that ends in a newline (a usage text after the line) is
// written as it is.
inline int main_with_exit(const char* program, int (*run)(int, char**), int argc, char** argv,
                          int failure_status, int out_of_memory_status,
                          const char* out_of_memory = "out of memory") {
    std::string message;
    int status;
    try {
        return run(argc, argv);
    } catch (const Exit& e) {
        status = e.status;
        message = e.message;
    } catch (const std::bad_alloc&) {
        status = out_of_memory_status;
        message = out_of_memory;
    } catch (const std::exception& e) {
        status = failure_status;
        message = e.what();
    } catch (...) {
        status = failure_status;
        message = "unexpected failure";
    }
    std::fflush(stdout);  // what was written before the failure goes out ahead of the line
    if (!message.empty())
        std::fprintf(stderr, "%s: %s%s", program, message.c_str(), message.back() == '\n' ? "" : "\n");
    return status;
}

}  // namespace cli

#endif

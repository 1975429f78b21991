// What the four programs share: the exit that carries a status and one line, main's
// handling of it, byte-count options, binary standard streams, input files (regular files,
// block devices, pipes where allowed), outputs (replace-on-success files, devices, FIFOs,
// standard output) and a progress line on a terminal.
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

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sched.h>
#endif
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "vekko_version.h"

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

// The cores this process may run on: its CPU affinity where the system tells it (a run
// pinned with taskset gains nothing from more threads, and each costs memory), else the
// machine's count; at least 1.
inline unsigned usable_cores() {
    unsigned cores = std::thread::hardware_concurrency();
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cores = unsigned(CPU_COUNT(&set));
#endif
    return cores ? cores : 1;
}

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
    // --version prints the program's name and the version of the library it runs with.
    bool answer_help_or_version(const char* usage, const char* program) const {
        if (name_ == "--help" || name_ == "-h") std::fputs(usage, stdout);
        else if (name_ == "--version") std::printf("%s %s\n", program, vekko_version_string());
        else return false;
        return true;
    }

private:
    int argc_;
    char** argv_;
    int index_ = 0;
    std::string arg_, name_;
};

// "cannot <verb> <what> '<path>': <the system's reason>" as a file error.
inline Exit file_error(const char* verb, const std::string& what, const std::string& path, int error) {
    std::string line = std::string("cannot ") + verb + " " + what;
    if (path != "-") line += " '" + path + "'";
    if (error) line += std::string(": ") + std::strerror(error);
    return Exit{kFileError, line};
}

// A file's identity, for telling whether two names reach the same file.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
    bool operator==(const FileId& other) const {
        return known && other.known && device == other.device && inode == other.inode;
    }
};

inline FileId file_id(const struct stat& st) { return FileId{st.st_dev, st.st_ino, true}; }

// The file a name reaches now (following symlinks); unknown for "-" and names that do not exist.
inline FileId file_id(const std::string& path) {
    struct stat st;
    if (path == "-" || stat(path.c_str(), &st) != 0) return FileId{};
    return file_id(st);
}

// The size of an open block device.
inline bool block_device_size(int fd, uint64_t* size) {
#if defined(BLKGETSIZE64)
    if (ioctl(fd, BLKGETSIZE64, size) == 0) return true;
#endif
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return false;
    *size = uint64_t(end);
    return lseek(fd, 0, SEEK_SET) == 0;
}

// An input file opened for reading: a regular file, a block device (sized from the device)
// or, where the caller allows it, a pipe or character device read front to back (then its
// size is unknown).  A directory is a file error.
struct InputFd {
    int fd = -1;
    uint64_t size = 0;
    bool sized = false;  // a regular file or block device: size holds and reads may go anywhere
    FileId id;

    InputFd(const std::string& path, const char* what, bool allow_stream) {
        if (path == "-") {
            fd = STDIN_FILENO;
        } else {
            fd = ::open(path.c_str(), O_RDONLY);
            if (fd < 0) throw file_error("open", what, path, errno);
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            const int error = errno;
            close_fd();
            throw file_error("read", what, path, error);
        }
        id = file_id(st);
        if (S_ISDIR(st.st_mode)) {
            close_fd();
            throw file_error("read", what, path, EISDIR);
        }
        if (S_ISREG(st.st_mode)) {
            size = uint64_t(st.st_size);
            sized = true;
        } else if (S_ISBLK(st.st_mode)) {
            if (!block_device_size(fd, &size)) {
                const int error = errno;
                close_fd();
                throw file_error("read the size of", what, path, error);
            }
            sized = true;
        } else if (!allow_stream) {
            close_fd();
            throw Exit{kFileError, std::string(what) + " '" + path +
                                       "' is a pipe or character device: it is read at any position, so it must be"
                                       " a regular file or a block device (save it to a file first)"};
        }
    }
    ~InputFd() { close_fd(); }
    InputFd(const InputFd&) = delete;
    InputFd& operator=(const InputFd&) = delete;

private:
    void close_fd() {
        if (fd > STDIN_FILENO) ::close(fd);
        fd = -1;
    }
};

// A whole input file (or standard input for "-") in memory.
inline std::vector<unsigned char> read_file(const std::string& path, const char* what) {
    InputFd in(path, what, true);
    std::vector<unsigned char> data;
    if (in.sized) data.reserve(size_t(in.size));
    unsigned char buf[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in.fd, buf, sizeof buf);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw file_error("read", what, path, errno);
        }
        data.insert(data.end(), buf, buf + got);
    }
    return data;
}

// The temporary file a signal must not leave behind: its name, kept where a signal handler
// can reach it.
namespace detail {
inline char* pending_temp() {
    static char name[4096];
    return name;
}
extern "C" inline void remove_pending_temp_and_exit(int signal_number) {
    const char* name = pending_temp();
    if (name[0]) unlink(name);
    _exit(128 + signal_number);
}
// Blocks SIGINT, SIGTERM and SIGHUP while the name is changed, so that a handler never sees
// half of it.
class SignalGuard {
public:
    SignalGuard() {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGHUP);
        sigprocmask(SIG_BLOCK, &block, &saved_);
    }
    ~SignalGuard() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
};
inline void watch_signals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = remove_pending_temp_and_exit;
        sigemptyset(&action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
}
}  // namespace detail

// Ends the run with a usage error when path is an existing file (not a device, FIFO or
// folder) that may not be replaced: checked before any work, so that the answer comes at once.
inline void check_replaceable(const std::string& path, const std::string& what, bool force) {
    struct stat st;
    if (!force && path != "-" && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        throw Exit{kUsage, what + " '" + path + "' exists; use -f (--force) to replace it"};
}

// Where a program's result goes, decided by what the path names:
//  - "-": standard output, written front to back (refused when it is a terminal);
//  - a block or character device or a FIFO: written directly, front to back;
//  - a regular file or a new name: written under a temporary name beside the file (beside
//    the target of a symlink) and renamed over it by commit(), after which the file and its
//    folder are synced.  An existing file is replaced only when force is set.  Until the
//    commit, the temporary file is removed when the run fails or is ended by SIGINT,
//    SIGTERM or SIGHUP (status 128 + the signal).
class Output {
public:
    Output(const std::string& path, const char* what, bool force) : path_(path), what_(what) {
        if (path == "-") {
            if (is_terminal(stdout))
                throw Exit{kUsage, "refusing to write " + what_ + " to a terminal (redirect standard output)"};
            std::fflush(stdout);
            fd_ = STDOUT_FILENO;
            return;
        }
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            id_ = file_id(st);
            if (S_ISDIR(st.st_mode)) throw file_error("write", what_, path, EISDIR);
            if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
                open_device(st);
                return;
            }
            check_replaceable(path, what_, force);
        }
        target_ = resolve_links(path);
        create_temp(st, id_.known);
    }
    ~Output() {
        if (fd_ > STDOUT_FILENO) ::close(fd_);
        if (!temp_.empty() && !committed_) {
            detail::SignalGuard guard;
            unlink(temp_.c_str());
            detail::pending_temp()[0] = 0;
        }
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    int fd() const { return fd_; }
    // The file the path reached before the run, if it existed.
    const FileId& id() const { return id_; }
    // True when the output may be read back and written at any position (a regular file or a
    // block device); else bytes go out strictly front to back.
    bool seekable() const { return seekable_; }
    // Ends the run with status 3 when the output is a device too small for size bytes.
    void check_room(uint64_t size) const {
        if (has_capacity_ && size > capacity_)
            throw Exit{kFileError, what_ + " '" + path_ + "' is a device of " + std::to_string(capacity_) +
                                       " bytes, too small for " + std::to_string(size)};
    }
    // Writes data after what was written so far (never short: a failure ends the run).
    void write(const unsigned char* data, size_t size) {
        while (size) {
            const ssize_t put = ::write(fd_, data, size);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) throw failure("write", put < 0 ? errno : ENOSPC);
            data += put;
            size -= size_t(put);
        }
    }
    // The run's error for a failed write, read or sync of the output.
    Exit failure(const char* verb, int error) const { return file_error(verb, what_, path_, error); }
    // Makes the output final: synced, and renamed over the path when it went to a temporary file.
    void commit() {
        if (fsync(fd_) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP)
            throw failure("write", errno);  // pipes and terminals cannot be synced, and need not be
        if (temp_.empty()) return;
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw failure("write", errno);
        {
            detail::SignalGuard guard;
            if (std::rename(temp_.c_str(), target_.c_str()) != 0) throw failure("replace", errno);
            committed_ = true;
            detail::pending_temp()[0] = 0;
        }
        // The rename lives in the folder: sync it too, so the new name survives a power cut.
        const int dir = ::open(folder_of(target_).c_str(), O_RDONLY);
        if (dir >= 0) {
            const bool synced = fsync(dir) == 0 || errno == EINVAL;
            const int error = errno;
            ::close(dir);
            if (!synced) throw file_error("sync the folder of", what_, path_, error);
        }
    }

private:
    static std::string folder_of(const std::string& path) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) return ".";
        return slash == 0 ? "/" : path.substr(0, slash);
    }
    // The name at the end of a chain of symlinks (the link's own name if it is none).
    static std::string resolve_links(std::string path) {
        char buffer[4096];
        for (int hops = 0; hops < 40; ++hops) {
            struct stat st;
            if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
            const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
            if (n < 0) return path;
            const std::string link(buffer, size_t(n));
            path = link[0] == '/' || path.find('/') == std::string::npos ? link : folder_of(path) + "/" + link;
        }
        throw Exit{kFileError, "cannot write " + std::string("through the symlinks at '") + path + "': too many levels"};
    }
    void open_device(const struct stat& st) {
        fd_ = ::open(path_.c_str(), S_ISBLK(st.st_mode) ? O_RDWR : O_WRONLY);
        if (fd_ < 0) throw failure("open", errno);
        if (S_ISBLK(st.st_mode)) {
            if (!block_device_size(fd_, &capacity_)) throw failure("read the size of", errno);
            has_capacity_ = true;
            seekable_ = true;
        }
    }
    void create_temp(const struct stat& existing, bool exists) {
        detail::watch_signals();
        std::string pattern = target_ + ".tmp-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        {
            detail::SignalGuard guard;
            fd_ = mkstemp(name.data());
            if (fd_ < 0) throw file_error("create", what_, target_, errno);
            temp_ = name.data();
            if (temp_.size() < 4096) std::memcpy(detail::pending_temp(), temp_.c_str(), temp_.size() + 1);
        }
        // mkstemp makes the file private; give it the mode the file it replaces has, or the
        // one a new file would get.
        mode_t mode;
        if (exists) {
            mode = existing.st_mode & 07777;
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        fchmod(fd_, mode);
        seekable_ = true;
    }

    std::string path_, what_, target_, temp_;
    int fd_ = -1;
    FileId id_;
    bool seekable_ = false;
    bool has_capacity_ = false;
    uint64_t capacity_ = 0;
    bool committed_ = false;
};

// Byte counts for people: "812 B", "3.4 KiB", "12.0 MiB".
inline std::string human_bytes(uint64_t n) {
    if (n < 1024) return std::to_string(n) + " B";
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double v = double(n) / 1024;
    int unit = 0;
    while (v >= 1024 && unit < 3) {
        v /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", v, units[unit]);
    return text;
}

// Shows "<program>: <what>... " on standard error once a second after the first second,
// when standard error is a terminal and the run is not quiet: the bytes done and the
// percentage when a counter and a total are given, else the seconds.  The line is cleared
// when the work ends.
class Progress {
public:
    Progress(const char* program, const char* what, bool quiet, const std::atomic<uint64_t>* done = nullptr,
             uint64_t total = 0)
        : program_(program), what_(what), done_bytes_(done), total_(total) {
        if (quiet || !is_terminal(stderr)) return;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception&) {
            // No thread to spare (memory is short): the work goes on without the line.
        }
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
            if (done_bytes_ && total_) {
                const uint64_t done = done_bytes_->load();
                std::fprintf(stderr, "\r\033[K%s: %s... %s of %s (%d%%)", program_, what_, human_bytes(done).c_str(),
                             human_bytes(total_).c_str(), int(double(done) * 100 / double(total_)));
            } else {
                std::fprintf(stderr, "\r%s: %s... %d s", program_, what_, seconds);
            }
            std::fflush(stderr);
            shown_ = true;
        }
    }

    const char* program_;
    const char* what_;
    const std::atomic<uint64_t>* done_bytes_;
    uint64_t total_;
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

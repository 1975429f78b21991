// Spreads independent pieces of the diff search (cover searches, trial diffs) over the cores
// this process may use.  Each piece writes only a slot of its own, so a diff comes out the same
// whatever the number of threads.
#ifndef VKD_PARALLEL_H
#define VKD_PARALLEL_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace vkd {
namespace detail {

// Cores this process may run on (its CPU affinity where the system tells it), 1 to 8.
inline unsigned worker_count() {
    unsigned cores = std::thread::hardware_concurrency();
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cores = unsigned(CPU_COUNT(&set));
#endif
    return std::max(1u, std::min(cores, 8u));
}

// Calls task(index, worker) for every index below count, on up to `threads` threads of which
// the caller's is one; worker (below threads) tells which thread runs the call, for scratch
// space of its own.  When a call throws, the indexes not yet started are dropped and the first
// exception is thrown here once every thread has ended.
template <class Task>
void for_each_index(size_t count, unsigned threads, Task task) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first_error;
    std::mutex error_mutex;
    auto work = [&](unsigned worker) {
        for (size_t i; !failed && (i = next++) < count;) {
            try {
                task(i, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!first_error) first_error = std::current_exception();
                failed = true;
            }
        }
    };
    std::vector<std::thread> helpers;
    const unsigned wanted = unsigned(std::min<size_t>(threads, count));
    if (wanted > 1) helpers.reserve(wanted - 1);
    try {
        for (unsigned worker = 1; worker < wanted; ++worker) helpers.emplace_back(work, worker);
    } catch (const std::system_error&) {
        // go on with the threads there are
    }
    work(0);
    for (std::thread& helper : helpers) helper.join();
    if (first_error) std::rethrow_exception(first_error);
}

// Returns work(threads) with as many threads as worker_count gives; when that runs out of
// memory with several, work(1) once more, which needs the least (the result is the same).
template <class Work>
auto on_available_cores(Work work) -> decltype(work(1u)) {
    const unsigned threads = worker_count();
    if (threads > 1) {
        try {
            return work(threads);
        } catch (const std::bad_alloc&) {
            // what the other threads held is free again
        }
    }
    return work(1u);
}

}  // namespace detail
}  // namespace vkd

#endif

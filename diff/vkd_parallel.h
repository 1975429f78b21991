// Spreads independent pieces of the diff search (cover searches, trial diffs) over the cores
// this process may use.  Each piece writes only a slot of its own, so a diff comes out the same
// whatever the number of threads.
#ifndef VKD_PARALLEL_H
#define VKD_PARALLEL_H

#include <algorithm>
#include <atomic>
#include <condition_variable>
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

// Calls work(worker) on up to `threads` threads, the caller's being worker 0, and returns when
// every call has; work must not throw.  When no more threads can be started, it goes on with
// those there are.
template <class Work>
void run_on_threads(unsigned threads, const Work& work) {
    std::vector<std::thread> helpers;
    if (threads > 1) helpers.reserve(threads - 1);
    try {
        for (unsigned worker = 1; worker < threads; ++worker) helpers.emplace_back(work, worker);
    } catch (const std::system_error&) {
        // go on with the threads there are
    }
    work(0);
    for (std::thread& helper : helpers) helper.join();
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
    run_on_threads(unsigned(std::min<size_t>(threads, count)), work);
    if (first_error) std::rethrow_exception(first_error);
}

// Results of the `choose` of run_when_ready besides a task: nothing is ready until a running
// task finishes, or no task is left.
constexpr size_t kNoTaskReady = SIZE_MAX - 1;
constexpr size_t kNoTaskLeft = SIZE_MAX;

// Runs tasks that wait for one another on up to `threads` threads of which the caller's is
// one.  choose() names the task to run next (which it counts as started), kNoTaskReady or
// kNoTaskLeft; run(task, worker) runs it, worker telling which thread it is on (below
// threads); finished(task) records it done.  choose and finished are called one at a time
// under a lock, so they may share plain state; run is not.  When a task throws, no more
// start, and the first exception is thrown here once every thread has ended.
template <class Choose, class Run, class Finished>
void run_when_ready(unsigned threads, Choose choose, Run run, Finished finished) {
    std::mutex mutex;
    std::condition_variable changed;
    bool failed = false;
    std::exception_ptr first_error;
    auto work = [&](unsigned worker) {
        std::unique_lock<std::mutex> lock(mutex);
        while (!failed) {
            const size_t task = choose();
            if (task == kNoTaskLeft) break;
            if (task == kNoTaskReady) {
                changed.wait(lock);
                continue;
            }
            lock.unlock();
            try {
                run(task, worker);
                lock.lock();
                finished(task);
            } catch (...) {
                if (!lock.owns_lock()) lock.lock();
                if (!first_error) first_error = std::current_exception();
                failed = true;
            }
            changed.notify_all();
        }
    };
    run_on_threads(threads, work);
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

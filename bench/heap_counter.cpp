/* Heap accounting for the benchmark harness.
 *
 * The harness executable replaces the C library's allocation functions with thin
 * wrappers around glibc's own implementation (__libc_malloc and friends).  Because
 * the definitions live in the executable, the dynamic linker binds every caller to
 * them: the harness, libstdc++'s operator new, and the peer codecs' shared libraries.
 *
 * What is counted: the usable size (malloc_usable_size) of every live block, i.e. the
 * bytes asked for rounded up to glibc's chunk granularity.  Not counted: glibc's own
 * bookkeeping (chunk headers, arenas, memory cached after free), stack and static
 * data.  So "peak" is the largest amount of heap a call holds at once, close to what
 * the code itself asked for.
 *
 * vekko's encoder may compress on several threads, so the counters are atomic.
 */
#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

// Signed: a block allocated before a replacement was bound (inside the loader) may be
// freed through ours, which must not wrap the count around.
std::atomic<int64_t> live_bytes{0};
std::atomic<int64_t> peak_bytes{0};

void note_allocated(void* block)
{
    if (!block)
        return;
    const int64_t live = live_bytes += static_cast<int64_t>(malloc_usable_size(block));
    int64_t peak = peak_bytes.load();
    while (live > peak && !peak_bytes.compare_exchange_weak(peak, live)) {
    }
}

void note_freed(void* block)
{
    if (block)
        live_bytes -= static_cast<int64_t>(malloc_usable_size(block));
}

void* aligned_block(size_t alignment, size_t size)
{
    void* block = __libc_memalign(alignment, size);
    note_allocated(block);
    return block;
}

} // namespace

namespace heap_counter {

int64_t live() { return live_bytes; }
int64_t peak() { return peak_bytes; }
void reset_peak() { peak_bytes = live_bytes.load(); }

} // namespace heap_counter

extern "C" {

void* malloc(size_t size) noexcept
{
    void* block = __libc_malloc(size);
    note_allocated(block);
    return block;
}

void* calloc(size_t count, size_t size) noexcept
{
    void* block = __libc_calloc(count, size);
    note_allocated(block);
    return block;
}

void* realloc(void* block, size_t size) noexcept
{
    size_t old_size = block ? malloc_usable_size(block) : 0;
    void* moved = __libc_realloc(block, size);
    if (!moved && size != 0)
        return nullptr; // the old block is still there, still counted
    live_bytes -= static_cast<int64_t>(old_size);
    note_allocated(moved);
    return moved;
}

void* reallocarray(void* block, size_t count, size_t size) noexcept
{
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(block, total);
}

void free(void* block) noexcept
{
    note_freed(block);
    __libc_free(block);
}

void* memalign(size_t alignment, size_t size) noexcept { return aligned_block(alignment, size); }

void* aligned_alloc(size_t alignment, size_t size) noexcept { return aligned_block(alignment, size); }

void* valloc(size_t size) noexcept { return aligned_block(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size); }

void* pvalloc(size_t size) noexcept
{
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return aligned_block(page, (size + page - 1) / page * page);
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept
{
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* block = aligned_block(alignment, size);
    if (!block)
        return ENOMEM;
    *result = block;
    return 0;
}

} // extern "C"

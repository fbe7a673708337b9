// Large zero-filled buffers straight from the kernel, in huge pages.
//
// Phase one's planes and residual planes (megabytes each, zero borders
// around what it writes) come from mappings of their own advised to take
// 2 MiB pages: zero-filled by the kernel with a fault per 2 MiB, and back to
// the system when dropped. From calloc, a block the heap hands out again is
// cleared by a pass of its own and a fresh one is mapped 4 KiB at a time, a
// fault each (some 2,500 for the six planes of a 1.7-megapixel colour strip):
// a default-level encode runs 4-8% faster this way. Buffers that their maker
// writes in full (the decoder's) keep to malloc, whose blocks come back warm
// from the last call, and buffers mostly left untouched (the shard encoder's
// slots) to calloc, whose pages are mapped only where written.
#include "zeroed.hpp"

#include <cstdint>
#include <mutex>
#include <unordered_set>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace rans {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kBigBytes = std::size_t{1} << 20;  // smaller buffers stay with calloc

// Under the address and thread sanitizers every buffer stays on the heap,
// where they watch its bounds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMapBig = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kMapBig = false;
#else
constexpr bool kMapBig = true;
#endif
#else
constexpr bool kMapBig = true;
#endif

#if defined(__linux__)
// The mapping of a buffer of `bytes`: whole huge pages.
std::size_t mapped_length(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// The buffers handed out as mappings: a heap block may sit anywhere, even on
// a 2 MiB boundary, so only this list tells a mapping from a heap block. Its
// lock is held across fork(), so that a child never inherits it locked by a
// thread that the child does not have. The list and the fork handlers are
// set up when the library is loaded, before any thread can take the lock: a
// list made on first use would leave a window (the lock taken, the handlers
// not yet registered, or the list's initialisation under way) in which a
// fork gives a child that waits forever.
std::mutex g_mapped_lock;
std::unordered_set<void*>& g_mapped = *new std::unordered_set<void*>;  // never destroyed: buffers may outlive exit handlers
const int g_mapped_fork_handlers = pthread_atfork([] { g_mapped_lock.lock(); }, [] { g_mapped_lock.unlock(); },
                                                  [] { g_mapped_lock.unlock(); });
#endif

}  // namespace

void* big_zeroed_allocate(std::size_t bytes) noexcept {
#if defined(__linux__)
    if (!kMapBig || bytes < kBigBytes || bytes > SIZE_MAX / 2) return nullptr;
    // a huge page must start on a 2 MiB boundary: map one more, trim both ends
    const std::size_t len = mapped_length(bytes);
    void* raw = mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t end = start + len + kHugePage;
    if (end > aligned + len) munmap(reinterpret_cast<void*>(aligned + len), end - (aligned + len));
    void* p = reinterpret_cast<void*>(aligned);
    madvise(p, len, MADV_HUGEPAGE);  // a hint: 4 KiB pages do too
    try {
        const std::lock_guard<std::mutex> lk(g_mapped_lock);
        g_mapped.insert(p);
    } catch (...) {
        munmap(p, len);
        return nullptr;
    }
    return p;
#else
    (void)bytes;
    return nullptr;
#endif
}

bool big_zeroed_free(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
    if (!kMapBig || bytes < kBigBytes || (reinterpret_cast<std::uintptr_t>(p) & (kHugePage - 1)) != 0)
        return false;
    {
        const std::lock_guard<std::mutex> lk(g_mapped_lock);
        if (g_mapped.erase(p) == 0) return false;
    }
    munmap(p, mapped_length(bytes));
    return true;
#else
    (void)p;
    (void)bytes;
    return false;
#endif
}

}  // namespace rans

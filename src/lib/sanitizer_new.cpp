// Linked only into AddressSanitizer builds (ORV_SANITIZE containing
// "address"). The sanitizer's own operator new ends the process when an
// allocation fails, where a plain build throws std::bad_alloc, which the call
// frame turns into MemoryError. These replacements go through malloc, which
// the sanitizer still instruments (with allocator_may_return_null=1 it
// returns null for an impossible size), and throw as a plain build does, so
// the tests of oversized requests run unchanged under the sanitizer. The
// module is linked with -Bsymbolic-functions there, so only its own code
// uses them.
#include <cstdlib>
#include <new>

void* operator new(std::size_t n) {
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

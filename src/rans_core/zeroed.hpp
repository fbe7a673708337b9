// Zero-filled buffers whose pages the kernel maps only when first written.
//
// A std::vector value-initialises its elements, touching every page of a new
// buffer. The shard encoder's stream buffer reserves about twice the input
// and fills only part of each slot; with this allocator the zero bytes come
// from calloc (fresh pages are zero already) and untouched pages stay
// unmapped.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace rans {

template <class T>
struct ZeroedAllocator {
    using value_type = T;
    ZeroedAllocator() = default;
    template <class U>
    ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        void* p = std::calloc(n ? n : 1, sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    // value-initialisation is a no-op: the memory is zero already
    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(ZeroedAllocator, ZeroedAllocator) noexcept { return true; }
};

// Trivial element types only: zero bytes are their value-initialised state.
using ZeroedBytes = std::vector<std::uint8_t, ZeroedAllocator<std::uint8_t>>;

}  // namespace rans

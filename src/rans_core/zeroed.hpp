// Zero-filled buffers whose pages the kernel maps only when first written.
//
// A std::vector value-initialises its elements, touching every page of a new
// buffer. The shard encoder's stream buffer reserves about twice the input
// and fills only part of each slot; with this allocator the zero bytes come
// from calloc (fresh pages are zero already) and untouched pages stay
// unmapped. From 1 MiB on they come from a mapping of their own in huge
// pages (zeroed.cpp): a fault per 2 MiB, and no pass to clear a reused block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace rans {

// A zero-filled buffer of at least 1 MiB in a mapping of its own (zeroed.cpp),
// or null where there is none (then calloc serves); big_zeroed_free unmaps
// one and says so, or leaves a heap block to free().
void* big_zeroed_allocate(std::size_t bytes) noexcept;
bool big_zeroed_free(void* p, std::size_t bytes) noexcept;

// How a buffer's bytes start. A buffer that its maker writes in full before
// anyone reads it needs no zeros at all: `unfilled` takes it from malloc.
// (calloc gives fresh pages without a fill, but a block it reuses from the
// heap is cleared first: for an image's planes, a pass over megabytes that
// the decoder then overwrites.) `sparse` zeros come from calloc, whose fresh
// pages the kernel maps 4 KiB at a time where they are written: for a buffer
// mostly left untouched, such as the shard encoder's slots.
enum class Fill : std::uint8_t { zeros, sparse, unfilled };

template <class T>
struct ZeroedAllocator {
    using value_type = T;
    Fill fill = Fill::zeros;
    ZeroedAllocator() = default;
    explicit ZeroedAllocator(Fill f) noexcept : fill(f) {}
    template <class U>
    ZeroedAllocator(const ZeroedAllocator<U>& o) noexcept : fill(o.fill) {}

    T* allocate(std::size_t n) {
        if (fill == Fill::zeros && n <= SIZE_MAX / sizeof(T))
            if (void* big = big_zeroed_allocate(n * sizeof(T))) return static_cast<T*>(big);
        void* p = fill == Fill::unfilled ? std::malloc((n ? n : 1) * sizeof(T)) : std::calloc(n ? n : 1, sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    // which of the ways gave p is asked of the mappings, not of `fill`: a
    // buffer moved into a vector keeps the allocator that vector had
    void deallocate(T* p, std::size_t n) noexcept {
        if (!big_zeroed_free(p, n * sizeof(T))) std::free(p);
    }

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

// n bytes that the caller must write in full before they are read or returned.
inline ZeroedBytes unfilled_bytes(std::size_t n) { return ZeroedBytes(n, ZeroedAllocator<std::uint8_t>(Fill::unfilled)); }

// n zero bytes of which the caller writes only a part.
inline ZeroedBytes sparse_zeroed_bytes(std::size_t n) { return ZeroedBytes(n, ZeroedAllocator<std::uint8_t>(Fill::sparse)); }

}  // namespace rans

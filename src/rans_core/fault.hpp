// Faults of the codec core and the one checked accessor that raises them.
//
// A fault is an internal error the caller cannot recover from inside the call:
// an index outside a table or buffer, a slice outside a buffer, a size that
// overflows the address range. The binding turns `Fault` into PanicException
// and `InvalidInput` (a documented precondition the caller broke) into
// ValueError. Hot loops prove their bounds once outside the loop where they
// can and use `at`/`sub` only where they cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

namespace rans {

struct Fault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct InvalidInput : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

[[noreturn]] void index_fault(std::size_t len, std::size_t index);
[[noreturn]] void slice_end_fault(std::size_t end, std::size_t len);
[[noreturn]] void slice_order_fault(std::size_t begin, std::size_t end);
[[noreturn]] void capacity_overflow();

// Element i of s, or an index fault.
template <class T>
inline T& at(std::span<T> s, std::size_t i) {
    if (i >= s.size()) [[unlikely]]
        index_fault(s.size(), i);
    return s[i];
}

// Elements [begin, end) of s, or a slice fault.
template <class T>
inline std::span<T> sub(std::span<T> s, std::size_t begin, std::size_t end) {
    if (begin > end) [[unlikely]]
        slice_order_fault(begin, end);
    if (end > s.size()) [[unlikely]]
        slice_end_fault(end, s.size());
    return s.subspan(begin, end - begin);
}

// Size arithmetic for buffers: a product or sum that overflows is a fault.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) capacity_overflow();
    return r;
}
inline std::size_t checked_add(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_add_overflow(a, b, &r)) capacity_overflow();
    return r;
}

}  // namespace rans

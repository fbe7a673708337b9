// Small helpers over byte buffers that several parts of the core share: the
// span aliases, little-endian integers, and a plane's padded form and the
// interior of a padded plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fault.hpp"

namespace rans {

using Bytes = std::span<const std::uint8_t>;
using Words = std::span<const std::uint16_t>;

// The `bytes` low-order bytes of a little-endian integer at p.
inline std::uint64_t read_le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int b = bytes - 1; b >= 0; --b) v = (v << 8) | p[b];
    return v;
}

// Writes the `bytes` low-order bytes of v little-endian at p.
inline void write_le(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int b = 0; b < bytes; ++b) p[b] = static_cast<std::uint8_t>(v >> (8 * b));
}

// The padded (h+2) x (w+2) form of an h x w plane, with a zero border, in a
// new buffer of type Out (any buffer built zero-filled from its size).
template <class Out = std::vector<std::uint8_t>>
inline Out padded(const std::uint8_t* plane, std::size_t h, std::size_t w) {
    const std::size_t stride = checked_add(w, 2);
    Out out(checked_mul(checked_add(h, 2), stride));
    for (std::size_t y = 0; y < h && w > 0; ++y) std::memcpy(out.data() + (y + 1) * stride + 1, plane + y * w, w);
    return out;
}

// The h x w interior of a padded (h+2) x (w+2) plane, row-major, in a new
// buffer of type Out (a byte vector, or any buffer built from its size).
template <class Out = std::vector<std::uint8_t>>
inline Out interior(const std::vector<std::uint8_t>& padded, std::size_t h, std::size_t w) {
    Out out(h * w);
    for (std::size_t y = 0; y < h; ++y)
        std::memcpy(out.data() + y * w, padded.data() + (y + 1) * (w + 2) + 1, w);
    return out;
}

}  // namespace rans

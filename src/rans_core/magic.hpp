// Division magic table: magic[f] = floor((2^64 - 1) / f) for f in 1..4096,
// magic[0] = 0. The encoders divide the state by a symbol's frequency once per
// symbol; a multiply-high by the reciprocal plus one correction gives the
// exact quotient without a division instruction.
#pragma once

#include <array>
#include <cstdint>

#include "fault.hpp"

namespace rans {

inline constexpr std::size_t kMagicSize = 4097;

// Built by the compiler, so it exists before any thread can ask for it and
// never changes.
inline constexpr std::array<std::uint64_t, kMagicSize> kMagic = [] {
    std::array<std::uint64_t, kMagicSize> m{};
    for (std::uint64_t f = 1; f < kMagicSize; ++f) m[f] = UINT64_MAX / f;
    return m;
}();

struct QuotRem {
    std::uint64_t q, r;
};

// x div f and x mod f for f in 1..4096 (f >= 4097 is an index fault).
// q0 = hi64(x * floor((2^64-1)/f)) never overestimates x/f and falls short by
// at most 1, so r0 = x - q0*f lies in [0, 2f) and one correction is exact.
// For f = 0 the entry is 0: q0 = 0, r0 = x, giving q = 1, r = x; callers never
// divide by a zero frequency.
inline QuotRem magic_divide(std::uint64_t x, std::uint64_t f) {
    if (f >= kMagicSize) [[unlikely]]
        index_fault(kMagicSize, f);
    std::uint64_t q = static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * kMagic[f]) >> 64);
    std::uint64_t r = x - q * f;
    if (r >= f) {
        q += 1;
        r -= f;
    }
    return {q, r};
}

}  // namespace rans

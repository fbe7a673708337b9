// The byte-wise rANS step shared by the shard coder and the bit-pair coder,
// on the scale and state range of scale.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "magic.hpp"
#include "scale.hpp"

namespace rans {

// Encodes one symbol of frequency f (1..4096) and cumulative start c into x,
// appending renormalisation bytes with sink(byte). f = 0 would emit forever;
// callers refuse such tables before coding.
template <class Sink>
inline std::uint64_t encode_step(std::uint64_t x, std::uint64_t f, std::uint64_t c, Sink&& sink) {
    const std::uint64_t limit = f << kEmitShift;
    while (x >= limit) {
        sink(static_cast<std::uint8_t>(x & 0xFF));
        x >>= 8;
    }
    QuotRem d = magic_divide(x, f);
    return (d.q << kScaleBits) + d.r + c;
}

// The decode arithmetic of one step for a symbol with frequency f and
// cumulative start c found at `slot` (= x & 0xFFF); wraps modulo 2^64.
inline std::uint64_t decode_advance(std::uint64_t x, std::uint64_t f, std::uint64_t c) {
    return f * (x >> kScaleBits) + (x & kSlotMask) - c;
}

// Refills x from the stream read backwards: at most two bytes, none once the
// read position has passed byte 0 (pos == -1).
inline std::uint64_t refill(std::uint64_t x, const std::uint8_t* stream, std::ptrdiff_t& pos) {
    if (x < kLowerBound && pos >= 0) {
        const std::uint64_t y = x;
        x = (x << 8) | stream[pos--];
        if (y < (kLowerBound >> 8) && pos >= 0) x = (x << 8) | stream[pos--];
    }
    return x;
}

}  // namespace rans

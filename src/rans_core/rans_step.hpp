// The byte-wise rANS step shared by the shard coder and the bit-pair coder.
//
// Scale M = 4096 (12 bits). A state in its normal range lies in [2^31, 2^39).
// Encoding emits low bytes until x < f * 2^27, so that after x -> (x/f)*4096
// + x%f + c the state is below 2^39; a state of at least 2^31 is at least
// f * 2^19 after emission, so the new state is at least 2^31 again.
// Decoding undoes one step and refills at most two bytes: after the step the
// state is at least 2^19 (freq >= 1), and two bytes lift it back to >= 2^31.
#pragma once

#include <cstddef>
#include <cstdint>

#include "magic.hpp"

namespace rans {

inline constexpr std::uint64_t kScaleBits = 12;
inline constexpr std::uint64_t kSlotMask = (1u << kScaleBits) - 1;
inline constexpr std::uint64_t kLowerBound = 1ull << 31;
inline constexpr std::uint64_t kEmitShift = 27;  // 39 - 12: emit while x >= f << 27

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

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

// If x < limit: x = t and one byte is taken (--end). Which way it goes
// depends on the data (about every other step takes a byte), so this is a
// conditional move: a branch would be mispredicted often, and compilers turn
// the plain conditional into one.
inline void take_if_below(std::uint64_t& x, std::uint64_t limit, std::uint64_t t, const std::uint8_t*& end) {
#if defined(__x86_64__)
    asm("cmpq %[lim], %[x]\n\t"
        "cmovbq %[t], %[x]\n\t"
        "sbbq $0, %[end]"  // the borrow of the comparison is the byte taken
        : [x] "+r"(x), [end] "+r"(end)
        : [lim] "r"(limit), [t] "r"(t)
        : "cc");
#else
    const bool below = x < limit;
    x = below ? t : x;
    end -= below;
#endif
}

// The refill once at least two unread bytes are left (end[-1] is the next
// byte). The first byte is taken without a branch; a second one is needed
// only when the state fell below 2^23, after a rare symbol, and exactly then
// the state is still below 2^31 after the first byte.
inline std::uint64_t refill_fast(std::uint64_t x, const std::uint8_t*& end) {
    take_if_below(x, kLowerBound, (x << 8) | end[-1], end);
    if (x < kLowerBound) [[unlikely]]
        x = (x << 8) | *--end;
    return x;
}

}  // namespace rans

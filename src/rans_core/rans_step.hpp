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

// A symbol of a table, ready for the fast encode step.
struct EncSymbol {
    std::uint64_t limit;   // f << 27: the state must be below it before the division
    std::uint64_t rcp;     // ceil(2^64 / f); 2^64 - 1 for f = 1
    std::uint32_t cmpl;    // 4096 - f
    std::uint32_t bad;     // 1 if f is not in 1..4096: the symbol cannot be coded
    std::uint64_t cum;     // c, plus 4095 for f = 1 (see encode_step_fast)
};

// For 2 <= f <= 4096 and x < 2^39, floor(x * ceil(2^64/f) / 2^64) is exactly
// x div f: the reciprocal exceeds 2^64/f by less than 1, so the product
// exceeds x/f by less than x/2^64 < 1/f. For f = 1 the reciprocal 2^64 - 1
// gives x - 1 (x >= 1), which the cumulative value makes up for: x + (x - 1) *
// 4095 + c + 4095 = 4096x + c.
//
// ceil(2^64/f) = floor((2^64 - 1)/f) + 1 = magic[f] + 1 for every f >= 2
// (one less than 2^64 only changes the quotient when f divides 2^64, where
// the ceiling is that quotient itself), so no 128-bit division is needed:
// building a table is a fixed cost of every shard.
inline EncSymbol make_symbol(std::uint64_t f, std::uint64_t c) {
    if (f - 1 >= kScale) return {UINT64_MAX, 0, 0, 1, 0};  // refused when met (a rerun names it)
    if (f == 1) return {1ull << kEmitShift, UINT64_MAX, 4095, 0, c + 4095};
    return {f << kEmitShift, kMagic[f] + 1, static_cast<std::uint32_t>(kScale - f), 0, c};
}

inline std::uint64_t mul_hi(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
}

// If x >= limit: x = t and the byte just stored is kept (++p). About every
// other step emits a byte, so this is a conditional move rather than a
// branch that would be mispredicted often (compilers turn the plain
// conditional into one).
inline void emit_if_at_least(std::uint64_t& x, std::uint64_t limit, std::uint64_t t, std::uint8_t*& p) {
#if defined(__x86_64__)
    asm("cmpq %[lim], %[x]\n\t"
        "cmovaeq %[t], %[x]\n\t"
        "sbbq $-1, %[p]"  // p + 1 - borrow: one byte kept when x >= limit
        : [x] "+r"(x), [p] "+r"(p)
        : [lim] "r"(limit), [t] "r"(t)
        : "cc");
#else
    const bool emit = x >= limit;
    x = emit ? t : x;
    p += emit;
#endif
}

// The encode step when every state entering it is in [1, 2^43). Emission:
// the state then needs at most two bytes out (x >> 16 < 2^27 <= f << 27).
// The first is stored unconditionally and kept when needed; a second one
// follows only after a rare symbol (f small against the state). Division:
// after emission 1 <= x < f * 2^27 <= 2^39, where the reciprocal gives the
// exact quotient (make_symbol), and (q << 12) + r = x + q * (4096 - f). The
// same result as encode_step, which divides with the magic table. A symbol
// that cannot be coded only sets `bad` (its limit of 2^64 - 1 stops the
// emission); the caller then reruns the shard with the checked step, which
// refuses it.
// `Rare`: for symbols that seldom emit (a table of one very likely symbol),
// where a branch that is almost always right costs less than the
// conditional move; the same bytes and state.
template <bool Rare = false>
inline void encode_step_fast(std::uint64_t& x, const EncSymbol& e, std::uint32_t& bad, std::uint8_t*& p) {
    bad |= e.bad;
    if constexpr (Rare) {
        if (x >= e.limit) [[unlikely]] {
            *p++ = static_cast<std::uint8_t>(x);
            x >>= 8;
        }
    } else {
        *p = static_cast<std::uint8_t>(x);
        emit_if_at_least(x, e.limit, x >> 8, p);
    }
    if (x >= e.limit) [[unlikely]] {
        *p++ = static_cast<std::uint8_t>(x);
        x >>= 8;
    }
    x += mul_hi(x, e.rcp) * e.cmpl + e.cum;
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

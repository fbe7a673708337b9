// The predictor, the residual mapping and the context lookup: the one
// definition that every encoder and decoder of the image side uses, so that
// the two sides compute the same prediction and context for every sample.
#pragma once

#include <cstdint>
#include <span>

#include "fault.hpp"

namespace rans {

// Median edge detector with an unsigned-wrap rule and a flat-area correction.
// Written as a chain of selects (conditional moves, no jumps): on photographs
// the flat-area test is close to a coin toss, and the decoder waits for every
// prediction.
inline std::uint8_t predict_sample(std::uint8_t W, std::uint8_t N, std::uint8_t NW) {
    const std::int32_t w = W, n = N, nw = NW;
    const std::int32_t mn = n < w ? n : w;
    const std::int32_t mx = n < w ? w : n;
    // N + W - NW in unsigned 32-bit: when negative it wraps to a huge value,
    // which the clamp below turns into mx (not mn)
    const std::uint32_t g = static_cast<std::uint32_t>(n + w - nw);
    std::uint32_t p = g < static_cast<std::uint32_t>(mn) ? static_cast<std::uint32_t>(mn) : g;
    p = p < static_cast<std::uint32_t>(mx) ? p : static_cast<std::uint32_t>(mx);
    // flat neighbourhood (spread <= 3) with a far-away NW: snap to the side NW
    // lies beyond. The compares are signed, so NW < mn - 50 never holds when
    // mn < 50; the two cases exclude each other.
    std::int32_t snap = nw > mx + 50 ? mx : static_cast<std::int32_t>(p);
    snap = nw < mn - 50 ? mn : snap;
    p = mx - mn <= 3 ? static_cast<std::uint32_t>(snap) : p;
    return static_cast<std::uint8_t>(p);
}

// (X - P) mod 256 as a signed byte, folded: 0, -1, +1, -2, +2, ... -> 0, 1, 2, 3, 4, ...
inline std::uint8_t zigzag_encode(std::uint8_t X, std::uint8_t P) {
    const auto d = static_cast<std::int8_t>(static_cast<std::uint8_t>(X - P));
    return static_cast<std::uint8_t>((d << 1) ^ (d >> 7));
}

constexpr std::uint8_t zigzag_decode(std::uint8_t z, std::uint8_t P) {
    const auto d = static_cast<std::uint8_t>((z >> 1) ^ (0u - (z & 1u)));
    return static_cast<std::uint8_t>(P + d);
}

// |X - P| on the unsigned sample values (not on the wrapped residual).
inline std::uint32_t abs_error(std::uint8_t X, std::uint8_t P) {
    return X > P ? X - P : P - X;
}

// (W - NW + 255) * 511 + (N - NW + 255): 0 .. 261120.
inline constexpr std::uint32_t kGradientCount = 511 * 511;
inline std::uint32_t gradient_index(std::uint8_t W, std::uint8_t N, std::uint8_t NW) {
    return static_cast<std::uint32_t>((int(W) - int(NW) + 255) * 511 + (int(N) - int(NW) + 255));
}

// The caller's three context tables. Every read is checked against the
// table's real length; complete tables (261121 and 256 entries) never fault
// on the first two reads.
struct ContextTables {
    std::span<const std::uint8_t> s_lut, i_lut, d_lut;

    std::uint8_t lookup(std::uint32_t gradient, std::uint8_t v) const {
        const std::size_t s = at(s_lut, gradient);
        const std::size_t i = at(i_lut, v);
        return at(d_lut, 4 * s + i);
    }
    std::uint8_t number(std::uint8_t W, std::uint8_t N, std::uint8_t NW, std::uint8_t v) const {
        return lookup(gradient_index(W, N, NW), v);
    }
};

// The context number of a sample with neighbours W, N, NW and intensity key v.
inline std::uint8_t context_number(std::uint8_t W, std::uint8_t N, std::uint8_t NW, std::uint8_t v,
                                   const ContextTables& t) {
    return t.number(W, N, NW, v);
}

}  // namespace rans

// What several bindings take from their arguments alike: the element type
// aliases and the three context tables of the image-side and bit-pair
// functions, read by name from the function's signature.
#pragma once

#include <cstdint>

#include "../rans_core/predict.hpp"
#include "frame.hpp"
#include "signatures.hpp"

namespace binding {

using U8 = std::uint8_t;
using U16 = std::uint16_t;
using U32 = std::uint32_t;
using U64 = std::uint64_t;

template <const auto& Params>
rans::ContextTables context_tables(const Frame& f) {
    constexpr Named p{Params};
    return {f.in<U8>(p["s_lut"]), f.in<U8>(p["i_lut"]), f.in<U8>(p["d_lut"])};
}

}  // namespace binding

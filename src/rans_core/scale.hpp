// The coders' fixed scale and state range, in one place.
//
// Frequencies are on the scale M = 4096 (12 bits). A state in its normal
// range lies in [2^31, 2^39): encoding emits low bytes until x < f * 2^27, so
// that after x -> (x/f)*4096 + x%f + c the state is below 2^39; a state of at
// least 2^31 is at least f * 2^19 after emission, so the new state is at
// least 2^31 again. Decoding undoes one step and refills at most two bytes:
// after the step the state is at least 2^19 (freq >= 1), and two bytes lift
// it back to >= 2^31.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rans {

inline constexpr std::uint64_t kScaleBits = 12;
inline constexpr std::size_t kScale = std::size_t{1} << kScaleBits;  // 4096
inline constexpr std::uint64_t kSlotMask = kScale - 1;
inline constexpr std::uint64_t kLowerBound = 1ull << 31;
inline constexpr std::uint64_t kUpperBound = 1ull << 39;
inline constexpr std::uint64_t kEmitShift = 39 - kScaleBits;  // emit while x >= f << 27

}  // namespace rans

// Slot lookup tables: the 4096-entry map from a 12-bit slot to its symbol.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "scale.hpp"
#include "zeroed.hpp"

namespace rans {

inline constexpr std::size_t kCumLen = 257;
inline constexpr std::size_t kFreqLen = 256;

// Fills out[0..4095] from one cumulative table c[0..256]: slots lo..hi-1 get
// symbol s for every s with lo = c[s] < hi = c[s+1] <= 4096; other ranges are
// skipped (no clamping), uncovered slots stay 0, later symbols win overlaps.
void build_slot_lookup(std::span<const std::uint64_t> c, std::span<std::uint8_t> out);

// Bytes past slot 4095 that write_ascending_lookup may write into.
inline constexpr std::size_t kLookupSpill = 8;

// The slot lookup of a cumulative table whose ranges run from 0 to 4096
// without going down (every table the encoder writes; the caller checks),
// written eight slots at a time into out[0, 4096 + kLookupSpill): a range's
// run past its end is overwritten by the symbols after it, the last one's
// goes into the spill.
void write_ascending_lookup(const std::uint64_t* c, std::uint8_t* out);

// Slot lookups of the `tables` cumulative tables stacked at 257*j in `cum`,
// laid out at 4096*j, built in parallel into calloc'd memory (every byte is
// written, so none is filled twice).
ZeroedBytes build_all_lookups(std::span<const std::uint64_t> cum, std::size_t tables);

}  // namespace rans

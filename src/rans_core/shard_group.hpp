// A file's shard group read back from untrusted bytes, in the order the
// format stores it: from the (inflated) tables section the shards' modes,
// sizes, table widths and stored tables; from the states section the
// shards' final states and stream lengths. Each read checks what it reads
// in that order and stops at the first fault, which it names with the
// numbers a message needs; nothing of the pixels is allocated before both
// have passed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "tables.hpp"

namespace rans {

inline constexpr std::size_t kStoredStateBytes = 5;  // a final state less 2^31, little-endian
inline constexpr std::size_t kStoredStatesBytes = 4 * kStoredStateBytes;

enum class GroupFault : std::uint8_t {
    none = 0,
    modes_truncated = 1,   // a: the bytes the modes need, b: the bytes left
    bad_mode = 2,          // a: the first mode no shard may have
    sizes_truncated = 3,   // the section ends inside the shard sizes
    sizes_too_long = 4,    // a shard size takes more than five bytes
    plane_sizes = 5,       // a: the plane whose shard sizes do not add up to its pixels
    widths_truncated = 6,  // a: the bytes the widths need, b: the bytes left
    not_canonical = 7,     // the stored tables are not those compaction writes
    bad_sum = 8,           // a table does not sum to 4096
    states_truncated = 9,  // a: the bytes the states need, b: the bytes left
    state_range = 10,      // a state is not below 2^39
    lengths_truncated = 11,
    lengths_too_long = 12,
    states_trailing = 13,  // a: the bytes after the stream lengths
    length_range = 14,     // a stream length is not below 2^32
};

struct GroupTables {
    std::vector<std::uint8_t> modes;    // n
    std::vector<std::uint32_t> counts;  // n: the residuals of each shard
    std::vector<std::uint32_t> starts;  // n: where each shard starts in its plane
    StoredTables tables;                // rows, cumulative rows, largest frequencies
    GroupFault fault = GroupFault::none;
    std::uint64_t a = 0, b = 0;
};

// The tables section of a group whose planes have plane_shards[p] shards of
// plane_pixels residuals each.
GroupTables read_group_tables(Bytes raw, std::span<const std::uint32_t> plane_shards, std::uint64_t plane_pixels,
                              std::span<const std::uint64_t> templates, std::size_t n_templates);

struct GroupStates {
    // every shard's, n x 4 and n: a shard without a stream (empty, or
    // all zeros under the symbol-zero table) has the states 2^31 and length 0
    std::vector<std::uint64_t> states;
    std::vector<std::uint32_t> lengths;
    std::vector<std::uint32_t> offsets;  // n: where each stream starts in the streams section
    std::vector<std::uint32_t> write;    // n: where each shard's packed header goes in a payload
    std::uint64_t total = 0;             // the streams' bytes
    GroupFault fault = GroupFault::none;
    std::uint64_t a = 0, b = 0;
};

// The states section of the group whose tables gave `counts` and `modes`.
GroupStates read_group_states(Bytes section, std::span<const std::uint32_t> counts,
                              std::span<const std::uint8_t> modes);

// The two sections of a group as the encoder writes them, the mirror of the
// reads above: the tables section before it is deflated (the modes, the
// shard sizes, the widths less one of the mode-0 shards, their stored
// records) and the states section (the final states of every shard with a
// stream, then the streams' lengths); `live` marks the shards with a stream.
// A mode-0 width outside 1..256 is InvalidInput; a state outside [2^31,
// 2^39), which no coder gives, a Fault.
struct GroupBytes {
    std::vector<std::uint8_t> tables, states, live;
};
GroupBytes write_group(std::span<const std::uint8_t> modes, std::span<const std::uint32_t> counts,
                       std::span<const std::uint16_t> widths, std::span<const std::uint64_t> freqs,
                       std::span<const std::uint64_t> states, std::span<const std::uint32_t> lengths);

}  // namespace rans

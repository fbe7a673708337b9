// The shard coder: a byte-wise rANS coder with four interleaved states, scale
// 4096, states kept in [2^31, 2^39).
//
// Stream format. Symbol i of a shard is coded by state i mod 4. The encoder
// codes the symbols from the last to the first (the n mod 4 tail first, then
// the full groups of four from the last group down, states 3, 2, 1, 0 within
// a group) and appends renormalisation bytes in emission order; the decoder
// reads the stream from its last byte backwards and meets the symbols in
// forward order. A table with 4096 on symbol 0 codes no bytes at all.
//
// Packed shard: states 0..3 as little-endian uint64, the stream length L as
// little-endian uint32, then the L stream bytes; a payload is the packed
// shards back to back from byte 0, with nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "zeroed.hpp"

namespace rans {

inline constexpr std::size_t kPackedHeader = 36;  // four states and the length

// Decodes out.size() symbols of one stream with one table into out. Reads
// nothing outside the stream, the tables or out; an index outside a table is
// a fault (positions before it are written). Shared by the single-stream
// function and every shard of the parallel decoder.
void decode_4way_stream(const std::uint64_t states[4], std::span<const std::uint8_t> stream,
                        std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                        std::span<const std::uint8_t> lookup, std::span<std::uint8_t> out);

struct EncodedShards {
    std::vector<std::uint64_t> final_states;  // n x 4
    ZeroedBytes streams;                      // every shard's slot, zero outside the streams
    std::vector<std::uint32_t> offsets;       // slot starts
    std::vector<std::uint32_t> lengths;       // bytes emitted per shard
};

// Room reserved for a shard of m symbols: min(2^32-1, min(2^32-1, 2m) + 1024),
// saturating; slots start at the saturating running sum of the capacities.
std::uint32_t shard_capacity(std::uint32_t m);

// Encodes the shards (data[offsets[i] .. offsets[i] + lengths[i]) with table
// row i of the stacked cumulative and frequency tables) in parallel. A symbol
// whose frequency is 0 is refused with InvalidInput naming shard and symbol.
EncodedShards encode_shards(std::span<const std::uint8_t> data, std::span<const std::uint32_t> offsets,
                            std::span<const std::uint32_t> lengths, std::span<const std::uint64_t> cum,
                            std::span<const std::uint64_t> freq, std::uint64_t initial_state);

// The same with the streams back to back in shard order (offsets[i] = the
// sum of the lengths before i) and nothing after them: the slots need no
// zeros, and the streams move down into place once coded.
EncodedShards encode_shards_packed(std::span<const std::uint8_t> data, std::span<const std::uint32_t> offsets,
                                   std::span<const std::uint32_t> lengths, std::span<const std::uint64_t> cum,
                                   std::span<const std::uint64_t> freq, std::uint64_t initial_state);

// Writes packed shard i at out[write_offsets[i]] for i < lengths.size(),
// sequentially; a fault leaves what was written before it.
void pack_shard_payloads(std::span<const std::uint64_t> final_states, std::span<const std::uint32_t> lengths,
                         std::span<const std::uint32_t> offsets, std::span<const std::uint8_t> streams,
                         std::span<std::uint8_t> out, std::span<const std::uint32_t> write_offsets);

struct DecodedShards {
    ZeroedBytes symbols;                // the shards' symbols, shard after shard
    std::uint64_t consumed = 0;         // payload bytes taken by the packed shards
};

// Decodes counts.size() packed shards of `payload`, shard i with table row i
// of the stacked tables, in parallel, each straight into its output range.
// `own_lookups`: `lookups` is ignored, and each shard's slot lookup is the one
// build_all_lookups gives for its row, made where it is used (the vector
// decoder builds it into its own table anyway).
DecodedShards decode_shards(std::span<const std::uint8_t> payload, std::span<const std::uint32_t> counts,
                            std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                            std::span<const std::uint8_t> lookups, bool own_lookups = false);

// Groups consecutive shards into parallel tasks of roughly equal work, from
// each shard's symbol count; returns the task boundaries (first shard of each
// task, then n). Grouping never changes a result, only the scheduling.
template <class Count>
std::vector<std::size_t> group_shards(std::size_t n, Count&& count) {
    constexpr std::uint64_t kTaskWork = 64 * 1024;  // symbols per task
    constexpr std::uint64_t kShardCost = 256;       // fixed cost of a shard, in symbols
    std::vector<std::size_t> bounds{0};
    std::uint64_t work = 0;
    for (std::size_t i = 0; i < n; ++i) {
        work += static_cast<std::uint64_t>(count(i)) + kShardCost;
        if (work >= kTaskWork) {
            bounds.push_back(i + 1);
            work = 0;
        }
    }
    if (bounds.back() != n) bounds.push_back(n);
    return bounds;
}

// Runs body(i) for every shard on the worker pool, one task per group of
// `bounds`. A task stops at its first fault; afterwards the fault of the
// lowest shard is raised, so which fault a call reports never depends on the
// pool size or on scheduling.
void for_each_shard(const std::vector<std::size_t>& bounds, const std::function<void(std::size_t)>& body);

}  // namespace rans

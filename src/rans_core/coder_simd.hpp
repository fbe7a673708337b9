// The shard decoder's instruction-set paths: which one runs, and the batch
// decoder that keeps several shards in flight on the vector paths.
//
// Every path gives the same symbols and the same faults as the scalar one:
// a vector path only takes the steps it can prove exact (well-formed table,
// states small enough for its arithmetic, enough stream bytes left for a
// whole group) and hands every other shard, and the last groups and the tail
// of every shard, to the scalar decoder, which resumes where it stopped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "simd_path.hpp"

namespace rans {

// The decoder's path is the module's one instruction-set choice (simd_path.hpp).
using CoderPath = SimdPath;
inline CoderPath coder_path() { return simd_path(); }
inline std::string_view coder_path_name(CoderPath p) { return simd_path_name(p); }
inline std::optional<CoderPath> coder_path_from_name(std::string_view name) { return simd_path_from_name(name); }
inline bool coder_path_available(CoderPath p) { return simd_path_available(p); }
inline void set_coder_path(CoderPath p) { set_simd_path(p); }

// One shard to decode: its four states, its stream, its table rows (257, 256
// and 4096 entries) and its output range (at least one symbol).
struct ShardStream {
    std::uint64_t states[4];
    std::span<const std::uint8_t> stream;
    std::span<const std::uint64_t> cum, freq;
    std::span<const std::uint8_t> lookup;  // empty: the one build_slot_lookup gives for `cum`
    std::span<std::uint8_t> out;
};

// A shard's slot lookup: the caller's (`given`), or where that is empty the
// one build_slot_lookup gives for its cumulative row, built into `own`
// (kScale bytes).
std::span<const std::uint8_t> slot_lookup(std::span<const std::uint8_t> given, std::span<const std::uint64_t> cum,
                                          std::span<std::uint8_t> own);

// Decodes every shard of the batch with the given path, exactly as
// decode_4way_stream would.
void decode_batch(CoderPath path, std::span<const ShardStream> batch);
void decode_batch_avx2(std::span<const ShardStream> batch);

// decode_4way_stream from full group `first_group` on, with the states
// reached there and `unread` stream bytes still unread (the next byte is
// stream[unread - 1]). No symbol-zero shortcut: the caller has taken it.
void decode_4way_resume(const std::uint64_t states[4], std::span<const std::uint8_t> stream, std::size_t unread,
                        std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                        std::span<const std::uint8_t> lookup, std::span<std::uint8_t> out,
                        std::size_t first_group);

// Task boundaries for the batch coders: like group_shards, but a task holds
// at least min(batch_shards, ceil(n / workers)) shards (or the rest), so the
// vector lanes have work while every worker still gets a task, and at least
// kLaneBalance times its longest shard's work unless it has reached
// ceil(total work / workers): a shard's steps run in one lane, so a task
// made of one long shard and a few short ones would leave the other lanes
// idle. Grouping never changes a result.
inline constexpr std::size_t kBatchShards = 8;
inline constexpr std::uint64_t kLaneBalance = 4;
inline constexpr std::uint64_t kBatchTaskWork = 64 * 1024;  // symbols per task, at least
inline constexpr std::uint64_t kBatchShardCost = 256;       // fixed cost of a shard, in symbols

template <class Count>
std::vector<std::size_t> group_shard_batches(std::size_t n, std::size_t batch_shards, std::size_t workers,
                                             Count&& count) {
    workers = std::max<std::size_t>(1, workers);
    const auto work_of = [&](std::size_t i) { return static_cast<std::uint64_t>(count(i)) + kBatchShardCost; };
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += work_of(i);
    const std::size_t min_shards = std::min(batch_shards, (n + workers - 1) / workers);
    const std::uint64_t max_work = (total + workers - 1) / workers;
    std::vector<std::size_t> bounds{0};
    std::uint64_t work = 0, longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t w = work_of(i);
        work += w;
        longest = std::max(longest, w);
        const bool balanced = work >= kLaneBalance * longest || work >= max_work;
        if (work >= kBatchTaskWork && i + 1 - bounds.back() >= min_shards && balanced) {
            bounds.push_back(i + 1);
            work = longest = 0;
        }
    }
    if (bounds.back() != n) bounds.push_back(n);
    return bounds;
}

}  // namespace rans

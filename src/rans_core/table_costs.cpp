// The cost of histograms under rows of per-symbol costs: what the encoder
// weighs when it picks a template for a shard or merges shards' classes.
//
// Costs are fixed-point (bits times 2^20) and the sums 64-bit integers, so
// every build and instruction set gives the same numbers bit for bit, and
// with them the same choices and files. A row whose counts add up to below
// 2^32 (a shard's symbols) under costs below 2^32 sums below 2^64; beyond,
// a sum wraps modulo 2^64 (a wrong weight, never a fault).
#include <algorithm>

#include "../pool/pool.hpp"
#include "fault.hpp"
#include "tables.hpp"

namespace rans {

namespace {

// Histogram rows per parallel task: a row against a few hundred cost rows
// takes microseconds.
constexpr std::size_t kRowsPerTask = 16;

// The cost of the counts below `width` under one cost row. Four sums side by
// side keep the additions off one chain; the order never changes a sum of
// integers.
std::uint64_t row_cost(const std::uint32_t* counts, const std::uint32_t* costs, std::size_t width) {
    std::uint64_t s[4] = {0, 0, 0, 0};
    std::size_t k = 0;
    for (; k + 4 <= width; k += 4)
        for (std::size_t j = 0; j < 4; ++j) s[j] += std::uint64_t{counts[k + j]} * costs[k + j];
    for (; k < width; ++k) s[0] += std::uint64_t{counts[k]} * costs[k];
    return (s[0] + s[1]) + (s[2] + s[3]);
}

}  // namespace

std::vector<std::uint64_t> table_costs(std::span<const std::uint32_t> counts, std::span<const std::uint16_t> widths,
                                       std::span<const std::uint32_t> costs) {
    if (counts.size() % 256 != 0 || costs.size() % 256 != 0)
        throw InvalidInput("counts and costs must have 256 columns");
    const std::size_t n = counts.size() / 256, t = costs.size() / 256;
    if (widths.size() != n) throw InvalidInput("widths must have one entry per row of counts");
    std::vector<std::uint64_t> out(checked_mul(n, t));
    pool::parallel_for(n, kRowsPerTask, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const std::size_t width = std::min<std::size_t>(widths[i], 256);
            for (std::size_t j = 0; j < t; ++j)
                out[i * t + j] = row_cost(counts.data() + 256 * i, costs.data() + 256 * j, width);
        }
    });
    return out;
}

}  // namespace rans

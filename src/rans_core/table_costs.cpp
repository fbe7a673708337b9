// The cost of histograms under rows of per-symbol costs: what the encoder
// weighs when it picks a template for a shard or merges shards' classes.
//
// Costs are fixed-point (bits times 2^20) and the sums exact integers, so
// every build and instruction set gives the same numbers bit for bit, and
// with them the same choices and files. A row whose counts add up to below
// 2^32 (a shard's symbols) under costs below 2^32 sums below 2^64 in 64-bit
// integers; beyond, a sum wraps modulo 2^64 (a wrong weight, never a fault).
// The vector path sums in double precision where that is exact too: counts
// adding up to below 2^29 under costs below 2^24 make products and sums that
// are whole numbers below 2^53, which doubles hold exactly in any order.
#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "../pool/pool.hpp"
#include "fault.hpp"
#include "simd_path.hpp"
#include "tables.hpp"

namespace rans {

namespace {

// Histogram rows per parallel task: a row against a few hundred cost rows
// takes microseconds.
constexpr std::size_t kRowsPerTask = 16;
constexpr std::uint64_t kExactCounts = std::uint64_t{1} << 29;
constexpr std::uint32_t kExactCost = std::uint32_t{1} << 24;

// The cost of the counts below `width` under one cost row, in integers. Four
// sums side by side keep the additions off one chain.
std::uint64_t row_cost(const std::uint32_t* counts, const std::uint32_t* costs, std::size_t width) {
    std::uint64_t s[4] = {0, 0, 0, 0};
    std::size_t k = 0;
    for (; k + 4 <= width; k += 4)
        for (std::size_t j = 0; j < 4; ++j) s[j] += std::uint64_t{counts[k + j]} * costs[k + j];
    for (; k < width; ++k) s[0] += std::uint64_t{counts[k]} * costs[k];
    return (s[0] + s[1]) + (s[2] + s[3]);
}

void integer_rows(std::span<const std::uint32_t> counts, std::span<const std::uint16_t> widths,
                  std::span<const std::uint32_t> costs, std::size_t t, std::size_t b, std::size_t e,
                  std::uint64_t* out) {
    for (std::size_t i = b; i < e; ++i) {
        const std::size_t width = std::min<std::size_t>(widths[i], 256);
        for (std::size_t j = 0; j < t; ++j)
            out[i * t + j] = row_cost(counts.data() + 256 * i, costs.data() + 256 * j, width);
    }
}

#if defined(__x86_64__)
// The sum of a vector's four whole numbers (exact, see above).
[[gnu::target("avx2,fma")]] inline std::uint64_t lane_sum(__m256d v) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, v);
    return static_cast<std::uint64_t>((lanes[0] + lanes[1]) + (lanes[2] + lanes[3]));
}

// Four costs from k on as doubles (exact: every cost is below 2^24).
[[gnu::target("avx2,fma")]] inline __m256d costs_at(const std::uint32_t* q, std::size_t k) {
    return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + k)));
}

// Rows b..e on AVX2 in doubles (each row exact, see above; others in integers).
[[gnu::target("avx2,fma")]] void double_rows(std::span<const std::uint32_t> counts,
                                              std::span<const std::uint16_t> widths,
                                              std::span<const std::uint32_t> costs, std::size_t t,
                                              std::size_t b, std::size_t e, std::uint64_t* out) {
    alignas(32) double row[256];
    for (std::size_t i = b; i < e; ++i) {
        const std::uint32_t* c = counts.data() + 256 * i;
        const std::size_t width = std::min<std::size_t>(widths[i], 256);
        std::uint64_t total = 0;
        for (std::size_t k = 0; k < width; ++k) total += c[k];
        if (total >= kExactCounts) {
            integer_rows(counts, widths, costs, t, i, i + 1, out);
            continue;
        }
        const std::size_t padded = (width + 3) / 4 * 4;  // zero counts beyond the width add nothing
        for (std::size_t k = 0; k < padded; ++k) row[k] = k < width ? static_cast<double>(c[k]) : 0.0;
        // four cost rows at a time: four sums in flight, each row's counts loaded once
        std::size_t j = 0;
        for (; j + 4 <= t; j += 4) {
            const std::uint32_t* q = costs.data() + 256 * j;
            __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
            __m256d s2 = _mm256_setzero_pd(), s3 = _mm256_setzero_pd();
            for (std::size_t k = 0; k < padded; k += 4) {
                const __m256d r = _mm256_load_pd(row + k);
                s0 = _mm256_fmadd_pd(r, costs_at(q, k), s0);
                s1 = _mm256_fmadd_pd(r, costs_at(q + 256, k), s1);
                s2 = _mm256_fmadd_pd(r, costs_at(q + 512, k), s2);
                s3 = _mm256_fmadd_pd(r, costs_at(q + 768, k), s3);
            }
            out[i * t + j] = lane_sum(s0);
            out[i * t + j + 1] = lane_sum(s1);
            out[i * t + j + 2] = lane_sum(s2);
            out[i * t + j + 3] = lane_sum(s3);
        }
        for (; j < t; ++j) {
            const std::uint32_t* q = costs.data() + 256 * j;
            __m256d s0 = _mm256_setzero_pd();
            for (std::size_t k = 0; k < padded; k += 4) s0 = _mm256_fmadd_pd(_mm256_load_pd(row + k), costs_at(q, k), s0);
            out[i * t + j] = lane_sum(s0);
        }
    }
}
#endif

}  // namespace

std::vector<std::uint64_t> table_costs(std::span<const std::uint32_t> counts, std::span<const std::uint16_t> widths,
                                       std::span<const std::uint32_t> costs) {
    if (counts.size() % 256 != 0 || costs.size() % 256 != 0)
        throw InvalidInput("counts and costs must have 256 columns");
    const std::size_t n = counts.size() / 256, t = costs.size() / 256;
    if (widths.size() != n) throw InvalidInput("widths must have one entry per row of counts");
    std::vector<std::uint64_t> out(checked_mul(n, t));
#if defined(__x86_64__)
    const bool small_costs = std::all_of(costs.begin(), costs.end(), [](std::uint32_t q) { return q < kExactCost; });
    if (simd_path() != SimdPath::scalar && small_costs) {
        pool::parallel_for(n, kRowsPerTask, [&](std::size_t b, std::size_t e) {
            double_rows(counts, widths, costs, t, b, e, out.data());
        });
        return out;
    }
#endif
    pool::parallel_for(n, kRowsPerTask, [&](std::size_t b, std::size_t e) {
        integer_rows(counts, widths, costs, t, b, e, out.data());
    });
    return out;
}

}  // namespace rans

// The per-sample work of the encoder's two phases on one row of one channel,
// for lookups of proven tables (no sample can fault): the residual and
// context pass, and the counting that phase one does with its results.
//
// The residual part of the pass has no dependency from one sample to the
// next, so it comes in one form per instruction-set path (simd_path.hpp):
// the portable form here, which the compiler vectorises in part, and the
// AVX2 form (image_rows_avx2.cpp), which gives the same bytes and sums.
//
// The counting is a chain through memory whenever neighbouring samples hit
// the same counter (flat areas: the same context, residual 0), so it goes
// into several copies of each counter, taken in turn; sums of integers are
// exact in any order, so the copies add up to the counts of one counter.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image_context.hpp"
#include "predict.hpp"
#include "simd_path.hpp"

namespace rans {

// One row of one channel, as the row kernels see it. `row` and `up` point at
// the row's first sample and at the one above it in a padded plane (so
// row[-1] and up[-1] are readable); `green` is null for the green (or gray)
// channel, whose intensity key is the prediction, else the green samples of
// the same pixels.
struct RowInput {
    const std::uint8_t* row;
    const std::uint8_t* up;
    const std::uint8_t* green;
    std::size_t w;
};

// What the residual and context pass adds up over a row.
struct RowSums {
    std::uint64_t err = 0;    // sum of |X - P|
    std::uint32_t zeros = 0;  // residuals 0
};

constexpr std::size_t kSumBlock = 4096;  // samples per block: |X - P| sums stay in 32 bits

// Predictions, residuals and sums of n <= kSumBlock samples from r, whose
// row above is u, on the portable path (the compiler vectorises it in part).
// The predictions are kept only when KeepPred: a lookup that does not read
// the intensity key needs none.
template <bool KeepPred = true>
inline void residuals_portable(const std::uint8_t* __restrict r, const std::uint8_t* __restrict u, std::size_t n,
                               std::uint8_t* __restrict z, std::uint8_t* __restrict pred, RowSums& s) {
    std::uint32_t e = 0, zc = 0;
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint8_t P = predict_sample(r[x - 1], u[x], u[x - 1]);
        const std::uint8_t d = zigzag_encode(r[x], P);
        z[x] = d;
        if constexpr (KeepPred) pred[x] = P;
        e += abs_error(r[x], P);
        zc += d == 0;
    }
    s.err += e;
    s.zeros += zc;
}

// The same on AVX2 for the first n - n % 32 samples (n <= kSumBlock);
// returns how many it did (none where AVX2 is not built in).
std::size_t residuals_avx2(const std::uint8_t* r, const std::uint8_t* u, std::size_t n, std::uint8_t* z,
                           std::uint8_t* pred, RowSums& s);

// Predictions, residuals and sums of n <= kSumBlock samples on the given
// path: the vector pass where it runs, the portable one for the rest.
template <bool KeepPred = true>
inline void residuals(SimdPath path, const std::uint8_t* r, const std::uint8_t* u, std::size_t n, std::uint8_t* z,
                      std::uint8_t* pred, RowSums& s) {
    const std::size_t done = path == SimdPath::scalar ? 0 : residuals_avx2(r, u, n, z, pred, s);
    residuals_portable<KeepPred>(r + done, u + done, n - done, z + done, pred + done, s);
}

// The colour transform of one row of w pixels (G, R - G, B - G modulo 256)
// on AVX2 for the first w - w % 16 pixels; returns how many it did (none
// where AVX2 is not built in).
std::size_t colour_transform_avx2(const std::uint8_t* rgb, std::size_t w, std::uint8_t* g, std::uint8_t* rd,
                                  std::uint8_t* bd);

// How restore_channels rebuilds red and blue: both equal to green (a gray
// image), green plus the stored difference, or the stored planes as they are.
enum class Restore { gray, add_green, copy };

// Planes back to interleaved pixels of `channels` (3 or 4; alpha from `a`)
// on AVX2 for the first n - n % 16 pixels; returns how many it did (none
// where AVX2 is not built in). Unused planes may be null.
std::size_t restore_pixels_avx2(std::size_t channels, Restore mode, const std::uint8_t* g, const std::uint8_t* rd,
                                const std::uint8_t* bd, const std::uint8_t* a, std::size_t n, std::uint8_t* out);

// The same for every pixel, on the given path.
inline void colour_transform(SimdPath path, const std::uint8_t* __restrict rgb, std::size_t w,
                             std::uint8_t* __restrict g, std::uint8_t* __restrict rd, std::uint8_t* __restrict bd) {
    const std::size_t done = path == SimdPath::scalar ? 0 : colour_transform_avx2(rgb, w, g, rd, bd);
    for (std::size_t x = done; x < w; ++x) {
        const std::uint8_t G = rgb[3 * x + 1];
        g[x] = G;
        rd[x] = static_cast<std::uint8_t>(rgb[3 * x] - G);
        bd[x] = static_cast<std::uint8_t>(rgb[3 * x + 2] - G);
    }
}

// The context numbers of the first samples of a row of n (r[-1] and u[-1]
// readable) through a grid's byte tables (ClassPairTables); each returns how
// many it did (none where its instruction set is not built in). On AVX-512
// with VBMI's byte permutes, 64 samples per step and every sample; on AVX2
// with 16-entry shuffles, 32 samples per step, the first n - n % 32.
std::size_t pair_contexts_avx512(const ClassPairTables& pairs, const std::uint8_t* r, const std::uint8_t* u,
                                 std::size_t n, std::uint8_t* k);
std::size_t pair_contexts_avx2(const ClassPairTables& pairs, const std::uint8_t* r, const std::uint8_t* u,
                               std::size_t n, std::uint8_t* k);

template <class Ctx>
inline constexpr bool has_pairs = false;
template <>
inline constexpr bool has_pairs<GridContext<true, false>> = true;

// The pass over a row on the given path: z[x] = zigzag residual, k[x] =
// context number. The context numbers are looked up one by one (a vector
// gather of the grid's words was no faster on the cores measured), except
// on the vector paths through the byte tables of a grid that has them.
template <class Ctx>
RowSums residuals_and_contexts(SimdPath path, const Ctx& lookup, const RowInput& in, std::uint8_t* __restrict z,
                               std::uint8_t* __restrict k) {
    const Ctx ctx = lookup;  // a private copy: the byte stores cannot change its pointers
    RowSums s;
    std::uint8_t pred[kSumBlock];
    for (std::size_t x0 = 0; x0 < in.w; x0 += kSumBlock) {
        const std::size_t n = std::min(kSumBlock, in.w - x0);
        const std::uint8_t* r = in.row + x0;
        const std::uint8_t* u = in.up + x0;
        residuals(path, r, u, n, z + x0, pred, s);
        if constexpr (has_pairs<Ctx>) {
            if (ctx.pairs && path != SimdPath::scalar) {
                const std::size_t vector_done = path == SimdPath::avx512
                                                    ? pair_contexts_avx512(*ctx.pairs, r, u, n, k + x0)
                                                    : pair_contexts_avx2(*ctx.pairs, r, u, n, k + x0);
                for (std::size_t x = vector_done; x < n; ++x) k[x0 + x] = ctx(r[x - 1], u[x], u[x - 1], 0);
                continue;
            }
        }
        const std::uint8_t* g = in.green ? in.green + x0 : pred;
        for (std::size_t x = 0; x < n; ++x) k[x0 + x] = ctx(r[x - 1], u[x], u[x - 1], g[x]);
    }
    return s;
}

// Counters in Copies copies: copy j of counter i is at copy[j][i].
template <int Copies>
struct CounterCopies {
    std::uint32_t* copy[Copies];
};

// Counts one row: counts[k[x]], hist[k[x] * 256 + z[x]] and, when Values,
// vhist[X[x]], sample x going to copy x mod Copies.
template <int Copies, bool Values>
void count_row(const std::uint8_t* __restrict k, const std::uint8_t* __restrict z, const std::uint8_t* __restrict X,
               std::size_t w, CounterCopies<Copies> counts, CounterCopies<Copies> hist,
               CounterCopies<Copies> vhist) {
    std::size_t x = 0;
    const auto one = [&](std::size_t i, int j) {
        const std::size_t c = k[i];
        ++counts.copy[j][c];
        ++hist.copy[j][c * 256 + z[i]];
        if constexpr (Values) ++vhist.copy[j][X[i]];
    };
    for (; x + Copies <= w; x += Copies)
        for (int j = 0; j < Copies; ++j) one(x + j, j);
    for (int j = 0; x < w; ++x, ++j) one(x, j);
}

// The scalar path's phase-one kernel for one row: per block, the residual
// pass, then each sample's context number counted as soon as it is looked up
// (no buffer of context numbers, no second pass over it). The value
// histogram vhist is counted only when Values (it must then be set).
template <bool Values, class Ctx>
inline void count_contexts_block(const Ctx& ctx, const std::uint8_t* __restrict r, const std::uint8_t* __restrict u,
                                 const std::uint8_t* __restrict g, const std::uint8_t* __restrict z, std::size_t n,
                                 std::uint32_t* __restrict counts, std::uint32_t* __restrict hist,
                                 std::uint32_t* __restrict vhist) {
    for (std::size_t x = 0; x < n; ++x) {
        const std::size_t c = ctx(r[x - 1], u[x], u[x - 1], reads_key<Ctx> ? g[x] : 0);
        ++counts[c];
        ++hist[c * 256 + z[x]];
        if constexpr (Values) ++vhist[r[x]];
    }
}

template <bool Values, class Ctx>
RowSums analyse_row_portable(const Ctx& lookup, const RowInput& in, std::uint8_t* __restrict z,
                             std::uint32_t* counts, std::uint32_t* hist, std::uint32_t* vhist) {
    const Ctx ctx = lookup;  // a private copy: the counter stores cannot change its pointers
    RowSums s;
    std::uint8_t pred[kSumBlock];
    for (std::size_t x0 = 0; x0 < in.w; x0 += kSumBlock) {
        const std::size_t n = std::min(kSumBlock, in.w - x0);
        const std::uint8_t* r = in.row + x0;
        const std::uint8_t* u = in.up + x0;
        residuals_portable<reads_key<Ctx>>(r, u, n, z + x0, pred, s);
        count_contexts_block<Values>(ctx, r, u, in.green ? in.green + x0 : pred, z + x0, n, counts, hist, vhist);
    }
    return s;
}

// Adds the second copy of n counters into the first and clears it.
inline void fold_copy(std::uint32_t* __restrict first, std::uint32_t* __restrict second, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        first[i] += second[i];
        second[i] = 0;
    }
}

// The scalar path's phase-two kernel for one row: per block, the residual
// pass, then each residual stored at its shard's cursor as soon as its
// context number is known. False (positions below len written) when a
// position lies at or beyond len, as scatter_rows.
template <class Ctx>
inline bool store_contexts_block(const Ctx& ctx, const std::uint8_t* __restrict r, const std::uint8_t* __restrict u,
                                 const std::uint8_t* __restrict g, const std::uint8_t* __restrict z, std::size_t n,
                                 std::uint32_t* __restrict cursors, std::uint8_t* __restrict stream,
                                 std::size_t len) {
    for (std::size_t x = 0; x < n; ++x) {
        const std::size_t c = ctx(r[x - 1], u[x], u[x - 1], reads_key<Ctx> ? g[x] : 0);
        const std::uint32_t p = cursors[c];
        if (p >= len) [[unlikely]]
            return false;
        stream[p] = z[x];
        cursors[c] = p + 1;
    }
    return true;
}

template <class Ctx>
bool place_row_portable(const Ctx& lookup, const RowInput& in, std::uint32_t* cursors, std::uint8_t* stream,
                        std::size_t len, std::uint8_t* z) {
    const Ctx ctx = lookup;  // a private copy: the stream stores cannot change its pointers
    RowSums unused;
    std::uint8_t pred[kSumBlock];
    for (std::size_t x0 = 0; x0 < in.w; x0 += kSumBlock) {
        const std::size_t n = std::min(kSumBlock, in.w - x0);
        const std::uint8_t* r = in.row + x0;
        const std::uint8_t* u = in.up + x0;
        residuals_portable<reads_key<Ctx>>(r, u, n, z, pred, unused);
        if (!store_contexts_block(ctx, r, u, in.green ? in.green + x0 : pred, z, n, cursors, stream, len))
            return false;
    }
    return true;
}

// Rows whose stores go side by side in phase two.
constexpr std::size_t kScatterRows = 4;

// Phase two's buffers for a block of rows of one channel: residuals and
// context numbers (row j at j * w), and each row's cursors (row j's K at
// j * K).
struct RowsScratch {
    std::vector<std::uint8_t> z, k;
    std::vector<std::uint32_t> cursors;
    RowsScratch(std::size_t w, std::size_t K)
        : z(kScatterRows * w), k(kScatterRows * w), cursors(kScatterRows * K) {}
};

// How far ahead of a shard's write position scatter_rows prefetches: the
// stores go to hundreds of places at once, each moving on a few bytes per
// row, which the hardware prefetchers do not follow; 128 to 512 bytes
// measured alike, about 3% of an encode faster than none.
constexpr std::size_t kStoreAhead = 256;

// Where scatter_rows finds R rows: row j's residuals at z + j * z_stride and
// its context numbers at k + j * k_stride, w samples each.
struct ScatterRows {
    const std::uint8_t* z;
    std::size_t z_stride;
    const std::uint8_t* k;
    std::size_t k_stride;
    std::size_t w;
};

// Stores z[x] at stream[cursors[k[x]]++] for the samples of R rows (row j's
// cursors at j * K), in the positions that doing it row after row in x order
// gives. Checked: false (with the positions below len written) when one lies
// at or beyond len; unchecked, the caller has proven that none can.
// Consecutive samples of one shard in a row form a chain through its cursor;
// every row starts from its own offsets, so the rows' chains are independent
// and go side by side.
template <std::size_t R, bool Checked>
inline bool scatter_rows(const ScatterRows& in, std::uint32_t* __restrict cursors, std::size_t K,
                         std::uint8_t* __restrict stream, std::size_t len) {
    const std::uint8_t* __restrict z = in.z;
    const std::uint8_t* __restrict k = in.k;
    const auto put = [&](std::size_t j, std::uint8_t c, std::uint8_t v) {
        std::uint32_t* cur = cursors + j * K;
        const std::uint32_t p = cur[c];
        if constexpr (Checked) {
            if (p >= len) [[unlikely]]
                return false;
        }
        // a shard's next lines are asked for ahead of its stores (a prefetch
        // never faults, so an address past the stream is harmless)
        __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(stream) + p + kStoreAhead),
                           1, 3);
        stream[p] = v;
        cur[c] = p + 1;
        return true;
    };
    std::size_t x = 0;
    if constexpr (!Checked && std::endian::native == std::endian::little) {
        // eight samples of every row read as one word each (byte b of the
        // word is sample x + b): the loop is bound by its loads, three a
        // sample when read byte by byte
        for (; x + 8 <= in.w; x += 8) {
            std::uint64_t kw[R], zw[R];
            for (std::size_t j = 0; j < R; ++j) {
                std::memcpy(&kw[j], k + j * in.k_stride + x, 8);
                std::memcpy(&zw[j], z + j * in.z_stride + x, 8);
            }
            for (int b = 0; b < 64; b += 8)
                for (std::size_t j = 0; j < R; ++j)
                    put(j, static_cast<std::uint8_t>(kw[j] >> b), static_cast<std::uint8_t>(zw[j] >> b));
        }
    }
    for (; x < in.w; ++x) {
        bool ok = true;
        for (std::size_t j = 0; j < R; ++j) ok &= put(j, k[j * in.k_stride + x], z[j * in.z_stride + x]);
        if (!ok) return false;
    }
    return true;
}

template <bool Checked = true>
inline bool scatter_rows(std::size_t rows, const ScatterRows& in, std::uint32_t* cursors, std::size_t K,
                         std::uint8_t* stream, std::size_t len) {
    static_assert(kScatterRows == 4, "one scatter_rows<R> for every block height");
    switch (rows) {
        case 1: return scatter_rows<1, Checked>(in, cursors, K, stream, len);
        case 2: return scatter_rows<2, Checked>(in, cursors, K, stream, len);
        case 3: return scatter_rows<3, Checked>(in, cursors, K, stream, len);
        default: return scatter_rows<4, Checked>(in, cursors, K, stream, len);
    }
}

}  // namespace rans

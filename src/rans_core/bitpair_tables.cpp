// The bit-pair coder's pair tables: histograms of every (plane, bit-pair
// context) counted in parallel, normalised to four frequencies on the 4096
// scale.
#include <algorithm>
#include <cmath>

#include "../pool/pool.hpp"
#include "bitpair.hpp"
#include "bitpair_rows.hpp"
#include "scale.hpp"

namespace rans {
namespace {

using namespace bitpair;

// ------------------------------------------------------------ histograms

// Counts rows 1..rows of an image in parallel: row_fn(r, hist) adds padded
// row r to a private histogram of `counters` zeroed counters; the partial
// histograms are summed exactly. A fault stops only its own block; the fault
// of the lowest block, the first in scan order, is the one reported, so the
// outcome never depends on the pool size.
template <class RowFn>
std::vector<std::uint64_t> count_rows(std::size_t rows, std::size_t w, std::size_t counters,
                                      RowFn&& row_fn) {
    if (rows == 0) return std::vector<std::uint64_t>(counters, 0);
    // enough pixels per block to pay for zeroing and merging its counters
    const std::size_t per_block = std::max<std::size_t>(std::size_t{1} << 15, counters);
    const std::size_t pixels = rows > SIZE_MAX / w ? SIZE_MAX : rows * w;
    const std::size_t blocks =
        std::min({rows, 2 * pool::size(), std::max<std::size_t>(1, pixels / per_block)});

    std::vector<std::vector<std::uint64_t>> parts(blocks);
    pool::parallel_each_lowest_fault(blocks, [&](std::size_t b) {
        parts[b].assign(counters, 0);
        const std::size_t r0 = 1 + rows * b / blocks, r1 = 1 + rows * (b + 1) / blocks;
        for (std::size_t r = r0; r < r1; ++r) row_fn(r, parts[b]);
    });
    std::vector<std::uint64_t> total = std::move(parts[0]);
    for (std::size_t b = 1; b < blocks; ++b)
        for (std::size_t i = 0; i < counters; ++i) total[i] += parts[b][i];
    return total;
}

// Adds a pixel's four symbols to the counters of channel `ch` (planes 4*ch to
// 4*ch+3 of the histogram). Unchecked only when 64*c + 63 < n_ctx.
template <bool Checked>
inline void count_pixel(std::span<std::uint64_t> hist, std::size_t ch, std::size_t n_ctx,
                        std::size_t c, Pattern pt) {
    for (unsigned j = 0; j < 4; ++j) {
        const std::size_t i = 4 * ((4 * ch + j) * n_ctx + 64 * c + lane(pt.low, j)) + lane(pt.sym, j);
        if constexpr (Checked) ++at(hist, i);
        else ++hist.data()[i];
    }
}

template <bool Checked>
inline void count_pixel(std::span<std::uint64_t> hist, std::size_t ch, std::size_t n_ctx,
                        std::size_t c, Pattern pt, std::size_t fast_end) {
    if (!Checked && c < fast_end) count_pixel<false>(hist, ch, n_ctx, c, pt);
    else count_pixel<true>(hist, ch, n_ctx, c, pt);
}

// Every pair table of the histogram's channels, normalised.
PairTables normalise_tables(const std::uint64_t* hist, std::size_t n_ctx) {
    const std::size_t tables = 4 * n_ctx;
    PairTables out{std::vector<std::uint16_t>(checked_mul(tables, 4)),
                   std::vector<std::uint16_t>(checked_mul(tables, 5))};
    for (std::size_t t = 0; t < tables; ++t) {
        const std::uint64_t* c = hist + 4 * t;
        const auto f = normalise_pair_counts(c[0], c[1], c[2], c[3]);
        std::uint16_t* sf = out.freqs.data() + 4 * t;
        std::uint16_t* cf = out.cums.data() + 5 * t;
        std::uint16_t run = 0;
        cf[0] = 0;
        for (unsigned s = 0; s < 4; ++s) {
            sf[s] = f[s];
            run = static_cast<std::uint16_t>(run + f[s]);
            cf[s + 1] = run;
        }
    }
    return out;
}

// Counters needed without faulting: n_ctx = 0 is allowed (any pixel faults).
std::size_t fast_context_end(std::size_t n_ctx) { return std::min<std::size_t>(256, n_ctx / 64); }

template <bool Checked, bool Chroma>
void count_channel_row(std::size_t r, std::span<std::uint64_t> hist, Bytes resid, Bytes ctx,
                       const ContextTables& t, const Geometry& g, std::size_t n_ctx,
                       std::size_t fast_end) {
    const std::size_t base = r * g.stride;
    for (std::size_t q = 1; q <= g.w; ++q) {
        const std::size_t p = base + q;
        const std::size_t c = context_at<Checked, Chroma>(ctx, p, g.stride, t);
        const Pattern pt = pattern_at<Checked>(resid, p, g.stride);
        count_pixel<Checked>(hist, 0, n_ctx, c, pt, fast_end);
    }
}

template <bool Chroma>
std::vector<std::uint64_t> count_channel(Bytes resid, Bytes ctx, const ContextTables& t,
                                         const Geometry& g, std::size_t n_ctx) {
    // The current residual (and, with the chroma rule, the context sample) is
    // read at p; the non-chroma context reaches only p - 1.
    const std::size_t safe = std::min(safe_rows(resid.size(), g.w, g),
                                      safe_rows(ctx.size(), Chroma ? g.w : g.w - 1, g));
    // the first row past `safe` always faults, so no later row is ever needed
    const std::size_t rows = std::min(g.h, safe + 1);
    const std::size_t fast_end = fast_context_end(n_ctx);
    return count_rows(rows, g.w, checked_mul(16, n_ctx), [&](std::size_t r, std::vector<std::uint64_t>& hist) {
        if (r <= safe) count_channel_row<false, Chroma>(r, hist, resid, ctx, t, g, n_ctx, fast_end);
        else count_channel_row<true, Chroma>(r, hist, resid, ctx, t, g, n_ctx, fast_end);
    });
}

template <bool Checked>
void count_rgb_row(std::size_t r, std::span<std::uint64_t> hist, const Bytes (&resid)[3], Bytes ref,
                   const ContextTables& t, const Geometry& g, std::size_t n_ctx, std::size_t fast_end) {
    const std::size_t base = r * g.stride;
    for (std::size_t q = 1; q <= g.w; ++q) {
        const std::size_t p = base + q;
        const Neighbours nb = neighbours<Checked>(ref, p, g.stride);
        const std::uint8_t green = load<Checked>(ref, p);
        const std::uint8_t pred = predict_sample(nb.w, nb.n, nb.nw);
        // one gradient index for the two context numbers
        const std::size_t s = at(t.s_lut, gradient_index(nb.w, nb.n, nb.nw));
        const std::size_t c_green = at(t.d_lut, 4 * s + at(t.i_lut, pred));
        const std::size_t c_chroma = at(t.d_lut, 4 * s + at(t.i_lut, green));
        const Pattern pt[3] = {pattern_at<Checked>(resid[0], p, g.stride),
                               pattern_at<Checked>(resid[1], p, g.stride),
                               pattern_at<Checked>(resid[2], p, g.stride)};
        if (!Checked && c_green < fast_end && c_chroma < fast_end) {
            count_pixel<false>(hist, 0, n_ctx, c_green, pt[0]);
            count_pixel<false>(hist, 1, n_ctx, c_chroma, pt[1]);
            count_pixel<false>(hist, 2, n_ctx, c_chroma, pt[2]);
        } else {
            // plane by plane, green then the two chroma channels, so that a
            // fault lands on the first counter outside the histogram
            for (unsigned j = 0; j < 4; ++j)
                for (std::size_t ch = 0; ch < 3; ++ch) {
                    const std::size_t c = ch == 0 ? c_green : c_chroma;
                    const std::size_t i = 4 * ((4 * ch + j) * n_ctx + 64 * c + lane(pt[ch].low, j)) +
                                          lane(pt[ch].sym, j);
                    ++at(hist, i);
                }
        }
    }
}

}  // namespace

std::array<std::uint16_t, 4> normalise_pair_counts(std::uint64_t c0, std::uint64_t c1,
                                                   std::uint64_t c2, std::uint64_t c3) {
    const std::uint64_t c[4] = {c0, c1, c2, c3};
    const std::uint64_t total = c0 + c1 + c2 + c3;
    constexpr auto kQuarter = static_cast<std::uint16_t>(kScale / 4);
    if (total == 0) return {kQuarter, kQuarter, kQuarter, kQuarter};
    std::int64_t f[4];
    for (int s = 0; s < 4; ++s) {
        // scaled before the division; std::round takes halves away from zero
        const double v = std::round(static_cast<double>(c[s]) * static_cast<double>(kScale) / static_cast<double>(total));
        f[s] = v >= 9.2e18 ? INT64_MAX : static_cast<std::int64_t>(v);
        if (f[s] < 2) f[s] = 1;
    }
    // the largest frequency absorbs the rounding error; ties go to the higher symbol
    int b = f[1] >= f[0] ? 1 : 0;
    if (f[2] >= std::max(f[0], f[1])) b = 2;
    if (f[3] >= std::max({f[0], f[1], f[2]})) b = 3;
    f[b] += static_cast<std::int64_t>(kScale) - (f[0] + f[1] + f[2] + f[3]);
    if (f[b] < 1) f[b] = 1;
    return {static_cast<std::uint16_t>(f[0]), static_cast<std::uint16_t>(f[1]),
            static_cast<std::uint16_t>(f[2]), static_cast<std::uint16_t>(f[3])};
}

PairTables bp_build_pdf_sharded(Bytes resid, Bytes ctx, const ContextTables& t, std::size_t h,
                                std::size_t w, std::size_t n_ctx, bool is_chroma) {
    const std::size_t counters = checked_mul(16, n_ctx);
    if (h == 0 || w == 0) {
        const std::vector<std::uint64_t> none(counters, 0);
        return normalise_tables(none.data(), n_ctx);
    }
    const Geometry g = geometry(h, w);
    const auto hist = is_chroma ? count_channel<true>(resid, ctx, t, g, n_ctx)
                                : count_channel<false>(resid, ctx, t, g, n_ctx);
    return normalise_tables(hist.data(), n_ctx);
}

std::array<PairTables, 3> bp_build_pdf_sharded_rgb(Bytes gr, Bytes rd, Bytes bd, Bytes gr_ref,
                                                   const ContextTables& t, std::size_t h,
                                                   std::size_t w, std::size_t n_ctx) {
    const std::size_t per_channel = checked_mul(16, n_ctx);
    const std::size_t counters = checked_mul(3, per_channel);
    std::vector<std::uint64_t> hist;
    if (h == 0 || w == 0) {
        hist.assign(counters, 0);
    } else {
        const Geometry g = geometry(h, w);
        const Bytes resid[3] = {gr, rd, bd};
        std::size_t safe = safe_rows(gr_ref.size(), g.w, g);
        for (const Bytes& plane : resid) safe = std::min(safe, safe_rows(plane.size(), g.w, g));
        const std::size_t rows = std::min(g.h, safe + 1);
        const std::size_t fast_end = fast_context_end(n_ctx);
        hist = count_rows(rows, g.w, counters, [&](std::size_t r, std::vector<std::uint64_t>& part) {
            if (r <= safe) count_rgb_row<false>(r, part, resid, gr_ref, t, g, n_ctx, fast_end);
            else count_rgb_row<true>(r, part, resid, gr_ref, t, g, n_ctx, fast_end);
        });
    }
    return {normalise_tables(hist.data(), n_ctx), normalise_tables(hist.data() + per_channel, n_ctx),
            normalise_tables(hist.data() + 2 * per_channel, n_ctx)};
}

}  // namespace rans

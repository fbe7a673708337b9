// The bit-pair context coder: pair-table builders, the encoder and the three
// decoders. See bitpair.hpp for the model.
//
// Bounds: the planes are proven long enough row by row before a row is
// visited, and the pair tables are proven long enough for a context number
// before a pixel with that number is coded; rows and pixels that cannot be
// proven go through the same code with every read checked, so a short plane
// or table faults at exactly the read that would leave it.
#include "bitpair.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <string>

#include "../pool/pool.hpp"
#include "fault.hpp"
#include "rans_step.hpp"

namespace rans {
namespace {

// ---------------------------------------------------------------- geometry

// Padded layout: sample (y, x) at (y+1)*stride + (x+1), stride = w + 2.
struct Geometry {
    std::size_t h, w, stride;
};

// Only for h, w > 0. Every padded position of the image fits in size_t.
Geometry geometry(std::size_t h, std::size_t w) {
    const std::size_t stride = checked_add(w, 2);
    (void)checked_add(checked_mul(h, stride), w);
    return {h, w, stride};
}

// Number of leading padded rows r = 1.. whose reads, which reach at most
// `reach` past the row start r*stride, all lie inside a plane of `len` bytes.
std::size_t safe_rows(std::size_t len, std::size_t reach, const Geometry& g) {
    if (len <= reach) return 0;
    return std::min(g.h, (len - 1 - reach) / g.stride);
}

template <bool Checked>
inline std::uint8_t load(Bytes s, std::size_t i) {
    if constexpr (Checked) return at(s, i);
    else return s.data()[i];
}

struct Neighbours {
    std::uint8_t w, n, nw;
};

template <bool Checked>
inline Neighbours neighbours(Bytes s, std::size_t p, std::size_t stride) {
    return {load<Checked>(s, p - 1), load<Checked>(s, p - stride), load<Checked>(s, p - stride - 1)};
}

// Context number of the sample at p from the context plane: the intensity key
// is the prediction (non-chroma rule) or the context plane's own sample at p
// (chroma rule, the co-located green sample).
template <bool Checked, bool Chroma>
inline std::size_t context_at(Bytes ctx, std::size_t p, std::size_t stride, const ContextTables& t) {
    const Neighbours nb = neighbours<Checked>(ctx, p, stride);
    const std::uint8_t v = Chroma ? load<Checked>(ctx, p) : predict_sample(nb.w, nb.n, nb.nw);
    return t.number(nb.w, nb.n, nb.nw, v);
}

// ------------------------------------------------------- bit-pair patterns

// Moves bit pair j of b to the low bits of byte j.
inline std::uint32_t spread_pairs(std::uint32_t b) {
    return (b & 0x03u) | ((b & 0x0Cu) << 6) | ((b & 0x30u) << 12) | ((b & 0xC0u) << 18);
}

// One pixel's residual neighbourhood, four planes at once: byte j of `low` is
// 16*NW_j + 4*N_j + W_j (at most 63, so the bytes never carry into each
// other), byte j of `sym` is the current residual's bit pair j.
struct Pattern {
    std::uint32_t low, sym;
};

template <bool Checked>
inline Pattern pattern_at(Bytes resid, std::size_t p, std::size_t stride) {
    const Neighbours nb = neighbours<Checked>(resid, p, stride);
    const std::uint8_t cur = load<Checked>(resid, p);
    return {(spread_pairs(nb.nw) << 4) + (spread_pairs(nb.n) << 2) + spread_pairs(nb.w),
            spread_pairs(cur)};
}

inline std::size_t lane(std::uint32_t packed, unsigned j) { return (packed >> (8 * j)) & 0xFFu; }

// ------------------------------------------------------- whole rows
//
// A row proven inside its planes is prepared in passes over the row: the
// intensity keys, gradient indices and bit-pair patterns of all its pixels
// (independent of each other, so the compiler vectorises them), then the
// three table reads per pixel. The coding loops then only read these arrays.

struct RowScratch {
    std::vector<std::uint32_t> grad, low, sym;
    std::vector<std::uint8_t> key, ctx;
    explicit RowScratch(std::size_t w) : grad(w), low(w), sym(w), key(w), ctx(w) {}
};

// Context numbers of padded row r (columns 1..w) into s.ctx. Returns false,
// without faulting, when a table read of the row would leave its table: the
// caller then runs the row pixel by pixel with checked reads, so that the
// fault is raised at the same pixel and read as always.
template <bool Chroma>
bool row_contexts(const std::uint8_t* plane, std::size_t r, const Geometry& g, const ContextTables& t,
                  RowScratch& s) {
    const std::uint8_t* row = plane + r * g.stride;
    const std::uint8_t* up = row - g.stride;
    std::uint32_t* grad = s.grad.data();
    std::uint8_t* key = s.key.data();
    const std::size_t w = g.w;
    for (std::size_t i = 0; i < w; ++i) {
        const std::uint8_t W = row[i], N = up[i + 1], NW = up[i];
        grad[i] = gradient_index(W, N, NW);
        key[i] = Chroma ? row[i + 1] : predict_sample(W, N, NW);
    }
    std::uint8_t* out = s.ctx.data();
    const std::uint8_t* sl = t.s_lut.data();
    const std::uint8_t* il = t.i_lut.data();
    const std::uint8_t* dl = t.d_lut.data();
    const std::size_t sn = t.s_lut.size(), in = t.i_lut.size(), dn = t.d_lut.size();
    bool ok = true;
    if (sn >= kGradientCount && in >= 256) {
        // complete tables: only the d_lut read can leave its table
        for (std::size_t i = 0; i < w; ++i) {
            const std::size_t di = 4 * std::size_t{sl[grad[i]]} + il[key[i]];
            ok &= di < dn;
            out[i] = di < dn ? dl[di] : 0;
        }
    } else {
        for (std::size_t i = 0; i < w; ++i) {
            const bool here = grad[i] < sn && key[i] < in;
            const std::size_t di = here ? 4 * std::size_t{sl[grad[i]]} + il[key[i]] : dn;
            ok &= di < dn;
            out[i] = di < dn ? dl[di] : 0;
        }
    }
    return ok;
}

// Bit-pair patterns of padded row r of a residual plane into s.low, s.sym.
inline void row_patterns(const std::uint8_t* plane, std::size_t r, const Geometry& g, RowScratch& s) {
    const std::uint8_t* row = plane + r * g.stride;
    const std::uint8_t* up = row - g.stride;
    std::uint32_t* low = s.low.data();
    std::uint32_t* sym = s.sym.data();
    for (std::size_t i = 0; i < g.w; ++i) {
        low[i] = (spread_pairs(up[i]) << 4) + (spread_pairs(up[i + 1]) << 2) + spread_pairs(row[i]);
        sym[i] = spread_pairs(row[i + 1]);
    }
}

// e * m + s, saturated: an index that does not fit is beyond every list.
inline std::size_t sat_index(std::size_t e, std::size_t m, std::size_t s) {
    std::size_t r;
    if (__builtin_mul_overflow(e, m, &r) || __builtin_add_overflow(r, s, &r)) return SIZE_MAX;
    return r;
}

// Bit-pair context entries of pixels with context number c reach at most
// 3*n_ctx + 64*c + 63. Returns the first c whose pair tables are not all
// inside lists of cf_len cumulative values and sf_len frequencies.
std::size_t table_safe_end(std::size_t cf_len, std::size_t sf_len, std::size_t n_ctx) {
    std::size_t c = 0;
    for (; c < 256; ++c) {
        const std::size_t e = sat_index(3, n_ctx, 64 * c + 63);
        if (sat_index(e, 5, 3) >= cf_len || sat_index(e, 4, 3) >= sf_len) break;
    }
    return c;
}

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
    std::vector<std::exception_ptr> faults(blocks);
    pool::parallel_each(blocks, [&](std::size_t b) {
        try {
            parts[b].assign(counters, 0);
            const std::size_t r0 = 1 + rows * b / blocks, r1 = 1 + rows * (b + 1) / blocks;
            for (std::size_t r = r0; r < r1; ++r) row_fn(r, parts[b]);
        } catch (...) {
            faults[b] = std::current_exception();
        }
    });
    for (auto& f : faults)
        if (f) std::rethrow_exception(f);
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

// ------------------------------------------------------------ pair tables

std::array<std::uint16_t, 4> normalise_pair_counts(std::uint64_t c0, std::uint64_t c1,
                                                   std::uint64_t c2, std::uint64_t c3) {
    const std::uint64_t c[4] = {c0, c1, c2, c3};
    const std::uint64_t total = c0 + c1 + c2 + c3;
    if (total == 0) return {1024, 1024, 1024, 1024};
    std::int64_t f[4];
    for (int s = 0; s < 4; ++s) {
        // scaled before the division; std::round takes halves away from zero
        const double v = std::round(static_cast<double>(c[s]) * 4096.0 / static_cast<double>(total));
        f[s] = v >= 9.2e18 ? INT64_MAX : static_cast<std::int64_t>(v);
        if (f[s] < 2) f[s] = 1;
    }
    // the largest frequency absorbs the rounding error; ties go to the higher symbol
    int b = f[1] >= f[0] ? 1 : 0;
    if (f[2] >= std::max(f[0], f[1])) b = 2;
    if (f[3] >= std::max({f[0], f[1], f[2]})) b = 3;
    f[b] += 4096 - (f[0] + f[1] + f[2] + f[3]);
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

// ----------------------------------------------------------------- encoder

namespace {

[[noreturn]] void zero_frequency(const Geometry& g, std::size_t p, unsigned j, std::size_t k,
                                 std::size_t s) {
    const std::size_t r = p / g.stride, q = p % g.stride;
    throw InvalidInput("bit-pair symbol " + std::to_string(s) + " of plane " + std::to_string(j) +
                       " at pixel (y=" + std::to_string(r - 1) + ", x=" + std::to_string(q - 1) +
                       ") has frequency 0 in its pair table (context " + std::to_string(k) +
                       "), so it cannot be coded");
}

// The stream under construction: an uninitialised buffer (the worst case is
// reserved up front, so pages are touched only as bytes are written) that
// grows by doubling.
class ByteSink {
public:
    explicit ByteSink(std::size_t cap) : buf_(new std::uint8_t[cap]), cap_(cap) {}

    // Every symbol emits at most two bytes (the state is below 2^39 and the
    // emission stops below f * 2^27 >= 2^27), so eight bytes of room cover a
    // whole pixel.
    std::uint8_t* room_for_pixel(std::size_t len) {
        if (cap_ - len < 8) [[unlikely]]
            grow(len);
        return buf_.get();
    }
    std::vector<std::uint8_t> take(std::size_t len) const { return {buf_.get(), buf_.get() + len}; }

private:
    void grow(std::size_t len) {
        const std::size_t cap = std::max(checked_mul(cap_, 2), checked_add(len, 8));
        std::unique_ptr<std::uint8_t[]> next(new std::uint8_t[cap]);
        std::copy_n(buf_.get(), len, next.get());
        buf_ = std::move(next);
        cap_ = cap;
    }
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t cap_;
};

// One symbol s of plane j in bit-pair context k. The table entry is checked
// unless the pixel's context number is proven inside both lists.
template <bool Checked>
[[gnu::always_inline]] inline std::uint64_t encode_symbol(std::uint64_t x, unsigned j, std::size_t k,
                                                          std::size_t s, Words cf, Words sf,
                                                          std::size_t n_ctx, std::uint8_t* dst,
                                                          std::size_t& len, const Geometry& g,
                                                          std::size_t p) {
    std::uint32_t f, start;
    if constexpr (Checked) {
        const std::size_t e = sat_index(j, n_ctx, k);
        f = at(sf, sat_index(e, 4, s));
        start = at(cf, sat_index(e, 5, s));
    } else {
        const std::size_t e = j * n_ctx + k;
        f = sf.data()[4 * e + s];
        start = cf.data()[5 * e + s];
    }
    // a zero frequency would renormalise forever
    if (f == 0) [[unlikely]]
        zero_frequency(g, p, j, k, s);
    return encode_step(x, f, start, [&](std::uint8_t b) { dst[len++] = b; });
}

struct EncoderPass {
    Bytes resid, ctx;
    Words cf, sf;
    const ContextTables& t;
    Geometry g;
    std::size_t n_ctx, table_end;
    std::uint64_t x[4];
    std::size_t len;
    ByteSink out;

    // Pixels last to first and, within a pixel, planes 3 to 0, so that the
    // decoder, reading the stream backwards, meets plane 0 of the first pixel
    // first. Everything the loop reads is held in locals: the byte stores
    // could otherwise alias any of it.
    // A row that may leave its planes: every read checked, pixel by pixel.
    template <bool Chroma>
    void checked_row(std::size_t r) {
        const std::size_t stride = g.stride, base = r * stride;
        std::uint64_t x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3];
        std::size_t n = len;
        for (std::size_t q = g.w; q >= 1; --q) {
            const std::size_t p = base + q;
            const std::size_t c = context_at<true, Chroma>(ctx, p, stride, t);
            const Pattern pt = pattern_at<true>(resid, p, stride);
            std::uint8_t* dst = out.room_for_pixel(n);
            const std::size_t k = 64 * c;
            x3 = encode_symbol<true>(x3, 3, k + lane(pt.low, 3), lane(pt.sym, 3), cf, sf, n_ctx, dst, n, g, p);
            x2 = encode_symbol<true>(x2, 2, k + lane(pt.low, 2), lane(pt.sym, 2), cf, sf, n_ctx, dst, n, g, p);
            x1 = encode_symbol<true>(x1, 1, k + lane(pt.low, 1), lane(pt.sym, 1), cf, sf, n_ctx, dst, n, g, p);
            x0 = encode_symbol<true>(x0, 0, k + lane(pt.low, 0), lane(pt.sym, 0), cf, sf, n_ctx, dst, n, g, p);
        }
        x[0] = x0, x[1] = x1, x[2] = x2, x[3] = x3;
        len = n;
    }

    // A row proven inside both planes: contexts and patterns first, then the
    // coding loop over them. Everything that loop reads is held in locals,
    // since its byte stores could otherwise alias any of it.
    template <bool Chroma>
    void row(std::size_t r, RowScratch& rs) {
        if (!row_contexts<Chroma>(ctx.data(), r, g, t, rs)) return checked_row<Chroma>(r);
        row_patterns(resid.data(), r, g, rs);
        const Words lcf = cf, lsf = sf;
        const Geometry lg = g;
        const std::size_t nc = n_ctx, fast_end = table_end, base = r * g.stride;
        const std::uint8_t* cs = rs.ctx.data();
        const std::uint32_t* lows = rs.low.data();
        const std::uint32_t* syms = rs.sym.data();
        std::uint64_t x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3];
        std::size_t n = len;
        for (std::size_t i = lg.w; i-- > 0;) {
            const std::size_t p = base + i + 1;
            const std::size_t c = cs[i];
            const std::uint32_t low = lows[i], sym = syms[i];
            std::uint8_t* dst = out.room_for_pixel(n);
            const std::size_t k = 64 * c;
            if (c < fast_end) {
                x3 = encode_symbol<false>(x3, 3, k + lane(low, 3), lane(sym, 3), lcf, lsf, nc, dst, n, lg, p);
                x2 = encode_symbol<false>(x2, 2, k + lane(low, 2), lane(sym, 2), lcf, lsf, nc, dst, n, lg, p);
                x1 = encode_symbol<false>(x1, 1, k + lane(low, 1), lane(sym, 1), lcf, lsf, nc, dst, n, lg, p);
                x0 = encode_symbol<false>(x0, 0, k + lane(low, 0), lane(sym, 0), lcf, lsf, nc, dst, n, lg, p);
            } else {
                x3 = encode_symbol<true>(x3, 3, k + lane(low, 3), lane(sym, 3), lcf, lsf, nc, dst, n, lg, p);
                x2 = encode_symbol<true>(x2, 2, k + lane(low, 2), lane(sym, 2), lcf, lsf, nc, dst, n, lg, p);
                x1 = encode_symbol<true>(x1, 1, k + lane(low, 1), lane(sym, 1), lcf, lsf, nc, dst, n, lg, p);
                x0 = encode_symbol<true>(x0, 0, k + lane(low, 0), lane(sym, 0), lcf, lsf, nc, dst, n, lg, p);
            }
        }
        x[0] = x0, x[1] = x1, x[2] = x2, x[3] = x3;
        len = n;
    }
};

}  // namespace

BitPairStream bp_encode_sharded(Bytes resid, Bytes ctx, Words cf, Words sf, const ContextTables& t,
                                std::size_t h, std::size_t w, std::size_t n_ctx, bool is_chroma) {
    BitPairStream res{{kLowerBound, kLowerBound, kLowerBound, kLowerBound}, {}};
    if (h == 0 || w == 0) return res;
    const Geometry g = geometry(h, w);
    EncoderPass e{resid, ctx, cf, sf, t, g, n_ctx, table_safe_end(cf.size(), sf.size(), n_ctx),
                  {kLowerBound, kLowerBound, kLowerBound, kLowerBound}, 0,
                  ByteSink(checked_add(checked_mul(checked_mul(h, w), 4), 64))};

    const std::size_t safe = std::min(safe_rows(resid.size(), g.w, g),
                                      safe_rows(ctx.size(), is_chroma ? g.w : g.w - 1, g));
    RowScratch rs(g.w);
    for (std::size_t r = g.h; r >= 1; --r) {
        if (is_chroma) {
            if (r <= safe) e.row<true>(r, rs);
            else e.checked_row<true>(r);
        } else {
            if (r <= safe) e.row<false>(r, rs);
            else e.checked_row<false>(r);
        }
    }
    res.states = {e.x[0], e.x[1], e.x[2], e.x[3]};
    res.bytes = e.out.take(e.len);
    return res;
}

// ---------------------------------------------------------------- decoders

namespace {

enum class Rule { Own, Ref, Debug };

// A decoder's current padded row and the one above it.
struct Rows {
    std::uint8_t* cur = nullptr;
    const std::uint8_t* up = nullptr;
};

// The coder state of a decoder between rows.
struct DecodeState {
    std::uint64_t x[4];
    std::ptrdiff_t pos;
};

struct DecoderPass {
    const BitPairCoded& in;
    const ContextTables& t;
    Geometry g;
    std::size_t n_ctx, table_end;

    // One symbol of plane j with the pair table e: the symbol whose
    // cumulative range holds the slot, then the state advanced past it.
    template <bool Checked>
    [[gnu::always_inline]] inline std::uint32_t symbol(std::uint64_t& x, std::size_t e) const {
        const std::uint64_t slot = x & kSlotMask;
        std::uint32_t s;
        std::uint64_t f, start;
        if constexpr (Checked) {
            s = (slot >= at(in.cf, 5 * e + 1)) + (slot >= at(in.cf, 5 * e + 2)) +
                (slot >= at(in.cf, 5 * e + 3));
            f = at(in.sf, 4 * e + s);
            start = at(in.cf, 5 * e + s);
        } else {
            const std::uint16_t* row = in.cf.data() + 5 * e;
            s = (slot >= row[1]) + (slot >= row[2]) + (slot >= row[3]);
            f = in.sf.data()[4 * e + s];
            start = row[s];
        }
        x = decode_advance(x, f, start);
        return s;
    }

    // A pixel's four symbols, planes 0 to 3, each followed by its state's
    // refill; returns the residual they make.
    template <bool Checked>
    [[gnu::always_inline]] inline std::uint8_t pixel(std::uint64_t (&x)[4], std::ptrdiff_t& pos,
                                                     std::size_t c, std::uint32_t low) const {
        const std::uint8_t* stream = in.stream.data();
        const std::size_t k = 64 * c;
        std::uint32_t z = 0;
        for (unsigned j = 0; j < 4; ++j) {
            const std::uint32_t s = symbol<Checked>(x[j], j * n_ctx + k + lane(low, j));
            x[j] = refill(x[j], stream, pos);
            z |= s << (2 * j);
        }
        return static_cast<std::uint8_t>(z);
    }

    std::uint8_t pixel(std::uint64_t (&x)[4], std::ptrdiff_t& pos, std::size_t c, std::uint32_t low) const {
        return c < table_end ? pixel<false>(x, pos, c, low) : pixel<true>(x, pos, c, low);
    }

    // Padded row r. `R` and `S` hold this row and the one above (padded rows
    // of the residual and sample planes); the caller's plane (ref or orig) is
    // read checked unless the row is proven inside it. The W neighbours are
    // the values just decoded, kept in registers.
    template <Rule M, bool RowSafe>
    void row(std::size_t r, DecodeState& st, const Rows& R, const Rows& S, Bytes ref, Bytes orig,
             std::optional<BitPairMismatch>* report, RowScratch* rs) const {
        std::uint64_t x[4] = {st.x[0], st.x[1], st.x[2], st.x[3]};
        std::ptrdiff_t pos = st.pos;
        const std::size_t stride = g.stride, base = r * stride;
        std::uint8_t* Rrow = R.cur;
        const std::uint8_t* Rup = R.up;
        std::uint8_t* Srow = S.cur;
        const std::uint8_t* Sup = S.up;
        std::uint8_t zw = 0, sw = 0;  // the border column is 0 in both planes
        // the chroma rule reads only the caller's plane: a row proven inside
        // it has all its context numbers worked out before decoding
        const std::uint8_t* pre = nullptr;
        if constexpr (M == Rule::Ref && RowSafe)
            if (row_contexts<true>(ref.data(), r, g, t, *rs)) pre = rs->ctx.data();
        for (std::size_t q = 1; q <= g.w; ++q) {
            std::size_t c;
            std::uint8_t pred = 0;
            if constexpr (M == Rule::Ref) {
                c = pre ? pre[q - 1] : context_at<true, true>(ref, base + q, stride, t);
            } else {
                const std::uint8_t n = Sup[q], nw = Sup[q - 1];
                pred = predict_sample(sw, n, nw);
                c = t.number(sw, n, nw, pred);
            }
            const std::uint32_t low =
                (spread_pairs(Rup[q - 1]) << 4) + (spread_pairs(Rup[q]) << 2) + spread_pairs(zw);
            [[maybe_unused]] const std::ptrdiff_t pos0 = pos;
            [[maybe_unused]] const std::array<std::uint64_t, 4> x0{x[0], x[1], x[2], x[3]};
            const std::uint8_t z = pixel(x, pos, c, low);
            Rrow[q] = zw = z;
            if constexpr (M != Rule::Ref) Srow[q] = sw = zigzag_decode(z, pred);
            if constexpr (M == Rule::Debug) {
                const std::uint8_t expected = load<!RowSafe>(orig, base + q);
                if (expected != z && !report->has_value())
                    *report = BitPairMismatch{r, q, pos0, x0, expected, z};
            }
        }
        st = {{x[0], x[1], x[2], x[3]}, pos};
    }
};

template <Rule M>
std::vector<std::uint8_t> decode_channel(const BitPairCoded& in, const ContextTables& t, Bytes ref,
                                         Bytes orig, std::optional<BitPairMismatch>* report) {
    if (in.h == 0 || in.w == 0) return {};
    const Geometry g = geometry(in.h, in.w);
    const std::size_t n_ctx = in.cf.size() / 20;
    const DecoderPass d{in, t, g, n_ctx, table_safe_end(in.cf.size(), in.sf.size(), n_ctx)};
    DecodeState st{{in.states[0], in.states[1], in.states[2], in.states[3]},
                   static_cast<std::ptrdiff_t>(in.stream.size()) - 1};
    std::vector<std::uint8_t> out(checked_mul(g.h, g.w));
    // a pixel's context reads only its own row and the one above, so two
    // padded rows of each working plane suffice (zero border columns, and a
    // zero row above the first); each finished row goes straight to the result
    std::vector<std::uint8_t> R(2 * g.stride, 0), S;
    if constexpr (M != Rule::Ref) S.assign(2 * g.stride, 0);
    const auto rows = [&g](std::vector<std::uint8_t>& v, std::size_t r) {
        if (v.empty()) return Rows{};
        std::uint8_t* p = v.data();
        return Rows{p + (r & 1) * g.stride, p + ((r - 1) & 1) * g.stride};
    };

    // rows whose reads of the caller's plane are proven in range
    std::size_t safe = g.h;
    if constexpr (M == Rule::Ref) safe = safe_rows(ref.size(), g.w, g);
    if constexpr (M == Rule::Debug) safe = safe_rows(orig.size(), g.w, g);

    RowScratch rs(M == Rule::Ref ? g.w : 0);
    for (std::size_t r = 1; r <= g.h; ++r) {
        const Rows Rr = rows(R, r), Sr = rows(S, r);
        if (r <= safe) d.row<M, true>(r, st, Rr, Sr, ref, orig, report, &rs);
        else d.row<M, false>(r, st, Rr, Sr, ref, orig, report, &rs);
        std::copy_n(Rr.cur + 1, g.w, out.data() + (r - 1) * g.w);
    }
    return out;
}

}  // namespace

std::vector<std::uint8_t> bp_decode_sharded(const BitPairCoded& in, const ContextTables& t) {
    return decode_channel<Rule::Own>(in, t, {}, {}, nullptr);
}

std::vector<std::uint8_t> bp_decode_sharded_with_ref(const BitPairCoded& in, Bytes ref,
                                                     const ContextTables& t) {
    return decode_channel<Rule::Ref>(in, t, ref, {}, nullptr);
}

std::vector<std::uint8_t> bp_decode_sharded_debug(const BitPairCoded& in, const ContextTables& t,
                                                  Bytes orig_resid,
                                                  std::optional<BitPairMismatch>& report) {
    report.reset();
    return decode_channel<Rule::Debug>(in, t, {}, orig_resid, &report);
}

}  // namespace rans

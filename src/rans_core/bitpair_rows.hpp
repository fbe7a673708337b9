// What the parts of the bit-pair coder share: the padded row geometry, the
// checked or unchecked reads of a plane, context numbers, the bit-pair
// patterns of a pixel's neighbourhood, row preparation and the proof of how
// far the pair tables reach.
//
// Bounds: the planes are proven long enough row by row before a row is
// visited, and the pair tables are proven long enough for a context number
// before a pixel with that number is coded; rows and pixels that cannot be
// proven go through the same code with every read checked, so a short plane
// or table faults at exactly the read that would leave it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bitpair.hpp"
#include "fault.hpp"
#include "predict.hpp"

namespace rans::bitpair {

// ---------------------------------------------------------------- geometry

// Padded layout: sample (y, x) at (y+1)*stride + (x+1), stride = w + 2.
struct Geometry {
    std::size_t h, w, stride;
};

// Only for h, w > 0. Every padded position of the image fits in size_t.
inline Geometry geometry(std::size_t h, std::size_t w) {
    const std::size_t stride = checked_add(w, 2);
    (void)checked_add(checked_mul(h, stride), w);
    return {h, w, stride};
}

// Number of leading padded rows r = 1.. whose reads, which reach at most
// `reach` past the row start r*stride, all lie inside a plane of `len` bytes.
inline std::size_t safe_rows(std::size_t len, std::size_t reach, const Geometry& g) {
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
inline std::size_t table_safe_end(std::size_t cf_len, std::size_t sf_len, std::size_t n_ctx) {
    std::size_t c = 0;
    for (; c < 256; ++c) {
        const std::size_t e = sat_index(3, n_ctx, 64 * c + 63);
        if (sat_index(e, 5, 3) >= cf_len || sat_index(e, 4, 3) >= sf_len) break;
    }
    return c;
}

}  // namespace rans::bitpair

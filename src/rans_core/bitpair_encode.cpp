// The bit-pair encoder: a padded residual plane coded pixels last to first,
// bit-pair planes 3 to 0, into one stream with four states.
#include <memory>
#include <string>

#include "bitpair.hpp"
#include "bitpair_rows.hpp"
#include "rans_step.hpp"

namespace rans {
namespace {

using namespace bitpair;

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
// unless the pixel's context number is proven inside both lists. `Rare`:
// planes 2 and 3 code mostly symbol 0 at a fraction of a bit and seldom emit
// a byte, so a branch that is almost always right costs less there than the
// conditional emission.
template <bool Checked, bool Rare = false>
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
    // The states stay in [2^31, 2^39) (they start at 2^31, and a step leaves
    // a state below 2^39), where the fast step emits and divides exactly as
    // encode_step does, without a branch on the data. A frequency above 4096
    // takes encode_step, which faults on it as always.
    if (f <= kScale) [[likely]] {
        std::uint8_t* q = dst + len;
        std::uint32_t bad = 0;  // stays 0: f is in 1..4096
        encode_step_fast<Rare>(x, make_symbol(f, start), bad, q);
        len = static_cast<std::size_t>(q - dst);
        return x;
    }
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
                x3 = encode_symbol<false, true>(x3, 3, k + lane(low, 3), lane(sym, 3), lcf, lsf, nc, dst, n, lg, p);
                x2 = encode_symbol<false, true>(x2, 2, k + lane(low, 2), lane(sym, 2), lcf, lsf, nc, dst, n, lg, p);
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

}  // namespace rans

// The image side: both analysis phases, residual reconstruction and channel
// restoration.
#include <vector>

#include "../rans_core/image.hpp"
#include "bindings.hpp"

namespace binding {
namespace {

using U8 = std::uint8_t;
using U32 = std::uint32_t;

rans::ContextTables context_tables(const Frame& f, std::size_t s, std::size_t i, std::size_t d) {
    return {f.in<U8>(s), f.in<U8>(i), f.in<U8>(d)};
}

// The alpha part of the result: the residual plane ((0, 0) when alpha was not
// analysed) and the statistics ((0, 0.0) then).
Ref alpha_plane(rans::PhaseOne& r, std::size_t h, std::size_t w) {
    if (!r.alpha_analysed) return array(std::vector<U8>(), {0, 0});
    return array(std::move(r.alpha_residuals), {h, w});
}
Ref alpha_stats(const rans::PhaseOne& r) {
    Ref zeros = integer(r.alpha_zeros);
    Ref err = real(r.alpha_abs_err);
    return tuple({&zeros, &err});
}

// The parts of the result that p1_rgb and p1_gray share, in result order:
// shard totals, residual histograms, shard starts, row offsets, zero counts
// and error sums.
struct ShardCounts {
    Ref totals, hist, starts, offsets, zeros, err;
};
ShardCounts shard_counts(rans::PhaseOne& r, std::size_t h, std::size_t K) {
    return {array(std::move(r.totals), {3, K}), array(std::move(r.hist), {3, K, 256}),
            array(std::move(r.starts), {3, K}), array(std::move(r.offsets), {h, 3, K}),
            array(std::vector<U32>(r.zeros, r.zeros + 3), {3}),
            array(std::vector<std::uint64_t>(r.abs_err, r.abs_err + 3), {3})};
}

}  // namespace

// p1_rgb(h, w, rgb_raw, a_ch, is_rgba, n_shards, s_lut, i_lut, d_lut)
PyObject* p1_rgb(Frame& f) {
    const std::size_t h = f.u64(0), w = f.u64(1), K = f.u64(5);
    const auto tables = context_tables(f, 6, 7, 8);
    auto rgb = f.in<U8>(2);
    auto a = f.in<U8>(3);
    const bool is_rgba = f.flag(4);
    rans::PhaseOne r = f.run([&] { return rans::p1_rgb(h, w, rgb, a, is_rgba, K, tables); });
    const std::size_t ph = h + 2, pw = w + 2;
    Ref g = array(std::move(r.planes[0]), {ph, pw});
    Ref rd = array(std::move(r.planes[1]), {ph, pw});
    Ref bd = array(std::move(r.planes[2]), {ph, pw});
    Ref vhist = array(std::move(r.value_hist), {3, 256});
    ShardCounts c = shard_counts(r, h, K);
    Ref rg = array(std::move(r.residuals[0]), {ph, pw});
    Ref rr = array(std::move(r.residuals[1]), {ph, pw});
    Ref rb = array(std::move(r.residuals[2]), {ph, pw});
    Ref ra = alpha_plane(r, h, w);
    Ref residuals = tuple({&rg, &rr, &rb, &ra});
    Ref astats = alpha_stats(r);
    return tuple({&g, &rd, &bd, &vhist, &c.totals, &c.hist, &c.starts, &c.offsets, &c.zeros, &c.err,
                  &residuals, &astats})
        .release();
}

// p1_gray(h, w, gray_raw, a_ch, is_rgba, n_shards, s_lut, i_lut, d_lut)
PyObject* p1_gray(Frame& f) {
    const std::size_t h = f.u64(0), w = f.u64(1), K = f.u64(5);
    const auto tables = context_tables(f, 6, 7, 8);
    auto gray = f.in<U8>(2);
    auto a = f.in<U8>(3);
    const bool is_rgba = f.flag(4);
    rans::PhaseOne r = f.run([&] { return rans::p1_gray(h, w, gray, a, is_rgba, K, tables); });
    const std::size_t ph = h + 2, pw = w + 2;
    Ref g = array(std::move(r.planes[0]), {ph, pw});
    ShardCounts c = shard_counts(r, h, K);
    Ref rg = array(std::move(r.residuals[0]), {ph, pw});
    Ref e1 = array(std::vector<U8>(), {0, 0});
    Ref e2 = array(std::vector<U8>(), {0, 0});
    Ref ra = alpha_plane(r, h, w);
    Ref residuals = tuple({&rg, &e1, &e2, &ra});
    Ref astats = alpha_stats(r);
    return tuple({&g, &c.totals, &c.hist, &c.starts, &c.offsets, &c.zeros, &c.err, &residuals, &astats})
        .release();
}

// p2_rgb(h, w, gr_ch, rd_ch, bd_ch, row_global_offsets, shard_gr, shard_rd, shard_bd,
//        s_lut, i_lut, d_lut)
PyObject* p2_rgb(Frame& f) {
    const std::size_t h = f.u64(0), w = f.u64(1);
    const auto tables = context_tables(f, 9, 10, 11);
    auto gr = f.in<U8>(2), rd = f.in<U8>(3), bd = f.in<U8>(4);
    auto offsets = f.in<U32>(5);
    auto sg = f.out<U8>(6), sr = f.out<U8>(7), sb = f.out<U8>(8);
    f.run([&] { rans::p2_rgb(h, w, gr, rd, bd, offsets, sg, sr, sb, tables); });
    return none().release();
}

// p2_gray(h, w, gr_ch, row_global_offsets, shard_gr, s_lut, i_lut, d_lut)
PyObject* p2_gray(Frame& f) {
    const std::size_t h = f.u64(0), w = f.u64(1);
    const auto tables = context_tables(f, 5, 6, 7);
    auto gr = f.in<U8>(2);
    auto offsets = f.in<U32>(3);
    auto sg = f.out<U8>(4);
    f.run([&] { rans::p2_gray(h, w, gr, offsets, sg, tables); });
    return none().release();
}

// reconstruct_shards_rgb(h, w, res_gr, res_rd, res_bd, off_gr, off_rd, off_bd, s_lut, i_lut, d_lut)
PyObject* reconstruct_shards_rgb(Frame& f) {
    const std::size_t h = f.u64(0), w = f.u64(1);
    const auto tables = context_tables(f, 8, 9, 10);
    auto rg = f.in<U8>(2), rr = f.in<U8>(3), rb = f.in<U8>(4);
    auto og = f.in<U32>(5), orr = f.in<U32>(6), ob = f.in<U32>(7);
    rans::ColourPlanes p =
        f.run([&] { return rans::reconstruct_shards_rgb(h, w, rg, rr, rb, og, orr, ob, tables); });
    Ref g = array(std::move(p.g), {h, w});
    Ref rd = array(std::move(p.rd), {h, w});
    Ref bd = array(std::move(p.bd), {h, w});
    return tuple({&g, &rd, &bd}).release();
}

// reconstruct_2d_channels(h, w, res_ch)
PyObject* reconstruct_2d_channels(Frame& f) {
    const std::size_t h = f.u64(0), w = f.u64(1);
    auto res = f.in<U8>(2);
    auto out = f.run([&] { return rans::reconstruct_2d_channels(h, w, res); });
    return array(std::move(out), {h, w}).release();
}

// restore_channels(gr_rec, rd_rec, bd_rec, a_ch, is_rgba, is_grayscale, apply_gsub)
PyObject* restore_channels(Frame& f) {
    const std::size_t h = f.dim(0, 0), w = f.dim(0, 1);
    auto gr = f.in<U8>(0), rd = f.in<U8>(1), bd = f.in<U8>(2), a = f.in<U8>(3);
    const bool is_rgba = f.flag(4), is_grayscale = f.flag(5), apply_gsub = f.flag(6);
    auto out = f.run([&] {
        return rans::restore_channels(h, w, gr, rd, bd, a, is_rgba, is_grayscale, apply_gsub);
    });
    return array(std::move(out), {h, w, std::size_t{is_rgba ? 4u : 3u}}).release();
}

}  // namespace binding

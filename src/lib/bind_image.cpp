// The image side: both analysis phases, residual reconstruction and channel
// restoration.
#include <vector>

#include "../rans_core/image.hpp"
#include "args.hpp"
#include "bindings.hpp"

namespace binding {
namespace {


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

// A padded (h+2) x (w+2) plane of the result.
template <class A>
Ref padded(std::vector<U8, A>& plane, std::size_t h, std::size_t w) {
    return array(std::move(plane), {h + 2, w + 2});
}

// Phase one (rans::p1_rgb or rans::p1_gray) on the arguments of its binding;
// `image` is the position of the binding's image parameter.
template <const auto& Params, class Phase>
rans::PhaseOne run_phase_one(Frame& f, std::size_t image, Phase phase, const rans::PhaseOneExtras& extras = {}) {
    constexpr Named p{Params};
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]), K = f.u64(p["n_shards"]);
    const auto tables = context_tables<Params>(f);
    auto pixels = f.in<U8>(image), a = f.in<U8>(p["a_ch"]);
    const bool is_rgba = f.flag(p["is_rgba"]);
    return f.run([&] { return phase(h, w, pixels, a, is_rgba, K, tables, extras); });
}

// The front end's phases one and two in one call (_p1_p2_rgb, _p1_p2_gray):
// phase one without the value histogram, which the front end never reads,
// the streams filled as phase two fills them, and the result in the order of
// the front end's record: the planes, shard totals, residual histograms,
// shard starts, row offsets, the residual planes and alpha's residuals.
template <int C, const auto& Params, class Phase>
PyObject* phases_one_and_two(Frame& f, std::size_t image, Phase phase, const std::size_t (&outs)[C]) {
    constexpr Named p{Params};
    std::span<U8> streams[C];
    for (int c = 0; c < C; ++c) streams[c] = f.out<U8>(outs[c]);
    rans::PhaseOne r = run_phase_one<Params>(f, image, phase, {streams, false});
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]), K = f.u64(p["n_shards"]);
    std::vector<Ref> planes, residuals;
    for (int c = 0; c < C; ++c) {
        planes.push_back(padded(r.planes[c], h, w));
        residuals.push_back(padded(r.residuals[c], h, w));
    }
    Ref plane_tuple = tuple_of(planes), residual_tuple = tuple_of(residuals);
    ShardCounts c = shard_counts(r, h, K);
    Ref alpha = alpha_plane(r, h, w);
    return tuple({&plane_tuple, &c.totals, &c.hist, &c.starts, &c.offsets, &residual_tuple, &alpha}).release();
}

}  // namespace

PyObject* p1_rgb(Frame& f) {
    constexpr Named p{sig::p1_rgb};
    rans::PhaseOne r = run_phase_one<sig::p1_rgb>(f, p["rgb_raw"], rans::p1_rgb);
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]), K = f.u64(p["n_shards"]);
    Ref g = padded(r.planes[0], h, w), rd = padded(r.planes[1], h, w), bd = padded(r.planes[2], h, w);
    Ref vhist = array(std::move(r.value_hist), {3, 256});
    ShardCounts c = shard_counts(r, h, K);
    Ref rg = padded(r.residuals[0], h, w), rr = padded(r.residuals[1], h, w);
    Ref rb = padded(r.residuals[2], h, w), ra = alpha_plane(r, h, w);
    Ref residuals = tuple({&rg, &rr, &rb, &ra});
    Ref astats = alpha_stats(r);
    return tuple({&g, &rd, &bd, &vhist, &c.totals, &c.hist, &c.starts, &c.offsets, &c.zeros, &c.err,
                  &residuals, &astats})
        .release();
}

PyObject* p1_gray(Frame& f) {
    constexpr Named p{sig::p1_gray};
    rans::PhaseOne r = run_phase_one<sig::p1_gray>(f, p["gray_raw"], rans::p1_gray);
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]), K = f.u64(p["n_shards"]);
    Ref g = padded(r.planes[0], h, w);
    ShardCounts c = shard_counts(r, h, K);
    // the chroma residual planes of a gray image are empty
    Ref rg = padded(r.residuals[0], h, w), e1 = array(std::vector<U8>(), {0, 0});
    Ref e2 = array(std::vector<U8>(), {0, 0}), ra = alpha_plane(r, h, w);
    Ref residuals = tuple({&rg, &e1, &e2, &ra});
    Ref astats = alpha_stats(r);
    return tuple({&g, &c.totals, &c.hist, &c.starts, &c.offsets, &c.zeros, &c.err, &residuals, &astats})
        .release();
}

PyObject* p1_p2_rgb(Frame& f) {
    constexpr Named p{sig::p1_p2_rgb};
    return phases_one_and_two<3, sig::p1_p2_rgb>(f, p["rgb_raw"], rans::p1_rgb,
                                                 {p["shard_gr"], p["shard_rd"], p["shard_bd"]});
}

PyObject* p1_p2_gray(Frame& f) {
    constexpr Named p{sig::p1_p2_gray};
    return phases_one_and_two<1, sig::p1_p2_gray>(f, p["gray_raw"], rans::p1_gray, {p["shard_gr"]});
}

PyObject* p2_rgb(Frame& f) {
    constexpr Named p{sig::p2_rgb};
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]);
    const auto tables = context_tables<sig::p2_rgb>(f);
    auto gr = f.in<U8>(p["gr_ch"]), rd = f.in<U8>(p["rd_ch"]), bd = f.in<U8>(p["bd_ch"]);
    auto offsets = f.in<U32>(p["row_global_offsets"]);
    auto sg = f.out<U8>(p["shard_gr"]), sr = f.out<U8>(p["shard_rd"]), sb = f.out<U8>(p["shard_bd"]);
    f.run([&] { rans::p2_rgb(h, w, gr, rd, bd, offsets, sg, sr, sb, tables); });
    return none().release();
}

PyObject* p2_gray(Frame& f) {
    constexpr Named p{sig::p2_gray};
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]);
    const auto tables = context_tables<sig::p2_gray>(f);
    auto gr = f.in<U8>(p["gr_ch"]);
    auto offsets = f.in<U32>(p["row_global_offsets"]);
    auto sg = f.out<U8>(p["shard_gr"]);
    f.run([&] { rans::p2_gray(h, w, gr, offsets, sg, tables); });
    return none().release();
}

PyObject* reconstruct_shards_rgb(Frame& f) {
    constexpr Named p{sig::reconstruct_shards_rgb};
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]);
    const auto tables = context_tables<sig::reconstruct_shards_rgb>(f);
    auto rg = f.in<U8>(p["res_gr"]), rr = f.in<U8>(p["res_rd"]), rb = f.in<U8>(p["res_bd"]);
    auto og = f.in<U32>(p["off_gr"]), orr = f.in<U32>(p["off_rd"]), ob = f.in<U32>(p["off_bd"]);
    rans::ColourPlanes planes =
        f.run([&] { return rans::reconstruct_shards_rgb(h, w, rg, rr, rb, og, orr, ob, tables); });
    Ref g = array(std::move(planes.g), {h, w});
    Ref rd = array(std::move(planes.rd), {h, w});
    Ref bd = array(std::move(planes.bd), {h, w});
    return tuple({&g, &rd, &bd}).release();
}

// The front end's chroma planes keyed by a green plane it already has.
PyObject* reconstruct_chroma(Frame& f) {
    constexpr Named p{sig::reconstruct_chroma};
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]);
    const auto tables = context_tables<sig::reconstruct_chroma>(f);
    auto green = f.in<U8>(p["green"]);
    auto rr = f.in<U8>(p["res_rd"]), rb = f.in<U8>(p["res_bd"]);
    auto orr = f.in<U32>(p["off_rd"]), ob = f.in<U32>(p["off_bd"]);
    rans::ChromaPlanes planes = f.run([&] { return rans::reconstruct_chroma(h, w, green, rr, rb, orr, ob, tables); });
    Ref rd = array(std::move(planes.rd), {h, w});
    Ref bd = array(std::move(planes.bd), {h, w});
    return tuple({&rd, &bd}).release();
}

PyObject* reconstruct_2d_channels(Frame& f) {
    constexpr Named p{sig::reconstruct_2d_channels};
    const std::size_t h = f.u64(p["h"]), w = f.u64(p["w"]);
    auto res = f.in<U8>(p["res_ch"]);
    auto out = f.run([&] { return rans::reconstruct_2d_channels(h, w, res); });
    return array(std::move(out), {h, w}).release();
}

PyObject* restore_channels(Frame& f) {
    constexpr Named p{sig::restore_channels};
    const std::size_t h = f.dim(p["gr_rec"], 0), w = f.dim(p["gr_rec"], 1);
    auto gr = f.in<U8>(p["gr_rec"]), rd = f.in<U8>(p["rd_rec"]), bd = f.in<U8>(p["bd_rec"]);
    auto a = f.in<U8>(p["a_ch"]);
    const bool is_rgba = f.flag(p["is_rgba"]), is_grayscale = f.flag(p["is_grayscale"]);
    const bool apply_gsub = f.flag(p["apply_gsub"]);
    auto out = f.run([&] {
        return rans::restore_channels(h, w, gr, rd, bd, a, is_rgba, is_grayscale, apply_gsub);
    });
    return array(std::move(out), {h, w, std::size_t{is_rgba ? 4u : 3u}}).release();
}

}  // namespace binding

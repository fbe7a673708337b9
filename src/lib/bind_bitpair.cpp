// The bit-pair context coder: the two pair-table builders, the encoder and
// the three decoders.
#include <optional>
#include <vector>

#include "../rans_core/bitpair.hpp"
#include "args.hpp"
#include "bindings.hpp"

namespace binding {
namespace {


// (frequency array, cumulative array), shaped (4, n_ctx, 4) and (4, n_ctx, 5).
void push_tables(std::vector<Ref>& items, rans::PairTables& t, std::size_t n_ctx) {
    items.push_back(array(std::move(t.freqs), {4, n_ctx, 4}));
    items.push_back(array(std::move(t.cums), {4, n_ctx, 5}));
}

// What the three decoders share: the stream, its four final states, the
// image's size and the pair tables.
template <const auto& Params>
rans::BitPairCoded coded(const Frame& f) {
    constexpr Named p{Params};
    return {f.in<U8>(p["bitstream"]),
            {f.u64(p["st0"]), f.u64(p["st1"]), f.u64(p["st2"]), f.u64(p["st3"])},
            static_cast<std::size_t>(f.u64(p["h"])),
            static_cast<std::size_t>(f.u64(p["w"])),
            f.in<U16>(p["all_cf"]),
            f.in<U16>(p["all_sf"])};
}

}  // namespace

PyObject* bp_build_pdf_sharded(Frame& f) {
    constexpr Named p{sig::bp_build_pdf_sharded};
    const std::size_t n_ctx = f.u64(p["n_ctx"]);
    const auto t = context_tables<sig::bp_build_pdf_sharded>(f);
    auto tables = f.run([&] {
        return rans::bp_build_pdf_sharded(f.in<U8>(p["resid_flat"]), f.in<U8>(p["gray_flat"]), t,
                                          f.u64(p["h"]), f.u64(p["w"]), n_ctx, f.flag(p["is_chroma"]));
    });
    std::vector<Ref> items;
    push_tables(items, tables, n_ctx);
    return tuple_of(items).release();
}

PyObject* bp_build_pdf_sharded_rgb(Frame& f) {
    constexpr Named p{sig::bp_build_pdf_sharded_rgb};
    const std::size_t n_ctx = f.u64(p["n_ctx"]);
    const auto t = context_tables<sig::bp_build_pdf_sharded_rgb>(f);
    auto tables = f.run([&] {
        return rans::bp_build_pdf_sharded_rgb(f.in<U8>(p["gr_flat"]), f.in<U8>(p["rd_flat"]),
                                              f.in<U8>(p["bd_flat"]), f.in<U8>(p["gr_ref_flat"]), t,
                                              f.u64(p["h"]), f.u64(p["w"]), n_ctx);
    });
    std::vector<Ref> items;
    for (auto& ch : tables) push_tables(items, ch, n_ctx);
    return tuple_of(items).release();
}

PyObject* bp_encode_sharded(Frame& f) {
    constexpr Named p{sig::bp_encode_sharded};
    const auto t = context_tables<sig::bp_encode_sharded>(f);
    auto coded = f.run([&] {
        return rans::bp_encode_sharded(f.in<U8>(p["resid_flat"]), f.in<U8>(p["gray_flat"]),
                                       f.in<U16>(p["all_cf"]), f.in<U16>(p["all_sf"]), t, f.u64(p["h"]),
                                       f.u64(p["w"]), f.u64(p["n_ctx"]), f.flag(p["is_chroma"]));
    });
    const std::size_t len = coded.bytes.size();
    Ref states = array(std::vector<std::uint64_t>(coded.states.begin(), coded.states.end()), {4});
    Ref bytes = array(std::move(coded.bytes), {len});
    return tuple({&states, &bytes}).release();
}

// A decoder that returns one h x w plane alone (residuals, or samples).
template <const auto& Params, class Decode>
PyObject* plane_of(Frame& f, Decode decode) {
    const auto in = coded<Params>(f);
    const auto t = context_tables<Params>(f);
    auto out = f.run([&] { return decode(in, t); });
    return array(std::move(out), {in.h, in.w}).release();
}

PyObject* bp_decode_sharded(Frame& f) {
    return plane_of<sig::bp_decode_sharded>(
        f, [](const auto& in, const auto& t) { return rans::bp_decode_sharded(in, t); });
}

// The front end's decoder of a non-chroma plane: its samples.
PyObject* bp_decode_samples(Frame& f) {
    return plane_of<sig::bp_decode_sharded>(
        f, [](const auto& in, const auto& t) { return rans::bp_decode_sharded_samples(in, t); });
}

PyObject* bp_decode_sharded_with_ref(Frame& f) {
    constexpr Named p{sig::bp_decode_sharded_with_ref};
    const auto ref = f.in<U8>(p["ref_ch_flat"]);
    return plane_of<sig::bp_decode_sharded_with_ref>(
        f, [ref](const auto& in, const auto& t) { return rans::bp_decode_sharded_with_ref(in, ref, t); });
}

PyObject* bp_decode_sharded_debug(Frame& f) {
    constexpr Named p{sig::bp_decode_sharded_debug};
    const auto in = coded<sig::bp_decode_sharded_debug>(f);
    const auto t = context_tables<sig::bp_decode_sharded_debug>(f);
    // orig_gray_flat is only checked for its type and contiguity
    auto orig = f.in<U8>(p["orig_resid_flat"]);
    std::optional<rans::BitPairMismatch> m;
    auto out = f.run([&] { return rans::bp_decode_sharded_debug(in, t, orig, m); });
    Ref residuals = array(std::move(out), {in.h, in.w});
    Ref report;
    if (!m) {
        report = none();
    } else {
        std::vector<Ref> fields;
        fields.push_back(integer(m->row));
        fields.push_back(integer(m->col));
        fields.push_back(integer_signed(m->pos));
        for (std::uint64_t x : m->states) fields.push_back(integer(x));
        fields.push_back(integer(m->expected));
        fields.push_back(integer(m->decoded));
        report = tuple_of(fields);
    }
    return tuple({&residuals, &report}).release();
}

}  // namespace binding

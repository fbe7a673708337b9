// The bit-pair context coder: the two pair-table builders, the encoder and
// the three decoders.
#include <optional>
#include <vector>

#include "../rans_core/bitpair.hpp"
#include "bindings.hpp"

namespace binding {
namespace {

rans::ContextTables context_tables(const Frame& f, std::size_t s, std::size_t i, std::size_t d) {
    return {f.in<std::uint8_t>(s), f.in<std::uint8_t>(i), f.in<std::uint8_t>(d)};
}

// (frequency array, cumulative array), shaped (4, n_ctx, 4) and (4, n_ctx, 5).
void push_tables(std::vector<Ref>& items, rans::PairTables& t, std::size_t n_ctx) {
    items.push_back(array(std::move(t.freqs), {4, n_ctx, 4}));
    items.push_back(array(std::move(t.cums), {4, n_ctx, 5}));
}

// The decoders share their first nine parameters: bitstream, st0..st3, h, w,
// all_cf, all_sf.
rans::BitPairCoded coded(const Frame& f) {
    return {f.in<std::uint8_t>(0),
            {f.u64(1), f.u64(2), f.u64(3), f.u64(4)},
            static_cast<std::size_t>(f.u64(5)),
            static_cast<std::size_t>(f.u64(6)),
            f.in<std::uint16_t>(7),
            f.in<std::uint16_t>(8)};
}

}  // namespace

PyObject* bp_build_pdf_sharded(Frame& f) {
    const std::size_t h = f.u64(5), w = f.u64(6), n_ctx = f.u64(7);
    const auto t = context_tables(f, 2, 3, 4);
    auto tables = f.run([&] {
        return rans::bp_build_pdf_sharded(f.in<std::uint8_t>(0), f.in<std::uint8_t>(1), t, h, w, n_ctx,
                                          f.flag(8));
    });
    std::vector<Ref> items;
    push_tables(items, tables, n_ctx);
    return tuple_of(items).release();
}

PyObject* bp_build_pdf_sharded_rgb(Frame& f) {
    const std::size_t h = f.u64(7), w = f.u64(8), n_ctx = f.u64(9);
    const auto t = context_tables(f, 4, 5, 6);
    auto tables = f.run([&] {
        return rans::bp_build_pdf_sharded_rgb(f.in<std::uint8_t>(0), f.in<std::uint8_t>(1),
                                              f.in<std::uint8_t>(2), f.in<std::uint8_t>(3), t, h, w,
                                              n_ctx);
    });
    std::vector<Ref> items;
    for (auto& ch : tables) push_tables(items, ch, n_ctx);
    return tuple_of(items).release();
}

PyObject* bp_encode_sharded(Frame& f) {
    const std::size_t h = f.u64(7), w = f.u64(8), n_ctx = f.u64(9);
    const auto t = context_tables(f, 4, 5, 6);
    auto coded = f.run([&] {
        return rans::bp_encode_sharded(f.in<std::uint8_t>(0), f.in<std::uint8_t>(1),
                                       f.in<std::uint16_t>(2), f.in<std::uint16_t>(3), t, h, w, n_ctx,
                                       f.flag(10));
    });
    const std::size_t len = coded.bytes.size();
    Ref states = array(std::vector<std::uint64_t>(coded.states.begin(), coded.states.end()), {4});
    Ref bytes = array(std::move(coded.bytes), {len});
    return tuple({&states, &bytes}).release();
}

PyObject* bp_decode_sharded(Frame& f) {
    const auto in = coded(f);
    const auto t = context_tables(f, 9, 10, 11);
    auto out = f.run([&] { return rans::bp_decode_sharded(in, t); });
    return array(std::move(out), {in.h, in.w}).release();
}

PyObject* bp_decode_sharded_with_ref(Frame& f) {
    const auto in = coded(f);
    const auto t = context_tables(f, 10, 11, 12);
    auto out = f.run([&] { return rans::bp_decode_sharded_with_ref(in, f.in<std::uint8_t>(9), t); });
    return array(std::move(out), {in.h, in.w}).release();
}

PyObject* bp_decode_sharded_debug(Frame& f) {
    const auto in = coded(f);
    const auto t = context_tables(f, 9, 10, 11);
    // orig_gray_flat (13) is only checked for its type and contiguity
    std::optional<rans::BitPairMismatch> m;
    auto out = f.run([&] { return rans::bp_decode_sharded_debug(in, t, f.in<std::uint8_t>(12), m); });
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

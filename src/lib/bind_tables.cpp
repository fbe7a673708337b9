// Probability-table modelling: build_pdf_tables_from_shards,
// decide_shard_mode, compact_pdf_tables and expand_pdf_tables.
#include <vector>

#include "../rans_core/fault.hpp"
#include "../rans_core/lookups.hpp"
#include "../rans_core/tables.hpp"
#include "bindings.hpp"

namespace binding {

PyObject* build_pdf_tables_from_shards(Frame& f) {
    auto data = f.in<std::uint8_t>(0);
    auto offsets = f.in<std::uint32_t>(1);
    auto lengths = f.in<std::uint32_t>(2);
    auto widths = f.in<std::uint16_t>(3);
    auto templates = f.in<std::uint64_t>(4);
    const std::size_t n_templates = f.dim(4, 0);
    const bool disable = f.flag(5);
    rans::check_template_count(n_templates, disable);
    auto t = f.run([&] {
        return rans::build_pdf_tables_from_shards(data, offsets, lengths, widths, templates,
                                                  n_templates, disable);
    });
    const std::size_t n = lengths.size();
    Ref cum = array(std::move(t.cum), {n, rans::kCumLen});
    Ref freqs = array(std::move(t.freqs), {n, rans::kFreqLen});
    Ref modes = array(std::move(t.modes), {n});
    return tuple({&cum, &freqs, &modes}).release();
}

PyObject* decide_shard_mode(Frame& f) {
    auto counts = f.in<std::uint64_t>(0);
    const std::uint64_t width = f.u64(1);
    const double penalty = f.real(2);
    auto templates = f.in<std::uint64_t>(3);
    const std::size_t n_templates = f.dim(3, 0);
    const bool disable = f.flag(4);
    if (counts.size() != 256) throw rans::InvalidInput("counts must have exactly 256 elements");
    rans::check_template_count(n_templates, disable);
    auto t = f.run([&] {
        return rans::choose_shard_table(std::span<const std::uint64_t, 256>(counts.data(), 256),
                                        width, penalty, templates, n_templates, disable);
    });
    Ref mode = integer(t.mode);
    Ref table = array(std::vector<std::uint64_t>(t.freqs.begin(), t.freqs.end()), {rans::kFreqLen});
    return tuple({&mode, &table}).release();
}

PyObject* compact_pdf_tables(Frame& f) {
    auto freqs = f.in<std::uint64_t>(0);
    auto widths = f.in<std::uint16_t>(1);
    auto modes = f.in<std::uint8_t>(2);
    auto out = f.run([&] { return rans::compact_pdf_tables(freqs, widths, modes); });
    const std::size_t len = out.size();
    return array(std::move(out), {len}).release();
}

PyObject* expand_pdf_tables(Frame& f) {
    auto compacted = f.in<std::uint8_t>(0);
    auto widths = f.in<std::uint16_t>(1);
    auto modes = f.in<std::uint8_t>(2);
    auto templates = f.in<std::uint64_t>(3);
    const std::size_t n_templates = f.dim(3, 0);
    auto out = f.run([&] {
        return rans::expand_pdf_tables(compacted, widths, modes, templates, n_templates);
    });
    const std::size_t n = widths.size();
    return array(std::move(out), {n, rans::kFreqLen}).release();
}

}  // namespace binding

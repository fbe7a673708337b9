// Probability-table modelling: build_pdf_tables_from_shards,
// decide_shard_mode, compact_pdf_tables and expand_pdf_tables.
#include <vector>

#include "../rans_core/fault.hpp"
#include "../rans_core/lookups.hpp"
#include "../rans_core/tables.hpp"
#include "bindings.hpp"
#include "signatures.hpp"

namespace binding {

PyObject* build_pdf_tables_from_shards(Frame& f) {
    constexpr Named p{sig::build_pdf_tables_from_shards};
    auto data = f.in<std::uint8_t>(p["data_flat"]);
    auto offsets = f.in<std::uint32_t>(p["shard_offsets"]);
    auto lengths = f.in<std::uint32_t>(p["shard_lengths"]);
    auto widths = f.in<std::uint16_t>(p["shard_widths"]);
    auto templates = f.in<std::uint64_t>(p["templates"]);
    const std::size_t n_templates = f.dim(p["templates"], 0);
    const bool disable = f.flag(p["disable_templates"]);
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
    constexpr Named p{sig::decide_shard_mode};
    auto counts = f.in<std::uint64_t>(p["counts"]);
    const std::uint64_t width = f.u64(p["width"]);
    const double penalty = f.real(p["header_penalty_bits"]);
    auto templates = f.in<std::uint64_t>(p["templates"]);
    const std::size_t n_templates = f.dim(p["templates"], 0);
    const bool disable = f.flag(p["disable_templates"]);
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
    constexpr Named p{sig::compact_pdf_tables};
    auto freqs = f.in<std::uint64_t>(p["all_sym_freqs"]);
    auto widths = f.in<std::uint16_t>(p["shard_widths"]);
    auto modes = f.in<std::uint8_t>(p["shard_modes"]);
    auto out = f.run([&] { return rans::compact_pdf_tables(freqs, widths, modes); });
    const std::size_t len = out.size();
    return array(std::move(out), {len}).release();
}

PyObject* expand_pdf_tables(Frame& f) {
    constexpr Named p{sig::expand_pdf_tables};
    auto compacted = f.in<std::uint8_t>(p["compacted"]);
    auto widths = f.in<std::uint16_t>(p["shard_widths"]);
    auto modes = f.in<std::uint8_t>(p["shard_modes"]);
    auto templates = f.in<std::uint64_t>(p["templates"]);
    const std::size_t n_templates = f.dim(p["templates"], 0);
    auto out = f.run([&] {
        return rans::expand_pdf_tables(compacted, widths, modes, templates, n_templates);
    });
    const std::size_t n = widths.size();
    return array(std::move(out), {n, rans::kFreqLen}).release();
}

}  // namespace binding

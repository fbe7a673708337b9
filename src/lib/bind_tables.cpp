// Probability-table modelling: build_pdf_tables_from_shards,
// decide_shard_mode, compact_pdf_tables and expand_pdf_tables, and the front
// end's private _table_costs and _shard_tables.
#include <vector>

#include "../rans_core/fault.hpp"
#include "../rans_core/lookups.hpp"
#include "../rans_core/tables.hpp"
#include "args.hpp"
#include "bindings.hpp"

namespace binding {
namespace {

// (cum, freqs, modes) of n shards, taking over the core's buffers.
PyObject* tables_result(rans::PdfTables& t) {
    const std::size_t n = t.modes.size();
    Ref cum = array(std::move(t.cum), {n, rans::kCumLen});
    Ref freqs = array(std::move(t.freqs), {n, rans::kFreqLen});
    Ref modes = array(std::move(t.modes), {n});
    return tuple({&cum, &freqs, &modes}).release();
}

}  // namespace

PyObject* build_pdf_tables_from_shards(Frame& f) {
    constexpr Named p{sig::build_pdf_tables_from_shards};
    const std::size_t n_templates = f.dim(p["templates"], 0);
    const bool disable = f.flag(p["disable_templates"]);
    rans::check_template_count(n_templates, disable);
    auto t = f.run([&] {
        return rans::build_pdf_tables_from_shards(
            f.in<U8>(p["data_flat"]), f.in<U32>(p["shard_offsets"]), f.in<U32>(p["shard_lengths"]),
            f.in<U16>(p["shard_widths"]), f.in<U64>(p["templates"]), n_templates, disable);
    });
    return tables_result(t);
}

// (cum, freqs, modes, widths) of the shard encoder's choice.
PyObject* shard_tables(Frame& f) {
    constexpr Named p{sig::shard_tables};
    if (f.dim(p["counts"], 1) != 256 || f.dim(p["templates"], 1) != 256 || f.dim(p["template_costs"], 1) != 256)
        throw rans::InvalidInput("counts, templates and template costs must have 256 columns");
    if (f.dim(p["template_costs"], 0) != f.dim(p["templates"], 0))
        throw rans::InvalidInput("the template costs must have a row for every template");
    const std::size_t n_templates = f.dim(p["templates"], 0);
    auto c = f.run([&] {
        return rans::choose_shard_tables(f.in<U64>(p["counts"]), f.in<U64>(p["templates"]), n_templates,
                                         f.in<U32>(p["template_costs"]), f.in<U32>(p["own_costs"]));
    });
    const std::size_t n = c.widths.size();
    Ref widths = array(std::move(c.widths), {n});
    Ref cum = array(std::move(c.tables.cum), {n, rans::kCumLen});
    Ref freqs = array(std::move(c.tables.freqs), {n, rans::kFreqLen});
    Ref modes = array(std::move(c.tables.modes), {n});
    return tuple({&cum, &freqs, &modes, &widths}).release();
}

PyObject* table_costs(Frame& f) {
    constexpr Named p{sig::table_costs};
    if (f.dim(p["counts"], 1) != 256 || f.dim(p["costs"], 1) != 256)
        throw rans::InvalidInput("counts and costs must have 256 columns");
    const std::size_t n = f.dim(p["counts"], 0), t = f.dim(p["costs"], 0);
    auto sums = f.run([&] {
        return rans::table_costs(f.in<U32>(p["counts"]), f.in<U16>(p["widths"]), f.in<U32>(p["costs"]));
    });
    return array(std::move(sums), {n, t}).release();
}

PyObject* decide_shard_mode(Frame& f) {
    constexpr Named p{sig::decide_shard_mode};
    auto counts = f.in<U64>(p["counts"]);
    const std::size_t n_templates = f.dim(p["templates"], 0);
    const bool disable = f.flag(p["disable_templates"]);
    if (counts.size() != 256) throw rans::InvalidInput("counts must have exactly 256 elements");
    rans::check_template_count(n_templates, disable);
    auto t = f.run([&] {
        return rans::choose_shard_table(std::span<const U64, 256>(counts.data(), 256),
                                        f.u64(p["width"]), f.real(p["header_penalty_bits"]),
                                        f.in<U64>(p["templates"]), n_templates, disable);
    });
    Ref mode = integer(t.mode);
    Ref table = array(std::vector<U64>(t.freqs.begin(), t.freqs.end()), {rans::kFreqLen});
    return tuple({&mode, &table}).release();
}

PyObject* compact_pdf_tables(Frame& f) {
    constexpr Named p{sig::compact_pdf_tables};
    auto out = f.run([&] {
        return rans::compact_pdf_tables(f.in<U64>(p["all_sym_freqs"]), f.in<U16>(p["shard_widths"]),
                                        f.in<U8>(p["shard_modes"]));
    });
    const std::size_t len = out.size();
    return array(std::move(out), {len}).release();
}

PyObject* expand_pdf_tables(Frame& f) {
    constexpr Named p{sig::expand_pdf_tables};
    const std::size_t n_templates = f.dim(p["templates"], 0);
    auto out = f.run([&] {
        return rans::expand_pdf_tables(f.in<U8>(p["compacted"]), f.in<U16>(p["shard_widths"]),
                                       f.in<U8>(p["shard_modes"]), f.in<U64>(p["templates"]),
                                       n_templates);
    });
    const std::size_t n = f.in<U16>(p["shard_widths"]).size();
    return array(std::move(out), {n, rans::kFreqLen}).release();
}

}  // namespace binding

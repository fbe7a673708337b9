// The front end's private readers and writers of a file's bytes: the
// container's numbers (_varints, _varint_bytes) and a shard group's two
// sections (_group_tables, _group_states; _group_bytes writes both). A
// file's few dozen numbers and few hundred shards take microseconds here
// against a step per check in array code.
#include "../rans_core/lookups.hpp"
#include "../rans_core/shard_group.hpp"
#include "../rans_core/varints.hpp"
#include "bindings.hpp"
#include "signatures.hpp"

namespace binding {

// (values, used, fault) of the first `count` numbers of the window; fault is
// the VarintFault number, and values (uint64) are empty on a fault.
PyObject* varints(Frame& f) {
    constexpr Named p{sig::varints};
    auto r = f.run([&] { return rans::read_varints(f.in<std::uint8_t>(p["window"]), f.u64(p["count"])); });
    const std::size_t n = r.values.size();
    Ref values = array(std::move(r.values), {n});
    Ref used = integer(r.used);
    Ref fault = integer(static_cast<std::uint64_t>(r.fault));
    return tuple({&values, &used, &fault}).release();
}

// The stored form of the numbers, uint8.
PyObject* varint_bytes(Frame& f) {
    constexpr Named p{sig::varint_bytes};
    auto out = f.run([&] { return rans::write_varints(f.in<std::uint64_t>(p["values"])); });
    const std::size_t n = out.size();
    return array(std::move(out), {n}).release();
}

// (modes, counts, starts, freq, cum, top, fault, a, b): the GroupFault
// number and its two numbers; the arrays are whole only without a fault.
PyObject* group_tables(Frame& f) {
    constexpr Named p{sig::group_tables};
    const std::size_t n_templates = f.dim(p["templates"], 0);
    auto t = f.run([&] {
        return rans::read_group_tables(f.in<std::uint8_t>(p["raw"]), f.in<std::uint32_t>(p["plane_shards"]),
                                       f.u64(p["plane_pixels"]), f.in<std::uint64_t>(p["templates"]), n_templates);
    });
    const std::size_t n = t.modes.size(), rows = t.tables.freqs.size() / rans::kFreqLen;
    const std::size_t cum_rows = t.tables.cum.size() / rans::kCumLen, n_counts = t.counts.size();
    Ref modes = array(std::move(t.modes), {n});
    Ref counts = array(std::move(t.counts), {n_counts});
    Ref starts = array(std::move(t.starts), {n_counts});
    Ref freq = array(std::move(t.tables.freqs), {rows, rans::kFreqLen});
    Ref cum = array(std::move(t.tables.cum), {cum_rows, rans::kCumLen});
    const std::size_t n_top = t.tables.top.size();
    Ref top = array(std::move(t.tables.top), {n_top});
    Ref fault = integer(static_cast<std::uint64_t>(t.fault));
    Ref a = integer(t.a), b = integer(t.b);
    return tuple({&modes, &counts, &starts, &freq, &cum, &top, &fault, &a, &b}).release();
}

// (states, lengths, offsets, write, total, fault, a, b), as group_tables.
PyObject* group_states(Frame& f) {
    constexpr Named p{sig::group_states};
    auto g = f.run([&] {
        return rans::read_group_states(f.in<std::uint8_t>(p["section"]), f.in<std::uint32_t>(p["counts"]),
                                       f.in<std::uint8_t>(p["modes"]));
    });
    const std::size_t n = g.lengths.size(), n_offsets = g.offsets.size();
    Ref states = array(std::move(g.states), {n, 4});
    Ref lengths = array(std::move(g.lengths), {n});
    Ref offsets = array(std::move(g.offsets), {n_offsets});
    Ref write = array(std::move(g.write), {n_offsets});
    Ref total = integer(g.total);
    Ref fault = integer(static_cast<std::uint64_t>(g.fault));
    Ref a = integer(g.a), b = integer(g.b);
    return tuple({&states, &lengths, &offsets, &write, &total, &fault, &a, &b}).release();
}

// (tables, states, live) of the encoder's group, uint8 each.
PyObject* group_bytes(Frame& f) {
    constexpr Named p{sig::group_bytes};
    if (f.dim(p["freq"], 1) != 256 || f.dim(p["states"], 1) != 4)
        throw rans::InvalidInput("freq must have 256 columns and states 4");
    auto g = f.run([&] {
        return rans::write_group(f.in<std::uint8_t>(p["modes"]), f.in<std::uint32_t>(p["counts"]),
                                 f.in<std::uint16_t>(p["widths"]), f.in<std::uint64_t>(p["freq"]),
                                 f.in<std::uint64_t>(p["states"]), f.in<std::uint32_t>(p["lengths"]));
    });
    const std::size_t nt = g.tables.size(), ns = g.states.size(), nl = g.live.size();
    Ref tables = array(std::move(g.tables), {nt});
    Ref states = array(std::move(g.states), {ns});
    Ref live = array(std::move(g.live), {nl});
    return tuple({&tables, &states, &live}).release();
}

}  // namespace binding

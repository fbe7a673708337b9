// Reading and writing a shard group: one pass per section, a shard at a
// time. A file's group has tens to a few hundred shards, so the work is
// small; what it saves is the dozens of array steps the same checks and
// joins take one by one.
#include "shard_group.hpp"

#include <algorithm>
#include <string>

#include "coder.hpp"
#include "fault.hpp"
#include "scale.hpp"
#include "varints.hpp"

namespace rans {
namespace {

bool valid_mode(std::uint8_t mode, std::size_t n_templates) {
    // modes 1 and 2 are never written, and a template mode names a template
    return mode == 0 || mode == kModeSymbolZero ||
           (mode >= kModeTemplate0 && std::size_t{mode} - kModeTemplate0 < n_templates);
}

// a shard with a stream in the file: not empty, and not all zeros under the
// symbol-zero table
bool has_stream(std::uint32_t count, std::uint8_t mode) { return count > 0 && mode != kModeSymbolZero; }

template <class Result>
Result faulted(Result r, GroupFault fault, std::uint64_t a = 0, std::uint64_t b = 0) {
    r.fault = fault;
    r.a = a;
    r.b = b;
    return r;
}

}  // namespace

GroupTables read_group_tables(Bytes raw, std::span<const std::uint32_t> plane_shards, std::uint64_t plane_pixels,
                              std::span<const std::uint64_t> templates, std::size_t n_templates) {
    GroupTables t;
    std::size_t n = 0;
    for (const std::uint32_t k : plane_shards) n = checked_add(n, k);
    if (raw.size() < n) return faulted(std::move(t), GroupFault::modes_truncated, n, raw.size());
    const Bytes modes = raw.first(n);
    for (const std::uint8_t m : modes)
        if (!valid_mode(m, n_templates)) return faulted(std::move(t), GroupFault::bad_mode, m);
    std::size_t pos = n;

    const Varints sizes = read_varints(raw.subspan(pos, std::min(raw.size() - pos, kVarintMaxBytes * n)), n);
    if (sizes.fault == VarintFault::truncated) return faulted(std::move(t), GroupFault::sizes_truncated);
    if (sizes.fault == VarintFault::too_long) return faulted(std::move(t), GroupFault::sizes_too_long);
    pos += sizes.used;
    // every plane's sizes add up to its pixels (sizes are below 2^35, so
    // the sums of a few thousand cannot wrap)
    t.counts.resize(n);
    t.starts.resize(n);
    std::size_t first = 0;
    for (std::size_t p = 0; p < plane_shards.size(); ++p) {
        std::uint64_t total = 0;
        for (std::size_t i = first; i < first + plane_shards[p]; ++i) {
            t.starts[i] = static_cast<std::uint32_t>(total);
            t.counts[i] = static_cast<std::uint32_t>(sizes.values[i]);
            total += sizes.values[i];
        }
        if (total != plane_pixels) return faulted(std::move(t), GroupFault::plane_sizes, p);
        first += plane_shards[p];
    }

    // a width (less one) for each shard of mode 0, in shard order
    std::size_t dense = 0;
    for (const std::uint8_t m : modes) dense += m == 0;
    if (raw.size() - pos < dense)
        return faulted(std::move(t), GroupFault::widths_truncated, dense, raw.size() - pos);
    std::vector<std::uint16_t> widths(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (modes[i] == 0) widths[i] = static_cast<std::uint16_t>(raw[pos++] + 1);

    t.tables = read_stored_tables(raw.subspan(pos), widths, modes, templates, n_templates);
    if (t.tables.fault == StoredFault::not_canonical) return faulted(std::move(t), GroupFault::not_canonical);
    if (t.tables.fault == StoredFault::bad_sum) return faulted(std::move(t), GroupFault::bad_sum);
    t.modes.assign(modes.begin(), modes.end());
    return t;
}

GroupStates read_group_states(Bytes section, std::span<const std::uint32_t> counts,
                              std::span<const std::uint8_t> modes) {
    GroupStates g;
    const std::size_t n = counts.size();
    if (modes.size() != n)
        throw InvalidInput("shard group: " + std::to_string(modes.size()) + " modes for " + std::to_string(n) +
                           " shards");
    std::size_t live = 0;
    for (std::size_t i = 0; i < n; ++i) live += has_stream(counts[i], modes[i]);
    const std::size_t need = checked_mul(live, kStoredStatesBytes);
    if (section.size() < need) return faulted(std::move(g), GroupFault::states_truncated, need, section.size());

    const Varints lengths =
        read_varints(section.subspan(need, std::min(section.size() - need, kVarintMaxBytes * live)), live);
    // the states are checked before the lengths are, as they come first
    g.states.assign(checked_mul(n, 4), kLowerBound);
    g.lengths.assign(n, 0);
    const std::uint8_t* rec = section.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (!has_stream(counts[i], modes[i])) continue;
        for (std::size_t k = 0; k < 4; ++k, rec += kStoredStateBytes) {
            const std::uint64_t off = read_le(rec, kStoredStateBytes);
            if (off >= kUpperBound - kLowerBound) return faulted(std::move(g), GroupFault::state_range);
            g.states[4 * i + k] = kLowerBound + off;
        }
    }
    if (lengths.fault == VarintFault::truncated) return faulted(std::move(g), GroupFault::lengths_truncated);
    if (lengths.fault == VarintFault::too_long) return faulted(std::move(g), GroupFault::lengths_too_long);
    if (const std::size_t end = need + lengths.used; end != section.size())
        return faulted(std::move(g), GroupFault::states_trailing, section.size() - end);
    for (const std::uint64_t len : lengths.values)
        if (len >> 32) return faulted(std::move(g), GroupFault::length_range);

    // streams back to back in shard order; a payload puts each shard's
    // header before its stream
    g.offsets.resize(n);
    g.write.resize(n);
    std::size_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (has_stream(counts[i], modes[i])) g.lengths[i] = static_cast<std::uint32_t>(lengths.values[next++]);
        g.offsets[i] = static_cast<std::uint32_t>(g.total);
        g.write[i] = static_cast<std::uint32_t>(g.total + i * kPackedHeader);
        g.total += g.lengths[i];
    }
    return g;
}

GroupBytes write_group(std::span<const std::uint8_t> modes, std::span<const std::uint32_t> counts,
                       std::span<const std::uint16_t> widths, std::span<const std::uint64_t> freqs,
                       std::span<const std::uint64_t> states, std::span<const std::uint32_t> lengths) {
    const std::size_t n = modes.size();
    if (counts.size() != n || widths.size() != n || lengths.size() != n || freqs.size() != checked_mul(n, 256) ||
        states.size() != checked_mul(n, 4))
        throw InvalidInput("shard group: every shard needs a count, width, table, four states and a length");
    GroupBytes g;
    std::vector<std::uint64_t> sizes(counts.begin(), counts.end());
    g.tables.assign(modes.begin(), modes.end());
    const std::vector<std::uint8_t> numbers = write_varints(sizes);
    g.tables.insert(g.tables.end(), numbers.begin(), numbers.end());
    for (std::size_t i = 0; i < n; ++i) {
        if (modes[i] != 0) continue;
        if (widths[i] == 0 || widths[i] > 256)
            throw InvalidInput("shard group: a stored table's width is not in 1..256");
        g.tables.push_back(static_cast<std::uint8_t>(widths[i] - 1));
    }
    const std::vector<std::uint8_t> records = compact_pdf_tables(freqs, widths, modes);
    g.tables.insert(g.tables.end(), records.begin(), records.end());

    g.live.resize(n);
    std::vector<std::uint64_t> stream_lengths;
    for (std::size_t i = 0; i < n; ++i) {
        if (!has_stream(counts[i], modes[i])) continue;
        g.live[i] = 1;
        stream_lengths.push_back(lengths[i]);
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint64_t x = states[4 * i + k];
            if (x < kLowerBound || x >= kUpperBound) throw Fault("coder state outside [2^31, 2^39)");
            std::uint8_t rec[8];
            write_le(rec, x - kLowerBound, kStoredStateBytes);
            g.states.insert(g.states.end(), rec, rec + kStoredStateBytes);
        }
    }
    const std::vector<std::uint8_t> length_bytes = write_varints(stream_lengths);
    g.states.insert(g.states.end(), length_bytes.begin(), length_bytes.end());
    return g;
}

}  // namespace rans

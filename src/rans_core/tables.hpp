// Probability-table modelling: shard histograms, their normalisation to
// frequency tables on the 4096 scale, the choice between a shard's own table
// and a caller's template, and the compact byte form in which tables are
// stored.
//
// Encoder and decoder must derive the same table from the same counts bit for
// bit, so every rounding and tie rule below is part of the format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rans {

// Mode bytes: where a shard's table comes from. Modes 1 and 2 are never
// produced here but are stored and restored exactly like mode 0.
inline constexpr std::uint8_t kModeOwn = 0;
inline constexpr std::uint8_t kModeSymbolZero = 3;
inline constexpr std::uint8_t kModeTemplate0 = 4;  // mode 4 + t names template t
// A mode byte can name templates 0 to 251 only.
inline constexpr std::size_t kMaxTemplates = 256 - kModeTemplate0;

// Bits charged for storing a shard's own table when choosing per shard.
inline constexpr double kShardHeaderPenalty = 120.0;

using FreqRow = std::array<std::uint64_t, 256>;

struct ShardTable {
    std::uint8_t mode;
    FreqRow freqs;
};

// 4096 on symbol 0, 0 elsewhere: the table of an empty or all-zero shard and
// the row that expansion falls back to.
FreqRow symbol_zero_table();

// A histogram of 256 counts as a frequency table summing to 4096 over the
// symbols below min(width, 256); mode 3 when no symbol but 0 has a count.
ShardTable normalise_counts(std::span<const std::uint64_t, 256> counts, std::uint64_t width);

// The shard's own normalised table, or a template (flat rows of 256 in
// `templates`, `n_templates` of them) when that is cheaper than the own table
// plus `header_penalty` bits and can code every present symbol.
ShardTable choose_shard_table(std::span<const std::uint64_t, 256> counts, std::uint64_t width,
                              double header_penalty, std::span<const std::uint64_t> templates,
                              std::size_t n_templates, bool disable_templates);

// ValueError when templates are in use and there are more than a mode byte
// can name.
void check_template_count(std::size_t n_templates, bool disable_templates);

struct PdfTables {
    std::vector<std::uint64_t> cum;    // n x 257
    std::vector<std::uint64_t> freqs;  // n x 256
    std::vector<std::uint8_t> modes;   // n
};

// Per-shard tables for the shards laid out in `data` (n = lengths.size()).
PdfTables build_pdf_tables_from_shards(std::span<const std::uint8_t> data,
                                       std::span<const std::uint32_t> offsets,
                                       std::span<const std::uint32_t> lengths,
                                       std::span<const std::uint16_t> widths,
                                       std::span<const std::uint64_t> templates,
                                       std::size_t n_templates, bool disable_templates);

// The same tables from the shards' histograms (n x 256 counts, n =
// counts.size() / 256), as phase one counts them: no pass over the streams.
PdfTables build_pdf_tables_from_counts(std::span<const std::uint64_t> counts,
                                       std::span<const std::uint16_t> widths,
                                       std::span<const std::uint64_t> templates,
                                       std::size_t n_templates, bool disable_templates);

// The shard encoder's tables from the shards' histograms (n x 256 counts):
// each shard's width, and its own table or, where that codes it in fewer
// bits with its stored record counted, the cheapest template (mode 4 + t).
// template_costs: t x 256 fixed-point bits per symbol (as table_costs takes
// them); own_costs: the bits of a frequency, for frequencies 0..4096.
struct ShardTableChoice {
    PdfTables tables;
    std::vector<std::uint16_t> widths;
};
ShardTableChoice choose_shard_tables(std::span<const std::uint64_t> counts, std::span<const std::uint64_t> templates,
                                     std::size_t n_templates, std::span<const std::uint32_t> template_costs,
                                     std::span<const std::uint32_t> own_costs);

// The cost of every histogram row (n x 256 counts, n = widths.size()) under
// every cost row (t x 256, fixed-point bits), over the symbols below the
// row's width: n x t sums, the same on every build (table_costs.cpp).
std::vector<std::uint64_t> table_costs(std::span<const std::uint32_t> counts, std::span<const std::uint16_t> widths,
                                       std::span<const std::uint32_t> costs);

// A stored record is sparse (3 bytes, then 3 per symbol that occurs) where
// that is shorter than dense (1 byte, then 2 per symbol below the width),
// dense on a tie.
inline bool sparse_record(std::uint64_t present, std::uint64_t width) { return 3 * present + 2 < 2 * width; }
inline std::uint64_t record_bytes(std::uint64_t present, std::uint64_t width) {
    return sparse_record(present, width) ? 3 + 3 * present : 1 + 2 * width;
}

// The stored table stream: a sparse or dense record for every shard of mode
// 0, 1 or 2, in shard order (n = widths.size()).
std::vector<std::uint8_t> compact_pdf_tables(std::span<const std::uint64_t> all_sym_freqs,
                                             std::span<const std::uint16_t> widths,
                                             std::span<const std::uint8_t> modes);

// The n x 256 tables rebuilt from a stored stream; a missing, truncated or
// corrupt record gives the symbol-zero table and never fails.
std::vector<std::uint64_t> expand_pdf_tables(std::span<const std::uint8_t> compacted,
                                             std::span<const std::uint16_t> widths,
                                             std::span<const std::uint8_t> modes,
                                             std::span<const std::uint64_t> templates,
                                             std::size_t n_templates);

// c[0..256] = the running sums of the 256 frequencies f (c[0] = 0, modulo
// 2^64 as the caller's templates may wrap); returns their total, c[256].
inline std::uint64_t write_cumulative(const std::uint64_t* f, std::uint64_t* c) {
    std::uint64_t run = 0;
    c[0] = 0;
    for (std::size_t s = 0; s < 256; ++s) c[s + 1] = run += f[s];
    return run;
}

// What read_stored_tables found wrong, if anything (the first of them).
enum class StoredFault : std::uint8_t {
    none = 0,
    not_canonical = 1,  // the records are not those compaction writes for the rows they give
    bad_sum = 2,        // a row does not sum to 4096
};

struct StoredTables {
    std::vector<std::uint64_t> freqs;  // n x 256, as expand_pdf_tables gives them
    std::vector<std::uint64_t> cum;    // n x 257 (empty when not canonical)
    std::vector<std::uint64_t> top;    // n: each row's largest frequency (empty when not canonical)
    StoredFault fault = StoredFault::none;
};

// The tables of a stored stream (n = widths.size()) with their cumulative
// rows, checked: expansion, compaction of the result and comparison with
// the stream, and the rows' sums, in one call.
StoredTables read_stored_tables(std::span<const std::uint8_t> compacted, std::span<const std::uint16_t> widths,
                                std::span<const std::uint8_t> modes, std::span<const std::uint64_t> templates,
                                std::size_t n_templates);

}  // namespace rans

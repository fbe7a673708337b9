// The stored shard tables read back for decoding in one pass: the rows the
// records give, the proof that the records are the ones compaction writes
// for those rows (a file has one way to store a table), the cumulative rows
// the decoder needs, and each row's largest frequency (which bounds how
// short a shard's stream can be).
#include <algorithm>

#include "fault.hpp"
#include "lookups.hpp"
#include "scale.hpp"
#include "tables.hpp"

namespace rans {

StoredTables read_stored_tables(std::span<const std::uint8_t> compacted, std::span<const std::uint16_t> widths,
                                std::span<const std::uint8_t> modes, std::span<const std::uint64_t> templates,
                                std::size_t n_templates) {
    StoredTables t;
    t.freqs = expand_pdf_tables(compacted, widths, modes, templates, n_templates);
    if (!std::ranges::equal(compact_pdf_tables(t.freqs, widths, modes), compacted)) {
        t.fault = StoredFault::not_canonical;
        return t;
    }
    const std::size_t n = widths.size();
    t.cum.resize(checked_mul(n, kCumLen));
    t.top.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t* row = t.freqs.data() + 256 * i;
        // a template's row is the caller's: its sums wrap modulo 2^64
        const std::uint64_t sum = write_cumulative(row, t.cum.data() + kCumLen * i);
        t.top[i] = *std::max_element(row, row + 256);
        if (sum != kScale && t.fault == StoredFault::none) t.fault = StoredFault::bad_sum;
    }
    return t;
}

}  // namespace rans

// The pair tables in the form the hot coding loops read: the four cumulative
// values and the four frequencies of one (plane j, bit-pair context k) side
// by side in 16 bytes. A symbol's search and its coding step then read one
// cache line instead of one line of each list, and the frequency and start of
// the symbol found lie in the line already loaded for the search.
//
// Entry e holds cf[5e .. 5e+3] and sf[4e .. 4e+3], the only values the
// loops read for it (the fifth cumulative value, the total, never is). Built
// only for entries inside both lists, so an entry read where a checked read
// would fault does not exist: callers take the entries only for context
// numbers below table_safe_end (bitpair_rows.hpp), which proves every entry
// they reach is inside both lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes.hpp"

namespace rans::bitpair {

struct alignas(16) PairEntry {
    std::uint16_t cum[4];
    std::uint16_t freq[4];
};

// Entries 0 .. count-1; every one of them must lie inside both lists.
inline std::vector<PairEntry> pair_entries(Words cf, Words sf, std::size_t count) {
    std::vector<PairEntry> out(count);
    for (std::size_t e = 0; e < count; ++e)
        for (unsigned s = 0; s < 4; ++s) {
            out[e].cum[s] = cf[5 * e + s];
            out[e].freq[s] = sf[4 * e + s];
        }
    return out;
}

// The entries that pixels with context numbers below `table_end` can reach:
// up to 3*n_ctx + 64*c + 63 for the largest such c.
inline std::size_t entries_reached(std::size_t n_ctx, std::size_t table_end) {
    return table_end == 0 ? 0 : 3 * n_ctx + 64 * table_end;
}

}  // namespace rans::bitpair

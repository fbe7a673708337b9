// The context tables folded into one small grid for the hot pixel loops.
//
// The context number d_lut[4 * s_lut[a * 511 + b] + i_lut[v]] (a = W - NW + 255,
// b = N - NW + 255) needs three dependent reads, the first into a 261 KB table
// that does not fit the first-level cache. Real gradient tables are made of a
// few distinct columns (one per quantised level of N - NW) and real intensity
// tables of a few distinct values, so the whole lookup folds into
//
//     numbers[((key_class[v] * n_lines + line_class[b]) << 9) + a]
//
// a few kilobytes that stay in the first-level cache. The column and key
// classes depend only on samples of the row above (and on the intensity key),
// so the only read that follows the left neighbour is the last one: in the
// decoder, whose every sample waits for the one before it, that shortens the
// chain by two reads.
//
// The grid is built only from private tables (PrivateContextTables) that are
// proven safe for the limit (see image_context.hpp, which also holds the
// lookup through the grid), and it gives exactly the number that the tables
// give for every (W, N, NW, v); tables with too many distinct columns or keys
// get no grid and the loops use the tables themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "predict.hpp"

namespace rans {

struct ContextGrid {
    // by_rows false: lines are the distinct columns of s_lut (classes of
    // b = N - NW + 255), each line indexed by a = W - NW + 255. by_rows true
    // (tables whose columns are too many to fold): lines are the distinct
    // rows (classes of a), each indexed by b; the left neighbour then reaches
    // the number through two reads instead of one.
    bool by_rows = false;
    std::uint8_t line_class[511];
    std::uint8_t key_class[256];
    unsigned n_lines = 0, n_keys = 0;
    std::vector<std::uint8_t> numbers;  // n_keys * n_lines lines of 512 (the last entry unused)
    // the same classes as offsets into `numbers`, so that no multiply stands
    // between a table read and the next
    std::uint32_t line_offset[511];
    std::uint32_t key_offset[256];
    // The same numbers as byte tables for vector lookups (image_rows.hpp),
    // when the grid has one key class, at most 16 column classes and 16
    // classes of a = W - NW + 255 (rows of s_lut), and both kinds of class
    // stay the same beyond differences of -128 and +127, so that a
    // difference clamped to a signed byte finds its class: pairs[i] = 16 *
    // (class of W - NW = i - 128), pairs[256 + i] = class of N - NW = i -
    // 128, pairs[512 + 16 * qa + qb] = the number. pairs_ok false: none.
    bool pairs_ok = false;
    alignas(64) std::uint8_t pairs[768];
};

// The grid of private, proven tables (PrivateContextTables::proven(limit) must
// hold, and nothing else may write t), or
// nothing when the tables have too many distinct rows, columns or keys for a
// grid that stays in the first-level cache.
std::optional<ContextGrid> build_context_grid(const ContextTables& t);

}  // namespace rans

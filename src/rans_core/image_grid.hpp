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

// A 256-byte table as 16 rows of 16 entries (a row: the entries whose index
// has one high nibble), for lookups through 16-entry byte shuffles: a row
// whose entries are all one value needs no shuffle of its own.
struct NibbleTable {
    alignas(16) std::uint8_t single[16];    // per row: its value when it is constant (else 0)
    unsigned n_varied = 0;                  // rows that are not constant
    std::uint8_t varied[16];                // their numbers
    alignas(16) std::uint8_t rows[16][16];  // their entries, in the order of `varied`
};

// The numbers of a grid of one key class as three byte tables, for vector
// lookups (image_rows.hpp). They exist when there are at most 16 classes of
// a = W - NW + 255 (rows of s_lut) and 16 column classes, and neither kind
// changes beyond differences of -128 and +127, so that a difference clamped
// to a signed byte finds its class:
//   bytes[i] = 16 * (class of W - NW = i - 128),
//   bytes[256 + i] = class of N - NW = i - 128,
//   bytes[512 + 16 * qa + qb] = the number of classes qa and qb.
struct ClassPairTables {
    alignas(64) std::uint8_t bytes[768];
    NibbleTable nibbles[3];  // the same three tables
};

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
    std::optional<ClassPairTables> pairs;  // the numbers as byte tables, when they fit
};

// The grid of private, proven tables (PrivateContextTables::proven(limit) must
// hold, and nothing else may write t), or
// nothing when the tables have too many distinct rows, columns or keys for a
// grid that stays in the first-level cache.
std::optional<ContextGrid> build_context_grid(const ContextTables& t);

}  // namespace rans

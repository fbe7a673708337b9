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
// proven safe for the limit (see image_context.hpp), and it gives exactly the
// number that the tables give for every (W, N, NW, v); tables with too many distinct columns or keys get no
// grid and the loops use the tables themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "image_context.hpp"
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
};

// The grid of private, proven tables (context_tables_proven(t, limit) must
// hold, and nothing else may write t), or
// nothing when the tables have too many distinct rows, columns or keys for a
// grid that stays in the first-level cache.
std::optional<ContextGrid> build_context_grid(const ContextTables& t);

// The context lookup through a grid. OneKey: the tables have a single key
// class, so the intensity key is not even read.
template <bool OneKey, bool ByRows>
struct GridContext {
    const std::uint32_t* line_offset;
    const std::uint32_t* key_offset;
    const std::uint8_t* numbers;

    explicit GridContext(const ContextGrid& g)
        : line_offset(g.line_offset), key_offset(g.key_offset), numbers(g.numbers.data()) {}

    std::uint8_t operator()(std::uint8_t W, std::uint8_t N, std::uint8_t NW, std::uint8_t v) const {
        const std::uint32_t a = static_cast<std::uint32_t>(W) + 255u - NW;
        const std::uint32_t b = static_cast<std::uint32_t>(N) + 255u - NW;
        std::uint32_t at = line_offset[ByRows ? a : b] + (ByRows ? b : a);
        if constexpr (!OneKey) at += key_offset[v];
        (void)v;
        return numbers[at];
    }
};

// Whether a lookup reads the intensity key (a grid of one key class does not).
template <class Ctx>
inline constexpr bool reads_key = true;
template <bool ByRows>
inline constexpr bool reads_key<GridContext<true, ByRows>> = false;

// Calls f(ctx) with the fastest exact lookup for private tables that are
// already proven safe (context_tables_proven): a grid when the tables fold
// into one, else the tables themselves through raw pointers.
template <class F>
inline decltype(auto) with_fast_context(const ContextTables& t, F&& f) {
    if (const std::optional<ContextGrid> g = build_context_grid(t)) {
        if (g->by_rows) {
            if (g->n_keys == 1) return f(GridContext<true, true>(*g));
            return f(GridContext<false, true>(*g));
        }
        if (g->n_keys == 1) return f(GridContext<true, false>(*g));
        return f(GridContext<false, false>(*g));
    }
    return f(ProvenContext{t.s_lut.data(), t.i_lut.data(), t.d_lut.data()});
}

}  // namespace rans

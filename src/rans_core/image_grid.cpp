// Folding proven context tables into a grid (see image_grid.hpp).
#include "image_grid.hpp"

#include <algorithm>
#include <cstring>

namespace rans {
namespace {

constexpr std::size_t kSide = 511;        // gradient differences -255 .. 255
constexpr std::size_t kMaxRows = 64;      // distinct rows of s_lut kept while folding
constexpr std::size_t kMaxGridRows = 64;  // key classes x column classes: 32 KB of numbers

// Index of the first of `reps` equal to the n bytes at p (the one tried first
// is `hint`, since equal rows and columns come in runs), or reps.size().
std::size_t find_equal(const std::vector<const std::uint8_t*>& reps, const std::uint8_t* p, std::size_t n,
                       std::size_t hint) {
    if (hint < reps.size() && std::memcmp(reps[hint], p, n) == 0) return hint;
    for (std::size_t r = 0; r < reps.size(); ++r)
        if (r != hint && std::memcmp(reps[r], p, n) == 0) return r;
    return reps.size();
}

NibbleTable nibbles_of(const std::uint8_t* t) {
    NibbleTable n{};
    for (std::size_t hi = 0; hi < 16; ++hi) {
        const std::uint8_t* row = t + 16 * hi;
        if (std::all_of(row, row + 16, [&](std::uint8_t v) { return v == row[0]; })) {
            n.single[hi] = row[0];
        } else {
            n.varied[n.n_varied] = static_cast<std::uint8_t>(hi);
            std::memcpy(n.rows[n.n_varied++], row, 16);
        }
    }
    return n;
}

// The grid's numbers as byte tables (see ClassPairTables), when they fit: `row_id`
// are the classes of a, g.line_class those of b.
void add_pairs(ContextGrid& g, const std::uint8_t* row_id, std::size_t n_rows,
               const std::vector<std::size_t>& col_rep, const std::vector<const std::uint8_t*>& rows,
               const std::uint8_t* d, std::uint8_t key) {
    constexpr std::size_t kMaxClasses = 16, lo = 255 - 128, hi = 255 + 127;
    if (g.by_rows || g.n_keys != 1 || n_rows > kMaxClasses || g.n_lines > kMaxClasses) return;
    for (std::size_t i = 0; i < kSide; ++i) {
        const std::size_t c = std::clamp(i, lo, hi);
        if (row_id[i] != row_id[c] || g.line_class[i] != g.line_class[c]) return;
    }
    ClassPairTables& p = g.pairs.emplace();  // value-initialised: every byte zero
    for (std::size_t i = 0; i < 256; ++i) {
        p.bytes[i] = static_cast<std::uint8_t>(kMaxClasses * row_id[lo + i]);
        p.bytes[256 + i] = g.line_class[lo + i];
    }
    for (std::size_t qa = 0; qa < n_rows; ++qa)
        for (std::size_t qb = 0; qb < g.n_lines; ++qb)
            p.bytes[512 + kMaxClasses * qa + qb] = d[4 * static_cast<std::size_t>(rows[qa][col_rep[qb]]) + key];
    for (int t = 0; t < 3; ++t) p.nibbles[t] = nibbles_of(p.bytes + 256 * t);
}

ContextGrid& with_offsets(ContextGrid& g) {
    for (std::size_t i = 0; i < kSide; ++i) g.line_offset[i] = static_cast<std::uint32_t>(g.line_class[i]) << 9;
    for (std::size_t v = 0; v < 256; ++v) g.key_offset[v] = (g.key_class[v] * g.n_lines) << 9;
    return g;
}

}  // namespace

std::optional<ContextGrid> build_context_grid(const ContextTables& t) {
    const std::uint8_t* s = t.s_lut.data();
    ContextGrid g;

    // distinct rows of s_lut (row a holds the classes of every b for one a)
    std::uint8_t row_id[kSide];
    std::vector<const std::uint8_t*> rows;
    for (std::size_t a = 0; a < kSide; ++a) {
        const std::uint8_t* p = s + a * kSide;
        const std::size_t r = find_equal(rows, p, kSide, a ? row_id[a - 1] : 0);
        if (r == rows.size()) {
            if (rows.size() == kMaxRows) return std::nullopt;
            rows.push_back(p);
        }
        row_id[a] = static_cast<std::uint8_t>(r);
    }

    // distinct columns: two columns of s_lut are equal when they are equal in
    // every distinct row, so compare the columns of the distinct rows
    const std::size_t nr = rows.size();
    std::vector<std::uint8_t> cols(kSide * nr);
    for (std::size_t r = 0; r < nr; ++r)
        for (std::size_t b = 0; b < kSide; ++b) cols[b * nr + r] = rows[r][b];
    std::vector<const std::uint8_t*> col_reps;
    std::vector<std::size_t> col_rep;
    for (std::size_t b = 0; b < kSide && col_reps.size() <= kMaxGridRows; ++b) {
        const std::uint8_t* p = cols.data() + b * nr;
        const std::size_t c = find_equal(col_reps, p, nr, b ? g.line_class[b - 1] : 0);
        if (c == col_reps.size()) {
            col_reps.push_back(p);
            col_rep.push_back(b);
        }
        g.line_class[b] = static_cast<std::uint8_t>(c);
    }

    // distinct intensity classes
    std::vector<std::uint8_t> key_val;
    for (std::size_t v = 0; v < 256; ++v) {
        const std::uint8_t i = t.i_lut[v];
        std::size_t c = 0;
        while (c < key_val.size() && key_val[c] != i) ++c;
        if (c == key_val.size()) key_val.push_back(i);
        g.key_class[v] = static_cast<std::uint8_t>(c);
    }
    g.n_keys = static_cast<unsigned>(key_val.size());
    const std::uint8_t* d = t.d_lut.data();
    const auto number = [&](std::size_t r, std::size_t b, std::size_t kc) {
        return d[4 * static_cast<std::size_t>(rows[r][b]) + key_val[kc]];
    };

    // fold the columns when they are few enough (the shorter chain), else the rows
    if (col_reps.size() * g.n_keys <= kMaxGridRows) {
        g.n_lines = static_cast<unsigned>(col_reps.size());
        g.numbers.assign(static_cast<std::size_t>(g.n_lines) * g.n_keys * 512, 0);
        for (std::size_t kc = 0; kc < g.n_keys; ++kc)
            for (std::size_t cc = 0; cc < g.n_lines; ++cc) {
                std::uint8_t* out = g.numbers.data() + ((kc * g.n_lines + cc) << 9);
                for (std::size_t a = 0; a < kSide; ++a) out[a] = number(row_id[a], col_rep[cc], kc);
            }
        add_pairs(g, row_id, nr, col_rep, rows, d, key_val[0]);
        return with_offsets(g);
    }
    if (nr * g.n_keys > kMaxGridRows) return std::nullopt;
    g.by_rows = true;
    g.n_lines = static_cast<unsigned>(nr);
    std::memcpy(g.line_class, row_id, kSide);
    g.numbers.assign(static_cast<std::size_t>(g.n_lines) * g.n_keys * 512, 0);
    for (std::size_t kc = 0; kc < g.n_keys; ++kc)
        for (std::size_t r = 0; r < nr; ++r) {
            std::uint8_t* out = g.numbers.data() + ((kc * nr + r) << 9);
            for (std::size_t b = 0; b < kSide; ++b) out[b] = number(r, b, kc);
        }
    return with_offsets(g);
}

}  // namespace rans

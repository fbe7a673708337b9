// Context lookup for the image-side pixel loops, in forms that give the same
// context number for every sample:
//
// - CheckedContext reads the tables through the checked accessor on
//   every sample and faults on a context number at or above the limit (the
//   number of shards, or of read cursors);
// - ProvenContext reads them through raw pointers, and is chosen only when the
//   tables themselves prove that no read can leave a table and that no
//   context number can reach the limit;
// - GridContext reads the proven tables folded into a grid that stays in the
//   first-level cache (image_grid.hpp), when they fold.
//
// `with_context` makes that choice once per call, so the hot loops carry no
// bounds tests for the complete tables that every real caller passes, while
// broken tables still fault exactly where the checked reads would. Loops
// that differ between checked and proven lookups test `is_checked<Ctx>`.
//
// A proof holds only for memory that nothing else can change: the caller's
// tables may be rewritten while a call runs (by another thread, the lock being
// released, or through an output of the same call that shares their memory).
// So every loop reads its tables from a PrivateContextTables copy taken before
// the proof, never from the caller's arrays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>

#include "fault.hpp"
#include "image_grid.hpp"
#include "predict.hpp"

namespace rans {

struct CheckedContext {
    const ContextTables* tables;
    std::size_t limit;

    std::uint8_t operator()(std::uint8_t W, std::uint8_t N, std::uint8_t NW, std::uint8_t v) const {
        const std::uint8_t k = context_number(W, N, NW, v, *tables);
        if (k >= limit) [[unlikely]]
            index_fault(limit, k);
        return k;
    }
};

struct ProvenContext {
    const std::uint8_t* s_lut;
    const std::uint8_t* i_lut;
    const std::uint8_t* d_lut;

    std::uint8_t operator()(std::uint8_t W, std::uint8_t N, std::uint8_t NW, std::uint8_t v) const {
        return d_lut[4u * s_lut[gradient_index(W, N, NW)] + i_lut[v]];
    }

    // The lookup in two steps (see GridContext::Ahead); here the second does it all.
    struct Ahead {
        std::uint8_t N, NW;
    };
    Ahead ahead(std::uint8_t N, std::uint8_t NW) const { return {N, NW}; }
    std::uint8_t finish(Ahead a, std::uint8_t W, std::uint8_t v) const { return (*this)(W, a.N, a.NW, v); }
};

// The largest byte of a span (0 for an empty one), in a loop the compiler
// turns into vector code (std::max_element keeps the position too, one byte
// at a time): every image call's proof reads the whole gradient table.
inline std::uint8_t largest_byte(std::span<const std::uint8_t> b) {
    std::uint8_t m = 0;
    for (const std::uint8_t x : b) m = x > m ? x : m;
    return m;
}

// A private copy of every table entry that a lookup can read: s_lut up to the
// last gradient index, i_lut up to key 255, d_lut up to 4 * 255 + 255. A
// longer table is cut there (no read reaches past it, so no fault can name its
// length); a shorter one is copied whole and keeps its length, so the checked
// reads fault exactly as on the caller's table.
//
// The copy is also the proof: `proven(limit)` holds when no lookup can read
// outside the copied tables and every number it can give lies below `limit`.
// The largest entries are taken from the copy (block by block, each scanned
// while it is still in the first-level cache), so the proof holds for what
// the lookups read whatever another thread does to the caller's tables.
class PrivateContextTables {
public:
    static constexpr std::size_t kMaxS = kGradientCount, kMaxI = 256, kMaxD = 4 * 255 + 255 + 1;

    explicit PrivateContextTables(const ContextTables& t) {
        const std::size_t ns = std::min(t.s_lut.size(), kMaxS), ni = std::min(t.i_lut.size(), kMaxI),
                          nd = std::min(t.d_lut.size(), kMaxD);
        bytes_.reset(new std::uint8_t[ns + ni + nd]);  // every byte is copied below
        std::uint8_t* p = bytes_.get();
        const std::size_t max_s = copy_largest(p, t.s_lut.data(), ns);
        const std::size_t max_i = copy_largest(p + ns, t.i_lut.data(), ni);
        if (nd) std::memcpy(p + ns + ni, t.d_lut.data(), nd);
        view_ = {{p, ns}, {p + ns, ni}, {p + ns + ni, nd}};
        // a lookup reads outside the tables when a gradient index or key
        // falls outside s_lut or i_lut, or a d_lut index 4*s + i outside d_lut
        const std::size_t reach = 4 * max_s + max_i + 1;  // d_lut entries [0, reach) can be read
        if (ns == kMaxS && ni == kMaxI && nd >= reach) largest_ = largest_byte({p + ns + ni, reach});
    }
    PrivateContextTables(const PrivateContextTables&) = delete;
    PrivateContextTables& operator=(const PrivateContextTables&) = delete;

    const ContextTables& tables() const { return view_; }

    // Every lookup reads inside the copy and gives a number below `limit`.
    bool proven(std::size_t limit) const { return largest_ && *largest_ < limit; }

private:
    // Copies n bytes and returns the largest (0 for none), read from the copy.
    static std::uint8_t copy_largest(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
        constexpr std::size_t kBlock = 4096;
        std::uint8_t m = 0;
        for (std::size_t at = 0; at < n; at += kBlock) {
            const std::size_t k = std::min(kBlock, n - at);
            std::memcpy(dst + at, src + at, k);
            m = std::max(m, largest_byte({dst + at, k}));
        }
        return m;
    }

    std::unique_ptr<std::uint8_t[]> bytes_;
    ContextTables view_;
    std::optional<std::size_t> largest_;
};

// The context lookup through a grid. OneKey: the tables have a single key
// class, so the intensity key is not even read.
template <bool OneKey, bool ByRows>
struct GridContext {
    const std::uint32_t* line_offset;
    const std::uint32_t* key_offset;
    const std::uint8_t* numbers;
    const ClassPairTables* pairs;  // the grid's numbers as byte tables, or null

    explicit GridContext(const ContextGrid& g)
        : line_offset(g.line_offset),
          key_offset(g.key_offset),
          numbers(g.numbers.data()),
          pairs(g.pairs ? &*g.pairs : nullptr) {}

    std::uint8_t operator()(std::uint8_t W, std::uint8_t N, std::uint8_t NW, std::uint8_t v) const {
        const std::uint32_t a = static_cast<std::uint32_t>(W) + 255u - NW;
        const std::uint32_t b = static_cast<std::uint32_t>(N) + 255u - NW;
        std::uint32_t at = line_offset[ByRows ? a : b] + (ByRows ? b : a);
        if constexpr (!OneKey) at += key_offset[v];
        (void)v;
        return numbers[at];
    }

    // The same lookup in two steps, for a decoder whose W arrives last (it is
    // the sample just rebuilt): `ahead` takes what N and NW give, before W is
    // known; `finish` then costs one read after W (with rows, two reads and
    // an add), plus the key's read and an add when it has one.
    struct Ahead {
        const std::uint32_t* line;  // by rows: the line offsets shifted by 255 - NW
        const std::uint8_t* base;   // the numbers from which W (by rows: its line offset) counts
    };
    Ahead ahead(std::uint8_t N, std::uint8_t NW) const {
        Ahead a;
        if constexpr (ByRows)
            a = {line_offset + (255u - NW), numbers + (static_cast<std::uint32_t>(N) + 255u - NW)};
        else
            a = {nullptr, numbers + (line_offset[static_cast<std::uint32_t>(N) + 255u - NW] + 255u - NW)};
#if defined(__GNUC__)
        // the compiler would otherwise fold the sums back into one chain that
        // starts at W (integer adds reassociate freely)
        __asm__("" : "+r"(a.base));
#endif
        return a;
    }
    // A pointer, not an offset, comes out of `ahead`: W then indexes the read
    // itself, with no add and no widening of a 32-bit sum on the chain.
    std::uint8_t finish(Ahead a, std::uint8_t W, std::uint8_t v) const {
        std::size_t i = ByRows ? a.line[W] : W;
        if constexpr (!OneKey) i += key_offset[v];
        (void)v;
        return a.base[i];
    }
};

// Whether a lookup reads the intensity key (a grid of one key class does not).
template <class Ctx>
inline constexpr bool reads_key = true;
template <bool ByRows>
inline constexpr bool reads_key<GridContext<true, ByRows>> = false;

// Calls f(ctx) with the fastest exact lookup for private tables that are
// already proven safe (PrivateContextTables::proven): a grid when the tables fold
// into one, else the tables themselves through raw pointers.
template <class F>
inline decltype(auto) with_proven_context(const ContextTables& t, F&& f) {
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

// Whether a lookup checks every read (and so may fault on any sample).
template <class Ctx>
inline constexpr bool is_checked = std::is_same_v<std::decay_t<Ctx>, CheckedContext>;

// The one choice of lookup: calls f(ctx) with the fastest form that is safe
// for these private tables and this limit.
template <class F>
inline decltype(auto) with_context(const PrivateContextTables& own, std::size_t limit, F&& f) {
    if (own.proven(limit)) return with_proven_context(own.tables(), f);
    return f(CheckedContext{&own.tables(), limit});
}

}  // namespace rans

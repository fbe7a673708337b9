// The decoder's image side: residuals back to planes, planes back to pixels.
//
// Reconstruction must follow the scan order: each sample is predicted from
// its already rebuilt left and upper neighbours, and its context number (the
// same as the encoder computed) names the shard whose next residual it takes.
// The whole green plane is rebuilt before the chroma planes, whose contexts
// are keyed by the green sample at the same pixel.
#include <algorithm>
#include <array>
#include <cstring>

#include "../pool/pool.hpp"
#include "fault.hpp"
#include "image.hpp"
#include "image_context.hpp"

namespace rans {
namespace {

constexpr std::size_t kRestoreTaskPixels = 32768;  // pixels per restoration task, at least one row

// Rebuilds one padded plane from its shard stream. `green` is null for the
// green plane itself (intensity key = prediction), else the rebuilt padded
// green plane (intensity key = green sample).
template <class Ctx>
void rebuild_plane(const Ctx& ctx, std::size_t h, std::size_t w, std::uint8_t* plane,
                   const std::uint8_t* green, Bytes res, std::uint32_t* cursors) {
    const std::size_t stride = w + 2;
    const std::uint8_t* r = res.data();
    const std::size_t len = res.size();
    for (std::size_t y = 0; y < h; ++y) {
        const std::size_t base = (y + 1) * stride + 1;
        for (std::size_t i = base; i < base + w; ++i) {
            const std::uint8_t W = plane[i - 1], N = plane[i - stride], NW = plane[i - stride - 1];
            const std::uint8_t P = predict_sample(W, N, NW);
            const std::uint8_t k = ctx(W, N, NW, green ? green[i] : P);
            const std::uint32_t p = cursors[k];
            if (p >= len) [[unlikely]]
                index_fault(len, p);
            cursors[k] = p + 1;
            plane[i] = zigzag_decode(r[p], P);
        }
    }
}

void rebuild_channel(std::size_t h, std::size_t w, std::uint8_t* plane, const std::uint8_t* green,
                     Bytes res, std::span<const std::uint32_t> offsets, const ContextTables& tables) {
    // private cursors: the caller's offsets stay untouched
    std::vector<std::uint32_t> cursors(offsets.begin(), offsets.end());
    with_context(tables, cursors.size(), [&](const auto& ctx) {
        rebuild_plane(ctx, h, w, plane, green, res, cursors.data());
    });
}

// One channel's decoding state in the interleaved loop.
//
// `next[k]` is the residual at shard k's cursor, already decoded against a
// prediction of 0 (zigzag_decode(z, P) = P + zigzag_decode(z, 0) modulo 256),
// read ahead when the cursor moves: a sample is then its prediction plus
// next[context], two reads after its left neighbour is known, while the
// cursor and the stream are read off that chain, for the next sample of the
// shard. A cursor at or beyond the stream's end is caught when its shard is
// used, before its read-ahead (0 there) counts for anything. The stream is
// read where the caller keeps it: no copy, so decoding costs no more memory
// than the planes it returns.
//
// The loops take channels and lookups by value: a byte store may alias
// anything the compiler reaches through memory, so state kept in the
// caller's structures would be read again after every sample.
struct Channel {
    std::uint8_t* plane;
    const std::uint8_t* res;
    std::size_t len;
    std::uint32_t* cursors;
    std::uint8_t* next;
    std::size_t n_cursors;
};

inline std::uint8_t difference_at(const std::uint8_t* res, std::size_t len, std::size_t p) {
    return p < len ? zigzag_decode(res[p], 0) : std::uint8_t{0};
}

// The read-ahead bytes of cursors that start at the caller's offsets.
std::vector<std::uint8_t> read_ahead(Bytes res, std::span<const std::uint32_t> cursors) {
    std::vector<std::uint8_t> next(cursors.size());
    for (std::size_t k = 0; k < cursors.size(); ++k) next[k] = difference_at(res.data(), res.size(), cursors[k]);
    return next;
}

// True when no cursor of the channel can reach the stream's end in the next
// n samples, nor its read-ahead read past it: every cursor + n lies below
// len. A cursor moves at most once per sample, so those samples need neither
// the fault test nor the read-ahead's bounds test.
inline bool clear_for(const Channel& ch, std::size_t n) {
    std::uint32_t most = 0;
    for (std::size_t k = 0; k < ch.n_cursors; ++k) most = std::max(most, ch.cursors[k]);
    return std::size_t{most} + n < ch.len;
}

// Decodes one sample whose neighbours are already in registers; the left
// neighbour is the sample decoded just before, so it never goes through
// memory. Checked: the cursor may reach the stream's end (it then faults).
template <bool Checked, class Ctx>
[[gnu::always_inline]] inline std::uint8_t rebuild_sample(Ctx ctx, Channel ch, std::uint8_t W, std::uint8_t N,
                                                          std::uint8_t NW, std::uint8_t key) {
    const std::uint8_t P = predict_sample(W, N, NW);
    const std::uint8_t k = ctx(W, N, NW, reads_key<Ctx> ? key : 0);
    const std::uint8_t d = ch.next[k];
    const std::uint32_t p = ch.cursors[k];
    if constexpr (Checked) {
        if (p >= ch.len) [[unlikely]]
            index_fault(ch.len, p);
        ch.next[k] = difference_at(ch.res, ch.len, std::size_t{p} + 1);
    } else {
        ch.next[k] = zigzag_decode(ch.res[std::size_t{p} + 1], 0);
    }
    ch.cursors[k] = p + 1;
    return static_cast<std::uint8_t>(P + d);
}

// One row of the green (or gray) plane: `up` is the row above (a zero row
// above the first); the intensity key is the prediction.
template <bool Checked, class Ctx>
void green_row(Ctx ctx, Channel g, std::uint8_t* __restrict row, const std::uint8_t* __restrict up, std::size_t w) {
    std::uint8_t W = 0, NW = 0;
    for (std::size_t x = 0; x < w; ++x) {
        const std::uint8_t N = up[x];
        const std::uint8_t P = predict_sample(W, N, NW);
        W = rebuild_sample<Checked>(ctx, g, W, N, NW, P);
        row[x] = W;
        NW = N;
    }
}

// The colour planes' state: the three channels' cursors in one block with a
// stride of 256 (a context number is a byte), so one register reaches all of
// them. The colour loop runs three chains side by side and is bound by how
// many instructions it issues, not by any one chain's latency, so it reads a
// residual where its cursor points when its shard is used (a table turns it
// into the difference) instead of keeping a read-ahead byte per shard.
struct ColourStreams {
    const std::uint8_t* res[3];
    std::size_t len[3];
    std::uint32_t* cursors;  // [3][256]
};

constexpr std::size_t kCursorStride = 256;

struct DifferenceTable {
    std::uint8_t d[256];
};
constexpr DifferenceTable make_difference_table() {
    DifferenceTable t{};
    for (unsigned z = 0; z < 256; ++z) t.d[z] = static_cast<std::uint8_t>((z >> 1) ^ (0u - (z & 1u)));  // zigzag_decode(z, 0)
    return t;
}
constexpr DifferenceTable kDifference = make_difference_table();

// True when no cursor of channel c can reach its stream's end in the next n
// samples (see clear_for).
inline bool colour_clear_for(const ColourStreams& s, int c, std::size_t n) {
    const std::uint32_t* cur = s.cursors + c * kCursorStride;
    std::uint32_t most = 0;
    for (std::size_t k = 0; k < kCursorStride; ++k) most = std::max(most, cur[k]);
    return std::size_t{most} + n < s.len[c];
}

template <int c, bool Checked, class Ctx>
[[gnu::always_inline]] inline std::uint8_t colour_sample(Ctx ctx, ColourStreams s, std::uint8_t W, std::uint8_t N,
                                                         std::uint8_t NW, std::uint8_t key) {
    const std::uint8_t P = predict_sample(W, N, NW);
    const std::uint8_t k = ctx(W, N, NW, reads_key<Ctx> ? key : 0);
    std::uint32_t* cur = s.cursors + c * kCursorStride + k;
    const std::uint32_t p = *cur;
    if constexpr (Checked) {
        if (p >= s.len[c]) [[unlikely]]
            index_fault(s.len[c], p);
    }
    *cur = p + 1;
    return static_cast<std::uint8_t>(P + kDifference.d[s.res[c][p]]);
}

template <bool Checked, class Ctx>
void colour_green_row(Ctx ctx, ColourStreams s, std::uint8_t* __restrict row, const std::uint8_t* __restrict up,
                      std::size_t w) {
    std::uint8_t W = 0, NW = 0;
    for (std::size_t x = 0; x < w; ++x) {
        const std::uint8_t N = up[x];
        W = colour_sample<0, Checked>(ctx, s, W, N, NW, predict_sample(W, N, NW));
        row[x] = W;
        NW = N;
    }
}

template <bool Checked, class Ctx>
void colour_chroma_row(Ctx ctx, ColourStreams s, std::uint8_t* __restrict row_r, std::uint8_t* __restrict row_b,
                       const std::uint8_t* __restrict up_r, const std::uint8_t* __restrict up_b,
                       const std::uint8_t* __restrict key, std::size_t w) {
    std::uint8_t Wr = 0, NWr = 0, Wb = 0, NWb = 0;
    for (std::size_t x = 0; x < w; ++x) {
        const std::uint8_t Nr = up_r[x], Nb = up_b[x], G = key[x];
        Wr = colour_sample<1, Checked>(ctx, s, Wr, Nr, NWr, G);
        Wb = colour_sample<2, Checked>(ctx, s, Wb, Nb, NWb, G);
        row_r[x] = Wr;
        row_b[x] = Wb;
        NWr = Nr;
        NWb = Nb;
    }
}

// Green row y and both chroma rows y - 1 in one loop: the chroma samples
// are keyed by the green row finished one pass before (up_g), so the three
// dependency chains share no value and run side by side.
template <bool Checked, class Ctx>
void colour_three_rows(Ctx ctx, ColourStreams s, std::uint8_t* __restrict row_g, const std::uint8_t* __restrict up_g,
                       std::uint8_t* __restrict row_r, std::uint8_t* __restrict row_b,
                       const std::uint8_t* __restrict up_r, const std::uint8_t* __restrict up_b, std::size_t w) {
    std::uint8_t Wg = 0, NWg = 0, Wr = 0, NWr = 0, Wb = 0, NWb = 0;
    for (std::size_t x = 0; x < w; ++x) {
        const std::uint8_t Ng = up_g[x], Nr = up_r[x], Nb = up_b[x];
        Wg = colour_sample<0, Checked>(ctx, s, Wg, Ng, NWg, predict_sample(Wg, Ng, NWg));
        Wr = colour_sample<1, Checked>(ctx, s, Wr, Nr, NWr, Ng);
        Wb = colour_sample<2, Checked>(ctx, s, Wb, Nb, NWb, Ng);
        row_g[x] = Wg;
        row_r[x] = Wr;
        row_b[x] = Wb;
        NWg = Ng;
        NWr = Nr;
        NWb = Nb;
    }
}

// The three planes in one scan, green one row ahead of the chroma planes.
// A pass goes without cursor tests when no cursor of the channels it decodes
// can reach the end of its stream within it.
template <class Ctx>
void rebuild_colour(const Ctx& ctx, std::size_t h, std::size_t w, std::uint8_t* const (&plane)[3],
                    const ColourStreams& s) {
    const std::vector<std::uint8_t> zero_row(w, 0);
    const auto row_of = [&](int c, std::size_t y) { return plane[c] + y * w; };
    const auto up_of = [&](int c, std::size_t y) -> const std::uint8_t* {
        return y ? row_of(c, y - 1) : zero_row.data();
    };
    for (std::size_t y = 0; y <= h; ++y) {  // pass y: green row y (y < h), chroma row y - 1 (y > 0)
        const bool green = y < h, chroma = y > 0;
        const bool clear = (!green || colour_clear_for(s, 0, w)) &&
                           (!chroma || (colour_clear_for(s, 1, w) && colour_clear_for(s, 2, w)));
        const std::size_t yc = chroma ? y - 1 : 0;
        if (green && chroma) {
            if (clear)
                colour_three_rows<false>(ctx, s, row_of(0, y), up_of(0, y), row_of(1, yc), row_of(2, yc), up_of(1, yc),
                                         up_of(2, yc), w);
            else
                colour_three_rows<true>(ctx, s, row_of(0, y), up_of(0, y), row_of(1, yc), row_of(2, yc), up_of(1, yc),
                                        up_of(2, yc), w);
        } else if (green) {
            if (clear)
                colour_green_row<false>(ctx, s, row_of(0, y), up_of(0, y), w);
            else
                colour_green_row<true>(ctx, s, row_of(0, y), up_of(0, y), w);
        } else {
            if (clear)
                colour_chroma_row<false>(ctx, s, row_of(1, yc), row_of(2, yc), up_of(1, yc), up_of(2, yc),
                                         row_of(0, yc), w);
            else
                colour_chroma_row<true>(ctx, s, row_of(1, yc), row_of(2, yc), up_of(1, yc), up_of(2, yc),
                                        row_of(0, yc), w);
        }
    }
}

// The green (or gray) plane alone, when the chroma planes come out zero.
// One chain, so its latency is the bound: the read-ahead keeps two reads
// between a sample and the next one's prediction. A row goes without cursor
// tests when no cursor can reach the stream's end within it (clear_for).
template <class Ctx>
void rebuild_green(const Ctx& ctx, std::size_t h, std::size_t w, const Channel& g) {
    const std::vector<std::uint8_t> zero_row(w, 0);
    for (std::size_t y = 0; y < h; ++y) {
        std::uint8_t* row = g.plane + y * w;
        const std::uint8_t* up = y ? row - w : zero_row.data();
        if (clear_for(g, w))
            green_row<false>(ctx, g, row, up, w);
        else
            green_row<true>(ctx, g, row, up, w);
    }
}

// True when a chroma plane is sure to come out all zero without a fault: its
// tables are proven, every cursor stays inside the stream (a cursor advances
// at most once per pixel), and every residual is zero, so every sample equals
// its prediction from zero neighbours, which is zero.
bool all_zero_plane(std::size_t pixels, Bytes res, std::span<const std::uint32_t> offsets,
                    const ContextTables& tables) {
    if (offsets.empty() || !context_tables_proven(tables, offsets.size())) return false;
    const std::size_t reach = *std::max_element(offsets.begin(), offsets.end()) + pixels;
    if (reach > res.size()) return false;
    return std::all_of(res.begin(), res.begin() + reach, [](std::uint8_t z) { return z == 0; });
}

// Rebuilds the planes in one interleaved scan with a lookup of proven tables
// (green alone when the chroma planes come out zero). Returns false when a
// stream is too short somewhere: the caller then rebuilds plane after plane,
// so that the fault reported is the first one in that order.
template <class Ctx>
bool try_interleaved(const Ctx& ctx, std::size_t h, std::size_t w, bool zero_chroma,
                     const std::array<Bytes, 3>& res,
                     const std::array<std::span<const std::uint32_t>, 3>& off, ColourPlanes& out) {
    const std::size_t pixels = h * w;
    // zero-filled by calloc: a chroma plane of a gray image is never written,
    // so its pages are never mapped
    out = {ZeroedBytes(pixels), ZeroedBytes(pixels), ZeroedBytes(pixels)};
    if (!zero_chroma) {
        // the context numbers reach only cursors below the limit, itself at
        // most 256 (a byte) and at most every channel's count of offsets
        std::vector<std::uint32_t> cursors(3 * kCursorStride, 0);
        for (int c = 0; c < 3; ++c)
            std::copy_n(off[c].begin(), std::min(off[c].size(), kCursorStride), cursors.begin() + c * kCursorStride);
        const ColourStreams s{{res[0].data(), res[1].data(), res[2].data()},
                              {res[0].size(), res[1].size(), res[2].size()},
                              cursors.data()};
        std::uint8_t* const plane[3] = {out.g.data(), out.rd.data(), out.bd.data()};
        try {
            rebuild_colour(ctx, h, w, plane, s);
            return true;
        } catch (const Fault&) {
            return false;
        }
    }
    std::vector<std::uint32_t> cg(off[0].begin(), off[0].end());
    std::vector<std::uint8_t> ng = read_ahead(res[0], cg);
    const Channel g{out.g.data(), res[0].data(), res[0].size(), cg.data(), ng.data(), cg.size()};
    try {
        rebuild_green(ctx, h, w, g);
        return true;
    } catch (const Fault&) {
        return false;
    }
}

}  // namespace

ColourPlanes reconstruct_shards_rgb(std::size_t h, std::size_t w, Bytes res_gr, Bytes res_rd,
                                    Bytes res_bd, std::span<const std::uint32_t> off_gr,
                                    std::span<const std::uint32_t> off_rd,
                                    std::span<const std::uint32_t> off_bd,
                                    const ContextTables& caller_tables) {
    const std::size_t pixels = checked_mul(h, w);
    if (pixels == 0) return {};
    // the proofs below and every lookup read this copy, which no other thread
    // can change while the planes are rebuilt
    const PrivateContextTables own(caller_tables);
    const ContextTables& tables = own.tables();
    // the chroma planes of a gray image come out zero without being rebuilt
    const bool zero_chroma =
        all_zero_plane(pixels, res_rd, off_rd, tables) && all_zero_plane(pixels, res_bd, off_bd, tables);
    // The interleaved scan needs no context checks (its cursor checks remain)
    // once the tables are proven for the cursors of every channel it rebuilds.
    const std::size_t limit =
        zero_chroma ? off_gr.size() : std::min({off_gr.size(), off_rd.size(), off_bd.size()});
    ColourPlanes out;
    const bool interleaved = with_context(tables, limit, [&](const auto& ctx) {
        if constexpr (is_checked<decltype(ctx)>) return false;  // plane after plane below
        else return try_interleaved(ctx, h, w, zero_chroma, {res_gr, res_rd, res_bd},
                                    {off_gr, off_rd, off_bd}, out);
    });
    if (interleaved) return out;
    const std::size_t padded = checked_mul(checked_add(h, 2), checked_add(w, 2));
    std::vector<std::uint8_t> g(padded, 0), rd(padded, 0), bd(padded, 0);
    // green first: the chroma contexts read the rebuilt green sample
    rebuild_channel(h, w, g.data(), nullptr, res_gr, off_gr, tables);
    if (!zero_chroma) {
        rebuild_channel(h, w, rd.data(), g.data(), res_rd, off_rd, tables);
        rebuild_channel(h, w, bd.data(), g.data(), res_bd, off_bd, tables);
    }
    return {interior<ZeroedBytes>(g, h, w), interior<ZeroedBytes>(rd, h, w), interior<ZeroedBytes>(bd, h, w)};
}

std::vector<std::uint8_t> reconstruct_2d_channels(std::size_t h, std::size_t w, Bytes res_ch) {
    const std::size_t pixels = checked_mul(h, w);
    const std::uint8_t* res = sub(res_ch, 0, pixels).data();
    std::vector<std::uint8_t> out(pixels);
    if (pixels == 0) return out;
    std::uint8_t* o = out.data();
    // one chain per plane: the left neighbour and the upper left one travel in
    // registers (a store and a load of the sample just written would add a
    // store-to-load forward to every step), and the row above the first is
    // a zero row
    const std::vector<std::uint8_t> zero_row(w, 0);
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* __restrict up = y ? o + (y - 1) * w : zero_row.data();
        std::uint8_t* __restrict row = o + y * w;
        const std::uint8_t* __restrict r = res + y * w;
        std::uint8_t W = 0, NW = 0;
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint8_t N = up[x];
            W = zigzag_decode(r[x], predict_sample(W, N, NW));
            row[x] = W;
            NW = N;
        }
    }
    return out;
}

namespace {

enum class Colour { Gray, AddGreen, Copy };

template <std::size_t C, Colour M>
void restore_rows(std::size_t y0, std::size_t y1, std::size_t w, const std::uint8_t* gr,
                  const std::uint8_t* rd, const std::uint8_t* bd, const std::uint8_t* a,
                  std::uint8_t* out) {
    for (std::size_t q = y0 * w, end = y1 * w; q < end; ++q) {
        const std::uint8_t G = gr[q];
        std::uint8_t R = G, B = G;
        if constexpr (M == Colour::AddGreen) {
            R = static_cast<std::uint8_t>(G + rd[q]);
            B = static_cast<std::uint8_t>(G + bd[q]);
        } else if constexpr (M == Colour::Copy) {
            R = rd[q];
            B = bd[q];
        }
        std::uint8_t* px = out + q * C;
        px[0] = R;
        px[1] = G;
        px[2] = B;
        if constexpr (C == 4) px[3] = a[q];
    }
}

template <std::size_t C>
void restore_all(std::size_t h, std::size_t w, Colour mode, const std::uint8_t* gr,
                 const std::uint8_t* rd, const std::uint8_t* bd, const std::uint8_t* a,
                 std::uint8_t* out) {
    const std::size_t grain = std::max<std::size_t>(1, kRestoreTaskPixels / w);
    pool::parallel_for(h, grain, [&](std::size_t y0, std::size_t y1) {
        switch (mode) {
            case Colour::Gray: restore_rows<C, Colour::Gray>(y0, y1, w, gr, rd, bd, a, out); break;
            case Colour::AddGreen: restore_rows<C, Colour::AddGreen>(y0, y1, w, gr, rd, bd, a, out); break;
            case Colour::Copy: restore_rows<C, Colour::Copy>(y0, y1, w, gr, rd, bd, a, out); break;
        }
    });
}

}  // namespace

std::vector<std::uint8_t> restore_channels(std::size_t h, std::size_t w, Bytes gr, Bytes rd, Bytes bd,
                                           Bytes a, bool is_rgba, bool is_grayscale, bool apply_gsub) {
    const std::size_t c = is_rgba ? 4 : 3;
    const std::size_t pixels = checked_mul(h, w);
    // an empty image (h = 0 or w = 0) is merely empty: (h, w, c) with no bytes
    if (pixels == 0) return {};
    const std::uint8_t* g = sub(gr, 0, pixels).data();
    const std::uint8_t* r = nullptr;
    const std::uint8_t* b = nullptr;
    const std::uint8_t* al = nullptr;
    if (!is_grayscale) {
        r = sub(rd, 0, pixels).data();
        b = sub(bd, 0, pixels).data();
    }
    if (is_rgba) al = sub(a, 0, pixels).data();
    const Colour mode = is_grayscale ? Colour::Gray : apply_gsub ? Colour::AddGreen : Colour::Copy;
    std::vector<std::uint8_t> out(checked_mul(pixels, c));
    if (is_rgba)
        restore_all<4>(h, w, mode, g, r, b, al, out.data());
    else
        restore_all<3>(h, w, mode, g, r, b, al, out.data());
    return out;
}

}  // namespace rans

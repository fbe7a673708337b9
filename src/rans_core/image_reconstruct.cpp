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
struct Channel {
    std::uint8_t* plane;
    const std::uint8_t* res;
    std::size_t len;
    std::uint32_t* cursors;
    std::uint8_t* next;
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

// Decodes one sample whose neighbours are already in registers; the left
// neighbour is the sample decoded just before, so it never goes through memory.
template <class Ctx>
inline std::uint8_t rebuild_sample(const Ctx& ctx, const Channel& ch, std::uint8_t W, std::uint8_t N,
                                   std::uint8_t NW, int key) {
    const std::uint8_t P = predict_sample(W, N, NW);
    const std::uint8_t k = ctx(W, N, NW, key < 0 ? P : static_cast<std::uint8_t>(key));
    const std::uint8_t d = ch.next[k];
    const std::uint32_t p = ch.cursors[k];
    if (p >= ch.len) [[unlikely]]
        index_fault(ch.len, p);
    ch.cursors[k] = p + 1;
    ch.next[k] = difference_at(ch.res, ch.len, std::size_t{p} + 1);
    return static_cast<std::uint8_t>(P + d);
}

// The planes in one scan (C = 3; C = 1 rebuilds green alone): a chroma
// sample needs only the green sample at its own pixel, so the three
// dependency chains can run side by side. Each plane keeps its own cursors and
// streams, so the samples are exactly those of rebuilding the planes one after
// the other. The planes are written unpadded (stride w): the neighbours travel
// in registers, and the row above the first is a zero row.
template <int C, class Ctx>
void rebuild_interleaved(const Ctx& ctx, std::size_t h, std::size_t w, const Channel (&ch)[3]) {
    const std::vector<std::uint8_t> zero_row(w, 0);
    for (std::size_t y = 0; y < h; ++y) {
        std::uint8_t* row[C];
        const std::uint8_t* up[C];
        std::uint8_t W[C], NW[C];
        for (int c = 0; c < C; ++c) {
            row[c] = ch[c].plane + y * w;
            up[c] = y ? row[c] - w : zero_row.data();
            W[c] = NW[c] = 0;  // outside the image
        }
        for (std::size_t x = 0; x < w; ++x) {
            std::uint8_t N[C];
            for (int c = 0; c < C; ++c) N[c] = up[c][x];
            const std::uint8_t G = rebuild_sample(ctx, ch[0], W[0], N[0], NW[0], -1);
            row[0][x] = W[0] = G;
            if constexpr (C == 3) {
                row[1][x] = W[1] = rebuild_sample(ctx, ch[1], W[1], N[1], NW[1], G);
                row[2][x] = W[2] = rebuild_sample(ctx, ch[2], W[2], N[2], NW[2], G);
            }
            for (int c = 0; c < C; ++c) NW[c] = N[c];
        }
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
    std::vector<std::uint32_t> cg(off[0].begin(), off[0].end()), cr(off[1].begin(), off[1].end()),
        cb(off[2].begin(), off[2].end());
    const Bytes sg = res[0], sr = zero_chroma ? Bytes() : res[1], sb = zero_chroma ? Bytes() : res[2];
    std::vector<std::uint8_t> ng = read_ahead(sg, cg), nr = read_ahead(sr, cr), nb = read_ahead(sb, cb);
    const Channel ch[3] = {{out.g.data(), sg.data(), sg.size(), cg.data(), ng.data()},
                           {out.rd.data(), sr.data(), sr.size(), cr.data(), nr.data()},
                           {out.bd.data(), sb.data(), sb.size(), cb.data(), nb.data()}};
    try {
        if (zero_chroma)
            rebuild_interleaved<1>(ctx, h, w, ch);
        else
            rebuild_interleaved<3>(ctx, h, w, ch);
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
    // row 0: N = NW = 0, so the prediction is W
    std::uint8_t left = 0;
    for (std::size_t x = 0; x < w; ++x) o[x] = left = zigzag_decode(res[x], predict_sample(left, 0, 0));
    for (std::size_t y = 1; y < h; ++y) {
        const std::uint8_t* up = o + (y - 1) * w;
        std::uint8_t* row = o + y * w;
        const std::uint8_t* r = res + y * w;
        row[0] = zigzag_decode(r[0], predict_sample(0, up[0], 0));
        for (std::size_t x = 1; x < w; ++x)
            row[x] = zigzag_decode(r[x], predict_sample(row[x - 1], up[x], up[x - 1]));
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

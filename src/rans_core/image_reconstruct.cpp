// The decoder's image side: residuals back to planes, planes back to pixels.
//
// Reconstruction must follow the scan order: each sample is predicted from
// its already rebuilt left and upper neighbours, and its context number (the
// same as the encoder computed) names the shard whose next residual it takes.
// The whole green plane is rebuilt before the chroma planes, whose contexts
// are keyed by the green sample at the same pixel.
#include <algorithm>
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
struct Channel {
    std::uint8_t* plane;
    const std::uint8_t* res;
    std::size_t len;
    std::uint32_t* cursors;
};

// Decodes one sample whose neighbours are already in registers; the left
// neighbour is the sample decoded just before, so it never goes through memory.
template <class Ctx>
inline std::uint8_t rebuild_sample(const Ctx& ctx, const Channel& ch, std::uint8_t W, std::uint8_t N,
                                   std::uint8_t NW, int key) {
    const std::uint8_t P = predict_sample(W, N, NW);
    const std::uint8_t k = ctx(W, N, NW, key < 0 ? P : static_cast<std::uint8_t>(key));
    const std::uint32_t p = ch.cursors[k];
    if (p >= ch.len) [[unlikely]]
        index_fault(ch.len, p);
    ch.cursors[k] = p + 1;
    return zigzag_decode(ch.res[p], P);
}

// The three planes in one scan: a chroma sample needs only the green sample
// at its own pixel, so the three dependency chains can run side by side.
// Each plane keeps its own cursors and streams, so the samples are exactly
// those of rebuilding the planes one after the other. The planes are written
// unpadded (stride w): the neighbours travel in registers, and the row above
// the first is a zero row.
template <class Ctx>
void rebuild_interleaved(const Ctx& ctx, std::size_t h, std::size_t w, const Channel (&ch)[3]) {
    const std::vector<std::uint8_t> zero_row(w, 0);
    for (std::size_t y = 0; y < h; ++y) {
        std::uint8_t* row[3];
        const std::uint8_t* up[3];
        std::uint8_t W[3] = {0, 0, 0}, NW[3] = {0, 0, 0};  // outside the image
        for (int c = 0; c < 3; ++c) {
            row[c] = ch[c].plane + y * w;
            up[c] = y ? row[c] - w : zero_row.data();
        }
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint8_t Ng = up[0][x], Nr = up[1][x], Nb = up[2][x];
            const std::uint8_t G = rebuild_sample(ctx, ch[0], W[0], Ng, NW[0], -1);
            const std::uint8_t R = rebuild_sample(ctx, ch[1], W[1], Nr, NW[1], G);
            const std::uint8_t B = rebuild_sample(ctx, ch[2], W[2], Nb, NW[2], G);
            row[0][x] = W[0] = G;
            row[1][x] = W[1] = R;
            row[2][x] = W[2] = B;
            NW[0] = Ng;
            NW[1] = Nr;
            NW[2] = Nb;
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

// True when the tables are proven safe for all three channels: only then the
// interleaved loop needs no context checks (its cursor checks remain).
bool interleave_proven(const ContextTables& t, std::size_t kg, std::size_t kr, std::size_t kb) {
    return context_tables_proven(t, std::min({kg, kr, kb}));
}

std::vector<std::uint8_t> interior(const std::vector<std::uint8_t>& padded, std::size_t h, std::size_t w) {
    std::vector<std::uint8_t> out(h * w);
    for (std::size_t y = 0; y < h; ++y)
        std::memcpy(out.data() + y * w, padded.data() + (y + 1) * (w + 2) + 1, w);
    return out;
}

}  // namespace

ColourPlanes reconstruct_shards_rgb(std::size_t h, std::size_t w, Bytes res_gr, Bytes res_rd,
                                    Bytes res_bd, std::span<const std::uint32_t> off_gr,
                                    std::span<const std::uint32_t> off_rd,
                                    std::span<const std::uint32_t> off_bd,
                                    const ContextTables& tables) {
    const std::size_t pixels = checked_mul(h, w);
    if (pixels == 0) return {std::vector<std::uint8_t>(), {}, {}};
    if (interleave_proven(tables, off_gr.size(), off_rd.size(), off_bd.size()) &&
        !(all_zero_plane(pixels, res_rd, off_rd, tables) && all_zero_plane(pixels, res_bd, off_bd, tables))) {
        ColourPlanes out{std::vector<std::uint8_t>(pixels), std::vector<std::uint8_t>(pixels),
                         std::vector<std::uint8_t>(pixels)};
        std::vector<std::uint32_t> cg(off_gr.begin(), off_gr.end()), cr(off_rd.begin(), off_rd.end()),
            cb(off_bd.begin(), off_bd.end());
        const ProvenContext ctx{tables.s_lut.data(), tables.i_lut.data(), tables.d_lut.data()};
        try {
            const Channel ch[3] = {{out.g.data(), res_gr.data(), res_gr.size(), cg.data()},
                                   {out.rd.data(), res_rd.data(), res_rd.size(), cr.data()},
                                   {out.bd.data(), res_bd.data(), res_bd.size(), cb.data()}};
            rebuild_interleaved(ctx, h, w, ch);
            return out;
        } catch (const Fault&) {
            // a stream too short somewhere: rebuild plane after plane below,
            // so that the fault reported is the first one in that order
        }
    }
    const std::size_t padded = checked_mul(checked_add(h, 2), checked_add(w, 2));
    std::vector<std::uint8_t> g(padded, 0), rd(padded, 0), bd(padded, 0);
    // green first: the chroma contexts read the rebuilt green sample
    rebuild_channel(h, w, g.data(), nullptr, res_gr, off_gr, tables);
    // the chroma planes of a gray image come out zero without being rebuilt
    if (!(all_zero_plane(pixels, res_rd, off_rd, tables) && all_zero_plane(pixels, res_bd, off_bd, tables))) {
        rebuild_channel(h, w, rd.data(), g.data(), res_rd, off_rd, tables);
        rebuild_channel(h, w, bd.data(), g.data(), res_bd, off_bd, tables);
    }
    return {interior(g, h, w), interior(rd, h, w), interior(bd, h, w)};
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

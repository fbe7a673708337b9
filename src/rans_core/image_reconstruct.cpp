// The decoder's image side: residuals back to planes, planes back to pixels.
//
// Reconstruction must follow the scan order: each sample is predicted from
// its already rebuilt left and upper neighbours, and its context number (the
// same as the encoder computed) names the shard whose next residual it takes.
// Green is rebuilt ahead of the chroma planes, whose contexts are keyed by
// the green sample at the same pixel: a whole plane ahead in the tested
// plane-after-plane rebuild (whose faults are the ones reported), one row
// ahead in the fast loop, which runs the three planes' chains side by side.
#include <algorithm>
#include <array>
#include <cstring>

#include "../pool/pool.hpp"
#include "fault.hpp"
#include "image.hpp"
#include "image_context.hpp"
#include "image_rows.hpp"

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
                     Bytes res, std::span<const std::uint32_t> offsets, const PrivateContextTables& own) {
    // private cursors: the caller's offsets stay untouched
    std::vector<std::uint32_t> cursors(offsets.begin(), offsets.end());
    with_context(own, cursors.size(), [&](const auto& ctx) {
        rebuild_plane(ctx, h, w, plane, green, res, cursors.data());
    });
}

// Shard cursors in the fast loops: a cursor points at its shard's next
// residual in the stream, which is read where the caller keeps it (no copy,
// so decoding costs no more memory than the planes it returns), except near
// the stream's end. A cursor moves at most once per sample, so within a row
// it reads at most w + 1 bytes from where the row starts it (the gray loop
// reads one residual ahead). At every row boundary `settle` places each
// cursor where that cannot leave its buffer:
// - a cursor at least w + 1 bytes before the end stays in the stream;
// - a live cursor nearer the end moves to the same position in the stream's
//   tail: a private copy of its last w + 1 bytes followed by w + 2 zeros;
// - a cursor at the end is spent (a whole stream never uses its shard
//   again) and points into a zero-filled trap of w + 2 bytes.
// So no row needs a test per sample. A cursor that read past the end (its
// stream is too short) stands past it at the next boundary, and a spent one
// that moved has left its place in the trap: either is a fault, which sends
// the caller to the plane-after-plane rebuild that reports the first fault
// in its order with its numbers; the values read past the end meanwhile are
// zeros and are never returned.
//
// The loops take their state by value: a byte store may alias anything the
// compiler reaches through memory, so state kept in the caller's structures
// would be read again after every sample.

constexpr std::size_t kCursorStride = 256;  // a context number is a byte

struct Stream {
    const std::uint8_t* begin;
    std::size_t len;
};

// Whether p points into the n bytes from begin.
inline bool points_into(const std::uint8_t* p, const std::uint8_t* begin, std::size_t n) {
    return reinterpret_cast<std::uintptr_t>(p) - reinterpret_cast<std::uintptr_t>(begin) < n;
}

// The trap and the tail of one stream for rows of w samples.
class StreamEnds {
public:
    StreamEnds(Stream s, std::size_t w) : trap_(w + 2, 0) {
        tail_start_ = s.len > w + 1 ? s.len - (w + 1) : 0;
        tail_.assign(s.len - tail_start_ + w + 2, 0);
        std::copy(s.begin + tail_start_, s.begin + s.len, tail_.begin());
    }
    const std::uint8_t* trap() const { return trap_.data(); }
    std::size_t trap_len() const { return trap_.size(); }
    const std::uint8_t* tail() const { return tail_.data(); }
    std::size_t tail_len() const { return tail_.size(); }
    std::size_t tail_start() const { return tail_start_; }  // the stream position of tail()[0]

private:
    std::vector<std::uint8_t> trap_, tail_;
    std::size_t tail_start_;
};

// One channel's cursors (n of them, n <= 256) and where they may point.
struct Cursors {
    const std::uint8_t** cur;
    std::size_t n;
    Stream s;
    const StreamEnds* ends;
};

// The cursors at the caller's offsets (spent ones at the trap).
void start_cursors(const Cursors& c, std::span<const std::uint32_t> off) {
    for (std::size_t k = 0; k < c.n; ++k) c.cur[k] = off[k] < c.s.len ? c.s.begin + off[k] : c.ends->trap();
}

// At a row boundary (see above): false when a cursor read past the stream's
// end or a spent cursor moved; else every cursor is placed for the next row
// of w samples.
bool settle(const Cursors& c, std::size_t w) {
    const StreamEnds& e = *c.ends;
    // most cursors lie in the stream, more than a row before its end: one
    // test passes them over (a cursor anywhere else fails it)
    const std::size_t far = c.s.len > w + 1 ? c.s.len - (w + 1) : 0;
    for (std::size_t k = 0; k < c.n; ++k) {
        const std::uint8_t* p = c.cur[k];
        if (points_into(p, c.s.begin, far)) continue;
        if (p == e.trap()) continue;
        if (points_into(p, e.trap(), e.trap_len())) return false;
        // a live cursor is in the stream or in its tail (never anywhere else)
        const std::size_t at = points_into(p, e.tail(), e.tail_len())
                                   ? e.tail_start() + static_cast<std::size_t>(p - e.tail())
                                   : static_cast<std::size_t>(p - c.s.begin);
        if (at > c.s.len) return false;
        if (at == c.s.len)
            c.cur[k] = e.trap();
        else if (at + w + 1 >= c.s.len)  // (a cursor in the tail stays there: it only moves on)
            c.cur[k] = e.tail() + (at - e.tail_start());  // at >= len - (w + 1) >= tail_start
    }
    return true;
}

// A shard's residuals are read in order, but hundreds of shards are read at
// once, more streams than the hardware prefetcher follows: without a hint a
// cursor that enters a new cache line waits for it on the sample's chain.
// The address is formed as an integer (it may lie past the stream, which a
// prefetch never reads and never faults on).
constexpr std::uintptr_t kPrefetchAhead = 64;  // one cache line ahead

[[gnu::always_inline]] inline void prefetch_ahead(const std::uint8_t* p) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + kPrefetchAhead));
}

// zigzag_decode(z, 0) for every z: one read where the arithmetic takes four
// instructions (the pixel loops issue about as many instructions as their
// chains allow, so the read costs less).
struct DifferenceTable {
    std::uint8_t d[256];
};
constexpr DifferenceTable make_difference_table() {
    DifferenceTable t{};
    for (unsigned z = 0; z < 256; ++z) t.d[z] = zigzag_decode(static_cast<std::uint8_t>(z), 0);
    return t;
}
constexpr DifferenceTable kDifference = make_difference_table();

// ---- the green (or gray) plane alone: one chain, so its latency is the bound
//
// `next[k]` is the residual at shard k's cursor, already decoded against a
// prediction of 0 (zigzag_decode(z, P) = P + zigzag_decode(z, 0) modulo 256),
// read ahead when the cursor moves: a sample is then its prediction plus
// next[context], two reads after its left neighbour is known, while the
// cursor and the stream are read off that chain.

template <class Ctx>
void green_row(Ctx ctx, const std::uint8_t** __restrict cur, std::uint8_t* __restrict next,
               std::uint8_t* __restrict row, const std::uint8_t* __restrict up, std::size_t w) {
    std::uint8_t W = 0, NW = 0;
    for (std::size_t x = 0; x < w; ++x) {
        const std::uint8_t N = up[x];
        const std::uint8_t P = predict_sample(W, N, NW);
        const std::uint8_t k = ctx.finish(ctx.ahead(N, NW), W, P);  // the chain's part after W kept short
        const std::uint8_t d = next[k];
        const std::uint8_t* p = cur[k];
        next[k] = kDifference.d[p[1]];
        cur[k] = p + 1;
        prefetch_ahead(p);
        W = static_cast<std::uint8_t>(P + d);
        row[x] = W;
        NW = N;
    }
}

template <class Ctx>
bool rebuild_green(const Ctx& ctx, std::size_t h, std::size_t w, std::uint8_t* plane, Stream s,
                   std::span<const std::uint32_t> off) {
    const std::vector<std::uint8_t> zero_row(w, 0);
    const StreamEnds ends(s, w);
    std::vector<const std::uint8_t*> cursors(kCursorStride, ends.trap());
    const Cursors c{cursors.data(), std::min(off.size(), kCursorStride), s, &ends};
    start_cursors(c, off);
    std::vector<std::uint8_t> next(kCursorStride, 0);
    for (std::size_t k = 0; k < c.n; ++k)
        if (points_into(cursors[k], s.begin, s.len)) next[k] = zigzag_decode(*cursors[k], 0);
    for (std::size_t y = 0; y < h; ++y) {
        std::uint8_t* row = plane + y * w;
        const std::uint8_t* up = y ? row - w : zero_row.data();
        if (!settle(c, w)) return false;
        green_row(ctx, cursors.data(), next.data(), row, up, w);
    }
    return settle(c, w);
}

// ---- the three colour planes: three chains side by side
//
// This loop is bound by how many instructions it issues, not by one chain's
// latency, so it reads a residual when its shard is used (a table turns it
// into the difference) rather than keeping a read-ahead byte per shard. The
// three channels' cursors lie in one block with a stride of 256.

template <int c, class Ctx>
[[gnu::always_inline]] inline std::uint8_t colour_sample(Ctx ctx, const std::uint8_t** __restrict cur,
                                                         std::uint8_t W, std::uint8_t N, std::uint8_t NW,
                                                         std::uint8_t key) {
    const std::uint8_t P = predict_sample(W, N, NW);
    const std::uint8_t k = ctx(W, N, NW, c == 0 ? P : key);
    const std::uint8_t*& q = cur[c * kCursorStride + k];
    const std::uint8_t* p = q;
    q = p + 1;
    prefetch_ahead(p);
    return static_cast<std::uint8_t>(P + kDifference.d[*p]);
}

template <class Ctx>
void colour_green_row(Ctx ctx, const std::uint8_t** __restrict cur, std::uint8_t* __restrict row,
                      const std::uint8_t* __restrict up, std::size_t w) {
    std::uint8_t W = 0, NW = 0;
    for (std::size_t x = 0; x < w; ++x) {
        const std::uint8_t N = up[x];
        W = colour_sample<0>(ctx, cur, W, N, NW, 0);
        row[x] = W;
        NW = N;
    }
}

// Both chroma rows, keyed by the finished green row `key`.
template <class Ctx>
void colour_chroma_row(Ctx ctx, const std::uint8_t** __restrict cur, std::uint8_t* __restrict row_r,
                       std::uint8_t* __restrict row_b, const std::uint8_t* __restrict up_r,
                       const std::uint8_t* __restrict up_b, const std::uint8_t* __restrict key, std::size_t w) {
    std::uint8_t Wr = 0, NWr = 0, Wb = 0, NWb = 0;
    for (std::size_t x = 0; x < w; ++x) {
        const std::uint8_t Nr = up_r[x], Nb = up_b[x], G = key[x];
        Wr = colour_sample<1>(ctx, cur, Wr, Nr, NWr, G);
        Wb = colour_sample<2>(ctx, cur, Wb, Nb, NWb, G);
        row_r[x] = Wr;
        row_b[x] = Wb;
        NWr = Nr;
        NWb = Nb;
    }
}

// Green row y and both chroma rows y - 1 in one loop, once every row has a
// row above it in its plane (y >= 2): the chroma samples are keyed by the
// green row finished one pass before, so the three dependency chains share
// no value and run side by side. Each plane's row is addressed from its
// end, at j = x - w, and the row above at j - w, so two index registers and
// one pointer per plane reach all six rows, and the upper left neighbours
// are read again rather than carried: with six row pointers, three carried
// neighbours and the loop bound, the loop held more values than there are
// registers and spilled them to the stack on every pixel.
template <class Ctx>
void colour_three_rows(Ctx ctx, const std::uint8_t** __restrict cur, std::uint8_t* __restrict end_g,
                       std::uint8_t* __restrict end_r, std::uint8_t* __restrict end_b, std::ptrdiff_t w) {
    std::uint8_t Wg = colour_sample<0>(ctx, cur, 0, end_g[-2 * w], 0, 0);
    std::uint8_t Wr = colour_sample<1>(ctx, cur, 0, end_r[-2 * w], 0, end_g[-2 * w]);
    std::uint8_t Wb = colour_sample<2>(ctx, cur, 0, end_b[-2 * w], 0, end_g[-2 * w]);
    end_g[-w] = Wg;
    end_r[-w] = Wr;
    end_b[-w] = Wb;
    for (std::ptrdiff_t j = 1 - w; j != 0; ++j) {
        const std::ptrdiff_t u = j - w;  // the row above
        const std::uint8_t Ng = end_g[u];
        Wg = colour_sample<0>(ctx, cur, Wg, Ng, end_g[u - 1], 0);
        Wr = colour_sample<1>(ctx, cur, Wr, end_r[u], end_r[u - 1], Ng);
        Wb = colour_sample<2>(ctx, cur, Wb, end_b[u], end_b[u - 1], Ng);
        end_g[j] = Wg;
        end_r[j] = Wr;
        end_b[j] = Wb;
    }
}

// The cursors of N channels, from channel `first` on, in the block of three
// that the colour loops index (kCursorStride apart), each at its offsets in
// its stream (spent ones at its trap).
template <std::size_t N>
struct ChannelCursors {
    std::vector<const std::uint8_t*> cursors;
    std::vector<StreamEnds> ends;
    Cursors c[N];

    ChannelCursors(std::size_t first, const std::array<Bytes, N>& res,
                   const std::array<std::span<const std::uint32_t>, N>& off, std::size_t w)
        : cursors(3 * kCursorStride) {
        ends.reserve(N);  // the cursors keep pointers to them
        for (std::size_t j = 0; j < N; ++j) {
            const Stream s{res[j].data(), res[j].size()};
            ends.emplace_back(s, w);
            const std::size_t at = (first + j) * kCursorStride;
            std::fill_n(cursors.begin() + static_cast<std::ptrdiff_t>(at), kCursorStride, ends[j].trap());
            c[j] = {cursors.data() + at, std::min(off[j].size(), kCursorStride), s, &ends[j]};
            start_cursors(c[j], off[j]);
        }
    }
    ChannelCursors(const ChannelCursors&) = delete;  // the cursors point into `ends`
    ChannelCursors& operator=(const ChannelCursors&) = delete;
};

// The three planes in one scan, green one row ahead of the chroma planes:
// pass y rebuilds green row y (y < h) and the chroma rows y - 1 (y > 0).
template <class Ctx>
bool rebuild_colour(const Ctx& ctx, std::size_t h, std::size_t w, std::uint8_t* const (&plane)[3],
                    const std::array<Bytes, 3>& res, const std::array<std::span<const std::uint32_t>, 3>& off) {
    const std::vector<std::uint8_t> zero_row(w, 0);
    ChannelCursors<3> cc(0, res, off, w);
    const Cursors (&c)[3] = cc.c;
    const auto row_of = [&](int j, std::size_t y) { return plane[j] + y * w; };
    const auto up_of = [&](int j, std::size_t y) -> const std::uint8_t* {
        return y ? row_of(j, y - 1) : zero_row.data();
    };
    const std::uint8_t** cur = cc.cursors.data();
    for (std::size_t y = 0; y <= h; ++y) {
        for (const Cursors& cj : c)
            if (!settle(cj, w)) return false;
        const std::size_t yc = y ? y - 1 : 0;
        if (y < h && y > 1) {
            colour_three_rows(ctx, cur, row_of(0, y) + w, row_of(1, yc) + w, row_of(2, yc) + w,
                              static_cast<std::ptrdiff_t>(w));
            continue;
        }
        // the first two passes and the last, one channel's rows after the
        // other's (their chains and cursors are separate, so the order
        // changes nothing)
        if (y < h) colour_green_row(ctx, cur, row_of(0, y), up_of(0, y), w);
        if (y > 0)
            colour_chroma_row(ctx, cur, row_of(1, yc), row_of(2, yc), up_of(1, yc), up_of(2, yc), row_of(0, yc), w);
    }
    for (const Cursors& cj : c)
        if (!settle(cj, w)) return false;
    return true;
}

// The two chroma planes keyed by a green plane the caller already has (a
// bit-pair coded one): their two chains side by side, a row of each per pass.
template <class Ctx>
bool rebuild_chroma(const Ctx& ctx, std::size_t h, std::size_t w, const std::uint8_t* green,
                    std::uint8_t* const (&plane)[2], const std::array<Bytes, 2>& res,
                    const std::array<std::span<const std::uint32_t>, 2>& off) {
    const std::vector<std::uint8_t> zero_row(w, 0);
    ChannelCursors<2> cc(1, res, off, w);  // channels 1 and 2
    const Cursors (&c)[2] = cc.c;
    for (std::size_t y = 0; y < h; ++y) {
        for (const Cursors& cj : c)
            if (!settle(cj, w)) return false;
        std::uint8_t* row_r = plane[0] + y * w;
        std::uint8_t* row_b = plane[1] + y * w;
        colour_chroma_row(ctx, cc.cursors.data(), row_r, row_b, y ? row_r - w : zero_row.data(),
                          y ? row_b - w : zero_row.data(), green + y * w, w);
    }
    for (const Cursors& cj : c)
        if (!settle(cj, w)) return false;
    return true;
}

// Whether every byte is zero: blocks are ORed whole (the compiler turns that
// into vector code, which an early exit per byte would prevent), and the
// scan stops at the first block that holds a non-zero byte.
bool all_zero(Bytes b) {
    constexpr std::size_t kBlock = 256;
    const std::uint8_t* p = b.data();
    std::size_t n = b.size();
    for (; n >= kBlock; p += kBlock, n -= kBlock) {
        std::uint8_t any = 0;
        for (std::size_t i = 0; i < kBlock; ++i) any |= p[i];
        if (any) return false;
    }
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < n; ++i) any |= p[i];
    return any == 0;
}

// True when a chroma plane is sure to come out all zero without a fault: its
// tables are proven, every cursor stays inside the stream (a cursor advances
// at most once per pixel), and every residual is zero, so every sample equals
// its prediction from zero neighbours, which is zero.
bool all_zero_plane(std::size_t pixels, Bytes res, std::span<const std::uint32_t> offsets,
                    const PrivateContextTables& own) {
    if (offsets.empty()) return false;
    const std::size_t reach = *std::max_element(offsets.begin(), offsets.end()) + pixels;
    if (reach > res.size()) return false;
    // a colour image's residuals stop within the first block
    return all_zero(res.first(reach)) && own.proven(offsets.size());
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
    // every plane that is rebuilt is written in full, so it needs no zeros; a
    // chroma plane of a gray image is never written: zero-filled by calloc,
    // its pages are never mapped
    const auto plane = [&](bool rebuilt) { return rebuilt ? unfilled_bytes(pixels) : ZeroedBytes(pixels); };
    out = {plane(true), plane(!zero_chroma), plane(!zero_chroma)};
    // a context number lies below the limit, itself at most every channel's
    // count of offsets, and is a byte: the first 256 cursors are all it reaches
    if (zero_chroma) return rebuild_green(ctx, h, w, out.g.data(), {res[0].data(), res[0].size()}, off[0]);
    std::uint8_t* const planes[3] = {out.g.data(), out.rd.data(), out.bd.data()};
    return rebuild_colour(ctx, h, w, planes, res, off);
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
    // the chroma planes of a gray image come out zero without being rebuilt
    // (a caller that passes one zero plane for both is checked once)
    const bool same_chroma = res_rd.data() == res_bd.data() && res_rd.size() == res_bd.size() &&
                             std::ranges::equal(off_rd, off_bd);
    const bool zero_chroma = all_zero_plane(pixels, res_rd, off_rd, own) &&
                             (same_chroma || all_zero_plane(pixels, res_bd, off_bd, own));
    // The interleaved scan needs no context checks once the tables are proven
    // for the cursors of every channel it rebuilds (its cursors are placed
    // at every row boundary, see settle).
    const std::size_t limit =
        zero_chroma ? off_gr.size() : std::min({off_gr.size(), off_rd.size(), off_bd.size()});
    ColourPlanes out;
    const bool interleaved = with_context(own, limit, [&](const auto& ctx) {
        if constexpr (is_checked<decltype(ctx)>) return false;  // plane after plane below
        else return try_interleaved(ctx, h, w, zero_chroma, {res_gr, res_rd, res_bd},
                                    {off_gr, off_rd, off_bd}, out);
    });
    if (interleaved) return out;
    const std::size_t padded = checked_mul(checked_add(h, 2), checked_add(w, 2));
    std::vector<std::uint8_t> g(padded, 0), rd(padded, 0), bd(padded, 0);
    // green first: the chroma contexts read the rebuilt green sample
    rebuild_channel(h, w, g.data(), nullptr, res_gr, off_gr, own);
    if (!zero_chroma) {
        rebuild_channel(h, w, rd.data(), g.data(), res_rd, off_rd, own);
        rebuild_channel(h, w, bd.data(), g.data(), res_bd, off_bd, own);
    }
    return {interior<ZeroedBytes>(g, h, w), interior<ZeroedBytes>(rd, h, w), interior<ZeroedBytes>(bd, h, w)};
}

ChromaPlanes reconstruct_chroma(std::size_t h, std::size_t w, Bytes green, Bytes res_rd, Bytes res_bd,
                                std::span<const std::uint32_t> off_rd, std::span<const std::uint32_t> off_bd,
                                const ContextTables& caller_tables) {
    const std::size_t pixels = checked_mul(h, w);
    if (pixels == 0) return {};
    const std::uint8_t* g = sub(green, 0, pixels).data();
    const PrivateContextTables own(caller_tables);
    ChromaPlanes out;
    const bool interleaved = with_context(own, std::min(off_rd.size(), off_bd.size()), [&](const auto& ctx) {
        if constexpr (is_checked<decltype(ctx)>) {
            return false;  // plane after plane below
        } else {
            out = {unfilled_bytes(pixels), unfilled_bytes(pixels)};  // written in full
            std::uint8_t* const planes[2] = {out.rd.data(), out.bd.data()};
            return rebuild_chroma(ctx, h, w, g, planes, {res_rd, res_bd}, {off_rd, off_bd});
        }
    });
    if (interleaved) return out;
    // the tested rebuild, with the faults of reconstruct_shards_rgb's after a
    // green plane that rebuilt without one
    const std::vector<std::uint8_t> gp = padded(g, h, w);
    std::vector<std::uint8_t> rd(gp.size(), 0), bd(gp.size(), 0);
    rebuild_channel(h, w, rd.data(), gp.data(), res_rd, off_rd, own);
    rebuild_channel(h, w, bd.data(), gp.data(), res_bd, off_bd, own);
    return {interior<ZeroedBytes>(rd, h, w), interior<ZeroedBytes>(bd, h, w)};
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

template <std::size_t C, Restore M>
void restore_rows(SimdPath path, std::size_t y0, std::size_t y1, std::size_t w, const std::uint8_t* gr,
                  const std::uint8_t* rd, const std::uint8_t* bd, const std::uint8_t* a, std::uint8_t* out) {
    const std::size_t q0 = y0 * w, end = y1 * w;
    const std::size_t done =
        path == SimdPath::scalar
            ? 0
            : restore_pixels_avx2(C, M, gr + q0, rd ? rd + q0 : nullptr, bd ? bd + q0 : nullptr, a ? a + q0 : nullptr,
                                  end - q0, out + q0 * C);
    for (std::size_t q = q0 + done; q < end; ++q) {
        const std::uint8_t G = gr[q];
        std::uint8_t R = G, B = G;
        if constexpr (M == Restore::add_green) {
            R = static_cast<std::uint8_t>(G + rd[q]);
            B = static_cast<std::uint8_t>(G + bd[q]);
        } else if constexpr (M == Restore::copy) {
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
void restore_all(std::size_t h, std::size_t w, Restore mode, const std::uint8_t* gr,
                 const std::uint8_t* rd, const std::uint8_t* bd, const std::uint8_t* a,
                 std::uint8_t* out) {
    const std::size_t grain = std::max<std::size_t>(1, kRestoreTaskPixels / w);
    const SimdPath path = simd_path();
    pool::parallel_for(h, grain, [&](std::size_t y0, std::size_t y1) {
        switch (mode) {
            case Restore::gray: restore_rows<C, Restore::gray>(path, y0, y1, w, gr, rd, bd, a, out); break;
            case Restore::add_green: restore_rows<C, Restore::add_green>(path, y0, y1, w, gr, rd, bd, a, out); break;
            case Restore::copy: restore_rows<C, Restore::copy>(path, y0, y1, w, gr, rd, bd, a, out); break;
        }
    });
}

}  // namespace

ZeroedBytes restore_channels(std::size_t h, std::size_t w, Bytes gr, Bytes rd, Bytes bd,
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
    const Restore mode = is_grayscale ? Restore::gray : apply_gsub ? Restore::add_green : Restore::copy;
    // every byte is written below
    ZeroedBytes out = unfilled_bytes(checked_mul(pixels, c));
    if (is_rgba)
        restore_all<4>(h, w, mode, g, r, b, al, out.data());
    else
        restore_all<3>(h, w, mode, g, r, b, al, out.data());
    return out;
}

}  // namespace rans

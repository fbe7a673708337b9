// The encoder's two analysis phases.
//
// Phase one transforms the colours into padded planes, predicts every sample,
// and counts its residual into the shard named by its context number: per row
// (for the row offsets) and per chunk of rows (for the histograms and the
// statistics). Phase two repeats the prediction from the same planes and
// writes each residual at its row's cursor in the channel's shard stream.
// The front end's encoder runs both in one call: phase one then keeps every
// sample's context number, and phase two only moves the residuals.
//
// Both phases cut the image into rows that are independent tasks: a row reads
// only the (read-only) planes and writes only its own residuals, its own
// counters and its own disjoint stream positions, so no result depends on the
// pool size.
#include <algorithm>
#include <cstring>

#include "../pool/pool.hpp"
#include "fault.hpp"
#include "image.hpp"
#include "image_context.hpp"
#include "image_rows.hpp"

namespace rans {
namespace {

constexpr std::size_t kMaxChunks = 16;
constexpr std::size_t kChunkSamples = 16384;  // pixels per phase-one chunk, at least (but for one chunk)
constexpr std::size_t kRowTaskSamples = 16384;  // samples per row-block task, at least one row
constexpr std::size_t kMergeCounters = 16384;   // histogram counters per merge task

// The row block that claim b of a loop over `blocks` blocks takes when
// several workers share it: even claims walk the first half of the image,
// odd ones the second, so that the blocks being worked on at one moment lie
// half the image apart. Phase two's blocks store into every shard's stream,
// next to where their neighbour blocks store: two workers on neighbouring
// blocks at once would write into the same cache lines and slow each other.
inline std::size_t far_apart(std::size_t b, std::size_t blocks) {
    const std::size_t half = (blocks + 1) / 2;
    return b % 2 == 0 ? b / 2 : half + b / 2;
}

// Runs body(y0, y1) over the rows of an h x w image in blocks of about
// kRowTaskSamples samples, shared out among the workers (far apart when there
// are several; in order on one). Each worker also takes the first touch of
// the fresh pages its blocks write, which on one thread would be a serial
// part of a parallel call.
template <class Body>
void for_row_blocks(std::size_t h, std::size_t w, const Body& body) {
    if (h == 0 || w == 0) return;
    const std::size_t grain = std::max<std::size_t>(1, kRowTaskSamples / w), blocks = (h + grain - 1) / grain;
    const bool several = pool::size() > 1;
    pool::parallel_for(blocks, 1, [&](std::size_t b0, std::size_t b1) {
        for (std::size_t b = b0; b < b1; ++b) {
            const std::size_t block = several ? far_apart(b, blocks) : b;
            body(block * grain, std::min(h, block * grain + grain));
        }
    });
}

// Private results of one row chunk of phase one.
struct ChunkStats {
    std::vector<std::uint32_t> hist;   // channels x K x 256
    std::vector<std::uint32_t> vhist;  // channels x 256 (colour images only)
    std::uint64_t err[3] = {0, 0, 0};
    std::uint32_t zeros[3] = {0, 0, 0};
};

// One channel's counters as one chunk task sees them.
struct ChannelCounters {
    std::uint32_t* row_counts;  // K counters of the current row
    std::uint32_t* hist;        // K x 256
    std::uint32_t* vhist;       // 256, or null
    std::uint64_t* err;
    std::uint32_t* zeros;
};

// Predicts the sample at padded index i, stores its residual and counts it.
// `key` is the intensity key, or -1 for "the prediction itself". Returns X.
template <class Ctx>
inline std::uint8_t analyse_sample(const Ctx& ctx, const std::uint8_t* plane, std::uint8_t* resid,
                                   std::size_t i, std::size_t stride, int key,
                                   const ChannelCounters& cc) {
    const std::uint8_t W = plane[i - 1], N = plane[i - stride], NW = plane[i - stride - 1];
    const std::uint8_t X = plane[i];
    const std::uint8_t P = predict_sample(W, N, NW);
    const std::uint8_t k = ctx(W, N, NW, key < 0 ? P : static_cast<std::uint8_t>(key));
    const std::uint8_t z = zigzag_encode(X, P);
    resid[i] = z;
    ++cc.row_counts[k];
    ++cc.hist[static_cast<std::size_t>(k) * 256 + z];
    if (cc.vhist) ++cc.vhist[X];
    *cc.err += abs_error(X, P);
    *cc.zeros += z == 0;
    return X;
}

// Chunks of at least this many samples per channel and histogram counter
// count into two copies of every counter (clearing and folding the second
// copy costs about one step per counter). Two copies measured faster on
// photos than one (a chain through memory in flat areas) and than four
// (more cache).
constexpr std::size_t kCopiedSamplesPerCounter = 4;

// Counts a row on a vector path: into the result's counters (copy 0) and,
// when copied, the second copies too.
template <bool Values>
void count_row_of(bool copied, const std::uint8_t* k, const std::uint8_t* z, const std::uint8_t* X, std::size_t w,
                  std::uint32_t* row_counts, std::uint32_t* row_second, std::uint32_t* hist,
                  std::uint32_t* hist_second, std::uint32_t* vhist, std::uint32_t* vhist_second) {
    if (copied)
        count_row<2, Values>(k, z, X, w, {row_counts, row_second}, {hist, hist_second}, {vhist, vhist_second});
    else
        count_row<1, Values>(k, z, X, w, {row_counts}, {hist}, {vhist});
}

// Phase one over rows [y0, y1) with proven tables: no sample can fault, so
// each channel goes row after row. On a vector path a row goes through the
// residual and context pass of that path, then the counting (the context
// numbers in a row buffer, or in `contexts` when set); on the scalar path
// the counting joins the context lookups in one pass, which spares the
// buffer's stores and loads. The residuals land in the residual plane.
template <int C, class Ctx>
void analyse_rows_proven(SimdPath path, const Ctx& ctx, std::size_t y0, std::size_t y1, std::size_t w,
                         std::size_t K, const ZeroedBytes* planes, ZeroedBytes* residuals,
                         std::uint32_t* counts, std::uint8_t* const* contexts, ChunkStats& st) {
    const std::size_t stride = w + 2;
    const bool copied = path != SimdPath::scalar && w >= 8 * K && (y1 - y0) * w >= kCopiedSamplesPerCounter * K * 256;
    std::vector<std::uint8_t> k(w);
    // the second copies; the first are the result's own counters, zero until counted
    std::vector<std::uint32_t> row_second(copied ? K : 0), hist_second(copied ? K * 256 : 0),
        vhist_second(copied && !st.vhist.empty() ? 256 : 0);
    for (int c = 0; c < C; ++c) {
        std::uint32_t* hist = st.hist.data() + c * K * 256;
        std::uint32_t* vhist = st.vhist.empty() ? nullptr : st.vhist.data() + c * 256;
        for (std::size_t y = y0; y < y1; ++y) {
            const std::size_t base = (y + 1) * stride + 1;
            const std::uint8_t* row = planes[c].data() + base;
            const RowInput in{row, row - stride, c ? planes[0].data() + base : nullptr, w};
            std::uint8_t* z = residuals[c].data() + base;
            std::uint32_t* row_counts = counts + y * 3 * K + c * K;
            RowSums sums;
            if (path == SimdPath::scalar) {
                // one pass: each context number is counted as it is looked up
                sums = vhist ? analyse_row_portable<true>(ctx, in, z, row_counts, hist, vhist)
                             : analyse_row_portable<false>(ctx, in, z, row_counts, hist, vhist);
            } else {
                std::uint8_t* kr = contexts ? contexts[c] + y * w : k.data();
                sums = residuals_and_contexts(path, ctx, in, z, kr);
                if (vhist)
                    count_row_of<true>(copied, kr, z, row, w, row_counts, row_second.data(), hist, hist_second.data(),
                                       vhist, vhist_second.data());
                else
                    count_row_of<false>(copied, kr, z, row, w, row_counts, row_second.data(), hist,
                                        hist_second.data(), nullptr, nullptr);
            }
            st.err[c] += sums.err;
            st.zeros[c] += sums.zeros;
            if (copied) fold_copy(row_counts, row_second.data(), K);
        }
        if (copied) {
            fold_copy(hist, hist_second.data(), K * 256);
            if (vhist) fold_copy(vhist, vhist_second.data(), 256);
        }
    }
}

// Phase one over rows [y0, y1) of C channels (1: gray, 3: colour). With
// checked lookups any sample may fault, so the channels go sample by sample in
// the order that puts the first fault first; with proven tables no sample can
// fault and each row goes channel after channel in vectorised blocks, whose
// context numbers land in `contexts` (per channel, h x w) when it is set.
template <int C, class Ctx>
void analyse_rows(SimdPath path, const Ctx& ctx, std::size_t y0, std::size_t y1, std::size_t w, std::size_t K,
                  const ZeroedBytes* planes, ZeroedBytes* residuals,
                  std::uint32_t* counts, std::uint8_t* const* contexts, ChunkStats& st) {
    const std::size_t stride = w + 2;
    if constexpr (is_checked<Ctx>) {
        const std::size_t row_block = 3 * K;
        ChannelCounters cc[C];
        for (int c = 0; c < C; ++c) {
            cc[c] = {nullptr, st.hist.data() + static_cast<std::size_t>(c) * K * 256,
                     st.vhist.empty() ? nullptr : st.vhist.data() + c * 256, &st.err[c], &st.zeros[c]};
        }
        for (std::size_t y = y0; y < y1; ++y) {
            for (int c = 0; c < C; ++c) cc[c].row_counts = counts + y * row_block + c * K;
            const std::size_t base = (y + 1) * stride + 1;
            for (std::size_t x = 0; x < w; ++x) {
                const std::size_t i = base + x;
                const std::uint8_t g =
                    analyse_sample(ctx, planes[0].data(), residuals[0].data(), i, stride, -1, cc[0]);
                if constexpr (C == 3) {
                    analyse_sample(ctx, planes[1].data(), residuals[1].data(), i, stride, g, cc[1]);
                    analyse_sample(ctx, planes[2].data(), residuals[2].data(), i, stride, g, cc[2]);
                }
            }
        }
    } else {
        analyse_rows_proven<C>(path, ctx, y0, y1, w, K, planes, residuals, counts, contexts, st);
    }
}

// Alpha: predicted over its own unpadded plane, no contexts, in scan order.
// A row's first sample has zeros to its left; the others read only samples
// of the plane, so they go through the residual pass of the chosen path.
// The error sum is exact in 64-bit integers (at most 255 per sample) and
// so the same as summing in double precision.
void analyse_alpha(SimdPath path, std::size_t h, std::size_t w, Bytes a_ch, PhaseOne& r) {
    const std::size_t n = checked_mul(h, w);
    if (n == 0) return;
    const std::uint8_t* a = sub(a_ch, 0, n).data();
    r.alpha_residuals.assign(n, 0);
    r.alpha_analysed = true;
    std::uint8_t* out = r.alpha_residuals.data();
    const std::vector<std::uint8_t> zero_row(w, 0);
    std::uint64_t zeros = 0, err = 0;
    std::uint8_t pred[kSumBlock];
    for (std::size_t y = 0; y < h; ++y) {
        RowSums sums;  // of one row: its zeros fit the 32-bit count
        const std::uint8_t* up = y ? a + (y - 1) * w : zero_row.data();
        const std::uint8_t* row = a + y * w;
        std::uint8_t* z = out + y * w;
        const std::uint8_t P = predict_sample(0, up[0], 0);
        z[0] = zigzag_encode(row[0], P);
        sums.err += abs_error(row[0], P);
        sums.zeros += z[0] == 0;
        for (std::size_t x0 = 1; x0 < w; x0 += kSumBlock) {
            residuals<false>(path, row + x0, up + x0, std::min(kSumBlock, w - x0), z + x0, pred, sums);
        }
        zeros += sums.zeros;
        err += sums.err;
    }
    r.alpha_zeros = zeros;
    r.alpha_abs_err = static_cast<double>(err);
}

// Totals, starts, and the row offsets, which replace the per-row counts in
// place: offsets[y][c][k] = starts[c][k] + counts of shard k in rows above y.
void shard_offsets(std::size_t h, std::size_t K, std::vector<std::uint32_t>& counts, PhaseOne& r) {
    const std::size_t block = 3 * K;
    r.totals.assign(block, 0);
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint32_t* row = counts.data() + y * block;
        for (std::size_t j = 0; j < block; ++j) r.totals[j] += row[j];
    }
    r.starts.assign(block, 0);
    for (std::size_t c = 0; c < 3; ++c) {
        std::uint32_t run = 0;
        for (std::size_t k = 0; k < K; ++k) {
            r.starts[c * K + k] = run;
            run += r.totals[c * K + k];
        }
    }
    std::vector<std::uint32_t> run(r.starts);
    for (std::size_t y = 0; y < h; ++y) {
        std::uint32_t* row = counts.data() + y * block;
        for (std::size_t j = 0; j < block; ++j) {
            const std::uint32_t n = row[j];
            row[j] = run[j];
            run[j] += n;
        }
    }
    r.offsets = std::move(counts);
}

template <int C>
void phase_two(std::size_t h, std::size_t w, const Bytes* planes,
               std::span<const std::uint32_t> row_global_offsets, std::span<std::uint8_t>* streams,
               const ContextTables& caller_tables);

// Phase two from phase one's own results: each channel's residual plane and
// the context numbers it kept (h x w per channel), into streams of h * w
// bytes or more. No store is checked: a shard's row offsets and counts add
// up to its part of a channel of h * w residuals, so every position is below
// h * w.
template <int C>
void place_kept(std::size_t h, std::size_t w, std::size_t K, const ZeroedBytes* residuals,
                const std::uint8_t* contexts, const std::uint32_t* offsets, std::span<std::uint8_t>* streams) {
    const std::size_t stride = w + 2, pixels = h * w;
    for_row_blocks(h, w, [&](std::size_t y0, std::size_t y1) {
        std::vector<std::uint32_t> cursors(kScatterRows * K);
        for (std::size_t y = y0; y < y1; y += kScatterRows) {
            const std::size_t rows = std::min(kScatterRows, y1 - y);
            for (int c = 0; c < C; ++c) {
                for (std::size_t j = 0; j < rows; ++j)
                    std::copy_n(offsets + (y + j) * 3 * K + c * K, K, cursors.data() + j * K);
                const ScatterRows in{residuals[c].data() + (y + 1) * stride + 1, stride,
                                     contexts + c * pixels + y * w, w, w};
                scatter_rows<false>(rows, in, cursors.data(), K, streams[c].data(), streams[c].size());
            }
        }
    });
}

template <int C>
PhaseOne phase_one(std::size_t h, std::size_t w, Bytes a_ch, bool is_rgba, std::size_t K,
                   const ContextTables& caller_tables, ZeroedBytes* planes, const PhaseOneExtras& extras) {
    // the proof below and every lookup read this copy, never the caller's tables
    const PrivateContextTables own(caller_tables);
    PhaseOne r;
    const std::size_t pixels = checked_mul(h, w);
    const std::size_t padded = checked_mul(checked_add(h, 2), checked_add(w, 2));
    const std::size_t hist_size = checked_mul(checked_mul(K, 3), 256);
    for (int c = 0; c < C; ++c) {
        r.planes[c] = std::move(planes[c]);
        r.residuals[c] = ZeroedBytes(padded);
    }
    std::vector<std::uint32_t> counts(checked_mul(h, checked_mul(K, 3)), 0);

    // chunks of ceil(h / n) rows, about kChunkSamples pixels or more each:
    // every chunk zero-fills and merges its own histograms (channels x K x 256
    // counters, hundreds of kilobytes), which on a small image cost more than
    // its rows. One worker takes the image as one chunk; several share it out
    // in up to four chunks each (at most kMaxChunks), for balance when one
    // is busy elsewhere. The last chunks may be short or empty.
    const std::size_t workers = pool::size();
    const std::size_t most = workers == 1 ? 1 : std::min(kMaxChunks, 4 * workers);
    const std::size_t n = std::clamp<std::size_t>(pixels / kChunkSamples, 1,
                                                  std::min<std::size_t>(std::max<std::size_t>(h, 1), most));
    const std::size_t rows = (h + n - 1) / n;
    std::vector<ChunkStats> chunks(n);
    const SimdPath path = simd_path();
    // With streams to fill, the vector paths keep every sample's context
    // number (proven lookups only), and the residuals go from the residual
    // planes into the streams; otherwise phase two runs as its own call would.
    bool fits = extras.streams != nullptr;
    for (int c = 0; c < C && fits; ++c) fits = extras.streams[c].size() >= pixels;
    ZeroedBytes kept;
    const auto run = [&](const auto& ctx) {
        std::uint8_t* contexts[C] = {};
        if constexpr (!is_checked<decltype(ctx)>) {
            if (fits && path != SimdPath::scalar) {
                kept = unfilled_bytes(checked_mul(C, pixels));
                for (int c = 0; c < C; ++c) contexts[c] = kept.data() + c * pixels;
            }
        }
        pool::parallel_each(n, [&](std::size_t j) {
            const std::size_t y0 = std::min(h, j * rows), y1 = std::min(h, (j + 1) * rows);
            ChunkStats& st = chunks[j];
            if (y0 == y1) return;
            st.hist.assign(static_cast<std::size_t>(C) * K * 256, 0);
            if (C == 3 && extras.values) st.vhist.assign(3 * 256, 0);
            analyse_rows<C>(path, ctx, y0, y1, w, K, r.planes, r.residuals, counts.data(),
                            kept.empty() ? nullptr : contexts, st);
        });
    };
    with_context(own, K, run);

    // merge the chunks' private results; integer sums are exact in any order.
    // The first chunk's histograms become the result (their pages are
    // mapped already; a fresh result would take a page fault per 4 KiB) and
    // the others are added in, the counters shared out among the workers.
    r.hist = std::move(chunks[0].hist);
    r.value_hist = std::move(chunks[0].vhist);
    chunks[0].hist.clear();
    chunks[0].vhist.clear();
    r.hist.resize(hist_size, 0);
    if (C == 3) r.value_hist.resize(3 * 256, 0);
    if (n > 1)
        pool::parallel_for(hist_size, kMergeCounters, [&](std::size_t i0, std::size_t i1) {
            for (const ChunkStats& st : chunks) {
                const std::size_t end = std::min(i1, st.hist.size());  // a gray image's chunks count one channel
                for (std::size_t i = i0; i < end; ++i) r.hist[i] += st.hist[i];
            }
        });
    for (const ChunkStats& st : chunks) {
        for (std::size_t i = 0; i < st.vhist.size(); ++i) r.value_hist[i] += st.vhist[i];
        for (int c = 0; c < 3; ++c) {
            r.abs_err[c] += st.err[c];
            r.zeros[c] += st.zeros[c];
        }
    }
    shard_offsets(h, K, counts, r);
    if (is_rgba && !a_ch.empty()) analyse_alpha(path, h, w, a_ch, r);
    if (!kept.empty()) {
        place_kept<C>(h, w, K, r.residuals, kept.data(), r.offsets.data(), extras.streams);
    } else if (extras.streams) {
        Bytes p[C];
        for (int c = 0; c < C; ++c) p[c] = Bytes(r.planes[c].data(), r.planes[c].size());
        phase_two<C>(h, w, p, r.offsets, extras.streams, caller_tables);
    }
    return r;
}

}  // namespace

PhaseOne p1_rgb(std::size_t h, std::size_t w, Bytes rgb_raw, Bytes a_ch, bool is_rgba,
                std::size_t n_shards, const ContextTables& tables, const PhaseOneExtras& extras) {
    const std::size_t pixels = checked_mul(h, w);
    const std::uint8_t* rgb = sub(rgb_raw, 0, checked_mul(pixels, 3)).data();
    const std::size_t stride = checked_add(w, 2);
    const std::size_t padded = checked_mul(checked_add(h, 2), stride);
    ZeroedBytes planes[3];
    for (auto& p : planes) p = ZeroedBytes(padded);
    // colour transform: G, R - G, B - G modulo 256
    const SimdPath path = simd_path();
    for_row_blocks(h, w, [&](std::size_t y0, std::size_t y1) {
        for (std::size_t y = y0; y < y1; ++y) {
            const std::size_t base = (y + 1) * stride + 1;
            colour_transform(path, rgb + y * w * 3, w, planes[0].data() + base, planes[1].data() + base,
                             planes[2].data() + base);
        }
    });
    return phase_one<3>(h, w, a_ch, is_rgba, n_shards, tables, planes, extras);
}

PhaseOne p1_gray(std::size_t h, std::size_t w, Bytes gray_raw, Bytes a_ch, bool is_rgba,
                 std::size_t n_shards, const ContextTables& tables, const PhaseOneExtras& extras) {
    const std::uint8_t* gray = sub(gray_raw, 0, checked_mul(h, w)).data();
    ZeroedBytes planes[1] = {padded<ZeroedBytes>(gray, h, w)};
    return phase_one<1>(h, w, a_ch, is_rgba, n_shards, tables, planes, extras);
}

namespace {

// Predicts the sample at padded index i and writes its residual at its shard's
// cursor; a cursor outside the stream faults before anything is written.
template <class Ctx>
inline std::uint8_t place_sample(const Ctx& ctx, const std::uint8_t* plane, std::size_t i,
                                 std::size_t stride, int key, std::uint32_t* cursors,
                                 std::span<std::uint8_t> stream) {
    const std::uint8_t W = plane[i - 1], N = plane[i - stride], NW = plane[i - stride - 1];
    const std::uint8_t X = plane[i];
    const std::uint8_t P = predict_sample(W, N, NW);
    const std::uint8_t k = ctx(W, N, NW, key < 0 ? P : static_cast<std::uint8_t>(key));
    const std::uint32_t p = cursors[k];
    if (p >= stream.size()) [[unlikely]]
        index_fault(stream.size(), p);
    stream[p] = zigzag_encode(X, P);
    cursors[k] = p + 1;
    return X;
}

// Rows y .. y + rows - 1 of one channel with proven tables: the residual and
// context pass of the chosen path, then the stores at the cursors, the rows
// side by side (on the scalar path, for a lookup without a key, row after
// row, each store as soon as its context number is known). Only a position
// outside the stream can fault, and the caller then redoes the rows in
// sample order.
template <class Ctx>
bool place_rows_proven(SimdPath path, const Ctx& ctx, const std::uint8_t* const* planes, int c, std::size_t y,
                       std::size_t rows, std::size_t w, const std::uint32_t* row_offsets, std::size_t K,
                       std::span<std::uint8_t> stream, RowsScratch& scratch) {
    const std::size_t stride = w + 2;
    const auto input = [&](std::size_t j) {
        const std::size_t base = (y + j + 1) * stride + 1;
        return RowInput{planes[c] + base, planes[c] + base - stride, c ? planes[0] + base : nullptr, w};
    };
    // each row starts from its own offsets, so rows never share a position
    for (std::size_t j = 0; j < rows; ++j)
        std::copy_n(row_offsets + (y + j) * 3 * K + c * K, K, scratch.cursors.data() + j * K);
    // The scalar path stores each residual as soon as its context number is
    // known when the lookup reads no key (the front end's tables): one pass
    // measured faster there; with keys, the two passes measured faster on
    // every path.
    if (path == SimdPath::scalar && !reads_key<Ctx>) {
        for (std::size_t j = 0; j < rows; ++j)
            if (!place_row_portable(ctx, input(j), scratch.cursors.data() + j * K, stream.data(), stream.size(),
                                    scratch.z.data()))
                return false;
        return true;
    }
    for (std::size_t j = 0; j < rows; ++j)
        residuals_and_contexts(path, ctx, input(j), scratch.z.data() + j * w, scratch.k.data() + j * w);
    return scatter_rows(rows, {scratch.z.data(), w, scratch.k.data(), w, w}, scratch.cursors.data(), K,
                        stream.data(), stream.size());
}

template <int C>
void phase_two(std::size_t h, std::size_t w, const Bytes* planes,
               std::span<const std::uint32_t> row_global_offsets, std::span<std::uint8_t>* streams,
               const ContextTables& caller_tables) {
    if (h == 0) return;  // an empty image has nothing to write
    const std::size_t K = row_global_offsets.size() / (3 * h);
    if (w == 0) return;
    // the proof below and every lookup read this copy: the streams written
    // here, or another thread, may change the caller's tables meanwhile
    const PrivateContextTables own(caller_tables);
    const std::size_t stride = checked_add(w, 2);
    // the last sample read is at padded index h * (w + 2) + w
    const std::size_t need = checked_add(checked_mul(h, stride), w + 1);
    const std::uint8_t* p[C];
    for (int c = 0; c < C; ++c) p[c] = sub(planes[c], 0, need).data();
    const std::uint32_t* offsets = row_global_offsets.data();
    const std::size_t grain = std::max<std::size_t>(1, kRowTaskSamples / w);
    const SimdPath path = simd_path();
    const auto run = [&](const auto& ctx) {
        pool::parallel_for(h, grain, [&](std::size_t y0, std::size_t y1) {
            std::vector<std::uint32_t> cursors(C * K);
            RowsScratch scratch(w, K);
            for (std::size_t y = y0; y < y1;) {
                std::size_t rows = 1;
                if constexpr (!is_checked<decltype(ctx)>) {
                    rows = std::min(kScatterRows, y1 - y);
                    bool ok = true;
                    for (int c = 0; c < C && ok; ++c)
                        ok = place_rows_proven(path, ctx, p, c, y, rows, w, offsets, K, streams[c], scratch);
                    if (ok) {
                        y += rows;
                        continue;
                    }
                    // a position outside a stream: redo the rows in sample
                    // order (rewriting the same values) to fault where it should
                }
                for (const std::size_t end = y + rows; y < end; ++y) {
                    for (int c = 0; c < C; ++c)
                        std::copy_n(offsets + y * 3 * K + c * K, K, cursors.data() + c * K);
                    const std::size_t base = (y + 1) * stride + 1;
                    for (std::size_t x = 0; x < w; ++x) {
                        const std::size_t i = base + x;
                        const std::uint8_t g =
                            place_sample(ctx, p[0], i, stride, -1, cursors.data(), streams[0]);
                        if constexpr (C == 3) {
                            place_sample(ctx, p[1], i, stride, g, cursors.data() + K, streams[1]);
                            place_sample(ctx, p[2], i, stride, g, cursors.data() + 2 * K, streams[2]);
                        }
                    }
                }
            }
        });
    };
    with_context(own, K, run);
}

}  // namespace

void p2_rgb(std::size_t h, std::size_t w, Bytes gr_ch, Bytes rd_ch, Bytes bd_ch,
            std::span<const std::uint32_t> row_global_offsets, std::span<std::uint8_t> shard_gr,
            std::span<std::uint8_t> shard_rd, std::span<std::uint8_t> shard_bd,
            const ContextTables& tables) {
    const Bytes planes[3] = {gr_ch, rd_ch, bd_ch};
    std::span<std::uint8_t> streams[3] = {shard_gr, shard_rd, shard_bd};
    phase_two<3>(h, w, planes, row_global_offsets, streams, tables);
}

void p2_gray(std::size_t h, std::size_t w, Bytes gr_ch,
             std::span<const std::uint32_t> row_global_offsets, std::span<std::uint8_t> shard_gr,
             const ContextTables& tables) {
    const Bytes planes[1] = {gr_ch};
    std::span<std::uint8_t> streams[1] = {shard_gr};
    phase_two<1>(h, w, planes, row_global_offsets, streams, tables);
}

}  // namespace rans

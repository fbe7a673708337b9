// The image side of the codec: the colour transform and the two analysis
// phases of the encoder, residual reconstruction and channel restoration in
// the decoder. Channel 0 is green (or gray), 1 is red minus green, 2 is blue
// minus green; planes are padded (h+2) x (w+2) with a zero border unless a
// name says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "predict.hpp"
#include "zeroed.hpp"

namespace rans {

// Everything phase one hands back. `value_hist` stays empty for gray images;
// the gray result fills only the channel-0 blocks of the 3-channel arrays.
struct PhaseOne {
    ZeroedBytes planes[3];     // padded colour planes (gray: only [0])
    ZeroedBytes residuals[3];  // padded residual planes (gray: only [0])
    std::vector<std::uint32_t> value_hist;   // 3 x 256
    std::vector<std::uint32_t> totals;       // 3 x K
    std::vector<std::uint32_t> hist;         // 3 x K x 256
    std::vector<std::uint32_t> starts;       // 3 x K
    std::vector<std::uint32_t> offsets;      // h x 3 x K
    std::uint32_t zeros[3] = {0, 0, 0};
    std::uint64_t abs_err[3] = {0, 0, 0};
    std::vector<std::uint8_t> alpha_residuals;  // h x w, or empty when alpha is not analysed
    bool alpha_analysed = false;
    std::uint64_t alpha_zeros = 0;
    double alpha_abs_err = 0.0;
};

// What a call of phase one does besides. `streams` (one per colour channel,
// or null): fill them as phase two would with the offsets found, in the same
// call, so that the front end's encoder predicts every sample once. `values`:
// count value_hist (else it stays zero).
struct PhaseOneExtras {
    std::span<std::uint8_t>* streams = nullptr;
    bool values = true;
};

PhaseOne p1_rgb(std::size_t h, std::size_t w, Bytes rgb_raw, Bytes a_ch, bool is_rgba,
                std::size_t n_shards, const ContextTables& tables, const PhaseOneExtras& extras = {});
PhaseOne p1_gray(std::size_t h, std::size_t w, Bytes gray_raw, Bytes a_ch, bool is_rgba,
                 std::size_t n_shards, const ContextTables& tables, const PhaseOneExtras& extras = {});

// Phase two: writes each residual into its channel's shard stream at the
// position given by the row offsets of phase one; faults on any position
// outside a stream. Nothing to do for h = 0.
void p2_rgb(std::size_t h, std::size_t w, Bytes gr_ch, Bytes rd_ch, Bytes bd_ch,
            std::span<const std::uint32_t> row_global_offsets, std::span<std::uint8_t> shard_gr,
            std::span<std::uint8_t> shard_rd, std::span<std::uint8_t> shard_bd,
            const ContextTables& tables);
void p2_gray(std::size_t h, std::size_t w, Bytes gr_ch,
             std::span<const std::uint32_t> row_global_offsets, std::span<std::uint8_t> shard_gr,
             const ContextTables& tables);

// Rebuilds the three unpadded h x w colour planes from their shard streams:
// green first, then the chroma planes, whose contexts are keyed by green.
struct ColourPlanes {
    ZeroedBytes g, rd, bd;  // zero-filled by calloc: planes never written cost no pages
};
ColourPlanes reconstruct_shards_rgb(std::size_t h, std::size_t w, Bytes res_gr, Bytes res_rd,
                                    Bytes res_bd, std::span<const std::uint32_t> off_gr,
                                    std::span<const std::uint32_t> off_rd,
                                    std::span<const std::uint32_t> off_bd,
                                    const ContextTables& tables);

// The two chroma planes of reconstruct_shards_rgb when the caller already has
// the (unpadded, h x w) green plane, as the front end does when green was
// coded by the bit-pair coder: the same planes and the same faults as that
// call given green's own shard stream, without rebuilding green.
struct ChromaPlanes {
    ZeroedBytes rd, bd;
};
ChromaPlanes reconstruct_chroma(std::size_t h, std::size_t w, Bytes green, Bytes res_rd, Bytes res_bd,
                                std::span<const std::uint32_t> off_rd, std::span<const std::uint32_t> off_bd,
                                const ContextTables& tables);

// Rebuilds one unpadded h x w plane from residuals in scan order, no contexts.
std::vector<std::uint8_t> reconstruct_2d_channels(std::size_t h, std::size_t w, Bytes res_ch);

// Interleaves the planes into h x w x c pixels (c = 4 with alpha, else 3),
// adding green back to the chroma planes when apply_gsub is set.
ZeroedBytes restore_channels(std::size_t h, std::size_t w, Bytes gr, Bytes rd, Bytes bd,
                                           Bytes a, bool is_rgba, bool is_grayscale, bool apply_gsub);

}  // namespace rans

// The bit-pair context coder: every residual byte is coded as four two-bit
// symbols, one per bit-pair plane (bits 0-1, 2-3, 4-5, 6-7), each with a
// four-symbol table chosen by the sample's context number and the same bit
// pair of the residuals of its W, N and NW neighbours. Plane j has its own
// rANS state, and a whole channel forms one stream.
//
// Pair tables live in two flat arrays: the frequencies of (plane j, bit-pair
// context k) at 4*(j*n_ctx + k) and the cumulative row (0, f0, f0+f1,
// f0+f1+f2, 4096) at 5*(j*n_ctx + k).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "predict.hpp"

namespace rans {

// Four counts to four frequencies >= 1 that sum to 4096. Each count is scaled
// by 4096 before the division and rounded half away from zero; the largest
// frequency (ties to the higher symbol) absorbs the rounding error.
std::array<std::uint16_t, 4> normalise_pair_counts(std::uint64_t c0, std::uint64_t c1,
                                                   std::uint64_t c2, std::uint64_t c3);

struct PairTables {
    std::vector<std::uint16_t> freqs;  // (4, n_ctx, 4)
    std::vector<std::uint16_t> cums;   // (4, n_ctx, 5)
};

// Pair tables of one channel. The context plane is the channel's own sample
// plane with the non-chroma rule (intensity key = prediction), or the green
// plane with the chroma rule (intensity key = co-located green sample).
PairTables bp_build_pdf_sharded(Bytes resid, Bytes ctx, const ContextTables& t, std::size_t h,
                                std::size_t w, std::size_t n_ctx, bool is_chroma);

// Green, red minus green and blue minus green in one pass over the pixels,
// all with the green sample plane as context plane; equal to three calls of
// bp_build_pdf_sharded.
std::array<PairTables, 3> bp_build_pdf_sharded_rgb(Bytes gr, Bytes rd, Bytes bd, Bytes gr_ref,
                                                   const ContextTables& t, std::size_t h,
                                                   std::size_t w, std::size_t n_ctx);

struct BitPairStream {
    std::array<std::uint64_t, 4> states;  // the final state of plane 0 first
    std::vector<std::uint8_t> bytes;      // in emission order
};

// Codes a padded residual plane, pixels last to first and planes 3 to 0.
// A table giving frequency 0 to a symbol that occurs is refused
// (InvalidInput), since no state could ever code it.
BitPairStream bp_encode_sharded(Bytes resid, Bytes ctx, Words cf, Words sf, const ContextTables& t,
                                std::size_t h, std::size_t w, std::size_t n_ctx, bool is_chroma);

// What a decoder is given: the stream, the encoder's final states, the image
// size and the pair tables (n_ctx = cf.size() / 20).
struct BitPairCoded {
    Bytes stream;
    std::array<std::uint64_t, 4> states;
    std::size_t h, w;
    Words cf, sf;
};

// The first pixel whose decoded residual differs from the expected one, with
// 1-based padded coordinates and the read position and states from before it.
struct BitPairMismatch {
    std::uint64_t row, col;
    std::int64_t pos;
    std::array<std::uint64_t, 4> states;
    std::uint8_t expected, decoded;
};

// Each returns the h x w residuals, row-major (the samples variant its samples).
// Non-chroma rule, the context plane rebuilt from the decoded residuals.
std::vector<std::uint8_t> bp_decode_sharded(const BitPairCoded& in, const ContextTables& t);
// The same decode's h x w sample plane, rebuilt from the residuals as
// reconstruct_2d_channels rebuilds it (the decoder predicts every sample for
// its contexts anyway), with the same faults.
std::vector<std::uint8_t> bp_decode_sharded_samples(const BitPairCoded& in, const ContextTables& t);
// Chroma rule, with the encoder's context plane (the padded green plane).
std::vector<std::uint8_t> bp_decode_sharded_with_ref(const BitPairCoded& in, Bytes ref,
                                                     const ContextTables& t);
// bp_decode_sharded, compared pixel by pixel with the encoded residuals.
std::vector<std::uint8_t> bp_decode_sharded_debug(const BitPairCoded& in, const ContextTables& t,
                                                  Bytes orig_resid,
                                                  std::optional<BitPairMismatch>& report);

// Testing hook: with it set, the decoders run every row through the checked
// path (each read tested) instead of the fast rows, which must give the same
// residuals and the same faults.
void bp_set_checked_rows_only(bool on);
bool bp_checked_rows_only();

}  // namespace rans

// The signatures of the module's 25 functions: each parameter's name, kind,
// element type, dimensions, and whether the array is read flat or logically
// or filled in place, in declared order. This is the one place that order
// lives: the call frame binds Python arguments by it, and the bindings find
// a parameter's position by its name at compile time (`Named`).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "frame.hpp"

namespace binding {

// A function's parameters by name: `constexpr Named p{sig::p2_gray};` then
// `f.u64(p["h"])`. A name that is not in the signature makes the lookup throw
// during constant evaluation, so the binding does not compile.
struct Named {
    std::span<const Param> params;
    consteval std::size_t operator[](std::string_view name) const {
        for (std::size_t i = 0; i < params.size(); ++i)
            if (std::string_view(params[i].name) == name) return i;
        throw "no parameter of that name in this signature";
    }
};

namespace sig {

constexpr Param flat(const char* n, Elem e, int nd) { return {n, Kind::Array, e, nd, Read::Flat, false}; }
constexpr Param logical(const char* n, Elem e, int nd) { return {n, Kind::Array, e, nd, Read::Logical, false}; }
constexpr Param filled(const char* n, Elem e, int nd) { return {n, Kind::Array, e, nd, Read::Flat, true}; }
constexpr Param u64(const char* n) { return {n, Kind::U64}; }
constexpr Param size(const char* n) { return {n, Kind::Size}; }
constexpr Param boolean(const char* n) { return {n, Kind::Bool}; }
constexpr Param real(const char* n) { return {n, Kind::Float}; }

constexpr Elem U8 = Elem::U8, U16 = Elem::U16, U32 = Elem::U32, U64 = Elem::U64;

inline constexpr Param set_rayon_threads[] = {size("n")};
inline constexpr Param build_all_lookups[] = {logical("all_cum_freqs", U64, 3)};
inline constexpr Param rans_decode_4way_core[] = {
    u64("st0"), u64("st1"), u64("st2"), u64("st3"), flat("bitstream", U8, 1),
    flat("cum_freqs", U64, 1), flat("sym_freqs", U64, 1), flat("slot_lookup", U8, 1),
    filled("out", U8, 1)};
inline constexpr Param rans_encode_shards_parallel[] = {
    flat("data_flat", U8, 1), flat("shard_offsets", U32, 1), flat("shard_lengths", U32, 1),
    logical("cum_freqs", U64, 2), logical("sym_freqs", U64, 2), u64("initial_state")};
inline constexpr Param rans_decode_shards_parallel[] = {
    flat("payload", U8, 1), flat("shard_counts", U32, 1), logical("cum_freqs", U64, 2),
    logical("sym_freqs", U64, 2), logical("lookups", U8, 2)};
inline constexpr Param rans_decode_own_lookups[] = {
    flat("payload", U8, 1), flat("shard_counts", U32, 1), logical("cum_freqs", U64, 2),
    logical("sym_freqs", U64, 2)};
inline constexpr Param pack_shard_payloads[] = {
    logical("final_states", U64, 2), flat("bs_lengths", U32, 1), flat("bs_offsets", U32, 1),
    flat("bitstreams_flat", U8, 1), filled("out", U8, 1), flat("write_offsets", U32, 1)};
inline constexpr Param build_pdf_tables_from_shards[] = {
    flat("data_flat", U8, 1), flat("shard_offsets", U32, 1), flat("shard_lengths", U32, 1),
    flat("shard_widths", U16, 1), logical("templates", U64, 2), boolean("disable_templates")};
inline constexpr Param decide_shard_mode[] = {
    flat("counts", U64, 1), size("width"), real("header_penalty_bits"),
    logical("templates", U64, 2), boolean("disable_templates")};
inline constexpr Param compact_pdf_tables[] = {
    logical("all_sym_freqs", U64, 2), flat("shard_widths", U16, 1), flat("shard_modes", U8, 1)};
inline constexpr Param expand_pdf_tables[] = {
    flat("compacted", U8, 1), flat("shard_widths", U16, 1), flat("shard_modes", U8, 1),
    logical("templates", U64, 2)};
inline constexpr Param restore_channels[] = {
    flat("gr_rec", U8, 2), flat("rd_rec", U8, 2), flat("bd_rec", U8, 2), flat("a_ch", U8, 2),
    boolean("is_rgba"), boolean("is_grayscale"), boolean("apply_gsub")};
inline constexpr Param p1_rgb[] = {
    size("h"), size("w"), flat("rgb_raw", U8, 3), flat("a_ch", U8, 2), boolean("is_rgba"),
    size("n_shards"), flat("s_lut", U8, 2), flat("i_lut", U8, 1), flat("d_lut", U8, 2)};
inline constexpr Param p1_gray[] = {
    size("h"), size("w"), flat("gray_raw", U8, 2), flat("a_ch", U8, 2), boolean("is_rgba"),
    size("n_shards"), flat("s_lut", U8, 2), flat("i_lut", U8, 1), flat("d_lut", U8, 2)};
inline constexpr Param p2_rgb[] = {
    size("h"), size("w"), flat("gr_ch", U8, 2), flat("rd_ch", U8, 2), flat("bd_ch", U8, 2),
    flat("row_global_offsets", U32, 3), filled("shard_gr", U8, 1), filled("shard_rd", U8, 1),
    filled("shard_bd", U8, 1), flat("s_lut", U8, 2), flat("i_lut", U8, 1), flat("d_lut", U8, 2)};
inline constexpr Param p2_gray[] = {
    size("h"), size("w"), flat("gr_ch", U8, 2), flat("row_global_offsets", U32, 3),
    filled("shard_gr", U8, 1), flat("s_lut", U8, 2), flat("i_lut", U8, 1), flat("d_lut", U8, 2)};
inline constexpr Param reconstruct_shards_rgb[] = {
    size("h"), size("w"), flat("res_gr", U8, 1), flat("res_rd", U8, 1), flat("res_bd", U8, 1),
    flat("off_gr", U32, 1), flat("off_rd", U32, 1), flat("off_bd", U32, 1), flat("s_lut", U8, 2),
    flat("i_lut", U8, 1), flat("d_lut", U8, 2)};
inline constexpr Param reconstruct_2d_channels[] = {size("h"), size("w"), flat("res_ch", U8, 2)};
inline constexpr Param bp_build_pdf_sharded[] = {
    flat("resid_flat", U8, 1), flat("gray_flat", U8, 1), flat("s_lut", U8, 1),
    flat("i_lut", U8, 1), flat("d_lut", U8, 1), size("h"), size("w"), size("n_ctx"),
    boolean("is_chroma")};
inline constexpr Param bp_build_pdf_sharded_rgb[] = {
    flat("gr_flat", U8, 1), flat("rd_flat", U8, 1), flat("bd_flat", U8, 1),
    flat("gr_ref_flat", U8, 1), flat("s_lut", U8, 1), flat("i_lut", U8, 1), flat("d_lut", U8, 1),
    size("h"), size("w"), size("n_ctx")};
inline constexpr Param bp_encode_sharded[] = {
    flat("resid_flat", U8, 1), flat("gray_flat", U8, 1), logical("all_cf", U16, 3),
    logical("all_sf", U16, 3), flat("s_lut", U8, 1), flat("i_lut", U8, 1), flat("d_lut", U8, 1),
    size("h"), size("w"), size("n_ctx"), boolean("is_chroma")};
inline constexpr Param bp_decode_sharded[] = {
    flat("bitstream", U8, 1), u64("st0"), u64("st1"), u64("st2"), u64("st3"), size("h"), size("w"),
    logical("all_cf", U16, 3), logical("all_sf", U16, 3), flat("s_lut", U8, 1),
    flat("i_lut", U8, 1), flat("d_lut", U8, 1)};
inline constexpr Param bp_decode_sharded_with_ref[] = {
    flat("bitstream", U8, 1), u64("st0"), u64("st1"), u64("st2"), u64("st3"), size("h"), size("w"),
    logical("all_cf", U16, 3), logical("all_sf", U16, 3), flat("ref_ch_flat", U8, 1),
    flat("s_lut", U8, 1), flat("i_lut", U8, 1), flat("d_lut", U8, 1)};
inline constexpr Param bp_decode_sharded_debug[] = {
    flat("bitstream", U8, 1), u64("st0"), u64("st1"), u64("st2"), u64("st3"), size("h"), size("w"),
    logical("all_cf", U16, 3), logical("all_sf", U16, 3), flat("s_lut", U8, 1),
    flat("i_lut", U8, 1), flat("d_lut", U8, 1), flat("orig_resid_flat", U8, 1),
    flat("orig_gray_flat", U8, 1)};

// The front end's own entries, outside the 25 functions and __all__.
// The parameters of `first`, then those of `then`.
template <std::size_t N, std::size_t M>
consteval std::array<Param, N + M> joined(const Param (&first)[N], const Param (&then)[M]) {
    std::array<Param, N + M> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = first[i];
    for (std::size_t i = 0; i < M; ++i) out[N + i] = then[i];
    return out;
}
inline constexpr Param rgb_streams[] = {filled("shard_gr", U8, 1), filled("shard_rd", U8, 1), filled("shard_bd", U8, 1)};
inline constexpr Param gray_stream[] = {filled("shard_gr", U8, 1)};
// phase one's arguments, then the streams phase two fills
inline constexpr auto p1_p2_rgb = joined(p1_rgb, rgb_streams);
inline constexpr auto p1_p2_gray = joined(p1_gray, gray_stream);
inline constexpr Param reconstruct_chroma[] = {
    size("h"), size("w"), flat("green", U8, 2), flat("res_rd", U8, 1), flat("res_bd", U8, 1),
    flat("off_rd", U32, 1), flat("off_bd", U32, 1), flat("s_lut", U8, 2), flat("i_lut", U8, 1),
    flat("d_lut", U8, 2)};
inline constexpr Param varints[] = {flat("window", U8, 1), size("count")};
inline constexpr Param varint_bytes[] = {flat("values", U64, 1)};
inline constexpr Param group_tables[] = {
    flat("raw", U8, 1), flat("plane_shards", U32, 1), u64("plane_pixels"), logical("templates", U64, 2)};
inline constexpr Param group_states[] = {flat("section", U8, 1), flat("counts", U32, 1), flat("modes", U8, 1)};
inline constexpr Param group_bytes[] = {
    flat("modes", U8, 1), flat("counts", U32, 1), flat("widths", U16, 1), logical("freq", U64, 2),
    logical("states", U64, 2), flat("lengths", U32, 1)};
inline constexpr Param shard_tables[] = {
    logical("counts", U64, 2), logical("templates", U64, 2), logical("template_costs", U32, 2),
    flat("own_costs", U32, 1)};
inline constexpr Param table_costs[] = {
    logical("counts", U32, 2), flat("widths", U16, 1), logical("costs", U32, 2)};

}  // namespace sig
}  // namespace binding

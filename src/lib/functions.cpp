// The parameter table: every function of the module, in registration order,
// with its parameters in declared order. The call frame is driven entirely by
// this table; nothing else restates a parameter's kind, type or shape.
#include "bindings.hpp"

namespace binding {
namespace {

constexpr Param flat(const char* n, Elem e, int nd) { return {n, Kind::Array, e, nd, Read::Flat, false}; }
constexpr Param logical(const char* n, Elem e, int nd) { return {n, Kind::Array, e, nd, Read::Logical, false}; }
constexpr Param filled(const char* n, Elem e, int nd) { return {n, Kind::Array, e, nd, Read::Flat, true}; }
constexpr Param u64(const char* n) { return {n, Kind::U64}; }
constexpr Param size(const char* n) { return {n, Kind::Size}; }
constexpr Param boolean(const char* n) { return {n, Kind::Bool}; }
constexpr Param real(const char* n) { return {n, Kind::Float}; }

constexpr Elem U8 = Elem::U8, U16 = Elem::U16, U32 = Elem::U32, U64 = Elem::U64;

constexpr Param kSetRayonThreads[] = {size("n")};
constexpr Param kBuildAllLookups[] = {logical("all_cum_freqs", U64, 3)};
constexpr Param kDecode4way[] = {u64("st0"), u64("st1"), u64("st2"), u64("st3"),
                                 flat("bitstream", U8, 1), flat("cum_freqs", U64, 1),
                                 flat("sym_freqs", U64, 1), flat("slot_lookup", U8, 1),
                                 filled("out", U8, 1)};
constexpr Param kEncodeShards[] = {flat("data_flat", U8, 1), flat("shard_offsets", U32, 1),
                                   flat("shard_lengths", U32, 1), logical("cum_freqs", U64, 2),
                                   logical("sym_freqs", U64, 2), u64("initial_state")};
constexpr Param kDecodeShards[] = {flat("payload", U8, 1), flat("shard_counts", U32, 1),
                                   logical("cum_freqs", U64, 2), logical("sym_freqs", U64, 2),
                                   logical("lookups", U8, 2)};
constexpr Param kPack[] = {logical("final_states", U64, 2), flat("bs_lengths", U32, 1),
                           flat("bs_offsets", U32, 1), flat("bitstreams_flat", U8, 1),
                           filled("out", U8, 1), flat("write_offsets", U32, 1)};
constexpr Param kBuildPdf[] = {flat("data_flat", U8, 1), flat("shard_offsets", U32, 1),
                               flat("shard_lengths", U32, 1), flat("shard_widths", U16, 1),
                               logical("templates", U64, 2), boolean("disable_templates")};
constexpr Param kDecideMode[] = {flat("counts", U64, 1), size("width"), real("header_penalty_bits"),
                                 logical("templates", U64, 2), boolean("disable_templates")};
constexpr Param kCompact[] = {logical("all_sym_freqs", U64, 2), flat("shard_widths", U16, 1),
                              flat("shard_modes", U8, 1)};
constexpr Param kExpand[] = {flat("compacted", U8, 1), flat("shard_widths", U16, 1),
                             flat("shard_modes", U8, 1), logical("templates", U64, 2)};
constexpr Param kRestore[] = {flat("gr_rec", U8, 2), flat("rd_rec", U8, 2), flat("bd_rec", U8, 2),
                              flat("a_ch", U8, 2), boolean("is_rgba"), boolean("is_grayscale"),
                              boolean("apply_gsub")};
constexpr Param kP1Rgb[] = {size("h"), size("w"), flat("rgb_raw", U8, 3), flat("a_ch", U8, 2),
                            boolean("is_rgba"), size("n_shards"), flat("s_lut", U8, 2),
                            flat("i_lut", U8, 1), flat("d_lut", U8, 2)};
constexpr Param kP1Gray[] = {size("h"), size("w"), flat("gray_raw", U8, 2), flat("a_ch", U8, 2),
                             boolean("is_rgba"), size("n_shards"), flat("s_lut", U8, 2),
                             flat("i_lut", U8, 1), flat("d_lut", U8, 2)};
constexpr Param kP2Rgb[] = {size("h"), size("w"), flat("gr_ch", U8, 2), flat("rd_ch", U8, 2),
                            flat("bd_ch", U8, 2), flat("row_global_offsets", U32, 3),
                            filled("shard_gr", U8, 1), filled("shard_rd", U8, 1),
                            filled("shard_bd", U8, 1), flat("s_lut", U8, 2), flat("i_lut", U8, 1),
                            flat("d_lut", U8, 2)};
constexpr Param kP2Gray[] = {size("h"), size("w"), flat("gr_ch", U8, 2),
                             flat("row_global_offsets", U32, 3), filled("shard_gr", U8, 1),
                             flat("s_lut", U8, 2), flat("i_lut", U8, 1), flat("d_lut", U8, 2)};
constexpr Param kReconstructRgb[] = {size("h"), size("w"), flat("res_gr", U8, 1), flat("res_rd", U8, 1),
                                     flat("res_bd", U8, 1), flat("off_gr", U32, 1), flat("off_rd", U32, 1),
                                     flat("off_bd", U32, 1), flat("s_lut", U8, 2), flat("i_lut", U8, 1),
                                     flat("d_lut", U8, 2)};
constexpr Param kReconstruct2d[] = {size("h"), size("w"), flat("res_ch", U8, 2)};
constexpr Param kBpBuild[] = {flat("resid_flat", U8, 1), flat("gray_flat", U8, 1), flat("s_lut", U8, 1),
                              flat("i_lut", U8, 1), flat("d_lut", U8, 1), size("h"), size("w"),
                              size("n_ctx"), boolean("is_chroma")};
constexpr Param kBpBuildRgb[] = {flat("gr_flat", U8, 1), flat("rd_flat", U8, 1), flat("bd_flat", U8, 1),
                                 flat("gr_ref_flat", U8, 1), flat("s_lut", U8, 1), flat("i_lut", U8, 1),
                                 flat("d_lut", U8, 1), size("h"), size("w"), size("n_ctx")};
constexpr Param kBpEncode[] = {flat("resid_flat", U8, 1), flat("gray_flat", U8, 1),
                               logical("all_cf", U16, 3), logical("all_sf", U16, 3), flat("s_lut", U8, 1),
                               flat("i_lut", U8, 1), flat("d_lut", U8, 1), size("h"), size("w"),
                               size("n_ctx"), boolean("is_chroma")};
constexpr Param kBpDecode[] = {flat("bitstream", U8, 1), u64("st0"), u64("st1"), u64("st2"), u64("st3"),
                               size("h"), size("w"), logical("all_cf", U16, 3), logical("all_sf", U16, 3),
                               flat("s_lut", U8, 1), flat("i_lut", U8, 1), flat("d_lut", U8, 1)};
constexpr Param kBpDecodeRef[] = {flat("bitstream", U8, 1), u64("st0"), u64("st1"), u64("st2"), u64("st3"),
                                  size("h"), size("w"), logical("all_cf", U16, 3),
                                  logical("all_sf", U16, 3), flat("ref_ch_flat", U8, 1),
                                  flat("s_lut", U8, 1), flat("i_lut", U8, 1), flat("d_lut", U8, 1)};
constexpr Param kBpDecodeDebug[] = {flat("bitstream", U8, 1), u64("st0"), u64("st1"), u64("st2"),
                                    u64("st3"), size("h"), size("w"), logical("all_cf", U16, 3),
                                    logical("all_sf", U16, 3), flat("s_lut", U8, 1), flat("i_lut", U8, 1),
                                    flat("d_lut", U8, 1), flat("orig_resid_flat", U8, 1),
                                    flat("orig_gray_flat", U8, 1)};

constexpr bool kReleased = true, kHeld = false;

const FnSpec kFunctions[] = {
    {"get_backend_info", {}, kHeld, get_backend_info},
    {"set_rayon_threads", kSetRayonThreads, kHeld, set_rayon_threads},
    {"get_magic_lut", {}, kHeld, get_magic_lut},
    {"build_pdf_tables_from_shards", kBuildPdf, kReleased, build_pdf_tables_from_shards},
    {"rans_encode_shards_parallel", kEncodeShards, kReleased, rans_encode_shards_parallel},
    {"rans_decode_shards_parallel", kDecodeShards, kReleased, rans_decode_shards_parallel},
    {"rans_decode_4way_core", kDecode4way, kHeld, rans_decode_4way_core},
    {"pack_shard_payloads", kPack, kHeld, pack_shard_payloads},
    {"build_all_lookups", kBuildAllLookups, kReleased, build_all_lookups},
    {"compact_pdf_tables", kCompact, kReleased, compact_pdf_tables},
    {"expand_pdf_tables", kExpand, kReleased, expand_pdf_tables},
    {"bp_decode_sharded_debug", kBpDecodeDebug, kReleased, bp_decode_sharded_debug},
    {"bp_build_pdf_sharded", kBpBuild, kReleased, bp_build_pdf_sharded},
    {"bp_build_pdf_sharded_rgb", kBpBuildRgb, kReleased, bp_build_pdf_sharded_rgb},
    {"bp_encode_sharded", kBpEncode, kReleased, bp_encode_sharded},
    {"bp_decode_sharded", kBpDecode, kReleased, bp_decode_sharded},
    {"bp_decode_sharded_with_ref", kBpDecodeRef, kReleased, bp_decode_sharded_with_ref},
    {"p1_gray", kP1Gray, kReleased, p1_gray},
    {"p1_rgb", kP1Rgb, kReleased, p1_rgb},
    {"decide_shard_mode", kDecideMode, kReleased, decide_shard_mode},
    {"p2_rgb", kP2Rgb, kReleased, p2_rgb},
    {"p2_gray", kP2Gray, kReleased, p2_gray},
    {"reconstruct_shards_rgb", kReconstructRgb, kReleased, reconstruct_shards_rgb},
    {"restore_channels", kRestore, kReleased, restore_channels},
    {"reconstruct_2d_channels", kReconstruct2d, kReleased, reconstruct_2d_channels},
};

}  // namespace

std::span<const FnSpec> function_table() { return kFunctions; }

}  // namespace binding

// The function table: every function of the module in registration order,
// with its parameters (signatures.hpp), whether the interpreter lock is
// released around its work, and its binding. The call frame is driven
// entirely by this table; nothing else restates a parameter's kind, type or
// shape.
#include "bindings.hpp"
#include "signatures.hpp"

namespace binding {
namespace {

constexpr bool kReleased = true, kHeld = false;

constexpr Signature kFunctions[] = {
    {"get_backend_info", {}, kHeld, get_backend_info},
    {"set_rayon_threads", sig::set_rayon_threads, kHeld, set_rayon_threads},
    {"get_magic_lut", {}, kHeld, get_magic_lut},
    {"build_pdf_tables_from_shards", sig::build_pdf_tables_from_shards, kReleased, build_pdf_tables_from_shards},
    {"rans_encode_shards_parallel", sig::rans_encode_shards_parallel, kReleased, rans_encode_shards_parallel},
    {"rans_decode_shards_parallel", sig::rans_decode_shards_parallel, kReleased, rans_decode_shards_parallel},
    {"rans_decode_4way_core", sig::rans_decode_4way_core, kHeld, rans_decode_4way_core},
    {"pack_shard_payloads", sig::pack_shard_payloads, kHeld, pack_shard_payloads},
    {"build_all_lookups", sig::build_all_lookups, kReleased, build_all_lookups},
    {"compact_pdf_tables", sig::compact_pdf_tables, kReleased, compact_pdf_tables},
    {"expand_pdf_tables", sig::expand_pdf_tables, kReleased, expand_pdf_tables},
    {"bp_decode_sharded_debug", sig::bp_decode_sharded_debug, kReleased, bp_decode_sharded_debug},
    {"bp_build_pdf_sharded", sig::bp_build_pdf_sharded, kReleased, bp_build_pdf_sharded},
    {"bp_build_pdf_sharded_rgb", sig::bp_build_pdf_sharded_rgb, kReleased, bp_build_pdf_sharded_rgb},
    {"bp_encode_sharded", sig::bp_encode_sharded, kReleased, bp_encode_sharded},
    {"bp_decode_sharded", sig::bp_decode_sharded, kReleased, bp_decode_sharded},
    {"bp_decode_sharded_with_ref", sig::bp_decode_sharded_with_ref, kReleased, bp_decode_sharded_with_ref},
    {"p1_gray", sig::p1_gray, kReleased, p1_gray},
    {"p1_rgb", sig::p1_rgb, kReleased, p1_rgb},
    {"decide_shard_mode", sig::decide_shard_mode, kReleased, decide_shard_mode},
    {"p2_rgb", sig::p2_rgb, kReleased, p2_rgb},
    {"p2_gray", sig::p2_gray, kReleased, p2_gray},
    {"reconstruct_shards_rgb", sig::reconstruct_shards_rgb, kReleased, reconstruct_shards_rgb},
    {"restore_channels", sig::restore_channels, kReleased, restore_channels},
    {"reconstruct_2d_channels", sig::reconstruct_2d_channels, kReleased, reconstruct_2d_channels},
};

// Private entries of the package's front end: called like the 25, not listed
// in __all__ (module.cpp registers as many as it has entry points for).
constexpr Signature kPrivate[] = {
    {"_table_costs", sig::table_costs, kReleased, table_costs},
    {"_shard_tables", sig::shard_tables, kReleased, shard_tables},
    {"_p1_p2_rgb", sig::p1_p2_rgb, kReleased, p1_p2_rgb},
    {"_p1_p2_gray", sig::p1_p2_gray, kReleased, p1_p2_gray},
    {"_rans_encode_shards_packed", sig::rans_encode_shards_parallel, kReleased, rans_encode_shards_packed},
    {"_rans_decode_own_lookups", sig::rans_decode_own_lookups, kReleased, rans_decode_own_lookups},
    {"_reconstruct_chroma", sig::reconstruct_chroma, kReleased, reconstruct_chroma},
    {"_bp_decode_samples", sig::bp_decode_sharded, kReleased, bp_decode_samples},
    {"_varints", sig::varints, kHeld, varints},
    {"_varint_bytes", sig::varint_bytes, kHeld, varint_bytes},
    {"_group_tables", sig::group_tables, kReleased, group_tables},
    {"_group_states", sig::group_states, kHeld, group_states},
    {"_group_bytes", sig::group_bytes, kHeld, group_bytes},
};

// Every call's arguments fit the frame's slots.
template <std::size_t N>
consteval bool fit_frame(const Signature (&table)[N]) {
    for (const Signature& s : table)
        if (s.params.size() > kMaxParams) return false;
    return true;
}
static_assert(fit_frame(kFunctions) && fit_frame(kPrivate));

}  // namespace

std::span<const Signature> function_table() { return kFunctions; }
std::span<const Signature> private_function_table() { return kPrivate; }

}  // namespace binding

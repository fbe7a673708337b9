// The per-function bindings: each takes the converted views from the frame,
// runs the core (with the lock released where the table says so) and builds
// the results. They live next to the core group they call.
#pragma once

#include "frame.hpp"

namespace binding {

// bind_simd.cpp: the private hooks (not among the 25 functions)
int add_private_hooks(PyObject* module);

// runtime.cpp
PyObject* get_backend_info(Frame&);
PyObject* set_rayon_threads(Frame&);

// bind_coder.cpp
PyObject* build_all_lookups(Frame&);
PyObject* get_magic_lut(Frame&);
PyObject* rans_encode_shards_parallel(Frame&);
PyObject* rans_encode_shards_packed(Frame&);
PyObject* rans_decode_shards_parallel(Frame&);
PyObject* rans_decode_own_lookups(Frame&);
PyObject* rans_decode_4way_core(Frame&);
PyObject* pack_shard_payloads(Frame&);

// bind_tables.cpp
PyObject* build_pdf_tables_from_shards(Frame&);
PyObject* decide_shard_mode(Frame&);
PyObject* compact_pdf_tables(Frame&);
PyObject* expand_pdf_tables(Frame&);
PyObject* table_costs(Frame&);
PyObject* shard_tables(Frame&);

// bind_image.cpp
PyObject* p1_gray(Frame&);
PyObject* p1_rgb(Frame&);
PyObject* p2_rgb(Frame&);
PyObject* p2_gray(Frame&);
PyObject* reconstruct_shards_rgb(Frame&);
PyObject* p1_p2_rgb(Frame&);
PyObject* p1_p2_gray(Frame&);
PyObject* restore_channels(Frame&);
PyObject* reconstruct_2d_channels(Frame&);
PyObject* reconstruct_chroma(Frame&);

// bind_bitpair.cpp
PyObject* bp_decode_sharded_debug(Frame&);
PyObject* bp_build_pdf_sharded(Frame&);
PyObject* bp_build_pdf_sharded_rgb(Frame&);
PyObject* bp_encode_sharded(Frame&);
PyObject* bp_decode_sharded(Frame&);
PyObject* bp_decode_sharded_with_ref(Frame&);
PyObject* bp_decode_samples(Frame&);

// bind_container.cpp
PyObject* varints(Frame&);
PyObject* varint_bytes(Frame&);
PyObject* group_tables(Frame&);
PyObject* group_states(Frame&);
PyObject* group_bytes(Frame&);

}  // namespace binding

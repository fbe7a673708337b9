// Stubs until this group's functions are built.
#include "bindings.hpp"

namespace binding {

PyObject* rans_encode_shards_parallel(Frame& f) { return not_implemented(f); }
PyObject* rans_decode_shards_parallel(Frame& f) { return not_implemented(f); }
PyObject* rans_decode_4way_core(Frame& f) { return not_implemented(f); }
PyObject* pack_shard_payloads(Frame& f) { return not_implemented(f); }

}  // namespace binding

#include <vector>

#include "../rans_core/magic.hpp"

namespace binding {

PyObject* get_magic_lut(Frame&) {
    std::vector<std::uint64_t> copy(rans::kMagic.begin(), rans::kMagic.end());
    return array(std::move(copy), {rans::kMagicSize}).release();
}

}  // namespace binding

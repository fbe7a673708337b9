// Stubs until this group's functions are built.
#include "bindings.hpp"

namespace binding {

PyObject* bp_decode_sharded_debug(Frame& f) { return not_implemented(f); }
PyObject* bp_build_pdf_sharded(Frame& f) { return not_implemented(f); }
PyObject* bp_build_pdf_sharded_rgb(Frame& f) { return not_implemented(f); }
PyObject* bp_encode_sharded(Frame& f) { return not_implemented(f); }
PyObject* bp_decode_sharded(Frame& f) { return not_implemented(f); }
PyObject* bp_decode_sharded_with_ref(Frame& f) { return not_implemented(f); }

}  // namespace binding

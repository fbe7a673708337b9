// Stubs until this group's functions are built.
#include "bindings.hpp"

namespace binding {

PyObject* p1_gray(Frame& f) { return not_implemented(f); }
PyObject* p1_rgb(Frame& f) { return not_implemented(f); }
PyObject* p2_rgb(Frame& f) { return not_implemented(f); }
PyObject* p2_gray(Frame& f) { return not_implemented(f); }
PyObject* reconstruct_shards_rgb(Frame& f) { return not_implemented(f); }
PyObject* restore_channels(Frame& f) { return not_implemented(f); }
PyObject* reconstruct_2d_channels(Frame& f) { return not_implemented(f); }

}  // namespace binding

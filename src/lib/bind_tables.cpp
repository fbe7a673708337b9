// Stubs until this group's functions are built.
#include "bindings.hpp"

namespace binding {

PyObject* build_pdf_tables_from_shards(Frame& f) { return not_implemented(f); }
PyObject* decide_shard_mode(Frame& f) { return not_implemented(f); }
PyObject* compact_pdf_tables(Frame& f) { return not_implemented(f); }
PyObject* expand_pdf_tables(Frame& f) { return not_implemented(f); }

}  // namespace binding

// PanicException, created at the first fault.
#include "panic.hpp"

namespace binding {

PyObject* panic_exception() {
    static PyObject* cls = nullptr;
    if (!cls)
        cls = PyErr_NewExceptionWithDoc(
            "orv_rans_runtime.PanicException",
            "An internal fault of orv_rans (an index outside a table or buffer, a size "
            "that overflows the address range). Derives from BaseException.",
            PyExc_BaseException, nullptr);
    return cls;
}

}  // namespace binding

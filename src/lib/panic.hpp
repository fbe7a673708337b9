// PanicException: the exception of an internal fault. It derives from
// BaseException, so a plain `except Exception` does not swallow it, and it
// lives in a private runtime module, not in orv_rans.
#pragma once

#include "python.hpp"

namespace binding {

// The class, created at the first fault and kept for the life of the process
// (a borrowed reference; NULL if it could not be created).
PyObject* panic_exception();

}  // namespace binding

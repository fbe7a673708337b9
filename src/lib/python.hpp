// Python headers for the binding layer, restricted to the stable ABI.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000  // CPython 3.10: the oldest interpreter the wheel serves
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

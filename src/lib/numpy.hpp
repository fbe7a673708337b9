// NumPy's C API (its exported function table), for the binding layer only.
#pragma once

#include "python.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_21_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION  // runs with any NumPy from 1.21 on
#define PY_ARRAY_UNIQUE_SYMBOL orv_rans_numpy_api
#ifndef ORV_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

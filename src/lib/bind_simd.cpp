// Private hooks, outside the module's public functions: which instruction-set
// path the vector kernels take (the shard encoder and decoder and the image
// phases share one choice), for tests that compare every path with the
// scalar one and for front ends that report it.
//
//   _coder_simd()            -> "scalar" | "avx2" | "avx512", the path in use
//   _coder_simd(name)        -> switches to that path (ValueError if this CPU
//                               cannot run it) and returns its name
//   _coder_simd_available()  -> tuple of the paths this CPU can run
//   _bitpair_checked_rows(on=None) -> whether the bit-pair decoders run every
//                               row through their checked path (set with on),
//                               for tests that compare it with the fast rows
#include <string>
#include <string_view>

#include "../rans_core/bitpair.hpp"
#include "../rans_core/coder_simd.hpp"
#include "bindings.hpp"
#include "python.hpp"

namespace binding {
namespace {

PyObject* name_of(rans::CoderPath p) {
    const std::string_view n = rans::coder_path_name(p);
    return PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size()));
}

PyObject* coder_simd(PyObject*, PyObject* args) {
    PyObject* name = nullptr;
    if (!PyArg_ParseTuple(args, "|U:_coder_simd", &name)) return nullptr;
    if (name) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name, &len);
        if (!s) return nullptr;
        const auto p = rans::coder_path_from_name(std::string_view(s, static_cast<std::size_t>(len)));
        if (!p || !rans::coder_path_available(*p)) {
            PyErr_Format(PyExc_ValueError, "coder path %R is not available on this CPU", name);
            return nullptr;
        }
        rans::set_coder_path(*p);
    }
    return name_of(rans::coder_path());
}

PyObject* coder_simd_available(PyObject*, PyObject*) {
    PyObject* out = PyList_New(0);
    for (rans::CoderPath p : {rans::CoderPath::scalar, rans::CoderPath::avx2, rans::CoderPath::avx512}) {
        if (!out || !rans::coder_path_available(p)) continue;
        PyObject* n = name_of(p);
        if (!n || PyList_Append(out, n) != 0) Py_CLEAR(out);
        Py_XDECREF(n);
    }
    if (!out) return nullptr;
    PyObject* t = PyList_AsTuple(out);
    Py_DECREF(out);
    return t;
}

PyObject* bitpair_checked_rows(PyObject*, PyObject* args) {
    PyObject* on = Py_None;
    if (!PyArg_ParseTuple(args, "|O:_bitpair_checked_rows", &on)) return nullptr;
    if (on != Py_None) {
        const int flag = PyObject_IsTrue(on);
        if (flag < 0) return nullptr;
        rans::bp_set_checked_rows_only(flag != 0);
    }
    return PyBool_FromLong(rans::bp_checked_rows_only());
}

PyMethodDef g_hooks[] = {
    {"_coder_simd", coder_simd, METH_VARARGS, "_coder_simd(name=None)\n--\n\n"},
    {"_coder_simd_available", coder_simd_available, METH_NOARGS, "_coder_simd_available()\n--\n\n"},
    {"_bitpair_checked_rows", bitpair_checked_rows, METH_VARARGS, "_bitpair_checked_rows(on=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_private_hooks(PyObject* module) { return PyModule_AddFunctions(module, g_hooks); }

}  // namespace binding

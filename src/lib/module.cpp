// Module initialisation: one module object per process, the 25 functions in
// registration order, each also listed in __all__, and the front end's
// private entries.
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "frame.hpp"

namespace binding {

namespace {

PyObject* g_module = nullptr;  // created once per process, never freed

template <bool Private>
std::span<const Signature> table() {
    return Private ? private_function_table() : function_table();
}

template <bool Private, std::size_t I>
PyObject* entry_with_args(PyObject*, PyObject* args, PyObject* kwargs) {
    return call(table<Private>()[I], args, kwargs);
}

template <bool Private, std::size_t I>
PyObject* entry_no_args(PyObject*, PyObject*) {
    return call(table<Private>()[I], nullptr, nullptr);
}

template <bool Private, std::size_t... I>
std::vector<PyMethodDef> method_defs(std::index_sequence<I...>) {
    // the docstring is the text signature alone: "name(a, b)\n--\n\n"
    static std::vector<std::string> docs;
    auto fns = table<Private>();
    docs.clear();
    for (const Signature& fn : fns) {
        std::string d = std::string(fn.name) + "(";
        for (std::size_t k = 0; k < fn.params.size(); ++k) d += (k ? ", " : "") + std::string(fn.params[k].name);
        docs.push_back(d + ")\n--\n\n");
    }
    auto def = [&](std::size_t i, PyCFunctionWithKeywords kw, PyCFunction noargs) {
        const Signature& fn = fns[i];
        if (fn.params.empty())
            return PyMethodDef{fn.name, noargs, METH_NOARGS, docs[i].c_str()};
        return PyMethodDef{fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kw)),
                           METH_VARARGS | METH_KEYWORDS, docs[i].c_str()};
    };
    return {def(I, entry_with_args<Private, I>, entry_no_args<Private, I>)...};
}

// Adds the functions of `defs` to the module, each also to `all` unless null.
bool add_functions(PyObject* m, PyObject* name, std::vector<PyMethodDef>& defs, PyObject* all) {
    for (PyMethodDef& def : defs) {
        PyObject* f = PyCFunction_NewEx(&def, nullptr, name);
        bool ok = f && PyModule_AddObjectRef(m, def.ml_name, f) == 0;
        Py_XDECREF(f);
        if (ok && all) {
            PyObject* n = PyUnicode_FromString(def.ml_name);
            ok = n && PyList_Append(all, n) == 0;
            Py_XDECREF(n);
        }
        if (!ok) return false;
    }
    return true;
}

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "orv_rans", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init() {
    if (g_module) {
        PyErr_SetString(PyExc_ImportError,
                        "orv_rans may be initialised only once per interpreter process");
        return nullptr;
    }
    static std::vector<PyMethodDef> defs = method_defs<false>(std::make_index_sequence<25>{});
    static std::vector<PyMethodDef> private_defs = method_defs<true>(std::make_index_sequence<13>{});
    if (function_table().size() != defs.size() || private_function_table().size() != private_defs.size()) {
        PyErr_SetString(PyExc_SystemError, "orv_rans: function table size mismatch");
        return nullptr;
    }
    PyObject* m = PyModule_Create(&g_def);
    if (!m) return nullptr;
    PyObject* name = PyUnicode_FromString("orv_rans");
    PyObject* all = PyList_New(0);
    const bool ok = name && all && PyModule_AddObjectRef(m, "__all__", all) == 0 && add_private_hooks(m) == 0 &&
                    add_functions(m, name, private_defs, nullptr) && add_functions(m, name, defs, all);
    Py_XDECREF(name);
    Py_XDECREF(all);
    if (!ok) {
        Py_DECREF(m);
        return nullptr;
    }
    g_module = m;
    Py_INCREF(g_module);  // the process keeps its own reference
    return m;
}

}  // namespace
}  // namespace binding

extern "C" PyMODINIT_FUNC PyInit_orv_rans(void) { return binding::init(); }

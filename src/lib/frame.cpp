// The generic call frame: argument binding, conversion, the lock, results and
// the mapping of failures to Python exceptions.
#define ORV_NUMPY_IMPORT
#include "frame.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <stdexcept>

#include "../pool/pool.hpp"
#include "../rans_core/fault.hpp"
#include "../rans_core/zeroed.hpp"
#include "numpy.hpp"
#include "panic.hpp"

namespace binding {
namespace {

// NumPy's function table is loaded at the first array operation.
void ensure_numpy() {
    static bool loaded = false;
    if (loaded) return;
    if (_import_array() < 0) {
        PyErr_Clear();
        throw rans::Fault("Failed to access NumPy array API capsule");
    }
    loaded = true;
}

int type_number(Elem e) {
    switch (e) {
        case Elem::U8: return NPY_UINT8;
        case Elem::U16: return NPY_UINT16;
        case Elem::U32: return NPY_UINT32;
        default: return NPY_UINT64;
    }
}

std::size_t item_size(Elem e) {
    switch (e) {
        case Elem::U8: return 1;
        case Elem::U16: return 2;
        case Elem::U32: return 4;
        default: return 8;
    }
}

// The dtype of each element type, looked up once.
PyArray_Descr* descr(Elem e) {
    static PyArray_Descr* cache[5] = {};
    auto& d = cache[static_cast<int>(e)];
    if (!d) {
        d = PyArray_DescrFromType(type_number(e));
        if (!d) throw PythonError{};
    }
    return d;
}

std::string type_name(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (!s) throw PythonError{};
    return s;
}

[[noreturn]] void type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw PythonError{};
}

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
    std::string msg = "'";
    msg += type_name(obj);
    msg += "' object cannot be converted to '";
    msg += target;
    msg += "'";
    type_error(msg);
}

// ---- step 1: binding -------------------------------------------------------

std::string quoted_list(const std::vector<const char*>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) s += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) s += "and ";
        s += "'";
        s += names[i];
        s += "'";
    }
    return s;
}

void bind(const Signature& fn, PyObject* args, PyObject* kwargs, Frame& f) {
    const std::size_t np = fn.params.size();
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    if (given < 0) throw PythonError{};
    if (static_cast<std::size_t>(given) > np) {
        type_error(std::string(fn.name) + "() takes " + std::to_string(np) + " positional argument" +
                   (np == 1 ? "" : "s") + " but " + std::to_string(given) +
                   (given == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t i = 0; i < given; ++i) f.slots[i].obj = PyTuple_GetItem(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) type_error("keywords must be strings");
            std::size_t k = 0;
            while (k < np && PyUnicode_CompareWithASCIIString(key, fn.params[k].name) != 0) ++k;
            if (k == np) {
                const char* name = PyUnicode_AsUTF8AndSize(key, nullptr);
                if (!name) throw PythonError{};
                type_error(std::string(fn.name) + "() got an unexpected keyword argument '" + name + "'");
            }
            if (f.slots[k].obj) {
                type_error(std::string(fn.name) + "() got multiple values for argument '" +
                           fn.params[k].name + "'");
            }
            f.slots[k].obj = value;
        }
    }
    std::vector<const char*> missing;
    for (std::size_t k = 0; k < np; ++k)
        if (!f.slots[k].obj) missing.push_back(fn.params[k].name);
    if (!missing.empty()) {
        type_error(std::string(fn.name) + "() missing " + std::to_string(missing.size()) +
                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                   quoted_list(missing));
    }
}

// ---- step 2: conversion ----------------------------------------------------

constexpr const char* kArrayTarget = "PyArray<T, D>";

void convert_array(const Param& p, Slot& s) {
    PyObject* obj = s.obj;
    if (!PyArray_Check(obj)) cannot_convert(obj, kArrayTarget);
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(a) != p.ndim || !PyArray_EquivTypes(PyArray_DESCR(a), descr(p.elem)))
        cannot_convert(obj, kArrayTarget);
    s.ndim = p.ndim;
    std::size_t count = 1;
    for (int k = 0; k < p.ndim; ++k) {
        s.shape[k] = static_cast<std::size_t>(PyArray_DIMS(a)[k]);
        count *= s.shape[k];  // NumPy guarantees the product fits
    }
    s.count = count;
}

std::uint64_t to_u64(PyObject* obj) {
    if (PyLong_Check(obj)) {
        unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
        return v;
    }
    Ref idx(PyNumber_Index(obj));
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return v;
}

bool to_bool(PyObject* obj) {
    if (PyBool_Check(obj)) return obj == Py_True;
    if (PyObject_TypeCheck(obj, &PyBoolArrType_Type)) {
        int t = PyObject_IsTrue(obj);
        if (t < 0) throw PythonError{};
        return t != 0;
    }
    cannot_convert(obj, "PyBool");
}

double to_double(PyObject* obj) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
    return v;
}

// A TypeError raised while converting parameter `name` is re-raised with the
// prefix "argument 'name': ", keeping the original's cause; other exception
// types pass unchanged.
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value);
    Py_XDECREF(tb);
    Ref msg(PyObject_Str(v.get()));
    const char* m = PyUnicode_AsUTF8AndSize(msg.get(), nullptr);
    if (!m) throw PythonError{};
    std::string text = std::string("argument '") + name + "': " + m;
    Ref replacement(PyObject_CallFunction(PyExc_TypeError, "s", text.c_str()));
    PyObject* cause = PyException_GetCause(v.get());  // new reference or NULL
    if (cause) PyException_SetCause(replacement.get(), cause);  // steals
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void convert(const Signature& fn, Frame& f) {
    for (std::size_t k = 0; k < fn.params.size(); ++k) {
        const Param& p = fn.params[k];
        Slot& s = f.slots[k];
        try {
            switch (p.kind) {
                case Kind::Array: convert_array(p, s); break;
                case Kind::U64:
                case Kind::Size: s.u = to_u64(s.obj); break;
                case Kind::Bool: s.b = to_bool(s.obj); break;
                case Kind::Float: s.d = to_double(s.obj); break;
            }
        } catch (PythonError&) {
            prefix_type_error(p.name);
            throw;
        }
    }
}

// ---- step 3: views and copies ----------------------------------------------

// Copies the elements of `a` in logical row-major order (any strides).
void copy_logical(PyArrayObject* a, std::size_t isz, Slot& s) {
    const std::size_t words = (rans::checked_mul(s.count, isz) + 7) / 8;
    s.copy.reset(new std::uint64_t[words ? words : 1]);
    auto* dst = reinterpret_cast<unsigned char*>(s.copy.get());
    const auto* base = static_cast<const unsigned char*>(PyArray_DATA(a));
    const npy_intp* st = PyArray_STRIDES(a);
    std::size_t dims[3] = {1, 1, 1};
    npy_intp strides[3] = {0, 0, 0};
    const int nd = s.ndim;
    for (int k = 0; k < nd; ++k) {
        dims[3 - nd + k] = s.shape[k];
        strides[3 - nd + k] = st[k];
    }
    for (std::size_t i = 0; i < dims[0]; ++i)
        for (std::size_t j = 0; j < dims[1]; ++j) {
            const unsigned char* row = base + static_cast<npy_intp>(i) * strides[0] +
                                       static_cast<npy_intp>(j) * strides[1];
            for (std::size_t k = 0; k < dims[2]; ++k, dst += isz)
                std::memcpy(dst, row + static_cast<npy_intp>(k) * strides[2], isz);
        }
    s.data = s.copy.get();
}

void take_views(const Signature& fn, Frame& f) {
    // flat reads first, in declared order: the first array that is not
    // contiguous (or, if filled, not writeable) fails the call
    for (std::size_t k = 0; k < fn.params.size(); ++k) {
        const Param& p = fn.params[k];
        if (p.kind != Kind::Array || p.read != Read::Flat) continue;
        Slot& s = f.slots[k];
        auto* a = reinterpret_cast<PyArrayObject*>(s.obj);
        if (!PyArray_ISCONTIGUOUS(a) && !PyArray_ISFORTRAN(a)) type_error("The given array is not contiguous");
        if (p.filled && !PyArray_ISWRITEABLE(a)) {
            PyErr_Format(PyExc_ValueError,
                         "argument '%s': the array is read-only, so it cannot be filled in place",
                         p.name);
            throw PythonError{};
        }
        const std::size_t isz = item_size(p.elem);
        if (isz > 1 && !PyArray_ISALIGNED(a) && s.count > 0) {
            // an unaligned view (np.frombuffer with an odd offset): read a copy
            s.copy.reset(new std::uint64_t[(rans::checked_mul(s.count, isz) + 7) / 8]);
            std::memcpy(s.copy.get(), PyArray_DATA(a), s.count * isz);
            s.data = s.copy.get();
        } else {
            s.data = PyArray_DATA(a);
        }
    }
    for (std::size_t k = 0; k < fn.params.size(); ++k) {
        const Param& p = fn.params[k];
        if (p.kind != Kind::Array || p.read != Read::Logical) continue;
        Slot& s = f.slots[k];
        auto* a = reinterpret_cast<PyArrayObject*>(s.obj);
        if (PyArray_ISCARRAY_RO(a) || s.count == 0)
            s.data = PyArray_DATA(a);  // already in row-major order: read in place
        else
            copy_logical(a, item_size(p.elem), s);
    }
}

// ---- step 4: arrays that share memory ------------------------------------------
//
// The work writes the arrays filled in place while it reads the others, and
// may rely on what it proved about an input before the first write. An input
// that shares memory with a filled array is therefore read from a copy taken
// here, before anything is written, so that the call gives what it gives with
// separate arrays. Two filled arrays that share memory cannot both receive
// their result: the call is refused, naming both.

// The bytes of the caller's memory that a slot reads or writes in place;
// empty for a copy and for an array without elements.
struct Extent {
    std::uintptr_t lo = 0, hi = 0;
    bool meets(const Extent& o) const { return lo < o.hi && o.lo < hi; }
};

Extent in_place_extent(const Param& p, const Slot& s) {
    if (p.kind != Kind::Array || s.copy || s.count == 0) return {};
    const auto lo = reinterpret_cast<std::uintptr_t>(s.data);
    return {lo, lo + s.count * item_size(p.elem)};
}

void separate_filled(const Signature& fn, Frame& f) {
    const std::size_t np = fn.params.size();
    Extent ext[std::size(f.slots)];
    bool any_filled = false;
    for (std::size_t k = 0; k < np; ++k) {
        ext[k] = in_place_extent(fn.params[k], f.slots[k]);
        any_filled |= fn.params[k].filled;
    }
    if (!any_filled) return;
    for (std::size_t a = 0; a < np; ++a)
        for (std::size_t b = a + 1; b < np; ++b)
            if (fn.params[a].filled && fn.params[b].filled && ext[a].meets(ext[b])) {
                PyErr_Format(PyExc_ValueError,
                             "arguments '%s' and '%s' share memory: each array filled in place "
                             "needs a buffer of its own",
                             fn.params[a].name, fn.params[b].name);
                throw PythonError{};
            }
    for (std::size_t k = 0; k < np; ++k) {
        const Param& p = fn.params[k];
        if (p.filled || ext[k].lo == ext[k].hi) continue;
        bool shared = false;
        for (std::size_t o = 0; o < np; ++o) shared |= fn.params[o].filled && ext[k].meets(ext[o]);
        if (!shared) continue;
        Slot& s = f.slots[k];
        const std::size_t bytes = ext[k].hi - ext[k].lo;
        s.copy.reset(new std::uint64_t[(bytes + 7) / 8]);
        std::memcpy(s.copy.get(), s.data, bytes);
        s.data = s.copy.get();
    }
}

// ---- failures -----------------------------------------------------------------

void raise_fault(const char* message) {
    // a fault while reporting a fault cannot be reported any more
    try {
        PyObject* cls = panic_exception();
        if (!cls) throw std::runtime_error("PanicException");
        PyErr_SetString(cls, message);
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

// A refused worker thread: a RuntimeError, like the interpreter's own "can't
// start new thread", caused by the OSError of the refusal.
void raise_start_failure(const pool::StartFailure& e) {
    PyObject* cause = PyObject_CallFunction(PyExc_OSError, "is", e.error(), std::strerror(e.error()));
    PyErr_SetString(PyExc_RuntimeError, e.what());
    if (!cause) return;  // the RuntimeError alone
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyException_SetCause(value, cause);  // steals
    PyErr_Restore(type, value, tb);
}

}  // namespace

void Frame::check(std::size_t i, Elem e) const {
    const Param& p = signature->params[i];
    if (p.kind != Kind::Array || p.elem != e) throw rans::Fault("binding reads a parameter with the wrong type");
}

PyObject* call(const Signature& fn, PyObject* args, PyObject* kwargs) {
    try {
        try {
            Frame f;
            f.signature = &fn;
            ensure_numpy();
            if (!fn.params.empty()) {
                bind(fn, args, kwargs, f);
                convert(fn, f);
                take_views(fn, f);
                separate_filled(fn, f);
            }
            return fn.impl(f);
        } catch (PythonError&) {
            return nullptr;
        } catch (const rans::InvalidInput& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
            return nullptr;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return nullptr;
        } catch (const pool::StartFailure& e) {
            raise_start_failure(e);
            return nullptr;
        } catch (const std::length_error&) {
            raise_fault("capacity overflow");
            return nullptr;
        } catch (const std::exception& e) {
            raise_fault(e.what());
            return nullptr;
        }
    } catch (...) {
        raise_fault("unknown fault");
        return nullptr;
    }
}

// ---- results --------------------------------------------------------------------

Ref none() { return Ref(Py_NewRef(Py_None)); }
Ref integer(std::uint64_t v) { return Ref(PyLong_FromUnsignedLongLong(v)); }
Ref integer_signed(std::int64_t v) { return Ref(PyLong_FromLongLong(v)); }
Ref real(double v) { return Ref(PyFloat_FromDouble(v)); }
Ref text(const char* s) { return Ref(PyUnicode_FromString(s)); }

Ref tuple(std::initializer_list<Ref*> items) {
    Ref t(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Ref* r : items) PyTuple_SetItem(t.get(), i++, r->release());  // steals
    return t;
}

Ref tuple_of(std::vector<Ref>& items) {
    Ref t(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Ref& r : items) PyTuple_SetItem(t.get(), i++, r.release());
    return t;
}

namespace {

template <class V>
void free_vector(PyObject* capsule) {
    delete static_cast<V*>(PyCapsule_GetPointer(capsule, nullptr));
}

}  // namespace

template <class T, class A>
Ref array(std::vector<T, A>&& v, std::initializer_list<std::size_t> shape) {
    constexpr Elem e = elem_of<T>();
    npy_intp dims[3] = {0, 0, 0};
    int nd = 0;
    std::size_t count = 1;
    for (std::size_t d : shape) {
        // NumPy's dimensions are signed: a larger one (possible for an empty
        // result such as h = 2^63, w = 0) cannot be described at all
        if (d > static_cast<std::size_t>(NPY_MAX_INTP)) rans::capacity_overflow();
        dims[nd++] = static_cast<npy_intp>(d);
        count *= d;
    }
    if (count != v.size()) throw rans::Fault("result shape does not match its buffer");
    PyArray_Descr* d = descr(e);
    if (v.empty()) {
        Py_INCREF(d);
        return Ref(PyArray_Zeros(nd, dims, d, 0));
    }
    // the array takes over the vector's buffer: a capsule owning the vector
    // becomes the array's base, so the buffer lives exactly as long as needed
    auto* owned = new std::vector<T, A>(std::move(v));
    PyObject* cap = PyCapsule_New(owned, nullptr, free_vector<std::vector<T, A>>);
    if (!cap) {
        delete owned;
        throw PythonError{};
    }
    Ref capsule(cap);
    Py_INCREF(d);
    Ref arr(PyArray_NewFromDescr(&PyArray_Type, d, nd, dims, nullptr, owned->data(),
                                 NPY_ARRAY_CARRAY, nullptr));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), capsule.release()) < 0)
        throw PythonError{};
    return arr;
}

template Ref array(std::vector<std::uint8_t>&&, std::initializer_list<std::size_t>);
template Ref array(std::vector<std::uint16_t>&&, std::initializer_list<std::size_t>);
template Ref array(std::vector<std::uint32_t>&&, std::initializer_list<std::size_t>);
template Ref array(std::vector<std::uint64_t>&&, std::initializer_list<std::size_t>);
template Ref array(rans::ZeroedBytes&&, std::initializer_list<std::size_t>);

}  // namespace binding

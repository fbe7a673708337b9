// The call frame shared by all 25 functions.
//
// Every function is described once: its parameters (kind, element type,
// dimensions, flat or logical read, filled in place) in signatures.hpp, and
// its name, binding and whether the interpreter lock is released in the
// function table (functions.cpp). One generic entry binds the Python
// arguments to that description, converts them, hands the function's binding
// a Frame with the converted views, and maps every failure to a Python
// exception. A binding is a few lines: take the views by parameter name, run
// the core inside `run` (which releases the lock when the table says so), and
// build the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python.hpp"

namespace binding {

enum class Kind : std::uint8_t { Array, U64, Size, Bool, Float };
enum class Elem : std::uint8_t { None, U8, U16, U32, U64 };
enum class Read : std::uint8_t { Flat, Logical };

struct Param {
    const char* name;
    Kind kind;
    Elem elem = Elem::None;
    int ndim = 0;
    Read read = Read::Flat;
    bool filled = false;
};

struct Frame;
using Impl = PyObject* (*)(Frame&);

// A function of the module: its name and parameters (signatures.hpp), how it
// runs, and its binding.
struct Signature {
    const char* name;
    std::span<const Param> params;
    bool release;  // the interpreter lock is released around the work
    Impl impl;
};

// The 25 functions in registration order (functions.cpp).
std::span<const Signature> function_table();
// The front end's private entries, bound the same way (functions.cpp).
std::span<const Signature> private_function_table();

// A Python exception is already set; the frame returns NULL.
struct PythonError {};

// An owned reference; `release` hands it over.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {
        if (!o_) throw PythonError{};
    }
    Ref(Ref&& r) noexcept : o_(std::exchange(r.o_, nullptr)) {}
    Ref& operator=(Ref&& r) noexcept {
        std::swap(o_, r.o_);
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const { return o_; }
    PyObject* release() { return std::exchange(o_, nullptr); }

private:
    PyObject* o_ = nullptr;
};

template <class T>
constexpr Elem elem_of() {
    if constexpr (std::is_same_v<T, std::uint8_t>) return Elem::U8;
    else if constexpr (std::is_same_v<T, std::uint16_t>) return Elem::U16;
    else if constexpr (std::is_same_v<T, std::uint32_t>) return Elem::U32;
    else {
        static_assert(std::is_same_v<T, std::uint64_t>);
        return Elem::U64;
    }
}

// One converted argument.
struct Slot {
    PyObject* obj = nullptr;  // borrowed from the call's arguments
    std::uint64_t u = 0;
    double d = 0.0;
    bool b = false;
    void* data = nullptr;  // the array's elements, flat (in place or in `copy`)
    std::size_t count = 0;
    int ndim = 0;
    std::size_t shape[3] = {0, 0, 0};
    // logical reads, unaligned flat reads, and inputs that share memory with
    // an array filled in place
    std::unique_ptr<std::uint64_t[]> copy;
};

// The most parameters a function of the table may have (functions.cpp
// checks the table against it).
constexpr std::size_t kMaxParams = 16;

struct Frame {
    const Signature* signature = nullptr;
    Slot slots[kMaxParams];

    // The elements of array parameter i (flat or logical, as the table says).
    template <class T>
    std::span<const T> in(std::size_t i) const {
        check(i, elem_of<T>());
        return {static_cast<const T*>(slots[i].data), slots[i].count};
    }
    // The buffer of a parameter the table marks as filled in place.
    template <class T>
    std::span<T> out(std::size_t i) const {
        check(i, elem_of<T>());
        return {static_cast<T*>(slots[i].data), slots[i].count};
    }
    std::size_t dim(std::size_t i, std::size_t k) const { return slots[i].shape[k]; }
    std::uint64_t u64(std::size_t i) const { return slots[i].u; }
    bool flag(std::size_t i) const { return slots[i].b; }
    double real(std::size_t i) const { return slots[i].d; }

    // Runs the work, with the interpreter lock released when the table says
    // so. Nothing inside may touch a Python object.
    template <class F>
    decltype(auto) run(F&& f) const {
        if (!signature->release) return f();
        struct Relock {
            PyThreadState* ts;
            ~Relock() { PyEval_RestoreThread(ts); }
        } relock{PyEval_SaveThread()};
        return f();
    }

private:
    void check(std::size_t i, Elem e) const;
};

// Results, built with the lock held. Arrays take over the vector's buffer.
Ref none();
Ref integer(std::uint64_t v);
Ref integer_signed(std::int64_t v);
Ref real(double v);
Ref text(const char* s);
Ref tuple(std::initializer_list<Ref*> items);
Ref tuple_of(std::vector<Ref>& items);

template <class T, class A>
Ref array(std::vector<T, A>&& v, std::initializer_list<std::size_t> shape);

// The generic entry: binds, converts, runs fn.impl and maps failures.
PyObject* call(const Signature& fn, PyObject* args, PyObject* kwargs);

}  // namespace binding

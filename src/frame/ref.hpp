// Owned references and the "a Python error is set" exception.
//
// Every C++ function of the package that can fail either returns a `Ref`
// (an owned, non-null reference) or throws `Error` after a Python exception
// has been set.  `Error` never leaves the frame: the function and module
// wrappers catch it, add the traceback entry and return NULL to the
// interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>
#include <utility>

namespace frame {

// Thrown after a Python exception has been set.  `line` is the source line of
// the failing statement; it becomes the line number of the traceback entry.
struct Error {
    int line;
};

using Loc = std::source_location;

[[noreturn]] inline void fail(Loc loc = Loc::current()) {
    throw Error{static_cast<int>(loc.line())};
}

// An owned strong reference.  Moves transfer ownership; copies add one.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(const Ref& o) noexcept {
        Py_XINCREF(o.p_);
        PyObject* old = p_;
        p_ = o.p_;
        Py_XDECREF(old);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }

    // Takes over a new reference (which may be NULL).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // A new reference for the caller (the Ref keeps its own).
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

private:
    PyObject* p_ = nullptr;
};

// Takes over a new reference returned by a C API call; throws when it is NULL.
inline Ref own(PyObject* p, Loc loc = Loc::current()) {
    if (!p) fail(loc);
    return Ref::steal(p);
}

// Checks the int result of a C API call (-1 means an error is set).
inline int check(int r, Loc loc = Loc::current()) {
    if (r < 0) fail(loc);
    return r;
}

inline Py_ssize_t check_size(Py_ssize_t r, Loc loc = Loc::current()) {
    if (r < 0) fail(loc);
    return r;
}

// Borrowed `None`, `True`, `False` as owned references.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace frame

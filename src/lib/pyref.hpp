// An owned reference to a Python object, released when it goes out of scope.
#pragma once

#include "lib/compat.hpp"

#include <utility>

namespace korvane::py {

class PyRef {
public:
    PyRef() = default;
    // Takes ownership of a new reference (nullptr allowed).
    explicit PyRef(PyObject* owned) : p_(owned) {}
    static PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace korvane::py

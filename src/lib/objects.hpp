// The three classes' instance layouts and type objects. An instance is the
// object header, the core value it owns, then its borrow flag.
#pragma once

#include "lib/binding.hpp"

#include <new>
#include <type_traits>
#include <utility>

#include "codec/encoder.hpp"
#include "index/index.hpp"

namespace korvane::py {

template <class V>
struct Object {
    PyObject_HEAD
    V value;
    BorrowFlag borrow_flag;
};

using CodesObject = Object<SpectralCodes>;
using EncoderObject = Object<SpectralEncoder>;
using IndexObject = Object<SpectralIndex>;

// Built on first request, then the same object for the life of the process;
// nullptr with the exception of the failed build.
PyTypeObject* codes_type_object();
PyTypeObject* encoder_type_object();
PyTypeObject* index_type_object();

template <class V>
Object<V>* as_object(PyObject* o) {
    return reinterpret_cast<Object<V>*>(o);
}

// A new instance of `type` holding `value`, its borrow flag free. If the
// object cannot be made, `value` is released with the exception set.
template <class V>
PyObject* wrap_value(PyTypeObject* type, V&& value) {
    if (type == nullptr) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* o = as_object<V>(obj);
    new (&o->value) V(std::move(value));
    new (&o->borrow_flag) BorrowFlag(kBorrowFree);
    return obj;
}

// A read-only member: runs `read` on the instance's value under a shared
// borrow, inside the entry guard.
template <class V, class Read>
PyObject* read_shared(PyObject* self, Read&& read) {
    return guarded([&]() -> PyObject* {
        auto* o = as_object<V>(self);
        auto borrow = Borrow::shared(o->borrow_flag);
        if (!borrow) return nullptr;
        return read(std::as_const(o->value));
    });
}

inline PyObject* wrap_codes(SpectralCodes&& value, PyTypeObject* type) { return wrap_value(type, std::move(value)); }

// The release slot: drops the value, if one was ever built (see BorrowFlag),
// then frees the object through its type.
template <class V>
void dealloc_entry(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* o = as_object<V>(self);
    static_assert(std::is_nothrow_destructible_v<V>);
    if (o->borrow_flag.load(std::memory_order_acquire) != kNotBuilt) {
        o->value.~V();
        o->borrow_flag.~BorrowFlag();
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Builds a heap type once and keeps it in `cell`; a type built concurrently
// by another thread is dropped in favour of the stored one.
PyTypeObject* type_once(std::atomic<PyTypeObject*>& cell, PyType_Spec& layout);

// The members register their type specs here.
extern PyType_Spec codes_spec;
extern PyType_Spec encoder_spec;
extern PyType_Spec index_spec;

// The module function.
extern PyMethodDef retention_def;

}  // namespace korvane::py

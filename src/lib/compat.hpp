// The few CPython calls whose spelling depends on the interpreter version,
// kept in one place. The module builds on 3.11 and newer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::py {

// Takes the raised exception out of the thread state, normalised, with its
// traceback attached. Returns nullptr when none is set.
inline PyObject* fetch_raised() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) {
        PyException_SetTraceback(value, tb);
        Py_DECREF(tb);
    }
    Py_DECREF(type);
    return value;
#endif
}

// Puts an exception fetched with `fetch_raised` back; steals the reference.
inline void restore_raised(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// A free-threaded interpreter (3.13t and later): no interpreter lock orders
// what threads do, and a list may change while another thread reads it.
#if defined(Py_GIL_DISABLED)
#define KORVANE_FREE_THREADED 1
#else
#define KORVANE_FREE_THREADED 0
#endif

// Item i of a list as a new reference; nullptr with IndexError set when the
// list has no item i (any more).
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030D0000
    // Takes the reference under the list's own lock on a free-threaded
    // interpreter, so a thread that shrinks the list meanwhile cannot free
    // the item between the read and the increment.
    return PyList_GetItemRef(list, i);
#else
    // Before 3.13 every interpreter has the lock, which this thread holds
    // from the read to the increment.
    PyObject* item = PyList_GetItem(list, i);
    Py_XINCREF(item);
    return item;
#endif
}

// Next item of an iterator: 1 with *item set (a new reference), 0 at the
// end, -1 with an exception set.
inline int iter_next_item(PyObject* iter, PyObject** item) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyIter_NextItem(iter, item);
#else
    *item = PyIter_Next(iter);
    if (*item != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace korvane::py

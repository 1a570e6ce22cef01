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

// The module's one exported initialiser and its execution slot, which adds
// the three classes, the version and the module function, each also listed
// in __all__.
#include "lib/arrays.hpp"
#include "lib/objects.hpp"

namespace korvane::py {

namespace {

// Appends `name` to the module's __all__ (made when missing) and sets the
// attribute.
bool add_name(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        type_mismatch(all.get(), "list");
        return false;
    }
    PyRef key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
    return PyObject_SetAttr(module, key.get(), value) == 0;
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    return type != nullptr && add_name(module, name, reinterpret_cast<PyObject*>(type));
}

// The type objects (and the binding layer's caches) are made once per process
// and must outlive every user, so the module lives in the main interpreter
// only, as the multiple-interpreters slot declares where it exists. Claiming
// "the first interpreter that imports it" instead would hand a destroyed
// sub-interpreter's types to a later one whose state happens to reuse its
// address.
bool claim_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_SetString(PyExc_ImportError, "korvane can only be loaded into the main interpreter of a process");
    return false;
}

int module_exec(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        if (!PyModule_Check(module)) {
            type_mismatch(module, "module");
            return -1;
        }
        if (!claim_interpreter()) return -1;
#if KORVANE_FREE_THREADED
        // NumPy's API table is stored into a plain global; fetched here, while
        // the import machinery keeps other threads out of this module, it is
        // never stored by two threads at once (see numpy_ready).
        if (!numpy_ready()) return -1;
#endif
        if (!add_type(module, "SpectralEncoder", encoder_type_object())) return -1;
        if (!add_type(module, "SpectralCodes", codes_type_object())) return -1;
        if (!add_type(module, "SpectralIndex", index_type_object())) return -1;
        PyRef version(PyUnicode_FromString(KORVANE_VERSION));
        if (!version || !add_name(module, "__version__", version.get())) return -1;

        PyRef modname(PyModule_GetNameObject(module));
        if (!modname) return -1;
        PyRef fn(PyCMethod_New(&retention_def, module, modname.get(), nullptr));
        if (!fn) return -1;
        PyRef fn_name(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!fn_name) return -1;
        if (!PyUnicode_Check(fn_name.get())) {
            type_mismatch(fn_name.get(), "str");
            return -1;
        }
        const char* name = PyUnicode_AsUTF8(fn_name.get());
        if (name == nullptr || !add_name(module, name, fn.get())) return -1;
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "korvane",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace korvane::py

PyMODINIT_FUNC PyInit_korvane(void) { return PyModuleDef_Init(&korvane::py::module_def); }

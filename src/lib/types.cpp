#include "lib/objects.hpp"
#include "lib/once.hpp"

namespace korvane::py {

PyTypeObject* type_once(std::atomic<PyTypeObject*>& cell, PyType_Spec& layout) {
    return once(
        cell, [&] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&layout)); },
        [](PyTypeObject* t) { Py_DECREF(t); });
}

PyTypeObject* codes_type_object() {
    static std::atomic<PyTypeObject*> cell{nullptr};
    return type_once(cell, codes_spec);
}

PyTypeObject* encoder_type_object() {
    static std::atomic<PyTypeObject*> cell{nullptr};
    return type_once(cell, encoder_spec);
}

PyTypeObject* index_type_object() {
    static std::atomic<PyTypeObject*> cell{nullptr};
    return type_once(cell, index_spec);
}

}  // namespace korvane::py

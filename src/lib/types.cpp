#include "lib/objects.hpp"

namespace korvane::py {

PyTypeObject* type_once(std::atomic<PyTypeObject*>& cell, PyType_Spec& layout) {
    if (PyTypeObject* t = cell.load(std::memory_order_acquire)) return t;
    auto* built = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&layout));
    if (built == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!cell.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
        Py_DECREF(built);
        return expected;
    }
    return built;  // the cell keeps this reference for the life of the process
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

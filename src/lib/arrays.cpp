#include "lib/arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL korvane_ARRAY_API
#include <numpy/arrayobject.h>

#include <atomic>
#include <memory>

#include "lib/once.hpp"
#include "lib/pyref.hpp"

namespace korvane::py {

// NumPy's table of C entry points. _import_array() runs the import and
// stores the table into the plain global the NumPy macros read. Threads that
// race here under the interpreter lock store the same pointer in turn; on a
// free-threaded interpreter the module's exec slot calls this once before
// any other thread can reach the module, so no two stores ever meet.
bool numpy_ready() {
    static std::atomic<void**> cell{nullptr};
    // A failed import leaves its own exception set.
    return once(cell, [] { return _import_array() < 0 ? nullptr : PyArray_API; }, [](void**) {}) != nullptr;
}

namespace {

constexpr const char* kHolderName = "korvane.array_holder";

struct HolderBase {
    virtual ~HolderBase() = default;
};

template <class T>
struct VectorHolder final : HolderBase {
    explicit VectorHolder(std::vector<T>&& v) : values(std::move(v)) {}
    std::vector<T> values;
};

void release_holder(PyObject* capsule) {
    delete static_cast<HolderBase*>(PyCapsule_GetPointer(capsule, kHolderName));
}

template <class T>
PyObject* make_array(std::vector<T>&& values, int typenum) {
    if (!numpy_ready()) return nullptr;
    // NumPy allocates its own memory for a null data pointer; an empty
    // buffer still gets an address so the holder stays the only owner.
    if (values.capacity() == 0) values.reserve(1);
    const auto n = static_cast<npy_intp>(values.size());
    auto holder = std::make_unique<VectorHolder<T>>(std::move(values));
    T* data = holder->values.data();
    PyRef capsule(PyCapsule_New(static_cast<HolderBase*>(holder.get()), kHolderName, release_holder));
    if (!capsule) return nullptr;
    holder.release();  // the capsule owns it now

    PyArray_Descr* descr = PyArray_DescrFromType(typenum);
    if (descr == nullptr) return nullptr;
    npy_intp dims[1] = {n};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    PyRef array(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace

PyObject* new_array(std::vector<float>&& v) { return make_array(std::move(v), NPY_FLOAT32); }
PyObject* new_array(std::vector<std::uint8_t>&& v) { return make_array(std::move(v), NPY_UINT8); }
PyObject* new_array(std::vector<std::uint16_t>&& v) { return make_array(std::move(v), NPY_UINT16); }
PyObject* new_array(std::vector<std::uint32_t>&& v) { return make_array(std::move(v), NPY_UINT32); }

}  // namespace korvane::py

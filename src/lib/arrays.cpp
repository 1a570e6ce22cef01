#include "lib/arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL korvane_ARRAY_API
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "lib/once.hpp"
#include "lib/pyref.hpp"
#include "simd/narrow.hpp"

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

namespace korvane::py {

namespace {

bool is_ndarray(PyObject* o) {
    // Checked by name first, so that no input other than an array makes the
    // module fetch NumPy's C API.
    if (std::strcmp(Py_TYPE(o)->tp_name, "numpy.ndarray") != 0) return false;
    if (!numpy_ready()) {
        PyErr_Clear();
        return false;
    }
    return Py_TYPE(o) == &PyArray_Type;
}

// The array's element kind when it is a bulk array of `ndim` dimensions:
// 1 for float32, 2 for float64, 0 otherwise.
int bulk_kind(PyObject* o, int ndim) {
    if (!is_ndarray(o)) return 0;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != ndim || PyArray_ISBYTESWAPPED(a)) return 0;
    switch (PyArray_TYPE(a)) {
        case NPY_FLOAT32: return 1;
        case NPY_FLOAT64: return 2;
        default: return 0;
    }
}

}  // namespace

std::optional<std::vector<float>> read_vector_array(PyObject* o) {
    const int kind = bulk_kind(o, 1);
    if (kind == 0) return std::nullopt;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    std::vector<float> out(n);
    const char* p = PyArray_BYTES(a);
    if (kind == 1) copy_f32(p, n, PyArray_STRIDE(a, 0), out.data());
    else copy_f64(p, n, PyArray_STRIDE(a, 0), out.data());
    return out;
}

std::optional<ArrayRows> ArrayRows::of(PyObject* o) {
    ArrayRows rows;
    if (const int kind = bulk_kind(o, 2); kind != 0) {
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        rows.keep_.push_back(PyRef::borrow(o));
        rows.rows_ = static_cast<std::size_t>(PyArray_DIM(a, 0));
        const auto len = static_cast<std::size_t>(PyArray_DIM(a, 1));
        rows.first_ = Row{PyArray_BYTES(a), len, PyArray_STRIDE(a, 1), kind == 2};
        rows.row_step_ = PyArray_STRIDE(a, 0);
        rows.values_ = rows.rows_ * len;
        return rows;
    }
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return std::nullopt;
    const bool is_list = PyList_CheckExact(o);
    auto length = [&] { return is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o); };
    if (length() == 0) return std::nullopt;
    rows.list_.reserve(static_cast<std::size_t>(length()));
    rows.keep_.reserve(static_cast<std::size_t>(length()));
    // Checking an item can run Python code (the first check fetches NumPy's
    // C API, through an import that a hook may see), which may change the
    // list: each item is held before it is looked at, and the length read
    // again before the next, as the item-by-item walk does.
    for (Py_ssize_t i = 0; i < length(); ++i) {
        PyRef item(is_list ? list_item_ref(o, i) : PyRef::borrow(PyTuple_GET_ITEM(o, i)).release());
        if (!item) {
            PyErr_Clear();
            break;
        }
        const int kind = bulk_kind(item.get(), 1);
        if (kind == 0) return std::nullopt;
        auto* a = reinterpret_cast<PyArrayObject*>(item.get());
        const auto len = static_cast<std::size_t>(PyArray_DIM(a, 0));
        rows.list_.push_back(Row{PyArray_BYTES(a), len, PyArray_STRIDE(a, 0), kind == 2});
        rows.keep_.push_back(std::move(item));
        rows.values_ += len;
    }
    rows.rows_ = rows.list_.size();
    return rows;
}

ArrayRows::Row ArrayRows::row(std::size_t r) const {
    if (!list_.empty()) return list_[r];
    Row row = first_;
    row.data += static_cast<std::ptrdiff_t>(r) * row_step_;
    return row;
}

bool ArrayRows::rows_of_length(std::size_t n) const {
    if (list_.empty()) return rows_ == 0 || first_.len == n;
    for (const Row& r : list_)
        if (r.len != n) return false;
    return true;
}

void ArrayRows::copy(std::size_t r0, std::size_t r1, float* out) const noexcept {
    for (std::size_t r = r0; r < r1; ++r) {
        const Row row = this->row(r);
        if (row.f64) copy_f64(row.data, row.len, row.stride, out);
        else copy_f32(row.data, row.len, row.stride, out);
        out += row.len;
    }
}

}  // namespace korvane::py

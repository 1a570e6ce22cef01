// NumPy arrays both ways: one-dimensional result arrays over private buffers,
// and the bulk reading of float arrays given as input. NumPy's C API is
// fetched on first need.
#pragma once

#include "lib/pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace korvane::py {

// Fetches NumPy's C API, once per process; false with the import's
// exception set when it fails.
bool numpy_ready();

PyObject* new_array(std::vector<float>&& values);
PyObject* new_array(std::vector<std::uint8_t>&& values);
PyObject* new_array(std::vector<std::uint16_t>&& values);
PyObject* new_array(std::vector<std::uint32_t>&& values);

// ---- bulk input ------------------------------------------------------------
//
// A bulk array is an object whose type is exactly numpy.ndarray, of dtype
// float32 or float64 in native byte order, with any strides (negative, zero
// and unaligned ones included). Its values are read straight from its
// memory, each narrowed to single precision exactly as the element-by-element
// float conversion narrows it (float32 values pass unchanged, except that a
// signalling NaN comes out quiet, as its trip through a Python float makes
// it). Reading runs no Python code and cannot fail. Every other object
// (other dtypes, subclasses, 0-d arrays, other dimensions) is not a bulk
// array and goes the element-by-element way.

// A one-dimensional bulk array's values; std::nullopt, with no exception
// set, for any other object.
std::optional<std::vector<float>> read_vector_array(PyObject* o);

// The rows of a two-dimensional bulk array, or of an exact list or tuple whose
// every item is a one-dimensional bulk array. Holds a reference to every array
// it reads, and the shapes and strides they had when it was made.
//
// For converting in bounded chunks: `rows()` and `values()` give the sizes,
// and `copy(r0, r1, out)` writes rows r0 .. r1 - 1 one after another into
// `out`. Rows may differ in length only in the
// list form; `rows_of_length(n)` tells whether all have length n.
class ArrayRows {
public:
    // std::nullopt, with no exception set, for any object not of these forms.
    static std::optional<ArrayRows> of(PyObject* o);

    std::size_t rows() const { return rows_; }
    std::size_t values() const { return values_; }
    bool rows_of_length(std::size_t n) const;
    void copy(std::size_t r0, std::size_t r1, float* out) const noexcept;

private:
    struct Row {
        const char* data;
        std::size_t len;
        std::ptrdiff_t stride;  // bytes
        bool f64;
    };
    Row row(std::size_t r) const;

    std::vector<PyRef> keep_;
    // Two-dimensional form: one array.
    Row first_{};                 // row 0
    std::ptrdiff_t row_step_ = 0;  // bytes from one row to the next
    // List form: one entry per row.
    std::vector<Row> list_;
    std::size_t rows_ = 0;
    std::size_t values_ = 0;
};

}  // namespace korvane::py

// One-dimensional NumPy result arrays, each over a private buffer that a
// holder object owns. NumPy's C API is fetched on the first array made.
#pragma once

#include "lib/compat.hpp"

#include <cstdint>
#include <vector>

namespace korvane::py {

// Fetches NumPy's C API, once per process; false with the import's
// exception set when it fails.
bool numpy_ready();

PyObject* new_array(std::vector<float>&& values);
PyObject* new_array(std::vector<std::uint8_t>&& values);
PyObject* new_array(std::vector<std::uint16_t>&& values);
PyObject* new_array(std::vector<std::uint32_t>&& values);

}  // namespace korvane::py

// Float values read from another program's memory (a NumPy array's), with
// any stride, narrowed to single precision exactly as a trip through a
// Python float narrows them: float32 values pass unchanged except that a
// signalling NaN comes out quiet; float64 values round to nearest, ties to
// even. The fast forms take eight (float32) or four (float64) contiguous
// values at a time; the plain forms, their oracles, one value at a time.
#pragma once

#include <cstddef>

namespace korvane {

// out[i] = the float32 at p + i * stride (bytes), NaN made quiet, for i < n.
void copy_f32(const char* p, std::size_t n, std::ptrdiff_t stride, float* out);
void copy_f32_plain(const char* p, std::size_t n, std::ptrdiff_t stride, float* out);

// out[i] = the float64 at p + i * stride (bytes), rounded to float32.
void copy_f64(const char* p, std::size_t n, std::ptrdiff_t stride, float* out);
void copy_f64_plain(const char* p, std::size_t n, std::ptrdiff_t stride, float* out);

}  // namespace korvane

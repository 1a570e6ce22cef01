// The per-vector steps of encoding before the choice of bins, eight values
// or rows at a time: sums of squares, scaling into the transform buffer, and
// bin magnitudes. Each gives exactly what the plain statement beside it
// says, value for value.
#pragma once

#include <complex>
#include <cstddef>

#include "simd/lanes.hpp"

namespace korvane {

// For r < 8: the sum of squares of rows[r][0 .. dim), added in index order,
// each square and each sum rounded on its own: the sum `vector_norm` takes
// the root of. One row per SIMD lane keeps every row's order of additions.
void sums_of_squares8(const float* const rows[kLanes], std::size_t dim, float out[kLanes]);

// out[i] = (x[i] * s, 0), or (x[i] / s, 0) when `divide`, for i < n: each
// value one rounded single-precision operation, eight at a time.
void scaled_to_complex(const float* x, std::size_t n, float s, bool divide, std::complex<float>* out);

// out[b] = hypotf(re_b, im_b) for b < n. Finite bins take the C library's
// own computation in double precision (both squares exact, one rounded sum,
// a rounded root, rounded to single); any group holding an infinity or a
// NaN calls hypotf itself.
void bin_magnitudes(const std::complex<float>* bins, std::size_t n, float* out);

}  // namespace korvane

// The per-vector steps of encoding in their fast forms: sums of squares of
// eight rows at once, bin magnitudes, and the choice of the strongest bins.
// Each gives exactly what its plain counterpart (named beside it) gives.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

inline constexpr std::size_t kLanes = 8;

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

// The bin order of encoding: descending magnitude, equal magnitudes lower
// bin first, NaN after every number (ties among NaN lower bin first). As an
// unsigned key per bin, smaller first.
inline std::uint32_t magnitude_rank(float m);

// The first k (k < n) bins of that order, in order: the bins a full sort of
// all n keys would put first. `work` is reused between calls.
void select_strongest(std::span<const float> mags, std::size_t k, std::uint16_t* idx,
                      std::vector<std::uint64_t>& work);

// The plain selection: every key built, nth_element, then the first k
// sorted. The oracle of `select_strongest`.
void select_strongest_plain(std::span<const float> mags, std::size_t k, std::uint16_t* idx,
                            std::vector<std::uint64_t>& work);

// What deciding phase codes from an angle needs of an ascending, finite
// phase table of two entries or more: for each entry, the interval of angles
// (in double precision) whose code is certain to be that entry's.
class PhaseCodeBounds {
public:
    PhaseCodeBounds() = default;
    explicit PhaseCodeBounds(std::span<const float> table);
    bool usable() const { return !lower_.empty(); }

private:
    friend void certain_phase_codes(const std::complex<float>*, const std::uint16_t*, std::size_t,
                                    const PhaseCodeBounds&, int*);
    std::vector<double> lower_, upper_;  // entry j is certain for lower_[j] < p < upper_[j]
    double origin_ = 0.0;                // a first guess at the entry: (p - origin_) * per_unit_
    double per_unit_ = 0.0;
};

// The phase codes of the k kept bins bins[idx[j]] through a usable table:
// out[j] is the code `NearestTable(table).nearest(p)` gives for
// p = atan2f(im, re), plus 2*pi (as a float) when negative. It is decided
// from an angle of our own within 1e-6 of the true one, and
// only where that angle lies so far from every midpoint between table
// entries, and from angle 0, that the single-precision p cannot fall on the
// other side; out[j] is -1 where it is not certain (and for zeros,
// infinities and NaN), and the caller takes the exact path there.
void certain_phase_codes(const std::complex<float>* bins, const std::uint16_t* idx, std::size_t k,
                         const PhaseCodeBounds& bounds, int* out);

}  // namespace korvane

#include <bit>
#include <cmath>

namespace korvane {

inline std::uint32_t magnitude_rank(float m) {
    // Magnitudes are >= 0 or NaN; non-negative bit patterns order like the
    // values, and -0.0 counts as 0.
    if (std::isnan(m)) return 0xFFFFFFFFu;
    return 0x7F800000u - (m == 0.0f ? 0u : std::bit_cast<std::uint32_t>(m));
}

}  // namespace korvane

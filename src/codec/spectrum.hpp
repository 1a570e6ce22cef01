// The per-vector steps of encoding in their fast forms: sums of squares of
// eight rows at once, scaling into the transform buffer, bin magnitudes, the
// choice of the strongest bins, and the magnitude and phase codes that are
// certain without the exact path. Each gives exactly what its plain
// counterpart (named beside it) gives.
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

// Codes decided from values of our own that are close to, but not always
// equal to, the ones the exact path quantises. For an ascending, finite
// table of two entries or more, and values within +-reach: the interval of
// values (in double precision) whose first nearest entry is certain to be
// each entry, for every value the exact path may hold (see spectrum.cpp).
class CertainCodes {
public:
    CertainCodes() = default;
    CertainCodes(std::span<const float> table, double reach);
    bool usable() const { return !lower_.empty(); }
    // The entry whose interval holds v; -1 where none does (NaN included).
    int code_of(double v) const {
        // The guessed entry, clamped into the table (NaN to the top), then
        // one step toward v when v lies outside its interval.
        const std::size_t last = lower_.size() - 1;
        double g = (v - origin_) * per_unit_ + 0.5;
        g = g < static_cast<double>(last) ? g : static_cast<double>(last);
        g = g > 0.0 ? g : 0.0;
        std::size_t c = static_cast<std::size_t>(g);
        c = c - (v <= lower_[c] && c > 0 ? 1 : 0) + (v >= upper_[c] && c < last ? 1 : 0);
        return v > lower_[c] && v < upper_[c] ? static_cast<int>(c) : -1;
    }

private:
    std::vector<double> lower_, upper_;  // entry j is certain for lower_[j] < v < upper_[j]
    double origin_ = 0.0;                // a first guess at the entry: (v - origin_) * per_unit_
    double per_unit_ = 0.0;
};

// The phase codes of the k kept bins bins[idx[j]] through the certain codes
// of a phase table: out[j] is the code `NearestTable(table).nearest(p)`
// gives for p = atan2f(im, re), plus 2*pi (as a float) when negative. It is
// decided from an angle of our own within 1e-6 of the true one, off the axes
// and away from angle 0 (where the sign of a zero or of a tiny angle decides
// between the table's ends); out[j] is -1 where it is not certain (and for
// zeros, infinities and NaN), and the caller takes the exact path there.
void certain_phase_codes(const std::complex<float>* bins, const std::uint16_t* idx, std::size_t k,
                         const CertainCodes& phases, int* out);

// The magnitude codes of the k kept magnitudes mags[idx[j]] through the
// certain codes of a grid's logarithms (logf of each entry): out[j] is the
// code `NearestTable(logs).nearest(logf(m))` gives, decided from a logarithm
// of our own within 1e-6 of the true one; -1 where it is not certain (and
// for zeros, subnormals, infinities and NaN).
void certain_magnitude_codes(const float* mags, const std::uint16_t* idx, std::size_t k, const CertainCodes& logs,
                             int* out);

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

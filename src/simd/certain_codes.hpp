// Magnitude and phase codes decided without the exact path, eight values at
// a time, where they are certain to be the codes it gives; the caller takes
// the exact path for the rest.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// Codes decided from values of our own that are close to, but not always
// equal to, the ones the exact path quantises. For an ascending, finite
// table of two entries or more, and values within +-reach: the interval of
// values (in double precision) whose first nearest entry is certain to be
// each entry, for every value the exact path may hold (the reasoning is at
// the constructor, in certain_codes.cpp).
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

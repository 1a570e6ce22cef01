// Quantisation grids (tables of single-precision reconstruction values) and the
// nearest-entry searches that turn a value into a code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/error.hpp"
#include "simd/nearest.hpp"

namespace korvane {

using SpectralGrid = std::vector<float>;

// The single-precision 2*pi (bit pattern 0x40C90FDB).
inline constexpr float kTwoPi = 6.2831854820251465f;

// 2^bits entries spaced evenly in the logarithm from lo to hi; widths of 31
// and more are refused.
Result<SpectralGrid> log_grid(float lo, float hi, std::uint8_t bits);

// 2^bits entries from 0 up to just below 2*pi. The caller has refused widths
// of 31 and more.
SpectralGrid uniform_phase_grid(std::uint8_t bits);

// Position of the entry nearest to x in the logarithm; ties and NaN distances
// keep the lowest position. The grid must not be empty.
std::size_t nearest_log_index(std::span<const float> grid, float x);

// Position of the entry nearest to p by plain difference (no wrap-around at
// 2*pi); same tie rule. The grid must not be empty.
std::size_t nearest_index(std::span<const float> grid, float p);

// The logarithms of a grid's entries, taken once so that many values can be
// quantised against one grid. Searching the table gives exactly the position
// `nearest_log_index` gives, since logf is a pure function of its argument.
class LogGridTable {
public:
    explicit LogGridTable(std::span<const float> grid);
    std::size_t nearest(float x) const;

private:
    std::vector<float> logs_;
};

// A fixed table searched for many targets: `nearest(t)` is exactly
// `first_nearest(values, t)`. When every value is finite and the values rise
// strictly, the distances |v[j] - t| fall and then rise with j (the rounded
// difference of ascending values never decreases, and it is zero only at an
// equal value), so a binary search finds the first smallest one in
// O(log n). Any other table (NaN or infinite entries, repeats, any disorder)
// is scanned.
class NearestTable {
public:
    NearestTable() = default;
    explicit NearestTable(std::vector<float> values);
    // The logarithms (logf) of a grid's entries, for nearest_log_index's
    // distances; a grid of one entry or none needs none.
    static NearestTable of_logs(std::span<const float> grid);

    std::size_t nearest(float target) const;
    std::span<const float> values() const { return values_; }

private:
    std::vector<float> values_;
    bool ascending_ = false;
    // A first guess at the lower bound, by linear interpolation between the
    // ends (right for evenly spaced tables; only a starting point).
    double origin_ = 0.0;
    double per_unit_ = 0.0;
};

}  // namespace korvane

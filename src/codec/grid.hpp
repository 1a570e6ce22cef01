// Quantisation grids (tables of single-precision reconstruction values) and the
// nearest-entry searches that turn a value into a code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/error.hpp"

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

// The search both quantisers share, over ready distances' inputs: the
// position of the first smallest |values[j] - target|, where a NaN distance
// never wins and a NaN first distance keeps position 0. Gives exactly the
// position of the linear scans above, eight entries at a time.
std::size_t first_nearest(std::span<const float> values, float target);

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

}  // namespace korvane

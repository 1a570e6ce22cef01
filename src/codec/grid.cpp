#include "codec/grid.hpp"

#include <cmath>

namespace korvane {

Result<SpectralGrid> log_grid(float lo, float hi, std::uint8_t bits) {
    if (bits >= 31) return fail(invalid_grid_size(bits));
    if (bits == 0) return SpectralGrid{lo};
    const std::uint32_t n = std::uint32_t{1} << bits;
    const float a = logf(lo);
    const float b = logf(hi);
    const float step = (b - a) / (static_cast<float>(n) + -1.0f);
    SpectralGrid grid(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        const float prod = step * static_cast<float>(i);
        grid[i] = expf(a + prod);
    }
    return grid;
}

SpectralGrid uniform_phase_grid(std::uint8_t bits) {
    const std::uint32_t n = std::uint32_t{1} << bits;
    // Exact: dividing by a power of two only lowers the exponent.
    const float step = kTwoPi / static_cast<float>(n);
    SpectralGrid grid(n);
    for (std::uint32_t i = 0; i < n; ++i) grid[i] = step * static_cast<float>(i);
    return grid;
}

namespace {

// Linear scan: a later entry wins only with a strictly smaller distance, so a
// NaN distance never wins and ties stay at the lowest position.
template <class Distance>
std::size_t scan_nearest(std::size_t count, Distance distance) {
    std::size_t best = 0;
    float best_d = distance(0);
    for (std::size_t j = 1; j < count; ++j) {
        const float d = distance(j);
        if (d < best_d) {
            best = j;
            best_d = d;
        }
    }
    return best;
}

}  // namespace

std::size_t nearest_log_index(std::span<const float> grid, float x) {
    const float lx = logf(x);
    if (grid.size() <= 1) return 0;
    return scan_nearest(grid.size(), [&](std::size_t j) { return std::fabs(logf(grid[j]) - lx); });
}

std::size_t nearest_index(std::span<const float> grid, float p) {
    if (grid.size() <= 1) return 0;
    return scan_nearest(grid.size(), [&](std::size_t j) { return std::fabs(grid[j] - p); });
}

LogGridTable::LogGridTable(std::span<const float> grid) : logs_(grid.size()) {
    if (grid.size() > 1)
        for (std::size_t j = 0; j < grid.size(); ++j) logs_[j] = logf(grid[j]);
}

std::size_t LogGridTable::nearest(float x) const {
    const float lx = logf(x);
    if (logs_.size() <= 1) return 0;
    return scan_nearest(logs_.size(), [&](std::size_t j) { return std::fabs(logs_[j] - lx); });
}

}  // namespace korvane

#include "codec/grid.hpp"

#include "simd/nearest.hpp"

#include <cmath>
#include <utility>

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

std::size_t nearest_log_index(std::span<const float> grid, float x) {
    const float lx = logf(x);
    // A later entry wins only with a strictly smaller distance, so a NaN
    // distance never wins and ties stay at the lowest position.
    std::size_t best = 0;
    float best_d = grid.empty() ? 0.0f : std::fabs(logf(grid[0]) - lx);
    for (std::size_t j = 1; j < grid.size(); ++j) {
        const float d = std::fabs(logf(grid[j]) - lx);
        if (d < best_d) {
            best = j;
            best_d = d;
        }
    }
    return best;
}

std::size_t nearest_index(std::span<const float> grid, float p) { return first_nearest_plain(grid, p); }

LogGridTable::LogGridTable(std::span<const float> grid) : logs_(grid.size()) {
    if (grid.size() > 1)
        for (std::size_t j = 0; j < grid.size(); ++j) logs_[j] = logf(grid[j]);
}

std::size_t LogGridTable::nearest(float x) const {
    const float lx = logf(x);
    return first_nearest(logs_, lx);
}

NearestTable::NearestTable(std::vector<float> values) : values_(std::move(values)) {
    ascending_ = true;
    for (std::size_t j = 0; j < values_.size() && ascending_; ++j)
        ascending_ = std::isfinite(values_[j]) && (j == 0 || values_[j - 1] < values_[j]);
    if (ascending_ && values_.size() > 1) {
        origin_ = values_.front();
        per_unit_ = static_cast<double>(values_.size() - 1) /
                    (static_cast<double>(values_.back()) - static_cast<double>(values_.front()));
    }
}

NearestTable NearestTable::of_logs(std::span<const float> grid) {
    std::vector<float> logs(grid.size());
    if (grid.size() > 1)
        for (std::size_t j = 0; j < grid.size(); ++j) logs[j] = logf(grid[j]);
    return NearestTable(std::move(logs));
}

std::size_t NearestTable::nearest(float target) const {
    const std::size_t n = values_.size();
    if (n <= 1) return 0;
    if (!ascending_) return first_nearest(values_, target);
    if (std::isnan(target)) return 0;  // every distance NaN: position 0
    const float* v = values_.data();
    const auto dist = [&](std::size_t j) { return std::fabs(v[j] - target); };
    // p: the first entry not below the target, found by stepping from the
    // interpolated guess, or by bisection when the guess is far off. Entries
    // from p on are at non-decreasing distances, so p is the best of them;
    // entries before p are at non-increasing distances, so p - 1 is the best
    // of those, and the first entry at its distance is the answer when it is
    // no farther than p (ties go to the lower position).
    double guess = (static_cast<double>(target) - origin_) * per_unit_ + 1.0;
    guess = guess < 0.0 ? 0.0 : (guess > static_cast<double>(n) ? static_cast<double>(n) : guess);
    std::size_t p = static_cast<std::size_t>(guess);
    int steps = 0;
    while (p > 0 && !(v[p - 1] < target) && ++steps <= 4) --p;
    while (p < n && v[p] < target && ++steps <= 4) ++p;
    if ((p > 0 && !(v[p - 1] < target)) || (p < n && v[p] < target)) {
        const float* base = v;  // branch-free lower bound
        for (std::size_t len = n; len > 1;) {
            const std::size_t half = len / 2;
            base += half & (std::size_t{0} - static_cast<std::size_t>(base[half - 1] < target));
            len -= half;
        }
        p = static_cast<std::size_t>(base - v) + (*base < target ? 1 : 0);
    }
    if (p == 0) return 0;
    const float left = dist(p - 1);
    if (p < n && dist(p) < left) return p;
    if (p == 1 || dist(p - 2) > left) return p - 1;
    std::size_t lo = 0, hi = p - 2;  // the first j in [0, p - 2] with dist(j) <= left
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (dist(mid) <= left) hi = mid; else lo = mid + 1;
    }
    return lo;
}

}  // namespace korvane

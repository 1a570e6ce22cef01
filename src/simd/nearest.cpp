#include "simd/nearest.hpp"

#include <immintrin.h>

#include <cmath>

namespace korvane {

std::size_t first_nearest_plain(std::span<const float> values, float target) {
    // A later entry wins only with a strictly smaller distance, so a NaN
    // distance never wins and ties stay at the lowest position.
    std::size_t best = 0;
    float best_d = values.empty() ? 0.0f : std::fabs(values[0] - target);
    for (std::size_t j = 1; j < values.size(); ++j) {
        const float d = std::fabs(values[j] - target);
        if (d < best_d) {
            best = j;
            best_d = d;
        }
    }
    return best;
}

std::size_t first_nearest(std::span<const float> values, float target) {
    const std::size_t n = values.size();
    if (n <= 1) return 0;
    const float* v = values.data();
    const float d0 = std::fabs(v[0] - target);
    if (std::isnan(d0)) return 0;
    // Pass 1: the smallest distance that is a number. min_ps returns its
    // second operand when the first is NaN, so NaN distances drop out.
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256 t = _mm256_set1_ps(target);
    __m256 lane_min = _mm256_set1_ps(d0);
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256 d = _mm256_and_ps(_mm256_sub_ps(_mm256_loadu_ps(v + j), t), abs_mask);
        lane_min = _mm256_min_ps(d, lane_min);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, lane_min);
    float best = d0;
    for (float x : lanes) best = x < best ? x : best;
    for (; j < n; ++j) {
        const float d = std::fabs(v[j] - target);
        best = d < best ? d : best;
    }
    // Pass 2: the first position at that distance.
    const __m256 b = _mm256_set1_ps(best);
    for (j = 0; j + 8 <= n; j += 8) {
        const __m256 d = _mm256_and_ps(_mm256_sub_ps(_mm256_loadu_ps(v + j), t), abs_mask);
        const int hits = _mm256_movemask_ps(_mm256_cmp_ps(d, b, _CMP_EQ_OQ));
        if (hits != 0) return j + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
    for (; j < n; ++j)
        if (std::fabs(v[j] - target) == best) return j;
    return 0;
}

}  // namespace korvane

#include "simd/scoring.hpp"

#include <cmath>

#include "simd/ordered_ops.hpp"

namespace korvane {

float query_weight(const DecodedQuery& q, std::size_t j, std::size_t f) {
    const std::size_t h = q.bins[j];
    return (h > 0 && h + 1 < f) ? 2.0f * q.mags[j] : q.mags[j];
}

void accumulate_scores_plain(const DecodedQuery& query, std::span<const float> mags,
                                 std::span<const float> phases, std::size_t f, std::span<float> scores) {
    const std::size_t n = scores.size();
    for (std::size_t j = 0; j < query.bins.size(); ++j) {
        const float a = query_weight(query, j, f);
        const float phi = query.phases[j];
        const std::size_t h = query.bins[j];
        for (std::size_t r = 0; r < n; ++r) {
            const std::size_t p = r * f + h;
            const float prod = mul_ordered(a, mags[p]);
            const float diff = phi - phases[p];
            const float c = cosf(diff);
            const float term = mul_ordered(c, prod);
            scores[r] = add_ordered(scores[r], term);
        }
    }
}

}  // namespace korvane

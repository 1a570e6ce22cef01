#include "index/simd.hpp"

#include <cmath>

namespace korvane {

namespace {

float weight(const DecodedQuery& q, std::size_t j, std::size_t f) {
    const std::size_t h = q.bins[j];
    return (h > 0 && h + 1 < f) ? 2.0f * q.mags[j] : q.mags[j];
}

}  // namespace

void accumulate_scores_reference(const DecodedQuery& query, std::span<const float> mags,
                                 std::span<const float> phases, std::size_t f, std::span<float> scores) {
    const std::size_t n = scores.size();
    for (std::size_t j = 0; j < query.bins.size(); ++j) {
        const float a = weight(query, j, f);
        const float phi = query.phases[j];
        const std::size_t h = query.bins[j];
        for (std::size_t r = 0; r < n; ++r) {
            const std::size_t p = r * f + h;
            const float prod = a * mags[p];
            const float diff = phi - phases[p];
            const float c = cosf(diff);
            const float term = c * prod;
            scores[r] = scores[r] + term;
        }
    }
}

void accumulate_scores(const DecodedQuery& query, std::span<const float> mags, std::span<const float> phases,
                       std::size_t f, std::span<float> scores) {
    const std::size_t c = query.bins.size();
    const std::size_t n = scores.size();
    std::vector<float> a(c);
    std::vector<unsigned char> a_finite(c);
    for (std::size_t j = 0; j < c; ++j) {
        a[j] = weight(query, j, f);
        a_finite[j] = std::isfinite(a[j]);
    }
    // Item by item, each item's sum still formed in query-bin order, so the
    // bits are those of the column-wise reference. A bin the item did not keep
    // has magnitude 0 and, with a finite weight and a finite phase
    // difference, a term of +-0, which leaves a score unchanged (a score
    // starts at +0 and a sum is -0 only when both operands are), so the cosine
    // is skipped there.
    for (std::size_t r = 0; r < n; ++r) {
        const float* row_m = mags.data() + r * f;
        const float* row_p = phases.data() + r * f;
        float s = scores[r];
        for (std::size_t j = 0; j < c; ++j) {
            const std::size_t h = query.bins[j];
            const float m = row_m[h];
            const float ph = row_p[h];
            const float diff = query.phases[j] - ph;
            if (m == 0.0f && a_finite[j] && std::isfinite(diff)) continue;
            const float prod = a[j] * m;
            const float cs = cosf(diff);
            const float term = cs * prod;
            s = s + term;
        }
        scores[r] = s;
    }
}

}  // namespace korvane

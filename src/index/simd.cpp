#include "index/simd.hpp"

#include <immintrin.h>

#include <bit>
#include <cmath>

#include "codec/grid.hpp"

namespace korvane {

namespace {

// Products and sums whose operands are both NaN give one of the two NaNs, and
// which one depends on the operand order of the instruction; for + and * the
// compiler picks that order freely, so the same source line can yield
// different NaN bits in two functions. Both kernels use these, so the left
// operand's NaN is the one that comes out in each.
inline float mul_ordered(float x, float y) {
    float r;
    asm("vmulss %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}
inline float add_ordered(float x, float y) {
    float r;
    asm("vaddss %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}

// Eight-lane forms with the same operand order (the left operand's NaN wins).
inline __m256 mul_ordered8(__m256 x, __m256 y) {
    __m256 r;
    asm("vmulps %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}
inline __m256 add_ordered8(__m256 x, __m256 y) {
    __m256 r;
    asm("vaddps %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}

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
            const float prod = mul_ordered(a, mags[p]);
            const float diff = phi - phases[p];
            const float c = cosf(diff);
            const float term = mul_ordered(c, prod);
            scores[r] = add_ordered(scores[r], term);
        }
    }
}

namespace {

// The uniform phase grid of 2^b entries (b <= 8), whose entry i is step * i:
// an item phase that is an entry is mapped back to its position by rounding,
// and the position is confirmed by comparing bits.
class UniformPhases {
public:
    explicit UniformPhases(std::span<const float> grid) : grid_(grid) {
        const std::size_t g = grid.size();
        if (g < 2 || g > 256 || (g & (g - 1)) != 0) return;
        const float step = kTwoPi / static_cast<float>(g);
        for (std::size_t i = 0; i < g; ++i)
            if (std::bit_cast<std::uint32_t>(grid[i]) != std::bit_cast<std::uint32_t>(step * static_cast<float>(i))) return;
        step_ = step;
        inv_step_ = static_cast<float>(g) / kTwoPi;
        usable_ = true;
    }
    bool usable() const { return usable_; }
    float step() const { return step_; }
    float inv_step() const { return inv_step_; }
    std::size_t size() const { return grid_.size(); }

    // Position of `phase` in the grid, or -1 when it is not an entry.
    std::ptrdiff_t position(float phase) const {
        const float t = phase * inv_step_ + 0.5f;
        if (!(t >= 0.0f && t < static_cast<float>(grid_.size()))) return -1;
        const auto i = static_cast<std::size_t>(t);
        if (std::bit_cast<std::uint32_t>(grid_[i]) != std::bit_cast<std::uint32_t>(phase)) return -1;
        return static_cast<std::ptrdiff_t>(i);
    }

private:
    std::span<const float> grid_;
    float step_ = 0.0f;
    float inv_step_ = 0.0f;
    bool usable_ = false;
};

}  // namespace

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
    // cosf is a pure function, so a cosine taken once per (query bin, grid
    // entry) has the bits of the cosine taken per item.
    const UniformPhases grid(query.phase_grid);
    std::vector<float> cos_table;
    if (grid.usable()) {
        const std::size_t g = grid.size();
        cos_table.resize(c * g);
        for (std::size_t j = 0; j < c; ++j)
            for (std::size_t i = 0; i < g; ++i) {
                const float diff = query.phases[j] - query.phase_grid[i];
                cos_table[j * g + i] = cosf(diff);
            }
    }
    // Item by item, each item's sum still formed in query-bin order and
    // every term computed as the reference computes it, so the bits are those
    // of the column-wise reference.
    if (grid.usable()) {
        // Every term is formed; only its cosine comes from the table when the
        // item's phase is a grid entry (it always is for items decoded
        // through this grid), which keeps the loop free of unpredictable
        // branches.
        const std::size_t g = grid.size();
        std::size_t r = 0;
        // Eight items at a time, one lane each: every lane's sum is formed in
        // query-bin order with the scalar path's operations. A lane whose
        // phase is not a grid entry takes its cosine from cosf.
        if (f <= 65536) {
            const __m256i lane_rows = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                         _mm256_set1_epi32(static_cast<int>(f)));
            const __m256 inv = _mm256_set1_ps(grid.inv_step());
            const __m256 step = _mm256_set1_ps(grid.step());
            const __m256 half = _mm256_set1_ps(0.5f);
            const __m256 zero = _mm256_setzero_ps();
            const __m256 top = _mm256_set1_ps(static_cast<float>(g));
            for (; r + 8 <= n; r += 8) {
                const float* base_m = mags.data() + r * f;
                const float* base_p = phases.data() + r * f;
                __m256 s = _mm256_loadu_ps(scores.data() + r);
                for (std::size_t j = 0; j < c; ++j) {
                    const __m256i at = _mm256_add_epi32(lane_rows, _mm256_set1_epi32(query.bins[j]));
                    const __m256 m = _mm256_i32gather_ps(base_m, at, 4);
                    const __m256 ph = _mm256_i32gather_ps(base_p, at, 4);
                    const __m256 t = _mm256_add_ps(_mm256_mul_ps(ph, inv), half);
                    const __m256 in_range =
                        _mm256_and_ps(_mm256_cmp_ps(t, zero, _CMP_GE_OQ), _mm256_cmp_ps(t, top, _CMP_LT_OQ));
                    const __m256i i = _mm256_and_si256(_mm256_cvttps_epi32(t), _mm256_castps_si256(in_range));
                    const __m256 entry = _mm256_mul_ps(step, _mm256_cvtepi32_ps(i));
                    const __m256 hit = _mm256_and_ps(
                        in_range,
                        _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_castps_si256(entry), _mm256_castps_si256(ph))));
                    __m256 cs = _mm256_mask_i32gather_ps(zero, cos_table.data() + j * g, i, hit, 4);
                    const int hits = _mm256_movemask_ps(hit);
                    if (hits != 0xFF) {
                        alignas(32) float lanes_cs[8];
                        alignas(32) float lanes_ph[8];
                        _mm256_store_ps(lanes_cs, cs);
                        _mm256_store_ps(lanes_ph, ph);
                        for (int l = 0; l < 8; ++l)
                            if (!(hits & (1 << l))) lanes_cs[l] = cosf(query.phases[j] - lanes_ph[l]);
                        cs = _mm256_load_ps(lanes_cs);
                    }
                    const __m256 prod = mul_ordered8(_mm256_set1_ps(a[j]), m);
                    const __m256 term = mul_ordered8(cs, prod);
                    s = add_ordered8(s, term);
                }
                _mm256_storeu_ps(scores.data() + r, s);
            }
        }
        for (; r < n; ++r) {
            const float* row_m = mags.data() + r * f;
            const float* row_p = phases.data() + r * f;
            float s = scores[r];
            for (std::size_t j = 0; j < c; ++j) {
                const std::size_t h = query.bins[j];
                const float ph = row_p[h];
                const std::ptrdiff_t i = grid.position(ph);
                const float cs = i >= 0 ? cos_table[j * g + static_cast<std::size_t>(i)] : cosf(query.phases[j] - ph);
                const float prod = mul_ordered(a[j], row_m[h]);
                const float term = mul_ordered(cs, prod);
                s = add_ordered(s, term);
            }
            scores[r] = s;
        }
        return;
    }
    // Without the table, the cosine is skipped where the term cannot change
    // the score: a bin the item did not keep has magnitude 0 and, with a
    // finite weight and a finite phase difference, a term of +-0, which
    // leaves every score unchanged except -0 (-0 + +0 is +0).
    for (std::size_t r = 0; r < n; ++r) {
        const float* row_m = mags.data() + r * f;
        const float* row_p = phases.data() + r * f;
        float s = scores[r];
        for (std::size_t j = 0; j < c; ++j) {
            const std::size_t h = query.bins[j];
            const float m = row_m[h];
            const float diff = query.phases[j] - row_p[h];
            if (m == 0.0f && a_finite[j] && std::isfinite(diff) && !(s == 0.0f && std::signbit(s))) continue;
            const float cs = cosf(diff);
            const float prod = mul_ordered(a[j], m);
            const float term = mul_ordered(cs, prod);
            s = add_ordered(s, term);
        }
        scores[r] = s;
    }
}

}  // namespace korvane

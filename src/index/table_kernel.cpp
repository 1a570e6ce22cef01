// Every AVX2 intrinsic of the index lives in this file.
#include "index/table_kernel.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "index/ordered_ops.hpp"
#include "simd/lanes.hpp"

namespace korvane {

namespace {

bool is_zero(float x) { return x == 0.0f; }  // +0 or -0; false for NaN

void add_constant(float term, float* s, std::size_t count) {
    const __m256 t = _mm256_set1_ps(term);
    std::size_t r = 0;
    for (; r + 8 <= count; r += 8) _mm256_storeu_ps(s + r, add_ordered8(_mm256_loadu_ps(s + r), t));
    for (; r < count; ++r) s[r] = add_ordered(s[r], term);
}

float term_of(const BinTerms& t, std::uint16_t code) {
    return mul_ordered(t.cosines[code >> 8], t.mag_terms[code & 0xFF]);
}

void add_posting(const BinTerms& t, const BinColumn& col, float* s) {
    const std::size_t len = col.ids.size();
    const std::uint16_t* ids = col.ids.data();
    const std::uint16_t* codes = col.codes.data();
    for (std::size_t e = 0; e < len; ++e) {
        const std::size_t i = ids[e];
        s[i] = add_ordered(s[i], term_of(t, codes[e]));
    }
}

// Each item gets either its own term or the absent one, added in one pass.
void add_posting_over_absent(const BinTerms& t, const BinColumn& col, std::size_t count, float* s,
                             std::vector<float>& scratch) {
    scratch.assign(count, t.absent);
    for (std::size_t e = 0; e < col.ids.size(); ++e) scratch[col.ids[e]] = term_of(t, col.codes[e]);
    std::size_t r = 0;
    for (; r + 8 <= count; r += 8)
        _mm256_storeu_ps(s + r, add_ordered8(_mm256_loadu_ps(s + r), _mm256_loadu_ps(scratch.data() + r)));
    for (; r < count; ++r) s[r] = add_ordered(s[r], scratch[r]);
}

// One dense column: every item's code is read, and an item without the bin
// takes the absent term instead of its code's.
void add_dense(const BinTerms& t, const BinColumn& col, std::size_t count, float* s) {
    const std::uint16_t* codes = col.codes.data();
    const std::uint8_t* present = col.present.data();
    const float* mag_terms = t.mag_terms;
    const float* cosines = t.cosines;
    const __m256i low_byte = _mm256_set1_epi32(0xFF);
    const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256 absent = _mm256_set1_ps(t.absent);
    std::size_t r = 0;
    for (; r + 8 <= count; r += 8) {
        const __m256i code = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + r)));
        const __m256 a = _mm256_i32gather_ps(mag_terms, _mm256_and_si256(code, low_byte), 4);
        const __m256 c = _mm256_i32gather_ps(cosines, _mm256_srli_epi32(code, 8), 4);
        const __m256i bits = _mm256_and_si256(_mm256_set1_epi32(present[r >> 3]), lane_bit);
        const __m256 kept = _mm256_castsi256_ps(_mm256_cmpeq_epi32(bits, lane_bit));
        const __m256 term = _mm256_blendv_ps(absent, mul_ordered8(c, a), kept);
        _mm256_storeu_ps(s + r, add_ordered8(_mm256_loadu_ps(s + r), term));
    }
    for (; r < count; ++r) {
        const bool kept = present[r >> 3] >> (r & 7) & 1;
        s[r] = add_ordered(s[r], kept ? term_of(t, codes[r]) : t.absent);
    }
}

void add_column(const BinTerms& terms, const BinColumn* col, std::size_t count, float* scores,
                std::vector<float>& scratch) {
    const bool absent_counts = !is_zero(terms.absent);
    if (col == nullptr || col->kept == 0) {
        if (absent_counts) add_constant(terms.absent, scores, count);
    } else if (col->dense) {
        add_dense(terms, *col, count, scores);
    } else if (absent_counts) {
        add_posting_over_absent(terms, *col, count, scores, scratch);
    } else {
        add_posting(terms, *col, scores);
    }
}

}  // namespace

void normalise_scores(float qn, float big_d, const float* norms, float* s, std::size_t n) {
    // A NaN divisor gives 0 whatever its bits, so the products' operand
    // order does not matter here; the quotient keeps the score's NaN.
    const __m256 q = _mm256_set1_ps(qn);
    const __m256 d8 = _mm256_set1_ps(big_d);
    const __m256 zero = _mm256_setzero_ps();
    std::size_t r = 0;
    for (; r + 8 <= n; r += 8) {
        const __m256 d = _mm256_mul_ps(_mm256_mul_ps(q, _mm256_loadu_ps(norms + r)), d8);
        const __m256 positive = _mm256_cmp_ps(d, zero, _CMP_GT_OQ);
        _mm256_storeu_ps(s + r, _mm256_and_ps(_mm256_div_ps(_mm256_loadu_ps(s + r), d), positive));
    }
    for (; r < n; ++r) {
        const float d = (qn * norms[r]) * big_d;
        s[r] = d > 0.0f ? s[r] / d : 0.0f;
    }
}

std::size_t next_candidate(std::span<const float> s, std::size_t from, float worst) {
    const std::size_t n = s.size();
    const bool any_number = std::isnan(worst);
    const __m256 w = _mm256_set1_ps(worst);
    std::size_t r = from;
    for (; r + 8 <= n; r += 8) {
        const __m256 v = _mm256_loadu_ps(s.data() + r);
        const __m256 hit = any_number ? _mm256_cmp_ps(v, v, _CMP_ORD_Q) : _mm256_cmp_ps(v, w, _CMP_GT_OQ);
        const int mask = _mm256_movemask_ps(hit);
        if (mask != 0) return r + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    for (; r < n; ++r)
        if (any_number ? !std::isnan(s[r]) : s[r] > worst) return r;
    return n;
}

void fill_mag_terms(float a, std::span<const float> mag_grid, std::span<float> mag_terms) {
    const std::size_t g = mag_grid.size() < mag_terms.size() ? mag_grid.size() : mag_terms.size();
    for (std::size_t m = 0; m < g; ++m) mag_terms[m] = mul_ordered(a, mag_grid[m]);
    for (std::size_t m = g; m < mag_terms.size(); ++m) mag_terms[m] = 0.0f;
}

void accumulate_segment(std::span<const BinTerms> terms, std::span<const std::uint16_t> bins, const Segment& seg,
                        float* scores, std::vector<float>& scratch) {
    for (std::size_t j = 0; j < bins.size(); ++j)
        add_column(terms[j], seg.bins[bins[j]].get(), seg.count, scores, scratch);
}

}  // namespace korvane

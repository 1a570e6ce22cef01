#include "simd/vector_steps.hpp"

#include <cmath>

namespace korvane {

void sums_of_squares8(const float* const rows[kLanes], std::size_t dim, float out[kLanes]) {
    __m256 s = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
        __m256 r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = _mm256_loadu_ps(rows[k] + i);
        transpose8(r);
        // Column i + c of every row, in index order: square, then add.
        for (std::size_t c = 0; c < 8; ++c) s = _mm256_add_ps(s, _mm256_mul_ps(r[c], r[c]));
    }
    for (; i < dim; ++i) {
        const __m256 v = _mm256_setr_ps(rows[0][i], rows[1][i], rows[2][i], rows[3][i], rows[4][i], rows[5][i],
                                        rows[6][i], rows[7][i]);
        s = _mm256_add_ps(s, _mm256_mul_ps(v, v));
    }
    _mm256_storeu_ps(out, s);
}

void scaled_to_complex(const float* x, std::size_t n, float s, bool divide, std::complex<float>* out) {
    float* o = reinterpret_cast<float*>(out);
    const __m256 vs = _mm256_set1_ps(s), zero = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 xv = _mm256_loadu_ps(x + i);
        const __m256 v = divide ? _mm256_div_ps(xv, vs) : _mm256_mul_ps(vs, xv);
        const __m256 lo = _mm256_unpacklo_ps(v, zero);  // v0 0 v1 0 | v4 0 v5 0
        const __m256 hi = _mm256_unpackhi_ps(v, zero);  // v2 0 v3 0 | v6 0 v7 0
        _mm256_storeu_ps(o + 2 * i, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(o + 2 * i + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
    for (; i < n; ++i) out[i] = {divide ? x[i] / s : s * x[i], 0.0f};
}

void bin_magnitudes(const std::complex<float>* bins, std::size_t n, float* out) {
    const float* p = reinterpret_cast<const float*>(bins);
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256 largest = _mm256_set1_ps(3.40282347e38f);
    std::size_t b = 0;
    for (; b + 4 <= n; b += 4) {
        const __m256 v = _mm256_loadu_ps(p + 2 * b);  // re0 im0 re1 im1 re2 im2 re3 im3
        // Every part finite (|v| <= FLT_MAX is false for inf and NaN).
        if (_mm256_movemask_ps(_mm256_cmp_ps(_mm256_and_ps(v, abs_mask), largest, _CMP_LE_OQ)) != 0xFF) {
            for (std::size_t j = b; j < b + 4; ++j) out[j] = hypotf(bins[j].real(), bins[j].imag());
            continue;
        }
        const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));    // re0 im0 re1 im1
        const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));  // re2 im2 re3 im3
        // Squares are exact in double; hadd gives re^2 + im^2 per bin:
        // (b0, b2, b1, b3) in its lane order.
        const __m256d sums = _mm256_hadd_pd(_mm256_mul_pd(lo, lo), _mm256_mul_pd(hi, hi));
        const __m256d roots = _mm256_permute4x64_pd(_mm256_sqrt_pd(sums), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_ps(out + b, _mm256_cvtpd_ps(roots));
    }
    for (; b < n; ++b) out[b] = hypotf(bins[b].real(), bins[b].imag());
}

}  // namespace korvane

#include "simd/narrow.hpp"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace korvane {

namespace {

// A float32 value as it comes back from a Python float: NaN made quiet.
inline float through_double(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) bits |= 0x00400000u;
    std::memcpy(&v, &bits, 4);
    return v;
}

}  // namespace

void copy_f32_plain(const char* p, std::size_t n, std::ptrdiff_t stride, float* out) {
    for (std::size_t i = 0; i < n; ++i) {
        float v;
        std::memcpy(&v, p + static_cast<std::ptrdiff_t>(i) * stride, 4);
        out[i] = through_double(v);
    }
}

void copy_f32(const char* p, std::size_t n, std::ptrdiff_t stride, float* out) {
    std::size_t i = 0;
    if (stride == 4) {
        const __m256 quiet = _mm256_castsi256_ps(_mm256_set1_epi32(0x00400000));
        for (; i + 8 <= n; i += 8) {
            const __m256 v = _mm256_loadu_ps(reinterpret_cast<const float*>(p) + i);
            const __m256 nan = _mm256_cmp_ps(v, v, _CMP_UNORD_Q);
            _mm256_storeu_ps(out + i, _mm256_or_ps(v, _mm256_and_ps(nan, quiet)));
        }
    }
    copy_f32_plain(p + static_cast<std::ptrdiff_t>(i) * stride, n - i, stride, out + i);
}

void copy_f64_plain(const char* p, std::size_t n, std::ptrdiff_t stride, float* out) {
    for (std::size_t i = 0; i < n; ++i) {
        double d;
        std::memcpy(&d, p + static_cast<std::ptrdiff_t>(i) * stride, 8);
        out[i] = static_cast<float>(d);  // to nearest, ties to even, as the element path
    }
}

void copy_f64(const char* p, std::size_t n, std::ptrdiff_t stride, float* out) {
    std::size_t i = 0;
    if (stride == 8)
        for (; i + 4 <= n; i += 4)
            _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_loadu_pd(reinterpret_cast<const double*>(p) + i)));
    copy_f64_plain(p + static_cast<std::ptrdiff_t>(i) * stride, n - i, stride, out + i);
}

}  // namespace korvane

#include "simd/certain_codes.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "codec/grid.hpp"

namespace korvane {

namespace {

// atan(u) for |u| <= tan(pi/8), by its alternating series to u^15: the
// first omitted term, and so the error of the series, is below
// 0.4143^17 / 17 < 2e-8.
constexpr int kAtanTerms = 8;
constexpr std::array<float, kAtanTerms> kAtanSeries = [] {
    std::array<float, kAtanTerms> c{};
    for (int k = 0; k < kAtanTerms; ++k) c[k] = static_cast<float>(((k & 1) ? -1.0 : 1.0) / static_cast<double>(2 * k + 1));
    return c;
}();

// atan2(y, x) for eight pairs of finite, non-zero values, in single
// precision, within 1e-6 of the true angle: the series (2e-8), its
// coefficients and evaluation (a few units in the last place of a value below
// 0.4), the reduction's quotients (relative 2e-7 of u), and the rounded
// constants and sums that follow (each within half a unit in the last place
// of values below 4, 2.4e-7). Other lanes give values of no meaning.
__m256 atan2_close8(__m256 y, __m256 xs) {
    const __m256 sign = _mm256_set1_ps(-0.0f);
    const __m256 ax = _mm256_andnot_ps(sign, xs), ay = _mm256_andnot_ps(sign, y);
    const __m256 steep = _mm256_cmp_ps(ay, ax, _CMP_GT_OQ);
    const __m256 t = _mm256_div_ps(_mm256_min_ps(ax, ay), _mm256_max_ps(ax, ay));  // in [0, 1]
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 big = _mm256_cmp_ps(t, _mm256_set1_ps(0.41421356f), _CMP_GT_OQ);
    // Above tan(pi/8): atan(t) = pi/4 + atan((t - 1) / (t + 1)).
    const __m256 u = _mm256_blendv_ps(t, _mm256_div_ps(_mm256_sub_ps(t, one), _mm256_add_ps(t, one)), big);
    // The series in x = u^2 by Estrin's scheme, for a short chain of
    // dependent operations.
    const __m256 x = _mm256_mul_ps(u, u);
    const __m256 x2 = _mm256_mul_ps(x, x);
    auto pair = [&](int k) {
        return _mm256_add_ps(_mm256_set1_ps(kAtanSeries[k]), _mm256_mul_ps(_mm256_set1_ps(kAtanSeries[k + 1]), x));
    };
    static_assert(kAtanTerms == 8);
    const __m256 q0 = _mm256_add_ps(pair(0), _mm256_mul_ps(pair(2), x2));
    const __m256 q1 = _mm256_add_ps(pair(4), _mm256_mul_ps(pair(6), x2));
    const __m256 s = _mm256_add_ps(q0, _mm256_mul_ps(q1, _mm256_mul_ps(x2, x2)));
    __m256 a = _mm256_add_ps(_mm256_and_ps(big, _mm256_set1_ps(0.78539816f)), _mm256_mul_ps(s, u));
    a = _mm256_blendv_ps(a, _mm256_sub_ps(_mm256_set1_ps(1.57079633f), a), steep);
    a = _mm256_blendv_ps(a, _mm256_sub_ps(_mm256_set1_ps(3.14159265f), a), xs);  // x < 0 (sign bit)
    return _mm256_xor_ps(a, _mm256_and_ps(y, sign));                         // y < 0 negates
}

// ln(f) for eight values f in [sqrt(1/2), sqrt(2)], in single precision: as
// 2 atanh(s) for s = (f - 1) / (f + 1), |s| <= 0.1716, by its series to
// s^11 (the first omitted term is below 2e-11). f - 1 is exact there, and
// the quotient, the coefficients, the evaluation and the last product each
// round within a few units in the last place of values below 0.35: within
// 2e-7 in all.
__m256 log_near_one8(__m256 f) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 s = _mm256_div_ps(_mm256_sub_ps(f, one), _mm256_add_ps(f, one));
    const __m256 z = _mm256_mul_ps(s, s);
    const __m256 z2 = _mm256_mul_ps(z, z);
    auto pair = [&](float a, float b) { return _mm256_add_ps(_mm256_set1_ps(a), _mm256_mul_ps(_mm256_set1_ps(b), z)); };
    const __m256 q0 = _mm256_add_ps(pair(1.0f, 1.0f / 3.0f), _mm256_mul_ps(pair(1.0f / 5.0f, 1.0f / 7.0f), z2));
    const __m256 series = _mm256_add_ps(q0, _mm256_mul_ps(pair(1.0f / 9.0f, 1.0f / 11.0f), _mm256_mul_ps(z2, z2)));
    return _mm256_mul_ps(_mm256_add_ps(s, s), series);
}

// The codes of k values through `codes`, in runs of 64: `fill(r0, run,
// values)` puts the values of entries r0 .. r0 + run - 1 in `values` (NaN
// where no code is certain whatever the table), then each value takes the
// code of the interval holding it.
template <class Fill>
void decide_in_runs(std::size_t k, const CertainCodes& codes, int* out, Fill fill) {
    if (!codes.usable()) {
        std::fill(out, out + k, -1);
        return;
    }
    constexpr std::size_t kRun = 64;
    alignas(32) double values[kRun];
    for (std::size_t r0 = 0; r0 < k; r0 += kRun) {
        const std::size_t run = std::min(kRun, k - r0);
        fill(r0, run, values);
        for (std::size_t j = 0; j < run; ++j) out[r0 + j] = codes.code_of(values[j]);
    }
}

}  // namespace

// When is entry j certain for every value v that the exact path may hold?
// That path takes the first entry with the least float distance
// fl(|t[i] - v|), each distance rounded within 2^-24 of itself.
// - Against t[j + 1] and every entry above: their distances are at least
//   t[j]'s, and rounding keeps that order (ties go to j), for any v up to
//   the midpoint between t[j] and t[j + 1].
// - Against t[j - 1] and every entry below: t[j]'s distance must round
//   strictly below t[j - 1]'s. With d = |v - t[j - 1]| (the larger one),
//   their difference must pass 2^-23 d. Between the midpoint and t[j] the
//   difference is twice v's distance from the midpoint; beyond t[j] it is
//   the gap t[j] - t[j - 1], however far v goes.
// So the interval of j runs from the lower midpoint plus a share of the gap
// to the upper midpoint, narrowed on both sides by the error of the value
// decided from (err), and cut where a narrow gap's rounding would tie.
// Both rounding shares below are twice the bound, for slack.
//
// err: our value is within 1e-6 of the true one (see above), the exact
// path's within a few units in its last place (atan2f and logf, the float
// sum with 2*pi); 2e-6 plus 2^-20 of the largest value at hand covers both.
CertainCodes::CertainCodes(std::span<const float> table, double reach) {
    const std::size_t n = table.size();
    if (n < 2) return;
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isfinite(table[j]) || (j > 0 && !(table[j - 1] < table[j]))) return;
    constexpr double kRounding = 0x1p-22;
    lower_.resize(n);
    upper_.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double t = table[j];
        const double below = j > 0 ? (static_cast<double>(table[j - 1]) + t) / 2 : -reach;
        const double above = j + 1 < n ? (t + table[j + 1]) / 2 : reach;
        const double err = 2e-6 + std::min(std::max(std::fabs(below), std::fabs(above)), reach) * 0x1p-20;
        lower_[j] = -HUGE_VAL;
        upper_[j] = j + 1 < n ? above - err : HUGE_VAL;
        if (j > 0) {
            const double gap = t - table[j - 1];
            lower_[j] = below + err + kRounding * gap / 2;
            upper_[j] = std::min(upper_[j], table[j - 1] + gap / kRounding - err);
        }
    }
    origin_ = table.front();
    per_unit_ = static_cast<double>(n - 1) / (static_cast<double>(table.back()) - static_cast<double>(table.front()));
}

void certain_phase_codes(const std::complex<float>* bins, const std::uint16_t* idx, std::size_t k,
                         const CertainCodes& phases, int* out) {
    const __m256 sign = _mm256_set1_ps(-0.0f);
    const __m256 largest = _mm256_set1_ps(std::numeric_limits<float>::max());
    const __m256 zero = _mm256_setzero_ps();
    const __m256 margin = _mm256_set1_ps(1e-5f);
    const __m256 two_pi = _mm256_set1_ps(kTwoPi);
    const __m256 nan = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
    // Eight bins at a time and free of branches, so that the long chains of
    // the angle overlap: the angle plus 2*pi when negative.
    decide_in_runs(k, phases, out, [&](std::size_t r0, std::size_t run, double* values) {
        for (std::size_t j0 = 0; j0 < run; j0 += 8) {
            const auto bin = [&](std::size_t l) {  // one (re, im) pair, loaded as 64 bits
                return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bins + idx[r0 + std::min(j0 + l, run - 1)]));
            };
            const __m256 lo = _mm256_castsi256_ps(  // bins 0 1 | 4 5 as (re, im)
                _mm256_setr_m128i(_mm_unpacklo_epi64(bin(0), bin(1)), _mm_unpacklo_epi64(bin(4), bin(5))));
            const __m256 hi = _mm256_castsi256_ps(  // bins 2 3 | 6 7
                _mm256_setr_m128i(_mm_unpacklo_epi64(bin(2), bin(3)), _mm_unpacklo_epi64(bin(6), bin(7))));
            const __m256 re = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));  // bins 0 1 2 3 | 4 5 6 7
            const __m256 im = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
            // Finite, and off the axes, where the sign of a zero would decide
            // between 0 and 2*pi or between pi and -pi; then away from 0.
            __m256 ok = _mm256_and_ps(
                _mm256_and_ps(_mm256_cmp_ps(_mm256_andnot_ps(sign, re), largest, _CMP_LE_OQ), _mm256_cmp_ps(re, zero, _CMP_NEQ_OQ)),
                _mm256_and_ps(_mm256_cmp_ps(_mm256_andnot_ps(sign, im), largest, _CMP_LE_OQ), _mm256_cmp_ps(im, zero, _CMP_NEQ_OQ)));
            const __m256 angle = atan2_close8(im, re);
            ok = _mm256_and_ps(ok, _mm256_cmp_ps(_mm256_andnot_ps(sign, angle), margin, _CMP_GE_OQ));
            const __m256 p = _mm256_blendv_ps(
                nan, _mm256_add_ps(angle, _mm256_and_ps(_mm256_cmp_ps(angle, zero, _CMP_LT_OQ), two_pi)), ok);
            _mm256_store_pd(values + j0, _mm256_cvtps_pd(_mm256_castps256_ps128(p)));
            _mm256_store_pd(values + j0 + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(p, 1)));
        }
    });
}

void certain_magnitude_codes(const float* mags, const std::uint16_t* idx, std::size_t k, const CertainCodes& logs,
                             int* out) {
    const __m256i mantissa = _mm256_set1_epi32(0x007FFFFF), exponent_one = _mm256_set1_epi32(0x3F800000);
    const __m256 smallest = _mm256_set1_ps(std::numeric_limits<float>::min());
    const __m256 largest = _mm256_set1_ps(std::numeric_limits<float>::max());
    const __m256d ln2 = _mm256_set1_pd(0.693147180559945309417232121458176568);
    const __m256d nan = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
    // Eight at a time: m = 2^e f with f in [sqrt(1/2), sqrt(2)), ln m =
    // e ln 2 + ln f, the sum in double; magnitudes that are not normal
    // numbers are never certain.
    decide_in_runs(k, logs, out, [&](std::size_t r0, std::size_t run, double* values) {
        for (std::size_t j0 = 0; j0 < run; j0 += 8) {
            const auto at = [&](std::size_t l) { return mags[idx[r0 + std::min(j0 + l, run - 1)]]; };
            const __m256 m = _mm256_setr_ps(at(0), at(1), at(2), at(3), at(4), at(5), at(6), at(7));
            const __m256 ok = _mm256_and_ps(_mm256_cmp_ps(m, smallest, _CMP_GE_OQ), _mm256_cmp_ps(m, largest, _CMP_LE_OQ));
            const __m256i bits = _mm256_castps_si256(m);
            __m256i e = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127));
            __m256 f = _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, mantissa), exponent_one));
            const __m256 high = _mm256_cmp_ps(f, _mm256_set1_ps(1.41421356f), _CMP_GE_OQ);
            f = _mm256_blendv_ps(f, _mm256_mul_ps(f, _mm256_set1_ps(0.5f)), high);  // exact
            e = _mm256_sub_epi32(e, _mm256_castps_si256(high));                     // + 1 where halved
            const __m256 lf = log_near_one8(f);
            const __m256d y0 = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(e)), ln2),
                                             _mm256_cvtps_pd(_mm256_castps256_ps128(lf)));
            const __m256d y1 = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(e, 1)), ln2),
                                             _mm256_cvtps_pd(_mm256_extractf128_ps(lf, 1)));
            const __m256 okd = _mm256_permutevar8x32_ps(ok, _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3));
            const __m256 okd1 = _mm256_permutevar8x32_ps(ok, _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7));
            _mm256_store_pd(values + j0, _mm256_blendv_pd(nan, y0, _mm256_castps_pd(okd)));
            _mm256_store_pd(values + j0 + 4, _mm256_blendv_pd(nan, y1, _mm256_castps_pd(okd1)));
        }
    });
}

}  // namespace korvane

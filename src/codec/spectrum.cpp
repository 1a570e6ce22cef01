#include "codec/spectrum.hpp"

#include "codec/grid.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace korvane {

namespace {

// In-register transpose: afterwards r[c] holds element c of each of the
// eight input rows, row 0 in lane 0.
void transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
    const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
    const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

}  // namespace

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

void select_strongest_plain(std::span<const float> mags, std::size_t k, std::uint16_t* idx,
                            std::vector<std::uint64_t>& work) {
    const std::size_t n = mags.size();
    work.resize(n);
    for (std::size_t b = 0; b < n; ++b) work[b] = std::uint64_t{magnitude_rank(mags[b])} << 32 | b;
    const auto kth = work.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(work.begin(), kth - 1, work.end());
    std::sort(work.begin(), kth);
    for (std::size_t j = 0; j < k; ++j) idx[j] = static_cast<std::uint16_t>(work[j] & 0xFFFFFFFFu);
}

namespace {

// Horizontal sum of eight 32-bit lanes.
std::int32_t lane_sum(__m256i v) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(s);
}

// magnitude_rank with NaN at 0x7F800001: the same order over the values
// magnitudes take, in 31 bits, so that signed compares apply.
inline std::int32_t rank31(float m) {
    const std::uint32_t r = magnitude_rank(m);
    return static_cast<std::int32_t>(r == 0xFFFFFFFFu ? 0x7F800001u : r);
}

constexpr std::int32_t kPad = 0x7FFFFFFF;  // above every rank

// For each 8-bit mask, the positions of its set bits, lowest first, then
// zeros: the lane order that packs a vector's chosen lanes to its front.
constexpr auto kPackOrder = [] {
    std::array<std::array<std::uint8_t, 8>, 256> order{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        std::size_t n = 0;
        for (std::uint8_t lane = 0; lane < 8; ++lane)
            if (mask >> lane & 1u) order[mask][n++] = lane;
    }
    return order;
}();

// The number of keys (of a padded array of `blocks` vectors of sixteen) at or
// below v; `blocks` stays below 2^15, so no lane's count overflows.
std::size_t count_at_most16(const std::int16_t* keys, std::size_t blocks, std::int16_t v) {
    const __m256i bound = _mm256_set1_epi16(v);
    __m256i above = _mm256_setzero_si256();
    for (std::size_t i = 0; i < blocks; ++i)
        above = _mm256_sub_epi16(above, _mm256_cmpgt_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(keys) + i), bound));
    // Widen the sixteen counts to eight sums of pairs.
    return blocks * 16 - static_cast<std::size_t>(lane_sum(_mm256_madd_epi16(above, _mm256_set1_epi16(1))));
}

// idx[place of key i] = bins[i] for k distinct keys, a key's place being the
// number of keys below it; the keys are padded to whole vectors with values
// above them all. Four vectors of keys at a time are compared with each key
// in turn, so the counts build up lane by lane with no sums across lanes.
template <class Key>
void place_by_keys(const Key* keys, std::size_t k, const std::int32_t* bins, std::uint16_t* idx) {
    constexpr std::size_t kPerVector = 32 / sizeof(Key);
    const auto broadcast = [](Key v) {
        if constexpr (sizeof(Key) == 4) return _mm256_set1_epi32(v); else return _mm256_set1_epi64x(v);
    };
    const auto above = [](__m256i a, __m256i b) {
        if constexpr (sizeof(Key) == 4) return _mm256_cmpgt_epi32(a, b); else return _mm256_cmpgt_epi64(a, b);
    };
    const std::size_t vectors = (k + kPerVector - 1) / kPerVector;
    const auto* vec = reinterpret_cast<const __m256i*>(keys);
    const __m256i none = _mm256_setzero_si256();
    for (std::size_t v0 = 0; v0 < vectors; v0 += 4) {
        // Named registers: counts kept in an array would live in memory.
        const __m256i k0 = _mm256_load_si256(vec + v0);
        const __m256i k1 = v0 + 1 < vectors ? _mm256_load_si256(vec + v0 + 1) : none;
        const __m256i k2 = v0 + 2 < vectors ? _mm256_load_si256(vec + v0 + 2) : none;
        const __m256i k3 = v0 + 3 < vectors ? _mm256_load_si256(vec + v0 + 3) : none;
        __m256i c0 = none, c1 = none, c2 = none, c3 = none;
        for (std::size_t j = 0; j < k; ++j) {
            const __m256i kj = broadcast(keys[j]);
            c0 = _mm256_sub_epi32(c0, above(k0, kj));
            c1 = _mm256_sub_epi32(c1, above(k1, kj));
            c2 = _mm256_sub_epi32(c2, above(k2, kj));
            c3 = _mm256_sub_epi32(c3, above(k3, kj));
        }
        // A 64-bit lane's count is its low half: each "above" adds -1 to
        // both halves.
        alignas(32) std::int32_t places[4][8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(places[0]), c0);
        _mm256_store_si256(reinterpret_cast<__m256i*>(places[1]), c1);
        _mm256_store_si256(reinterpret_cast<__m256i*>(places[2]), c2);
        _mm256_store_si256(reinterpret_cast<__m256i*>(places[3]), c3);
        for (std::size_t s = 0; s < 4; ++s) {
            for (std::size_t l = 0; l < kPerVector; ++l) {
                const std::size_t i = (v0 + s) * kPerVector + l;
                if (i < k) idx[places[s][l * (8 / kPerVector)]] = static_cast<std::uint16_t>(bins[i]);
            }
        }
    }
}

}  // namespace

void select_strongest(std::span<const float> mags, std::size_t k, std::uint16_t* idx,
                      std::vector<std::uint64_t>& work) {
    const std::size_t n = mags.size();
    if (n > 65536 || k > 256) return select_strongest_plain(mags, k, idx, work);
    // Working space inside `work`, 32-byte aligned: n ranks padded to whole
    // pairs of vectors, their 16-bit keys, the ranks sharing the threshold's
    // key, then the k chosen ranks and their bins, padded to whole vectors.
    const std::size_t blocks16 = (n + 15) / 16;
    const std::size_t blocks = blocks16 * 2;
    const std::size_t kblocks = (k + 7) / 8;
    const std::size_t kspace = kblocks * 8 + 8;  // packed stores reach up to 8 past k
    work.resize((blocks * 8 * 2 + blocks16 * 8 + kspace * 2) / 2 + 8);
    auto* base = reinterpret_cast<std::int32_t*>((reinterpret_cast<std::uintptr_t>(work.data()) + 31) & ~std::uintptr_t{31});
    std::int32_t* ranks = base;
    std::int32_t* bucket = ranks + blocks * 8;
    auto* keys = reinterpret_cast<std::int16_t*>(bucket + blocks * 8);
    std::int32_t* chosen = bucket + blocks * 8 + blocks16 * 8;
    std::int32_t* bins = chosen + kspace;

    // Ranks eight bins at a time (rank31 in lanes), with their least and
    // greatest.
    const __m256i nan_rank = _mm256_set1_epi32(0x7F800001);
    const __m256i top_rank = _mm256_set1_epi32(0x7F800000);
    __m256i vlo = _mm256_set1_epi32(kPad), vhi = _mm256_setzero_si256();
    std::size_t b = 0;
    for (; b + 8 <= n; b += 8) {
        const __m256 m = _mm256_loadu_ps(mags.data() + b);
        const __m256i bits = _mm256_andnot_si256(_mm256_castps_si256(_mm256_cmp_ps(m, _mm256_setzero_ps(), _CMP_EQ_OQ)),
                                                 _mm256_castps_si256(m));
        const __m256i r = _mm256_blendv_epi8(_mm256_sub_epi32(top_rank, bits), nan_rank,
                                             _mm256_castps_si256(_mm256_cmp_ps(m, m, _CMP_UNORD_Q)));
        _mm256_store_si256(reinterpret_cast<__m256i*>(ranks + b), r);
        vlo = _mm256_min_epi32(vlo, r);
        vhi = _mm256_max_epi32(vhi, r);
    }
    alignas(32) std::int32_t lanes_lo[8], lanes_hi[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes_lo), vlo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes_hi), vhi);
    std::int32_t lo = kPad, hi = 0;
    for (int l = 0; l < 8; ++l) {
        lo = lanes_lo[l] < lo ? lanes_lo[l] : lo;
        hi = lanes_hi[l] > hi ? lanes_hi[l] : hi;
    }
    for (; b < n; ++b) {
        const std::int32_t r = rank31(mags[b]);
        ranks[b] = r;
        lo = r < lo ? r : lo;
        hi = r > hi ? r : hi;
    }
    for (b = n; b < blocks * 8; ++b) ranks[b] = kPad;

    // The k-th smallest rank, in two steps. First its upper 15 bits: the
    // least key T with at least k keys (rank >> 16) at or below it, searched
    // sixteen keys a vector. Pack order does not matter to a count.
    for (std::size_t i = 0; i < blocks16; ++i) {
        const __m256i r0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(ranks) + 2 * i);
        const __m256i r1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(ranks) + 2 * i + 1);
        _mm256_store_si256(reinterpret_cast<__m256i*>(keys) + i,
                           _mm256_packs_epi32(_mm256_srai_epi32(r0, 16), _mm256_srai_epi32(r1, 16)));
    }
    std::int32_t key_lo = lo >> 16, key_hi = hi >> 16;
    while (key_lo < key_hi) {
        const std::int32_t mid = key_lo + (key_hi - key_lo) / 2;
        if (count_at_most16(keys, blocks16, static_cast<std::int16_t>(mid)) >= k) key_hi = mid; else key_lo = mid + 1;
    }
    // Then the rank itself among the few ranks with key T: the keys below T
    // count `under` ranks, so it is the (k - under)-th smallest of these.
    const __m256i vkey = _mm256_set1_epi32(key_lo);
    std::size_t under = 0, in_bucket = 0;
    for (std::size_t i = 0; i < blocks; ++i) {
        const __m256i r = _mm256_load_si256(reinterpret_cast<const __m256i*>(ranks) + i);
        const __m256i key = _mm256_srai_epi32(r, 16);
        under += static_cast<std::size_t>(__builtin_popcount(
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(vkey, key))))));
        for (unsigned eq = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(vkey, key))));
             eq != 0; eq &= eq - 1)
            bucket[in_bucket++] = ranks[i * 8 + static_cast<std::size_t>(__builtin_ctz(eq))];
    }
    const auto nth = bucket + (k - under - 1);
    std::nth_element(bucket, nth, bucket + in_bucket);
    const std::int32_t t = *nth;

    // In bin order: every bin ranked below t, then as many bins ranked t,
    // lowest first, as fill k. When every bin ranked t is taken (the usual
    // case) each block of eight is packed without a branch.
    std::size_t below = under, ties = 0;
    for (std::size_t j = 0; j < in_bucket; ++j) {
        below += bucket[j] < t ? 1 : 0;
        ties += bucket[j] == t ? 1 : 0;
    }
    std::size_t ties_left = k - below;
    const __m256i vt = _mm256_set1_epi32(t);
    std::size_t m = 0;
    if (ties == ties_left) {
        for (std::size_t i = 0; i < blocks; ++i) {
            const __m256i r = _mm256_load_si256(reinterpret_cast<const __m256i*>(ranks) + i);
            const unsigned take = static_cast<unsigned>(
                _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_add_epi32(vt, _mm256_set1_epi32(1)), r))));
            const __m256i order = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPackOrder[take].data())));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(chosen + m), _mm256_permutevar8x32_epi32(r, order));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(bins + m),
                                _mm256_add_epi32(order, _mm256_set1_epi32(static_cast<std::int32_t>(i * 8))));
            m += static_cast<std::size_t>(__builtin_popcount(take));
        }
    } else {
        for (std::size_t i = 0; i < blocks && m < k; ++i) {
            const __m256i r = _mm256_load_si256(reinterpret_cast<const __m256i*>(ranks) + i);
            const unsigned less = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(vt, r))));
            unsigned eq = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(vt, r))));
            unsigned take = less;
            for (; eq != 0 && ties_left > 0; --ties_left) {  // the lowest ties first
                take |= eq & (0u - eq);
                eq &= eq - 1;
            }
            for (; take != 0; take &= take - 1) {
                const std::size_t bin = i * 8 + static_cast<std::size_t>(__builtin_ctz(take));
                chosen[m] = ranks[bin];
                bins[m] = static_cast<std::int32_t>(bin);
                ++m;
            }
        }
    }

    // Each chosen bin's place: the chosen ranks below its own, plus the
    // equal ones at lower bins (they come earlier in bin order), counted on
    // one distinct key per bin in the same order: (rank - lowest) << 8 |
    // position; in 32 bits as (rank - lowest) << 7 | position when k <= 128
    // and the chosen ranks span less than 2^24.
    const std::int32_t low = lo;  // the least rank of all is chosen
    if (k <= 128 && t - low < (1 << 24)) {
        for (std::size_t i = 0; i < k; ++i) chosen[i] = (chosen[i] - low) << 7 | static_cast<std::int32_t>(i);
        for (std::size_t i = k; i < kblocks * 8; ++i) chosen[i] = kPad;
        place_by_keys(chosen, k, bins, idx);
        return;
    }
    alignas(32) std::int64_t wide[256 + 4];
    for (std::size_t i = 0; i < k; ++i)
        wide[i] = static_cast<std::int64_t>(chosen[i] - low) << 8 | static_cast<std::int64_t>(i);
    for (std::size_t i = k; i < (k + 3) / 4 * 4; ++i) wide[i] = std::numeric_limits<std::int64_t>::max();
    place_by_keys(wide, k, bins, idx);
}

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

#include "simd/selection.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "simd/lanes.hpp"

namespace korvane {

SelectionSpace::Arrays SelectionSpace::arrays(std::size_t n, std::size_t k) {
    // Sizes in 32-bit units, each a whole number of vectors.
    const std::size_t blocks16 = (n + 15) / 16;
    const std::size_t rank_units = blocks16 * 16;
    const std::size_t key_units = blocks16 * 8;
    const std::size_t chosen_units = (k + 7) / 8 * 8 + 8;  // packed stores reach up to 8 past k
    std::int32_t* p = block_.reserve(2 * rank_units + key_units + 2 * chosen_units);
    Arrays a{};
    a.ranks = p;
    a.bucket = a.ranks + rank_units;
    a.keys = reinterpret_cast<std::int16_t*>(a.bucket + rank_units);
    a.chosen = a.bucket + rank_units + key_units;
    a.bins = a.chosen + chosen_units;
    return a;
}

void select_strongest_plain(std::span<const float> mags, std::size_t k, std::uint16_t* idx, SelectionSpace& space) {
    const std::size_t n = mags.size();
    std::vector<std::uint64_t>& work = space.keyed;
    work.resize(n);
    for (std::size_t b = 0; b < n; ++b) work[b] = std::uint64_t{magnitude_rank(mags[b])} << 32 | b;
    const auto kth = work.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(work.begin(), kth - 1, work.end());
    std::sort(work.begin(), kth);
    for (std::size_t j = 0; j < k; ++j) idx[j] = static_cast<std::uint16_t>(work[j] & 0xFFFFFFFFu);
}

namespace {

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

void select_strongest(std::span<const float> mags, std::size_t k, std::uint16_t* idx, SelectionSpace& space) {
    const std::size_t n = mags.size();
    if (n > 65536 || k > 256) return select_strongest_plain(mags, k, idx, space);
    const std::size_t blocks16 = (n + 15) / 16;
    const std::size_t blocks = blocks16 * 2;
    const std::size_t kblocks = (k + 7) / 8;
    const auto [ranks, bucket, keys, chosen, bins] = space.arrays(n, k);

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


}  // namespace korvane

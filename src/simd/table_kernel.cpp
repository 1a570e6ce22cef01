// The table-driven scoring kernel over code columns, and the passes over
// the scores that follow it.
#include "simd/scoring.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "simd/ordered_ops.hpp"
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

// Readers of a column's code buffer, one per CodeFormat kind. code(p, e)
// is code e and mag / phase its table indices; codes8(p, r) gives codes
// r .. r + 7, r a multiple of 8, and mag8 / phase8 their indices. The codes
// of a reader with kBlocked lie in blocks of kBlock bytes, 8 codes each,
// which code_in takes apart. Codes are handled as unsigned: 16-bit
// arithmetic on them stalls on partial registers.
struct WideCodes {
    static constexpr bool kBlocked = false;
    static unsigned code(const std::uint8_t* p, std::size_t e) {
        std::uint16_t c;
        std::memcpy(&c, p + 2 * e, 2);
        return c;
    }
    static unsigned mag(unsigned c) { return c & 0xFF; }
    static unsigned phase(unsigned c) { return c >> 8; }
    static __m256i codes8(const std::uint8_t* p, std::size_t r) {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * r)));
    }
    static __m256i mag8(__m256i c) { return _mm256_and_si256(c, _mm256_set1_epi32(0xFF)); }
    static __m256i phase8(__m256i c) { return _mm256_srli_epi32(c, 8); }
};

// Codes of at most 12 bits: mag_q | phase_q << mag_bits.
class PackedCodes {
public:
    explicit PackedCodes(const CodeFormat& f)
        : mag_bits_(f.mag_bits),
          mag_mask_((1u << f.mag_bits) - 1),
          shift_(_mm_cvtsi32_si128(f.mag_bits)),
          mask8_(_mm256_set1_epi32(static_cast<int>(mag_mask_))) {}
    unsigned mag(unsigned c) const { return c & mag_mask_; }
    unsigned phase(unsigned c) const { return c >> mag_bits_; }
    __m256i mag8(__m256i c) const { return _mm256_and_si256(c, mask8_); }
    __m256i phase8(__m256i c) const { return _mm256_srl_epi32(c, shift_); }

private:
    unsigned mag_bits_;
    unsigned mag_mask_;
    __m128i shift_;
    __m256i mask8_;
};

struct ByteCodes : PackedCodes {
    using PackedCodes::PackedCodes;
    static constexpr bool kBlocked = false;
    static unsigned code(const std::uint8_t* p, std::size_t e) { return p[e]; }
    static __m256i codes8(const std::uint8_t* p, std::size_t r) {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + r)));
    }
};

// Blocks of 8 low bytes and then 8 fields of High bits.
template <unsigned High>
struct SplitCodes : PackedCodes {
    using PackedCodes::PackedCodes;
    static constexpr bool kBlocked = true;
    static constexpr std::size_t kBlock = 8 + High;
    static std::uint32_t high_word(const std::uint8_t* block) {
        std::uint32_t h = 0;
        std::memcpy(&h, block + 8, High);
        return h;
    }
    static unsigned code(const std::uint8_t* p, std::size_t e) {
        const std::uint8_t* block = p + e / 8 * kBlock;
        return code_in(block, high_word(block), e % 8);
    }
    // Code k of a block whose high fields are `high`.
    static unsigned code_in(const std::uint8_t* block, std::uint32_t high, unsigned k) {
        return block[k] | (high >> (k * High) & ((1u << High) - 1)) << 8;
    }
    static __m256i codes8(const std::uint8_t* p, std::size_t r) {
        const std::uint8_t* block = p + r / 8 * kBlock;
        const __m256i low = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(block)));
        const __m256i lane_shift = _mm256_setr_epi32(0, High, 2 * High, 3 * High, 4 * High, 5 * High, 6 * High, 7 * High);
        const __m256i high = _mm256_and_si256(
            _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(high_word(block))), lane_shift),
            _mm256_set1_epi32((1 << High) - 1));
        return _mm256_or_si256(low, _mm256_slli_epi32(high, 8));
    }
};

template <class Codes>
float term_of(const BinTerms& t, const Codes& f, unsigned code) {
    return mul_ordered(t.cosines[f.phase(code)], t.mag_terms[f.mag(code)]);
}

// visit(e, code) for codes 0 .. len - 1 in order; a block of packed codes
// is taken apart once.
template <class Codes, class Visit>
void for_each_code(const Codes& f, const std::uint8_t* codes, std::size_t len, Visit&& visit) {
    std::size_t e = 0;
    if constexpr (Codes::kBlocked) {
        for (; e + 8 <= len; e += 8) {
            const std::uint8_t* block = codes + e / 8 * Codes::kBlock;
            const std::uint32_t high = Codes::high_word(block);
#pragma GCC unroll 8
            for (unsigned k = 0; k < 8; ++k) visit(e + k, Codes::code_in(block, high, k));
        }
    }
    for (; e < len; ++e) visit(e, f.code(codes, e));
}

template <class Codes>
void add_posting(const BinTerms& t, const Codes& f, const BinColumn& col, float* s) {
    const std::uint16_t* ids = col.ids.data();
    for_each_code(f, col.codes.data(), col.ids.size(), [&](std::size_t e, unsigned code) {
        const std::size_t i = ids[e];
        s[i] = add_ordered(s[i], term_of(t, f, code));
    });
}

// Each item gets either its own term or the absent one, added in one pass.
template <class Codes>
void add_posting_over_absent(const BinTerms& t, const Codes& f, const BinColumn& col, std::size_t count, float* s,
                             std::vector<float>& scratch) {
    scratch.assign(count, t.absent);
    const std::uint16_t* ids = col.ids.data();
    float* terms = scratch.data();
    for_each_code(f, col.codes.data(), col.ids.size(),
                  [&](std::size_t e, unsigned code) { terms[ids[e]] = term_of(t, f, code); });
    std::size_t r = 0;
    for (; r + 8 <= count; r += 8)
        _mm256_storeu_ps(s + r, add_ordered8(_mm256_loadu_ps(s + r), _mm256_loadu_ps(scratch.data() + r)));
    for (; r < count; ++r) s[r] = add_ordered(s[r], scratch[r]);
}

// One dense column: every item's code is read, and an item without the bin
// takes the absent term instead of its code's.
template <class Codes>
void add_dense(const BinTerms& t, const Codes& f, const BinColumn& col, std::size_t count, float* s) {
    const std::uint8_t* codes = col.codes.data();
    const std::uint8_t* present = col.present.data();
    const float* mag_terms = t.mag_terms;
    const float* cosines = t.cosines;
    const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256 absent = _mm256_set1_ps(t.absent);
    std::size_t r = 0;
    for (; r + 8 <= count; r += 8) {
        const __m256i code = f.codes8(codes, r);
        const __m256 a = _mm256_i32gather_ps(mag_terms, f.mag8(code), 4);
        const __m256 c = _mm256_i32gather_ps(cosines, f.phase8(code), 4);
        const __m256i bits = _mm256_and_si256(_mm256_set1_epi32(present[r >> 3]), lane_bit);
        const __m256 kept = _mm256_castsi256_ps(_mm256_cmpeq_epi32(bits, lane_bit));
        const __m256 term = _mm256_blendv_ps(absent, mul_ordered8(c, a), kept);
        _mm256_storeu_ps(s + r, add_ordered8(_mm256_loadu_ps(s + r), term));
    }
    for (; r < count; ++r) {
        const bool kept = present[r >> 3] >> (r & 7) & 1;
        s[r] = add_ordered(s[r], kept ? term_of(t, f, f.code(codes, r)) : t.absent);
    }
}

template <class Codes>
void add_column(const BinTerms& terms, const Codes& f, const BinColumn* col, std::size_t count, float* scores,
                std::vector<float>& scratch) {
    const bool absent_counts = !is_zero(terms.absent);
    if (col == nullptr || col->kept == 0) {
        if (absent_counts) add_constant(terms.absent, scores, count);
    } else if (col->dense) {
        add_dense(terms, f, *col, count, scores);
    } else if (absent_counts) {
        add_posting_over_absent(terms, f, *col, count, scores, scratch);
    } else {
        add_posting(terms, f, *col, scores);
    }
}

template <class Codes>
void accumulate_with(const Codes& f, std::span<const BinTerms> terms, std::span<const std::uint16_t> bins,
                     const Segment& seg, float* scores, std::vector<float>& scratch) {
    for (std::size_t j = 0; j < bins.size(); ++j)
        add_column(terms[j], f, seg.bins[bins[j]].get(), seg.count, scores, scratch);
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

void accumulate_scores(std::span<const BinTerms> terms, std::span<const std::uint16_t> bins, const Segment& seg,
                       float* scores, std::vector<float>& scratch) {
    const CodeFormat& f = seg.format;
    switch (f.kind) {
        case CodeFormat::Kind::Byte: return accumulate_with(ByteCodes(f), terms, bins, seg, scores, scratch);
        case CodeFormat::Kind::Split:
            if (f.high_bits == 1) return accumulate_with(SplitCodes<1>(f), terms, bins, seg, scores, scratch);
            if (f.high_bits == 2) return accumulate_with(SplitCodes<2>(f), terms, bins, seg, scores, scratch);
            return accumulate_with(SplitCodes<4>(f), terms, bins, seg, scores, scratch);
        case CodeFormat::Kind::Wide: break;
    }
    accumulate_with(WideCodes{}, terms, bins, seg, scores, scratch);
}

}  // namespace korvane

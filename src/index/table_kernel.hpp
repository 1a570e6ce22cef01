// The table-driven scoring kernel: adds one query bin's terms to the scores
// of one segment's items, reading the codes of the bin's column.
//
// Every stored magnitude and phase is a grid entry, so for query bin j the
// reference's intermediate values are table entries:
//   mag_terms[m] = a_j * mag_grid[m]
//   cosines[p]   = cosf(phi_j - phase_grid[p])
// and the term C[p] * A[m] has the bits of the literal kernel's term. An item
// without the bin has magnitude 0 and phase 0 there; its term, `absent`, is
// the same for every such item. When it is +-0 it changes no score (a score
// starts at +0, and +0 plus +-0 is never -0), so those items are skipped;
// otherwise each of them gets exactly that term.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/code_store.hpp"

namespace korvane {

inline constexpr std::size_t kCodesPerGrid = 256;  // magnitude and phase codes are 8-bit

struct BinTerms {
    const float* mag_terms;  // kCodesPerGrid entries
    const float* cosines;    // one per phase code
    float absent;            // the term of an item that did not keep the bin
};

// mag_terms[m] = a * mag_grid[m] for every code m of the grid, 0 past it.
void fill_mag_terms(float a, std::span<const float> mag_grid, std::span<float> mag_terms);

// Adds every query bin's term, in query-bin order, to scores[0 .. count) of
// one segment's items. terms[j] belongs to query bin bins[j]. `scratch` is
// working space of the caller's.
void accumulate_segment(std::span<const BinTerms> terms, std::span<const std::uint16_t> bins, const Segment& seg,
                        float* scores, std::vector<float>& scratch);

// s[r] = s[r] / d with d = (qn * norms[r]) * big_d when d > 0, else 0.
void normalise_scores(float qn, float big_d, const float* norms, float* scores, std::size_t n);

// The first position from `from` on whose score could outrank `worst` when
// met after it: a number above it, or any number when it is NaN. s.size()
// when there is none.
std::size_t next_candidate(std::span<const float> s, std::size_t from, float worst);

}  // namespace korvane

// The scoring kernels: the table-driven one the index runs over its code
// columns, and its plain twin, the literal kernel over dense rows, which is
// the oracle the table-driven one is tested against and also scores the rare
// items kept as dense rows.
//
// The table-driven kernel adds each query bin's terms to the scores of one
// segment's items, reading the codes of the bin's column.
//
// Every stored magnitude and phase is a grid entry, so for query bin j the
// literal kernel's intermediate values are table entries:
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

// A query decoded through the index's grids, bins in stored order.
struct DecodedQuery {
    std::vector<std::uint16_t> bins;
    std::vector<float> mags;
    std::vector<float> phases;
};

// The weight of query bin j: 2 q_j for 0 < h_j < F - 1, q_j otherwise.
float query_weight(const DecodedQuery& query, std::size_t j, std::size_t f);

// For every query bin j in stored order and every item r:
//   s[r] = s[r] + (a_j * mags[r*F + h_j]) * cosf(phi_j - phases[r*F + h_j])
// every operation rounded on its own. `mags` and `phases` hold scores.size()
// rows of F values.
void accumulate_scores_plain(const DecodedQuery& query, std::span<const float> mags,
                                 std::span<const float> phases, std::size_t f, std::span<float> scores);

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
void accumulate_scores(std::span<const BinTerms> terms, std::span<const std::uint16_t> bins, const Segment& seg,
                       float* scores, std::vector<float>& scratch);

// s[r] = s[r] / d with d = (qn * norms[r]) * big_d when d > 0, else 0.
void normalise_scores(float qn, float big_d, const float* norms, float* scores, std::size_t n);

// The first position from `from` on whose score could outrank `worst` when
// met after it: a number above it, or any number when it is NaN. s.size()
// when there is none.
std::size_t next_candidate(std::span<const float> s, std::size_t from, float worst);

}  // namespace korvane

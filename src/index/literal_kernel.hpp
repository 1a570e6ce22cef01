// The literal scoring kernel over dense rows: the plain column-by-column sums,
// operation by operation. It is the oracle every faster path is tested
// against, and it scores the rare items kept as dense rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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
void accumulate_scores_reference(const DecodedQuery& query, std::span<const float> mags,
                                 std::span<const float> phases, std::size_t f, std::span<float> scores);

}  // namespace korvane

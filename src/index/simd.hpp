// The scoring kernel: adds every query bin's weighted contribution to the
// score of every stored item.
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
    // The phase grid the query and the items were decoded through, when
    // known. If it is the uniform grid, cosines are looked up in a table of
    // cosf(phi_j - grid[i]) for every item phase that is a grid entry.
    std::span<const float> phase_grid = {};
};

// For every item r and query bin j, in query-bin order per item:
//   s[r] = s[r] + (a_j * mags[r*F + h_j]) * cosf(phi_j - phases[r*F + h_j])
// with a_j = 2 q_j for 0 < h_j < F - 1 and q_j otherwise, every operation
// rounded on its own. `mags` and `phases` hold scores.size() rows of F values.
void accumulate_scores(const DecodedQuery& query, std::span<const float> mags, std::span<const float> phases,
                       std::size_t f, std::span<float> scores);

// The plain column-by-column form of the same sums: the oracle that the kernel
// above must match bit for bit.
void accumulate_scores_reference(const DecodedQuery& query, std::span<const float> mags,
                                 std::span<const float> phases, std::size_t f, std::span<float> scores);

}  // namespace korvane

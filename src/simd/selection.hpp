// The choice of the strongest bins: the fast selection and its plain twin,
// which give the same bins in the same order.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "simd/aligned.hpp"

namespace korvane {

// The bin order of encoding: descending magnitude, equal magnitudes lower
// bin first, NaN after every number (ties among NaN lower bin first). As an
// unsigned key per bin, smaller first.
inline std::uint32_t magnitude_rank(float m);

// What one selection works in, kept between calls so that encoding many
// vectors allocates once.
class SelectionSpace {
public:
    // The fast selection's arrays for n bins and k chosen, carved in this
    // order from one block, each 32-byte aligned: the n ranks padded to whole
    // pairs of vectors, the ranks that share the threshold's upper bits (as
    // many), the upper bits of every rank (16 bits each), and the chosen
    // ranks and their bins, padded to whole vectors with room for a packed
    // store past the end.
    struct Arrays {
        std::int32_t* ranks;
        std::int32_t* bucket;
        std::int16_t* keys;
        std::int32_t* chosen;
        std::int32_t* bins;
    };
    Arrays arrays(std::size_t n, std::size_t k);

    // The plain selection's keys: rank and bin in one 64-bit value.
    std::vector<std::uint64_t> keyed;

private:
    AlignedArray<std::int32_t> block_;
};

// The first k (k < n) bins of that order, in order: the bins a full sort of
// all n keys would put first.
void select_strongest(std::span<const float> mags, std::size_t k, std::uint16_t* idx, SelectionSpace& space);

// The plain selection: every key built, nth_element, then the first k
// sorted. The oracle of `select_strongest`.
void select_strongest_plain(std::span<const float> mags, std::size_t k, std::uint16_t* idx, SelectionSpace& space);

inline std::uint32_t magnitude_rank(float m) {
    // Magnitudes are >= 0 or NaN; non-negative bit patterns order like the
    // values, and -0.0 counts as 0.
    if (std::isnan(m)) return 0xFFFFFFFFu;
    return 0x7F800000u - (m == 0.0f ? 0u : std::bit_cast<std::uint32_t>(m));
}

}  // namespace korvane

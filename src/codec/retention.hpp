// Spectral energy retention: for each k, the share of a batch's spectral
// energy (bins 0..F-1 of each normalised vector) held by each vector's k
// strongest bins.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "codec/error.hpp"

namespace korvane {

using RetentionPairs = std::vector<std::pair<std::uint64_t, float>>;

Result<RetentionPairs> spectral_energy_retention(std::span<const float> values, std::uint64_t dim,
                                                 std::span<const std::uint64_t> top_k_list);

}  // namespace korvane

// The search both quantisers share, in its fast and plain forms.
#pragma once

#include <cstddef>
#include <span>

namespace korvane {

// The search both quantisers share, over ready distances' inputs: the
// position of the first smallest |values[j] - target|, where a NaN distance
// never wins and a NaN first distance keeps position 0. Eight entries at a
// time; exactly the position first_nearest_plain gives.
std::size_t first_nearest(std::span<const float> values, float target);

// The linear scan: exactly what nearest_index (codec/grid.hpp) gives; 0 for
// no values.
std::size_t first_nearest_plain(std::span<const float> values, float target);

}  // namespace korvane

// Helpers shared by the C++ tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::testing {

// Deterministic values in [-1, 1).
inline std::vector<float> pseudo_random(std::size_t n, std::uint32_t seed) {
    std::vector<float> v(n);
    std::uint32_t s = seed * 2654435761u + 12345u;
    for (auto& x : v) {
        s = s * 1664525u + 1013904223u;
        x = static_cast<float>(s >> 8) / static_cast<float>(1u << 23) - 1.0f;
    }
    return v;
}

}  // namespace korvane::testing

// The vectorised nearest-entry search against the plain scans it replaces.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "codec/grid.hpp"

using namespace korvane;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Grids of every length from 1 to 70 (so every tail length of the 8-wide
// loop is met), drawn from a few values so that ties are common, with NaN
// and infinities mixed in.
std::vector<std::vector<float>> grids() {
    std::mt19937 rng(5);
    const float pool[] = {0.0f, -0.0f, 0.5f, 1.0f, 1.0f, 2.0f, 3.25f, -1.5f, kInf, -kInf, kNaN, 1e-30f, 6.2831854f};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pool) - 1);
    std::vector<std::vector<float>> out;
    for (std::size_t n = 1; n <= 70; ++n)
        for (int rep = 0; rep < 20; ++rep) {
            std::vector<float> g(n);
            for (float& v : g) v = pool[pick(rng)];
            out.push_back(g);
        }
    return out;
}

}  // namespace

TEST(FirstNearest, MatchesTheLinearScans) {
    const float targets[] = {0.0f, 0.75f, 1.0f, 2.5f, -1.0f, kInf, -kInf, kNaN, 6.2f};
    for (const auto& g : grids()) {
        for (float t : targets) {
            ASSERT_EQ(first_nearest(g, t), nearest_index(g, t)) << "grid of " << g.size() << ", target " << t;
        }
        const LogGridTable table(g);
        for (float x : {0.0f, 0.3f, 1.0f, 2.0f, 5.0f, kInf, kNaN, -1.0f})
            ASSERT_EQ(table.nearest(x), nearest_log_index(g, x)) << "grid of " << g.size() << ", value " << x;
    }
}

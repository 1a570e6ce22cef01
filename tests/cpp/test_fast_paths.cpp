// The vectorised nearest-entry search and the narrowing reads of array
// memory, against the plain forms they replace.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "codec/grid.hpp"
#include "simd/narrow.hpp"
#include "test_support.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

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

// Every kind of bit pattern: signalling and quiet NaN with payloads, both
// infinities and zeros, subnormals, and for float64 values that round to
// infinity, to a subnormal or exactly halfway between two floats.
TEST(Narrowing, MatchesThePlainReadsAtEveryStrideAndLength) {
    std::mt19937_64 rng(11);
    const std::uint32_t f32_pool[] = {0x7F800001u, 0xFFBFFFFFu, 0x7FC00001u, 0x7F800000u, 0xFF800000u,
                                      0x00000000u, 0x80000000u, 0x00000001u, 0x807FFFFFu, 0x3F800000u};
    const std::uint64_t f64_pool[] = {0x7FF0000000000001ull, 0x7FF8000000000123ull, 0xFFF0000000000000ull,
                                      0x8000000000000000ull, 0x47EFFFFFF0000000ull, 0x47F0000000000000ull,
                                      0x36A0000000000000ull, 0x3FF0000010000000ull, 0x0000000000000001ull};
    std::vector<char> mem(8 * 8 * 80 + 64);
    for (int rep = 0; rep < 200; ++rep) {
        for (std::size_t i = 0; i + 8 <= mem.size(); i += 8) {
            std::uint64_t w = rng();
            if (rng() % 3 == 0) w = f64_pool[rng() % std::size(f64_pool)];
            else if (rng() % 3 == 0) w = std::uint64_t{f32_pool[rng() % std::size(f32_pool)]} << 32 | f32_pool[rng() % std::size(f32_pool)];
            std::memcpy(mem.data() + i, &w, 8);
        }
        for (std::size_t n : {0u, 1u, 3u, 4u, 7u, 8u, 9u, 16u, 31u, 77u}) {
            for (std::ptrdiff_t stride : {4, 8, 12, 0, -4, -8}) {
                // Unaligned starts too; a negative stride starts at the end.
                const std::ptrdiff_t span = stride * static_cast<std::ptrdiff_t>(n == 0 ? 0 : n - 1);
                const char* p = mem.data() + 3 + (span < 0 ? -span : 0);
                std::vector<float> fast(n + 1, -7.0f), plain(n + 1, -7.0f);
                if (stride != 4 || rep % 2 == 0) {
                    copy_f32(p, n, stride, fast.data());
                    copy_f32_plain(p, n, stride, plain.data());
                    ASSERT_EQ(std::memcmp(fast.data(), plain.data(), 4 * (n + 1)), 0) << "f32, n " << n << ", stride " << stride;
                }
                if (std::abs(stride) != 4 && stride != 12) {
                    copy_f64(p, n, stride, fast.data());
                    copy_f64_plain(p, n, stride, plain.data());
                    ASSERT_EQ(std::memcmp(fast.data(), plain.data(), 4 * (n + 1)), 0) << "f64, n " << n << ", stride " << stride;
                }
            }
        }
    }
}

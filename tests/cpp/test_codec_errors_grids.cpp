// Error rendering, the grid builders and the nearest-entry quantisers.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/error.hpp"
#include "codec/grid.hpp"
#include "test_support.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

// `n` entries of `fill`, with the given positions overwritten.
std::vector<float> long_grid(std::size_t n, float fill, std::initializer_list<std::pair<std::size_t, float>> set) {
    std::vector<float> g(n, fill);
    for (auto [j, v] : set) g[j] = v;
    return g;
}

}  // namespace

// ---------------------------------------------------------------------------
// Messages

struct MessageCase {
    SpectralError err;
    std::string message;
};

TEST(ErrorMessage, EveryKindRendersItsTemplate) {
    const MessageCase cases[] = {
        {DimensionMismatch{4, 2}, "dimension mismatch: expected 4, got 2"},
        {DimensionMismatch{8, 5}, "dimension mismatch: expected 8, got 5"},
        // Length first, dimension second, although the payload holds them the other way round.
        {BufferLength{4, 10}, "buffer length 10 is not a multiple of dimension 4"},
        {BufferLength{0, 3}, "buffer length 3 is not a multiple of dimension 0"},
        {TopKExceedsF{0, 3}, "top_k (0) exceeds F (3)"},
        {TopKExceedsF{4, 3}, "top_k (4) exceeds F (3)"},
        {TopKExceedsF{UINT64_MAX, 5}, "top_k (18446744073709551615) exceeds F (5)"},
        // The width prints as a number, not as a character.
        {InvalidGridSize{std::uint64_t{1} << 31, 31}, "invalid grid size: 2^31 = 2147483648 overflows"},
        {InvalidGridSize{std::uint64_t{1} << 48, 48}, "invalid grid size: 2^48 = 281474976710656 overflows"},
        {Io{"No such file or directory (os error 2)"}, "I/O error: No such file or directory (os error 2)"},
        {Format{"magic bytes mismatch"}, "invalid on-disk format: magic bytes mismatch"},
        {VersionMismatch{2, 1}, "format version mismatch: file is v2, this build is v1"},
        {VersionMismatch{UINT32_MAX, 1}, "format version mismatch: file is v4294967295, this build is v1"},
        {InvalidInput{"something odd"}, "invalid input: something odd"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_message(c.err), c.message);
}

TEST(ErrorMessage, IoHelpers) {
    EXPECT_EQ(error_message(io_error_from_errno(ENOENT)), "I/O error: No such file or directory (os error 2)");
    EXPECT_EQ(error_message(io_error_from_errno(EACCES)), "I/O error: Permission denied (os error 13)");
    EXPECT_EQ(error_message(io_short_read()), "I/O error: failed to fill whole buffer");
    const SpectralError e = invalid_input("x");
    ASSERT_TRUE(std::holds_alternative<InvalidInput>(e));
    EXPECT_EQ(error_message(e), "invalid input: x");
}

struct GridSizeCase {
    std::uint8_t bits;
    std::uint64_t size;
    const char* message;
};

void PrintTo(const GridSizeCase& c, std::ostream* os) { print_fields(os, "bits", c.bits, "size", c.size); }

class InvalidGridSizeTest : public ::testing::TestWithParam<GridSizeCase> {};

// The size is 1 shifted by the width, the shift count taken modulo 64.
TEST_P(InvalidGridSizeTest, SizeAndMessage) {
    const auto& c = GetParam();
    const SpectralError err = invalid_grid_size(c.bits);
    const auto* e = std::get_if<InvalidGridSize>(&err);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->bits, c.bits);
    EXPECT_EQ(e->size, c.size);
    EXPECT_EQ(error_message(err), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, InvalidGridSizeTest,
    ::testing::Values(GridSizeCase{31, 2147483648ull, "invalid grid size: 2^31 = 2147483648 overflows"},
                      GridSizeCase{32, 4294967296ull, "invalid grid size: 2^32 = 4294967296 overflows"},
                      GridSizeCase{40, 1099511627776ull, "invalid grid size: 2^40 = 1099511627776 overflows"},
                      GridSizeCase{63, 9223372036854775808ull,
                                   "invalid grid size: 2^63 = 9223372036854775808 overflows"},
                      GridSizeCase{64, 1, "invalid grid size: 2^64 = 1 overflows"},
                      GridSizeCase{65, 2, "invalid grid size: 2^65 = 2 overflows"},
                      GridSizeCase{128, 1, "invalid grid size: 2^128 = 1 overflows"},
                      GridSizeCase{255, 9223372036854775808ull,
                                   "invalid grid size: 2^255 = 9223372036854775808 overflows"}),
    [](const auto& info) { return case_name("Bits", info.param.bits); });

// ---------------------------------------------------------------------------
// log_grid

TEST(LogGrid, WidthZeroIsLoItself) {
    const struct {
        float lo, hi;
    } cases[] = {{0.5f, 2.0f}, {0.001f, 1.7320508f}, {0.001f, kNaN}, {-3.0f, 1.0f}, {0.0f, 0.0f}, {kNaN, 1.0f}};
    for (const auto& c : cases) {
        auto g = log_grid(c.lo, c.hi, 0);
        ASSERT_TRUE(g);
        ASSERT_EQ(g->size(), 1u);
        // No logarithm is taken: even a negative or NaN lo comes back unchanged.
        EXPECT_EQ(bits_of((*g)[0]), bits_of(c.lo));
    }
    EXPECT_EQ(bits_of((*log_grid(0.001f, 5.0f, 0))[0]), bits_of(0.0010000000474974513f));
}

TEST(LogGrid, WidthsOf31AndMoreAreRefused) {
    for (int bits : {31, 32, 40, 63, 64, 255}) {
        auto g = log_grid(0.5f, 2.0f, static_cast<std::uint8_t>(bits));
        ASSERT_FALSE(g) << bits;
        EXPECT_EQ(error_message(g.error()), error_message(invalid_grid_size(static_cast<std::uint8_t>(bits))))
            << bits;
    }
    EXPECT_EQ(error_message(log_grid(0.5f, 2.0f, 31).error()), "invalid grid size: 2^31 = 2147483648 overflows");
}

// Entry i is expf(a + step*i) with a = logf(lo), step = (logf(hi) - a) / (n - 1),
// each operation rounded to single precision on its own.
TEST(LogGrid, EntriesFollowTheSinglePrecisionRecipe) {
    const struct {
        float lo, hi;
        int bits;
    } cases[] = {{0.001f, 1.7320508f, 8}, {0.5f, 2.0f, 8}, {0.5f, 2.0f, 1}, {1.0f, 10.0f, 4},
                 {0.001f, 13.892444f, 12}, {10.0f, 0.1f, 3}, {0.25f, 0.25f, 2}, {0.001f, 1.0f, 16}};
    for (const auto& c : cases) {
        auto g = log_grid(c.lo, c.hi, static_cast<std::uint8_t>(c.bits));
        ASSERT_TRUE(g);
        const std::size_t n = std::size_t{1} << c.bits;
        ASSERT_EQ(g->size(), n);
        volatile float a = logf(c.lo);
        volatile float b = logf(c.hi);
        volatile float diff = b - a;
        volatile float div = static_cast<float>(n) + -1.0f;
        const float step = diff / div;
        for (std::size_t i = 0; i < n; ++i) {
            volatile float prod = step * static_cast<float>(i);
            volatile float sum = a + prod;
            ASSERT_EQ(bits_of((*g)[i]), bits_of(expf(sum))) << "lo=" << c.lo << " bits=" << c.bits << " i=" << i;
        }
    }
}

TEST(LogGrid, EndsComeBackThroughTheLogarithm) {
    auto g = log_grid(0.5f, 2.0f, 8);
    ASSERT_TRUE(g);
    EXPECT_EQ(bits_of(g->front()), bits_of(expf(logf(0.5f))));
    EXPECT_NEAR(g->back(), 2.0f, 1e-6f);
    // Log spacing: equal ratios between neighbours, and the middle of [0.5, 2] is 1.
    EXPECT_NEAR((*g)[127] * (*g)[128], 1.0f, 1e-6f);
    for (std::size_t i = 1; i < g->size(); ++i) EXPECT_NEAR((*g)[i] / (*g)[i - 1], std::pow(4.0, 1.0 / 255), 1e-5);
}

// ---------------------------------------------------------------------------
// uniform_phase_grid

TEST(UniformPhaseGrid, ExactValues) {
    const std::vector<float> two{0.0f, 1.5707963705062866f, 3.1415927410125732f, 4.71238899230957f};
    const auto g2 = uniform_phase_grid(2);
    ASSERT_EQ(g2.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(bits_of(g2[i]), bits_of(two[i])) << i;

    const auto g8 = uniform_phase_grid(8);
    ASSERT_EQ(g8.size(), 256u);
    EXPECT_EQ(bits_of(g8[1]), bits_of(0.02454369328916073f));
    EXPECT_EQ(bits_of(g8[255]), bits_of(6.258641719818115f));

    const auto g0 = uniform_phase_grid(0);
    ASSERT_EQ(g0.size(), 1u);
    EXPECT_EQ(bits_of(g0[0]), 0u);  // +0.0
}

// The step is 2*pi with its exponent lowered by the width; entry i is one
// rounded product step * i.
TEST(UniformPhaseGrid, StepIsAnExponentShiftAndEntriesOneProduct) {
    EXPECT_EQ(bits_of(kTwoPi), 0x40C90FDBu);
    for (int bits = 1; bits <= 20; ++bits) {
        const auto g = uniform_phase_grid(static_cast<std::uint8_t>(bits));
        ASSERT_EQ(g.size(), std::size_t{1} << bits);
        const float step = std::bit_cast<float>(0x40C90FDBu - static_cast<std::uint32_t>(bits) * (1u << 23));
        EXPECT_EQ(bits_of(g[1]), bits_of(step)) << bits;
        EXPECT_LT(g.back(), kTwoPi);
        for (std::size_t i = 0; i < g.size(); i += 1 + g.size() / 64) {
            volatile float prod = step * static_cast<float>(i);
            ASSERT_EQ(bits_of(g[i]), bits_of(prod)) << bits << " " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// Nearest-entry quantisers

struct NearestCase {
    const char* name;
    std::vector<float> grid;
    float value;
    std::size_t expected;
};

void PrintTo(const NearestCase& c, std::ostream* os) { *os << c.name; }

class NearestIndexTest : public ::testing::TestWithParam<NearestCase> {};

// The vectorised search that encoding uses must agree with the plain scan.
TEST_P(NearestIndexTest, PositionAndFastSearchAgree) {
    const auto& c = GetParam();
    EXPECT_EQ(nearest_index(c.grid, c.value), c.expected);
    EXPECT_EQ(first_nearest(c.grid, c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NearestIndexTest,
    ::testing::Values(
        NearestCase{"TieGoesLow", {0.0f, 1.0f}, 0.5f, 0},
        NearestCase{"TieAmongEqualEntries", {3.0f, 1.0f, 1.0f}, 1.0f, 1},
        // No wrap-around at 2*pi: 6.2 is nearest the top entry 4.712389.
        NearestCase{"NoWrapAt2Pi", uniform_phase_grid(2), 6.2f, 3},
        NearestCase{"FullTurnGoesToTopEntry", uniform_phase_grid(8), kTwoPi, 255},
        NearestCase{"Unsorted", {5.0f, 1.0f, 3.0f}, 2.9f, 2},
        NearestCase{"Negative", {-1.0f, 0.0f, 1.0f}, -0.7f, 0},
        NearestCase{"NaNValue", {0.0f, 1.0f, 2.0f}, kNaN, 0},
        NearestCase{"NaNFirstEntryKeepsZero", {kNaN, 1.0f, 2.0f}, 2.0f, 0},
        NearestCase{"NaNEntrySkipped", {1.0f, kNaN, 3.0f}, 3.0f, 2},
        NearestCase{"InfiniteValue", {0.0f, 1.0f}, kInf, 0},
        NearestCase{"OneEntryNaN", {4.0f}, kNaN, 0},
        NearestCase{"Last", {0.0f, 1.0f, 2.0f, 3.0f}, 2.6f, 3},
        // Longer grids, searched eight entries at a time: the best entry and
        // NaN entries in the same lane of different blocks, ties across
        // blocks, the best in the tail.
        NearestCase{"LongNaNAfterBestInLane", long_grid(16, 100.0f, {{3, 2.0f}, {11, kNaN}}), 2.0f, 3},
        NearestCase{"LongNaNBeforeBestInLane", long_grid(16, 100.0f, {{3, kNaN}, {11, 2.0f}}), 2.0f, 11},
        NearestCase{"LongTieAcrossBlocks", long_grid(24, 100.0f, {{13, 2.5f}, {6, 1.5f}, {20, 1.5f}}), 2.0f, 6},
        NearestCase{"LongBestInTail", long_grid(19, 100.0f, {{18, 2.0f}, {2, 2.1f}}), 2.0f, 18},
        NearestCase{"LongNaNFirst", long_grid(20, 1.0f, {{0, kNaN}}), 1.0f, 0},
        NearestCase{"LongAllEqual", long_grid(33, 4.0f, {}), 1.0f, 0},
        NearestCase{"LongPhaseGrid", uniform_phase_grid(8), 3.0f, 122}),
    ByName{});

class NearestLogIndexTest : public ::testing::TestWithParam<NearestCase> {};

// The precomputed table used by encoding must agree with the direct search.
TEST_P(NearestLogIndexTest, PositionAndTableAgree) {
    const auto& c = GetParam();
    EXPECT_EQ(nearest_log_index(c.grid, c.value), c.expected);
    EXPECT_EQ(LogGridTable(c.grid).nearest(c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NearestLogIndexTest,
    ::testing::Values(
        // Both distances are exactly logf(2).
        NearestCase{"TieGoesLow", {1.0f, 4.0f}, 2.0f, 0},
        // By plain difference 1 would be nearer; in the logarithm 4 is.
        NearestCase{"LogNotLinear", {1.0f, 4.0f}, 2.1f, 1},
        NearestCase{"ZeroValue", {0.001f, 0.1f, 1.0f}, 0.0f, 0},
        NearestCase{"InfiniteValue", {0.001f, 0.1f, 1.0f}, kInf, 0},
        NearestCase{"NaNValue", {0.001f, 0.1f, 1.0f}, kNaN, 0},
        NearestCase{"NegativeValue", {0.001f, 0.1f, 1.0f}, -1.0f, 0},
        NearestCase{"OneEntryZero", {0.5f}, 0.0f, 0},
        NearestCase{"OneEntryNaN", {0.5f}, kNaN, 0},
        NearestCase{"OneEntryNegative", {-0.5f}, 2.0f, 0},
        // logf of a negative entry is NaN: a NaN distance never wins, and a
        // NaN first distance is never beaten.
        NearestCase{"NegativeEntrySkipped", {2.0f, -1.0f, 8.0f}, 7.0f, 2},
        NearestCase{"NegativeFirstEntryKeepsZero", {-1.0f, 2.0f, 8.0f}, 8.0f, 0},
        NearestCase{"Unsorted", {8.0f, 0.5f, 2.0f}, 1.5f, 2},
        NearestCase{"EqualEntries", {8.0f, 2.0f, 2.0f}, 2.0f, 1},
        NearestCase{"LongNegativeAfterBestInLane", long_grid(16, 100.0f, {{3, 2.0f}, {11, -1.0f}}), 2.0f, 3},
        NearestCase{"LongZeroEntry", long_grid(16, 100.0f, {{9, 0.0f}, {12, 1e-30f}}), 1e-20f, 12},
        NearestCase{"LongTieAcrossBlocks", long_grid(24, 100.0f, {{5, 1.0f}, {17, 4.0f}}), 2.0f, 5},
        NearestCase{"LongBestInTail", long_grid(21, 100.0f, {{20, 2.0f}}), 2.0f, 20}),
    ByName{});

// Over a real grid, the table and the direct search agree value by value.
TEST(NearestLogIndex, TableMatchesDirectSearchOnAGrid) {
    const auto g = *log_grid(0.001f, 1.7320508f, 8);
    const LogGridTable table(g);
    for (int i = 0; i < 2000; ++i) {
        const float x = 0.0005f * std::pow(1.0045f, static_cast<float>(i));
        ASSERT_EQ(table.nearest(x), nearest_log_index(g, x)) << x;
    }
    // Every grid entry quantises to itself.
    for (std::size_t j = 0; j < g.size(); ++j) ASSERT_EQ(nearest_log_index(g, g[j]), j);
}

// Magnitude-grid calibration and spectral energy retention.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/grid.hpp"
#include "codec/retention.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

void append(std::vector<float>& flat, const std::vector<float>& row, std::size_t times = 1) {
    for (std::size_t t = 0; t < times; ++t) flat.insert(flat.end(), row.begin(), row.end());
}

// |X_k| for k = 0 .. F-1 of the row scaled to unit length, in double precision.
std::vector<double> reference_magnitudes(const float* row, std::size_t dim) {
    double s = 0;
    for (std::size_t j = 0; j < dim; ++j) s += static_cast<double>(row[j]) * row[j];
    const double w = std::max(std::sqrt(s), 1e-9);
    std::vector<double> mags(dim / 2 + 1);
    for (std::size_t k = 0; k < mags.size(); ++k) {
        std::complex<double> sum = 0;
        for (std::size_t j = 0; j < dim; ++j)
            sum += (row[j] / w) * std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(j * k % dim) /
                                                      static_cast<double>(dim));
        mags[k] = std::abs(sum);
    }
    return mags;
}

void expect_same_grid(std::span<const float> a, std::span<const float> b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(bits_of(a[i]), bits_of(b[i])) << i;
}

const std::vector<float> kZeroRow{0, 0, 0, 0};
const std::vector<float> kDeltaRow{1, 0, 0, 0};  // magnitude 1 in every bin
const std::vector<float> kFlatRow{1, 1, 1, 1};   // magnitudes [2, 0, 0]

}  // namespace

// ---------------------------------------------------------------------------
// Calibration

TEST(Calibrate, SingleDeltaRowKeepingEveryBin) {
    auto e = make_encoder(4, 3);
    ASSERT_TRUE(calibrate(e, kDeltaRow));
    // m = 3, c = [1, 1, 1], lo = 0, hi = 2.
    EXPECT_EQ(bits_of(e.mag_lo()), bits_of(1.0f));
    EXPECT_EQ(bits_of(e.mag_hi()), bits_of(10.0f));
    ASSERT_EQ(e.mag_grid().size(), 256u);
    expect_same_grid(e.mag_grid(), *log_grid(1.0f, 10.0f, 8));
}

TEST(Calibrate, ZeroSampleGivesTheFloors) {
    for (std::size_t rows : {1u, 2u, 7u}) {
        for (std::uint64_t top_k : {1u, 3u}) {
            auto e = make_encoder(4, top_k);
            std::vector<float> sample;
            append(sample, kZeroRow, rows);
            ASSERT_TRUE(calibrate(e, sample));
            EXPECT_EQ(static_cast<double>(e.mag_lo()), 0.0010000000474974513);
            // The single-precision product 0.001 * 10, one ulp above the float nearest 0.01.
            EXPECT_EQ(static_cast<double>(e.mag_hi()), 0.010000000707805157);
            EXPECT_EQ(bits_of(e.mag_hi()), bits_of(0.01f) + 1);
        }
    }
}

// Per row the top_k largest magnitudes are gathered: [1, 1, 1, 1] has
// magnitudes [2, 0, 0].
TEST(Calibrate, GathersTheLargestMagnitudesOfEachRow) {
    auto one = make_encoder(4, 1);
    ASSERT_TRUE(calibrate(one, kFlatRow));
    EXPECT_EQ(bits_of(one.mag_lo()), bits_of(2.0f));  // m = 1: lo = hi = 0
    EXPECT_EQ(bits_of(one.mag_hi()), bits_of(20.0f));

    auto two = make_encoder(4, 2);
    ASSERT_TRUE(calibrate(two, kFlatRow));
    // c = [0, 2]: lo = 0, hi = 1.
    EXPECT_EQ(bits_of(two.mag_lo()), bits_of(0.001f));
    EXPECT_EQ(bits_of(two.mag_hi()), bits_of(2.0f));
}

// Values are divided by the norm one by one: for these n, n * (1/n) is not 1
// in single precision, but n / n is.
TEST(Calibrate, RowsAreDividedByTheirNorm) {
    for (float n : {41.0f, 47.0f, 55.0f, 61.0f}) {
        volatile float recip = 1.0f / n;
        ASSERT_NE(n * recip, 1.0f);
        auto e = make_encoder(4, 3);
        ASSERT_TRUE(calibrate(e, std::vector<float>{n, 0, 0, 0}));
        EXPECT_EQ(bits_of(e.mag_lo()), bits_of(1.0f)) << n;
        EXPECT_EQ(bits_of(e.mag_hi()), bits_of(10.0f)) << n;
    }
    // Below the floor the row is divided by 1e-9, not scaled to unit length.
    auto e = make_encoder(4, 3);
    ASSERT_TRUE(calibrate(e, std::vector<float>{1e-10f, 0, 0, 0}));
    volatile float floor = 1e-9f;
    const float expected = 1e-10f / floor;
    EXPECT_EQ(bits_of(e.mag_lo()), bits_of(expected));
    EXPECT_NEAR(e.mag_lo(), 0.1f, 1e-7f);
    EXPECT_EQ(bits_of(e.mag_hi()), bits_of(expected * 10.0f));
}

// A finite row whose sum of squares overflows is divided into zeros.
TEST(Calibrate, OverflowingRowContributesZeros) {
    auto e = make_encoder(4, 3);
    std::vector<float> sample{1e20f, 1e20f, 0, 0};
    append(sample, kDeltaRow);
    ASSERT_TRUE(calibrate(e, sample));
    // c = [0, 0, 0, 1, 1, 1]: lo = 0, hi = 5.
    EXPECT_EQ(bits_of(e.mag_lo()), bits_of(0.001f));
    EXPECT_EQ(bits_of(e.mag_hi()), bits_of(1.0f));
}

struct PositionCase {
    std::size_t m, lo, hi;
};

void PrintTo(const PositionCase& c, std::ostream* os) { print_fields(os, "m", c.m, "lo", c.lo, "hi", c.hi); }

class CalibratePositions : public ::testing::TestWithParam<PositionCase> {};

// The 1 % and 99 % positions are single-precision products truncated to
// integers. Each sample puts a distinct value (1) at exactly the expected
// position of a sorted collection of zeros below it and twos above it, with
// top_k = 1 so that m is the number of rows; being one position off either
// way shows in the result.
TEST_P(CalibratePositions, LowAndHighPosition) {
    const auto& c = GetParam();
    ASSERT_LT(c.lo, c.hi);
    const auto build = [](std::size_t zeros, std::size_t twos) {
        std::vector<float> sample;
        sample.reserve((zeros + twos + 1) * 4);
        append(sample, kFlatRow, twos);  // unsorted on purpose
        append(sample, kDeltaRow);
        append(sample, kZeroRow, zeros);
        return sample;
    };
    {
        auto e = make_encoder(4, 1);
        ASSERT_TRUE(calibrate(e, build(c.lo, c.m - c.lo - 1)));
        // c[lo] = 1, so mag_hi = max(c[hi] = 2, 10 * 1).
        EXPECT_EQ(bits_of(e.mag_lo()), bits_of(1.0f)) << "low position, m = " << c.m;
        EXPECT_EQ(bits_of(e.mag_hi()), bits_of(10.0f)) << "m = " << c.m;
    }
    {
        auto e = make_encoder(4, 1);
        ASSERT_TRUE(calibrate(e, build(c.hi, c.m - c.hi - 1)));
        // c[lo] = 0 floors to 0.001; c[hi] = 1 beats 0.01.
        EXPECT_EQ(bits_of(e.mag_lo()), bits_of(0.001f)) << "m = " << c.m;
        EXPECT_EQ(bits_of(e.mag_hi()), bits_of(1.0f)) << "high position, m = " << c.m;
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, CalibratePositions,
                         ::testing::Values(PositionCase{2, 0, 1}, PositionCase{3, 0, 2}, PositionCase{50, 0, 49},
                                           PositionCase{99, 0, 98}, PositionCase{100, 1, 99},
                                           PositionCase{101, 1, 99}, PositionCase{200, 2, 198},
                                           PositionCase{1000, 10, 990},
                                           // 229401 * 0.99f rounds up to 227107, one past floor(0.99 m).
                                           PositionCase{229401, 2294, 227107}),
                         [](const auto& info) { return case_name("Count", info.param.m); });

// The same chain in double precision: scaled rows, their top_k magnitudes,
// sorted, read at the two positions.
TEST(Calibrate, AgreesWithADoublePrecisionModel) {
    const std::size_t dim = 16, top_k = 4, rows = 300;
    std::vector<float> sample;
    for (std::uint32_t r = 0; r < rows; ++r) append(sample, pseudo_random(dim, r + 1));
    const auto gathered = [&](const std::vector<float>& s) {
        std::vector<double> c;
        for (std::size_t r = 0; r < s.size() / dim; ++r) {
            auto mags = reference_magnitudes(s.data() + r * dim, dim);
            std::sort(mags.begin(), mags.end(), std::greater<double>());
            c.insert(c.end(), mags.begin(), mags.begin() + top_k);
        }
        std::sort(c.begin(), c.end());
        return c;
    };
    {
        auto e = make_encoder(dim, top_k);
        ASSERT_TRUE(calibrate(e, sample));
        const auto c = gathered(sample);  // m = 1200: positions 12 and 1188
        ASSERT_LT(c[1188], 10 * c[12]);
        EXPECT_NEAR(e.mag_lo(), c[12], 1e-5);
        EXPECT_EQ(bits_of(e.mag_hi()), bits_of(e.mag_lo() * 10.0f));
    }
    // Twenty zero rows push the low position into the zeros; the high one then shows.
    std::vector<float> padded(20 * dim, 0.0f);
    padded.insert(padded.end(), sample.begin(), sample.end());
    {
        auto e = make_encoder(dim, top_k);
        ASSERT_TRUE(calibrate(e, padded));
        const auto c = gathered(padded);  // m = 1280: positions 12 and 1267
        ASSERT_EQ(c[12], 0.0);
        EXPECT_EQ(bits_of(e.mag_lo()), bits_of(0.001f));
        EXPECT_NEAR(e.mag_hi(), c[1267], 1e-5);
    }
}

// Calibration reads only the sample and the configuration, and writes only
// mag_lo, mag_hi and mag_grid.
TEST(Calibrate, ReplacesOnlyTheMagnitudeGrid) {
    const std::size_t dim = 16;
    std::vector<float> sample;
    for (std::uint32_t r = 0; r < 40; ++r) append(sample, pseudo_random(dim, r + 50));

    auto fresh = make_encoder(dim, 3, 5);
    ASSERT_TRUE(calibrate(fresh, sample));

    auto e = make_encoder(dim, 3, 5);
    replace_grids(e, 7.0f, -1.0f, {3.0f, 2.0f, 1.0f}, {0.5f}, 4.0f, 5.0f, {1.0f, 9.0f});
    ASSERT_TRUE(calibrate(e, sample));
    EXPECT_EQ(bits_of(e.mag_lo()), bits_of(fresh.mag_lo()));
    EXPECT_EQ(bits_of(e.mag_hi()), bits_of(fresh.mag_hi()));
    ASSERT_EQ(e.mag_grid().size(), 32u);
    expect_same_grid(e.mag_grid(), fresh.mag_grid());
    expect_same_grid(e.mag_grid(), *log_grid(e.mag_lo(), e.mag_hi(), 5));
    EXPECT_EQ(as_grid(e.phase_grid()), (SpectralGrid{0.5f}));
    EXPECT_EQ(as_grid(e.norm_grid()), (SpectralGrid{1.0f, 9.0f}));
    EXPECT_EQ(e.norm_lo(), 4.0f);
    EXPECT_EQ(e.norm_hi(), 5.0f);
    EXPECT_EQ(e.dim(), dim);
    EXPECT_EQ(e.top_k(), 3u);
    EXPECT_EQ(e.mag_bits(), 5);

    // Again with the same sample: the same bits.
    ASSERT_TRUE(calibrate(e, sample));
    EXPECT_EQ(bits_of(e.mag_lo()), bits_of(fresh.mag_lo()));
    EXPECT_EQ(bits_of(e.mag_hi()), bits_of(fresh.mag_hi()));
    expect_same_grid(e.mag_grid(), fresh.mag_grid());
}

struct CalibrateFailure {
    const char* name;
    std::vector<float> sample;
    const char* message;  // nullptr: success without any change (empty sample)
};

void PrintTo(const CalibrateFailure& c, std::ostream* os) { *os << c.name; }

class CalibrateLeavesEncoderAlone : public ::testing::TestWithParam<CalibrateFailure> {};

TEST_P(CalibrateLeavesEncoderAlone, OnEmptySampleAndOnError) {
    const auto& c = GetParam();
    auto e = make_encoder(4, 2);
    replace_grids(e, 0.25f, 4.0f, {1.0f, 2.0f, 3.0f}, as_grid(e.phase_grid()), e.norm_lo(), e.norm_hi(),
                  as_grid(e.norm_grid()));
    auto r = calibrate(e, c.sample);
    if (c.message == nullptr) {
        EXPECT_TRUE(r);
    } else {
        ASSERT_FALSE(r);
        EXPECT_EQ(error_message(r.error()), c.message);
    }
    EXPECT_EQ(e.mag_lo(), 0.25f);
    EXPECT_EQ(e.mag_hi(), 4.0f);
    EXPECT_EQ(as_grid(e.mag_grid()), (SpectralGrid{1.0f, 2.0f, 3.0f}));
}

INSTANTIATE_TEST_SUITE_P(
    Samples, CalibrateLeavesEncoderAlone,
    ::testing::Values(
        CalibrateFailure{"Empty", {}, nullptr},
        CalibrateFailure{"SixValues", {1, 2, 3, 4, 5, 6}, "buffer length 6 is not a multiple of dimension 4"},
        CalibrateFailure{"ThreeValues", {1, 2, 3}, "buffer length 3 is not a multiple of dimension 4"},
        CalibrateFailure{"NaNInSecondRow",
                         {1, 0, 0, 0, 0, kNaN, 0, 0},
                         "invalid input: calibration sample row 1 holds NaN or infinite values"},
        CalibrateFailure{"InfinityInFirstRow",
                         {kInf, 1, 0, 0, 1, 0, 0, 0},
                         "invalid input: calibration sample row 0 holds NaN or infinite values"},
        CalibrateFailure{"NegativeInfinityInLastRow",
                         {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, -kInf, 0},
                         "invalid input: calibration sample row 2 holds NaN or infinite values"}),
    ByName{});

// ---------------------------------------------------------------------------
// Energy retention

namespace {

using Pairs = std::vector<std::pair<std::uint64_t, float>>;

void expect_pairs(const Result<RetentionPairs>& got, const Pairs& expected) {
    ASSERT_TRUE(got) << error_message(got.error());
    ASSERT_EQ(got->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((*got)[i].first, expected[i].first) << i;
        EXPECT_EQ(bits_of((*got)[i].second), bits_of(expected[i].second))
            << i << ": " << (*got)[i].second << " vs " << expected[i].second;
    }
}

}  // namespace

TEST(Retention, DeltaRowExample) {
    const std::vector<std::uint64_t> ks{0, 1, 2, 3, 1};
    const Pairs expected{{0, 1.0f}, {1, 0.3333333432674408f}, {2, 0.6666666865348816f}, {3, 1.0f},
                         {1, 0.3333333432674408f}};
    expect_pairs(spectral_energy_retention(kDeltaRow, 4, ks), expected);

    // A zero row and an overflowing row (scaled to zeros) add no energy.
    std::vector<float> more = kDeltaRow;
    append(more, kZeroRow);
    append(more, {3e20f, -3e20f, 1.0f, 0.0f});
    expect_pairs(spectral_energy_retention(more, 4, ks), expected);
}

// Energies are summed over the batch before the one division: [1, 1, 1, 1]
// has powers [4, 0, 0], [1, 0, 0, 0] has [1, 1, 1]; T = 7.
TEST(Retention, RatioOfBatchSums) {
    std::vector<float> values = kFlatRow;
    append(values, kDeltaRow);
    const std::vector<std::uint64_t> ks{1, 2, 3, 0};
    volatile float seven = 7.0f;
    expect_pairs(spectral_energy_retention(values, 4, ks),
                 {{1, 5.0f / seven}, {2, 6.0f / seven}, {3, 1.0f}, {0, 1.0f}});
}

// Rows are multiplied by the reciprocal of their norm (41 * (1/41) is just
// below 1), row sums run from the largest power, and the batch sums run in
// row order.
TEST(Retention, ScalesByTheReciprocalAndSumsInOrder) {
    volatile float recip = 1.0f / 41.0f;
    volatile float r = 41.0f * recip;
    ASSERT_NE(r, 1.0f);
    volatile float p = r * r;  // every bin of [41, 0, 0, 0]
    volatile float b0 = p + p;
    b0 = b0 + p;
    volatile float total = b0 + 4.0f;  // [1, 1, 1, 1] has powers [4, 0, 0]
    volatile float a1 = p + 4.0f;
    volatile float a2 = (p + p) + 4.0f;
    std::vector<float> values{41.0f, 0.0f, 0.0f, 0.0f};
    append(values, kFlatRow);
    expect_pairs(spectral_energy_retention(values, 4, std::vector<std::uint64_t>{1, 2}),
                 {{1, a1 / total}, {2, a2 / total}});
    ASSERT_NE(a1 / total, 5.0f / 7.0f);  // what division by the norm would give
}

TEST(Retention, ZeroEnergyBatch) {
    std::vector<float> values;
    append(values, kZeroRow, 3);
    expect_pairs(spectral_energy_retention(values, 4, std::vector<std::uint64_t>{0, 1, 2, 3}),
                 {{0, 1.0f}, {1, 0.0f}, {2, 0.0f}, {3, 1.0f}});
    // dim 1: F = 1, so every accepted k reports 1.
    expect_pairs(spectral_energy_retention(std::vector<float>{3.0f, -2.0f, 0.0f}, 1,
                                           std::vector<std::uint64_t>{0, 1, 1}),
                 {{0, 1.0f}, {1, 1.0f}, {1, 1.0f}});
}

struct RetentionCheckCase {
    const char* name;
    std::size_t len;
    std::uint64_t dim;
    std::vector<std::uint64_t> ks;
    const char* message;  // nullptr: an empty result
};

void PrintTo(const RetentionCheckCase& c, std::ostream* os) { *os << c.name; }

class RetentionChecks : public ::testing::TestWithParam<RetentionCheckCase> {};

TEST_P(RetentionChecks, ErrorsAndEmptyResults) {
    const auto& c = GetParam();
    const auto values = pseudo_random(c.len, 3);
    auto r = spectral_energy_retention(values, c.dim, c.ks);
    if (c.message == nullptr) {
        ASSERT_TRUE(r) << error_message(r.error());
        EXPECT_TRUE(r->empty());
    } else {
        ASSERT_FALSE(r);
        EXPECT_EQ(error_message(r.error()), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetentionChecks,
    ::testing::Values(
        // No values: nothing else is looked at.
        RetentionCheckCase{"NoValuesDimZero", 0, 0, {100}, nullptr},
        RetentionCheckCase{"NoValuesHugeK", 0, 4, {0, 100, 3}, nullptr},
        RetentionCheckCase{"NoKs", 8, 4, {}, nullptr},
        // The length is checked before the ks.
        RetentionCheckCase{"LengthBeforeK", 7, 4, {100}, "buffer length 7 is not a multiple of dimension 4"},
        RetentionCheckCase{"LengthWithoutKs", 7, 4, {}, "buffer length 7 is not a multiple of dimension 4"},
        RetentionCheckCase{"DimZero", 3, 0, {0}, "buffer length 3 is not a multiple of dimension 0"},
        // The largest k is named, not the first one too large.
        RetentionCheckCase{"LargestKNamedDim8", 8, 8, {3, 9, 7}, "top_k (9) exceeds F (5)"},
        RetentionCheckCase{"LargestKNamedDim9", 18, 9, {3, 9, 7}, "top_k (9) exceeds F (5)"},
        RetentionCheckCase{"KJustAboveF", 4, 4, {4}, "top_k (4) exceeds F (3)"},
        RetentionCheckCase{"KMax", 4, 4, {1, UINT64_MAX}, "top_k (18446744073709551615) exceeds F (3)"}),
    ByName{});

TEST(Retention, NaNOrInfiniteRowsAreRefused) {
    const struct {
        std::vector<float> values;
        std::vector<std::uint64_t> ks;
        const char* message;
    } cases[] = {
        {{1, 0, 0, 0, kNaN, 0, 0, 0}, {1}, "invalid input: embeddings row 1 holds NaN or infinite values"},
        {{kInf, 0, 0, 0}, {1}, "invalid input: embeddings row 0 holds NaN or infinite values"},
        {{1, 0, 0, 0, 1, 0, 0, 0, 0, -kInf, 0, 0}, {}, "invalid input: embeddings row 2 holds NaN or infinite values"},
        // The k check comes first.
        {{kNaN, 0, 0, 0}, {4}, "top_k (4) exceeds F (3)"},
    };
    for (const auto& c : cases) {
        auto r = spectral_energy_retention(c.values, 4, c.ks);
        ASSERT_FALSE(r);
        EXPECT_EQ(error_message(r.error()), c.message);
    }
}

class RetentionAgainstReference : public ::testing::TestWithParam<std::uint64_t> {};

// Only bins 0 .. F-1 count, each row's strongest first.
TEST_P(RetentionAgainstReference, Ratios) {
    const std::uint64_t dim = GetParam();
    const std::uint64_t f = dim / 2 + 1;
    std::vector<float> values;
    std::vector<float> ramp(dim);
    for (std::size_t j = 0; j < dim; ++j) ramp[j] = static_cast<float>(j + 1);
    append(values, ramp);
    for (std::uint32_t r = 0; r < 5; ++r) append(values, pseudo_random(dim, r + 7));

    std::vector<std::uint64_t> ks;
    for (std::uint64_t k = 0; k <= f; ++k) ks.push_back(k);
    auto got = spectral_energy_retention(values, dim, ks);
    ASSERT_TRUE(got) << error_message(got.error());
    ASSERT_EQ(got->size(), ks.size());

    std::vector<double> kept(f + 1, 0.0);
    double total = 0;
    for (std::size_t r = 0; r < values.size() / dim; ++r) {
        auto mags = reference_magnitudes(values.data() + r * dim, dim);
        std::vector<double> powers;
        for (double m : mags) powers.push_back(m * m);
        std::sort(powers.begin(), powers.end(), std::greater<double>());
        double run = 0;
        for (std::size_t k = 1; k <= f; ++k) kept[k] += (run += powers[k - 1]);
        total += run;
    }
    for (std::size_t i = 0; i < ks.size(); ++i) {
        const std::uint64_t k = ks[i];
        EXPECT_EQ((*got)[i].first, k);
        const double expected = (k == 0) ? 1.0 : kept[k] / total;
        EXPECT_NEAR((*got)[i].second, expected, 2e-6) << "dim " << dim << " k " << k;
    }
    EXPECT_EQ((*got)[0].second, 1.0f);
    EXPECT_EQ((*got)[f].second, 1.0f);
}

INSTANTIATE_TEST_SUITE_P(Dims, RetentionAgainstReference, ::testing::Values(2, 4, 8, 9, 13, 16, 97, 100),
                         ByNumber{"Dim"});

// Encoder construction, the forward transform, encoding into codes and the
// byte accounting of one encoded vector.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/fft.hpp"
#include "codec/grid.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

SpectralCodes encode(const SpectralEncoder& e, const std::vector<float>& x) {
    auto c = encode_one(e, x);
    if (!c) throw std::runtime_error(error_message(c.error()));
    return std::move(*c);
}

// x_j = sum of amp * cos(2 pi bin j / dim).
std::vector<float> cosines(std::size_t dim, std::initializer_list<std::pair<std::size_t, double>> parts) {
    std::vector<float> x(dim);
    for (std::size_t j = 0; j < dim; ++j) {
        double v = 0;
        for (auto [bin, amp] : parts)
            v += amp * std::cos(2.0 * std::numbers::pi * static_cast<double>(bin * j % dim) / static_cast<double>(dim));
        x[j] = static_cast<float>(v);
    }
    return x;
}

// The continuous position of v on a log grid from lo to hi with 2^bits
// entries; the nearest code is this rounded.
double log_position(double v, double lo, double hi, int bits) {
    return (std::log(v) - std::log(lo)) / (std::log(hi) - std::log(lo)) * static_cast<double>((1 << bits) - 1);
}

// The first F bins of the forward transform of `scaled`, through a fresh plan.
std::vector<std::complex<float>> transform(const std::vector<float>& scaled) {
    auto plan = SpectralFftPlan::forward(scaled.size());
    if (!plan) throw std::runtime_error(error_message(plan.error()));
    FftBuffer buf(scaled.size());
    for (std::size_t i = 0; i < scaled.size(); ++i) buf[i] = {scaled[i], 0.0f};
    std::vector<std::complex<float>> scratch(plan->scratch_len());
    forward_transform(*plan, buf, scratch);
    return {buf.data(), buf.data() + scaled.size() / 2 + 1};
}

}  // namespace

// ---------------------------------------------------------------------------
// build_encoder

struct RefusalCase {
    std::uint64_t dim, top_k;
    int mag_bits, phase_bits, norm_bits;
    const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    print_fields(os, "dim", c.dim, "top_k", c.top_k, "mag_bits", c.mag_bits, "phase_bits", c.phase_bits, "norm_bits",
                 c.norm_bits);
}

class BuildEncoderRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BuildEncoderRefusal, FirstFailingCheckIsReported) {
    const auto& c = GetParam();
    auto e = build_encoder(c.dim, c.top_k, static_cast<std::uint8_t>(c.mag_bits),
                           static_cast<std::uint8_t>(c.phase_bits), static_cast<std::uint8_t>(c.norm_bits));
    ASSERT_FALSE(e);
    EXPECT_EQ(error_message(e.error()), c.message);
    // The same checks, without building anything.
    auto s = check_encoder_config(c.dim, c.top_k, static_cast<std::uint8_t>(c.mag_bits),
                                  static_cast<std::uint8_t>(c.phase_bits), static_cast<std::uint8_t>(c.norm_bits));
    ASSERT_FALSE(s);
    EXPECT_EQ(error_message(s.error()), c.message);
    // And the encoder an index file describes, whatever its grids.
    auto from_file = build_encoder_with_grids(c.dim, c.top_k, static_cast<std::uint8_t>(c.mag_bits),
                                              static_cast<std::uint8_t>(c.phase_bits),
                                              static_cast<std::uint8_t>(c.norm_bits), {1.0f}, {0.0f}, {1.0f});
    ASSERT_FALSE(from_file);
    EXPECT_EQ(error_message(from_file.error()), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, BuildEncoderRefusal,
    ::testing::Values(
        RefusalCase{0, 1, 8, 8, 8, "dimension mismatch: expected 4, got 0"},
        RefusalCase{2, 1, 8, 8, 8, "dimension mismatch: expected 4, got 2"},
        RefusalCase{3, 0, 40, 40, 40, "dimension mismatch: expected 4, got 3"},
        RefusalCase{4, 0, 8, 8, 8, "top_k (0) exceeds F (3)"},
        RefusalCase{4, 4, 8, 8, 8, "top_k (4) exceeds F (3)"},
        RefusalCase{5, 4, 8, 8, 8, "top_k (4) exceeds F (3)"},
        RefusalCase{8, 6, 4, 4, 4, "top_k (6) exceeds F (5)"},
        RefusalCase{8, 0, 40, 8, 8, "top_k (0) exceeds F (5)"},
        RefusalCase{4, UINT64_MAX, 8, 8, 8, "top_k (18446744073709551615) exceeds F (3)"},
        RefusalCase{8, 2, 31, 8, 8, "invalid grid size: 2^31 = 2147483648 overflows"},
        RefusalCase{8, 2, 8, 31, 40, "invalid grid size: 2^31 = 2147483648 overflows"},
        RefusalCase{64, 8, 4, 31, 40, "invalid grid size: 2^31 = 2147483648 overflows"},
        RefusalCase{8, 2, 8, 8, 40, "invalid grid size: 2^40 = 1099511627776 overflows"},
        RefusalCase{8, 2, 30, 8, 63, "invalid grid size: 2^63 = 9223372036854775808 overflows"},
        RefusalCase{8, 2, 64, 8, 8, "invalid grid size: 2^64 = 1 overflows"},
        RefusalCase{8, 2, 8, 8, 255, "invalid grid size: 2^255 = 9223372036854775808 overflows"},
        // Bins must fit 16 bits: refused only after every other check has passed.
        RefusalCase{131072, 1, 4, 4, 4,
                    "invalid input: dim 131072 gives F = 65537 bins, more than 16-bit bin numbers can address "
                    "(dim must be at most 131071)"},
        RefusalCase{UINT64_MAX, 1, 4, 4, 4,
                    "invalid input: dim 18446744073709551615 gives F = 9223372036854775808 bins, more than 16-bit "
                    "bin numbers can address (dim must be at most 131071)"},
        RefusalCase{131072, 0, 4, 4, 4, "top_k (0) exceeds F (65537)"},
        RefusalCase{131072, 65538, 4, 4, 4, "top_k (65538) exceeds F (65537)"},
        RefusalCase{131072, 1, 4, 31, 4, "invalid grid size: 2^31 = 2147483648 overflows"}),
    [](const auto& info) {
        const RefusalCase& c = info.param;
        return case_name("Dim", c.dim, "TopK", c.top_k, "Bits", c.mag_bits, "_", c.phase_bits, "_", c.norm_bits);
    });

struct ConfigCase {
    std::uint64_t dim, top_k;
    std::uint64_t f;
    float mag_hi;
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
    print_fields(os, "dim", c.dim, "top_k", c.top_k, "f", c.f, "mag_hi", c.mag_hi);
}

class BuildEncoderConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(BuildEncoderConfig, FieldsAndGrids) {
    const auto& c = GetParam();
    EXPECT_TRUE(check_encoder_config(c.dim, c.top_k, 6, 5, 7));
    const auto e = make_encoder(c.dim, c.top_k, 6, 5, 7);
    EXPECT_EQ(e.dim(), c.dim);
    EXPECT_EQ(e.top_k(), c.top_k);
    EXPECT_EQ(e.f(), c.f);
    EXPECT_EQ(bits_of(e.mag_hi()), bits_of(c.mag_hi));
    EXPECT_EQ(bits_of(e.mag_lo()), bits_of(0.0010000000474974513f));
    EXPECT_EQ(e.norm_lo(), 0.5f);
    EXPECT_EQ(e.norm_hi(), 2.0f);
    EXPECT_EQ(e.mag_bits(), 6);
    EXPECT_EQ(e.phase_bits(), 5);
    EXPECT_EQ(e.norm_bits(), 7);
    EXPECT_EQ(as_grid(e.mag_grid()), *log_grid(0.001f, c.mag_hi, 6));
    EXPECT_EQ(as_grid(e.phase_grid()), uniform_phase_grid(5));
    EXPECT_EQ(as_grid(e.norm_grid()), *log_grid(0.5f, 2.0f, 7));
    ASSERT_TRUE(e.fft_forward());
    EXPECT_EQ(e.fft_forward().len(), c.dim);
    EXPECT_EQ(e.fft_forward().scratch_len(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Dims, BuildEncoderConfig,
                         ::testing::Values(ConfigCase{4, 3, 3, 1.7320507764816284f},
                                           ConfigCase{4, 1, 3, 1.7320507764816284f},
                                           ConfigCase{5, 3, 3, 1.7320507764816284f},
                                           ConfigCase{8, 5, 5, 2.2360680103302f},
                                           ConfigCase{9, 5, 5, 2.2360680103302f},
                                           ConfigCase{13, 2, 7, std::sqrt(7.0f)},
                                           ConfigCase{768, 64, 385, std::sqrt(385.0f)},
                                           ConfigCase{131071, 65536, 65536, 256.0f}),
                         [](const auto& info) { return case_name("Dim", info.param.dim, "TopK", info.param.top_k); });

TEST(BuildEncoder, WidthsOfZeroGiveOneEntryGrids) {
    const auto e = make_encoder(4, 3, 0, 0, 0);
    ASSERT_EQ(e.mag_grid().size(), 1u);
    ASSERT_EQ(e.phase_grid().size(), 1u);
    ASSERT_EQ(e.norm_grid().size(), 1u);
    EXPECT_EQ(bits_of(e.mag_grid()[0]), bits_of(0.001f));
    EXPECT_EQ(bits_of(e.phase_grid()[0]), 0u);
    EXPECT_EQ(bits_of(e.norm_grid()[0]), bits_of(0.5f));
    // Every code of such an encoder is 0.
    const auto c = encode(e, {0.3f, -1.0f, 2.0f, 0.5f});
    EXPECT_EQ(c.mag_q, (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_EQ(c.phase_q, (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_EQ(c.norm_q, 0);
}

// The encoder of an index file: build_encoder's configuration and grid ends,
// and the file's grids bit for bit, whatever their values and lengths; its
// encoding follows those grids, and refuses them where codes cannot address
// them.
TEST(BuildEncoder, WithGridsKeepsTheGridsAsGiven) {
    const auto built = make_encoder(8, 2, 2, 1, 1);
    const SpectralGrid mag{std::bit_cast<float>(0x7fa00001u), 0.5f, -0.0f, 2.0f};
    const SpectralGrid phase{3.0f, 0.0f};
    const SpectralGrid norm{1.0f, std::bit_cast<float>(0xffc12345u)};
    const auto grid_bits = [](std::span<const float> g) { return korvane::testing::bits_of(g); };
    auto e = build_encoder_with_grids(8, 2, 2, 1, 1, mag, phase, norm);
    ASSERT_TRUE(e) << error_message(e.error());
    EXPECT_EQ(e->dim(), 8u);
    EXPECT_EQ(e->top_k(), 2u);
    EXPECT_EQ(e->f(), 5u);
    EXPECT_EQ(e->mag_bits(), 2);
    EXPECT_EQ(e->phase_bits(), 1);
    EXPECT_EQ(e->norm_bits(), 1);
    EXPECT_EQ(bits_of(e->mag_lo()), bits_of(built.mag_lo()));
    EXPECT_EQ(bits_of(e->mag_hi()), bits_of(built.mag_hi()));
    EXPECT_EQ(bits_of(e->norm_lo()), bits_of(built.norm_lo()));
    EXPECT_EQ(bits_of(e->norm_hi()), bits_of(built.norm_hi()));
    EXPECT_EQ(grid_bits(e->mag_grid()), grid_bits(mag));
    EXPECT_EQ(grid_bits(e->phase_grid()), grid_bits(phase));
    EXPECT_EQ(grid_bits(e->norm_grid()), grid_bits(norm));

    auto replaced = built;
    replace_grids(replaced, built.mag_lo(), built.mag_hi(), mag, phase, built.norm_lo(), built.norm_hi(), norm);
    for (std::uint32_t seed = 0; seed < 8; ++seed) {
        const auto x = pseudo_random(8, seed);
        const auto want = encode(replaced, x);
        const auto got = encode(*e, x);
        EXPECT_EQ(got.idx, want.idx);
        EXPECT_EQ(got.mag_q, want.mag_q);
        EXPECT_EQ(got.phase_q, want.phase_q);
        EXPECT_EQ(got.norm_q, want.norm_q);
    }

    auto unaddressable = build_encoder_with_grids(8, 2, 2, 1, 1, mag, phase, {});
    ASSERT_TRUE(unaddressable);
    EXPECT_EQ(grid_bits(unaddressable->mag_grid()), grid_bits(mag));
    auto refused = encode_one(*unaddressable, pseudo_random(8, 0));
    ASSERT_FALSE(refused);
    EXPECT_EQ(error_message(refused.error()),
              "invalid input: norm_grid has 0 entries, but its codes can address 1 to 65536");
}

// Copies share one plan; separately built encoders never do, and a copy keeps
// transforming after the original is gone.
TEST(BuildEncoder, PlanIsSharedByCopiesOnly) {
    const auto x = pseudo_random(24, 7);
    SpectralCodes expected;
    std::optional<SpectralEncoder> copy;
    {
        const auto original = make_encoder(24, 5);
        const auto other = make_encoder(24, 5);
        EXPECT_EQ(other.fft_forward().use_count(), 1);
        copy = original;
        EXPECT_EQ(original.fft_forward().use_count(), 2);
        expected = encode(original, x);
        // Equal input through a separately planned transform gives the same codes.
        const auto via_other = encode(other, x);
        EXPECT_EQ(via_other.idx, expected.idx);
        EXPECT_EQ(via_other.mag_q, expected.mag_q);
        EXPECT_EQ(via_other.phase_q, expected.phase_q);
        EXPECT_EQ(via_other.norm_q, expected.norm_q);
    }
    EXPECT_EQ(copy->fft_forward().use_count(), 1);
    const auto again = encode(*copy, x);
    EXPECT_EQ(again.idx, expected.idx);
    EXPECT_EQ(again.mag_q, expected.mag_q);
    EXPECT_EQ(again.phase_q, expected.phase_q);
    EXPECT_EQ(again.norm_q, expected.norm_q);
}

// ---------------------------------------------------------------------------
// Forward transform

class ForwardTransformTest : public ::testing::TestWithParam<std::size_t> {};

// Against a direct DFT in double precision: negative exponent, no scaling.
TEST_P(ForwardTransformTest, MatchesDirectDft) {
    const std::size_t n = GetParam();
    auto plan = SpectralFftPlan::forward(n);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->len(), n);
    const auto re = pseudo_random(n, static_cast<std::uint32_t>(n));
    const auto im = pseudo_random(n, static_cast<std::uint32_t>(n) + 99);
    FftBuffer buf(n);
    for (std::size_t j = 0; j < n; ++j) buf[j] = {re[j], im[j]};
    std::vector<std::complex<float>> scratch(plan->scratch_len());
    forward_transform(*plan, buf, scratch);

    double worst = 0;
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> sum = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const double angle = -2.0 * std::numbers::pi * static_cast<double>(j * k % n) / static_cast<double>(n);
            sum += std::complex<double>(re[j], im[j]) * std::polar(1.0, angle);
        }
        worst = std::max(worst, std::abs(std::complex<double>(buf[k]) - sum));
    }
    // Inputs are in [-1, 1), so the bins are of the order of sqrt(n).
    EXPECT_LT(worst, 2e-6 * std::sqrt(static_cast<double>(n)) * std::log2(2.0 * n)) << "n = " << n;
}

INSTANTIATE_TEST_SUITE_P(Lengths, ForwardTransformTest,
                         ::testing::Values(1, 2, 3, 4, 5, 6, 8, 9, 13, 15, 16, 97, 210, 384, 1000, 1009, 1024),
                         ByNumber{"Length"});

TEST(ForwardTransform, RefusesLengthZero) {
    auto plan = SpectralFftPlan::forward(0);
    ASSERT_FALSE(plan);
    EXPECT_EQ(error_message(plan.error()), "invalid input: FFT length out of range");
}

// ---------------------------------------------------------------------------
// encode_one

TEST(EncodeOne, WrongLengthIsRefused) {
    const auto e8 = make_encoder(8, 2);
    auto r = encode_one(e8, std::vector<float>(5, 1.0f));
    ASSERT_FALSE(r);
    EXPECT_EQ(error_message(r.error()), "dimension mismatch: expected 8, got 5");
    const auto e4 = make_encoder(4, 2);
    EXPECT_EQ(error_message(encode_one(e4, std::vector<float>(5)).error()), "dimension mismatch: expected 4, got 5");
    EXPECT_EQ(error_message(encode_one(e4, std::vector<float>{}).error()), "dimension mismatch: expected 4, got 0");
}

// [1, 0, -1, 0]: bins 0 and 2 are 0, bin 1 is sqrt(2) (after scaling to unit
// length); the tie between bins 0 and 2 goes to the lower bin.
TEST(EncodeOne, DimFourExample) {
    const auto e = make_encoder(4, 2);
    const auto c = encode(e, {1.0f, 0.0f, -1.0f, 0.0f});
    EXPECT_EQ(c.idx, (std::vector<std::uint16_t>{1, 0}));
    // sqrt(2) sits at position 248.07 of the default magnitude grid
    // (0.001 .. sqrt(3)); 0 has an infinite log distance to every entry.
    ASSERT_NEAR(log_position(std::sqrt(2.0), 0.001, std::sqrt(3.0), 8), 248.07, 0.01);
    EXPECT_EQ(c.mag_q, (std::vector<std::uint8_t>{248, 0}));
    EXPECT_EQ(c.phase_q, (std::vector<std::uint8_t>{0, 0}));
    // norm sqrt(2) on the norm grid 0.5 .. 2: position 191.25.
    EXPECT_EQ(c.norm_q, 191);

    const auto one = encode(make_encoder(4, 1), {1.0f, 0.0f, -1.0f, 0.0f});
    EXPECT_EQ(one.idx, (std::vector<std::uint16_t>{1}));

    // top_k = F: every bin, ascending, whatever the magnitudes.
    const auto all = encode(make_encoder(4, 3), {1.0f, 0.0f, -1.0f, 0.0f});
    EXPECT_EQ(all.idx, (std::vector<std::uint16_t>{0, 1, 2}));
    EXPECT_EQ(all.mag_q, (std::vector<std::uint8_t>{0, 248, 0}));
}

struct NormCase {
    float scale;  // of the vector [1, 0, 0, 0]
    std::uint16_t norm_q;
};

TEST(EncodeOne, NormCodeUsesTheNormBeforeTheFloor) {
    const NormCase cases[] = {{0.5f, 0}, {2.0f, 255}, {1e9f, 255}, {0.25f, 0}, {1.5f, 202}, {1e-12f, 0}};
    const auto e = make_encoder(4, 3);
    for (const auto& c : cases) {
        EXPECT_EQ(encode(e, {c.scale, 0.0f, 0.0f, 0.0f}).norm_q, c.norm_q) << c.scale;
    }
    ASSERT_NEAR(log_position(1.5, 0.5, 2.0, 8), 202.1, 0.05);

    // The zero vector's norm is 0, whose log distance to every entry is
    // infinite, so it takes code 0 even when an entry equals the floor.
    auto floored = make_encoder(4, 3);
    edit_grids(floored, [](SpectralGrid&, SpectralGrid&, SpectralGrid& norm) { norm = {1.0f, 1e-9f}; });
    EXPECT_EQ(encode(floored, {0.0f, 0.0f, 0.0f, 0.0f}).norm_q, 0);
    EXPECT_EQ(encode(floored, {1e-9f, 0.0f, 0.0f, 0.0f}).norm_q, 1);
}

// Below the floor a vector is scaled by 1e9 rather than to unit length: the
// transform of [1e-10, 0, 0, 0] holds 0.1 in every bin, not 1.
TEST(EncodeOne, TinyVectorIsScaledByTheFloor) {
    const auto e = make_encoder(4, 3);
    const double pos_tenth = log_position(0.1, 0.001, std::sqrt(3.0), 8);
    const double pos_one = log_position(1.0, 0.001, std::sqrt(3.0), 8);
    ASSERT_NEAR(pos_tenth, 157.48, 0.01);
    ASSERT_NEAR(pos_one, 236.22, 0.01);
    EXPECT_EQ(encode(e, {1e-10f, 0.0f, 0.0f, 0.0f}).mag_q, (std::vector<std::uint8_t>{157, 157, 157}));
    EXPECT_EQ(encode(e, {1.0f, 0.0f, 0.0f, 0.0f}).mag_q, (std::vector<std::uint8_t>{236, 236, 236}));
}

// Values are multiplied by the reciprocal of the norm, not divided by it:
// 41 * (1/41) is one ulp below 1 in single precision, and a magnitude grid
// holding both values tells them apart.
TEST(EncodeOne, ScalesByTheReciprocalOfTheNorm) {
    volatile float recip = 1.0f / 41.0f;
    const float scaled = 41.0f * recip;
    ASSERT_NE(scaled, 1.0f);
    auto e = make_encoder(4, 3);
    edit_grids(e, [&](SpectralGrid& mag, SpectralGrid&, SpectralGrid&) { mag = {1.0f, scaled}; });
    EXPECT_EQ(encode(e, {41.0f, 0.0f, 0.0f, 0.0f}).mag_q, (std::vector<std::uint8_t>{1, 1, 1}));
    EXPECT_EQ(encode(e, {1.0f, 0.0f, 0.0f, 0.0f}).mag_q, (std::vector<std::uint8_t>{0, 0, 0}));
}

struct NullCase {
    const char* name;
    std::uint64_t dim, top_k;
    std::vector<float> x;
};

void PrintTo(const NullCase& c, std::ostream* os) { *os << c.name; }

class EncodesLikeZero : public ::testing::TestWithParam<NullCase> {};

// Zero vectors, and vectors whose sum of squares overflows (norm infinite, so
// every scaled value is 0): lowest bins, every code 0.
TEST_P(EncodesLikeZero, LowestBinsAndZeroCodes) {
    const auto& c = GetParam();
    const auto e = make_encoder(c.dim, c.top_k);
    const auto codes = encode(e, c.x);
    std::vector<std::uint16_t> idx(c.top_k);
    for (std::size_t j = 0; j < idx.size(); ++j) idx[j] = static_cast<std::uint16_t>(j);
    EXPECT_EQ(codes.idx, idx);
    EXPECT_EQ(codes.mag_q, std::vector<std::uint8_t>(c.top_k, 0));
    EXPECT_EQ(codes.phase_q, std::vector<std::uint8_t>(c.top_k, 0));
    EXPECT_EQ(codes.norm_q, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, EncodesLikeZero,
    ::testing::Values(NullCase{"Zero4", 4, 2, {0, 0, 0, 0}}, NullCase{"Zero4All", 4, 3, {0, 0, 0, 0}},
                      NullCase{"Zero8", 8, 4, std::vector<float>(8, 0.0f)},
                      NullCase{"Overflow4", 4, 2, {1e20f, 0, 0, 0}},
                      NullCase{"OverflowMixed4", 4, 1, {1e20f, 2.0f, 3.0f, 4.0f}},
                      NullCase{"OverflowSpread8", 8, 3, std::vector<float>(8, 3e19f)}),
    ByName{});

// A phase slightly below zero wraps to exactly 2*pi (in single precision) and
// takes the top phase code, not 0.
TEST(EncodeOne, PhaseJustBelowZeroTakesTheTopCode) {
    const std::vector<float> x{1.0f, 1e-8f, 0.0f, 0.0f};  // norm rounds to 1
    const auto bins = transform(x);
    const float p = std::arg(bins[1]);
    ASSERT_LT(p, 0.0f);
    ASSERT_GT(p, -1e-7f);
    ASSERT_EQ(bits_of(p + kTwoPi), bits_of(6.2831854820251465f));
    for (int bits : {0, 1, 2, 3, 8}) {
        const auto e = make_encoder(4, 3, 8, static_cast<std::uint8_t>(bits), 8);
        const auto c = encode(e, x);
        const std::uint8_t top = static_cast<std::uint8_t>((1 << bits) - 1);
        EXPECT_EQ(c.phase_q, (std::vector<std::uint8_t>{0, top, 0})) << bits;
    }
}

// Phases in (-pi, 0) wrap once into (pi, 2*pi); positive ones stay.
TEST(EncodeOne, PhaseCodesFollowTheWrappedAngle) {
    // Bin 1 of [a, b, 0, 0] is (a, -b), scaled: its phase is atan2(-b, a).
    const struct {
        float a, b;
        std::uint8_t code;  // phase_bits = 3: entries k * pi/4
    } cases[] = {{1.0f, 1.0f, 7}, {1.0f, -1.0f, 1}, {-1.0f, 1.0f, 5}, {-1.0f, -1.0f, 3}, {0.0f, 1.0f, 6},
                 {0.0f, -1.0f, 2}, {1.0f, 0.0f, 0}, {-1.0f, 0.0f, 4}};
    const auto e = make_encoder(4, 3, 8, 3, 8);
    for (const auto& c : cases) {
        const auto codes = encode(e, {c.a, c.b, 0.0f, 0.0f});
        EXPECT_EQ(codes.phase_q[1], c.code) << c.a << "," << c.b;
    }
}

// All NaN: every magnitude and phase is NaN, bins in ascending order, every
// code 0 (a NaN distance never wins).
TEST(EncodeOne, NaNInputGivesLowestBinsAndZeroCodes) {
    const auto e = make_encoder(4, 2);
    const auto c = encode(e, {kNaN, 0.0f, 0.0f, 0.0f});
    EXPECT_EQ(c.idx, (std::vector<std::uint16_t>{0, 1}));
    EXPECT_EQ(c.mag_q, (std::vector<std::uint8_t>{0, 0}));
    EXPECT_EQ(c.phase_q, (std::vector<std::uint8_t>{0, 0}));
    EXPECT_EQ(c.norm_q, 0);
}

// Some NaN magnitudes: NaN ranks after every number, NaNs among themselves by
// bin. [1e30, NaN, 0, 0] has a NaN norm, so it is scaled by 1e9: bin 1 is
// (inf, NaN), whose magnitude is +inf, and bins 0 and 2 are NaN.
TEST(EncodeOne, NaNMagnitudesRankLast) {
    const std::vector<float> x{1e30f, kNaN, 0.0f, 0.0f};
    const float inv = 1.0f / 1e-9f;
    const auto bins = transform({x[0] * inv, x[1] * inv, 0.0f, 0.0f});
    ASSERT_TRUE(std::isnan(hypotf(bins[0].real(), bins[0].imag())));
    ASSERT_TRUE(std::isinf(hypotf(bins[1].real(), bins[1].imag())));
    ASSERT_TRUE(std::isnan(hypotf(bins[2].real(), bins[2].imag())));
    EXPECT_EQ(encode(make_encoder(4, 1), x).idx, (std::vector<std::uint16_t>{1}));
    const auto c = encode(make_encoder(4, 2), x);
    EXPECT_EQ(c.idx, (std::vector<std::uint16_t>{1, 0}));
    EXPECT_EQ(c.mag_q, (std::vector<std::uint8_t>{0, 0}));  // log distance to +inf is infinite
}

// Kept bins come strongest first and are not re-sorted by bin number.
TEST(EncodeOne, BinsInDescendingMagnitude) {
    const auto x = cosines(16, {{3, 3.0}, {7, 2.0}, {1, 1.0}});
    EXPECT_EQ(encode(make_encoder(16, 3), x).idx, (std::vector<std::uint16_t>{3, 7, 1}));
    EXPECT_EQ(encode(make_encoder(16, 1), x).idx, (std::vector<std::uint16_t>{3}));
    // Nyquist bin F-1 = 8 and bin 0.
    const auto y = cosines(16, {{8, 1.0}, {0, 3.0}, {5, 2.0}});
    EXPECT_EQ(encode(make_encoder(16, 3), y).idx, (std::vector<std::uint16_t>{0, 5, 8}));
}

// [1, 0, 0, 0, -1, 0, 0, 0]: bins 1 and 3 share the largest magnitude, 0, 2, 4
// are 0. Equal magnitudes keep the lower bin first.
TEST(EncodeOne, EqualMagnitudesLowerBinFirst) {
    const std::vector<float> x{1, 0, 0, 0, -1, 0, 0, 0};
    const auto bins = transform({0.70710677f, 0, 0, 0, -0.70710677f, 0, 0, 0});
    std::vector<float> mags;
    for (auto b : bins) mags.push_back(hypotf(b.real(), b.imag()));
    ASSERT_EQ(mags[1], mags[3]);
    ASSERT_EQ(mags[0], 0.0f);
    ASSERT_EQ(mags[2], 0.0f);
    ASSERT_EQ(mags[4], 0.0f);
    EXPECT_EQ(encode(make_encoder(8, 2), x).idx, (std::vector<std::uint16_t>{1, 3}));
    EXPECT_EQ(encode(make_encoder(8, 4), x).idx, (std::vector<std::uint16_t>{1, 3, 0, 2}));
    EXPECT_EQ(encode(make_encoder(8, 5), x).idx, (std::vector<std::uint16_t>{0, 1, 2, 3, 4}));
}

struct OddCase {
    std::uint64_t dim, f;
};

void PrintTo(const OddCase& c, std::ostream* os) { print_fields(os, "dim", c.dim, "f", c.f); }

class OddDims : public ::testing::TestWithParam<OddCase> {};

// Odd dimensions have no Nyquist bin; the last bin F-1 = (dim-1)/2 is found.
TEST_P(OddDims, LastAndMiddleBins) {
    const auto& c = GetParam();
    const auto e = make_encoder(c.dim, 2);
    ASSERT_EQ(e.f(), c.f);
    const std::size_t mid = c.f / 2;
    const auto x = cosines(c.dim, {{c.f - 1, 2.0}, {mid, 1.0}});
    EXPECT_EQ(encode(e, x).idx, (std::vector<std::uint16_t>{static_cast<std::uint16_t>(c.f - 1),
                                                             static_cast<std::uint16_t>(mid)}));
    const auto all = encode(make_encoder(c.dim, c.f), x);
    ASSERT_EQ(all.idx.size(), c.f);
    for (std::size_t j = 0; j < c.f; ++j) EXPECT_EQ(all.idx[j], j);
}

INSTANTIATE_TEST_SUITE_P(Dims, OddDims,
                         ::testing::Values(OddCase{5, 3}, OddCase{7, 4}, OddCase{9, 5}, OddCase{13, 7},
                                           OddCase{97, 49}, OddCase{1009, 505}),
                         [](const auto& info) { return case_name("Dim", info.param.dim); });

class EncodeAgainstReference : public ::testing::TestWithParam<std::size_t> {};

// The whole road against a double-precision model: the kept bins are the
// strongest (up to float noise between near-equal ones), in descending order,
// and every code is the nearest grid position.
TEST_P(EncodeAgainstReference, BinsAndCodes) {
    const std::size_t dim = GetParam();
    const std::size_t top_k = 5;
    const auto e = make_encoder(dim, top_k, 8, 6, 10);
    auto x = pseudo_random(dim, static_cast<std::uint32_t>(dim) * 3);
    double norm2 = 0;
    for (float v : x) norm2 += static_cast<double>(v) * v;
    for (auto& v : x) v = static_cast<float>(v * 1.3 / std::sqrt(norm2));  // norm ~1.3
    const auto c = encode(e, x);

    double s = 0;
    for (float v : x) s += static_cast<double>(v) * v;
    const double norm = std::sqrt(s);
    const std::size_t f = dim / 2 + 1;
    std::vector<double> mag(f), phase(f);
    for (std::size_t k = 0; k < f; ++k) {
        std::complex<double> sum = 0;
        for (std::size_t j = 0; j < dim; ++j)
            sum += (x[j] / norm) * std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(j * k % dim) /
                                                       static_cast<double>(dim));
        // Bins 0 and dim/2 of a real vector are real; drop the rounding noise
        // of the twiddles, whose sign would decide the wrap.
        if (std::abs(sum.imag()) < 1e-9) sum.imag(0.0);
        mag[k] = std::abs(sum);
        phase[k] = std::arg(sum) < 0 ? std::arg(sum) + 2 * std::numbers::pi : std::arg(sum);
    }
    ASSERT_EQ(c.idx.size(), top_k);
    std::vector<bool> kept(f, false);
    for (std::size_t j = 0; j < top_k; ++j) {
        ASSERT_LT(c.idx[j], f);
        ASSERT_FALSE(kept[c.idx[j]]) << "bin kept twice";
        kept[c.idx[j]] = true;
        if (j > 0) {
            EXPECT_GE(mag[c.idx[j - 1]], mag[c.idx[j]] - 1e-5);
        }
    }
    for (std::size_t b = 0; b < f; ++b) {
        if (!kept[b]) {
            EXPECT_LE(mag[b], mag[c.idx[top_k - 1]] + 1e-5) << "bin " << b;
        }
    }

    const double sqrt_f = std::sqrt(static_cast<double>(f));
    const double phase_step = 2 * std::numbers::pi / 64;
    for (std::size_t j = 0; j < top_k; ++j) {
        const double pos = std::clamp(log_position(mag[c.idx[j]], 0.001, sqrt_f, 8), 0.0, 255.0);
        EXPECT_LE(std::abs(c.mag_q[j] - pos), 0.5 + 1e-3) << j;
        const double ppos = std::min(phase[c.idx[j]] / phase_step, 63.0);
        EXPECT_LE(std::abs(c.phase_q[j] - ppos), 0.5 + 1e-3) << j;
    }
    EXPECT_LE(std::abs(c.norm_q - log_position(norm, 0.5, 2.0, 10)), 0.5 + 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Dims, EncodeAgainstReference, ::testing::Values(13, 64, 97, 100, 384, 1009),
                         ByNumber{"Dim"});

// The largest dimension accepted: F = 65,536, so bin 65,535 must come out
// intact in 16 bits.
TEST(EncodeOne, LargestDimensionKeepsTheTopBin) {
    const auto e = make_encoder(131071, 2, 4, 4, 4);
    ASSERT_EQ(e.f(), 65536u);
    const auto x = cosines(131071, {{65535, 2.0}, {40000, 1.0}});
    EXPECT_EQ(encode(e, x).idx, (std::vector<std::uint16_t>{65535, 40000}));
}

TEST(EncodeOne, EqualInputGivesIdenticalCodes) {
    const auto e = make_encoder(97, 12, 8, 8, 16);
    const auto x = pseudo_random(97, 5);
    const auto a = encode(e, x);
    const auto b = encode(e, x);
    EXPECT_EQ(a.idx, b.idx);
    EXPECT_EQ(a.mag_q, b.mag_q);
    EXPECT_EQ(a.phase_q, b.phase_q);
    EXPECT_EQ(a.norm_q, b.norm_q);
}

// ---------------------------------------------------------------------------
// Grids that codes cannot address

struct GridLimitCase {
    const char* name;
    std::size_t mag, phase, norm;  // grid lengths
    const char* message;           // nullptr: accepted
};

void PrintTo(const GridLimitCase& c, std::ostream* os) { *os << c.name; }

class GridLimits : public ::testing::TestWithParam<GridLimitCase> {};

TEST_P(GridLimits, EncodingChecksGridLengths) {
    const auto& c = GetParam();
    auto e = make_encoder(4, 3);
    edit_grids(e, [&](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm) {
        mag.assign(c.mag, 1000.0f);
        phase.assign(c.phase, 100.0f);
        norm.assign(c.norm, 1000.0f);
        // The last entry of each grid is the one that fits [1, 0, 0, 0]:
        // magnitude 1 in every bin, phase 0, norm 1.
        if (c.mag) mag.back() = 1.0f;
        if (c.phase) phase.back() = 0.0f;
        if (c.norm) norm.back() = 1.0f;
    });
    const std::vector<float> x{1.0f, 0.0f, 0.0f, 0.0f};
    auto one = encode_one(e, x);
    auto rows = encode_rows(e, std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0});
    if (c.message == nullptr) {
        ASSERT_TRUE(one) << error_message(one.error());
        EXPECT_EQ(one->mag_q, std::vector<std::uint8_t>(3, static_cast<std::uint8_t>(c.mag - 1)));
        EXPECT_EQ(one->phase_q, std::vector<std::uint8_t>(3, static_cast<std::uint8_t>(c.phase - 1)));
        EXPECT_EQ(one->norm_q, c.norm - 1);
        ASSERT_TRUE(rows);
        EXPECT_EQ(rows->size(), 2u);
    } else {
        ASSERT_FALSE(one);
        EXPECT_EQ(error_message(one.error()), c.message);
        ASSERT_FALSE(rows);
        EXPECT_EQ(error_message(rows.error()), c.message);
        // Without rows there is nothing to quantise, and nothing to refuse.
        auto none = encode_rows(e, std::vector<float>{});
        ASSERT_TRUE(none);
        EXPECT_TRUE(none->empty());
        // The length check still comes first.
        EXPECT_EQ(error_message(encode_one(e, std::vector<float>(3)).error()), "dimension mismatch: expected 4, got 3");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, GridLimits,
    ::testing::Values(
        GridLimitCase{"Largest", 256, 256, 65536, nullptr}, GridLimitCase{"Smallest", 1, 1, 1, nullptr},
        GridLimitCase{"Odd", 3, 5, 7, nullptr},
        GridLimitCase{"EmptyMag", 0, 256, 256,
                      "invalid input: mag_grid has 0 entries, but its codes can address 1 to 256"},
        GridLimitCase{"LongMag", 257, 256, 256,
                      "invalid input: mag_grid has 257 entries, but its codes can address 1 to 256"},
        GridLimitCase{"EmptyPhase", 256, 0, 256,
                      "invalid input: phase_grid has 0 entries, but its codes can address 1 to 256"},
        GridLimitCase{"LongPhase", 2, 1000, 2,
                      "invalid input: phase_grid has 1000 entries, but its codes can address 1 to 256"},
        GridLimitCase{"EmptyNorm", 2, 2, 0,
                      "invalid input: norm_grid has 0 entries, but its codes can address 1 to 65536"},
        GridLimitCase{"LongNorm", 2, 2, 65537,
                      "invalid input: norm_grid has 65537 entries, but its codes can address 1 to 65536"}),
    ByName{});

// ---------------------------------------------------------------------------
// encode_rows

TEST(EncodeRows, LengthCheckAndEmptyBuffer) {
    const auto e = make_encoder(4, 2);
    auto bad = encode_rows(e, std::vector<float>(10, 1.0f));
    ASSERT_FALSE(bad);
    EXPECT_EQ(error_message(bad.error()), "buffer length 10 is not a multiple of dimension 4");
    EXPECT_EQ(error_message(encode_rows(e, std::vector<float>(3)).error()),
              "buffer length 3 is not a multiple of dimension 4");
    auto none = encode_rows(e, std::vector<float>{});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

// Rows are encoded in order, each exactly as encode_one would; the working
// state reused between rows leaves no trace.
TEST(EncodeRows, MatchesEncodeOnePerRow) {
    for (std::size_t dim : {4u, 13u, 64u}) {
        for (std::size_t top_k : {std::size_t{1}, std::size_t{3}, dim / 2 + 1}) {
            const auto e = make_encoder(dim, top_k);
            std::vector<float> flat;
            for (std::uint32_t r = 0; r < 6; ++r) {
                auto row = pseudo_random(dim, r + 100);
                if (r == 2 || r == 4) std::fill(row.begin(), row.end(), 0.0f);  // zero row in the middle
                if (r == 4) row[0] = kNaN;                                      // NaN row too
                flat.insert(flat.end(), row.begin(), row.end());
            }
            auto codes = encode_rows(e, flat);
            ASSERT_TRUE(codes);
            ASSERT_EQ(codes->size(), 6u);
            for (std::size_t r = 0; r < 6; ++r) {
                const auto one = encode(e, std::vector<float>(flat.begin() + r * dim, flat.begin() + (r + 1) * dim));
                const auto& got = (*codes)[r];
                EXPECT_EQ(got.idx, one.idx) << dim << " " << top_k << " row " << r;
                EXPECT_EQ(got.mag_q, one.mag_q) << dim << " " << top_k << " row " << r;
                EXPECT_EQ(got.phase_q, one.phase_q) << dim << " " << top_k << " row " << r;
                EXPECT_EQ(got.norm_q, one.norm_q) << dim << " " << top_k << " row " << r;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Byte accounting

struct BytesCase {
    std::uint64_t dim, top_k;
    int mag_bits, phase_bits;
    std::uint64_t bytes;
};

void PrintTo(const BytesCase& c, std::ostream* os) {
    print_fields(os, "dim", c.dim, "top_k", c.top_k, "mag_bits", c.mag_bits, "phase_bits", c.phase_bits, "bytes",
                 c.bytes);
}

class BytesPerChunk : public ::testing::TestWithParam<BytesCase> {};

TEST_P(BytesPerChunk, Table) {
    const auto& c = GetParam();
    for (int norm_bits : {0, 8, 16}) {  // the norm code is not counted
        const auto e = make_encoder(c.dim, c.top_k, static_cast<std::uint8_t>(c.mag_bits),
                                    static_cast<std::uint8_t>(c.phase_bits), static_cast<std::uint8_t>(norm_bits));
        EXPECT_EQ(bytes_per_chunk(e), c.bytes) << "dim " << c.dim;
    }
}

INSTANTIATE_TEST_SUITE_P(Encoders, BytesPerChunk,
                         ::testing::Values(BytesCase{4, 3, 8, 8, 7}, BytesCase{4, 1, 0, 0, 1}, BytesCase{6, 4, 4, 4, 5},
                                           BytesCase{8, 5, 4, 4, 7}, BytesCase{14, 8, 4, 4, 11},
                                           BytesCase{16, 9, 4, 4, 14}, BytesCase{384, 32, 4, 4, 64},
                                           BytesCase{768, 64, 4, 4, 136}, BytesCase{1024, 128, 5, 3, 288}),
                         [](const auto& info) {
                             const BytesCase& c = info.param;
                             return case_name("Dim", c.dim, "TopK", c.top_k, "Mag", c.mag_bits, "Phase", c.phase_bits);
                         });

// F is rounded to single precision before its logarithm: F = 2^24 + 1 becomes
// 2^24 and counts 24 bin bits, not 25.
TEST(BytesPerChunkRounding, FIsNarrowedBeforeTheLogarithm) {
    EXPECT_EQ(bytes_per_chunk((std::uint64_t{1} << 24) + 1, 1, 0, 0), 3u);  // (24 + 7) / 8
    EXPECT_EQ(bytes_per_chunk(8, 8, 4, 4), 11u);  // exactly 3 bin bits for a power of two
}

TEST(SaturatingU64, TruncatesAndSaturates) {
    const struct {
        float v;
        std::uint64_t expected;
    } cases[] = {{kNaN, 0},
                 {-kNaN, 0},
                 {-1.0f, 0},
                 {-0.0f, 0},
                 {0.0f, 0},
                 {0.99f, 0},
                 {1.0f, 1},
                 {2.97f, 2},
                 {227106.984375f, 227106},
                 {227107.0f, 227107},
                 {2294.0098f, 2294},
                 {9223372036854775808.0f, 9223372036854775808ull},
                 {18446742974197923840.0f, 18446742974197923840ull},  // largest float below 2^64
                 {18446744073709551616.0f, UINT64_MAX},
                 {std::numeric_limits<float>::infinity(), UINT64_MAX},
                 {-std::numeric_limits<float>::infinity(), 0}};
    for (const auto& c : cases) EXPECT_EQ(saturating_u64(c.v), c.expected) << c.v;
}

// Resident size of an index: per item at most twice the encoded size of one
// vector, for noise-like and for smooth vectors, built by adds and by a load,
// for codes of 8 to 16 bits (magnitude and phase bits together).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/error.hpp"
#include "index/index.hpp"
#include "io/format.hpp"
#include "test_support.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

constexpr std::size_t kItems = 3000;

std::vector<float> gaussian_rows(std::size_t m, std::size_t dim, std::mt19937& rng) {
    std::normal_distribution<float> g;
    std::vector<float> v(m * dim);
    for (float& x : v) x = g(rng);
    return v;
}

// Sums of cosines whose amplitudes decay like exp(-0.08 h), each scaled by a
// random factor in [0.7, 1.3), with random phases: the kept bins are the low
// ones, nearly the same in every item, varying near the cut.
std::vector<float> smooth_rows(std::size_t m, std::size_t dim, std::mt19937& rng) {
    constexpr std::size_t kBins = 110;  // exp(-0.08 * 110) ~ 1.5e-4
    std::vector<float> cos_t(dim), sin_t(dim);
    for (std::size_t t = 0; t < dim; ++t) {
        const double a = 2.0 * M_PI * static_cast<double>(t) / static_cast<double>(dim);
        cos_t[t] = static_cast<float>(std::cos(a));
        sin_t[t] = static_cast<float>(std::sin(a));
    }
    std::uniform_real_distribution<float> scale(0.7f, 1.3f), angle(0.0f, 6.2831853f);
    std::vector<float> v(m * dim, 0.0f);
    for (std::size_t i = 0; i < m; ++i) {
        float* row = v.data() + i * dim;
        for (std::size_t h = 0; h < kBins; ++h) {
            const float amp = std::exp(-0.08f * static_cast<float>(h)) * scale(rng);
            const float phi = angle(rng);
            const float c = amp * std::cos(phi), s = amp * std::sin(phi);
            for (std::size_t t = 0, at = 0; t < dim; ++t) {
                row[t] += c * cos_t[at] - s * sin_t[at];
                at += h;
                if (at >= dim) at -= dim;
            }
        }
    }
    return v;
}

using Batches = std::vector<std::vector<float>>;

Batches gaussian(std::size_t dim, std::mt19937& rng) { return {gaussian_rows(kItems, dim, rng)}; }
Batches smooth(std::size_t dim, std::mt19937& rng) { return {smooth_rows(kItems, dim, rng)}; }
// Growth by many small adds, each reserving and rebalancing.
Batches smooth_in_small_adds(std::size_t dim, std::mt19937& rng) {
    Batches out;
    for (std::size_t i = 0; i < kItems / 100; ++i) out.push_back(smooth_rows(100, dim, rng));
    return out;
}
// Smooth items first (dense low columns), then as many noise-like ones.
Batches smooth_then_gaussian(std::size_t dim, std::mt19937& rng) {
    return {smooth_rows(kItems / 2, dim, rng), gaussian_rows(kItems / 2, dim, rng)};
}

struct MemoryCase {
    const char* name;
    std::size_t dim, top_k;
    std::uint8_t mag_bits, phase_bits;
    std::uint64_t limit;  // 2 x bytes_per_chunk
    // Rows of each add, in order.
    Batches (*batches)(std::size_t dim, std::mt19937&);
};

void PrintTo(const MemoryCase& c, std::ostream* os) { *os << c.name; }

class IndexMemory : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(IndexMemory, BytesPerItemStayWithinTwiceTheEncodedSize) {
    const MemoryCase& c = GetParam();
    auto built = build_encoder(c.dim, c.top_k, c.mag_bits, c.phase_bits, 8);
    ASSERT_TRUE(built);
    const SpectralEncoder& e = *built;
    const std::uint64_t limit = 2 * bytes_per_chunk(e);
    ASSERT_EQ(limit, c.limit);
    const std::size_t base = SpectralIndex(e).memory_bytes();

    std::mt19937 rng(21);
    SpectralIndex ix(e);
    for (const auto& rows : c.batches(c.dim, rng)) ASSERT_TRUE(ix.add_rows(rows));
    const std::size_t n = ix.size();
    ASSERT_GE(n, kItems);
    const std::size_t per_item = (ix.memory_bytes() - base) / n;
    EXPECT_LE(per_item, limit) << "added: " << ix.memory_bytes() << " bytes for " << n << " items";

    const auto path = std::filesystem::temp_directory_path() /
                      ("korvane-memory-" + std::to_string(::getpid()) + "-" + c.name + ".krvn");
    ASSERT_TRUE(write_index_file(ix, path.string()));
    auto loaded = read_index_file(path.string());
    std::filesystem::remove(path);
    ASSERT_TRUE(loaded) << error_message(loaded.error());
    ASSERT_EQ(loaded->size(), n);
    const std::size_t loaded_per_item = (loaded->memory_bytes() - base) / n;
    EXPECT_LE(loaded_per_item, limit) << "loaded: " << loaded->memory_bytes() << " bytes for " << n << " items";
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, IndexMemory,
    ::testing::Values(
        // Two-byte codes.
        MemoryCase{"Gaussian", 768, 64, 8, 8, 400, gaussian},
        MemoryCase{"Smooth", 768, 64, 8, 8, 400, smooth},
        MemoryCase{"SmoothInSmallAdds", 768, 64, 8, 8, 400, smooth_in_small_adds},
        MemoryCase{"SmoothThenGaussian", 768, 64, 8, 8, 400, smooth_then_gaussian},
        MemoryCase{"Bits7x6Gaussian", 384, 16, 7, 6, 84, gaussian},
        // 8-bit codes, one byte each.
        MemoryCase{"Bits4x4TopK16Gaussian", 384, 16, 4, 4, 64, gaussian},
        MemoryCase{"Bits4x4TopK16Smooth", 384, 16, 4, 4, 64, smooth},
        MemoryCase{"Bits4x4TopK48Gaussian", 384, 48, 4, 4, 192, gaussian},
        MemoryCase{"Bits4x4TopK48Smooth", 384, 48, 4, 4, 192, smooth},
        MemoryCase{"Bits4x4TopK48SmoothInSmallAdds", 384, 48, 4, 4, 192, smooth_in_small_adds},
        MemoryCase{"Bits4x4TopK96Gaussian", 384, 96, 4, 4, 384, gaussian},
        MemoryCase{"Bits4x4TopK96Smooth", 384, 96, 4, 4, 384, smooth},
        MemoryCase{"Bits8x0Gaussian", 384, 16, 8, 0, 64, gaussian},
        MemoryCase{"Bits3x5Smooth", 384, 16, 3, 5, 64, smooth},
        // 9 to 12 bits: blocks of low bytes and high bits.
        MemoryCase{"Bits5x4Gaussian", 384, 16, 5, 4, 68, gaussian},
        MemoryCase{"Bits6x4Gaussian", 384, 16, 6, 4, 72, gaussian},
        MemoryCase{"Bits6x5Gaussian", 384, 16, 6, 5, 76, gaussian},
        MemoryCase{"Bits6x6Smooth", 384, 16, 6, 6, 80, smooth}),
    ByName{});

struct DenseCase {
    const char* name;
    std::uint8_t mag_bits, phase_bits;
    double code_bytes;
};

void PrintTo(const DenseCase& c, std::ostream* os) { *os << c.name; }

class IndexMemoryDense : public ::testing::TestWithParam<DenseCase> {};

// Items that all keep the same bins fill dense columns: a code and a bit per
// item and bin, with at most a quarter more reserved, whether they arrive in
// one add or in many.
TEST_P(IndexMemoryDense, ItemsKeepingTheSameBinsCostTheirDenseColumns) {
    const DenseCase& c = GetParam();
    auto built = build_encoder(768, 64, c.mag_bits, c.phase_bits, 8);
    ASSERT_TRUE(built);
    const SpectralEncoder& e = *built;
    const std::size_t base = SpectralIndex(e).memory_bytes();
    std::mt19937 rng(4);
    std::vector<SpectralCodes> items(kItems);
    for (SpectralCodes& r : items) {
        for (std::uint16_t h = 0; h < 64; ++h) {
            r.idx.push_back(h);
            r.mag_q.push_back(static_cast<std::uint8_t>(rng() % e.mag_grid().size()));
            r.phase_q.push_back(static_cast<std::uint8_t>(rng() % e.phase_grid().size()));
        }
        r.norm_q = static_cast<std::uint16_t>(rng() % 256);
    }
    // Per item: 64 dense entries and a norm, a quarter reserved on top, and
    // a few bytes for the segment's column table.
    const double bound = 1.25 * (64 * (c.code_bytes + 1.0 / 8) + 4) + 8;

    SpectralIndex one_add(e);
    ASSERT_TRUE(one_add.add_codes(items));
    SpectralIndex small_adds(e);
    for (std::size_t i = 0; i < kItems; i += 100)
        ASSERT_TRUE(small_adds.add_codes(std::span(items).subspan(i, 100)));
    const double per_item_small = static_cast<double>(small_adds.memory_bytes() - base) / kItems;
    const double per_item_one = static_cast<double>(one_add.memory_bytes() - base) / kItems;
    EXPECT_LE(per_item_small, bound);
    EXPECT_LE(per_item_one, bound) << "one add of " << kItems << " items holds " << per_item_one
                                   << " bytes per item, " << per_item_small << " when added 100 at a time";
}

INSTANTIATE_TEST_SUITE_P(Widths, IndexMemoryDense,
                         ::testing::Values(DenseCase{"TwoByteCodes", 8, 8, 2.0}, DenseCase{"OneByteCodes", 4, 4, 1.0},
                                           DenseCase{"TwelveBitCodes", 6, 6, 1.5}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

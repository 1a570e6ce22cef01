// The fast encoding road against the plain one it replaces: every fast step
// against its plain counterpart, and encode_one / encode_rows against
// encode_one_plain over generated vectors and grids, hostile ones included.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/grid.hpp"
#include "simd/certain_codes.hpp"
#include "simd/selection.hpp"
#include "simd/vector_steps.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

// One vector of a generated kind; the kinds cover the classes of input that
// take their own ways through encoding.
std::vector<float> vector_of_kind(std::size_t dim, int kind, std::mt19937& rng) {
    std::normal_distribution<float> normal;
    std::uniform_int_distribution<std::size_t> pos(0, dim - 1);
    std::vector<float> x(dim);
    for (float& v : x) v = normal(rng);
    switch (kind) {
        case 0: break;                                            // ordinary
        case 1: x.assign(dim, 0.0f); break;                       // zero
        case 2: x.assign(dim, -0.0f); break;                      // negative zero
        case 3: x[pos(rng)] = kNaN; break;                        // one NaN
        case 4: x[pos(rng)] = kInf; break;                        // one infinity
        case 5: x[pos(rng)] = -kInf; x[pos(rng)] = kInf; break;   // both infinities
        case 6: x[pos(rng)] = 1e20f; break;                       // overflowing sum of squares
        case 7: for (float& v : x) v *= 1e-30f; break;            // subnormal squares
        case 8: for (float& v : x) v = v < 0 ? -kDenorm : kDenorm; break;  // subnormal values
        case 9: for (float& v : x) v *= 1e-12f; break;            // norm below the floor
        case 10: x.assign(dim, 1.0f); break;                      // one bin, ties elsewhere
        case 11:                                                  // many equal magnitudes
            for (std::size_t i = 0; i < dim; ++i) x[i] = (i % 4 == 0) ? 1.0f : (i % 4 == 2 ? -1.0f : 0.0f);
            break;
        case 12: x.assign(dim, 0.0f); x[pos(rng)] = 3.0f; break;  // flat spectrum: all magnitudes equal
        case 13: x[pos(rng)] = kMax; x[pos(rng)] = -kMax; break;  // finite extremes
        case 14: for (float& v : x) v = std::round(v * 2.0f); break;  // small integers: exact ties
        default: break;
    }
    return x;
}
constexpr int kKinds = 15;

void expect_same(const SpectralCodes& got, const SpectralCodes& want, const std::string& what) {
    EXPECT_EQ(got.idx, want.idx) << what;
    EXPECT_EQ(got.mag_q, want.mag_q) << what;
    EXPECT_EQ(got.phase_q, want.phase_q) << what;
    EXPECT_EQ(got.norm_q, want.norm_q) << what;
}

// encode_one and encode_rows against encode_one_plain, row by row, errors
// included.
void check_against_plain(const SpectralEncoder& e, const std::vector<float>& flat, const std::string& what) {
    const std::size_t dim = e.dim();
    auto rows = encode_rows(e, flat);
    for (std::size_t r = 0; r * dim < flat.size(); ++r) {
        const std::span<const float> x(flat.data() + r * dim, dim);
        auto plain = encode_one_plain(e, x);
        auto one = encode_one(e, x);
        ASSERT_EQ(one.has_value(), plain.has_value()) << what;
        ASSERT_EQ(rows.has_value(), plain.has_value()) << what;
        if (!plain) {
            EXPECT_EQ(error_message(one.error()), error_message(plain.error())) << what;
            EXPECT_EQ(error_message(rows.error()), error_message(plain.error())) << what;
            return;
        }
        expect_same(*one, *plain, what + " encode_one row " + std::to_string(r));
        expect_same((*rows)[r], *plain, what + " encode_rows row " + std::to_string(r));
    }
}

// Rows of every kind in a shuffled order, so that each kind meets every
// lane of the eight-row sums.
std::vector<float> mixed_rows(std::size_t dim, std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<float> flat;
    for (std::size_t r = 0; r < count; ++r) {
        const auto x = vector_of_kind(dim, static_cast<int>((r * 7 + seed) % kKinds), rng);
        flat.insert(flat.end(), x.begin(), x.end());
    }
    return flat;
}

}  // namespace

// ---------------------------------------------------------------------------
// The fast steps, each against its plain counterpart

TEST(FastSteps, EightRowSumsAreTheSequentialSums) {
    std::mt19937 rng(11);
    for (std::size_t dim : {1u, 4u, 7u, 8u, 9u, 17u, 64u, 97u, 768u}) {
        std::vector<std::vector<float>> rows;
        for (int kind = 0; kind < kKinds; ++kind) rows.push_back(vector_of_kind(std::max<std::size_t>(dim, 1), kind, rng));
        for (std::size_t start = 0; start + 8 <= rows.size(); ++start) {
            const float* p[kLanes];
            for (std::size_t l = 0; l < kLanes; ++l) p[l] = rows[start + l].data();
            float sums[kLanes];
            sums_of_squares8(p, dim, sums);
            for (std::size_t l = 0; l < kLanes; ++l) {
                const float norm = vector_norm(std::span<const float>(p[l], dim));
                EXPECT_EQ(bits_of(std::sqrt(sums[l])), bits_of(norm)) << "dim " << dim << " lane " << l;
            }
        }
    }
}

// Both rounding rules, value by value, for vectors of every kind, every
// length past a whole vector, and scale factors that overflow, underflow or
// are not numbers.
TEST(FastSteps, ScaledValuesAreTheScalarOnes) {
    std::mt19937 rng(12);
    for (std::size_t dim : {1u, 7u, 8u, 9u, 23u, 768u}) {
        for (int kind = 0; kind < kKinds; ++kind) {
            const auto x = vector_of_kind(dim, kind, rng);
            for (float s : {0.37f, 1e-9f, 1e30f, kDenorm, kInf, kNaN, -0.0f}) {
                for (bool divide : {false, true}) {
                    std::vector<std::complex<float>> got(dim);
                    scaled_to_complex(x.data(), dim, s, divide, got.data());
                    for (std::size_t i = 0; i < dim; ++i) {
                        const float want = divide ? x[i] / s : s * x[i];
                        ASSERT_EQ(bits_of(got[i].real()), bits_of(want)) << "dim " << dim << " kind " << kind << " at " << i;
                        ASSERT_EQ(bits_of(got[i].imag()), 0u);
                    }
                }
            }
        }
    }
}

// At least 10^8 pairs: random bit patterns (every class: zeros of both
// signs, subnormals, normals, infinities, NaN of any payload), pairs of
// close exponents (where the sum rounds), and a grid of special values.
TEST(FastSteps, BinMagnitudesAreTheLibraryHypotf) {
    std::mt19937_64 rng(12);
    const float specials[] = {0.0f, -0.0f, kDenorm, -kDenorm, 1e-38f, 1.17549435e-38f, 1.0f, -1.0f, 3.0f, 4.0f,
                              kMax, -kMax, kInf, -kInf, kNaN, -kNaN, from_bits(0x7F800001u), from_bits(0xFFC00123u),
                              1.8446744e19f, 1e-19f, 2.3283064e-10f};
    constexpr std::size_t kBlock = 4096;
    std::vector<std::complex<float>> bins(kBlock);
    std::vector<float> got(kBlock);
    std::uint64_t checked = 0, mismatches = 0;
    auto check_block = [&](std::size_t n) {
        bin_magnitudes(bins.data(), n, got.data());
        for (std::size_t b = 0; b < n; ++b) {
            const float want = hypotf(bins[b].real(), bins[b].imag());
            if (bits_of(got[b]) != bits_of(want) && ++mismatches <= 5)
                ADD_FAILURE() << std::hexfloat << bins[b].real() << ", " << bins[b].imag() << ": " << got[b]
                              << " vs " << want;
        }
        checked += n;
    };
    for (float a : specials)
        for (float b : specials) {
            bins[0] = {a, b};
            for (std::size_t j = 1; j < 4; ++j) bins[j] = {1.0f, 2.0f};  // a finite group around it
            check_block(4);
            bins[0] = {1.0f, 2.0f};
            bins[3] = {a, b};
            check_block(5);
        }
    while (checked < 100'000'000) {
        for (std::size_t b = 0; b < kBlock; ++b) {
            const std::uint64_t r = rng();
            float re = from_bits(static_cast<std::uint32_t>(r));
            float im = from_bits(static_cast<std::uint32_t>(r >> 32));
            switch (b % 4) {
                case 0: break;  // any bit patterns
                case 1:         // close exponents
                    im = from_bits((bits_of(im) & 0x807FFFFFu) | (bits_of(re) & 0x7F800000u));
                    break;
                case 2:  // subnormal and tiny
                    re = from_bits(bits_of(re) & 0x80FFFFFFu);
                    im = from_bits(bits_of(im) & 0x807FFFFFu);
                    break;
                case 3:  // the range FFT output takes
                    re = from_bits((bits_of(re) & 0x807FFFFFu) | (0x3C000000u + (bits_of(im) & 0x07800000u)));
                    im = from_bits((bits_of(im) & 0x807FFFFFu) | 0x3E800000u);
                    break;
            }
            bins[b] = {re, im};
        }
        check_block(kBlock - (checked / kBlock) % 4);  // every tail length
    }
    EXPECT_EQ(mismatches, 0u) << "of " << checked;
}

// Phase codes from the double-precision angle, wherever they are given,
// against atan2f and the nearest-entry search over at least 10^8 bins: random
// bit patterns (zeros of both signs, subnormals, infinities, NaN), the range
// FFT output takes, angles within 1e-4 of a midpoint between entries, and
// bins close to the axes; through uniform tables of every width, uneven
// ascending ones, and ones whose rounded distances tie.
TEST(FastSteps, CertainPhaseCodesAreTheExactOnes) {
    std::vector<std::vector<float>> tables;
    for (std::uint8_t bits = 1; bits <= 8; ++bits) tables.push_back(uniform_phase_grid(bits));
    std::vector<float> squares;
    for (int i = 0; i < 40; ++i) squares.push_back(0.004f * static_cast<float>(i * i));
    tables.push_back(squares);
    tables.push_back({0.5f, 4.0f});
    // Entries one unit in the last place apart, and gaps so wide that
    // distances near their midpoint round to one value: ties the exact path
    // breaks toward the lower entry.
    tables.push_back({1.0f, std::nextafter(1.0f, 2.0f)});
    tables.push_back({0.0f, 0.1f, std::nextafter(0.1f, 1.0f), 6.0f});
    tables.push_back({-1000.0f, 1000.0f});
    tables.push_back({-1e38f, 1e38f});
    std::vector<NearestTable> exact;
    std::vector<CertainCodes> bounds;
    for (const auto& t : tables) {
        exact.emplace_back(t);
        bounds.emplace_back(t, 7.0);
        ASSERT_TRUE(bounds.back().usable());
    }

    std::mt19937_64 rng(21);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    constexpr std::size_t kBlock = 64;
    std::vector<std::complex<float>> bins(kBlock);
    std::vector<std::uint16_t> idx(kBlock);
    for (std::size_t j = 0; j < kBlock; ++j) idx[j] = static_cast<std::uint16_t>(kBlock - 1 - j);
    std::vector<int> got(kBlock);
    std::uint64_t checked = 0, certain = 0, mismatches = 0;
    // The full count in the plain build; a tenth under the sanitizers, whose
    // run checks memory, not the arithmetic again.
    const std::uint64_t samples = std::getenv("KORVANE_SANITIZED") ? 10'000'000 : 100'000'000;
    for (std::uint64_t block = 0; checked < samples; ++block) {
        const std::size_t which = block % tables.size();
        const std::vector<float>& table = tables[which];
        for (std::size_t b = 0; b < kBlock; ++b) {
            const std::uint64_t r = rng();
            float re = from_bits(static_cast<std::uint32_t>(r));
            float im = from_bits(static_cast<std::uint32_t>(r >> 32));
            switch (b % 4) {
                case 0: break;  // any bit patterns
                case 1:         // the range FFT output takes
                    re = from_bits((bits_of(re) & 0x807FFFFFu) | (0x3C000000u + (bits_of(im) & 0x07800000u)));
                    im = from_bits((bits_of(im) & 0x807FFFFFu) |
                                   (0x3E000000u + (static_cast<std::uint32_t>(r >> 20) & 0x03800000u)));
                    break;
                case 2: {  // near a midpoint between two entries
                    const std::size_t j = (r >> 8) % (table.size() - 1);
                    const double mid = (static_cast<double>(table[j]) + table[j + 1]) / 2;
                    const double theta = mid + (unit(rng) - 0.5) * 2e-4;
                    const double radius = std::ldexp(0.5 + unit(rng), static_cast<int>(r % 40) - 20);
                    re = static_cast<float>(radius * std::cos(theta));
                    im = static_cast<float>(radius * std::sin(theta));
                    break;
                }
                case 3:  // close to an axis, either side
                    im = from_bits((bits_of(im) & 0x807FFFFFu) |
                                   ((bits_of(re) & 0x7F800000u) - 0x0B000000u * static_cast<std::uint32_t>(r >> 62)));
                    if (r & 1) std::swap(re, im);
                    break;
            }
            bins[b] = {re, im};
        }
        const std::size_t k = kBlock - block % 4;  // every tail length
        certain_phase_codes(bins.data(), idx.data(), k, bounds[which], got.data());
        for (std::size_t j = 0; j < k; ++j) {
            ++checked;
            if (got[j] < 0) continue;
            ++certain;
            const std::complex<float> bin = bins[idx[j]];
            float p = atan2f(bin.imag(), bin.real());
            if (p < 0.0f) p = p + kTwoPi;
            const int want = static_cast<int>(exact[which].nearest(p));
            if (got[j] != want && ++mismatches <= 5)
                ADD_FAILURE() << std::hexfloat << bin.real() << ", " << bin.imag() << " table " << which << ": "
                              << got[j] << " vs " << want;
        }
    }
    EXPECT_EQ(mismatches, 0u) << "of " << certain << " certain among " << checked;
    EXPECT_GT(certain, checked / 3);  // the fast way is taken for most bins
}

// Magnitude codes from our own logarithm, wherever they are given, against
// logf and the nearest-entry search over at least 10^8 magnitudes: random bit
// patterns (zeros, subnormals, infinities, NaN), the range bin magnitudes
// take, and values whose logarithm lies within 1e-4 of a midpoint between
// entries; through log grids of every width, calibrated-like ones, uneven
// ones, ones whose logarithms lie far from zero and two entries one unit in
// the last place apart.
TEST(FastSteps, CertainMagnitudeCodesAreTheExactOnes) {
    std::vector<std::vector<float>> grids;
    for (std::uint8_t bits = 1; bits <= 8; ++bits) grids.push_back(*log_grid(0.001f, 19.6f, bits));
    grids.push_back(*log_grid(0.05f, 3.0f, 6));
    grids.push_back(*log_grid(1e-35f, 1e-30f, 8));
    grids.push_back(*log_grid(1e30f, 3e38f, 8));
    std::vector<float> uneven;
    for (int i = 1; i <= 40; ++i) uneven.push_back(0.01f * static_cast<float>(i * i));
    grids.push_back(uneven);
    grids.push_back({0.36787945f, std::nextafter(0.36787945f, 1.0f)});  // logarithms one unit apart
    std::vector<NearestTable> exact;
    std::vector<CertainCodes> certain_codes;
    for (const auto& g : grids) {
        exact.push_back(NearestTable::of_logs(g));
        certain_codes.emplace_back(exact.back().values(), 90.0);
        ASSERT_TRUE(certain_codes.back().usable());
    }

    std::mt19937_64 rng(22);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    constexpr std::size_t kBlock = 64;
    std::vector<float> mags(kBlock);
    std::vector<std::uint16_t> idx(kBlock);
    for (std::size_t j = 0; j < kBlock; ++j) idx[j] = static_cast<std::uint16_t>((j * 37) % kBlock);
    std::vector<int> got(kBlock);
    std::uint64_t checked = 0, certain = 0, mismatches = 0;
    const std::uint64_t samples = std::getenv("KORVANE_SANITIZED") ? 10'000'000 : 100'000'000;
    for (std::uint64_t block = 0; checked < samples; ++block) {
        const std::size_t which = block % grids.size();
        const std::span<const float> logs = exact[which].values();
        for (std::size_t b = 0; b < kBlock; ++b) {
            const std::uint64_t r = rng();
            float m = from_bits(static_cast<std::uint32_t>(r));
            switch (b % 3) {
                case 0: m = std::fabs(m); break;  // any bit pattern, NaN payloads and -0.0 included
                case 1:                           // the range bin magnitudes take
                    m = from_bits((static_cast<std::uint32_t>(r) & 0x007FFFFFu) |
                                  (0x38000000u + (static_cast<std::uint32_t>(r >> 32) & 0x07800000u)));
                    break;
                case 2: {  // a logarithm near a midpoint between two entries
                    const std::size_t j = (r >> 8) % (logs.size() - 1);
                    const double mid = (static_cast<double>(logs[j]) + logs[j + 1]) / 2;
                    m = static_cast<float>(std::exp(mid + (unit(rng) - 0.5) * 2e-4));
                    break;
                }
            }
            mags[b] = m;
        }
        const std::size_t k = kBlock - block % 8;  // every tail length
        certain_magnitude_codes(mags.data(), idx.data(), k, certain_codes[which], got.data());
        for (std::size_t j = 0; j < k; ++j) {
            ++checked;
            if (got[j] < 0) continue;
            ++certain;
            const float m = mags[idx[j]];
            const int want = static_cast<int>(exact[which].nearest(logf(m)));
            if (got[j] != want && ++mismatches <= 5)
                ADD_FAILURE() << std::hexfloat << m << " grid " << which << ": " << got[j] << " vs " << want;
        }
    }
    EXPECT_EQ(mismatches, 0u) << "of " << certain << " certain among " << checked;
    EXPECT_GT(certain, checked / 2);  // the fast way is taken for most magnitudes
}

TEST(FastSteps, SelectionIsTheFullOrdersPrefix) {
    std::mt19937 rng(13);
    const float pool[] = {0.0f, -0.0f, kDenorm, 1e-30f, 0.5f, 1.0f, 1.0f, 2.0f, kInf, kNaN, 3.0f, 1e30f};
    SelectionSpace work_fast, work_plain;
    for (std::size_t n : {2u, 3u, 9u, 64u, 127u, 128u, 129u, 200u, 385u, 513u, 1000u, 4097u}) {
        for (int rep = 0; rep < 30; ++rep) {
            std::vector<float> mags(n);
            std::uniform_real_distribution<float> u(0.0f, 5.0f);
            std::uniform_int_distribution<std::size_t> pick(0, std::size(pool) - 1);
            const int style = rep % 6;
            for (float& m : mags) {
                if (style == 0) m = u(rng);                                   // all distinct
                else if (style == 1) m = pool[pick(rng)];                     // ties, NaN, infinities
                else if (style == 2) m = rng() % 3 == 0 ? pool[pick(rng)] : u(rng);
                else if (style == 3) m = std::round(u(rng));                  // few values
                else if (style == 4) m = u(rng) * (rng() % 2 ? 1e-20f : 1e20f);  // ranks far apart
                else m = from_bits(0x3F800000u + static_cast<std::uint32_t>(rng() % 4));  // ranks one unit apart
            }
            // Above 128 chosen bins a place needs eight bits beside the rank.
            for (std::size_t k : {std::size_t{1}, std::size_t{2}, n / 6 + 1, n / 2, n - 1, std::size_t{129},
                                  std::size_t{200}, std::size_t{256}}) {
                if (k == 0 || k >= n) continue;
                std::vector<std::uint16_t> fast(k), plain(k);
                select_strongest(mags, k, fast.data(), work_fast);
                select_strongest_plain(mags, k, plain.data(), work_plain);
                ASSERT_EQ(fast, plain) << "n " << n << " k " << k << " style " << style;
            }
        }
    }
}

TEST(FastSteps, NearestTableIsTheScan) {
    std::mt19937 rng(14);
    std::vector<std::vector<float>> tables = {
        {0.0f}, {}, {1.0f, 2.0f}, {-3.0f, -1.0f, 0.0f, 1e-40f, 2.0f}, {1.0f, 1.0f, 2.0f}, {2.0f, 1.0f},
        {0.0f, kNaN, 1.0f}, {-kInf, 0.0f, 1.0f}, {0.0f, 1.0f, kInf}, {-0.0f, 0.0f, 1.0f},
        // tiny entries next to large targets: distances round to one value
        {1e-10f, 2e-10f, 3e-10f, 4e-10f, 5e-10f, 100.0f}, {-kMax, -1.0f, 1.0f, kMax}};
    for (int g = 0; g < 300; ++g) {  // ascending, uneven; spaced in steps of one ulp; huge spans
        std::vector<float> t(1 + rng() % 300);
        float v = -50.0f + static_cast<float>(rng() % 100);
        for (float& x : t) {
            x = v;
            v = g % 3 == 0 ? std::nextafter(v, kInf) : v + static_cast<float>(rng() % 1000 + 1) * (g % 3 == 1 ? 1e-3f : 1e3f);
        }
        tables.push_back(t);
    }
    for (std::uint8_t bits : {0, 1, 4, 8, 16}) {  // grids as the encoder makes them
        const auto logs = NearestTable::of_logs(*log_grid(0.001f, 19.6f, bits));
        tables.emplace_back(logs.values().begin(), logs.values().end());
        tables.push_back(uniform_phase_grid(bits));
    }
    std::uniform_int_distribution<std::uint32_t> any;
    for (const auto& t : tables) {
        const NearestTable table(t);
        std::vector<float> targets = {0.0f, -0.0f, kDenorm, 1.0f, -1.0f, kInf, -kInf, kNaN, kMax, -kMax, 1e-10f};
        // Each entry, its neighbours and the midpoint above it; a spread of
        // entries for the long tables.
        const std::size_t every = t.size() / 256 + 1;
        for (std::size_t j = rng() % every; j < t.size(); j += every) {
            targets.push_back(t[j]);
            targets.push_back(std::nextafter(t[j], kInf));
            targets.push_back(std::nextafter(t[j], -kInf));
            if (j + 1 < t.size()) targets.push_back(t[j] / 2 + t[j + 1] / 2);
        }
        for (int r = 0; r < 50; ++r) targets.push_back(from_bits(any(rng)));
        for (float x : targets) {
            if (t.empty()) continue;
            ASSERT_EQ(table.nearest(x), first_nearest(t, x)) << "table of " << t.size() << ", target " << x;
        }
    }
}

// ---------------------------------------------------------------------------
// Whole encodings

struct Shape {
    std::size_t dim, top_k;
    std::uint8_t bits, norm_bits;
};

void PrintTo(const Shape& s, std::ostream* os) {
    print_fields(os, "dim", s.dim, "top_k", s.top_k, "bits", s.bits, "norm_bits", s.norm_bits);
}

class FastAgainstPlain : public ::testing::TestWithParam<Shape> {};

TEST_P(FastAgainstPlain, DefaultAndCalibratedGrids) {
    const auto s = GetParam();
    auto e = make_encoder(s.dim, s.top_k, s.bits, s.bits, s.norm_bits);
    const auto flat = mixed_rows(s.dim, 2 * kKinds + 3, static_cast<std::uint32_t>(s.dim + s.top_k));
    check_against_plain(e, flat, "default grids");
    const auto sample = mixed_rows(s.dim, 20, 3);  // kind 0 first: finite rows only are needed
    std::vector<float> finite;
    for (std::size_t r = 0; r < 20; ++r) {
        const std::span<const float> x(sample.data() + r * s.dim, s.dim);
        bool ok = true;
        for (float v : x) ok = ok && std::isfinite(v);
        if (ok) finite.insert(finite.end(), x.begin(), x.end());
    }
    ASSERT_TRUE(calibrate(e, finite));
    check_against_plain(e, flat, "calibrated grids");
}

INSTANTIATE_TEST_SUITE_P(Shapes, FastAgainstPlain,
                         ::testing::Values(Shape{4, 1, 8, 8}, Shape{4, 3, 8, 8}, Shape{5, 2, 4, 4},
                                           Shape{13, 6, 8, 16}, Shape{64, 8, 6, 8}, Shape{97, 12, 8, 10},
                                           Shape{100, 51, 8, 8}, Shape{384, 48, 6, 8}, Shape{768, 64, 8, 8},
                                           Shape{768, 385, 8, 8}, Shape{1009, 200, 8, 8}, Shape{257, 128, 0, 0}),
                         [](const auto& info) {
                             const Shape& s = info.param;
                             return case_name("Dim", s.dim, "TopK", s.top_k, "Bits", s.bits, "Norm", s.norm_bits);
                         });

// Grids installed as given: uneven, unordered, repeated, holding NaN, zero
// or negative entries, of one entry, empty and too long; by replace_grids
// with new grid ends and with the built ones kept.
TEST(FastAgainstPlainGrids, InstalledGrids) {
    std::mt19937 rng(15);
    std::uniform_real_distribution<float> u(0.0f, 3.0f);
    auto uneven = [&](std::size_t n, float lo, float hi) {
        std::vector<float> g(n);
        for (float& v : g) v = lo + (hi - lo) * u(rng) / 3.0f;
        std::sort(g.begin(), g.end());
        return g;
    };
    const std::vector<std::vector<float>> mags = {
        uneven(256, 0.001f, 20.0f), uneven(17, 0.5f, 2.0f), {1.0f}, {5.0f, 0.1f, 1.0f},
        {0.0f, 0.5f, kNaN, 2.0f}, {-1.0f, 1.0f, 1.0f, 3.0f}, {kInf, 1.0f}, {}, std::vector<float>(257, 1.0f)};
    const std::vector<std::vector<float>> phases = {
        uniform_phase_grid(8), uneven(100, 0.0f, 6.3f), {0.0f}, {6.0f, 0.0f, 3.0f}, {kNaN, 1.0f},
        {-1.0f, 0.0f, 0.0f, 7.0f}, {}, std::vector<float>(300, 0.5f), {1.0f, std::nextafter(1.0f, 2.0f)},
        {-400.0f, 400.0f}};
    const std::vector<std::vector<float>> norms = {
        uneven(65536, 0.5f, 2.0f), {1.0f}, {2.0f, 0.5f}, {0.0f, 1.0f, kNaN}, {}, std::vector<float>(65537, 1.0f)};
    const std::size_t dim = 64;
    const auto flat = mixed_rows(dim, kKinds + 2, 9);
    for (std::size_t m = 0; m < mags.size(); ++m)
        for (std::size_t p = 0; p < phases.size(); ++p)
            for (std::size_t n = 0; n < norms.size(); ++n) {
                if ((m * 31 + p * 7 + n) % 3 != 0 && m != 0 && p != 0) continue;  // a spread, not every triple
                const std::string what = "grids " + std::to_string(m) + "/" + std::to_string(p) + "/" +
                                         std::to_string(n);
                auto e = make_encoder(dim, 10);
                replace_grids(e, 0.1f, 10.0f, mags[m], phases[p], 0.5f, 2.0f, norms[n]);
                check_against_plain(e, flat, what + " replaced");
                auto direct = make_encoder(dim, 10);
                edit_grids(direct, [&](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm) {
                    mag = mags[m];
                    phase = phases[p];
                    norm = norms[n];
                });
                check_against_plain(direct, flat, what + " ends kept");
            }
}

// Ascending grids drawn at random, as a caller might install them: spread
// anywhere from near zero to far from it, evenly in the logarithm, or
// climbing in uneven steps with entries one unit in the last place apart.
TEST(FastAgainstPlainGrids, RandomAscendingGrids) {
    std::mt19937_64 rng(16);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const auto grid = [&](int kind, std::size_t n, double lo, double hi) {
        std::vector<float> g;
        float v = static_cast<float>(lo);
        for (std::size_t i = 0; i < n; ++i) {
            if (kind == 0) {
                g.push_back(static_cast<float>(lo * std::pow(hi / lo, static_cast<double>(i) / static_cast<double>(n - 1))));
            } else {
                g.push_back(v);
                v = rng() % 3 == 0 ? std::nextafter(v, kInf) : v + static_cast<float>((hi - lo) / n * u(rng));
            }
        }
        return g;
    };
    for (int round = 0; round < 300; ++round) {
        const std::size_t dim = 8 + rng() % 120;
        auto e = make_encoder(dim, 1 + rng() % (dim / 2 + 1));
        const double mag_lo = std::pow(10.0, -6 + 8 * u(rng)), mag_hi = mag_lo * std::pow(10.0, 0.01 + 4 * u(rng));
        const double phase_lo = rng() % 4 == 0 ? -10 * u(rng) : 0.0, phase_hi = 0.5 + 12 * u(rng);
        replace_grids(e, static_cast<float>(mag_lo), static_cast<float>(mag_hi),
                      grid(static_cast<int>(rng() % 2), 2 + rng() % 255, mag_lo, mag_hi),
                      grid(1, 2 + rng() % 255, phase_lo, phase_hi), 0.3f, 3.0f, grid(0, 2 + rng() % 300, 0.3, 3.0));
        std::vector<float> flat;
        std::normal_distribution<float> normal;
        for (int r = 0; r < 20; ++r) {
            const float scale = static_cast<float>(std::pow(10.0, -3 + 6 * u(rng)));
            for (std::size_t i = 0; i < dim; ++i) flat.push_back(normal(rng) * scale);
        }
        check_against_plain(e, flat, "round " + std::to_string(round));
    }
}

// A copy shares the tables; replacing a grid of one copy must not change
// how the other encodes, and must be seen by the changed one.
TEST(FastAgainstPlainGrids, TablesFollowTheirGrids) {
    auto e = make_encoder(64, 8);
    const auto flat = mixed_rows(64, 8, 4);
    auto copy = e;
    edit_grids(copy, [](SpectralGrid& mag, SpectralGrid&, SpectralGrid& norm) {
        mag[100] = 0.25f;  // same length, one entry changed
        norm.assign(norm.size(), 1.0f);
    });
    check_against_plain(e, flat, "original");
    check_against_plain(copy, flat, "changed copy");
    ASSERT_TRUE(calibrate(copy, korvane::testing::pseudo_random(64 * 3, 8)));
    check_against_plain(copy, flat, "calibrated copy");
}

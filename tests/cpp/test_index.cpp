// Index store, search (scoring and ranking) against worked formulas.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/error.hpp"
#include "index/index.hpp"
#include "simd/scoring.hpp"
#include "test_support.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

SpectralCodes rec(std::vector<std::uint16_t> idx, std::vector<std::uint8_t> mag_q, std::vector<std::uint8_t> phase_q,
                  std::uint16_t norm_q) {
    return SpectralCodes{std::move(idx), std::move(mag_q), std::move(phase_q), norm_q};
}

// Everything an index holds, for "left exactly as it was" checks.
struct Snapshot {
    std::size_t size;
    std::vector<std::uint32_t> mags, phases, norms;
    explicit Snapshot(const SpectralIndex& ix) : size(ix.size()) {
        const DenseRows d = dense_of(ix);
        mags = bits_of(d.mags);
        phases = bits_of(d.phases);
        norms = bits_of(d.norms);
    }
    void expect_same(const SpectralIndex& ix) const {
        ASSERT_EQ(ix.size(), size);
        const DenseRows d = dense_of(ix);
        EXPECT_EQ(bits_of(d.mags), mags);
        EXPECT_EQ(bits_of(d.phases), phases);
        EXPECT_EQ(bits_of(d.norms), norms);
    }
};

// Decodes a record the way the store must, from scratch: later occurrences of
// a bin overwrite earlier ones, entries past idx are ignored.
void expected_row(const SpectralEncoder& e, const SpectralCodes& c, std::vector<float>& mags,
                  std::vector<float>& phases) {
    mags.assign(e.f(), 0.0f);
    phases.assign(e.f(), 0.0f);
    for (std::size_t j = 0; j < c.idx.size(); ++j) {
        mags[c.idx[j]] = e.mag_grid()[c.mag_q[j]];
        phases[c.idx[j]] = e.phase_grid()[c.phase_q[j]];
    }
}

// ---------------------------------------------------------------------------
// Store

struct DecodeCase {
    const char* name;
    SpectralCodes record;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class IndexStoreDecode : public ::testing::TestWithParam<DecodeCase> {};

// dim 8: F = 5, grids of 16, 8 and 4 entries.
TEST_P(IndexStoreDecode, RowHoldsDecodedKeptBinsAndZeroElsewhere) {
    const SpectralEncoder e = make_encoder(8, 2, 4, 3, 2);
    SpectralIndex ix(e);
    // A first item so that the record under test lands in row 1, after data.
    const SpectralCodes first = rec({4, 0}, {15, 1}, {7, 2}, 3);
    ASSERT_TRUE(ix.add_codes(std::span(&first, 1)));
    const SpectralCodes& c = GetParam().record;
    ASSERT_TRUE(ix.add_codes(std::span(&c, 1)));

    ASSERT_EQ(ix.size(), 2u);
    ASSERT_EQ(ix.norms().size(), 2u);
    const DenseRows d = dense_of(ix);

    std::vector<float> m0, p0, m1, p1;
    expected_row(e, first, m0, p0);
    expected_row(e, c, m1, p1);
    EXPECT_EQ(bits_of(std::span(d.mags).subspan(0, 5)), bits_of(m0));
    EXPECT_EQ(bits_of(std::span(d.phases).subspan(0, 5)), bits_of(p0));
    EXPECT_EQ(bits_of(std::span(d.mags).subspan(5, 5)), bits_of(m1));
    EXPECT_EQ(bits_of(std::span(d.phases).subspan(5, 5)), bits_of(p1));
    EXPECT_EQ(bits_of(d.norms[0]), bits_of(e.norm_grid()[3]));
    EXPECT_EQ(bits_of(d.norms[1]), bits_of(e.norm_grid()[c.norm_q]));

    // One row alone, and either half alone (the other span empty).
    std::vector<float> m(5, -1.0f), p(5, -1.0f);
    ix.dense_rows(1, 1, m, {});
    EXPECT_EQ(bits_of(m), bits_of(m1));
    ix.dense_rows(1, 1, {}, p);
    EXPECT_EQ(bits_of(p), bits_of(p1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexStoreDecode,
    ::testing::Values(DecodeCase{"Plain", rec({2, 1}, {9, 3}, {5, 1}, 2)},
                      DecodeCase{"NoKeptBins", rec({}, {}, {}, 1)},
                      DecodeCase{"AllBinsOutOfOrder", rec({3, 0, 4, 2, 1}, {1, 2, 3, 4, 5}, {7, 6, 5, 4, 3}, 0)},
                      // The later occurrence of bin 3 wins, for both arrays.
                      DecodeCase{"BinListedTwice", rec({3, 1, 3}, {2, 4, 11}, {1, 6, 7}, 3)},
                      // mag_q / phase_q entries past idx are ignored (they
                      // would even be out of range here).
                      DecodeCase{"ExtraCodesIgnored", rec({1}, {6, 200, 255}, {2, 99}, 1)},
                      DecodeCase{"CodeZeroAndTopCodes", rec({0, 4}, {0, 15}, {0, 7}, 3)}),
    ByName{});

TEST(IndexStore, BinListedTwiceKeepsItsLaterOccurrence) {
    const SpectralEncoder e = make_encoder(8, 2, 4, 3, 2);
    SpectralIndex ix(e);
    const SpectralCodes c = rec({3, 3}, {2, 11}, {1, 7}, 0);
    ASSERT_TRUE(ix.add_codes(std::span(&c, 1)));
    const DenseRows d = dense_of(ix);
    EXPECT_EQ(bits_of(d.mags[3]), bits_of(e.mag_grid()[11]));
    EXPECT_EQ(bits_of(d.phases[3]), bits_of(e.phase_grid()[7]));
}

TEST(IndexStore, BatchAppendsInOrderAndEmptyAddChangesNothing) {
    const SpectralEncoder e = make_encoder(8, 2, 4, 3, 2);
    SpectralIndex ix(e);
    std::vector<SpectralCodes> none;
    ASSERT_TRUE(ix.add_codes(none));
    EXPECT_EQ(ix.size(), 0u);
    EXPECT_TRUE(ix.norms().empty());

    const std::vector<SpectralCodes> batch = {rec({1}, {1}, {1}, 0), rec({2}, {2}, {2}, 1), rec({3}, {3}, {3}, 2)};
    ASSERT_TRUE(ix.add_codes(batch));
    const Snapshot before(ix);
    ASSERT_TRUE(ix.add_codes(none));
    before.expect_same(ix);
    const DenseRows d = dense_of(ix);
    for (std::size_t r = 0; r < 3; ++r) {
        EXPECT_EQ(d.mags[r * 5 + r + 1], e.mag_grid()[r + 1]);
        EXPECT_EQ(d.phases[r * 5 + r + 1], e.phase_grid()[r + 1]);
        EXPECT_EQ(d.norms[r], e.norm_grid()[r]);
    }
}

TEST(IndexStore, KeepsItsOwnGridsAndSharesThePlan) {
    SpectralEncoder e = make_encoder(8, 2, 4, 3, 2);
    const SpectralEncoder original = e;
    SpectralIndex a(e);
    EXPECT_EQ(e.fft_forward().use_count(), 3);  // e, original, a

    // Replacing the source's grids (as calibration or set_grids do) does not
    // reach an index built from it; an index built afterwards has the new
    // grids, and the first one still its own.
    edit_grids(e, [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm) {
        std::fill(mag.begin(), mag.end(), 7.0f);
        std::fill(norm.begin(), norm.end(), 9.0f);
        phase.assign(8, 5.0f);
    });
    SpectralIndex b(e);
    EXPECT_EQ(e.fft_forward().use_count(), 4);  // e, original, a, b
    const SpectralCodes c = rec({1}, {3}, {2}, 1);
    ASSERT_TRUE(a.add_codes(std::span(&c, 1)));
    ASSERT_TRUE(b.add_codes(std::span(&c, 1)));
    const DenseRows da = dense_of(a);
    EXPECT_EQ(da.mags[1], original.mag_grid()[3]);
    EXPECT_EQ(da.phases[1], original.phase_grid()[2]);
    EXPECT_EQ(da.norms[0], original.norm_grid()[1]);
    EXPECT_EQ(bits_of(a.encoder().mag_grid()), bits_of(original.mag_grid()));
    const DenseRows db = dense_of(b);
    EXPECT_EQ(db.mags[1], 7.0f);
    EXPECT_EQ(db.phases[1], 5.0f);
    EXPECT_EQ(db.norms[0], 9.0f);
}

// Records outside the limits, each offered as the second of a batch whose
// first record is valid: nothing of the batch may be appended.
struct RefusalCase {
    const char* name;
    SpectralCodes record;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class IndexRefusal : public ::testing::TestWithParam<RefusalCase> {
protected:
    // dim 8 (F = 5); grids of 4, 8 and 2 entries, and a magnitude grid
    // shortened to 3 entries as set_grids could leave it.
    static SpectralEncoder enc() {
        SpectralEncoder e = make_encoder(8, 2, 2, 3, 1);
        edit_grids(e, [](SpectralGrid& mag, SpectralGrid&, SpectralGrid&) { mag.resize(3); });
        return e;
    }
};

TEST_P(IndexRefusal, AddRefusesTheWholeBatchAndLeavesTheIndexAsItWas) {
    SpectralIndex ix(enc());
    const SpectralCodes existing = rec({0, 4}, {2, 1}, {7, 3}, 1);
    ASSERT_TRUE(ix.add_codes(std::span(&existing, 1)));
    const Snapshot before(ix);

    const std::vector<SpectralCodes> batch = {rec({1}, {0}, {0}, 0), GetParam().record};
    auto s = ix.add_codes(batch);
    ASSERT_FALSE(s);
    EXPECT_TRUE(std::holds_alternative<InvalidInput>(s.error()));
    EXPECT_TRUE(error_message(s.error()).starts_with("invalid input: ")) << error_message(s.error());
    before.expect_same(ix);
}

TEST_P(IndexRefusal, SearchRefusesTheQueryOnlyWhenItWouldScore) {
    SpectralIndex ix(enc());
    const SpectralCodes& q = GetParam().record;
    // Empty index: the early return comes before any check.
    auto empty = ix.search_codes(q, 5);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->ids.empty() && empty->scores.empty());

    const SpectralCodes existing = rec({0, 4}, {2, 1}, {7, 3}, 1);
    ASSERT_TRUE(ix.add_codes(std::span(&existing, 1)));
    auto r = ix.search_codes(q, 5);
    if (q.idx.empty()) {  // a query without bins is not read at all
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->ids.empty());
        return;
    }
    ASSERT_FALSE(r);
    EXPECT_TRUE(std::holds_alternative<InvalidInput>(r.error()));
    EXPECT_TRUE(error_message(r.error()).starts_with("invalid input: "));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexRefusal,
    ::testing::Values(RefusalCase{"BinAtF", rec({5}, {0}, {0}, 0)},
                      RefusalCase{"BinFarPastF", rec({2, 65535}, {0, 0}, {0, 0}, 0)},
                      RefusalCase{"MagCodeAtShortenedGridEnd", rec({1}, {3}, {0}, 0)},
                      RefusalCase{"MagCodeAtBuiltGridEnd", rec({1}, {4}, {0}, 0)},
                      RefusalCase{"PhaseCodeAtGridEnd", rec({1, 2}, {0, 0}, {0, 8}, 0)},
                      RefusalCase{"NormCodeAtGridEnd", rec({1}, {0}, {0}, 2)},
                      RefusalCase{"NormCodeWithNoBins", rec({}, {}, {}, 2)},
                      RefusalCase{"MagQShorterThanIdx", rec({1, 2}, {0}, {0, 0}, 0)},
                      RefusalCase{"PhaseQShorterThanIdx", rec({1, 2}, {0, 0}, {0}, 0)}),
    ByName{});

// Rows that would take the index past 2^32 - 1 items are refused before any
// row is encoded: the fill is never called, a flat buffer that cannot be read
// is never read, and the message is the one add_codes gives.
TEST(IndexItemLimit, RowsPastTheItemLimitAreRefusedBeforeAnyIsEncoded) {
    SpectralIndex ix(make_encoder(4, 2, 2, 2, 2));
    ASSERT_TRUE(ix.add_rows(std::vector<float>(3 * 4, 1.0f)));
    const Snapshot before(ix);
    const std::size_t over = kMaxItems - 3 + 1;
    const std::string message =
        "invalid input: an index holds at most 4294967295 items; it has 3 and " + std::to_string(over) + " were added";

    // Rows that count whether any was asked for.
    struct Untouched final : RowSource {
        explicit Untouched(std::size_t n) : n(n) {}
        std::size_t rows() const override { return n; }
        std::size_t dim() const override { return 4; }
        void fill(std::size_t, std::size_t, float*) const noexcept override { ++asked; }
        std::size_t n;
        mutable int asked = 0;
    };
    for (std::size_t rows : {over, std::size_t{1} << 33}) {
        const Untouched source(rows);
        auto s = ix.add_rows(source);
        ASSERT_FALSE(s);
        EXPECT_TRUE(std::holds_alternative<InvalidInput>(s.error()));
        if (rows == over) {
            EXPECT_EQ(error_message(s.error()), message);
        }
        EXPECT_EQ(source.asked, 0);
        before.expect_same(ix);
    }

    // Address space only: any read of it faults.
    const std::size_t bytes = over * 4 * sizeof(float);
    void* none = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (none == MAP_FAILED) GTEST_SKIP() << "no room for a " << bytes << "-byte mapping";
    auto s = ix.add_rows(std::span(static_cast<const float*>(none), over * 4));
    ::munmap(none, bytes);
    ASSERT_FALSE(s);
    EXPECT_EQ(error_message(s.error()), message);
    before.expect_same(ix);
}

TEST(IndexSearch, QueryWithoutBinsIsNotCheckedAndGivesNothing) {
    SpectralIndex ix(make_encoder(8, 2, 2, 3, 1));
    const SpectralCodes item = rec({1}, {1}, {1}, 1);
    ASSERT_TRUE(ix.add_codes(std::span(&item, 1)));
    // Its norm code is past the grid, but with no bins nothing is read.
    auto r = ix.search_codes(rec({}, {}, {}, 999), 3);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->ids.empty() && r->scores.empty());
}

// ---------------------------------------------------------------------------
// Scoring

struct WeightCase {
    std::uint64_t dim;
    std::uint16_t bin;
    float weight;
};

void PrintTo(const WeightCase& c, std::ostream* os) {
    print_fields(os, "dim", c.dim, "bin", c.bin, "weight", c.weight);
}

class IndexSearchScore : public ::testing::TestWithParam<WeightCase> {};

// One shared bin: ((w q × m) × cosf(φ − ψ)) / ((qn × xn) × dim), every
// operation rounded on its own. Bins 0 and F-1 weigh 1 (also for odd dim),
// the others 2.
TEST_P(IndexSearchScore, OneSharedBinGivesTheWorkedFormulaBitForBit) {
    const auto [dim, bin, weight] = GetParam();
    const SpectralEncoder e = make_encoder(dim, 1, 8, 8, 8);
    SpectralIndex ix(e);
    const SpectralCodes item = rec({bin}, {150}, {20}, 200);
    const SpectralCodes other = rec({static_cast<std::uint16_t>(bin == 0 ? 1 : 0)}, {255}, {3}, 9);
    const std::vector<SpectralCodes> items = {other, item};
    ASSERT_TRUE(ix.add_codes(items));
    const SpectralCodes query = rec({bin}, {200}, {10}, 30);
    auto r = ix.search_codes(query, 2);
    ASSERT_TRUE(r);

    volatile float q = e.mag_grid()[200], m = e.mag_grid()[150];
    volatile float phi = e.phase_grid()[10], psi = e.phase_grid()[20];
    volatile float qn = e.norm_grid()[30], xn = e.norm_grid()[200];
    volatile float a = weight == 2.0f ? 2.0f * q : q;
    volatile float prod = a * m;
    volatile float diff = phi - psi;
    volatile float c = cosf(diff);
    volatile float term = c * prod;
    volatile float qx = qn * xn;
    volatile float d = qx * static_cast<float>(dim);
    const float expected = term / d;
    ASSERT_GT(expected, 0.0f);  // so the item with no shared bin (score +0) ranks second

    ASSERT_EQ(r->ids, (std::vector<std::uint32_t>{1, 0}));
    EXPECT_EQ(bits_of(r->scores[0]), bits_of(expected)) << r->scores[0] << " vs " << expected;
    EXPECT_EQ(bits_of(r->scores[1]), bits_of(0.0f));
}

INSTANTIATE_TEST_SUITE_P(Bins, IndexSearchScore,
                         ::testing::Values(WeightCase{4, 0, 1}, WeightCase{4, 1, 2}, WeightCase{4, 2, 1},
                                           WeightCase{5, 1, 2}, WeightCase{5, 2, 1}, WeightCase{8, 3, 2},
                                           WeightCase{8, 4, 1}, WeightCase{9, 0, 1}, WeightCase{9, 4, 1}),
                         [](const auto& info) { return case_name("Dim", info.param.dim, "Bin", info.param.bin); });

TEST(IndexSearch, QueryListingABinTwiceAddsItTwice) {
    const SpectralEncoder e = make_encoder(8, 2, 8, 8, 8);
    SpectralIndex ix(e);
    const SpectralCodes item = rec({2, 0}, {90, 40}, {33, 7}, 100);
    ASSERT_TRUE(ix.add_codes(std::span(&item, 1)));
    const SpectralCodes query = rec({2, 0, 2}, {120, 60, 70}, {5, 90, 200}, 80);
    auto r = ix.search_codes(query, 1);
    ASSERT_TRUE(r);

    float s = 0.0f;
    const std::uint16_t bins[] = {2, 0, 2};
    const std::uint8_t qm[] = {120, 60, 70}, qp[] = {5, 90, 200};
    for (int j = 0; j < 3; ++j) {
        const float xm = bins[j] == 2 ? e.mag_grid()[90] : e.mag_grid()[40];
        const float xp = bins[j] == 2 ? e.phase_grid()[33] : e.phase_grid()[7];
        const float a = bins[j] == 0 ? e.mag_grid()[qm[j]] : 2.0f * e.mag_grid()[qm[j]];
        const float prod = a * xm;
        const float term = cosf(e.phase_grid()[qp[j]] - xp) * prod;
        s = s + term;
    }
    const float qx = e.norm_grid()[80] * e.norm_grid()[100];
    const float expected = s / (qx * 8.0f);
    ASSERT_EQ(r->scores.size(), 1u);
    EXPECT_EQ(bits_of(r->scores[0]), bits_of(expected));
}

// Norm grid {1, 0, -1, NaN}: every divisor that is not > 0 gives +0, even
// with a raw sum that is non-zero, infinite or NaN.
TEST(IndexSearch, DivisorNotGreaterThanZeroGivesZero) {
    SpectralEncoder e = make_encoder(4, 1, 2, 1, 2);
    edit_grids(e, [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm) {
        norm = {1.0f, 0.0f, -1.0f, kNaN};
        mag = {1.0f, kInf, kNaN, 2.0f};
        phase = {0.0f, 0.0f};
    });
    SpectralIndex ix(e);
    std::vector<SpectralCodes> items;
    for (std::uint16_t nq = 0; nq < 4; ++nq)
        for (std::uint8_t mq : {0, 1, 2}) items.push_back(rec({0}, {mq}, {0}, nq));
    ASSERT_TRUE(ix.add_codes(items));

    for (std::uint16_t qnq = 0; qnq < 4; ++qnq) {
        auto r = ix.search_codes(rec({0}, {3}, {0}, qnq), 100);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->ids.size(), items.size());
        for (std::size_t i = 0; i < r->ids.size(); ++i) {
            const SpectralCodes& it = items[r->ids[i]];
            const float qx = ix.encoder().norm_grid()[qnq] * ix.encoder().norm_grid()[it.norm_q];
            if (qx * 4.0f > 0.0f) continue;  // (-1) × (-1) is a positive divisor
            EXPECT_EQ(bits_of(r->scores[i]), bits_of(0.0f)) << "query norm " << qnq << ", item " << r->ids[i];
        }
    }
}

// Scores are set through the magnitude grid: with q = qn = xn = 1, phases 0
// and bin 0 only, an item's score is m / 4.
class IndexRanking : public ::testing::Test {
protected:
    void SetUp() override {
        SpectralEncoder e = make_encoder(4, 1, 3, 0, 0);
        edit_grids(e, [](SpectralGrid& mag, SpectralGrid&, SpectralGrid& norm) {
            mag = {0.5f, 1.0f, 2.0f, kNaN, -1.0f, 3.0f, 1.0f, 0.0f};
            norm = {1.0f};
        });
        ix.emplace(e);
        std::vector<SpectralCodes> items;
        for (std::uint8_t m : mags) items.push_back(rec({0}, {m}, {0}, 0));
        ASSERT_TRUE(ix->add_codes(items));
    }
    SpectralCodes query = rec({0}, {1}, {0}, 0);
    std::optional<SpectralIndex> ix;
    // item:       0  1    2  3  4   5  6    7  8  9    10
    // score × 4:  1  NaN  2  1  -1  3  NaN  1  0  0.5  2
    static constexpr std::uint8_t mags[] = {1, 3, 2, 6, 4, 5, 3, 1, 7, 0, 2};
    // Highest first, equal scores by ascending id, NaN last.
    const std::vector<std::uint32_t> ranking = {5, 2, 10, 0, 3, 7, 9, 8, 4, 1, 6};
};

TEST_F(IndexRanking, EveryTopKGivesThePrefixOfOneTotalOrder) {
    const std::size_t n = ranking.size();
    for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{4},
                            std::uint64_t{5}, std::uint64_t{6}, std::uint64_t{7}, std::uint64_t{9}, std::uint64_t{10},
                            std::uint64_t{11}, std::uint64_t{12}, std::numeric_limits<std::uint64_t>::max()}) {
        auto r = ix->search_codes(query, k);
        ASSERT_TRUE(r);
        const std::size_t want = std::min<std::uint64_t>(k, n);
        const std::vector<std::uint32_t> prefix(ranking.begin(), ranking.begin() + static_cast<std::ptrdiff_t>(want));
        EXPECT_EQ(r->ids, prefix) << "top_k " << k;
        ASSERT_EQ(r->scores.size(), want);
        for (std::size_t i = 0; i < want; ++i) {
            const float m = ix->encoder().mag_grid()[mags[prefix[i]]];
            EXPECT_EQ(bits_of(r->scores[i]), bits_of(m / 4.0f)) << "top_k " << k << " position " << i;
        }
    }
}

TEST_F(IndexRanking, EmptyIndexGivesNothingForAnyTopK) {
    SpectralIndex empty(ix->encoder());
    for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::numeric_limits<std::uint64_t>::max()}) {
        auto r = empty.search_codes(query, k);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->ids.empty() && r->scores.empty());
    }
}

// Random indexes with small grids (many ties), special values in the grids
// and duplicated bins: search must equal the oracle kernel plus the
// normalisation, in scores and in ranking, for every top_k.
TEST(IndexSearch, RandomIndexesMatchTheOracleAndRankTotally) {
    std::mt19937 rng(1234);
    const float specials[] = {0.0f, -0.0f, kNaN, kInf, -kInf, -1.0f, 3e38f, 1e-40f, 0.5f};
    for (int round = 0; round < 150; ++round) {
        const std::uint64_t dim = 4 + rng() % 13;
        SpectralEncoder e = make_encoder(dim, 1, 2, 2, 2);
        auto fill = [&](SpectralGrid& g, bool wild) {
            for (float& v : g) {
                const unsigned pick = rng() % 10;
                if (wild && pick == 0)
                    v = specials[rng() % std::size(specials)];
                else
                    v = static_cast<float>(rng() % 4) * 0.25f + (pick < 5 ? 0.25f : 0.0f);
            }
        };
        const bool wild = round % 3 == 0;
        edit_grids(e, [&](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm) {
            fill(mag, wild);
            // Every other round keeps the built (uniform) phase grid.
            if (round % 2 == 0) fill(phase, wild);
            fill(norm, wild);
        });
        SpectralIndex ix(e);
        const std::size_t n = rng() % 40;
        auto random_codes = [&](std::size_t maxk) {
            SpectralCodes c;
            const std::size_t k = rng() % (maxk + 1);
            for (std::size_t j = 0; j < k; ++j) {
                c.idx.push_back(static_cast<std::uint16_t>(rng() % e.f()));
                c.mag_q.push_back(static_cast<std::uint8_t>(rng() % 4));
                c.phase_q.push_back(static_cast<std::uint8_t>(rng() % 4));
            }
            c.norm_q = static_cast<std::uint16_t>(rng() % 4);
            return c;
        };
        std::vector<SpectralCodes> items;
        for (std::size_t i = 0; i < n; ++i) items.push_back(random_codes(e.f() + 1));
        ASSERT_TRUE(ix.add_codes(items));
        SpectralCodes query = random_codes(2 * e.f());
        if (query.idx.empty()) query = rec({0}, {1}, {1}, 1);

        const SpectralSearchResult all = oracle_search(e, dense_of(ix), query, n);

        for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{n / 2}, std::uint64_t{n ? n - 1 : 0},
                                std::uint64_t{n}, std::uint64_t{n + 3}}) {
            auto r = ix.search_codes(query, k);
            ASSERT_TRUE(r);
            const std::size_t want = std::min<std::uint64_t>(k, n);
            ASSERT_EQ(r->ids.size(), want);
            ASSERT_EQ(r->scores.size(), want);
            for (std::size_t i = 0; i < want; ++i) {
                EXPECT_EQ(r->ids[i], all.ids[i]) << "round " << round << " top_k " << k << " position " << i;
                EXPECT_EQ(bits_of(r->scores[i]), bits_of(all.scores[i])) << "round " << round << " position " << i;
            }
        }
        // Repeating a search gives the same bits.
        auto a = ix.search_codes(query, n);
        auto b = ix.search_codes(query, n);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->ids, b->ids);
        EXPECT_EQ(bits_of(a->scores), bits_of(b->scores));
    }
}

TEST(IndexSearch, ItemSharingNoBinWithTheQueryScoresPositiveZero) {
    SpectralIndex ix(make_encoder(8, 2, 8, 8, 8));
    const std::vector<SpectralCodes> items = {rec({1, 2}, {200, 100}, {10, 20}, 5), rec({}, {}, {}, 7)};
    ASSERT_TRUE(ix.add_codes(items));
    auto r = ix.search_codes(rec({0, 3, 4}, {255, 255, 255}, {1, 2, 3}, 9), 2);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->ids, (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(bits_of(r->scores), (std::vector<std::uint32_t>{0, 0}));
}

}  // namespace

// Search against the literal kernel over dense rows, bit for bit: for grids
// with special values, records with odd shapes, columns that change form,
// several segments, and items given as dense rows. The test keeps its own
// copy of the rows every add implies, checks `dense_rows` against it, and
// scores the queries over it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/error.hpp"
#include "index/index.hpp"
#include "test_support.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

constexpr float kSubnormal = 1e-40f;

// An index together with the dense rows its adds imply, kept by the test.
class Mirrored {
public:
    explicit Mirrored(const SpectralEncoder& e) : ix(e), f_(e.f()) {}

    // Later occurrences of a bin overwrite earlier ones; codes past idx are
    // not read.
    void add_codes(const std::vector<SpectralCodes>& codes) {
        ASSERT_TRUE(ix.add_codes(codes));
        const SpectralEncoder& e = ix.encoder();
        for (const SpectralCodes& c : codes) {
            const std::size_t at = rows.mags.size();
            rows.mags.resize(at + f_, 0.0f);
            rows.phases.resize(at + f_, 0.0f);
            for (std::size_t j = 0; j < c.idx.size(); ++j) {
                rows.mags[at + c.idx[j]] = e.mag_grid()[c.mag_q[j]];
                rows.phases[at + c.idx[j]] = e.phase_grid()[c.phase_q[j]];
            }
            rows.norms.push_back(e.norm_grid()[c.norm_q]);
        }
    }

    void add_dense(const DenseRows& d) {
        ASSERT_TRUE(ix.add_dense_rows(d.mags, d.phases, d.norms));
        rows.mags.insert(rows.mags.end(), d.mags.begin(), d.mags.end());
        rows.phases.insert(rows.phases.end(), d.phases.begin(), d.phases.end());
        rows.norms.insert(rows.norms.end(), d.norms.begin(), d.norms.end());
    }

    // dense_rows gives back every row bit for bit, whole and in pieces, and
    // every query searches like the literal kernel over those rows.
    void expect_matches(const std::vector<SpectralCodes>& queries, const std::string& what) const {
        const std::size_t n = ix.size();
        ASSERT_EQ(n, rows.norms.size()) << what;
        const DenseRows got = dense_of(ix);
        ASSERT_EQ(bits_of(got.mags), bits_of(rows.mags)) << what;
        ASSERT_EQ(bits_of(got.phases), bits_of(rows.phases)) << what;
        ASSERT_EQ(bits_of(got.norms), bits_of(rows.norms)) << what;
        if (n > 2) {
            const std::size_t first = n / 3, count = n - n / 3 - 1;
            const DenseRows part = dense_of(ix, first, count);
            ASSERT_EQ(bits_of(part.mags), bits_of(std::span(rows.mags).subspan(first * f_, count * f_))) << what;
            ASSERT_EQ(bits_of(part.phases), bits_of(std::span(rows.phases).subspan(first * f_, count * f_))) << what;
        }

        for (std::size_t qi = 0; qi < queries.size(); ++qi) {
            const SpectralCodes& q = queries[qi];
            const SpectralSearchResult all = oracle_search(ix.encoder(), rows, q, n);
            for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{n ? n - 1 : 0}, std::uint64_t{n},
                                    std::uint64_t{n + 1}, std::numeric_limits<std::uint64_t>::max()}) {
                auto r = ix.search_codes(q, k);
                ASSERT_TRUE(r) << what;
                const std::size_t want = q.idx.empty() ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(k, n));
                const std::vector<std::uint32_t> ids(all.ids.begin(), all.ids.begin() + static_cast<std::ptrdiff_t>(want));
                const std::vector<float> scores(all.scores.begin(),
                                                all.scores.begin() + static_cast<std::ptrdiff_t>(want));
                ASSERT_EQ(r->ids, ids) << what << ", query " << qi << ", top_k " << k;
                ASSERT_EQ(bits_of(r->scores), bits_of(scores)) << what << ", query " << qi << ", top_k " << k;
            }
        }
    }

    SpectralIndex ix;
    DenseRows rows;

private:
    std::size_t f_;
};

// ---------------------------------------------------------------------------
// Grids

struct GridCase {
    const char* name;
    std::uint64_t dim, top_k;
    std::uint8_t mag_bits, phase_bits, norm_bits;
    // Replaces entries of the built grids; null keeps them.
    std::function<void(SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm)> patch;
};

void PrintTo(const GridCase& c, std::ostream* os) { *os << c.name; }

// Special values written over the start of a grid, the rest kept.
void overwrite(SpectralGrid& g, std::initializer_list<float> values) {
    std::size_t i = 0;
    for (float v : values)
        if (i < g.size()) g[i++] = v;
}

const GridCase kGrids[] = {
    {"Default8Bit", 32, 6, 8, 8, 8, nullptr},
    {"DefaultSmallOddDim", 31, 4, 3, 2, 2, nullptr},
    // Finite values only, and none that doubles to infinity: an item without
    // the bin adds +-0. Non-uniform phases, -0, subnormals, duplicates, 0.
    {"FiniteSpecials", 32, 6, 4, 3, 3,
     [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm) {
         overwrite(mag, {0.0f, -0.0f, kSubnormal, -kSubnormal, 0.5f, 0.5f, -2.0f, 1e30f, 1e-30f, 7.0f});
         phase = {0.0f, -0.0f, 0.1f, 0.1f, 3.0f, -1.0f, 100.0f, kSubnormal};
         norm = {1.0f, 0.0f, -0.0f, -1.0f, kSubnormal, 2.0f, 2.0f, 1e-20f};
     }},
    // NaNs with different payloads (a signalling one too), infinities and
    // values whose double or difference overflows: the term of an item
    // without the bin is often NaN, so every such item must get it.
    {"NonFiniteSpecials", 32, 6, 4, 3, 3,
     [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm) {
         overwrite(mag, {from_bits(0x7fc00001u), from_bits(0xffc12345u), from_bits(0x7fa00001u), kInf, -kInf,
                         3e38f, -0.0f, 0.0f, kSubnormal, 1.0f});
         phase = {0.0f, from_bits(0x7fc00abcu), kInf, -kInf, 3e38f, -3e38f, from_bits(0xff800001u), 1.0f};
         norm = {1.0f, from_bits(0x7fc00077u), kInf, 0.0f, -1.0f, 0.5f, 3e38f, kSubnormal};
     }},
    // NaN only in the phase grid: cosf(NaN - 0) makes the term NaN while
    // every magnitude is finite.
    {"NaNPhaseOnly", 32, 6, 3, 2, 2,
     [](SpectralGrid&, SpectralGrid& phase, SpectralGrid& norm) {
         phase = {0.0f, 1.0f, from_bits(0x7fd00000u), 2.0f};
         norm = {1.0f, 0.5f, 2.0f, 0.25f};
     }},
    // Widths of 8 to 13 bits per code, which the store keeps in one byte,
    // in blocks of low bytes and high bits, or in two bytes; special values
    // written over the start of the grids, their sizes kept.
    {"Width8Specials", 32, 6, 4, 4, 3,
     [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid&) {
         overwrite(mag, {from_bits(0x7fc00001u), kInf, -0.0f, kSubnormal, -kInf, 3e38f});
         overwrite(phase, {0.0f, from_bits(0xffc00abcu), -0.0f, kInf, kSubnormal});
     }},
    {"Width8MagnitudesOnly", 32, 6, 8, 0, 3, nullptr},
    {"Width8PhasesOnly", 32, 6, 0, 8, 3, nullptr},
    {"Width9Specials", 32, 6, 5, 4, 3,
     [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid&) {
         overwrite(mag, {0.0f, -0.0f, kSubnormal, -kSubnormal, 1e30f});
         overwrite(phase, {-0.0f, 100.0f, kSubnormal});
     }},
    {"Width10", 32, 6, 6, 4, 3, nullptr},
    {"Width11NonFinite", 32, 6, 6, 5, 3,
     [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid&) {
         overwrite(mag, {from_bits(0x7fa00001u), -kInf, 3e38f});
         overwrite(phase, {0.0f, kInf, from_bits(0x7fc00005u), -3e38f});
     }},
    {"Width12", 32, 6, 6, 6, 3, nullptr},
    {"Width13", 32, 6, 7, 6, 3, nullptr},
};

// ---------------------------------------------------------------------------
// Items

std::uint8_t code_below(std::mt19937& rng, std::size_t grid_size) {
    return static_cast<std::uint8_t>(rng() % std::min<std::size_t>(grid_size, 256));
}

// Any valid record: up to top_k + 2 bins drawn with replacement (so a bin is
// often listed twice), sometimes more codes than bins, sometimes no bins.
SpectralCodes random_record(const SpectralEncoder& e, std::mt19937& rng) {
    SpectralCodes c;
    const std::size_t k = rng() % 8 == 0 ? 0 : 1 + rng() % (e.top_k() + 2);
    for (std::size_t j = 0; j < k; ++j) {
        c.idx.push_back(static_cast<std::uint16_t>(rng() % e.f()));
        c.mag_q.push_back(code_below(rng, e.mag_grid().size()));
        c.phase_q.push_back(code_below(rng, e.phase_grid().size()));
    }
    for (std::size_t extra = rng() % 4 == 0 ? 1 + rng() % 3 : 0; extra > 0; --extra) {
        c.mag_q.push_back(static_cast<std::uint8_t>(rng()));  // past idx: never read, may be out of range
        c.phase_q.push_back(static_cast<std::uint8_t>(rng()));
    }
    c.norm_q = static_cast<std::uint16_t>(rng() % std::min<std::size_t>(e.norm_grid().size(), 65536));
    return c;
}

// A record keeping bins 0 .. top_k - 1, in shuffled order, as smooth signals
// do: such bins get dense columns.
SpectralCodes shared_record(const SpectralEncoder& e, std::mt19937& rng) {
    SpectralCodes c;
    for (std::uint16_t h = 0; h < e.top_k(); ++h) {
        c.idx.push_back(h);
        c.mag_q.push_back(code_below(rng, e.mag_grid().size()));
        c.phase_q.push_back(code_below(rng, e.phase_grid().size()));
    }
    std::shuffle(c.idx.begin(), c.idx.end(), rng);
    c.norm_q = static_cast<std::uint16_t>(rng() % std::min<std::size_t>(e.norm_grid().size(), 65536));
    return c;
}

// `m` records, each shared with probability `shared`, else random.
std::vector<SpectralCodes> records(const SpectralEncoder& e, std::mt19937& rng, std::size_t m, double shared) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<SpectralCodes> out;
    for (std::size_t i = 0; i < m; ++i) out.push_back(u(rng) < shared ? shared_record(e, rng) : random_record(e, rng));
    return out;
}

// Queries: random records (bins listed twice among them), one listing a bin
// twice on purpose, one over the shared bins, one without bins.
std::vector<SpectralCodes> queries(const SpectralEncoder& e, std::mt19937& rng) {
    std::vector<SpectralCodes> q;
    for (int i = 0; i < 6; ++i) {
        SpectralCodes c = random_record(e, rng);
        if (c.idx.empty()) c = shared_record(e, rng);
        q.push_back(std::move(c));
    }
    SpectralCodes twice{{1, 0, 1}, {}, {}, 0};
    for (int j = 0; j < 3; ++j) {
        twice.mag_q.push_back(code_below(rng, e.mag_grid().size()));
        twice.phase_q.push_back(code_below(rng, e.phase_grid().size()));
    }
    q.push_back(std::move(twice));
    q.push_back(shared_record(e, rng));
    q.push_back(SpectralCodes{{}, {}, {}, 0});
    return q;
}

// ---------------------------------------------------------------------------
// Scenarios: how the items arrive, run over every grid case.

enum class Arrival { SparseRecords, ColumnsChangeForm, DenseRowsMixedWithCodes };

std::string name_of(Arrival a) {
    switch (a) {
        case Arrival::SparseRecords: return "SparseRecords";
        case Arrival::ColumnsChangeForm: return "ColumnsChangeForm";
        case Arrival::DenseRowsMixedWithCodes: return "DenseRowsMixedWithCodes";
    }
    return "";
}

void PrintTo(Arrival a, std::ostream* os) { *os << name_of(a); }

class SearchOracle : public ::testing::TestWithParam<std::tuple<GridCase, Arrival>> {};

TEST_P(SearchOracle, SearchEqualsTheLiteralKernelOverTheDenseRows) {
    const auto& [g, arrival] = GetParam();
    SpectralEncoder e = make_encoder(g.dim, g.top_k, g.mag_bits, g.phase_bits, g.norm_bits);
    if (g.patch) edit_grids(e, g.patch);
    std::mt19937 rng(static_cast<unsigned>(g.dim * 131 + g.mag_bits * 7 + static_cast<unsigned>(arrival)));
    Mirrored m(e);
    const std::vector<SpectralCodes> qs = queries(e, rng);
    m.expect_matches(qs, "empty");

    switch (arrival) {
        case Arrival::SparseRecords:
            // Incremental growth: one item, then small and larger batches.
            for (std::size_t batch : {1, 1, 37, 200, 5}) {
                m.add_codes(records(e, rng, batch, 0.0));
                m.expect_matches(qs, "after " + std::to_string(m.ix.size()) + " items");
            }
            break;
        case Arrival::ColumnsChangeForm:
            // 100 items mostly keeping bins 0 .. top_k-1: their columns turn
            // dense; 300 sparse ones bring them under 3/8, back to posting
            // lists; 700 mostly shared ones turn them dense again; a few
            // more items join dense columns one add at a time.
            m.add_codes(records(e, rng, 100, 0.95));
            m.expect_matches(qs, "dense");
            m.add_codes(records(e, rng, 300, 0.0));
            m.expect_matches(qs, "back to posting");
            m.add_codes(records(e, rng, 700, 0.97));
            m.expect_matches(qs, "dense again");
            for (double shared : {1.0, 0.0, 1.0}) {
                m.add_codes(records(e, rng, 3, shared));
                m.expect_matches(qs, "grown by 3");
            }
            break;
        case Arrival::DenseRowsMixedWithCodes:
            m.add_dense(hostile_rows(e, rng, 20));
            m.expect_matches(qs, "dense rows first");
            m.add_codes(records(e, rng, 90, 0.8));
            m.expect_matches(qs, "then codes");
            m.add_dense(hostile_rows(e, rng, 1));
            m.add_dense(hostile_rows(e, rng, 0));
            m.add_dense(hostile_rows(e, rng, 60));
            m.add_codes(records(e, rng, 40, 0.5));
            m.expect_matches(qs, "interleaved");
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SearchOracle,
    ::testing::Combine(::testing::ValuesIn(kGrids), ::testing::Values(Arrival::SparseRecords,
                                                                      Arrival::ColumnsChangeForm,
                                                                      Arrival::DenseRowsMixedWithCodes)),
    [](const auto& info) { return std::string(std::get<0>(info.param).name) + "_" + name_of(std::get<1>(info.param)); });

// Queries longer than one block of tables, their bins repeated many times
// (one lists a single bin throughout): each block's terms must join the
// scores the blocks before it left, in query-bin order, over every grid case,
// with dense and posting columns and items kept as dense rows.
SpectralCodes long_query(const SpectralEncoder& e, std::mt19937& rng, std::size_t bins, bool one_bin) {
    SpectralCodes c;
    const auto only = static_cast<std::uint16_t>(rng() % e.f());
    for (std::size_t j = 0; j < bins; ++j) {
        c.idx.push_back(one_bin ? only : static_cast<std::uint16_t>(rng() % e.f()));
        c.mag_q.push_back(code_below(rng, e.mag_grid().size()));
        c.phase_q.push_back(code_below(rng, e.phase_grid().size()));
    }
    c.norm_q = static_cast<std::uint16_t>(rng() % std::min<std::size_t>(e.norm_grid().size(), 65536));
    return c;
}

class SearchOracleLongQueries : public ::testing::TestWithParam<GridCase> {};

TEST_P(SearchOracleLongQueries, BlocksOfQueryBinsSumLikeTheLiteralKernel) {
    const GridCase& g = GetParam();
    SpectralEncoder e = make_encoder(g.dim, g.top_k, g.mag_bits, g.phase_bits, g.norm_bits);
    if (g.patch) edit_grids(e, g.patch);
    std::mt19937 rng(static_cast<unsigned>(g.dim * 17 + g.phase_bits));
    Mirrored m(e);
    m.add_codes(records(e, rng, 120, 0.95));
    m.add_codes(records(e, rng, 60, 0.0));
    m.add_dense(hostile_rows(e, rng, 25));
    constexpr std::size_t b = kQueryBinsPerBlock;
    std::vector<SpectralCodes> qs;
    for (std::size_t bins : {b - 1, b, b + 1, 2 * b + 37, 5 * b})
        qs.push_back(long_query(e, rng, bins, false));
    qs.push_back(long_query(e, rng, 3 * b + 5, true));
    m.expect_matches(qs, "long queries");
}

INSTANTIATE_TEST_SUITE_P(Cases, SearchOracleLongQueries, ::testing::ValuesIn(kGrids),
                         ByName{});

// More than one segment of 65,536 items: bin 0 kept by most items (dense
// column), the other bins rarely (posting lists), dense rows at the end,
// over grids with and without NaN terms for absent bins; one query spans
// two blocks of query bins.
class SearchOracleSegments : public ::testing::TestWithParam<GridCase> {};

TEST_P(SearchOracleSegments, SearchAcrossSegmentsEqualsTheLiteralKernel) {
    const GridCase& g = GetParam();
    SpectralEncoder e = make_encoder(g.dim, g.top_k, g.mag_bits, g.phase_bits, g.norm_bits);
    if (g.patch) edit_grids(e, g.patch);
    std::mt19937 rng(77);
    auto batch = [&](std::size_t m) {
        std::vector<SpectralCodes> out;
        for (std::size_t i = 0; i < m; ++i) {
            SpectralCodes c;
            if (rng() % 5 != 0) {
                c.idx.push_back(0);
                c.mag_q.push_back(code_below(rng, e.mag_grid().size()));
                c.phase_q.push_back(code_below(rng, e.phase_grid().size()));
            }
            if (rng() % 4 == 0) {
                c.idx.push_back(static_cast<std::uint16_t>(1 + rng() % (e.f() - 1)));
                c.mag_q.push_back(code_below(rng, e.mag_grid().size()));
                c.phase_q.push_back(code_below(rng, e.phase_grid().size()));
            }
            c.norm_q = static_cast<std::uint16_t>(rng() % e.norm_grid().size());
            out.push_back(std::move(c));
        }
        return out;
    };
    Mirrored m(e);
    std::vector<SpectralCodes> qs = {
        SpectralCodes{{0}, {1}, {1}, 0},
        SpectralCodes{{2, 0, 2}, {2, 3, 1}, {0, 1, 2}, 1},
        SpectralCodes{{static_cast<std::uint16_t>(e.f() - 1), 1}, {3, 3}, {3, 0}, 2},
    };
    for (auto& q : qs) {
        for (std::size_t j = 0; j < q.idx.size(); ++j) {
            q.mag_q[j] = static_cast<std::uint8_t>(q.mag_q[j] % e.mag_grid().size());
            q.phase_q[j] = static_cast<std::uint8_t>(q.phase_q[j] % e.phase_grid().size());
        }
        q.norm_q = static_cast<std::uint16_t>(q.norm_q % e.norm_grid().size());
    }
    qs.push_back(long_query(e, rng, kQueryBinsPerBlock + 3, false));  // every segment, block by block
    m.add_codes(batch(40000));
    m.add_codes(batch(30000));  // crosses into the second segment
    m.expect_matches(qs, "70000 items");
    m.add_dense(hostile_rows(e, rng, 50));
    m.add_codes(batch(7));
    m.expect_matches(qs, "70057 items");
    // Rows on both sides of the segment boundary.
    const DenseRows across = dense_of(m.ix, kSegmentItems - 3, 6);
    const std::size_t f = e.f();
    EXPECT_EQ(bits_of(across.mags), bits_of(std::span(m.rows.mags).subspan((kSegmentItems - 3) * f, 6 * f)));
    EXPECT_EQ(bits_of(across.phases), bits_of(std::span(m.rows.phases).subspan((kSegmentItems - 3) * f, 6 * f)));
}

INSTANTIATE_TEST_SUITE_P(Cases, SearchOracleSegments,
                         ::testing::Values(GridCase{"Default", 8, 2, 2, 2, 2, nullptr},
                                           GridCase{"InfMagnitude", 8, 2, 2, 2, 2,
                                                    [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid&) {
                                                        mag = {1.0f, 0.5f, 2.0f, kInf};
                                                        phase = {0.0f, 1.0f, 2.0f, from_bits(0x7fc00005u)};
                                                    }}),
                         ByName{});

// add_rows is add_codes of the encoded rows, and search_rows is
// search_codes of each encoded query.
TEST(SearchOracleRows, AddRowsAndSearchRowsMatchTheEncodedRecords) {
    const SpectralEncoder e = make_encoder(64, 8, 8, 8, 8);
    std::mt19937 rng(8);
    std::normal_distribution<float> gauss;
    auto vectors = [&](std::size_t m) {
        std::vector<float> v(m * 64);
        for (float& x : v) x = gauss(rng);
        return v;
    };
    Mirrored m(e);
    Mirrored by_codes(e);
    const std::vector<float> flat_queries = vectors(4);
    auto encoded_queries = encode_rows(e, flat_queries);
    ASSERT_TRUE(encoded_queries);
    for (std::size_t batch : {1, 300, 1500}) {  // the last one spans two encoding chunks
        const std::vector<float> flat = vectors(batch);
        ASSERT_TRUE(m.ix.add_rows(flat));
        auto codes = encode_rows(e, flat);
        ASSERT_TRUE(codes);
        by_codes.add_codes(*codes);
        m.rows = by_codes.rows;
        m.expect_matches(*encoded_queries, "after " + std::to_string(m.ix.size()) + " rows");

        auto found = m.ix.search_rows(flat_queries, 10);
        ASSERT_TRUE(found);
        ASSERT_EQ(found->size(), 4u);
        for (std::size_t qi = 0; qi < 4; ++qi) {
            const SpectralSearchResult want = oracle_search(e, by_codes.rows, (*encoded_queries)[qi], 10);
            EXPECT_EQ((*found)[qi].ids, want.ids);
            EXPECT_EQ(bits_of((*found)[qi].scores), bits_of(want.scores));
        }
    }
}

}  // namespace

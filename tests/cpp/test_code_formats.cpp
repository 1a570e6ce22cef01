// Codes in one byte, in blocks of low bytes and high bits, and in two bytes:
// the same items stored in each format give back the same entries and the
// same scores, bit for bit, as two-byte codes and as a plain sum of the
// terms, while their columns turn dense, back to posting lists and dense
// again, and while failed appends are cut off.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "index/code_store.hpp"
#include "simd/ordered_ops.hpp"
#include "simd/scoring.hpp"
#include "test_support.hpp"

using namespace korvane;
using korvane::testing::bits_of;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::size_t kBins = 24;
constexpr std::size_t kSharedBins = 12;  // bins 0 .. 11, kept by most items in the dense phases

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

struct WidthCase {
    const char* name;
    std::size_t mag_entries, phase_entries;
    CodeFormat::Kind kind;
};

void PrintTo(const WidthCase& w, std::ostream* os) { *os << w.name; }

using Kind = CodeFormat::Kind;

// Grid sizes of every width from 0 to 16 bits a code can need, powers of two
// and others, with the layout each must get.
const WidthCase kWidths[] = {
    {"Mag1Phase1", 1, 1, Kind::Byte},         // 0 bits
    {"Mag5Phase3", 5, 3, Kind::Byte},         // 3 + 2 bits
    {"Mag8Phase8", 8, 8, Kind::Byte},         // 6
    {"Mag16Phase16", 16, 16, Kind::Byte},     // 8
    {"Mag256Phase1", 256, 1, Kind::Byte},     // 8 + 0
    {"Mag1Phase256", 1, 256, Kind::Byte},     // 0 + 8
    {"Mag300Phase1", 300, 1, Kind::Byte},     // codes past 255 cannot be named
    {"Mag32Phase16", 32, 16, Kind::Split},    // 9
    {"Mag2Phase256", 2, 256, Kind::Split},    // 1 + 8
    {"Mag64Phase16", 64, 16, Kind::Split},    // 10
    {"Mag100Phase9", 100, 9, Kind::Split},    // 7 + 4
    {"Mag64Phase64", 64, 64, Kind::Split},    // 12
    {"Mag16Phase256", 16, 256, Kind::Split},  // 4 + 8
    {"Mag128Phase64", 128, 64, Kind::Wide},   // 13
    {"Mag200Phase40", 200, 40, Kind::Wide},   // 8 + 6
    {"Mag256Phase256", 256, 256, Kind::Wide}, // 16
};

struct Entry {
    std::uint32_t item;
    std::uint16_t bin;
    unsigned mag, phase;
    bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& e, std::ostream* os) {
    *os << "item " << e.item << " bin " << e.bin << " codes " << e.mag << "/" << e.phase;
}

// Two stores of the same items, one in the format under test and one with
// two-byte codes, and the entries the test expects of both.
class TwoStores {
public:
    explicit TwoStores(const WidthCase& w)
        : w_(w),
          format_(CodeFormat::for_grids(w.mag_entries, w.phase_entries)),
          packed_(kBins, format_),
          wide_(kBins, CodeFormat{}) {}

    // `m` items, each keeping a shared bin with probability `shared` and any
    // other bin with probability `other`; then the forms are rebalanced as
    // an add does.
    void add(std::size_t m, double shared, double other, std::mt19937& rng) {
        const std::size_t from = packed_.size();
        append(m, shared, other, rng);
        packed_.rebalance(from);
        wide_.rebalance(from);
    }

    // An append cut off again, as after a failure: nothing of it may show.
    void add_and_cut(std::size_t m, std::mt19937& rng) {
        const std::size_t n = packed_.size();
        append(m, 0.9, 0.3, rng);
        packed_.truncate(n);
        wide_.truncate(n);
        entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.item >= n; }),
                       entries_.end());
    }

    std::size_t dense_shared_columns() const {
        std::size_t dense = 0;
        const Segment& seg = packed_.segments().front();
        for (std::size_t h = 0; h < kSharedBins; ++h) dense += seg.bins[h] && seg.bins[h]->dense;
        return dense;
    }

    void expect_same_entries(const std::string& what) const {
        const std::size_t n = packed_.size();
        ASSERT_EQ(wide_.size(), n);
        std::vector<Entry> want = entries_;
        // for_each_entry goes bin by bin, each in id order.
        std::stable_sort(want.begin(), want.end(), [](const Entry& a, const Entry& b) { return a.bin < b.bin; });
        EXPECT_EQ(visit(packed_, 0, n), want) << what;
        EXPECT_EQ(visit(wide_, 0, n), want) << what;
        // A range that starts and ends inside blocks of 8 codes.
        const std::size_t first = n / 3 + 3, count = n / 2 + 1;
        std::vector<Entry> part;
        for (const Entry& e : want)
            if (e.item >= first && e.item < first + count) part.push_back(e);
        EXPECT_EQ(visit(packed_, first, count), part) << what;
    }

    // Scores of random queries over the special terms: the format under
    // test, two-byte codes and the plain sum agree to the bit.
    void expect_same_scores(std::mt19937& rng, const std::string& what) const {
        const std::size_t n = packed_.size();
        const std::size_t phase_codes = std::min<std::size_t>(w_.phase_entries, kCodesPerGrid);
        const float pool[] = {1.0f,      -2.5f,  0.0f, -0.0f, 1e-40f, -1e-40f, 3e38f, kInf, -kInf,
                              from_bits(0x7fc00001u), from_bits(0xffc12345u), 0.75f, 1e-30f};
        auto table = [&](std::size_t size) {
            std::vector<float> v(size);
            for (float& x : v) x = rng() % 3 == 0 ? pool[rng() % std::size(pool)] : static_cast<float>(rng() % 64) / 16.0f;
            return v;
        };
        // Absent terms: skipped (+-0), one NaN for every item without the
        // bin, and plain numbers.
        const float absents[] = {0.0f, -0.0f, from_bits(0x7fc0beefu), 1.25f, -kInf};
        std::vector<float> scratch;
        for (int round = 0; round < 6; ++round) {
            // The first query takes every shared bin once, over each kind of
            // absent term; the others random bins, repeats and bins nobody
            // kept among them.
            std::vector<std::uint16_t> bins;
            std::vector<BinTerms> terms;
            std::vector<std::vector<float>> mag_terms, cosines;  // each query bin its own tables
            const std::size_t c = round == 0 ? kSharedBins : 1 + rng() % 10;
            for (std::size_t j = 0; j < c; ++j) {
                bins.push_back(static_cast<std::uint16_t>(round == 0 ? j : rng() % kBins));
                mag_terms.push_back(table(kCodesPerGrid));
                cosines.push_back(table(phase_codes));
            }
            for (std::size_t j = 0; j < c; ++j) {
                const float absent = absents[round == 0 ? j % std::size(absents) : rng() % std::size(absents)];
                terms.push_back({mag_terms[j].data(), cosines[j].data(), absent});
            }
            std::vector<float> got(n, 0.0f), wide(n, 0.0f);
            accumulate_scores(terms, bins, packed_.segments().front(), got.data(), scratch);
            accumulate_scores(terms, bins, wide_.segments().front(), wide.data(), scratch);
            const std::vector<float> want = plain_sum(terms, bins);
            ASSERT_EQ(bits_of(got), bits_of(want)) << what << ", round " << round;
            ASSERT_EQ(bits_of(wide), bits_of(want)) << what << ", round " << round;
        }
    }

    const CodeFormat& format() const { return format_; }

private:
    void append(std::size_t m, double shared, double other, std::mt19937& rng) {
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<BinCode> packed, wide;
        for (std::size_t i = 0; i < m; ++i) {
            const auto item = static_cast<std::uint32_t>(packed_.size());
            packed.clear();
            wide.clear();
            for (std::uint16_t h = 0; h < kBins; ++h) {
                if (u(rng) >= (h < kSharedBins ? shared : other)) continue;
                // Top codes often, so that every bit of a code is used.
                const auto mq = static_cast<std::uint8_t>(rng() % 2 ? std::min<std::size_t>(w_.mag_entries, 256) - 1
                                                                    : rng() % std::min<std::size_t>(w_.mag_entries, 256));
                const auto pq = static_cast<std::uint8_t>(rng() % 2 ? std::min<std::size_t>(w_.phase_entries, 256) - 1
                                                                    : rng() % std::min<std::size_t>(w_.phase_entries, 256));
                packed.push_back({h, format_.pack(mq, pq)});
                wide.push_back({h, CodeFormat{}.pack(mq, pq)});
                entries_.push_back({item, h, mq, pq});
            }
            packed_.append(packed);
            wide_.append(wide);
        }
    }

    static std::vector<Entry> visit(const CodeStore& store, std::size_t first, std::size_t count) {
        std::vector<Entry> out;
        const CodeFormat& f = store.format();
        store.for_each_entry(first, count, [&](std::size_t item, std::size_t bin, std::uint16_t code) {
            out.push_back({static_cast<std::uint32_t>(item), static_cast<std::uint16_t>(bin), f.mag_of(code),
                           f.phase_of(code)});
        });
        return out;
    }

    // Every query bin in order: the item's term where it kept the bin, the
    // absent term elsewhere.
    std::vector<float> plain_sum(const std::vector<BinTerms>& terms, const std::vector<std::uint16_t>& bins) const {
        const std::size_t n = packed_.size();
        std::vector<int> code_at(n * kBins, -1);
        for (const Entry& e : entries_) code_at[e.item * kBins + e.bin] = static_cast<int>(e.mag | e.phase << 8);
        std::vector<float> s(n, 0.0f);
        for (std::size_t j = 0; j < bins.size(); ++j)
            for (std::size_t i = 0; i < n; ++i) {
                const int c = code_at[i * kBins + bins[j]];
                const float term = c < 0 ? terms[j].absent : mul_ordered(terms[j].cosines[c >> 8], terms[j].mag_terms[c & 0xFF]);
                s[i] = add_ordered(s[i], term);
            }
        return s;
    }

    WidthCase w_;
    CodeFormat format_;
    CodeStore packed_, wide_;
    std::vector<Entry> entries_;
};

class CodeFormats : public ::testing::TestWithParam<WidthCase> {};

TEST_P(CodeFormats, EveryFormatKeepsAndScoresTheCodesOfTwoByteCodes) {
    const WidthCase& w = GetParam();
    TwoStores stores(w);
    ASSERT_EQ(stores.format().kind, w.kind);
    std::mt19937 rng(static_cast<unsigned>(w.mag_entries * 1000 + w.phase_entries));
    auto check = [&](const std::string& what) {
        stores.expect_same_entries(what);
        stores.expect_same_scores(rng, what);
    };

    stores.add(1, 1.0, 0.5, rng);
    check("one item");
    stores.add(101, 0.95, 0.1, rng);
    ASSERT_EQ(stores.dense_shared_columns(), kSharedBins);
    check("dense");
    stores.add_and_cut(13, rng);
    check("dense, an append cut off");
    // Under a fifth of the items keep the shared bins now: posting lists.
    stores.add(603, 0.05, 0.1, rng);
    ASSERT_EQ(stores.dense_shared_columns(), 0u);
    check("back to posting lists");
    stores.add_and_cut(5, rng);
    check("posting, an append cut off");
    stores.add(1501, 0.97, 0.2, rng);
    ASSERT_EQ(stores.dense_shared_columns(), kSharedBins);
    check("dense again");
    for (int i = 0; i < 3; ++i) {
        stores.add(3, i == 1 ? 0.0 : 1.0, 0.3, rng);
        stores.add_and_cut(1 + i, rng);
    }
    check("grown by threes");
}

INSTANTIATE_TEST_SUITE_P(Widths, CodeFormats, ::testing::ValuesIn(kWidths),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#include "index/index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "simd/ordered_ops.hpp"
#include "simd/scoring.hpp"

namespace korvane {

namespace {

// The ranking order as one integer per item, larger is better: higher score
// first, NaN after every number, equal scores (+0 and -0 too) by ascending
// id. Keys are distinct, so the order is total.
std::uint64_t rank_key(float score, std::uint32_t id) {
    std::uint32_t u = 0;
    if (!std::isnan(score)) {
        const std::uint32_t b = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
        u = (b & 0x80000000u) ? ~b : (b | 0x80000000u);
    }
    return std::uint64_t{u} << 32 | (0xFFFFFFFFu - id);
}

SpectralSearchResult select_best(std::span<const float> s, std::size_t k) {
    const std::size_t n = s.size();
    std::vector<std::uint64_t> best;
    best.reserve(k);
    for (std::size_t r = 0; r < k; ++r) best.push_back(rank_key(s[r], static_cast<std::uint32_t>(r)));
    if (k < n) {
        // A bounded min-heap of the k best keys; most items lose against its
        // top at once.
        std::make_heap(best.begin(), best.end(), std::greater<>());
        for (std::size_t r = k; r < n;) {
            // Items are met in ascending id order, so one that only equals
            // the worst kept score ranks below it; with a NaN there, any
            // number ranks above it and a later NaN below. The cheap float
            // test skips most items, the key decides.
            const float worst = s[0xFFFFFFFFu - static_cast<std::uint32_t>(best.front())];
            r = next_candidate(s, r, worst);
            if (r == n) break;
            const std::uint64_t key = rank_key(s[r], static_cast<std::uint32_t>(r));
            if (key > best.front()) {
                std::pop_heap(best.begin(), best.end(), std::greater<>());
                best.back() = key;
                std::push_heap(best.begin(), best.end(), std::greater<>());
            }
            ++r;
        }
    }
    std::sort(best.begin(), best.end(), std::greater<>());
    SpectralSearchResult result;
    result.ids.resize(k);
    result.scores.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint32_t id = 0xFFFFFFFFu - static_cast<std::uint32_t>(best[i]);
        result.ids[i] = id;
        result.scores[i] = s[id];
    }
    return result;
}

// Grid entries by bit pattern, for recognising dense row values as codes.
class GridCodes {
public:
    explicit GridCodes(std::span<const float> grid) {
        const std::size_t g = std::min(grid.size(), kCodesPerGrid);
        for (std::size_t i = 0; i < g; ++i) by_bits_.emplace_back(std::bit_cast<std::uint32_t>(grid[i]), i);
        // Equal patterns keep the lowest code; any of them decodes alike.
        std::stable_sort(by_bits_.begin(), by_bits_.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
    }
    // The code whose entry has the bits of `v`, or -1.
    int find(float v) const {
        const std::uint32_t b = std::bit_cast<std::uint32_t>(v);
        auto it = std::lower_bound(by_bits_.begin(), by_bits_.end(), b,
                                   [](const auto& x, std::uint32_t key) { return x.first < key; });
        return it != by_bits_.end() && it->first == b ? static_cast<int>(it->second) : -1;
    }

private:
    std::vector<std::pair<std::uint32_t, std::size_t>> by_bits_;
};

}  // namespace

Status check_codes(const SpectralEncoder& e, const SpectralCodes& c, const std::string& what) {
    const std::size_t k = c.idx.size();
    if (c.mag_q.size() < k || c.phase_q.size() < k)
        return fail(invalid_input(what + " has " + std::to_string(k) + " bins but " + std::to_string(c.mag_q.size()) +
                                  " magnitude and " + std::to_string(c.phase_q.size()) + " phase codes"));
    for (std::size_t j = 0; j < k; ++j) {
        if (c.idx[j] >= e.f())
            return fail(invalid_input(what + ": bin " + std::to_string(c.idx[j]) + " is not below F (" +
                                      std::to_string(e.f()) + ")"));
        if (c.mag_q[j] >= e.mag_grid().size())
            return fail(invalid_input(what + ": magnitude code " + std::to_string(c.mag_q[j]) +
                                      " is past the end of mag_grid (" + std::to_string(e.mag_grid().size()) +
                                      " entries)"));
        if (c.phase_q[j] >= e.phase_grid().size())
            return fail(invalid_input(what + ": phase code " + std::to_string(c.phase_q[j]) +
                                      " is past the end of phase_grid (" + std::to_string(e.phase_grid().size()) +
                                      " entries)"));
    }
    if (c.norm_q >= e.norm_grid().size())
        return fail(invalid_input(what + ": norm code " + std::to_string(c.norm_q) +
                                  " is past the end of norm_grid (" + std::to_string(e.norm_grid().size()) +
                                  " entries)"));
    return {};
}

SpectralIndex::SpectralIndex(const SpectralEncoder& encoder)
    : encoder_(encoder),
      phase_codes_(std::min(encoder.phase_grid().size(), kCodesPerGrid)),
      store_(encoder.f(), CodeFormat::for_grids(encoder.mag_grid().size(), encoder.phase_grid().size())) {}

const float* SpectralIndex::CosineTable::get(std::span<const float> grid, std::size_t codes) const {
    if (const float* ready = table_.load(std::memory_order_acquire)) return ready;
    // cosf is a pure function: a cosine taken once here has the bits of the
    // one the literal kernel takes per item.
    auto made = std::make_unique<float[]>(std::max<std::size_t>(codes * codes, 1));
    for (std::size_t i = 0; i < codes; ++i)
        for (std::size_t p = 0; p < codes; ++p) {
            const float diff = grid[i] - grid[p];
            made[i * codes + p] = cosf(diff);
        }
    float* expected = nullptr;
    if (table_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
    return expected;
}

Status SpectralIndex::check_room(std::size_t m) const {
    const std::size_t n_old = size();
    if (m > kMaxItems - n_old)
        return fail(invalid_input("an index holds at most " + std::to_string(kMaxItems) + " items; it has " +
                                  std::to_string(n_old) + " and " + std::to_string(m) + " were added"));
    return {};
}

void SpectralIndex::reserve_norms(std::size_t n) {
    if (norms_.capacity() < n) norms_.reserve(std::max(n, norms_.capacity() + norms_.capacity() / 8));
}

void SpectralIndex::rollback(std::size_t n) noexcept {
    store_.truncate(n);
    if (norms_.size() > n) norms_.resize(n);
    const auto first_gone = std::lower_bound(side_ids_.begin(), side_ids_.end(), n);
    const std::size_t side_kept = static_cast<std::size_t>(first_gone - side_ids_.begin());
    side_ids_.resize(side_kept);
    side_mags_.resize(std::min(side_mags_.size(), side_kept * encoder_.f()));
    side_phases_.resize(std::min(side_phases_.size(), side_kept * encoder_.f()));
}

// Appends already checked records. `last` holds F entries, all at their
// sentinel, and is left so.
void SpectralIndex::append(std::span<const SpectralCodes> codes, std::vector<BinCode>& entries,
                           std::vector<std::uint32_t>& last) {
    reserve_norms(size() + codes.size());
    for (const SpectralCodes& c : codes) {
        // A bin listed twice keeps its later occurrence.
        const std::size_t k = c.idx.size();
        for (std::size_t j = 0; j < k; ++j) last[c.idx[j]] = static_cast<std::uint32_t>(j);
        entries.clear();
        for (std::size_t j = 0; j < k; ++j) {
            const std::uint16_t h = c.idx[j];
            if (last[h] != j) continue;
            entries.push_back({h, store_.format().pack(c.mag_q[j], c.phase_q[j])});
        }
        for (std::size_t j = 0; j < k; ++j) last[c.idx[j]] = UINT32_MAX;
        store_.append(entries);
        norms_.push_back(encoder_.norm_grid()[c.norm_q]);
    }
}

Status SpectralIndex::add_codes(std::span<const SpectralCodes> codes) {
    const std::size_t m = codes.size();
    if (m == 0) return {};
    if (auto s = check_room(m); !s) return s;
    for (std::size_t i = 0; i < m; ++i)
        if (auto s = check_codes(encoder_, codes[i], "code record " + std::to_string(i)); !s) return s;
    const std::size_t n_old = size();
    try {
        std::vector<BinCode> entries;
        std::vector<std::uint32_t> last(encoder_.f(), UINT32_MAX);
        append(codes, entries, last);
    } catch (...) {
        rollback(n_old);
        throw;
    }
    store_.rebalance(n_old);
    return {};
}

Status SpectralIndex::add_rows(std::span<const float> flat) {
    auto source = FlatRows::of(flat, encoder_.dim());
    if (!source) return fail(source.error());
    return add_rows(*source);
}

Status SpectralIndex::add_rows(const RowSource& source) {
    const std::size_t rows = source.rows();
    if (rows == 0) return {};
    // Refused before a row is encoded: an add past the limit stores nothing.
    if (auto s = check_room(rows); !s) return s;
    const std::size_t n_old = size();
    try {
        std::vector<BinCode> entries;
        std::vector<std::uint32_t> last(encoder_.f(), UINT32_MAX);
        // Records the index's own encoder made always pass check_codes.
        Status s = encode_in_chunks(encoder_, source, [&](std::vector<SpectralCodes>& codes) -> Status {
            append(codes, entries, last);
            return {};
        });
        if (!s) {
            rollback(n_old);
            return s;
        }
    } catch (...) {
        rollback(n_old);
        throw;
    }
    store_.rebalance(n_old);
    return {};
}

Status SpectralIndex::add_dense_rows(std::span<const float> mags, std::span<const float> phases,
                                     std::span<const float> norms) {
    const std::size_t m = norms.size();
    const std::size_t f = encoder_.f();
    if (mags.size() != m * f || phases.size() != m * f)
        return fail(invalid_input("dense rows of " + std::to_string(mags.size()) + " and " +
                                  std::to_string(phases.size()) + " values do not hold " + std::to_string(m) +
                                  " rows of " + std::to_string(f)));
    if (m == 0) return {};
    if (auto s = check_room(m); !s) return s;
    const GridCodes mag_codes(encoder_.mag_grid());
    const GridCodes phase_codes(encoder_.phase_grid());
    const std::size_t n_old = size();
    try {
        reserve_norms(n_old + m);
        std::vector<BinCode> entries;
        for (std::size_t i = 0; i < m; ++i) {
            const float* row_m = mags.data() + i * f;
            const float* row_p = phases.data() + i * f;
            entries.clear();
            bool coded = true;
            for (std::size_t h = 0; h < f && coded; ++h) {
                // +0 in both is a bin the item did not keep.
                if ((std::bit_cast<std::uint32_t>(row_m[h]) | std::bit_cast<std::uint32_t>(row_p[h])) == 0) continue;
                const int mq = mag_codes.find(row_m[h]);
                const int pq = phase_codes.find(row_p[h]);
                coded = mq >= 0 && pq >= 0;
                if (coded)
                    entries.push_back({static_cast<std::uint16_t>(h),
                                       store_.format().pack(static_cast<std::uint8_t>(mq), static_cast<std::uint8_t>(pq))});
            }
            if (coded) {
                store_.append(entries);
            } else {
                side_ids_.push_back(static_cast<std::uint32_t>(size()));
                side_mags_.insert(side_mags_.end(), row_m, row_m + f);
                side_phases_.insert(side_phases_.end(), row_p, row_p + f);
                store_.append({});
            }
            norms_.push_back(norms[i]);
        }
    } catch (...) {
        rollback(n_old);
        throw;
    }
    store_.rebalance(n_old);
    return {};
}

void SpectralIndex::dense_rows(std::size_t first, std::size_t count, std::span<float> mags,
                               std::span<float> phases) const {
    const std::size_t f = encoder_.f();
    std::fill(mags.begin(), mags.end(), 0.0f);
    std::fill(phases.begin(), phases.end(), 0.0f);
    const float* mag_grid = encoder_.mag_grid().data();
    const float* phase_grid = encoder_.phase_grid().data();
    const CodeFormat& format = store_.format();
    for (std::size_t at = first; at < first + count;) {
        const std::size_t segment_end = (at / kSegmentItems + 1) * kSegmentItems;
        const std::size_t take = std::min(first + count, segment_end) - at;
        store_.for_each_entry(at, take, [&](std::size_t item, std::size_t bin, std::uint16_t code) {
            const std::size_t p = (item - first) * f + bin;
            if (!mags.empty()) mags[p] = mag_grid[format.mag_of(code)];
            if (!phases.empty()) phases[p] = phase_grid[format.phase_of(code)];
        });
        at += take;
    }
    auto it = std::lower_bound(side_ids_.begin(), side_ids_.end(), first);
    for (; it != side_ids_.end() && *it < first + count; ++it) {
        const std::size_t s = static_cast<std::size_t>(it - side_ids_.begin());
        const std::size_t row = *it - first;
        if (!mags.empty()) std::copy_n(side_mags_.begin() + s * f, f, mags.begin() + row * f);
        if (!phases.empty()) std::copy_n(side_phases_.begin() + s * f, f, phases.begin() + row * f);
    }
}

Result<SpectralSearchResult> SpectralIndex::search_codes(const SpectralCodes& query, std::uint64_t top_k) const {
    // A query the index's own encoder made (search_rows) needs no check.
    if (size() != 0 && !query.idx.empty())
        if (auto s = check_codes(encoder_, query, "query"); !s) return fail(s.error());
    SearchSpace space;
    return search_codes(query, top_k, space);
}

Result<SpectralSearchResult> SpectralIndex::search_codes(const SpectralCodes& query, std::uint64_t top_k,
                                                         SearchSpace& space) const {
    const std::size_t n = size();
    const std::size_t c = query.idx.size();
    if (n == 0 || c == 0) return SpectralSearchResult{};
    const SpectralEncoder& e = encoder_;
    const float* cosines = cosines_.get(e.phase_grid(), phase_codes_);
    std::vector<float>& s = space.scores;
    std::vector<float>& scratch = space.scratch;
    s.assign(n, 0.0f);
    // Items kept as dense rows are scored by the literal kernel, in place of
    // what the table passes give them.
    std::vector<float> side(side_ids_.size(), 0.0f);
    const auto& segments = store_.segments();
    // The query bins a block at a time, each block's tables built, then the
    // segments one after another: blocks and bins within them go in query-bin
    // order, so each item's sum is still formed in that order, and the tables
    // held at once do not grow with the record.
    const std::size_t block = std::min(c, kQueryBinsPerBlock);
    std::vector<float> mag_terms(block * kCodesPerGrid);
    std::vector<BinTerms> terms(block);
    DecodedQuery q;
    for (std::size_t j0 = 0; j0 < c; j0 += block) {
        const std::size_t take = std::min(block, c - j0);
        const std::span<const std::uint16_t> bins(query.idx.data() + j0, take);
        q.bins.assign(bins.begin(), bins.end());
        q.mags.resize(take);
        q.phases.resize(take);
        for (std::size_t j = 0; j < take; ++j) {
            q.mags[j] = e.mag_grid()[query.mag_q[j0 + j]];
            q.phases[j] = e.phase_grid()[query.phase_q[j0 + j]];
        }
        for (std::size_t j = 0; j < take; ++j) {
            const float a = query_weight(q, j, e.f());
            const std::span<float> row(mag_terms.data() + j * kCodesPerGrid, kCodesPerGrid);
            fill_mag_terms(a, e.mag_grid(), row);
            // The term of an item whose row holds 0 at the bin.
            const float absent = mul_ordered(cosf(sub_ordered(q.phases[j], 0.0f)), mul_ordered(a, 0.0f));
            terms[j] = BinTerms{row.data(), cosines + query.phase_q[j0 + j] * phase_codes_, absent};
        }
        const std::span<const BinTerms> block_terms(terms.data(), take);
        for (std::size_t g = 0; g < segments.size(); ++g)
            accumulate_scores(block_terms, bins, segments[g], s.data() + g * kSegmentItems, scratch);
        if (!side.empty()) accumulate_scores_plain(q, side_mags_, side_phases_, e.f(), side);
    }
    for (std::size_t i = 0; i < side.size(); ++i) s[side_ids_[i]] = side[i];

    normalise_scores(e.norm_grid()[query.norm_q], static_cast<float>(e.dim()), norms_.data(), s.data(), n);

    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, n));
    if (k == 0) return SpectralSearchResult{};
    return select_best(s, k);
}

Result<std::vector<SpectralSearchResult>> SpectralIndex::search_rows(std::span<const float> flat,
                                                                     std::uint64_t top_k) const {
    auto source = FlatRows::of(flat, encoder_.dim());
    if (!source) return fail(source.error());
    return search_rows(*source, top_k);
}

Result<std::vector<SpectralSearchResult>> SpectralIndex::search_rows(const RowSource& source,
                                                                     std::uint64_t top_k) const {
    std::vector<SpectralSearchResult> results;
    results.reserve(source.rows());
    SearchSpace space;
    Status s = encode_in_chunks(encoder_, source, [&](std::vector<SpectralCodes>& queries) -> Status {
        for (const SpectralCodes& q : queries) {
            auto r = search_codes(q, top_k, space);
            if (!r) return fail(r.error());
            results.push_back(std::move(*r));
        }
        return {};
    });
    if (!s) return fail(s.error());
    return results;
}

std::size_t SpectralIndex::memory_bytes() const {
    return store_.memory_bytes() + norms_.capacity() * sizeof(float) + cosines_.bytes(phase_codes_) +
           side_ids_.capacity() * sizeof(std::uint32_t) + (side_mags_.capacity() + side_phases_.capacity()) * sizeof(float);
}

}  // namespace korvane

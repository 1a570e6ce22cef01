#include "index/index.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>
#include <string>

#include "index/simd.hpp"

namespace korvane {

SpectralIndex make_index(const SpectralEncoder& encoder) {
    SpectralIndex index;
    index.encoder = encoder;
    return index;
}

Status check_codes(const SpectralEncoder& e, const SpectralCodes& c, const std::string& what) {
    const std::size_t k = c.idx.size();
    if (c.mag_q.size() < k || c.phase_q.size() < k)
        return fail(invalid_input(what + " has " + std::to_string(k) + " bins but " + std::to_string(c.mag_q.size()) +
                                  " magnitude and " + std::to_string(c.phase_q.size()) + " phase codes"));
    for (std::size_t j = 0; j < k; ++j) {
        if (c.idx[j] >= e.f)
            return fail(invalid_input(what + ": bin " + std::to_string(c.idx[j]) + " is not below F (" +
                                      std::to_string(e.f) + ")"));
        if (c.mag_q[j] >= e.mag_grid.size())
            return fail(invalid_input(what + ": magnitude code " + std::to_string(c.mag_q[j]) +
                                      " is past the end of mag_grid (" + std::to_string(e.mag_grid.size()) +
                                      " entries)"));
        if (c.phase_q[j] >= e.phase_grid.size())
            return fail(invalid_input(what + ": phase code " + std::to_string(c.phase_q[j]) +
                                      " is past the end of phase_grid (" + std::to_string(e.phase_grid.size()) +
                                      " entries)"));
    }
    if (c.norm_q >= e.norm_grid.size())
        return fail(invalid_input(what + ": norm code " + std::to_string(c.norm_q) +
                                  " is past the end of norm_grid (" + std::to_string(e.norm_grid.size()) +
                                  " entries)"));
    return {};
}

Status add_codes(SpectralIndex& index, std::span<const SpectralCodes> codes) {
    const std::size_t m = codes.size();
    if (m == 0) return {};
    const std::size_t n_old = index.codes.size();
    if (m > kMaxItems - n_old)
        return fail(invalid_input("an index holds at most " + std::to_string(kMaxItems) + " items; it has " +
                                  std::to_string(n_old) + " and " + std::to_string(m) + " were added"));
    const SpectralEncoder& e = index.encoder;
    for (std::size_t i = 0; i < m; ++i)
        if (auto s = check_codes(e, codes[i], "code record " + std::to_string(i)); !s) return s;

    const std::size_t f = e.f;
    const std::size_t n_new = n_old + m;
    // All growth happens before any row is filled; if memory runs out part
    // way, every array is cut back so the index is as it was.
    try {
        index.codes.reserve(n_new);
        index.mags.resize(n_new * f, 0.0f);
        index.phases.resize(n_new * f, 0.0f);
        index.norms.resize(n_new, 0.0f);
        for (const SpectralCodes& c : codes) index.codes.push_back(clone_codes(c));
    } catch (const std::bad_alloc&) {
        index.codes.resize(n_old);
        index.mags.resize(n_old * f);
        index.phases.resize(n_old * f);
        index.norms.resize(n_old);
        throw;
    }
    for (std::size_t i = 0; i < m; ++i) {
        const SpectralCodes& c = codes[i];
        const std::size_t row = (n_old + i) * f;
        for (std::size_t j = 0; j < c.idx.size(); ++j) {
            const std::size_t p = row + c.idx[j];
            index.mags[p] = e.mag_grid[c.mag_q[j]];
            index.phases[p] = e.phase_grid[c.phase_q[j]];
        }
        index.norms[n_old + i] = e.norm_grid[c.norm_q];
    }
    return {};
}

void resize_codes(std::vector<SpectralCodes>& codes, std::size_t n, SpectralCodes value) {
    if (n <= codes.size()) {
        codes.resize(n);
        return;
    }
    codes.reserve(n);
    while (codes.size() + 1 < n) codes.push_back(clone_codes(value));
    codes.push_back(std::move(value));
}

Result<SpectralSearchResult> search_codes(const SpectralIndex& index, const SpectralCodes& query, std::uint64_t top_k) {
    const std::size_t n = index.codes.size();
    const std::size_t c = query.idx.size();
    SpectralSearchResult result;
    if (n == 0 || c == 0) return result;
    const SpectralEncoder& e = index.encoder;
    if (auto s = check_codes(e, query, "query"); !s) return fail(s.error());

    DecodedQuery q;
    q.bins.assign(query.idx.begin(), query.idx.end());
    q.mags.resize(c);
    q.phases.resize(c);
    for (std::size_t j = 0; j < c; ++j) {
        q.mags[j] = e.mag_grid[query.mag_q[j]];
        q.phases[j] = e.phase_grid[query.phase_q[j]];
    }

    q.phase_grid = e.phase_grid;
    std::vector<float> s(n, 0.0f);
    accumulate_scores(q, index.mags, index.phases, e.f, s);

    const float qn = e.norm_grid[query.norm_q];
    const float big_d = static_cast<float>(e.dim);
    for (std::size_t r = 0; r < n; ++r) {
        const float qx = qn * index.norms[r];
        const float d = qx * big_d;
        s[r] = d > 0.0f ? s[r] / d : 0.0f;  // d <= 0 or NaN gives 0
    }

    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, n));
    if (k == 0) return result;

    // Highest score first; NaN after every number; equal scores by id, so
    // the ranking is a total order and the same on every run.
    auto better = [&s](std::uint32_t a, std::uint32_t b) {
        const float sa = s[a];
        const float sb = s[b];
        const bool na = std::isnan(sa);
        const bool nb = std::isnan(sb);
        if (na != nb) return nb;
        if (!na && sa != sb) return sa > sb;
        return a < b;
    };
    std::vector<std::uint32_t> ids(n);
    std::iota(ids.begin(), ids.end(), std::uint32_t{0});
    if (k < n) std::nth_element(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(k - 1), ids.end(), better);
    std::sort(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(k), better);
    ids.resize(k);
    result.scores.resize(k);
    for (std::size_t i = 0; i < k; ++i) result.scores[i] = s[ids[i]];
    result.ids = std::move(ids);
    return result;
}

}  // namespace korvane

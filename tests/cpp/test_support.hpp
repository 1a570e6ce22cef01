// Helpers shared by the C++ tests and the fuzz programs: values, encoders,
// oracles, and the names and printers of parameterised cases.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/error.hpp"
#include "index/index.hpp"
#include "simd/scoring.hpp"

namespace korvane::testing {

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kDenorm = std::numeric_limits<float>::denorm_min();
inline constexpr float kMax = std::numeric_limits<float>::max();

// Deterministic values in [-1, 1).
inline std::vector<float> pseudo_random(std::size_t n, std::uint32_t seed) {
    std::vector<float> v(n);
    std::uint32_t s = seed * 2654435761u + 12345u;
    for (auto& x : v) {
        s = s * 1664525u + 1013904223u;
        x = static_cast<float>(s >> 8) / static_cast<float>(1u << 23) - 1.0f;
    }
    return v;
}

inline std::vector<std::uint32_t> bits_of(std::span<const float> v) {
    std::vector<std::uint32_t> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = std::bit_cast<std::uint32_t>(v[i]);
    return out;
}

inline std::uint32_t bits_of(float v) { return std::bit_cast<std::uint32_t>(v); }
inline float from_bits(std::uint32_t u) { return std::bit_cast<float>(u); }

// An encoder the test needs; a refusal throws its message, which fails the
// test that asked.
inline SpectralEncoder make_encoder(std::uint64_t dim, std::uint64_t top_k, std::uint8_t mag_bits = 8,
                                    std::uint8_t phase_bits = 8, std::uint8_t norm_bits = 8) {
    auto e = build_encoder(dim, top_k, mag_bits, phase_bits, norm_bits);
    if (!e) throw std::runtime_error(error_message(e.error()));
    return std::move(*e);
}

// A copy of an encoder's grid.
inline SpectralGrid as_grid(std::span<const float> g) { return SpectralGrid(g.begin(), g.end()); }

// Changes an encoder's grids: `edit(mag, phase, norm)` works on copies, which
// replace_grids then installs with the grid ends kept.
template <class Edit>
void edit_grids(SpectralEncoder& e, Edit edit) {
    SpectralGrid mag = as_grid(e.mag_grid()), phase = as_grid(e.phase_grid()), norm = as_grid(e.norm_grid());
    edit(mag, phase, norm);
    replace_grids(e, e.mag_lo(), e.mag_hi(), std::move(mag), std::move(phase), e.norm_lo(), e.norm_hi(),
                  std::move(norm));
}

// What an index means: its dense rows (F values per item) and its norms.
struct DenseRows {
    std::vector<float> mags, phases, norms;
};

inline DenseRows dense_of(const SpectralIndex& ix, std::size_t first = 0, std::size_t count = SIZE_MAX) {
    count = std::min(count, ix.size() - first);
    const std::size_t f = ix.encoder().f();
    DenseRows d;
    d.mags.assign(count * f, -1.0f);
    d.phases.assign(count * f, -1.0f);
    ix.dense_rows(first, count, d.mags, d.phases);
    const auto norms = ix.norms();
    d.norms.assign(norms.begin() + static_cast<std::ptrdiff_t>(first),
                   norms.begin() + static_cast<std::ptrdiff_t>(first + count));
    return d;
}

// The search as its definition reads, over given dense rows: the literal
// kernel, then s / ((qn * norm) * dim) when that divisor is > 0 else +0, then
// a full sort (higher first, NaN after every number, ties by ascending id),
// cut to top_k.
inline SpectralSearchResult oracle_search(const SpectralEncoder& e, const DenseRows& rows, const SpectralCodes& query,
                                          std::uint64_t top_k) {
    const std::size_t n = rows.norms.size();
    if (n == 0 || query.idx.empty()) return {};
    DecodedQuery dq;
    for (std::size_t j = 0; j < query.idx.size(); ++j) {
        dq.bins.push_back(query.idx[j]);
        dq.mags.push_back(e.mag_grid()[query.mag_q[j]]);
        dq.phases.push_back(e.phase_grid()[query.phase_q[j]]);
    }
    std::vector<float> s(n, 0.0f);
    accumulate_scores_plain(dq, rows.mags, rows.phases, e.f(), s);
    const float qn = e.norm_grid()[query.norm_q];
    const float big_d = static_cast<float>(e.dim());
    for (std::size_t r = 0; r < n; ++r) {
        const float qx = qn * rows.norms[r];
        const float d = qx * big_d;
        s[r] = d > 0.0f ? s[r] / d : 0.0f;
    }
    std::vector<std::uint32_t> ids(n);
    std::iota(ids.begin(), ids.end(), 0u);
    std::sort(ids.begin(), ids.end(), [&](std::uint32_t a, std::uint32_t b) {
        const bool na = std::isnan(s[a]), nb = std::isnan(s[b]);
        if (na != nb) return nb;
        if (!na && s[a] != s[b]) return s[a] > s[b];
        return a < b;
    });
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, n));
    SpectralSearchResult r;
    r.ids.assign(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(k));
    for (std::uint32_t id : r.ids) r.scores.push_back(s[id]);
    return r;
}

// The same over the index's own dense rows.
inline SpectralSearchResult oracle_search(const SpectralIndex& ix, const SpectralCodes& query, std::uint64_t top_k) {
    return oracle_search(ix.encoder(), dense_of(ix), query, top_k);
}

// A random entry among the first 256 of a grid (those codes can name).
inline float grid_entry(std::mt19937& rng, std::span<const float> g) {
    return g[rng() % std::min<std::size_t>(g.size(), 256)];
}

// Dense rows as a hand-made file may hold them: some made of grid entries
// only (kept as codes), others with values no grid holds, NaN payloads,
// -0, or a +0 magnitude with a non-zero phase.
inline DenseRows hostile_rows(const SpectralEncoder& e, std::mt19937& rng, std::size_t m) {
    const std::size_t f = e.f();
    std::uniform_real_distribution<float> wide(-8.0f, 8.0f);
    auto any_nan = [&] {
        return std::bit_cast<float>(static_cast<std::uint32_t>((rng() & 0x80000000u) | 0x7f800000u | (rng() & 0x7fffffu) | 1u));
    };
    auto odd_value = [&](std::span<const float> g) -> float {
        switch (rng() % 8) {
            case 0: return any_nan();
            case 1: return -0.0f;
            case 2: return 0.0f;
            case 3: return kInf;
            case 4: return 1e-40f;
            case 5: return grid_entry(rng, g);
            default: return wide(rng);
        }
    };
    DenseRows d;
    d.mags.assign(m * f, 0.0f);
    d.phases.assign(m * f, 0.0f);
    for (std::size_t i = 0; i < m; ++i) {
        const unsigned kind = rng() % 3;  // 0: grid entries only; 1: hostile; 2: +0 magnitudes, phases set
        for (std::size_t h = 0; h < f; ++h) {
            if (rng() % 2 == 0) continue;  // +0, +0: a bin not kept
            const std::size_t p = i * f + h;
            if (kind == 0) {
                d.mags[p] = grid_entry(rng, e.mag_grid());
                d.phases[p] = grid_entry(rng, e.phase_grid());
            } else if (kind == 1) {
                d.mags[p] = odd_value(e.mag_grid());
                d.phases[p] = odd_value(e.phase_grid());
            } else {
                d.mags[p] = 0.0f;
                d.phases[p] = rng() % 2 ? wide(rng) : grid_entry(rng, e.phase_grid());
            }
        }
        const unsigned nk = rng() % 6;
        d.norms.push_back(nk == 0 ? any_nan() : nk == 1 ? -0.0f : nk == 2 ? wide(rng) : grid_entry(rng, e.norm_grid()));
    }
    return d;
}

// Names and descriptions of parameterised cases. GoogleTest takes names of
// [A-Za-z0-9_] only, and prints a parameter it has no printer for as its raw
// bytes.
namespace detail {
template <class T>
void put(std::ostream& os, const T& v) {
    if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int8_t>) {
        os << +v;  // a number, not a character
    } else if constexpr (std::is_floating_point_v<T>) {
        const auto kept = os.precision(std::numeric_limits<T>::max_digits10);  // enough to tell floats apart
        os << v;
        os.precision(kept);
    } else {
        os << v;
    }
}
}  // namespace detail

// Labels and numbers run together: case_name("Dim", 4, "TopK", 3) is "Dim4TopK3".
template <class... Parts>
std::string case_name(const Parts&... parts) {
    std::ostringstream os;
    (detail::put(os, parts), ...);
    return os.str();
}

// A case's fields as label, value pairs: print_fields(os, "dim", 4, "top_k", 3)
// writes "{dim 4, top_k 3}".
template <class... Fields>
void print_fields(std::ostream* os, const Fields&... fields) {
    static_assert(sizeof...(Fields) % 2 == 0, "a label for every value");
    std::size_t i = 0;
    *os << '{';
    ((*os << (i == 0 ? "" : i % 2 == 0 ? ", " : " "), detail::put(*os, fields), ++i), ...);
    *os << '}';
}

// The name generator of a table whose rows carry a `name`.
struct ByName {
    template <class Info>
    std::string operator()(const Info& info) const {
        return std::string(info.param.name);
    }
};

// The name generator of a table of plain numbers: the label, then the number.
struct ByNumber {
    const char* label;
    template <class Info>
    std::string operator()(const Info& info) const {
        return case_name(label, info.param);
    }
};

}  // namespace korvane::testing

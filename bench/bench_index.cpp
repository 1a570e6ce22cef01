// Times one search over an index of encoded vectors, Gaussian and smooth,
// against the literal kernel over the same dense rows, and checks that both
// give the same bits. Usage: bench_index [items] [dim] [top_k]
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <complex>
#include <fftw3.h>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "codec/encoder.hpp"
#include "index/index.hpp"
#include "simd/scoring.hpp"

using namespace korvane;

namespace {

template <class F>
double best_ms(int reps, F&& f) {
    double best = 1e300;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

std::vector<float> gaussian_rows(std::size_t n, std::size_t dim, std::mt19937& rng) {
    std::normal_distribution<float> g;
    std::vector<float> out(n * dim);
    for (float& v : out) v = g(rng);
    return out;
}

// Signals whose spectra decay with frequency, made by an inverse transform.
std::vector<float> smooth_rows(std::size_t n, std::size_t dim, std::mt19937& rng) {
    std::normal_distribution<float> g;
    const std::size_t f = dim / 2 + 1;
    std::vector<float> out(n * dim);
    fftwf_complex* spectrum = fftwf_alloc_complex(f);
    float* x = fftwf_alloc_real(dim);
    fftwf_plan plan = fftwf_plan_dft_c2r_1d(static_cast<int>(dim), spectrum, x, FFTW_ESTIMATE);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t h = 0; h < f; ++h) {
            const float decay = std::exp(-0.08f * static_cast<float>(h));
            spectrum[h][0] = g(rng) * decay;
            spectrum[h][1] = g(rng) * decay;
        }
        fftwf_execute(plan);
        std::copy_n(x, dim, out.begin() + static_cast<std::ptrdiff_t>(r * dim));
    }
    fftwf_destroy_plan(plan);
    fftwf_free(x);
    fftwf_free(spectrum);
    return out;
}

void run(const char* name, const std::vector<float>& rows, std::size_t n, std::size_t dim, std::size_t top_k) {
    auto enc = build_encoder(dim, top_k, 8, 8, 8);
    if (!enc) std::abort();
    SpectralIndex index(*enc);
    if (!index.add_rows(rows)) std::abort();
    auto query = encode_one(*enc, std::span<const float>(rows).subspan(5 * dim, dim));
    if (!query) std::abort();

    SpectralSearchResult result;
    const double fast = best_ms(30, [&] { result = *index.search_codes(*query, 64); });

    // The literal kernel over the dense rows, for time and bits.
    const std::size_t f = enc->f();
    std::vector<float> mags(n * f), phases(n * f);
    index.dense_rows(0, n, mags, phases);
    DecodedQuery q;
    for (std::size_t j = 0; j < query->idx.size(); ++j) {
        q.bins.push_back(query->idx[j]);
        q.mags.push_back(enc->mag_grid()[query->mag_q[j]]);
        q.phases.push_back(enc->phase_grid()[query->phase_q[j]]);
    }
    std::vector<float> s(n);
    const double literal = best_ms(3, [&] {
        std::fill(s.begin(), s.end(), 0.0f);
        accumulate_scores_plain(q, mags, phases, f, s);
    });
    const float qn = enc->norm_grid()[query->norm_q];
    std::size_t differ = 0;
    for (std::size_t i = 0; i < result.ids.size(); ++i) {
        const float d = (qn * index.norms()[result.ids[i]]) * static_cast<float>(dim);
        const float want = d > 0.0f ? s[result.ids[i]] / d : 0.0f;
        differ += std::bit_cast<std::uint32_t>(want) != std::bit_cast<std::uint32_t>(result.scores[i]);
    }
    std::printf("%-9s search %8.3f ms   literal kernel %8.2f ms   %6.1f B/item   top scores differing: %zu\n", name,
                fast, literal, static_cast<double>(index.memory_bytes()) / static_cast<double>(n), differ);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const std::size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 768;
    const std::size_t top_k = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 64;
    std::mt19937 rng(7);
    std::printf("%zu items, dim %zu, top_k %zu, 8/8/8 bits, one query, best of 30\n", n, dim, top_k);
    run("gaussian", gaussian_rows(n, dim, rng), n, dim, top_k);
    run("smooth", smooth_rows(n, dim, rng), n, dim, top_k);
}

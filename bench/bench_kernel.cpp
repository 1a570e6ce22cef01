// Times the scoring kernel against its plain column-wise reference on one
// index, and checks that both give the same bits.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "codec/encoder.hpp"
#include "index/index.hpp"
#include "index/simd.hpp"

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

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    const std::size_t dim = 384, top_k = 48;
    auto enc = build_encoder(dim, top_k, 6, 6, 8);
    if (!enc) return 1;
    std::mt19937 rng(1);
    std::normal_distribution<float> normal;
    std::vector<float> flat(n * dim);
    for (float& v : flat) v = normal(rng);
    SpectralIndex index = make_index(*enc);
    auto rows = encode_rows(index.encoder, flat);
    if (!rows || !add_codes(index, *rows)) return 1;

    const SpectralCodes& query = (*rows)[0];
    DecodedQuery q;
    for (std::size_t j = 0; j < query.idx.size(); ++j) {
        q.bins.push_back(query.idx[j]);
        q.mags.push_back(index.encoder.mag_grid[query.mag_q[j]]);
        q.phases.push_back(index.encoder.phase_grid[query.phase_q[j]]);
    }
    std::vector<float> fast(n), ref(n);
    const double t_ref = best_ms(5, [&] {
        std::fill(ref.begin(), ref.end(), 0.0f);
        accumulate_scores_reference(q, index.mags, index.phases, index.encoder.f, ref);
    });
    const double t_fast = best_ms(5, [&] {
        std::fill(fast.begin(), fast.end(), 0.0f);
        accumulate_scores(q, index.mags, index.phases, index.encoder.f, fast);
    });
    q.phase_grid = index.encoder.phase_grid;
    std::vector<float> table(n);
    const double t_table = best_ms(5, [&] {
        std::fill(table.begin(), table.end(), 0.0f);
        accumulate_scores(q, index.mags, index.phases, index.encoder.f, table);
    });
    const double t_search = best_ms(5, [&] { (void)search_codes(index, query, 10); });
    const bool same = std::memcmp(fast.data(), ref.data(), n * 4) == 0 && std::memcmp(table.data(), ref.data(), n * 4) == 0;
    std::printf("items %zu, dim %zu, top_k %zu, query bins %zu\n", n, dim, top_k, q.bins.size());
    std::printf("%-36s %10.3f ms\n", "reference kernel (baseline)", t_ref);
    std::printf("%-36s %10.3f ms  (%.1fx)\n", "kernel, cosine per kept bin", t_fast, t_ref / t_fast);
    std::printf("%-36s %10.3f ms  (%.1fx)\n", "kernel, cosine table", t_table, t_ref / t_table);
    std::printf("%-36s %10.3f ms\n", "search_codes, top 10", t_search);
    std::printf("scores identical to the reference: %s\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}

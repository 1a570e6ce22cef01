#include "codec/retention.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <string>

#include "codec/encoder.hpp"
#include "codec/fft.hpp"

namespace korvane {

Result<RetentionPairs> spectral_energy_retention(std::span<const float> values, std::uint64_t dim,
                                                 std::span<const std::uint64_t> top_k_list) {
    const std::size_t len = values.size();
    if (len == 0) return RetentionPairs{};
    // A dimension of 0 divides nothing: report it as the length mismatch.
    if (dim == 0 || len % dim != 0) return fail(BufferLength{dim, len});
    const std::size_t n = len / dim;
    const std::uint64_t f = dim / 2 + 1;
    std::uint64_t largest = 0;
    for (std::uint64_t k : top_k_list) largest = std::max(largest, k);
    if (largest > f) return fail(TopKExceedsF{largest, f});

    auto plan = SpectralFftPlan::forward(dim);
    if (!plan) return fail(plan.error());
    FftBuffer buffer(dim);
    std::vector<std::complex<float>> scratch(plan->scratch_len());

    // Row r holds its F powers largest first, then is turned into running
    // sums, so that a_r = row[k-1] and b_r = row[F-1] as left-to-right sums.
    std::vector<float> table(n * f);
    for (std::size_t r = 0; r < n; ++r) {
        const std::span<const float> x = values.subspan(r * dim, dim);
        scale_and_transform(*plan, x, vector_norm(x), Scaling::by_reciprocal, buffer, scratch);
        float* row = table.data() + r * f;
        for (std::size_t j = 0; j < f; ++j) {
            const float re = buffer[j].real();
            const float im = buffer[j].imag();
            const float rr = re * re;
            const float ii = im * im;
            row[j] = rr + ii;
            if (std::isnan(row[j]))
                return fail(invalid_input("embeddings row " + std::to_string(r) + " holds NaN or infinite values"));
        }
        std::sort(row, row + f, std::greater<float>());
        for (std::size_t j = 1; j < f; ++j) row[j] = row[j - 1] + row[j];
    }

    float total = 0.0f;
    for (std::size_t r = 0; r < n; ++r) total = total + table[r * f + f - 1];

    RetentionPairs out;
    out.reserve(top_k_list.size());
    for (std::uint64_t k : top_k_list) {
        float ratio = 1.0f;
        if (k != 0 && k != f) {
            float kept = 0.0f;
            for (std::size_t r = 0; r < n; ++r) kept = kept + table[r * f + (k - 1)];
            ratio = total > 0.0f ? kept / total : 0.0f;
        }
        out.emplace_back(k, ratio);
    }
    return out;
}

}  // namespace korvane

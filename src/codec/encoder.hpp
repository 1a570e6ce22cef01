// Encoder configuration, encoding of vectors into codes, magnitude-grid
// calibration and the byte accounting of one encoded vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/error.hpp"
#include "codec/fft.hpp"
#include "codec/grid.hpp"

namespace korvane {

// Bin numbers are stored in 16 bits, so F = dim/2 + 1 may not pass 65,536.
inline constexpr std::uint64_t kMaxDim = 131071;

struct SpectralEncoder {
    SpectralGrid mag_grid;
    SpectralGrid phase_grid;
    SpectralGrid norm_grid;
    SpectralFftPlan fft_forward;  // shared by every copy
    std::uint64_t dim = 0;
    std::uint64_t top_k = 0;
    std::uint64_t f = 0;
    float mag_lo = 0.0f;
    float mag_hi = 0.0f;
    float norm_lo = 0.0f;
    float norm_hi = 0.0f;
    std::uint8_t mag_bits = 0;
    std::uint8_t phase_bits = 0;
    std::uint8_t norm_bits = 0;
};

// One encoded vector.
struct SpectralCodes {
    std::vector<std::uint16_t> idx;     // kept bins
    std::vector<std::uint8_t> mag_q;    // code into mag_grid, per kept bin
    std::vector<std::uint8_t> phase_q;  // code into phase_grid, per kept bin
    std::uint16_t norm_q = 0;           // code into norm_grid
};

// The checks of build_encoder, in its order, without building anything.
Status check_encoder_config(std::uint64_t dim, std::uint64_t top_k, std::uint8_t mag_bits, std::uint8_t phase_bits,
                            std::uint8_t norm_bits);

Result<SpectralEncoder> build_encoder(std::uint64_t dim, std::uint64_t top_k, std::uint8_t mag_bits,
                                      std::uint8_t phase_bits, std::uint8_t norm_bits);

Result<SpectralCodes> encode_one(const SpectralEncoder& encoder, std::span<const float> x);
Result<std::vector<SpectralCodes>> encode_rows(const SpectralEncoder& encoder, std::span<const float> flat);
SpectralCodes clone_codes(const SpectralCodes& codes);

// Refits mag_lo, mag_hi and mag_grid to a flat sample of rows; on any error
// the encoder is left as it was.
Status calibrate(SpectralEncoder& encoder, std::span<const float> sample);

// ((ceil(log2 F) + mag_bits + phase_bits) * top_k + 7) / 8.
std::uint64_t bytes_per_chunk(const SpectralEncoder& encoder);

// The norm as the codec measures it: the sum of squares in index order, each
// square and each sum rounded on its own, then the correctly rounded root.
float vector_norm(std::span<const float> x);

// The divisor a vector is scaled by: its norm, floored at 1e-9 (a NaN norm
// takes the floor).
inline float floored_norm(float norm) { return norm > 1e-9f ? norm : 1e-9f; }

// Float to unsigned 64-bit: truncation toward zero; NaN and negatives give 0,
// values of 2^64 and more give 2^64 - 1.
std::uint64_t saturating_u64(float v);

}  // namespace korvane

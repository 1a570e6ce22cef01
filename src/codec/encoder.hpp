// Encoder configuration, encoding of vectors into codes, magnitude-grid
// calibration and the byte accounting of one encoded vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/error.hpp"
#include "codec/fft.hpp"
#include "codec/grid.hpp"

namespace korvane {

// Bin numbers are stored in 16 bits, so F = dim/2 + 1 may not pass 65,536.
inline constexpr std::uint64_t kMaxDim = 131071;

// What encoding derives from the three grids (see encoder.cpp).
struct EncoderTables;

// The configuration, the grids and grid ends, and the tables encoding
// derives from the grids. Only build_encoder, build_encoder_with_grids,
// replace_grids and calibrate make an encoder or change its grids, and each
// of them makes the tables with the grids, so the tables always belong to
// them. Copies share the plan and the tables and keep grids of their own.
class SpectralEncoder {
public:
    std::uint64_t dim() const { return dim_; }
    std::uint64_t top_k() const { return top_k_; }
    std::uint64_t f() const { return f_; }
    std::uint8_t mag_bits() const { return mag_bits_; }
    std::uint8_t phase_bits() const { return phase_bits_; }
    std::uint8_t norm_bits() const { return norm_bits_; }
    float mag_lo() const { return mag_lo_; }
    float mag_hi() const { return mag_hi_; }
    float norm_lo() const { return norm_lo_; }
    float norm_hi() const { return norm_hi_; }
    std::span<const float> mag_grid() const { return mag_grid_; }
    std::span<const float> phase_grid() const { return phase_grid_; }
    std::span<const float> norm_grid() const { return norm_grid_; }
    const SpectralFftPlan& fft_forward() const { return fft_forward_; }
    const EncoderTables& tables() const { return *tables_; }

private:
    SpectralEncoder() = default;

    friend Result<SpectralEncoder> build_encoder(std::uint64_t, std::uint64_t, std::uint8_t, std::uint8_t,
                                                 std::uint8_t);
    friend Result<SpectralEncoder> build_encoder_with_grids(std::uint64_t, std::uint64_t, std::uint8_t, std::uint8_t,
                                                            std::uint8_t, SpectralGrid, SpectralGrid, SpectralGrid);
    friend void replace_grids(SpectralEncoder&, float, float, SpectralGrid, SpectralGrid, float, float, SpectralGrid);
    friend Status calibrate(SpectralEncoder&, std::span<const float>);

    SpectralGrid mag_grid_;
    SpectralGrid phase_grid_;
    SpectralGrid norm_grid_;
    SpectralFftPlan fft_forward_;  // shared by every copy
    std::uint64_t dim_ = 0;
    std::uint64_t top_k_ = 0;
    std::uint64_t f_ = 0;
    float mag_lo_ = 0.0f;
    float mag_hi_ = 0.0f;
    float norm_lo_ = 0.0f;
    float norm_hi_ = 0.0f;
    std::uint8_t mag_bits_ = 0;
    std::uint8_t phase_bits_ = 0;
    std::uint8_t norm_bits_ = 0;
    // Made with the grids above, never changed, and shared by copies.
    std::shared_ptr<const EncoderTables> tables_;
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

// An encoder as an index file records it: the configuration checked as
// build_encoder checks it, the grid ends build_encoder sets, and the
// given grids as they are, in place of the default ones.
Result<SpectralEncoder> build_encoder_with_grids(std::uint64_t dim, std::uint64_t top_k, std::uint8_t mag_bits,
                                                 std::uint8_t phase_bits, std::uint8_t norm_bits,
                                                 SpectralGrid mag_grid, SpectralGrid phase_grid,
                                                 SpectralGrid norm_grid);

Result<SpectralCodes> encode_one(const SpectralEncoder& encoder, std::span<const float> x);
Result<std::vector<SpectralCodes>> encode_rows(const SpectralEncoder& encoder, std::span<const float> flat);

// The plain encoding of one vector, step by step in the order the codec
// defines: the oracle that encode_one and encode_rows are tested against.
// Gives exactly what they give, errors included.
Result<SpectralCodes> encode_one_plain(const SpectralEncoder& encoder, std::span<const float> x);

// Installs new grids and grid ends, as they are: any lengths and any values
// are admitted (encoding refuses grids that its codes cannot address). The
// tables are made first, so on an exception the encoder is unchanged.
void replace_grids(SpectralEncoder& encoder, float mag_lo, float mag_hi, SpectralGrid mag_grid,
                   SpectralGrid phase_grid, float norm_lo, float norm_hi, SpectralGrid norm_grid);
SpectralCodes clone_codes(const SpectralCodes& codes);

// Refits mag_lo, mag_hi and mag_grid to a flat sample of rows; on any error
// the encoder is left as it was.
Status calibrate(SpectralEncoder& encoder, std::span<const float> sample);

// ((ceil(log2 F) + mag_bits + phase_bits) * top_k + 7) / 8.
std::uint64_t bytes_per_chunk(std::uint64_t f, std::uint64_t top_k, std::uint8_t mag_bits, std::uint8_t phase_bits);
std::uint64_t bytes_per_chunk(const SpectralEncoder& encoder);

// The norm as the codec measures it: the sum of squares in index order, each
// square and each sum rounded on its own, then the correctly rounded root.
float vector_norm(std::span<const float> x);

// The divisor a vector is scaled by: its norm, floored at 1e-9 (a NaN norm
// takes the floor).
inline float floored_norm(float norm) { return norm > 1e-9f ? norm : 1e-9f; }

// How a vector is brought to unit length before its transform. Encoding and
// retention multiply every value by the rounded reciprocal of the floored
// norm; calibration divides every value by the floored norm. The two differ
// in the last bit for some values, and each caller keeps its own.
enum class Scaling { by_reciprocal, by_division };

// Fills `buffer` (plan length) with (x_i scaled, 0) and runs the forward
// transform in place.
void scale_and_transform(const SpectralFftPlan& plan, std::span<const float> x, float norm, Scaling scaling,
                         FftBuffer& buffer, std::span<std::complex<float>> scratch);

// Float to unsigned 64-bit: truncation toward zero; NaN and negatives give 0,
// values of 2^64 and more give 2^64 - 1.
std::uint64_t saturating_u64(float v);

}  // namespace korvane

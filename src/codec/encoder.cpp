#include "codec/encoder.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <optional>
#include <string>

#include "simd/certain_codes.hpp"
#include "simd/selection.hpp"
#include "simd/vector_steps.hpp"

namespace korvane {

namespace {

// Codes are 8 bits (magnitude, phase) and 16 bits (norm) wide.
constexpr std::size_t kMaxMagPhaseEntries = 256;
constexpr std::size_t kMaxNormEntries = 65536;

// The grid ends of a built encoder.
constexpr float kDefaultMagLo = 0.001f;
constexpr float kDefaultNormLo = 0.5f;
constexpr float kDefaultNormHi = 2.0f;
float default_mag_hi(std::uint64_t f) { return std::sqrt(static_cast<float>(f)); }

Status check_grid(std::span<const float> grid, const char* name, std::size_t max_entries) {
    if (!grid.empty() && grid.size() <= max_entries) return {};
    return fail(invalid_input(std::string(name) + " has " + std::to_string(grid.size()) +
                              " entries, but its codes can address 1 to " + std::to_string(max_entries)));
}

// Whether codes can address every entry of the grids: the one check of grid
// lengths, made when the grids are installed.
Status check_grids_encodable(std::span<const float> mag, std::span<const float> phase, std::span<const float> norm) {
    if (auto s = check_grid(mag, "mag_grid", kMaxMagPhaseEntries); !s) return s;
    if (auto s = check_grid(phase, "phase_grid", kMaxMagPhaseEntries); !s) return s;
    return check_grid(norm, "norm_grid", kMaxNormEntries);
}

// The plain encoding, kept as the oracle of the fast one below: every step
// as the codec defines it, one vector at a time, tables made per call.
class PlainEncoding {
public:
    explicit PlainEncoding(const SpectralEncoder& e)
        : enc_(e),
          buffer_(e.dim()),
          scratch_(e.fft_forward().scratch_len()),
          mags_(e.f()),
          mag_logs_(e.mag_grid()),
          norm_logs_(e.norm_grid()) {
        if (e.top_k() < e.f()) order_.resize(e.f());
    }

    SpectralCodes encode(std::span<const float> x) {
        const std::size_t dim = enc_.dim();
        const std::size_t f = enc_.f();

        const float norm = vector_norm(x);
        const float inv = 1.0f / floored_norm(norm);
        for (std::size_t i = 0; i < dim; ++i) buffer_[i] = {inv * x[i], 0.0f};

        forward_transform(enc_.fft_forward(), buffer_, scratch_);

        for (std::size_t b = 0; b < f; ++b) {
            const float re = buffer_[b].real();
            const float im = buffer_[b].imag();
            mags_[b] = hypotf(re, im);
        }

        SpectralCodes codes;
        const std::size_t k = enc_.top_k() < f ? enc_.top_k() : f;
        codes.idx.resize(k);
        if (enc_.top_k() < f) {
            // Descending magnitude, equal magnitudes lower bin first, as one
            // integer key per bin: magnitudes are >= 0, whose bit patterns
            // order like the values. NaN magnitudes (only from NaN or
            // infinite input) go after every number, so the order stays
            // total and deterministic. Bins are distinct, so keys are too,
            // and selecting the first k then sorting them gives exactly the
            // first k of a full sort.
            for (std::size_t b = 0; b < f; ++b) {
                const float m = mags_[b];
                const std::uint64_t rank =
                    std::isnan(m) ? 0xFFFFFFFFull : 0x7F800000ull - (m == 0.0f ? 0u : std::bit_cast<std::uint32_t>(m));
                order_[b] = rank << 32 | b;
            }
            const auto kth = order_.begin() + static_cast<std::ptrdiff_t>(k);
            std::nth_element(order_.begin(), kth - 1, order_.end());
            std::sort(order_.begin(), kth);
            for (std::size_t j = 0; j < k; ++j) codes.idx[j] = static_cast<std::uint16_t>(order_[j] & 0xFFFFFFFFu);
        } else {
            for (std::size_t j = 0; j < k; ++j) codes.idx[j] = static_cast<std::uint16_t>(j);
        }

        codes.mag_q.resize(k);
        codes.phase_q.resize(k);
        for (std::size_t j = 0; j < k; ++j) codes.mag_q[j] = static_cast<std::uint8_t>(mag_logs_.nearest(mags_[codes.idx[j]]));
        for (std::size_t j = 0; j < k; ++j) {
            // Only kept bins need their phase.
            const std::complex<float> bin = buffer_[codes.idx[j]];
            float p = atan2f(bin.imag(), bin.real());
            if (p < 0.0f) p = p + kTwoPi;  // once; NaN and -0.0 stay as they are
            codes.phase_q[j] = static_cast<std::uint8_t>(first_nearest(enc_.phase_grid(), p));
        }
        codes.norm_q = static_cast<std::uint16_t>(norm_logs_.nearest(norm));  // the norm before the floor
        return codes;
    }

private:
    const SpectralEncoder& enc_;
    FftBuffer buffer_;
    std::vector<std::complex<float>> scratch_;
    std::vector<float> mags_;
    std::vector<std::uint64_t> order_;  // (rank << 32) | bin
    LogGridTable mag_logs_;
    LogGridTable norm_logs_;
};

}  // namespace

// The three grids as encoding searches them. `refusal` is set when codes
// cannot address a grid; the search tables are then left empty.
struct EncoderTables {
    std::optional<SpectralError> refusal;
    NearestTable mag_logs, phases, norm_logs;
    CertainCodes certain_mags, certain_phases;  // of mag_logs and phases
};

namespace {

std::shared_ptr<const EncoderTables> make_tables(std::span<const float> mag, std::span<const float> phase,
                                                 std::span<const float> norm) {
    auto t = std::make_shared<EncoderTables>();
    if (auto s = check_grids_encodable(mag, phase, norm); !s) {
        t->refusal = s.error();
        return t;
    }
    t->mag_logs = NearestTable::of_logs(mag);
    t->phases = NearestTable(std::vector<float>(phase.begin(), phase.end()));
    // logf of a normal float lies within +-88.8; phases within [0, 2*pi].
    t->certain_mags = CertainCodes(t->mag_logs.values(), 90.0);
    t->certain_phases = CertainCodes(phase, 7.0);
    t->norm_logs = NearestTable::of_logs(norm);
    return t;
}

// The working state of the fast encoding, made once per call and reused for
// every row.
class FastEncoding {
public:
    FastEncoding(const SpectralEncoder& e, const EncoderTables& t)
        : enc_(e),
          tables_(t),
          buffer_(e.dim()),
          scratch_(e.fft_forward().scratch_len()),
          mags_(e.f()) {}

    // `norm` is vector_norm(x).
    SpectralCodes encode(std::span<const float> x, float norm) {
        const std::size_t f = enc_.f();
        scale_and_transform(enc_.fft_forward(), x, norm, Scaling::by_reciprocal, buffer_, scratch_);
        bin_magnitudes(buffer_.data(), f, mags_.data());

        SpectralCodes codes;
        const std::size_t k = enc_.top_k() < f ? enc_.top_k() : f;
        codes.idx.resize(k);
        if (enc_.top_k() < f) {
            select_strongest(mags_, k, codes.idx.data(), work_);
        } else {
            for (std::size_t j = 0; j < k; ++j) codes.idx[j] = static_cast<std::uint16_t>(j);
        }
        codes.mag_q.resize(k);
        codes.phase_q.resize(k);
        certain_.resize(k);
        certain_magnitude_codes(mags_.data(), codes.idx.data(), k, tables_.certain_mags, certain_.data());
        for (std::size_t j = 0; j < k; ++j) {
            const int code = certain_[j];
            codes.mag_q[j] = static_cast<std::uint8_t>(
                code >= 0 ? static_cast<std::size_t>(code) : tables_.mag_logs.nearest(logf(mags_[codes.idx[j]])));
        }
        certain_phase_codes(buffer_.data(), codes.idx.data(), k, tables_.certain_phases, certain_.data());
        for (std::size_t j = 0; j < k; ++j) {
            if (certain_[j] >= 0) {
                codes.phase_q[j] = static_cast<std::uint8_t>(certain_[j]);
                continue;
            }
            const std::complex<float> bin = buffer_[codes.idx[j]];
            float p = atan2f(bin.imag(), bin.real());
            if (p < 0.0f) p = p + kTwoPi;
            codes.phase_q[j] = static_cast<std::uint8_t>(tables_.phases.nearest(p));
        }
        codes.norm_q = static_cast<std::uint16_t>(tables_.norm_logs.nearest(logf(norm)));
        return codes;
    }

private:
    const SpectralEncoder& enc_;
    const EncoderTables& tables_;
    FftBuffer buffer_;
    std::vector<std::complex<float>> scratch_;
    std::vector<float> mags_;
    SelectionSpace work_;
    // Codes decided from values of our own where certain, -1 elsewhere
    // (certain_magnitude_codes, certain_phase_codes).
    std::vector<int> certain_;
};

}  // namespace

void scale_and_transform(const SpectralFftPlan& plan, std::span<const float> x, float norm, Scaling scaling,
                         FftBuffer& buffer, std::span<std::complex<float>> scratch) {
    const std::size_t dim = x.size();
    const float w = floored_norm(norm);
    if (scaling == Scaling::by_reciprocal) {
        scaled_to_complex(x.data(), dim, 1.0f / w, false, buffer.data());
    } else {
        scaled_to_complex(x.data(), dim, w, true, buffer.data());
    }
    forward_transform(plan, buffer, scratch);
}

void replace_grids(SpectralEncoder& encoder, float mag_lo, float mag_hi, SpectralGrid mag_grid,
                   SpectralGrid phase_grid, float norm_lo, float norm_hi, SpectralGrid norm_grid) {
    auto tables = make_tables(mag_grid, phase_grid, norm_grid);
    encoder.mag_lo_ = mag_lo;
    encoder.mag_hi_ = mag_hi;
    encoder.mag_grid_ = std::move(mag_grid);
    encoder.phase_grid_ = std::move(phase_grid);
    encoder.norm_lo_ = norm_lo;
    encoder.norm_hi_ = norm_hi;
    encoder.norm_grid_ = std::move(norm_grid);
    encoder.tables_ = std::move(tables);
}

float vector_norm(std::span<const float> x) {
    float s = 0.0f;
    for (float v : x) {
        const float sq = v * v;
        s = s + sq;
    }
    return std::sqrt(s);
}

std::uint64_t saturating_u64(float v) {
    if (!(v > 0.0f)) return 0;  // NaN, zero and negatives
    if (v >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

Status check_encoder_config(std::uint64_t dim, std::uint64_t top_k, std::uint8_t mag_bits, std::uint8_t phase_bits,
                            std::uint8_t norm_bits) {
    if (dim < 4) return fail(DimensionMismatch{4, dim});
    const std::uint64_t f = dim / 2 + 1;
    if (top_k - 1 > dim / 2) return fail(TopKExceedsF{top_k, f});  // wraps for top_k = 0
    for (std::uint8_t bits : {mag_bits, phase_bits, norm_bits})
        if (bits >= 31) return fail(invalid_grid_size(bits));
    if (dim > kMaxDim)
        return fail(invalid_input("dim " + std::to_string(dim) + " gives F = " + std::to_string(f) +
                                  " bins, more than 16-bit bin numbers can address (dim must be at most " +
                                  std::to_string(kMaxDim) + ")"));
    return {};
}

Result<SpectralEncoder> build_encoder_with_grids(std::uint64_t dim, std::uint64_t top_k, std::uint8_t mag_bits,
                                                 std::uint8_t phase_bits, std::uint8_t norm_bits,
                                                 SpectralGrid mag_grid, SpectralGrid phase_grid,
                                                 SpectralGrid norm_grid) {
    if (auto s = check_encoder_config(dim, top_k, mag_bits, phase_bits, norm_bits); !s) return fail(s.error());
    auto plan = SpectralFftPlan::forward(dim);
    if (!plan) return fail(plan.error());
    SpectralEncoder e;
    e.fft_forward_ = std::move(*plan);
    e.dim_ = dim;
    e.top_k_ = top_k;
    e.f_ = dim / 2 + 1;
    e.mag_bits_ = mag_bits;
    e.phase_bits_ = phase_bits;
    e.norm_bits_ = norm_bits;
    replace_grids(e, kDefaultMagLo, default_mag_hi(e.f_), std::move(mag_grid), std::move(phase_grid), kDefaultNormLo,
                  kDefaultNormHi, std::move(norm_grid));
    return e;
}

Result<SpectralEncoder> build_encoder(std::uint64_t dim, std::uint64_t top_k, std::uint8_t mag_bits,
                                      std::uint8_t phase_bits, std::uint8_t norm_bits) {
    if (auto s = check_encoder_config(dim, top_k, mag_bits, phase_bits, norm_bits); !s) return fail(s.error());
    auto mag_grid = log_grid(kDefaultMagLo, default_mag_hi(dim / 2 + 1), mag_bits);
    if (!mag_grid) return fail(mag_grid.error());
    auto norm_grid = log_grid(kDefaultNormLo, kDefaultNormHi, norm_bits);
    if (!norm_grid) return fail(norm_grid.error());
    return build_encoder_with_grids(dim, top_k, mag_bits, phase_bits, norm_bits, std::move(*mag_grid),
                                    uniform_phase_grid(phase_bits), std::move(*norm_grid));
}

Result<SpectralCodes> encode_one_plain(const SpectralEncoder& encoder, std::span<const float> x) {
    if (x.size() != encoder.dim()) return fail(DimensionMismatch{encoder.dim(), x.size()});
    if (const auto& refusal = encoder.tables().refusal) return fail(*refusal);
    return PlainEncoding(encoder).encode(x);
}

Result<SpectralCodes> encode_one(const SpectralEncoder& encoder, std::span<const float> x) {
    if (x.size() != encoder.dim()) return fail(DimensionMismatch{encoder.dim(), x.size()});
    const EncoderTables& tables = encoder.tables();
    if (tables.refusal) return fail(*tables.refusal);
    return FastEncoding(encoder, tables).encode(x, vector_norm(x));
}

Result<std::vector<SpectralCodes>> encode_rows(const SpectralEncoder& encoder, std::span<const float> flat) {
    const std::size_t dim = encoder.dim();
    if (flat.size() % dim != 0) return fail(BufferLength{dim, flat.size()});
    const std::size_t rows = flat.size() / dim;
    std::vector<SpectralCodes> out;
    if (rows == 0) return out;
    const EncoderTables& tables = encoder.tables();
    if (tables.refusal) return fail(*tables.refusal);
    out.reserve(rows);
    FastEncoding encoding(encoder, tables);
    for (std::size_t r0 = 0; r0 < rows; r0 += kLanes) {
        // Eight rows' sums of squares at once; a last short group repeats
        // its first row in the spare lanes.
        const std::size_t count = std::min(kLanes, rows - r0);
        const float* starts[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) starts[l] = flat.data() + (r0 + (l < count ? l : 0)) * dim;
        float sums[kLanes];
        sums_of_squares8(starts, dim, sums);
        for (std::size_t l = 0; l < count; ++l)
            out.push_back(encoding.encode(flat.subspan((r0 + l) * dim, dim), std::sqrt(sums[l])));
    }
    return out;
}

SpectralCodes clone_codes(const SpectralCodes& codes) { return codes; }

Status calibrate(SpectralEncoder& encoder, std::span<const float> sample) {
    const std::size_t len = sample.size();
    if (len == 0) return {};
    const std::size_t dim = encoder.dim();
    if (len % dim != 0) return fail(BufferLength{dim, len});
    const std::size_t rows = len / dim;
    const std::size_t f = encoder.f();
    const std::size_t top_k = encoder.top_k() < f ? encoder.top_k() : f;

    FftBuffer buffer(dim);
    std::vector<std::complex<float>> scratch(encoder.fft_forward().scratch_len());
    std::vector<float> mags(f);
    std::vector<float> collection;
    collection.reserve(rows * top_k);

    for (std::size_t r = 0; r < rows; ++r) {
        const std::span<const float> x = sample.subspan(r * dim, dim);
        scale_and_transform(encoder.fft_forward(), x, vector_norm(x), Scaling::by_division, buffer, scratch);
        bin_magnitudes(buffer.data(), f, mags.data());
        for (std::size_t j = 0; j < f; ++j) {
            // Selection and sorting need a total order, which NaN breaks.
            if (std::isnan(mags[j]))
                return fail(invalid_input("calibration sample row " + std::to_string(r) +
                                          " holds NaN or infinite values"));
        }
        if (top_k < f)
            std::nth_element(mags.begin(), mags.begin() + static_cast<std::ptrdiff_t>(top_k - 1), mags.end(),
                             std::greater<float>());
        collection.insert(collection.end(), mags.begin(), mags.begin() + static_cast<std::ptrdiff_t>(top_k));
    }

    std::sort(collection.begin(), collection.end());
    const std::size_t m = collection.size();
    const float big_m = static_cast<float>(m);
    const std::size_t lo = std::min<std::uint64_t>(saturating_u64(big_m * 0.01f), m - 1);
    const std::size_t hi = std::min<std::uint64_t>(saturating_u64(big_m * 0.99f), m - 1);
    const float mag_lo = std::fmax(collection[lo], 0.001f);
    const float t = mag_lo * 10.0f;
    const float mag_hi = std::fmax(collection[hi], t);

    auto grid = log_grid(mag_lo, mag_hi, encoder.mag_bits());
    if (!grid) return fail(grid.error());
    auto tables = make_tables(*grid, encoder.phase_grid_, encoder.norm_grid_);
    encoder.mag_lo_ = mag_lo;
    encoder.mag_hi_ = mag_hi;
    encoder.mag_grid_ = std::move(*grid);
    encoder.tables_ = std::move(tables);
    return {};
}

std::uint64_t bytes_per_chunk(std::uint64_t f, std::uint64_t top_k, std::uint8_t mag_bits, std::uint8_t phase_bits) {
    const std::uint64_t bin_bits = saturating_u64(std::ceil(log2f(static_cast<float>(f))));
    const std::uint64_t bits_per_bin = bin_bits + mag_bits + phase_bits;
    return (bits_per_bin * top_k + 7) / 8;
}

std::uint64_t bytes_per_chunk(const SpectralEncoder& encoder) {
    return bytes_per_chunk(encoder.f(), encoder.top_k(), encoder.mag_bits(), encoder.phase_bits());
}

}  // namespace korvane

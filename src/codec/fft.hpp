// A shared handle on a single-precision forward FFT plan, and the aligned
// buffers it runs in.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <span>

#include "codec/error.hpp"

namespace korvane {

// An array of complex single-precision values allocated by the FFT library's
// own allocator. Plans pick their SIMD code from the alignment of the arrays
// they see, so every transform runs in such a buffer: equal input then gives
// equal output on every call.
class FftBuffer {
public:
    FftBuffer() = default;
    explicit FftBuffer(std::size_t n);  // zero-filled; throws std::bad_alloc
    FftBuffer(FftBuffer&& other) noexcept;
    FftBuffer& operator=(FftBuffer&& other) noexcept;
    FftBuffer(const FftBuffer&) = delete;
    FftBuffer& operator=(const FftBuffer&) = delete;
    ~FftBuffer();

    std::size_t size() const { return n_; }
    std::complex<float>* data() { return data_; }
    const std::complex<float>* data() const { return data_; }
    std::complex<float>& operator[](std::size_t i) { return data_[i]; }
    const std::complex<float>& operator[](std::size_t i) const { return data_[i]; }

private:
    std::complex<float>* data_ = nullptr;
    std::size_t n_ = 0;
};

// Copying the handle shares the plan (atomic reference count); the last
// release destroys it. Running a plan never changes it.
class SpectralFftPlan {
public:
    SpectralFftPlan() = default;

    // A new forward plan of length n (n >= 1): negative exponent, no
    // normalisation, deterministic (estimated, not measured).
    static Result<SpectralFftPlan> forward(std::size_t n);

    std::size_t len() const;
    // Complex values of scratch that `forward_transform` needs beside the
    // buffer. The FFT library keeps its working space inside the plan, so this
    // is 0; callers still size their scratch from it.
    std::size_t scratch_len() const;
    long use_count() const { return impl_.use_count(); }
    explicit operator bool() const { return static_cast<bool>(impl_); }

    struct Impl;

private:
    std::shared_ptr<const Impl> impl_;
    friend void forward_transform(const SpectralFftPlan&, FftBuffer&, std::span<std::complex<float>>);
};

// X_k = sum_j x_j e^(-2 pi i jk/n), in place. `buffer` holds exactly len()
// values; `scratch` holds at least scratch_len() values.
void forward_transform(const SpectralFftPlan& plan, FftBuffer& buffer, std::span<std::complex<float>> scratch);

}  // namespace korvane

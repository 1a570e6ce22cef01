#include "codec/fft.hpp"

#include <fftw3.h>

#include <cstring>
#include <mutex>
#include <new>

namespace korvane {

namespace {

// The FFT library's planner (creation and destruction of plans) is not
// thread-safe; execution is.
std::mutex& planner_mutex() {
    static std::mutex m;
    return m;
}

}  // namespace

FftBuffer::FftBuffer(std::size_t n) : n_(n) {
    if (n == 0) return;
    data_ = reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(n));
    if (data_ == nullptr) throw std::bad_alloc();
    std::memset(static_cast<void*>(data_), 0, n * sizeof(std::complex<float>));
}

FftBuffer::FftBuffer(FftBuffer&& other) noexcept : data_(other.data_), n_(other.n_) {
    other.data_ = nullptr;
    other.n_ = 0;
}

FftBuffer& FftBuffer::operator=(FftBuffer&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) fftwf_free(data_);
        data_ = other.data_;
        n_ = other.n_;
        other.data_ = nullptr;
        other.n_ = 0;
    }
    return *this;
}

FftBuffer::~FftBuffer() {
    if (data_ != nullptr) fftwf_free(data_);
}

struct SpectralFftPlan::Impl {
    fftwf_plan plan = nullptr;
    std::size_t n = 0;
    ~Impl() {
        std::lock_guard lock(planner_mutex());
        if (plan != nullptr) fftwf_destroy_plan(plan);
    }
};

Result<SpectralFftPlan> SpectralFftPlan::forward(std::size_t n) {
    if (n == 0 || n > static_cast<std::size_t>(INT32_MAX)) return fail(invalid_input("FFT length out of range"));
    FftBuffer probe(n);  // aligned like every buffer the plan will run in
    auto impl = std::make_shared<Impl>();
    impl->n = n;
    {
        std::lock_guard lock(planner_mutex());
        auto* io = reinterpret_cast<fftwf_complex*>(probe.data());
        impl->plan = fftwf_plan_dft_1d(static_cast<int>(n), io, io, FFTW_FORWARD, FFTW_ESTIMATE);
        // Plans depend only on the length and the machine, never on what
        // earlier plans left in the planner's memory.
        fftwf_forget_wisdom();
    }
    if (impl->plan == nullptr) return fail(invalid_input("the FFT library could not plan a transform"));
    SpectralFftPlan handle;
    handle.impl_ = std::move(impl);
    return handle;
}

std::size_t SpectralFftPlan::len() const { return impl_ ? impl_->n : 0; }

std::size_t SpectralFftPlan::scratch_len() const { return 0; }

void forward_transform(const SpectralFftPlan& plan, FftBuffer& buffer, std::span<std::complex<float>> /*scratch*/) {
    auto* io = reinterpret_cast<fftwf_complex*>(buffer.data());
    fftwf_execute_dft(plan.impl_->plan, io, io);
}

}  // namespace korvane

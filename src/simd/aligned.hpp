// Working arrays for vector loads and stores: 32-byte aligned, reused from
// call to call, grown only when a call needs more.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace korvane {

template <class T>
class AlignedArray {
public:
    static constexpr std::size_t kAlign = 32;
    // Room for at least n elements, 32-byte aligned; what it held before is
    // not kept.
    T* reserve(std::size_t n) {
        if (n > capacity_) {
            const std::size_t bytes = (n * sizeof(T) + kAlign - 1) / kAlign * kAlign;
            T* p = static_cast<T*>(std::aligned_alloc(kAlign, bytes));
            if (p == nullptr) throw std::bad_alloc();
            data_.reset(p);
            capacity_ = bytes / sizeof(T);
        }
        return data_.get();
    }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t capacity_ = 0;
};

}  // namespace korvane

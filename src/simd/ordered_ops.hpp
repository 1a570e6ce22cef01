// Single-precision products and sums with a fixed operand order.
//
// When both operands of a product or a sum are NaN, the result is the first
// source operand's NaN; for + and * the compiler may swap operands freely, so
// the same source line could give different NaN bits in two functions. Every
// scoring path goes through these, so the left operand's NaN always wins and
// the literal and table-driven kernels agree to the bit.
#pragma once

#include <immintrin.h>

namespace korvane {

inline float mul_ordered(float x, float y) {
    float r;
    asm("vmulss %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}

inline float add_ordered(float x, float y) {
    float r;
    asm("vaddss %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}

// x - y as the literal kernel forms a phase difference, never folded away
// (x - 0 is not x for a signalling NaN).
inline float sub_ordered(float x, float y) {
    float r;
    asm("vsubss %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}

// Eight lanes at a time, with the same operand order.
inline __m256 mul_ordered8(__m256 x, __m256 y) {
    __m256 r;
    asm("vmulps %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}

inline __m256 add_ordered8(__m256 x, __m256 y) {
    __m256 r;
    asm("vaddps %2, %1, %0" : "=x"(r) : "x"(x), "x"(y));
    return r;
}

}  // namespace korvane

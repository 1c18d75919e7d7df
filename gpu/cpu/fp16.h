// <cuda_fp16.h> of the cpu backend: __half (IEEE binary16) and __half2, their conversions
// and arithmetic. Each operation is computed in float, which holds every half operand
// exactly and is wide enough that one rounding to half afterwards gives the correctly
// rounded result, as the GPU's half instructions do (round to nearest even).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "gpu/cpu/backend.h"

namespace gpu::cpu {

// float to binary16, round to nearest even; overflow to infinity, NaN stays NaN.
inline unsigned short halfBits(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    const uint32_t sign = (x >> 16) & 0x8000u, absx = x & 0x7fffffffu;
    if (absx >= 0x7f800000u) return uint16_t(sign | 0x7c00u | (absx > 0x7f800000u ? 0x200u : 0));
    if (absx >= 0x477ff000u) return uint16_t(sign | 0x7c00u);  // rounds past 65504
    int exp = int(absx >> 23) - 127 + 15;
    uint32_t mant = (absx & 0x7fffffu) | 0x800000u;  // 24 bits with the hidden one
    int shift = 13;                                    // 24 -> 11 bits
    if (exp <= 0) {                                    // subnormal half (or zero)
        shift += 1 - exp;
        exp = 0;
        if (shift > 24) return uint16_t(sign);
    }
    uint32_t half = mant >> shift;
    const uint32_t rest = mant & ((1u << shift) - 1), mid = 1u << (shift - 1);
    if (rest > mid || (rest == mid && (half & 1u))) ++half;  // may carry into the exponent: fine
    if (exp > 0) half = (uint32_t(exp) << 10) + (half - 0x400u);
    return uint16_t(sign | half);
}

inline float halfToFloat(unsigned short h) {
    const uint32_t sign = uint32_t(h & 0x8000u) << 16, exp = (h >> 10) & 0x1fu, mant = h & 0x3ffu;
    float f;
    if (exp == 0) {
        f = std::ldexp(float(mant), -24);
        return sign ? -f : f;
    }
    const uint32_t x = sign | (exp == 31 ? 0x7f800000u | mant << 13 : (exp + 112) << 23 | mant << 13);
    std::memcpy(&f, &x, 4);
    return f;
}

}  // namespace gpu::cpu

struct __half {
    unsigned short __x;
    __half() = default;
    __half(float f) : __x(gpu::cpu::halfBits(f)) {}
    __half(double d) : __x(gpu::cpu::halfBits(float(d))) {}  // through float: exact below half's range
    __half(int i) : __x(gpu::cpu::halfBits(float(i))) {}
    operator float() const { return gpu::cpu::halfToFloat(__x); }
};

struct alignas(4) __half2 {
    __half x, y;
};

inline __half __ushort_as_half(unsigned short u) {
    __half h;
    h.__x = u;
    return h;
}
inline unsigned short __half_as_ushort(__half h) { return h.__x; }
inline __half __float2half(float f) { return __half(f); }
inline __half __float2half_rn(float f) { return __half(f); }
inline float __half2float(__half h) { return float(h); }
inline __half __int2half_rn(int i) { return __half(float(i)); }
inline int __half2int_rz(__half h) { return __float2int_rz(float(h)); }
inline int __half2int_rn(__half h) { return __float2int_rn(float(h)); }

inline __half __hadd(__half a, __half b) { return __half(float(a) + float(b)); }
inline __half __hsub(__half a, __half b) { return __half(float(a) - float(b)); }
inline __half __hmul(__half a, __half b) { return __half(float(a) * float(b)); }
inline __half __hdiv(__half a, __half b) { return __half(float(a) / float(b)); }
// One rounding of a * b + c: the product is exact in float; the sum, taken in double and
// then narrowed to float, is rounded to odd (an inexact result keeps an odd last bit), so
// the rounding to half is the only one that shows.
inline __half __hfma(__half a, __half b, __half c) {
    const double p = double(float(a) * float(b)), q = double(float(c)), s = p + q;
    const double err = (p - (s - (s - p))) + (q - (s - p));  // s + err == p + q exactly
    double r = s;
    uint64_t bits;
    std::memcpy(&bits, &r, 8);
    if (err != 0 && !(bits & 1u)) r = std::nextafter(s, err > 0 ? INFINITY : -INFINITY);
    float f = float(r);
    uint32_t fbits;
    std::memcpy(&fbits, &f, 4);
    if (double(f) != r && !(fbits & 1u)) f = std::nextafter(f, double(f) < r ? INFINITY : -INFINITY);
    return __half(f);
}
inline __half __hneg(__half a) { return __ushort_as_half(a.__x ^ 0x8000u); }
inline __half __habs(__half a) { return __ushort_as_half(a.__x & 0x7fffu); }
inline __half __hmax(__half a, __half b) { return float(a) < float(b) ? b : a; }
inline __half __hmin(__half a, __half b) { return float(b) < float(a) ? b : a; }
inline bool __heq(__half a, __half b) { return float(a) == float(b); }
inline bool __hne(__half a, __half b) { return float(a) != float(b); }
inline bool __hlt(__half a, __half b) { return float(a) < float(b); }
inline bool __hle(__half a, __half b) { return float(a) <= float(b); }
inline bool __hgt(__half a, __half b) { return float(a) > float(b); }
inline bool __hge(__half a, __half b) { return float(a) >= float(b); }
inline bool __hisnan(__half a) { return (a.__x & 0x7fffu) > 0x7c00u; }
inline __half hsqrt(__half a) { return __half(std::sqrt(float(a))); }

inline __half operator+(__half a, __half b) { return __hadd(a, b); }
inline __half operator-(__half a, __half b) { return __hsub(a, b); }
inline __half operator*(__half a, __half b) { return __hmul(a, b); }
inline __half operator/(__half a, __half b) { return __hdiv(a, b); }
inline __half operator-(__half a) { return __hneg(a); }
inline __half& operator+=(__half& a, __half b) { return a = a + b; }
inline __half& operator-=(__half& a, __half b) { return a = a - b; }
inline __half& operator*=(__half& a, __half b) { return a = a * b; }
inline __half& operator/=(__half& a, __half b) { return a = a / b; }
inline bool operator==(__half a, __half b) { return __heq(a, b); }
inline bool operator!=(__half a, __half b) { return __hne(a, b); }
inline bool operator<(__half a, __half b) { return __hlt(a, b); }
inline bool operator<=(__half a, __half b) { return __hle(a, b); }
inline bool operator>(__half a, __half b) { return __hgt(a, b); }
inline bool operator>=(__half a, __half b) { return __hge(a, b); }

inline __half2 __halves2half2(__half a, __half b) { return __half2{a, b}; }
inline __half2 __half2half2(__half a) { return __half2{a, a}; }
inline __half2 __float2half2_rn(float f) { return __half2{__half(f), __half(f)}; }
inline __half2 __floats2half2_rn(float a, float b) { return __half2{__half(a), __half(b)}; }
inline float2 __half22float2(__half2 h) { return make_float2(float(h.x), float(h.y)); }
inline __half2 __float22half2_rn(float2 f) { return __floats2half2_rn(f.x, f.y); }
inline __half __low2half(__half2 h) { return h.x; }
inline __half __high2half(__half2 h) { return h.y; }
inline float __low2float(__half2 h) { return float(h.x); }
inline float __high2float(__half2 h) { return float(h.y); }
inline __half2 __hadd2(__half2 a, __half2 b) { return {__hadd(a.x, b.x), __hadd(a.y, b.y)}; }
inline __half2 __hsub2(__half2 a, __half2 b) { return {__hsub(a.x, b.x), __hsub(a.y, b.y)}; }
inline __half2 __hmul2(__half2 a, __half2 b) { return {__hmul(a.x, b.x), __hmul(a.y, b.y)}; }
inline __half2 __h2div(__half2 a, __half2 b) { return {__hdiv(a.x, b.x), __hdiv(a.y, b.y)}; }
inline __half2 __hfma2(__half2 a, __half2 b, __half2 c) { return {__hfma(a.x, b.x, c.x), __hfma(a.y, b.y, c.y)}; }
inline __half2 __hneg2(__half2 a) { return {__hneg(a.x), __hneg(a.y)}; }
inline __half2 operator+(__half2 a, __half2 b) { return __hadd2(a, b); }
inline __half2 operator-(__half2 a, __half2 b) { return __hsub2(a, b); }
inline __half2 operator*(__half2 a, __half2 b) { return __hmul2(a, b); }
inline __half2 operator/(__half2 a, __half2 b) { return __h2div(a, b); }

// The warp shuffles of warp.h, for half values too.
GPU_CPU_SHUFFLES(__half)
GPU_CPU_SHUFFLES(__half2)

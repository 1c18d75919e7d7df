// CUDA's everyday device intrinsics, each with the result CUDA documents: bit for bit where
// CUDA fixes the rounding (the _rn, _rz, _ru, _rd families, the integer and bit functions),
// and for the fast approximations (__expf, __sinf, ...) the same formula the GPU evaluates
// (an exp2 or log2 of the scaled argument), which stays within the error CUDA states.
// glibc's <math.h> declares __sinf, __expf, __powf, ... as its own internal functions, so
// those names are macros here: the GPU's meaning wins wherever a kernel file writes them,
// and glibc's other internal names that CUDA lacks fail where they are written.
#pragma once

#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>

// ---- loads, integers and bits ---------------------------------------------------------------

template <typename T>
inline T __ldg(const T* p) {  // through the read-only cache on a GPU; a plain load here
    return *p;
}

inline int __popc(unsigned int x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __clz(int x) { return x ? __builtin_clz(unsigned(x)) : 32; }
inline int __clzll(long long x) { return x ? __builtin_clzll((unsigned long long)x) : 64; }
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }
inline unsigned int __brev(unsigned int x) {
    x = (x >> 1 & 0x55555555u) | (x & 0x55555555u) << 1;
    x = (x >> 2 & 0x33333333u) | (x & 0x33333333u) << 2;
    x = (x >> 4 & 0x0f0f0f0fu) | (x & 0x0f0f0f0fu) << 4;
    return __builtin_bswap32(x);
}
inline unsigned long long __brevll(unsigned long long x) {
    return (unsigned long long)__brev(unsigned(x)) << 32 | __brev(unsigned(x >> 32));
}
// The low 32 bits of the product of the low 24 bits of each (sign-extended for __mul24).
inline int __mul24(int x, int y) {
    const int64_t a = int32_t(uint32_t(x) << 8) >> 8, b = int32_t(uint32_t(y) << 8) >> 8;
    return int(uint32_t(a * b));
}
inline unsigned int __umul24(unsigned int x, unsigned int y) { return (x & 0xffffffu) * (y & 0xffffffu); }
inline int __mulhi(int x, int y) { return int((int64_t(x) * y) >> 32); }
inline unsigned int __umulhi(unsigned int x, unsigned int y) { return unsigned((uint64_t(x) * y) >> 32); }
inline long long __mul64hi(long long x, long long y) { return (long long)((__int128(x) * y) >> 64); }
inline unsigned long long __umul64hi(unsigned long long x, unsigned long long y) {
    return (unsigned long long)((unsigned __int128)x * y >> 64);
}
// Byte n of the result is byte (s >> 4n) & 7 of the eight bytes y:x (x's bytes are 0 to 3).
inline unsigned int __byte_perm(unsigned int x, unsigned int y, unsigned int s) {
    const uint64_t bytes = uint64_t(y) << 32 | x;
    unsigned r = 0;
    for (int n = 0; n < 4; ++n) r |= unsigned(bytes >> (8 * ((s >> (4 * n)) & 7)) & 0xff) << (8 * n);
    return r;
}
// hi:lo shifted by shift & 31 (the _c forms: by min(shift, 32)); the high word for _l, low for _r.
inline unsigned int __funnelshift_l(unsigned int lo, unsigned int hi, unsigned int shift) {
    return unsigned(((uint64_t(hi) << 32 | lo) << (shift & 31)) >> 32);
}
inline unsigned int __funnelshift_lc(unsigned int lo, unsigned int hi, unsigned int shift) {
    return unsigned(((uint64_t(hi) << 32 | lo) << (shift < 32 ? shift : 32)) >> 32);
}
inline unsigned int __funnelshift_r(unsigned int lo, unsigned int hi, unsigned int shift) {
    return unsigned((uint64_t(hi) << 32 | lo) >> (shift & 31));
}
inline unsigned int __funnelshift_rc(unsigned int lo, unsigned int hi, unsigned int shift) {
    return unsigned((uint64_t(hi) << 32 | lo) >> (shift < 32 ? shift : 32));
}
inline unsigned int __sad(int x, int y, unsigned int z) { return unsigned(x > y ? int64_t(x) - y : int64_t(y) - x) + z; }
inline unsigned int __usad(unsigned int x, unsigned int y, unsigned int z) { return (x > y ? x - y : y - x) + z; }

// ---- bit casts ------------------------------------------------------------------------------

namespace gpu::cpu {
template <typename To, typename From>
inline To bitCast(From v) {
    static_assert(sizeof(To) == sizeof(From));
    To t;
    std::memcpy(&t, &v, sizeof t);
    return t;
}
}  // namespace gpu::cpu

inline int __float_as_int(float x) { return gpu::cpu::bitCast<int>(x); }
inline unsigned int __float_as_uint(float x) { return gpu::cpu::bitCast<unsigned int>(x); }
inline float __int_as_float(int x) { return gpu::cpu::bitCast<float>(x); }
inline float __uint_as_float(unsigned int x) { return gpu::cpu::bitCast<float>(x); }
inline long long __double_as_longlong(double x) { return gpu::cpu::bitCast<long long>(x); }
inline double __longlong_as_double(long long x) { return gpu::cpu::bitCast<double>(x); }

// ---- conversions in a chosen rounding --------------------------------------------------------

namespace gpu::cpu {

enum class Round { Nearest, Zero, Up, Down };

// x rounded to an integer value, then to To as the GPU's cvt does: NaN gives 0, values
// beyond To's range its end.
template <typename To>
inline To toInteger(double x, Round r) {
    if (std::isnan(x)) return 0;
    x = r == Round::Nearest ? std::nearbyint(x) : r == Round::Zero ? std::trunc(x) : r == Round::Up ? std::ceil(x)
                                                                                                   : std::floor(x);
    constexpr double lo = double(std::numeric_limits<To>::min()), hi = double(std::numeric_limits<To>::max());
    if (x <= lo) return std::numeric_limits<To>::min();
    if (x >= hi) return std::numeric_limits<To>::max();
    return To(x);
}

// The float that x (exact in long double) rounds to under r: the nearest one, moved one
// step where it lies on the wrong side of x.
inline float toFloat(long double x, Round r) {
    float f = float(x);
    if (std::isnan(x) || r == Round::Nearest || (long double)f == x) return f;
    const bool upward = r == Round::Up || (r == Round::Zero && x < 0);
    if (upward && (long double)f < x) f = std::nextafter(f, INFINITY);
    if (!upward && (long double)f > x) f = std::nextafter(f, -INFINITY);
    return f;
}

}  // namespace gpu::cpu

#define GPU_CPU_ROUNDINGS(name, From, To, how)                                                      \
    inline To name##_rn(From x) { return how(x, ::gpu::cpu::Round::Nearest); }                     \
    inline To name##_rz(From x) { return how(x, ::gpu::cpu::Round::Zero); }                        \
    inline To name##_ru(From x) { return how(x, ::gpu::cpu::Round::Up); }                          \
    inline To name##_rd(From x) { return how(x, ::gpu::cpu::Round::Down); }
GPU_CPU_ROUNDINGS(__float2int, float, int, ::gpu::cpu::toInteger<int>)
GPU_CPU_ROUNDINGS(__float2uint, float, unsigned int, ::gpu::cpu::toInteger<unsigned int>)
GPU_CPU_ROUNDINGS(__float2ll, float, long long, ::gpu::cpu::toInteger<long long>)
GPU_CPU_ROUNDINGS(__float2ull, float, unsigned long long, ::gpu::cpu::toInteger<unsigned long long>)
GPU_CPU_ROUNDINGS(__double2int, double, int, ::gpu::cpu::toInteger<int>)
GPU_CPU_ROUNDINGS(__double2uint, double, unsigned int, ::gpu::cpu::toInteger<unsigned int>)
GPU_CPU_ROUNDINGS(__int2float, int, float, ::gpu::cpu::toFloat)
GPU_CPU_ROUNDINGS(__uint2float, unsigned int, float, ::gpu::cpu::toFloat)
GPU_CPU_ROUNDINGS(__ll2float, long long, float, ::gpu::cpu::toFloat)
GPU_CPU_ROUNDINGS(__double2float, double, float, ::gpu::cpu::toFloat)
#undef GPU_CPU_ROUNDINGS

// ---- single-precision arithmetic ---------------------------------------------------------------

// IEEE round-to-nearest, never contracted into a fused operation (but __fmaf_rn, which is one).
inline float __fadd_rn(float x, float y) { return x + y; }
inline float __fsub_rn(float x, float y) { return x - y; }
inline float __fmul_rn(float x, float y) { return x * y; }
inline float __fdiv_rn(float x, float y) { return x / y; }
inline float __fmaf_rn(float x, float y, float z) { return std::fma(x, y, z); }
inline float __frcp_rn(float x) { return 1.0f / x; }
inline float __fsqrt_rn(float x) { return std::sqrt(x); }
inline double __dadd_rn(double x, double y) { return x + y; }
inline double __dmul_rn(double x, double y) { return x * y; }
inline double __fma_rn(double x, double y, double z) { return std::fma(x, y, z); }
inline float __saturatef(float x) { return x >= 1.0f ? 1.0f : x > 0.0f ? x : 0.0f; }  // NaN gives 0
inline float rsqrtf(float x) { return 1.0f / std::sqrt(x); }
inline double rsqrt(double x) { return 1.0 / std::sqrt(x); }
// sincosf is glibc's, with the same result.
inline void sincospif(float x, float* s, float* c) {
    // sin(pi x) exactly 0 at the integers and cos(pi x) at the half-integers, as CUDA's.
    const float r = std::remainder(x, 2.0f);  // exact, in [-1, 1]
    *s = r == std::trunc(r) ? std::copysign(0.0f, x) : float(std::sin(M_PI * double(r)));
    *c = r - std::trunc(r) == 0.5f || r - std::trunc(r) == -0.5f ? 0.0f : float(std::cos(M_PI * double(r)));
}
inline float sinpif(float x) {
    float s, c;
    sincospif(x, &s, &c);
    return s;
}
inline float cospif(float x) {
    float s, c;
    sincospif(x, &s, &c);
    return c;
}

// The fast approximations: the GPU's ex2.approx and lg2.approx of the scaled argument.
namespace gpu::cpu {
inline float fastExp(float x) { return std::exp2(x * 1.44269504f); }
inline float fastExp10(float x) { return std::exp2(x * 3.32192809f); }
inline float fastLog(float x) { return std::log2(x) * 0.693147181f; }
inline float fastLog2(float x) { return std::log2(x); }
inline float fastLog10(float x) { return std::log2(x) * 0.301029996f; }
inline float fastSin(float x) { return std::sin(x); }
inline float fastCos(float x) { return std::cos(x); }
// x times the reciprocal of y, which is 0 when y is above 2^126 in magnitude (the GPU flushes
// the subnormal reciprocal).
inline float fastDivide(float x, float y) {
    float r = 1.0f / y;
    if (std::fabs(r) < FLT_MIN) r = std::copysign(0.0f, r);
    return x * r;
}
inline float fastTan(float x) { return fastDivide(fastSin(x), fastCos(x)); }
inline float fastPow(float x, float y) { return std::exp2(y * fastLog2(x)); }
inline void fastSinCos(float x, float* s, float* c) {
    *s = fastSin(x);
    *c = fastCos(x);
}
}  // namespace gpu::cpu

inline float __fdividef(float x, float y) { return ::gpu::cpu::fastDivide(x, y); }
#define __expf(x) ::gpu::cpu::fastExp(x)
#define __exp10f(x) ::gpu::cpu::fastExp10(x)
#define __logf(x) ::gpu::cpu::fastLog(x)
#define __log2f(x) ::gpu::cpu::fastLog2(x)
#define __log10f(x) ::gpu::cpu::fastLog10(x)
#define __sinf(x) ::gpu::cpu::fastSin(x)
#define __cosf(x) ::gpu::cpu::fastCos(x)
#define __tanf(x) ::gpu::cpu::fastTan(x)
#define __powf(x, y) ::gpu::cpu::fastPow(x, y)
#define __sincosf(x, s, c) ::gpu::cpu::fastSinCos(x, s, c)

// glibc's internal names that are no CUDA function: refused where they are written.
#define GPU_CPU_NOT_CUDA(name) \
    ([] { static_assert(sizeof(int) == 0, "cpu backend: " #name " is not a CUDA device function"); return 0.0f; }())
#define __exp2f(...) GPU_CPU_NOT_CUDA(__exp2f)
#define __sqrtf(...) GPU_CPU_NOT_CUDA(__sqrtf)
#define __fmaf(...) GPU_CPU_NOT_CUDA(__fmaf)

// ---- time --------------------------------------------------------------------------------------

// The steady clock's nanoseconds stand in for the SM's cycle counter.
inline long long clock64() {
    return (long long)std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
inline void __nanosleep(unsigned int ns) { std::this_thread::sleep_for(std::chrono::nanoseconds(ns)); }

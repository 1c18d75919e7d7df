// The everyday device intrinsics, evaluated by a kernel: the exact ones against literal
// results on inputs where the rounding or the bit order shows, the fast approximations
// against the host's double-precision function within the error CUDA states, and the
// warp-wide ones against the host's fold over the lanes.
#include <gtest/gtest.h>

#include <cuda_fp16.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "gpu_test.h"

namespace {

constexpr int kExact = 80;

// Each intrinsic on its telling input, as a 32-bit pattern.
__global__ void exactIntrinsics(unsigned* out, const float* f, const int* i) {
    const float two24p2 = f[0];  // inputs come from memory, so nothing is folded at compile time
    unsigned k = 0;
    auto put = [&](unsigned v) { out[k++] = v; };
    auto putf = [&](float v) { put(__float_as_uint(v)); };
    put(__popc(0xf0f0u)); put(__popcll(0xffull << 40)); put(__clz(i[0])); put(__clz(0)); put(__clzll(1ll));
    put(__ffs(0x18)); put(__ffsll(1ll << 40)); put(__brev(1u)); put(unsigned(__brevll(1ull) >> 32));
    put(__byte_perm(0x33221100u, 0x77665544u, 0x1357u)); put(__funnelshift_l(0x80000000u, 1u, 33u));
    put(__funnelshift_lc(0x80000000u, 1u, 33u)); put(__funnelshift_r(1u, 1u, 1u)); put(__funnelshift_rc(1u, 1u, 40u));
    put(unsigned(__mul24(0x00ffffff, 2))); put(__umul24(0x01000003u, 2u)); put(unsigned(__mulhi(0x40000000, 8)));
    put(__umulhi(0xffffffffu, 0xffffffffu)); put(unsigned(__mul64hi(-1ll, 1ll))); put(unsigned(__umul64hi(1ull << 63, 4ull)));
    put(__sad(3, 10, 5u)); put(__usad(10u, 3u, 1u));
    put(unsigned(__float2int_rn(f[1]))); put(unsigned(__float2int_rn(f[2]))); put(unsigned(__float2int_rz(f[3])));
    put(unsigned(__float2int_ru(f[3]))); put(unsigned(__float2int_rd(f[3]))); put(__float2uint_rn(-1.0f));
    put(unsigned(__float2int_rz(3e9f))); put(unsigned(__float2int_rn(f[4])));
    putf(__int2float_rn(i[1])); putf(__int2float_rz(-i[1])); putf(__int2float_ru(i[2])); putf(__int2float_rd(i[2]));
    putf(__double2float_ru(1.0 + 1.0 / (1 << 30))); putf(__double2float_rd(1.0 + 1.0 / (1 << 30)));
    putf(__double2float_rz(-1.0 - 1.0 / (1 << 30))); putf(__double2float_rn(1e300));
    putf(__fmaf_rn(f[5], f[5], -f[6])); putf(__fadd_rn(__fmul_rn(f[5], f[5]), -f[6]));
    putf(__frcp_rn(f[7])); putf(__fsqrt_rn(f[7])); putf(__fdividef(1.0f, 0x1.8p127f)); putf(__fdividef(6.0f, 3.0f));
    putf(__saturatef(1.5f)); putf(__saturatef(-0.5f)); putf(__saturatef(f[4])); putf(rsqrtf(4.0f));
    float s, c;
    sincospif(f[8], &s, &c);  // 0.5
    putf(s); putf(c);
    sincospif(1.0f, &s, &c);
    putf(s); putf(c);
    put(__float_as_int(two24p2) == 0x4b800001 ? 1u : 0u);
    put(__half_as_ushort(__float2half(1.0f / 3.0f))); put(__half_as_ushort(__float2half(65520.0f)));
    put(__half_as_ushort(__float2half(0x1p-25f))); put(__half_as_ushort(__float2half(0x1.8p-25f)));
    put(__half_as_ushort(__hadd(__float2half(1.0f), __float2half(1.0f))));
    put(__half_as_ushort(__hmul(__float2half(300.0f), __float2half(300.0f))));
    put(__half_as_ushort(__hfma(__float2half(f[9]), __float2half(f[9]), __float2half(-f[10]))));
    put(__half_as_ushort(__low2half(__hadd2(__floats2half2_rn(0.5f, 2.0f), __float2half2_rn(0.25f)))));
    put(unsigned(__half2float(__high2half(__floats2half2_rn(0.5f, 2.0f)))));
    put(unsigned(__double_as_longlong(__longlong_as_double(0x123456789abcdefll)) >> 32));
    put(__ldg(i + 3));
    put(k);
}

// What exactIntrinsics writes, worked out from CUDA's definition of each.
const unsigned kExpected[] = {
    8, 8, 31, 32, 63,                                   // popc, clz
    4, 41, 0x80000000u, 0x80000000u,                    // ffs, brev
    0x11335577u, 3, 0x80000000u, 0x80000000u, 1,      // byte_perm, funnel shifts (33 & 31 = 1; clamped to 32)
    unsigned(-2), 6, 2,                                 // mul24 sign-extends 24 bits, umul24, mulhi
    0xfffffffeu, 0xffffffffu, 2,                        // umulhi, mul64hi, umul64hi
    12, 8,                                              // sad, usad
    2, 4, unsigned(-2), unsigned(-2), unsigned(-3), 0,  // 2.5 -> 2, 3.5 -> 4 (to even), -2.7 three ways, -1 -> 0
    0x7fffffffu, 0,                                     // saturated; NaN -> 0
    0x4b800002u, 0xcb800001u, 0x4b800001u, 0x4b800000u, // 16777219 rn -> 16777220 (to even), rz of -16777219; 16777217 ru, rd
    0x3f800001u, 0x3f800000u, 0xbf800000u, 0x7f800000u, // double -> float: ru, rd, rz; 1e300 rn -> inf
    0x33800000u, 0u,                                    // fused: 2^-24; rounded product first: 0
    0x3e800000u, 0x40000000u, 0u, 0x40000000u,          // 1/4, sqrt 4; x / y above 2^126 is 0; 6 / 3
    0x3f800000u, 0u, 0u, 0x3f000000u,                   // saturate 1.5, -0.5, NaN; rsqrt 4
    0x3f800000u, 0u, 0u, 0xbf800000u,                   // sincospi(0.5), sincospi(1)
    1,                                                  // float_as_int
    0x3555u, 0x7c00u, 0u, 1u,                           // half: 1/3, 65520 (tie, to inf), 2^-25 (tie, to 0)
    0x4000u, 0x7c00u, 0x0010u, 0x3a00u, 2,              // 1 + 1, 300 * 300 overflows, fma rounds once (2^-20), half2
    0x01234567u, 77,                                    // bit casts, __ldg
};

TEST(Intrinsics, ExactResultsBitForBit) {
    REQUIRE_GPU();
    const unsigned n = sizeof kExpected / sizeof kExpected[0];
    const float f[] = {16777218.0f, 2.5f, 3.5f, -2.7f, NAN, 1.0f + 0x1p-12f, 1.0f + 0x1p-11f, 4.0f, 0.5f, 1.0f + 0x1p-10f,
                       1.0f + 0x1p-9f};
    const int i[] = {1, 16777219, 16777217, 77};
    unsigned* d_out;
    float* d_f;
    int* d_i;
    ASSERT_EQ(cudaMalloc(&d_out, kExact * sizeof(unsigned)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&d_f, sizeof f), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&d_i, sizeof i), cudaSuccess);
    cudaMemcpy(d_f, f, sizeof f, cudaMemcpyHostToDevice);
    cudaMemcpy(d_i, i, sizeof i, cudaMemcpyHostToDevice);
    exactIntrinsics<<<1, 1>>>(d_out, d_f, d_i);
    std::vector<unsigned> got(kExact);
    ASSERT_EQ(cudaMemcpy(got.data(), d_out, kExact * sizeof(unsigned), cudaMemcpyDeviceToHost), cudaSuccess);
    ASSERT_EQ(got[n], n) << "results written";
    for (unsigned k = 0; k < n; ++k) EXPECT_EQ(got[k], kExpected[k]) << "result " << k << std::hex << ": 0x" << got[k];
    cudaFree(d_out);
    cudaFree(d_f);
    cudaFree(d_i);
}

// The fast approximations at many points, each within the bound CUDA's programming guide
// states for it (ulps of the float result, or an absolute error on the stated range).
__global__ void fastMath(const float* x, float* out, int n) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    float s, c;
    __sincosf(x[i], &s, &c);
    float* o = out + 10 * i;
    const float a = fabsf(x[i]) * 0.48f + 0.5f;  // in [0.5, 2], where CUDA bounds the logarithms' error
    o[0] = __expf(x[i]); o[1] = __exp10f(x[i] / 4); o[2] = __logf(a); o[3] = __log2f(a);
    o[4] = __log10f(a); o[5] = __sinf(x[i]); o[6] = __cosf(x[i]); o[7] = s - __sinf(x[i]) + c - __cosf(x[i]);
    o[8] = __powf(a, 1.5f); o[9] = __tanf(x[i] / 4);
}

float ulps(float got, double want) {
    const float w = float(want);
    return std::fabs(got - w) / std::fabs(std::nextafter(w, INFINITY) - w);
}

TEST(Intrinsics, FastApproximationsWithinCudasBounds) {
    REQUIRE_GPU();
    const int n = 512;
    std::vector<float> x(n), out(10 * n);
    for (int i = 0; i < n; ++i) x[i] = -3.1f + 6.2f * float(i) / n;  // within [-pi, pi]
    float *d_x, *d_out;
    ASSERT_EQ(cudaMalloc(&d_x, n * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&d_out, 10 * n * sizeof(float)), cudaSuccess);
    cudaMemcpy(d_x, x.data(), n * sizeof(float), cudaMemcpyHostToDevice);
    fastMath<<<n / 128, 128>>>(d_x, d_out, n);
    ASSERT_EQ(cudaMemcpy(out.data(), d_out, out.size() * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    const double absBound = std::ldexp(1.0, -21) * 1.5;  // 2^-21.41 and a little for the float output
    for (int i = 0; i < n; ++i) {
        const double v = x[i], a = double(std::fabs(x[i]) * 0.48f + 0.5f);
        const float* r = &out[10 * i];
        EXPECT_LE(ulps(r[0], std::exp(v)), 2 + std::floor(std::fabs(1.16 * v))) << "__expf " << v;
        EXPECT_LE(ulps(r[1], std::pow(10.0, v / 4)), 2 + std::floor(std::fabs(2.95 * v / 4))) << "__exp10f " << v;
        EXPECT_NEAR(r[2], std::log(a), absBound) << "__logf " << a;  // a in [0.5, 2]
        EXPECT_NEAR(r[3], std::log2(a), std::ldexp(1.0, -22) * 1.5) << "__log2f " << a;
        EXPECT_NEAR(r[4], std::log10(a), std::ldexp(1.0, -24) * 1.5) << "__log10f " << a;
        EXPECT_NEAR(r[5], std::sin(v), absBound) << "__sinf " << v;
        EXPECT_NEAR(r[6], std::cos(v), absBound) << "__cosf " << v;
        EXPECT_EQ(r[7], 0.0f) << "__sincosf gives __sinf and __cosf";
        EXPECT_NEAR(r[8], std::pow(a, 1.5), std::fabs(std::pow(a, 1.5)) * 1e-5) << "__powf " << a;
        EXPECT_NEAR(r[9], std::tan(v / 4), 1e-5) << "__tanf " << v;
    }
    cudaFree(d_x);
    cudaFree(d_out);
}

// The warp-wide intrinsics, over the lanes of a block of 64 with an odd-lanes branch.
__global__ void warpWide(int* out) {
    const int t = int(threadIdx.x), v = (t * 7 + 3) % 19 - 9;
    int* o = out + 8 * t;
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 800
    o[0] = o[1] = o[2] = o[3] = INT_MIN;  // the reductions need compute capability 8.0
#else
    o[0] = __reduce_add_sync(0xffffffffu, v);
    o[1] = __reduce_min_sync(0xffffffffu, v);
    o[2] = int(__reduce_max_sync(0xffffffffu, unsigned(v)));
    o[3] = int(__reduce_and_sync(0xffffffffu, unsigned(v) | 0x100u) ^ __reduce_or_sync(0xffffffffu, unsigned(v) & 0xff) ^
               __reduce_xor_sync(0xffffffffu, unsigned(v)));
#endif
    o[4] = int(__match_any_sync(0xffffffffu, v & 3));
    int pred = -1;
    o[5] = int(__match_all_sync(0xffffffffu, t / 32, &pred)) + pred;
    o[6] = -1;
    if (t % 2) o[6] = int(__activemask());
    const long long start = clock64();
    __nanosleep(1000);
    o[7] = clock64() > start;
}

TEST(Intrinsics, WarpWideAgainstTheLanes) {
    REQUIRE_GPU();
    int* d;
    ASSERT_EQ(cudaMalloc(&d, 8 * 64 * sizeof(int)), cudaSuccess);
    warpWide<<<1, 64>>>(d);
    std::vector<int> got(8 * 64);
    ASSERT_EQ(cudaMemcpy(got.data(), d, got.size() * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    for (int t = 0; t < 64; ++t) {
        const int base = t / 32 * 32;
        auto v = [](int u) { return (u * 7 + 3) % 19 - 9; };
        int sum = 0, lo = 99;
        unsigned hi = 0, andv = ~0u, orv = 0, xorv = 0, match = 0;
        for (int l = 0; l < 32; ++l) {
            const int w = v(base + l);
            sum += w, lo = std::min(lo, w), hi = std::max(hi, unsigned(w));
            andv &= unsigned(w) | 0x100u, orv |= unsigned(w) & 0xff, xorv ^= unsigned(w);
            if ((w & 3) == (v(t) & 3)) match |= 1u << l;
        }
        const int* o = &got[8 * t];
        if (o[0] == INT_MIN) GTEST_SKIP() << "__reduce_*_sync needs compute capability 8.0";
        EXPECT_EQ(o[0], sum) << t;
        EXPECT_EQ(o[1], lo) << t;
        EXPECT_EQ(unsigned(o[2]), hi) << t;
        EXPECT_EQ(unsigned(o[3]), andv ^ orv ^ xorv) << t;
        EXPECT_EQ(unsigned(o[4]), match) << t;
        EXPECT_EQ(unsigned(o[5]), 0xffffffffu + 1u) << t;  // all lanes agree: the mask, and pred 1
        EXPECT_EQ(unsigned(o[6]), t % 2 ? 0xaaaaaaaau : 0xffffffffu) << t;
        EXPECT_EQ(o[7], 1) << t;
    }
    cudaFree(d);
}

}  // namespace

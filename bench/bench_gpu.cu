// The cost of the cpu backend itself: launch and per-thread overhead of a barrier-free
// kernel against the same work as a plain loop, scaling over workers, and a block sum
// through shared memory against one through warp shuffles (the price of a barrier by block
// size is in bench_barriers.cu). Under the cuda backend only the GPU rows run.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gpu/runtime.h"
#include "harness.h"

namespace {

constexpr int kN = 1 << 18;

// A small escape-time iteration: data-dependent trip counts, so neither the loop nor the
// kernel gets vectorised and both do exactly the same scalar work per element.
__host__ __device__ inline float orbit(int i) {
    float x = (i % 1024) * 0.002f - 1.0f, y = (i / 1024) * 0.004f - 0.5f;
    float a = x, b = y;
    int k = 0;
    for (; k < 64; ++k) {
        float t = a * a - b * b + 0.3f;
        b = 2.0f * a * b + 0.5f;
        a = t;
        if (a * a + b * b > 4.0f) break;
    }
    return (float)k;
}

__global__ void orbitKernel(float* out, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) out[i] = orbit(i);
}

// The sum of each 512-element block, two ways. Through shared memory: a tree of nine
// halving steps, a barrier after each. Through warp shuffles: each warp sums its 32 values
// in registers (five shuffles), one barrier hands the 16 warp sums to warp 0, which sums
// them the same way.
__global__ void reduceShared(const float* in, float* out) {
    __shared__ float s[512];
    const unsigned t = threadIdx.x;
    s[t] = in[blockIdx.x * 512 + t];
    __syncthreads();
    for (unsigned half = 256; half > 0; half /= 2) {
        if (t < half) s[t] += s[t + half];
        __syncthreads();
    }
    if (t == 0) out[blockIdx.x] = s[0];
}

__global__ void reduceShuffle(const float* in, float* out) {
    __shared__ float warpSums[16];
    const unsigned t = threadIdx.x;
    float v = in[blockIdx.x * 512 + t];
    for (int d = 16; d > 0; d /= 2) v += __shfl_down_sync(0xffffffffu, v, d);
    if (t % 32 == 0) warpSums[t / 32] = v;
    __syncthreads();
    if (t < 32) {
        v = t < 16 ? warpSums[t] : 0.0f;
        for (int d = 8; d > 0; d /= 2) v += __shfl_down_sync(0xffffffffu, v, d);
        if (t == 0) out[blockIdx.x] = v;
    }
}

std::string fmt(const char* f, double a, double b = 0) {
    char buf[200];
    snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

}  // namespace

BENCH_SECTION(backend) {
    std::vector<float> host(kN);
    float* d_out = nullptr;
    cudaMalloc(&d_out, kN * sizeof(float));
    const dim3 grid((kN + 255) / 256), block(256);

    auto plainLoop = [&] {
        for (int i = 0; i < kN; ++i) host[i] = orbit(i);
        bench::keep(host.data());
    };
    const std::string math = std::to_string(kN) + " elements, up to 64 iterations each";

#if GPU_BACKEND_IS_CPU
    const unsigned cores = gpu::cpu::workerCount();
    // The loop and the kernel on one worker in turns: the pair the bar compares.
    gpu::cpu::setWorkerCount(1);
    const bench::Pair pair = bench::measureInTurns(plainLoop, [&] {
        orbitKernel<<<grid, block>>>(d_out, kN);
        cudaDeviceSynchronize();  // the launch only queues the grid
        bench::keep(d_out);
    });
    gpu::cpu::setWorkerCount(0);
    const bench::Stats &loop = pair.a, &one = pair.b;
    bench::Row r1{"cpu backend", "barrier-free kernel, 1 worker", one, loop.median_ms, "plain loop", math, loop.median_ms,
                  fmt("cost %.3fx the loop (bar 1.10x)", 1 / pair.aOverB)};
    bench::addRow(r1);
    bench::addBar({"barrier-free kernel on 1 worker: cost over the plain loop", 1 / pair.aOverB, 1.10,
                   false});
#else
    const bench::Stats loop = bench::measure(plainLoop);
#endif
    auto all = bench::measure([&] {
        orbitKernel<<<grid, block>>>(d_out, kN);
        cudaMemcpy(host.data(), d_out, sizeof(float), cudaMemcpyDeviceToHost);  // waits for the grid
    });
#if GPU_BACKEND_IS_CPU
    bench::addRow({"cpu backend", "same kernel, " + std::to_string(cores) + " workers", all, loop.median_ms, "plain loop",
                   math, loop.median_ms / cores,
                   fmt("%.2fx over 1 worker", one.median_ms / all.median_ms)});
#else
    bench::addRow({"gpu", "barrier-free kernel", all, loop.median_ms, "plain loop", math, 0, ""});
#endif
    cudaFree(d_out);

    // The price of __syncthreads() by block size is in the barriers section (bench_barriers.cu).

    // The two block reductions in turns on 2^20 values (2048 blocks of 512), every worker.
    const int values = 1 << 20, sums = values / 512;
    float *d_in = nullptr, *d_sums = nullptr;
    cudaMalloc(&d_in, values * sizeof(float));
    cudaMalloc(&d_sums, sums * sizeof(float));
    std::vector<float> ones(values, 1.0f), got(sums);
    cudaMemcpy(d_in, ones.data(), values * sizeof(float), cudaMemcpyHostToDevice);
    const bench::Pair reductions = bench::measureInTurns(
        [&] {
            reduceShared<<<sums, 512>>>(d_in, d_sums);
            cudaMemcpy(got.data(), d_sums, sizeof(float), cudaMemcpyDeviceToHost);
        },
        [&] {
            reduceShuffle<<<sums, 512>>>(d_in, d_sums);
            cudaMemcpy(got.data(), d_sums, sizeof(float), cudaMemcpyDeviceToHost);
        });
    cudaMemcpy(got.data(), d_sums, sums * sizeof(float), cudaMemcpyDeviceToHost);
    const bool right = std::all_of(got.begin(), got.end(), [](float s) { return s == 512.0f; });
    cudaFree(d_in);
    cudaFree(d_sums);
    const std::string group = GPU_BACKEND_IS_CPU ? "cpu backend" : "gpu";
    const std::string sumMath = "2^20 floats, 2048 blocks of 512";
    bench::addRow({group, "block sum through shared memory (9 barriers)", reductions.a, 0, "", sumMath, 0, ""});
    bench::addRow({group, "block sum through warp shuffles (1 barrier)", reductions.b, 0, "", sumMath, 0,
                   fmt("%.2fx the shared-memory sum's time", 1 / reductions.aOverB) +
                       (right ? "" : "; WRONG SUMS")});
}

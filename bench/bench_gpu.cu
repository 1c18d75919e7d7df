// The cost of the cpu backend itself: launch and per-thread overhead of a barrier-free
// kernel against the same work as a plain loop, scaling over workers, and the price of a
// block barrier. Under the cuda backend only the GPU rows run.
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

__global__ void barrierKernel(float* out, int rounds) {
    __shared__ float s[512];
    int t = threadIdx.x;
    float acc = 0;
    for (int r = 0; r < rounds; ++r) {
        s[t] = acc + t;
        __syncthreads();
        acc += s[(t + 1) & 511];
        __syncthreads();
    }
    out[blockIdx.x * 512 + t] = acc;
}

__global__ void noBarrierKernel(float* out, int rounds) {
    __shared__ float s[512];
    int t = threadIdx.x;
    float acc = 0;
    for (int r = 0; r < rounds; ++r) {
        s[t] = acc + t;
        acc += s[t];
    }
    out[blockIdx.x * 512 + t] = acc;
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

    // One barrier per thread: 512-thread blocks, two barriers per round.
    const int blocks = 16, rounds = 200;
    float* d_b = nullptr;
    cudaMalloc(&d_b, blocks * 512 * sizeof(float));
    auto with = bench::measure([&] {
        barrierKernel<<<blocks, 512>>>(d_b, rounds);
        cudaMemcpy(host.data(), d_b, sizeof(float), cudaMemcpyDeviceToHost);
    });
    auto without = bench::measure([&] {
        noBarrierKernel<<<blocks, 512>>>(d_b, rounds);
        cudaMemcpy(host.data(), d_b, sizeof(float), cudaMemcpyDeviceToHost);
    });
    cudaFree(d_b);
    double barriers = double(blocks) * 512 * rounds * 2;
    double ns = (with.median_ms - without.median_ms) * 1e6 / barriers;
    bench::Stats perBarrier = with;
    bench::addRow({GPU_BACKEND_IS_CPU ? "cpu backend" : "gpu", "__syncthreads(), 512-thread blocks", perBarrier, 0, "",
                   fmt("%.0f thread-barriers (%.0f blocks x 512 threads x 2 x 200 rounds)", barriers, blocks), 0,
                   fmt("%.1f ns per thread per barrier (kernel without barriers: %.2f ms)", ns, without.median_ms)});
}

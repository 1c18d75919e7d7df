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

// Two barriers a round, each thread reading its neighbour's slot between them; the same
// without barriers reads its own. Any block size up to 1024.
__global__ void barrierKernel(float* out, int rounds) {
    __shared__ float s[1024];
    const unsigned t = threadIdx.x;
    float acc = 0;
    for (int r = 0; r < rounds; ++r) {
        s[t] = acc + t;
        __syncthreads();
        acc += s[(t + 1) % blockDim.x];
        __syncthreads();
    }
    out[blockIdx.x * blockDim.x + t] = acc;
}

__global__ void noBarrierKernel(float* out, int rounds) {
    __shared__ float s[1024];
    const unsigned t = threadIdx.x;
    float acc = 0;
    for (int r = 0; r < rounds; ++r) {
        s[t] = acc + t;
        acc += s[t];
    }
    out[blockIdx.x * blockDim.x + t] = acc;
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

    // The price of __syncthreads() for one thread, by block size: 8192 threads in blocks of
    // 32 to 1024, two barriers a round, timed in turns with the same kernel without them
    // (on the cpu backend on one worker).
    // A row's time is one thread passing one barrier (the median of the turns' differences
    // over the thread-barriers), drawn by scripts/bench.sh --plot.
    const int threads = 8192, rounds = 100;
    float* d_b = nullptr;
    cudaMalloc(&d_b, threads * sizeof(float));
#if GPU_BACKEND_IS_CPU
    gpu::cpu::setWorkerCount(1);  // one worker: the price a thread pays, not a share of the machine
#endif
    for (unsigned size = 32; size <= 1024; size *= 2) {
        const unsigned blocks = threads / size;
        const bench::Pair turns = bench::measureInTurns(
            [&] {
                barrierKernel<<<blocks, size>>>(d_b, rounds);
                cudaMemcpy(host.data(), d_b, sizeof(float), cudaMemcpyDeviceToHost);
            },
            [&] {
                noBarrierKernel<<<blocks, size>>>(d_b, rounds);
                cudaMemcpy(host.data(), d_b, sizeof(float), cudaMemcpyDeviceToHost);
            });
        const double barriers = double(threads) * rounds * 2;
        bench::Stats perBarrier = turns.aMinusB;
        perBarrier.median_ms /= barriers;
        perBarrier.min_ms /= barriers;
        perBarrier.max_ms /= barriers;
        bench::Row row{GPU_BACKEND_IS_CPU ? "cpu backend" : "gpu",
                       "__syncthreads() per thread, " + std::to_string(size) + "-thread blocks", perBarrier, 0, "",
                       fmt("%.0f thread-barriers (%.0f blocks, 2 x 100 rounds)", barriers, blocks), 0,
                       fmt("%.1f ns a thread a barrier; kernel without barriers %.2f ms", perBarrier.median_ms * 1e6,
                           turns.b.median_ms)};
        row.n = size;
        row.series = "__syncthreads() per thread";
        bench::addRow(row);
    }
#if GPU_BACKEND_IS_CPU
    gpu::cpu::setWorkerCount(0);
#endif
    cudaFree(d_b);
}

// Blocks run as loops split at their barriers (the build's kernel parser) give the bits the
// fibers give, for kernels written as CUDA programs write them; and every kernel whose
// barriers the parser cannot prove reached by the whole block stays on fibers, which still
// report the fault of a barrier some threads miss.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gpu_test.h"

namespace {

// ---- kernels the parser splits --------------------------------------------------------

// A Hillis-Steele scan of each block's slice: a loop with a uniform trip count and two
// barriers, a value kept across the first, an exit after the last barrier.
__global__ void blockScan(const int* in, int* out, int n) {
    extern __shared__ int s[];
    const int t = threadIdx.x, i = blockIdx.x * blockDim.x + t;
    s[t] = i < n ? in[i] : 0;
    __syncthreads();
    for (int d = 1; d < blockDim.x; d *= 2) {
        int v = s[t];
        if (t >= d) v += s[t - d];
        __syncthreads();
        s[t] = v;
        __syncthreads();
    }
    if (i >= n) return;
    out[i] = s[t];
}

__device__ int rankInBlock() { return threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z); }

// A 3-D block: an array whose address is taken, a lambda capturing by reference, a helper
// reading threadIdx, an accumulator changed in every round, a uniform value of the block.
__global__ void mixedLocals(const float* in, float* out, int rounds) {
    __shared__ float tile[4][4][8];
    const int x = threadIdx.x, y = threadIdx.y, z = threadIdx.z;
    const int base = blockIdx.x * 128;
    float r[3];
    float* p = r;
    for (int j = 0; j < 3; ++j) p[j] = in[base + rankInBlock()] * float(j + 1);
    auto neighbour = [&](int dx) { return tile[z][y][(x + dx) & 7]; };
    float acc = 0.0f;
    for (int k = 0; k < rounds; ++k) {
        tile[z][y][x] = r[k % 3] + acc;
        __syncthreads();
        acc += neighbour(1) - 0.5f * neighbour(7);
        __syncthreads();
    }
    out[base + rankInBlock()] = acc + r[2];
}

// ---- kernels that stay on fibers --------------------------------------------------------

__global__ void barrierUnderACondition(int* out) {
    if (threadIdx.x < 16) __syncthreads();
    out[threadIdx.x] = 1;
}

__global__ void returnBeforeABarrier(int* out) {
    if (threadIdx.x == 5) return;
    __syncthreads();
    out[threadIdx.x] = 1;
}

__global__ void loopOfTheThreadsOwnLength(int* out) {
    for (int i = 0; i < int(threadIdx.x % 3); ++i) __syncthreads();
    out[threadIdx.x] = 1;
}

__global__ void shuffleBesideABarrier(int* out) {
    __shared__ int s[64];
    s[threadIdx.x] = threadIdx.x;
    __syncthreads();
    out[threadIdx.x] = __shfl_down_sync(0xffffffffu, s[63 - threadIdx.x], 1);
}

bool splitBuilt() {
#if defined(GPUDEMOS_KERNEL_PARSER)
    return !gpu::cpu::GPU_TSAN_ON;
#else
    return false;
#endif
}

template <typename K>
bool split(K kernel) {
    return gpu::cpu::blockFunctionOf(reinterpret_cast<const void*>(kernel)) != nullptr;
}

// Runs `launch` on a copy of `in` with blocks split, then on fibers; returns both outputs.
template <typename T>
std::pair<std::vector<T>, std::vector<T>> bothWays(const std::vector<T>& in, size_t outCount,
                                                   const std::function<void(const T*, T*)>& launch) {
    std::vector<T> results[2];
    for (int fibers = 0; fibers < 2; ++fibers) {
        gpu::cpu::setSplitBlocks(!fibers);
        T *d_in = nullptr, *d_out = nullptr;
        EXPECT_EQ(cudaMalloc(&d_in, in.size() * sizeof(T)), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&d_out, outCount * sizeof(T)), cudaSuccess);
        cudaMemcpy(d_in, in.data(), in.size() * sizeof(T), cudaMemcpyHostToDevice);
        cudaMemset(d_out, 0, outCount * sizeof(T));
        launch(d_in, d_out);
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        results[fibers].resize(outCount);
        cudaMemcpy(results[fibers].data(), d_out, outCount * sizeof(T), cudaMemcpyDeviceToHost);
        cudaFree(d_in);
        cudaFree(d_out);
    }
    gpu::cpu::setSplitBlocks(true);
    return {results[0], results[1]};
}

TEST(SplitBlocks, GiveTheFibersBitsAndThePlainLoopsResult) {
    if (!splitBuilt()) GTEST_SKIP() << "built without the kernel parser (or under TSan): every block runs on fibers";
    EXPECT_TRUE(split(blockScan));
    EXPECT_TRUE(split(mixedLocals));

    // Scans of blocks of 64 (the last one partial), against a running sum.
    const int n = 1000, block = 64;
    std::vector<int> in(n);
    for (int i = 0; i < n; ++i) in[i] = (i * 37) % 19 - 9;
    auto [scanned, scannedOnFibers] = bothWays<int>(in, n, [&](const int* a, int* b) {
        blockScan<<<(n + block - 1) / block, block, block * sizeof(int)>>>(a, b, n);
    });
    std::vector<int> expect(n);
    for (int i = 0; i < n; ++i) expect[i] = in[i] + (i % block ? expect[i - 1] : 0);
    EXPECT_EQ(scanned, expect);
    EXPECT_EQ(scanned, scannedOnFibers);

    // 8 x 4 x 4 blocks, 5 rounds, against the same arithmetic in a plain loop.
    const int blocks = 3, rounds = 5;
    std::vector<float> values(blocks * 128);
    for (size_t i = 0; i < values.size(); ++i) values[i] = float(i % 23) * 0.25f - 2.0f;
    auto [mixed, mixedOnFibers] = bothWays<float>(values, values.size(), [&](const float* a, float* b) {
        mixedLocals<<<blocks, dim3(8, 4, 4)>>>(a, b, rounds);
    });
    std::vector<float> want(values.size());
    for (int b = 0; b < blocks; ++b) {
        std::vector<float> acc(128, 0.0f), tile(128);
        auto r = [&](int t, int j) { return values[b * 128 + t] * float(j + 1); };
        for (int k = 0; k < rounds; ++k) {
            for (int t = 0; t < 128; ++t) tile[t] = r(t, k % 3) + acc[t];
            for (int t = 0; t < 128; ++t) {
                const int row = t & ~7, x = t & 7;
                acc[t] += tile[row + ((x + 1) & 7)] - 0.5f * tile[row + ((x + 7) & 7)];
            }
        }
        for (int t = 0; t < 128; ++t) want[b * 128 + t] = acc[t] + r(t, 2);
    }
    EXPECT_EQ(mixed, want);
    EXPECT_EQ(mixed, mixedOnFibers);
}

TEST(SplitBlocks, KernelsItCannotProveStayOnFibersWhichReportTheirFaults) {
    struct Case {
        const char* what;
        const void* kernel;
        std::function<void(int*)> launch;
        cudaError_t expect;
    };
    const Case cases[] = {
        {"a barrier under a condition", reinterpret_cast<const void*>(barrierUnderACondition),
         [](int* o) { barrierUnderACondition<<<1, 64>>>(o); }, cudaErrorLaunchFailure},
        {"a return before a barrier", reinterpret_cast<const void*>(returnBeforeABarrier),
         [](int* o) { returnBeforeABarrier<<<1, 64>>>(o); }, cudaErrorLaunchFailure},
        {"a loop with the thread's own trip count", reinterpret_cast<const void*>(loopOfTheThreadsOwnLength),
         [](int* o) { loopOfTheThreadsOwnLength<<<1, 64>>>(o); }, cudaErrorLaunchFailure},
        {"a shuffle beside the barrier", reinterpret_cast<const void*>(shuffleBesideABarrier),
         [](int* o) { shuffleBesideABarrier<<<1, 64>>>(o); }, cudaSuccess},
    };
    int* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, 64 * sizeof(int)), cudaSuccess);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(gpu::cpu::blockFunctionOf(c.kernel), nullptr);
        c.launch(out);
        EXPECT_EQ(cudaDeviceSynchronize(), c.expect);
        gpu::cpu::resetDeviceForTests();
    }
    std::vector<int> got(64);
    shuffleBesideABarrier<<<1, 64>>>(out);
    cudaMemcpy(got.data(), out, sizeof(int) * 64, cudaMemcpyDeviceToHost);
    for (int t = 0; t < 64; ++t) EXPECT_EQ(got[t], (t % 32 == 31) ? 63 - t : 62 - t) << "thread " << t;
    cudaFree(out);
}

}  // namespace

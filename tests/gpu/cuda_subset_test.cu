// The common CUDA subset (docs/architecture.md lists it), written as a CUDA program writes
// it: a kernel per feature, each checked against a plain CPU loop, on either backend; and
// on the cpu backend, each refusal with the message naming what is refused.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <numeric>
#include <vector>

#include "gpu_test.h"

namespace {

template <typename T>
std::vector<T> run(const std::vector<T>& in, size_t outCount, const std::function<void(const T*, T*)>& launch) {
    T *d_in = nullptr, *d_out = nullptr;
    EXPECT_EQ(cudaMalloc(&d_in, in.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&d_out, outCount * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(d_in, in.data(), in.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemset(d_out, 0, outCount * sizeof(T)), cudaSuccess);
    launch(d_in, d_out);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    std::vector<T> out(outCount);
    EXPECT_EQ(cudaMemcpy(out.data(), d_out, outCount * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    cudaFree(d_in);
    cudaFree(d_out);
    return out;
}

std::vector<int> numbers(size_t n) {
    std::vector<int> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = int((i * 2654435761u) % 1000) - 500;
    return v;
}

constexpr int kBlock = 256, kBins = 16, kTile = 32, kRows = 8, kRadius = 3;

// Shared memory halves the block down to one warp, whose shuffles finish the sum.
__global__ void reduceSum(const int* in, int* total, int n) {
    __shared__ int partial[kBlock];
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    partial[threadIdx.x] = i < n ? in[i] : 0;
    __syncthreads();
    for (unsigned s = blockDim.x / 2; s >= warpSize; s /= 2) {
        if (threadIdx.x < s) partial[threadIdx.x] += partial[threadIdx.x + s];
        __syncthreads();
    }
    if (threadIdx.x < warpSize) {
        int v = partial[threadIdx.x];
        for (int offset = warpSize / 2; offset > 0; offset /= 2) v += __shfl_down_sync(0xffffffff, v, offset);
        if (threadIdx.x == 0) atomicAdd(total, v);
    }
}

// Every thread adds straight into the global bins: blocks running at once contend.
__global__ void histogram(const int* in, int* bins, int n) {
    for (int i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += blockDim.x * gridDim.x) {
        atomicAdd(reinterpret_cast<unsigned*>(&bins[(in[i] + 500) % kBins]), 1u);
        atomicMax(&bins[kBins], in[i]);
    }
}

// An inclusive scan of each block: up-shuffles within each warp, then the warps' totals.
__global__ void inclusiveScan(const int* in, int* out) {
    __shared__ int totals[kBlock / 32];
    const int lane = threadIdx.x % warpSize, warp = threadIdx.x / warpSize;
    int v = in[blockIdx.x * blockDim.x + threadIdx.x];
    for (int d = 1; d < warpSize; d *= 2) {
        const int up = __shfl_up_sync(0xffffffff, v, d);
        if (lane >= d) v += up;
    }
    if (lane == warpSize - 1) totals[warp] = v;
    __syncthreads();
    if (warp == 0) {
        int t = lane < kBlock / 32 ? totals[lane] : 0;
        for (int d = 1; d < warpSize; d *= 2) {
            const int up = __shfl_up_sync(0xffffffff, t, d);
            if (lane >= d) t += up;
        }
        if (lane < kBlock / 32) totals[lane] = t;
    }
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = v + (warp > 0 ? totals[warp - 1] : 0);
}

// A w x h matrix transposed through a padded tile, by 32 x 8 blocks.
__global__ void transpose(const int* in, int* out, int w, int h) {
    __shared__ int tile[kTile][kTile + 1];
    int x = blockIdx.x * kTile + threadIdx.x, y = blockIdx.y * kTile + threadIdx.y;
    for (int j = 0; j < kTile; j += kRows)
        if (x < w && y + j < h) tile[threadIdx.y + j][threadIdx.x] = in[(y + j) * w + x];
    __syncthreads();
    x = blockIdx.y * kTile + threadIdx.x;
    y = blockIdx.x * kTile + threadIdx.y;
    for (int j = 0; j < kTile; j += kRows)
        if (x < h && y + j < w) out[(y + j) * h + x] = tile[threadIdx.x][threadIdx.y + j];
}

// A weighted window of 2 * kRadius + 1, the block's stretch and its halo in dynamic shared memory.
__global__ void stencil(const int* in, int* out, int n) {
    extern __shared__ int window[];
    const int g = blockIdx.x * blockDim.x + threadIdx.x, l = threadIdx.x + kRadius;
    window[l] = g < n ? in[g] : 0;
    if (threadIdx.x < kRadius) {
        window[l - kRadius] = g >= kRadius && g - kRadius < n ? in[g - kRadius] : 0;
        window[l + blockDim.x] = g + int(blockDim.x) < n ? in[g + blockDim.x] : 0;
    }
    __syncthreads();
    int s = 0;
    for (int k = -kRadius; k <= kRadius; ++k) s += (k + 5) * window[l + k];
    if (g < n) out[g] = s;
}

TEST(CudaSubset, KernelsMatchTheirCpuLoops) {
    REQUIRE_GPU();
    const int n = 100000, blocks = (n + kBlock - 1) / kBlock;
    const std::vector<int> in = numbers(size_t(blocks) * kBlock);
    {
        const std::vector<int> total = run<int>(in, 1, [&](const int* i, int* o) { reduceSum<<<blocks, kBlock>>>(i, o, n); });
        EXPECT_EQ(total[0], std::accumulate(in.begin(), in.begin() + n, 0)) << "reduction";
    }
    {
        // Long enough for every worker to take part: updates lost to a plain add show.
        const std::vector<int> many = numbers(1 << 21);
        std::vector<int> bins(kBins + 1, 0);  // and the maximum, from cudaMemset's 0
        for (int v : many) ++bins[(v + 500) % kBins], bins[kBins] = std::max(bins[kBins], v);
        const int m = int(many.size());
        EXPECT_EQ(run<int>(many, kBins + 1, [&](const int* i, int* o) { histogram<<<256, 128>>>(i, o, m); }), bins)
            << "histogram";
    }
    {
        std::vector<int> scan(in.size());
        for (size_t b = 0; b < in.size(); b += kBlock)
            std::partial_sum(in.begin() + b, in.begin() + b + kBlock, scan.begin() + b);
        EXPECT_EQ(run<int>(in, in.size(), [&](const int* i, int* o) { inclusiveScan<<<blocks, kBlock>>>(i, o); }), scan)
            << "scan";
    }
    {
        const int w = 70, h = 45;
        std::vector<int> t(w * h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) t[x * h + y] = in[y * w + x];
        const dim3 grid((w + kTile - 1) / kTile, (h + kTile - 1) / kTile), block(kTile, kRows);
        const std::vector<int> part(in.begin(), in.begin() + w * h);
        EXPECT_EQ(run<int>(part, w * h, [&](const int* i, int* o) { transpose<<<grid, block>>>(i, o, w, h); }), t)
            << "transpose";
    }
    {
        std::vector<int> s(n, 0);
        for (int g = 0; g < n; ++g)
            for (int k = -kRadius; k <= kRadius; ++k) s[g] += g + k >= 0 && g + k < n ? (k + 5) * in[g + k] : 0;
        const std::vector<int> part(in.begin(), in.begin() + n);
        const size_t bytes = (kBlock + 2 * kRadius) * sizeof(int);
        EXPECT_EQ(run<int>(part, n, [&](const int* i, int* o) { stencil<<<blocks, kBlock, bytes, 0>>>(i, o, n); }), s)
            << "stencil";
    }
}

// Votes, shuffles with widths and partial masks, and the counting barriers, on 48 threads:
// a whole warp and a partial one.
__global__ void warpFunctions(const int* unused, int* out) {
    const unsigned t = threadIdx.x, lane = t % 32;
    int* o = out + t * 11;
    o[0] = int(__ballot_sync(0xffffffff, lane % 3 == 0));
    o[1] = __all_sync(0xffffffff, t < 40);
    o[2] = __any_sync(0xffffffff, lane == 20);
    o[3] = __shfl_xor_sync(0xffffffff, int(t), 1, 8);
    o[4] = __shfl_sync(0xffffffff, int(t), int(lane) + 3, 16);
    o[5] = __shfl_down_sync(0xffffffff, int(t), 4, 8);
    o[6] = __shfl_up_sync(0xffffffff, int(t), 2);
    o[7] = lane < 16 ? __shfl_xor_sync(0x0000ffff, int(t), 8) : int(__ballot_sync(0xffff0000, lane % 2));
    __syncwarp();
    o[8] = __syncthreads_count(t % 5 == 0);
    o[9] = __syncthreads_and(t < 48);
    o[10] = __syncthreads_or(t == 47) + 2 * __syncthreads_or(t == 48) + 4 * __syncthreads_and(t < 47);
    (void)unused;
}

TEST(CudaSubset, WarpFunctionsAndCountingBarriers) {
    REQUIRE_GPU();
    std::vector<int> expect(48 * 11);
    for (unsigned t = 0; t < 48; ++t) {
        const unsigned lane = t % 32, base = t - lane, lanes = t < 32 ? 32 : 16;
        unsigned ballot = 0, odd = 0;
        for (unsigned l = 0; l < lanes; ++l) ballot |= (l % 3 == 0) << l, odd |= (l >= 16 && l % 2) << l;
        const int row[11] = {int(ballot), t < 32, t < 32, int(t ^ 1),
                             int(base + (lane & 16) + ((lane + 3) & 15)), int(lane % 8 < 4 ? t + 4 : t),
                             int(lane >= 2 ? t - 2 : t), int(lane < 16 ? t ^ 8 : odd), 10, 1, 1};
        std::copy(row, row + 11, expect.begin() + t * 11);
    }
    EXPECT_EQ(run<int>({0}, expect.size(), [](const int* i, int* o) { warpFunctions<<<1, 48>>>(i, o); }), expect);
}

// Each atomic once on a fresh cell: the old value it returns and the value it leaves.
struct Cell {
    int i;
    unsigned u;
    unsigned long long ull;
    long long ll;
    float f;
    double d;
};

__global__ void atomicOnce(int op, Cell* c, long long* old) {
    switch (op) {
        case 0: *old = atomicSub(&c->i, 7); break;
        case 1: *old = atomicExch(&c->u, 9u); break;
        case 2: *old = atomicMin(&c->ll, -5ll); break;
        case 3: *old = atomicCAS(&c->ull, 4ull, 8ull); break;
        case 4: *old = atomicCAS(&c->i, 3, 8); break;
        case 5: *old = atomicAnd(&c->ull, 6ull) + atomicOr(&c->u, 6u) + atomicXor(&c->i, 6); break;
        case 6: *old = atomicInc(&c->u, 4u); break;
        case 7: *old = atomicDec(&c->u, 4u); break;
        case 8: {
            const float a = atomicAdd(&c->f, 0.5f), e = atomicExch(&c->f, 2.f);
            *old = (long long)(4 * (a + atomicAdd(&c->d, 0.25) + e));
            break;
        }
    }
}

TEST(CudaSubset, AtomicsKeepCudaSemantics) {
    REQUIRE_GPU();
    struct Row {
        int op;
        Cell start;
        long long old;
        Cell end;
    };
    const Row rows[] = {
        {0, {5, 0, 0, 0, 0, 0}, 5, {-2, 0, 0, 0, 0, 0}},  {1, {0, 3, 0, 0, 0, 0}, 3, {0, 9, 0, 0, 0, 0}},
        {2, {0, 0, 0, 2, 0, 0}, 2, {0, 0, 0, -5, 0, 0}},  {3, {0, 0, 4, 0, 0, 0}, 4, {0, 0, 8, 0, 0, 0}},
        {4, {2, 0, 0, 0, 0, 0}, 2, {2, 0, 0, 0, 0, 0}},   {5, {3, 3, 3, 0, 0, 0}, 9, {5, 7, 2, 0, 0, 0}},
        {6, {0, 4, 0, 0, 0, 0}, 4, {0, 0, 0, 0, 0, 0}},   {6, {0, 3, 0, 0, 0, 0}, 3, {0, 4, 0, 0, 0, 0}},
        {7, {0, 0, 0, 0, 0, 0}, 0, {0, 4, 0, 0, 0, 0}},   {7, {0, 9, 0, 0, 0, 0}, 9, {0, 4, 0, 0, 0, 0}},
        {7, {0, 3, 0, 0, 0, 0}, 3, {0, 2, 0, 0, 0, 0}},   {8, {0, 0, 0, 0, 1.f, 2.0}, 18, {0, 0, 0, 0, 2.f, 2.25}},
    };
    Cell* d_cell = nullptr;
    long long* d_old = nullptr;
    ASSERT_EQ(cudaMalloc(&d_cell, sizeof(Cell)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&d_old, sizeof(long long)), cudaSuccess);
    for (const Row& r : rows) {
        Cell c;
        long long old = 0;
        ASSERT_EQ(cudaMemcpy(d_cell, &r.start, sizeof(Cell), cudaMemcpyHostToDevice), cudaSuccess);
        atomicOnce<<<1, 1>>>(r.op, d_cell, d_old);
        ASSERT_EQ(cudaMemcpy(&c, d_cell, sizeof(Cell), cudaMemcpyDeviceToHost), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(&old, d_old, sizeof old, cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_EQ(old, r.old) << "op " << r.op;
        EXPECT_TRUE(c.i == r.end.i && c.u == r.end.u && c.ull == r.end.ull && c.ll == r.end.ll && c.f == r.end.f &&
                    c.d == r.end.d)
            << "op " << r.op << ": " << c.i << " " << c.u << " " << c.ull << " " << c.ll << " " << c.f << " " << c.d;
    }
    cudaFree(d_cell);
    cudaFree(d_old);
}

__global__ void hello(int* out) {
    printf("block %d thread %d\n", int(blockIdx.x), int(threadIdx.x));
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1;
}

// Events around a launch, printf from a kernel, page-locked memory, the device's description.
TEST(CudaSubset, EventsPrintfAndTheDevice) {
    REQUIRE_GPU();
    cudaEvent_t start, stop, never;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&never), cudaSuccess);
    int* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(&pinned, 4 * sizeof(int)), cudaSuccess);
    testing::internal::CaptureStdout();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(cudaEventRecord(start), cudaSuccess);
    const std::vector<int> ones = run<int>({0}, 4, [](const int*, int* o) { hello<<<2, 2>>>(o); });
    EXPECT_EQ(cudaEventRecord(stop, 0), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(stop), cudaSuccess);
    const double hostMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count();
    const std::string printed = testing::internal::GetCapturedStdout();
    float ms = -1;
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_GT(ms, 0.f);
    EXPECT_LE(ms, hostMs);
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, never), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
    for (const char* line : {"block 0 thread 0\n", "block 0 thread 1\n", "block 1 thread 0\n", "block 1 thread 1\n"})
        EXPECT_NE(printed.find(line), std::string::npos) << line;
    EXPECT_EQ(ones, std::vector<int>(4, 1));
    for (cudaEvent_t e : {start, stop, never}) EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);

    cudaDeviceProp prop;
    int device = -1;
    ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
    ASSERT_EQ(cudaGetDeviceProperties(&prop, device), cudaSuccess);
    EXPECT_TRUE(prop.warpSize == 32 && prop.maxThreadsPerBlock == 1024 && prop.sharedMemPerBlock == 48 * 1024 &&
                prop.maxThreadsDim[2] == 64 && prop.maxGridSize[1] == 65535 && prop.multiProcessorCount > 0)
        << prop.name;
}

#if GPU_BACKEND_IS_CPU
__global__ void halfWarpReturns(int* out) {
    if (threadIdx.x % 32 >= 16) return;
    out[threadIdx.x] = __shfl_sync(0xffffffff, int(threadIdx.x), 0);
}
__global__ void readsOutsideMask(int* out) {
    if (threadIdx.x < 16) out[threadIdx.x] = __shfl_sync(0x0000ffff, int(threadIdx.x), 20);
}
__global__ void laneOutsideItsMask(int* out) { out[threadIdx.x] = __ballot_sync(0x1, 1); }
__global__ void warpCallThread0Skips(int* out) {
    if (threadIdx.x >= 32) __syncwarp();
    out[threadIdx.x] = 1;
}

// What the cpu backend refuses, and the stderr line naming it.
TEST(CudaSubset, RefusalsNameTheFeature) {
    struct Row {
        const char* what;
        std::function<void(int*)> launch;
        cudaError_t error;
        const char* says;
    };
    const Row rows[] = {
        {"shared memory", [](int* p) { stencil<<<1, 32, 48 * 1024 + 4>>>(p, p, 32); }, cudaErrorInvalidConfiguration,
         "asks for 49156 bytes of dynamic shared memory; a block may have 49152"},
        {"stream", [](int* p) { stencil<<<1, 32, 256, cudaStream_t(0x10)>>>(p, p, 32); },
         cudaErrorInvalidResourceHandle, "a launch on stream 0x10, which is no stream of this device"},
        {"lane ends", [](int* p) { halfWarpReturns<<<1, 64>>>(p); }, cudaErrorLaunchFailure,
         "__shfl_sync(0xffffffff) in warp 0 not reached by every lane its mask names"},
        {"outside mask", [](int* p) { readsOutsideMask<<<1, 32>>>(p); }, cudaErrorLaunchFailure,
         "__shfl_sync(0x0000ffff): lane 0 reads lane 20, which the mask does not name"},
        {"own lane", [](int* p) { laneOutsideItsMask<<<1, 32>>>(p); }, cudaErrorLaunchFailure,
         "__ballot_sync(0x00000001) called by lane 1, which its mask does not name"},
        {"plain block", [](int* p) { warpCallThread0Skips<<<1, 64>>>(p); }, cudaErrorLaunchFailure,
         "__syncwarp reached by threads of a block whose thread 0 reached no barrier or warp function"},
        {"device 1", [](int*) { cudaSetDevice(1); }, cudaErrorInvalidDevice, ""},
    };
    int* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(int)), cudaSuccess);
    for (const Row& r : rows) {
        testing::internal::CaptureStderr();
        r.launch(d);
        cudaDeviceSynchronize();  // a kernel's fault comes with the next synchronizing call
        EXPECT_EQ(cudaGetLastError(), r.error) << r.what;
        EXPECT_NE(testing::internal::GetCapturedStderr().find(r.says), std::string::npos) << r.what;
        gpu::cpu::resetDeviceForTests();
    }
    cudaFree(d);
}
#endif

}  // namespace

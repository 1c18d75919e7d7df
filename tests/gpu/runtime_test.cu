// The runtime layer: launches, barriers, shared memory, constant memory and device
// memory behave as the programs need them to on either backend.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "gpu_test.h"

namespace {

// Device buffer that frees itself; the tests check errors of the raw calls separately. A
// download also checks that the launch before it left no error.
template <typename T>
struct DeviceArray {
    T* p = nullptr;
    size_t n = 0;
    explicit DeviceArray(size_t count) : n(count) { EXPECT_EQ(cudaMalloc(&p, count * sizeof(T)), cudaSuccess); }
    ~DeviceArray() { cudaFree(p); }
    void upload(const std::vector<T>& v) { ASSERT_EQ(cudaMemcpy(p, v.data(), n * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess); }
    std::vector<T> download() {
        std::vector<T> v(n);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        EXPECT_EQ(cudaMemcpy(v.data(), p, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return v;
    }
};

constexpr int kTile = 256;

// Each tile is loaded into shared memory, and every thread then reads its neighbours'
// slots. Without a real barrier after the load, or before the next load, a thread sees
// a neighbour's slot from the wrong tile.
__global__ void neighbourSum(const int* in, int* out, int tiles) {
    __shared__ int tile[kTile];
    int t = threadIdx.x;
    int acc = 0;
    for (int k = 0; k < tiles; ++k) {
        tile[t] = in[(blockIdx.x * tiles + k) * kTile + t];
        __syncthreads();
        acc += tile[(t + 1) % kTile] - tile[(t + kTile - 1) % kTile] + 3 * tile[kTile - 1 - t];
        __syncthreads();
    }
    out[blockIdx.x * kTile + t] = acc;
}

TEST(Barriers, TiledKernelSeesEveryTileWhole) {
    REQUIRE_GPU();
    const int blocks = 6, tiles = 5;
    std::vector<int> in(blocks * tiles * kTile);
    for (size_t i = 0; i < in.size(); ++i) in[i] = int((i * 2654435761u) % 1000);
    DeviceArray<int> d_in(in.size()), d_out(blocks * kTile);
    d_in.upload(in);
    neighbourSum<<<blocks, kTile>>>(d_in.p, d_out.p, tiles);
    std::vector<int> out = d_out.download();
    for (int b = 0; b < blocks; ++b)
        for (int t = 0; t < kTile; ++t) {
            int expect = 0;
            for (int k = 0; k < tiles; ++k) {
                const int* tile = &in[(b * tiles + k) * kTile];
                expect += tile[(t + 1) % kTile] - tile[(t + kTile - 1) % kTile] + 3 * tile[kTile - 1 - t];
            }
            ASSERT_EQ(out[b * kTile + t], expect) << "block " << b << " thread " << t;
        }
}

// Every block writes its own index into shared memory and reads it back, from another
// thread's slot, after barriers; blocks running at the same time must not see each
// other's storage.
__global__ void ownBlockIndex(int* bad, int rounds) {
    __shared__ unsigned slot[64];
    unsigned t = threadIdx.x;
    for (int r = 0; r < rounds; ++r) {
        slot[t] = blockIdx.x * 1000 + r;
        __syncthreads();
        for (int k = 0; k < 64; ++k)
            if (slot[(t + k) % 64] != blockIdx.x * 1000 + r) bad[blockIdx.x] = 1;
        __syncthreads();
    }
}

TEST(SharedMemory, IsPrivateToEachBlock) {
    REQUIRE_GPU();
    const int blocks = 512;
    DeviceArray<int> d_bad(blocks);
    d_bad.upload(std::vector<int>(blocks, 0));
    ownBlockIndex<<<blocks, 64>>>(d_bad.p, 20);
    std::vector<int> bad = d_bad.download();
    EXPECT_EQ(std::accumulate(bad.begin(), bad.end(), 0), 0);
}

// Writes, for every thread of a 3D grid that lies inside the extent, the thread's
// coordinates; threads of partial edge blocks outside the extent write nothing.
__global__ void markCoordinates(int* out, int nx, int ny, int nz, int* dims) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    int z = blockIdx.z * blockDim.z + threadIdx.z;
    if (x == 0 && y == 0 && z == 0) {
        dims[0] = blockDim.x, dims[1] = blockDim.y, dims[2] = blockDim.z;
        dims[3] = gridDim.x, dims[4] = gridDim.y, dims[5] = gridDim.z;
    }
    if (x < nx && y < ny && z < nz) out[(z * ny + y) * nx + x] += x + 100 * y + 10000 * z + 1;
}

TEST(Launch, TwoAndThreeDimensionalShapesWithPartialBlocks) {
    REQUIRE_GPU();
    struct Case {
        int nx, ny, nz;
        dim3 block;
    };
    for (Case c : {Case{37, 1, 1, dim3(16)}, Case{19, 23, 1, dim3(8, 4)}, Case{9, 7, 5, dim3(4, 3, 2)},
                   Case{1, 1, 70, dim3(1, 1, 64)}}) {
        dim3 grid((c.nx + c.block.x - 1) / c.block.x, (c.ny + c.block.y - 1) / c.block.y,
                  (c.nz + c.block.z - 1) / c.block.z);
        const int n = c.nx * c.ny * c.nz;
        DeviceArray<int> d_out(n), d_dims(6);
        d_out.upload(std::vector<int>(n, 0));
        markCoordinates<<<grid, c.block>>>(d_out.p, c.nx, c.ny, c.nz, d_dims.p);
        std::vector<int> out = d_out.download(), dims = d_dims.download();
        for (int z = 0; z < c.nz; ++z)
            for (int y = 0; y < c.ny; ++y)
                for (int x = 0; x < c.nx; ++x)
                    ASSERT_EQ(out[(z * c.ny + y) * c.nx + x], x + 100 * y + 10000 * z + 1) << x << "," << y << "," << z;
        EXPECT_EQ(dims, (std::vector<int>{int(c.block.x), int(c.block.y), int(c.block.z), int(grid.x), int(grid.y),
                                          int(grid.z)}));
    }
}

// Only the first thread of the grid writes, so that many blocks don't race on the flag.
__global__ void setFlag(int* flag) {
    if ((blockIdx.x | blockIdx.y | blockIdx.z | threadIdx.x | threadIdx.y | threadIdx.z) == 0) flag[0] = 1;
}

TEST(Launch, RefusedConfigurationsLaunchNothing) {
    REQUIRE_GPU();
    DeviceArray<int> d_flag(1);
    const dim3 refused[][2] = {
        {dim3(0), dim3(32)},         {dim3(1, 0), dim3(32)},     {dim3(1, 1, 0), dim3(32)},
        {dim3(1), dim3(0)},          {dim3(1), dim3(32, 0)},     {dim3(1), dim3(32, 1, 0)},
        {dim3(1), dim3(1025)},       {dim3(1), dim3(32, 33)},    {dim3(1), dim3(1, 1, 65)},
        {dim3(1), dim3(1, 1025)},    {dim3(1, 65536), dim3(1)},  {dim3(1, 1, 65536), dim3(1)},
    };
    for (auto& c : refused) {
        d_flag.upload({0});
        setFlag<<<c[0], c[1]>>>(d_flag.p);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration)
            << "grid " << c[0].x << "x" << c[0].y << "x" << c[0].z << " block " << c[1].x << "x" << c[1].y << "x" << c[1].z;
        EXPECT_EQ(d_flag.download()[0], 0);
    }
    // The largest shapes still accepted.
    for (auto& c : {std::pair<dim3, dim3>{dim3(1), dim3(1024)}, {dim3(1), dim3(16, 1, 64)},
                    {dim3(1, 65535), dim3(1)}, {dim3(1), dim3(1, 1024)}}) {
        d_flag.upload({0});
        setFlag<<<c.first, c.second>>>(d_flag.p);
        EXPECT_EQ(d_flag.download()[0], 1);
    }
}

// A by-value parameter is each thread's own copy.
__global__ void countDown(int* out, int n) {
    while (n > 0 && threadIdx.x % 2 == 0) --n;
    out[blockIdx.x * blockDim.x + threadIdx.x] = n;
}

TEST(Launch, ParametersAreCopiedPerThread) {
    REQUIRE_GPU();
    DeviceArray<int> d_out(2 * 128);
    countDown<<<2, 128>>>(d_out.p, 7);
    std::vector<int> out = d_out.download();
    for (int i = 0; i < 256; ++i) ASSERT_EQ(out[i], i % 2 == 0 ? 0 : 7) << i;
}

__constant__ float table[16];

__global__ void readTable(float* out) { out[threadIdx.x] = table[threadIdx.x]; }

TEST(ConstantMemory, CopyToSymbolAtAnOffset) {
    REQUIRE_GPU();
    std::vector<float> all(16);
    std::iota(all.begin(), all.end(), 1.0f);
    ASSERT_EQ(cudaMemcpyToSymbol(table, all.data(), sizeof(float) * 16), cudaSuccess);
    const float part[3] = {-1.5f, -2.5f, -3.5f};
    ASSERT_EQ(cudaMemcpyToSymbol(table, part, sizeof part, 5 * sizeof(float)), cudaSuccess);
    // Past the symbol's end is refused and changes nothing.
    EXPECT_NE(cudaMemcpyToSymbol(table, part, sizeof part, 14 * sizeof(float)), cudaSuccess);
    cudaGetLastError();
    DeviceArray<float> d_out(16);
    readTable<<<1, 16>>>(d_out.p);
    std::vector<float> out = d_out.download();
    for (int i = 0; i < 16; ++i) {
        float expect = (i >= 5 && i < 8) ? part[i - 5] : float(i + 1);
        EXPECT_EQ(out[i], expect) << i;
    }
}

TEST(DeviceMemory, CopiesAndMisuse) {
    REQUIRE_GPU();
    std::vector<int> host(100), back(100, 0);
    std::iota(host.begin(), host.end(), 0);
    int *a = nullptr, *b = nullptr;
    ASSERT_EQ(cudaMalloc(&a, 100 * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&b, 100 * sizeof(int)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(a, host.data(), 100 * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(b, a, 100 * sizeof(int), cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(back.data(), b, 100 * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, host);
    // Part of an allocation, starting inside it.
    std::vector<int> tail(10, 0);
    EXPECT_EQ(cudaMemcpy(tail.data(), a + 90, 10 * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(tail[9], 99);
    // A zero-byte copy succeeds.
    EXPECT_EQ(cudaMemcpy(a, host.data(), 0, cudaMemcpyHostToDevice), cudaSuccess);

    if (GPU_BACKEND_IS_CPU) {
        // Mix-ups a GPU would answer with an error or a crash are errors here.
        EXPECT_EQ(cudaMemcpy(a + 91, host.data(), 10 * sizeof(int), cudaMemcpyHostToDevice), cudaErrorInvalidValue);
        EXPECT_EQ(cudaMemcpy(back.data(), a + 1, 100 * sizeof(int), cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
        EXPECT_EQ(cudaMemcpy(host.data(), back.data(), 4, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
        EXPECT_EQ(cudaMemcpy(back.data(), host.data(), 4, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
        EXPECT_EQ(cudaMemcpy(a, b, 4, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
        EXPECT_EQ(cudaFree(host.data()), cudaErrorInvalidValue);
        EXPECT_EQ(cudaFree(a + 1), cudaErrorInvalidValue);
        EXPECT_EQ(cudaMemcpy(a, host.data(), 4, cudaMemcpyKind(7)), cudaErrorInvalidMemcpyDirection);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidMemcpyDirection);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        EXPECT_EQ(back, host) << "a refused copy wrote";
    }
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFree(b), cudaSuccess);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    if (GPU_BACKEND_IS_CPU) {
        EXPECT_EQ(cudaFree(a), cudaErrorInvalidValue) << "double free";
        EXPECT_EQ(cudaMemcpy(back.data(), a, 4, cudaMemcpyDeviceToHost), cudaErrorInvalidValue) << "use after free";
    }
    cudaGetLastError();
}

TEST(DeviceMemory, ZeroByteAllocation) {
    REQUIRE_GPU();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(cudaMalloc(&p, 0), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(p, &p, 0, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaFree(p), cudaSuccess);
}

#if GPU_BACKEND_IS_CPU

TEST(CpuBackend, AllocationsAreTrackedUntilFreed) {
    size_t before = gpu::cpu::trackedAllocationCount();
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, 1000), cudaSuccess);
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), before + 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 256, 0u);
    cudaFree(p);
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), before);
}

// Threads 0..31 wait at the barrier; the others return before it. On a GPU this hangs
// or misbehaves; here it is a reported fault.
__global__ void earlyExit(int* out) {
    if (threadIdx.x >= 32) return;
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1;
}

// Thread 5 returns before the barrier the others wait at: a thread in the middle of the
// block, which the others pass on their way from one thread to the next.
__global__ void middleExit(int* out) {
    if (threadIdx.x == 5) return;
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1;
}

// Thread 0 passes no barrier, others do.
__global__ void divergentBarrier(int* out) {
    if (threadIdx.x > 0) __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = 2;
}

TEST(CpuBackend, BarrierThatCannotCompleteIsReportedNotHung) {
    DeviceArray<int> d_out(3 * 64);
    struct Case {
        void (*kernel)(int*);
        const char* message;
    };
    for (Case c : {Case{earlyExit, "ended while others wait"}, Case{middleExit, "ended while others wait"},
                   Case{divergentBarrier, "reached by some threads"}}) {
        testing::internal::CaptureStderr();
        c.kernel<<<3, 64>>>(d_out.p);
        EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
        EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        gpu::cpu::resetDeviceForTests();  // the fault is sticky until then (errors_test.cu)
    }
}

TEST(CpuBackend, OneWorkerRunsTheSameGrid) {
    gpu::cpu::setWorkerCount(1);
    EXPECT_EQ(gpu::cpu::workerCount(), 1u);
    DeviceArray<int> d_bad(40);
    d_bad.upload(std::vector<int>(40, 0));
    ownBlockIndex<<<40, 64>>>(d_bad.p, 3);
    std::vector<int> bad = d_bad.download();
    EXPECT_EQ(std::accumulate(bad.begin(), bad.end(), 0), 0);
    gpu::cpu::setWorkerCount(0);
    EXPECT_GE(gpu::cpu::workerCount(), 1u);
}

#endif

}  // namespace

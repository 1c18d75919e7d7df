// Asynchronous launches, streams, events on streams, host functions and the launch calls,
// as a CUDA program writes them; each result against what the host computes. A kernel
// that must wait for the host or for another stream waits on a flag in mapped page-locked
// memory, with a time limit, so a backend that ran it at the wrong time fails, never hangs.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "gpu_test.h"

namespace {

constexpr long long kPatience = 2000000000LL;  // clock64() ticks a waiting kernel gives up after

// Waits until *flag is set (by the host or another stream), then writes 1; 2 if it never came.
__global__ void waitForFlag(int* flag, int* result) {
    const long long start = clock64();
    while (atomicAdd(flag, 0) == 0 && clock64() - start < kPatience) {
    }
    *result = atomicAdd(flag, 0) ? 1 : 2;
}
__global__ void setFlag(int* flag) { atomicExch(flag, 1); }

// Writes value into every element after a while, so work that ran early sees the old one.
__global__ void slowFill(int* data, int n, int value) {
    const long long start = clock64();
    while (threadIdx.x == 0 && clock64() - start < kPatience / 40) {
    }
    __syncthreads();
    for (int i = threadIdx.x; i < n; i += blockDim.x) data[i] = value;
}
__global__ void addOne(const int* in, int* out, int n) {
    for (int i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += blockDim.x * gridDim.x) out[i] = in[i] + 1;
}

struct Buffers {
    int* flag = nullptr;  // mapped page-locked: both sides see it while a kernel runs
    int* result = nullptr;
    int *a = nullptr, *b = nullptr;
    static constexpr int n = 256;
    Buffers() {
        EXPECT_EQ(cudaHostAlloc(&flag, 2 * sizeof(int), cudaHostAllocMapped), cudaSuccess);
        result = flag + 1;
        *flag = *result = 0;
        EXPECT_EQ(cudaMalloc(&a, n * sizeof(int)), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&b, n * sizeof(int)), cudaSuccess);
        EXPECT_EQ(cudaMemset(a, 0, n * sizeof(int)), cudaSuccess);
        EXPECT_EQ(cudaMemset(b, 0, n * sizeof(int)), cudaSuccess);
        // The memsets run on the legacy stream, which a non-blocking stream does not wait for.
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }
    ~Buffers() {
        cudaDeviceSynchronize();
        cudaFreeHost(flag);
        cudaFree(a);
        cudaFree(b);
    }
    int first(const int* d) {
        int v = -1;
        EXPECT_EQ(cudaMemcpy(&v, d, sizeof v, cudaMemcpyDeviceToHost), cudaSuccess);
        return v;
    }
};

bool concurrentWorkers() {
#if GPU_BACKEND_IS_CPU
    return gpu::cpu::workerCount() >= 2;
#else
    return true;
#endif
}

void hostAddsTen(void* p) { *static_cast<int*>(p) += 10; }
void callbackSeesStatus(cudaStream_t, cudaError_t status, void* p) { *static_cast<int*>(p) = status == cudaSuccess ? 7 : -7; }

TEST(Streams, OrderAsCudaHasIt) {
    REQUIRE_GPU();
    struct Row {
        const char* what;
        bool needsTwoWorkers;  // two pieces of work must run at the same time
        std::function<int(Buffers&)> run;
        int expected;
    };
    const Row rows[] = {
        // The launch returns before its grid is done: the host sets the flag it waits for.
        {"launch returns at once", false, [](Buffers& m) {
             waitForFlag<<<1, 1>>>(m.flag, m.result);
             __atomic_store_n(m.flag, 1, __ATOMIC_RELEASE);
             cudaDeviceSynchronize();
             return *m.result;
         }, 1},
        {"query while queued", false, [](Buffers& m) {
             cudaStream_t s;
             cudaStreamCreate(&s);
             waitForFlag<<<1, 1, 0, s>>>(m.flag, m.result);
             const cudaError_t busy = cudaStreamQuery(s);
             __atomic_store_n(m.flag, 1, __ATOMIC_RELEASE);
             cudaStreamSynchronize(s);
             const int r = busy == cudaErrorNotReady && cudaStreamQuery(s) == cudaSuccess ? *m.result : -1;
             cudaStreamDestroy(s);
             return r;
         }, 1},
        {"one stream in order", false, [](Buffers& m) {
             cudaStream_t s;
             cudaStreamCreateWithFlags(&s, cudaStreamNonBlocking);
             slowFill<<<1, 64, 0, s>>>(m.a, m.n, 41);
             addOne<<<2, 64, 0, s>>>(m.a, m.b, m.n);
             cudaStreamSynchronize(s);
             cudaStreamDestroy(s);
             return m.first(m.b);
         }, 42},
        {"an event orders two streams", true, [](Buffers& m) {
             cudaStream_t s1, s2;
             cudaEvent_t filled;
             cudaStreamCreateWithFlags(&s1, cudaStreamNonBlocking);
             cudaStreamCreateWithPriority(&s2, cudaStreamNonBlocking, -1);
             cudaEventCreateWithFlags(&filled, cudaEventDisableTiming);
             slowFill<<<1, 64, 0, s1>>>(m.a, m.n, 9);
             cudaEventRecord(filled, s1);
             cudaStreamWaitEvent(s2, filled, 0);
             addOne<<<2, 64, 0, s2>>>(m.a, m.b, m.n);
             cudaStreamSynchronize(s2);
             const int r = cudaEventQuery(filled) == cudaSuccess ? m.first(m.b) : -1;
             cudaEventDestroy(filled);
             cudaStreamDestroy(s1);
             cudaStreamDestroy(s2);
             return r;
         }, 10},
        {"the legacy stream waits for blocking streams", true, [](Buffers& m) {
             cudaStream_t s;
             cudaStreamCreate(&s);
             slowFill<<<1, 64, 0, s>>>(m.a, m.n, 20);
             addOne<<<2, 64>>>(m.a, m.b, m.n);
             const int r = m.first(m.b);
             cudaStreamDestroy(s);
             return r;
         }, 21},
        {"a non-blocking stream does not wait for it", true, [](Buffers& m) {
             cudaStream_t s;
             cudaStreamCreateWithFlags(&s, cudaStreamNonBlocking);
             waitForFlag<<<1, 1>>>(m.flag, m.result);
             setFlag<<<1, 1, 0, s>>>(m.flag);
             cudaStreamSynchronize(s);
             cudaDeviceSynchronize();
             cudaStreamDestroy(s);
             return *m.result;
         }, 1},
        {"host functions in stream order", false, [](Buffers& m) {
             cudaStream_t s;
             cudaStreamCreate(&s);
             int* pinned;
             cudaMallocHost(&pinned, 2 * sizeof(int));
             slowFill<<<1, 64, 0, s>>>(m.a, m.n, 5);
             cudaMemcpyAsync(pinned, m.a, sizeof(int), cudaMemcpyDeviceToHost, s);
             cudaLaunchHostFunc(s, hostAddsTen, pinned);
             cudaStreamAddCallback(s, callbackSeesStatus, pinned + 1, 0);
             cudaStreamSynchronize(s);
             const int r = pinned[0] * 100 + pinned[1];
             cudaFreeHost(pinned);
             cudaStreamDestroy(s);
             return r;
         }, 1507},
        {"asynchronous copies and memsets", false, [](Buffers& m) {
             cudaStream_t s;
             cudaStreamCreate(&s);
             int* pinned;
             cudaMallocHost(&pinned, m.n * sizeof(int));
             for (int i = 0; i < m.n; ++i) pinned[i] = i;
             cudaMemsetAsync(m.b, 0xff, m.n * sizeof(int), s);
             cudaMemcpy2DAsync(m.a, 8, pinned, 8, 8, m.n / 2, cudaMemcpyHostToDevice, s);  // all of it, as rows
             addOne<<<2, 64, 0, s>>>(m.a, m.b, m.n / 2);
             cudaMemcpyAsync(pinned, m.b, m.n * sizeof(int), cudaMemcpyDeviceToHost, s);
             cudaStreamSynchronize(s);
             int r = pinned[m.n / 2 - 1] * 10 + (pinned[m.n / 2] == -1);  // 128 + 1, then the memset's -1
             cudaFreeHost(pinned);
             cudaStreamDestroy(s);
             return r;
         }, 1281},
    };
    for (const Row& row : rows) {
        if (row.needsTwoWorkers && !concurrentWorkers()) continue;
        Buffers m;
        EXPECT_EQ(row.run(m), row.expected) << row.what;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << row.what;
    }
}

__global__ void scaleBy(float* data, float factor, int n) {
    extern __shared__ float staged[];
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    staged[threadIdx.x] = i < n ? data[i] : 0.0f;
    __syncthreads();
    if (i < n) data[i] = staged[threadIdx.x] * factor;
}

// cudaLaunchKernel, the opt-in to more shared memory, and the queries about kernels and the
// device, with what a program does with their answers.
TEST(Streams, LaunchAndFunctionCalls) {
    REQUIRE_GPU();
    const int n = 1000;
    std::vector<float> host(n);
    for (int i = 0; i < n; ++i) host[i] = float(i);
    float* d;
    ASSERT_EQ(cudaMalloc(&d, n * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(d, host.data(), n * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);

    int minGrid = 0, block = 0;
    ASSERT_EQ(cudaOccupancyMaxPotentialBlockSize(&minGrid, &block, scaleBy, 0, 256), cudaSuccess);
    EXPECT_TRUE(block > 0 && block <= 256 && minGrid > 0) << block << " " << minGrid;
    int perSm = 0;
    ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&perSm, scaleBy, block, block * sizeof(float)), cudaSuccess);
    EXPECT_GE(perSm, 1);

    float factor = 3.0f;
    int count = n;
    void* args[] = {&d, &factor, &count};
    const unsigned blocks = (n + block - 1) / block;
    ASSERT_EQ(cudaLaunchKernel(scaleBy, dim3(blocks), dim3(block), args, block * sizeof(float), 0), cudaSuccess);
    std::vector<float> out(n);
    ASSERT_EQ(cudaMemcpy(out.data(), d, n * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], 3.0f * float(i)) << i;

    // More than 48 KiB of dynamic shared memory needs the kernel's opt-in, up to the limit.
    int optin = 0;
    ASSERT_EQ(cudaDeviceGetAttribute(&optin, cudaDevAttrMaxSharedMemoryPerBlockOptin, 0), cudaSuccess);
    ASSERT_GT(optin, 48 * 1024);
    const size_t big = 64 * 1024 < size_t(optin) ? 64 * 1024 : size_t(optin);
    scaleBy<<<1, 32, big>>>(d, 1.0f, 32);
    EXPECT_NE(cudaGetLastError(), cudaSuccess) << "more than 48 KiB without the opt-in";
    EXPECT_EQ(cudaFuncSetAttribute(scaleBy, cudaFuncAttributeMaxDynamicSharedMemorySize, optin + 1),
              cudaErrorInvalidValue);
    cudaGetLastError();
    ASSERT_EQ(cudaFuncSetAttribute(scaleBy, cudaFuncAttributeMaxDynamicSharedMemorySize, int(big)), cudaSuccess);
    scaleBy<<<1, 32, big>>>(d, 2.0f, 32);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(out.data(), d, 32 * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(out[31], 6.0f * 31);
    cudaFuncAttributes attr;
    ASSERT_EQ(cudaFuncGetAttributes(&attr, scaleBy), cudaSuccess);
    EXPECT_EQ(attr.maxDynamicSharedSizeBytes, int(big));
    EXPECT_GT(attr.maxThreadsPerBlock, 0);

    int warp = 0, runtime = 0, driver = 0;
    ASSERT_EQ(cudaDeviceGetAttribute(&warp, cudaDevAttrWarpSize, 0), cudaSuccess);
    EXPECT_EQ(warp, 32);
    ASSERT_EQ(cudaRuntimeGetVersion(&runtime), cudaSuccess);
    ASSERT_EQ(cudaDriverGetVersion(&driver), cudaSuccess);
    EXPECT_GE(runtime, 13000);
    EXPECT_GE(driver, runtime);
    EXPECT_EQ(cudaFree(d), cudaSuccess);
}

}  // namespace

// Managed, pitched, page-locked and registered memory, and symbols, as a CUDA program uses
// them; each result against the host's own computation, each misuse with CUDA's error.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "gpu_test.h"

namespace {

__constant__ int weights[4] = {1, 2, 3, 4};
__device__ int hits;
__device__ float table[4];

// Each thread looks up table[i % 4] and counts itself in hits, through the variable or, when
// handed one, through its address.
__global__ void lookUpAndCount(float* out, int* counter) {
    const int i = threadIdx.x;
    out[i] = table[i % 4];
    atomicAdd(counter ? counter : &hits, 1);
}

__global__ void addArrays(int n, const float* x, float* y) {
    for (int i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += blockDim.x * gridDim.x) y[i] = x[i] + y[i];
}

// Each element of a width x height pitched image becomes row * 1000 + column + what weights says.
__global__ void fillPitched(int* image, size_t pitch, int width, int height, const int* w) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x, y = blockIdx.y;
    if (x < width && y < height) {
        int* row = reinterpret_cast<int*>(reinterpret_cast<char*>(image) + y * pitch);
        row[x] += y * 1000 + x + w[3];
    }
}

TEST(Memory, ManagedPitchedAndPageLocked) {
    REQUIRE_GPU();
    // Managed memory, both attach flags: the host writes, a kernel adds, the host reads
    // after synchronizing.
    for (unsigned flags : {unsigned(cudaMemAttachGlobal), unsigned(cudaMemAttachHost)}) {
        const int n = 1 << 12;
        float *x, *y;
        ASSERT_EQ(cudaMallocManaged(&x, n * sizeof(float), flags), cudaSuccess);
        ASSERT_EQ(cudaMallocManaged(&y, n * sizeof(float)), cudaSuccess);
        for (int i = 0; i < n; ++i) {
            x[i] = 1.0f;
            y[i] = float(i);
        }
        cudaMemLocation device{cudaMemLocationTypeDevice, 0}, host{cudaMemLocationTypeHost, 0};
        EXPECT_EQ(cudaMemAdvise(x, n * sizeof(float), cudaMemAdviseSetReadMostly, device), cudaSuccess);
        EXPECT_EQ(cudaMemPrefetchAsync(x, n * sizeof(float), device, 0, 0), cudaSuccess);
        addArrays<<<8, 128>>>(n, x, y);
        EXPECT_EQ(cudaMemPrefetchAsync(y, n * sizeof(float), host, 0, 0), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        for (int i = 0; i < n; ++i) ASSERT_EQ(y[i], float(i) + 1.0f) << i;
        EXPECT_EQ(cudaFree(x), cudaSuccess);
        EXPECT_EQ(cudaFree(y), cudaSuccess);
    }

    // A pitched image: set, filled by a kernel, copied back as rows of its own width.
    const int width = 100, height = 7;
    int* image;
    size_t pitch = 0;
    ASSERT_EQ(cudaMallocPitch(&image, &pitch, width * sizeof(int), height), cudaSuccess);
    EXPECT_GE(pitch, width * sizeof(int));
    ASSERT_EQ(cudaMemset2D(image, pitch, 0, width * sizeof(int), height), cudaSuccess);
    int* w;
    ASSERT_EQ(cudaGetSymbolAddress(reinterpret_cast<void**>(&w), weights), cudaSuccess);
    fillPitched<<<dim3(1, height), 128>>>(image, pitch, width, height, w);
    std::vector<int> rows(width * height);
    ASSERT_EQ(cudaMemcpy2D(rows.data(), width * sizeof(int), image, pitch, width * sizeof(int), height,
                           cudaMemcpyDeviceToHost),
              cudaSuccess);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) ASSERT_EQ(rows[y * width + x], y * 1000 + x + 4) << x << "," << y;
    EXPECT_EQ(cudaMemcpy2D(rows.data(), 4, image, pitch, 8, 1, cudaMemcpyDeviceToHost), cudaErrorInvalidPitchValue);
    cudaGetLastError();
    int fromSymbol[4] = {};
    ASSERT_EQ(cudaMemcpyFromSymbol(fromSymbol, weights, sizeof fromSymbol), cudaSuccess);
    EXPECT_EQ(fromSymbol[0] + fromSymbol[3], 5);

    // Registered host memory: an asynchronous copy into it, read after the stream is done.
    std::vector<int> registered(width);
    ASSERT_EQ(cudaHostRegister(registered.data(), width * sizeof(int), cudaHostRegisterDefault), cudaSuccess);
    EXPECT_EQ(cudaHostRegister(registered.data(), 4, 0), cudaErrorHostMemoryAlreadyRegistered);
    cudaGetLastError();
    cudaStream_t s;
    ASSERT_EQ(cudaStreamCreate(&s), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(registered.data(), reinterpret_cast<char*>(image) + 2 * pitch, width * sizeof(int),
                              cudaMemcpyDeviceToHost, s),
              cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(s), cudaSuccess);
    EXPECT_EQ(registered[99], 2099 + 4);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
    EXPECT_EQ(cudaHostUnregister(registered.data()), cudaSuccess);
    EXPECT_EQ(cudaHostUnregister(registered.data()), cudaErrorHostMemoryNotRegistered);
    cudaGetLastError();

    // What each kind of pointer is.
    float* managed;
    int* pinned;
    ASSERT_EQ(cudaMallocManaged(&managed, 64), cudaSuccess);
    ASSERT_EQ(cudaHostAlloc(&pinned, 64, cudaHostAllocMapped | cudaHostAllocPortable), cudaSuccess);
    int onStack = 0;
    const struct {
        const void* p;
        cudaMemoryType type;
    } kinds[] = {{image, cudaMemoryTypeDevice}, {managed + 3, cudaMemoryTypeManaged}, {pinned, cudaMemoryTypeHost},
                 {&onStack, cudaMemoryTypeUnregistered}};
    for (const auto& k : kinds) {
        cudaPointerAttributes a;
        ASSERT_EQ(cudaPointerGetAttributes(&a, k.p), cudaSuccess);
        EXPECT_EQ(a.type, k.type) << k.p;
        EXPECT_EQ(a.devicePointer != nullptr, k.type != cudaMemoryTypeUnregistered) << k.type;
        EXPECT_EQ(a.hostPointer != nullptr, k.type == cudaMemoryTypeManaged || k.type == cudaMemoryTypeHost) << k.type;
    }
    void* mapped = nullptr;
    EXPECT_EQ(cudaHostGetDevicePointer(&mapped, pinned, 0), cudaSuccess);
    EXPECT_NE(mapped, nullptr);
    size_t free = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_TRUE(total > 0 && free <= total);

    // Misuse, with CUDA's errors.
    void* p = nullptr;
    cudaMemLocation device{cudaMemLocationTypeDevice, 0};
    const struct {
        const char* what;
        std::function<cudaError_t()> call;
        cudaError_t error;
    } misuse[] = {
        {"unknown host-alloc flag", [&] { return cudaHostAlloc(&p, 64, 0x80); }, cudaErrorInvalidValue},
        {"unknown attach flag", [&] { return cudaMallocManaged(&p, 64, 0x80); }, cudaErrorInvalidValue},
        {"prefetch of device memory", [&] { return cudaMemPrefetchAsync(image, 64, device, 0, 0); }, cudaErrorInvalidValue},
        {"unknown advice", [&] { return cudaMemAdvise(managed, 64, cudaMemoryAdvise(99), device); }, cudaErrorInvalidValue},
        {"prefetch past the end", [&] { return cudaMemPrefetchAsync(managed, 65, device, 0, 0); }, cudaErrorInvalidValue},
    };
    for (const auto& m : misuse) {
        EXPECT_EQ(m.call(), m.error) << m.what;
        cudaGetLastError();
    }
    EXPECT_EQ(cudaFree(managed), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
    EXPECT_EQ(cudaFree(image), cudaSuccess);
}

// __device__ variables as symbols: copied to and from, with an offset, their address handed
// to a kernel; a copy past the end refused.
TEST(Memory, DeviceVariablesAreSymbols) {
    REQUIRE_GPU();
#if GPU_BACKEND_IS_CPU && !defined(GPUDEMOS_KERNEL_PARSER)
    GTEST_SKIP() << "built without the kernel parser (libclang-dev): __device__ variables are not symbols";
#endif
    const float values[4] = {0.5f, 1.5f, 2.5f, 3.5f};
    const int zero = 0;
    ASSERT_EQ(cudaMemcpyToSymbol(table, values, sizeof values), cudaSuccess);
    ASSERT_EQ(cudaMemcpyToSymbol(hits, &zero, sizeof zero), cudaSuccess);
    int* counter = nullptr;
    ASSERT_EQ(cudaGetSymbolAddress(reinterpret_cast<void**>(&counter), hits), cudaSuccess);
    float* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, 64 * sizeof(float)), cudaSuccess);
    lookUpAndCount<<<1, 64>>>(out, nullptr);
    lookUpAndCount<<<1, 32>>>(out, counter);
    int count = 0;
    ASSERT_EQ(cudaMemcpyFromSymbol(&count, hits, sizeof count), cudaSuccess);
    EXPECT_EQ(count, 96);
    float third = 0, looked[64];
    ASSERT_EQ(cudaMemcpyFromSymbol(&third, table, sizeof third, 2 * sizeof(float)), cudaSuccess);
    EXPECT_EQ(third, 2.5f);
    ASSERT_EQ(cudaMemcpy(looked, out, sizeof looked, cudaMemcpyDeviceToHost), cudaSuccess);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(looked[i], values[i % 4]) << i;
    EXPECT_EQ(cudaMemcpyToSymbol(hits, values, sizeof values), cudaErrorInvalidValue);
    cudaGetLastError();
    cudaFree(out);
}

#if GPU_BACKEND_IS_CPU
// What only the cpu backend checks: every byte of a 2-D copy's rows, and the kinds of
// memory each call takes.
TEST(Memory, TwoDimensionalCopiesStayInsideTheirAllocations) {
    int* image;
    size_t pitch;
    ASSERT_EQ(cudaMallocPitch(&image, &pitch, 64, 4), cudaSuccess);
    std::vector<char> host(4096);
    float* managed;
    ASSERT_EQ(cudaMallocManaged(&managed, 64), cudaSuccess);
    const struct {
        const char* what;
        std::function<cudaError_t()> call;
        cudaError_t error;
    } rows[] = {
        {"one row too many", [&] { return cudaMemcpy2D(host.data(), 64, image, pitch, 64, 5, cudaMemcpyDeviceToHost); },
         cudaErrorInvalidValue},
        {"a row past the pitch", [&] { return cudaMemset2D(image, pitch, 0, pitch + 1, 1); }, cudaErrorInvalidValue},
        {"host rows into device memory",
         [&] { return cudaMemcpy2D(image, pitch, host.data(), 64, 64, 4, cudaMemcpyDeviceToHost); }, cudaErrorInvalidValue},
        {"async past the end", [&] { return cudaMemsetAsync(image, 0, pitch * 4 + 1, 0); }, cudaErrorInvalidValue},
        {"managed memory is the host's too",
         [&] { return cudaMemcpy(managed, host.data(), 64, cudaMemcpyHostToHost); }, cudaSuccess},
        {"free of managed memory as host memory", [&] { return cudaFreeHost(managed); }, cudaErrorInvalidValue},
        {"free of a registered range", [&] {
             cudaHostRegister(host.data(), 64, 0);
             const cudaError_t e = cudaFreeHost(host.data());
             cudaHostUnregister(host.data());
             return e;
         }, cudaErrorInvalidValue},
        {"register over device memory", [&] { return cudaHostRegister(image, 16, 0); }, cudaErrorInvalidValue},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.call(), r.error) << r.what;
        cudaGetLastError();
    }
    EXPECT_EQ(cudaFree(managed), cudaSuccess);
    EXPECT_EQ(cudaFree(image), cudaSuccess);
}
#endif

}  // namespace

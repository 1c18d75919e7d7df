// The cpu backend: the subset of the CUDA runtime that the programs use, with the CUDA
// names and values, running kernels on a pool of CPU worker threads.
//
// Execution model (what makes a kernel behave here as on a GPU):
//  - the blocks of a launch run in parallel, one worker thread per core;
//  - all threads of a block run on one worker, one block at a time per worker, so
//    __shared__ (a static thread_local) is private to the block being run;
//  - a block whose first thread reaches no __syncthreads() runs its threads as a plain
//    loop; otherwise every thread of the block gets its own fiber and every barrier is
//    a real block barrier;
//  - launchKernel returns when the whole grid is done.
// Only gpu/runtime.h includes this file.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#define __global__
#define __device__
#define __host__
#define __constant__
#define __shared__ static thread_local
#define __forceinline__ inline __attribute__((always_inline))
#define __noinline__ __attribute__((noinline))

// ---- vector types -----------------------------------------------------------------

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return uint3{x, y, z}; }
};

struct float3 {
    float x, y, z;
};

struct alignas(16) float4 {
    float x, y, z, w;
};

inline float3 make_float3(float x, float y, float z) { return float3{x, y, z}; }
inline float4 make_float4(float x, float y, float z, float w) { return float4{x, y, z, w}; }
inline uint3 make_uint3(unsigned int x, unsigned int y, unsigned int z) { return uint3{x, y, z}; }

// ---- errors -------------------------------------------------------------------------

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidSymbol = 13,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
    cudaErrorUnknown = 999,
};
typedef cudaError_t cudaError;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();

// ---- device and memory --------------------------------------------------------------

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaMalloc(void** devPtr, size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);

template <typename T>
inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}

namespace gpu::cpu {
cudaError_t copyToSymbol(void* symbol, size_t symbolSize, const void* src, size_t count, size_t offset,
                         cudaMemcpyKind kind);
cudaError_t copyFromSymbol(void* dst, const void* symbol, size_t symbolSize, size_t count, size_t offset,
                           cudaMemcpyKind kind);
}  // namespace gpu::cpu

// A __constant__ variable is an ordinary global here; the copy is bounded by its size.
template <typename T>
inline cudaError_t cudaMemcpyToSymbol(const T& symbol, const void* src, size_t count, size_t offset = 0,
                                      cudaMemcpyKind kind = cudaMemcpyHostToDevice) {
    return gpu::cpu::copyToSymbol(const_cast<void*>(static_cast<const void*>(&symbol)), sizeof(T), src, count,
                                  offset, kind);
}

template <typename T>
inline cudaError_t cudaMemcpyFromSymbol(void* dst, const T& symbol, size_t count, size_t offset = 0,
                                        cudaMemcpyKind kind = cudaMemcpyDeviceToHost) {
    return gpu::cpu::copyFromSymbol(dst, &symbol, sizeof(T), count, offset, kind);
}

// ---- execution ----------------------------------------------------------------------

namespace gpu::cpu {

// Built-in variables of the thread being run on this worker. Plain data, so reading
// them is one thread-local load.
struct ThreadContext {
    uint3 thread;     // threadIdx
    uint3 block;      // blockIdx
    uint3 blockSize;  // blockDim
    uint3 gridSize;   // gridDim
};
inline thread_local ThreadContext context{};

// One launch, type-erased: runThreads() runs threads [first, end) of the current block as
// plain calls; runOne() runs the current thread once.
struct LaunchDesc {
    void (*runThreads)(const void* closure, unsigned first, unsigned end);
    void (*runOne)(const void* closure);
    const void* closure;
    uint3 grid;
    uint3 block;
};

// The checks the CUDA runtime makes on a launch configuration.
cudaError_t checkLaunchConfig(dim3 grid, dim3 block);

// Runs every block of the grid on the worker pool and returns when all are done.
void runGrid(const LaunchDesc& desc);

void syncThreads();

// Number of worker threads (the launching thread counts as one). Default: one per core.
unsigned workerCount();
void setWorkerCount(unsigned n);

// Device allocations currently tracked (for leak checks).
size_t trackedAllocationCount();
size_t trackedAllocationBytes();

template <typename Kernel, typename Tuple>
struct Closure {
    Kernel kernel;
    Tuple args;
};

template <typename Kernel, typename Tuple>
void runThreadsOf(const void* p, unsigned first, unsigned end) {
    auto& c = *static_cast<const Closure<Kernel, Tuple>*>(p);
    const unsigned bx = context.blockSize.x, by = context.blockSize.y;
    unsigned x = first % bx, y = (first / bx) % by, z = first / (bx * by);
    for (unsigned t = first; t < end; ++t) {
        context.thread = uint3{x, y, z};
        // The arguments go in as const lvalues: each thread gets its own copy of every
        // by-value parameter, as on a GPU.
        std::apply(c.kernel, c.args);
        if (++x == bx) {
            x = 0;
            if (++y == by) {
                y = 0;
                ++z;
            }
        }
    }
}

template <typename Kernel, typename Tuple>
void runOneOf(const void* p) {
    auto& c = *static_cast<const Closure<Kernel, Tuple>*>(p);
    std::apply(c.kernel, c.args);
}

}  // namespace gpu::cpu

#define threadIdx (::gpu::cpu::context.thread)
#define blockIdx (::gpu::cpu::context.block)
#define blockDim (::gpu::cpu::context.blockSize)
#define gridDim (::gpu::cpu::context.gridSize)

inline void __syncthreads() { ::gpu::cpu::syncThreads(); }

// Runs kernel over grid x block threads with the given arguments. Returns cudaSuccess
// when the grid ran, or the configuration error (and runs nothing) when the CUDA
// runtime would refuse the shape. Faults found while running (a barrier that cannot
// complete) are reported through cudaGetLastError() and the next cudaMemcpy().
template <typename... Params, typename... Args>
cudaError_t launchKernel(void (*kernel)(Params...), dim3 grid, dim3 block, Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "launchKernel: wrong number of kernel arguments");
    cudaError_t err = ::gpu::cpu::checkLaunchConfig(grid, block);
    if (err != cudaSuccess) return err;
    using Tuple = std::tuple<std::decay_t<Params>...>;
    using Kernel = void (*)(Params...);
    const ::gpu::cpu::Closure<Kernel, Tuple> closure{kernel, Tuple(std::forward<Args>(args)...)};
    ::gpu::cpu::LaunchDesc desc{&::gpu::cpu::runThreadsOf<Kernel, Tuple>, &::gpu::cpu::runOneOf<Kernel, Tuple>,
                                &closure, uint3{grid.x, grid.y, grid.z}, uint3{block.x, block.y, block.z}};
    ::gpu::cpu::runGrid(desc);
    return cudaSuccess;
}

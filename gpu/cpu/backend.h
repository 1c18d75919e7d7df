// The cpu backend: the subset of the CUDA runtime that the programs use, with the CUDA
// names and values, running kernels on a pool of CPU worker threads.
//
// Execution model (what makes a kernel behave here as on a GPU):
//  - the blocks of a launch run in parallel, one worker thread per core;
//  - all threads of a block run on one worker, one block at a time per worker, so
//    __shared__ (a static thread_local) is private to the block being run;
//  - a block whose first thread reaches no __syncthreads() runs its threads as a plain
//    loop; otherwise every thread of the block gets its own fiber (512 KiB of stack, with
//    a guard region below it) and every barrier is a real block barrier;
//  - a launch returns when the whole grid is done.
// What a GPU refuses is refused here too: copies that stray outside device memory, symbol
// copies into anything but a __constant__ variable, and kernels handed host pointers.
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
// __constant__ variables are gathered in one linker section, so that a symbol copy can
// tell a constant-memory variable from a plain host global (cudaErrorInvalidSymbol).
#define __constant__ __attribute__((section("gpudemos_const"), used))
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
    cudaErrorIllegalAddress = 700,
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

// A __constant__ variable is an ordinary global in its own section; anything else is
// refused. The copy is bounded by the variable's size.
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

// The checks the CUDA runtime makes on a launch configuration (nothing is recorded).
cudaError_t checkLaunchConfig(dim3 grid, dim3 block);

// A launch's <<<grid, block, sharedBytes, stream>>>; plain numbers convert to dim3 as in CUDA.
struct LaunchConfig {
    dim3 grid, block;
    size_t sharedBytes;
    int stream;
    LaunchConfig(dim3 g, dim3 b, size_t shared = 0, int s = 0) : grid(g), block(b), sharedBytes(shared), stream(s) {}
};

// The start of every launch: the sticky fault if the device has one, else the check of the
// configuration, whose refusal becomes the pending error. An earlier unread error stays.
cudaError_t beginLaunch(const LaunchConfig& config);

// Refuses a launch whose pointer arguments (ptrs[i], null for non-pointers) are not null,
// not inside a tracked allocation and not inside a __constant__ variable: one line on
// stderr names the kernel and the argument (its text in argText, the launch's argument
// list as written), and the device takes the sticky fault
// cudaErrorIllegalAddress, as a GPU does when the kernel dereferences it.
cudaError_t checkKernelPointers(const char* kernel, const char* argText, const void* const* ptrs, unsigned n);

// Runs every block of the grid on the worker pool and returns when all are done: the
// grid's fault (sticky) or cudaSuccess.
cudaError_t runGrid(const LaunchDesc& desc);

void syncThreads();

// Test-only: clears the sticky fault and the pending error, as a fresh process would
// start. The programs never call it: on a GPU a faulted context stays broken.
void resetDeviceForTests();

// Number of worker threads (the launching thread counts as one). Default: one per core.
unsigned workerCount();
void setWorkerCount(unsigned n);

// Device allocations currently tracked (for leak checks).
size_t trackedAllocationCount();
size_t trackedAllocationBytes();

template <typename T>
constexpr bool isDataPointer = std::is_pointer_v<T> && !std::is_function_v<std::remove_pointer_t<T>>;

template <typename T>
const void* pointerOrNull(const T& v) {
    if constexpr (isDataPointer<T>)
        return (const void*)v;
    else
        return nullptr;
}

template <typename Tuple, size_t... I>
cudaError_t checkPointers(const char* kernel, const char* argText, const Tuple& t, std::index_sequence<I...>) {
    const void* ptrs[sizeof...(I) + 1] = {pointerOrNull(std::get<I>(t))..., nullptr};
    return checkKernelPointers(kernel, argText, ptrs, (unsigned)sizeof...(I));
}

// `call` runs the kernel by its name, with the arguments of one thread: a direct call.
template <typename Call, typename Tuple>
struct Closure {
    Call call;
    Tuple args;
};

// The thread loop of a barrier-free block. flatten inlines the kernel (and what it calls)
// into the loop wherever its body is visible, that is for a launch in the kernel's own
// file, which is where the programs launch. The arguments are copied once a block into a
// local that nothing else can reach, so the kernel's stores do not force them to be
// reloaded for every thread. A thread then costs about what an iteration of a plain loop
// costs.
template <typename Call, typename Tuple>
__attribute__((flatten)) void runThreadsOf(const void* p, unsigned first, unsigned end) {
    const Closure<Call, Tuple> c = *static_cast<const Closure<Call, Tuple>*>(p);
    const unsigned bx = context.blockSize.x, by = context.blockSize.y;
    if (by == 1 && context.blockSize.z == 1) {
        // A one-dimensional block: only threadIdx.x changes from thread to thread.
        context.thread = uint3{first, 0, 0};
        for (unsigned x = first; x < end; ++x) {
            context.thread.x = x;
            std::apply(c.call, c.args);
        }
        return;
    }
    unsigned x = first % bx, y = (first / bx) % by, z = first / (bx * by);
    for (unsigned t = first; t < end; ++t) {
        context.thread = uint3{x, y, z};
        // The arguments go in as const lvalues: each thread gets its own copy of every
        // by-value parameter, as on a GPU.
        std::apply(c.call, c.args);
        if (++x == bx) {
            x = 0;
            if (++y == by) {
                y = 0;
                ++z;
            }
        }
    }
}

template <typename Call, typename Tuple>
void runOneOf(const void* p) {
    auto& c = *static_cast<const Closure<Call, Tuple>*>(p);
    std::apply(c.call, c.args);
}

}  // namespace gpu::cpu

#define threadIdx (::gpu::cpu::context.thread)
#define blockIdx (::gpu::cpu::context.block)
#define blockDim (::gpu::cpu::context.blockSize)
#define gridDim (::gpu::cpu::context.gridSize)

inline void __syncthreads() { ::gpu::cpu::syncThreads(); }

namespace gpu::cpu {

// kernel<<<config>>>(args...) under the cpu backend: the build (translate_launches.cpp)
// rewrites it as launchNamed(name, argText, kernel, call, config)(args...), handing in the
// kernel's name and the arguments' text for the messages, the kernel (whose parameters fix
// the arguments' types) and a call of it by name. The call runs the whole grid before it
// returns and leaves its result for cudaGetLastError() (gpu/runtime.h).
template <typename Call, typename... Params>
struct Launch {
    const char* name;
    const char* argText;
    Call call;
    LaunchConfig config;

    template <typename... Args>
    void operator()(Args&&... args) const {
        static_assert(sizeof...(Params) == sizeof...(Args), "kernel launch: wrong number of kernel arguments");
        if constexpr (sizeof...(Params) == sizeof...(Args)) {  // one error for a wrong count, not a cascade
            if (beginLaunch(config) != cudaSuccess) return;
            using Tuple = std::tuple<std::decay_t<Params>...>;
            const Closure<Call, Tuple> closure{call, Tuple(std::forward<Args>(args)...)};
            if (checkPointers(name, argText, closure.args, std::index_sequence_for<Params...>{}) != cudaSuccess) return;
            const LaunchDesc desc{&runThreadsOf<Call, Tuple>, &runOneOf<Call, Tuple>, &closure,
                                  uint3{config.grid.x, config.grid.y, config.grid.z},
                                  uint3{config.block.x, config.block.y, config.block.z}};
            runGrid(desc);
        }
    }
};

template <typename... Params, typename Call>
Launch<Call, Params...> launchNamed(const char* name, const char* argText, void (*)(Params...), Call call,
                                    LaunchConfig config) {
    return {name, argText, call, config};
}

}  // namespace gpu::cpu

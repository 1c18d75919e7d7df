// The cpu backend: the common subset of CUDA (docs/architecture.md lists it), with the
// CUDA names and values, running kernels on a pool of CPU worker threads.
//
// Execution model (what makes a kernel behave here as on a GPU):
//  - the blocks of a launch run in parallel, one worker thread per core;
//  - all threads of a block run on one worker, one block at a time per worker, so
//    __shared__ (a static thread_local) is private to the block being run;
//  - a kernel whose barriers the build's kernel parser proves are reached by the whole
//    block runs each block through its block function, loops over the threads split at
//    the barriers (below);
//  - a block whose first thread reaches no __syncthreads() and no warp function runs its
//    threads as a plain loop; otherwise every thread of the block gets its own fiber (512
//    KiB of stack, with a guard region below it), every barrier is a real block barrier
//    and every warp function a rendezvous of the lanes its mask names (warp.h);
//  - a launch queues its grid on its stream and returns at once; the streams run their
//    work in order, and CUDA's synchronizing calls wait for it (queue.h, pool.cpp).
// What a GPU refuses is refused here too: copies that stray outside device memory, symbol
// copies into anything but a __constant__ variable, and kernels handed host pointers.
// gpu/runtime.h includes this file, and so do <cuda_runtime.h> and <cuda.h> of the cpu
// build (gpu/cpu/include/), which every translated .cu file sees as nvcc's .cu files do.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <cstring>
// Before __noinline__ is defined below: the standard library spells an attribute
// __attribute__((__noinline__)) (shared_ptr), which nvcc reads as a keyword.
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

// The build's kernel parser (gpu/cpu/split/) parses each kernel file with
// GPUDEMOS_KERNEL_SCAN defined, to tell the kernels from the other functions, and
// GPUDEMOS_DEVICE_SCAN, to find the __device__ variables (registerDeviceVariable).
#ifdef GPUDEMOS_KERNEL_SCAN
#define __global__ __attribute__((annotate("gpudemos_global")))
#else
#define __global__
#endif
#ifdef GPUDEMOS_DEVICE_SCAN
#define __device__ __attribute__((annotate("gpudemos_device")))
#else
#define __device__
#endif
#define __host__
// __constant__ variables are gathered in one linker section, so that a symbol copy can
// tell a constant-memory variable from a plain host global (cudaErrorInvalidSymbol).
#define __constant__ __attribute__((section("gpudemos_const"), used))
#define __shared__ static thread_local
#define __forceinline__ inline __attribute__((always_inline))
#define __noinline__ __attribute__((noinline))
#define __align__(n) __attribute__((aligned(n)))
// `extern __shared__ T name[];` (a launch's dynamic shared memory) is rewritten by the
// build's translation of the .cu file into a declaration of this per-worker array
// (gpudemos_dynamic_shared, 16-byte aligned), of which a block may use kMaxSharedBytes,
// or up to kMaxSharedOptinBytes with the kernel's opt-in.

#include "gpu/cpu/vector_types.h"
#include "gpu/cpu/runtime_api.h"

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

// The shared memory a block may have without a kernel's opt-in, as on a GPU: 48 KiB; and
// the most a kernel may opt in to (cudaFuncSetAttribute), as on a GPU of compute
// capability 8.6: 99 KiB.
constexpr size_t kMaxSharedBytes = 48 * 1024;
constexpr size_t kMaxSharedOptinBytes = 99 * 1024;

// One launch, type-erased: runThreads() runs threads [first, end) of the current block as
// plain calls; runOne() runs the current thread once.
struct LaunchDesc {
    void (*runThreads)(const void* closure, unsigned first, unsigned end);
    void (*runOne)(const void* closure);
    const void* closure;
    uint3 grid;
    uint3 block;
    size_t sharedBytes;  // the launch's dynamic shared memory
    // The kernel's block function (blockFunctionOf), run by runSplit once a block; null
    // when every block runs thread by thread.
    void (*runSplit)(const void* closure, const void* blockFunction) = nullptr;
    const void* blockFunction = nullptr;
};

// ---- blocks as loops split at their barriers ---------------------------------------------
//
// For a kernel whose barriers the build's kernel parser (gpu/cpu/split/) proves are reached
// by the whole block, the build adds a block function: the same parameters, and a body that
// runs the kernel's statements between two barriers as a loop over the block's threads
// (forEachThread), keeping the threads' values that live across a barrier in arrays of one
// element a thread (threadArray). No thread switches at all; the same bits as the fibers.

// Called by the added code as the program starts: `blockFunction` runs the blocks of
// `kernel`. Returns true.
bool registerBlockFunction(const void* kernel, const void* blockFunction);
// The block function of `kernel`, or null when it has none or they are switched off
// (setSplitBlocks, or GPUDEMOS_SPLIT_BLOCKS=0 in the environment; never under TSan, whose
// race reports need one fiber a thread).
const void* blockFunctionOf(const void* kernel);
// On by default. Tests and the benchmark turn it off to compare the two paths.
void setSplitBlocks(bool on);

// Called by the line the kernel parser adds after each __device__ variable of a kernel
// file, as the program starts: [p, p + n) is a device symbol from then on (symbol copies,
// cudaGetSymbolAddress, kernel arguments), as a __constant__ variable is. Returns true.
bool registerDeviceVariable(const void* p, size_t n);

// Slot `slot` of this worker's thread arrays: one T for each thread of the current block,
// 64-byte aligned, the memory kept from block to block (block_functions.cpp).
void* threadArrayMemory(unsigned slot, size_t bytes);
template <typename T>
T* threadArray(unsigned slot) {
    const size_t n = size_t(context.blockSize.x) * context.blockSize.y * context.blockSize.z;
    return static_cast<T*>(threadArrayMemory(slot, n * sizeof(T)));
}

// f(t, threadIdx) for every thread t of the current block, in turn, x fastest. The block
// function's own statements read threadIdx from the argument, which the compiler can
// follow from thread to thread, and vectorize across threads; threadIdx itself is set
// only for kernels that call functions reading it (setThreadIdx), as its store in the
// loop would stop that. Signed counters: the compiler may assume they do not wrap.
template <bool setThreadIdx, typename F>
__attribute__((always_inline)) inline void forEachThread(F&& f) {
    const uint3 d = context.blockSize;
    if (d.y == 1 && d.z == 1) {
        for (int x = 0; x < int(d.x); ++x) {
            if constexpr (setThreadIdx) context.thread = uint3{unsigned(x), 0, 0};
            f(x, uint3{unsigned(x), 0, 0});
        }
        return;
    }
    if (d.z == 1) {
        for (int y = 0; y < int(d.y); ++y)
            for (int x = 0; x < int(d.x); ++x) {
                if constexpr (setThreadIdx) context.thread = uint3{unsigned(x), unsigned(y), 0};
                f(y * int(d.x) + x, uint3{unsigned(x), unsigned(y), 0});
            }
        return;
    }
    int t = 0;
    for (int z = 0; z < int(d.z); ++z)
        for (int y = 0; y < int(d.y); ++y)
            for (int x = 0; x < int(d.x); ++x) {
                if constexpr (setThreadIdx) context.thread = uint3{unsigned(x), unsigned(y), unsigned(z)};
                f(t++, uint3{unsigned(x), unsigned(y), unsigned(z)});
            }
}

// The checks the CUDA runtime makes on a launch configuration (nothing is recorded).
cudaError_t checkLaunchConfig(dim3 grid, dim3 block);

// A launch's <<<grid, block, sharedBytes, stream>>>; plain numbers convert to dim3 as in CUDA.
struct LaunchConfig {
    dim3 grid, block;
    size_t sharedBytes;
    cudaStream_t stream;
    LaunchConfig(dim3 g, dim3 b, size_t shared = 0, cudaStream_t s = 0)
        : grid(g), block(b), sharedBytes(shared), stream(s) {}
};

// The start of every launch: the sticky fault if the device has one, else the check of the
// configuration, whose refusal becomes the pending error. An earlier unread error stays.
cudaError_t beginLaunch(const LaunchConfig& config, const void* kernel = nullptr);

// The dynamic shared memory a launch of `kernel` may ask for: 48 KiB, or what the kernel
// opted in to with cudaFuncSetAttribute (functions.cpp).
size_t dynamicSharedLimit(const void* kernel);

// Refuses a launch whose pointer arguments (ptrs[i], null for non-pointers) are not null,
// not inside a tracked allocation and not inside a __constant__ variable: one line on
// stderr names the kernel and the argument (its text in argText, the launch's argument
// list as written), and the device takes the sticky fault
// cudaErrorIllegalAddress, as a GPU does when the kernel dereferences it.
cudaError_t checkKernelPointers(const char* kernel, const char* argText, const void* const* ptrs, unsigned n);

// Queues the grid on `stream` (checked by beginLaunch) and returns: the workers run it in
// the stream's order (queue.h). `destroy` frees desc.closure once the grid is done.
// A cooperative grid runs every block at once, each on a thread of its own (cooperative.cpp).
void queueGrid(const char* kernel, const LaunchDesc& desc, void (*destroy)(const void*), cudaStream_t stream,
               bool cooperative = false);

// Stores e as the pending error unless it is cudaSuccess; returns e (api.cpp).
cudaError_t record(cudaError_t e);
// The device's sticky fault, cudaSuccess while there is none.
cudaError_t sticky();

void syncThreads();
// A barrier that also counts the threads whose predicate is non-zero.
int syncThreadsCount(int predicate);

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

// A block through the kernel's block function, with the arguments of the launch.
template <typename Call, typename Tuple, typename... Params>
void runSplitOf(const void* p, const void* blockFunction) {
    auto& c = *static_cast<const Closure<Call, Tuple>*>(p);
    std::apply(reinterpret_cast<void (*)(Params...)>(const_cast<void*>(blockFunction)), c.args);
}

template <typename Call, typename Tuple>
void destroyClosure(const void* p) {
    delete static_cast<const Closure<Call, Tuple>*>(p);
}

// A call of the kernel through its address, for a launch whose call by name refers to
// something of the launching scope (a kernel held in a local variable): the grid runs
// after that scope may be gone.
template <typename... Params>
struct CallByAddress {
    void (*kernel)(Params...);
    template <typename... A>
    void operator()(const A&... a) const {
        kernel(a...);
    }
};

// Copies the arguments into a closure that lives until the grid is done, checks its
// pointers and queues the grid.
template <typename Call, typename... Params, typename... Args>
void queueLaunch(const char* name, const char* argText, Call call, const LaunchConfig& config, bool cooperative,
                 void (*kernel)(Params...), Args&&... args) {
    using Tuple = std::tuple<std::decay_t<Params>...>;
    auto* closure = new Closure<Call, Tuple>{call, Tuple(std::forward<Args>(args)...)};
    if (checkPointers(name, argText, closure->args, std::index_sequence_for<Params...>{}) != cudaSuccess) {
        delete closure;
        return;
    }
    LaunchDesc desc{&runThreadsOf<Call, Tuple>, &runOneOf<Call, Tuple>, closure,
                    uint3{config.grid.x, config.grid.y, config.grid.z},
                    uint3{config.block.x, config.block.y, config.block.z}, config.sharedBytes};
    if (const void* f = cooperative ? nullptr : blockFunctionOf(reinterpret_cast<const void*>(kernel))) {
        desc.runSplit = &runSplitOf<Call, Tuple, Params...>;
        desc.blockFunction = f;
    }
    queueGrid(name, desc, &destroyClosure<Call, Tuple>, config.stream, cooperative);
}

}  // namespace gpu::cpu

#define threadIdx (::gpu::cpu::context.thread)
#define blockIdx (::gpu::cpu::context.block)
#define blockDim (::gpu::cpu::context.blockSize)
#define gridDim (::gpu::cpu::context.gridSize)

inline void __syncthreads() { ::gpu::cpu::syncThreads(); }
inline int __syncthreads_count(int predicate) { return ::gpu::cpu::syncThreadsCount(predicate != 0); }
inline int __syncthreads_and(int predicate) {
    return ::gpu::cpu::syncThreadsCount(predicate != 0) == int(blockDim.x * blockDim.y * blockDim.z);
}
inline int __syncthreads_or(int predicate) { return ::gpu::cpu::syncThreadsCount(predicate != 0) != 0; }

namespace gpu::cpu {

// kernel<<<config>>>(args...) under the cpu backend: the build (translate_launches.cpp)
// rewrites it as launchNamed(name, argText, kernel, call, config)(args...), handing in the
// kernel's name and the arguments' text for the messages, the kernel (whose parameters fix
// the arguments' types) and a call of it by name. The call queues the grid on the launch's
// stream and returns at once, as on a GPU; a refused configuration is left for
// cudaGetLastError() (gpu/runtime.h), a fault of the running grid for the next
// synchronizing call.
template <typename Call, typename... Params>
struct Launch {
    const char* name;
    const char* argText;
    void (*kernel)(Params...);
    Call call;
    LaunchConfig config;

    template <typename... Args>
    void operator()(Args&&... args) const {
        static_assert(sizeof...(Params) == sizeof...(Args), "kernel launch: wrong number of kernel arguments");
        if constexpr (sizeof...(Params) == sizeof...(Args)) {  // one error for a wrong count, not a cascade
            if (beginLaunch(config, reinterpret_cast<const void*>(kernel)) != cudaSuccess) return;
            if constexpr (std::is_empty_v<Call>)  // the call by name, which the workers' loop inlines
                queueLaunch<Call, Params...>(name, argText, call, config, false, kernel, std::forward<Args>(args)...);
            else
                queueLaunch<CallByAddress<Params...>, Params...>(name, argText, CallByAddress<Params...>{kernel},
                                                                 config, false, kernel, std::forward<Args>(args)...);
        }
    }
};

template <typename... Params, typename Call>
Launch<Call, Params...> launchNamed(const char* name, const char* argText, void (*kernel)(Params...), Call call,
                                    LaunchConfig config) {
    return {name, argText, kernel, call, config};
}

}  // namespace gpu::cpu

#include "gpu/cpu/launch_api.h"
#include "gpu/cpu/intrinsics.h"
#include "gpu/cpu/atomics.h"
#include "gpu/cpu/warp.h"

// CUDA's atomic functions and memory fences. Blocks run in parallel on the workers, so
// every atomic is a real one on the CPU (relaxed, as CUDA's are: they order nothing by
// themselves); the threads of one block run on one worker and switch only at barriers and
// warp calls. The overloads are the toolkit's (device_atomic_functions.h and sm_*_atomic_
// functions.h): a type CUDA has no overload for does not build here either.
#pragma once

#include <atomic>

#include "gpu/cpu/tsan.h"

namespace gpu::cpu {

template <typename T>
T atomicLoad(T* a) {
    T v;
    __atomic_load(a, &v, __ATOMIC_RELAXED);
    return v;
}

// *a = f(*a) as one atomic step; returns the old value.
template <typename T, typename F>
T atomicUpdate(T* a, F f) {
    T old = atomicLoad(a);
    T next = f(old);
    while (!__atomic_compare_exchange(a, &old, &next, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) next = f(old);
    return old;
}

#if GPU_TSAN
// ThreadSanitizer does not model fences: a fence is a release and an acquire on one
// device-wide address, which orders a little more than a GPU's fence does (never less).
inline char fenceToken;
inline void deviceFence() {
    __tsan_release(&fenceToken);
    __tsan_acquire(&fenceToken);
}
#else
inline void deviceFence() { std::atomic_thread_fence(std::memory_order_seq_cst); }
#endif

}  // namespace gpu::cpu

#define GPU_CPU_ATOMIC_RMW(name, builtin, T) \
    inline T name(T* a, T v) { return builtin(a, v, __ATOMIC_RELAXED); }
#define GPU_CPU_ATOMIC_FN(name, T, expr) \
    inline T name(T* a, T v) { return ::gpu::cpu::atomicUpdate(a, [v](T old) -> T { return expr; }); }

GPU_CPU_ATOMIC_RMW(atomicAdd, __atomic_fetch_add, int)
GPU_CPU_ATOMIC_RMW(atomicAdd, __atomic_fetch_add, unsigned int)
GPU_CPU_ATOMIC_RMW(atomicAdd, __atomic_fetch_add, unsigned long long)
GPU_CPU_ATOMIC_FN(atomicAdd, float, old + v)
GPU_CPU_ATOMIC_FN(atomicAdd, double, old + v)
GPU_CPU_ATOMIC_RMW(atomicSub, __atomic_fetch_sub, int)
GPU_CPU_ATOMIC_RMW(atomicSub, __atomic_fetch_sub, unsigned int)
GPU_CPU_ATOMIC_RMW(atomicExch, __atomic_exchange_n, int)
GPU_CPU_ATOMIC_RMW(atomicExch, __atomic_exchange_n, unsigned int)
GPU_CPU_ATOMIC_RMW(atomicExch, __atomic_exchange_n, unsigned long long)
GPU_CPU_ATOMIC_FN(atomicExch, float, ((void)old, v))
GPU_CPU_ATOMIC_FN(atomicMin, int, old < v ? old : v)
GPU_CPU_ATOMIC_FN(atomicMin, unsigned int, old < v ? old : v)
GPU_CPU_ATOMIC_FN(atomicMin, long long, old < v ? old : v)
GPU_CPU_ATOMIC_FN(atomicMin, unsigned long long, old < v ? old : v)
GPU_CPU_ATOMIC_FN(atomicMax, int, old > v ? old : v)
GPU_CPU_ATOMIC_FN(atomicMax, unsigned int, old > v ? old : v)
GPU_CPU_ATOMIC_FN(atomicMax, long long, old > v ? old : v)
GPU_CPU_ATOMIC_FN(atomicMax, unsigned long long, old > v ? old : v)
GPU_CPU_ATOMIC_RMW(atomicAnd, __atomic_fetch_and, int)
GPU_CPU_ATOMIC_RMW(atomicAnd, __atomic_fetch_and, unsigned int)
GPU_CPU_ATOMIC_RMW(atomicAnd, __atomic_fetch_and, unsigned long long)
GPU_CPU_ATOMIC_RMW(atomicAnd, __atomic_fetch_and, long long)
GPU_CPU_ATOMIC_RMW(atomicOr, __atomic_fetch_or, int)
GPU_CPU_ATOMIC_RMW(atomicOr, __atomic_fetch_or, unsigned int)
GPU_CPU_ATOMIC_RMW(atomicOr, __atomic_fetch_or, unsigned long long)
GPU_CPU_ATOMIC_RMW(atomicOr, __atomic_fetch_or, long long)
GPU_CPU_ATOMIC_RMW(atomicXor, __atomic_fetch_xor, int)
GPU_CPU_ATOMIC_RMW(atomicXor, __atomic_fetch_xor, unsigned int)
GPU_CPU_ATOMIC_RMW(atomicXor, __atomic_fetch_xor, unsigned long long)
GPU_CPU_ATOMIC_RMW(atomicXor, __atomic_fetch_xor, long long)
// atomicInc: ((old >= v) ? 0 : old + 1); atomicDec: ((old == 0 || old > v) ? v : old - 1).
GPU_CPU_ATOMIC_FN(atomicInc, unsigned int, old >= v ? 0u : old + 1)
GPU_CPU_ATOMIC_FN(atomicDec, unsigned int, (old == 0 || old > v) ? v : old - 1)

#undef GPU_CPU_ATOMIC_RMW
#undef GPU_CPU_ATOMIC_FN

#define GPU_CPU_ATOMIC_CAS(T)                                                                   \
    inline T atomicCAS(T* a, T compare, T v) {                                                  \
        __atomic_compare_exchange_n(a, &compare, v, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED); \
        return compare;                                                                         \
    }
GPU_CPU_ATOMIC_CAS(int)
GPU_CPU_ATOMIC_CAS(unsigned int)
GPU_CPU_ATOMIC_CAS(unsigned long long)
GPU_CPU_ATOMIC_CAS(unsigned short)
#undef GPU_CPU_ATOMIC_CAS

// Device-wide: what the thread wrote before is seen by every thread that sees what it
// writes after. Block-wide: the threads of a block share one worker and switch only at
// barriers and warp calls, so keeping the compiler from moving memory accesses across it
// is the whole fence.
inline void __threadfence() { ::gpu::cpu::deviceFence(); }
inline void __threadfence_block() { std::atomic_signal_fence(std::memory_order_seq_cst); }

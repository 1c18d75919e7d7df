// CUDA's warp functions: a warp is 32 consecutive threads of a block in linear thread
// order (x fastest), lane = linear index % 32. Each call is a rendezvous of the lanes its
// mask names (warp.cpp, blocks.cpp): a lane leaves its value, waits on its fiber until every
// named lane has reached the same call, then reads what the call gives it. A named lane
// that never comes (it ended, waits at __syncthreads() or at another warp call) is a fault
// of the block, reported as a barrier fault is.
#pragma once

#include <cstdint>
#include <cstring>

constexpr int warpSize = 32;

namespace gpu::cpu {

enum class WarpOp : unsigned char { Sync, Ballot, All, Any, Idx, Up, Down, Xor, MatchAny, MatchAll, Reduce, Active };

// The operation of a WarpOp::Reduce call, in its `arg`.
enum ReduceOp : int { ReduceAdd, ReduceMin, ReduceMax, ReduceAnd, ReduceOr, ReduceXor, ReduceSigned = 8 };

// One warp call of the running GPU thread; `value` is its bits (a vote's predicate is 0
// or 1), `arg` the source lane, delta or lane mask, `width` the shuffle's segment.
uint64_t warpCall(WarpOp op, unsigned mask, uint64_t value, int arg, int width);

template <typename T>
T warpShuffle(WarpOp op, unsigned mask, T var, int arg, int width) {
    uint64_t bits = 0;
    std::memcpy(&bits, &var, sizeof(T));
    bits = warpCall(op, mask, bits, arg, width);
    T out;
    std::memcpy(&out, &bits, sizeof(T));
    return out;
}

}  // namespace gpu::cpu

#define GPU_CPU_SHUFFLES(T)                                                                  \
    inline T __shfl_sync(unsigned mask, T var, int srcLane, int width = warpSize) {          \
        return ::gpu::cpu::warpShuffle(::gpu::cpu::WarpOp::Idx, mask, var, srcLane, width);  \
    }                                                                                        \
    inline T __shfl_up_sync(unsigned mask, T var, unsigned int delta, int width = warpSize) { \
        return ::gpu::cpu::warpShuffle(::gpu::cpu::WarpOp::Up, mask, var, int(delta), width); \
    }                                                                                        \
    inline T __shfl_down_sync(unsigned mask, T var, unsigned int delta, int width = warpSize) { \
        return ::gpu::cpu::warpShuffle(::gpu::cpu::WarpOp::Down, mask, var, int(delta), width); \
    }                                                                                        \
    inline T __shfl_xor_sync(unsigned mask, T var, int laneMask, int width = warpSize) {     \
        return ::gpu::cpu::warpShuffle(::gpu::cpu::WarpOp::Xor, mask, var, laneMask, width); \
    }
GPU_CPU_SHUFFLES(int)
GPU_CPU_SHUFFLES(unsigned int)
GPU_CPU_SHUFFLES(long)
GPU_CPU_SHUFFLES(unsigned long)
GPU_CPU_SHUFFLES(long long)
GPU_CPU_SHUFFLES(unsigned long long)
GPU_CPU_SHUFFLES(float)
GPU_CPU_SHUFFLES(double)  // fp16.h adds __half and __half2

inline unsigned int __ballot_sync(unsigned mask, int predicate) {
    return unsigned(::gpu::cpu::warpCall(::gpu::cpu::WarpOp::Ballot, mask, predicate != 0, 0, warpSize));
}
inline int __all_sync(unsigned mask, int predicate) {
    return int(::gpu::cpu::warpCall(::gpu::cpu::WarpOp::All, mask, predicate != 0, 0, warpSize));
}
inline int __any_sync(unsigned mask, int predicate) {
    return int(::gpu::cpu::warpCall(::gpu::cpu::WarpOp::Any, mask, predicate != 0, 0, warpSize));
}
inline void __syncwarp(unsigned mask = 0xffffffffu) {
    ::gpu::cpu::warpCall(::gpu::cpu::WarpOp::Sync, mask, 0, 0, warpSize);
}

// The lanes of the warp that are running the same code now: those that reach
// __activemask() before any other lane of the warp can go on (the others have ended, or
// wait at a barrier or another warp call).
inline unsigned int __activemask() {
    return unsigned(::gpu::cpu::warpCall(::gpu::cpu::WarpOp::Active, 0xffffffffu, 0, 0, warpSize));
}

template <typename T>
inline unsigned int __match_any_sync(unsigned mask, T value) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "__match_any_sync takes a 32- or 64-bit value");
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof value);
    return unsigned(::gpu::cpu::warpCall(::gpu::cpu::WarpOp::MatchAny, mask, bits, 0, warpSize));
}
template <typename T>
inline unsigned int __match_all_sync(unsigned mask, T value, int* pred) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "__match_all_sync takes a 32- or 64-bit value");
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof value);
    const unsigned r = unsigned(::gpu::cpu::warpCall(::gpu::cpu::WarpOp::MatchAll, mask, bits, 0, warpSize));
    *pred = r != 0;
    return r;
}

#define GPU_CPU_REDUCE(name, T, op)                                                                        \
    inline T name(unsigned mask, T value) {                                                               \
        return T(::gpu::cpu::warpCall(::gpu::cpu::WarpOp::Reduce, mask, uint32_t(value), op, warpSize)); \
    }
GPU_CPU_REDUCE(__reduce_add_sync, unsigned, ::gpu::cpu::ReduceAdd)
GPU_CPU_REDUCE(__reduce_add_sync, int, ::gpu::cpu::ReduceAdd)
GPU_CPU_REDUCE(__reduce_min_sync, unsigned, ::gpu::cpu::ReduceMin)
GPU_CPU_REDUCE(__reduce_min_sync, int, ::gpu::cpu::ReduceMin | ::gpu::cpu::ReduceSigned)
GPU_CPU_REDUCE(__reduce_max_sync, unsigned, ::gpu::cpu::ReduceMax)
GPU_CPU_REDUCE(__reduce_max_sync, int, ::gpu::cpu::ReduceMax | ::gpu::cpu::ReduceSigned)
GPU_CPU_REDUCE(__reduce_and_sync, unsigned, ::gpu::cpu::ReduceAnd)
GPU_CPU_REDUCE(__reduce_or_sync, unsigned, ::gpu::cpu::ReduceOr)
GPU_CPU_REDUCE(__reduce_xor_sync, unsigned, ::gpu::cpu::ReduceXor)
#undef GPU_CPU_REDUCE

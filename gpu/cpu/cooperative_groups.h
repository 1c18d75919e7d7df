// <cooperative_groups.h> (and its reduce.h and scan.h) of the cpu backend: groups of the
// threads of a block, of a warp's tiles and of a cooperative grid, built on the block
// barrier and the warp calls (warp.h). A tile of N threads is N consecutive lanes of one
// warp; a tile call is a warp call of the tile's lanes, so a tile call that not every lane
// of the tile reaches is a fault of the block, as a warp call is.
#pragma once

#include <type_traits>

#include "gpu/cpu/backend.h"

namespace gpu::cpu {
// this_grid().sync(): thread 0 of each block waits for every block (cooperative.cpp).
void gridBarrier();
bool inCooperativeGrid();
// Makes the device's sticky fault cudaErrorLaunchFailure, saying why once (cooperative.cpp).
void kernelFault(const char* what);

inline unsigned threadRankInBlock() { return (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x; }
inline unsigned threadsInBlock() { return blockDim.x * blockDim.y * blockDim.z; }
}  // namespace gpu::cpu

namespace cooperative_groups {

class thread_block {
public:
    void sync() const { __syncthreads(); }
    unsigned long long thread_rank() const { return gpu::cpu::threadRankInBlock(); }
    unsigned long long size() const { return gpu::cpu::threadsInBlock(); }
    unsigned long long num_threads() const { return size(); }
    dim3 group_index() const { return dim3(blockIdx.x, blockIdx.y, blockIdx.z); }
    dim3 thread_index() const { return dim3(threadIdx.x, threadIdx.y, threadIdx.z); }
    dim3 dim_threads() const { return dim3(blockDim.x, blockDim.y, blockDim.z); }
    dim3 group_dim() const { return dim_threads(); }
};
inline thread_block this_thread_block() { return {}; }

// The whole grid; sync() needs a launch by cudaLaunchCooperativeKernel.
class grid_group {
public:
    void sync() const {
        __syncthreads();  // the whole block is here
        if (gpu::cpu::threadRankInBlock() == 0) gpu::cpu::gridBarrier();
        __syncthreads();  // and every other block too
    }
    bool is_valid() const { return gpu::cpu::inCooperativeGrid(); }
    unsigned long long block_rank() const { return (blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x; }
    unsigned long long num_blocks() const { return (unsigned long long)gridDim.x * gridDim.y * gridDim.z; }
    unsigned long long thread_rank() const { return block_rank() * gpu::cpu::threadsInBlock() + gpu::cpu::threadRankInBlock(); }
    unsigned long long size() const { return num_blocks() * gpu::cpu::threadsInBlock(); }
    unsigned long long num_threads() const { return size(); }
    dim3 group_dim() const { return dim3(gridDim.x, gridDim.y, gridDim.z); }
    dim3 block_index() const { return dim3(blockIdx.x, blockIdx.y, blockIdx.z); }
};
inline grid_group this_grid() { return {}; }

// Consecutive lanes of one warp: a tile of tiled_partition, or (with a mask of any shape)
// the coalesced group of the lanes that are running together.
class thread_group {
public:
    thread_group(unsigned lanes, unsigned tileSize, unsigned tileIndex, unsigned tiles)
        : mask_(lanes), n_(tileSize), meta_(tileIndex), metaSize_(tiles) {}

    void sync() const { __syncwarp(mask_); }
    unsigned thread_rank() const { return __builtin_popcount(mask_ & ((1u << lane()) - 1)); }
    unsigned size() const { return n_; }
    unsigned num_threads() const { return n_; }
    unsigned meta_group_rank() const { return meta_; }
    unsigned meta_group_size() const { return metaSize_; }

    template <typename T>
    T shfl(T v, int srcRank) const { return __shfl_sync(mask_, v, int(laneOf(unsigned(srcRank) % n_))); }
    template <typename T>
    T shfl_up(T v, unsigned delta) const {
        const unsigned r = thread_rank();
        return __shfl_sync(mask_, v, int(laneOf(r >= delta ? r - delta : r)));
    }
    template <typename T>
    T shfl_down(T v, unsigned delta) const {
        const unsigned r = thread_rank();
        return __shfl_sync(mask_, v, int(laneOf(r + delta < n_ ? r + delta : r)));
    }
    template <typename T>
    T shfl_xor(T v, unsigned laneMask) const {
        const unsigned r = thread_rank(), s = r ^ laneMask;
        return __shfl_sync(mask_, v, int(laneOf(s < n_ ? s : r)));
    }
    int any(int p) const { return __any_sync(mask_, p); }
    int all(int p) const { return __all_sync(mask_, p); }
    // Bit r of the result is the predicate of the thread of rank r.
    unsigned ballot(int p) const { return compact(__ballot_sync(mask_, p)); }
    template <typename T>
    unsigned match_any(T v) const { return compact(__match_any_sync(mask_, v)); }
    template <typename T>
    unsigned match_all(T v, int& pred) const { return compact(__match_all_sync(mask_, v, &pred)); }

protected:
    static unsigned lane() { return gpu::cpu::threadRankInBlock() % warpSize; }
    // The lane of the thread of rank r: the r-th lane of the mask.
    unsigned laneOf(unsigned r) const {
        unsigned m = mask_;
        for (unsigned i = 0; i < r; ++i) m &= m - 1;
        return m ? unsigned(__builtin_ctz(m)) : lane();
    }
    unsigned compact(unsigned lanes) const {
        unsigned out = 0, bit = 0;
        for (unsigned m = mask_; m; m &= m - 1, ++bit)
            if (lanes >> __builtin_ctz(m) & 1u) out |= 1u << bit;
        return out;
    }
    unsigned mask_, n_, meta_, metaSize_;
};

// The tile of `n` threads (a power of two up to 32) that holds the calling thread.
inline thread_group tileOf(unsigned n) {
    const unsigned rank = gpu::cpu::threadRankInBlock(), base = rank % warpSize / n * n;
    const unsigned lanes = (n == 32 ? ~0u : (1u << n) - 1) << base;
    return thread_group(lanes, n, rank / n, (gpu::cpu::threadsInBlock() + n - 1) / n);
}

template <unsigned N>
class thread_block_tile : public thread_group {
    static_assert(N >= 1 && N <= 32 && (N & (N - 1)) == 0, "a tile has a power of two up to 32 threads");

public:
    thread_block_tile() : thread_group(tileOf(N)) {}
    static constexpr unsigned size() { return N; }
    static constexpr unsigned num_threads() { return N; }
};

template <unsigned N>
thread_block_tile<N> tiled_partition(const thread_block&) {
    return {};
}
template <unsigned N, unsigned M>
thread_block_tile<N> tiled_partition(const thread_block_tile<M>&) {
    static_assert(N <= M, "a tile is split into smaller tiles");
    return {};
}
// A tile of `n` threads (a power of two up to 32, at most the parent's size); another size
// is a kernel fault, and the thread goes on as a tile of one.
inline thread_group tiled_partition(const thread_group& parent, unsigned n) {
    if (n < 1 || n > parent.size() || (n & (n - 1))) {
        gpu::cpu::kernelFault("tiled_partition: a tile size that is no power of two up to the parent's size");
        n = 1;
    }
    return tileOf(n);
}
inline thread_group tiled_partition(const thread_block&, unsigned n) {
    return tiled_partition(thread_group(~0u, 32, 0, 1), n);
}

class coalesced_group : public thread_group {
public:
    explicit coalesced_group(unsigned lanes)
        : thread_group(lanes, unsigned(__builtin_popcount(lanes)), 0, 1) {}
};
inline coalesced_group coalesced_threads() { return coalesced_group(__activemask()); }

// ---- reduce.h and scan.h ----------------------------------------------------------------

template <typename T> struct plus { T operator()(const T& a, const T& b) const { return a + b; } };
template <typename T> struct less { T operator()(const T& a, const T& b) const { return b < a ? b : a; } };
template <typename T> struct greater { T operator()(const T& a, const T& b) const { return a < b ? b : a; } };
template <typename T> struct bit_and { T operator()(const T& a, const T& b) const { return a & b; } };
template <typename T> struct bit_or { T operator()(const T& a, const T& b) const { return a | b; } };
template <typename T> struct bit_xor { T operator()(const T& a, const T& b) const { return a ^ b; } };

// Every thread of the group gets op over the values of all, combined in rank order.
template <typename Group, typename T, typename Op>
T reduce(const Group& g, T value, Op op) {
    T acc = g.shfl(value, 0);
    for (unsigned r = 1; r < g.size(); ++r) acc = op(acc, g.shfl(value, int(r)));
    return acc;
}

// The thread of rank r gets op over the values of ranks 0 to r.
template <typename Group, typename T, typename Op>
T inclusive_scan(const Group& g, T value, Op op) {
    const unsigned rank = g.thread_rank();
    for (unsigned d = 1; d < g.size(); d *= 2) {
        const T y = g.shfl_up(value, d);
        if (rank >= d) value = op(y, value);
    }
    return value;
}
template <typename Group, typename T>
T inclusive_scan(const Group& g, T value) {
    return inclusive_scan(g, value, plus<T>());
}

// The thread of rank r gets op over ranks 0 to r - 1; rank 0 a value-initialized T.
template <typename Group, typename T, typename Op>
T exclusive_scan(const Group& g, T value, Op op) {
    const T shifted = g.shfl_up(inclusive_scan(g, value, op), 1);
    return g.thread_rank() == 0 ? T() : shifted;
}
template <typename Group, typename T>
T exclusive_scan(const Group& g, T value) {
    return exclusive_scan(g, value, plus<T>());
}

}  // namespace cooperative_groups

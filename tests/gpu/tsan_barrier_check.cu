// Run by the tsan build's tests: ThreadSanitizer sees the threads of one block as a GPU's
// race check does, ordered by __syncthreads() and by nothing else.
//   tsan_barrier_check plain    a barrier-free block reads a neighbour's __shared__ word
//   tsan_barrier_check rounds   a block with barriers overwrites a word that a neighbour
//                               reads in the same barrier round
//   tsan_barrier_check clean    the same exchange with every barrier in place
//   tsan_barrier_check warp     lanes of a warp overwrite a word a neighbour lane reads
//                               between the same two __syncwarp() calls
//   tsan_barrier_check crosswarp  a lane reads another warp's word after __syncwarp()
//   tsan_barrier_check warpclean  the warp exchange with every __syncwarp() in place
// warp and crosswarp, as the first two, must end in a race report naming their kernel;
// the clean ones in "clean".
#include <cstdio>
#include <cstring>

#include "gpu/runtime.h"

namespace {

constexpr unsigned kThreads = 64, kBlocks = 8;

__global__ void neighbourWithoutBarrier(int* out) {
    __shared__ int tile[kThreads];
    tile[threadIdx.x] = int(threadIdx.x);
    // the barrier that belongs here is missing
    out[blockIdx.x * kThreads + threadIdx.x] = tile[(threadIdx.x + 1) % kThreads];
}

__global__ void overwriteInTheSameRound(int* out) {
    __shared__ int tile[kThreads];
    tile[threadIdx.x] = int(threadIdx.x);
    __syncthreads();
    const int v = tile[(threadIdx.x + 1) % kThreads];
    // the barrier that belongs here is missing: the neighbour may not have read yet
    tile[threadIdx.x] = 2 * v;
    __syncthreads();
    out[blockIdx.x * kThreads + threadIdx.x] = tile[(threadIdx.x + 1) % kThreads];
}

__global__ void exchangeWithBarriers(int* out) {
    __shared__ int tile[kThreads];
    tile[threadIdx.x] = int(threadIdx.x);
    __syncthreads();
    const int v = tile[(threadIdx.x + 1) % kThreads];
    __syncthreads();
    tile[threadIdx.x] = 2 * v;
    __syncthreads();
    out[blockIdx.x * kThreads + threadIdx.x] = tile[(threadIdx.x + 1) % kThreads];
}

// Shuffle-free warp exchanges through shared memory: __syncwarp() orders the lanes of its
// mask, and nothing across warps.
__global__ void warpOverwriteWithoutSyncwarp(int* out) {
    __shared__ int slot[kThreads];
    slot[threadIdx.x] = int(threadIdx.x);
    __syncwarp();
    const int v = slot[threadIdx.x ^ 1];
    // the __syncwarp() that belongs here is missing: the neighbour lane may not have read yet
    slot[threadIdx.x] = 2 * v;
    __syncwarp();
    out[blockIdx.x * kThreads + threadIdx.x] = slot[threadIdx.x ^ 1];
}

__global__ void syncwarpAcrossWarps(int* out) {
    __shared__ int slot[kThreads];
    slot[threadIdx.x] = int(threadIdx.x);
    __syncwarp();  // orders this warp only: the other warp's word needs __syncthreads()
    out[blockIdx.x * kThreads + threadIdx.x] = slot[(threadIdx.x + 32) % kThreads];
}

__global__ void warpExchangeWithSyncwarp(int* out) {
    __shared__ int slot[kThreads];
    slot[threadIdx.x] = int(threadIdx.x);
    __syncwarp();
    const int v = slot[threadIdx.x ^ 1];
    __syncwarp();
    slot[threadIdx.x] = 2 * v;
    __syncwarp();
    out[blockIdx.x * kThreads + threadIdx.x] = slot[threadIdx.x ^ 1];
}

}  // namespace

int main(int argc, char** argv) {
    const char* which = argc > 1 ? argv[1] : "";
    int* d_out = nullptr;
    if (cudaMalloc(&d_out, sizeof(int) * kThreads * kBlocks) != cudaSuccess) return 2;
    if (!strcmp(which, "plain")) neighbourWithoutBarrier<<<kBlocks, kThreads>>>(d_out);
    else if (!strcmp(which, "rounds")) overwriteInTheSameRound<<<kBlocks, kThreads>>>(d_out);
    else if (!strcmp(which, "clean")) exchangeWithBarriers<<<kBlocks, kThreads>>>(d_out);
    else if (!strcmp(which, "warp")) warpOverwriteWithoutSyncwarp<<<kBlocks, kThreads>>>(d_out);
    else if (!strcmp(which, "crosswarp")) syncwarpAcrossWarps<<<kBlocks, kThreads>>>(d_out);
    else if (!strcmp(which, "warpclean")) warpExchangeWithSyncwarp<<<kBlocks, kThreads>>>(d_out);
    else return 2;
    const cudaError_t e = cudaGetLastError();
    if (e != cudaSuccess) {
        fprintf(stderr, "%s: launch failed: %s\n", which, cudaGetErrorString(e));
        return 1;
    }
    int out[kThreads * kBlocks];
    if (cudaMemcpy(out, d_out, sizeof out, cudaMemcpyDeviceToHost) != cudaSuccess) return 1;
    // exchangeWithBarriers: thread t ends with 2 * ((t + 2) % n), the same in every block;
    // warpExchangeWithSyncwarp: 2 * t (t ^ 1 ^ 1).
    const bool warpClean = !strcmp(which, "warpclean");
    for (unsigned i = 0; i < kThreads * kBlocks && (warpClean || !strcmp(which, "clean")); ++i)
        if (out[i] != int(2 * (warpClean ? i % kThreads : (i % kThreads + 2) % kThreads))) {
            fprintf(stderr, "%s: thread %u wrote %d\n", which, i, out[i]);
            return 1;
        }
    cudaFree(d_out);
    printf("%s: clean\n", which);
    return 0;
}

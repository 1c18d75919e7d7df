// Run by the tsan build's tests: ThreadSanitizer sees the threads of one block as a GPU's
// race check does, ordered by __syncthreads() and by nothing else.
//   tsan_barrier_check plain    a barrier-free block reads a neighbour's __shared__ word
//   tsan_barrier_check rounds   a block with barriers overwrites a word that a neighbour
//                               reads in the same barrier round
//   tsan_barrier_check clean    the same exchange with every barrier in place
// The first two must end in a race report naming their kernel; the third in "clean".
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

}  // namespace

int main(int argc, char** argv) {
    const char* which = argc > 1 ? argv[1] : "";
    int* d_out = nullptr;
    if (cudaMalloc(&d_out, sizeof(int) * kThreads * kBlocks) != cudaSuccess) return 2;
    if (!strcmp(which, "plain")) neighbourWithoutBarrier<<<kBlocks, kThreads>>>(d_out);
    else if (!strcmp(which, "rounds")) overwriteInTheSameRound<<<kBlocks, kThreads>>>(d_out);
    else if (!strcmp(which, "clean")) exchangeWithBarriers<<<kBlocks, kThreads>>>(d_out);
    else return 2;
    const cudaError_t e = cudaGetLastError();
    if (e != cudaSuccess) {
        fprintf(stderr, "%s: launch failed: %s\n", which, cudaGetErrorString(e));
        return 1;
    }
    int out[kThreads * kBlocks];
    if (cudaMemcpy(out, d_out, sizeof out, cudaMemcpyDeviceToHost) != cudaSuccess) return 1;
    // exchangeWithBarriers: thread t ends with 2 * ((t + 2) % n), the same in every block.
    for (unsigned i = 0; i < kThreads * kBlocks && !strcmp(which, "clean"); ++i)
        if (out[i] != int(2 * ((i % kThreads + 2) % kThreads))) {
            fprintf(stderr, "clean: thread %u wrote %d\n", i, out[i]);
            return 1;
        }
    cudaFree(d_out);
    printf("%s: clean\n", which);
    return 0;
}

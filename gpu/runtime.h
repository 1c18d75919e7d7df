// The one header for everything GPU. Kernel files (.cu) and host code include only this.
//
// Under the cuda backend it brings in the CUDA runtime; under the cpu backend it brings
// in the project's own runtime, which runs the same kernels on CPU cores with the CUDA
// names and values.
//
// Kernels are launched as in any CUDA program, kernel<<<grid, block>>>(args...), from
// kernel files (.cu) only, on both backends: nvcc compiles only those as CUDA, and the
// cpu backend's build translates the launches of those only (gpu_sources() in
// cmake/GpuBackend.cmake). A launch anywhere else fails the build on both backends
// (cmake/NoLaunchOutsideCu.cmake), so a launch that builds on one builds on the other.
//
// A launch leaves its result for cudaGetLastError(), the same rule on both backends, as
// the CUDA runtime has it:
//  - a refused grid or block (cudaErrorInvalidConfiguration: a dimension of 0, more than
//    1024 threads a block, ...) launches nothing; the error is pending: the next
//    cudaGetLastError() returns it once, and then cudaSuccess again;
//  - an earlier unread error is not dropped by a launch: it stays pending until
//    cudaGetLastError() reads it, and the launch still runs;
//  - a fault of a running kernel is sticky, as on a GPU: from then on cudaGetLastError(),
//    cudaPeekAtLastError(), cudaMemcpy, cudaMalloc and every later launch report it, and
//    nothing clears it. On both backends the launch returns before the grid runs, so a
//    fault comes with the next synchronising call (the cudaMemcpy or
//    cudaDeviceSynchronize after the launch) at the latest; the cpu backend names it on
//    standard error (cudaErrorLaunchFailure for a barrier that cannot complete), and
//    refuses a pointer argument that is neither null nor device memory at the launch
//    itself (cudaErrorIllegalAddress, without running anything).
#pragma once

#if defined(GPU_BACKEND_CUDA)

#include <cuda_runtime.h>

#define GPU_BACKEND_NAME "cuda"
#define GPU_BACKEND_IS_CPU 0

#if defined(__CUDACC__)
#define GPU_KERNEL_FILE 1  // as the cpu backend's build defines it for a kernel file
#endif

#else

#include "cpu/backend.h"

#define GPU_BACKEND_NAME "cpu"
#define GPU_BACKEND_IS_CPU 1

#endif

#include "gpu/ranges.h"

namespace gpu {

// Says once on standard error what runs the GPU modes: the cpu backend always, the cuda
// backend only when it finds no device. Standard output is left alone.
void announceBackend(const char* program);

// True when kernels can run: always on the cpu backend, with a device on cuda.
bool deviceAvailable();

// The name of what runs the kernels ("4 CPU cores (cpu backend)", "NVIDIA H100 ...").
const char* deviceName();

}  // namespace gpu

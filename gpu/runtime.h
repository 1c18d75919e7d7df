// The one header for everything GPU. Kernel files (.cu) and host code include only this.
//
// Under the cuda backend it brings in the CUDA runtime; under the cpu backend it brings
// in the project's own runtime, which runs the same kernels on CPU cores with the CUDA
// names and values. Either way kernels are launched with launchKernel().
//
// launchKernel(kernel, grid, block, args...) is a macro of the same form on both
// backends, and it launches from kernel files (.cu) only, on both: nvcc compiles those
// under cuda, and the cpu backend's build marks them (gpu_sources() in
// cmake/GpuBackend.cmake). Anywhere else it does not compile, on either backend, so a
// launch that builds on one builds on the other. Host code elsewhere calls a function of
// a kernel file that launches. `kernel` is a kernel's name or a pointer to one; the macro
// hands its text to the cpu backend, which names it in its messages.
//
// cudaError_t launchKernel(kernel, dim3 grid, dim3 block, args...), the same rule on both
// backends:
//  - it first takes (and drops) any earlier unread error, so what it returns is this
//    launch's own result: cudaSuccess when the kernel was launched, the configuration
//    error (cudaErrorInvalidConfiguration) when the grid or block is refused, and then
//    nothing is launched and nothing is left pending (cudaGetLastError() == cudaSuccess);
//  - a fault of a running kernel is sticky, as on a GPU: from then on cudaGetLastError(),
//    cudaPeekAtLastError(), cudaMemcpy, cudaMalloc and every later launch return it, and
//    nothing clears it. The cpu backend runs the grid before it returns, so the launch
//    that faulted returns the fault itself (cudaErrorLaunchFailure for a barrier that
//    cannot complete; cudaErrorIllegalAddress, without running anything, for a pointer
//    argument that is neither null nor device memory); a GPU reports it at the next
//    synchronising call (the cudaMemcpy after the launch) at the latest.
#pragma once

#if defined(GPU_BACKEND_CUDA)

#include <cuda_runtime.h>

#define GPU_BACKEND_NAME "cuda"
#define GPU_BACKEND_IS_CPU 0

#if defined(__CUDACC__)
#include <utility>
#define GPU_KERNEL_FILE 1
namespace gpu::cuda {
// Launches kernel<<<grid, block>>>(args...) under the rule above: the first
// cudaGetLastError() drops an earlier unread error, the second takes this launch's own.
template <typename... Params, typename... Args>
cudaError_t launch(void (*kernel)(Params...), dim3 grid, dim3 block, Args&&... args) {
    cudaGetLastError();
    kernel<<<grid, block>>>(std::forward<Args>(args)...);
    return cudaGetLastError();
}
}  // namespace gpu::cuda
#define GPU_LAUNCH(kernel, ...) ::gpu::cuda::launch(kernel, __VA_ARGS__)
#endif

#else

#include "cpu/backend.h"

#define GPU_BACKEND_NAME "cpu"
#define GPU_BACKEND_IS_CPU 1

#endif

#if GPU_KERNEL_FILE
#define launchKernel(kernel, ...) GPU_LAUNCH(kernel, __VA_ARGS__)
#else
namespace gpu::detail {
template <bool Never = false>
cudaError_t launchOutsideKernelFile() {
    static_assert(Never, "launchKernel launches from kernel files (.cu) only, on both backends (gpu/runtime.h)");
    return cudaErrorUnknown;
}
}  // namespace gpu::detail
#define launchKernel(...) ::gpu::detail::launchOutsideKernelFile()
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

// Launch and function calls of the cpu backend's CUDA runtime (functions.cpp, launch.cpp,
// cooperative.cpp): cudaLaunchKernel and cudaLaunchCooperativeKernel with the void**
// argument form, kernel attributes, occupancy, device attributes and versions. Included by
// backend.h after the launch machinery it builds on.
#pragma once

enum cudaFuncAttribute {
    cudaFuncAttributeMaxDynamicSharedMemorySize = 8,
    cudaFuncAttributePreferredSharedMemoryCarveout = 9,
    cudaFuncAttributeClusterDimMustBeSet = 10,
    cudaFuncAttributeRequiredClusterWidth = 11,
    cudaFuncAttributeRequiredClusterHeight = 12,
    cudaFuncAttributeRequiredClusterDepth = 13,
    cudaFuncAttributeNonPortableClusterSizeAllowed = 14,
    cudaFuncAttributeClusterSchedulingPolicyPreference = 15,
    cudaFuncAttributeMax
};

// What this backend knows of a kernel: no registers, no measured static shared or local
// memory (0), the block limit, and its dynamic shared memory limit.
struct cudaFuncAttributes {
    size_t sharedSizeBytes;
    size_t constSizeBytes;
    size_t localSizeBytes;
    int maxThreadsPerBlock;
    int numRegs;
    int ptxVersion;
    int binaryVersion;
    int cacheModeCA;
    int maxDynamicSharedSizeBytes;
    int preferredShmemCarveout;
    int clusterDimMustBeSet;
    int requiredClusterWidth;
    int requiredClusterHeight;
    int requiredClusterDepth;
    int clusterSchedulingPolicyPreference;
    int nonPortableClusterSizeAllowed;
    int reserved[16];
};

enum cudaDeviceAttr {
    cudaDevAttrMaxThreadsPerBlock = 1,
    cudaDevAttrMaxBlockDimX = 2,
    cudaDevAttrMaxBlockDimY = 3,
    cudaDevAttrMaxBlockDimZ = 4,
    cudaDevAttrMaxGridDimX = 5,
    cudaDevAttrMaxGridDimY = 6,
    cudaDevAttrMaxGridDimZ = 7,
    cudaDevAttrMaxSharedMemoryPerBlock = 8,
    cudaDevAttrTotalConstantMemory = 9,
    cudaDevAttrWarpSize = 10,
    cudaDevAttrMultiProcessorCount = 16,
    cudaDevAttrIntegrated = 18,
    cudaDevAttrCanMapHostMemory = 19,
    cudaDevAttrConcurrentKernels = 31,
    cudaDevAttrMaxThreadsPerMultiProcessor = 39,
    cudaDevAttrUnifiedAddressing = 41,
    cudaDevAttrComputeCapabilityMajor = 75,
    cudaDevAttrComputeCapabilityMinor = 76,
    cudaDevAttrStreamPrioritiesSupported = 78,
    cudaDevAttrMaxSharedMemoryPerMultiprocessor = 81,
    cudaDevAttrManagedMemory = 83,
    cudaDevAttrConcurrentManagedAccess = 89,
    cudaDevAttrCooperativeLaunch = 95,
    cudaDevAttrMaxSharedMemoryPerBlockOptin = 97,
    cudaDevAttrHostRegisterSupported = 99,
    cudaDevAttrMaxBlocksPerMultiprocessor = 106,
};

#define cudaOccupancyDefault 0x00

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, const void* func);
// cudaFuncAttributeMaxDynamicSharedMemorySize: launches of func may then ask for up to
// `value` bytes of dynamic shared memory, at most cudaDevAttrMaxSharedMemoryPerBlockOptin.
cudaError_t cudaFuncSetAttribute(const void* func, cudaFuncAttribute attr, int value);
// A worker runs one block at a time: one block of up to 1024 threads a multiprocessor.
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* numBlocks, const void* func, int blockSize,
                                                          size_t dynamicSMemSize);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device);
cudaError_t cudaDriverGetVersion(int* driverVersion);
cudaError_t cudaRuntimeGetVersion(int* runtimeVersion);

template <typename T>
inline cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, T* entry) {
    return cudaFuncGetAttributes(attr, reinterpret_cast<const void*>(entry));
}
template <typename T>
inline cudaError_t cudaFuncSetAttribute(T* entry, cudaFuncAttribute attr, int value) {
    return cudaFuncSetAttribute(reinterpret_cast<const void*>(entry), attr, value);
}
template <typename T>
inline cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* numBlocks, T* func, int blockSize,
                                                                 size_t dynamicSMemSize) {
    return cudaOccupancyMaxActiveBlocksPerMultiprocessor(numBlocks, reinterpret_cast<const void*>(func), blockSize,
                                                         dynamicSMemSize);
}
// The largest block (1024 threads, or blockSizeLimit) and a grid of one such block a worker.
template <typename T>
inline cudaError_t cudaOccupancyMaxPotentialBlockSize(int* minGridSize, int* blockSize, T func,
                                                      size_t dynamicSMemSize = 0, int blockSizeLimit = 0) {
    int perWorker = 0;
    if (!minGridSize || !blockSize) return cudaErrorInvalidValue;
    const int size = blockSizeLimit > 0 && blockSizeLimit < 1024 ? blockSizeLimit : 1024;
    if (cudaError_t e = cudaOccupancyMaxActiveBlocksPerMultiprocessor(&perWorker, func, size, dynamicSMemSize))
        return e;
    *blockSize = perWorker ? size : 0;
    *minGridSize = perWorker * int(gpu::cpu::workerCount());
    return cudaSuccess;
}

namespace gpu::cpu {

// The checks of a cooperative launch: every block must be running at once, one a worker.
cudaError_t checkCooperative(const LaunchConfig& config);

template <typename... P, size_t... I>
cudaError_t launchWithArgs(void (*func)(P...), const LaunchConfig& c, void** args, bool cooperative,
                           std::index_sequence<I...>) {
    if (cudaError_t e = beginLaunch(c, reinterpret_cast<const void*>(func))) return e;
    if (!func || (sizeof...(P) > 0 && !args)) return record(cudaErrorInvalidValue);
    if (cooperative)
        if (cudaError_t e = checkCooperative(c)) return e;
    queueLaunch<CallByAddress<P...>, P...>("(cudaLaunchKernel)", "", CallByAddress<P...>{func}, c, cooperative, func,
                                           *static_cast<std::decay_t<P>*>(args[I])...);
    return sticky();
}

}  // namespace gpu::cpu

// args[i] points at the value of the kernel's parameter i, as in CUDA.
template <typename... P>
inline cudaError_t cudaLaunchKernel(void (*func)(P...), dim3 grid, dim3 block, void** args,
                                    size_t sharedMem = 0, cudaStream_t stream = 0) {
    return gpu::cpu::launchWithArgs(func, gpu::cpu::LaunchConfig(grid, block, sharedMem, stream), args, false,
                                    std::index_sequence_for<P...>{});
}
// Every block runs at the same time, so this_grid().sync() may be called
// (<cooperative_groups.h>); a grid with more blocks than workers is refused with
// cudaErrorCooperativeLaunchTooLarge, as a GPU refuses more than fit at once.
template <typename... P>
inline cudaError_t cudaLaunchCooperativeKernel(void (*func)(P...), dim3 grid, dim3 block, void** args,
                                               size_t sharedMem = 0, cudaStream_t stream = 0) {
    return gpu::cpu::launchWithArgs(func, gpu::cpu::LaunchConfig(grid, block, sharedMem, stream), args, true,
                                    std::index_sequence_for<P...>{});
}
// A kernel cast to const void* has lost its parameter types, which the cpu backend needs.
template <typename V, typename = std::enable_if_t<std::is_void_v<V>>>
cudaError_t cudaLaunchKernel(const V*, dim3, dim3, void**, size_t = 0, cudaStream_t = 0) {
    static_assert(!std::is_void_v<V>, "cpu backend: cudaLaunchKernel: pass the kernel itself, not a pointer cast to "
                                      "void* (the cpu backend takes the parameter types from it)");
    return cudaErrorNotSupported;
}
template <typename V, typename = std::enable_if_t<std::is_void_v<V>>>
cudaError_t cudaLaunchCooperativeKernel(const V*, dim3, dim3, void**, size_t = 0, cudaStream_t = 0) {
    static_assert(!std::is_void_v<V>, "cpu backend: cudaLaunchCooperativeKernel: pass the kernel itself, not a "
                                      "pointer cast to void* (the cpu backend takes the parameter types from it)");
    return cudaErrorNotSupported;
}

// Kernel attributes, occupancy, device attributes and versions: honest answers about this
// backend. A "multiprocessor" is a worker thread, which runs one block at a time.
#include <map>
#include <mutex>

#include "gpu/cpu/internal.h"

namespace gpu::cpu {
namespace {

std::mutex attrMutex;
std::map<const void*, size_t>& optIns() {  // kernel -> its dynamic shared memory opt-in
    static std::map<const void*, size_t> m;
    return m;
}

}  // namespace

size_t dynamicSharedLimit(const void* kernel) {
    std::lock_guard<std::mutex> l(attrMutex);
    auto it = optIns().find(kernel);
    return it == optIns().end() ? kMaxSharedBytes : it->second;
}

}  // namespace gpu::cpu

using namespace gpu::cpu;

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, const void* func) {
    if (!attr) return record(cudaErrorInvalidValue);
    if (!func) return record(cudaErrorInvalidDeviceFunction);
    *attr = cudaFuncAttributes{};
    attr->maxThreadsPerBlock = 1024;
    attr->maxDynamicSharedSizeBytes = int(dynamicSharedLimit(func));
    attr->preferredShmemCarveout = -1;
    return cudaSuccess;
}

cudaError_t cudaFuncSetAttribute(const void* func, cudaFuncAttribute attr, int value) {
    if (!func) return record(cudaErrorInvalidDeviceFunction);
    switch (attr) {
        case cudaFuncAttributeMaxDynamicSharedMemorySize: {
            if (value < 0 || size_t(value) > kMaxSharedOptinBytes) return record(cudaErrorInvalidValue);
            std::lock_guard<std::mutex> l(attrMutex);
            optIns()[func] = size_t(value);
            return cudaSuccess;
        }
        case cudaFuncAttributePreferredSharedMemoryCarveout:  // a hint; no cache to split here
            return value >= -1 && value <= 100 ? cudaSuccess : record(cudaErrorInvalidValue);
        default:
            fprintf(stderr, "cpu backend: cudaFuncSetAttribute: thread block clusters are not supported\n");
            return record(cudaErrorNotSupported);
    }
}

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* numBlocks, const void* func, int blockSize,
                                                          size_t dynamicSMemSize) {
    if (!numBlocks || blockSize <= 0) return record(cudaErrorInvalidValue);
    if (!func) return record(cudaErrorInvalidDeviceFunction);
    *numBlocks = blockSize <= 1024 && dynamicSMemSize <= dynamicSharedLimit(func) ? 1 : 0;
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
    if (!value) return record(cudaErrorInvalidValue);
    cudaDeviceProp p;
    if (cudaError_t e = cudaGetDeviceProperties(&p, device)) return e;
    switch (attr) {
        case cudaDevAttrMaxThreadsPerBlock: *value = p.maxThreadsPerBlock; break;
        case cudaDevAttrMaxBlockDimX: *value = p.maxThreadsDim[0]; break;
        case cudaDevAttrMaxBlockDimY: *value = p.maxThreadsDim[1]; break;
        case cudaDevAttrMaxBlockDimZ: *value = p.maxThreadsDim[2]; break;
        case cudaDevAttrMaxGridDimX: *value = p.maxGridSize[0]; break;
        case cudaDevAttrMaxGridDimY: *value = p.maxGridSize[1]; break;
        case cudaDevAttrMaxGridDimZ: *value = p.maxGridSize[2]; break;
        case cudaDevAttrMaxSharedMemoryPerBlock: *value = int(p.sharedMemPerBlock); break;
        case cudaDevAttrTotalConstantMemory: *value = int(p.totalConstMem); break;
        case cudaDevAttrWarpSize: *value = p.warpSize; break;
        case cudaDevAttrMultiProcessorCount: *value = p.multiProcessorCount; break;
        case cudaDevAttrIntegrated: *value = p.integrated; break;
        case cudaDevAttrCanMapHostMemory: *value = p.canMapHostMemory; break;
        case cudaDevAttrConcurrentKernels: *value = p.concurrentKernels; break;
        case cudaDevAttrMaxThreadsPerMultiProcessor: *value = p.maxThreadsPerMultiProcessor; break;
        case cudaDevAttrUnifiedAddressing: *value = p.unifiedAddressing; break;
        case cudaDevAttrComputeCapabilityMajor: *value = p.major; break;
        case cudaDevAttrComputeCapabilityMinor: *value = p.minor; break;
        case cudaDevAttrStreamPrioritiesSupported: *value = p.streamPrioritiesSupported; break;
        case cudaDevAttrMaxSharedMemoryPerMultiprocessor: *value = int(p.sharedMemPerMultiprocessor); break;
        case cudaDevAttrManagedMemory: *value = p.managedMemory; break;
        case cudaDevAttrConcurrentManagedAccess: *value = p.concurrentManagedAccess; break;
        case cudaDevAttrCooperativeLaunch: *value = p.cooperativeLaunch; break;
        case cudaDevAttrMaxSharedMemoryPerBlockOptin: *value = int(p.sharedMemPerBlockOptin); break;
        case cudaDevAttrHostRegisterSupported: *value = p.hostRegisterSupported; break;
        case cudaDevAttrMaxBlocksPerMultiprocessor: *value = p.maxBlocksPerMultiProcessor; break;
        default: return record(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

// The CUDA version whose runtime this backend mirrors, for both: there is no driver.
cudaError_t cudaDriverGetVersion(int* driverVersion) {
    if (!driverVersion) return record(cudaErrorInvalidValue);
    *driverVersion = CUDART_VERSION;
    return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* runtimeVersion) {
    if (!runtimeVersion) return record(cudaErrorInvalidValue);
    *runtimeVersion = CUDART_VERSION;
    return cudaSuccess;
}

// The CUDA runtime's error calls and device queries, and the error state behind them: the
// pending error that cudaGetLastError() takes, and the sticky fault of a kernel.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "gpu/cpu/queue.h"

namespace gpu::cpu {
namespace {

std::atomic<int> lastError{cudaSuccess};    // the pending error cudaGetLastError() takes
std::atomic<int> stickyFault{cudaSuccess};  // a kernel fault: it stays, as on a GPU

}  // namespace

cudaError_t record(cudaError_t e) {
    if (e != cudaSuccess) lastError.store(e);
    return e;
}

cudaError_t sticky() { return (cudaError_t)stickyFault.load(std::memory_order_acquire); }

bool setSticky(cudaError_t e) {
    int expected = cudaSuccess;
    return stickyFault.compare_exchange_strong(expected, e);
}

void resetDeviceForTests() {
    waitAll();
    stickyFault.store(cudaSuccess);
    lastError.store(cudaSuccess);
}

}  // namespace gpu::cpu

// ---- the CUDA runtime calls -----------------------------------------------------------------

using namespace gpu::cpu;

const char* cudaGetErrorName(cudaError_t e) {
    switch (e) {
        case cudaSuccess: return "cudaSuccess";
        case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
        case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
        case cudaErrorInitializationError: return "cudaErrorInitializationError";
        case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
        case cudaErrorInvalidPitchValue: return "cudaErrorInvalidPitchValue";
        case cudaErrorInvalidSymbol: return "cudaErrorInvalidSymbol";
        case cudaErrorInvalidHostPointer: return "cudaErrorInvalidHostPointer";
        case cudaErrorInvalidDeviceFunction: return "cudaErrorInvalidDeviceFunction";
        case cudaErrorHostMemoryAlreadyRegistered: return "cudaErrorHostMemoryAlreadyRegistered";
        case cudaErrorHostMemoryNotRegistered: return "cudaErrorHostMemoryNotRegistered";
        case cudaErrorCooperativeLaunchTooLarge: return "cudaErrorCooperativeLaunchTooLarge";
        case cudaErrorInvalidDevicePointer: return "cudaErrorInvalidDevicePointer";
        case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
        case cudaErrorNoDevice: return "cudaErrorNoDevice";
        case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
        case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
        case cudaErrorNotReady: return "cudaErrorNotReady";
        case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
        case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
        case cudaErrorNotSupported: return "cudaErrorNotSupported";
        default: return "cudaErrorUnknown";
    }
}

const char* cudaGetErrorString(cudaError_t e) {
    switch (e) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidPitchValue: return "invalid pitch argument";
        case cudaErrorInvalidSymbol: return "invalid device symbol";
        case cudaErrorInvalidHostPointer: return "invalid host pointer";
        case cudaErrorInvalidDeviceFunction: return "invalid device function";
        case cudaErrorHostMemoryAlreadyRegistered: return "part or all of the requested memory range is already mapped";
        case cudaErrorHostMemoryNotRegistered: return "pointer does not correspond to a registered memory region";
        case cudaErrorCooperativeLaunchTooLarge: return "too many blocks in cooperative launch";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorNotReady: return "device not ready";
        case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorNotSupported: return "operation not supported";
        default: return "unknown error";
    }
}

// A sticky fault is returned and kept; a pending error is returned once.
cudaError_t cudaGetLastError() {
    if (cudaError_t k = sticky()) return k;
    return (cudaError_t)lastError.exchange(cudaSuccess);
}

cudaError_t cudaPeekAtLastError() {
    if (cudaError_t k = sticky()) return k;
    return (cudaError_t)lastError.load();
}

cudaError_t cudaGetDeviceCount(int* count) {
    if (!count) return record(cudaErrorInvalidValue);
    *count = 1;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (!device) return record(cudaErrorInvalidValue);
    *device = 0;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) { return device == 0 ? cudaSuccess : record(cudaErrorInvalidDevice); }

cudaError_t cudaDeviceSynchronize() {
    waitAll();
    return sticky();
}

// What the backend is and the limits it holds a launch to; nothing else is claimed.
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    if (!prop) return record(cudaErrorInvalidValue);
    if (device != 0) return record(cudaErrorInvalidDevice);
    memset(prop, 0, sizeof *prop);
    const unsigned workers = workerCount();
    snprintf(prop->name, sizeof prop->name, "cpu backend (%u CPU worker threads)", workers);
    prop->multiProcessorCount = int(workers);
    prop->warpSize = warpSize;
    prop->maxThreadsPerBlock = 1024;
    const int threadsDim[3] = {1024, 1024, 64}, gridSize[3] = {2147483647, 65535, 65535};
    memcpy(prop->maxThreadsDim, threadsDim, sizeof threadsDim);
    memcpy(prop->maxGridSize, gridSize, sizeof gridSize);
    prop->sharedMemPerBlock = kMaxSharedBytes;
    prop->sharedMemPerBlockOptin = kMaxSharedOptinBytes;
    prop->sharedMemPerMultiprocessor = kMaxSharedOptinBytes;
    // A worker runs one block at a time, all of a cooperative grid's blocks at once; streams
    // run side by side; device memory is the host's, in one address space.
    prop->maxThreadsPerMultiProcessor = 1024;
    prop->maxBlocksPerMultiProcessor = 1;
    prop->concurrentKernels = 1;
    prop->cooperativeLaunch = 1;
    prop->streamPrioritiesSupported = 1;
    prop->integrated = 1;
    prop->canMapHostMemory = 1;
    prop->unifiedAddressing = 1;
    prop->managedMemory = 1;
    prop->concurrentManagedAccess = 1;
    prop->hostRegisterSupported = 1;
    size_t free = 0;
    cudaMemGetInfo(&free, &prop->totalGlobalMem);
    return cudaSuccess;
}

cudaError_t cudaDeviceReset() {
    releaseStreams();  // after the work queued on them
    releaseDeviceMemory();
    releaseEvents();
    resetDeviceForTests();
    return cudaSuccess;
}

// The host side of the cpu backend's CUDA runtime: errors, device properties, events,
// memory and the calls on them, with the names, values and fields of the installed
// toolkit's headers (CUDA 13: driver_types.h, cuda_runtime_api.h). What CUDA 13 no longer
// declares is not declared here either. Calls outside the subset that programs commonly
// reach for are declared so that calling one fails the build with a message naming it.
#pragma once

#include <cstddef>

#define CUDART_VERSION 13000

// ---- errors -------------------------------------------------------------------------

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidSymbol = 13,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
    cudaErrorUnknown = 999,
};
typedef cudaError_t cudaError;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();

// ---- streams and events ---------------------------------------------------------------

// Only the default stream runs here (0, or its two names below); launches are synchronous.
typedef struct CUstream_st* cudaStream_t;
#define cudaStreamLegacy ((cudaStream_t)0x1)
#define cudaStreamPerThread ((cudaStream_t)0x2)

typedef struct CUevent_st* cudaEvent_t;
#define cudaEventDefault 0x00
#define cudaEventBlockingSync 0x01
#define cudaEventDisableTiming 0x02
#define cudaEventInterprocess 0x04

cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = 0);
cudaError_t cudaEventQuery(cudaEvent_t event);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);
// The default stream only (a launch here returns when its grid is done): the sticky fault.
cudaError_t cudaStreamSynchronize(cudaStream_t stream);

// ---- device -------------------------------------------------------------------------

typedef struct CUuuid_st {
    char bytes[16];
} cudaUUID_t;

// CUDA 13's field list, in its order. cudaGetDeviceProperties fills what has a meaning
// here: name, multiProcessorCount (the worker threads), warpSize, maxThreadsPerBlock,
// maxThreadsDim, maxGridSize and sharedMemPerBlock (the limits a launch is held to);
// every other field is zero.
struct cudaDeviceProp {
    char name[256]; cudaUUID_t uuid; char luid[8]; unsigned int luidDeviceNodeMask; size_t totalGlobalMem;
    size_t sharedMemPerBlock; int regsPerBlock; int warpSize; size_t memPitch; int maxThreadsPerBlock;
    int maxThreadsDim[3]; int maxGridSize[3]; size_t totalConstMem; int major; int minor;
    size_t textureAlignment; size_t texturePitchAlignment; int multiProcessorCount; int integrated;
    int canMapHostMemory; int maxTexture1D; int maxTexture1DMipmap; int maxTexture2D[2];
    int maxTexture2DMipmap[2]; int maxTexture2DLinear[3]; int maxTexture2DGather[2]; int maxTexture3D[3];
    int maxTexture3DAlt[3]; int maxTextureCubemap; int maxTexture1DLayered[2]; int maxTexture2DLayered[3];
    int maxTextureCubemapLayered[2]; int maxSurface1D; int maxSurface2D[2]; int maxSurface3D[3];
    int maxSurface1DLayered[2]; int maxSurface2DLayered[3]; int maxSurfaceCubemap;
    int maxSurfaceCubemapLayered[2]; size_t surfaceAlignment; int concurrentKernels; int ECCEnabled;
    int pciBusID; int pciDeviceID; int pciDomainID; int tccDriver; int asyncEngineCount; int unifiedAddressing;
    int memoryBusWidth; int l2CacheSize; int persistingL2CacheMaxSize; int maxThreadsPerMultiProcessor;
    int streamPrioritiesSupported; int globalL1CacheSupported; int localL1CacheSupported;
    size_t sharedMemPerMultiprocessor; int regsPerMultiprocessor; int managedMemory; int isMultiGpuBoard;
    int multiGpuBoardGroupID; int hostNativeAtomicSupported; int pageableMemoryAccess;
    int concurrentManagedAccess; int computePreemptionSupported; int canUseHostPointerForRegisteredMem;
    int cooperativeLaunch; size_t sharedMemPerBlockOptin; int pageableMemoryAccessUsesHostPageTables;
    int directManagedMemAccessFromHost; int maxBlocksPerMultiProcessor; int accessPolicyMaxWindowSize;
    size_t reservedSharedMemPerBlock; int hostRegisterSupported; int sparseCudaArraySupported;
    int hostRegisterReadOnlySupported; int timelineSemaphoreInteropSupported; int memoryPoolsSupported;
    int gpuDirectRDMASupported; unsigned int gpuDirectRDMAFlushWritesOptions; int gpuDirectRDMAWritesOrdering;
    unsigned int memoryPoolSupportedHandleTypes; int deferredMappingCudaArraySupported; int ipcEventSupported;
    int clusterLaunch; int unifiedFunctionPointers; int deviceNumaConfig; int deviceNumaId; int mpsEnabled;
    int hostNumaId; unsigned int gpuPciDeviceID; unsigned int gpuPciSubsystemID;
    int hostNumaMultinodeIpcSupported;
    int reserved[56];
};

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaDeviceSynchronize();
// Frees every device and page-locked allocation, destroys every event and clears the
// errors, the sticky fault included: a fresh context, as on a GPU.
cudaError_t cudaDeviceReset();

// ---- memory -------------------------------------------------------------------------

cudaError_t cudaMalloc(void** devPtr, size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);
// Page-locked host memory. With unified addressing a kernel may be handed it, as on a GPU;
// copies treat it as host memory.
cudaError_t cudaMallocHost(void** ptr, size_t size);
cudaError_t cudaFreeHost(void* ptr);

template <typename T>
inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}

template <typename T>
inline cudaError_t cudaMallocHost(T** ptr, size_t size, unsigned int flags = 0) {
    return flags ? cudaErrorInvalidValue : cudaMallocHost(reinterpret_cast<void**>(ptr), size);
}

namespace gpu::cpu {
cudaError_t copyToSymbol(void* symbol, size_t symbolSize, const void* src, size_t count, size_t offset,
                         cudaMemcpyKind kind);
cudaError_t copyFromSymbol(void* dst, const void* symbol, size_t symbolSize, size_t count, size_t offset,
                           cudaMemcpyKind kind);
}  // namespace gpu::cpu

// A __constant__ variable is an ordinary global in its own section; anything else is
// refused. The copy is bounded by the variable's size.
template <typename T>
inline cudaError_t cudaMemcpyToSymbol(const T& symbol, const void* src, size_t count, size_t offset = 0,
                                      cudaMemcpyKind kind = cudaMemcpyHostToDevice) {
    return gpu::cpu::copyToSymbol(const_cast<void*>(static_cast<const void*>(&symbol)), sizeof(T), src, count,
                                  offset, kind);
}

template <typename T>
inline cudaError_t cudaMemcpyFromSymbol(void* dst, const T& symbol, size_t count, size_t offset = 0,
                                        cudaMemcpyKind kind = cudaMemcpyDeviceToHost) {
    return gpu::cpu::copyFromSymbol(dst, &symbol, sizeof(T), count, offset, kind);
}

// ---- outside the subset: a call fails the build, naming the feature ---------------------

namespace gpu::cpu {
template <typename... A>
constexpr bool notInSubset = false;
}  // namespace gpu::cpu

#define GPU_CPU_REFUSED(call, feature)                                                              \
    template <typename... A>                                                                        \
    cudaError_t call(A...) {                                                                        \
        static_assert(::gpu::cpu::notInSubset<A...>, "cpu backend: " #call ": " feature               \
                      " not supported (docs/architecture.md lists the CUDA subset this backend runs)"); \
        return cudaErrorNotSupported;                                                               \
    }
GPU_CPU_REFUSED(cudaStreamCreate, "streams other than the default stream are")
GPU_CPU_REFUSED(cudaStreamCreateWithFlags, "streams other than the default stream are")
GPU_CPU_REFUSED(cudaStreamDestroy, "streams other than the default stream are")
GPU_CPU_REFUSED(cudaMemcpyAsync, "asynchronous copies are")
GPU_CPU_REFUSED(cudaMemsetAsync, "asynchronous copies are")
GPU_CPU_REFUSED(cudaMallocManaged, "managed (unified) memory is")
GPU_CPU_REFUSED(cudaHostAlloc, "mapped host memory with flags is")
GPU_CPU_REFUSED(cudaFuncSetAttribute, "kernel attributes (shared memory beyond 48 KiB a block) are")
GPU_CPU_REFUSED(cudaLaunchKernel, "launches other than <<<>>> are")
GPU_CPU_REFUSED(cudaLaunchCooperativeKernel, "cooperative launches (grid-wide sync) are")
#undef GPU_CPU_REFUSED

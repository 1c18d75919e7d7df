// The host side of the cpu backend's CUDA runtime: errors, device properties, events,
// memory and the calls on them, with the names, values and fields of the installed
// toolkit's headers (CUDA 13: driver_types.h, cuda_runtime_api.h). What CUDA 13 no longer
// declares is not declared here either. Memory calls: memory_api.h; launch and function
// calls: launch_api.h. Calls outside the subset that programs commonly
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
    cudaErrorInvalidPitchValue = 12,
    cudaErrorInvalidSymbol = 13,
    cudaErrorInvalidHostPointer = 16,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorHostMemoryAlreadyRegistered = 712,
    cudaErrorHostMemoryNotRegistered = 713,
    cudaErrorLaunchFailure = 719,
    cudaErrorCooperativeLaunchTooLarge = 720,
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

// A launch, an asynchronous copy or a host function queues its work on a stream and
// returns; each stream runs its work in order. 0 (or cudaStreamLegacy) is the legacy
// default stream: it waits for all earlier work of the blocking streams (those made
// without cudaStreamNonBlocking), and they wait for its earlier work.
typedef struct CUstream_st* cudaStream_t;
#define cudaStreamLegacy ((cudaStream_t)0x1)
#define cudaStreamPerThread ((cudaStream_t)0x2)
#define cudaStreamDefault 0x00
#define cudaStreamNonBlocking 0x01

typedef struct CUevent_st* cudaEvent_t;
#define cudaEventDefault 0x00
#define cudaEventBlockingSync 0x01
#define cudaEventDisableTiming 0x02
#define cudaEventInterprocess 0x04
#define cudaEventWaitDefault 0x00

typedef void (*cudaHostFn_t)(void* userData);
typedef void (*cudaStreamCallback_t)(cudaStream_t stream, cudaError_t status, void* userData);

cudaError_t cudaStreamCreate(cudaStream_t* pStream);
cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags);
// Lower numbers are higher priorities: a worker free to start something takes the
// stream of the highest priority first. The range is [0, -5].
cudaError_t cudaStreamCreateWithPriority(cudaStream_t* pStream, unsigned int flags, int priority);
cudaError_t cudaDeviceGetStreamPriorityRange(int* leastPriority, int* greatestPriority);
cudaError_t cudaStreamGetPriority(cudaStream_t stream, int* priority);
cudaError_t cudaStreamGetFlags(cudaStream_t stream, unsigned int* flags);
// Waits for the stream's work, then destroys it.
cudaError_t cudaStreamDestroy(cudaStream_t stream);
// cudaErrorNotReady while work of the stream is queued or running.
cudaError_t cudaStreamQuery(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
// Later work of `stream` waits for the event's latest record (none: nothing to wait for).
cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags = 0);
// fn(userData) runs on a worker in the stream's order; it must not call CUDA.
cudaError_t cudaLaunchHostFunc(cudaStream_t stream, cudaHostFn_t fn, void* userData);
cudaError_t cudaStreamAddCallback(cudaStream_t stream, cudaStreamCallback_t callback, void* userData,
                                  unsigned int flags);

cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags);
// The event is reached when the work queued on `stream` before it is done.
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = 0);
cudaError_t cudaEventQuery(cudaEvent_t event);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);

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

#include "gpu/cpu/memory_api.h"

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
GPU_CPU_REFUSED(cudaGraphCreate, "CUDA graphs are")
GPU_CPU_REFUSED(cudaGraphInstantiate, "CUDA graphs are")
GPU_CPU_REFUSED(cudaGraphLaunch, "CUDA graphs are")
GPU_CPU_REFUSED(cudaGraphExecDestroy, "CUDA graphs are")
GPU_CPU_REFUSED(cudaGraphDestroy, "CUDA graphs are")
GPU_CPU_REFUSED(cudaStreamBeginCapture, "CUDA graphs (stream capture) are")
GPU_CPU_REFUSED(cudaStreamEndCapture, "CUDA graphs (stream capture) are")
GPU_CPU_REFUSED(cudaMallocArray, "CUDA arrays (textures and surfaces) are")
GPU_CPU_REFUSED(cudaMalloc3DArray, "CUDA arrays (textures and surfaces) are")
GPU_CPU_REFUSED(cudaCreateTextureObject, "textures are")
GPU_CPU_REFUSED(cudaCreateSurfaceObject, "surfaces are")
GPU_CPU_REFUSED(cudaCreateChannelDesc, "textures and surfaces are")
GPU_CPU_REFUSED(cudaMemcpyToArray, "CUDA arrays (textures and surfaces) are")
GPU_CPU_REFUSED(cudaMemcpy2DToArray, "CUDA arrays (textures and surfaces) are")
GPU_CPU_REFUSED(cudaMalloc3D, "3-D copies are")
GPU_CPU_REFUSED(cudaMemcpy3D, "3-D copies are")
GPU_CPU_REFUSED(cudaMallocAsync, "stream-ordered allocation (memory pools) is")
GPU_CPU_REFUSED(cudaFreeAsync, "stream-ordered allocation (memory pools) is")
GPU_CPU_REFUSED(cudaLaunchKernelExC, "launch attributes (clusters) are")
GPU_CPU_REFUSED(cudaDeviceEnablePeerAccess, "several devices are")
GPU_CPU_REFUSED(cudaMemcpyPeer, "several devices are")
GPU_CPU_REFUSED(cudaIpcGetMemHandle, "interprocess memory is")
GPU_CPU_REFUSED(cudaGraphicsGLRegisterBuffer, "graphics interop is")
GPU_CPU_REFUSED(cuInit, "the driver API is")
GPU_CPU_REFUSED(cuDeviceGet, "the driver API is")
GPU_CPU_REFUSED(cuCtxCreate, "the driver API is")
GPU_CPU_REFUSED(cuModuleLoad, "the driver API is")
GPU_CPU_REFUSED(cuModuleGetFunction, "the driver API is")
GPU_CPU_REFUSED(cuLaunchKernel, "the driver API is")
GPU_CPU_REFUSED(cuMemAlloc, "the driver API is")
GPU_CPU_REFUSED(cuMemcpyHtoD, "the driver API is")
#undef GPU_CPU_REFUSED

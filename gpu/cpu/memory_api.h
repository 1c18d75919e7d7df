// The memory calls of the cpu backend's CUDA runtime (memory.cpp, copies.cpp), with CUDA
// 13's names, values and signatures. Device memory is host memory the backend tracks;
// managed memory is the same memory seen by both sides; page-locked memory (cudaMallocHost,
// cudaHostAlloc, cudaHostRegister) is host memory a kernel may also be handed.
#pragma once

#include <cstddef>

#define cudaHostAllocDefault 0x00
#define cudaHostAllocPortable 0x01
#define cudaHostAllocMapped 0x02
#define cudaHostAllocWriteCombined 0x04
#define cudaHostRegisterDefault 0x00
#define cudaHostRegisterPortable 0x01
#define cudaHostRegisterMapped 0x02
#define cudaHostRegisterIoMemory 0x04
#define cudaHostRegisterReadOnly 0x08
#define cudaMemAttachGlobal 0x01
#define cudaMemAttachHost 0x02
#define cudaMemAttachSingle 0x04
#define cudaCpuDeviceId ((int)-1)
#define cudaInvalidDeviceId ((int)-2)

enum cudaMemoryType {
    cudaMemoryTypeUnregistered = 0,
    cudaMemoryTypeHost = 1,
    cudaMemoryTypeDevice = 2,
    cudaMemoryTypeManaged = 3,
};

struct cudaPointerAttributes {
    cudaMemoryType type;
    int device;
    void* devicePointer;
    void* hostPointer;
    long reserved[8];
};

enum cudaMemLocationType {
    cudaMemLocationTypeInvalid = 0,
    cudaMemLocationTypeNone = 0,
    cudaMemLocationTypeDevice = 1,
    cudaMemLocationTypeHost = 2,
    cudaMemLocationTypeHostNuma = 3,
    cudaMemLocationTypeHostNumaCurrent = 4,
};

struct cudaMemLocation {
    cudaMemLocationType type;
    int id;
};

enum cudaMemoryAdvise {
    cudaMemAdviseSetReadMostly = 1,
    cudaMemAdviseUnsetReadMostly = 2,
    cudaMemAdviseSetPreferredLocation = 3,
    cudaMemAdviseUnsetPreferredLocation = 4,
    cudaMemAdviseSetAccessedBy = 5,
    cudaMemAdviseUnsetAccessedBy = 6,
};

cudaError_t cudaMalloc(void** devPtr, size_t size);
// Waits for the queued work, as CUDA's does, then frees.
cudaError_t cudaFree(void* devPtr);
// Both attach flags: the host and every stream may use it at once here.
cudaError_t cudaMallocManaged(void** devPtr, size_t size, unsigned int flags = cudaMemAttachGlobal);
// Rows padded to a multiple of 512 bytes.
cudaError_t cudaMallocPitch(void** devPtr, size_t* pitch, size_t width, size_t height);
cudaError_t cudaMallocHost(void** ptr, size_t size);
cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaHostRegister(void* ptr, size_t size, unsigned int flags);
cudaError_t cudaHostUnregister(void* ptr);
cudaError_t cudaHostGetDevicePointer(void** pDevice, void* pHost, unsigned int flags);
cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* ptr);
// Nothing moves here: the range (inside one managed allocation), the location and the
// flags (0) are checked, and the prefetch is a step of the stream that does nothing.
cudaError_t cudaMemPrefetchAsync(const void* devPtr, size_t count, cudaMemLocation location, unsigned int flags,
                                 cudaStream_t stream = 0);
cudaError_t cudaMemAdvise(const void* devPtr, size_t count, cudaMemoryAdvise advice, cudaMemLocation location);
// The host's physical memory, and how much of it is free.
cudaError_t cudaMemGetInfo(size_t* free, size_t* total);

// A copy whose host side is pageable memory is done when the call returns; the others,
// and every memset, run in their stream's order (copies.cpp).
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpy2D(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                         cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream = 0);
cudaError_t cudaMemcpy2DAsync(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                              cudaMemcpyKind kind, cudaStream_t stream = 0);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);
cudaError_t cudaMemset2D(void* devPtr, size_t pitch, int value, size_t width, size_t height);
cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream = 0);
cudaError_t cudaMemset2DAsync(void* devPtr, size_t pitch, int value, size_t width, size_t height,
                              cudaStream_t stream = 0);

template <typename T>
inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
template <typename T>
inline cudaError_t cudaMallocManaged(T** devPtr, size_t size, unsigned int flags = cudaMemAttachGlobal) {
    return cudaMallocManaged(reinterpret_cast<void**>(devPtr), size, flags);
}
template <typename T>
inline cudaError_t cudaMallocPitch(T** devPtr, size_t* pitch, size_t width, size_t height) {
    return cudaMallocPitch(reinterpret_cast<void**>(devPtr), pitch, width, height);
}
template <typename T>
inline cudaError_t cudaMallocHost(T** ptr, size_t size, unsigned int flags = 0) {
    return cudaHostAlloc(reinterpret_cast<void**>(ptr), size, flags);
}
template <typename T>
inline cudaError_t cudaHostAlloc(T** ptr, size_t size, unsigned int flags) {
    return cudaHostAlloc(reinterpret_cast<void**>(ptr), size, flags);
}

namespace gpu::cpu {
cudaError_t copyToSymbol(void* symbol, size_t symbolSize, const void* src, size_t count, size_t offset,
                         cudaMemcpyKind kind);
cudaError_t copyFromSymbol(void* dst, const void* symbol, size_t symbolSize, size_t count, size_t offset,
                           cudaMemcpyKind kind);
cudaError_t symbolAddress(void** devPtr, const void* symbol, size_t symbolSize);
}  // namespace gpu::cpu

// A __constant__ variable is an ordinary global in its own section; anything else is
// refused. The copy is bounded by the variable's size and waits for the work queued before.
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

template <typename T>
inline cudaError_t cudaGetSymbolAddress(void** devPtr, const T& symbol) {
    return gpu::cpu::symbolAddress(devPtr, &symbol, sizeof(T));
}

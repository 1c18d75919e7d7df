// Device memory and copies: device memory is host memory that the backend hands out and
// remembers, so that a pointer it did not hand out, a range past the end of an
// allocation, or a host range that runs into device memory is an error here, as it would
// be (or would silently corrupt memory) on a GPU.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "gpu/cpu/internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

// The bounds of the gpudemos_const section that holds every __constant__ variable, set
// by the linker; null in a program without one.
extern "C" {
extern char __start_gpudemos_const[] __attribute__((weak));
extern char __stop_gpudemos_const[] __attribute__((weak));
}

namespace gpu::cpu {
namespace {

std::mutex memMutex;
std::map<uintptr_t, size_t>& allocations() {
    static std::map<uintptr_t, size_t> m;
    return m;
}
// Page-locked host memory (cudaMallocHost): host memory for copies, and a kernel may be
// handed it, as unified addressing lets a GPU kernel read it.
std::map<uintptr_t, size_t>& pinned() {
    static std::map<uintptr_t, size_t> m;
    return m;
}

// p lies inside (or just past) one allocation of m.
bool within(const std::map<uintptr_t, size_t>& m, const void* p) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = m.upper_bound(a);
    if (it == m.begin()) return false;
    --it;
    return a - it->first <= it->second;
}

// [p, p + n) lies inside one allocation.
bool inDevice(const void* p, size_t n) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto& m = allocations();
    auto it = m.upper_bound(a);
    if (it == m.begin()) return false;
    --it;
    size_t off = a - it->first;
    return off < it->second && n <= it->second - off;
}

// [p, p + n) lies inside the __constant__ section.
bool inSymbols(const void* p, size_t n) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    uintptr_t lo = reinterpret_cast<uintptr_t>(__start_gpudemos_const);
    uintptr_t hi = reinterpret_cast<uintptr_t>(__stop_gpudemos_const);
    return lo && a >= lo && a < hi && n <= hi - a;
}

// Some byte of [p, p + n) (n > 0) is device memory: an allocation or a __constant__
// variable. A range that wraps around the address space counts as touching.
bool touchesDevice(const void* p, size_t n) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    if (n > UINTPTR_MAX - a) return true;
    uintptr_t end = a + n;
    uintptr_t lo = reinterpret_cast<uintptr_t>(__start_gpudemos_const);
    uintptr_t hi = reinterpret_cast<uintptr_t>(__stop_gpudemos_const);
    if (lo && a < hi && end > lo) return true;
    auto& m = allocations();
    auto it = m.lower_bound(end);  // allocations are disjoint: the last one that starts
    if (it == m.begin()) return false;  // before end is the only one that can reach p
    --it;
    return it->first + it->second > a;
}


// A symbol copy's other side: a device range for a device-to-device copy, a host range
// (touching no device memory) for a host one, told by the first byte for cudaMemcpyDefault.
bool symbolPeerOk(const void* p, size_t count, cudaMemcpyKind kind) {
    bool device = kind == cudaMemcpyDeviceToDevice || (kind == cudaMemcpyDefault && inDevice(p, 1));
    return device ? inDevice(p, count) : !touchesDevice(p, count);
}

}  // namespace

bool isDeviceArgument(const void* p) {
    if (inSymbols(p, 1)) return true;
    std::lock_guard<std::mutex> l(memMutex);
    return within(allocations(), p) || within(pinned(), p);
}

void releaseDeviceMemory() {
    std::lock_guard<std::mutex> l(memMutex);
    for (auto* m : {&allocations(), &pinned()}) {
        for (auto& a : *m) free(reinterpret_cast<void*>(a.first));
        m->clear();
    }
}

size_t trackedAllocationCount() {
    std::lock_guard<std::mutex> l(memMutex);
    return allocations().size();
}

size_t trackedAllocationBytes() {
    std::lock_guard<std::mutex> l(memMutex);
    size_t s = 0;
    for (auto& a : allocations()) s += a.second;
    return s;
}

namespace {

// The checks of a symbol copy, in the CUDA runtime's order: the sticky fault, the symbol, the
// range, the direction (toSymbol: host or device to the symbol), then the host side.
cudaError_t checkSymbolCopy(const void* symbol, size_t symbolSize, const void* peer, size_t count, size_t offset,
                            cudaMemcpyKind kind, bool toSymbol) {
    if (cudaError_t k = sticky()) return k;
    if (!inSymbols(symbol, symbolSize)) return record(cudaErrorInvalidSymbol);
    if (offset > symbolSize || count > symbolSize - offset) return record(cudaErrorInvalidValue);
    const cudaMemcpyKind hostKind = toSymbol ? cudaMemcpyHostToDevice : cudaMemcpyDeviceToHost;
    if (kind != hostKind && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return record(cudaErrorInvalidMemcpyDirection);
    if (count == 0) return cudaSuccess;
    if (!peer) return record(cudaErrorInvalidValue);
    std::lock_guard<std::mutex> l(memMutex);
    if (!symbolPeerOk(peer, count, kind)) return record(cudaErrorInvalidValue);
    return cudaSuccess;
}

}  // namespace

cudaError_t copyToSymbol(void* symbol, size_t symbolSize, const void* src, size_t count, size_t offset,
                         cudaMemcpyKind kind) {
    const cudaError_t err = checkSymbolCopy(symbol, symbolSize, src, count, offset, kind, true);
    if (err == cudaSuccess && count > 0) memcpy(static_cast<char*>(symbol) + offset, src, count);
    return err;
}

cudaError_t copyFromSymbol(void* dst, const void* symbol, size_t symbolSize, size_t count, size_t offset,
                           cudaMemcpyKind kind) {
    const cudaError_t err = checkSymbolCopy(symbol, symbolSize, dst, count, offset, kind, false);
    if (err == cudaSuccess && count > 0) memcpy(dst, static_cast<const char*>(symbol) + offset, count);
    return err;
}

}  // namespace gpu::cpu

// ---- the CUDA memory calls ------------------------------------------------------------

using namespace gpu::cpu;

cudaError_t cudaMalloc(void** devPtr, size_t size) {
    if (cudaError_t k = sticky()) return k;
    if (!devPtr) return record(cudaErrorInvalidValue);
    *devPtr = nullptr;
    if (size == 0) return cudaSuccess;  // as the CUDA runtime: success and a null pointer
    // Rounded up so every allocation is 256-byte aligned like the CUDA allocator's, with
    // at least one byte to spare: the pointer just past the end, which a kernel may be
    // handed, then never is the start of some host object.
    size_t rounded = (size + 256) & ~size_t(255);
    if (rounded <= size) return record(cudaErrorMemoryAllocation);
    void* p = aligned_alloc(256, rounded);
    if (!p) return record(cudaErrorMemoryAllocation);
#if defined(__SANITIZE_ADDRESS__)
    // The bytes past the size asked for are the allocator's: a kernel's access there is
    // reported as one past a malloc'd block is.
    ASAN_POISON_MEMORY_REGION(static_cast<char*>(p) + size, rounded - size);
#endif
    std::lock_guard<std::mutex> l(memMutex);
    allocations()[reinterpret_cast<uintptr_t>(p)] = size;
    *devPtr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void* devPtr) {
    if (cudaError_t k = sticky()) return k;
    if (!devPtr) return cudaSuccess;
    {
        std::lock_guard<std::mutex> l(memMutex);
        auto& m = allocations();
        auto it = m.find(reinterpret_cast<uintptr_t>(devPtr));
        if (it == m.end()) return record(cudaErrorInvalidValue);
        m.erase(it);
    }
    free(devPtr);
    return cudaSuccess;
}

// Both sides are checked whole: the device side lies inside one allocation, the host side
// touches no device memory at all (a host range that runs into an allocation would
// otherwise be written over). cudaMemcpyDefault tells the sides by their first byte.
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return record(cudaErrorInvalidMemcpyDirection);
    // The copy waits for the grid before it, as on a GPU, and reports its fault.
    if (cudaError_t k = sticky()) return k;
    if (count == 0) return cudaSuccess;
    if (!dst || !src) return record(cudaErrorInvalidValue);
    {
        std::lock_guard<std::mutex> l(memMutex);
        bool dstDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
        bool srcDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
        if (kind == cudaMemcpyDefault) {
            dstDevice = inDevice(dst, 1);
            srcDevice = inDevice(src, 1);
        }
        if (dstDevice ? !inDevice(dst, count) : touchesDevice(dst, count)) return record(cudaErrorInvalidValue);
        if (srcDevice ? !inDevice(src, count) : touchesDevice(src, count)) return record(cudaErrorInvalidValue);
    }
    memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
    if (cudaError_t k = sticky()) return k;
    if (count == 0) return cudaSuccess;
    {
        std::lock_guard<std::mutex> l(memMutex);
        if (!inDevice(devPtr, count)) return record(cudaErrorInvalidValue);
    }
    memset(devPtr, value, count);
    return cudaSuccess;
}

cudaError_t cudaMallocHost(void** ptr, size_t size) {
    if (cudaError_t k = sticky()) return k;
    if (!ptr) return record(cudaErrorInvalidValue);
    *ptr = size ? malloc(size) : nullptr;  // plain host memory: every host copy may use it
    if (size && !*ptr) return record(cudaErrorMemoryAllocation);
    if (*ptr) {
        std::lock_guard<std::mutex> l(memMutex);
        pinned()[reinterpret_cast<uintptr_t>(*ptr)] = size;
    }
    return cudaSuccess;
}

cudaError_t cudaFreeHost(void* ptr) {
    if (cudaError_t k = sticky()) return k;
    if (!ptr) return cudaSuccess;
    {
        std::lock_guard<std::mutex> l(memMutex);
        if (pinned().erase(reinterpret_cast<uintptr_t>(ptr)) == 0) return record(cudaErrorInvalidValue);
    }
    free(ptr);
    return cudaSuccess;
}

// Device memory and the memory the host shares with it: device memory is host memory that
// the backend hands out and remembers, with its kind (device, managed, page-locked,
// registered), so that a pointer it did not hand out, a range past the end of an
// allocation, or a host range that runs into device memory is an error here, as it would
// be (or would silently corrupt memory) on a GPU. Copies are in copies.cpp.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "gpu/cpu/queue.h"

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

struct Allocation {
    size_t size;
    MemKind kind;
};

std::mutex memMutex;
// Every allocation and registered range, disjoint, by start. Device and managed memory are
// device memory for copies; managed, page-locked and registered memory are host memory a
// kernel may also be handed, as unified addressing lets a GPU kernel use it.
std::map<uintptr_t, Allocation>& allocations() {
    static std::map<uintptr_t, Allocation> m;
    return m;
}

// The allocation that holds p (or ends right at it, with justPast), or end().
std::map<uintptr_t, Allocation>::iterator holding(const void* p, bool justPast = false) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto& m = allocations();
    auto it = m.upper_bound(a);
    if (it == m.begin()) return m.end();
    --it;
    const size_t off = a - it->first;
    return off < it->second.size || (justPast && off == it->second.size) ? it : m.end();
}

bool isDeviceKind(MemKind k) { return k == MemKind::Device || k == MemKind::Managed; }

// [p, p + n) lies inside one allocation of device memory.
bool inDevice(const void* p, size_t n) {
    auto it = holding(p);
    if (it == allocations().end() || !isDeviceKind(it->second.kind)) return false;
    return n <= it->second.size - (reinterpret_cast<uintptr_t>(p) - it->first);
}

// Some byte of [p, p + n) lies in an allocation of one of the kinds `match` accepts.
template <typename Match>
bool touches(uintptr_t a, uintptr_t end, Match match) {
    auto& m = allocations();
    for (auto it = m.lower_bound(end); it != m.begin();) {
        --it;
        if (it->first + it->second.size <= a) break;
        if (match(it->second.kind)) return true;
    }
    return false;
}

// The __device__ variables the build's kernel parser registered (registerDeviceVariable),
// before main: start and size of each. Made on first use, read under its own lock.
struct DeviceVariables {
    std::mutex lock;
    std::vector<std::pair<uintptr_t, size_t>> ranges;
};
DeviceVariables& deviceVariables() {
    static DeviceVariables v;
    return v;
}

// [p, p + n) lies inside the __constant__ section or inside one __device__ variable.
bool inSymbols(const void* p, size_t n) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    uintptr_t lo = reinterpret_cast<uintptr_t>(__start_gpudemos_const);
    uintptr_t hi = reinterpret_cast<uintptr_t>(__stop_gpudemos_const);
    if (lo && a >= lo && a < hi && n <= hi - a) return true;
    DeviceVariables& v = deviceVariables();
    std::lock_guard<std::mutex> l(v.lock);
    for (const auto& [start, size] : v.ranges)
        if (a >= start && a < start + size && n <= start + size - a) return true;
    return false;
}

// Some byte of [p, p + n) (n > 0) is memory only the device may use: a device allocation
// or a __constant__ variable. A range that wraps around the address space counts as touching.
bool touchesDevice(const void* p, size_t n) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    if (n > UINTPTR_MAX - a) return true;
    uintptr_t end = a + n;
    uintptr_t lo = reinterpret_cast<uintptr_t>(__start_gpudemos_const);
    uintptr_t hi = reinterpret_cast<uintptr_t>(__stop_gpudemos_const);
    if (lo && a < hi && end > lo) return true;
    return touches(a, end, [](MemKind k) { return k == MemKind::Device; });  // managed memory is the host's too
}

}  // namespace

bool isDeviceArgument(const void* p) {
    if (inSymbols(p, 1)) return true;
    std::lock_guard<std::mutex> l(memMutex);
    return holding(p, true) != allocations().end();
}

bool deviceRange(const void* p, size_t n) {
    std::lock_guard<std::mutex> l(memMutex);
    return inDevice(p, n);
}

bool hostRange(const void* p, size_t n) {
    std::lock_guard<std::mutex> l(memMutex);
    return !touchesDevice(p, n);
}

bool pageLocked(const void* p) {
    std::lock_guard<std::mutex> l(memMutex);
    auto it = holding(p);
    return it != allocations().end() && it->second.kind != MemKind::Device;
}

bool managedRange(const void* p, size_t n) {
    std::lock_guard<std::mutex> l(memMutex);
    auto it = holding(p);
    return it != allocations().end() && it->second.kind == MemKind::Managed &&
           n <= it->second.size - (reinterpret_cast<uintptr_t>(p) - it->first);
}

bool symbolRange(const void* p, size_t n) { return inSymbols(p, n); }

bool registerDeviceVariable(const void* p, size_t n) {
    DeviceVariables& v = deviceVariables();
    std::lock_guard<std::mutex> l(v.lock);
    v.ranges.emplace_back(reinterpret_cast<uintptr_t>(p), n);
    return true;
}

void releaseDeviceMemory() {
    std::lock_guard<std::mutex> l(memMutex);
    for (auto& a : allocations())
        if (a.second.kind != MemKind::Registered) free(reinterpret_cast<void*>(a.first));
    allocations().clear();
}

size_t trackedAllocationCount() {
    std::lock_guard<std::mutex> l(memMutex);
    size_t n = 0;
    for (auto& a : allocations()) n += isDeviceKind(a.second.kind);
    return n;
}

size_t trackedAllocationBytes() {
    std::lock_guard<std::mutex> l(memMutex);
    size_t s = 0;
    for (auto& a : allocations())
        if (isDeviceKind(a.second.kind)) s += a.second.size;
    return s;
}

namespace {

// A new allocation of `size` bytes, 256-byte aligned like the CUDA allocator's, with at
// least one byte to spare: the pointer just past the end, which a kernel may be handed,
// then never is the start of some host object.
cudaError_t allocate(void** p, size_t size, MemKind kind) {
    if (cudaError_t k = sticky()) return k;
    if (!p) return record(cudaErrorInvalidValue);
    *p = nullptr;
    if (size == 0) return cudaSuccess;  // as the CUDA runtime: success and a null pointer
    size_t rounded = (size + 256) & ~size_t(255);
    if (rounded <= size) return record(cudaErrorMemoryAllocation);
    void* q = aligned_alloc(256, rounded);
    if (!q) return record(cudaErrorMemoryAllocation);
#if defined(__SANITIZE_ADDRESS__)
    // The bytes past the size asked for are the allocator's: a kernel's access there is
    // reported as one past a malloc'd block is.
    ASAN_POISON_MEMORY_REGION(static_cast<char*>(q) + size, rounded - size);
#endif
    std::lock_guard<std::mutex> l(memMutex);
    allocations()[reinterpret_cast<uintptr_t>(q)] = Allocation{size, kind};
    *p = q;
    return cudaSuccess;
}

// Frees an allocation that starts at p and is of a kind `ok` accepts, after the queued work.
template <typename Ok>
cudaError_t release(void* p, Ok ok) {
    if (cudaError_t k = sticky()) return k;
    if (!p) return cudaSuccess;
    waitAll();  // as CUDA's: no queued work still uses it
    {
        std::lock_guard<std::mutex> l(memMutex);
        auto& m = allocations();
        auto it = m.find(reinterpret_cast<uintptr_t>(p));
        if (it == m.end() || !ok(it->second.kind)) return record(cudaErrorInvalidValue);
        m.erase(it);
    }
    free(p);
    return cudaSuccess;
}

}  // namespace

}  // namespace gpu::cpu

// ---- the CUDA memory calls ------------------------------------------------------------

using namespace gpu::cpu;

cudaError_t cudaMalloc(void** devPtr, size_t size) { return allocate(devPtr, size, MemKind::Device); }

cudaError_t cudaFree(void* devPtr) { return release(devPtr, isDeviceKind); }

// Host and device share the memory; both attach flags mean the same here.
cudaError_t cudaMallocManaged(void** devPtr, size_t size, unsigned int flags) {
    if (flags != cudaMemAttachGlobal && flags != cudaMemAttachHost) return record(cudaErrorInvalidValue);
    if (size == 0) return record(cudaErrorInvalidValue);  // as CUDA: no empty managed allocation
    return allocate(devPtr, size, MemKind::Managed);
}

// Rows padded to 512 bytes, as a GPU's pitched allocations are.
cudaError_t cudaMallocPitch(void** devPtr, size_t* pitch, size_t width, size_t height) {
    if (!pitch) return record(cudaErrorInvalidValue);
    const size_t p = (width + 511) & ~size_t(511);
    if (p < width || (height && p > SIZE_MAX / height)) return record(cudaErrorMemoryAllocation);
    *pitch = p;
    return allocate(devPtr, p * height, MemKind::Device);
}

cudaError_t cudaMallocHost(void** ptr, size_t size) { return allocate(ptr, size, MemKind::Pinned); }

cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags) {
    if (flags & ~unsigned(cudaHostAllocPortable | cudaHostAllocMapped | cudaHostAllocWriteCombined))
        return record(cudaErrorInvalidValue);
    return allocate(pHost, size, MemKind::Pinned);
}

cudaError_t cudaFreeHost(void* ptr) {
    return release(ptr, [](MemKind k) { return k == MemKind::Pinned; });
}

// The host range becomes page-locked: copies with it may run asynchronously, and a
// kernel may be handed it.
cudaError_t cudaHostRegister(void* ptr, size_t size, unsigned int flags) {
    if (cudaError_t k = sticky()) return k;
    if (flags & ~unsigned(cudaHostRegisterPortable | cudaHostRegisterMapped | cudaHostRegisterIoMemory |
                          cudaHostRegisterReadOnly))
        return record(cudaErrorInvalidValue);
    if (!ptr || size == 0) return record(cudaErrorInvalidValue);
    if (flags & cudaHostRegisterIoMemory) return record(cudaErrorNotSupported);
    const uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
    if (size > UINTPTR_MAX - a) return record(cudaErrorInvalidValue);
    std::lock_guard<std::mutex> l(memMutex);
    if (touches(a, a + size, [](MemKind k) { return k != MemKind::Device; }))
        return record(cudaErrorHostMemoryAlreadyRegistered);
    if (touchesDevice(ptr, size)) return record(cudaErrorInvalidValue);
    allocations()[a] = Allocation{size, MemKind::Registered};
    return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* ptr) {
    if (cudaError_t k = sticky()) return k;
    waitAll();
    std::lock_guard<std::mutex> l(memMutex);
    auto& m = allocations();
    auto it = m.find(reinterpret_cast<uintptr_t>(ptr));
    if (it == m.end() || it->second.kind != MemKind::Registered) return record(cudaErrorHostMemoryNotRegistered);
    m.erase(it);
    return cudaSuccess;
}

// With unified addressing the device sees page-locked memory at its host address.
cudaError_t cudaHostGetDevicePointer(void** pDevice, void* pHost, unsigned int flags) {
    if (!pDevice || flags != 0) return record(cudaErrorInvalidValue);
    if (!pageLocked(pHost) || managedRange(pHost, 1)) return record(cudaErrorInvalidValue);
    *pDevice = pHost;
    return cudaSuccess;
}

cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* ptr) {
    if (!attributes) return record(cudaErrorInvalidValue);
    *attributes = cudaPointerAttributes{cudaMemoryTypeUnregistered, cudaInvalidDeviceId, nullptr, nullptr};
    if (symbolRange(ptr, 1)) {
        *attributes = cudaPointerAttributes{cudaMemoryTypeDevice, 0, const_cast<void*>(ptr), nullptr};
        return cudaSuccess;
    }
    std::lock_guard<std::mutex> l(memMutex);
    auto it = holding(ptr);
    if (it == allocations().end()) return cudaSuccess;
    void* p = const_cast<void*>(ptr);
    switch (it->second.kind) {
        case MemKind::Device: *attributes = {cudaMemoryTypeDevice, 0, p, nullptr}; break;
        case MemKind::Managed: *attributes = {cudaMemoryTypeManaged, 0, p, p}; break;
        default: *attributes = {cudaMemoryTypeHost, 0, p, p}; break;
    }
    return cudaSuccess;
}

namespace {

bool validLocation(cudaMemLocation l) {
    switch (l.type) {
        case cudaMemLocationTypeDevice: return l.id == 0;
        case cudaMemLocationTypeHost:
        case cudaMemLocationTypeHostNumaCurrent: return true;
        case cudaMemLocationTypeHostNuma: return l.id == 0;
        default: return false;
    }
}

}  // namespace

// Managed memory never moves here: the prefetch is checked, then queued on its stream as a
// step that does nothing.
cudaError_t cudaMemPrefetchAsync(const void* devPtr, size_t count, cudaMemLocation location, unsigned int flags,
                                 cudaStream_t stream) {
    if (cudaError_t k = sticky()) return k;
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    if (count == 0 || flags != 0 || !validLocation(location) || !managedRange(devPtr, count))
        return record(cudaErrorInvalidValue);
    mark(s);
    return cudaSuccess;
}

cudaError_t cudaMemAdvise(const void* devPtr, size_t count, cudaMemoryAdvise advice, cudaMemLocation location) {
    if (cudaError_t k = sticky()) return k;
    if (advice < cudaMemAdviseSetReadMostly || advice > cudaMemAdviseUnsetAccessedBy) return record(cudaErrorInvalidValue);
    const bool usesLocation = advice == cudaMemAdviseSetPreferredLocation || advice == cudaMemAdviseSetAccessedBy ||
                              advice == cudaMemAdviseUnsetAccessedBy;
    if (count == 0 || !managedRange(devPtr, count) || (usesLocation && !validLocation(location)))
        return record(cudaErrorInvalidValue);
    return cudaSuccess;
}

// Device memory is the host's: what the host has, physical and free.
cudaError_t cudaMemGetInfo(size_t* free, size_t* total) {
    if (cudaError_t k = sticky()) return k;
    if (!free || !total) return record(cudaErrorInvalidValue);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    *total = size_t(sysconf(_SC_PHYS_PAGES)) * page;
    *free = size_t(sysconf(_SC_AVPHYS_PAGES)) * page;
    return cudaSuccess;
}

// The cpu backend's runtime: tracked device memory, the worker pool and block execution
// with fibers for blocks that use barriers.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <boost/context/fiber.hpp>
#include <boost/context/stack_context.hpp>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "gpu/runtime.h"

namespace ctx = boost::context;

namespace gpu::cpu {
namespace {

// ---- errors ---------------------------------------------------------------------------

std::atomic<int> lastError{cudaSuccess};  // what cudaGetLastError() returns
std::atomic<int> kernelFault{cudaSuccess};  // a fault found while running a grid

cudaError_t record(cudaError_t e) {
    if (e != cudaSuccess) lastError.store(e);
    return e;
}

// ---- tracked device memory --------------------------------------------------------------

// Device memory is host memory the layer hands out and remembers, so that a pointer it
// did not hand out, or a range past the end of an allocation, is an error here as it
// would be (or silently corrupt memory) on a GPU.
std::mutex memMutex;
std::map<uintptr_t, size_t>& allocations() {
    static std::map<uintptr_t, size_t> m;
    return m;
}

// The allocation holding [p, p + n), or end() when none does.
bool inDevice(const void* p, size_t n) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto& m = allocations();
    auto it = m.upper_bound(a);
    if (it == m.begin()) return false;
    --it;
    size_t off = a - it->first;
    return off < it->second && n <= it->second - off;
}

bool touchesDevice(const void* p) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto& m = allocations();
    auto it = m.upper_bound(a);
    if (it == m.begin()) return false;
    --it;
    return a - it->first < it->second;
}

// ---- fibers -----------------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackSize = 512 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kStackSize = 512 * 1024;
#else
constexpr size_t kStackSize = 128 * 1024;
#endif
#else
constexpr size_t kStackSize = 128 * 1024;
#endif

// Stacks are mapped once per worker, with a guard page below, and reused by every block
// that worker runs.
class StackPool {
public:
    ~StackPool() {
        for (void* base : free_) munmap(base, kStackSize + page());
    }
    ctx::stack_context allocate() {
        void* base;
        if (!free_.empty()) {
            base = free_.back();
            free_.pop_back();
        } else {
            base = mmap(nullptr, kStackSize + page(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
            if (base == MAP_FAILED) throw std::bad_alloc();
            mprotect(base, page(), PROT_NONE);
        }
        ctx::stack_context sc;
        sc.size = kStackSize;
        sc.sp = static_cast<char*>(base) + page() + kStackSize;
        return sc;
    }
    void deallocate(ctx::stack_context& sc) { free_.push_back(static_cast<char*>(sc.sp) - kStackSize - page()); }

private:
    static size_t page() {
        static size_t p = (size_t)sysconf(_SC_PAGESIZE);
        return p;
    }
    std::vector<void*> free_;
};

struct PoolAllocator {
    StackPool* pool;
    ctx::stack_context allocate() { return pool->allocate(); }
    void deallocate(ctx::stack_context& sc) noexcept { pool->deallocate(sc); }
};

thread_local StackPool stackPool;

enum class BlockMode { Probing, Plain, Fibers };

struct GpuThread {
    ctx::fiber fiber;   // the thread itself, while suspended
    ctx::fiber caller;  // the scheduler, while the thread runs
    uint3 idx{};
    bool atBarrier = false;
    bool done = false;
};

struct BlockState {
    BlockMode mode = BlockMode::Probing;
    GpuThread* current = nullptr;
    bool fault = false;
    const char* faultWhat = nullptr;
};

thread_local BlockState* currentBlock = nullptr;

uint3 unflatten(unsigned t, uint3 dim) { return uint3{t % dim.x, (t / dim.x) % dim.y, t / (dim.x * dim.y)}; }

// Runs thread t's fiber until it reaches a barrier or ends.
void resume(BlockState& b, GpuThread& t) {
    b.current = &t;
    context.thread = t.idx;
    t.fiber = std::move(t.fiber).resume();
    b.current = nullptr;
}

void startFiber(BlockState& b, GpuThread& t, const LaunchDesc& d) {
    t.fiber = ctx::fiber(std::allocator_arg, PoolAllocator{&stackPool}, [&t, &d](ctx::fiber&& caller) {
        t.caller = std::move(caller);
        d.runOne(d.closure);
        t.done = true;
        return std::move(t.caller);
    });
    resume(b, t);
}

void fault(BlockState& b, const char* what) {
    if (!b.fault) {
        b.fault = true;
        b.faultWhat = what;
    }
}

void runBlock(const LaunchDesc& d, unsigned blockLinear) {
    context.block = unflatten(blockLinear, d.grid);
    context.blockSize = d.block;
    context.gridSize = d.grid;
    const unsigned n = d.block.x * d.block.y * d.block.z;

    BlockState b;
    currentBlock = &b;
    // Per-worker thread records, grown only between blocks (fibers hold their address).
    thread_local std::vector<GpuThread> records;
    if (records.size() < n) records.resize(n);
    GpuThread* threads = records.data();
    for (unsigned t = 0; t < n; ++t) {
        threads[t].atBarrier = false;
        threads[t].done = false;
    }
    threads[0].idx = uint3{0, 0, 0};
    startFiber(b, threads[0], d);

    if (threads[0].done) {
        // No barrier in this kernel (or not on thread 0's path): the rest run as a loop.
        b.mode = BlockMode::Plain;
        d.runThreads(d.closure, 1, n);
    } else {
        b.mode = BlockMode::Fibers;
        for (unsigned t = 1; t < n; ++t) {
            threads[t].idx = unflatten(t, d.block);
            startFiber(b, threads[t], d);
        }
        for (;;) {
            unsigned waiting = 0, ended = 0;
            for (unsigned i = 0; i < n; ++i) {
                waiting += threads[i].atBarrier;
                ended += threads[i].done;
            }
            if (waiting == 0) break;  // every thread has finished
            if (ended > 0) {
                // On a GPU this block would hang or misbehave: some threads wait at a
                // barrier that the finished ones will never reach.
                fault(b, "a thread ended while others wait at __syncthreads()");
                break;
            }
            for (unsigned i = 0; i < n; ++i) {
                threads[i].atBarrier = false;
                resume(b, threads[i]);
            }
        }
        // Fibers still suspended (only after a fault) are unwound here.
        for (unsigned i = 0; i < n; ++i) threads[i].fiber = ctx::fiber();
    }
    currentBlock = nullptr;
    if (b.fault) {
        int expected = cudaSuccess;
        if (kernelFault.compare_exchange_strong(expected, cudaErrorLaunchFailure)) {
            fprintf(stderr, "cpu backend: kernel fault in block (%u, %u, %u): %s\n", context.block.x,
                    context.block.y, context.block.z, b.faultWhat);
        }
    }
}

// ---- the worker pool --------------------------------------------------------------------

// N workers: the launching thread plus N - 1 pool threads, made once. A launch hands out
// block indices through one atomic counter.
class Pool {
public:
    explicit Pool(unsigned workers) {
        for (unsigned i = 1; i < workers; ++i) threads_.emplace_back([this] { loop(); });
    }
    ~Pool() {
        {
            std::lock_guard<std::mutex> l(m_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_) t.join();
    }
    unsigned workers() const { return (unsigned)threads_.size() + 1; }

    void run(const LaunchDesc& d) {
        const uint64_t blocks = (uint64_t)d.grid.x * d.grid.y * d.grid.z;
        if (threads_.empty() || blocks == 1) {
            for (uint64_t i = 0; i < blocks; ++i) runBlock(d, (unsigned)i);
            return;
        }
        {
            std::lock_guard<std::mutex> l(m_);
            job_ = &d;
            blocks_ = blocks;
            next_.store(0);
            busy_ = (unsigned)threads_.size();
            ++generation_;
        }
        cv_.notify_all();
        work(d, blocks);
        std::unique_lock<std::mutex> l(m_);
        done_.wait(l, [this] { return busy_ == 0; });
        job_ = nullptr;
    }

private:
    void work(const LaunchDesc& d, uint64_t blocks) {
        for (;;) {
            uint64_t i = next_.fetch_add(1, std::memory_order_relaxed);
            if (i >= blocks) break;
            runBlock(d, (unsigned)i);
        }
    }
    void loop() {
        uint64_t seen = 0;
        for (;;) {
            const LaunchDesc* d;
            uint64_t blocks;
            {
                std::unique_lock<std::mutex> l(m_);
                cv_.wait(l, [&] { return stop_ || generation_ != seen; });
                if (stop_) return;
                seen = generation_;
                d = job_;
                blocks = blocks_;
            }
            work(*d, blocks);
            std::lock_guard<std::mutex> l(m_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex m_;
    std::condition_variable cv_, done_;
    const LaunchDesc* job_ = nullptr;
    uint64_t blocks_ = 0;
    std::atomic<uint64_t> next_{0};
    unsigned busy_ = 0;
    uint64_t generation_ = 0;
    bool stop_ = false;
};

unsigned defaultWorkers() {
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

std::mutex poolMutex;
std::unique_ptr<Pool>& pool() {
    static std::unique_ptr<Pool> p;
    return p;
}
unsigned requestedWorkers = 0;

Pool& getPool() {
    auto& p = pool();
    if (!p) p = std::make_unique<Pool>(requestedWorkers ? requestedWorkers : defaultWorkers());
    return *p;
}

}  // namespace

// ---- execution ----------------------------------------------------------------------------

cudaError_t checkLaunchConfig(dim3 g, dim3 b) {
    if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return record(cudaErrorInvalidConfiguration);
    if (b.x > 1024 || b.y > 1024 || b.z > 64) return record(cudaErrorInvalidConfiguration);
    if ((uint64_t)b.x * b.y * b.z > 1024) return record(cudaErrorInvalidConfiguration);
    if (g.x > 2147483647u || g.y > 65535 || g.z > 65535) return record(cudaErrorInvalidConfiguration);
    return cudaSuccess;
}

void runGrid(const LaunchDesc& d) {
    std::lock_guard<std::mutex> l(poolMutex);
    getPool().run(d);
}

void syncThreads() {
    BlockState* b = currentBlock;
    if (!b) return;  // called outside a kernel
    if (b->mode == BlockMode::Plain) {
        // Thread 0 finished without a barrier, yet this thread reaches one.
        fault(*b, "__syncthreads() reached by some threads of a block but not by others");
        return;
    }
    GpuThread& t = *b->current;
    t.atBarrier = true;
    t.caller = std::move(t.caller).resume();
}

unsigned workerCount() {
    std::lock_guard<std::mutex> l(poolMutex);
    return getPool().workers();
}

void setWorkerCount(unsigned n) {
    std::lock_guard<std::mutex> l(poolMutex);
    requestedWorkers = n ? n : defaultWorkers();
    pool().reset();
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

cudaError_t copyToSymbol(void* symbol, size_t symbolSize, const void* src, size_t count, size_t offset,
                         cudaMemcpyKind kind) {
    if (offset > symbolSize || count > symbolSize - offset) return record(cudaErrorInvalidValue);
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return record(cudaErrorInvalidMemcpyDirection);
    if (count == 0) return cudaSuccess;
    if (!src) return record(cudaErrorInvalidValue);
    {
        std::lock_guard<std::mutex> l(memMutex);
        if (kind == cudaMemcpyDeviceToDevice && !inDevice(src, count)) return record(cudaErrorInvalidValue);
        if (kind == cudaMemcpyHostToDevice && touchesDevice(src)) return record(cudaErrorInvalidValue);
    }
    memcpy(static_cast<char*>(symbol) + offset, src, count);
    return cudaSuccess;
}

cudaError_t copyFromSymbol(void* dst, const void* symbol, size_t symbolSize, size_t count, size_t offset,
                           cudaMemcpyKind kind) {
    if (offset > symbolSize || count > symbolSize - offset) return record(cudaErrorInvalidValue);
    if (kind != cudaMemcpyDeviceToHost && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return record(cudaErrorInvalidMemcpyDirection);
    if (count == 0) return cudaSuccess;
    if (!dst) return record(cudaErrorInvalidValue);
    {
        std::lock_guard<std::mutex> l(memMutex);
        if (kind == cudaMemcpyDeviceToDevice && !inDevice(dst, count)) return record(cudaErrorInvalidValue);
        if (kind == cudaMemcpyDeviceToHost && touchesDevice(dst)) return record(cudaErrorInvalidValue);
    }
    memcpy(dst, static_cast<const char*>(symbol) + offset, count);
    return cudaSuccess;
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
        case cudaErrorInvalidSymbol: return "cudaErrorInvalidSymbol";
        case cudaErrorInvalidDevicePointer: return "cudaErrorInvalidDevicePointer";
        case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
        case cudaErrorNoDevice: return "cudaErrorNoDevice";
        case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
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
        case cudaErrorInvalidSymbol: return "invalid device symbol";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorNotSupported: return "operation not supported";
        default: return "unknown error";
    }
}

cudaError_t cudaGetLastError() {
    int k = kernelFault.exchange(cudaSuccess);
    int e = lastError.exchange(cudaSuccess);
    return (cudaError_t)(k != cudaSuccess ? k : e);
}

cudaError_t cudaPeekAtLastError() {
    int k = kernelFault.load();
    return (cudaError_t)(k != cudaSuccess ? k : lastError.load());
}

cudaError_t cudaGetDeviceCount(int* count) {
    if (!count) return record(cudaErrorInvalidValue);
    *count = 1;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) { return device == 0 ? cudaSuccess : record(cudaErrorInvalidDevice); }

cudaError_t cudaDeviceSynchronize() { return (cudaError_t)kernelFault.load(); }

cudaError_t cudaMalloc(void** devPtr, size_t size) {
    if (!devPtr) return record(cudaErrorInvalidValue);
    *devPtr = nullptr;
    if (size == 0) return cudaSuccess;  // as the CUDA runtime: success and a null pointer
    // Rounded up so every allocation is 256-byte aligned like the CUDA allocator's.
    size_t rounded = (size + 255) & ~size_t(255);
    if (rounded < size) return record(cudaErrorMemoryAllocation);
    void* p = aligned_alloc(256, rounded);
    if (!p) return record(cudaErrorMemoryAllocation);
    std::lock_guard<std::mutex> l(memMutex);
    allocations()[reinterpret_cast<uintptr_t>(p)] = size;
    *devPtr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void* devPtr) {
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

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return record(cudaErrorInvalidMemcpyDirection);
    // The copy waits for the grid before it, as on a GPU, and reports its fault.
    if (int k = kernelFault.load(); k != cudaSuccess) return (cudaError_t)k;
    if (count == 0) return cudaSuccess;
    if (!dst || !src) return record(cudaErrorInvalidValue);
    {
        std::lock_guard<std::mutex> l(memMutex);
        bool dstDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
        bool srcDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
        if (kind == cudaMemcpyDefault) {
            dstDevice = touchesDevice(dst);
            srcDevice = touchesDevice(src);
        }
        if (dstDevice ? !inDevice(dst, count) : touchesDevice(dst)) return record(cudaErrorInvalidValue);
        if (srcDevice ? !inDevice(src, count) : touchesDevice(src)) return record(cudaErrorInvalidValue);
    }
    memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
    if (count == 0) return cudaSuccess;
    {
        std::lock_guard<std::mutex> l(memMutex);
        if (!inDevice(devPtr, count)) return record(cudaErrorInvalidValue);
    }
    memset(devPtr, value, count);
    return cudaSuccess;
}

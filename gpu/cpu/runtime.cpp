// The cpu backend's runtime: tracked device memory, the worker pool and block execution
// with fibers for blocks that use barriers.
#include <signal.h>
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
#include <string>
#include <thread>
#include <vector>

#include "gpu/runtime.h"

// The bounds of the gpudemos_const section that holds every __constant__ variable, set
// by the linker; null in a program without one.
extern "C" {
extern char __start_gpudemos_const[] __attribute__((weak));
extern char __stop_gpudemos_const[] __attribute__((weak));
}

namespace ctx = boost::context;

namespace gpu::cpu {
namespace {

// ---- errors ---------------------------------------------------------------------------

std::atomic<int> lastError{cudaSuccess};    // the pending error cudaGetLastError() takes
std::atomic<int> stickyFault{cudaSuccess};  // a kernel fault: it stays, as on a GPU

cudaError_t record(cudaError_t e) {
    if (e != cudaSuccess) lastError.store(e);
    return e;
}

cudaError_t sticky() { return (cudaError_t)stickyFault.load(std::memory_order_acquire); }

// The first fault wins; it is never replaced.
void setSticky(cudaError_t e) {
    int expected = cudaSuccess;
    stickyFault.compare_exchange_strong(expected, e);
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

// What a kernel may be handed: a pointer into (or just past) an allocation, or into a
// __constant__ variable.
bool isDevicePointer(const void* p) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    if (inSymbols(p, 1)) return true;
    auto& m = allocations();
    auto it = m.upper_bound(a);
    if (it == m.begin()) return false;
    --it;
    return a - it->first <= it->second;
}

// ---- ThreadSanitizer ----------------------------------------------------------------------

// Under TSan every GPU thread's fiber is a TSan fiber and every switch is announced, so
// reports name the GPU thread's own stack. A switch synchronises: the threads of one block
// (one worker) are ordered at every switch, and what TSan checks is the blocks that run
// at the same time on different workers, and the runtime's own hand-overs.
#if defined(__SANITIZE_THREAD__)
#define GPU_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GPU_TSAN 1
#endif
#endif

#if GPU_TSAN
constexpr bool GPU_TSAN_ON = true;
}  // namespace
}  // namespace gpu::cpu
#include <sanitizer/tsan_interface.h>
namespace gpu::cpu {
namespace {
void* tsanCurrent() { return __tsan_get_current_fiber(); }
void* tsanCreate() { return __tsan_create_fiber(0); }
void tsanSwitch(void* f) { __tsan_switch_to_fiber(f, 0); }
void tsanDestroy(void* f) { __tsan_destroy_fiber(f); }
#else
constexpr bool GPU_TSAN_ON = false;
void* tsanCurrent() { return nullptr; }
void* tsanCreate() { return nullptr; }
void tsanSwitch(void*) {}
void tsanDestroy(void*) {}
#endif

// ---- fiber stacks -------------------------------------------------------------------------

// Each GPU thread may use 512 KiB of stack, as a GPU thread may use 512 KiB of local
// memory; a little more is mapped for the runtime's own frames and the fiber record.
constexpr size_t kStackLimit = 512 * 1024;
constexpr size_t kStackSize = kStackLimit + 16 * 1024;
// Below every stack a guard region that is never mapped. With -fstack-clash-protection
// every frame touches its pages in order, so a frame that outgrows its stack lands here
// and nowhere else.
constexpr size_t kGuardSize = 64 * 1024;
constexpr size_t kSlotSize = kGuardSize + kStackSize;
constexpr unsigned kMaxThreads = 1024;

// The stacks of the worker running on this thread: one region of kMaxThreads slots,
// [guard | stack], reserved without memory; a slot's stack is made accessible the first
// time a block has that many threads, and its pages are taken only where touched.
// Read by the SIGSEGV handler, hence plain words with a signal-safe TLS model.
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t regionLo = 0;
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t regionHi = 0;

struct sigaction previousSegv;

void onSegv(int sig, siginfo_t* info, void* uc) {
    uintptr_t a = reinterpret_cast<uintptr_t>(info->si_addr);
    if (a >= regionLo && a < regionHi && (a - regionLo) % kSlotSize < kGuardSize) {
        static const char msg[] = "cpu backend: a GPU thread outgrew its 512 KiB stack\n";
        ssize_t r = write(STDERR_FILENO, msg, sizeof msg - 1);
        (void)r;
        abort();
    }
    // Not ours: to whoever handled it before, or the default action on return.
    if (previousSegv.sa_flags & SA_SIGINFO) {
        previousSegv.sa_sigaction(sig, info, uc);
    } else if (previousSegv.sa_handler != SIG_DFL && previousSegv.sa_handler != SIG_IGN) {
        previousSegv.sa_handler(sig);
    } else {
        signal(SIGSEGV, SIG_DFL);
    }
}

void installSegvHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onSegv;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &previousSegv);
    });
}

class StackPool {
public:
    StackPool() {
        installSegvHandler();
        // The handler needs a stack of its own: the one that overflowed is full.
        stack_t old{};
        if (sigaltstack(nullptr, &old) == 0 && (old.ss_flags & SS_DISABLE)) {
            altSize_ = 64 * 1024;
            altStack_ = mmap(nullptr, altSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (altStack_ != MAP_FAILED) {
                stack_t ss{};
                ss.ss_sp = altStack_;
                ss.ss_size = altSize_;
                sigaltstack(&ss, nullptr);
            } else {
                altStack_ = nullptr;
            }
        }
    }
    ~StackPool() {
        if (region_) {
            munmap(region_, kSlotSize * kMaxThreads);
            regionLo = regionHi = 0;
        }
        if (altStack_) {
            stack_t ss{};
            ss.ss_flags = SS_DISABLE;
            sigaltstack(&ss, nullptr);
            munmap(altStack_, altSize_);
        }
    }
    // The stack of GPU thread `slot` of the blocks this worker runs.
    ctx::stack_context stack(unsigned slot) {
        if (!region_) {
            region_ = static_cast<char*>(mmap(nullptr, kSlotSize * kMaxThreads, PROT_NONE,
                                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
            if (region_ == MAP_FAILED) {
                region_ = nullptr;
                throw std::bad_alloc();
            }
            regionLo = reinterpret_cast<uintptr_t>(region_);
            regionHi = regionLo + kSlotSize * kMaxThreads;
        }
        char* base = region_ + size_t(slot) * kSlotSize;
        if (slot >= ready_) {
            // Slots are taken in order: make every stack up to this one accessible.
            char* from = region_ + size_t(ready_) * kSlotSize;
            for (unsigned i = ready_; i <= slot; ++i, from += kSlotSize)
                if (mprotect(from + kGuardSize, kStackSize, PROT_READ | PROT_WRITE) != 0) throw std::bad_alloc();
            ready_ = slot + 1;
        }
        ctx::stack_context sc;
        sc.size = kStackSize;
        sc.sp = base + kSlotSize;
        return sc;
    }

private:
    char* region_ = nullptr;
    unsigned ready_ = 0;
    void* altStack_ = nullptr;
    size_t altSize_ = 0;
};

// Hands a fiber its slot's stack; the stack outlives the fiber and is reused.
struct SlotAllocator {
    ctx::stack_context sc;
    ctx::stack_context allocate() { return sc; }
    void deallocate(ctx::stack_context&) noexcept {}
};

// ---- blocks -------------------------------------------------------------------------------

enum class BlockMode { Probing, Plain, Fibers };

// One GPU thread slot of a worker. Its fiber is made once and then runs one GPU thread
// after another, block after block: no fiber is made per thread or per block.
struct GpuThread {
    ctx::fiber fiber;   // the slot's fiber, while suspended
    ctx::fiber caller;  // the worker, while the slot runs
    const LaunchDesc* desc = nullptr;
    uint3 idx{};
    bool atBarrier = false;
    bool done = false;
    bool quit = false;  // the worker is going: leave the loop and end normally
    void* tsanFiber = nullptr;
};

// What a worker thread keeps between blocks: the stacks, then the slots that use them
// (members are destroyed in reverse: the fibers go before their stacks).
struct Worker {
    StackPool stacks;
    std::unique_ptr<GpuThread[]> slots{new GpuThread[kMaxThreads]};  // fibers hold their address
    void* tsanSelf = tsanCurrent();  // TSan's fiber of the worker thread

    ~Worker() {
        for (unsigned i = 0; i < kMaxThreads; ++i) {
            GpuThread& t = slots[i];
            if (t.fiber && t.done) {
                // Idle between threads: let it end its loop, no unwinding needed.
                t.quit = true;
                tsanSwitch(t.tsanFiber);
                t.fiber = std::move(t.fiber).resume();
            }
            discard(t);
        }
    }
    // Unwinds a slot's fiber (a thread left waiting at a barrier after a fault).
    void discard(GpuThread& t) {
        if (t.fiber) {
            tsanSwitch(t.tsanFiber);
            t.fiber = ctx::fiber();
            tsanSwitch(tsanSelf);
        }
        if (t.tsanFiber) {
            // Its shadow stack still holds the frames just unwound: start afresh.
            tsanDestroy(t.tsanFiber);
            t.tsanFiber = nullptr;
        }
    }
};

thread_local Worker worker;

struct BlockState {
    BlockMode mode = BlockMode::Probing;
    GpuThread* current = nullptr;
    bool fault = false;
    const char* faultWhat = nullptr;
};

thread_local BlockState* currentBlock = nullptr;

uint3 unflatten(unsigned t, uint3 dim) { return uint3{t % dim.x, (t / dim.x) % dim.y, t / (dim.x * dim.y)}; }

// Runs thread t's fiber until it reaches a barrier or ends. Under TSan the switch is
// announced first, so the accesses of both sides are ordered as a barrier orders them.
void resume(BlockState& b, GpuThread& t) {
    b.current = &t;
    context.thread = t.idx;
    tsanSwitch(t.tsanFiber);
    t.fiber = std::move(t.fiber).resume();
    b.current = nullptr;
}

// Starts GPU thread `idx` of the current block on slot `slot`.
void startThread(BlockState& b, unsigned slot, uint3 idx, const LaunchDesc& d) {
    GpuThread& t = worker.slots[slot];
    t.desc = &d;
    t.idx = idx;
    t.atBarrier = false;
    t.done = false;
    if (!t.fiber) {
        if (GPU_TSAN_ON && !t.tsanFiber) t.tsanFiber = tsanCreate();
        // Made under the slot's TSan fiber: making it already runs a little on its stack.
        tsanSwitch(t.tsanFiber);
        t.fiber = ctx::fiber(std::allocator_arg, SlotAllocator{worker.stacks.stack(slot)}, [&t](ctx::fiber&& caller) {
            t.caller = std::move(caller);
            for (;;) {
                t.desc->runOne(t.desc->closure);
                t.done = true;
                if (GPU_TSAN_ON) tsanSwitch(worker.tsanSelf);
                t.caller = std::move(t.caller).resume();
                if (t.quit) break;
            }
            if (GPU_TSAN_ON) tsanSwitch(worker.tsanSelf);
            return std::move(t.caller);
        });
        if (GPU_TSAN_ON) tsanSwitch(worker.tsanSelf);
    }
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
    startThread(b, 0, uint3{0, 0, 0}, d);

    GpuThread* const threads = worker.slots.get();
    if (threads[0].done) {
        // No barrier in this kernel (or not on thread 0's path): the rest run as a loop.
        b.mode = BlockMode::Plain;
        d.runThreads(d.closure, 1, n);
    } else {
        b.mode = BlockMode::Fibers;
        for (unsigned t = 1; t < n; ++t) startThread(b, t, unflatten(t, d.block), d);
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
        // Threads still waiting at a barrier (only after a fault) are unwound.
        for (unsigned i = 0; i < n; ++i)
            if (threads[i].atBarrier) worker.discard(threads[i]);
    }
    currentBlock = nullptr;
    if (b.fault) {
        int expected = cudaSuccess;
        if (stickyFault.compare_exchange_strong(expected, cudaErrorLaunchFailure)) {
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
    if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return cudaErrorInvalidConfiguration;
    if (b.x > 1024 || b.y > 1024 || b.z > 64) return cudaErrorInvalidConfiguration;
    if ((uint64_t)b.x * b.y * b.z > 1024) return cudaErrorInvalidConfiguration;
    if (g.x > 2147483647u || g.y > 65535 || g.z > 65535) return cudaErrorInvalidConfiguration;
    return cudaSuccess;
}

cudaError_t beginLaunch(dim3 grid, dim3 block) {
    if (cudaError_t k = sticky()) return k;
    lastError.store(cudaSuccess);
    return checkLaunchConfig(grid, block);
}

namespace {

// The text of kernel argument `index` in "grid, block, a, b, ...", the arguments as
// written at the call; empty when the text cannot be split into `count` arguments.
std::string argumentText(const char* text, unsigned index, unsigned count) {
    std::vector<std::string> parts(1);
    int depth = 0;
    char quote = 0;
    for (const char* c = text; *c; ++c) {
        if (quote) {
            if (*c == '\\' && c[1]) parts.back() += *c++;
            else if (*c == quote) quote = 0;
        } else if (*c == '"' || *c == '\'') {
            quote = *c;
        } else if (*c == '(' || *c == '[' || *c == '{') {
            ++depth;
        } else if (*c == ')' || *c == ']' || *c == '}') {
            --depth;
        } else if (*c == ',' && depth == 0) {
            parts.emplace_back();
            continue;
        }
        parts.back() += *c;
    }
    if (parts.size() != count + 2) return {};
    std::string s = parts[index + 2];
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

cudaError_t checkKernelPointers(const char* kernel, const char* argText, const void* const* ptrs, unsigned n) {
    unsigned bad = n;
    {
        std::lock_guard<std::mutex> l(memMutex);
        for (unsigned i = 0; i < n && bad == n; ++i)
            if (ptrs[i] && !isDevicePointer(ptrs[i])) bad = i;
    }
    if (bad == n) return cudaSuccess;
    std::string name = argumentText(argText, bad, n);
    if (!name.empty()) name = " (" + name + ")";
    fprintf(stderr, "cpu backend: kernel %s, argument %u%s: %p is not device memory\n", kernel, bad + 1, name.c_str(),
            ptrs[bad]);
    setSticky(cudaErrorIllegalAddress);
    return sticky();
}

cudaError_t runGrid(const LaunchDesc& d) {
    {
        std::lock_guard<std::mutex> l(poolMutex);
        getPool().run(d);
    }
    return sticky();
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
    if (GPU_TSAN_ON) tsanSwitch(worker.tsanSelf);
    t.caller = std::move(t.caller).resume();
}

void resetDeviceForTests() {
    stickyFault.store(cudaSuccess);
    lastError.store(cudaSuccess);
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

// A symbol copy's other side: a device range for a device-to-device copy, a host range
// (touching no device memory) for a host one, told by the first byte for cudaMemcpyDefault.
bool symbolPeerOk(const void* p, size_t count, cudaMemcpyKind kind) {
    bool device = kind == cudaMemcpyDeviceToDevice || (kind == cudaMemcpyDefault && inDevice(p, 1));
    return device ? inDevice(p, count) : !touchesDevice(p, count);
}

cudaError_t copyToSymbol(void* symbol, size_t symbolSize, const void* src, size_t count, size_t offset,
                         cudaMemcpyKind kind) {
    if (cudaError_t k = sticky()) return k;
    if (!inSymbols(symbol, symbolSize)) return record(cudaErrorInvalidSymbol);
    if (offset > symbolSize || count > symbolSize - offset) return record(cudaErrorInvalidValue);
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return record(cudaErrorInvalidMemcpyDirection);
    if (count == 0) return cudaSuccess;
    if (!src) return record(cudaErrorInvalidValue);
    {
        std::lock_guard<std::mutex> l(memMutex);
        if (!symbolPeerOk(src, count, kind)) return record(cudaErrorInvalidValue);
    }
    memcpy(static_cast<char*>(symbol) + offset, src, count);
    return cudaSuccess;
}

cudaError_t copyFromSymbol(void* dst, const void* symbol, size_t symbolSize, size_t count, size_t offset,
                           cudaMemcpyKind kind) {
    if (cudaError_t k = sticky()) return k;
    if (!inSymbols(symbol, symbolSize)) return record(cudaErrorInvalidSymbol);
    if (offset > symbolSize || count > symbolSize - offset) return record(cudaErrorInvalidValue);
    if (kind != cudaMemcpyDeviceToHost && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return record(cudaErrorInvalidMemcpyDirection);
    if (count == 0) return cudaSuccess;
    if (!dst) return record(cudaErrorInvalidValue);
    {
        std::lock_guard<std::mutex> l(memMutex);
        if (!symbolPeerOk(dst, count, kind)) return record(cudaErrorInvalidValue);
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
        case cudaErrorInvalidSymbol: return "invalid device symbol";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
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

cudaError_t cudaSetDevice(int device) { return device == 0 ? cudaSuccess : record(cudaErrorInvalidDevice); }

cudaError_t cudaDeviceSynchronize() { return sticky(); }

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

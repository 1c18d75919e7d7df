// Blocks, barriers and warp calls: one block of a launch on the calling worker. Thread 0
// runs on a fiber; if it ends without reaching a barrier or a warp call the others run as
// a plain loop, else every thread gets its own fiber, each __syncthreads() is a real block
// barrier and each warp call a rendezvous of the lanes its mask names (warp.cpp).
#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "gpu/cpu/fibers.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

// A launch's dynamic shared memory (`extern __shared__` arrays, backend.h): one per worker.
extern "C" {
alignas(16) __thread unsigned char gpudemos_dynamic_shared[gpu::cpu::kMaxSharedOptinBytes];
}

namespace gpu::cpu {
namespace {

enum class BlockMode { Probing, Plain, Fibers };

struct BlockState {
    BlockMode mode = BlockMode::Probing;
    GpuThread* current = nullptr;
    bool fault = false;
    bool warpCalls = false;  // some thread has reached a warp call
    char faultWhat[192] = {};
    unsigned round = 0;  // barrier rounds completed
    int count = 0;       // the predicates of the threads at the barrier (__syncthreads_count)
    int counted[2] = {};  // the count of round r, in counted[r & 1], read on leaving
};

thread_local BlockState* currentBlock = nullptr;

// Under TSan the threads of a barrier-free block run in turn on this many slots (thread t
// on slot t % 61), each slot a TSan fiber: few enough that TSan keeps every fiber live (it
// has 256 places for threads and fibers together; past that it thrashes, some 5x slower).
// Two threads share a fiber only when their indices differ by a multiple of 61, a prime,
// so no power-of-two stride does.
constexpr unsigned kTsanPlainSlots = 61;

// Thread t (x fastest) of a grid or block of size dim.
uint3 unflatten(uint64_t t, uint3 dim) {
    const uint64_t xy = uint64_t(dim.x) * dim.y;
    return uint3{unsigned(t % dim.x), unsigned((t / dim.x) % dim.y), unsigned(t / xy)};
}

// Runs thread t's fiber until it reaches a barrier or a warp call, or ends.
void resume(Worker& w, BlockState& b, GpuThread& t) {
    b.current = &t;
    context.thread = t.idx;
    w.resume(t);
    b.current = nullptr;
}

// Starts GPU thread `idx` of the current block on slot `slot`.
void startThread(Worker& w, BlockState& b, unsigned slot, uint3 idx, const LaunchDesc& d) {
    GpuThread& t = w.slots[slot];
    t.desc = &d;
    t.idx = idx;
    t.atBarrier = false;
    t.atWarp = false;
    t.done = false;
    w.prepare(slot);
    resume(w, b, t);
}

__attribute__((format(printf, 2, 3))) void fault(BlockState& b, const char* what, ...) {
    if (b.fault) return;
    b.fault = true;
    va_list args;
    va_start(args, what);
    vsnprintf(b.faultWhat, sizeof b.faultWhat, what, args);
    va_end(args);
}

bool ready(const GpuThread& t) { return !t.done && !t.atBarrier && !t.atWarp; }

// A block on fibers, warp by warp: the lanes of a warp run in turn until none can go on
// (each waits at the barrier, waits at a warp call that not all its lanes have reached,
// or has ended), completing warp calls as their lanes arrive; then the next warp. When
// every thread waits at the barrier, the barrier opens. Thread 0 is running already.
void runFibers(Worker& w, BlockState& b, const LaunchDesc& d, unsigned n) {
    GpuThread* const threads = w.slots.get();
    unsigned started = 1;
    for (;;) {
        for (unsigned base = 0; base < n && !b.fault; base += warpSize) {
            const unsigned end = std::min(base + warpSize, n);
            for (;;) {
                bool moved = false;
                for (unsigned i = base; i < end; ++i) {
                    if (i == started) {
                        startThread(w, b, i, unflatten(i, d.block), d);
                        ++started;
                        moved = true;
                    } else if (ready(threads[i])) {
                        resume(w, b, threads[i]);
                        moved = true;
                    }
                }
                if (!moved || b.fault || !b.warpCalls) break;
                char why[160];
                if (!completeWarpCalls(w, threads + base, end - base, why, sizeof why)) fault(b, "%s", why);
            }
        }
        if (b.fault) break;
        unsigned waiting = 0, ended = 0, atWarp = n;
        for (unsigned i = 0; i < n; ++i) {
            waiting += threads[i].atBarrier;
            ended += threads[i].done;
            if (threads[i].atWarp && atWarp == n) atWarp = i;
        }
        if (atWarp < n) {
            // On a GPU this warp would hang or read undefined values.
            const WarpRequest& r = threads[atWarp].warp;
            fault(b, "%s(0x%08x) in warp %u not reached by every lane its mask names", warpOpName(r.op), r.mask,
                  atWarp / warpSize);
            break;
        }
        if (waiting == 0) break;  // every thread has finished
        if (ended > 0) {
            // On a GPU this block would hang or misbehave: some threads wait at a
            // barrier that the finished ones will never reach.
            fault(b, "a thread ended while others wait at __syncthreads()");
            break;
        }
        b.counted[b.round & 1] = b.count;
        b.count = 0;
        ++b.round;
        for (unsigned i = 0; i < n; ++i) threads[i].atBarrier = false;
    }
    // Threads still waiting (only after a fault) are unwound.
    for (unsigned i = 0; i < started; ++i)
        if (!threads[i].done) w.discard(threads[i]);
}

}  // namespace

void runBlock(const LaunchDesc& d, uint64_t blockLinear) {
    tsanIgnoreBegin();
    context.block = unflatten(blockLinear, d.grid);
    context.blockSize = d.block;
    context.gridSize = d.grid;
    const unsigned n = d.block.x * d.block.y * d.block.z;
#if defined(__SANITIZE_ADDRESS__)
    // A read or write past the launch's dynamic shared memory is reported.
    ASAN_UNPOISON_MEMORY_REGION(gpudemos_dynamic_shared, d.sharedBytes);
    ASAN_POISON_MEMORY_REGION(gpudemos_dynamic_shared + d.sharedBytes, kMaxSharedOptinBytes - d.sharedBytes);
#endif

    Worker& w = thisWorker();
    BlockState b;
    currentBlock = &b;
    tsanRelease(&w.tsanStart);
    startThread(w, b, 0, uint3{0, 0, 0}, d);

    if (w.slots[0].done) {
        // No barrier or warp call in this kernel (or not on thread 0's path): the rest run
        // as a loop.
        b.mode = BlockMode::Plain;
        if (GPU_TSAN_ON) {
            // Each on a fiber all the same, so each runs as a TSan fiber of its own.
            for (unsigned t = 1; t < n; ++t) startThread(w, b, t % kTsanPlainSlots, unflatten(t, d.block), d);
        } else {
            d.runThreads(d.closure, 1, n);
        }
    } else {
        b.mode = BlockMode::Fibers;
        runFibers(w, b, d, n);
    }
    currentBlock = nullptr;
    tsanAcquire(&w.tsanEnd);
    tsanIgnoreEnd();
    if (b.fault && setSticky(cudaErrorLaunchFailure)) {
        fprintf(stderr, "cpu backend: kernel fault in block (%u, %u, %u): %s\n", context.block.x, context.block.y,
                context.block.z, b.faultWhat);
    }
}

int syncThreadsCount(int predicate) {
    BlockState* b = currentBlock;
    if (!b) return predicate;  // called outside a kernel
    tsanIgnoreBegin();
    if (b->mode == BlockMode::Plain) {
        // Thread 0 finished without a barrier, yet this thread reaches one.
        fault(*b, "__syncthreads() reached by some threads of a block but not by others");
        tsanIgnoreEnd();
        return predicate;
    }
    GpuThread& t = *b->current;
    Worker& w = thisWorker();
    void* const round = &w.tsanBarrier[b->round & 1];
    tsanRelease(round);
    b->count += predicate;
    t.round = b->round;
    t.atBarrier = true;
    w.suspend(t);
    tsanAcquire(round);
    const int counted = b->counted[t.round & 1];
    tsanIgnoreEnd();
    return counted;
}

void syncThreads() { syncThreadsCount(0); }

uint64_t warpCall(WarpOp op, unsigned mask, uint64_t value, int arg, int width) {
    BlockState* b = currentBlock;
    if (!b) return op == WarpOp::Sync ? 0 : value;  // called outside a kernel: a warp of one
    tsanIgnoreBegin();
    if (b->mode == BlockMode::Plain) {
        // Thread 0 finished without one, so the block runs as a plain loop.
        fault(*b, "%s reached by threads of a block whose thread 0 reached no barrier or warp function",
              warpOpName(op));
        tsanIgnoreEnd();
        return value;
    }
    GpuThread& t = *b->current;
    Worker& w = thisWorker();
    const unsigned lane = unsigned(&t - w.slots.get()) % warpSize;
    if (!(mask >> lane & 1u)) {
        fault(*b, "%s(0x%08x) called by lane %u, which its mask does not name", warpOpName(op), mask, lane);
        tsanIgnoreEnd();
        return value;
    }
    b->warpCalls = true;
    t.warp = WarpRequest{op, mask, arg, width, value, 0};
    tsanRelease(&t.tsanArrive);
    t.atWarp = true;
    w.suspend(t);
    const uint64_t result = t.warp.result;
    tsanIgnoreEnd();
    return result;
}

}  // namespace gpu::cpu

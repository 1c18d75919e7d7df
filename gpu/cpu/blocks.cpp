// Blocks, barriers and warp calls: one block of a launch on the calling worker. Thread 0
// runs on a fiber; if it ends without reaching a barrier or a warp call the others run as
// a plain loop, else every thread gets its own fiber, each __syncthreads() is a real block
// barrier and each warp call a rendezvous of the lanes its mask names (warp.cpp).
//
// With the backend's own switch (fibers.h) a thread that reaches a barrier switches
// straight to the next thread of the block, starting it if it has not started, and the
// last to arrive opens the barrier and switches to thread 0: one switch a thread a
// barrier. Whenever the next thread cannot run (it waits at a warp call, or has ended) the
// thread goes back to the worker, whose scheduler below sorts out the rest and finds the
// faults; with Boost.Context every switch goes through that scheduler.
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

// Faulted: was Fibers until a fault; its threads only go back to the worker, which unwinds
// them.
enum class BlockMode { Probing, Plain, Fibers, Faulted };

struct BlockState {
    BlockMode mode = BlockMode::Probing;
    GpuThread* current = nullptr;
    GpuThread* slots = nullptr;  // the worker's, thread i on slots[i]
    const LaunchDesc* desc = nullptr;
    unsigned n = 0;        // threads in the block
    unsigned started = 0;  // threads [0, started) have started
    unsigned arrived = 0;  // threads waiting at the barrier of this round
    unsigned ended = 0;    // threads that have ended
    bool fault = false;
    bool warpCalls = false;  // some thread has reached a warp call
    char faultWhat[192] = {};
    unsigned round = 0;  // barrier rounds completed
    int count = 0;       // the predicates of the threads at the barrier (__syncthreads_count)
    int counted[2] = {};  // the count of round r, in counted[r & 1], read on leaving
};

thread_local BlockState* currentBlock = nullptr;

// How many threads ahead a barrier fetches the stack and slot of the thread it will switch
// to later (measured: 1 to 8 all within noise of each other at 1024 threads; 0 costs 30%).
constexpr int kPrefetchAhead = 4;

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

// The index of the thread after `i` (x fastest) in a block of size dim: no division, which
// would cost more than the rest of starting a thread.
uint3 following(uint3 i, uint3 dim) {
    if (++i.x < dim.x) return i;
    i.x = 0;
    if (++i.y < dim.y) return i;
    i.y = 0;
    ++i.z;
    return i;
}

// Runs thread t's fiber until it reaches a barrier or a warp call, or ends.
void resume(Worker& w, BlockState& b, GpuThread& t) {
    b.current = &t;
    context.thread = t.idx;
    w.resume(t);
    b.current = nullptr;
}

// Readies slot `slot` for GPU thread `idx` of the current block.
GpuThread& setUpThread(Worker& w, unsigned slot, uint3 idx, const LaunchDesc& d) {
    GpuThread& t = w.slots[slot];
    t.desc = &d;
    t.idx = idx;
    t.arrivedIn = 0;
    t.atWarp = false;
    t.done = false;
    w.prepare(slot);
    return t;
}

// Starts GPU thread `idx` of the current block on slot `slot`.
void startThread(Worker& w, BlockState& b, unsigned slot, uint3 idx, const LaunchDesc& d) {
    resume(w, b, setUpThread(w, slot, idx, d));
}

bool atBarrier(const BlockState& b, const GpuThread& t) { return t.arrivedIn == b.round + 1; }

// Every thread waits at the barrier: it opens (the threads' marks, of the round now past,
// no longer count).
void openBarrier(BlockState& b) {
    b.counted[b.round & 1] = b.count;
    b.count = 0;
    b.arrived = 0;
    ++b.round;
}

__attribute__((format(printf, 2, 3))) void fault(BlockState& b, const char* what, ...) {
    if (b.fault) return;
    b.fault = true;
    if (b.mode == BlockMode::Fibers) b.mode = BlockMode::Faulted;
    va_list args;
    va_start(args, what);
    vsnprintf(b.faultWhat, sizeof b.faultWhat, what, args);
    va_end(args);
}

bool ready(const BlockState& b, const GpuThread& t) { return !t.done && !atBarrier(b, t) && !t.atWarp; }

// A block on fibers, warp by warp: the lanes of a warp run in turn until none can go on
// (each waits at the barrier, waits at a warp call that not all its lanes have reached,
// or has ended), completing warp calls as their lanes arrive; then the next warp. When
// every thread waits at the barrier, the barrier opens. Thread 0 is running already.
void runFibers(Worker& w, BlockState& b, const LaunchDesc& d, unsigned n) {
    GpuThread* const threads = w.slots.get();
    unsigned& started = b.started;
    for (;;) {
        if (b.ended == n) break;  // the threads ran one after another to the end
        // Threads switch among themselves at barriers (the own switch), so a thread that
        // comes back here may have let any others run: scan until a whole pass moves none.
        bool movedAny = false;
        for (unsigned base = 0; base < n && !b.fault; base += warpSize) {
            const unsigned end = std::min(base + warpSize, n);
            for (;;) {
                char why[160];
                if (b.warpCalls && !completeWarpCalls(w, threads + base, end - base, b.round, why, sizeof why))
                    fault(b, "%s", why);
                bool moved = false;
                for (unsigned i = base; i < end && !b.fault; ++i) {
                    if (i == started) {
                        ++started;  // first: at a barrier it may start the next itself
                        startThread(w, b, i, following(threads[i - 1].idx, d.block), d);
                        moved = true;
                    } else if (ready(b, threads[i])) {
                        resume(w, b, threads[i]);
                        moved = true;
                    }
                }
                if (!moved || b.fault) break;
                movedAny = true;
            }
        }
        if (b.fault) break;
        if (movedAny) continue;
        unsigned waiting = 0, ended = 0, atWarp = n;
        for (unsigned i = 0; i < n; ++i) {
            waiting += atBarrier(b, threads[i]);
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
        openBarrier(b);
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

    if (d.blockFunction) {
        // The build proved every barrier of this kernel is reached by the whole block: its
        // threads run as loops split at the barriers (backend.h).
        d.runSplit(d.closure, d.blockFunction);
        tsanIgnoreEnd();
        return;
    }
    Worker& w = thisWorker();
    BlockState b;
    b.slots = w.slots.get();
    b.desc = &d;
    b.n = n;
    b.started = 1;
    currentBlock = &b;
    tsanRelease(&w.tsanStart);
    startThread(w, b, 0, uint3{0, 0, 0}, d);

    if (b.mode == BlockMode::Probing) {
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

#if GPU_OWN_SWITCH
namespace {

// The thread that runs after t, which has just reached the barrier or ended, on the own
// switch: the next thread of the block when it can run, started here if it has not yet;
// null when only the worker can sort out what comes next (that thread waits at a warp
// call or at this barrier, or has ended, or t is the block's last).
__attribute__((noinline)) GpuThread* startNext(BlockState& b, GpuThread& t) {
    GpuThread* const next = &t + 1;
    const unsigned i = unsigned(next - b.slots);
    if (i != b.started || i >= b.n) return nullptr;
    ++b.started;
    next->desc = b.desc;
    next->idx = following(t.idx, b.desc->block);
    next->arrivedIn = 0;
    next->atWarp = false;
    next->done = false;
    if (!next->sp) thisWorker().prepare(i);
    return next;
}

inline GpuThread* successor(BlockState& b, GpuThread& t) {
    GpuThread* const next = &t + 1;
    if (next < b.slots + b.started) return ready(b, *next) ? next : nullptr;
    return startNext(b, t);
}

// From t's fiber on to `next`, which resumes where it stopped (or starts).
void handOver(BlockState& b, GpuThread& t, GpuThread& next) {
    b.current = &next;
    context.thread = next.idx;
    switchFiber(t, next);
}

}  // namespace

void threadEnded(Worker& w, GpuThread& t) {
    t.done = true;
    BlockState* const b = currentBlock;
    if (!b) return w.suspend(t);
    ++b->ended;
    if (b->mode == BlockMode::Fibers)
        if (GpuThread* next = successor(*b, t)) return handOver(*b, t, *next);
    w.suspend(t);
}
#else
void threadEnded(Worker& w, GpuThread& t) {
    t.done = true;
    if (currentBlock) ++currentBlock->ended;
    w.suspend(t);
}
#endif

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
    if (b->mode == BlockMode::Probing) b->mode = BlockMode::Fibers;
    GpuThread& t = *b->current;
    Worker& w = thisWorker();
    void* const round = &w.tsanBarrier[b->round & 1];
    tsanRelease(round);
    b->count += predicate;
    t.arrivedIn = b->round + 1;
#if GPU_OWN_SWITCH
    // Straight on to the next thread of the block; the last opens the barrier.
    GpuThread* next = nullptr;
    if (++b->arrived == b->n && b->mode == BlockMode::Fibers) {
        openBarrier(*b);
        next = b->slots;
    } else if (b->mode == BlockMode::Fibers) {
        next = successor(*b, t);
    }
    if (next == &t) {
        // A block of one thread: the barrier is open, go on.
    } else if (next) {
        handOver(*b, t, *next);
        // Resumed by whoever switched here: the worker or a thread (each sets b->current).
    } else {
        w.suspend(t);
    }
#else
    ++b->arrived;
    w.suspend(t);
#endif
    tsanAcquire(round);
    const int counted = b->counted[(t.arrivedIn - 1) & 1];
    tsanIgnoreEnd();
    return counted;
}

#if GPU_OWN_SWITCH
// __syncthreads(), written for few instructions: it is most of what a barrier costs. Only
// the common case is here: the next thread of the block can run, and this is not the last
// thread to arrive. The rest (outside a kernel, thread 0's first barrier, a block gone
// plain or faulted, the barrier opening, a thread to start, the worker to go back to) take
// syncThreadsCount's way, once a thread a block or once a barrier.
void syncThreads() {
    BlockState* const b = currentBlock;
    if (__builtin_expect(!b || b->mode != BlockMode::Fibers, 0)) return (void)syncThreadsCount(0);
    GpuThread* const t = b->current;
    GpuThread* next = t + 1;
    const unsigned tag = b->round + 1;
    if (__builtin_expect(b->arrived + 1 == b->n, 0)) return (void)syncThreadsCount(0);
    if (next >= b->slots + b->started) {
        // The block's first barrier: the next thread starts.
        if (!(next = startNext(*b, *t))) return (void)syncThreadsCount(0);
    } else if (__builtin_expect(next->done || next->atWarp || next->arrivedIn == tag, 0)) {
        return (void)syncThreadsCount(0);
    }
    t->arrivedIn = tag;
    ++b->arrived;
    b->current = next;
    context.thread = next->idx;
    // In blocks of hundreds of threads the threads' stacks and slots outgrow the first-level
    // cache: fetch those of a thread a few places on while this switch goes on (the slots
    // array has room past its end for this; a stale or null stack pointer is harmless).
    GpuThread* const after = next + kPrefetchAhead;
    __builtin_prefetch(after->sp);
    __builtin_prefetch(static_cast<char*>(after->sp) + 64);
    __builtin_prefetch(after + 1);
    switchFiber(*t, *next);
}
#else
void syncThreads() { syncThreadsCount(0); }
#endif

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
    if (b->mode == BlockMode::Probing) b->mode = BlockMode::Fibers;
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

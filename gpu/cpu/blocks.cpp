// Blocks and barriers: one block of a launch on the calling worker. Thread 0 runs on a
// fiber; if it ends without reaching a barrier the others run as a plain loop, else every
// thread gets its own fiber and each __syncthreads() is a real block barrier.
#include <cstdio>

#include "gpu/cpu/fibers.h"

namespace gpu::cpu {
namespace {

enum class BlockMode { Probing, Plain, Fibers };

struct BlockState {
    BlockMode mode = BlockMode::Probing;
    GpuThread* current = nullptr;
    bool fault = false;
    const char* faultWhat = nullptr;
    unsigned round = 0;  // barrier rounds completed
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

// Runs thread t's fiber until it reaches a barrier or ends.
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
    t.done = false;
    w.prepare(slot);
    resume(w, b, t);
}

void fault(BlockState& b, const char* what) {
    if (!b.fault) {
        b.fault = true;
        b.faultWhat = what;
    }
}

}  // namespace

void runBlock(const LaunchDesc& d, uint64_t blockLinear) {
    tsanIgnoreBegin();
    context.block = unflatten(blockLinear, d.grid);
    context.blockSize = d.block;
    context.gridSize = d.grid;
    const unsigned n = d.block.x * d.block.y * d.block.z;

    Worker& w = thisWorker();
    BlockState b;
    currentBlock = &b;
    tsanRelease(&w.tsanStart);
    startThread(w, b, 0, uint3{0, 0, 0}, d);

    GpuThread* const threads = w.slots.get();
    if (threads[0].done) {
        // No barrier in this kernel (or not on thread 0's path): the rest run as a loop.
        b.mode = BlockMode::Plain;
        if (GPU_TSAN_ON) {
            // Each on a fiber all the same, so each runs as a TSan fiber of its own.
            for (unsigned t = 1; t < n; ++t) startThread(w, b, t % kTsanPlainSlots, unflatten(t, d.block), d);
        } else {
            d.runThreads(d.closure, 1, n);
        }
    } else {
        b.mode = BlockMode::Fibers;
        for (unsigned t = 1; t < n; ++t) startThread(w, b, t, unflatten(t, d.block), d);
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
            ++b.round;
            for (unsigned i = 0; i < n; ++i) {
                threads[i].atBarrier = false;
                resume(w, b, threads[i]);
            }
        }
        // Threads still waiting at a barrier (only after a fault) are unwound.
        for (unsigned i = 0; i < n; ++i)
            if (threads[i].atBarrier) w.discard(threads[i]);
    }
    currentBlock = nullptr;
    tsanAcquire(&w.tsanEnd);
    tsanIgnoreEnd();
    if (b.fault && setSticky(cudaErrorLaunchFailure)) {
        fprintf(stderr, "cpu backend: kernel fault in block (%u, %u, %u): %s\n", context.block.x, context.block.y,
                context.block.z, b.faultWhat);
    }
}

void syncThreads() {
    BlockState* b = currentBlock;
    if (!b) return;  // called outside a kernel
    tsanIgnoreBegin();
    if (b->mode == BlockMode::Plain) {
        // Thread 0 finished without a barrier, yet this thread reaches one.
        fault(*b, "__syncthreads() reached by some threads of a block but not by others");
        tsanIgnoreEnd();
        return;
    }
    GpuThread& t = *b->current;
    Worker& w = thisWorker();
    void* const round = &w.tsanBarrier[b->round & 1];
    tsanRelease(round);
    t.atBarrier = true;
    w.suspend(t);
    tsanAcquire(round);
    tsanIgnoreEnd();
}

}  // namespace gpu::cpu

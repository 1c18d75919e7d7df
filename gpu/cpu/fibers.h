// The GPU threads of a worker: a slot per thread of a block, each with its own stack and,
// once the block needs it, its own fiber. Used by blocks.cpp.
#pragma once

#include <boost/context/fiber.hpp>
#include <memory>

#include "gpu/cpu/internal.h"
#include "gpu/cpu/tsan.h"

namespace gpu::cpu {

constexpr unsigned kMaxThreads = 1024;

// The stacks of the GPU threads of one worker: one region of kMaxThreads slots,
// [guard | stack], reserved without memory; a slot's stack is made accessible the first
// time a block has that many threads, and its pages are taken only where touched.
class StackPool {
public:
    StackPool();
    ~StackPool();
    StackPool(const StackPool&) = delete;
    StackPool& operator=(const StackPool&) = delete;
    // The stack of GPU thread `slot` of the blocks this worker runs.
    boost::context::stack_context stack(unsigned slot);

private:
    char* region_ = nullptr;
    unsigned ready_ = 0;
    void* altStack_ = nullptr;
    size_t altSize_ = 0;
};

// A lane's part in a warp call (warp.h): what it brings, and what the call gives it.
struct WarpRequest {
    WarpOp op = WarpOp::Sync;
    unsigned mask = 0;
    int arg = 0, width = 0;
    uint64_t value = 0, result = 0;
};

// One GPU thread slot of a worker. Its fiber is made once and then runs one GPU thread
// after another, block after block: no fiber is made per thread or per block.
struct GpuThread {
    boost::context::fiber fiber;   // the slot's fiber, while suspended
    boost::context::fiber caller;  // the worker, while the slot runs
    const LaunchDesc* desc = nullptr;
    uint3 idx{};
    bool atBarrier = false;
    bool atWarp = false;  // waiting at a warp call for the other lanes of its mask
    bool done = false;
    unsigned round = 0;  // the barrier round it arrived in
    WarpRequest warp;
    char tsanArrive = 0;  // under TSan: released on reaching a warp call (warp.cpp)
    bool quit = false;  // the worker is going: leave the loop and end normally
    void* tsanFiber = nullptr;
};

// What a worker thread keeps between blocks: the stacks, then the slots that use them
// (members are destroyed in reverse: the fibers go before their stacks).
struct Worker {
    StackPool stacks;
    std::unique_ptr<GpuThread[]> slots{new GpuThread[kMaxThreads]};  // fibers hold their address
    void* tsanSelf = tsanCurrent();  // TSan's fiber of the worker thread
    // Under TSan, the addresses that order GPU threads (tsan.h): a block's start, the
    // ends of its threads, and its barrier rounds (two, used in turn).
    char tsanStart = 0, tsanEnd = 0, tsanBarrier[2] = {};

    ~Worker();
    // Makes slot `slot`'s fiber if it has none yet; it runs t.desc's thread when resumed.
    void prepare(unsigned slot);
    // Runs the slot's fiber until its thread reaches a barrier or ends.
    void resume(GpuThread& t);
    // From inside a slot's fiber: back to the worker until the slot is resumed.
    void suspend(GpuThread& t);
    // Unwinds a slot's fiber (a thread left waiting at a barrier after a fault).
    void discard(GpuThread& t);
};

// The worker of the calling thread.
Worker& thisWorker();

// Completes every warp call of lanes [0, count) of one warp (lane i at lanes[i]) that all
// the lanes of its mask have reached: each gets its result and stops waiting. Returns
// false, with a message in `why`, when a completed call is one whose result a GPU leaves
// undefined (a shuffle reading a lane its mask does not name, a width that is not a power
// of two up to 32). warp.cpp.
bool completeWarpCalls(Worker& w, GpuThread* lanes, unsigned count, char* why, size_t whySize);

// "__shfl_sync", "__ballot_sync", ... for messages.
const char* warpOpName(WarpOp op);

}  // namespace gpu::cpu

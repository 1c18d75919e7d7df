// The GPU threads of a worker: a slot per thread of a block, each with its own stack and,
// once the block needs it, its own fiber. Used by blocks.cpp.
//
// Two ways to switch between fibers. On x86-64 and aarch64 the backend's own switch
// (switch.cpp, GPU_OWN_SWITCH): a fiber is a saved stack pointer, and a thread at a barrier
// switches straight to the next thread of its block. Elsewhere, and under the sanitizers
// (which must be told of every stack switch, as Boost.Context built for them does), the
// fibers of Boost.Context, and every switch goes through the worker.
#pragma once

#include <memory>

#include "gpu/cpu/internal.h"
#include "gpu/cpu/tsan.h"

#if defined(__SANITIZE_ADDRESS__)
#define GPU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GPU_ASAN 1
#endif
#endif

#if (defined(__x86_64__) || defined(__aarch64__)) && !GPU_ASAN && !GPU_TSAN && !defined(GPUDEMOS_BOOST_FIBERS)
#define GPU_OWN_SWITCH 1
#else
#define GPU_OWN_SWITCH 0
#include <boost/context/fiber.hpp>
#endif

#if GPU_OWN_SWITCH
// switch.cpp: saves the calling context on its stack, stores its stack pointer in *save,
// and goes on in the context saved at `to`.
extern "C" void gpudemos_switch(void** save, void* to);
#endif

namespace gpu::cpu {

// A stack of a GPU thread: [top - size, top).
struct SlotStack {
    char* top;
    size_t size;
};

constexpr unsigned kMaxThreads = 1024;

// Each GPU thread may use 512 KiB of stack, as a GPU thread may use 512 KiB of local
// memory; a little more is mapped for the runtime's own frames and the fiber record.
constexpr size_t kStackLimit = 512 * 1024;
// The top of slot i's stack lies (i % 1024) * 64 bytes below its end, so that the stacks'
// hot tops, which a barrier visits one after another, fall in different cache sets: at the
// same offset in every slot they would share one set and evict each other.
constexpr size_t kColour = 64, kColours = 1024;
constexpr size_t kStackSize = kStackLimit + 16 * 1024 + kColour * kColours;
// Below every stack a guard region that is never mapped. With -fstack-clash-protection
// every frame touches its pages in order, so a frame that outgrows its stack lands here
// and nowhere else.
constexpr size_t kGuardSize = 64 * 1024;
constexpr size_t kSlotSize = kGuardSize + kStackSize;


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
    SlotStack stack(unsigned slot);

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
// after another, block after block: no fiber is made per thread or per block. The fields a
// barrier touches come first, in the slot's first cache line.
struct alignas(64) GpuThread {
#if GPU_OWN_SWITCH
    void* sp = nullptr;  // its saved context while suspended; null until its fiber is made
#else
    boost::context::fiber fiber;   // the slot's fiber, while suspended
    boost::context::fiber caller;  // the worker, while the slot runs
#endif
    unsigned arrivedIn = 0;  // 1 + the barrier round it waits in; 0: not at a barrier
    bool atWarp = false;     // waiting at a warp call for the other lanes of its mask
    bool done = false;
    bool quit = false;       // the worker is going: leave the loop and end normally
    uint3 idx{};
    const LaunchDesc* desc = nullptr;
    WarpRequest warp;
    char tsanArrive = 0;  // under TSan: released on reaching a warp call (warp.cpp)
    void* tsanFiber = nullptr;
};

// What a worker thread keeps between blocks: the stacks, then the slots that use them
// (members are destroyed in reverse: the fibers go before their stacks).
struct Worker {
    StackPool stacks;
    // Fibers hold their address; a few spare slots past the end, which a barrier's prefetch
    // may read (blocks.cpp).
    std::unique_ptr<GpuThread[]> slots{new GpuThread[kMaxThreads + 8]};
    void* sp = nullptr;  // own switch: the worker's saved context while a slot runs
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
#if GPU_OWN_SWITCH
    // From inside `from`'s fiber straight to `to`'s (prepared) until `from` is resumed.
    void switchTo(GpuThread& from, GpuThread& to);
#endif
    // Unwinds a slot's fiber (a thread left waiting at a barrier after a fault).
    void discard(GpuThread& t);
};

#if GPU_OWN_SWITCH
// switch.cpp: a new context on the stack below `top` that calls entry(arg) when first
// switched to; entry never returns.
void* fiberStack(void* top, void (*entry)(void*), void* arg);

// Makes a suspended context call fn() when next switched to, as if called where it waits
// (so fn may throw through the frames of the waiting thread). switch.cpp.
void* callOnResume(void* saved, void (*fn)());

// Thrown inside a discarded slot's fiber where it waits; its slot loop catches it.
struct FiberUnwind {};

// The switches are a call each and inline here, since every barrier makes one.
inline void Worker::resume(GpuThread& t) { gpudemos_switch(&sp, t.sp); }
inline void Worker::suspend(GpuThread& t) { gpudemos_switch(&t.sp, sp); }
inline void switchFiber(GpuThread& from, GpuThread& to) { gpudemos_switch(&from.sp, to.sp); }
inline void Worker::switchTo(GpuThread& from, GpuThread& to) { switchFiber(from, to); }
#endif

// From the fiber of a thread that has just ended: marks it done and goes on with the next
// thread of its block (own switch) or back to the worker. blocks.cpp.
void threadEnded(Worker& w, GpuThread& t);

// The worker of the calling thread.
Worker& thisWorker();

// Completes every warp call of lanes [0, count) of one warp (lane i at lanes[i]) that all
// the lanes of its mask have reached (`round`: the block's barrier round, for the lanes that
// wait at its barrier): each gets its result and stops waiting. Returns
// false, with a message in `why`, when a completed call is one whose result a GPU leaves
// undefined (a shuffle reading a lane its mask does not name, a width that is not a power
// of two up to 32). warp.cpp.
bool completeWarpCalls(Worker& w, GpuThread* lanes, unsigned count, unsigned round, char* why, size_t whySize);

// "__shfl_sync", "__ballot_sync", ... for messages.
const char* warpOpName(WarpOp op);

}  // namespace gpu::cpu

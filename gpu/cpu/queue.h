// The device's work queue, shared by the files that queue work (launch.cpp, streams.cpp,
// events.cpp, copies.cpp) and the one that runs it (pool.cpp).
//
// Every piece of work is an Op on a stream: a kernel's grid, a host-side step (an
// asynchronous copy, a host function) or a marker (an event record, an event wait). A
// stream runs its ops in order; an op may also wait for ops of other streams (`after`:
// the legacy default stream's rule, cudaStreamWaitEvent). Ops of different streams run at
// the same time on the workers.
//
// Under ThreadSanitizer the queue's own locks order nothing (they run "quiet", below):
// CUDA's synchronizations are the only order between the host and queued work and between
// streams, as tokens that an op releases when it is done and the waiter acquires.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "gpu/cpu/internal.h"
#include "gpu/cpu/tsan.h"

namespace gpu::cpu {

struct Op {
    enum class Kind { Kernel, Host, Marker } kind;
    CUstream_st* stream = nullptr;
    std::vector<std::shared_ptr<Op>> after;  // ops of other streams to wait for
    // A kernel: its grid, owning its closure (the launch's arguments, copied).
    LaunchDesc desc{};
    void (*destroy)(const void*) = nullptr;
    const char* name = "";
    uint64_t blocks = 0;
    std::atomic<uint64_t> next{0}, finished{0};
    // A host-side step.
    std::function<void()> fn;
    // Set under the queue's lock.
    bool started = false;
    std::atomic<bool> done{false};
    std::chrono::steady_clock::time_point doneAt{};
    // Under TSan: released by the host once the op is made, and by the op when done.
    char tsanLaunch = 0, tsanDone = 0;

    explicit Op(Kind k) : kind(k) {}
    ~Op() {
        if (destroy) destroy(desc.closure);
    }
};

}  // namespace gpu::cpu

struct CUstream_st {
    unsigned flags = 0;  // cudaStreamNonBlocking, or 0 (a blocking stream)
    int priority = 0;    // lower runs first, as in CUDA
    bool legacy = false;
    std::deque<std::shared_ptr<gpu::cpu::Op>> queue;  // queued or running, in order
    char tsanDone = 0;  // released by each of its ops when done
};

namespace gpu::cpu {

// The stream a handle names: 0, cudaStreamLegacy and cudaStreamPerThread are the default
// streams; null for a handle that is no live stream (streams.cpp).
CUstream_st* resolveStream(cudaStream_t s);
// The default stream a handle names (0, cudaStreamLegacy, cudaStreamPerThread), else null.
CUstream_st* defaultStream(cudaStream_t s);
// Every live stream, the default ones first (pool.cpp reads it under the queue's lock).
std::vector<CUstream_st*>& liveStreams();

// Queues `op` on `s` (null: the legacy default stream), with the legacy default stream's
// rule added to its `after`; the workers may start it at once.
void enqueue(CUstream_st* s, const std::shared_ptr<Op>& op);
// Returns when op is done; the calling thread may run queued work meanwhile.
void waitFor(const std::shared_ptr<Op>& op);
// Returns when every op queued on s so far is done.
void waitStream(CUstream_st* s);
// Returns when every op queued so far is done (cudaDeviceSynchronize).
void waitAll();
// True when nothing queued on s is left (after running what it can, with no pool threads).
bool streamIdle(CUstream_st* s);
// A marker on s: done once everything before it on s (and what s must wait for) is done.
std::shared_ptr<Op> mark(CUstream_st* s, std::vector<std::shared_ptr<Op>> after = {});
// A host-side step on s that runs fn in order with the stream's other work.
void enqueueHost(CUstream_st* s, std::function<void()> fn);
// The queue's lock, for the files that change the set of streams.
std::mutex& queueMutex();

// ---- ThreadSanitizer ------------------------------------------------------------------

#if GPU_TSAN
extern "C" void AnnotateIgnoreSyncBegin(const char* file, int line);
extern "C" void AnnotateIgnoreSyncEnd(const char* file, int line);
#endif

// The queue's bookkeeping: TSan checks none of its memory accesses and takes none of its
// locks and atomics as an order. Nothing of the kernels or the host runs inside.
struct Quiet {
    Quiet() {
        tsanIgnoreBegin();
#if GPU_TSAN
        AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
#endif
    }
    ~Quiet() {
#if GPU_TSAN
        AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
#endif
        tsanIgnoreEnd();
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;
};

// A new op, freed quietly by whichever thread lets go of it last.
inline std::shared_ptr<Op> makeOp(Op::Kind kind) {
    return std::shared_ptr<Op>(new Op(kind), [](Op* op) {
        Quiet q;
        delete op;
    });
}

}  // namespace gpu::cpu

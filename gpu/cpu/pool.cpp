// The worker pool and the device's queue (queue.h). One worker per core: N - 1 pool
// threads, made once, and the host thread, which runs queued work while it waits in a
// synchronizing call. A worker takes the blocks of a running grid through one atomic
// counter, or starts the next op whose stream and waits allow it, the stream of the
// highest priority first. A launch queues its grid and returns at once, as on a GPU.
//
// Under ThreadSanitizer each op runs instead on threads of its own, started when it is
// queued (as many as there are workers for a grid), so that TSan sees no order between
// the work of different streams, nor between the host and its queued work, other than
// the one CUDA's synchronizations give (the tokens of queue.h).
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "gpu/cpu/queue.h"

namespace gpu::cpu {
namespace {

unsigned defaultWorkers() {
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

struct Device {
    std::mutex m;                 // guards everything below and every stream's queue
    std::condition_variable changed;  // an op was queued, started or finished
    std::vector<std::shared_ptr<Op>> running;  // grids with blocks left to hand out
    std::vector<CUstream_st*> streams;         // the legacy default stream first
    CUstream_st legacy, perThread;
    std::vector<std::thread> threads;
    unsigned workers = defaultWorkers();
    unsigned opThreads = 0;  // under TSan: op threads still going
    std::atomic<bool> stop{false};

    Device() {
        legacy.legacy = true;
        streams = {&legacy, &perThread};
    }
    ~Device() {
        Quiet q;
        stopThreads();
        std::unique_lock<std::mutex> l(m);
        changed.wait(l, [this] { return opThreads == 0; });
        for (CUstream_st* s : streams) {
            s->queue.clear();  // what was never waited for is dropped, as at a GPU's exit
            if (s != &legacy && s != &perThread) delete s;
        }
        running.clear();
    }
    void stopThreads() {
        {
            std::lock_guard<std::mutex> l(m);
            stop = true;
        }
        changed.notify_all();
        for (auto& t : threads) t.join();
        threads.clear();
    }
    void startThreads();
};

Device& device() {
    static Device d;
    return d;
}

// Under the lock: op is next on its stream and everything it waits for is done.
bool runnable(const Op& op) {
    if (op.started || op.stream->queue.empty() || op.stream->queue.front().get() != &op) return false;
    for (const auto& a : op.after)
        if (!a->done.load()) return false;
    return true;
}

// Under the lock: op is done; it leaves its stream, and whoever waits looks again.
void complete(Device& d, Op& op) {
    op.doneAt = std::chrono::steady_clock::now();
    op.after.clear();
    op.done.store(true);
    if (op.kind == Op::Kind::Kernel)
        d.running.erase(std::remove_if(d.running.begin(), d.running.end(),
                                       [&](const std::shared_ptr<Op>& r) { return r.get() == &op; }),
                        d.running.end());
    op.stream->queue.pop_front();  // the caller holds op
    d.changed.notify_all();
}

// What an op waits for comes before it; what it did comes before whoever waits for it.
void acquireBefore(Op& op) {
    tsanAcquire(&op.tsanLaunch);
    tsanAcquire(&op.stream->tsanDone);
    for (const auto& a : op.after) tsanAcquire(&a->tsanDone);
}
void releaseDone(Op& op) {
    tsanRelease(&op.tsanDone);
    tsanRelease(&op.stream->tsanDone);
}

// Under the lock: an op with work for the calling worker, or null. A started grid's
// blocks first; then the next op of the stream of the highest priority that may start.
std::shared_ptr<Op> pick(Device& d) {
    for (auto& r : d.running)
        if (r->next.load(std::memory_order_relaxed) < r->blocks) return r;
    for (;;) {
        CUstream_st* best = nullptr;
        for (CUstream_st* s : d.streams)
            if (!s->queue.empty() && runnable(*s->queue.front()) && (!best || s->priority < best->priority)) best = s;
        if (!best) return nullptr;
        std::shared_ptr<Op> op = best->queue.front();
        op->started = true;
        if (op->kind == Op::Kind::Marker) {
            complete(d, *op);  // nothing to run (TSan's ops run on their own threads)
            continue;
        }
        if (op->kind == Op::Kind::Kernel) d.running.push_back(op);
        return op;
    }
}

// Runs what the calling worker can of op: blocks of a grid until none is left to take,
// or the whole of a host step or marker.
void run(Device& d, const std::shared_ptr<Op>& op) {
    acquireBefore(*op);
    if (op->kind == Op::Kind::Kernel) {
        for (;;) {
            const uint64_t i = op->next.fetch_add(1, std::memory_order_relaxed);
            if (i >= op->blocks) break;
            if (!d.stop && !sticky()) {  // after a fault the rest of the work is not run
                setRunningKernel(true);
                runBlock(op->desc, i);
                setRunningKernel(false);
            }
            releaseDone(*op);
            Quiet q;
            if (op->finished.fetch_add(1) + 1 == op->blocks) {
                std::lock_guard<std::mutex> l(d.m);
                complete(d, *op);
            }
        }
        return;
    }
    if (op->fn) op->fn();
    releaseDone(*op);
    Quiet q;
    std::lock_guard<std::mutex> l(d.m);
    complete(d, *op);
}

void workerLoop(Device& d) {
    for (;;) {
        std::shared_ptr<Op> op;
        {
            Quiet q;
            std::unique_lock<std::mutex> l(d.m);
            d.changed.wait(l, [&] { return d.stop || (op = pick(d)) != nullptr; });
            if (d.stop) return;
        }
        run(d, op);
        Quiet q;
        op.reset();
    }
}

void Device::startThreads() {
    if (GPU_TSAN_ON) return;
    for (unsigned i = 1; i < workers; ++i) threads.emplace_back([this] { workerLoop(*this); });
}

// Under TSan: one of the threads of op (tsan.h and the file's header).
void opThread(Device& d, std::shared_ptr<Op> op) {
    bool go;
    {
        Quiet q;
        std::unique_lock<std::mutex> l(d.m);
        d.changed.wait(l, [&] { return d.stop || op->started || runnable(*op); });
        go = !d.stop;
        op->started = true;
    }
    if (go) run(d, op);
    Quiet q;
    op.reset();
    std::lock_guard<std::mutex> l(d.m);
    --d.opThreads;
    d.changed.notify_all();
}

Device& started() {
    Device& d = device();
    static std::once_flag once;
    std::call_once(once, [&] { d.startThreads(); });
    return d;
}

// Waits until done() holds, under the lock; the host runs queued work meanwhile (not
// under TSan, where the host runs none of it).
template <typename F>
void waitUntil(F done) {
    Device& d = started();
    for (;;) {
        std::shared_ptr<Op> op;
        {
            Quiet q;
            std::unique_lock<std::mutex> l(d.m);
            for (;;) {
                if (done(d)) return;
                if (!GPU_TSAN_ON && (op = pick(d))) break;
                if (done(d)) return;  // pick() may have passed markers
                d.changed.wait(l);
            }
        }
        run(d, op);
        Quiet q;
        op.reset();
    }
}

}  // namespace

std::mutex& queueMutex() { return device().m; }
std::vector<CUstream_st*>& liveStreams() { return device().streams; }

CUstream_st* defaultStream(cudaStream_t s) {
    Device& d = device();
    if (!s || s == cudaStreamLegacy) return &d.legacy;
    return s == cudaStreamPerThread ? &d.perThread : nullptr;
}

void enqueue(CUstream_st* s, const std::shared_ptr<Op>& op) {
    Device& d = started();
    if (!s) s = &d.legacy;
    op->stream = s;
    if (op->kind == Op::Kind::Kernel) op->blocks = uint64_t(op->desc.grid.x) * op->desc.grid.y * op->desc.grid.z;
    tsanRelease(&op->tsanLaunch);  // what the host did so far comes before the op
    unsigned threads = 0;
    {
        Quiet q;
        std::lock_guard<std::mutex> l(d.m);
        // The legacy default stream waits for every blocking stream, and each blocking
        // stream waits for it.
        for (CUstream_st* o : d.streams) {
            if (o == s || o->queue.empty() || ((o->flags | s->flags) & cudaStreamNonBlocking)) continue;
            if (s->legacy || o->legacy) op->after.push_back(o->queue.back());
        }
        s->queue.push_back(op);
        if (GPU_TSAN_ON) {
            threads = op->kind == Op::Kind::Kernel ? unsigned(std::min<uint64_t>(op->blocks, d.workers)) : 1;
            d.opThreads += threads;
        }
    }
    for (unsigned i = 0; i < threads; ++i) std::thread(opThread, std::ref(d), op).detach();
    Quiet q;
    d.changed.notify_all();
}

std::shared_ptr<Op> mark(CUstream_st* s, std::vector<std::shared_ptr<Op>> after) {
    auto op = makeOp(Op::Kind::Marker);
    op->after = std::move(after);
    enqueue(s, op);
    return op;
}

void enqueueHost(CUstream_st* s, std::function<void()> fn) {
    auto op = makeOp(Op::Kind::Host);
    op->fn = std::move(fn);
    enqueue(s, op);
}

void waitFor(const std::shared_ptr<Op>& op) {
    waitUntil([&](Device&) { return op->done.load(); });
    tsanAcquire(&op->tsanDone);
}

void waitStream(CUstream_st* s) {
    Device& d = device();
    if (!s) s = &d.legacy;
    std::shared_ptr<Op> last;
    {
        Quiet q;
        std::lock_guard<std::mutex> l(d.m);
        if (!s->queue.empty()) last = s->queue.back();
    }
    if (last) waitFor(last);
    tsanAcquire(&s->tsanDone);
    Quiet q;
    last.reset();
}

void waitAll() {
    waitUntil([](Device& d) {
        for (CUstream_st* s : d.streams)
            if (!s->queue.empty()) return false;
        return true;
    });
    Device& d = device();
    std::vector<CUstream_st*> streams;
    {
        Quiet q;
        std::lock_guard<std::mutex> l(d.m);
        streams = d.streams;
    }
    for (CUstream_st* s : streams) tsanAcquire(&s->tsanDone);
    Quiet q;
    streams.clear();
}

bool streamIdle(CUstream_st* s) {
    Device& d = started();
    bool idle;
    {
        Quiet q;
        std::lock_guard<std::mutex> l(d.m);
        idle = s->queue.empty();
    }
    if (!idle && d.threads.empty() && !GPU_TSAN_ON) {
        // No pool thread would ever run it: run it now.
        waitStream(s);
        idle = true;
    }
    if (idle) tsanAcquire(&s->tsanDone);
    return idle;
}

unsigned workerCount() {
    Device& d = device();
    Quiet q;
    std::lock_guard<std::mutex> l(d.m);
    return d.workers;
}

void setWorkerCount(unsigned n) {
    waitAll();
    Device& d = started();
    Quiet q;
    d.stopThreads();
    d.stop = false;
    d.workers = n ? n : defaultWorkers();
    d.startThreads();
}

}  // namespace gpu::cpu

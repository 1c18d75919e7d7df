// Events: a record is a marker queued on a stream (queue.h), reached once the work queued
// on that stream before it is done; the event keeps its latest record. The time of an
// event is the steady clock's time at which its record was reached.
#include <cstdio>
#include <mutex>
#include <set>

#include "gpu/cpu/queue.h"

struct CUevent_st {
    std::shared_ptr<gpu::cpu::Op> last;  // the latest record, null before the first
    bool timing = true;
};

namespace gpu::cpu {
namespace {

std::mutex eventMutex;
std::set<cudaEvent_t>& events() {
    static std::set<cudaEvent_t> s;
    return s;
}

bool live(cudaEvent_t e) { return e && events().count(e) > 0; }

// The event's latest record, if the event is live (ok false otherwise).
std::shared_ptr<Op> lastRecord(cudaEvent_t e, bool& ok) {
    Quiet q;
    std::lock_guard<std::mutex> l(eventMutex);
    ok = live(e);
    return ok ? e->last : nullptr;
}

}  // namespace

void releaseEvents() {
    Quiet q;
    std::lock_guard<std::mutex> l(eventMutex);
    for (cudaEvent_t e : events()) delete e;
    events().clear();
}

}  // namespace gpu::cpu

using namespace gpu::cpu;

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
    if (cudaError_t k = sticky()) return k;
    if (!event || (flags & ~unsigned(cudaEventBlockingSync | cudaEventDisableTiming | cudaEventInterprocess)))
        return record(cudaErrorInvalidValue);
    if (flags & cudaEventInterprocess) {
        fprintf(stderr, "cpu backend: cudaEventInterprocess: interprocess events are not supported\n");
        return record(cudaErrorNotSupported);
    }
    cudaEvent_t e = new CUevent_st;
    e->timing = !(flags & cudaEventDisableTiming);
    Quiet q;
    std::lock_guard<std::mutex> l(eventMutex);
    events().insert(e);
    *event = e;
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) { return cudaEventCreateWithFlags(event, cudaEventDefault); }

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    if (cudaError_t k = sticky()) return k;
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    bool ok;
    lastRecord(event, ok);
    if (!ok) return record(cudaErrorInvalidResourceHandle);
    std::shared_ptr<Op> m = mark(s);
    Quiet q;
    std::lock_guard<std::mutex> l(eventMutex);
    if (live(event)) event->last = std::move(m);
    return cudaSuccess;
}

// cudaErrorNotReady until the latest record is reached; an event never recorded is.
cudaError_t cudaEventQuery(cudaEvent_t event) {
    if (cudaError_t k = sticky()) return k;
    bool ok;
    std::shared_ptr<Op> r = lastRecord(event, ok);
    if (!ok) return record(cudaErrorInvalidResourceHandle);
    if (r && !r->done.load() && !streamIdle(r->stream) && !r->done.load()) return cudaErrorNotReady;
    if (r) tsanAcquire(&r->tsanDone);
    Quiet q;
    r.reset();
    return sticky();
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    if (cudaError_t k = sticky()) return k;
    bool ok;
    std::shared_ptr<Op> r = lastRecord(event, ok);
    if (!ok) return record(cudaErrorInvalidResourceHandle);
    if (r) waitFor(r);
    Quiet q;
    r.reset();
    return sticky();
}

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags) {
    if (cudaError_t k = sticky()) return k;
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    if (flags != cudaEventWaitDefault) return record(cudaErrorInvalidValue);
    bool ok;
    std::shared_ptr<Op> r = lastRecord(event, ok);
    if (!ok) return record(cudaErrorInvalidResourceHandle);
    if (r) mark(s, {r});
    Quiet q;
    r.reset();
    return cudaSuccess;
}

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (cudaError_t k = sticky()) return k;
    if (!ms) return record(cudaErrorInvalidValue);
    Quiet q;
    std::lock_guard<std::mutex> l(eventMutex);
    if (!live(start) || !live(end)) return record(cudaErrorInvalidResourceHandle);
    // As CUDA: an event never recorded, or made without timing, has no time.
    if (!start->last || !end->last || !start->timing || !end->timing) return record(cudaErrorInvalidResourceHandle);
    if (!start->last->done.load() || !end->last->done.load()) return cudaErrorNotReady;
    *ms = std::chrono::duration<float, std::milli>(end->last->doneAt - start->last->doneAt).count();
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    Quiet q;
    std::lock_guard<std::mutex> l(eventMutex);
    if (!live(event)) return record(cudaErrorInvalidResourceHandle);
    events().erase(event);
    delete event;
    return cudaSuccess;
}

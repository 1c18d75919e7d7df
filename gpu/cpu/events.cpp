// Events and the default stream. A launch here returns when its grid is done, so an event
// recorded after a launch is recorded after the grid: the time between two events is the
// steady clock's time between the two records.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>

#include "gpu/cpu/internal.h"

struct CUevent_st {
    std::chrono::steady_clock::time_point when{};
    bool recorded = false;
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

bool defaultStream(cudaStream_t s) { return !s || s == cudaStreamLegacy || s == cudaStreamPerThread; }

cudaError_t refuseStream(const char* call, cudaStream_t s) {
    fprintf(stderr, "cpu backend: %s on stream %p: streams other than the default stream are not supported\n", call,
            (void*)s);
    return record(cudaErrorNotSupported);
}

}  // namespace

void releaseEvents() {
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
    std::lock_guard<std::mutex> l(eventMutex);
    events().insert(e);
    *event = e;
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) { return cudaEventCreateWithFlags(event, cudaEventDefault); }

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    if (cudaError_t k = sticky()) return k;
    if (!defaultStream(stream)) return refuseStream("cudaEventRecord", stream);
    std::lock_guard<std::mutex> l(eventMutex);
    if (!live(event)) return record(cudaErrorInvalidResourceHandle);
    event->when = std::chrono::steady_clock::now();
    event->recorded = true;
    return cudaSuccess;
}

// Everything recorded has happened: the work before a record is done when it is taken.
cudaError_t cudaEventQuery(cudaEvent_t event) {
    if (cudaError_t k = sticky()) return k;
    std::lock_guard<std::mutex> l(eventMutex);
    return live(event) ? cudaSuccess : record(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) { return cudaEventQuery(event); }

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (cudaError_t k = sticky()) return k;
    if (!ms) return record(cudaErrorInvalidValue);
    std::lock_guard<std::mutex> l(eventMutex);
    if (!live(start) || !live(end)) return record(cudaErrorInvalidResourceHandle);
    // As CUDA: an event never recorded, or made without timing, has no time.
    if (!start->recorded || !end->recorded || !start->timing || !end->timing)
        return record(cudaErrorInvalidResourceHandle);
    *ms = std::chrono::duration<float, std::milli>(end->when - start->when).count();
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    std::lock_guard<std::mutex> l(eventMutex);
    if (!live(event)) return record(cudaErrorInvalidResourceHandle);
    events().erase(event);
    delete event;
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    if (!defaultStream(stream)) return refuseStream("cudaStreamSynchronize", stream);
    return sticky();
}

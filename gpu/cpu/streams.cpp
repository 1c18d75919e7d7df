// Streams: making, querying, synchronizing and destroying them, and the host functions
// queued on them. The queue itself is in pool.cpp.
#include <algorithm>
#include <cstdio>

#include "gpu/cpu/queue.h"

namespace gpu::cpu {

CUstream_st* resolveStream(cudaStream_t s) {
    if (CUstream_st* d = defaultStream(s)) return d;
    Quiet q;
    std::lock_guard<std::mutex> l(queueMutex());
    auto& all = liveStreams();
    return std::find(all.begin(), all.end(), s) != all.end() ? s : nullptr;
}

void releaseStreams() {
    waitAll();
    Quiet q;
    std::lock_guard<std::mutex> l(queueMutex());
    auto& all = liveStreams();
    for (auto it = all.begin(); it != all.end();) {
        if ((*it)->legacy || *it == defaultStream(cudaStreamPerThread)) {
            ++it;
        } else {
            delete *it;
            it = all.erase(it);
        }
    }
}

}  // namespace gpu::cpu

using namespace gpu::cpu;

cudaError_t cudaStreamCreateWithPriority(cudaStream_t* pStream, unsigned int flags, int priority) {
    if (cudaError_t k = sticky()) return k;
    if (!pStream || (flags & ~unsigned(cudaStreamNonBlocking))) return record(cudaErrorInvalidValue);
    auto* s = new CUstream_st;
    s->flags = flags;
    s->priority = std::min(0, std::max(-5, priority));  // clamped into the range, as CUDA does
    Quiet q;
    std::lock_guard<std::mutex> l(queueMutex());
    liveStreams().push_back(s);
    *pStream = s;
    return cudaSuccess;
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags) {
    return cudaStreamCreateWithPriority(pStream, flags, 0);
}

cudaError_t cudaStreamCreate(cudaStream_t* pStream) { return cudaStreamCreateWithPriority(pStream, 0, 0); }

cudaError_t cudaDeviceGetStreamPriorityRange(int* leastPriority, int* greatestPriority) {
    if (leastPriority) *leastPriority = 0;
    if (greatestPriority) *greatestPriority = -5;
    return cudaSuccess;
}

cudaError_t cudaStreamGetPriority(cudaStream_t stream, int* priority) {
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    if (!priority) return record(cudaErrorInvalidValue);
    *priority = s->priority;
    return cudaSuccess;
}

cudaError_t cudaStreamGetFlags(cudaStream_t stream, unsigned int* flags) {
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    if (!flags) return record(cudaErrorInvalidValue);
    *flags = s->flags;
    return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    CUstream_st* s = resolveStream(stream);
    if (!s || defaultStream(stream)) return record(cudaErrorInvalidResourceHandle);
    waitStream(s);
    Quiet q;
    std::lock_guard<std::mutex> l(queueMutex());
    auto& all = liveStreams();
    all.erase(std::find(all.begin(), all.end(), s));
    delete s;
    return cudaSuccess;
}

cudaError_t cudaStreamQuery(cudaStream_t stream) {
    if (cudaError_t k = sticky()) return k;
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    if (!streamIdle(s)) return cudaErrorNotReady;  // not an error: nothing is recorded
    return sticky();
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    waitStream(s);
    return sticky();
}

cudaError_t cudaLaunchHostFunc(cudaStream_t stream, cudaHostFn_t fn, void* userData) {
    if (cudaError_t k = sticky()) return k;
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    if (!fn) return record(cudaErrorInvalidValue);
    enqueueHost(s, [fn, userData] { fn(userData); });
    return cudaSuccess;
}

cudaError_t cudaStreamAddCallback(cudaStream_t stream, cudaStreamCallback_t callback, void* userData,
                                  unsigned int flags) {
    if (cudaError_t k = sticky()) return k;
    CUstream_st* s = resolveStream(stream);
    if (!s) return record(cudaErrorInvalidResourceHandle);
    if (!callback || flags != 0) return record(cudaErrorInvalidValue);  // flags are reserved: 0
    enqueueHost(s, [callback, stream, userData] { callback(stream, sticky(), userData); });
    return cudaSuccess;
}

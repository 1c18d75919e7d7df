// Copies and memsets, plain, 2-D and asynchronous, and the copies to and from __constant__
// variables. Both sides of a copy are checked whole when it is made: the device side lies
// inside one allocation, the host side touches no device memory at all (a host range that
// runs into an allocation would otherwise be written over). cudaMemcpyDefault tells the
// sides by their first byte.
//
// When each runs, as CUDA has it: a copy with a pageable host side waits for the work
// before it and is done when the call returns; one between device memory, or with a
// page-locked (or managed) host side, and every memset, is queued on its stream (the
// legacy default stream for the calls without one) and runs in the stream's order.
#include <cstring>

#include "gpu/cpu/queue.h"

namespace gpu::cpu {
namespace {

struct Rows {
    void* dst;
    size_t dpitch;
    const void* src;
    size_t spitch;
    size_t width, height;
};

void copyRows(const Rows& r) {
    for (size_t y = 0; y < r.height; ++y)
        memmove(static_cast<char*>(r.dst) + y * r.dpitch, static_cast<const char*>(r.src) + y * r.spitch, r.width);
}

// The bytes from the first row's start to the last row's end; false on overflow.
bool span(size_t pitch, size_t width, size_t height, size_t& bytes) {
    if (height - 1 > (SIZE_MAX - width) / (pitch ? pitch : 1)) return false;
    bytes = pitch * (height - 1) + width;
    return true;
}

// Checks one side of a copy: device memory (device) or host memory.
bool sideOk(const void* p, size_t bytes, bool device) { return device ? deviceRange(p, bytes) : hostRange(p, bytes); }

// A copy on stream s (null: the legacy default stream); `async` for the calls named so.
cudaError_t copy2D(const Rows& r, cudaMemcpyKind kind, CUstream_st* s, bool async) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return record(cudaErrorInvalidMemcpyDirection);
    if (cudaError_t k = sticky()) return k;
    if (r.width > r.dpitch || r.width > r.spitch) return record(cudaErrorInvalidPitchValue);
    if (r.width == 0 || r.height == 0) return cudaSuccess;
    if (!r.dst || !r.src) return record(cudaErrorInvalidValue);
    size_t dstBytes, srcBytes;
    if (!span(r.dpitch, r.width, r.height, dstBytes) || !span(r.spitch, r.width, r.height, srcBytes))
        return record(cudaErrorInvalidValue);
    bool dstDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    bool srcDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (kind == cudaMemcpyDefault) {
        dstDevice = deviceRange(r.dst, 1);
        srcDevice = deviceRange(r.src, 1);
    }
    if (!sideOk(r.dst, dstBytes, dstDevice) || !sideOk(r.src, srcBytes, srcDevice)) return record(cudaErrorInvalidValue);
    const bool queued = (dstDevice || (async && pageLocked(r.dst))) && (srcDevice || (async && pageLocked(r.src)));
    if (queued) {
        enqueueHost(s, [r] { copyRows(r); });
    } else {
        waitFor(mark(s));  // the work before it on its stream (and what that waits for)
        copyRows(r);
    }
    return cudaSuccess;
}

cudaError_t set2D(void* p, size_t pitch, int value, size_t width, size_t height, CUstream_st* s) {
    if (cudaError_t k = sticky()) return k;
    if (width == 0 || height == 0) return cudaSuccess;
    size_t bytes;
    if (width > pitch || !span(pitch, width, height, bytes) || !deviceRange(p, bytes)) return record(cudaErrorInvalidValue);
    enqueueHost(s, [=] {
        for (size_t y = 0; y < height; ++y) memset(static_cast<char*>(p) + y * pitch, value, width);
    });
    return cudaSuccess;
}

// A symbol copy's other side: a device range for a device-to-device copy, a host range
// (touching no device memory) for a host one, told by the first byte for cudaMemcpyDefault.
bool symbolPeerOk(const void* p, size_t count, cudaMemcpyKind kind) {
    bool device = kind == cudaMemcpyDeviceToDevice || (kind == cudaMemcpyDefault && deviceRange(p, 1));
    return sideOk(p, count, device);
}

// The checks of a symbol copy, in the CUDA runtime's order: the sticky fault, the symbol, the
// range, the direction (toSymbol: host or device to the symbol), then the host side.
cudaError_t checkSymbolCopy(const void* symbol, size_t symbolSize, const void* peer, size_t count, size_t offset,
                            cudaMemcpyKind kind, bool toSymbol) {
    if (cudaError_t k = sticky()) return k;
    if (!symbolRange(symbol, symbolSize)) return record(cudaErrorInvalidSymbol);
    if (offset > symbolSize || count > symbolSize - offset) return record(cudaErrorInvalidValue);
    const cudaMemcpyKind hostKind = toSymbol ? cudaMemcpyHostToDevice : cudaMemcpyDeviceToHost;
    if (kind != hostKind && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return record(cudaErrorInvalidMemcpyDirection);
    if (count == 0) return cudaSuccess;
    if (!peer) return record(cudaErrorInvalidValue);
    if (!symbolPeerOk(peer, count, kind)) return record(cudaErrorInvalidValue);
    waitFor(mark(nullptr));  // kernels queued before it read the old value
    return cudaSuccess;
}

// A stream handle of an asynchronous call, or null after recording the error.
CUstream_st* streamOf(cudaStream_t stream) {
    CUstream_st* s = resolveStream(stream);
    if (!s) record(cudaErrorInvalidResourceHandle);
    return s;
}

}  // namespace

cudaError_t copyToSymbol(void* symbol, size_t symbolSize, const void* src, size_t count, size_t offset,
                         cudaMemcpyKind kind) {
    const cudaError_t err = checkSymbolCopy(symbol, symbolSize, src, count, offset, kind, true);
    if (err == cudaSuccess && count > 0) memcpy(static_cast<char*>(symbol) + offset, src, count);
    return err;
}

cudaError_t copyFromSymbol(void* dst, const void* symbol, size_t symbolSize, size_t count, size_t offset,
                           cudaMemcpyKind kind) {
    const cudaError_t err = checkSymbolCopy(symbol, symbolSize, dst, count, offset, kind, false);
    if (err == cudaSuccess && count > 0) memcpy(dst, static_cast<const char*>(symbol) + offset, count);
    return err;
}

cudaError_t symbolAddress(void** devPtr, const void* symbol, size_t symbolSize) {
    if (cudaError_t k = sticky()) return k;
    if (!devPtr) return record(cudaErrorInvalidValue);
    if (!symbolRange(symbol, symbolSize)) return record(cudaErrorInvalidSymbol);
    *devPtr = const_cast<void*>(symbol);
    return cudaSuccess;
}

}  // namespace gpu::cpu

using namespace gpu::cpu;

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    return copy2D(Rows{dst, count, src, count, count, 1}, kind, nullptr, false);
}

cudaError_t cudaMemcpy2D(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                         cudaMemcpyKind kind) {
    return copy2D(Rows{dst, dpitch, src, spitch, width, height}, kind, nullptr, false);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    CUstream_st* s = streamOf(stream);
    return s ? copy2D(Rows{dst, count, src, count, count, 1}, kind, s, true) : cudaErrorInvalidResourceHandle;
}

cudaError_t cudaMemcpy2DAsync(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                              cudaMemcpyKind kind, cudaStream_t stream) {
    CUstream_st* s = streamOf(stream);
    return s ? copy2D(Rows{dst, dpitch, src, spitch, width, height}, kind, s, true) : cudaErrorInvalidResourceHandle;
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) { return set2D(devPtr, count, value, count, 1, nullptr); }

cudaError_t cudaMemset2D(void* devPtr, size_t pitch, int value, size_t width, size_t height) {
    return set2D(devPtr, pitch, value, width, height, nullptr);
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream) {
    CUstream_st* s = streamOf(stream);
    return s ? set2D(devPtr, count, value, count, 1, s) : cudaErrorInvalidResourceHandle;
}

cudaError_t cudaMemset2DAsync(void* devPtr, size_t pitch, int value, size_t width, size_t height,
                              cudaStream_t stream) {
    CUstream_st* s = streamOf(stream);
    return s ? set2D(devPtr, pitch, value, width, height, s) : cudaErrorInvalidResourceHandle;
}

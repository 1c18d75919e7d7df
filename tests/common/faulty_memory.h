// An allocator table for the refusal tests of the viewers: it counts the live host and
// device buffers a program holds, and once armed fails its k-th allocation, a device one as
// the CUDA runtime does (the runtime's last error set, the given code returned).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "gpu/runtime.h"
#include "viewer/frame.h"

namespace faulty {

struct Ledger {
    int liveHost = 0, liveDevice = 0;  // buffers handed out and not yet returned
    int calls = 0;                     // allocations since arm()
    int failAt = 0;                    // the allocation that fails (from 1), 0 for none
    cudaError_t deviceError = cudaErrorMemoryAllocation;
};
inline Ledger ledger;

inline void arm(int k, cudaError_t deviceError = cudaErrorMemoryAllocation) {
    ledger.calls = 0;
    ledger.failAt = k;
    ledger.deviceError = deviceError;
}

inline viewer::Memory memory() {
    return viewer::Memory{
        [](size_t n) -> void* {
            if (++ledger.calls == ledger.failAt) return nullptr;
            void* p = malloc(n);
            ledger.liveHost += p != nullptr;
            return p;
        },
        [](void* p) {
            ledger.liveHost -= 1;
            free(p);
        },
        [](void** p, size_t n) {
            if (++ledger.calls == ledger.failAt) {
                void* q = nullptr;
                cudaMalloc(&q, SIZE_MAX - 16);  // a real refusal: leaves the runtime's last error set
                *p = nullptr;
                return ledger.deviceError;
            }
            cudaError_t e = cudaMalloc(p, n);
            ledger.liveDevice += e == cudaSuccess && *p;  // zero bytes: success and a null pointer
            return e;
        },
        [](void* p) {
            ledger.liveDevice -= 1;
            return cudaFree(p);
        },
    };
}

// An error left for the next launch to read as its own. Without a device (a cuda build on
// a machine without one) the runtime reports that absence on every call: nothing to check.
inline bool cudaErrorLeft() { return gpu::deviceAvailable() && cudaGetLastError() != cudaSuccess; }

// One buffer a step takes, in the order it takes them.
struct Buffer {
    const char* name;
    size_t bytes;
    bool device;
};

// The line a refused step writes when buffer b could not be had.
inline std::string refusalLine(const char* program, const Buffer& b, cudaError_t deviceError, int mode,
                               const char* modeName, const std::string& keeps) {
    return std::string(program) + ": cannot allocate " + std::to_string(b.bytes) + " bytes of " +
           (b.device ? "device" : "host") + " memory for " + b.name + " (" +
           (b.device ? cudaGetErrorString(deviceError) : "out of memory") + "); staying in mode " +
           std::to_string(mode) + " (" + modeName + ")" + keeps + "\n";
}

}  // namespace faulty

// Allocations that fail on demand, for the refusal tests of the viewers: installed as the
// frame's viewer::testFault, it sees every buffer a program takes and, once armed, fails
// the k-th, a device one as the CUDA runtime does (the runtime's last error set, the given
// code returned). Host refusals say "out of memory" whatever the code.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/runtime.h"
#include "viewer/frame.h"

namespace faulty {

struct Ledger {
    int calls = 0;    // allocations since arm()
    int failAt = 0;   // the allocation that fails (from 1), 0 for none
    cudaError_t deviceError = cudaErrorMemoryAllocation;
    std::vector<std::string> taken;  // the buffers taken since arm(), in order
};
inline Ledger ledger;

inline void arm(int k, cudaError_t deviceError = cudaErrorMemoryAllocation) {
    ledger = Ledger{0, k, deviceError, {}};
}

inline cudaError_t fault(cudaError_t err, const char* what, viewer::Checked kind) {
    if (kind == viewer::Checked::Step) return err;
    ledger.taken.push_back(what);
    if (++ledger.calls != ledger.failAt) return err;
    void* q = nullptr;
    // A real refusal of a device buffer leaves the runtime's last error set.
    if (kind == viewer::Checked::DeviceBuffer) cudaMalloc(&q, SIZE_MAX - 16);
    return ledger.deviceError;
}

// Installs the hook for the life of the object.
struct Installed {
    Installed() {
        arm(0);
        viewer::testFault = fault;
    }
    ~Installed() { viewer::testFault = nullptr; }
};

// Device buffers the cpu backend tracks; 0 on the cuda backend (nothing to count there).
inline size_t deviceBuffers() {
#if GPU_BACKEND_IS_CPU
    return gpu::cpu::trackedAllocationCount();
#else
    return 0;
#endif
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

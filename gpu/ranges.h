// Named ranges on the profiler's timeline. Under the cuda backend each range is an NVTX
// push/pop (header-only, from the toolkit), so Nsight Systems shows where a frame goes:
// compute step, copies, kernel launches, drawing. Under the cpu backend they cost nothing.
//
//   void stepGPU() {
//       GPU_RANGE("stepGPU");        // until the end of the enclosing scope
//       ...
//   }
#pragma once

#if defined(GPU_BACKEND_CUDA)
#include <nvtx3/nvToolsExt.h>

namespace gpu {
class Range {
public:
    explicit Range(const char* name) { nvtxRangePushA(name); }
    ~Range() { nvtxRangePop(); }
    Range(const Range&) = delete;
    Range& operator=(const Range&) = delete;
};
}  // namespace gpu

#define GPU_RANGE_CAT2(a, b) a##b
#define GPU_RANGE_CAT(a, b) GPU_RANGE_CAT2(a, b)
#define GPU_RANGE(name) ::gpu::Range GPU_RANGE_CAT(gpuRange_, __LINE__)(name)

#else

#define GPU_RANGE(name) ((void)0)

#endif

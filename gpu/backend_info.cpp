// What runs the kernels, said once at start-up.
#include <cstdio>
#include <string>

#include "gpu/runtime.h"

namespace gpu {

#if GPU_BACKEND_IS_CPU

bool deviceAvailable() { return true; }

const char* deviceName() {
    static std::string name = std::to_string(cpu::workerCount()) + " CPU worker threads (cpu backend)";
    return name.c_str();
}

void announceBackend(const char* program) {
    fprintf(stderr,
            "%s: built with the cpu backend: GPU modes run on %u CPU worker threads, not on a GPU; "
            "their frame rates are not a GPU's\n",
            program, cpu::workerCount());
}

#else

bool deviceAvailable() {
    static int count = [] {
        int n = 0;
        if (cudaGetDeviceCount(&n) != cudaSuccess) n = 0;
        cudaGetLastError();
        return n;
    }();
    return count > 0;
}

const char* deviceName() {
    static std::string name = [] {
        cudaDeviceProp prop;
        if (!deviceAvailable() || cudaGetDeviceProperties(&prop, 0) != cudaSuccess) return std::string("no CUDA device");
        return std::string(prop.name) + " (cuda backend)";
    }();
    return name.c_str();
}

void announceBackend(const char* program) {
    if (!deviceAvailable())
        fprintf(stderr, "%s: no CUDA device found: the GPU modes cannot run on this machine\n", program);
}

#endif

}  // namespace gpu

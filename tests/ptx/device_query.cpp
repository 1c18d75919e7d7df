// Says what the GPU check runs on: device name, compute capability, the driver's and the
// (statically linked) runtime's CUDA versions, and the clocks and memory bus the runner
// turns into copy and compute bounds. Status 0 with a device, 3 without one.
#include <cstdio>

#include "gpu/runtime.h"

namespace {
void version(const char* what, int v) { printf("%s: %d.%d\n", what, v / 1000, (v % 1000) / 10); }
}  // namespace

int main() {
    int driver = 0, runtime = 0;
    cudaDriverGetVersion(&driver);
    cudaRuntimeGetVersion(&runtime);
    version("runtime", runtime);
    if (driver > 0)
        version("driver", driver);
    else
        printf("driver: none\n");
    int count = 0;
    cudaError_t err = cudaGetDeviceCount(&count);
    if (err != cudaSuccess || count == 0) {
        // Without any driver the runtime says "insufficient driver"; name the real cause.
        const char* why = driver == 0 ? "no NVIDIA driver found"
                          : err != cudaSuccess ? cudaGetErrorString(err)
                                               : "the driver lists none";
        printf("no CUDA device: %s\n", why);
        return 3;
    }
    for (int i = 0; i < count; ++i) {
        cudaDeviceProp prop;
        if (cudaGetDeviceProperties(&prop, i) != cudaSuccess) continue;
        printf("device %d: %s, compute capability %d.%d, %d SMs, %.1f GiB\n", i, prop.name, prop.major, prop.minor,
               prop.multiProcessorCount, prop.totalGlobalMem / (1024.0 * 1024.0 * 1024.0));
        // Peak clocks in kHz; 0 where the driver does not say.
        int smClock = 0, memClock = 0, busBits = 0, mode = 0;
        cudaDeviceGetAttribute(&smClock, cudaDevAttrClockRate, i);
        cudaDeviceGetAttribute(&memClock, cudaDevAttrMemoryClockRate, i);
        cudaDeviceGetAttribute(&busBits, cudaDevAttrGlobalMemoryBusWidth, i);
        cudaDeviceGetAttribute(&mode, cudaDevAttrComputeMode, i);
        printf("device %d clocks: sm %d MHz, memory %d MHz, bus %d bits, compute mode %d\n", i, smClock / 1000,
               memClock / 1000, busBits, mode);
    }
    return 0;
}

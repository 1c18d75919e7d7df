// gravsim: one frame's step in each of the four modes at 1024 and 16384 bodies, beside
// stepCPU measured in the same run.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gpu/runtime.h"
#include "gravsim/kernels.cuh"
#include "harness.h"

namespace {

std::string napkin(int n, double busBytes) {
    char buf[200];
    // Per interaction: 16 bytes of position and 4 of mass read, about 20 operations of
    // which 3 are double divisions.
    snprintf(buf, sizeof buf, "%.3g interactions (N^2), %.3g B over the bus", (double)n * n, busBytes);
    return buf;
}

}  // namespace

BENCH_SECTION(gravsimModes) {
    using namespace gravsim;
    static const viewer::Program program = gravsim::program(nullptr);
    const int saved = bodyCount;
    for (int n : {1024, 16384}) {
        bodyCount = n;
        srand(1);
        const bool big = n > 4096;
        const std::string size = std::to_string(n) + " bodies";

        viewer::enter(program, 1);
        // At 16384 bodies stepCPU takes seconds: measured once or twice only.
        bench::Stats cpu = big ? bench::measure(stepCPU, 1, 0.0, 0, 2) : bench::measure(stepCPU);
        viewer::releaseMode();
        bench::addRow({"gravsim", "stepCPU per frame, " + size, cpu, 0, "", napkin(n, 0), 0, "the reference"});

        const double vectors = (double)n * sizeof(float4);
        struct Mode {
            const char* name;
            int mode;
            void (*step)();
            double bus;
        } modes[] = {
            {"stepGPU", 2, stepGPU, 4 * vectors},
            {"stepGPUBuffer", 3, stepGPUBuffer, vectors},
            {"stepGPUShared", 4, stepGPUShared, vectors},
        };
        double plainMin = 0;
#if GPU_BACKEND_IS_CPU
        const double ideal = cpu.median_ms / gpu::cpu::workerCount();  // stepCPU spread over every core
#else
        const double ideal = 0;
#endif
        for (const Mode& m : modes) {
            viewer::enter(program, m.mode);
            bench::Stats s = big && GPU_BACKEND_IS_CPU ? bench::measure(m.step, 3, 0.0, 1, 4) : bench::measure(m.step);
            viewer::releaseMode();
            std::string note;
            if (m.step == stepGPU) plainMin = s.min_ms;
            if (m.step == stepGPUShared) {
                // Fastest against fastest: the least disturbed by other load on the machine.
                char buf[100];
                snprintf(buf, sizeof buf, "min %.2fx stepGPU's min", s.min_ms / plainMin);
                note = buf;
            }
            bench::addRow({"gravsim", std::string(m.name) + " per frame, " + size, s, cpu.median_ms, "stepCPU",
                           napkin(n, m.bus), ideal, note});
        }
    }

    // The two kernels alone on the same device state, launched in turn so that other load
    // on the machine hits both alike: what the shared-memory tiles (and, on the cpu
    // backend, their two barriers per tile) cost or save.
    bodyCount = 16384;
    viewer::enter(program, 3);
    const dim3 grid((bodyCount + blockSize - 1) / blockSize), block(blockSize);
    double plain = 1e300, tiled = 1e300;
    bench::Stats plainStats, tiledStats;
    for (int round = 0; round < (bench::quick() ? 1 : 3); ++round) {
        bench::Stats a = bench::measure([&] {
            computeBodyGPU<<<grid, block>>>(d_pos0, d_pos1, d_vel0, d_vel1, d_mass, bodyCount);
            cudaMemcpy(pos, d_pos1, sizeof(float4), cudaMemcpyDeviceToHost);
        }, 1, 0.0, 0, 1);
        bench::Stats b = bench::measure([&] {
            computeBodyGPU_sm<<<grid, block>>>(d_pos0, d_pos1, d_vel0, d_vel1, d_mass, bodyCount);
            cudaMemcpy(pos, d_pos1, sizeof(float4), cudaMemcpyDeviceToHost);
        }, 1, 0.0, 0, 1);
        if (a.min_ms < plain) plain = a.min_ms, plainStats = a;
        if (b.min_ms < tiled) tiled = b.min_ms, tiledStats = b;
    }
    viewer::releaseMode();
    char note[120];
    snprintf(note, sizeof note, "%.2fx computeBodyGPU, fastest of alternating launches", tiled / plain);
    bench::addRow({"gravsim", "computeBodyGPU kernel, 16384 bodies", plainStats, 0, "", napkin(16384, 0), 0,
                   "global-memory reads in every thread"});
    bench::addRow({"gravsim", "computeBodyGPU_sm kernel, 16384 bodies", tiledStats, 0, "", napkin(16384, 0), 0, note});
    if (GPU_BACKEND_IS_CPU)
        bench::addBar({"gravsim: computeBodyGPU_sm over computeBodyGPU, 16384 bodies", tiled / plain, 1.00, false});
    bodyCount = saved;
}

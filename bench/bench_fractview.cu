// fractview per frame at the start view: renderCPU against renderGPU (kernel and copy),
// and the kernel and the copy on their own.
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include "fractview/kernel.h"
#include "gpu/runtime.h"
#include "harness.h"

namespace {

std::string fmt(const char* f, double a, double b = 0, double c = 0) {
    char buf[240];
    snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

// Iterations juliaColor runs for the image in `pixels`, read back from the grey (green):
// grey 0 is the full cap, 1 - i/p means escape in step i, after i + 1 iterations.
double iterationsOf(const float4* image, int prec) {
    double sum = 0;
    for (int k = 0; k < fractview::kPixels; ++k) {
        float g = image[k].y;
        sum += g == 0 ? prec : std::lround((1 - g) * prec) + 1;
    }
    return sum;
}

}  // namespace

BENCH_SECTION(fractview_frames) {
    namespace fv = fractview;
    static const viewer::Program program = fv::program(nullptr);
    fv::resetView();
    if (!gpu::deviceAvailable()) {
        fprintf(stderr, "  fractview: no CUDA device, GPU rows skipped\n");
        viewer::enter(program, 1);
        bench::addRow({"fractview", "renderCPU per frame (mode 1)", bench::measure(fv::renderCPU), 0, "",
                       "786432 px", 0, "no device: GPU rows skipped"});
        viewer::releaseMode();
        return;
    }
    viewer::enter(program, 2);
    const dim3 grid(1536), block(512);

    const std::function<void()> loop = [] {
        fv::renderCPU();
        bench::keep(fv::pixels);
    };
    const std::function<void()> launch = [&] {
        fv::launchJuliaColorGPU(grid, block, fv::scale, fv::mx, fv::my, fv::prec);
        cudaDeviceSynchronize();
    };
#if GPU_BACKEND_IS_CPU
    // renderCPU, its rows split over the workers' count of threads a block (512 pixels) at a
    // time, and the kernel alone, in turns: what the bar compares.
    const unsigned cores = gpu::cpu::workerCount();
    const bench::Judged judged = bench::judgeKernel(loop, [&] {
        float4* const image = fv::pixels;  // the view in locals, as the kernel has it in its arguments
        const float scale = fv::scale, mx = fv::mx, my = fv::my;
        const int prec = fv::prec;
        bench::splitLoop(cores, fv::kPixels, 512, [&](size_t first, size_t end) {
            for (size_t k = first; k < end; ++k)
                image[k] = fv::juliaPixel(int(k / fv::kWidth), int(k % fv::kWidth), scale, mx, my, prec);
        });
        bench::keep(fv::pixels);
    }, launch);
    const bench::Stats &cpu = judged.loop, &kernel = judged.kernel;
#else
    const bench::Pair pair = bench::measureInTurns(loop, launch);
    const bench::Stats &cpu = pair.a, &kernel = pair.b;
#endif
    const double iters = iterationsOf(fv::pixels, fv::prec);
    const std::string frameMath =
        fmt("786432 px, %.0f iterations (%.1f a pixel), 12.6 MB copied", iters, iters / fv::kPixels);

    auto gpuFrame = bench::measure([] {
        fv::renderGPU();
        bench::keep(fv::pixels);
    });
    auto copy = bench::measure([] {
        cudaMemcpy(fv::pixels, fv::pixels_gpu, fv::kImageBytes, cudaMemcpyDeviceToHost);
        bench::keep(fv::pixels);
    });

#if GPU_BACKEND_IS_CPU
    const double kernelBound = cpu.median_ms / cores;
#else
    const double kernelBound = 0;
#endif
    bench::addRow({"fractview", "renderCPU per frame (mode 1)", cpu, 0, "", frameMath, 0,
                   fmt("start view, prec 15; %.2f ns an iteration", cpu.median_ms * 1e6 / iters)});
    bench::addRow({"fractview", "renderGPU per frame (mode 2)", gpuFrame, cpu.median_ms, "renderCPU", frameMath, 0,
                   fmt("copy %.0f%% of the frame", 100.0 * copy.median_ms / gpuFrame.median_ms)});
#if GPU_BACKEND_IS_CPU
    bench::addRow({"fractview", "renderCPU split over " + std::to_string(cores) + " threads", judged.split,
                   cpu.median_ms, "renderCPU", "the same loop, 1536 chunks of 512 pixels", kernelBound, ""});
    bench::addRow({"fractview", "juliaColorGPU kernel alone, " + std::to_string(cores) + " workers", kernel,
                   cpu.median_ms, "renderCPU", fmt("786432 threads, %.0f iterations", iters), kernelBound,
                   fmt("%.3fx the split's time (bar %.2fx)", judged.kernelOverSplit, bench::kSplitBar)});
    bench::addBar({"fractview: juliaColorGPU time over the split loop's", judged.kernelOverSplit, bench::kSplitBar,
                   false});
#else
    bench::addRow({"fractview", "juliaColorGPU kernel alone", kernel, cpu.median_ms, "renderCPU",
                   fmt("786432 threads, %.0f iterations", iters), kernelBound, ""});
#endif
    // Against a plain host memcpy of the same size on the cpu backend; on a GPU the
    // pageable device-to-host path is bounded by the bus (about 25 GB/s on PCIe 4 x16).
    const double busBound = GPU_BACKEND_IS_CPU ? 0 : fv::kImageBytes / 25e9 * 1e3;
    bench::addRow({"fractview", "device-to-host copy of the image", copy, 0, "", "12,582,912 bytes", busBound,
                   fmt("%.1f GB/s", fv::kImageBytes / (copy.median_ms * 1e6))});

#if GPU_BACKEND_IS_CPU
    gpu::cpu::setWorkerCount(1);
    auto one = bench::measure([&] {
        fv::launchJuliaColorGPU(grid, block, fv::scale, fv::mx, fv::my, fv::prec);
        cudaDeviceSynchronize();  // the launch only queues the grid
    });
    gpu::cpu::setWorkerCount(0);
    bench::addRow({"fractview", "juliaColorGPU kernel alone, 1 worker", one, cpu.median_ms, "renderCPU",
                   fmt("786432 threads, %.0f iterations", iters), cpu.median_ms,
                   fmt("cost %.3fx renderCPU (bar 1.10x)", one.median_ms / cpu.median_ms)});
#endif
    viewer::releaseMode();
}

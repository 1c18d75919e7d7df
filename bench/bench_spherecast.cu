// spherecast: one frame of each mode at 20 and at 101 spheres against renderCPU measured in
// the same run, then the kernels alone timed in turns with the CPU loop, with the whole
// frame's speed-up and the image download's share of it beside them.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "gpu/runtime.h"
#include "harness.h"
#include "spherecast/kernel.h"

namespace {

namespace sc = spherecast;

std::string fmt(const char* f, double a = 0, double b = 0, double c = 0) {
    char buf[240];
    snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

unsigned cores() {
#if GPU_BACKEND_IS_CPU
    return gpu::cpu::workerCount();
#else
    return 0;
#endif
}

// The scene of a fixed seed with `count` spheres, the start view.
void enter(int mode, int count) {
    srand(2024);
    sc::spheres_count = count;
    sc::scale = 1.0f;
    sc::offsetX = sc::offsetY = 0.0f;
    static const viewer::Program program = sc::program(nullptr);
    viewer::enter(program, mode);
}


std::string testsMath(int count, const char* bytes) {
    return fmt("786,432 px x %.0f spheres = %.1f M hit tests", count, 786432.0 * count / 1e6) + bytes;
}

// The kernel alone (launch to completion, no copies) in turns with renderCPU and with
// renderCPU's pixels split over the workers' count of threads a block (512 pixels) at a
// time, on the scene of the mode entered: what a bar compares.
bench::Judged kernelInTurns(const std::function<void()>& launch) {
    const std::function<void()> kernel = [&] {
        launch();
        cudaMemcpy(sc::pixels, sc::pixels_gpu, sizeof(float4), cudaMemcpyDeviceToHost);  // waits for the grid
    };
#if GPU_BACKEND_IS_CPU
    const std::function<void()> split = [] {
        // The view in locals, as the kernel has it in its arguments: float stores to the
        // image would otherwise make the loop read the float globals again every pixel.
        float4* const image = sc::pixels;
        const sc::Sphere* const scene = sc::spheres;
        const int count = sc::spheres_count;
        const float scale = sc::scale, dx = sc::offsetX, dy = sc::offsetY;
        bench::splitLoop(cores(), sc::pixelCount, sc::blockSize, [&](size_t first, size_t end) {
            for (size_t k = first; k < end; ++k)
                image[k] = sc::tracePixel(int(k / sc::imageWidth), int(k % sc::imageWidth), scene, count, scale, dx, dy);
        });
    };
    return bench::judgeKernel(sc::renderCPU, split, kernel, 5, 3.0);
#else
    const bench::Pair p = bench::measureInTurns(sc::renderCPU, kernel, 5, 3.0);
    return {p.a, bench::Stats{}, p.b, p.aOverB, 0};
#endif
}

struct Frames {
    bench::Stats cpu, global, constant;
    bench::Judged globalKernel, constantKernel;  // renderCPU and its split in turns with each kernel alone
    bench::Stats download;
};

Frames framesAt(int count) {
    Frames f;
    const std::string n = std::to_string(count) + " spheres";
    enter(1, count);
    f.cpu = bench::measure(sc::renderCPU);
    viewer::releaseMode();
    bench::addRow({"spherecast", "renderCPU per frame, " + n, f.cpu, 0, "", testsMath(count, "; no copies"), 0,
                   "mode 1, one host thread"});

    const double bound = cores() ? f.cpu.median_ms / cores() : 0;
    enter(2, count);
    f.global = bench::measure(sc::renderGPU);
    sc::Sphere* d_scene = nullptr;
    cudaMalloc(&d_scene, sizeof(sc::Sphere) * count);
    cudaMemcpy(d_scene, sc::spheres, sizeof(sc::Sphere) * count, cudaMemcpyHostToDevice);
    f.globalKernel = kernelInTurns([&] { sc::launchComputeGPUPixel(d_scene, 0.0f, 0.0f, 1.0f, count); });
    cudaFree(d_scene);
    f.download = bench::measure([] { cudaMemcpy(sc::pixels, sc::pixels_gpu, sc::imageBytes, cudaMemcpyDeviceToHost); });
    viewer::releaseMode();
    bench::addRow({"spherecast", "renderGPU per frame, " + n, f.global, f.cpu.median_ms, "renderCPU",
                   testsMath(count, fmt("; up %.0f B scene, down 12,582,912 B image", count * 28.0).c_str()), bound,
                   std::string(cores() ? "bound: renderCPU / workers" : "mode 2") +
                       (count > sc::constantSphereCount ? "; no mode 3 row: constant memory holds 20" : "")});

    if (count <= sc::constantSphereCount) {
        enter(3, count);
        f.constant = bench::measure(sc::renderGPUConstant);
        f.constantKernel = kernelInTurns([&] { sc::launchComputeGPUPixelCM(0.0f, 0.0f, 1.0f, count); });
        viewer::releaseMode();
        bench::addRow({"spherecast", "renderGPUConstant per frame, " + n, f.constant, f.cpu.median_ms, "renderCPU",
                       testsMath(count, "; scene in constant memory, down 12,582,912 B image"), bound,
                       cores() ? "bound: renderCPU / workers" : "mode 3"});
    }
    return f;
}

}  // namespace

BENCH_SECTION(spherecast_render) {
    const Frames at20 = framesAt(20);
    const Frames at101 = framesAt(sc::maxSphereCount);

    const unsigned n = cores();
    auto kernelRow = [&](const char* name, int count, const bench::Judged& k, const bench::Stats& frame,
                         const bench::Stats& download) {
        // The copies' share two ways: what the frame costs beyond its kernel (allocation,
        // upload, download, free), from the best runs since other load on the machine hits
        // medians of different rows differently; and the download timed alone (cache-warm).
        const bench::Stats& cpu = k.loop;
        const double copies = frame.min_ms > k.kernel.min_ms ? 1.0 - k.kernel.min_ms / frame.min_ms : 0.0;
        std::string note = fmt("whole frame %.2fx; copies %.0f%% of the frame (download alone %.0f%%)",
                               cpu.median_ms / frame.median_ms, 100.0 * copies,
                               100.0 * download.median_ms / frame.median_ms);
        note += fmt("; kernel %.2fx renderCPU", k.loopOverKernel);
        if (n) {
            note += fmt(", %.3fx the split's time over %.0f threads (bar %.2fx)", k.kernelOverSplit, n, bench::kSplitBar);
            bench::addBar({std::string("spherecast: ") + name + ", time over the split loop's", k.kernelOverSplit,
                           bench::kSplitBar, false});
        }
        bench::addRow({"spherecast", name, k.kernel, cpu.median_ms, "renderCPU in turns",
                       testsMath(count, "; writes 12,582,912 B"), n ? cpu.median_ms / n : 0, note});
    };
    kernelRow("computeGPUPixel alone, 20 spheres", 20, at20.globalKernel, at20.global, at20.download);
    kernelRow("computeGPUPixel alone, 101 spheres", sc::maxSphereCount, at101.globalKernel, at101.global,
              at101.download);
    kernelRow("computeGPUPixelCM alone, 20 spheres", 20, at20.constantKernel, at20.constant, at20.download);
    bench::addRow({"spherecast", "image download (cudaMemcpy device to host)", at101.download, 0, "",
                   "12,582,912 B per frame", 0,
                   fmt("%.1f GB/s", sc::imageBytes / (at101.download.median_ms * 1e6))});
}

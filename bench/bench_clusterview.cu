// clusterview: one K-means iteration per frame in both modes, and the assignment kernel
// alone against the CPU assignment loop it replaces, at the start count and a smaller one.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "clusterview/kernel.h"
#include "gpu/runtime.h"
#include "harness.h"

namespace {

std::string fmtText(const char* f, double a, double b = 0, double c = 0) {
    char buf[240];
    snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

void kmeansRows(int count) {
    namespace cv = clusterview;
    srand(1);
    cv::pointCount = count;
    static const viewer::Program program = cv::program(nullptr);
    viewer::enter(program, 2);  // host and device arrays of one cloud: both modes step the same data
    const std::string n = std::to_string(count);
    const double distances = (double)count * cv::clusterCount;
    // Per distance: 3 subtractions, 3 multiplications, 2 additions, 1 square root, 1 compare.
    const std::string work = fmtText("%.0fM distances (N x 128), %.1f Gflop + %.0fM sqrt", distances / 1e6,
                                     distances * 9 / 1e9, distances / 1e6);
    const std::string perFrame =
        work + fmtText("; %.1f MB down (20 B/point), 2048 B up per frame", count * 20.0 / 1e6);

    // Warm up a few iterations so both modes time settled clusters, not the first sweep.
    for (int i = 0; i < 3; ++i) cv::stepCPU();
    const int reps = count > (1 << 20) ? 3 : 5;
    auto cpuFrame = bench::measure([] { cv::stepCPU(); }, reps, 2.0, 1, 50);
    cudaMemcpy(cv::d_centroids, cv::centroids, sizeof(float4) * cv::clusterCount, cudaMemcpyHostToDevice);
    auto gpuFrame = bench::measure([] { cv::stepGPU(); }, reps, 2.0, 1, 50);
    auto update = bench::measure([] { cv::updateCentroids(); }, reps, 1.0, 1, 50);
    auto downloads = bench::measure(
        [] {
            cudaMemcpy(cv::pointLabel, cv::d_pointLabel, cv::pointCount * sizeof(int), cudaMemcpyDeviceToHost);
            cudaMemcpy(cv::pointColors, cv::d_pointColors, cv::pointCount * sizeof(float4), cudaMemcpyDeviceToHost);
        },
        reps, 1.0, 1, 50);

    unsigned probe = 0;
    auto launch = [&] {
        cv::launchKernelAssign();
        cudaMemcpy(&probe, cv::d_pointLabel, sizeof probe, cudaMemcpyDeviceToHost);  // waits for the grid
    };
    // The loop and the kernel in turns: the pair the bar compares.
    const bench::Pair assignment = bench::measureInTurns([] { cv::assignCPU(); }, launch, reps, 4.0, 50);
    const bench::Stats &loop = assignment.a, &kernel = assignment.b;
#if GPU_BACKEND_IS_CPU
    // The same grid on one worker: the backend's own cost, apart from how many cores are free.
    gpu::cpu::setWorkerCount(1);
    auto oneWorker = bench::measure(launch, reps, 2.0, 1, 50);
    gpu::cpu::setWorkerCount(0);
#endif

    bench::addRow({"clusterview", "stepCPU per frame, " + n + " points", cpuFrame, 0, "", work + "; update on host", 0,
                   fmtText("update alone %.2f ms", update.median_ms)});
#if GPU_BACKEND_IS_CPU
    const unsigned cores = gpu::cpu::workerCount();
    // Only the assignment runs on the workers; the copies and the update stay serial.
    const double frameBound = loop.median_ms / cores + update.median_ms;
    const double kernelBound = loop.median_ms / cores;
    const std::string bar = fmtText("%.2fx over the loop on %.0f workers (bar 0.9 x cores = %.2fx)",
                                    assignment.aOverB, cores, 0.9 * cores);
#else
    // The 20 bytes a point that come down over PCIe (about 25 GB/s) bound the frame.
    const double frameBound = count * 20.0 / 25e9 * 1e3, kernelBound = 0;
    const std::string bar = "";
#endif
    bench::addRow({"clusterview", "stepGPU per frame, " + n + " points", gpuFrame, cpuFrame.median_ms, "stepCPU",
                   perFrame, frameBound,
                   fmtText("kernel %.2f ms, downloads %.2f ms, update %.2f ms", kernel.median_ms, downloads.median_ms,
                           update.median_ms)});
    bench::addRow({"clusterview", "assignment loop (CPU), " + n + " points", loop, 0, "", work, 0, ""});
    bench::addRow({"clusterview", "kernelAssign alone, " + n + " points", kernel, loop.median_ms, "CPU loop",
                   work + fmtText("; reads %.1f MB points, writes %.1f MB", count * 16.0 / 1e6, count * 20.0 / 1e6),
                   kernelBound, bar});
#if GPU_BACKEND_IS_CPU
    bench::addRow({"clusterview", "kernelAssign on 1 worker, " + n + " points", oneWorker, loop.median_ms, "CPU loop",
                   work, loop.median_ms, fmtText("cost %.3fx the loop", oneWorker.median_ms / loop.median_ms)});
    if (count == cv::startPointCount)
        bench::addBar({"clusterview: kernelAssign speed-up over the CPU loop, " + n + " points",
                       assignment.aOverB, 0.9 * cores});
#endif
    viewer::releaseMode();
    cv::pointCount = cv::startPointCount;
}

}  // namespace

BENCH_SECTION(clusterview_kmeans) {
    if (!gpu::deviceAvailable()) {
        fprintf(stderr, "clusterview: no device, section skipped\n");
        return;
    }
    kmeansRows(1 << 21);
    kmeansRows(1 << 18);
}

// clusterview: one K-means iteration per frame in both modes, and the assignment kernel
// alone against the CPU assignment loop it replaces, at the start count and a smaller one.
#include <cstdio>
#include <cstdlib>
#include <functional>
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
    const std::function<void()> assign = [] { cv::assignCPU(); };
    const std::function<void()> launch = [&] {
        cv::launchKernelAssign();
        cudaMemcpy(&probe, cv::d_pointLabel, sizeof probe, cudaMemcpyDeviceToHost);  // waits for the grid
    };
#if GPU_BACKEND_IS_CPU
    // The loop, its points split over the workers' count of threads a block at a time, and
    // the kernel, in turns: what the bar compares.
    const bench::Judged judged = bench::judgeKernel(assign, [] {
        const float4 *points = cv::points, *centroids = cv::centroids, *centroidColors = cv::centroidColors;
        float4* const colors = cv::pointColors;
        int* const labels = cv::pointLabel;
        bench::splitLoop(gpu::cpu::workerCount(), (size_t)cv::pointCount, cv::assignBlock(cv::pointCount).x,
                         [&](size_t first, size_t end) {
                             for (size_t i = first; i < end; ++i) {
                                 const int c = cv::nearestCentroid(points[i], centroids);
                                 labels[i] = c;
                                 colors[i].x = centroidColors[c].x;
                                 colors[i].y = centroidColors[c].y;
                                 colors[i].z = centroidColors[c].z;
                             }
                         });
    }, launch, reps, 4.0, 50);
    const bench::Stats &loop = judged.loop, &kernel = judged.kernel;
#else
    const bench::Pair assignment = bench::measureInTurns(assign, launch, reps, 4.0, 50);
    const bench::Stats &loop = assignment.a, &kernel = assignment.b;
#endif
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
    const std::string bar = fmtText("%.2fx over the loop; %.3fx the split's time over %.0f threads (bar 1.05x)",
                                    judged.loopOverKernel, judged.kernelOverSplit, cores);
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
#if GPU_BACKEND_IS_CPU
    bench::addRow({"clusterview", "assignment loop split over " + std::to_string(cores) + " threads, " + n + " points",
                   judged.split, loop.median_ms, "CPU loop", work, kernelBound, ""});
#endif
    bench::addRow({"clusterview", "kernelAssign alone, " + n + " points", kernel, loop.median_ms, "CPU loop",
                   work + fmtText("; reads %.1f MB points, writes %.1f MB", count * 16.0 / 1e6, count * 20.0 / 1e6),
                   kernelBound, bar});
#if GPU_BACKEND_IS_CPU
    bench::addRow({"clusterview", "kernelAssign on 1 worker, " + n + " points", oneWorker, loop.median_ms, "CPU loop",
                   work, loop.median_ms, fmtText("cost %.3fx the loop", oneWorker.median_ms / loop.median_ms)});
    if (count == cv::startPointCount)
        bench::addBar({"clusterview: kernelAssign time over the split loop's, " + n + " points",
                       judged.kernelOverSplit, bench::kSplitBar, false});
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

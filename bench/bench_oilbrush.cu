// oilbrush: the launched kernel oilPaintingGPU_sm against the CPU reference on the same
// photograph-like image.
#include <cstdio>
#include <string>
#include <vector>

#include "gpu/runtime.h"
#include "harness.h"
#include "kernel.h"

namespace {

std::string text(const char* f, double a = 0, double b = 0, double c = 0, double d = 0) {
    char buf[320];
    snprintf(buf, sizeof buf, f, a, b, c, d);
    return buf;
}

std::vector<unsigned> photo(int w, int h) {
    std::vector<unsigned> p(size_t(w) * h);
    unsigned s = 99;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            int r = 30 + 200 * x / w, g = 50 + 180 * y / h, b = 220 - 180 * (x + y) / (w + h);
            if ((x / 97 + y / 61) % 4 == 0) r = 255 - r;  // hard edges
            const int noise = int(s >> 28) - 8;
            auto c = [](int v) { return unsigned(v < 0 ? 0 : v > 255 ? 255 : v); };
            p[size_t(y) * w + x] = 0xFF000000u | c(b + noise) << 16 | c(g + noise) << 8 | c(r + noise);
        }
    return p;
}

void benchSize(int w, int h) {
    const std::vector<unsigned> img = photo(w, h);
    const size_t n = img.size(), bytes = n * 4;
    std::vector<unsigned> cpuOut(n), gpuOut(n);

    unsigned *d_in = nullptr, *d_out = nullptr;
    cudaMalloc(&d_in, bytes);
    cudaMalloc(&d_out, bytes);
    cudaMemcpy(d_in, img.data(), bytes, cudaMemcpyHostToDevice);
    cudaMemcpy(d_out, img.data(), bytes, cudaMemcpyHostToDevice);
    unsigned probe = 0;
    // The 4-byte download waits for the kernel, as the driver's download does.
    const bench::Pair turns = bench::measureInTurns(
        [&] { oilbrush::oilPaintingCPU(img.data(), cpuOut.data(), unsigned(n), unsigned(w), h, 5, 20); },
        [&] {
            oilbrush::launchOilPaintingGPU_sm(d_in, d_out, unsigned(n), w, h);
            cudaMemcpy(&probe, d_out, 4, cudaMemcpyDeviceToHost);
        },
        3, 6.0);
    const bench::Stats &cpu = turns.a, &gpu = turns.b;
    cudaMemcpy(gpuOut.data(), d_out, bytes, cudaMemcpyDeviceToHost);
    cudaFree(d_in);
    cudaFree(d_out);

    // Where both variants have a full 10 x 10 window (away from every border), they agree.
    size_t differ = 0;
    for (int y = 5; y + 5 < h && y <= 10 * (h / 10) + 5; ++y)
        for (int x = 5; x + 5 < w && x <= 10 * (w / 10) + 5; ++x)
            differ += cpuOut[size_t(y) * w + x] != gpuOut[size_t(y) * w + x];

    const double blocks = double(w / 10) * (h / 10);  // the launcher's grid
    const double written = blocks * 121;      // threads 5..15 of 20 in x and y
    const double windows = written * 100.0;   // neighbours classified, from the shared tile
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    bench::addRow({"oilbrush", "oilPaintingCPU " + size, cpu, 0, "",
                   text("%.2f M pixels x 100 neighbours = %.0f M classifications", n / 1e6, n * 100 / 1e6), 0, ""});
#if GPU_BACKEND_IS_CPU
    // Ideal: the reference's work, 1.21x for the seams written twice, split over every worker.
    const unsigned workers = gpu::cpu::workerCount();
    const double bound = cpu.median_ms * (written / double(n)) / workers;
    const std::string where = text("%.0f workers", workers);
#else
    // Global traffic only: 400 words loaded a block, 4 bytes written a pixel, at ~3 TB/s.
    const double bound = (blocks * 400 * 4 + bytes) / 3e12 * 1e3;
    const std::string where = "memory traffic bound; the class arithmetic is what limits";
#endif
    bench::addRow({"oilbrush", "oilPaintingGPU_sm " + size, gpu, cpu.median_ms, "oilPaintingCPU",
                   text("%.0f blocks x 400 threads, 121 write (100 new pixels a block); %.0f M classifications "
                        "from shared memory; %.1f MB of global loads",
                        blocks, windows / 1e6, blocks * 400 * 4 / 1e6),
                   bound,
                   where + text("; %.0f interior pixels differ from the CPU reference", double(differ))});
#if GPU_BACKEND_IS_CPU
    if (w == 2048 && h == 2048)
        bench::addBar({"oilbrush: oilPaintingGPU_sm time over oilPaintingCPU, " + size, 1 / turns.aOverB,
                       4.5 / workers, false});
#endif
}

}  // namespace

BENCH_SECTION(oilbrush_filter) {
    benchSize(1024, 768);
    benchSize(2048, 2048);
}

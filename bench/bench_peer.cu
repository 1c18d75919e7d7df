// The peer row: fractview's Julia kernel as OpenCL C on PoCL beside juliaColorGPU on the
// cpu backend, same launch shape (1536 blocks of 512), same view and image, the images
// compared bit for bit. PoCL uses as many threads as it has compute units (all cores, or
// POCL_MAX_PTHREAD_COUNT); juliaColorGPU runs on as many workers.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fractview/kernel.h"
#include "gpu/runtime.h"
#include "harness.h"
#include "viewer/frame.h"
#if GPUDEMOS_OPENCL
#include "opencl_julia.h"
#endif

namespace {

void skipped(const std::string& why) {
    bench::Row row{"fractview", "PoCL peer: juliaColorGPU in OpenCL C", bench::Stats{}};
    row.note = "skipped: " + why;
    bench::addRow(row);
}

}  // namespace

BENCH_SECTION(fractview_peer) {
#if !GPU_BACKEND_IS_CPU
    skipped("the peer is measured against the cpu backend");
#elif !GPUDEMOS_OPENCL
    skipped("built without OpenCL (CMake found none; install pocl-opencl-icd, ocl-icd-opencl-dev, opencl-headers)");
#else
    namespace fv = fractview;
    bench::OpenclJulia peer;
    if (!peer.open()) return skipped(peer.why());
    const unsigned threads = peer.computeUnits();
    fv::resetView();
    static const viewer::Program program = fv::program(nullptr);
    viewer::enter(program, 2);
    gpu::cpu::setWorkerCount(threads);
    const dim3 grid(1536), block(512);
    auto ours = [&] {
        fv::launchJuliaColorGPU(grid, block, fv::scale, fv::mx, fv::my, fv::prec);
        cudaDeviceSynchronize();
    };
    bool launched = true;
    auto theirs = [&] { launched = peer.run(fv::scale, fv::mx, fv::my, fv::prec) && launched; };

    // Both images compared pixel by pixel, every bit: the start view, which is timed, and a
    // view where c = -0.7269 + 0.1889i makes the orbits chaotic, so that one rounding done
    // differently shows in many pixels (at c = 0 few orbits come near the escape radius).
    struct View {
        float scale, mx, my;
        int prec;
    };
    const View views[] = {{fv::scale, fv::mx, fv::my, fv::prec}, {0.003f, -0.7269f, 0.1889f, fv::kMaxPrec}};
    int differing = 0;
    for (const View& v : views) {
        fv::launchJuliaColorGPU(grid, block, v.scale, v.mx, v.my, v.prec);
        cudaMemcpy(fv::pixels, fv::pixels_gpu, fv::kImageBytes, cudaMemcpyDeviceToHost);
        launched = peer.run(v.scale, v.mx, v.my, v.prec) && launched;
        const std::vector<float> other = peer.image();
        for (int k = 0; k < fv::kPixels; ++k)
            differing += memcmp(&fv::pixels[k], &other[4 * k], sizeof(float4)) != 0;
    }

    const bench::Pair turns = bench::measureInTurns(ours, theirs, 5, 2.4);
    const bench::Stats &mine = turns.a, &pocl = turns.b;
    // PoCL back to back, nothing between its launches, as a program of its own times it:
    // what taking turns with the cpu backend costs it, if anything.
    const bench::Stats alone = bench::measure(theirs, 5, 1.2);
    gpu::cpu::setWorkerCount(0);
    viewer::releaseMode();

    const std::string t = std::to_string(threads) + (threads == 1 ? " thread" : " threads");
    const std::string work = "786432 work-items, 1536 groups of 512, start view";
    char note[240];
    const std::string compared = differing ? std::to_string(differing) + " pixels differ from juliaColorGPU's: MISMATCH"
                                           : "bit for bit juliaColorGPU's";
    snprintf(note, sizeof note, "%s; image %s in two views", peer.device().c_str(), compared.c_str());
    const std::string workers = std::to_string(threads) + (threads == 1 ? " worker" : " workers");
    bench::addRow({"fractview", "juliaColorGPU kernel, " + workers + " (beside PoCL)", mine, pocl.median_ms, "PoCL",
                   work, 0, "in turns with the PoCL row"});
    bench::addRow({"fractview", "PoCL: juliaColorGPU in OpenCL C, " + t, pocl, 0, "", work, 0,
                   launched ? note : peer.why()});
    char inTurns[64];
    snprintf(inTurns, sizeof inTurns, "in turns it took %.2fx this", pocl.median_ms / alone.median_ms);
    bench::addRow({"fractview", "PoCL alone, back to back, " + t, alone, 0, "", work, 0, launched ? inTurns : peer.why()});
    // A refused PoCL launch times nothing: no time bar then, and every pixel counts as unlike.
    if (launched)
        bench::addBar({"fractview: juliaColorGPU time over PoCL's, " + t, turns.aOverB, 1.0, false});
    bench::addBar({"fractview: pixels of the PoCL images unlike juliaColorGPU's (two views)",
                   launched ? (double)differing : 2.0 * fv::kPixels, 0, false});
#endif
}

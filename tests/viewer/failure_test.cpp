// A GPU step that fails inside a frame, in each viewer and through each seam: a copy, a
// launch (refused or faulted), a per-frame allocation, an upload while a mode is entered.
// The program must go on in mode 1 with every device buffer returned and one line on
// stderr, said once; after a kernel fault the GPU mode keys are refused with that line,
// after any other failure the GPU mode can be entered again.
#include <gtest/gtest.h>

#include <string>

#include "clusterview/kernel.h"
#include "fractview/kernel.h"
#include "gpu_test.h"
#include "gravsim/kernel.h"
#include "spherecast/kernel.h"
#include "viewer/frame.h"

namespace {

const char* failingStep = nullptr;  // the step whose result is replaced
cudaError_t failingError = cudaSuccess;
cudaError_t inject(cudaError_t err, const char* step) {
    return failingStep && std::string(step) == failingStep ? failingError : err;
}

void* noHost(size_t) { return nullptr; }
cudaError_t noDevice(void** p, size_t) {
    *p = nullptr;
    return cudaErrorMemoryAllocation;
}

struct Row {
    const char* program;
    const viewer::Program* prog;
    viewer::Memory* memory;
    int mode;             // the mode the step fails in
    bool onEntry;         // the failure comes while mode `mode` is entered from mode 1
    const char* step;     // the step whose result fails, or null: the allocation below fails
    cudaError_t error;    // what it returns
    void (*breakMemory)(viewer::Memory& m);
    const char* line;     // "<error>" stands for the runtime's text of the error
};

const viewer::Program kFractview = fractview::program(nullptr);
const viewer::Program kSpherecast = spherecast::program(nullptr);
const viewer::Program kGravsim = gravsim::program(nullptr);
const viewer::Program kClusterview = clusterview::program(nullptr);

constexpr cudaError_t kRefused = cudaErrorInvalidConfiguration, kFault = cudaErrorIllegalAddress,
                      kCopy = cudaErrorInvalidValue, kNoMemory = cudaErrorMemoryAllocation;

const Row kRows[] = {
    {"fractview", &kFractview, &fractview::memory, 2, false, "juliaColorGPU launch", kRefused, nullptr,
     "fractview: juliaColorGPU launch failed: <error>; back to mode 1 (CPU mode)\n"},
    {"fractview", &kFractview, &fractview::memory, 2, false, "image download", kFault, nullptr,
     "fractview: image download failed: <error>; back to mode 1 (CPU mode)\n"},
    {"spherecast", &kSpherecast, &spherecast::memory, 2, false, nullptr, kNoMemory,
     [](viewer::Memory& m) { m.deviceAlloc = noDevice; },
     "spherecast: d_spheres allocation failed: <error>; back to mode 1 (CPU mode)\n"},
    {"spherecast", &kSpherecast, &spherecast::memory, 2, false, "scene upload", kCopy, nullptr,
     "spherecast: scene upload failed: <error>; back to mode 1 (CPU mode)\n"},
    {"spherecast", &kSpherecast, &spherecast::memory, 2, false, "computeGPUPixel launch", kRefused, nullptr,
     "spherecast: computeGPUPixel launch failed: <error>; back to mode 1 (CPU mode)\n"},
    {"spherecast", &kSpherecast, &spherecast::memory, 3, false, "image download", kFault, nullptr,
     "spherecast: image download failed: <error>; back to mode 1 (CPU mode)\n"},
    {"spherecast", &kSpherecast, &spherecast::memory, 3, true, "constant scene upload", kCopy, nullptr,
     "spherecast: constant scene upload failed: <error>; back to mode 1 (CPU mode)\n"},
    {"gravsim", &kGravsim, &gravsim::memory, 2, false, "position upload", kCopy, nullptr,
     "gravsim: position upload failed: <error>; back to mode 1 (CPU)\n"},
    {"gravsim", &kGravsim, &gravsim::memory, 2, false, "computeBodyGPU launch", kRefused, nullptr,
     "gravsim: computeBodyGPU launch failed: <error>; back to mode 1 (CPU)\n"},
    {"gravsim", &kGravsim, &gravsim::memory, 3, false, "computeBodyGPUBuffer launch", kFault, nullptr,
     "gravsim: computeBodyGPUBuffer launch failed: <error>; back to mode 1 (CPU)\n"},
    {"gravsim", &kGravsim, &gravsim::memory, 4, false, "position download", kCopy, nullptr,
     "gravsim: position download failed: <error>; back to mode 1 (CPU)\n"},
    {"gravsim", &kGravsim, &gravsim::memory, 4, true, "mass upload", kCopy, nullptr,
     "gravsim: mass upload failed: <error>; back to mode 1 (CPU)\n"},
    // The CPU step's scratch: mode 1 is the fallback already, so the step is skipped.
    {"gravsim", &kGravsim, &gravsim::memory, 1, false, nullptr, cudaSuccess,
     [](viewer::Memory& m) { m.hostAlloc = noHost; },
     "gravsim: cannot allocate 1024 bytes of host memory for newPos; CPU step skipped\n"},
    {"clusterview", &kClusterview, &clusterview::memory, 2, false, "kernelAssign launch", kFault, nullptr,
     "clusterview: kernelAssign launch failed: <error>; back to mode 1 (CPU)\n"},
    {"clusterview", &kClusterview, &clusterview::memory, 2, false, "label download", kCopy, nullptr,
     "clusterview: label download failed: <error>; back to mode 1 (CPU)\n"},
    {"clusterview", &kClusterview, &clusterview::memory, 2, true, "centroid colour upload", kCopy, nullptr,
     "clusterview: centroid colour upload failed: <error>; back to mode 1 (CPU)\n"},
};

std::string lineOf(const Row& row) {
    std::string line = row.line;
    if (size_t at = line.find("<error>"); at != std::string::npos)
        line.replace(at, 7, cudaGetErrorString(row.error));
    return line;
}

// Every buffer of mode `mode` in its slot: device ones gone, host ones held.
void expectOnlyHostBuffers(const viewer::Program& prog, int mode) {
    for (const viewer::Buffer& b : prog.params->modes[mode - 1].buffers)
        EXPECT_EQ(b.slot.get() == nullptr, b.device) << b.name;
}

TEST(GpuStepFailure, EveryViewerGoesOnInModeOneWithOneLine) {
    REQUIRE_GPU();
    gravsim::bodyCount = 64;
    clusterview::pointCount = clusterview::minPointCount;
    fractview::prec = 1;  // short frames
    viewer::gpuResult = inject;
    for (const Row& row : kRows) {
        SCOPED_TRACE(lineOf(row));
#if GPU_BACKEND_IS_CPU
        const size_t tracked = gpu::cpu::trackedAllocationCount();
#endif
        const viewer::Program& prog = *row.prog;
        const unsigned char key = prog.params->modes[row.mode - 1].key;
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
        failingStep = nullptr;
        ASSERT_TRUE(viewer::enter(prog, row.onEntry ? 1 : row.mode));
        const void* before = prog.params->modes[0].buffers[0].slot.get();

        failingStep = row.step;
        failingError = row.error;
        if (row.breakMemory) row.breakMemory(*row.memory);
        testing::internal::CaptureStderr();
        if (row.onEntry) viewer::keyboard(key, 0, 0);
        for (int frame = 0; frame < 3; ++frame) viewer::computeFrame();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), lineOf(row));
        EXPECT_EQ(viewer::state.mode, 1);
        expectOnlyHostBuffers(prog, row.mode);
        EXPECT_EQ(prog.params->modes[0].buffers[0].slot.get(), before) << "mode 1 keeps the running data";
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);

        // Nothing fails now: a kernel fault refuses the GPU mode with its line, any other
        // failure lets it be entered and run again.
        failingStep = nullptr;
        *row.memory = viewer::systemMemory();
        const bool fault = row.error == kFault;
        testing::internal::CaptureStderr();
        viewer::keyboard(key, 0, 0);
        viewer::computeFrame();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), fault ? lineOf(row) : "");
        EXPECT_EQ(viewer::state.mode, fault ? 1 : row.mode);
        viewer::releaseMode();
#if GPU_BACKEND_IS_CPU
        EXPECT_EQ(gpu::cpu::trackedAllocationCount(), tracked);
#endif
    }
    viewer::gpuResult = nullptr;
    viewer::state = viewer::State{};
}

}  // namespace

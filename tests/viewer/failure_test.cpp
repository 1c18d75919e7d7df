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

struct Program {
    const char* name;
    viewer::Program prog;
    viewer::Memory* memory;
    const char* cpuMode;  // mode 1's name
};
const Program kPrograms[] = {
    {"fractview", fractview::program(nullptr), &fractview::memory, "CPU mode"},
    {"spherecast", spherecast::program(nullptr), &spherecast::memory, "CPU mode"},
    {"gravsim", gravsim::program(nullptr), &gravsim::memory, "CPU"},
    {"clusterview", clusterview::program(nullptr), &clusterview::memory, "CPU"},
};
enum { kFractview, kSpherecast, kGravsim, kClusterview };

constexpr cudaError_t kRefused = cudaErrorInvalidConfiguration, kFault = cudaErrorIllegalAddress,
                      kCopy = cudaErrorInvalidValue, kNoMemory = cudaErrorMemoryAllocation;
// gpuResult replaces the named step's result, or the device or host allocator fails.
enum Seam { Result, DeviceAlloc, HostAlloc };

struct Row {
    int program;
    int mode;           // the mode the step fails in
    bool onEntry;       // the failure comes while mode `mode` is entered from mode 1
    const char* step;   // as the line names it
    Seam seam;
    cudaError_t error;  // what the step returns
    const char* line;   // null: "<program>: <step> failed: <error>; back to mode 1 (<name>)"
};

const Row kRows[] = {
    {kFractview, 2, false, "juliaColorGPU launch", Result, kRefused},
    {kFractview, 2, false, "image download", Result, kFault},
    {kSpherecast, 2, false, "d_spheres allocation", DeviceAlloc, kNoMemory},
    {kSpherecast, 2, false, "scene upload", Result, kCopy},
    {kSpherecast, 2, false, "computeGPUPixel launch", Result, kRefused},
    {kSpherecast, 3, false, "image download", Result, kFault},
    {kSpherecast, 3, true, "constant scene upload", Result, kCopy},
    {kGravsim, 2, false, "position upload", Result, kCopy},
    {kGravsim, 2, false, "computeBodyGPU launch", Result, kRefused},
    {kGravsim, 3, false, "computeBodyGPUBuffer launch", Result, kFault},
    {kGravsim, 4, false, "position download", Result, kCopy},
    {kGravsim, 4, true, "mass upload", Result, kCopy},
    // The CPU step's scratch: mode 1 is the fallback already, so the step is skipped.
    {kGravsim, 1, false, "newPos", HostAlloc, cudaSuccess,
     "gravsim: cannot allocate 1024 bytes of host memory for newPos; CPU step skipped\n"},
    {kClusterview, 2, false, "kernelAssign launch", Result, kFault},
    {kClusterview, 2, false, "label download", Result, kCopy},
    {kClusterview, 2, true, "centroid colour upload", Result, kCopy},
};

std::string lineOf(const Row& row) {
    if (row.line) return row.line;
    const Program& p = kPrograms[row.program];
    return std::string(p.name) + ": " + row.step + " failed: " + cudaGetErrorString(row.error) +
           "; back to mode 1 (" + p.cpuMode + ")\n";
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
        const viewer::Program& prog = kPrograms[row.program].prog;
        viewer::Memory& memory = *kPrograms[row.program].memory;
        const unsigned char key = prog.params->modes[row.mode - 1].key;
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
        failingStep = nullptr;
        ASSERT_TRUE(viewer::enter(prog, row.onEntry ? 1 : row.mode));
        const void* before = prog.params->modes[0].buffers[0].slot.get();

        failingStep = row.seam == Result ? row.step : nullptr;
        failingError = row.error;
        if (row.seam == DeviceAlloc) memory.deviceAlloc = noDevice;
        if (row.seam == HostAlloc) memory.hostAlloc = noHost;
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
        memory = viewer::systemMemory();
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

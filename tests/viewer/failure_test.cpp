// A GPU step that fails inside a frame, in each viewer: a copy, a launch (refused or
// faulted), a per-frame allocation, an upload while a mode is entered.
// The program must go on in mode 1 with every device buffer returned and one line on
// stderr, said once; after a kernel fault the GPU mode keys are refused with that line,
// after any other failure the GPU mode can be entered again.
#include <gtest/gtest.h>

#include <string>

#include "clusterview/kernel.h"
#include "fractview/kernel.h"
#include "gpu_test.h"
#include "gravsim/kernel.h"
#include "holdings.h"
#include "spherecast/kernel.h"
#include "viewer/frame.h"

namespace {

const char* failingStep = nullptr;  // the step (or buffer) whose result is replaced
cudaError_t failingError = cudaSuccess;
cudaError_t inject(cudaError_t err, const char* what, viewer::Checked) {
    return failingStep && std::string(what) == failingStep ? failingError : err;
}

struct Program {
    const char* name;
    viewer::Program prog;
    const char* cpuMode;  // mode 1's name
};
const Program kPrograms[] = {
    {"fractview", fractview::program(nullptr), "CPU mode"},
    {"spherecast", spherecast::program(nullptr), "CPU mode"},
    {"gravsim", gravsim::program(nullptr), "CPU"},
    {"clusterview", clusterview::program(nullptr), "CPU"},
};
enum { kFractview, kSpherecast, kGravsim, kClusterview };

constexpr cudaError_t kRefused = cudaErrorInvalidConfiguration, kFault = cudaErrorIllegalAddress,
                      kCopy = cudaErrorInvalidValue, kNoMemory = cudaErrorMemoryAllocation;
struct Row {
    int program;
    int mode;           // the mode the step fails in
    bool onEntry;       // the failure comes while mode `mode` is entered from mode 1
    const char* step;   // as the line names it
    cudaError_t error;  // what the step returns
    const char* line;   // null: "<program>: <step> failed: <error>; back to mode 1 (<name>)"
};

const Row kRows[] = {
    {kFractview, 2, false, "juliaColorGPU launch", kRefused},
    {kFractview, 2, false, "image download", kFault},
    {kSpherecast, 2, false, "d_spheres allocation", kNoMemory},
    {kSpherecast, 2, false, "scene upload", kCopy},
    {kSpherecast, 2, false, "computeGPUPixel launch", kRefused},
    {kSpherecast, 3, false, "image download", kFault},
    {kSpherecast, 3, true, "constant scene upload", kCopy},
    {kGravsim, 2, false, "position upload", kCopy},
    {kGravsim, 2, false, "computeBodyGPU launch", kRefused},
    {kGravsim, 3, false, "computeBodyGPUBuffer launch", kFault},
    {kGravsim, 4, false, "position download", kCopy},
    {kGravsim, 4, true, "mass upload", kCopy},
    // The CPU step's scratch: mode 1 is the fallback already, so the step is skipped.
    {kGravsim, 1, false, "newPos", kNoMemory,
     "gravsim: cannot allocate 1024 bytes of host memory for newPos; CPU step skipped\n"},
    {kClusterview, 2, false, "kernelAssign launch", kFault},
    {kClusterview, 2, false, "label download", kCopy},
    {kClusterview, 2, true, "centroid colour upload", kCopy},
};

std::string lineOf(const Row& row) {
    if (row.line) return row.line;
    const Program& p = kPrograms[row.program];
    return std::string(p.name) + ": " + row.step + " failed: " + cudaGetErrorString(row.error) +
           "; back to mode 1 (" + p.cpuMode + ")\n";
}

// Device buffers gone, host ones held.
void expectOnlyHostBuffers(const char* program) {
    for (const holdings::Global& g : holdings::of(program)) EXPECT_EQ(holdings::valueOf(g) == nullptr, g.device) << g.name;
}

TEST(GpuStepFailure, EveryViewerGoesOnInModeOneWithOneLine) {
    REQUIRE_GPU();
    gravsim::bodyCount = 64;
    clusterview::pointCount = clusterview::minPointCount;
    fractview::prec = 1;  // short frames
    viewer::testFault = inject;
    for (const Row& row : kRows) {
        SCOPED_TRACE(lineOf(row));
#if GPU_BACKEND_IS_CPU
        const size_t tracked = gpu::cpu::trackedAllocationCount();
#endif
        const viewer::Program& prog = kPrograms[row.program].prog;
        const char* name = kPrograms[row.program].name;
        const unsigned char key = prog.params->modes[row.mode - 1].key;
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
        failingStep = nullptr;
        ASSERT_TRUE(viewer::enter(prog, row.onEntry ? 1 : row.mode));
        const void* before = holdings::valueOf(holdings::of(name)[0]);

        failingStep = row.step;
        failingError = row.error;
        testing::internal::CaptureStderr();
        if (row.onEntry) viewer::keyboard(key, 0, 0);
        for (int frame = 0; frame < 3; ++frame) viewer::computeFrame();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), lineOf(row));
        EXPECT_EQ(viewer::state.mode, 1);
        expectOnlyHostBuffers(name);
        EXPECT_EQ(holdings::valueOf(holdings::of(name)[0]), before) << "mode 1 keeps the running data";
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);

        // Nothing fails now: a kernel fault refuses the GPU mode with its line, any other
        // failure lets it be entered and run again.
        failingStep = nullptr;
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
    viewer::testFault = nullptr;
    viewer::state = viewer::State{};
}

}  // namespace

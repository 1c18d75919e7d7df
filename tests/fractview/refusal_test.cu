// fractview when a mode key cannot have its images: for every switch of the table and
// every allocation k of that switch, the k-th fails. The program must stay exactly as it
// was (mode, both images' pointers, the picture), say so in one line, hold no more buffers
// than before and leave no CUDA error behind; the next frame draws the same picture. With
// nothing failing, the same switch goes through.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../viewer/faulty_memory.h"
#include "fractview/kernel.h"
#include "gpu_test.h"

namespace fv = fractview;

namespace {

using faulty::Buffer;

const char* nameOf(int mode) { return mode == 1 ? "CPU mode" : "GPU mode"; }

// What entering `mode` takes, in order.
std::vector<Buffer> buffersOf(int mode) {
    if (mode == 1) return {{"pixels", fv::kImageBytes, false}};
    return {{"pixels_gpu", fv::kImageBytes, true}, {"pixels", fv::kImageBytes, false}};
}

std::vector<char> picture() {
    return std::vector<char>((const char*)fv::pixels, (const char*)fv::pixels + fv::kImageBytes);
}

struct Step {
    int from;
    unsigned char key;
    int to;
    cudaError_t deviceError;
};

class FractviewRefusal : public testing::Test {
protected:
    void SetUp() override {
        fv::resetView();
        fv::prec = 4;  // short frames
        faulty::ledger = faulty::Ledger{};
        fv::memory = faulty::memory();
        prog = fv::program(nullptr);
        viewer::program = &prog;
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
    }
    void TearDown() override {
        viewer::releaseMode();
        EXPECT_EQ(faulty::ledger.liveHost, 0);
        EXPECT_EQ(faulty::ledger.liveDevice, 0);
        fv::memory = viewer::systemMemory();
        fv::resetView();
    }

    void run(const Step& s) {
        SCOPED_TRACE(std::string("from mode ") + std::to_string(s.from) + ", key " + (char)s.key);
        faulty::arm(0);
        ASSERT_TRUE(viewer::switchMode(s.from));
        viewer::computeFrame();
        const std::vector<char> shown = picture();
        const std::vector<Buffer> takes = buffersOf(s.to);
        for (size_t k = 1; k <= takes.size(); ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
            const float4 *image = fv::pixels, *deviceImage = fv::pixels_gpu;
            const int liveHost = faulty::ledger.liveHost, liveDevice = faulty::ledger.liveDevice;
#if GPU_BACKEND_IS_CPU
            const size_t tracked = gpu::cpu::trackedAllocationCount();
#endif
            faulty::arm((int)k, s.deviceError);
            testing::internal::CaptureStderr();
            viewer::keyboard(s.key, 0, 0);
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(faulty::ledger.calls, (int)k) << "allocations went on after a refusal";
            EXPECT_EQ(viewer::state.mode, s.from);
            EXPECT_EQ(fv::pixels, image);
            EXPECT_EQ(fv::pixels_gpu, deviceImage);
            EXPECT_TRUE(picture() == shown) << "the picture changed";
            EXPECT_EQ(faulty::ledger.liveHost, liveHost) << "host buffers leaked or lost";
            EXPECT_EQ(faulty::ledger.liveDevice, liveDevice) << "device buffers leaked or lost";
#if GPU_BACKEND_IS_CPU
            EXPECT_EQ(gpu::cpu::trackedAllocationCount(), tracked);
#endif
            EXPECT_EQ(err, faulty::refusalLine("fractview", takes[k - 1], s.deviceError, s.from, nameOf(s.from), ""));
            EXPECT_FALSE(faulty::cudaErrorLeft()) << "the refused allocation's error was left for the next launch";
            // The running mode draws the same picture again.
            std::memset((void*)fv::pixels, 0x7f, fv::kImageBytes);
            viewer::computeFrame();
            EXPECT_TRUE(picture() == shown) << "the next frame drew something else";
            if (HasFailure()) return;
        }
        faulty::arm(0);
        testing::internal::CaptureStderr();
        viewer::keyboard(s.key, 0, 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(faulty::ledger.calls, (int)takes.size());
        EXPECT_EQ(viewer::state.mode, s.to);
        EXPECT_EQ(faulty::ledger.liveHost, 1);
        EXPECT_EQ(faulty::ledger.liveDevice, s.to == 2 ? 1 : 0);
        viewer::computeFrame();
        EXPECT_TRUE(picture() == shown) << "the new mode draws another picture of the same view";
        EXPECT_FALSE(faulty::cudaErrorLeft());
    }
    viewer::Program prog{};
};

TEST_F(FractviewRefusal, CpuModeKeepsItsPictureWhenItsImageCannotBeHad) {
    run({1, '1', 1, cudaErrorMemoryAllocation});
}

TEST_F(FractviewRefusal, EveryModeKeepsItsPictureWhenTheNextImagesCannotBeHad) {
    REQUIRE_GPU();
    const Step steps[] = {
        {1, '2', 2, cudaErrorMemoryAllocation},
        {2, '1', 1, cudaErrorMemoryAllocation},
        {2, '2', 2, cudaErrorNoDevice},
    };
    for (const Step& s : steps) {
        run(s);
        if (HasFailure()) return;
    }
}

// A cuda build on a machine without a device: the GPU mode is refused for real.
TEST(FractviewNoDevice, GpuModeIsRefusedAndTheCpuModeRuns) {
    if (gpu::deviceAvailable()) GTEST_SKIP() << "a device answers: the refusal without one is tested on a machine without";
    fv::resetView();
    fv::prec = 4;
    viewer::Program p = fv::program(nullptr);
    viewer::program = &p;
    viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
    viewer::state = viewer::State{};
    ASSERT_TRUE(viewer::allocateMode());
    const float4* held = fv::pixels;
    testing::internal::CaptureStderr();
    viewer::keyboard('2', 0, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(viewer::state.mode, 1);
    EXPECT_EQ(fv::pixels, held);
    EXPECT_EQ(fv::pixels_gpu, nullptr);
    EXPECT_NE(err.find("fractview: cannot allocate 12582912 bytes of device memory for pixels_gpu ("), std::string::npos)
        << err;
    EXPECT_NE(err.find("; staying in mode 1 (CPU mode)\n"), std::string::npos) << err;
    viewer::computeFrame();
    viewer::releaseMode();
    fv::resetView();
}

}  // namespace

// The two kernels against renderCPU: the same scene gives the same image bit for bit, in
// global memory and in constant memory, at any view; and what each mode owns per frame.
#include <gtest/gtest.h>

#include "gpu_test.h"
#include "spherecast_test.h"

using namespace sctest;

namespace {

constexpr int kUp = 101, kDown = 103;

class SpherecastModes : public testing::Test {
protected:
    void SetUp() override { resetState(); }
    void TearDown() override { resetState(); }
};

// Enters `mode` with the scene that seed draws, renders one frame and returns the image.
std::vector<float4> frameOf(int mode, unsigned seed) {
    srand(seed);
    viewer::switchMode(mode);
    viewer::program->params->modes[mode - 1].compute();
    return image();
}

// A view that brings the whole random scene (centres 0..1023 x 0..767) into the window.
void wideView() {
    sc::scale = 1.7f;
    sc::offsetX = -500.0f;
    sc::offsetY = -380.0f;
}

TEST_F(SpherecastModes, ThreeModesGiveTheSameImageForOneScene) {
    REQUIRE_GPU();
    for (bool wide : {false, true}) {
        for (unsigned seed : {1u, 99u, 2024u}) {
            if (wide) wideView();
            std::vector<float4> cpu = frameOf(1, seed);
            std::vector<float4> global = frameOf(2, seed);
            std::vector<float4> constant = frameOf(3, seed);
            ASSERT_EQ(sc::spheres_count, 20);
            EXPECT_GT(litPixels(cpu), 10000) << "seed " << seed;  // a scene worth comparing
            EXPECT_TRUE(sameImage(cpu, global)) << "seed " << seed << (wide ? " wide view" : "");
            EXPECT_TRUE(sameImage(cpu, constant)) << "seed " << seed << (wide ? " wide view" : "");
        }
    }
}

TEST_F(SpherecastModes, GlobalKernelMatchesAtTheFullHundredAndOneSpheres) {
    REQUIRE_GPU();
    wideView();
    srand(77);
    viewer::switchMode(2);
    for (int k = 0; k < 200; ++k) sc::specialKeys(kUp, 0, 0);
    ASSERT_EQ(sc::spheres_count, 101);
    sc::renderGPU();
    std::vector<float4> gpu = image();
    sc::renderCPU();
    EXPECT_GT(litPixels(gpu), 100000);
    EXPECT_TRUE(sameImage(image(), gpu));
}

TEST_F(SpherecastModes, ModeTwoUploadsTheCurrentSceneEveryFrame) {
    REQUIRE_GPU();
    wideView();
    viewer::switchMode(2);
    // Centred on what pixel (160, 218) sees, and nearer than any random sphere.
    const float cx = (float)(218 - 512) * sc::scale - sc::offsetX, cy = (float)(160 - 384) * sc::scale - sc::offsetY;
    sc::spheres[0] = sphere(cx, cy, 250, 200, 1, 0, 1);
    sc::renderGPU();
    std::vector<float4> gpu = image();
    EXPECT_TRUE(sameBits(pixel(160, 218), make_float4(1, 0, 1, 1)));
    sc::renderCPU();
    EXPECT_TRUE(sameImage(image(), gpu));
}

TEST_F(SpherecastModes, ModeTwoWithNoSpheresIsBlack) {
    REQUIRE_GPU();
    viewer::switchMode(2);
    for (int k = 0; k < 25; ++k) sc::specialKeys(kDown, 0, 0);
    ASSERT_EQ(sc::spheres_count, 0);
    for (int k = 0; k < sc::pixelCount; ++k) sc::pixels[k] = make_float4(1, 1, 1, 1);
    sc::renderGPU();
    EXPECT_EQ(litPixels(image()), 0);
    EXPECT_TRUE(sameBits(pixel(0, 0), make_float4(0, 0, 0, 0)));
    EXPECT_EQ(sc::d_spheres, nullptr);
}

TEST_F(SpherecastModes, ModeThreeDownArrowUsesTheFirstRecords) {
    REQUIRE_GPU();
    wideView();
    srand(31);
    viewer::switchMode(3);
    for (int k = 0; k < 6; ++k) sc::specialKeys(kDown, 0, 0);
    ASSERT_EQ(sc::spheres_count, 14);
    sc::renderGPUConstant();
    std::vector<float4> constant = image();
    sc::renderCPU();  // the host array now holds exactly the first 14 records
    EXPECT_TRUE(sameImage(image(), constant));
    // With all 20 it was a different picture.
    sc::spheres_count = 20;
    sc::renderGPUConstant();
    EXPECT_FALSE(sameImage(image(), constant));
}

TEST_F(SpherecastModes, ModeThreeUpAfterDownDrawsTheNewRecord) {
    REQUIRE_GPU();
    wideView();
    srand(32);
    viewer::switchMode(3);
    sc::specialKeys(kDown, 0, 0);
    sc::specialKeys(kDown, 0, 0);
    sc::specialKeys(kUp, 0, 0);
    ASSERT_EQ(sc::spheres_count, 19);
    sc::renderGPUConstant();
    std::vector<float4> constant = image();
    sc::renderCPU();
    EXPECT_TRUE(sameImage(image(), constant));
}

TEST_F(SpherecastModes, ModeThreeReadsOnlyTheUploadedScene) {
    REQUIRE_GPU();
    wideView();
    std::vector<float4> entered = frameOf(3, 40);
    // Host edits that are not key presses do not reach constant memory...
    sc::spheres[3] = sphere(0, 0, 250, 300, 1, 1, 1);
    sc::renderGPUConstant();
    EXPECT_TRUE(sameImage(image(), entered));
    // ...and a count above the 20 records is capped for the kernel.
    sc::spheres_count = sc::maxSphereCount;
    sc::renderGPUConstant();
    EXPECT_TRUE(sameImage(image(), entered));
}

#if GPU_BACKEND_IS_CPU
TEST_F(SpherecastModes, EachModeOwnsItsDeviceBuffersOnly) {
    const size_t base = gpu::cpu::trackedAllocationCount();
    viewer::switchMode(1);
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), base);
    viewer::switchMode(2);
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), base + 1);  // pixels_gpu
    sc::renderGPU();
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), base + 1);  // d_spheres is freed within the frame
    viewer::switchMode(3);
    sc::renderGPUConstant();
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), base + 1);
    viewer::switchMode(1);
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), base);
    EXPECT_EQ(sc::pixels_gpu, nullptr);
}
#endif

}  // namespace

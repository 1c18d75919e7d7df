// The arrow keys on the host scene, the mouse and wheel on the view, and the failures the
// program handles: a scene that cannot grow or shrink, an allocation that fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "gpu_test.h"
#include "spherecast_test.h"

using namespace sctest;

namespace {

constexpr int kUp = 101, kDown = 103, kLeft = 100;

class SpherecastControls : public testing::Test {
protected:
    void SetUp() override { resetState(); }
    void TearDown() override { resetState(); }
};

std::vector<sc::Sphere> scene() { return std::vector<sc::Sphere>(sc::spheres, sc::spheres + sc::spheres_count); }

bool sameRecords(const sc::Sphere* a, const sc::Sphere* b, int n) { return memcmp(a, b, sizeof(sc::Sphere) * n) == 0; }

TEST_F(SpherecastControls, UpAddsOneRandomSphereKeepingTheOthers) {
    srand(3);
    viewer::switchMode(1);
    ASSERT_EQ(sc::spheres_count, 20);
    std::vector<sc::Sphere> before = scene();
    useScript({100, 200, 150, 0, 32767, 0, 10});
    sc::specialKeys(kUp, 0, 0);
    ASSERT_EQ(sc::spheres_count, 21);
    EXPECT_TRUE(sameRecords(sc::spheres, before.data(), 20));
    EXPECT_EQ(sc::spheres[20].x, 100.0f);
    EXPECT_EQ(sc::spheres[20].g, 1.0f);
    EXPECT_EQ(sc::spheres[20].radius, 25.0f);
    // Other special keys do nothing.
    sc::specialKeys(kLeft, 0, 0);
    EXPECT_EQ(sc::spheres_count, 21);
}

TEST_F(SpherecastControls, UpStopsAt101AndDownAtZero) {
    srand(4);
    viewer::switchMode(1);
    std::vector<sc::Sphere> first = scene();
    for (int k = 0; k < 200; ++k) sc::specialKeys(kUp, 0, 0);
    EXPECT_EQ(sc::spheres_count, 101);
    EXPECT_TRUE(sameRecords(sc::spheres, first.data(), 20));
    std::vector<sc::Sphere> full = scene();
    for (int k = 0; k < 100; ++k) sc::specialKeys(kDown, 0, 0);
    ASSERT_EQ(sc::spheres_count, 1);
    EXPECT_TRUE(sameRecords(sc::spheres, full.data(), 1));  // down drops the last records only
    sc::specialKeys(kDown, 0, 0);
    sc::specialKeys(kDown, 0, 0);
    EXPECT_EQ(sc::spheres_count, 0);
    sc::renderCPU();  // an empty scene renders
    EXPECT_EQ(litPixels(image()), 0);
    // And grows again from nothing.
    sc::specialKeys(kUp, 0, 0);
    EXPECT_EQ(sc::spheres_count, 1);
    ASSERT_NE(sc::spheres, nullptr);
}

TEST_F(SpherecastControls, ArrowsChangeTheCountInEveryModeAndModeThreeResetsItTo20) {
    REQUIRE_GPU();  // modes 2 and 3 allocate device memory
    viewer::switchMode(2);
    for (int k = 0; k < 30; ++k) sc::specialKeys(kUp, 0, 0);
    EXPECT_EQ(sc::spheres_count, 50);
    viewer::switchMode(2);  // re-entry keeps the count, draws a new scene
    EXPECT_EQ(sc::spheres_count, 50);
    viewer::switchMode(3);
    EXPECT_EQ(sc::spheres_count, 20);
    viewer::switchMode(1);
    EXPECT_EQ(sc::spheres_count, 20);
    EXPECT_EQ(viewer::state.mode, 1);
}

TEST_F(SpherecastControls, ModeThreeUpStopsAtTheTwentyConstantRecords) {
    REQUIRE_GPU();  // modes 2 and 3 allocate device memory
    viewer::switchMode(3);
    sc::specialKeys(kUp, 0, 0);
    EXPECT_EQ(sc::spheres_count, 20);
    sc::specialKeys(kDown, 0, 0);
    sc::specialKeys(kDown, 0, 0);
    EXPECT_EQ(sc::spheres_count, 18);
    for (int k = 0; k < 5; ++k) sc::specialKeys(kUp, 0, 0);
    EXPECT_EQ(sc::spheres_count, 20);
    EXPECT_EQ(sc::constantKernelCount(), 20);
    sc::spheres_count = 50;  // however the count got there, the kernel sees 20 at most
    EXPECT_EQ(sc::constantKernelCount(), 20);
}

cudaError_t noScene(cudaError_t err, const char* what, viewer::Checked) { return strcmp(what, "spheres") ? err : cudaErrorMemoryAllocation; }

TEST_F(SpherecastControls, FailedResizeKeepsTheSceneAndTheCount) {
    srand(5);
    viewer::switchMode(1);
    sc::Sphere* array = sc::spheres;
    std::vector<sc::Sphere> before = scene();
    viewer::testFault = noScene;
    testing::internal::CaptureStderr();
    sc::specialKeys(kUp, 0, 0);
    sc::specialKeys(kDown, 0, 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sc::spheres_count, 20);
    EXPECT_EQ(sc::spheres, array);
    EXPECT_TRUE(sameRecords(sc::spheres, before.data(), 20));
    EXPECT_EQ(err,
              "spherecast: cannot allocate 588 bytes of host memory for spheres (out of memory); staying in mode 1 "
              "(CPU mode) at 20 spheres\n"
              "spherecast: cannot allocate 532 bytes of host memory for spheres (out of memory); staying in mode 1 "
              "(CPU mode) at 20 spheres\n");
    sc::renderCPU();  // still a valid scene
    viewer::testFault = nullptr;
    sc::specialKeys(kUp, 0, 0);
    EXPECT_EQ(sc::spheres_count, 21);
}

TEST_F(SpherecastControls, ClickAtTheCentreZeroesTheOffsetsAtAnyScale) {
    for (int wheel : {3, 4}) {
        for (int steps = 0; steps < 7; ++steps) {
            sc::mouse(0, 0, 10, 700);  // some pan first
            sc::mouse(2, 1, 512, 384);
            EXPECT_EQ(sc::offsetX, 0.0f) << sc::scale;
            EXPECT_EQ(sc::offsetY, 0.0f) << sc::scale;
            sc::mouse(wheel, 0, 0, 0);
        }
    }
}

TEST_F(SpherecastControls, ButtonsAndDragsPutTheSceneOriginUnderThePointer) {
    sc::mouse(0, 0, 0, 0);
    EXPECT_EQ(sc::offsetX, -512.0f);
    EXPECT_EQ(sc::offsetY, 384.0f);
    sc::mouse(1, 1, 1023, 767);  // press and release act alike
    EXPECT_EQ(sc::offsetX, 511.0f);
    EXPECT_EQ(sc::offsetY, -383.0f);
    sc::scale = 2.0f;
    sc::motion(612, 284);
    EXPECT_EQ(sc::offsetX, 200.0f);
    EXPECT_EQ(sc::offsetY, 200.0f);
    // The origin is then drawn at the pointer: window row 284 from the top is image row
    // 767 - 284 = 483, which sees (0, -scale), one pixel from the origin.
    std::vector<sc::Sphere> dot{sphere(0, 0, 10, 3)};
    EXPECT_EQ(sc::tracePixel(767 - 284, 612, dot.data(), 1, sc::scale, sc::offsetX, sc::offsetY).w, 1.0f);
    EXPECT_EQ(sc::tracePixel(767 - 284, 615, dot.data(), 1, sc::scale, sc::offsetX, sc::offsetY).w, 0.0f);
    // Other buttons do not pan.
    sc::mouse(5, 0, 0, 0);
    EXPECT_EQ(sc::offsetX, 200.0f);
}

TEST_F(SpherecastControls, WheelScalesBySinglePrecision105AndKeepsTheOffsets) {
    uint32_t bits;
    memcpy(&bits, &sc::zoomStep, 4);
    EXPECT_EQ(bits, 0x3F866666u);
    sc::mouse(0, 0, 100, 100);
    float ox = sc::offsetX, oy = sc::offsetY;
    sc::mouse(3, 0, 0, 0);
    EXPECT_EQ(sc::scale, 1.0f / 1.05f);
    sc::mouse(3, 1, 0, 0);
    EXPECT_EQ(sc::scale, (1.0f / 1.05f) / 1.05f);
    sc::scale = 1.0f;
    sc::mouse(4, 0, 0, 0);
    sc::mouse(4, 0, 0, 0);
    EXPECT_EQ(sc::scale, 1.05f * 1.05f);
    EXPECT_EQ(sc::offsetX, ox);
    EXPECT_EQ(sc::offsetY, oy);
}

}  // namespace

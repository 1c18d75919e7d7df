// spherecast under churn: a thousand random mode keys and arrows from a fixed seed, frames
// computed among them, then the program's own release. Each mode must hold exactly its
// buffers, at the size of the current scene, and nothing may be left at the end; meanwhile
// the title, the mode, the sphere count and the picture follow the keys.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "gpu_test.h"
#include "spherecast_test.h"

using namespace sctest;

namespace {

constexpr int kUp = 101, kDown = 103;  // GLUT_KEY_UP, GLUT_KEY_DOWN
constexpr int kEvents = 1000;
// The walk adds spheres only below kCountCeiling (entering mode 3 still sets 20, and the
// walk then mostly goes down). Every frame traces a whole 1024 x 768 image (a few ms here,
// 20-50 ms under AddressSanitizer), so a frame follows one event in kFrameEvery on
// average, at random; the ownership checks follow every event.
constexpr int kCountCeiling = 4;
constexpr unsigned kFrameEvery = 8;

int now = 0;
std::string title;

class SpherecastChurn : public testing::Test {
protected:
    void SetUp() override {
        resetState();
        viewer::platform = viewer::Platform{[] { return now; }, [](const char* t) { title = t; }};
        now = 0;
    }
    void TearDown() override { resetState(); }
    void frame() {
        now += spherecast::frame().refreshMs + 1;
        viewer::computeFrame();
    }
};

const char* nameOf(int mode) {
    return mode == 1 ? "CPU mode" : mode == 2 ? "GPU mode" : "GPU mode - constant memory";
}

// The pixel that sees scene point (x, y) under the current view, if one does.
bool pixelOf(float x, float y, int* i, int* j) {
    *j = (int)std::lround((x + sc::offsetX) / sc::scale) + sc::imageWidth / 2;
    *i = (int)std::lround((y + sc::offsetY) / sc::scale) + sc::imageHeight / 2;
    return *i >= 0 && *i < sc::imageHeight && *j >= 0 && *j < sc::imageWidth;
}

// The picture must be the host scene's, in every mode (mode 3 draws from the records it
// uploaded, which must be the host's first ones): at each sphere's centre and a corner,
// the frame's pixel is what the pixel rule gives for the host array. Probes are poisoned
// before the frame so a frame that wrote nothing fails too.
template <typename F>
void forEachProbe(F f) {
    f(0, 0);
    for (int k = 0; k < sc::spheres_count; ++k) {
        int i, j;
        if (pixelOf(sc::spheres[k].x, sc::spheres[k].y, &i, &j)) f(i, j);
    }
}

TEST_F(SpherecastChurn, ThousandKeysLeaveNothingBehind) {
    REQUIRE_GPU();  // modes 2 and 3 run kernels
    srand(20261207u);
#if GPU_BACKEND_IS_CPU
    const size_t devicesBefore = gpu::cpu::trackedAllocationCount();
    const size_t deviceBytesBefore = gpu::cpu::trackedAllocationBytes();
#endif
    cudaGetLastError();  // clear anything earlier tests left
    viewer::allocateMode();  // start-up: mode 1 with 20 spheres

    // A view that holds the whole random scene, set as a user would: eleven wheel steps
    // out (scale 1.05^11, about 1.71), then a click that puts the scene centre mid-window.
    for (int k = 0; k < 11; ++k) sc::mouse(4, 0, 0, 0);
    sc::mouse(0, 0, 220, 606);

    // The scene down to a few spheres first, as a user would press it.
    int mode = 1, count = sc::startSphereCount;
    while (count > 1) {
        sc::specialKeys(kDown, 0, 0);
        --count;
    }
    ASSERT_EQ(sc::spheres_count, count);

    std::mt19937 rng(20261207u);
    int switches = 0, arrows = 0, frames = 0, emptyFrames = 0, modeThreeFrames = 0;
    for (int event = 0; event < kEvents; ++event) {
        // Out of 32: keys 1 and 2 five times each, key 3 once (it resets the scene to 20
        // spheres, which the walk then takes down), up ten times, down eleven.
        const unsigned pick = rng() % 32;
        if (pick <= 10) {
            mode = pick < 5 ? 1 : pick < 10 ? 2 : 3;
            if (mode == 3) count = sc::constantSphereCount;
            viewer::keyboard((unsigned char)('0' + mode), 0, 0);
            ++switches;
        } else {
            bool up = pick <= 20;
            if (count >= kCountCeiling) up = false;
            sc::specialKeys(up ? kUp : kDown, 0, 0);
            if (up) count += 1;  // the ceiling stays below mode 3's 20 and the overall 101
            else if (count > 0) count -= 1;
            ++arrows;
        }
        SCOPED_TRACE("event " + std::to_string(event) + ", mode " + std::to_string(mode) + ", spheres " +
                     std::to_string(count));
        ASSERT_EQ(viewer::state.mode, mode);
        ASSERT_EQ(sc::spheres_count, count);
        // The scene array holds the count's records; one image on the host, and one on the
        // device in modes 2 and 3 (the per-frame scene copy is gone again).
        ASSERT_NE(sc::pixels, nullptr);
        if (count > 0) ASSERT_NE(sc::spheres, nullptr);
#if defined(__GLIBC__)
        if (count > 0) ASSERT_GE(malloc_usable_size(sc::spheres), count * sizeof(sc::Sphere));
        ASSERT_GE(malloc_usable_size(sc::pixels), sc::imageBytes);
#endif
        ASSERT_EQ(sc::pixels_gpu != nullptr, mode >= 2);
        ASSERT_EQ(sc::d_spheres, nullptr);
#if GPU_BACKEND_IS_CPU
        ASSERT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore + (mode >= 2 ? 1 : 0));
        ASSERT_EQ(gpu::cpu::trackedAllocationBytes(), deviceBytesBefore + (mode >= 2 ? sc::imageBytes : 0));
#endif

        if (rng() % kFrameEvery != 0 && event != kEvents - 1) continue;
        ++frames;
        emptyFrames += count == 0;
        modeThreeFrames += mode == 3;
        forEachProbe([](int i, int j) { sc::pixels[i * sc::imageWidth + j] = make_float4(NAN, -1, -1, -1); });
        frame();
        ASSERT_EQ(title, std::string("Raytracer:  ") + nameOf(mode) + ", 2.00 FPS");
        forEachProbe([](int i, int j) {
            const float4 want = sc::tracePixel(i, j, sc::spheres, sc::spheres_count, sc::scale, sc::offsetX, sc::offsetY);
            ASSERT_TRUE(sameBits(pixel(i, j), want)) << "pixel " << i << "," << j;
        });
        if (HasFatalFailure()) return;
        ASSERT_EQ(sc::d_spheres, nullptr);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    }
    // The walk really went everywhere it may.
    EXPECT_GT(switches, 250);
    EXPECT_GT(arrows, 500);
    EXPECT_GT(emptyFrames, 0);
    EXPECT_GE(modeThreeFrames, 5);
    EXPECT_GT(frames, 80);
    printf("spherecast churn: %d switches, %d arrows, %d frames (%d empty, %d in mode 3)\n", switches, arrows,
           frames, emptyFrames, modeThreeFrames);

    viewer::releaseMode();  // what the program does when its main loop returns
    EXPECT_EQ(sc::pixels, nullptr);
    EXPECT_EQ(sc::spheres, nullptr);
    EXPECT_EQ(sc::pixels_gpu, nullptr);
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore);
    EXPECT_EQ(gpu::cpu::trackedAllocationBytes(), deviceBytesBefore);
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace

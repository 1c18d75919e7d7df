// fractview under churn: a thousand random mode keys and arrows from a fixed seed, a frame
// computed after each, then the program's own release. Every buffer the modes take must be
// the one image they own, returned when they leave, and nothing may be left at the end;
// meanwhile the title, the mode and the picture follow the keys.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "fractview/kernel.h"
#include "gpu_test.h"

namespace fv = fractview;

namespace {

constexpr int kUp = 101, kDown = 103;  // GLUT_KEY_UP, GLUT_KEY_DOWN
constexpr int kEvents = 1000;
// The walk keeps prec in 1..kPrecCeiling, since each step of the cap adds an iteration to
// the pixels that stay. Every frame is a whole 1024 x 768 image (a few ms here, 20-30 ms
// under AddressSanitizer), so a frame follows one event in kFrameEvery on average, at
// random; the ownership checks follow every event.
constexpr int kPrecCeiling = 4;
constexpr unsigned kFrameEvery = 8;

// Counts what the modes hold through fractview's allocation hooks.
struct Held {
    int host = 0, device = 0;
    size_t wrongSize = 0;  // allocations of anything but one image
    int badFree = 0;       // frees of nothing
} held;

viewer::Memory counting() {
    return viewer::Memory{
        [](size_t n) {
            held.wrongSize += n != fv::kImageBytes;
            held.host += 1;
            return viewer::systemMemory().hostAlloc(n);
        },
        [](void* p) {
            held.badFree += p == nullptr;
            held.host -= 1;
            viewer::systemMemory().hostFree(p);
        },
        [](void** p, size_t n) {
            held.wrongSize += n != fv::kImageBytes;
            cudaError_t e = viewer::systemMemory().deviceAlloc(p, n);
            held.device += e == cudaSuccess && *p;
            return e;
        },
        [](void* p) {
            held.badFree += p == nullptr;
            held.device -= 1;
            return viewer::systemMemory().deviceFree(p);
        },
    };
}

int now = 0;
std::string title;

class FractviewChurn : public testing::Test {
protected:
    void SetUp() override {
        fv::resetView();
        held = Held{};
        fv::memory = counting();
        prog = fv::program(nullptr);
        viewer::program = &prog;
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{[] { return now; }, [](const char* t) { title = t; }};
        now = 0;
    }
    void TearDown() override {
        viewer::releaseMode();  // whatever a failed test left
        fv::memory = viewer::systemMemory();
        fv::resetView();
    }
    // One frame as the display callback computes it, the title due every time.
    void frame() {
        now += fractview::frame().refreshMs + 1;
        viewer::computeFrame();
    }
    float4 at(int i, int j) const { return fv::pixels[i * fv::kWidth + j]; }
    viewer::Program prog{};
};

const char* nameOf(int mode) { return mode == 1 ? "CPU mode" : "GPU mode"; }

// Pixels whose colour the frame must rewrite: poisoned before it, checked after it.
constexpr int kProbeRow = 384, kProbeCol = 942;  // plane point (1.29, 0): escapes in step 2

void poison() {
    const float4 junk = make_float4(NAN, -7, -7, -7);
    fv::pixels[0] = junk;
    fv::pixels[kProbeRow * fv::kWidth + fv::kWidth / 2] = junk;
    fv::pixels[kProbeRow * fv::kWidth + kProbeCol] = junk;
}

TEST_F(FractviewChurn, ThousandKeysLeaveNothingBehind) {
    REQUIRE_GPU();  // mode 2 runs kernels
#if GPU_BACKEND_IS_CPU
    const size_t devicesBefore = gpu::cpu::trackedAllocationCount();
#endif
    cudaGetLastError();  // clear anything earlier tests left
    viewer::allocateMode();  // start-up: mode 1's image before the first frame

    // The cap down to its floor first, as a user would press it.
    int mode = 1, prec = 15;
    for (int k = 0; k < 14; ++k) prog.specialKeys(kDown, 0, 0);
    prec = 1;
    ASSERT_EQ(fv::prec, prec);

    std::mt19937 rng(20261207u);
    int switches = 0, arrows = 0, frames = 0;
    for (int event = 0; event < kEvents; ++event) {
        const unsigned pick = rng() % 4;
        if (pick < 2) {
            mode = (int)pick + 1;
            viewer::keyboard((unsigned char)('1' + pick), 0, 0);
            ++switches;
        } else {
            bool up = pick == 2;
            if (prec == kPrecCeiling) up = false;
            prog.specialKeys(up ? kUp : kDown, 0, 0);
            if (up) prec += 1;
            else if (prec > 1) prec -= 1;
            ++arrows;
        }
        SCOPED_TRACE("event " + std::to_string(event) + ", mode " + std::to_string(mode) + ", prec " +
                     std::to_string(prec));
        ASSERT_EQ(viewer::state.mode, mode);
        ASSERT_EQ(fv::prec, prec);
        // Each mode holds its images and nothing else: one host image, and in mode 2 one
        // device image.
        ASSERT_EQ(held.host, 1);
        ASSERT_EQ(held.device, mode == 2 ? 1 : 0);
        ASSERT_NE(fv::pixels, nullptr);
        ASSERT_EQ(fv::pixels_gpu != nullptr, mode == 2);
#if GPU_BACKEND_IS_CPU
        ASSERT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore + (mode == 2 ? 1 : 0));
#endif

        if (rng() % kFrameEvery != 0 && event != kEvents - 1) continue;
        ++frames;
        poison();
        frame();
        ASSERT_EQ(title, std::string("Julia Fractals:  ") + nameOf(mode) + ", 2.00 FPS");
        // The picture is this frame's, at this cap: white corner, blue centre, and a point
        // that escapes in the second step, which shows 0 at cap 1 and 1 - 1/p above.
        const float4 corner = at(0, 0), centre = at(kProbeRow, fv::kWidth / 2), probe = at(kProbeRow, kProbeCol);
        ASSERT_TRUE(corner.x == 1 && corner.y == 1 && corner.z == 1 && corner.w == 1);
        ASSERT_TRUE(centre.x == 0 && centre.y == 0 && centre.z == 1 && centre.w == 1);
        const float grey = prec == 1 ? 0.0f : 1.0f - 1.0f / (float)prec;
        ASSERT_EQ(probe.x, grey);
        ASSERT_EQ(probe.y, grey);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    }
    // The walk really went everywhere it may.
    EXPECT_GT(switches, 300);
    EXPECT_GT(arrows, 300);
    EXPECT_GT(frames, 80);

    viewer::releaseMode();  // what the program does when its main loop returns
    EXPECT_EQ(fv::pixels, nullptr);
    EXPECT_EQ(fv::pixels_gpu, nullptr);
    EXPECT_EQ(held.host, 0);
    EXPECT_EQ(held.device, 0);
    EXPECT_EQ(held.wrongSize, 0u);
    EXPECT_EQ(held.badFree, 0);
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore);
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace

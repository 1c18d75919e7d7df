// fractview's core: the escape-time arithmetic and its edges, the pixel mapping and the
// marker, the kernel's image against the CPU loop's, the controls, and the modes' buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fractview/kernel.h"
#include "gpu_test.h"
#include "viewer_test.h"

namespace fv = fractview;

namespace {

// The frame runs fractview's modes, so switchMode and the keys act as in the program.
class Fractview : public testing::Test {
protected:
    void SetUp() override {
        fv::resetView();
        static const viewer::Program prog = fv::program(nullptr);
        viewer::program = &prog;
        viewer::state = viewer::State{};
    }
    void TearDown() override {
        viewer::releaseMode();  // releases whatever either mode left
        viewer::testFault = nullptr;
    }
    float4 at(int i, int j) const { return fv::pixels[i * fv::kWidth + j]; }
};

bool same(float4 a, float4 b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }

TEST(JuliaColor, EscapeIsStrictAndCountsSteps) {
    EXPECT_EQ(fv::juliaColor(0, 0, 0, 0, 15), 0.0f);  // the origin stays for c = 0
    EXPECT_EQ(fv::juliaColor(1, 0, 0, 0, 15), 0.0f);  // fixed point on the unit circle
    for (int p : {1, 2, 15, 50}) EXPECT_EQ(fv::juliaColor(1.5f, 0, 0, 0, p), 1.0f) << p;
    // c = 2 from the origin: the first step lands on exactly 4 (not escaped), the second on 36.
    EXPECT_EQ(fv::juliaColor(0, 0, 2, 0, 15), 1.0f - 1.0f / 15.0f);
    EXPECT_EQ(fv::juliaColor(0, 0, 2, 0, 2), 0.5f);  // escape in the last allowed step: 1/p
    EXPECT_EQ(fv::juliaColor(0, 0, 2, 0, 1), 0.0f);
    EXPECT_EQ(fv::juliaColor(1.5f, 0, 0, 0, 0), 0.0f);  // no step at all
    EXPECT_EQ(fv::juliaColor(1.5f, 0, 0, 0, -3), 0.0f);
}

TEST(JuliaColor, ComplexHelpers) {
    fv::Complex m = fv::mul_complex({1, 2}, {3, 4});
    EXPECT_EQ(m.reel, -5.0f);
    EXPECT_EQ(m.im, 10.0f);
    fv::Complex s = fv::add_complex({1, 2}, {-3, 0.5f});
    EXPECT_EQ(s.reel, -2.0f);
    EXPECT_EQ(s.im, 2.5f);
    EXPECT_EQ(fv::squaredMagnitude({3, -4}), 25.0f);
}

TEST(JuliaPixel, OriginMarkerAndOrientation) {
    for (float s : {0.003f, 1.0f, 1e-7f}) EXPECT_TRUE(same(fv::juliaPixel(384, 512, s, 0, 0, 15), make_float4(0, 0, 1, 1)));
    // c far out, where every nearby point escapes at once (grey 1): only the pixel under c
    // has its red cleared, not its mirror images; so rows grow upwards and columns right.
    const float s = 0.003f, cx = 500 * s, cy = 300 * s;
    EXPECT_TRUE(same(fv::juliaPixel(684, 1012, s, cx, cy, 15), make_float4(0, 1, 1, 1)));
    EXPECT_TRUE(same(fv::juliaPixel(84, 1012, s, cx, cy, 15), make_float4(1, 1, 1, 1)));
    EXPECT_TRUE(same(fv::juliaPixel(684, 12, s, cx, cy, 15), make_float4(1, 1, 1, 1)));
    // A radius of 0.01: 3 pixels (0.009) inside, 4 pixels (0.012) outside.
    EXPECT_EQ(fv::juliaPixel(684, 1015, s, cx, cy, 15).x, 0.0f);
    EXPECT_EQ(fv::juliaPixel(684, 1016, s, cx, cy, 15).x, 1.0f);
}

TEST(JuliaPixel, MarkerComparesInDouble) {
    // Column 513 at scale 0.01f lies exactly 0.01f (just below 0.01) from c = (0, y of
    // row 584), where the point escapes at once.
    const float s = 0.01f, cy = 200 * s;
    ASSERT_LT((double)0.01f, 0.01);
    EXPECT_TRUE(same(fv::juliaPixel(584, 513, s, 0, cy, 15), make_float4(0, 1, 1, 1)));
    const float s2 = nextafterf(0.01f, 1.0f), cy2 = 200 * s2;
    EXPECT_TRUE(same(fv::juliaPixel(584, 513, s2, 0, cy2, 15), make_float4(1, 1, 1, 1)));
}

TEST_F(Fractview, StartViewPicture) {
    viewertest::enterMode<fv::program>(1);
    fv::renderCPU();
    EXPECT_TRUE(same(at(384, 512), make_float4(0, 0, 1, 1)));  // centre, also under the marker
    EXPECT_TRUE(same(at(384, 612), make_float4(0, 0, 1, 1)));  // inside the unit disc
    for (int i : {0, 767})
        for (int j : {0, 1023}) EXPECT_TRUE(same(at(i, j), make_float4(1, 1, 1, 1))) << i << "," << j;
    // Just outside the disc the bands lighten outwards.
    EXPECT_GT(at(384, 512 + 340).x, 0.0f);
    EXPECT_LT(at(384, 512 + 340).x, at(384, 512 + 400).x);
}

struct View {
    float scale, mx, my;
    int prec;
};

TEST_F(Fractview, KernelImageEqualsCpuImageBitForBit) {
    REQUIRE_GPU();
    viewertest::enterMode<fv::program>(2);
    const View views[] = {
        {0.003f, 0, 0, 15},              // start view
        {0.0005f, 0, 1, 50},             // zoomed in: the origin lies on the set's edge for c = i
        {0.001f, 0.3f, 0.35f, 20},       // zoomed in, c and its marker in view
        {0.003f, 0.3f, -0.45f, 1},
        {0.003f, -0.4f, 0.6f, 50},
        {0.0051f, 0.285f, 0.01f, 37},
    };
    std::vector<float4> gpuImage(fv::kPixels);
    for (const View& v : views) {
        fv::scale = v.scale;
        fv::mx = v.mx;
        fv::my = v.my;
        fv::prec = v.prec;
        fv::renderGPU();
        memcpy(gpuImage.data(), fv::pixels, fv::kImageBytes);
        fv::renderCPU();
        int differ = 0;
        std::set<float> reds;
        for (int k = 0; k < fv::kPixels; ++k) {
            differ += memcmp(&gpuImage[k], &fv::pixels[k], sizeof(float4)) != 0;
            reds.insert(fv::pixels[k].x);
        }
        EXPECT_EQ(differ, 0) << "scale " << v.scale << " prec " << v.prec;
        EXPECT_GE(reds.size(), 2u) << "a uniform picture would prove little";
    }
}

// A refused launch is a failed GPU step: no copy, one line, and back to mode 1.
TEST_F(Fractview, RefusedLaunchSkipsTheCopyAndFallsBack) {
    REQUIRE_GPU();
    viewertest::enterMode<fv::program>(2);
    std::vector<float4> pattern(fv::kPixels, make_float4(0.25f, 0.5f, 0.75f, 1));
    memcpy(fv::pixels, pattern.data(), fv::kImageBytes);
    testing::internal::CaptureStderr();
    EXPECT_EQ(fv::renderGPUWith(dim3(1536), dim3(2048)), cudaErrorInvalidConfiguration);
    EXPECT_EQ(memcmp(fv::pixels, pattern.data(), fv::kImageBytes), 0);
    viewer::settleFailure();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("fractview: juliaColorGPU launch failed: ") +
                  cudaGetErrorString(cudaErrorInvalidConfiguration) + "; back to mode 1 (CPU mode)\n");
    EXPECT_EQ(viewer::state.mode, 1);
    EXPECT_EQ(fv::pixels_gpu, nullptr);
    viewertest::enterMode<fv::program>(2);
    EXPECT_EQ(fv::renderGPUWith(dim3(1536), dim3(512)), cudaSuccess);
    EXPECT_TRUE(same(at(384, 512), make_float4(0, 0, 1, 1)));
    EXPECT_TRUE(same(at(0, 0), make_float4(1, 1, 1, 1)));
}

// ---- controls ------------------------------------------------------------------------

TEST_F(Fractview, ClickAndDragSetC) {
    fv::mouse(0, 0, 612, 284);  // GLUT_LEFT_BUTTON, GLUT_DOWN
    EXPECT_FLOAT_EQ(fv::mx, 0.3f);
    EXPECT_FLOAT_EQ(fv::my, 0.3f);
    fv::mouse(2, 1, 512, 384);  // right button release
    EXPECT_EQ(fv::mx, 0.0f);
    EXPECT_EQ(fv::my, 0.0f);
    fv::mouse(1, 0, 0, 767);  // middle button, bottom-left corner
    EXPECT_FLOAT_EQ(fv::mx, -1.536f);
    EXPECT_FLOAT_EQ(fv::my, -1.149f);
    fv::motion(812, 84);
    EXPECT_FLOAT_EQ(fv::mx, 0.9f);
    EXPECT_FLOAT_EQ(fv::my, 0.9f);
    EXPECT_EQ(fv::scale, 0.003f);
}

TEST_F(Fractview, WheelZoomsOnPressAndReleaseWithoutMovingC) {
    fv::mouse(0, 0, 612, 284);
    fv::mouse(3, 0, 100, 100);
    fv::mouse(3, 1, 100, 100);
    EXPECT_EQ(fv::scale, 0.003f / 1.05f / 1.05f);
    EXPECT_FLOAT_EQ(fv::mx, 0.3f);
    EXPECT_FLOAT_EQ(fv::my, 0.3f);
    fv::mouse(4, 0, 900, 700);
    EXPECT_EQ(fv::scale, 0.003f / 1.05f / 1.05f * 1.05f);
    EXPECT_FLOAT_EQ(fv::mx, 0.3f);
    const float before = fv::scale;
    fv::mouse(5, 0, 10, 10);  // no meaning: nothing changes
    fv::mouse(7, 1, 10, 10);
    EXPECT_EQ(fv::scale, before);
    EXPECT_FLOAT_EQ(fv::mx, 0.3f);
    EXPECT_FLOAT_EQ(fv::my, 0.3f);
}

TEST_F(Fractview, ArrowsKeepPrecWithinOneToFifty) {
    for (int k = 0; k < 14; ++k) fv::specialKeys(103, 0, 0);  // GLUT_KEY_DOWN
    EXPECT_EQ(fv::prec, 1);
    fv::specialKeys(103, 0, 0);
    EXPECT_EQ(fv::prec, 1);
    for (int k = 0; k < 60; ++k) fv::specialKeys(101, 0, 0);  // GLUT_KEY_UP
    EXPECT_EQ(fv::prec, 50);
    for (int key : {100, 102, 104, 1, 27}) fv::specialKeys(key, 0, 0);  // left, right, page up ...
    EXPECT_EQ(fv::prec, 50);
    EXPECT_EQ(fv::scale, 0.003f);
}

// ---- modes and their buffers ---------------------------------------------------------

// The buffers taken, in order; at each, the running mode's image must still be there.
std::vector<std::string> taken;
std::vector<float4> shown;
cudaError_t recordTaking(cudaError_t err, const char* what, viewer::Checked kind) {
    if (kind == viewer::Checked::Step) return err;
    taken.push_back(what);
    return err;
}

// The new mode's buffers are taken while the running mode's image is still there: the
// hook sees each allocation, and the image set aside must hold what the running mode drew.
TEST_F(Fractview, SwitchTakesTheNewBuffersBeforeReleasingTheOld) {
    REQUIRE_GPU();
    viewer::allocateMode();
    static float4* running;
    viewer::testFault = [](cudaError_t err, const char* what, viewer::Checked kind) {
        if (!strcmp(what, "pixels"))
            EXPECT_EQ(memcmp(running, shown.data(), fv::kImageBytes), 0) << "the running image went first";
        return recordTaking(err, what, kind);
    };
    for (unsigned char key : {'2', '1', '1'}) {  // '1' twice: the current mode is entered again
        running = fv::pixels;
        shown.assign(fv::kPixels, make_float4(0.5f, (float)key, 0, 1));
        memcpy(running, shown.data(), fv::kImageBytes);
        taken.clear();
        viewer::keyboard(key, 0, 0);
        const std::vector<std::string> want = key == '2' ? std::vector<std::string>{"pixels", "pixels_gpu"}
                                                         : std::vector<std::string>{"pixels"};
        EXPECT_EQ(taken, want);
        EXPECT_NE(fv::pixels, running);
    }
    EXPECT_EQ(viewer::state.mode, 1);
    EXPECT_NE(fv::pixels, nullptr);
    EXPECT_EQ(fv::pixels_gpu, nullptr);
}

TEST_F(Fractview, SwitchesKeepTheViewAndFreeEveryDeviceBuffer) {
    REQUIRE_GPU();
#if GPU_BACKEND_IS_CPU
    const size_t before = gpu::cpu::trackedAllocationCount();
#endif
    fv::mouse(0, 0, 612, 284);
    fv::mouse(3, 0, 0, 0);
    fv::specialKeys(101, 0, 0);
    viewer::allocateMode();
    for (int round = 0; round < 3; ++round) {
        viewer::keyboard('2', 0, 0);
        ASSERT_NE(fv::pixels_gpu, nullptr);
#if GPU_BACKEND_IS_CPU
        EXPECT_EQ(gpu::cpu::trackedAllocationCount(), before + 1);
#endif
        viewer::keyboard('1', 0, 0);
        EXPECT_EQ(fv::pixels_gpu, nullptr);
#if GPU_BACKEND_IS_CPU
        EXPECT_EQ(gpu::cpu::trackedAllocationCount(), before);
#endif
    }
    EXPECT_FLOAT_EQ(fv::mx, 0.3f);
    EXPECT_EQ(fv::scale, 0.003f / 1.05f);
    EXPECT_EQ(fv::prec, 16);
    // The GPU mode computes in the frame and names itself in the title.
    static std::string title;
    viewer::platform = viewer::Platform{[] { return 501; }, [](const char* t) { title = t; }};
    viewer::keyboard('2', 0, 0);
    viewer::computeFrame();
    EXPECT_EQ(title, "Julia Fractals:  GPU mode, 2.00 FPS");
    EXPECT_TRUE(same(at(767, 1023), make_float4(1, 1, 1, 1)));
}

TEST_F(Fractview, TitleRefreshAndCompute) {
    static int now = 0;
    static std::string title;
    viewer::platform = viewer::Platform{[] { return now; }, [](const char* t) { title = t; }};
    title.clear();
    fv::prec = 1;  // keeps each frame short
    viewer::allocateMode();
    for (int k = 1; k <= 29; ++k) {
        now = 500 * k / 29;
        viewer::computeFrame();
    }
    EXPECT_EQ(title, "");  // 500 ms is not more than 500 ms
    EXPECT_TRUE(same(at(0, 0), make_float4(1, 1, 1, 1)));  // the CPU mode computed
    now = 600;
    viewer::computeFrame();
    EXPECT_EQ(title, "Julia Fractals:  CPU mode, 50.00 FPS");
    now = 1100;
    viewer::computeFrame();
    EXPECT_EQ(title, "Julia Fractals:  CPU mode, 50.00 FPS");
    now = 1101;
    viewer::computeFrame();
    EXPECT_EQ(title, "Julia Fractals:  CPU mode, 3.99 FPS");  // 2 frames in 501 ms
}

}  // namespace

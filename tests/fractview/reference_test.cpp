// fractview against its arithmetic written out here step by step (float, one rounding per
// operation, in the stated order), on views where rounding shows: the CPU loop and the
// kernel must give the same bits, and the controls the same view.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "fractview/kernel.h"
#include "gpu_test.h"
#include "viewer_test.h"

namespace fv = fractview;

namespace {

float refGrey(float x, float y, float cr, float ci, int p) {
    float zr = x, zi = y;
    for (int i = 0; i < p; ++i) {
        const float re = zr * zr - zi * zi, im = zr * zi + zr * zi;  // z * z
        zr = re + cr;                                                 // + c
        zi = im + ci;
        if (zr * zr + zi * zi > 4.0f) return 1.0f - (float)i / (float)p;
    }
    return 0.0f;
}

float4 refPixel(int i, int j, float s, float cr, float ci, int p) {
    const float x = (float)(j - 512) * s, y = (float)(i - 384) * s;
    const float g = refGrey(x, y, cr, ci, p);
    const float dx = x - cr, dy = y - ci;
    const float d = std::sqrt(dx * dx + dy * dy);
    return make_float4((double)d < 0.01 ? 0.0f : g, g, 1.0f, 1.0f);  // marker: compared in double
}

struct View {
    float scale, mx, my;
    int prec;
};
const View kViews[] = {
    {0.0029f, 0.285f, 0.01f, 50},       // c in view and escaping: its marker shows
    {0.00071f, -0.7269f, 0.1889f, 50},  // zoomed onto a ragged edge
    {0.0047f, 0.45f, 0.3f, 13},
    {4.1e-5f, -0.1011f, 0.9563f, 50},   // deep zoom: the origin lies on the set's edge
    {0.01f, 0, 200 * 0.01f, 9},         // a pixel exactly 0.01f (below 0.01) from c
};

class FractviewReference : public testing::Test {
protected:
    void SetUp() override { fv::resetView(); }
    void TearDown() override { viewer::releaseMode(); }
};

// Mode 1 and mode 2 (its buffers serve both): every pixel of every view; the views must
// exercise escape bands and the marker.
TEST_F(FractviewReference, BothModesMatchBitForBit) {
    const int modes = gpu::deviceAvailable() ? 2 : 1;
    modes == 2 ? viewertest::enterMode<fv::program>(2) : viewertest::enterMode<fv::program>(1);
    std::vector<float4> want(fv::kPixels);
    int marker = 0;
    for (const View& v : kViews) {
        int bands = 0;
        for (int k = 0; k < fv::kPixels; ++k) {
            want[k] = refPixel(k / 1024, k % 1024, v.scale, v.mx, v.my, v.prec);
            bands += want[k].y > 0 && want[k].y < 1;
            marker += want[k].x == 0 && want[k].y > 0;
        }
        EXPECT_GT(bands, 10000) << "a view with few escape bands proves little";
        fv::scale = v.scale, fv::mx = v.mx, fv::my = v.my, fv::prec = v.prec;
        for (int mode = 1; mode <= modes; ++mode) {
            mode == 1 ? fv::renderCPU() : fv::renderGPU();
            int differ = 0;
            for (int k = 0; k < fv::kPixels; ++k)
                if (memcmp(&want[k], &fv::pixels[k], sizeof(float4)) != 0 && ++differ <= 3)
                    ADD_FAILURE() << "mode " << mode << " scale " << v.scale << " pixel " << k;
            EXPECT_EQ(differ, 0) << "mode " << mode << " scale " << v.scale;
        }
    }
    EXPECT_GT(marker, 20);
    if (modes == 1) GTEST_SKIP() << "no CUDA device answers: the kernel was not compared";
}

// Clicks, drags and wheel steps in turn; after each the view is exactly what the rules give:
// c = ((x - 512) x scale, -((y - 384) x scale)), wheel 3 divides by 1.05f, 4 multiplies.
TEST_F(FractviewReference, ControlsGiveTheExactView) {
    const struct { int button, x, y; } events[] = {  // button -1: motion
        {0, 612, 284}, {3, 5, 5},   {3, 700, 9}, {3, 1, 1},   {3, 1, 1},      {3, 1, 1},  {3, 1, 1},   {2, 1001, 3},
        {-1, 13, 766}, {4, 0, 0},   {4, 0, 0},   {3, 1, 1},   {1, 511, 385},  {3, 2, 2},  {-1, 777, 123}, {4, 3, 3},
        {5, 900, 900}};
    float s = 0.003f, cr = 0, ci = 0;
    for (const auto& e : events) {
        if (e.button <= 2) {
            cr = (float)(e.x - 512) * s;
            ci = -((float)(e.y - 384) * s);
        }
        if (e.button == 3) s = s / 1.05f;
        if (e.button == 4) s = s * 1.05f;
        e.button < 0 ? fv::motion(e.x, e.y) : fv::mouse(e.button, 0, e.x, e.y);
        ASSERT_TRUE(fv::scale == s && fv::mx == cr && fv::my == ci) << e.button << " at " << e.x << "," << e.y;
    }
    fv::resetView();
    fv::mouse(0, 0, 612, 284);  // the values the controls are described with
    EXPECT_EQ(fv::mx, 0.3f);
    EXPECT_EQ(fv::my, 0.3f);
    fv::mouse(4, 1, 0, 0);
    EXPECT_EQ(fv::scale, 0.003f * 1.05f);
}

}  // namespace

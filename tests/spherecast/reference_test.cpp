// spherecast against its scene and pixel rule written out here step by step in float: a
// random scene from a fixed draw sequence (with equal-key spheres planted in it), traced
// under views where rounding shows, must come out of all three modes bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "gpu_test.h"
#include "spherecast_test.h"

using namespace sctest;

namespace {

// Seven draws a sphere: x, y, z, r, g, b, radius (records laid out r, g, b, radius, x, y, z).
std::vector<sc::Sphere> refScene(const std::vector<int>& d) {
    std::vector<sc::Sphere> s;
    for (size_t k = 0; k + 7 <= d.size(); k += 7)
        s.push_back({(float)d[k + 3] / 32767.0f, (float)d[k + 4] / 32767.0f, (float)d[k + 5] / 32767.0f,
                     (float)(d[k + 6] % 150 + 15), (float)(d[k] % 1024), (float)(d[k + 1] % 768),
                     (float)(d[k + 2] % 200)});
    return s;
}

// The pixel rule, hit test included; w is 1 where a sphere covers the pixel, else 0 and
// not compared (the rule leaves that alpha alone). Equal keys are counted in *ties.
float4 refPixel(int i, int j, const std::vector<sc::Sphere>& scene, float scale, float offX, float offY, int* ties) {
    const float x = (float)(j - 512) * scale - offX, y = (float)(i - 384) * scale - offY;
    float4 p = make_float4(0, 0, 0, 0);
    float closest = -2e10f;
    for (const sc::Sphere& s : scene) {
        const float dx = x - s.x, dy = y - s.y;
        const float dz2 = s.radius * s.radius - dx * dx - dy * dy;
        if (!(dz2 > 0)) continue;  // a miss; on a hit the height dz + z tells nothing more
        const float sh = std::sqrt(dz2) / s.radius;
        const float tmp = s.z * sh;
        *ties += tmp == closest;
        if (tmp > closest) {
            closest = tmp;
            p = make_float4(s.r * sh, s.g * sh, s.b * sh, 1.0f);
        }
    }
    return p;
}

// 20 spheres from the C standard's sample generator (draws 0..32767), seed 2024; sphere 5
// repeats sphere 4's place and size (equal keys), 9 and 10 share a place at z = 0.
std::vector<int> sceneDraws() {
    unsigned long next = 2024;
    std::vector<int> d(7 * 20);
    for (int& v : d) {
        next = next * 1103515245 + 12345;
        v = int(next / 65536 % 32768);
    }
    for (int f : {0, 1, 2, 6}) d[35 + f] = d[28 + f];
    d[65] = d[72] = 0;
    for (int f : {0, 1, 6}) d[70 + f] = d[63 + f];
    return d;
}

class SpherecastReference : public testing::Test {
protected:
    void SetUp() override { resetState(); }
    void TearDown() override { resetState(); }
};

TEST_F(SpherecastReference, EveryModeTracesTheRandomSceneBitForBit) {
    const std::vector<int> draws = sceneDraws();
    const std::vector<sc::Sphere> scene = refScene(draws);
    const struct { float scale, offX, offY; } views[] = {
        {1.0f, 0, 0},                // the start view: whole-number points, exact rims
        {1.07f, -511.7f, -383.9f},   // the whole scene
        {0.237f, -800.3f, -450.7f},  // zoomed in
        {2.93f, -130.1f, 170.9f},    // zoomed out
    };
    const int modes = gpu::deviceAvailable() ? 3 : 1;
    int ties = 0;
    for (const auto& v : views) {
        sc::scale = v.scale, sc::offsetX = v.offX, sc::offsetY = v.offY;
        std::vector<float4> want(sc::pixelCount);
        int lit = 0;
        for (int k = 0; k < sc::pixelCount; ++k) {
            want[k] = refPixel(k / 1024, k % 1024, scene, v.scale, v.offX, v.offY, &ties);
            lit += want[k].w == 1.0f;
        }
        EXPECT_GT(lit, 20000) << "scale " << v.scale;
        for (int mode = 1; mode <= modes; ++mode) {
            useScript(draws);
            viewer::switchMode(mode);
            ASSERT_EQ(sc::spheres_count, 20);
            ASSERT_EQ(memcmp(sc::spheres, scene.data(), sizeof(sc::Sphere) * 20), 0) << "mode " << mode;
            viewer::program->params->modes[mode - 1].compute();
            int differ = 0;
            for (int k = 0; k < sc::pixelCount; ++k)
                if (memcmp(&want[k], &sc::pixels[k], want[k].w == 1.0f ? 16 : 12) != 0 && ++differ <= 3)
                    ADD_FAILURE() << "mode " << mode << " scale " << v.scale << " pixel " << k;
            EXPECT_EQ(differ, 0) << "mode " << mode << " scale " << v.scale;
        }
    }
    EXPECT_GT(ties, 1000) << "the equal-key spheres must be in view";
    if (modes == 1) GTEST_SKIP() << "no CUDA device answers: modes 2 and 3 not compared";
}

// Pans and wheel steps in turn: offsets (x - 512) x scale and -((y - 384) x scale), the
// wheel dividing or multiplying by the float 1.05 (bits 0x3F866666).
TEST_F(SpherecastReference, ControlsGiveTheExactView) {
    const struct { int button, x, y; } events[] = {
        {3, 0, 0}, {3, 9, 9},     {0, 613, 281}, {-1, 1000, 17}, {4, 1, 1},   {2, 3, 760},  {3, 5, 5},
        {3, 5, 5}, {3, 5, 5},     {3, 5, 5},     {3, 5, 5},      {3, 5, 5},   {3, 5, 5},    {3, 5, 5},
        {3, 5, 5}, {-1, 77, 701}, {4, 0, 0},     {4, 0, 0},      {4, 0, 0},   {1, 512, 384}, {6, 100, 100}};
    float s = 1.0f, ox = 0, oy = 0;
    for (const auto& e : events) {
        if (e.button <= 2) {
            ox = (float)(e.x - 512) * s;
            oy = -((float)(e.y - 384) * s);
        }
        if (e.button == 3) s = s / 1.05f;
        if (e.button == 4) s = s * 1.05f;
        e.button < 0 ? sc::motion(e.x, e.y) : sc::mouse(e.button, 1, e.x, e.y);
        ASSERT_TRUE(sc::scale == s && sc::offsetX == ox && sc::offsetY == oy) << e.button << " at " << e.x;
    }
    sc::scale = 1.0f;
    sc::mouse(4, 0, 0, 0);
    uint32_t bits;
    memcpy(&bits, &sc::scale, 4);
    EXPECT_EQ(bits, 0x3F866666u);
}

}  // namespace

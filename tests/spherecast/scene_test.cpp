// The scene record, its hit test, the pixel rule and the random scene.
#include <gtest/gtest.h>

#include <cmath>

#include "spherecast_test.h"
#include "viewer_test.h"

using namespace sctest;

namespace {

class SpherecastScene : public testing::Test {
protected:
    void SetUp() override { resetState(); }
    void TearDown() override { resetState(); }
};

// The pixel that sees scene point (0, 0) under the initial view.
float4 atOrigin(const std::vector<sc::Sphere>& scene) {
    return sc::tracePixel(384, 512, scene.data(), (int)scene.size(), 1.0f, 0.0f, 0.0f);
}

TEST_F(SpherecastScene, HitCoversOnlyTheOpenDisc) {
    sc::Sphere s = sphere(10, 20, 7, 5);
    float sh = -1;
    // (13, 24) is at distance 5 exactly: dz2 = 0 is not a hit and leaves the shade alone.
    EXPECT_EQ(s.hit(13, 24, &sh), sc::missValue);
    EXPECT_EQ(sh, -1);
    EXPECT_EQ(s.hit(16, 20, &sh), sc::missValue);
    EXPECT_EQ(sh, -1);
    // Just inside the rim.
    EXPECT_GT(s.hit(13, 23.99f, &sh), sc::missValue);
    EXPECT_GT(sh, 0);
    EXPECT_LT(sh, 0.1f);
}

TEST_F(SpherecastScene, HitAtTheCentreHasShadeOneAndTheSurfaceHeight) {
    sc::Sphere s = sphere(10, 20, 7, 5);
    float sh = -1;
    EXPECT_EQ(s.hit(10, 20, &sh), 12.0f);  // dz + z
    EXPECT_EQ(sh, 1.0f);
    // 3-4-5: dz = 4, shade 4/5.
    EXPECT_EQ(s.hit(13, 20, &sh), 11.0f);
    EXPECT_EQ(sh, 4.0f / 5.0f);
    EXPECT_EQ(sc::missValue, -20000000000.0f);
}

TEST_F(SpherecastScene, CentrePixelTakesTheColourUnchanged) {
    float4 p = atOrigin({sphere(0, 0, 50, 30, 0.25f, 0.5f, 0.75f)});
    EXPECT_EQ(p.x, 0.25f);
    EXPECT_EQ(p.y, 0.5f);
    EXPECT_EQ(p.z, 0.75f);
    EXPECT_EQ(p.w, 1.0f);
}

TEST_F(SpherecastScene, DepthKeyIsCentreDepthTimesShadeNotSurfaceHeight) {
    // At the origin: A (z 100) has dz 7 of radius 25, shade 0.28, key 28, surface 107;
    // B (z 50) has dz 4 of radius 5, shade 0.8, key 40, surface 54. B wins in either order.
    sc::Sphere a = sphere(24, 0, 100, 25, 1, 0, 0);
    sc::Sphere b = sphere(0, 3, 50, 5, 0, 0.5f, 1);
    for (auto scene : {std::vector<sc::Sphere>{a, b}, std::vector<sc::Sphere>{b, a}}) {
        float4 p = atOrigin(scene);
        EXPECT_EQ(p.x, 0.0f);
        EXPECT_EQ(p.y, 0.5f * 0.8f);
        EXPECT_EQ(p.z, 0.8f);
    }
}

TEST_F(SpherecastScene, EqualKeysKeepTheLowerIndex) {
    sc::Sphere first = sphere(0, 0, 60, 10, 1, 0, 0);
    sc::Sphere second = sphere(0, 0, 60, 10, 0, 1, 0);
    float4 p = atOrigin({first, second});
    EXPECT_EQ(p.x, 1.0f);
    EXPECT_EQ(p.y, 0.0f);
    // A later sphere with a strictly larger key does win.
    second.z = 61;
    p = atOrigin({first, second});
    EXPECT_EQ(p.y, 1.0f);
}

TEST_F(SpherecastScene, FlatSpheresHaveKeyZero) {
    sc::Sphere flatRed = sphere(0, 0, 0, 10, 1, 0, 0);
    sc::Sphere flatGreen = sphere(0, 0, 0, 10, 0, 1, 0);
    sc::Sphere deepBlue = sphere(0, 0, 1, 10, 0, 0, 1);
    // Alone, a z = 0 sphere is shown (key 0 beats the miss value).
    EXPECT_EQ(atOrigin({flatRed}).x, 1.0f);
    EXPECT_EQ(atOrigin({flatRed}).w, 1.0f);
    // Among key-0 spheres the lowest index stays; any positive key beats them.
    EXPECT_EQ(atOrigin({flatRed, flatGreen}).x, 1.0f);
    EXPECT_EQ(atOrigin({flatGreen, flatRed}).y, 1.0f);
    EXPECT_EQ(atOrigin({flatRed, deepBlue}).z, 1.0f);
    EXPECT_EQ(atOrigin({flatRed, deepBlue}).x, 0.0f);
}

TEST_F(SpherecastScene, UncoveredPixelsAreBlackWithAlphaZero) {
    float4 p = atOrigin({sphere(100, 100, 50, 10)});
    EXPECT_TRUE(sameBits(p, make_float4(0, 0, 0, 0)));
    p = atOrigin({});
    EXPECT_TRUE(sameBits(p, make_float4(0, 0, 0, 0)));
}

TEST_F(SpherecastScene, EmptySceneRendersBlack) {
    sc::spheres_count = 0;
    viewertest::enterMode<sc::program>(1);
    for (int k = 0; k < sc::pixelCount; ++k) sc::pixels[k] = make_float4(1, 1, 1, 1);
    sc::renderCPU();
    EXPECT_EQ(litPixels(image()), 0);
    for (int k = 0; k < sc::pixelCount; ++k) ASSERT_TRUE(sameBits(sc::pixels[k], make_float4(0, 0, 0, 0))) << k;
}

TEST_F(SpherecastScene, PixelsMapToTheSceneThroughScaleAndOffsets) {
    // Scene x = (j - 512) * scale - offsetX, y = (i - 384) * scale - offsetY: with scale 0.5
    // and offsets (3, -2), pixel (400, 520) sees (1, 10).
    std::vector<sc::Sphere> scene{sphere(1, 10, 20, 0.75f, 0.5f, 0.5f, 0.5f)};
    auto at = [&](int i, int j) { return sc::tracePixel(i, j, scene.data(), 1, 0.5f, 3.0f, -2.0f); };
    EXPECT_EQ(at(400, 520).x, 0.5f);  // the centre: shade 1
    EXPECT_EQ(at(400, 521).w, 1.0f);  // half a unit off
    EXPECT_EQ(at(400, 522).w, 0.0f);  // one unit off: outside radius 0.75
    EXPECT_EQ(at(400, 518).w, 0.0f);
    EXPECT_EQ(at(402, 520).w, 0.0f);
    EXPECT_EQ(at(398, 520).w, 0.0f);
}

TEST_F(SpherecastScene, RandomSphereDrawsSevenValuesInOrder) {
    // Draws x, y, z, r, g, b, radius, and the sphere they make.
    const struct {
        std::vector<int> draws;
        sc::Sphere expected;  // r, g, b, radius, x, y, z
    } cases[] = {
        {{1030, 770, 205, 0, 32767, 16384, 149}, {0.0f, 1.0f, 16384 / 32767.0f, 164.0f, 6.0f, 2.0f, 5.0f}},
        {{1023, 767, 199, 1, 2, 3, 150}, {1 / 32767.0f, 2 / 32767.0f, 3 / 32767.0f, 15.0f, 1023.0f, 767.0f, 199.0f}},
    };
    for (const auto& c : cases) {
        useScript(c.draws);
        sc::Sphere s;
        sc::randomSphere(&s);
        const sc::Sphere& e = c.expected;
        EXPECT_EQ(scriptPos, 7u);
        EXPECT_EQ(std::vector<float>({s.x, s.y, s.z, s.r, s.g, s.b, s.radius}),
                  std::vector<float>({e.x, e.y, e.z, e.r, e.g, e.b, e.radius}));
    }
}

TEST_F(SpherecastScene, DrawsStayWithin0To32767WhateverTheGenerator) {
    // A generator with a wider range (RAND_MAX 2^31 - 1 here) must not give colours above 1.
    useScript({0, 0, 0, 0x7FFFFFFF, 0x7FFF8000, 0x12345678, 0x7FFFFFFF});
    sc::Sphere s;
    sc::randomSphere(&s);
    EXPECT_EQ(s.r, 1.0f);
    EXPECT_EQ(s.g, 0.0f);
    EXPECT_LE(s.b, 1.0f);
    EXPECT_GE(s.radius, 15.0f);
    EXPECT_LE(s.radius, 164.0f);
    srand(7);
    for (int k = 0; k < 10000; ++k) {
        int d = sc::randomDraw();
        ASSERT_GE(d, 0);
        ASSERT_LE(d, 32767);
    }
}

TEST_F(SpherecastScene, GenerateSpheresFillsRecordsInIndexOrder) {
    std::vector<int> draws;
    for (int k = 0; k < 3 * 7; ++k) draws.push_back(k);
    useScript(draws);
    sc::spheres_count = 3;
    viewertest::enterMode<sc::program>(1);  // allocates and generates
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(sc::spheres[k].x, (float)(7 * k)) << k;
        EXPECT_EQ(sc::spheres[k].radius, (float)((7 * k + 6) % 150 + 15)) << k;
    }
    EXPECT_EQ(scriptPos, 21u);
}

TEST_F(SpherecastScene, RandomScenesStayInTheirRanges) {
    srand(12345);
    sc::spheres_count = sc::maxSphereCount;
    viewertest::enterMode<sc::program>(1);
    for (int k = 0; k < sc::spheres_count; ++k) {
        const sc::Sphere& s = sc::spheres[k];
        for (float c : {s.r, s.g, s.b}) {
            EXPECT_GE(c, 0.0f);
            EXPECT_LE(c, 1.0f);
        }
        EXPECT_TRUE(s.x >= 0 && s.x <= 1023 && s.x == std::floor(s.x)) << k;
        EXPECT_TRUE(s.y >= 0 && s.y <= 767 && s.y == std::floor(s.y)) << k;
        EXPECT_TRUE(s.z >= 0 && s.z <= 199 && s.z == std::floor(s.z)) << k;
        EXPECT_TRUE(s.radius >= 15 && s.radius <= 164 && s.radius == std::floor(s.radius)) << k;
    }
}

}  // namespace

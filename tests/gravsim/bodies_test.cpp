// The body state and the CPU reference step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "gravsim/kernel.h"
#include "viewer_test.h"

namespace {

using namespace gravsim;

class Bodies : public ::testing::Test {
protected:
    void SetUp() override { srand(12345); }
    void TearDown() override {
        viewer::releaseMode();
        bodyCount = startBodyCount;
    }
    // bodyCount bodies at the given positions and velocities (w = 1) and masses.
    void place(const std::vector<float4>& p, const std::vector<float4>& v, const std::vector<float>& m) {
        bodyCount = (int)p.size();
        viewertest::enterMode<gravsim::program>(1);
        for (int i = 0; i < bodyCount; ++i) {
            pos[i] = p[i];
            vel[i] = v[i];
            mass[i] = m[i];
        }
    }
};

float4 at(float x, float y, float z) { return make_float4(x, y, z, 1.0f); }

TEST_F(Bodies, OneBodyMovesInAStraightLine) {
    bodyCount = 1;
    viewertest::enterMode<gravsim::program>(1);
    const float4 v = vel[0];
    float4 p = pos[0];
    for (int step = 0; step < 50; ++step) {
        stepCPU();
        p = make_float4(p.x + v.x, p.y + v.y, p.z + v.z, 1.0f);
        ASSERT_EQ(pos[0].x, p.x);
        ASSERT_EQ(pos[0].y, p.y);
        ASSERT_EQ(pos[0].z, p.z);
        ASSERT_EQ(vel[0].x, v.x);  // no pull from itself: exactly zero
        ASSERT_EQ(vel[0].y, v.y);
        ASSERT_EQ(vel[0].z, v.z);
    }
}

TEST_F(Bodies, TwoBodiesAtRestAtDistanceOne) {
    const float m1 = 2.5f, m2 = 4.0f;
    place({at(0, 0, 0), at(1, 0, 0)}, {at(0, 0, 0), at(0, 0, 0)}, {m1, m2});
    stepCPU();
    const double pull = 1e-7 / std::pow(1.01, 1.5);  // about 9.852e-8 per unit of mass
    EXPECT_EQ(vel[0].x, (float)(pull * m2));
    EXPECT_EQ(vel[1].x, (float)(-pull * m1));
    EXPECT_NEAR(vel[0].x, 9.852e-8 * m2, 1e-11);
    EXPECT_EQ(vel[0].y, 0.0f);
    EXPECT_EQ(vel[0].z, 0.0f);
    // Positions move with the old velocity, here zero.
    EXPECT_EQ(pos[0].x, 0.0f);
    EXPECT_EQ(pos[1].x, 1.0f);
    stepCPU();  // now they move towards each other
    EXPECT_EQ(pos[0].x, (float)(pull * m2));
    EXPECT_GT(vel[0].x, (float)(pull * m2));
}

// Every body sees the positions of the previous step: exchanging the two moving bodies
// exchanges the results bit for bit, which an in-place update would not.
TEST_F(Bodies, UpdateOrderDoesNotMatter) {
    const std::vector<float4> p{at(0.1f, -0.2f, 0.3f), at(-0.4f, 0.5f, 0.05f)};
    const std::vector<float4> v{at(0.01f, 0.02f, -0.03f), at(-0.02f, 0.01f, 0.04f)};
    const std::vector<float> m{1.5f, 3.25f};
    place(p, v, m);
    stepCPU();
    stepCPU();
    const float4 a0 = pos[0], a1 = pos[1], b0 = vel[0], b1 = vel[1];
    viewer::releaseMode();
    place({p[1], p[0]}, {v[1], v[0]}, {m[1], m[0]});
    stepCPU();
    stepCPU();
    EXPECT_EQ(pos[0].x, a1.x);
    EXPECT_EQ(pos[0].z, a1.z);
    EXPECT_EQ(pos[1].y, a0.y);
    EXPECT_EQ(vel[0].x, b1.x);
    EXPECT_EQ(vel[0].y, b1.y);
    EXPECT_EQ(vel[1].x, b0.x);
    EXPECT_EQ(vel[1].z, b0.z);
}

TEST_F(Bodies, WStaysOneAndTheCloudMoves) {
    bodyCount = 200;
    viewertest::enterMode<gravsim::program>(1);
    const float4 first = pos[0];
    for (int step = 0; step < 5; ++step) stepCPU();
    for (int i = 0; i < bodyCount; ++i) {
        ASSERT_EQ(pos[i].w, 1.0f);
        ASSERT_EQ(vel[i].w, 1.0f);
    }
    EXPECT_NE(pos[0].x, first.x);
}

TEST_F(Bodies, GeneratedRanges) {
    bodyCount = 20000;
    viewertest::enterMode<gravsim::program>(1);
    bool massAtOne = false;
    for (int i = 0; i < bodyCount; ++i) {
        ASSERT_LT(std::sqrt(pos[i].x * pos[i].x + pos[i].y * pos[i].y + pos[i].z * pos[i].z), 1.0f);
        ASSERT_LT(std::sqrt(vel[i].x * vel[i].x + vel[i].y * vel[i].y + vel[i].z * vel[i].z), 1e-4f);
        ASSERT_EQ(pos[i].w, 1.0f);
        ASSERT_EQ(vel[i].w, 1.0f);
        ASSERT_GE(mass[i], 1.0f);
        ASSERT_LE(mass[i], 4.0f * 0.999f + 1.0f);
        // On the grid 1.000, 1.004, ...
        const double k = (mass[i] - 1.0) / 0.004;
        ASSERT_NEAR(k, std::round(k), 1e-3);
        massAtOne = massAtOne || mass[i] == 1.0f;
        ASSERT_TRUE(std::isfinite(pos[i].x) && std::isfinite(vel[i].x));
    }
    EXPECT_TRUE(massAtOne);
}

// Nine draws per body: four per position, then four per velocity, then one per mass.
TEST_F(Bodies, DrawOrder) {
    const int n = 3;
    srand(99);
    std::vector<int> draws(9 * n + 1);
    for (int& d : draws) d = rand() % 1000;
    srand(99);
    bodyCount = n;
    viewertest::enterMode<gravsim::program>(1);
    EXPECT_EQ(rand() % 1000, draws[9 * n]);  // nothing more, nothing less was drawn
    auto expect = [&](const float4& got, int first, float scale) {
        float c[3];
        for (int k = 0; k < 3; ++k) c[k] = (float)draws[first + k] / 1000.0f * 2.0f - 1.0f;
        float s = (float)draws[first + 3] / 1000.0f;
        float f = s / sqrtf(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        EXPECT_EQ(got.x, f * scale * c[0]);
        EXPECT_EQ(got.y, f * scale * c[1]);
        EXPECT_EQ(got.z, f * scale * c[2]);
    };
    for (int i = 0; i < n; ++i) {
        expect(pos[i], 4 * i, 1.0f);
        expect(vel[i], 4 * n + 4 * i, 1e-4f);
        EXPECT_EQ(mass[i], 4.0f * ((float)draws[8 * n + i] / 1000.0f) + 1.0f);
    }
}

TEST_F(Bodies, FreeBodiesNullsAndIsRepeatable) {
    bodyCount = 4;
    viewertest::enterMode<gravsim::program>(1);
    viewer::releaseMode();
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(vel, nullptr);
    EXPECT_EQ(mass, nullptr);
    viewer::releaseMode();  // null arrays: nothing to do
}

}  // namespace

// randomVectors with a scripted rand(): this executable defines rand() itself, so the
// draws the generator sees are chosen by the test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <deque>

#include "gravsim/kernel.h"

namespace {
std::deque<int> script;
}

extern "C" int rand() noexcept {
    if (script.empty()) return 0;
    int v = script.front();
    script.pop_front();
    return v;
}

namespace {

TEST(RandomVectors, ZeroLengthDirectionIsDrawnAgain) {
    // 500, 500, 500 is the direction (0, 0, 0); the next three draws replace it, and the
    // length draw comes after them.
    script = {500, 500, 500, 100, 1200, 2300, 400, /* second vector */ 1999, 500, 500, 250};
    float4* v = gravsim::randomVectors(2, 2.0f);
    EXPECT_TRUE(script.empty());
    float x = 100 / 1000.0f * 2.0f - 1.0f, y = 200 / 1000.0f * 2.0f - 1.0f, z = 300 / 1000.0f * 2.0f - 1.0f;
    float f = 0.4f / sqrtf(x * x + y * y + z * z);
    EXPECT_EQ(v[0].x, f * 2.0f * x);
    EXPECT_EQ(v[0].y, f * 2.0f * y);
    EXPECT_EQ(v[0].z, f * 2.0f * z);
    EXPECT_EQ(v[0].w, 1.0f);
    // (0.998, 0, 0) has a length: kept, scaled to 0.25 * 2.
    EXPECT_FLOAT_EQ(v[1].x, 0.5f);
    EXPECT_EQ(v[1].y, 0.0f);
    EXPECT_EQ(v[1].z, 0.0f);
    free(v);
}

TEST(RandomFloats, GridFromTheDraws) {
    script = {0, 999, 1250};
    float* m = gravsim::randomFloats(3, 1.0f, 5.0f);
    EXPECT_EQ(m[0], 1.0f);
    EXPECT_EQ(m[1], 4.0f * (999 / 1000.0f) + 1.0f);
    EXPECT_FLOAT_EQ(m[1], 4.996f);
    EXPECT_EQ(m[2], 4.0f * 0.25f + 1.0f);
    free(m);
}

}  // namespace

// gravsim in the viewer frame: mode keys, allocation and release, the arrow-key ladder
// with its ceiling, the title's count, and allocation failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gpu_test.h"
#include "gravsim/kernel.h"
#include "viewer/frame.h"
#include "viewer_test.h"

namespace {

using namespace gravsim;

int fakeNow = 0;
std::string lastTitle;
int fakeElapsed() { return fakeNow; }
void fakeTitle(const char* t) { lastTitle = t; }

viewer::Program program;

constexpr int kUp = 101, kDown = 103, kLeft = 100;

class Gravsim : public ::testing::Test {
protected:
    void SetUp() override {
        program = gravsim::program(nullptr);
        viewer::program = &program;
        viewer::platform = viewer::Platform{fakeElapsed, fakeTitle};
        viewer::state = viewer::State{};
        fakeNow = 0;
        bodyCount = startBodyCount;
        srand(1);
#if GPU_BACKEND_IS_CPU
        baseline = gpu::cpu::trackedAllocationCount();
#endif
        viewer::switchMode(1);
    }
    void TearDown() override {
        viewer::releaseMode();
        bodyCount = startBodyCount;
#if GPU_BACKEND_IS_CPU
        EXPECT_EQ(gpu::cpu::trackedAllocationCount(), baseline) << "device memory left behind";
#endif
    }
    size_t baseline = 0;
};

std::vector<float4> positions() { return std::vector<float4>(pos, pos + bodyCount); }
bool samePositions(const std::vector<float4>& a) {
    return (int)a.size() == bodyCount && std::memcmp(a.data(), pos, a.size() * sizeof(float4)) == 0;
}

TEST_F(Gravsim, ModeKeysAndOnlyThose) {
    REQUIRE_GPU();  // uses a GPU mode
    ASSERT_NE(pos, nullptr);
    EXPECT_EQ(d_pos0, nullptr);  // mode 1 has no device arrays
    const struct {
        unsigned char key;
        int mode;
    } keys[] = {{'2', 2}, {'"', 3}, {'\'', 4}, {'&', 1}, {'\'', 4}, {'2', 2}};
    for (const auto& k : keys) {
        const std::vector<float4> before = positions();
        viewer::keyboard(k.key, 0, 0);
        EXPECT_EQ(viewer::state.mode, k.mode);
        EXPECT_FALSE(samePositions(before)) << "mode " << k.mode << " did not draw a new cloud";
        EXPECT_EQ(d_mass != nullptr, k.mode != 1);
        if (k.mode >= 3) EXPECT_EQ(currentBuffer, 0);
    }
    // Mode 2 to mode 1 frees the device arrays and keeps new host arrays only.
    viewer::keyboard('&', 0, 0);
    EXPECT_EQ(d_pos0, nullptr);
    EXPECT_EQ(d_pos1, nullptr);
    EXPECT_EQ(d_vel0, nullptr);
    EXPECT_EQ(d_vel1, nullptr);
    EXPECT_EQ(d_mass, nullptr);
    ASSERT_NE(pos, nullptr);
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), baseline);
#endif
    // The digits one, three and four, and anything else, do nothing.
    const std::vector<float4> before = positions();
    for (unsigned char key : {'1', '3', '4', 'a', '(', ' '}) viewer::keyboard(key, 0, 0);
    EXPECT_EQ(viewer::state.mode, 1);
    EXPECT_TRUE(samePositions(before));
    // The key of the current mode starts it again.
    viewer::keyboard('&', 0, 0);
    EXPECT_EQ(viewer::state.mode, 1);
    EXPECT_FALSE(samePositions(before));
}

TEST_F(Gravsim, EveryModeStepsItsOwnArrays) {
    REQUIRE_GPU();  // uses a GPU mode
    for (unsigned char key : {'&', '2', '"', '\''}) {
        viewer::keyboard(key, 0, 0);
        const std::vector<float4> before = positions();
        viewer::computeFrame();
        EXPECT_FALSE(samePositions(before)) << "key " << key;
        for (int i = 0; i < bodyCount; ++i) ASSERT_EQ(pos[i].w, 1.0f);
    }
}

TEST_F(Gravsim, TitleShowsModeAndBodyCount) {
    REQUIRE_GPU();  // uses a GPU mode
    viewer::keyboard('"', 0, 0);
    for (int f = 0; f < 24; ++f) viewer::computeFrame();
    fakeNow = 250;
    viewer::computeFrame();
    EXPECT_EQ(lastTitle, "N-Body (mode: GPU double buffer, bodies: 1024, FPS: 100.00)");
    specialKeys(kUp, 0, 0);
    fakeNow = 451;
    viewer::computeFrame();
    EXPECT_EQ(lastTitle, "N-Body (mode: GPU double buffer, bodies: 1536, FPS: 4.98)");
}

TEST_F(Gravsim, ArrowKeysWalkTheLadder) {
    specialKeys(kUp, 0, 0);
    EXPECT_EQ(bodyCount, 1536);
    specialKeys(kUp, 0, 0);
    EXPECT_EQ(bodyCount, 2048);
    specialKeys(kDown, 0, 0);
    specialKeys(kDown, 0, 0);
    EXPECT_EQ(bodyCount, 1024);
    specialKeys(kDown, 0, 0);
    EXPECT_EQ(bodyCount, 896);

    // All the way down and back up: 1..16 by 1, 32..128 by 16, 256..1024 by 128.
    std::vector<int> down, up;
    for (int k = 0; k < 40; ++k) specialKeys(kDown, 0, 0), down.push_back(bodyCount);
    while (bodyCount < 1024) specialKeys(kUp, 0, 0), up.push_back(bodyCount);
    std::vector<int> ladder;
    for (int c = 1; c <= 16; ++c) ladder.push_back(c);
    for (int c = 32; c <= 128; c += 16) ladder.push_back(c);
    for (int c = 256; c <= 1024; c += 128) ladder.push_back(c);
    EXPECT_EQ(up, std::vector<int>(ladder.begin() + 1, ladder.end()));
    std::vector<int> expectedDown(ladder.rbegin() + 2, ladder.rend());  // from 768 on
    while (expectedDown.size() < down.size()) expectedDown.push_back(1);
    EXPECT_EQ(down, expectedDown);
    EXPECT_EQ(viewer::state.mode, 1);  // the mode stays
}

TEST_F(Gravsim, ArrowKeysReenterTheModeEvenAtOneBody) {
    REQUIRE_GPU();  // uses a GPU mode
    viewer::keyboard('2', 0, 0);
    bodyCount = 1;
    viewer::switchMode(2);
    const std::vector<float4> before = positions();
    specialKeys(kDown, 0, 0);
    EXPECT_EQ(bodyCount, 1);
    EXPECT_EQ(viewer::state.mode, 2);
    EXPECT_FALSE(samePositions(before));  // a new random body
    const std::vector<float4> same = positions();
    specialKeys(kLeft, 0, 0);  // other special keys do nothing
    specialKeys(102, 0, 0);
    EXPECT_TRUE(samePositions(same));
    EXPECT_EQ(bodyCount, 1);
}

// The up arrow stops at the ceiling, where every array of every mode still fits.
TEST_F(Gravsim, BodyCountCeiling) {
    REQUIRE_GPU();  // uses a GPU mode
    static_assert((maxBodyCount - 1536) % 512 == 0, "the ceiling is on the ladder");
    static_assert((int64_t)maxBodyCount * sizeof(float4) < INT32_MAX, "sizes fit an int");
    bodyCount = maxBodyCount - 512;
    specialKeys(kUp, 0, 0);
    EXPECT_EQ(bodyCount, maxBodyCount);
    specialKeys(kUp, 0, 0);
    EXPECT_EQ(bodyCount, maxBodyCount);
    viewer::keyboard('\'', 0, 0);  // every buffer of a GPU mode at the ceiling
    ASSERT_NE(d_pos1, nullptr);
    float4 last;
    ASSERT_EQ(cudaMemcpy(&last, d_pos1 + (maxBodyCount - 1), sizeof last, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(std::memcmp(&last, &pos[maxBodyCount - 1], sizeof last), 0);
    specialKeys(kDown, 0, 0);
    EXPECT_EQ(bodyCount, maxBodyCount - 512);
}

}  // namespace

// gravsim under churn: a thousand random mode keys and arrows from a fixed seed, a frame
// computed after each, then the program's own release. Each mode must hold exactly its
// arrays, at the size of the current body count, and nothing may be left at the end;
// meanwhile the title, the mode, the count and the drawn bodies follow the keys.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "gpu_test.h"
#include "gravsim/kernel.h"
#include "viewer/frame.h"

namespace {

using namespace gravsim;

constexpr int kUp = 101, kDown = 103;  // GLUT_KEY_UP, GLUT_KEY_DOWN
constexpr int kEvents = 1000;
// The walk stays at or below this many bodies: through the three steps of the ladder below
// 1024 and past one block of the kernels, while a step (all pairs, on one thread in the
// CPU mode) stays short.
constexpr int kCountCeiling = 640;

// The counts the arrows walk through, in order, up to the ceiling of the program.
std::vector<int> ladder() {
    std::vector<int> l;
    for (int c = 1; c <= 16; ++c) l.push_back(c);
    for (int c = 32; c <= 128; c += 16) l.push_back(c);
    for (int c = 256; c <= 1024; c += 128) l.push_back(c);
    for (int c = 1536; c <= maxBodyCount; c += 512) l.push_back(c);
    return l;
}

const char* nameOf(int mode) {
    static const char* names[] = {"", "CPU", "GPU", "GPU double buffer", "GPU shared memory"};
    return names[mode];
}

int now = 0;
std::string title;
viewer::Program program;

class GravsimChurn : public ::testing::Test {
protected:
    void SetUp() override {
        program = gravsim::program(nullptr);
        viewer::program = &program;
        viewer::platform = viewer::Platform{[] { return now; }, [](const char* t) { title = t; }};
        viewer::state = viewer::State{};
        now = 0;
        bodyCount = startBodyCount;
        srand(20261207u);
    }
    void TearDown() override {
        viewer::releaseMode();
        bodyCount = startBodyCount;
    }
    void frame() {
        now += gravsim::frame().refreshMs + 1;
        viewer::computeFrame();
    }
};

TEST_F(GravsimChurn, ThousandKeysLeaveNothingBehind) {
    REQUIRE_GPU();  // modes 2 to 4 run kernels
#if GPU_BACKEND_IS_CPU
    const size_t devicesBefore = gpu::cpu::trackedAllocationCount();
    const size_t deviceBytesBefore = gpu::cpu::trackedAllocationBytes();
#endif
    cudaGetLastError();  // clear anything earlier tests left
    const std::vector<int> counts = ladder();
    ASSERT_EQ(counts[29], startBodyCount);
    ASSERT_EQ(counts.back(), maxBodyCount);
    viewer::switchMode(1);  // start-up

    int mode = 1;
    size_t rung = 29;  // where bodyCount stands on the ladder
    std::vector<float4> posBefore, velBefore;

    // What every event must leave: the mode and count pressed, each array at the count's
    // size, and device arrays exactly in the GPU modes.
    auto check = [&] {
        const int n = counts[rung];
        ASSERT_EQ(viewer::state.mode, mode);
        ASSERT_EQ(bodyCount, n);
        ASSERT_TRUE(pos && vel && mass);
#if defined(__GLIBC__)
        ASSERT_GE(malloc_usable_size(pos), n * sizeof(float4));
        ASSERT_GE(malloc_usable_size(vel), n * sizeof(float4));
        ASSERT_GE(malloc_usable_size(mass), n * sizeof(float));
#endif
        const bool gpu = mode >= 2;
        for (const void* d : {(const void*)d_pos0, (const void*)d_pos1, (const void*)d_vel0, (const void*)d_vel1,
                              (const void*)d_mass})
            ASSERT_EQ(d != nullptr, gpu);
        if (mode >= 3) ASSERT_EQ(currentBuffer, 0);  // every entry starts from pair 0
#if GPU_BACKEND_IS_CPU
        ASSERT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore + (gpu ? 5 : 0));
        ASSERT_EQ(gpu::cpu::trackedAllocationBytes(),
                  deviceBytesBefore + (gpu ? (size_t)n * (4 * sizeof(float4) + sizeof(float)) : 0));
#endif
    };

    // Down to one body first, as a user would press it.
    while (counts[rung] > 1) {
        program.specialKeys(kDown, 0, 0);
        --rung;
        ASSERT_NO_FATAL_FAILURE(check());
    }

    std::mt19937 rng(20261207u);
    const unsigned char modeKeys[] = {'&', '2', '"', '\''};
    int switches = 0, arrows = 0, framesPerMode[5] = {}, highest = 0;
    bool climbing = true;
    for (int event = 0; event < kEvents; ++event) {
        // Out of 12: each mode key once, an arrow eight times.
        const unsigned pick = rng() % 12;
        if (pick < 4) {
            mode = (int)pick + 1;
            viewer::keyboard(modeKeys[pick], 0, 0);
            ++switches;
        } else {
            // The walk heads up to the ceiling, then down to one body, and again: three
            // arrows in four go the heading's way.
            if (counts[rung] >= kCountCeiling) climbing = false;
            if (rung == 0) climbing = true;
            const bool up = (pick < 10) == climbing && counts[rung] < kCountCeiling;
            program.specialKeys(up ? kUp : kDown, 0, 0);
            if (up) ++rung;
            else if (rung > 0) --rung;
            ++arrows;
        }
        const int n = counts[rung];
        highest = n > highest ? n : highest;
        SCOPED_TRACE("event " + std::to_string(event) + ", mode " + std::to_string(mode) + ", bodies " +
                     std::to_string(n));
        ASSERT_NO_FATAL_FAILURE(check());

        // Every event entered a mode with a fresh cloud, so one frame moves each body by
        // the velocity it was drawn with, whichever mode steps it and whichever arrays
        // the positions come back from.
        posBefore.assign(pos, pos + n);
        velBefore.assign(vel, vel + n);
        frame();
        ++framesPerMode[mode];
        ASSERT_EQ(title, "N-Body (mode: " + std::string(nameOf(mode)) + ", bodies: " + std::to_string(n) +
                             ", FPS: 4.98)");
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(pos[i].x, posBefore[i].x + velBefore[i].x) << "body " << i;
            ASSERT_EQ(pos[i].y, posBefore[i].y + velBefore[i].y) << "body " << i;
            ASSERT_EQ(pos[i].z, posBefore[i].z + velBefore[i].z) << "body " << i;
            ASSERT_EQ(pos[i].w, 1.0f) << "body " << i;  // drawn as the homogeneous coordinate
        }
        if (mode >= 3) ASSERT_EQ(currentBuffer, 1);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    }
    // The walk really went everywhere it may.
    EXPECT_GT(switches, 250);
    EXPECT_GT(arrows, 500);
    for (int m = 1; m <= 4; ++m) EXPECT_GT(framesPerMode[m], 50) << "mode " << m;
    EXPECT_EQ(highest, kCountCeiling);  // two blocks, the second tile a partial one
    printf("gravsim churn: %d switches, %d arrows, frames per mode %d %d %d %d, up to %d bodies\n", switches, arrows,
           framesPerMode[1], framesPerMode[2], framesPerMode[3], framesPerMode[4], highest);

    viewer::releaseMode();  // what the program does when its main loop returns
    EXPECT_TRUE(!pos && !vel && !mass);
    EXPECT_TRUE(!d_pos0 && !d_pos1 && !d_vel0 && !d_vel1 && !d_mass);
    EXPECT_EQ(currentBuffer, 0);
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore);
    EXPECT_EQ(gpu::cpu::trackedAllocationBytes(), deviceBytesBefore);
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace

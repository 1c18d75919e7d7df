// clusterview under churn: a thousand random mode keys and arrows from a fixed seed, a
// frame computed after each, then the program's own release. Each mode must hold exactly
// its arrays, at the size of the current point count, and nothing may be left at the end;
// meanwhile the title, the mode, the count and the drawn colours follow the keys.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "gpu_test.h"
#include "kmeans_test.h"
#include "viewer/frame.h"

namespace cv = clusterview;

namespace {

constexpr int kUp = 101, kDown = 103;  // GLUT_KEY_UP, GLUT_KEY_DOWN
constexpr int kEvents = 1000;
// The walk stays at or below this many points: every frame is a K-means iteration over all
// of them against 128 centroids, on one thread in the CPU mode.
constexpr int kCountCeiling = 2048;

int now = 0;
std::string title;

class ClusterviewChurn : public testing::Test {
protected:
    void SetUp() override {
        cvtest::resetState();
        srand(20261207u);
        prog = cv::program(nullptr);
        viewer::program = &prog;
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{[] { return now; }, [](const char* t) { title = t; }};
        now = 0;
    }
    void TearDown() override {
        cvtest::resetState();
        viewer::program = nullptr;
    }
    void frame() {
        now += clusterview::frame().refreshMs + 1;
        viewer::computeFrame();
    }
    viewer::Program prog{};
};

TEST_F(ClusterviewChurn, ThousandKeysLeaveNothingBehind) {
    REQUIRE_GPU();  // mode 2 runs kernels
#if GPU_BACKEND_IS_CPU
    const size_t devicesBefore = gpu::cpu::trackedAllocationCount();
    const size_t deviceBytesBefore = gpu::cpu::trackedAllocationBytes();
#endif
    cudaGetLastError();  // clear anything earlier tests left
    viewer::switchMode(1);  // start-up, with the program's 2,097,152 points

    int mode = 1, count = cv::startPointCount;
    // What every event must leave: the mode and count pressed, each array at the count's
    // size, and device arrays exactly in mode 2.
    auto check = [&] {
        ASSERT_EQ(viewer::state.mode, mode);
        ASSERT_EQ(cv::pointCount, count);
        ASSERT_TRUE(cv::points && cv::pointColors && cv::pointLabel && cv::centroids && cv::centroidColors);
#if defined(__GLIBC__)
        ASSERT_GE(malloc_usable_size(cv::points), count * sizeof(float4));
        ASSERT_GE(malloc_usable_size(cv::pointColors), count * sizeof(float4));
        ASSERT_GE(malloc_usable_size(cv::pointLabel), count * sizeof(int));
        ASSERT_GE(malloc_usable_size(cv::centroids), cv::clusterCount * sizeof(float4));
        ASSERT_GE(malloc_usable_size(cv::centroidColors), cv::clusterCount * sizeof(float4));
#endif
        const bool gpu = mode == 2;
        for (const void* d : {(const void*)cv::d_points, (const void*)cv::d_pointColors, (const void*)cv::d_pointLabel,
                              (const void*)cv::d_centroids, (const void*)cv::d_centroidColors})
            ASSERT_EQ(d != nullptr, gpu);
#if GPU_BACKEND_IS_CPU
        ASSERT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore + (gpu ? 5 : 0));
        const size_t modeBytes = (size_t)count * (2 * sizeof(float4) + sizeof(unsigned)) + 2 * 128 * sizeof(float4);
        ASSERT_EQ(gpu::cpu::trackedAllocationBytes(), deviceBytesBefore + (gpu ? modeBytes : 0));
#endif
    };

    // Down to the floor of 256 points first, as a user would press it.
    while (count > cv::minPointCount) {
        prog.specialKeys(kDown, 0, 0);
        count /= 2;
        ASSERT_NO_FATAL_FAILURE(check());
    }

    std::mt19937 rng(20261207u);
    int switches = 0, arrows = 0, framesPerMode[3] = {}, highest = 0;
    bool climbing = true;
    for (int event = 0; event < kEvents; ++event) {
        // Out of 8: each mode key once, an arrow six times.
        const unsigned pick = rng() % 8;
        if (pick < 2) {
            mode = (int)pick + 1;
            viewer::keyboard((unsigned char)('1' + pick), 0, 0);
            ++switches;
        } else {
            // The walk heads up to the ceiling, then down to the floor, and again: five
            // arrows in six go the heading's way (the floor's down arrow included).
            if (count >= kCountCeiling) climbing = false;
            if (count <= cv::minPointCount) climbing = true;
            const bool up = (pick < 7) == climbing && count < kCountCeiling;
            prog.specialKeys(up ? kUp : kDown, 0, 0);
            if (up) count *= 2;
            else if (count > cv::minPointCount) count /= 2;
            ++arrows;
        }
        highest = count > highest ? count : highest;
        SCOPED_TRACE("event " + std::to_string(event) + ", mode " + std::to_string(mode) + ", points " +
                     std::to_string(count));
        ASSERT_NO_FATAL_FAILURE(check());

        // The frame must assign and colour every point anew: poison them first.
        for (int i = 0; i < count; ++i) {
            cv::pointLabel[i] = -1;
            cv::pointColors[i].x = cv::pointColors[i].y = cv::pointColors[i].z = NAN;
        }
        frame();
        ++framesPerMode[mode];
        ASSERT_EQ(title, std::string("K-means: ") + (mode == 1 ? "CPU" : "GPU") + ", " + std::to_string(count) +
                             " points, 4.98 FPS");
        // What is drawn: each point in its cluster's colour, opaque.
        for (int i = 0; i < count; ++i) {
            const int c = cv::pointLabel[i];
            ASSERT_TRUE(c >= 0 && c < cv::clusterCount) << "point " << i << " label " << c;
            const float4 p = cv::pointColors[i], want = cv::centroidColors[c];
            ASSERT_TRUE(p.x == want.x && p.y == want.y && p.z == want.z && p.w == 1.0f) << "point " << i;
        }
        for (int k = 0; k < cv::clusterCount; ++k)
            ASSERT_TRUE(std::isfinite(cv::centroids[k].x) && std::isfinite(cv::centroids[k].y) &&
                        std::isfinite(cv::centroids[k].z))
                << "centroid " << k;
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    }
    // The walk really went everywhere it may.
    EXPECT_GT(switches, 150);
    EXPECT_GT(arrows, 600);
    EXPECT_GT(framesPerMode[1], 100);
    EXPECT_GT(framesPerMode[2], 100);
    EXPECT_EQ(highest, kCountCeiling);
    printf("clusterview churn: %d switches, %d arrows, frames per mode %d %d, up to %d points\n", switches, arrows,
           framesPerMode[1], framesPerMode[2], highest);

    viewer::releaseMode();  // what the program does when its main loop returns
    EXPECT_TRUE(!cv::points && !cv::pointColors && !cv::pointLabel && !cv::centroids && !cv::centroidColors);
    EXPECT_TRUE(!cv::d_points && !cv::d_pointColors && !cv::d_pointLabel && !cv::d_centroids && !cv::d_centroidColors);
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore);
    EXPECT_EQ(gpu::cpu::trackedAllocationBytes(), deviceBytesBefore);
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace

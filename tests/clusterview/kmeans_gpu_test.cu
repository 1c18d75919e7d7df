// clusterview's GPU mode against its CPU mode on the same data: labels, colours and
// centroids bit for bit, the launch shape below one block, and the mode's buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "gpu_test.h"
#include "kmeans_test.h"
#include "viewer_test.h"

namespace cv = clusterview;
using cvtest::sameBits;

namespace {

class KMeansGPU : public testing::Test {
protected:
    void SetUp() override { cvtest::resetState(); }
    void TearDown() override { cvtest::resetState(); }
};

struct Frame {
    std::vector<int> labels;
    std::vector<float4> colors, centroids;
};

Frame capture() {
    return {std::vector<int>(cv::pointLabel, cv::pointLabel + cv::pointCount),
            std::vector<float4>(cv::pointColors, cv::pointColors + cv::pointCount),
            std::vector<float4>(cv::centroids, cv::centroids + cv::clusterCount)};
}

// Runs `iterations` frames of one mode on the cloud of `seed`, recording each.
std::vector<Frame> run(int mode, unsigned seed, int count, int iterations) {
    srand(seed);
    cv::pointCount = count;
    mode == 1 ? viewertest::enterMode<cv::program>(1) : viewertest::enterMode<cv::program>(2);
    std::vector<Frame> frames;
    for (int i = 0; i < iterations; ++i) {
        mode == 1 ? cv::stepCPU() : cv::stepGPU();
        frames.push_back(capture());
    }
    mode == 1 ? viewer::releaseMode() : viewer::releaseMode();
    return frames;
}

void expectSameFrames(const std::vector<Frame>& cpu, const std::vector<Frame>& gpu) {
    ASSERT_EQ(cpu.size(), gpu.size());
    for (size_t f = 0; f < cpu.size(); ++f) {
        ASSERT_EQ(cpu[f].labels, gpu[f].labels) << "frame " << f;
        for (size_t i = 0; i < cpu[f].colors.size(); ++i) {
            ASSERT_EQ(cpu[f].colors[i].x, gpu[f].colors[i].x) << "frame " << f << " point " << i;
            ASSERT_EQ(cpu[f].colors[i].y, gpu[f].colors[i].y) << "frame " << f << " point " << i;
            ASSERT_EQ(cpu[f].colors[i].z, gpu[f].colors[i].z) << "frame " << f << " point " << i;
        }
        for (int k = 0; k < cv::clusterCount; ++k)
            ASSERT_TRUE(sameBits(cpu[f].centroids[k], gpu[f].centroids[k])) << "frame " << f << " centroid " << k;
    }
}

TEST_F(KMeansGPU, SameLabelsColoursAndCentroidsAsTheCPU) {
    REQUIRE_GPU();
    for (int count : {256, 4096}) {
        SCOPED_TRACE(count);
        std::vector<Frame> cpu = run(1, 77, count, 6), gpu = run(2, 77, count, 6);
        expectSameFrames(cpu, gpu);
        // The clustering did something: labels moved after the first frame.
        EXPECT_NE(cpu[0].labels, std::vector<int>(count, 0));
    }
}

TEST_F(KMeansGPU, LaunchCoversExactlyThePoints) {
    EXPECT_EQ(cv::assignBlock(256).x, 256u);
    EXPECT_EQ(cv::assignGrid(256).x, 1u);
    EXPECT_EQ(cv::assignBlock(4096).x, 512u);
    EXPECT_EQ(cv::assignGrid(4096).x, 8u);
    EXPECT_EQ((long long)cv::assignGrid(cv::maxPointCount).x * cv::assignBlock(cv::maxPointCount).x,
              cv::maxPointCount);
}

// With 256 points a 512-thread block would read and write past every point array:
// give the device arrays a guarded tail and check that nothing touches it.
TEST_F(KMeansGPU, TwoHundredFiftySixPointsStayWithinTheirArrays) {
    REQUIRE_GPU();
    srand(9);
    cv::pointCount = 256;
    viewertest::enterMode<cv::program>(2);
    const int n = 256, guard = 512;
    cudaFree(cv::d_pointLabel);
    cudaFree(cv::d_pointColors);
    ASSERT_EQ(cudaMalloc(&cv::d_pointLabel, (n + guard) * sizeof(unsigned)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&cv::d_pointColors, (n + guard) * sizeof(float4)), cudaSuccess);
    std::vector<unsigned> labels(n + guard, 0xdeadbeefu);
    std::vector<float4> colors(n + guard, make_float4(-7, -7, -7, -7));
    for (int i = 0; i < n; ++i) labels[i] = 0;
    ASSERT_EQ(cudaMemcpy(cv::d_pointLabel, labels.data(), labels.size() * sizeof(unsigned), cudaMemcpyHostToDevice),
              cudaSuccess);
    ASSERT_EQ(cudaMemcpy(cv::d_pointColors, colors.data(), colors.size() * sizeof(float4), cudaMemcpyHostToDevice),
              cudaSuccess);
    cv::stepGPU();
    ASSERT_EQ(cudaMemcpy(labels.data(), cv::d_pointLabel, labels.size() * sizeof(unsigned), cudaMemcpyDeviceToHost),
              cudaSuccess);
    ASSERT_EQ(cudaMemcpy(colors.data(), cv::d_pointColors, colors.size() * sizeof(float4), cudaMemcpyDeviceToHost),
              cudaSuccess);
    for (int i = 0; i < n; ++i) ASSERT_LT(labels[i], 128u);
    for (int i = n; i < n + guard; ++i) {
        ASSERT_EQ(labels[i], 0xdeadbeefu) << i;
        ASSERT_TRUE(sameBits(colors[i], make_float4(-7, -7, -7, -7))) << i;
    }
}

TEST_F(KMeansGPU, ReleaseFreesEveryBufferOfTheMode) {
    REQUIRE_GPU();
#if GPU_BACKEND_IS_CPU
    const size_t before = gpu::cpu::trackedAllocationCount();
#endif
    cv::pointCount = 512;
    viewertest::enterMode<cv::program>(2);
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), before + 5);
#endif
    viewer::releaseMode();
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), before);
#endif
    EXPECT_EQ(cv::d_points, nullptr);
    EXPECT_EQ(cv::d_pointColors, nullptr);
    EXPECT_EQ(cv::d_pointLabel, nullptr);
    EXPECT_EQ(cv::d_centroids, nullptr);
    EXPECT_EQ(cv::d_centroidColors, nullptr);
    EXPECT_EQ(cv::points, nullptr);
}

}  // namespace

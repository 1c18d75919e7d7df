// clusterview's K-means on the host: the generator's arithmetic and draw order, the
// assignment rule, the update, convergence, the count keys and allocation failure.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "kmeans_test.h"
#include "viewer_test.h"

namespace cv = clusterview;
using cvtest::sameBits;

namespace {

class KMeans : public testing::Test {
protected:
    void SetUp() override { cvtest::resetState(); }
    void TearDown() override { cvtest::resetState(); }

    // Hand-made state: the given points and centroids (missing centroids far away on x),
    // all labels 0, centroid colours k / 1000 in red.
    void setData(const std::vector<float4>& pts, const std::vector<float4>& cents) {
        cv::pointCount = (int)pts.size();
        cv::points = (float4*)malloc(pts.size() * sizeof(float4));
        cv::pointColors = (float4*)calloc(pts.size(), sizeof(float4));
        cv::pointLabel = (int*)calloc(pts.size(), sizeof(int));
        cv::centroids = (float4*)malloc(cv::clusterCount * sizeof(float4));
        cv::centroidColors = (float4*)malloc(cv::clusterCount * sizeof(float4));
        for (size_t i = 0; i < pts.size(); ++i) cv::points[i] = pts[i];
        for (int k = 0; k < cv::clusterCount; ++k) {
            cv::centroids[k] = k < (int)cents.size() ? cents[k] : make_float4(1000.0f + k, 0, 0, 1);
            cv::centroidColors[k] = make_float4(k / 1000.0f, 0, 0, 1);
        }
    }
};

// Draws for 128 blobs: blob 0 centred at (2.53125, -2.53125, 0) with spread 1, blob 1 at
// the origin with spread 0.5, and so are the rest.
std::vector<int> blobDraws() {
    std::vector<int> d = {1750, 250, 500, 500, 1500};  // ux 0.5, uy -0.5, uz 0, reach 1.5^4, spread 1
    for (int b = 1; b < cv::blobCount; ++b)
        for (int k = 0; k < 5; ++k) d.push_back(0);
    return d;
}

TEST_F(KMeans, GeneratorDrawsBlobsThenPointsWithTheirArithmetic) {
    std::vector<int> d = blobDraws();
    // Point 0: blob 0, direction (-1, 0, 0), m = 1, so offset 1 along -x.
    d.insert(d.end(), {0, 0, 500, 500, 500});
    // Point 1: draw 129 picks blob 1; direction (0.5, 0.5, 0.5)... m = 1.998.
    d.insert(d.end(), {129, 750, 750, 750, 999});
    cvtest::useScript(d);
    float4* p = cv::generatePoints(2, 1.0f);
    EXPECT_EQ(cvtest::scriptPos, 128u * 5 + 2 * 5);
    EXPECT_FLOAT_EQ(p[0].x, 2.53125f - 1.0f);
    EXPECT_FLOAT_EQ(p[0].y, -2.53125f);
    EXPECT_FLOAT_EQ(p[0].z, 0.0f);
    EXPECT_EQ(p[0].w, 1.0f);
    // Blob 1: spread 0.5, centre 0. len = sqrt(0.75), k = 0.25 * (1.998 / len)^2.5.
    float len = sqrtf(0.75f);
    float k = 0.5f * 0.5f * (float)pow((double)(1.998f / len), 2.5);
    EXPECT_EQ(p[1].x, k * 0.5f);
    EXPECT_EQ(p[1].y, k * 0.5f);
    EXPECT_EQ(p[1].z, k * 0.5f);
    free(p);

    // A scale multiplies centres and offsets alike.
    cvtest::useScript(d);
    p = cv::generatePoints(1, 2.0f);
    EXPECT_FLOAT_EQ(p[0].x, 2 * (2.53125f - 1.0f));
    EXPECT_FLOAT_EQ(p[0].y, 2 * -2.53125f);
    free(p);
}

TEST_F(KMeans, ZeroDirectionIsDrawnAgain) {
    std::vector<int> d = blobDraws();
    d.insert(d.end(), {0, 500, 1500, 2500});  // blob 0, then e = f = g = 0: no direction
    d.insert(d.end(), {0, 500, 500, 500});    // drawn again: (-1, 0, 0), then m = 1
    cvtest::useScript(d);
    float4* p = cv::generatePoints(1, 1.0f);
    EXPECT_EQ(cvtest::scriptPos, 128u * 5 + 8);
    EXPECT_TRUE(std::isfinite(p[0].x) && std::isfinite(p[0].y) && std::isfinite(p[0].z));
    EXPECT_FLOAT_EQ(p[0].x, 1.53125f);
    EXPECT_FLOAT_EQ(p[0].y, -2.53125f);
    free(p);
}

TEST_F(KMeans, InitTakesFirstPointsAsCentroidsAndColoursAfterAllPoints) {
    cv::pointCount = 256;
    std::vector<int> d = blobDraws();
    for (int i = 0; i < 256; ++i) d.insert(d.end(), {i, 1000 + i, 2000 + 2 * i, 3 * i, i % 1000});
    d.insert(d.end(), {123, 1456, 999});  // colour of centroid 0
    cvtest::useScript(d);
    viewertest::enterMode<cv::program>(1);
    EXPECT_EQ(cvtest::scriptPos, 128u * 5 + 256 * 5 + 128 * 3);
    for (int k = 0; k < cv::clusterCount; ++k) EXPECT_TRUE(sameBits(cv::centroids[k], cv::points[k])) << k;
    EXPECT_EQ(cv::centroidColors[0].x, 0.123f);
    EXPECT_EQ(cv::centroidColors[0].y, 0.456f);
    EXPECT_EQ(cv::centroidColors[0].z, 0.999f);
    EXPECT_EQ(cv::centroidColors[0].w, 1.0f);
    EXPECT_EQ(cv::centroidColors[1].x, 0.0f);  // past the script: draws of 0
    for (int i = 0; i < 256; ++i) ASSERT_EQ(cv::pointLabel[i], 0);
}

TEST_F(KMeans, AssignmentTiesGoToTheLowerIndexAndClusterZeroComesFirst) {
    std::vector<float4> c(cv::clusterCount);
    for (int j = 0; j < cv::clusterCount; ++j) c[j] = make_float4(1000.0f + j, 0, 0, 1);
    c[3] = make_float4(-1, 0, 0, 1);
    c[5] = make_float4(1, 0, 0, 1);
    // Exactly between 3 and 5: an equal distance never replaces the current best.
    EXPECT_EQ(cv::nearestCentroid(make_float4(0, 0, 0, 1), c.data()), 3);
    // Cluster 0 is taken first even though it is farther than dmin's start value of 0.
    std::vector<float4> same(cv::clusterCount, make_float4(4, 5, 6, 1));
    EXPECT_EQ(cv::nearestCentroid(make_float4(0, 0, 0, 1), same.data()), 0);
    // ... and replaced by anything strictly nearer, whatever its index.
    same[127] = make_float4(1, 1, 1, 1);
    EXPECT_EQ(cv::nearestCentroid(make_float4(0, 0, 0, 1), same.data()), 127);
    // w takes no part in the distance.
    same[127] = make_float4(4, 5, 6, -50);
    EXPECT_EQ(cv::nearestCentroid(make_float4(4, 5, 6, 1), same.data()), 0);
}

TEST_F(KMeans, FirstIterationPutsPointKIntoClusterKAndColoursIt) {
    srand(11);
    cv::pointCount = 256;
    viewertest::enterMode<cv::program>(1);
    cv::assignCPU();
    for (int k = 0; k < cv::clusterCount; ++k) {
        int first = k;  // an earlier centroid at the same place wins
        for (int j = 0; j < k; ++j)
            if (cv::points[j].x == cv::points[k].x && cv::points[j].y == cv::points[k].y &&
                cv::points[j].z == cv::points[k].z) {
                first = j;
                break;
            }
        EXPECT_EQ(cv::pointLabel[k], first);
    }
    for (int i = 0; i < cv::pointCount; ++i) {
        const float4& col = cv::centroidColors[cv::pointLabel[i]];
        ASSERT_EQ(cv::pointColors[i].x, col.x);
        ASSERT_EQ(cv::pointColors[i].y, col.y);
        ASSERT_EQ(cv::pointColors[i].z, col.z);
    }
}

TEST_F(KMeans, UpdateMovesCentroidsToTheMeanOfTheirPoints) {
    setData({make_float4(1, 2, 3, 1), make_float4(3, 4, 5, 1), make_float4(10, 10, 10, 1)},
            {make_float4(0, 0, 0, 1), make_float4(10, 10, 10, 1)});
    cv::stepCPU();
    EXPECT_EQ(cv::pointLabel[0], 0);
    EXPECT_EQ(cv::pointLabel[1], 0);
    EXPECT_EQ(cv::pointLabel[2], 1);
    EXPECT_EQ(cv::centroids[0].x, 2.0f);
    EXPECT_EQ(cv::centroids[0].y, 3.0f);
    EXPECT_EQ(cv::centroids[0].z, 4.0f);
    EXPECT_EQ(cv::centroids[0].w, 1.0f);
    EXPECT_EQ(cv::centroids[1].x, 10.0f);
}

TEST_F(KMeans, EmptyClusterKeepsItsCentroid) {
    // No point is nearest to centroid 0 or to centroid 2.
    setData({make_float4(10, 0, 0, 1), make_float4(11, 0, 0, 1), make_float4(-10, 0, 0, 1)},
            {make_float4(0, 50, 0, 1), make_float4(10, 0, 0, 1), make_float4(0, 0, 70, 1), make_float4(-9, 0, 0, 1)});
    cv::stepCPU();
    EXPECT_TRUE(sameBits(cv::centroids[0], make_float4(0, 50, 0, 1)));
    EXPECT_TRUE(sameBits(cv::centroids[2], make_float4(0, 0, 70, 1)));
    EXPECT_EQ(cv::centroids[1].x, 10.5f);
    EXPECT_EQ(cv::centroids[3].x, -10.0f);
    // A NaN centroid 0 would now draw every point into cluster 0.
    cv::stepCPU();
    EXPECT_EQ(cv::pointLabel[0], 1);
    EXPECT_EQ(cv::pointLabel[1], 1);
    EXPECT_EQ(cv::pointLabel[2], 3);
    for (int k = 0; k < cv::clusterCount; ++k) ASSERT_FALSE(std::isnan(cv::centroids[k].x)) << k;
}

TEST_F(KMeans, OnceNoLabelChangesLabelsAndCentroidsStayFixed) {
    srand(5);
    cv::pointCount = 512;
    viewertest::enterMode<cv::program>(1);
    std::vector<int> before(cv::pointCount);
    bool settled = false;
    for (int it = 0; it < 1000 && !settled; ++it) {
        before.assign(cv::pointLabel, cv::pointLabel + cv::pointCount);
        cv::stepCPU();
        settled = std::equal(before.begin(), before.end(), cv::pointLabel);
    }
    ASSERT_TRUE(settled) << "no fixed point within 1000 iterations";
    std::vector<float4> cents(cv::centroids, cv::centroids + cv::clusterCount);
    for (int it = 0; it < 3; ++it) {
        cv::stepCPU();
        ASSERT_TRUE(std::equal(before.begin(), before.end(), cv::pointLabel));
        for (int k = 0; k < cv::clusterCount; ++k) ASSERT_TRUE(sameBits(cents[k], cv::centroids[k])) << k;
    }
}

// ---- keys -------------------------------------------------------------------------------

class Keys : public KMeans {
protected:
    void SetUp() override {
        KMeans::SetUp();
        prog = cv::program(nullptr);
        viewer::program = &prog;
        viewer::state = viewer::State{};
    }
    void TearDown() override {
        KMeans::TearDown();
        viewer::program = nullptr;
    }
    viewer::Program prog{};
};

TEST_F(Keys, ArrowsDoubleAndHalveBetween256AndTheCeiling) {
    viewer::state.mode = 3;  // a mode without buffers: only the count changes
    cv::specialKeys(101, 0, 0);
    EXPECT_EQ(cv::pointCount, 4194304);
    cv::specialKeys(103, 0, 0);
    cv::specialKeys(103, 0, 0);
    EXPECT_EQ(cv::pointCount, 1048576);
    cv::pointCount = 512;
    cv::specialKeys(103, 0, 0);
    cv::specialKeys(103, 0, 0);
    EXPECT_EQ(cv::pointCount, 256);
    cv::pointCount = cv::maxPointCount / 2;
    cv::specialKeys(101, 0, 0);
    cv::specialKeys(101, 0, 0);
    EXPECT_EQ(cv::pointCount, cv::maxPointCount);
    cv::specialKeys(100, 0, 0);  // left arrow: nothing
    cv::specialKeys(102, 0, 0);
    EXPECT_EQ(cv::pointCount, cv::maxPointCount);
    // Every buffer of the ceiling's count stays within a signed 32-bit byte count.
    EXPECT_LT((long long)cv::maxPointCount * 16, 1LL << 31);
}

TEST_F(Keys, DownAt256StartsOverWithANewCloud) {
    srand(3);
    cv::pointCount = 256;
    viewer::switchMode(1);
    std::vector<float4> first(cv::points, cv::points + 256);
    cv::stepCPU();
    cv::specialKeys(103, 0, 0);
    EXPECT_EQ(cv::pointCount, 256);
    EXPECT_EQ(viewer::state.mode, 1);
    bool different = false;
    for (int i = 0; i < 256; ++i) different = different || !sameBits(first[i], cv::points[i]);
    EXPECT_TRUE(different);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(cv::pointLabel[i], 0);
    for (int k = 0; k < cv::clusterCount; ++k) ASSERT_TRUE(sameBits(cv::centroids[k], cv::points[k]));
}

TEST_F(Keys, ModeOneReleaseLeavesNullBuffers) {
    cv::pointCount = 256;
    viewer::switchMode(1);
    ASSERT_NE(cv::points, nullptr);
    viewer::switchMode(3);
    EXPECT_EQ(cv::points, nullptr);
    EXPECT_EQ(cv::pointColors, nullptr);
    EXPECT_EQ(cv::pointLabel, nullptr);
    EXPECT_EQ(cv::centroids, nullptr);
    EXPECT_EQ(cv::centroidColors, nullptr);
    viewer::releaseMode();  // a second release meets only null buffers
}

// ---- allocation failure -----------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define SKIP_UNDER_ASAN() GTEST_SKIP() << "address-space limit cannot be combined with AddressSanitizer"
#else
#define SKIP_UNDER_ASAN() (void)0
#endif

// Limits this process's address space to what it uses now plus `extra` bytes.
void limitAddressSpace(size_t extra) {
    FILE* f = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f) {
        if (fscanf(f, "%lu", &pages) != 1) pages = 0;
        fclose(f);
    }
    rlimit r{};
    r.rlim_cur = r.rlim_max = pages * 4096 + extra;
    setrlimit(RLIMIT_AS, &r);
}

TEST_F(KMeans, FailedHostAllocationEndsWithAMessage) {
    SKIP_UNDER_ASAN();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            limitAddressSpace(256u << 20);
            cv::pointCount = cv::maxPointCount;  // 1 GiB of points
            viewertest::enterMode<cv::program>(1);
        },
        testing::ExitedWithCode(1), "clusterview: cannot allocate 1073741824 bytes of host memory for points");
}

TEST_F(KMeans, FailedDeviceAllocationEndsWithAMessage) {
    SKIP_UNDER_ASAN();
    if (!GPU_BACKEND_IS_CPU) GTEST_SKIP() << "the address-space limit reaches device memory only on the cpu backend";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // 1 << 20 points: 36 MiB on the host fit, the device copies do not.
            limitAddressSpace(52u << 20);
            cv::pointCount = 1 << 20;
            viewertest::enterMode<cv::program>(2);
        },
        testing::ExitedWithCode(1), "clusterview: cannot allocate [0-9]+ bytes of device memory for d_");
}

}  // namespace

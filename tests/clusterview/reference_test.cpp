// clusterview bit for bit against a literal reference written out here: the generator's
// draws and arithmetic (single precision, pow in double), the starting centroids and
// colours, and K-means iterations in both modes (Euclidean distance with the lower index
// winning a tie, sums accumulated in float in index order), on random clouds, some with
// duplicated centroids so that ties and empty clusters occur.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gpu_test.h"
#include "kmeans_test.h"
#include "viewer_test.h"

namespace cv = clusterview;

namespace {

using V = std::vector<float4>;

float unit(int d) { return (float)(d % 1000) / 1000.0f; }
float signedUnit(int d) { return unit(d) * 2.0f - 1.0f; }

V generate(int count, float scale) {
    float4 centre[128];
    float spread[128];
    for (int b = 0; b < 128; ++b) {
        const float ux = signedUnit(rand()), uy = signedUnit(rand()), uz = signedUnit(rand());
        const float q = (float)((rand() % 1000) * 3);
        const float reach = (float)pow((double)(q / 1000.0f), 4.0);
        centre[b] = make_float4(reach * scale * ux, reach * scale * uy, reach * scale * uz, 1);
        spread[b] = unit(rand()) + 0.5f;
    }
    V p;
    for (int i = 0; i < count; ++i) {
        const int b = rand() % 128;
        float e, f, g;
        do e = signedUnit(rand()), f = signedUnit(rand()), g = signedUnit(rand());
        while (e == 0.0f && f == 0.0f && g == 0.0f);
        const float m = (float)((rand() % 1000) * 2) / 1000.0f;
        const float len = sqrtf(e * e + f * f + g * g);
        const float h = (float)pow((double)(m / len), 2.5);
        const float k = spread[b] * spread[b] * h * scale;
        p.push_back(make_float4(centre[b].x + k * e, centre[b].y + k * f, centre[b].z + k * g, 1));
    }
    return p;
}

struct KMeans {
    V points, centroids, colors, pointColors;
    std::vector<int> labels;

    void iterate() {
        const int n = (int)points.size();
        for (int i = 0; i < n; ++i) {
            float dmin = 0;
            int closest = -1;
            for (int j = 0; j < 128; ++j) {
                const float x = points[i].x - centroids[j].x, y = points[i].y - centroids[j].y,
                            z = points[i].z - centroids[j].z;
                const float distance = sqrtf(x * x + y * y + z * z);
                if (distance < dmin || j == 0) dmin = distance, closest = j;
            }
            labels[i] = closest;
            pointColors[i].x = colors[closest].x, pointColors[i].y = colors[closest].y;
            pointColors[i].z = colors[closest].z;
        }
        float sum[128][3] = {};
        int members[128] = {};
        for (int i = 0; i < n; ++i) {
            const int c = labels[i];
            sum[c][0] += points[i].x, sum[c][1] += points[i].y, sum[c][2] += points[i].z;
            members[c] += 1;
        }
        for (int k = 0; k < 128; ++k)
            if (members[k] > 0) {  // an empty cluster keeps its centroid
                centroids[k].x = sum[k][0] / (float)members[k];
                centroids[k].y = sum[k][1] / (float)members[k];
                centroids[k].z = sum[k][2] / (float)members[k];
            }
    }
};

void expectBits(const float4* got, const V& want, const char* what) {
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_TRUE(cvtest::sameBits(got[i], want[i]))
            << what << " " << i << ": (" << got[i].x << ", " << got[i].y << ", " << got[i].z << ", " << got[i].w
            << ") where the reference has (" << want[i].x << ", " << want[i].y << ", " << want[i].z << ", "
            << want[i].w << ")";
}

class ClusterviewReference : public testing::Test {
protected:
    void SetUp() override { cvtest::resetState(); }
    void TearDown() override { cvtest::resetState(); }
};

TEST_F(ClusterviewReference, GeneratorWithAScale) {
    srand(31);
    const V want = generate(3000, 0.37f);
    srand(31);
    float4* got = cv::generatePoints(3000, 0.37f);
    expectBits(got, want, "point");
    free(got);
}

struct Case {
    unsigned seed;
    int count, iterations;
    bool ties;
};

// Init in the given mode, then iterations, each against the reference.
void check(int mode, const Case& t) {
    SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << t.count << " points, seed " << t.seed);
    srand(t.seed);
    KMeans ref;
    ref.points = generate(t.count, 1.0f);
    ref.centroids.assign(ref.points.begin(), ref.points.begin() + 128);
    for (int k = 0; k < 128; ++k) {
        const float r = unit(rand()), g = unit(rand()), b = unit(rand());
        ref.colors.push_back(make_float4(r, g, b, 1));
    }
    srand(t.seed);
    cv::pointCount = t.count;
    mode == 1 ? viewertest::enterMode<cv::program>(1) : viewertest::enterMode<cv::program>(2);
    expectBits(cv::points, ref.points, "point");
    expectBits(cv::centroids, ref.centroids, "starting centroid");
    expectBits(cv::centroidColors, ref.colors, "centroid colour");
    ref.labels.assign(t.count, 0);
    ASSERT_EQ(std::memcmp(cv::pointLabel, ref.labels.data(), t.count * sizeof(int)), 0) << "starting labels";
    ref.pointColors.assign(t.count, make_float4(-1, -1, -1, 0.25f));  // alpha is never written
    std::memcpy(cv::pointColors, ref.pointColors.data(), t.count * sizeof(float4));
    if (mode == 2) cudaMemcpy(cv::d_pointColors, cv::pointColors, t.count * sizeof(float4), cudaMemcpyHostToDevice);
    if (t.ties) {  // centroid 3i + 1 a copy of 3i, 3i + 2 the same an ulp away: equal and nearly equal distances
        for (int k = 0; k + 2 < 128; k += 3) {
            ref.centroids[k + 1] = ref.centroids[k + 2] = ref.centroids[k];
            ref.centroids[k + 2].x = std::nextafter(ref.centroids[k].x, INFINITY);
        }
        std::memcpy(cv::centroids, ref.centroids.data(), 128 * sizeof(float4));
        if (mode == 2) cudaMemcpy(cv::d_centroids, cv::centroids, 128 * sizeof(float4), cudaMemcpyHostToDevice);
    }
    for (int it = 1; it <= t.iterations; ++it) {
        SCOPED_TRACE(testing::Message() << "iteration " << it);
        mode == 1 ? cv::stepCPU() : cv::stepGPU();
        ref.iterate();
        ASSERT_EQ(std::memcmp(cv::pointLabel, ref.labels.data(), t.count * sizeof(int)), 0) << "labels";
        expectBits(cv::pointColors, ref.pointColors, "point colour");
        expectBits(cv::centroids, ref.centroids, "centroid");
    }
    cvtest::resetState();
}

TEST_F(ClusterviewReference, CPUMode) {
    for (const Case& t : {Case{21, 4096, 5, false}, Case{22, 4096, 4, true}})
        if (check(1, t), HasFatalFailure()) return;
}

TEST_F(ClusterviewReference, GPUMode) {
    REQUIRE_GPU();
    for (const Case& t : {Case{23, 256, 4, true}, Case{24, 4096, 5, false}, Case{25, 2048, 3, true}})
        if (check(2, t), HasFatalFailure()) return;
}

}  // namespace

// The three GPU modes against the CPU step, and the kernels' handling of partial blocks,
// tiles, the buffer pairs and w.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gpu_test.h"
#include "gravsim/kernels.cuh"
#include "viewer_test.h"

namespace {

using namespace gravsim;

std::vector<float4> download(const float4* d, int n) {
    std::vector<float4> h(n);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // the launch before it
    EXPECT_EQ(cudaMemcpy(h.data(), d, n * sizeof(float4), cudaMemcpyDeviceToHost), cudaSuccess);
    return h;
}

void upload(float4* d, const std::vector<float4>& h) {
    ASSERT_EQ(cudaMemcpy(d, h.data(), h.size() * sizeof(float4), cudaMemcpyHostToDevice), cudaSuccess);
}

float ulp(float x) { return std::nextafter(std::fabs(x), INFINITY) - std::fabs(x); }

// One GPU step (gpuPos, gpuVel) from (p, v) against stepCPU from the same state. The CPU
// adds each quotient in double and rounds once, the GPU rounds each quotient and adds in
// float: both stay within about n roundings of the sum of the magnitudes of the terms.
void expectCloseToCPU(const std::vector<float4>& p, const std::vector<float4>& v, const std::vector<float4>& gpuPos,
                      const std::vector<float4>& gpuVel) {
    const int n = (int)p.size();
    ASSERT_EQ(n, bodyCount);
    std::memcpy(pos, p.data(), n * sizeof(float4));
    std::memcpy(vel, v.data(), n * sizeof(float4));
    stepCPU();
    const double u = std::ldexp(1.0, -24);
    for (int i = 0; i < n; ++i) {
        // Positions: the same single-precision sum on both sides.
        ASSERT_EQ(gpuPos[i].x, pos[i].x) << "body " << i;
        ASSERT_EQ(gpuPos[i].y, pos[i].y) << "body " << i;
        ASSERT_EQ(gpuPos[i].z, pos[i].z) << "body " << i;
        double mag[3] = {0, 0, 0};
        for (int j = 0; j < n; ++j) {
            double r[3] = {p[j].x - (double)p[i].x, p[j].y - (double)p[i].y, p[j].z - (double)p[i].z};
            double d = r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + softening;
            for (int c = 0; c < 3; ++c) mag[c] += std::fabs(r[c]) * gravityFactor * mass[j] / std::pow(d, 1.5);
        }
        const float cpu[3] = {vel[i].x, vel[i].y, vel[i].z}, gpu[3] = {gpuVel[i].x, gpuVel[i].y, gpuVel[i].z};
        for (int c = 0; c < 3; ++c) {
            double tol = 2.0 * (n + 2) * u * mag[c] * 1.01 + ulp(cpu[c]);
            ASSERT_LE(std::fabs((double)cpu[c] - gpu[c]), tol) << "body " << i << " component " << c << " of " << n;
        }
    }
}

struct Snapshot {
    std::vector<float4> pos, vel;
};

Snapshot host() {
    return Snapshot{std::vector<float4>(pos, pos + bodyCount), std::vector<float4>(vel, vel + bodyCount)};
}

class Modes : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        REQUIRE_GPU();
        srand(2024 + GetParam());
        bodyCount = GetParam();
    }
    void TearDown() override {
        viewer::releaseMode();
        currentBuffer = 0;
        bodyCount = startBodyCount;
    }
};

TEST_P(Modes, GPUStepAgreesWithCPUStep) {
    viewertest::enterMode<gravsim::program>(2);
    const Snapshot before = host();
    stepGPU();
    const Snapshot gpu = host();
    expectCloseToCPU(before.pos, before.vel, gpu.pos, gpu.vel);
}

TEST_P(Modes, DoubleBufferStepsAgreeWithCPUStep) {
    const int n = GetParam();
    viewertest::enterMode<gravsim::program>(3);
    const Snapshot start = host();
    stepGPUBuffer();  // pair 0 into pair 1, plain squared distance
    ASSERT_EQ(currentBuffer, 1);
    const std::vector<float4> p1 = download(d_pos1, n), v1 = download(d_vel1, n);
    expectCloseToCPU(start.pos, start.vel, p1, v1);
    stepGPUBuffer();  // pair 1 into pair 0, squared distance from its root
    ASSERT_EQ(currentBuffer, 0);
    expectCloseToCPU(p1, v1, download(d_pos0, n), download(d_vel0, n));
}

TEST_P(Modes, SharedMemoryStepsAgreeWithCPUStepAndPlainKernel) {
    const int n = GetParam();
    viewertest::enterMode<gravsim::program>(3);
    const Snapshot start = host();
    stepGPUShared();
    ASSERT_EQ(currentBuffer, 1);
    const std::vector<float4> p1 = download(d_pos1, n), v1 = download(d_vel1, n);
    expectCloseToCPU(start.pos, start.vel, p1, v1);
    stepGPUShared();  // the host swaps the pairs
    ASSERT_EQ(currentBuffer, 0);
    const std::vector<float4> p0 = download(d_pos0, n), v0 = download(d_vel0, n);
    expectCloseToCPU(p1, v1, p0, v0);

    // Tile by tile is the same summation order as the plain kernel: the same bits.
    upload(d_pos0, start.pos);
    upload(d_vel0, start.vel);
    computeBodyGPU<<<(n + 511) / 512, 512>>>(d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n);
    const std::vector<float4> q1 = download(d_pos1, n), w1 = download(d_vel1, n);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(std::memcmp(&q1[i], &p1[i], sizeof(float4)), 0) << "body " << i;
        ASSERT_EQ(std::memcmp(&w1[i], &v1[i], sizeof(float4)), 0) << "body " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(BodyCounts, Modes, ::testing::Values(1, 100, 512, 600, 1024, 1536));

class Kernels : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_GPU(); }
    void TearDown() override {
        viewer::releaseMode();
        bodyCount = startBodyCount;
    }
};

// Slot 5 of tile 2 holds body 1029, and only that body has a mass: every body must be
// pulled towards it, by its mass.
TEST_F(Kernels, SharedMemoryWeighsEachSlotWithItsBodysMass) {
    srand(5);
    bodyCount = 1536;
    viewertest::enterMode<gravsim::program>(3);
    std::vector<float> m(bodyCount, 0.0f);
    m[1029] = 2.0f;
    ASSERT_EQ(cudaMemcpy(d_mass, m.data(), m.size() * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
    const std::vector<float4> before(pos, pos + bodyCount);
    stepGPUShared();
    const std::vector<float4> v1 = download(d_vel1, bodyCount);
    const float4 tj = before[1029];
    for (int i : {0, 5, 511, 512, 1028, 1030, 1535}) {
        const float4 pi = before[i];
        double r[3] = {tj.x - (double)pi.x, tj.y - (double)pi.y, tj.z - (double)pi.z};
        double d = r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + softening;
        double a[3] = {v1[i].x - (double)vel[i].x, v1[i].y - (double)vel[i].y, v1[i].z - (double)vel[i].z};
        for (int c = 0; c < 3; ++c) {
            double expected = gravityFactor * 2.0 * r[c] / std::pow(d, 1.5);
            EXPECT_NEAR(a[c], expected, 1e-4 * std::fabs(expected) + 2e-12) << "body " << i << " component " << c;
        }
    }
    EXPECT_EQ(v1[1029].x, vel[1029].x);  // nothing else has a mass to pull it
    EXPECT_EQ(v1[1029].y, vel[1029].y);
}

// 600 bodies: two blocks, 424 threads without a body. Outputs beyond n, and w of every
// output, keep what was there.
TEST_F(Kernels, ThreadsWithoutABodyWriteNothingAndWIsNeverWritten) {
    const int n = 600, room = 1024;
    srand(6);
    bodyCount = n;
    viewertest::enterMode<gravsim::program>(3);
    const float4 mark = make_float4(7, 7, 7, 7);
    const std::vector<float4> marks(room, mark);
    float4 *outPos = nullptr, *outVel = nullptr;
    ASSERT_EQ(cudaMalloc(&outPos, room * sizeof(float4)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&outVel, room * sizeof(float4)), cudaSuccess);
    auto check = [&](const char* what) {
        const std::vector<float4> p = download(outPos, room), v = download(outVel, room);
        for (int i = 0; i < room; ++i) {
            ASSERT_EQ(p[i].w, 7.0f) << what << " body " << i;
            ASSERT_EQ(v[i].w, 7.0f) << what << " body " << i;
            if (i >= n) {
                ASSERT_EQ(std::memcmp(&p[i], &mark, sizeof mark), 0) << what << " slot " << i;
                ASSERT_EQ(std::memcmp(&v[i], &mark, sizeof mark), 0) << what << " slot " << i;
            } else {
                ASSERT_NE(p[i].x, 7.0f) << what << " body " << i << " not written";
            }
        }
    };
    const dim3 grid(2), block(512);
    upload(outPos, marks);
    upload(outVel, marks);
    computeBodyGPU<<<grid, block>>>(d_pos0, outPos, d_vel0, outVel, d_mass, n);
    check("computeBodyGPU");
    upload(outPos, marks);
    upload(outVel, marks);
    computeBodyGPUBuffer<<<grid, block>>>(d_pos0, outPos, d_vel0, outVel, d_mass, n, 0);
    check("computeBodyGPUBuffer, mode 0");
    upload(outPos, marks);
    upload(outVel, marks);
    computeBodyGPUBuffer<<<grid, block>>>(outPos, d_pos0, outVel, d_vel0, d_mass, n, 1);
    check("computeBodyGPUBuffer, mode 1");
    upload(outPos, marks);
    upload(outVel, marks);
    computeBodyGPU_sm<<<grid, block>>>(d_pos0, outPos, d_vel0, outVel, d_mass, n);
    check("computeBodyGPU_sm");
    cudaFree(outPos);
    cudaFree(outVel);
}

// Modes 3 and 4: the pair written last is the one drawn, and the host velocities stay as
// drawn at allocation.
TEST_F(Kernels, CurrentBufferAndTheSourceOfTheDrawnPositions) {
    for (void (*step)() : {stepGPUBuffer, stepGPUShared}) {
        srand(8);
        bodyCount = 700;
        viewertest::enterMode<gravsim::program>(3);
        EXPECT_EQ(currentBuffer, 0);
        const std::vector<float4> hostVel(vel, vel + bodyCount);
        std::vector<float4> previous(pos, pos + bodyCount);
        for (int s = 1; s <= 4; ++s) {
            step();
            ASSERT_EQ(currentBuffer, s % 2);
            const std::vector<float4> drawnFrom = download(s % 2 ? d_pos1 : d_pos0, bodyCount);
            ASSERT_EQ(std::memcmp(pos, drawnFrom.data(), bodyCount * sizeof(float4)), 0) << "step " << s;
            ASSERT_NE(std::memcmp(pos, previous.data(), bodyCount * sizeof(float4)), 0) << "step " << s;
            previous.assign(pos, pos + bodyCount);
            ASSERT_EQ(std::memcmp(vel, hostVel.data(), bodyCount * sizeof(float4)), 0) << "step " << s;
            for (int i = 0; i < bodyCount; ++i) ASSERT_EQ(pos[i].w, 1.0f);
        }
        viewer::releaseMode();
        EXPECT_EQ(currentBuffer, 0);
    }
}

TEST_F(Kernels, WStaysOneInEveryDeviceArray) {
    srand(9);
    bodyCount = 300;
    viewertest::enterMode<gravsim::program>(2);
    for (int s = 0; s < 3; ++s) stepGPU();
    for (const float4* d : {d_pos0, d_pos1, d_vel0, d_vel1})
        for (const float4& e : download(d, bodyCount)) ASSERT_EQ(e.w, 1.0f);
    for (int i = 0; i < bodyCount; ++i) ASSERT_EQ(vel[i].w, 1.0f);
    viewer::releaseMode();
    viewertest::enterMode<gravsim::program>(3);
    for (int s = 0; s < 3; ++s) stepGPUShared(), stepGPUBuffer();
    for (const float4* d : {d_pos0, d_pos1, d_vel0, d_vel1})
        for (const float4& e : download(d, bodyCount)) ASSERT_EQ(e.w, 1.0f);
}

}  // namespace

// gravsim bit for bit against a literal reference written out here, on random clouds where
// every rounding shows: the generator's draws, the CPU step (each quotient added to the
// accumulator in double), and each kernel (each quotient rounded to float, then added in
// float; the second branch of the double-buffered kernel squares the root of the squared
// distance), over several steps, both buffer directions and partial tiles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gpu_test.h"
#include "gravsim/kernels.cuh"
#include "viewer_test.h"

namespace {

using V = std::vector<float4>;
struct Cloud {
    V pos, vel;
    std::vector<float> mass;
};

float unit() { return (float)(rand() % 1000) / 1000.0f; }

V vectors(int n, float scale) {
    V v;
    for (int i = 0; i < n; ++i) {
        float x, y, z;
        do x = unit() * 2.0f - 1.0f, y = unit() * 2.0f - 1.0f, z = unit() * 2.0f - 1.0f;
        while (x == 0.0f && y == 0.0f && z == 0.0f);
        const float s = unit(), f = s / sqrtf(x * x + y * y + z * z);
        v.push_back(make_float4(f * scale * x, f * scale * y, f * scale * z, 1.0f));
    }
    return v;
}

Cloud cloud(unsigned seed, int n) {
    srand(seed);
    Cloud c{vectors(n, 1.0f)};
    c.vel = vectors(n, 1e-4f);
    for (int i = 0; i < n; ++i) c.mass.push_back((5.0f - 1.0f) * unit() + 1.0f);
    return c;
}

// Two bodies at rest, found by search, where (r.x * 1e-7) * m and r.x * (1e-7 * m) give
// quotients that round to different floats: the order of the product shows.
Cloud pair() {
    const float m = 0x1.2b020cp+1f;
    return {{make_float4(0, 0, 0, 1), make_float4(0x1.90cae8p-1f, 0x1.e978d8p-2f, 0x1.5c28f4p-1f, 1)},
            V(2, make_float4(0, 0, 0, 1)),
            {m, m}};
}

enum Sum { kDouble, kFloat, kRootSquared };

// One step of every body against every body, from the state before the step.
void step(Cloud& c, Sum sum) {
    const int n = (int)c.pos.size();
    V pos = c.pos, vel = c.vel;
    for (int i = 0; i < n; ++i) {
        float acc[3] = {0, 0, 0};
        const float4 p = c.pos[i];
        for (int j = 0; j < n; ++j) {
            const float r[3] = {c.pos[j].x - p.x, c.pos[j].y - p.y, c.pos[j].z - p.z};
            float tmp = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
            if (sum == kRootSquared) tmp = sqrtf(tmp) * sqrtf(tmp);
            const float d = (float)((double)tmp + 0.010000000000000002);
            const double den = (double)sqrtf(d * d * d);
            for (int k = 0; k < 3; ++k) {
                const double q = ((double)r[k] * 1e-7) * (double)c.mass[j] / den;
                acc[k] = sum == kDouble ? (float)((double)acc[k] + q) : acc[k] + (float)q;
            }
        }
        pos[i] = make_float4(p.x + c.vel[i].x, p.y + c.vel[i].y, p.z + c.vel[i].z, 1.0f);
        vel[i] = make_float4(c.vel[i].x + acc[0], c.vel[i].y + acc[1], c.vel[i].z + acc[2], 1.0f);
    }
    c.pos = pos, c.vel = vel;
}

void expectBits(const float4* got, const V& want, const char* what) {
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(std::memcmp(&got[i], &want[i], sizeof(float4)), 0)
            << what << " of body " << i << ": x " << got[i].x << " where the reference has " << want[i].x;
}

TEST(GravsimReference, GeneratorAndCPUStep) {
    const struct {
        unsigned seed;  // 0: the pair above
        int n, steps;
    } cases[] = {{1, 1, 3}, {2, 333, 4}, {3, 1024, 2}, {0, 2, 1}};
    for (const auto& t : cases) {
        SCOPED_TRACE(testing::Message() << t.n << " bodies, seed " << t.seed);
        Cloud ref = t.seed ? cloud(t.seed, t.n) : pair();
        srand(t.seed);
        gravsim::bodyCount = t.n;
        viewertest::enterMode<gravsim::program>(1);
        if (!t.seed) {  // the pair replaces the cloud
            std::memcpy(gravsim::pos, ref.pos.data(), t.n * sizeof(float4));
            std::memcpy(gravsim::vel, ref.vel.data(), t.n * sizeof(float4));
            std::memcpy(gravsim::mass, ref.mass.data(), t.n * sizeof(float));
        }
        expectBits(gravsim::pos, ref.pos, "generated position");
        expectBits(gravsim::vel, ref.vel, "generated velocity");
        ASSERT_EQ(std::memcmp(gravsim::mass, ref.mass.data(), t.n * sizeof(float)), 0) << "generated masses";
        for (int s = 1; s <= t.steps; ++s) {
            SCOPED_TRACE(testing::Message() << "step " << s);
            gravsim::stepCPU();
            step(ref, kDouble);
            expectBits(gravsim::pos, ref.pos, "position");
            expectBits(gravsim::vel, ref.vel, "velocity");
        }
        viewer::releaseMode();
    }
    gravsim::bodyCount = gravsim::startBodyCount;
}

enum Kernel { kPlain, kBuffer, kShared };

// Each kernel on its own device pairs, stepping the way its mode does: the plain and the
// shared-memory kernel get the pairs swapped by the host, the double-buffered one always
// (pair 0, pair 1) and the direction in buffer_mode. After each step the pair written holds
// the reference state and the pair read is untouched. Two bodies: the pair above.
TEST(GravsimReference, KernelsStepByStep) {
    REQUIRE_GPU();
    const struct {
        Kernel kernel;
        int n, steps;
    } cases[] = {{kPlain, 600, 3}, {kPlain, 2, 1},  {kBuffer, 1, 2},   {kBuffer, 700, 3},
                 {kBuffer, 2, 2},  {kShared, 1, 2}, {kShared, 1100, 3}, {kShared, 2, 1}};
    for (const auto& t : cases) {
        SCOPED_TRACE(testing::Message() << "kernel " << t.kernel << ", " << t.n << " bodies");
        const int n = t.n;
        Cloud ref = n == 2 ? pair() : cloud(40 + n, n);
        const size_t bytes = n * sizeof(float4);
        float4 *pos[2], *vel[2];
        float* mass;
        const V other(n, make_float4(7, 7, 7, 1));  // a state the first step must not read
        for (int k = 0; k < 2; ++k) {
            ASSERT_EQ(cudaMalloc(&pos[k], bytes), cudaSuccess);
            ASSERT_EQ(cudaMalloc(&vel[k], bytes), cudaSuccess);
            cudaMemcpy(pos[k], (k ? other : ref.pos).data(), bytes, cudaMemcpyHostToDevice);
            cudaMemcpy(vel[k], (k ? other : ref.vel).data(), bytes, cudaMemcpyHostToDevice);
        }
        ASSERT_EQ(cudaMalloc(&mass, n * sizeof(float)), cudaSuccess);
        cudaMemcpy(mass, ref.mass.data(), n * sizeof(float), cudaMemcpyHostToDevice);
        const dim3 grid((n + 511) / 512), block(512);
        for (int s = 0; s < t.steps; ++s) {
            SCOPED_TRACE(testing::Message() << "step " << s + 1);
            const int in = s % 2, out = 1 - in;
            const Cloud before = ref;
            if (t.kernel == kPlain)
                gravsim::computeBodyGPU<<<grid, block>>>(pos[in], pos[out], vel[in], vel[out], mass, n);
            else if (t.kernel == kShared)
                gravsim::computeBodyGPU_sm<<<grid, block>>>(pos[in], pos[out], vel[in], vel[out], mass, n);
            else
                gravsim::computeBodyGPUBuffer<<<grid, block>>>(pos[0], pos[1], vel[0], vel[1], mass, n, in);
            ASSERT_EQ(cudaGetLastError(), cudaSuccess);
            step(ref, t.kernel == kBuffer && in == 1 ? kRootSquared : kFloat);
            V got[4] = {V(n), V(n), V(n), V(n)};
            const float4* from[4] = {pos[out], vel[out], pos[in], vel[in]};
            for (int k = 0; k < 4; ++k) cudaMemcpy(got[k].data(), from[k], bytes, cudaMemcpyDeviceToHost);
            expectBits(got[0].data(), ref.pos, "position written");
            expectBits(got[1].data(), ref.vel, "velocity written");
            expectBits(got[2].data(), before.pos, "position read");
            expectBits(got[3].data(), before.vel, "velocity read");
        }
        for (int k = 0; k < 2; ++k) cudaFree(pos[k]), cudaFree(vel[k]);
        cudaFree(mass);
    }
}

}  // namespace

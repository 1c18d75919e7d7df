// gravsim's state, the CPU reference step, the three kernels and their host steps, and
// the four modes.
#include "kernels.cuh"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "camera/camera.h"

namespace gravsim {

int bodyCount = startBodyCount;
float4* pos = nullptr;
float4* vel = nullptr;
float* mass = nullptr;

float4 *d_pos0 = nullptr, *d_pos1 = nullptr, *d_vel0 = nullptr, *d_vel1 = nullptr;
float* d_mass = nullptr;
int currentBuffer = 0;
viewer::Memory memory = viewer::systemMemory();

namespace {
size_t vectorBytes() { return (size_t)bodyCount * sizeof(float4); }
size_t massBytes() { return (size_t)bodyCount * sizeof(float); }
float unitDraw() { return (float)(rand() % 1000) / 1000.0f; }
}  // namespace

// ---- bodies --------------------------------------------------------------------------

void fillRandomVectors(float4* v, int count, float scale) {
    for (int i = 0; i < count; ++i) {
        float x, y, z;
        // All three draws at 500 give no direction; draw the direction again rather than
        // divide by zero.
        do {
            x = unitDraw() * 2.0f - 1.0f;
            y = unitDraw() * 2.0f - 1.0f;
            z = unitDraw() * 2.0f - 1.0f;
        } while (x == 0.0f && y == 0.0f && z == 0.0f);
        float s = unitDraw();
        float len = sqrtf(x * x + y * y + z * z);
        float f = s / len;
        v[i] = make_float4(f * scale * x, f * scale * y, f * scale * z, 1.0f);
    }
}

void fillRandomFloats(float* v, int count, float min, float max) {
    for (int i = 0; i < count; ++i) v[i] = (max - min) * unitDraw() + min;
}

float4* randomVectors(int count, float scale) {
    float4* v = (float4*)malloc((size_t)count * sizeof(float4));
    if (!v) return nullptr;
    fillRandomVectors(v, count, scale);
    return v;
}

float* randomFloats(int count, float min, float max) {
    float* v = (float*)malloc((size_t)count * sizeof(float));
    if (!v) return nullptr;
    fillRandomFloats(v, count, min, max);
    return v;
}

// ---- the CPU reference ------------------------------------------------------------------

// Mixed precision as in the GPU kernels, except that the quotient is added to the
// accumulator in double and the sum rounded once.
void stepCPU() {
    GPU_RANGE("stepCPU");
    const int n = bodyCount;
    // The scratch of this step; without it the step is skipped (mode 1 has no fallback).
    float4* newPos = (float4*)memory.hostAlloc(vectorBytes());
    float4* newVel = newPos ? (float4*)memory.hostAlloc(vectorBytes()) : nullptr;
    static bool skipped = false;  // said once until a step runs again
    if (!newVel) {
        if (newPos) memory.hostFree(newPos);
        if (!skipped)
            fprintf(stderr, "gravsim: cannot allocate %zu bytes of host memory for %s; CPU step skipped\n",
                    vectorBytes(), newPos ? "newVel" : "newPos");
        skipped = true;
        return;
    }
    skipped = false;
    for (int i = 0; i < n; ++i) {
        float4 acc = make_float4(0, 0, 0, 1);
        const float4 pi = pos[i];
        for (int j = 0; j < n; ++j) {
            float rx = pos[j].x - pi.x, ry = pos[j].y - pi.y, rz = pos[j].z - pi.z;
            float tmp = rx * rx + ry * ry + rz * rz;
            float d = (float)((double)tmp + softening);
            double den = (double)sqrtf(d * d * d);
            double m = (double)mass[j];
            acc.x = (float)((double)acc.x + ((double)rx * gravityFactor) * m / den);
            acc.y = (float)((double)acc.y + ((double)ry * gravityFactor) * m / den);
            acc.z = (float)((double)acc.z + ((double)rz * gravityFactor) * m / den);
        }
        newPos[i] = make_float4(pi.x + vel[i].x, pi.y + vel[i].y, pi.z + vel[i].z, 0);
        newVel[i] = make_float4(vel[i].x + acc.x, vel[i].y + acc.y, vel[i].z + acc.z, 0);
    }
    // Only now, so that every body of this step saw the previous positions.
    for (int i = 0; i < n; ++i) {
        pos[i].x = newPos[i].x;
        pos[i].y = newPos[i].y;
        pos[i].z = newPos[i].z;
        vel[i].x = newVel[i].x;
        vel[i].y = newVel[i].y;
        vel[i].z = newVel[i].z;
    }
    memory.hostFree(newPos);
    memory.hostFree(newVel);
}

// ---- kernels ------------------------------------------------------------------------------

namespace {

// The pull of body j (at pj, mass mj) on body i (at pi), added to acc. The GPU rounds
// each quotient to float and adds in float. rootSquared: the distance is squared again
// from its root (the second branch of the double-buffered kernel).
__device__ inline void bodyInteraction(const float4& pi, const float4& pj, float mj, float4& acc, bool rootSquared) {
    float rx = pj.x - pi.x, ry = pj.y - pi.y, rz = pj.z - pi.z;
    float tmp = rx * rx + ry * ry + rz * rz;
    if (rootSquared) tmp = sqrtf(tmp) * sqrtf(tmp);
    float d = (float)((double)tmp + softening);
    double den = (double)sqrtf(d * d * d);
    double m = (double)mj;
    acc.x = acc.x + (float)(((double)rx * gravityFactor) * m / den);
    acc.y = acc.y + (float)(((double)ry * gravityFactor) * m / den);
    acc.z = acc.z + (float)(((double)rz * gravityFactor) * m / den);
}

// Writes x, y, z only: w keeps the 1.0 it got from the host.
__device__ inline void storeStep(const float4& p, const float4& v, const float4& acc, float4* pOut, float4* vOut) {
    pOut->x = p.x + v.x;
    pOut->y = p.y + v.y;
    pOut->z = p.z + v.z;
    vOut->x = v.x + acc.x;
    vOut->y = v.y + acc.y;
    vOut->z = v.z + acc.z;
}

__device__ inline void allPairs(const float4* posIn, const float4* velIn, float4* posOut, float4* velOut,
                                const float* d_mass, int n, int i, bool rootSquared) {
    float4 acc = make_float4(0, 0, 0, 1);
    const float4 pi = posIn[i];
    for (int j = 0; j < n; ++j) bodyInteraction(pi, posIn[j], d_mass[j], acc, rootSquared);
    storeStep(pi, velIn[i], acc, &posOut[i], &velOut[i]);
}

dim3 gridFor(int n) { return dim3((unsigned)((n + blockSize - 1) / blockSize)); }

}  // namespace

__global__ void computeBodyGPU(const float4* d_pos_i, float4* d_pos_o, const float4* d_vel_i, float4* d_vel_o,
                               const float* d_mass, int n) {
    int i = threadIdx.x + blockIdx.x * blockDim.x;
    if (!(i >= 0 && i < n)) return;
    allPairs(d_pos_i, d_vel_i, d_pos_o, d_vel_o, d_mass, n, i, false);
}

__global__ void computeBodyGPUBuffer(float4* d_pos_i, float4* d_pos_o, float4* d_vel_i, float4* d_vel_o,
                                     const float* d_mass, int n, int buffer_mode) {
    int i = threadIdx.x + blockIdx.x * blockDim.x;
    if (!(i >= 0 && i < n)) return;
    if (buffer_mode == 0)
        allPairs(d_pos_i, d_vel_i, d_pos_o, d_vel_o, d_mass, n, i, false);
    else
        allPairs(d_pos_o, d_vel_o, d_pos_i, d_vel_i, d_mass, n, i, true);
}

// Every thread of the block, with a body or not, loads its slot of each tile and takes
// both barriers; only threads with a body compute and write.
__global__ void computeBodyGPU_sm(const float4* d_pos_i, float4* d_pos_o, const float4* d_vel_i, float4* d_vel_o,
                                  const float* d_mass, int n) {
    __shared__ float4 pos_sm[blockSize];
    int index = threadIdx.x + blockIdx.x * blockDim.x;
    int tx = threadIdx.x;
    float4 acc = make_float4(0, 0, 0, 1);
    float4 pos_index = make_float4(0, 0, 0, 1), vel_index = make_float4(0, 0, 0, 1);
    if (index < n) {
        pos_index = d_pos_i[index];
        vel_index = d_vel_i[index];
    }
    const int tiles = (n + blockSize - 1) / blockSize;
    for (int m = 0; m < tiles; ++m) {
        const int first = m * blockSize;
        if (first + tx < n) pos_sm[tx] = d_pos_i[first + tx];
        __syncthreads();
        if (index < n) {
            const int inTile = n - first < blockSize ? n - first : blockSize;
            for (int k = 0; k < inTile; ++k) bodyInteraction(pos_index, pos_sm[k], d_mass[first + k], acc, false);
        }
        __syncthreads();
    }
    if (index < n) storeStep(pos_index, vel_index, acc, &d_pos_o[index], &d_vel_o[index]);
}

// ---- modes -------------------------------------------------------------------------------

namespace {

size_t vectorSize() { return vectorBytes(); }
size_t massSize() { return massBytes(); }

// A new cloud in the staged pos, vel, mass (places 0, 1, 2): positions, velocities,
// masses, in this order.
bool drawBodies(const viewer::Staged& b) {
    fillRandomVectors(b.at<float4>(0), bodyCount, positionScale);
    fillRandomVectors(b.at<float4>(1), bodyCount, velocityScale);
    fillRandomFloats(b.at<float>(2), bodyCount, minMass, maxMass);
    return true;
}

bool upload(void* to, const void* from, size_t bytes, const char* step) {
    return viewer::gpuStep(cudaMemcpy(to, from, bytes, cudaMemcpyHostToDevice), step);
}

// Mode 2 fills only the pair its kernel writes (d_pos1, d_vel1, w = 1 included) before
// the first step; modes 3 and 4 start with equal pairs.
bool drawAndUpload(const viewer::Staged& b, bool bothPairs) {
    drawBodies(b);
    const size_t v = vectorBytes();
    return upload(b.at<void>(7), b.at<void>(2), massBytes(), "mass upload") &&
           (!bothPairs || (upload(b.at<void>(3), b.at<void>(0), v, "position upload") &&
                           upload(b.at<void>(5), b.at<void>(1), v, "velocity upload"))) &&
           upload(b.at<void>(4), b.at<void>(0), v, "position upload") &&
           upload(b.at<void>(6), b.at<void>(1), v, "velocity upload");
}
bool fillGPU(const viewer::Staged& b) { return drawAndUpload(b, false); }
bool fillGPUBuffers(const viewer::Staged& b) { return drawAndUpload(b, true); }
void startOnPairZero() { currentBuffer = 0; }

viewer::Buffer vectors(const char* name, bool device, viewer::Slot slot) {
    return viewer::Buffer{.name = name, .device = device, .bytes = vectorSize, .slot = slot};
}

const viewer::Buffer kCpuBuffers[] = {
    vectors("pos", false, viewer::slot<pos>()),
    vectors("vel", false, viewer::slot<vel>()),
    {.name = "mass", .device = false, .bytes = massSize, .slot = viewer::slot<mass>()},
};
const viewer::Buffer kGpuBuffers[] = {
    kCpuBuffers[0], kCpuBuffers[1], kCpuBuffers[2],
    vectors("d_pos0", true, viewer::slot<d_pos0>()),
    vectors("d_pos1", true, viewer::slot<d_pos1>()),
    vectors("d_vel0", true, viewer::slot<d_vel0>()),
    vectors("d_vel1", true, viewer::slot<d_vel1>()),
    {.name = "d_mass", .device = true, .bytes = massSize, .slot = viewer::slot<d_mass>()},
};

// gravsim's mode keys are the characters on the digit keys of a French keyboard.
const viewer::Mode kModes[] = {
    {.key = 0x26, .name = "CPU", .buffers = kCpuBuffers, .fill = drawBodies, .compute = stepCPU},
    {.key = 0x32, .name = "GPU", .buffers = kGpuBuffers, .fill = fillGPU, .entered = startOnPairZero,
     .compute = stepGPU},
    {.key = 0x22, .name = "GPU double buffer", .buffers = kGpuBuffers, .fill = fillGPUBuffers,
     .entered = startOnPairZero, .compute = stepGPUBuffer, .released = startOnPairZero},
    {.key = 0x27, .name = "GPU shared memory", .buffers = kGpuBuffers, .fill = fillGPUBuffers,
     .entered = startOnPairZero, .compute = stepGPUShared, .released = startOnPairZero},
};

}  // namespace

// ---- host steps ---------------------------------------------------------------------------

namespace {
bool download(void* to, const void* from, const char* step) {
    return viewer::gpuStep(cudaMemcpy(to, from, vectorBytes(), cudaMemcpyDeviceToHost), step);
}
}  // namespace

void stepGPU() {
    GPU_RANGE("stepGPU");
    const int n = bodyCount;
    {
        GPU_RANGE("copy to device");
        if (!upload(d_pos0, pos, vectorBytes(), "position upload") ||
            !upload(d_vel0, vel, vectorBytes(), "velocity upload"))
            return;
    }
    {
        GPU_RANGE("launch computeBodyGPU");
        if (!viewer::gpuStep(launchKernel(computeBodyGPU, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0,
                                          d_vel1, d_mass, n),
                             "computeBodyGPU launch"))
            return;
    }
    GPU_RANGE("copy to host");
    if (download(pos, d_pos1, "position download")) download(vel, d_vel1, "velocity download");
}

void stepGPUBuffer() {
    GPU_RANGE("stepGPUBuffer");
    const int n = bodyCount;
    {
        GPU_RANGE("launch computeBodyGPUBuffer");
        if (!viewer::gpuStep(launchKernel(computeBodyGPUBuffer, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0,
                                          d_vel1, d_mass, n, currentBuffer),
                             "computeBodyGPUBuffer launch"))
            return;
    }
    GPU_RANGE("copy to host");
    if (download(pos, currentBuffer == 0 ? d_pos1 : d_pos0, "position download"))
        currentBuffer = currentBuffer == 0 ? 1 : 0;
}

void stepGPUShared() {
    GPU_RANGE("stepGPUShared");
    const int n = bodyCount;
    // Reads the current pair, writes the other.
    const bool fromZero = currentBuffer == 0;
    {
        GPU_RANGE("launch computeBodyGPU_sm");
        cudaError_t launched =
            fromZero ? launchKernel(computeBodyGPU_sm, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0, d_vel1,
                                    d_mass, n)
                     : launchKernel(computeBodyGPU_sm, gridFor(n), dim3(blockSize), d_pos1, d_pos0, d_vel1, d_vel0,
                                    d_mass, n);
        if (!viewer::gpuStep(launched, "computeBodyGPU_sm launch")) return;
    }
    GPU_RANGE("copy to host");
    if (download(pos, fromZero ? d_pos1 : d_pos0, "position download")) currentBuffer = fromZero ? 1 : 0;
}

// ---- controls ------------------------------------------------------------------------------

void specialKeys(int key, int, int) {
    int next = bodyCount;
    if (key == 101) {  // GLUT_KEY_UP
        if (next < 16)
            next += 1;
        else if (next < 128)
            next += 16;
        else if (next < 1024)
            next += 128;
        else if (next < maxBodyCount)
            next += 512;
    } else if (key == 103) {  // GLUT_KEY_DOWN
        if (next > 1024)
            next -= 512;
        else if (next > 128)
            next -= 128;
        else if (next > 16)
            next -= 16;
        else if (next > 1)
            next -= 1;
    } else {
        return;
    }
    // Always, also when the count stayed: the arrays take the new size and a new cloud.
    // Arrays that cannot be had keep the running cloud and its count.
    viewer::changeCount(&bodyCount, next);
}

int count() { return bodyCount; }

namespace {

void setUpCamera() { camera::initCamera(10.0); }

const viewer::FrameParams kFrame{
    .title = "N-Body", .width = 800, .height = 800, .gl = {.whiteColor = true, .pointSize = 2.0f},
    .refreshMs = 200, .titleFormat = "%s (mode: %s, bodies: %i, FPS: %.2f)", .titleShowsCount = true,
    .modes = kModes, .seedsRandom = true, .startUp = viewer::StartUp::SwitchMode,
    .callbackOrder = viewer::CallbackOrder::DisplayIdleMouseMotion,
    .program = "gravsim", .countName = "bodies"};

}  // namespace

const viewer::FrameParams& frame() { return kFrame; }

viewer::Program program(void (*draw)()) {
    return {.params = &kFrame, .memory = &memory, .count = count, .draw = draw, .specialKeys = specialKeys,
            .mouse = camera::cameraMouse, .motion = camera::cameraMotion, .setUp = setUpCamera};
}

}  // namespace gravsim

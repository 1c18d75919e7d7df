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

void* mallocOrExit(size_t bytes, const char* what) {
    void* p = malloc(bytes);
    if (!p) {
        fprintf(stderr, "gravsim: cannot allocate %zu bytes for %s\n", bytes, what);
        exit(1);
    }
    return p;
}

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
    float4* v = (float4*)mallocOrExit((size_t)count * sizeof(float4), "random vectors");
    fillRandomVectors(v, count, scale);
    return v;
}

float* randomFloats(int count, float min, float max) {
    float* v = (float*)mallocOrExit((size_t)count * sizeof(float), "random floats");
    fillRandomFloats(v, count, min, max);
    return v;
}

namespace {

// The arrays of a new state, taken before the old state is let go.
struct Bodies {
    float4 *pos = nullptr, *vel = nullptr;
    float* mass = nullptr;
};
struct DeviceArrays {
    float4 *pos0 = nullptr, *pos1 = nullptr, *vel0 = nullptr, *vel1 = nullptr;
    float* mass = nullptr;
};

bool takeBodies(viewer::Staging& stage, Bodies& b) {
    return stage.host(&b.pos, vectorBytes(), "pos") && stage.host(&b.vel, vectorBytes(), "vel") &&
           stage.host(&b.mass, massBytes(), "mass");
}

bool takeDeviceArrays(viewer::Staging& stage, DeviceArrays& d) {
    return stage.device(&d.pos0, vectorBytes(), "d_pos0") && stage.device(&d.pos1, vectorBytes(), "d_pos1") &&
           stage.device(&d.vel0, vectorBytes(), "d_vel0") && stage.device(&d.vel1, vectorBytes(), "d_vel1") &&
           stage.device(&d.mass, massBytes(), "d_mass");
}

// A new cloud: positions, velocities, masses, in this order.
void drawBodies(const Bodies& b) {
    fillRandomVectors(b.pos, bodyCount, positionScale);
    fillRandomVectors(b.vel, bodyCount, velocityScale);
    fillRandomFloats(b.mass, bodyCount, minMass, maxMass);
}

void installBodies(const Bodies& b) {
    pos = b.pos;
    vel = b.vel;
    mass = b.mass;
}

void installDeviceArrays(const DeviceArrays& d) {
    d_pos0 = d.pos0;
    d_pos1 = d.pos1;
    d_vel0 = d.vel0;
    d_vel1 = d.vel1;
    d_mass = d.mass;
}

}  // namespace

void initBodies() {
    if (!enterCPU(nullptr)) viewer::cannotStart("gravsim");
}

void freeBodies() {
    for (float4** p : {&pos, &vel}) {
        if (*p) memory.hostFree(*p);
        *p = nullptr;
    }
    if (mass) memory.hostFree(mass);
    mass = nullptr;
}

// ---- the CPU reference ------------------------------------------------------------------

// Mixed precision as in the GPU kernels, except that the quotient is added to the
// accumulator in double and the sum rounded once.
void stepCPU() {
    GPU_RANGE("stepCPU");
    const int n = bodyCount;
    float4* newPos = (float4*)mallocOrExit(vectorBytes(), "newPos");
    float4* newVel = (float4*)mallocOrExit(vectorBytes(), "newVel");
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
    free(newPos);
    free(newVel);
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

// ---- host steps ---------------------------------------------------------------------------

// Launch results are not looked at: a refused launch leaves the outputs as they were, and
// the step still copies back and flips the buffers.
void stepGPU() {
    GPU_RANGE("stepGPU");
    const int n = bodyCount;
    {
        GPU_RANGE("copy to device");
        cudaMemcpy(d_pos0, pos, vectorBytes(), cudaMemcpyHostToDevice);
        cudaMemcpy(d_vel0, vel, vectorBytes(), cudaMemcpyHostToDevice);
    }
    {
        GPU_RANGE("launch computeBodyGPU");
        launchKernel(computeBodyGPU, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n);
    }
    GPU_RANGE("copy to host");
    cudaMemcpy(pos, d_pos1, vectorBytes(), cudaMemcpyDeviceToHost);
    cudaMemcpy(vel, d_vel1, vectorBytes(), cudaMemcpyDeviceToHost);
}

void stepGPUBuffer() {
    GPU_RANGE("stepGPUBuffer");
    const int n = bodyCount;
    {
        GPU_RANGE("launch computeBodyGPUBuffer");
        launchKernel(computeBodyGPUBuffer, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n,
                     currentBuffer);
    }
    GPU_RANGE("copy to host");
    if (currentBuffer == 0) {
        cudaMemcpy(pos, d_pos1, vectorBytes(), cudaMemcpyDeviceToHost);
        currentBuffer = 1;
    } else {
        cudaMemcpy(pos, d_pos0, vectorBytes(), cudaMemcpyDeviceToHost);
        currentBuffer = 0;
    }
}

void stepGPUShared() {
    GPU_RANGE("stepGPUShared");
    const int n = bodyCount;
    // Reads the current pair, writes the other.
    const bool fromZero = currentBuffer == 0;
    {
        GPU_RANGE("launch computeBodyGPU_sm");
        if (fromZero)
            launchKernel(computeBodyGPU_sm, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n);
        else
            launchKernel(computeBodyGPU_sm, gridFor(n), dim3(blockSize), d_pos1, d_pos0, d_vel1, d_vel0, d_mass, n);
    }
    GPU_RANGE("copy to host");
    cudaMemcpy(pos, fromZero ? d_pos1 : d_pos0, vectorBytes(), cudaMemcpyDeviceToHost);
    currentBuffer = fromZero ? 1 : 0;
}

// ---- modes -------------------------------------------------------------------------------

namespace {

void freeDeviceArrays() {
    for (float4** p : {&d_pos0, &d_pos1, &d_vel0, &d_vel1}) {
        if (*p) memory.deviceFree(*p);
        *p = nullptr;
    }
    if (d_mass) memory.deviceFree(d_mass);
    d_mass = nullptr;
}

// Enters a GPU mode: host and device arrays taken and the new cloud uploaded before the
// old mode is released. bothPairs: modes 3 and 4, which start with equal pairs; mode 2
// fills only the pair its kernel writes (w = 1 included) before the first step.
bool enterGPUMode(void (*releaseOld)(), bool bothPairs) {
    viewer::Staging stage(memory);
    Bodies b;
    DeviceArrays d;
    if (!takeBodies(stage, b) || !takeDeviceArrays(stage, d)) {
        stage.undo();
        return false;
    }
    drawBodies(b);
    cudaMemcpy(d.mass, b.mass, massBytes(), cudaMemcpyHostToDevice);
    if (bothPairs) {
        cudaMemcpy(d.pos0, b.pos, vectorBytes(), cudaMemcpyHostToDevice);
        cudaMemcpy(d.vel0, b.vel, vectorBytes(), cudaMemcpyHostToDevice);
    }
    cudaMemcpy(d.pos1, b.pos, vectorBytes(), cudaMemcpyHostToDevice);
    cudaMemcpy(d.vel1, b.vel, vectorBytes(), cudaMemcpyHostToDevice);
    if (releaseOld) releaseOld();
    installBodies(b);
    installDeviceArrays(d);
    currentBuffer = 0;
    return true;
}

}  // namespace

bool enterCPU(void (*releaseOld)()) {
    viewer::Staging stage(memory);
    Bodies b;
    if (!takeBodies(stage, b)) {
        stage.undo();
        return false;
    }
    drawBodies(b);
    if (releaseOld) releaseOld();
    installBodies(b);
    return true;
}

bool enterGPU(void (*releaseOld)()) { return enterGPUMode(releaseOld, false); }
bool enterGPUBuffers(void (*releaseOld)()) { return enterGPUMode(releaseOld, true); }

void allocateCPU() { initBodies(); }

void allocateGPU() {
    if (!enterGPU(nullptr)) viewer::cannotStart("gravsim");
}

void allocateGPUBuffers() {
    if (!enterGPUBuffers(nullptr)) viewer::cannotStart("gravsim");
}

void releaseCPU() { freeBodies(); }

void releaseGPU() {
    freeBodies();
    freeDeviceArrays();
}

void releaseGPUBuffers() {
    freeBodies();
    currentBuffer = 0;
    freeDeviceArrays();
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

viewer::Program makeProgram(void (*draw)()) {
    viewer::Program p{};
    p.params = &viewer::gravsimFrame;
    p.modes[1] = {enterCPU, releaseCPU, stepCPU};
    p.modes[2] = {enterGPU, releaseGPU, stepGPU};
    p.modes[3] = {enterGPUBuffers, releaseGPUBuffers, stepGPUBuffer};
    p.modes[4] = {enterGPUBuffers, releaseGPUBuffers, stepGPUShared};
    p.count = count;
    p.draw = draw;
    p.specialKeys = specialKeys;
    p.mouse = camera::cameraMouse;
    p.motion = camera::cameraMotion;
    return p;
}

}  // namespace gravsim

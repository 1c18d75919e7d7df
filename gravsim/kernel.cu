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

void* mallocOrExit(size_t bytes, const char* what) {
    void* p = malloc(bytes);
    if (!p) {
        fprintf(stderr, "gravsim: cannot allocate %zu bytes for %s\n", bytes, what);
        exit(1);
    }
    return p;
}

void cudaMallocOrExit(void** ptr, size_t bytes, const char* what) {
    cudaError_t err = cudaMalloc(ptr, bytes);
    if (err != cudaSuccess) {
        fprintf(stderr, "gravsim: cannot allocate %zu bytes of device memory for %s (%s)\n", bytes, what,
                cudaGetErrorString(err));
        exit(1);
    }
}

namespace {
size_t vectorBytes() { return (size_t)bodyCount * sizeof(float4); }
size_t massBytes() { return (size_t)bodyCount * sizeof(float); }
float unitDraw() { return (float)(rand() % 1000) / 1000.0f; }
}  // namespace

// ---- bodies --------------------------------------------------------------------------

float4* randomVectors(int count, float scale) {
    float4* v = (float4*)mallocOrExit((size_t)count * sizeof(float4), "random vectors");
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
    return v;
}

float* randomFloats(int count, float min, float max) {
    float* v = (float*)mallocOrExit((size_t)count * sizeof(float), "random floats");
    for (int i = 0; i < count; ++i) v[i] = (max - min) * unitDraw() + min;
    return v;
}

void initBodies() {
    pos = randomVectors(bodyCount, positionScale);
    vel = randomVectors(bodyCount, velocityScale);
    mass = randomFloats(bodyCount, minMass, maxMass);
}

void freeBodies() {
    free(pos);
    pos = nullptr;
    free(vel);
    vel = nullptr;
    free(mass);
    mass = nullptr;
}

// ---- the CPU reference ------------------------------------------------------------------

// Mixed precision as in the GPU kernels, except that the quotient is added to the
// accumulator in double and the sum rounded once.
void stepCPU() {
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
    const int n = bodyCount;
    cudaMemcpy(d_pos0, pos, vectorBytes(), cudaMemcpyHostToDevice);
    cudaMemcpy(d_vel0, vel, vectorBytes(), cudaMemcpyHostToDevice);
    launchKernel(computeBodyGPU, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n);
    cudaMemcpy(pos, d_pos1, vectorBytes(), cudaMemcpyDeviceToHost);
    cudaMemcpy(vel, d_vel1, vectorBytes(), cudaMemcpyDeviceToHost);
}

void stepGPUBuffer() {
    const int n = bodyCount;
    launchKernel(computeBodyGPUBuffer, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n,
                 currentBuffer);
    if (currentBuffer == 0) {
        cudaMemcpy(pos, d_pos1, vectorBytes(), cudaMemcpyDeviceToHost);
        currentBuffer = 1;
    } else {
        cudaMemcpy(pos, d_pos0, vectorBytes(), cudaMemcpyDeviceToHost);
        currentBuffer = 0;
    }
}

void stepGPUShared() {
    const int n = bodyCount;
    if (currentBuffer == 0) {
        launchKernel(computeBodyGPU_sm, gridFor(n), dim3(blockSize), d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n);
        cudaMemcpy(pos, d_pos1, vectorBytes(), cudaMemcpyDeviceToHost);
        currentBuffer = 1;
    } else {
        launchKernel(computeBodyGPU_sm, gridFor(n), dim3(blockSize), d_pos1, d_pos0, d_vel1, d_vel0, d_mass, n);
        cudaMemcpy(pos, d_pos0, vectorBytes(), cudaMemcpyDeviceToHost);
        currentBuffer = 0;
    }
}

// ---- modes -------------------------------------------------------------------------------

namespace {
void allocateDeviceArrays() {
    cudaMallocOrExit((void**)&d_pos0, vectorBytes(), "d_pos0");
    cudaMallocOrExit((void**)&d_pos1, vectorBytes(), "d_pos1");
    cudaMallocOrExit((void**)&d_vel0, vectorBytes(), "d_vel0");
    cudaMallocOrExit((void**)&d_vel1, vectorBytes(), "d_vel1");
    cudaMallocOrExit((void**)&d_mass, massBytes(), "d_mass");
}

void freeDeviceArrays() {
    for (float4** p : {&d_pos0, &d_pos1, &d_vel0, &d_vel1}) {
        cudaFree(*p);
        *p = nullptr;
    }
    cudaFree(d_mass);
    d_mass = nullptr;
}
}  // namespace

void allocateCPU() { initBodies(); }

void allocateGPU() {
    initBodies();
    allocateDeviceArrays();
    // The pair the kernel writes holds the bodies (w = 1 included) before the first step.
    cudaMemcpy(d_mass, mass, massBytes(), cudaMemcpyHostToDevice);
    cudaMemcpy(d_pos1, pos, vectorBytes(), cudaMemcpyHostToDevice);
    cudaMemcpy(d_vel1, vel, vectorBytes(), cudaMemcpyHostToDevice);
}

void allocateGPUBuffers() {
    initBodies();
    allocateDeviceArrays();
    cudaMemcpy(d_mass, mass, massBytes(), cudaMemcpyHostToDevice);
    cudaMemcpy(d_pos0, pos, vectorBytes(), cudaMemcpyHostToDevice);
    cudaMemcpy(d_vel0, vel, vectorBytes(), cudaMemcpyHostToDevice);
    cudaMemcpy(d_pos1, pos, vectorBytes(), cudaMemcpyHostToDevice);
    cudaMemcpy(d_vel1, vel, vectorBytes(), cudaMemcpyHostToDevice);
    currentBuffer = 0;
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
    if (key == 101) {  // GLUT_KEY_UP
        if (bodyCount < 16)
            bodyCount += 1;
        else if (bodyCount < 128)
            bodyCount += 16;
        else if (bodyCount < 1024)
            bodyCount += 128;
        else if (bodyCount < maxBodyCount)
            bodyCount += 512;
    } else if (key == 103) {  // GLUT_KEY_DOWN
        if (bodyCount > 1024)
            bodyCount -= 512;
        else if (bodyCount > 128)
            bodyCount -= 128;
        else if (bodyCount > 16)
            bodyCount -= 16;
        else if (bodyCount > 1)
            bodyCount -= 1;
    } else {
        return;
    }
    // Always, also when the count stayed: the arrays take the new size and a new cloud.
    viewer::switchMode(viewer::state.mode);
}

int count() { return bodyCount; }

viewer::Program makeProgram(void (*draw)()) {
    viewer::Program p{};
    p.params = &viewer::gravsimFrame;
    p.modes[1] = {allocateCPU, releaseCPU, stepCPU};
    p.modes[2] = {allocateGPU, releaseGPU, stepGPU};
    p.modes[3] = {allocateGPUBuffers, releaseGPUBuffers, stepGPUBuffer};
    p.modes[4] = {allocateGPUBuffers, releaseGPUBuffers, stepGPUShared};
    p.count = count;
    p.draw = draw;
    p.specialKeys = specialKeys;
    p.mouse = camera::cameraMouse;
    p.motion = camera::cameraMotion;
    return p;
}

}  // namespace gravsim

// gravsim: all-pairs gravitational N-body simulation, one body per GPU thread, drawn as
// points under the orbit camera.
//
// Modes (keys & 2 " ' : the digit keys 1 to 4 of a French keyboard), what each changes and
// what to watch:
//   1  CPU                stepCPU: every body against every other on one host thread: n^2 pairs.
//   2  GPU                computeBodyGPU: one thread per body reads all n positions from global
//                         memory. The whole state goes over the bus twice a frame (upload, download).
//   3  GPU double buffer  computeBodyGPUBuffer: the state stays on the device in two pairs of
//                         arrays that swap roles each frame (double buffering); only the new
//                         positions come back for drawing.
//   4  GPU shared memory  computeBodyGPU_sm: the block loads 512 positions at a time into shared
//                         memory (a tile) and every thread reads them from there: each position is
//                         read from global memory once a block instead of once a thread.
//
// Controls (handled at the end of this file): the up and down arrows walk the body count
// (1 to 1,048,576) and start a new cloud; a mouse drag turns the camera, the wheel zooms;
// the mode keys above; ESC quits.
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

using viewer::allocated;
using viewer::cudaCheck;

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

// ---- the CPU loop (mode 1) ----------------------------------------------------------------

// Mixed precision as in the GPU kernels, except that the quotient is added to the
// accumulator in double and the sum rounded once.
void stepCPU() {
    GPU_RANGE("stepCPU");
    const int n = bodyCount;
    // The scratch of this step; without it the step is skipped (mode 1 has no fallback).
    float4* newPos = (float4*)malloc(vectorBytes());
    float4* newVel = (float4*)malloc(vectorBytes());
    const char* missing = !allocated(newPos, "newPos", vectorBytes())   ? "newPos"
                          : !allocated(newVel, "newVel", vectorBytes()) ? "newVel"
                                                                        : nullptr;
    static bool skipped = false;  // said once until a step runs again
    if (missing) {
        free(newPos);
        free(newVel);
        if (!skipped)
            fprintf(stderr, "gravsim: cannot allocate %zu bytes of host memory for %s; CPU step skipped\n",
                    vectorBytes(), missing);
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
    free(newPos);
    free(newVel);
}

// ---- the kernels (modes 2 to 4) ------------------------------------------------------------

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

// The launch shape of all three kernels: one thread per body in blocks of blockSize (512),
// enough blocks to cover n. The last block's extra threads have no body.
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
// both barriers; only threads with a body compute and write. Each position is read from
// global memory once a block, then blockSize times from shared memory.
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
        __syncthreads();  // the whole tile is loaded before any thread reads it
        if (index < n) {
            const int inTile = n - first < blockSize ? n - first : blockSize;
            for (int k = 0; k < inTile; ++k) bodyInteraction(pos_index, pos_sm[k], d_mass[first + k], acc, false);
        }
        __syncthreads();  // every thread is done with this tile before the next one overwrites it
    }
    if (index < n) storeStep(pos_index, vel_index, acc, &d_pos_o[index], &d_vel_o[index]);
}

// ---- the modes: allocate, release, compute --------------------------------------------------

namespace {

// Mode 1's arrays, which the GPU modes hold too.
bool allocateHost() {
    const size_t v = vectorBytes(), m = massBytes();
    pos = (float4*)malloc(v);
    if (!allocated(pos, "pos", v)) return false;
    vel = (float4*)malloc(v);
    if (!allocated(vel, "vel", v)) return false;
    mass = (float*)malloc(m);
    return allocated(mass, "mass", m);
}

// A new cloud: positions, velocities, masses, in this order.
void drawBodies() {
    fillRandomVectors(pos, bodyCount, positionScale);
    fillRandomVectors(vel, bodyCount, velocityScale);
    fillRandomFloats(mass, bodyCount, minMass, maxMass);
}

// The GPU modes' device arrays: two pairs of position and velocity arrays and the masses.
bool allocateDevice() {
    const size_t v = vectorBytes(), m = massBytes();
    return allocated(cudaMalloc(&d_pos0, v), "d_pos0", v) && allocated(cudaMalloc(&d_pos1, v), "d_pos1", v) &&
           allocated(cudaMalloc(&d_vel0, v), "d_vel0", v) && allocated(cudaMalloc(&d_vel1, v), "d_vel1", v) &&
           allocated(cudaMalloc(&d_mass, m), "d_mass", m);
}

}  // namespace

// Mode 1.
bool allocateCPU() {
    if (!allocateHost()) return false;
    drawBodies();
    return true;
}

void releaseCPU() {
    free(pos);
    free(vel);
    free(mass);
    pos = vel = nullptr;
    mass = nullptr;
}

// Modes 2 to 4 hold mode 1's arrays and the device arrays; this returns the device ones
// (the frame runs mode 1's release after it).
void releaseGPU() {
    cudaFree(d_pos0);
    cudaFree(d_pos1);
    cudaFree(d_vel0);
    cudaFree(d_vel1);
    cudaFree(d_mass);
    d_pos0 = d_pos1 = d_vel0 = d_vel1 = nullptr;
    d_mass = nullptr;
}

// Mode 2 uploads the masses and the pair its kernel writes, so that w = 1 is there before
// the first step; every step uploads the state again.
bool allocateGPU() {
    if (!allocateHost() || !allocateDevice()) return false;
    drawBodies();
    const size_t v = vectorBytes();
    return cudaCheck(cudaMemcpy(d_mass, mass, massBytes(), cudaMemcpyHostToDevice), "mass upload") &&
           cudaCheck(cudaMemcpy(d_pos1, pos, v, cudaMemcpyHostToDevice), "position upload") &&
           cudaCheck(cudaMemcpy(d_vel1, vel, v, cudaMemcpyHostToDevice), "velocity upload");
}

void stepGPU() {
    GPU_RANGE("stepGPU");
    const int n = bodyCount;
    const size_t v = vectorBytes();
    if (!cudaCheck(cudaMemcpy(d_pos0, pos, v, cudaMemcpyHostToDevice), "position upload") ||
        !cudaCheck(cudaMemcpy(d_vel0, vel, v, cudaMemcpyHostToDevice), "velocity upload"))
        return;
    computeBodyGPU<<<gridFor(n), blockSize>>>(d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n);
    if (!cudaCheck(cudaGetLastError(), "computeBodyGPU launch")) return;
    // On a GPU the launch returns at once; this copy waits for the kernel to finish.
    if (cudaCheck(cudaMemcpy(pos, d_pos1, v, cudaMemcpyDeviceToHost), "position download"))
        cudaCheck(cudaMemcpy(vel, d_vel1, v, cudaMemcpyDeviceToHost), "velocity download");
}

// Modes 3 and 4 keep the state on the device: both pairs start equal, pair 0 current.
bool allocateGPUBuffers() {
    if (!allocateHost() || !allocateDevice()) return false;
    drawBodies();
    const size_t v = vectorBytes();
    const bool uploaded = cudaCheck(cudaMemcpy(d_mass, mass, massBytes(), cudaMemcpyHostToDevice), "mass upload") &&
                          cudaCheck(cudaMemcpy(d_pos0, pos, v, cudaMemcpyHostToDevice), "position upload") &&
                          cudaCheck(cudaMemcpy(d_vel0, vel, v, cudaMemcpyHostToDevice), "velocity upload") &&
                          cudaCheck(cudaMemcpy(d_pos1, pos, v, cudaMemcpyHostToDevice), "position upload") &&
                          cudaCheck(cudaMemcpy(d_vel1, vel, v, cudaMemcpyHostToDevice), "velocity upload");
    if (uploaded) currentBuffer = 0;
    return uploaded;
}

// Mode 3: the kernel reads the current pair and writes the other; only the new positions
// come back, for drawing.
void stepGPUBuffer() {
    GPU_RANGE("stepGPUBuffer");
    const int n = bodyCount;
    computeBodyGPUBuffer<<<gridFor(n), blockSize>>>(d_pos0, d_pos1, d_vel0, d_vel1, d_mass, n, currentBuffer);
    if (!cudaCheck(cudaGetLastError(), "computeBodyGPUBuffer launch")) return;
    if (cudaCheck(cudaMemcpy(pos, currentBuffer == 0 ? d_pos1 : d_pos0, vectorBytes(), cudaMemcpyDeviceToHost),
                  "position download"))
        currentBuffer = currentBuffer == 0 ? 1 : 0;
}

// Mode 4: the same pairs, the tiled kernel; the pair it reads is passed as its input.
void stepGPUShared() {
    GPU_RANGE("stepGPUShared");
    const int n = bodyCount;
    const bool fromZero = currentBuffer == 0;
    float4 *posIn = fromZero ? d_pos0 : d_pos1, *posOut = fromZero ? d_pos1 : d_pos0;
    float4 *velIn = fromZero ? d_vel0 : d_vel1, *velOut = fromZero ? d_vel1 : d_vel0;
    computeBodyGPU_sm<<<gridFor(n), blockSize>>>(posIn, posOut, velIn, velOut, d_mass, n);
    if (!cudaCheck(cudaGetLastError(), "computeBodyGPU_sm launch")) return;
    if (cudaCheck(cudaMemcpy(pos, posOut, vectorBytes(), cudaMemcpyDeviceToHost), "position download"))
        currentBuffer = fromZero ? 1 : 0;
}

namespace {

void* const kBuffers[] = {&pos, &vel, &mass, &d_pos0, &d_pos1, &d_vel0, &d_vel1, &d_mass};

const viewer::Mode kModes[] = {
    {.key = 0x26, .name = "CPU", .allocate = allocateCPU, .release = releaseCPU, .compute = stepCPU},
    {.key = 0x32, .name = "GPU", .allocate = allocateGPU, .release = releaseGPU, .compute = stepGPU, .gpu = true},
    {.key = 0x22, .name = "GPU double buffer", .allocate = allocateGPUBuffers, .release = releaseGPU,
     .compute = stepGPUBuffer, .gpu = true},
    {.key = 0x27, .name = "GPU shared memory", .allocate = allocateGPUBuffers, .release = releaseGPU,
     .compute = stepGPUShared, .gpu = true},
};

}  // namespace

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
    .modes = kModes, .buffers = kBuffers, .seedsRandom = true, .startUp = viewer::StartUp::SwitchMode,
    .callbackOrder = viewer::CallbackOrder::DisplayIdleMouseMotion,
    .program = "gravsim", .countName = "bodies"};

}  // namespace

const viewer::FrameParams& frame() { return kFrame; }

viewer::Program program(void (*draw)()) {
    return {.params = &kFrame, .count = count, .draw = draw, .specialKeys = specialKeys,
            .mouse = camera::cameraMouse, .motion = camera::cameraMotion, .setUp = setUpCamera};
}

}  // namespace gravsim

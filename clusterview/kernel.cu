// clusterview: K-means on a cloud of random 3D points, one iteration per frame: every point
// is assigned to its nearest of 128 centroids, then each centroid moves to the mean of its
// points. The assignment is the data-parallel part: one GPU thread per point.
//
// Modes (keys 1 and 2), what each changes and what to watch:
//   1  CPU  stepCPU: assignCPU and updateCentroids on one host thread.
//   2  GPU  kernelAssign: one thread per point, blocks of 512; every thread reads all 128
//           centroids, the same one at the same time across a warp. The labels and colours
//           come back over the bus every frame (20 bytes a point), the centroid update
//           stays on the host, and the 128 new centroids go back up: at millions of points
//           the copies are a large part of the frame.
//
// Controls (handled at the end of this file): the up arrow doubles the point count (up to
// 67,108,864), the down arrow halves it (down to 256), each with a new cloud; a mouse drag
// turns the camera, the wheel zooms; the keys 1 and 2 pick the mode; ESC quits.
#include "kernel.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "camera/camera.h"

namespace clusterview {

using viewer::allocated;
using viewer::cudaCheck;

int pointCount = startPointCount;
float4* points = nullptr;
float4* pointColors = nullptr;
int* pointLabel = nullptr;
float4* centroids = nullptr;
float4* centroidColors = nullptr;

float4* d_points = nullptr;
float4* d_centroids = nullptr;
float4* d_pointColors = nullptr;
float4* d_centroidColors = nullptr;
unsigned* d_pointLabel = nullptr;

int (*randomSource)() = rand;

namespace {

constexpr int kKeyUp = 101;    // GLUT_KEY_UP
constexpr int kKeyDown = 103;  // GLUT_KEY_DOWN

// 0.000 to 0.999 on a grid of 1/1000.
float unit(int d) { return (float)(d % 1000) / 1000.0f; }
// -1.000 to 0.998.
float signedUnit(int d) { return unit(d) * 2.0f - 1.0f; }

struct Blob {
    float4 centre;
    float spread;
};

size_t bytesOf(int count, size_t element) { return (size_t)count * element; }

}  // namespace

// ---- data ------------------------------------------------------------------------------

void generatePointsInto(float4* result, int count, float scale) {
    Blob blobs[blobCount];
    for (int b = 0; b < blobCount; ++b) {
        float ux = signedUnit(randomSource());
        float uy = signedUnit(randomSource());
        float uz = signedUnit(randomSource());
        float q = (float)((randomSource() % 1000) * 3);
        float reach = (float)pow((double)(q / 1000.0f), 4.0);
        blobs[b].centre = make_float4(reach * scale * ux, reach * scale * uy, reach * scale * uz, 1.0f);
        blobs[b].spread = unit(randomSource()) + 0.5f;
    }
    for (int i = 0; i < count; ++i) {
        const Blob& blob = blobs[randomSource() % blobCount];
        float e, f, g;
        do {  // a zero direction has no length to divide by: draw it again
            e = signedUnit(randomSource());
            f = signedUnit(randomSource());
            g = signedUnit(randomSource());
        } while (e == 0.0f && f == 0.0f && g == 0.0f);
        float m = (float)((randomSource() % 1000) * 2) / 1000.0f;
        float len = sqrtf(e * e + f * f + g * g);
        float h = (float)pow((double)(m / len), 2.5);
        float k = blob.spread * blob.spread * h * scale;
        result[i] = make_float4(blob.centre.x + k * e, blob.centre.y + k * f, blob.centre.z + k * g, 1.0f);
    }
}

float4* generatePoints(int count, float scale) {
    float4* result = (float4*)malloc(bytesOf(count, sizeof(float4)));
    if (!result) return nullptr;
    generatePointsInto(result, count, scale);
    return result;
}

float4 randomColor() {
    float4 color;
    color.x = unit(randomSource());
    color.y = unit(randomSource());
    color.z = unit(randomSource());
    color.w = 1.0f;
    return color;
}

// ---- the CPU loop (mode 1) ------------------------------------------------------------------

void assignCPU() {
    for (int i = 0; i < pointCount; ++i) {
        int c = nearestCentroid(points[i], centroids);
        pointLabel[i] = c;
        pointColors[i].x = centroidColors[c].x;
        pointColors[i].y = centroidColors[c].y;
        pointColors[i].z = centroidColors[c].z;
    }
}

void updateCentroids() {
    float sx[clusterCount] = {}, sy[clusterCount] = {}, sz[clusterCount] = {};
    int members[clusterCount] = {};
    for (int i = 0; i < pointCount; ++i) {
        unsigned c = (unsigned)pointLabel[i];
        if (c >= (unsigned)clusterCount) continue;  // never from the assignment; keeps sums in bounds
        sx[c] += points[i].x;
        sy[c] += points[i].y;
        sz[c] += points[i].z;
        members[c] += 1;
    }
    for (int k = 0; k < clusterCount; ++k) {
        if (members[k] == 0) continue;  // an empty cluster keeps its centroid (0 / 0 would be NaN)
        centroids[k].x = sx[k] / (float)members[k];
        centroids[k].y = sy[k] / (float)members[k];
        centroids[k].z = sz[k] / (float)members[k];
    }
}

void stepCPU() {
    GPU_RANGE("stepCPU");
    assignCPU();
    updateCentroids();
}

// ---- the kernel (mode 2) -----------------------------------------------------------------------

// One thread per point: the nearest centroid, its label and its colour.
__global__ void kernelAssign(const float4* d_points, const float4* d_centroids, float4* d_pointColors,
                             const float4* d_centroidColors, unsigned* d_pointLabel) {
    int index = blockIdx.x * blockDim.x + threadIdx.x;
    int c = nearestCentroid(d_points[index], d_centroids);
    d_pointLabel[index] = (unsigned)c;
    d_pointColors[index].x = d_centroidColors[c].x;
    d_pointColors[index].y = d_centroidColors[c].y;
    d_pointColors[index].z = d_centroidColors[c].z;
}

// The launch shape: blocks of 512 threads, or one block of count threads below that, so the
// launch covers exactly the points (the kernel has no count to stop at; every count from
// 256 up is a power of two).
dim3 assignBlock(int count) { return dim3(count < assignBlockSize ? (unsigned)count : assignBlockSize); }
dim3 assignGrid(int count) {
    unsigned block = assignBlock(count).x;
    return dim3(((unsigned)count + block - 1) / block);
}

cudaError_t launchKernelAssign() {
    kernelAssign<<<assignGrid(pointCount), assignBlock(pointCount)>>>(d_points, d_centroids, d_pointColors,
                                                                       d_centroidColors, d_pointLabel);
    return cudaGetLastError();
}

// ---- the modes: allocate, release, compute --------------------------------------------------------

namespace {

size_t pointVectors() { return bytesOf(pointCount, sizeof(float4)); }
size_t pointLabels() { return bytesOf(pointCount, sizeof(int)); }
constexpr size_t kClusterVectors = sizeof(float4) * clusterCount;

// A new cloud in the host arrays, its first 128 points as centroids, and the cluster colours.
void drawCloud() {
    generatePointsInto(points, pointCount, 1.0f);
    for (int k = 0; k < clusterCount; ++k) {
        centroids[k] = points[k];
        centroidColors[k] = randomColor();
    }
    // The assignment writes red, green and blue; the rest starts defined (opaque black),
    // so the first upload and draw never read uninitialised memory.
    for (int i = 0; i < pointCount; ++i) {
        pointLabel[i] = 0;
        pointColors[i] = make_float4(0.0f, 0.0f, 0.0f, 1.0f);
    }
}

bool allocateHost() {
    points = (float4*)malloc(pointVectors());
    if (!allocated(points, "points", pointVectors())) return false;
    pointColors = (float4*)malloc(pointVectors());
    if (!allocated(pointColors, "pointColors", pointVectors())) return false;
    pointLabel = (int*)malloc(pointLabels());
    if (!allocated(pointLabel, "pointLabel", pointLabels())) return false;
    centroids = (float4*)malloc(kClusterVectors);
    if (!allocated(centroids, "centroids", kClusterVectors)) return false;
    centroidColors = (float4*)malloc(kClusterVectors);
    return allocated(centroidColors, "centroidColors", kClusterVectors);
}

}  // namespace

// Mode 1.
bool allocateCPU() {
    if (!allocateHost()) return false;
    drawCloud();
    return true;
}

void releaseCPU() {
    free(points);
    free(pointColors);
    free(pointLabel);
    free(centroids);
    free(centroidColors);
    points = pointColors = centroids = centroidColors = nullptr;
    pointLabel = nullptr;
}

// Mode 2: the host arrays and their device twins, the new cloud uploaded.
bool allocateGPU() {
    const size_t n16 = pointVectors(), n4 = pointLabels();
    if (!allocateHost() || !allocated(cudaMalloc(&d_points, n16), "d_points", n16) ||
        !allocated(cudaMalloc(&d_pointColors, n16), "d_pointColors", n16) ||
        !allocated(cudaMalloc(&d_pointLabel, n4), "d_pointLabel", n4) ||
        !allocated(cudaMalloc(&d_centroids, kClusterVectors), "d_centroids", kClusterVectors) ||
        !allocated(cudaMalloc(&d_centroidColors, kClusterVectors), "d_centroidColors", kClusterVectors))
        return false;
    drawCloud();
    return cudaCheck(cudaMemcpy(d_points, points, n16, cudaMemcpyHostToDevice), "point upload") &&
           cudaCheck(cudaMemcpy(d_pointColors, pointColors, n16, cudaMemcpyHostToDevice), "colour upload") &&
           cudaCheck(cudaMemcpy(d_pointLabel, pointLabel, n4, cudaMemcpyHostToDevice), "label upload") &&
           cudaCheck(cudaMemcpy(d_centroids, centroids, kClusterVectors, cudaMemcpyHostToDevice), "centroid upload") &&
           cudaCheck(cudaMemcpy(d_centroidColors, centroidColors, kClusterVectors, cudaMemcpyHostToDevice),
                     "centroid colour upload");
}

// Mode 2's device arrays (the frame runs mode 1's release after it).
void releaseGPU() {
    cudaFree(d_points);
    cudaFree(d_pointColors);
    cudaFree(d_pointLabel);
    cudaFree(d_centroids);
    cudaFree(d_centroidColors);
    d_points = d_centroids = d_pointColors = d_centroidColors = nullptr;
    d_pointLabel = nullptr;
}

// The assignment on the device, the update on the host, the new centroids back up.
void stepGPU() {
    GPU_RANGE("stepGPU");
    if (!cudaCheck(launchKernelAssign(), "kernelAssign launch")) return;
    // On a GPU the launch returns at once; this copy waits for the kernel to finish.
    if (!cudaCheck(cudaMemcpy(pointLabel, d_pointLabel, pointLabels(), cudaMemcpyDeviceToHost), "label download") ||
        !cudaCheck(cudaMemcpy(pointColors, d_pointColors, pointVectors(), cudaMemcpyDeviceToHost), "colour download"))
        return;
    updateCentroids();
    cudaCheck(cudaMemcpy(d_centroids, centroids, kClusterVectors, cudaMemcpyHostToDevice), "centroid upload");
}

namespace {

void* const kBuffers[] = {&points,   &pointColors,   &pointLabel,   &centroids,   &centroidColors,
                          &d_points, &d_pointColors, &d_pointLabel, &d_centroids, &d_centroidColors};

const viewer::Mode kModes[] = {
    {.key = 0x31, .name = "CPU", .allocate = allocateCPU, .release = releaseCPU, .compute = stepCPU},
    {.key = 0x32, .name = "GPU", .allocate = allocateGPU, .release = releaseGPU, .compute = stepGPU, .gpu = true},
};

}  // namespace

// ---- controls -----------------------------------------------------------------------------------

void specialKeys(int key, int, int) {
    int next = pointCount;
    if (key == kKeyUp) {
        if (next < maxPointCount) next *= 2;
    } else if (key == kKeyDown) {
        if (next > minPointCount) next /= 2;
    } else {
        return;
    }
    // Arrays that cannot be had keep the running cloud and its count.
    viewer::changeCount(&pointCount, next);
}

int currentPointCount() { return pointCount; }

namespace {

void setUpCamera() { camera::initCamera(300.0); }

const viewer::FrameParams kFrame{
    .title = "K-means", .width = 800, .height = 800, .gl = {.whiteColor = true, .depthTest = true},
    .refreshMs = 200, .titleFormat = "%s: %s, %i points, %.2f FPS", .titleShowsCount = true,
    .modes = kModes, .buffers = kBuffers, .seedsRandom = true, .startUp = viewer::StartUp::SwitchMode,
    .callbackOrder = viewer::CallbackOrder::DisplayIdleMouseMotion,
    .program = "clusterview", .countName = "points"};

}  // namespace

const viewer::FrameParams& frame() { return kFrame; }

viewer::Program program(void (*draw)()) {
    return {.params = &kFrame, .count = currentPointCount, .draw = draw,
            .specialKeys = specialKeys, .mouse = camera::cameraMouse, .motion = camera::cameraMotion,
            .setUp = setUpCamera};
}

}  // namespace clusterview

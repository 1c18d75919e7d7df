// clusterview's K-means: the point cloud, the assignment on the CPU and as a kernel, the
// centroid update, the two modes and the point-count keys.
#include "kernel.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace clusterview {

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

int (*draw)() = rand;

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

void* hostAlloc(size_t bytes, const char* name) {
    void* p = malloc(bytes);
    if (!p && bytes > 0) {
        fprintf(stderr, "clusterview: out of memory: cannot allocate %zu bytes for %s\n", bytes, name);
        exit(1);
    }
    return p;
}

void deviceAlloc(void** p, size_t bytes, const char* name) {
    cudaError_t err = cudaMalloc(p, bytes);
    if (err != cudaSuccess) {
        fprintf(stderr, "clusterview: cannot allocate %zu bytes of device memory for %s (%s)\n", bytes, name,
                cudaGetErrorString(err));
        exit(1);
    }
}

void requireCuda(cudaError_t err, const char* what) {
    if (err != cudaSuccess) {
        fprintf(stderr, "clusterview: %s failed: %s\n", what, cudaGetErrorString(err));
        exit(1);
    }
}

// ---- data ------------------------------------------------------------------------------

float4* generatePoints(int count, float scale) {
    Blob* blobs = (Blob*)hostAlloc(sizeof(Blob) * blobCount, "the blob table");
    for (int b = 0; b < blobCount; ++b) {
        float ux = signedUnit(draw());
        float uy = signedUnit(draw());
        float uz = signedUnit(draw());
        float q = (float)((draw() % 1000) * 3);
        float reach = (float)pow((double)(q / 1000.0f), 4.0);
        blobs[b].centre = make_float4(reach * scale * ux, reach * scale * uy, reach * scale * uz, 1.0f);
        blobs[b].spread = unit(draw()) + 0.5f;
    }
    float4* result = (float4*)hostAlloc(bytesOf(count, sizeof(float4)), "points");
    for (int i = 0; i < count; ++i) {
        const Blob& blob = blobs[draw() % blobCount];
        float e, f, g;
        do {  // a zero direction has no length to divide by: draw it again
            e = signedUnit(draw());
            f = signedUnit(draw());
            g = signedUnit(draw());
        } while (e == 0.0f && f == 0.0f && g == 0.0f);
        float m = (float)((draw() % 1000) * 2) / 1000.0f;
        float len = sqrtf(e * e + f * f + g * g);
        float h = (float)pow((double)(m / len), 2.5);
        float k = blob.spread * blob.spread * h * scale;
        result[i] = make_float4(blob.centre.x + k * e, blob.centre.y + k * f, blob.centre.z + k * g, 1.0f);
    }
    free(blobs);
    return result;
}

float4 randomColor() {
    float4 color;
    color.x = unit(draw());
    color.y = unit(draw());
    color.z = unit(draw());
    color.w = 1.0f;
    return color;
}

void initKMeans() {
    points = generatePoints(pointCount, 1.0f);
    pointColors = (float4*)hostAlloc(bytesOf(pointCount, sizeof(float4)), "pointColors");
    pointLabel = (int*)hostAlloc(bytesOf(pointCount, sizeof(int)), "pointLabel");
    centroids = (float4*)hostAlloc(sizeof(float4) * clusterCount, "centroids");
    centroidColors = (float4*)hostAlloc(sizeof(float4) * clusterCount, "centroidColors");
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

// ---- assignment and update ---------------------------------------------------------

__global__ void kernelAssign(const float4* d_points, const float4* d_centroids, float4* d_pointColors,
                             const float4* d_centroidColors, unsigned* d_pointLabel) {
    int index = blockIdx.x * blockDim.x + threadIdx.x;
    int c = nearestCentroid(d_points[index], d_centroids);
    d_pointLabel[index] = (unsigned)c;
    d_pointColors[index].x = d_centroidColors[c].x;
    d_pointColors[index].y = d_centroidColors[c].y;
    d_pointColors[index].z = d_centroidColors[c].z;
}

dim3 assignBlock(int count) { return dim3(count < assignBlockSize ? (unsigned)count : assignBlockSize); }
dim3 assignGrid(int count) {
    unsigned block = assignBlock(count).x;
    return dim3(((unsigned)count + block - 1) / block);
}

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
    assignCPU();
    updateCentroids();
}

void stepGPU() {
    requireCuda(launchKernel(kernelAssign, assignGrid(pointCount), assignBlock(pointCount), d_points, d_centroids,
                             d_pointColors, d_centroidColors, d_pointLabel),
                "kernelAssign launch");
    requireCuda(cudaMemcpy(pointLabel, d_pointLabel, bytesOf(pointCount, sizeof(unsigned)), cudaMemcpyDeviceToHost),
                "label download");
    requireCuda(cudaMemcpy(pointColors, d_pointColors, bytesOf(pointCount, sizeof(float4)), cudaMemcpyDeviceToHost),
                "colour download");
    updateCentroids();
    requireCuda(cudaMemcpy(d_centroids, centroids, sizeof(float4) * clusterCount, cudaMemcpyHostToDevice),
                "centroid upload");
}

// ---- modes and keys ------------------------------------------------------------------

void allocateCPU() { initKMeans(); }

void releaseCPU() {
    free(points);
    free(pointLabel);
    free(pointColors);
    free(centroids);
    free(centroidColors);
    points = nullptr;
    pointLabel = nullptr;
    pointColors = nullptr;
    centroids = nullptr;
    centroidColors = nullptr;
}

void allocateGPU() {
    initKMeans();
    const size_t n16 = bytesOf(pointCount, sizeof(float4)), n4 = bytesOf(pointCount, sizeof(unsigned));
    const size_t k16 = sizeof(float4) * clusterCount;
    deviceAlloc((void**)&d_points, n16, "d_points");
    deviceAlloc((void**)&d_pointColors, n16, "d_pointColors");
    deviceAlloc((void**)&d_pointLabel, n4, "d_pointLabel");
    deviceAlloc((void**)&d_centroids, k16, "d_centroids");
    deviceAlloc((void**)&d_centroidColors, k16, "d_centroidColors");
    requireCuda(cudaMemcpy(d_points, points, n16, cudaMemcpyHostToDevice), "point upload");
    requireCuda(cudaMemcpy(d_pointColors, pointColors, n16, cudaMemcpyHostToDevice), "colour upload");
    requireCuda(cudaMemcpy(d_pointLabel, pointLabel, n4, cudaMemcpyHostToDevice), "label upload");
    requireCuda(cudaMemcpy(d_centroids, centroids, k16, cudaMemcpyHostToDevice), "centroid upload");
    requireCuda(cudaMemcpy(d_centroidColors, centroidColors, k16, cudaMemcpyHostToDevice), "centroid colour upload");
}

void releaseGPU() {
    releaseCPU();
    cudaFree(d_points);
    cudaFree(d_pointColors);
    cudaFree(d_pointLabel);
    cudaFree(d_centroids);
    cudaFree(d_centroidColors);
    d_points = nullptr;
    d_pointColors = nullptr;
    d_pointLabel = nullptr;
    d_centroids = nullptr;
    d_centroidColors = nullptr;
}

void specialKeys(int key, int, int) {
    if (key == kKeyUp) {
        if (pointCount < maxPointCount) pointCount *= 2;
    } else if (key == kKeyDown) {
        if (pointCount > minPointCount) pointCount /= 2;
    } else {
        return;
    }
    viewer::switchMode(viewer::state.mode);
}

int currentPointCount() { return pointCount; }

viewer::Program frameProgram() {
    viewer::Program p{};
    p.params = &viewer::clusterviewFrame;
    p.modes[1] = {allocateCPU, releaseCPU, stepCPU};
    p.modes[2] = {allocateGPU, releaseGPU, stepGPU};
    p.count = currentPointCount;
    p.specialKeys = specialKeys;
    return p;
}

}  // namespace clusterview
